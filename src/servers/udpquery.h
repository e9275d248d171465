#pragma once
// The UDP status query of game servers: "\status\" goes out in one datagram, the answer
// comes back as backslash key/value pairs spread over one or more datagrams and ends with
// a datagram holding "\final". The classes are declared in customserver.h; this header
// holds the protocol helpers they share with the master server list.
#include <QString>
#include <QStringView>

// Value of a key in a backslash key/value text: the text after the first "\key\" up to the
// next backslash or control character; empty when the key is absent. Letter case counts.
QString ZelkKeyValue(QStringView text, QStringView key);
// The same, and the pair leaves the text.
QString TakeZelkKeyValue(QString& text, QStringView key);

// The status request: "\status\", or with `secure` "\status\\secure\" and six random
// letters or digits.
QString ZelkStatusRequest(bool secure);

// Most reply text kept for one query; a server that sends more is cut off there.
constexpr qsizetype MaxZelkReplyChars = 128 * 1024;
// Most player or character records read from one reply, whatever count the server claims.
constexpr int MaxZelkPlayerRecords = 512;
