#pragma once
// The operating-system services the program leans on, mapped onto Linux and Qt.
#include <QEvent>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

namespace platform {

// Folder that holds all persistent state: DIALWISE_HOME when set, else the XDG data
// folder of the program.
QString HomeDir();
// The program folder (genre file, favorites, skins, buttons cache, playlist, downloads).
QString ProgramFolder();
// The INI file that stands in for the current user's registry branch.
QString RegistryFile();
// Per-user folder for the instance lock and the instance socket.
QString RuntimeDir();
// The folder the executable was started from (shipped skins are found beside it).
QString InstallFolder();

// Sets the memory allocator up for a program that holds and lets go of many small
// objects (a station list of many thousands): freed blocks are merged as they are freed,
// not all at once at some later allocation, which would hold up the loop that makes it.
// Call once, first thing in main.
void TuneAllocator();

// Free percentages of the three resource figures. System = available memory,
// User = free file-descriptor slots, GDI = 100. DIALWISE_FREE_RESOURCES="S,U,G" (or
// SetFreeResourcesOverride) replaces them.
struct FreeResources
{
    int System = 100;
    int User = 100;
    int GDI = 100;
};
FreeResources GetFreeResources();
void SetFreeResourcesOverride(const FreeResources* r); // nullptr clears

// Window messages posted to oneself: WM_USER + n becomes QEvent::User + n.
constexpr int WM_USER = 0;
inline QEvent::Type MessageType(int msg)
{
    return QEvent::Type(QEvent::User + msg);
}

class TWindowMessage : public QEvent
{
public:
    TWindowMessage(int msg, qintptr wParam, qintptr lParam)
        : QEvent(MessageType(msg)), Msg(msg), WParam(wParam), LParam(lParam)
    {
    }
    int Msg;
    qintptr WParam;
    qintptr LParam;
};
// Posts a message to the object's event queue; it is handled from the message loop.
void PostMessage(QObject* target, int msg, qintptr wParam = 0, qintptr lParam = 0);

// Library checks of the start-up. Linux has the rich-text and list-view facilities
// built in, so both pass; tests can make either fail to reach the update offer.
bool LibraryLoadable(const QString& name);
struct FileVersionInfo
{
    int Major = 0, Minor = 0, Release = 0, Build = 0;
};
FileVersionInfo LibraryFileVersion(const QString& name);
// True when a is newer than b (major, minor, release, build in that order).
bool VersionNewer(const FileVersionInfo& a, const FileVersionInfo& b);
// Test hook: pretend a library is missing (loadable=false) or has the given version.
void SetLibraryOverride(const QString& name, bool loadable, FileVersionInfo version);
void ClearLibraryOverrides();

// Replaces a file's content as a whole: the new content goes to a temporary file beside
// it, which takes the file's place only when everything was written. On failure the old
// file stays as it was and `error` (when given) tells why.
bool WriteFileAtomic(const QString& path, const QByteArray& data, QString* error = nullptr);

// Opens a URL or file with its default handler (xdg-open). False when the opener could
// not be started; otherwise `done` (when given) learns from the loop whether the opener
// succeeded. Test hook: a recorder replaces the launch.
bool OpenUrl(const QString& url, std::function<void(bool ok)> done = {});
// Starts a program detached; returns its process id (0 on failure).
qint64 StartProcess(const QString& program, const QStringList& args = {},
                    const QString& workDir = {});
using LaunchRecorder = void (*)(const QString& what, const QStringList& args);
void SetLaunchRecorder(LaunchRecorder r);

// Sends a datagram to the per-user local socket named `name` when it exists (the
// companion program's "mp3running" message). Returns true when it was delivered.
bool PostToLocalSocket(const QString& name, const QByteArray& datagram);

} // namespace platform
