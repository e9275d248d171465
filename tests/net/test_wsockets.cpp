// The simple socket set: TCP client and server, UDP, reserved-port binding, and ICMP
// echo (TPinger and the platform echo layer) against loopback and a silent host in a
// network namespace made by the test.
#include "icmpecho.h"
#include "testsupport.h"
#include "wsockets.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTcpServer>
#include <QUdpSocket>
#include <QtTest>

namespace {

bool run(const QStringList& cmd, QString* out = nullptr)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(cmd.first(), cmd.mid(1));
    bool ok =
        p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (out) *out = QString::fromLocal8Bit(p.readAll());
    return ok;
}

// A host in its own network namespace, reached over a veth pair, that ignores echo
// requests. Torn down with the object.
class SilentHost
{
public:
    SilentHost()
    {
        const qint64 pid = QCoreApplication::applicationPid();
        ns_ = QStringLiteral("dwnet%1").arg(pid);
        // A /30 of the benchmarking range of its own, so parallel tests do not collide.
        const QString net = QStringLiteral("198.18.%1.").arg(pid % 250);
        address_ = net + "2";
        veth_ = QStringLiteral("dwv%1").arg(QCoreApplication::applicationPid() % 100000);
        const QString peer = veth_ + "p";
        const QList<QStringList> steps = {
            {"ip", "netns", "add", ns_},
            {"ip", "link", "add", veth_, "type", "veth", "peer", "name", peer},
            {"ip", "link", "set", peer, "netns", ns_},
            {"ip", "addr", "add", net + "1/30", "dev", veth_},
            {"ip", "link", "set", veth_, "up"},
            {"ip", "netns", "exec", ns_, "ip", "addr", "add", net + "2/30", "dev", peer},
            {"ip", "netns", "exec", ns_, "ip", "link", "set", peer, "up"},
            {"ip", "netns", "exec", ns_, "sysctl", "-w", "net.ipv4.icmp_echo_ignore_all=1"},
        };
        for (const QStringList& s : steps) {
            QString out;
            if (!run(s, &out)) {
                why_ = s.join(' ') + ": " + out.trimmed();
                return;
            }
        }
        ok_ = true;
    }
    ~SilentHost()
    {
        run({"ip", "link", "del", veth_});
        run({"ip", "netns", "del", ns_});
    }
    bool ok() const { return ok_; }
    QString why() const { return why_; }
    QString address() const { return address_; }

private:
    QString ns_, veth_, why_, address_;
    bool ok_ = false;
};

} // namespace

class TestWSockets : public QObject
{
    Q_OBJECT
private slots:
    void tcpClientAndServer();
    void authorizedPortWalk();
    void udpRoundTrip_data();
    void udpRoundTrip();
    void errorsReachTheErrorEvent();
    void echoRequestFormat();
    void decodeIcmpErrors();
    void pingLoopback();
    void pingSilentHost();
};

void TestWSockets::tcpClientAndServer()
{
    TTCPServer server;
    server.Port = QString::number(dwtest::freePort());
    QList<int> accepted, serverClosed;
    QByteArray serverGot;
    server.OnAccept = [&](TCustomWSockets*, int h) { accepted << h; };
    server.OnData = [&](TCustomWSockets*, int h) {
        char buf[64];
        int n = server.ReceiveBuffer(h, buf, sizeof buf);
        if (n > 0) serverGot.append(buf, n);
    };
    server.OnClose = [&](TCustomWSockets*, int h) { serverClosed << h; };
    server.Listen();
    QCOMPARE(server.SocketState(), ssListening);

    TTCPClient client;
    client.Host = "127.0.0.1";
    client.Port = server.Port;
    int connects = 0, closes = 0;
    QString clientGot;
    client.OnConnect = [&](TCustomWSockets*, int) { ++connects; };
    client.OnData = [&](TCustomWSockets*, int) { clientGot += client.ReceiveText(); };
    client.OnClose = [&](TCustomWSockets*, int) { ++closes; };
    client.Open();
    QTRY_COMPARE(connects, 1);
    QTRY_COMPARE(accepted.size(), 1);
    QCOMPARE(client.SocketState(), ssConnected);

    client.SendText(QString("hello server"));
    QTRY_COMPARE(serverGot, QByteArray("hello server"));
    QCOMPARE(server.SendBuffer(accepted[0], "hello client", 12), 12);
    QTRY_COMPARE(clientGot, QString("hello client"));

    // The server drops the client: the client sees the close.
    server.CloseClient(accepted[0]);
    QTRY_COMPARE(closes, 1);
    QCOMPARE(client.SocketState(), ssClosed);
    QVERIFY(server.Clients().isEmpty());

    // The client closes: the server raises OnClose with that client and forgets it.
    client.Open();
    QTRY_COMPARE(accepted.size(), 2);
    client.Close();
    QTRY_COMPARE(serverClosed, QList<int>{accepted[1]});
    QTRY_VERIFY(server.Clients().isEmpty());
    QCOMPARE(closes, 1); // our own Close raises no OnClose
    server.Close();
    QCOMPARE(server.SocketState(), ssClosed);
}

