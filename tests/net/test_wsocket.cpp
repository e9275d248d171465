// The stream socket: error numbers and texts, look-ups, connect/send/receive/close on
// loopback, listening, and SOCKS 4, 4A and 5 through real and scripted proxies.
#include "scriptedserver.h"
#include "testsupport.h"
#include "wsocket.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <unistd.h>

namespace {

// An echo peer that greets first: "hi\n", then echoes every byte back.
struct EchoPeer
{
    ScriptedServer srv;
    EchoPeer()
    {
        srv.onAccept = [](QTcpSocket* s, int) { s->write("hi\n"); };
        srv.onRead = [](QTcpSocket* s, int, const QByteArray&) {};
        QObject::connect(&srv.server, &QTcpServer::newConnection, &srv, [] {});
    }
};

struct Recorder
{
    QStringList events;
    QByteArray data;
    void attach(TWSocket& s)
    {
        s.OnSessionConnected = [this](TWSocket*, quint16 e) {
            events << QStringLiteral("connected %1").arg(e);
        };
        s.OnSessionClosed = [this](TWSocket*, quint16 e) {
            events << QStringLiteral("closed %1").arg(e);
        };
        s.OnDataAvailable = [this](TWSocket* w, quint16) { data += w->ReceiveStr(); };
        s.OnDataSent = [this](TWSocket*, quint16 e) { events << QStringLiteral("sent %1").arg(e); };
        s.OnSocksError = [this](TWSocket*, int e, const QString& m) {
            events << QStringLiteral("socks error %1 %2").arg(e).arg(m);
        };
    }
};

QString dantedConf(quint16 port)
{
    return QStringLiteral("logoutput: stderr\n"
                          "internal: 127.0.0.1 port = %1\n"
                          "external: 127.0.0.1\n"
                          "socksmethod: none\n"
                          "clientmethod: none\n"
                          "user.privileged: root\n"
                          "user.unprivileged: nobody\n"
                          "client pass {\n from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
                          "socks pass {\n from: 127.0.0.0/8 to: 0.0.0.0/0\n command: connect\n}\n")
        .arg(port);
}

} // namespace

class TestWSocket : public QObject
{
    Q_OBJECT
private slots:
    void errorTexts_data();
    void errorTexts();
    void errnoMapping();
    void resolveErrors_data();
    void resolveErrors();
    void dnsLookup();
    void connectSendReceiveClose();
    void closeWithBacklog();
    void connectByName();
    void connectFailures();
    void listenAcceptDup();
    void listenByName();
    void socks4NamesLookedUpFirst();
    void handlerThatDoesNotReadStillSeesClose();
    void freedByItsCaller();
    void socksThroughRealProxies_data();
    void socksThroughRealProxies();
    void socksScripted_data();
    void socksScripted();
};

void TestWSocket::errorTexts_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("streamText");
    QTest::addColumn<QString>("setText");
    QTest::newRow("0") << 0 << "No Error"
                       << "No Error";
    QTest::newRow("10004") << 10004 << "Interrupted system call"
                           << "Interrupted system call";
    QTest::newRow("10035") << 10035 << "Operation would block"
                           << "Operation would block";
    QTest::newRow("10038") << 10038 << "Socket operation on non-socket"
                           << "Socket operation on nonsocket";
    QTest::newRow("10047") << 10047 << "Address family not supported by protocol family"
                           << "Address family not supported";
    QTest::newRow("10050") << 10050 << "Network is down"
                           << "Network is down";
    QTest::newRow("10054") << 10054 << "Connection reset by peer"
                           << "Connection reset by peer";
    QTest::newRow("10059") << 10059 << "Too many references: can't splice"
                           << "Too many references:can't splice";
    QTest::newRow("10061") << 10061 << "Connection refused"
                           << "Connection refused";
    QTest::newRow("10065") << 10065 << "No route to host"
                           << "No route to host";
    QTest::newRow("10071") << 10071 << "Too many levels of remote in path"
                           << "Too many levels of remote in path";
    QTest::newRow("10072") << 10072 << "Not a WinSock error"
                           << "Not a Winsock error";
    QTest::newRow("10005") << 10005 << "Not a WinSock error"
                           << "Not a Winsock error";
    QTest::newRow("10093") << 10093 << "WinSock not initialized"
                           << "Winsock not initialized";
    QTest::newRow("11001") << 11001 << "Host not found"
                           << "Host not found";
    QTest::newRow("11004") << 11004 << "No Data"
                           << "Valid name, no data record of requested type";
    QTest::newRow("11005") << 11005 << "Not a WinSock error"
                           << "Not a Winsock error";
}

