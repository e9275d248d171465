#pragma once
// Helpers shared by the tests: a private program home, free loopback ports and real
// peer servers started in a temporary folder and stopped by their process id.
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

namespace dwtest {

// Points DIALWISE_HOME at a fresh temporary folder for the lifetime of the object.
class TempHome
{
public:
    TempHome();
    ~TempHome();
    QString path() const { return dir_.path(); }
    QString file(const QString& name) const { return dir_.filePath(name); }

private:
    QTemporaryDir dir_;
    QByteArray old_;
    bool hadOld_ = false;
};

// A TCP (or UDP) port on 127.0.0.1 that was free a moment ago.
quint16 freePort(bool udp = false);

// Path of a program, or empty when it is not installed.
QString findProgram(const QString& name);

// Waits until something accepts TCP connections on 127.0.0.1:port.
bool waitForTcpPort(quint16 port, int timeoutMs = 10000);

// A real server process. Stopped (SIGTERM, then SIGKILL) by its pid on stop() or
// destruction; its output is kept for failure messages.
class Peer
{
public:
    Peer() = default;
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool start(const QString& program, const QStringList& args, const QString& workDir = {},
               const QStringList& extraEnv = {});
    void stop();
    qint64 pid() const { return pid_; }
    bool running() const;
    QString output() const;

private:
    std::unique_ptr<QProcess> proc_;
    qint64 pid_ = 0;
};

// Starts vsftpd serving `root` (made world-readable) to anonymous users on
// 127.0.0.1:port, with active and passive transfers, SIZE and REST; its configuration
// goes to workDir. With `passwords`, an anonymous login must give one of them. Returns
// when the server accepts connections.
bool startVsftpd(Peer& peer, const QString& root, quint16 port, const QString& workDir,
                 const QStringList& passwords = {});

// Writes a text file (creating folders); returns its absolute path.
QString writeFile(const QString& path, const QByteArray& content);

} // namespace dwtest
