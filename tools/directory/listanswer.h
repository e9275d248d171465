#pragma once
// Building the directory's answers: choosing the stations a request asks for, the
// field-counted list text, its compression, and the catalog page.
#include "listrequest.h"
#include "station.h"

namespace dwdir {

// True when the station's genre contains one of the alternatives (all case-folded); no
// alternatives match every station.
bool matchesGenre(const Station& s, const QList<QByteArray>& genres);

// The stations of `lists` (in order) that the request selects: by genre, and when
// addresses were given, only those whose "ip" is one of them.
QList<const Station*> selectStations(const ListRequest& req,
                                     const QList<const QList<Station>*>& lists);

// The list text: a backslash, "fieldcount", the number of fields, the field names, then
// every station's values, each token preceded by a backslash.
QByteArray listText(const QList<const Station*>& stations);

enum class Packing
{
    Plain,
    Zlib,
    Gzip
};

// Compresses the list text as a zlib stream or as gzip (a plain 10-byte header). The
// stream always holds a zero byte: the client inflates only bodies that have one.
QByteArray pack(const QByteArray& text, Packing packing);

// A readable HTML page of the stations, live ones marked.
QByteArray catalogPage(const QList<const Station*>& stations, qint64 now);

} // namespace dwdir
