#pragma once
// A bare HTTP/1.0 exchange over a TCP socket: the request bytes as given, the answer
// read until the server closes.
#include <QElapsedTimer>
#include <QTcpSocket>

namespace dwtest {

struct Reply
{
    int status = 0;
    QByteArray head;
    QByteArray body;
};

// Sends raw request bytes and reads until the server closes the connection.
inline Reply fetch(quint16 port, const QByteArray& request)
{
    Reply r;
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(5000)) return r;
    s.write(request);
    QByteArray all;
    QElapsedTimer t;
    t.start();
    while (s.state() == QAbstractSocket::ConnectedState && t.elapsed() < 10000) {
        s.waitForReadyRead(200);
        all += s.readAll();
    }
    all += s.readAll();
    const qsizetype end = all.indexOf("\r\n\r\n");
    if (end < 0) return r;
    r.head = all.left(end);
    r.body = all.mid(end + 4);
    if (r.head.startsWith("HTTP/1.0 ")) r.status = r.head.mid(9, 3).toInt();
    return r;
}

inline Reply get(quint16 port, const QByteArray& target)
{
    return fetch(port, "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
}

} // namespace dwtest