void TestWSocket::errorTexts()
{
    QFETCH(int, number);
    QFETCH(QString, streamText);
    QFETCH(QString, setText);
    QCOMPARE(SocketErrorText(number), streamText);
    QCOMPARE(WSocketsErrorText(number), setText);
}

void TestWSocket::errnoMapping()
{
    QCOMPARE(WinsockError(ECONNREFUSED), 10061);
    QCOMPARE(WinsockError(ECONNRESET), 10054);
    QCOMPARE(WinsockError(EPIPE), 10054);
    QCOMPARE(WinsockError(EAGAIN), 10035);
    QCOMPARE(WinsockError(ETIMEDOUT), 10060);
    QCOMPARE(WinsockError(ENOTCONN), 10057);
    QCOMPARE(WinsockError(EHOSTUNREACH), 10065);
    QCOMPARE(WinsockError(0), 0);
}

void TestWSocket::resolveErrors_data()
{
    QTest::addColumn<int>("which"); // 0 host, 1 port, 2 proto
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("message");
    QTest::newRow("empty host") << 0 << ""
                                << "WSocketResolveHost: '' Invalid Hostname.";
    QTest::newRow("bad dotted") << 0 << "1.2.3"
                                << "WSocketResolveHost: '1.2.3' Invalid IP address.";
    // A label longer than 63 characters fails inside the resolver, without a query.
    const QString badName = QString(70, 'a') + ".test";
    QTest::newRow("unresolvable host")
        << 0 << badName << "WSocketResolveHost: Cannot convert host address '" + badName + "'";
    QTest::newRow("empty port") << 1 << ""
                                << "WSocketResolvePort: Invalid Port.";
    QTest::newRow("long port") << 1 << QString(32, 'x') << "WSocketResolvePort: Invalid Port.";
    QTest::newRow("unknown service") << 1 << "nosuchservice"
                                     << "WSocketResolvePort: Cannot convert port 'nosuchservice'";
    QTest::newRow("empty proto") << 2 << ""
                                 << "WSocketResolveProto: Invalid Protocol.";
    QTest::newRow("unknown proto") << 2 << "nosuchproto"
                                   << "WSocketResolveProto: Cannot convert protocol 'nosuchproto'";
}

void TestWSocket::resolveErrors()
{
    QFETCH(int, which);
    QFETCH(QString, text);
    QFETCH(QString, message);
    try {
        if (which == 0) WSocketResolveHost(text);
        if (which == 1) WSocketResolvePort(text, "tcp");
        if (which == 2) WSocketResolveProto(text);
        QFAIL("no exception");
    } catch (const ESocketException& e) {
        QCOMPARE(e.Message, message);
    }
    QCOMPARE(WSocketResolveHost(" 127.0.0.1 "), quint32(0x7f000001));
    QCOMPARE(WSocketResolvePort("http", "tcp"), quint16(80));
    QCOMPARE(WSocketResolvePort("8000", "tcp"), quint16(8000));
}

void TestWSocket::dnsLookup()
{
    TWSocket s;
    QList<int> done;
    s.OnDnsLookupDone = [&](TWSocket*, quint16 e) { done << e; };

    // A dotted address completes before the call returns.
    s.DnsLookup("127.0.0.1");
    QCOMPARE(done, QList<int>{0});
    QCOMPARE(s.DnsResult(), QString("127.0.0.1"));

    done.clear();
    s.DnsLookup("localhost");
    QVERIFY(s.DnsLookupRunning());
    QTRY_COMPARE(done, QList<int>{0});
    QVERIFY(s.DnsResultList().contains("127.0.0.1"));

    // Cancelling reports "interrupted"; the late result is never delivered.
    done.clear();
    s.DnsLookup("localhost");
    s.CancelDnsLookup();
    QCOMPARE(done, QList<int>{10004});
    QTest::qWait(100);
    QCOMPARE(done, QList<int>{10004});

    done.clear();
    try {
        s.DnsLookup("");
        QFAIL("no exception");
    } catch (const ESocketException& e) {
        QCOMPARE(e.Message, QString("DNS lookup: invalid host name."));
    }
    // With an error handler the failure is reported through it and the lookup event.
    int errors = 0;
    s.OnError = [&](TWSocket*) { ++errors; };
    s.DnsLookup("");
    QCOMPARE(errors, 1);
    QCOMPARE(done, QList<int>{10022});
}

