#pragma once
// Finding a player program for stations that do not play in the built-in player: the
// programs the program can drive, looked for on PATH and in the usual install folders.
// The search of folder trees runs on a worker thread; the result comes back on the
// thread that started it.
#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

// The external players the program can drive, by their program file name.
const QStringList& KnownPlayers();
// "audacious or mpv": how messages name them.
QString KnownPlayersText();

// True when `text` is usable: empty (the built-in player), an executable file, or a
// folder that holds one of the known players.
bool PlayerFound(const QString& text);

// Folders searched after PATH, in order: the usual install places, searched with their
// subfolders (a few levels deep).
QStringList PlayerSearchFolders();

class TPlayerSearch : public QObject
{
    Q_OBJECT
public:
    explicit TPlayerSearch(QObject* parent = nullptr);
    ~TPlayerSearch() override;

    // Starts the search; OnDone(path) follows, with an empty path when nothing was found
    // or the search was stopped.
    void Start();
    void Stop();
    bool Running() const { return running_; }

    // Synchronous search of the same candidates (the worker's body).
    static QString Find(const QStringList& pathDirs, const QStringList& folders,
                        const std::atomic<bool>* stop = nullptr);

    std::function<void(const QString& path)> OnDone;

private:
    std::thread worker_;
    std::shared_ptr<std::atomic<bool>> stop_;
    bool running_ = false;
};
