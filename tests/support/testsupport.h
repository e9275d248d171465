#pragma once
// Helpers shared by the tests: a private program home, free loopback ports and real
// peer servers started in a temporary folder and stopped by their process id.
#include <QObject>
#include <QProcess>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>

class QTcpServer;

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
};

// A TCP (or UDP) port on 127.0.0.1 that was free a moment ago.
quint16 freePort(bool udp = false);

// Path of a program, or empty when it is not installed.
QString findProgram(const QString& name);

// True when the tests run under CI (the variable CI set, and not to "0" or "false").
bool underCI();

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

// Makes what `p` starts next the leader of a process group of its own, so that it and
// everything it starts can be ended together by a ProcessGroupGuard.
void inOwnProcessGroup(QProcess& p);

// Ends the process group led by a started process when the guard goes, also after a
// failed check: SIGTERM to the whole group, time to go, then SIGKILL to what is left.
class ProcessGroupGuard
{
public:
    explicit ProcessGroupGuard(QProcess& leader);
    ~ProcessGroupGuard();
    ProcessGroupGuard(const ProcessGroupGuard&) = delete;
    ProcessGroupGuard& operator=(const ProcessGroupGuard&) = delete;

private:
    QProcess& leader_;
    qint64 group_ = 0;
};

// Starts vsftpd serving `root` (made world-readable) to anonymous users on
// 127.0.0.1:port, with active and passive transfers, SIZE and REST; its configuration
// goes to workDir. With `passwords`, an anonymous login must give one of them. Returns
// when the server accepts connections.
bool startVsftpd(Peer& peer, const QString& root, quint16 port, const QString& workDir,
                 const QStringList& passwords = {});

// Starts icecast2 on 127.0.0.1:port with its configuration and logs in workDir: `password`
// for sources and for the admin user `adminUser`, and `inner` (limits, mounts, a directory
// block, the host name) as given. Empty when it accepts connections, else what went wrong.
QString startIcecast(Peer& peer, const QString& workDir, quint16 port, const QByteArray& password,
                     const QByteArray& adminUser, const QByteArray& inner, int logLevel = 2);

// ffmpeg's arguments for a live MP3 source on icecast2 at 127.0.0.1:port: a sine tone of
// `freq` Hz at `kbps`, with its name and genre, sent to `mount` (no leading slash); a public
// source asks icecast2 to list it in its directory.
QStringList icecastToneSource(quint16 port, const QString& password, const QString& mount,
                              const QString& name, const QString& genre, int freq = 440,
                              int kbps = 128, bool isPublic = false);

// Writes a text file (creating folders); returns its absolute path.
QString writeFile(const QString& path, const QByteArray& content);

// A loopback stand-in for a web server: answers each request head with what `answer`
// gives (nothing: the connection stays silent), then closes; keeps the heads it saw. Over
// HTTPS with a configuration from localhostTls().
class HttpStandIn : public QObject
{
public:
    std::function<QByteArray(const QByteArray& head)> answer;
    QList<QByteArray> heads;

    bool listen(bool tls = false, const QSslConfiguration& conf = {});
    quint16 port() const;
    // http://127.0.0.1:PORT, or https://localhost:PORT (the name the certificate holds).
    QString url(bool tls = false) const;
    // The target of the last request.
    QByteArray lastPath() const;

private:
    QTcpServer* server_ = nullptr;
};

// A whole HTTP/1.1 answer with a length, closing the connection.
QByteArray httpAnswer(int status, const QByteArray& body,
                      const QByteArray& type = "application/json",
                      const QByteArray& extraHeaders = {});

// A server configuration with a certificate for "localhost" and 127.0.0.1 made by openssl
// in `workDir`; the process's default client configuration trusts it from then on, as a
// certificate authority the system knew would be. False when openssl or TLS is missing.
bool localhostTls(const QString& workDir, QSslConfiguration& server);

} // namespace dwtest

// A real peer (or another program the test needs) is missing or would not start: under CI
// the test fails and names the Debian package that brings it, elsewhere it is skipped. For
// test functions only (it returns from the caller). Only what the machine cannot offer
// (network namespaces, ICMP sockets) may skip under CI too, with a plain QSKIP.
#define DW_PEER_MISSING(package, why)                                                              \
    do {                                                                                           \
        const QString dwWhy_ = QString(why) + QStringLiteral(" (Debian package ") +                \
                               QString(package) + QStringLiteral(")");                             \
        if (dwtest::underCI()) QFAIL(qPrintable(dwWhy_));                                          \
        QSKIP(qPrintable(dwWhy_));                                                                 \
    } while (false)