// The owner may free the socket from inside any of its events (a chat window closed when
// its connection drops, a transfer cancelled on its first data). The socket's guards stop
// it from touching itself afterwards; the sanitizer build proves it.
void TestWSocket::freedByItsCaller()
{
    ScriptedServer srv;
    srv.onAccept = [](QTcpSocket* s, int) { s->write("hi\n"); };
    srv.onRead = [](QTcpSocket* s, int, const QByteArray& all) {
        if (all.endsWith("bye\n")) s->disconnectFromHost();
    };
    for (const QString when : {"state", "lookup", "connected", "data", "closed"}) {
        auto* s = new TWSocket;
        QPointer<TWSocket> alive(s);
        int freed = 0;
        QStringList after;
        auto on = [&, s](const QString& name) {
            if (!alive) {
                after << name;
                return;
            }
            if (name == "data" && s->ReceiveStr().isEmpty()) return;
            if (name == "data" && when != "data") s->SendStr(QByteArray("bye\n"));
            if (name != when || freed) return;
            ++freed;
            delete s;
        };
        s->OnChangeState = [on](TWSocket*, TSocketState, TSocketState n) {
            if (n == wsConnected) on("state");
        };
        s->OnDnsLookupDone = [on](TWSocket*, quint16) { on("lookup"); };
        s->OnSessionConnected = [on](TWSocket*, quint16) { on("connected"); };
        s->OnDataAvailable = [on](TWSocket*, quint16) { on("data"); };
        s->OnSessionClosed = [on](TWSocket*, quint16) { on("closed"); };
        if (when == "lookup") {
            s->DnsLookup("127.0.0.1");
        } else {
            s->SetAddr("127.0.0.1");
            s->SetPort(QString::number(srv.port()));
            s->Connect();
        }
        QTRY_VERIFY2_WITH_TIMEOUT(freed == 1, qPrintable(when), 10000);
        QVERIFY(!alive);
        QTest::qWait(50); // what was queued for the socket runs, and finds it gone
        QVERIFY2(after.isEmpty(), qPrintable(when + ": " + after.join(' ')));
    }
}

void TestWSocket::connectSendReceiveClose()
{
    ScriptedServer srv;
    srv.onAccept = [](QTcpSocket* s, int) { s->write("hi\n"); };
    srv.onRead = [](QTcpSocket* s, int, const QByteArray& all) {
        if (all.endsWith("bye\n")) s->disconnectFromHost();
    };
    TWSocket s;
    Recorder r;
    r.attach(s);
    QList<TSocketState> states;
    s.OnChangeState = [&](TWSocket*, TSocketState, TSocketState n) { states << n; };
    s.SetAddr("127.0.0.1");
    s.SetPort(QString::number(srv.port()));
    s.Connect();
    QCOMPARE(s.State(), wsConnecting);
    QTRY_COMPARE(r.events, QStringList{"connected 0"});
    QTRY_COMPARE(r.data, QByteArray("hi\n"));
    QCOMPARE(s.ReadCount(), qint64(3));

    // Properties are locked while open.
    try {
        s.SetAddr("127.0.0.2");
        QFAIL("no exception");
    } catch (const ESocketException& e) {
        QCOMPARE(e.Message, QString("Cannot change Addr if not closed"));
    }
    try {
        s.SetSocksServer("127.0.0.1");
        QFAIL("no exception");
    } catch (const ESocketException& e) {
        QCOMPARE(e.Message, QString("Can't change socks server if not closed"));
    }

    // A big send goes through the queue; OnDataSent comes once it is empty.
    QByteArray big(4 * 1024 * 1024, 'x');
    QCOMPARE(s.Send(big.constData(), int(big.size())), int(big.size()));
    QTRY_VERIFY(r.events.contains("sent 0"));
    QTRY_COMPARE(srv.received.value(0).size(), big.size());
    QCOMPARE(r.events.count("sent 0"), 1);

    // The peer closes: one OnSessionClosed, state closed, a later Close does nothing.
    s.SendStr(QString("bye\n"));
    QTRY_VERIFY(r.events.contains("closed 0"));
    QCOMPARE(s.State(), wsClosed);
    s.Close();
    QCOMPARE(r.events.count("closed 0"), 1);
    QCOMPARE(states, (QList<TSocketState>{wsConnecting, wsConnected, wsClosed}));

    // Sending while closed fails with 10057.
    try {
        s.SendStr(QString("x"));
        QFAIL("no exception");
    } catch (const ESocketException& e) {
        QCOMPARE(e.ErrorCode, 10057);
        QCOMPARE(e.Message, QString("Error 10057 in function Send\r\nSocket is not connected"));
    }

    // Our own Close and Abort report the session closed once each.
    for (bool abort : {false, true}) {
        r.events.clear();
        s.Connect();
        QTRY_COMPARE(r.events, QStringList{"connected 0"});
        if (abort)
            s.Abort();
        else
            s.Close();
        QCOMPARE(r.events, (QStringList{"connected 0", "closed 0"}));
        QCOMPARE(s.State(), wsClosed);
    }
}

