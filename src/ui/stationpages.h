#pragma once
// The rules that tie a station to its web pages and its chat channel: the key the pages
// are asked for, the page queries, the channel name with its two-character hash, and the
// cleaning of song titles shared by Buy CD and the web search.
#include <QString>

class TCustomServer;

namespace stationpages {

// Paths of the program's web pages on its web site.
inline constexpr const char* NewsPath = "/mini2.shtml";
inline constexpr const char* ForumsPath = "/program/forums.asp";
inline constexpr const char* ServerInfoPath = "/program/serverinfo.asp";
inline constexpr const char* SongSearchPath = "/program/titlesearch.asp";
inline constexpr const char* ButtonsPath = "/buttons/";

// A station of another player kind: its stream address without the scheme; otherwise
// address ":" port. Such a station without a stream address falls back to its address.
QString StationKey(const TCustomServer* station);
// "?ip=" and the URL-encoded key.
QString PageQuery(const TCustomServer* station);

// Two characters of the 62-letter alphabet from the key "#" address ":" connect port;
// the key's last character does not count.
QString ChannelHash(const QString& key);
// The station name as a channel title: the "[Live365]" mark dropped, 29 characters at
// most, characters a channel name cannot hold turned into "_".
QString ChannelTitle(const QString& name);
// "#" title "(" hash ")".
QString StationChannel(const TCustomServer* station);

// A track number and everything up to the last dash go (see the rules in the source).
QString FixSongName(const QString& title);
// The first placeholder replaced by the text, or the text appended when there is none.
QString FillTemplate(const QString& address, const QString& placeholder, const QString& text);

// A station link: "s" (MP3) or "w" (Windows Audio) followed directly by the station's URL.
QString StationLinkText(bool windowsAudio, const QString& url);

} // namespace stationpages
