#include "playersearch.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QMetaObject>
#include <QPointer>
#include <QStandardPaths>

const QStringList& KnownPlayers()
{
    static const QStringList players{"audacious", "mpv"};
    return players;
}

QString KnownPlayersText()
{
    return KnownPlayers().join(" or ");
}

static bool isProgram(const QString& path)
{
    const QFileInfo fi(path);
    return fi.isFile() && fi.isExecutable();
}

bool PlayerFound(const QString& text)
{
    const QString t = text.trimmed();
    if (t.isEmpty()) return true; // the built-in player
    if (isProgram(t)) return true;
    if (QFileInfo(t).isDir())
        for (const QString& p : KnownPlayers())
            if (isProgram(QDir(t).filePath(p))) return true;
    return false;
}

QStringList PlayerSearchFolders()
{
    const QString home = QDir::homePath();
    return {"/usr/local/bin",
            "/usr/bin",
            "/snap/bin",
            "/var/lib/flatpak/exports/bin",
            home + "/.local/share/flatpak/exports/bin",
            home + "/.local/bin",
            "/opt",
            "/usr/local/opt",
            home + "/Applications",
            home + "/opt"};
}

QString TPlayerSearch::Find(const QStringList& pathDirs, const QStringList& folders,
                            const std::atomic<bool>* stop)
{
    auto stopped = [stop] { return stop && stop->load(); };
    for (const QString& d : pathDirs)
        for (const QString& p : KnownPlayers()) {
            if (stopped()) return {};
            const QString f = QDir(d).filePath(p);
            if (!d.isEmpty() && isProgram(f)) return QFileInfo(f).absoluteFilePath();
        }
    for (const QString& folder : folders) {
        if (!QFileInfo(folder).isDir()) continue;
        // Breadth first, a few levels: players sit near the top of an install tree.
        QStringList level{folder};
        for (int depth = 0; depth < 4 && !level.isEmpty(); ++depth) {
            QStringList next;
            for (const QString& dir : level) {
                if (stopped()) return {};
                for (const QString& p : KnownPlayers())
                    if (isProgram(QDir(dir).filePath(p))) return QDir(dir).filePath(p);
                const QFileInfoList subs =
                    QDir(dir).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
                for (const QFileInfo& s : subs)
                    next << s.absoluteFilePath();
            }
            level = next;
        }
    }
    return {};
}

TPlayerSearch::TPlayerSearch(QObject* parent) : QObject(parent) {}

TPlayerSearch::~TPlayerSearch()
{
    if (stop_) stop_->store(true);
    if (worker_.joinable()) worker_.join();
}

void TPlayerSearch::Start()
{
    if (running_) return;
    if (worker_.joinable()) worker_.join();
    running_ = true;
    stop_ = std::make_shared<std::atomic<bool>>(false);
    const QStringList path = qEnvironmentVariable("PATH").split(':', Qt::SkipEmptyParts);
    const QStringList folders = PlayerSearchFolders();
    QPointer<TPlayerSearch> self(this);
    auto stop = stop_;
    worker_ = std::thread([self, stop, path, folders, this] {
        const QString found = Find(path, folders, stop.get());
        if (stop->load()) return;
        // Back on the thread that owns the search (the object outlives the worker).
        QMetaObject::invokeMethod(
            this,
            [self, found] {
                if (!self || !self->running_) return;
                self->running_ = false;
                if (auto f = self->OnDone) f(found);
            },
            Qt::QueuedConnection);
    });
}

void TPlayerSearch::Stop()
{
    if (!running_) return;
    if (stop_) stop_->store(true);
    running_ = false;
    if (auto f = OnDone) f(QString());
}
