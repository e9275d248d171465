#include "platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QHash>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
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

QString ensure(const QString& path)
{
    QDir().mkpath(path);
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

bool OpenUrl(const QString& url)
{
    if (g_recorder) {
        g_recorder(url, {});
        return true;
    }
    const QUrl u = QUrl::fromUserInput(url);
    return QProcess::startDetached("xdg-open", {u.isLocalFile() ? u.toLocalFile() : u.toString()});
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
