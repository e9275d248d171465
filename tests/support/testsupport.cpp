#include "testsupport.h"

#include <algorithm>
#include <vector>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QUdpSocket>

#include <csignal>
#include <pwd.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace dwtest {

// Homes may overlap (a fixture's next home is made before its last one goes): the newest
// live home is the one in use, and the first one's start restores what was there before.
namespace {
std::vector<const TempHome*>& liveHomes()
{
    static std::vector<const TempHome*> homes;
    return homes;
}
QByteArray g_homeBefore;
bool g_hadHomeBefore = false;
} // namespace

TempHome::TempHome()
{
    if (liveHomes().empty()) {
        g_hadHomeBefore = qEnvironmentVariableIsSet("DIALWISE_HOME");
        g_homeBefore = qgetenv("DIALWISE_HOME");
    }
    liveHomes().push_back(this);
    qputenv("DIALWISE_HOME", dir_.path().toLocal8Bit());
}

TempHome::~TempHome()
{
    auto& homes = liveHomes();
    homes.erase(std::remove(homes.begin(), homes.end(), this), homes.end());
    if (!homes.empty())
        qputenv("DIALWISE_HOME", homes.back()->path().toLocal8Bit());
    else if (g_hadHomeBefore)
        qputenv("DIALWISE_HOME", g_homeBefore);
    else
        qunsetenv("DIALWISE_HOME");
}

quint16 freePort(bool udp)
{
    if (udp) {
        QUdpSocket s;
        s.bind(QHostAddress::LocalHost, 0);
        return s.localPort();
    }
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

QString findProgram(const QString& name)
{
    QString p = QStandardPaths::findExecutable(name);
    if (p.isEmpty()) p = QStandardPaths::findExecutable(name, {"/usr/sbin", "/sbin", "/usr/bin"});
    return p;
}

bool underCI()
{
    const QByteArray ci = qgetenv("CI").trimmed().toLower();
    return !ci.isEmpty() && ci != "0" && ci != "false";
}

bool waitForTcpPort(quint16 port, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port);
        if (s.waitForConnected(200)) return true;
        QThread::msleep(50);
    }
    return false;
}

Peer::~Peer()
{
    stop();
}

bool Peer::start(const QString& program, const QStringList& args, const QString& workDir,
                 const QStringList& extraEnv)
{
    proc_ = std::make_unique<QProcess>();
    proc_->setProcessChannelMode(QProcess::MergedChannels);
    if (!workDir.isEmpty()) proc_->setWorkingDirectory(workDir);
    if (!extraEnv.isEmpty()) {
        QStringList env = QProcess::systemEnvironment();
        env << extraEnv;
        proc_->setEnvironment(env);
    }
    proc_->start(program, args);
    if (!proc_->waitForStarted(5000)) return false;
    pid_ = proc_->processId();
    return true;
}

bool Peer::running() const
{
    return proc_ && proc_->state() != QProcess::NotRunning;
}

QString Peer::output() const
{
    return proc_ ? QString::fromLocal8Bit(proc_->readAll()) : QString();
}

void Peer::stop()
{
    if (!proc_ || pid_ <= 0) return;
    if (proc_->state() != QProcess::NotRunning) {
        ::kill(pid_t(pid_), SIGTERM);
        if (!proc_->waitForFinished(3000)) {
            ::kill(pid_t(pid_), SIGKILL);
            proc_->waitForFinished(3000);
        }
    }
    pid_ = 0;
}

void inOwnProcessGroup(QProcess& p)
{
    p.setChildProcessModifier([] { ::setpgid(0, 0); });
}

ProcessGroupGuard::ProcessGroupGuard(QProcess& leader) : leader_(leader)
{
    group_ = leader.processId();
}

