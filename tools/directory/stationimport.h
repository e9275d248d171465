#pragma once
// Reading a Radio Browser JSON export (an array of station objects with "name", "url",
// "url_resolved", "homepage", "tags", "bitrate", "lastcheckok", ...) into stations.
#include "station.h"

#include <QString>

namespace dwdir {

inline constexpr qint64 kMaxImportBytes = 256ll << 20;
inline constexpr qsizetype kMaxImportStations = 200000;

struct StationImport
{
    QList<Station> stations;
    qsizetype skipped = 0; // entries without a usable stream address, or known broken
    QString error;         // set when the text is no export at all
};

StationImport parseRadioBrowserExport(QByteArrayView json);

} // namespace dwdir
