#include "instance.h"
#include "platform.h"

#include <QFile>
#include <QLocalSocket>

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace platform {

QString TInstanceAtom::PathOf(const QString& name)
{
    return RuntimeDir() + "/" + name + ".lock";
}

bool TInstanceAtom::Exists(const QString& name)
{
    return QFile::exists(PathOf(name));
}

bool TInstanceAtom::OwnerAlive(const QString& name)
{
    QFile f(PathOf(name));
    if (!f.open(QIODevice::ReadOnly)) return false;
    bool ok = false;
    const qint64 pid = QString::fromLatin1(f.readAll()).trimmed().toLongLong(&ok);
    if (!ok || pid <= 0) return false;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

bool TInstanceAtom::Add(const QString& name)
{
    QFile f(PathOf(name));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    f.write(QByteArray::number(qint64(getpid())));
    return true;
}

void TInstanceAtom::Delete(const QString& name)
{
    QFile::remove(PathOf(name));
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

void TInstanceServer::handle(QLocalSocket* s)
{
    while (s->canReadLine()) {
        const QString line = QString::fromUtf8(s->readLine()).chopped(1);
        if (line == "front") {
            if (OnBringToFront) OnBringToFront();
        } else if (line.startsWith("link ")) {
            if (OnLink) OnLink(line.mid(5));
        }
        s->write("ok\n");
        s->flush();
    }
}

bool TInstanceServer::Send(const QString& windowClass, InstanceRequest req, const QString& text,
                           int timeoutMs)
{
    QLocalSocket s;
    s.connectToServer(SocketName(windowClass));
    if (!s.waitForConnected(timeoutMs)) return false;
    QByteArray line =
        req == InstanceRequest::BringToFront ? QByteArray("front") : "link " + text.toUtf8();
    line.replace('\n', ' ');
    s.write(line + "\n");
    if (!s.waitForBytesWritten(timeoutMs)) return false;
    // The answer tells that a window took the request.
    return s.waitForReadyRead(timeoutMs) && s.readLine().startsWith("ok");
}

} // namespace platform
