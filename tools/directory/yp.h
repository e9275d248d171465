#pragma once
// Icecast's directory (YP) protocol at "/cgi-bin/yp-cgi": reading a request (a form, by
// POST or in the query) and writing the answer, which is carried in HTTP headers.
#include "store.h"

#include <QByteArray>

namespace dwdir {

struct YpRequest
{
    enum Action
    {
        Bad,
        Add,
        Touch,
        Remove
    };
    Action action = Bad;
    QByteArray error; // for Bad: what is wrong, as YPMessage says it
    Listing listing;  // Add: the fields sent (sid, source and times are the server's)
    QByteArray sid;   // Touch, Remove
    QByteArray song;  // Touch: "st"
    qint64 listeners = 0;
    qint64 maxListeners = 0;
};

// The longest value taken in a field, and the most fields in one request.
inline constexpr qsizetype kYpMaxValue = 1024;
inline constexpr int kYpMaxFields = 64;

// Reads the form text of a request ("action=add&sn=...", "+" and "%XX" encoded).
YpRequest parseYpRequest(QByteArrayView form);

// True when `url` is an address the directory lists and probes: "http://host:port/path",
// printable, at most 512 bytes, with a host and a port from 1 to 65535.
bool ypListenUrlOk(QByteArrayView url);

// The whole HTTP answer: "YPResponse" 1 or 0, "YPMessage", and for a successful add
// "SID" and "TouchFreq".
QByteArray ypAnswer(bool ok, const QByteArray& message, const QByteArray& sid = {},
                    int touchFreq = 0);

} // namespace dwdir