// Closing while much is still queued: Close returns at once with the session closed,
// the socket can open again, and the backlog still reaches the peer in full, then the
// end of the connection. The peer runs on this thread, so nothing of it could arrive
// while Close waited.
void TestWSocket::closeWithBacklog()
{
    bool peerSawEnd = false; // outlives the server: its connections end as it goes
    ScriptedServer srv;
    srv.onAccept = [&](QTcpSocket* c, int) {
        QObject::connect(c, &QTcpSocket::disconnected, [&] { peerSawEnd = true; });
    };
    TWSocket s;
    Recorder r;
    r.attach(s);
    s.SetAddr("127.0.0.1");
    s.SetPort(QString::number(srv.port()));
    s.Connect();
    QTRY_COMPARE(r.events, QStringList{"connected 0"});
    const QByteArray big(48 * 1024 * 1024, 'y');
    s.Send(big.constData(), int(big.size()));
    s.Close();
    QCOMPARE(s.State(), wsClosed);
    QCOMPARE(r.events, (QStringList{"connected 0", "closed 0"}));
    QVERIFY(srv.received.value(0).size() < big.size());
    s.Connect(); // the socket is free for another connection meanwhile
    QTRY_COMPARE(r.events.count("connected 0"), 2);
    QTRY_COMPARE_WITH_TIMEOUT(srv.received.value(0).size(), big.size(), 20000);
    QTRY_VERIFY(peerSawEnd);
    s.Abort();
}

// A host name is looked up without blocking: Connect returns at once, connecting, and the
// connection follows (a name that does not resolve fails as a refused connect does).
void TestWSocket::connectByName()
{
    ScriptedServer srv;
    TWSocket s;
    Recorder r;
    r.attach(s);
    s.SetAddr("localhost");
    s.SetPort(QString::number(srv.port()));
    s.Connect();
    QCOMPARE(s.State(), wsConnecting);
    QTRY_COMPARE(r.events, QStringList{"connected 0"});
    QCOMPARE(s.GetPeerAddr(), QString("127.0.0.1"));
    s.Close();

    // Closed while the name is looked up: nothing more comes.
    r.events.clear();
    s.SetAddr("localhost.");
    s.Connect();
    s.Close();
    QCOMPARE(s.State(), wsClosed);
    QTest::qWait(300);
    QCOMPARE(r.events, QStringList());
}

