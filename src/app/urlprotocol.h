#pragma once
// Registration of the program as the desktop's handler of "dialwise:" links: a desktop
// entry with MimeType=x-scheme-handler/dialwise, made the default handler through
// xdg-mime. The entry carries its own version (X-Dialwise-Key-Version); an entry of the
// current version is left alone.
#include <QProcessEnvironment>
#include <QString>

namespace urlprotocol {

inline constexpr int KeyVersion = 2;
inline constexpr const char* DesktopFileName = "dialwise.desktop";
inline constexpr const char* MimeType = "x-scheme-handler/dialwise";

// The desktop's data and configuration folders the registration writes to: the XDG
// folders when set; with DIALWISE_HOME set (and no XDG folder), folders inside it, so
// that a test or demo run leaves the user's desktop alone.
QString DataHome(const QProcessEnvironment& env);
QString ConfigHome(const QProcessEnvironment& env);
// The environment xdg-mime runs in (the folders above made explicit).
QProcessEnvironment XdgEnvironment(const QProcessEnvironment& env);
QString DesktopFilePath(const QProcessEnvironment& env);

// The desktop entry's text for a program file.
QString DesktopEntry(const QString& program);

// Writes the entry when it is missing or older and starts xdg-mime (not waited for).
// Returns the id of the started xdg-mime process, 0 when nothing was started.
qint64
RegisterUrlProtocol(const QString& program,
                    const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());

} // namespace urlprotocol
