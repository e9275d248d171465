#include "platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QHash>
#include <QProcess>
#include <QSaveFile>
#include <QSet>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <malloc.h>
#include <string>

namespace platform {

namespace {
bool g_haveOverride = false;
FreeResources g_override;
struct LibOverride
{
    bool loadable;
    FileVersionInfo version;
};
QHash<QString, LibOverride>& libOverrides()
{
    static QHash<QString, LibOverride> h;
    return h;
}
LaunchRecorder g_recorder = nullptr;

// The folder is made when first asked for; a folder made once is not looked at again
// (the settings ask for theirs on every value read). One that could not be made is tried
// again next time.
QString ensure(const QString& path)
{
    thread_local QSet<QString> made;
    if (!made.contains(path) && QDir().mkpath(path)) made.insert(path);
    return path;
}
} // namespace

QString HomeDir()
{
    const QString env = qEnvironmentVariable("DIALWISE_HOME");
    if (!env.isEmpty()) return ensure(QDir(env).absolutePath());
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty()) base = QDir::homePath() + "/.local/share";
    return ensure(base + "/dialwise");
}

QString ProgramFolder()
{
    return HomeDir();
}

QString RegistryFile()
{
    return HomeDir() + "/registry.ini";
}

QString RuntimeDir()
{
    if (qEnvironmentVariableIsSet("DIALWISE_HOME")) return ensure(HomeDir() + "/run");
    QString rt = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (rt.isEmpty())
        rt = QDir::tempPath() + QString("/dialwise-%1").arg(getuid());
    else
        rt += "/dialwise";
    QDir().mkpath(rt);
    QFile::setPermissions(rt, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return rt;
}

QString InstallFolder()
{
    return QCoreApplication::applicationDirPath();
}

void TuneAllocator()
{
#ifdef __GLIBC__
    // No fast bins: their blocks are merged only when a large block is asked for, and
    // after a list of 100000 stations has gone that merge alone takes some 100 ms.
    mallopt(M_MXFAST, 0);
#endif
}

FreeResources GetFreeResources()
{
    if (g_haveOverride) return g_override;
    FreeResources r;
    const QString env = qEnvironmentVariable("DIALWISE_FREE_RESOURCES");
    if (!env.isEmpty()) {
        const QStringList p = env.split(',');
        if (p.size() == 3) {
            r.System = p[0].toInt();
            r.User = p[1].toInt();
            r.GDI = p[2].toInt();
            return r;
        }
    }
    // System: available memory as a share of the total.
    std::ifstream mi("/proc/meminfo");
    std::string key;
    long long value = 0, total = 0, avail = -1;
    std::string unit;
    while (mi >> key >> value >> unit) {
        if (key == "MemTotal:")
            total = value;
        else if (key == "MemAvailable:")
            avail = value;
    }
    if (total > 0 && avail >= 0) r.System = int(avail * 100 / total);
    // User: free file-descriptor slots of this process.
    struct rlimit rl
    {
    };
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur > 0) {
        const long long limit = (long long)rl.rlim_cur;
        const long long used =
            QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
        r.User = int(qMax(0LL, limit - used) * 100 / limit);
    }
    r.GDI = 100;
    return r;
}

void SetFreeResourcesOverride(const FreeResources* r)
{
    g_haveOverride = r != nullptr;
    if (r) g_override = *r;
}

void PostMessage(QObject* target, int msg, qintptr wParam, qintptr lParam)
{
    if (target) QCoreApplication::postEvent(target, new TWindowMessage(msg, wParam, lParam));
}

// DIALWISE_MISSING_LIBS and DIALWISE_OLD_LIBS (comma-separated names) let a whole-program
// test reach the update offer.
static bool listedIn(const char* var, const QString& name)
{
    const QStringList names = qEnvironmentVariable(var).toUpper().split(',', Qt::SkipEmptyParts);
    return names.contains(name.toUpper());
}

bool LibraryLoadable(const QString& name)
{
    auto it = libOverrides().constFind(name.toUpper());
    if (it != libOverrides().constEnd()) return it->loadable;
    return !listedIn("DIALWISE_MISSING_LIBS", name);
}

FileVersionInfo LibraryFileVersion(const QString& name)
{
    auto it = libOverrides().constFind(name.toUpper());
    if (it != libOverrides().constEnd()) return it->version;
    if (listedIn("DIALWISE_OLD_LIBS", name)) return {4, 70, 0, 0};
    // The facilities are part of the toolkit; report a current version.
    return {6, 0, 0, 0};
}

