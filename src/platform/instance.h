#pragma once
// Single instance: the instance marker (a lock file with the owner's pid) and the
// per-user local socket through which a second start reaches the running one.
#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

namespace platform {

// The global atom of the original system, kept as a file in the runtime folder. The
// owner holds a lock on the file for as long as it runs; the system lets go of the lock
// when the owner ends in any way, so a marker left by a killed instance is simply taken
// over and a live owner is never displaced.
class TInstanceAtom
{
public:
    // True when the marker file exists (it may be stale: its owner may be gone).
    static bool Exists(const QString& name);
    // True when a running process holds the marker.
    static bool OwnerAlive(const QString& name);
    // Takes the marker for this process in one step: false when a live owner holds it.
    // A stale marker is taken over. The process id is written into it for people.
    static bool Add(const QString& name);
    // Deletes the marker when this process holds it (another owner's is left alone).
    static void Delete(const QString& name);
    static QString PathOf(const QString& name);
};

// Requests a second start sends to the running instance.
enum class InstanceRequest
{
    BringToFront, // "front"
    Link          // "link <text>": a location link handed over (macro line 0)
};

// The running instance's end: answers requests from later starts.
class TInstanceServer : public QObject
{
    Q_OBJECT
public:
    explicit TInstanceServer(QObject* parent = nullptr);
    ~TInstanceServer() override;
    // Listens on the per-user socket named after the window class ("tvmmp3_form"). Only
    // the holder of the instance marker listens: a socket file found there is stale.
    bool Listen(const QString& windowClass);
    // While held, requests are answered at once but kept; releasing delivers them in
    // order. The running instance listens before its windows exist and holds until then.
    void HoldRequests(bool hold);

    std::function<void()> OnBringToFront;
    std::function<void(const QString& link)> OnLink;

    // The later start's end: hands a request to the running instance, trying to connect
    // for up to timeoutMs (the instance may be listening a moment later). True once the
    // request is with it (answered, or taken without an answer in AnswerTimeoutMs).
    static bool Send(const QString& windowClass, InstanceRequest req, const QString& text = {},
                     int timeoutMs = 1500);
    static constexpr int AnswerTimeoutMs = 20000;
    static QString SocketName(const QString& windowClass);

private:
    void handle(class QLocalSocket* s);
    void deliver(const QString& line);
    QLocalServer server_;
    bool holding_ = false;
    QStringList held_;
};

} // namespace platform
