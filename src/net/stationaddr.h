#pragma once
// The one check every station address passes before it reaches the playlist, the
// favorites file or a command line: a host name or an IPv4 literal, a port, and an
// optional path of plain URL characters. Addresses come from lists, links and stored
// favorites, all of which are outside input.
#include <QString>

// Empty when `host` and `port` (a port, optionally followed by a path: "8000/live") may
// be used; otherwise what is wrong, for the user.
QString StationAddressProblem(const QString& host, const QString& port);
// The same for a whole stream address ("http://host:port/path").
QString StreamUrlProblem(const QString& url);
bool ValidStationHost(const QString& host);
// A station as the program keeps it: its stream address when it has one (the port then
// holds the path and may lack a number), else its host and port.
QString StationProblem(const QString& host, const QString& port, const QString& streamUrl);