void TestWSocket::connectFailures()
{
    TWSocket s;
    Recorder r;
    r.attach(s);
    quint16 dead = dwtest::freePort();
    s.SetAddr("127.0.0.1");
    s.SetPort(QString::number(dead));
    s.Connect();
    QTRY_COMPARE(r.events, QStringList{"connected 10061"});
    QCOMPARE(s.State(), wsClosed);
    QTest::qWait(50);
    QCOMPARE(r.events, QStringList{"connected 10061"}); // no session, so no close event

    struct Case
    {
        QString addr, port, proto, message;
    };
    const QList<Case> cases = {
        {"127.0.0.1", "", "tcp", "Connect: No Port Specified"},
        {"", "80", "tcp", "Connect: No IP Address Specified"},
        {"127.0.0.1", "80", "", "Connect: No Protocol Specified"},
        {"1.2.3", "80", "tcp", "connect: WSocketResolveHost: '1.2.3' Invalid IP address."},
    };
    for (const Case& c : cases) {
        TWSocket t;
        t.SetAddr(c.addr);
        t.SetPort(c.port);
        t.SetProto(c.proto);
        try {
            t.Connect();
            QFAIL(qPrintable("no exception for " + c.message));
        } catch (const ESocketException& e) {
            QCOMPARE(e.Message, c.message);
        }
    }
    try {
        s.SetSocksLevel("6");
        QFAIL("no exception");
    } catch (const ESocketException& e) {
        QCOMPARE(e.Message, QString("Invalid socks level. Must be 4, 4A or 5."));
    }
    s.SetSocksServer("127.0.0.1");
    try {
        s.Listen();
        QFAIL("no exception");
    } catch (const ESocketException& e) {
        QCOMPARE(e.Message, QString("listening is not supported thru socks server"));
    }
    s.SetProto("udp");
    try {
        s.Connect();
        QFAIL("no exception");
    } catch (const ESocketException& e) {
        QCOMPARE(e.Message, QString("tcp is the only protocol supported thru socks server"));
    }
}

void TestWSocket::listenAcceptDup()
{
    TWSocket listener, served, client;
    quint16 port = dwtest::freePort();
    listener.SetAddr("127.0.0.1");
    listener.SetPort(QString::number(port));
    listener.OnSessionAvailable = [&](TWSocket* l, quint16) {
        served.Dup(l->Accept());
        served.SendStr(QString("welcome\n"));
    };
    QByteArray servedGot;
    served.OnDataAvailable = [&](TWSocket* w, quint16) { servedGot += w->ReceiveStr(); };
    listener.Listen();
    QCOMPARE(listener.State(), wsListening);
    QCOMPARE(listener.GetXPort(), port);

    Recorder r;
    r.attach(client);
    client.SetAddr("127.0.0.1");
    client.SetPort(QString::number(port));
    client.Connect();
    QTRY_COMPARE(r.data, QByteArray("welcome\n"));
    QCOMPARE(served.State(), wsConnected);
    QCOMPARE(served.GetPeerPort(), client.GetXPort());
    client.SendStr(QString("thanks\n"));
    QTRY_COMPARE(servedGot, QByteArray("thanks\n"));
    served.Close();
    QTRY_VERIFY(r.events.contains("closed 0"));
    listener.Close();
    QCOMPARE(listener.State(), wsClosed);
}

void TestWSocket::listenByName()
{
    // A name is looked up off this thread: Listen returns at once, without a socket yet.
    TWSocket listener, client;
    int accepted = 0;
    listener.OnSessionAvailable = [&](TWSocket* l, quint16) {
        const int h = l->Accept();
        if (h >= 0) ++accepted, ::close(h);
    };
    QStringList states;
    listener.OnChangeState = [&](TWSocket*, TSocketState, TSocketState n) {
        states << QString::number(n);
    };
    const quint16 port = dwtest::freePort();
    listener.SetAddr("localhost");
    listener.SetPort(QString::number(port));
    listener.Listen();
    QCOMPARE(listener.State(), wsOpened);
    QCOMPARE(listener.HSocket(), -1);
    QTRY_COMPARE(listener.State(), wsListening);
    QCOMPARE(listener.GetXAddr(), QString("127.0.0.1"));
    QCOMPARE(states, QStringList({QString::number(wsOpened), QString::number(wsListening)}));
    client.SetAddr("127.0.0.1");
    client.SetPort(QString::number(port));
    client.Connect();
    QTRY_COMPARE(accepted, 1);
    listener.Close();
    QCOMPARE(listener.State(), wsClosed);

    // The name again: known now, so bound at once.
    listener.Listen();
    QCOMPARE(listener.State(), wsListening);
    listener.Close();

    // Closed or aborted during the look-up: nothing is bound, the socket can listen again.
    for (bool abort : {false, true}) {
        TWSocket fresh; // knows no names yet
        fresh.SetAddr("localhost");
        fresh.SetPort(QString::number(port));
        fresh.Listen();
        QCOMPARE(fresh.State(), wsOpened);
        abort ? fresh.Abort() : fresh.Close();
        QCOMPARE(fresh.State(), wsClosed);
        QTest::qWait(200);
        QCOMPARE(fresh.State(), wsClosed);
        QCOMPARE(fresh.HSocket(), -1);
        fresh.Listen();
        QTRY_COMPARE(fresh.State(), wsListening);
    }

    // A name that is not found (a label too long to ask any server for) fails through
    // the error event.
    const QString bad = QString(70, 'a') + ".test";
    QStringList errors;
    listener.OnError = [&](TWSocket* w) { errors << w->LastErrorMessage(); };
    listener.SetAddr(bad);
    listener.Listen();
    QTRY_COMPARE(errors.size(), 1);
    QCOMPARE(errors[0], "listen: WSocketResolveHost: Cannot convert host address '" + bad + "'");
    QCOMPARE(listener.LastError(), 11001);
    QCOMPARE(listener.State(), wsClosed);
}

