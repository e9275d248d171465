#pragma once
// One station as the directory knows it, and the field names of the list it answers with.
#include <QByteArray>
#include <QList>
#include <array>

namespace dwdir {

struct Station
{
    QByteArray ip; // address:port, an address alone, or a stream URL
    QByteArray hostname;
    QByteArray genre;
    qint64 numplayers = 0;
    qint64 maxplayers = 0;
    qint64 bitrate = 0;
    qint64 avgtime = 0;
    qint64 uptime = 0; // Unix time the station came up
    QByteArray chatip;
    QByteArray url;
    QByteArray songtitle;
    qint64 ping = 0;
    int type = 0;
    QByteArray bnum;
    bool live = false; // from a live source (a real, playing stream)

    // Filled by prepare(): the lookup keys used when answering requests.
    QByteArray genreKey; // case-folded genre
    QByteArray ipKey;    // normalised "ip"
    void prepare();
};

// The fourteen fields of every record, in the order this server sends them.
inline constexpr std::array<const char*, 14> kFieldNames = {
    "ip",     "hostname", "genre", "numplayers", "maxplayers", "bitrate", "avgtime",
    "uptime", "chatip",   "url",   "songtitle",  "ping",       "type",    "bnum"};

// A value as it may stand in the table: the separator and control bytes (a zero byte ends
// the client's buffer) become blanks or slashes.
QByteArray cleanValue(QByteArray v);

// Lookup key of an "ip" value or of an address asked for: a stream URL keeps its path and
// has its scheme and host lower-cased; an address gets the port the client assumes
// ("8000" when none or not a number).
QByteArray addressKey(QByteArrayView ip);

// Case-folded text for genre matching.
QByteArray foldCase(QByteArrayView text);

} // namespace dwdir
