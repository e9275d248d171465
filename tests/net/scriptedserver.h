#pragma once
// A loopback TCP server whose answers the test scripts: each accepted connection gets
// the reply chunks in order, with an optional close after them. What the client sent is
// kept per connection.
#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <functional>

class ScriptedServer : public QObject
{
public:
    explicit ScriptedServer(QObject* parent = nullptr) : QObject(parent)
    {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                int index = int(received.size());
                received.append(QByteArray());
                sockets.append(s);
                connect(s, &QTcpSocket::readyRead, this, [this, s, index] {
                    received[index] += s->readAll();
                    if (onRead) onRead(s, index, received[index]);
                });
                if (onAccept) onAccept(s, index);
            }
        });
    }
    quint16 port() const { return server.serverPort(); }
    QString url(const QString& path = "/") const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
    }

    // Answers each connection once its request (up to a blank line) has arrived: the
    // chunks are written with a short pause in between so they arrive as separate reads.
    void answerHttp(const QList<QByteArray>& chunks, bool closeAfter = true, int gapMs = 30)
    {
        onRead = [this, chunks, closeAfter, gapMs](QTcpSocket* s, int, const QByteArray& all) {
            if (!all.contains("\r\n\r\n") || s->property("answered").toBool()) return;
            s->setProperty("answered", true);
            writeChunks(s, chunks, closeAfter, gapMs);
        };
    }

    static void writeChunks(QTcpSocket* s, QList<QByteArray> chunks, bool closeAfter, int gapMs)
    {
        QPointer<QTcpSocket> p(s);
        if (chunks.isEmpty()) {
            if (closeAfter && p) p->disconnectFromHost();
            return;
        }
        QByteArray first = chunks.takeFirst();
        s->write(first);
        s->flush();
        QTimer::singleShot(gapMs, s, [p, chunks, closeAfter, gapMs] {
            if (p) writeChunks(p, chunks, closeAfter, gapMs);
        });
    }

    QTcpServer server;
    QList<QByteArray> received;
    QList<QPointer<QTcpSocket>> sockets;
    std::function<void(QTcpSocket*, int)> onAccept;
    std::function<void(QTcpSocket*, int, const QByteArray&)> onRead;
};