void TestWSocket::socks4NamesLookedUpFirst()
{
    // SOCKS 4 sends the peer's address: its name is looked up before the proxy is
    // reached, as is the proxy's own name; a peer that is not found is SOCKS error 20017.
    struct Case
    {
        QString proxy, peer;
        QByteArray request;
        QString expect;
    };
    const QString bad = QString(70, 'a') + ".test";
    const QList<Case> cases = {
        {"localhost", "localhost", QByteArray("\x04\x01\x1f\x90\x7f\x00\x00\x01u\x00", 10),
         "connected 0"},
        {"127.0.0.1", bad, QByteArray(),
         "socks error 20017 can't resolve host name: " + bad + "|connected 20017"},
        {"localhost", bad, QByteArray(),
         "socks error 20017 can't resolve host name: " + bad + "|connected 20017"},
    };
    for (const Case& c : cases) {
        ScriptedServer proxy;
        QByteArray request;
        proxy.onRead = [&](QTcpSocket* s, int, const QByteArray& all) {
            if (!all.endsWith('\0') || !request.isEmpty()) return;
            request = all;
            s->write(QByteArray("\x00\x5a\x00\x00\x00\x00\x00\x00", 8));
        };
        TWSocket s;
        Recorder r;
        r.attach(s);
        s.SetAddr(c.peer);
        s.SetPort("8080");
        s.SetSocksServer(c.proxy);
        s.SetSocksPort(QString::number(proxy.port()));
        s.SetSocksLevel("4");
        s.SetSocksUsercode("u");
        s.Connect();
        QCOMPARE(s.State(), wsConnecting);
        QCOMPARE(s.HSocket(), -1); // no connection before the names are known
        QTRY_COMPARE(r.events.join('|'), c.expect);
        QCOMPARE(request, c.request);
        QCOMPARE(s.State(), c.request.isEmpty() ? wsClosed : wsConnected);
    }
}

void TestWSocket::handlerThatDoesNotReadStillSeesClose()
{
    // A data handler that throws without reading must neither spin nor lose the close.
    ScriptedServer srv;
    srv.onAccept = [](QTcpSocket* s, int) {
        s->write("data");
        s->flush();
        QTimer::singleShot(100, s, [s] { s->disconnectFromHost(); });
    };
    TWSocket s;
    int calls = 0, closed = 0;
    s.OnDataAvailable = [&](TWSocket*, quint16) {
        ++calls;
        throw ESocketException("not now");
    };
    s.OnSessionClosed = [&](TWSocket*, quint16) { ++closed; };
    s.SetAddr("127.0.0.1");
    s.SetPort(QString::number(srv.port()));
    s.Connect();
    QTRY_COMPARE(closed, 1);
    QVERIFY2(calls <= 3, qPrintable(QString::number(calls)));
}

void TestWSocket::socksThroughRealProxies_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("level");
    QTest::addColumn<bool>("auth");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("expect"); // data, or the SOCKS error
    QTest::newRow("danted socks4") << "danted"
                                   << "4" << false << ""
                                   << "hi\n";
    QTest::newRow("danted socks5") << "danted"
                                   << "5" << false << ""
                                   << "hi\n";
    QTest::newRow("microsocks socks5 user") << "microsocks"
                                            << "5" << true << "pw"
                                            << "hi\n";
    QTest::newRow("microsocks wrong password") << "microsocks"
                                               << "5" << true << "wrong"
                                               << "socks error 20015 socks authentication failed";
}

