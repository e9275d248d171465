#include "instance.h"
#include "platform.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

QString TInstanceAtom::PathOf(const QString& name)
{
    return RuntimeDir() + "/" + name + ".lock";
}

namespace {
int g_lockFd = -1;
QString g_lockName;
} // namespace

bool TInstanceAtom::Exists(const QString& name)
{
    return QFile::exists(PathOf(name));
}

bool TInstanceAtom::OwnerAlive(const QString& name)
{
    if (g_lockFd >= 0 && g_lockName == name) return true;
    const QByteArray path = QFile::encodeName(PathOf(name));
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

bool TInstanceAtom::Add(const QString& name)
{
    if (g_lockFd >= 0) return g_lockName == name;
    const QByteArray path = QFile::encodeName(PathOf(name));
    // The owner deletes the file when it ends: a lock won on a file that is no longer
    // the one at the path is worth nothing, so look again.
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) return false;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return false; // a live owner
        }
        struct stat held
        {
        }, there{};
        if (::fstat(fd, &held) != 0 || ::stat(path.constData(), &there) != 0 ||
            held.st_ino != there.st_ino || held.st_dev != there.st_dev) {
            ::close(fd);
            continue;
        }
        const QByteArray pid = QByteArray::number(qint64(getpid()));
        if (::ftruncate(fd, 0) == 0 && ::write(fd, pid.constData(), size_t(pid.size())) < 0) {
            // The number is for people only; the lock is what counts.
        }
        g_lockFd = fd;
        g_lockName = name;
        return true;
    }
    return false;
}

void TInstanceAtom::Delete(const QString& name)
{
    if (g_lockFd < 0 || g_lockName != name) return;
    // Removed while still locked, so that nobody takes over a file on its way out.
    QFile::remove(PathOf(name));
    ::close(g_lockFd);
    g_lockFd = -1;
    g_lockName.clear();
}

QString TInstanceServer::SocketName(const QString& windowClass)
{
    return RuntimeDir() + "/" + windowClass.toLower() + ".sock";
}

TInstanceServer::TInstanceServer(QObject* parent) : QObject(parent)
{
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* s = server_.nextPendingConnection()) {
            connect(s, &QLocalSocket::readyRead, this, [this, s] { handle(s); });
            connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
        }
    });
}

TInstanceServer::~TInstanceServer()
{
    server_.close();
}

bool TInstanceServer::Listen(const QString& windowClass)
{
    const QString name = SocketName(windowClass);
    // A socket file left by a killed instance would refuse the bind.
    QLocalServer::removeServer(name);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    return server_.listen(name);
}

void TInstanceServer::HoldRequests(bool hold)
{
    holding_ = hold;
    while (!holding_ && !held_.isEmpty())
        deliver(held_.takeFirst());
}

void TInstanceServer::handle(QLocalSocket* s)
{
    while (s->canReadLine()) {
        const QString line = QString::fromUtf8(s->readLine()).chopped(1);
        // The answer tells the later start that its request was taken.
        s->write("ok\n");
        s->flush();
        if (holding_)
            held_ << line;
        else
            deliver(line);
    }
}

void TInstanceServer::deliver(const QString& line)
{
    if (line == "front") {
        if (OnBringToFront) OnBringToFront();
    } else if (line.startsWith("link ")) {
        if (OnLink) OnLink(line.mid(5));
    }
}

bool TInstanceServer::Send(const QString& windowClass, InstanceRequest req, const QString& text,
                           int timeoutMs)
{
    // The running instance may still be starting: its socket can appear a moment later.
    QElapsedTimer clock;
    clock.start();
    QLocalSocket s;
    for (;;) {
        s.connectToServer(SocketName(windowClass));
        if (s.waitForConnected(qMax(1, timeoutMs - int(clock.elapsed())))) break;
        s.abort();
        if (clock.elapsed() >= timeoutMs) return false;
        QThread::msleep(50);
    }
    QByteArray line =
        req == InstanceRequest::BringToFront ? QByteArray("front") : "link " + text.toUtf8();
    line.replace('\n', ' ');
    s.write(line + "\n");
    if (!s.waitForBytesWritten(qMax(1000, timeoutMs))) return false;
    // The request is with the running instance now; one that is busy creating its windows
    // answers once its loop runs. Sending again would repeat the request, so a late answer
    // is waited for, and missing it still counts as handed over.
    if (s.waitForReadyRead(AnswerTimeoutMs)) return s.readLine().startsWith("ok");
    // Gone without an answer: it ended, and the marker can be taken over.
    return s.state() == QLocalSocket::ConnectedState;
}

} // namespace platform