ProcessGroupGuard::~ProcessGroupGuard()
{
    if (group_ <= 0) return;
    const pid_t g = pid_t(group_);
    if (::kill(-g, SIGTERM) != 0) return; // nothing of the group is left
    if (leader_.state() != QProcess::NotRunning) leader_.waitForFinished(10000);
    QElapsedTimer t;
    t.start();
    while (::kill(-g, 0) == 0 && t.elapsed() < 10000)
        QThread::msleep(100);
    if (::kill(-g, SIGKILL) == 0 && leader_.state() != QProcess::NotRunning)
        leader_.waitForFinished(5000);
}

bool startVsftpd(Peer& peer, const QString& root, quint16 port, const QString& workDir,
                 const QStringList& passwords)
{
    const QString prog = findProgram("vsftpd");
    if (prog.isEmpty()) return false;
    // The anonymous user reads the files after the server dropped its privileges.
    QFile::setPermissions(root, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                    QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                    QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                    QFileDevice::ExeOther);
    QDir().mkpath(workDir + "/empty");
    QByteArray conf =
        "listen=YES\nlisten_address=127.0.0.1\nlisten_port=" + QByteArray::number(port) +
        "\nanonymous_enable=YES\nanon_root=" + root.toLocal8Bit() +
        "\nlocal_enable=NO\nwrite_enable=NO\nport_enable=YES\n"
        "connect_from_port_20=NO\npasv_enable=YES\nsecure_chroot_dir=" +
        workDir.toLocal8Bit() +
        "/empty\nseccomp_sandbox=NO\nbackground=NO\nftp_username=ftp\n"
        "xferlog_enable=NO\nuse_localtime=NO\n";
    if (passwords.isEmpty()) {
        conf += "no_anon_password=YES\n";
    } else {
        const QString list =
            writeFile(workDir + "/email_passwords", passwords.join('\n').toLatin1() + "\n");
        conf += "no_anon_password=NO\nsecure_email_list_enable=YES\nemail_password_file=" +
                list.toLocal8Bit() + "\n";
    }
    const QString confPath = writeFile(workDir + "/vsftpd.conf", conf);
    if (!peer.start(prog, {confPath}, workDir)) return false;
    return waitForTcpPort(port);
}

QString startIcecast(Peer& peer, const QString& workDir, quint16 port, const QByteArray& password,
                     const QByteArray& adminUser, const QByteArray& inner, int logLevel)
{
    const QString prog = findProgram("icecast2");
    if (prog.isEmpty()) return "icecast2 is not installed";
    const QString logs = workDir + "/log";
    QDir().mkpath(logs);
    QByteArray owner;
    if (::geteuid() == 0) {
        // icecast2 will not keep running as root: it drops to nobody, who must reach its
        // folder and own its logs.
        QFile::setPermissions(workDir,
                              QFile::permissions(workDir) | QFile::ExeOther | QFile::ReadOther);
        const passwd* pw = ::getpwnam("nobody");
        if (!pw || ::chown(QFile::encodeName(logs).constData(), pw->pw_uid, pw->pw_gid) != 0)
            return "cannot give the log folder to nobody";
        owner = "<changeowner><user>nobody</user><group>nogroup</group></changeowner>";
    }
    const QString conf = writeFile(
        workDir + "/icecast.xml",
        "<icecast><location>Test</location><admin>test@localhost</admin>"
        "<authentication><source-password>" +
            password + "</source-password><admin-user>" + adminUser +
            "</admin-user><admin-password>" + password + "</admin-password></authentication>" +
            inner + "<listen-socket><port>" + QByteArray::number(port) +
            "</port><bind-address>127.0.0.1</bind-address></listen-socket>"
            "<paths><basedir>/usr/share/icecast2</basedir><logdir>" +
            logs.toUtf8() +
            "</logdir><webroot>/usr/share/icecast2/web</webroot>"
            "<adminroot>/usr/share/icecast2/admin</adminroot></paths>"
            "<logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog>"
            "<loglevel>" +
            QByteArray::number(logLevel) + "</loglevel></logging><security><chroot>0</chroot>" +
            owner + "</security></icecast>\n");
    if (!peer.start(prog, {"-c", conf})) return "icecast2 did not start";
    if (!waitForTcpPort(port) || !peer.running()) return "icecast2 does not listen";
    return {};
}