void TestWSocket::socksThroughRealProxies()
{
    QFETCH(QString, program);
    QFETCH(QString, level);
    QFETCH(bool, auth);
    QFETCH(QString, password);
    QFETCH(QString, expect);
    QString exe = dwtest::findProgram(program);
    if (exe.isEmpty())
        DW_PEER_MISSING(program == "danted" ? "dante-server" : program,
                        program + " is not installed");
    QTemporaryDir dir;
    quint16 proxyPort = dwtest::freePort();
    dwtest::Peer proxy;
    if (program == "danted") {
        QString conf =
            dwtest::writeFile(dir.filePath("danted.conf"), dantedConf(proxyPort).toLatin1());
        QVERIFY(proxy.start(exe, {"-f", conf, "-p", dir.filePath("danted.pid")}, dir.path()));
    } else {
        QVERIFY(proxy.start(
            exe, {"-i", "127.0.0.1", "-p", QString::number(proxyPort), "-u", "user", "-P", "pw"}));
    }
    QVERIFY2(dwtest::waitForTcpPort(proxyPort), qPrintable(proxy.output()));

    ScriptedServer srv;
    srv.onAccept = [](QTcpSocket* s, int) { s->write("hi\n"); };
    TWSocket s;
    Recorder r;
    r.attach(s);
    QList<TSocksAuthState> authStates;
    s.OnSocksAuthState = [&](TWSocket*, TSocksAuthState a) { authStates << a; };
    int socksConnected = 0;
    s.OnSocksConnected = [&](TWSocket*, quint16 e) { socksConnected += e == 0; };
    s.SetAddr("127.0.0.1");
    s.SetPort(QString::number(srv.port()));
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(QString::number(proxyPort));
    s.SetSocksLevel(level);
    if (auth) {
        s.SetSocksUsercode("user");
        s.SetSocksPassword(password);
        s.SetSocksAuthentication(socksAuthenticateUsercode);
    }
    s.Connect();
    if (expect.startsWith("socks error")) {
        QTRY_COMPARE(r.events, (QStringList{expect, "connected 20015"}));
        QCOMPARE(authStates, (QList<TSocksAuthState>{socksAuthStart, socksAuthFailure}));
        QCOMPARE(s.State(), wsClosed);
        return;
    }
    QTRY_COMPARE(r.data, expect.toLatin1());
    QCOMPARE(r.events, QStringList{"connected 0"});
    QCOMPARE(socksConnected, 1);
    if (auth) QCOMPARE(authStates, (QList<TSocksAuthState>{socksAuthStart, socksAuthSuccess}));
    s.SendStr(QString("through\n"));
    QTRY_COMPARE(srv.received.value(0), QByteArray("through\n"));
    s.Close();
}