bool VersionNewer(const FileVersionInfo& a, const FileVersionInfo& b)
{
    const int av[4] = {a.Major, a.Minor, a.Release, a.Build};
    const int bv[4] = {b.Major, b.Minor, b.Release, b.Build};
    for (int i = 0; i < 4; ++i)
        if (av[i] != bv[i]) return av[i] > bv[i];
    return false;
}

void SetLibraryOverride(const QString& name, bool loadable, FileVersionInfo version)
{
    libOverrides().insert(name.toUpper(), {loadable, version});
}

void ClearLibraryOverrides()
{
    libOverrides().clear();
}

void SetLaunchRecorder(LaunchRecorder r)
{
    g_recorder = r;
}

bool WriteFileAtomic(const QString& path, const QByteArray& data, QString* error)
{
    QSaveFile f(path);
    // Unbuffered, so that a failing write is seen here and not lost in the closing flush.
    if (!f.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        if (error) *error = f.errorString();
        return false;
    }
    if (f.write(data) != data.size()) {
        if (error) *error = f.errorString();
        f.cancelWriting();
        return false;
    }
    if (!f.commit()) {
        if (error) *error = f.errorString();
        return false;
    }
    return true;
}

namespace {
// Watches a started opener until it ends and tells whether it succeeded. Only an end
// within the first half minute counts: an opener that runs the browser itself (and waits
// for it) has done its work by then, and a browser closed hours later is no failure to
// launch.
class TOpenerWatch : public QObject
{
public:
    TOpenerWatch(pid_t pid, std::function<void(bool)> done)
        : QObject(QCoreApplication::instance()), pid_(pid), done_(std::move(done))
    {
        clock_.start();
        pidfd_ = int(::syscall(SYS_pidfd_open, pid, 0));
        if (pidfd_ >= 0) {
            auto* n = new QSocketNotifier(pidfd_, QSocketNotifier::Read, this);
            connect(n, &QSocketNotifier::activated, this, [this] { check(); });
        } else {
            // Kernels without process descriptors: look now and then.
            auto* t = new QTimer(this);
            connect(t, &QTimer::timeout, this, [this] { check(); });
            t->start(250);
        }
    }
    ~TOpenerWatch() override
    {
        if (pidfd_ >= 0) ::close(pidfd_);
    }

private:
    void check()
    {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == 0) return; // still running
        // Reaped by someone else (r < 0): the outcome is unknown, so nothing is reported.
        const bool ok = r == pid_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (done_ && r == pid_ && clock_.elapsed() < 30000) done_(ok);
        done_ = nullptr;
        deleteLater();
    }
    pid_t pid_;
    int pidfd_ = -1;
    std::function<void(bool)> done_;
    QElapsedTimer clock_;
};
} // namespace

bool OpenUrl(const QString& url, std::function<void(bool ok)> done)
{
    if (g_recorder) {
        g_recorder(url, {});
        if (done) done(true);
        return true;
    }
    const QUrl u = QUrl::fromUserInput(url);
    const QByteArray arg = (u.isLocalFile() ? u.toLocalFile() : u.toString()).toLocal8Bit();
    char prog[] = "xdg-open";
    char* argv[] = {prog, const_cast<char*>(arg.constData()), nullptr};
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The browser is the user's, not part of this program: it keeps running whatever
    // happens to this program's session and process group.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int rc = ::posix_spawnp(&pid, prog, nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return false;
    if (QCoreApplication::instance()) new TOpenerWatch(pid, std::move(done));
    return true;
}

qint64 StartProcess(const QString& program, const QStringList& args, const QString& workDir)
{
    if (g_recorder) {
        g_recorder(program, args);
        return 1;
    }
    qint64 pid = 0;
    if (!QProcess::startDetached(program, args, workDir, &pid)) return 0;
    return pid;
}

bool PostToLocalSocket(const QString& name, const QByteArray& datagram)
{
    const QByteArray path = (RuntimeDir() + "/" + name).toLocal8Bit();
    if (access(path.constData(), F_OK) != 0) return false;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.constData(), sizeof(addr.sun_path) - 1);
    const bool ok = sendto(fd, datagram.constData(), datagram.size(), MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == datagram.size();
    close(fd);
    return ok;
}

} // namespace platform
