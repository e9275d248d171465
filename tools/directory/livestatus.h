#pragma once
// Reading what live sources say about their streams: an Icecast server's JSON status and
// the response head of a stream server of the program's own kind.
#include "station.h"

#include <QUrl>
#include <optional>

namespace dwdir {

// Listener capacity reported for a live stream whose server names none.
inline constexpr qint64 kDefaultLiveCapacity = 100;

// The mounts of an Icecast "/status-json.xsl" answer ("source" is an object for one mount,
// an array for several) as stations of type 0. Stream addresses are built from the
// status URL's host and port (what the directory was told to poll) and the mount path.
// `ok` is false when the text is no Icecast status.
QList<Station> parseIcecastStatus(QByteArrayView json, const QUrl& statusUrl, bool* ok = nullptr);

// A stream server's response head (status line "HTTP/1.x 200" or "ICY 200" and header
// lines, up to the blank line) as one station of type 1 playing `streamUrl`; nothing when
// the head is incomplete or not a success.
std::optional<Station> parseStreamHead(QByteArrayView head, const QUrl& streamUrl);

} // namespace dwdir