void TestWSocket::socksScripted_data()
{
    QTest::addColumn<QString>("level");
    QTest::addColumn<QByteArrayList>("replies");   // one per client message
    QTest::addColumn<QByteArray>("expectRequest"); // the last message the proxy got
    QTest::addColumn<QString>("expect");
    const QByteArray req5 = QByteArray("\x05\x01\x00\x03\x0b"
                                       "example.org\x1f\x90",
                                       18);
    QTest::newRow("4A sends the name")
        << "4A" << QByteArrayList{QByteArray("\x00\x5a\x00\x00\x00\x00\x00\x00", 8) + "welcome"}
        << QByteArray("\x04\x01\x1f\x90\x00\x00\x00\x01u\x00"
                      "example.org\x00",
                      22)
        << "connected 0|welcome";
    QTest::newRow("4 status 91") << "4"
                                 << QByteArrayList{QByteArray("\x00\x5b\x00\x00\x00\x00\x00\x00",
                                                              8)}
                                 << QByteArray("\x04\x01\x1f\x90\x7f\x00\x00\x01u\x00", 10)
                                 << "socks error 20016 request rejected or failed|connected 20016";
    QTest::newRow("4 status 99") << "4"
                                 << QByteArrayList{QByteArray("\x00\x63\x00\x00\x00\x00\x00\x00",
                                                              8)}
                                 << QByteArray("\x04\x01\x1f\x90\x7f\x00\x00\x01u\x00", 10)
                                 << "socks error 20012 unassigned error #99|connected 20012";
    QTest::newRow("5 method 255")
        << "5" << QByteArrayList{QByteArray("\x05\xff", 2)} << QByteArray("\x05\x01\x00", 3)
        << "socks error 20003 authentification method not acceptable|connected 20003";
    QTest::newRow("5 version error")
        << "5" << QByteArrayList{QByteArray("\x04\x00", 2)} << QByteArray("\x05\x01\x00", 3)
        << "socks error 20002 socks version error|connected 20002";
    QTest::newRow("5 too much data")
        << "5" << QByteArrayList{QByteArray("\x05\x00\x00", 3)} << QByteArray("\x05\x01\x00", 3)
        << "socks error 20014 too much data availaible|connected 20014";
    QTest::newRow("5 refused")
        << "5"
        << QByteArrayList{QByteArray("\x05\x00", 2),
                          QByteArray("\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00", 10)}
        << req5 << "socks error 20008 connection refused|connected 20008";
    QTest::newRow("5 status 9")
        << "5"
        << QByteArrayList{QByteArray("\x05\x00", 2),
                          QByteArray("\x05\x09\x00\x01\x00\x00\x00\x00\x00\x00", 10)}
        << req5 << "socks error 20012 unassigned error #9|connected 20012";
    QTest::newRow("5 IPv6 bound address")
        << "5"
        << QByteArrayList{QByteArray("\x05\x00", 2),
                          QByteArray("\x05\x00\x00\x04", 4) + QByteArray(18, '\0')}
        << req5 << "socks error 20011 address type not supported|connected 20011";
    // The reply, split, with the peer's first bytes right behind it.
    QTest::newRow("5 name bound, data behind")
        << "5"
        << QByteArrayList{QByteArray("\x05\x00", 2), QByteArray("\x05\x00\x00\x03\x04", 5) +
                                                         "prox" + QByteArray("\x04\x38", 2) +
                                                         "first"}
        << req5 << "connected 0|first";
}

void TestWSocket::socksScripted()
{
    QFETCH(QString, level);
    QFETCH(QByteArrayList, replies);
    QFETCH(QByteArray, expectRequest);
    QFETCH(QString, expect);
    // The scripted proxy answers message n with replies[n]; a message is complete when
    // it has the length the protocol gives it.
    ScriptedServer proxy;
    int answered = 0;
    QByteArray lastMessage;
    proxy.onRead = [&](QTcpSocket* s, int, const QByteArray& all) {
        QByteArray rest = all;
        int consumed = 0;
        for (int i = 0; i < answered; ++i)
            consumed += s->property(QByteArray("len") + QByteArray::number(i)).toInt();
        rest = all.mid(consumed);
        if (answered >= replies.size() || rest.isEmpty()) return;
        int len = int(rest.size());
        if (rest.at(0) == 4) {
            // version 4: up to the last zero byte (4A has two)
            if (level == "4A" && rest.count('\0') < 5) return;
            if (!rest.endsWith('\0')) return;
        }
        s->setProperty(QByteArray("len") + QByteArray::number(answered), len);
        lastMessage = rest;
        s->write(replies.at(answered++));
    };
    TWSocket s;
    Recorder r;
    r.attach(s);
    s.SetAddr(level == "4" ? "127.0.0.1" : "example.org");
    s.SetPort("8080");
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(QString::number(proxy.port()));
    s.SetSocksLevel(level);
    s.SetSocksUsercode(level.startsWith("4") ? "u" : "");
    s.Connect();
    const QStringList want = expect.split('|');
    if (want.last().startsWith("connected")) {
        QTRY_COMPARE(r.events, want);
        QCOMPARE(s.State(), wsClosed);
        QCOMPARE(s.LastError(), want.last().mid(10).toInt());
    } else {
        QTRY_COMPARE(r.data, want.last().toLatin1());
        QCOMPARE(r.events, want.mid(0, 1));
        QCOMPARE(s.State(), wsConnected);
    }
    QCOMPARE(lastMessage, expectRequest);
    if (expect.contains("first")) {
        QCOMPARE(s.SocksBoundAddr(), QString("prox"));
        QCOMPARE(s.SocksBoundPort(), quint16(1080));
    }
}

QTEST_GUILESS_MAIN(TestWSocket)
#include "test_wsocket.moc"
