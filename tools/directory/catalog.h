#pragma once
// The station catalog file: UTF-8 text, "#" comment lines and blank lines ignored, the
// first other line names the columns (separated by tabs), every further line is one
// station with its values in those columns. Columns are the list's field names plus
// "upfor" (seconds the station has been up, turned into "uptime" at load time); unknown
// columns are ignored, missing values are empty.
#include "station.h"

#include <QString>
#include <QStringList>

namespace dwdir {

struct CatalogLoad
{
    QList<Station> stations;
    QStringList warnings; // lines that were skipped, with the reason
    QString error;        // set when the file is no catalog at all
};

CatalogLoad parseCatalog(QByteArrayView text, qint64 now);
CatalogLoad loadCatalog(const QString& path, qint64 now);

// A decimal number, or 0 when the text is not one.
qint64 toNumber(QByteArrayView text);

} // namespace dwdir
