#pragma once
// Single instance: the instance marker (a lock file with the owner's pid) and the
// per-user local socket through which a second start reaches the running one.
#include <QLocalServer>
#include <QObject>
#include <QString>
#include <functional>

namespace platform {

// The global atom of the original system, kept as a file in the runtime folder.
class TInstanceAtom
{
public:
    // True when the marker exists (it may be stale: its owner may be gone).
    static bool Exists(const QString& name);
    // True when the marker exists and names a process that is still alive.
    static bool OwnerAlive(const QString& name);
    // Creates the marker with this process as owner.
    static bool Add(const QString& name);
    // Deletes the marker.
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
    // Listens on the per-user socket named after the window class ("tvmmp3_form").
    bool Listen(const QString& windowClass);

    std::function<void()> OnBringToFront;
    std::function<void(const QString& link)> OnLink;

    // The later start's end: asks the running instance; true when it answered.
    static bool Send(const QString& windowClass, InstanceRequest req, const QString& text = {},
                     int timeoutMs = 1500);
    static QString SocketName(const QString& windowClass);

private:
    void handle(class QLocalSocket* s);
    QLocalServer server_;
};

} // namespace platform