void TestWSockets::authorizedPortWalk()
{
    // With 1024 taken, an authorized client binds the next lower free port.
    QTcpServer blocker;
    const bool blocked = blocker.listen(QHostAddress::LocalHost, 1024);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    TTCPClient client;
    client.Host = "127.0.0.1";
    client.Port = QString::number(server.serverPort());
    client.Authorized = true;
    int connects = 0;
    client.OnConnect = [&](TCustomWSockets*, int) { ++connects; };
    client.Open();
    QTRY_COMPARE(connects, 1);
    QTRY_VERIFY(server.hasPendingConnections());
    QTcpSocket* peer = server.nextPendingConnection();
    QCOMPARE(peer->peerPort(), client.LocalPort());
    QVERIFY(client.LocalPort() >= 513);
    QVERIFY(client.LocalPort() <= (blocked ? 1023 : 1024));
    client.Close();
}

void TestWSockets::udpRoundTrip_data()
{
    QTest::addColumn<bool>("authorized");
    QTest::newRow("any port") << false;
    QTest::newRow("reserved port") << true;
}

void TestWSockets::udpRoundTrip()
{
    QFETCH(bool, authorized);
    QUdpSocket echo;
    QVERIFY(echo.bind(QHostAddress::LocalHost, 0));
    quint16 senderPort = 0;
    QObject::connect(&echo, &QUdpSocket::readyRead, &echo, [&] {
        while (echo.hasPendingDatagrams()) {
            QNetworkDatagram d = echo.receiveDatagram();
            senderPort = d.senderPort();
            echo.writeDatagram(d.makeReply("re:" + d.data()));
        }
    });
    TUDPClient udp;
    udp.Host = "127.0.0.1";
    udp.Port = QString::number(echo.localPort());
    udp.Authorized = authorized;
    QStringList got;
    udp.OnData = [&](TCustomWSockets*, int) { got << udp.ReceiveText(); };
    udp.Open();
    QCOMPARE(udp.SocketState(), ssConnected);
    udp.SendText(QString("\\status\\"));
    udp.SendText(QString("MOTD|x"));
    QTRY_COMPARE(got, (QStringList{"re:\\status\\", "re:MOTD|x"}));
    QCOMPARE(senderPort, udp.LocalPort());
    if (authorized) QVERIFY(udp.LocalPort() <= 1024 && udp.LocalPort() >= 513);
    QCOMPARE(udp.ReceiveText(), QString()); // nothing waiting
    udp.Close();
    QCOMPARE(udp.SocketState(), ssClosed);
}

void TestWSockets::errorsReachTheErrorEvent()
{
    struct Case
    {
        QString host, port;
        int error;
        QString text;
    };
    const QList<Case> cases = {
        {"127.0.0.1", QString::number(dwtest::freePort()), 10061, "Connection refused"},
        {QString(70, 'a') + ".test", "80", 11001, "Host not found"},
        {"127.0.0.1", "nosuchservice", 11004, "Valid name, no data record of requested type"},
    };
    for (const Case& c : cases) {
        TTCPClient client;
        client.Host = c.host;
        client.Port = c.port;
        QList<QPair<int, QString>> errors;
        client.OnError = [&](TCustomWSockets*, int e, const QString& m) {
            errors << qMakePair(e, m);
        };
        client.Open();
        QTRY_COMPARE(errors.size(), 1);
        QCOMPARE(errors[0].first, c.error);
        QCOMPARE(errors[0].second, c.text);
        QCOMPARE(client.SocketState(), ssClosed);
    }
    TTCPClient idle;
    QList<int> errs;
    idle.OnError = [&](TCustomWSockets*, int e, const QString&) { errs << e; };
    idle.SendText(QString("x"));
    QCOMPARE(errs, QList<int>{10057});
}

void TestWSockets::echoRequestFormat()
{
    QByteArray r = TPinger::BuildRequest(0x1234, 0x0102, 0xA1B2C3D4);
    QCOMPARE(r.size(), 45);
    QCOMPARE(quint8(r[0]), quint8(8));
    QCOMPARE(quint8(r[1]), quint8(0));
    QCOMPARE(platform::IcmpChecksum(r.constData(), int(r.size())), quint16(0)); // sums to zero
    QCOMPARE(r.mid(4, 4), QByteArray("\x12\x34\x01\x02", 4));
    QCOMPARE(quint8(r[8]), quint8(0));
    QCOMPARE(r.mid(13, 32), QByteArray(" !\"#$%&'()*+,-./0123456789:;<=>?"));
    // Odd length: the last byte counts as the high half of a word.
    QCOMPARE(platform::IcmpChecksum("\x01", 1), quint16(~0x0100 & 0xffff));
}

