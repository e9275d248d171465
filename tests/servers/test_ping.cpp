// Ping against real hosts: loopback addresses answer, a host in a network namespace made
// by the test ignores echo requests. Every echo runs on its own thread.
#include "asyncping.h"
#include "config.h"
#include "customserver.h"
#include "debuglog.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTest>

namespace {

bool Run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// A host inside a network namespace of its own, reached over a veth pair, that ignores
// echo requests. Torn down on destruction.
class TSilentHost
{
public:
    TSilentHost()
    {
        const QString ip = dwtest::findProgram("ip");
        if (ip.isEmpty()) {
            why_ = "the ip program is not installed";
            return;
        }
        const QString id = QString::number(QCoreApplication::applicationPid() % 100000);
        ns_ = "dwping" + id;
        link_ = "dwv" + id + "a";
        const QString peer = "dwv" + id + "b";
        // Link-local addresses: nothing outside this machine can be reached through them.
        const quint32 net = 0xa9fe0000u | ((quint32(id.toInt()) % 16000) * 4 + 64);
        const QString hostSide = QHostAddress(net + 1).toString();
        address_ = QHostAddress(net + 2).toString();
        ip_ = ip;
        if (!Run(ip, {"netns", "add", ns_})) {
            why_ = "network namespaces cannot be made here";
            ns_.clear();
            return;
        }
        const bool ok =
            Run(ip, {"link", "add", link_, "type", "veth", "peer", "name", peer}) &&
            Run(ip, {"link", "set", peer, "netns", ns_}) &&
            Run(ip, {"addr", "add", hostSide + "/30", "dev", link_}) &&
            Run(ip, {"link", "set", link_, "up"}) &&
            Run(ip, {"netns", "exec", ns_, "ip", "addr", "add", address_ + "/30", "dev", peer}) &&
            Run(ip, {"netns", "exec", ns_, "ip", "link", "set", peer, "up"}) &&
            Run(ip, {"netns", "exec", ns_, "ip", "link", "set", "lo", "up"}) &&
            Run(ip,
                {"netns", "exec", ns_, "sysctl", "-q", "-w", "net.ipv4.icmp_echo_ignore_all=1"});
        if (!ok) why_ = "the test network could not be set up";
    }
    ~TSilentHost()
    {
        if (!link_.isEmpty() && !ip_.isEmpty()) Run(ip_, {"link", "del", link_});
        if (!ns_.isEmpty()) Run(ip_, {"netns", "del", ns_});
    }
    bool ok() const { return why_.isEmpty(); }
    QString why() const { return why_; }
    QString address() const { return address_; }

private:
    QString ip_, ns_, link_, address_, why_;
};

} // namespace

class TestPing : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        SetDebugSink([this](const QString& t, int ch) {
            if (ch == dcGenOut && t.startsWith("Ping method: ")) methodLines_ << t;
        });
    }
    void cleanupTestCase()
    {
        SetDebugSink(nullptr);
        // Which way echoes go is told once, with the first echo thread.
        QCOMPARE(methodLines_.size(), 1);
        qInfo("%s", qPrintable(methodLines_.value(0)));
    }
    void init() { SetPingMethodOverride(std::nullopt); }
    void cleanup()
    {
        SetPingMethodOverride(std::nullopt);
        // No echo thread may outlive a test.
        QTRY_COMPARE_WITH_TIMEOUT(TAsyncping::Running(), 0, 6000);
    }

    void resolve_data();
    void resolve();
    void setAddressKeepsResolution();
    void echo_data();
    void echo();
    void runWithoutHostOrHandler();
    void stationPing_data();
    void stationPing();
    void earlierRequestDoesNotEndAttempt();
    void silentHost();

private:
    QStringList methodLines_;
};

void TestPing::resolve_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("resolved");
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QStringList>("display");
    QTest::newRow("dotted") << "127.0.0.7" << true << "127.0.0.7" << QStringList();
    QTest::newRow("name") << "localhost" << true << "127.0.0.1" << QStringList();
    // A label longer than 63 characters fails inside the resolver, without a query.
    const QString badName = QString(70, 'a') + ".test";
    QTest::newRow("unknown name") << badName << false << ""
                                  << QStringList{"Unable to resolve " + badName,
                                                 "Invalid host address"};
}

void TestPing::resolve()
{
    QFETCH(QString, host);
    QFETCH(bool, resolved);
    QFETCH(QString, ip);
    QFETCH(QStringList, display);
    TICMP echo;
    QStringList shown;
    echo.OnDisplay = [&](TICMP*, const QString& t) { shown << t; };
    echo.SetAddress(host);
    echo.EchoTimeout = 1000;
    echo.FallbackPort = 9; // the TCP round trip where no ICMP socket opens
    const int replies = echo.Ping();
    QCOMPARE(echo.Resolved, resolved);
    QCOMPARE(shown, display);
    if (resolved) {
        QCOMPARE(echo.ResolvedIP, ip);
        QCOMPARE(replies, 1);
        if (host == ip) QCOMPARE(echo.ResolvedName, host); // no look-up for a dotted address
    } else {
        QCOMPARE(replies, 0);
        QCOMPARE(echo.LastError, 11018u);
        QCOMPARE(echo.IPAddress, TICMP::Unresolved);
    }
}

void TestPing::setAddressKeepsResolution()
{
    TICMP echo;
    echo.SetAddress("127.0.0.3");
    echo.Resolve();
    QVERIFY(echo.Resolved);
    echo.SetAddress("127.0.0.3");
    QVERIFY(echo.Resolved);
    echo.SetAddress("127.0.0.4");
    QVERIFY(!echo.Resolved);
    echo.Resolve();
    QCOMPARE(echo.ResolvedIP, QString("127.0.0.4"));
}