QStringList icecastToneSource(quint16 port, const QString& password, const QString& mount,
                              const QString& name, const QString& genre, int freq, int kbps,
                              bool isPublic)
{
    QStringList args{"-nostdin",
                     "-loglevel",
                     "error",
                     "-re",
                     "-f",
                     "lavfi",
                     "-i",
                     QStringLiteral("sine=frequency=%1:sample_rate=44100").arg(freq),
                     "-ac",
                     "2",
                     "-c:a",
                     "libmp3lame",
                     "-b:a",
                     QStringLiteral("%1k").arg(kbps),
                     "-content_type",
                     "audio/mpeg",
                     "-ice_name",
                     name,
                     "-ice_genre",
                     genre};
    if (isPublic)
        args << "-ice_public"
             << "1";
    args
        << "-f"
        << "mp3"
        << QStringLiteral("icecast://source:%1@127.0.0.1:%2/%3").arg(password).arg(port).arg(mount);
    return args;
}

QString writeFile(const QString& path, const QByteArray& content)
{
    QFileInfo fi(path);
    QDir().mkpath(fi.absolutePath());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(content);
    return fi.absoluteFilePath();
}

bool HttpStandIn::listen(bool tls, const QSslConfiguration& conf)
{
    if (tls) {
        auto* s = new QSslServer(this);
        s->setSslConfiguration(conf);
        server_ = s;
        connect(s, &QSslServer::errorOccurred, this,
                [](QSslSocket*, QAbstractSocket::SocketError) {});
    } else {
        server_ = new QTcpServer(this);
    }
    connect(server_, &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (QTcpSocket* sock = server_->nextPendingConnection()) {
            auto buf = std::make_shared<QByteArray>();
            connect(sock, &QTcpSocket::disconnected, sock, &QObject::deleteLater);
            connect(sock, &QTcpSocket::readyRead, sock, [this, sock, buf] {
                buf->append(sock->readAll());
                const qsizetype end = buf->indexOf("\r\n\r\n");
                if (end < 0) return;
                const QByteArray head = buf->left(end);
                buf->clear();
                heads << head;
                const QByteArray out = answer ? answer(head) : QByteArray();
                if (out.isEmpty()) return;
                sock->write(out);
                sock->disconnectFromHost();
            });
        }
    });
    return server_->listen(QHostAddress::LocalHost);
}

quint16 HttpStandIn::port() const
{
    return server_->serverPort();
}

QString HttpStandIn::url(bool tls) const
{
    return QString(tls ? "https://localhost:%1" : "http://127.0.0.1:%1").arg(port());
}

QByteArray HttpStandIn::lastPath() const
{
    return heads.isEmpty() ? QByteArray() : heads.last().split(' ').value(1);
}

QByteArray httpAnswer(int status, const QByteArray& body, const QByteArray& type,
                      const QByteArray& extraHeaders)
{
    return "HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : " Error") +
           "\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\n" + extraHeaders + "Connection: close\r\n\r\n" + body;
}

bool localhostTls(const QString& workDir, QSslConfiguration& server)
{
    if (findProgram("openssl").isEmpty() || !QSslSocket::supportsSsl()) return false;
    const QString key = workDir + "/key.pem", cert = workDir + "/cert.pem";
    QProcess p;
    p.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                        "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
                        "-keyout", key, "-out", cert});
    if (!p.waitForFinished(60000) || p.exitCode() != 0) return false;
    QFile cf(cert), kf(key);
    if (!cf.open(QIODevice::ReadOnly) || !kf.open(QIODevice::ReadOnly)) return false;
    const QSslCertificate c(cf.readAll());
    const QSslKey k(kf.readAll(), QSsl::Rsa);
    server = QSslConfiguration::defaultConfiguration();
    server.setLocalCertificate(c);
    server.setPrivateKey(k);
    QSslConfiguration client = QSslConfiguration::defaultConfiguration();
    client.addCaCertificate(c);
    QSslConfiguration::setDefaultConfiguration(client);
    return true;
}

} // namespace dwtest