void TestWSockets::decodeIcmpErrors()
{
    // An unreachable message from a router quotes our request's IP header and the first
    // eight bytes of the echo: the id and sequence are found in the quote.
    QByteArray req = platform::BuildEchoRequest(0x4242, 7, QByteArray(8, 'x'));
    QByteArray quotedIp("\x45\x00\x00\x24\x00\x00\x00\x00\x40\x01\x00\x00\x7f\x00\x00\x01"
                        "\x7f\x00\x00\x02",
                        20);
    QByteArray icmp("\x03\x01\x00\x00\x00\x00\x00\x00", 8);
    icmp += quotedIp + req.left(8);
    platform::TIcmpPacket p;
    QVERIFY(platform::DecodeIcmpPacket(icmp.constData(), int(icmp.size()),
                                       platform::TEchoMethod::Datagram, p));
    QCOMPARE(p.Type, 3);
    QCOMPARE(p.Code, 1);
    QCOMPARE(p.Id, quint16(0x4242));
    QCOMPARE(p.Seq, quint16(7));
    // Raw sockets deliver the IP header first; a truncated one is rejected.
    QByteArray raw = quotedIp;
    raw[9] = 1;
    raw += req;
    QVERIFY(platform::DecodeIcmpPacket(raw.constData(), int(raw.size()), platform::TEchoMethod::Raw,
                                       p));
    QCOMPARE(p.Type, 8);
    QCOMPARE(p.IpLength, int(raw.size()));
    QCOMPARE(p.Payload, QByteArray(8, 'x'));
    QVERIFY(!platform::DecodeIcmpPacket(raw.constData(), 12, platform::TEchoMethod::Raw, p));
}

void TestWSockets::pingLoopback()
{
    if (platform::EchoMethod() == platform::TEchoMethod::None)
        QSKIP("this machine allows neither ICMP datagram nor raw sockets");
    TPinger pinger;
    pinger.Host = "127.0.0.1";
    int replies = 0;
    QList<int> errors;
    pinger.OnReply = [&](TPinger*) { ++replies; };
    pinger.OnError = [&](TCustomWSockets*, int e, const QString&) { errors << e; };
    pinger.Ping();
    QTRY_COMPARE_WITH_TIMEOUT(replies, 1, 5000);
    QVERIFY(errors.isEmpty());
    QCOMPARE(pinger.Answers(), 4);
    QVERIFY(pinger.AverageTime() < 9999);
    QVERIFY(!pinger.Running());

    // The blocking echo of the platform layer, as the station engine's threads use it.
    platform::TEchoResult r =
        platform::IcmpEcho(QHostAddress("127.0.0.1"), 2000, QByteArray(56, ' '));
    QCOMPARE(r.Status, quint32(platform::EchoSuccess));
    QCOMPARE(r.Data, QByteArray(56, ' '));
    QVERIFY(r.RoundTripMs < 2000);
    QCOMPARE(r.Method, platform::EchoMethod());

    // Stop ends a batch without OnReply.
    pinger.Ping();
    pinger.Stop();
    QTest::qWait(100);
    QCOMPARE(replies, 1);
}

void TestWSockets::pingSilentHost()
{
    if (platform::EchoMethod() == platform::TEchoMethod::None)
        QSKIP("this machine allows neither ICMP datagram nor raw sockets");
    SilentHost host;
    if (!host.ok()) QSKIP(qPrintable("cannot make a network namespace here: " + host.why()));
    TPinger pinger;
    pinger.Host = host.address();
    pinger.Timeout = 600;
    int replies = 0;
    pinger.OnReply = [&](TPinger*) { ++replies; };
    QElapsedTimer t;
    t.start();
    pinger.Ping();
    QTRY_COMPARE_WITH_TIMEOUT(replies, 1, 5000);
    QVERIFY2(t.elapsed() >= 550, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(pinger.AverageTime(), 9999);
    QCOMPARE(pinger.Answers(), 0);

    platform::TEchoResult r =
        platform::IcmpEcho(QHostAddress(host.address()), 300, QByteArray(56, ' '));
    QCOMPARE(r.Status, quint32(platform::EchoTimedOut));
}

QTEST_GUILESS_MAIN(TestWSockets)
#include "test_wsockets.moc"
