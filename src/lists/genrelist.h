#pragma once
// The genre list without its list box: the file, the defaults, the pseudo-entries, and what
// a genre means for the list request, the banner area and the chat.
#include <QString>
#include <QStringList>

namespace genres {

inline const QString AllServers = QStringLiteral("(All Servers)");
inline const QString FavoritesEntry = QStringLiteral("(Favorites)");

// "(All Servers)" followed by the 33 default genres.
const QStringList& DefaultList();
// The genre file: the program folder + "DialwiseGenres.txt".
QString GenreFile();
// Lines of the file (CR LF or LF separated, no trimming); empty when missing.
QStringList LoadFile(const QString& path);
// Removes the first entry equal to "(All Servers)" without regard to case, then writes
// the entries one per line with CR LF. The file is replaced whole or not at all; false
// (with the reason in `error`) keeps the old file.
bool SaveFile(const QString& path, QStringList entries, QString* error = nullptr);
// The list request's suffix: "&genre=" + the genre with ASCII letters lower-cased and
// form-encoded (a blank as "+", backslashes and other signs as "%XX"), or empty for
// "(All Servers)".
QString RequestSuffix(const QString& entry);
// The banner area of a genre: "M_" + the genre with ASCII letters upper-cased and
// percent-encoded, so that it stays one path segment ("80s" gives "M_80S").
QString BannerArea(const QString& entry);
// The genre's chat channel: "#Dialwise" for "(All Servers)", else "#" + the entry.
QString ChatChannel(const QString& entry, const QString& homeChannel);
// ASCII-only case changes, as the list server and the banner areas expect.
QString AsciiLower(const QString& s);
QString AsciiUpper(const QString& s);

} // namespace genres
