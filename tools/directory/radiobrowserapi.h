#pragma once
// The directory also answers the Radio Browser API's paths from its stations, so that a
// client of that directory (the program's default source) can be run against the demo
// world: /json/stations/search, /json/stations/byuuid, /json/stations, /json/tags,
// /json/url/{uuid} (counts a play) and /json/servers; and each station's favicon at
// /favicons/{uuid}.png, drawn like its logo.
#include "station.h"

#include <QByteArray>
#include <QList>

namespace dwdir {

// True when the request head asks for one of the API's paths (under /json/) or a favicon.
bool isRadioBrowserRequest(QByteArrayView head);
// The whole HTTP answer to such a request, from `lists` (in order; a station listed
// twice is answered once). `self` is "http://host:port" of this server.
QByteArray radioBrowserAnswer(QByteArrayView head, const QList<const QList<Station>*>& lists,
                              const QByteArray& self);
// The uuid a station has in these answers: made from its address, so it stays the same
// across restarts and catalog reloads.
QByteArray stationUuid(const Station& s);
// Plays counted by /json/url since the server started.
qint64 countedPlays(const QByteArray& uuid);

} // namespace dwdir