void TestPing::echo_data()
{
    QTest::addColumn<int>("method");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port"); // -1: a listening port, 0: a closed one
    QTest::addColumn<int>("replies");
    QTest::newRow("probed method") << -1 << "127.0.0.1" << -1 << 1;
    QTest::newRow("tcp to listener") << int(TPingMethod::TcpConnect) << "127.0.0.1" << -1 << 1;
    QTest::newRow("tcp refused counts") << int(TPingMethod::TcpConnect) << "127.0.0.1" << 0 << 1;
    QTest::newRow("tcp without port") << int(TPingMethod::TcpConnect) << "127.0.0.1" << -2 << 0;
}

void TestPing::echo()
{
    QFETCH(int, method);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(int, replies);
    if (method >= 0) SetPingMethodOverride(TPingMethod(method));
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
    const int usePort = port == -1 ? listener.serverPort() : port == 0 ? dwtest::freePort() : 0;
    TICMP echo;
    int requests = 0;
    int reported = -1;
    echo.OnEchoRequest = [&](TICMP*) { ++requests; };
    echo.OnEchoReply = [&](TICMP*, int n) { reported = n; };
    echo.SetAddress(host);
    echo.FallbackPort = usePort;
    echo.EchoTimeout = 1500;
    QCOMPARE(echo.Ping(), replies);
    QCOMPARE(requests, 1);
    QCOMPARE(reported, replies);
    if (replies) {
        QCOMPARE(echo.EchoReply.Status, 0u);
        QVERIFY(echo.EchoReply.RoundTripTime < 1000);
    }
    qInfo("method %s", qPrintable(PingMethodName(echo.Method)));
}

void TestPing::runWithoutHostOrHandler()
{
    TSCServer station("127.0.0.1", "8000");
    int calls = 0;
    auto noHost = TAsyncping::Create();
    noHost->SetHandler([&](TSCServer*, TAsyncping*) { ++calls; }, &station);
    noHost->Resume();
    auto noHandler = TAsyncping::Create();
    noHandler->HostAddress = "127.0.0.1";
    noHandler->Resume();
    QTRY_VERIFY(noHost->Finished && noHandler->Finished);
    QTest::qWait(50);
    QCOMPARE(calls, 0);
    QVERIFY(!noHost->Succeeded);
}

void TestPing::stationPing_data()
{
    QTest::addColumn<int>("method");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("notResponding");
    QTest::addColumn<QString>("path"); // a stream station's port text carries its path
    QTest::newRow("icmp") << -1 << "Radio" << false << "";
    QTest::newRow("tcp") << int(TPingMethod::TcpConnect) << "Radio" << false << "";
    QTest::newRow("tcp, stream port")
        << int(TPingMethod::TcpConnect) << "Radio" << false << "/live";
    QTest::newRow("not responding") << -1 << "NOT RESPONDING" << true << "";
    QTest::newRow("raw pinger") << -2 << "Radio" << false << "";
}

void TestPing::stationPing()
{
    QFETCH(int, method);
    QFETCH(QString, name);
    QFETCH(bool, notResponding);
    QFETCH(QString, path);
    if (method >= 0) SetPingMethodOverride(TPingMethod(method));
    // -2: the raw-socket pinger of the first ping mode, two echoes per attempt.
    ProgramValues().PingMode = method == -2 ? 0 : 1;
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress("127.0.0.1"), 0));
    TSCServer s("127.0.0.1", QString::number(listener.serverPort()) + path);
    s.Name = name;
    int calls = 0;
    s.Query([&](TCustomServer*) { ++calls; });
    QCOMPARE(bool(s.PingThread), method != -2);
    QCOMPARE(bool(s.Pinger), method == -2);
    QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 5000);
    QVERIFY(s.Answered);
    QVERIFY(!s.Pinger);
    if (notResponding)
        QCOMPARE(s.Ping, 9999);
    else
        QVERIFY2(s.Ping >= 0 && s.Ping < 1000, qPrintable(QString::number(s.Ping)));
}

void TestPing::earlierRequestDoesNotEndAttempt()
{
    ProgramValues().PingMode = 1;
    TSCServer s("127.0.0.1", "8000");
    int calls = 0;
    s.Query([&](TCustomServer*) { ++calls; });
    auto stale = TAsyncping::Create();
    s.PingDone(stale.get()); // a request that is not the current one
    QVERIFY(s.Querying);
    QCOMPARE(calls, 0);
    QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 5000);
    QVERIFY(s.Answered);
}

void TestPing::silentHost()
{
    TSilentHost host;
    if (!host.ok()) QSKIP(qPrintable("no silent test host: " + host.why()));
    ProgramValues().PingMode = 1;

    // A silent station: two attempts of 2000 ms, then unanswered with ping 9999.
    TSCServer s(host.address(), "8000");
    s.Ping = 50;
    int calls = 0;
    QElapsedTimer clock;
    clock.start();
    s.Query([&](TCustomServer*) { ++calls; });
    QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 10000);
    QVERIFY2(clock.elapsed() >= 3900, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!s.Answered);
    QCOMPARE(s.Ping, 9999);
    QCOMPARE(s.RetryCount, 0);

    // A station freed while its echo is still out: the late result is discarded.
    int lateCalls = 0;
    {
        TSCServer gone(host.address(), "8000");
        gone.Query([&](TCustomServer*) { ++lateCalls; });
        QTRY_COMPARE(TAsyncping::Running() > 0, true);
    }
    QTRY_COMPARE_WITH_TIMEOUT(TAsyncping::Running(), 0, 6000);
    QCOMPARE(lateCalls, 0);
}

QTEST_GUILESS_MAIN(TestPing)
#include "test_ping.moc"
