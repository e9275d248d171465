// The station list source against a scripted list server on loopback: the request, the
// body in its three packings, merging, the address refresh, the kept body, time-out,
// abort, proxy and the totals. Pinging is off: the stations end with the list's values.
#include "config.h"
#include "customserverlist.h"
#include "debuglog.h"
#include "httpprot.h"
#include "testsupport.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <zlib.h>

namespace {

// Answers each request with the next scripted reply: a header and body chunks sent a
// little apart, then the connection is closed (or left open to stall).
struct TReply
{
    QByteArray Header = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n";
    QList<QByteArray> Chunks;
    bool Stall = false;
    bool CloseAtOnce = false; // close without any answer
};

class TListServer : public QObject
{
public:
    TListServer()
    {
        server_.listen(QHostAddress("127.0.0.1"), 0);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { accept(); });
    }
    quint16 port() const { return server_.serverPort(); }
    QList<TReply> replies;
    QStringList requests; // request lines
    QStringList hosts;    // Host header values

private:
    void accept()
    {
        while (QTcpSocket* s = server_.nextPendingConnection()) {
            auto* buf = new QByteArray;
            QObject::connect(s, &QTcpSocket::readyRead, this, [this, s, buf] {
                *buf += s->readAll();
                const int end = buf->indexOf("\r\n\r\n");
                if (end < 0 || s->property("answered").toBool()) return;
                s->setProperty("answered", true);
                const QList<QByteArray> lines = buf->left(end).split('\n');
                requests << QString::fromLatin1(lines.value(0).trimmed());
                for (const QByteArray& l : lines)
                    if (l.toLower().startsWith("host:"))
                        hosts << QString::fromLatin1(l.mid(5).trimmed());
                answer(s, replies.isEmpty() ? TReply{} : replies.takeFirst());
            });
            QObject::connect(s, &QTcpSocket::disconnected, s, [s, buf] {
                delete buf;
                s->deleteLater();
            });
        }
    }
    void answer(QTcpSocket* s, const TReply& r)
    {
        if (r.CloseAtOnce) {
            s->disconnectFromHost();
            return;
        }
        s->write(r.Header);
        s->flush();
        int delay = 0;
        for (const QByteArray& c : r.Chunks) {
            delay += 30;
            QTimer::singleShot(delay, s, [s, c] {
                s->write(c);
                s->flush();
            });
        }
        if (!r.Stall) QTimer::singleShot(delay + 30, s, [s] { s->disconnectFromHost(); });
    }
    QTcpServer server_;
};

QByteArray Zlib(const QByteArray& in)
{
    uLongf len = compressBound(uLong(in.size()));
    QByteArray out(qsizetype(len), 0);
    compress2(reinterpret_cast<Bytef*>(out.data()), &len,
              reinterpret_cast<const Bytef*>(in.constData()), uLong(in.size()), 9);
    out.truncate(qsizetype(len));
    return out;
}

QByteArray Gzip(const QByteArray& in)
{
    z_stream zs{};
    deflateInit2(&zs, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&zs, uLong(in.size()))) + 32, 0);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    zs.avail_in = uInt(in.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = uInt(out.size());
    deflate(&zs, Z_FINISH);
    out.truncate(int(zs.total_out));
    deflateEnd(&zs);
    return out;
}

const QByteArray kHead = "\\fieldcount\\14\\ip\\hostname\\genre\\numplayers\\maxplayers\\bitrate"
                         "\\avgtime\\uptime\\chatip\\url\\songtitle\\ping\\type\\bnum";

// One record: ip, hostname, genre, numplayers, then `rest` holding maxplayers, bitrate,
// avgtime, uptime, chatip, url, songtitle, ping, type and bnum.
QByteArray Record(const QByteArray& ip, const QByteArray& name, int listeners,
                  const QByteArray& genre = "rock",
                  const QByteArray& rest = "\\100\\128\\-5\\127.0.0.1:8000"
                                           "\\http://127.0.0.1/\\A - B\\-3\\257\\")
{
    return "\\" + ip + "\\" + name + "\\" + genre + "\\" + QByteArray::number(listeners) + "\\" +
           rest;
}

QByteArray ThreeStations()
{
    return kHead + Record("127.0.0.1:8000", "Radio One", 5) + Record("127.0.0.2", "Radio Two", 7) +
           Record("http://127.0.0.3:9000/live", "Live", 1);
}

struct TRun
{
    QStringList status;
    QList<TCustomServer*> done;
    std::vector<TServerRef> owned;
    int complete = 0;
    void Bind(TSCServerList& l, bool own = true)
    {
        l.OnStatus = [this](TCustomServerList*, int p, const QString& t) {
            status << QString::number(p) + " " + t;
        };
        l.OnServerDone = [this, own](TCustomServerList*, TCustomServer* s) {
            done << s;
            if (own) owned.push_back(s->shared_from_this());
        };
        l.OnComplete = [this](TCustomServerList*) { ++complete; };
    }
    TSCServer* Named(const QString& name) const
    {
        for (TCustomServer* s : done)
            if (s->Name == name) return static_cast<TSCServer*>(s);
        return nullptr;
    }
};

QStringList g_perf;

} // namespace

class TestSCServerList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        SetDebugSink([](const QString& t, int ch) {
            if (ch == dcPerfOut) g_perf << t;
        });
    }
    void cleanupTestCase() { SetDebugSink(nullptr); }
    void init()
    {
        ProgramValues().PingMode = 2;
        ProgramValues().HttpProxy = THttpProxySettings{};
        g_perf.clear();
    }

    void packings_data();
    void packings();
    void fields();
    void mergeRules();
    void refreshByAddress();
    void failedRequestKeepsBody();
    void stalledTransferTimesOut();
    void endlessBodyEndsAtTheCap();
    void abortDuringTransfer();
    void busyClient();
    void throughProxy();
};

void TestSCServerList::packings_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("suffix");
    QTest::newRow("zlib") << Zlib(ThreeStations()) << "";
    QTest::newRow("gzip") << Gzip(ThreeStations()) << "";
    QTest::newRow("plain") << ThreeStations() << "&genre=classic rock";
}

void TestSCServerList::packings()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, suffix);
    TListServer server;
    TReply r;
    // Three pieces, so that the byte count grows.
    const int third = int(body.size() / 3);
    r.Chunks = {body.left(third), body.mid(third, third), body.mid(2 * third)};
    server.replies << r;

    TRun run;
    TSCServerList list;
    run.Bind(list);
    QCOMPARE(list.ServerClass().ClassName, "TSCServer");
    list.ListURL = QString("http://127.0.0.1:%1/?compress=1").arg(server.port());
    list.RequestSuffix = suffix;
    list.RefreshAll();
    QTRY_COMPARE_WITH_TIMEOUT(run.complete, 1, 10000);

    QCOMPARE(server.requests, QStringList{"GET /?compress=1" + suffix + " HTTP/1.0"});
    QCOMPARE(run.done.size(), 3);
    QCOMPARE(list.StationCount, 3);
    QCOMPARE(list.TotalListeners, 13);
    // The cycle is over: the list keeps no station.
    QVERIFY(list.Servers.isEmpty());

    // Status: the list, a growing byte count per piece up to the whole body, the
    // updates, done.
    QCOMPARE(run.status.first(), QString("-1 Server List"));
    QStringList counts;
    for (const QString& s : run.status)
        if (s.startsWith("-1 Server List (")) counts << s;
    QVERIFY(counts.size() >= 1);
    QCOMPARE(counts.last(), QString("-1 Server List (%1)").arg(body.size()));
    QCOMPARE(run.status.last(), QString("0 Updates Complete"));
    QVERIFY(run.status.contains("0 Updating Servers"));
    QVERIFY(g_perf.filter(QRegularExpression("^Parse List took \\d+ ms$")).size() == 1);
}

void TestSCServerList::fields()
{
    TListServer server;
    TReply r;
    const QByteArray longName(300, 'N');
    // 300 three-byte characters: the cut to the name's length falls inside one.
    const QString euros(300, QChar(0x20ac));
    r.Chunks = {Zlib(kHead + Record("127.0.0.4:8004", longName, 9) +
                     Record("127.0.0.5:x", "Bnum", 2, "jazz", "50\\64\\90\\0\\\\\\\\7\\2\\XY") +
                     Record("127.0.0.6:8006", euros.toUtf8(), 1))};
    server.replies << r;
    TRun run;
    TSCServerList list;
    run.Bind(list);
    list.ListURL = QString("http://127.0.0.1:%1/?compress=1").arg(server.port());
    list.RefreshAll();
    QTRY_COMPARE_WITH_TIMEOUT(run.complete, 1, 10000);
    QCOMPARE(run.done.size(), 3);

    auto* a = static_cast<TSCServer*>(run.done[0]);
    QCOMPARE(a->Name, QString(200, 'N'));
    QCOMPARE(a->Address, QString("127.0.0.4"));
    QCOMPARE(a->Port, QString("8004"));
    QCOMPARE(a->HostPort, QString("8004"));
    QCOMPARE(a->Genre, QString("rock"));
    QCOMPARE(a->NumPlayers, 9);
    QCOMPARE(a->MaxPlayers, 0); // empty
    QCOMPARE(a->Bitrate, 100);
    QCOMPARE(a->AvgTime, 128);
    QCOMPARE(a->UpSince, 0); // negative raised
    QCOMPARE(a->ChatIP, QString("127.0.0.1:8000"));
    QCOMPARE(a->URL, QString("http://127.0.0.1/"));
    QCOMPARE(a->SongTitle, QString("A - B"));
    QCOMPARE(a->BNum, QString("257"));
    QCOMPARE(a->PlayerKind, quint8(257 & 0xff));
    QCOMPARE(a->Ping, 0); // negative raised, kept with pinging off
    QVERIFY(a->Answered);
    QCOMPARE(a->RuleValue("Server Name"), QString(200, 'N'));

    auto* b = static_cast<TSCServer*>(run.done[1]);
    QCOMPARE(b->Port, QString("8000")); // not a number
    QCOMPARE(b->Ping, 7);
    QCOMPARE(b->PlayerKind, quint8(2));
    QCOMPARE(b->BNum, QString("XY"));

    // Cut to 200 characters on a character boundary, still read as UTF-8.
    auto* c = static_cast<TSCServer*>(run.done[2]);
    QCOMPARE(c->Address, QString("127.0.0.6"));
    QCOMPARE(c->Name, euros.left(200));
}

void TestSCServerList::mergeRules()
{
    // The same address and port twice: one station with the later values, both records
    // counted. A record the list adds, and one with the "type" standing in for "bnum".
    TListServer server;
    TReply r;
    r.Chunks = {kHead + Record("127.0.0.6:8000", "First", 3) + Record("127.0.0.7", "Other", 4) +
                Record("127.0.0.6:8000", "Second", 5, "pop", "1\\2\\3\\4\\5\\6\\7\\8\\12\\")};
    server.replies << r;
    TRun run;
    TSCServerList list;
    run.Bind(list);
    list.ListURL = QString("http://127.0.0.1:%1/?compress=1").arg(server.port());
    list.RefreshAll();
    QTRY_COMPARE_WITH_TIMEOUT(run.complete, 1, 10000);
    QCOMPARE(run.done.size(), 2);
    QCOMPARE(list.StationCount, 3);
    QCOMPARE(list.TotalListeners, 12);
    QCOMPARE(run.done[0]->Name, QString("Second"));
    QCOMPARE(static_cast<TSCServer*>(run.done[0])->Genre, QString("pop"));
    QCOMPARE(static_cast<TSCServer*>(run.done[0])->BNum, QString("12"));
    QCOMPARE(run.done[1]->Address, QString("127.0.0.7"));
    QCOMPARE(run.done[1]->Port, QString("8000"));
}

void TestSCServerList::refreshByAddress()
{
    // Two favorites, one of them by stream address; the list server knows only the
    // second and adds a station nobody asked for.
    TListServer server;
    TReply r;
    r.Chunks = {Zlib(kHead + Record("http://127.0.0.3:9000/live", "Live again", 4) +
                     Record("127.0.0.8:8000", "Extra", 1))};
    server.replies << r;

    auto favRef1 = std::make_shared<TSCServer>("127.0.0.2", "8010");
    auto favRef2 = std::make_shared<TSCServer>("127.0.0.3", "9000/live");
    TSCServer& fav1 = *favRef1;
    TSCServer& fav2 = *favRef2;
    fav1.Name = "Radio Two";
    fav2.StreamURL = "http://127.0.0.3:9000/live";
    fav2.Name = "Live";
    fav2.Ping = 20;

    TRun run;
    TSCServerList list;
    run.Bind(list);
    list.ListURL = QString("http://127.0.0.1:%1/?compress=1").arg(server.port());
    list.UpdateServers({favRef1, favRef2});
    QCOMPARE(fav1.Name, TSCServer::NotResponding());
    QCOMPARE(fav2.Name, TSCServer::NotResponding());
    QCOMPARE(list.RequestSuffix,
             QString("&ip=127%2E0%2E0%2E2%3A8010\\http%3A%2F%2F127%2E0%2E0%2E3%3A9000%2Flive"));
    QTRY_COMPARE_WITH_TIMEOUT(run.complete, 1, 10000);
    QCOMPARE(server.requests.size(), 1);
    QVERIFY(server.requests[0].startsWith("GET /?compress=1&ip=127%2E0%2E0%2E2%3A8010\\http"));

    QCOMPARE(run.done.size(), 3);
    QCOMPARE(fav1.Name, TSCServer::NotResponding());
    QCOMPARE(fav1.Ping, 9999);
    QCOMPARE(fav2.Name, QString("Live again"));
    QCOMPARE(fav2.Ping, 0);
    TSCServer* extra = run.Named("Extra");
    QVERIFY(extra);
    QVERIFY(extra != &fav1 && extra != &fav2);
    // Only the list held the extra station, and only for its cycle.
    QVERIFY(list.Servers.isEmpty());
}

void TestSCServerList::failedRequestKeepsBody()
{
    // The second request ends without a body: the stations of the last list come again.
    TListServer server;
    TReply ok;
    ok.Chunks = {Zlib(ThreeStations())};
    TReply broken;
    broken.CloseAtOnce = true;
    server.replies << ok << broken;
    TSCServerList list;
    list.ListURL = QString("http://127.0.0.1:%1/?compress=1").arg(server.port());
    for (int round = 0; round < 2; ++round) {
        TRun run;
        run.Bind(list);
        list.RefreshAll();
        QTRY_COMPARE_WITH_TIMEOUT(run.complete, 1, 10000);
        QCOMPARE(run.done.size(), 3);
        QCOMPARE(list.TotalListeners, 13);
    }
    QCOMPARE(server.requests.size(), 2);

    // Before any list: nothing.
    TListServer down;
    TReply none;
    none.CloseAtOnce = true;
    down.replies << none;
    TSCServerList fresh;
    TRun run;
    run.Bind(fresh);
    fresh.ListURL = QString("http://127.0.0.1:%1/?compress=1").arg(down.port());
    fresh.RefreshAll();
    QTRY_COMPARE_WITH_TIMEOUT(run.complete, 1, 10000);
    QCOMPARE(run.done.size(), 0);
    QCOMPARE(run.status.last(), QString("0 Updates Complete"));
}

void TestSCServerList::stalledTransferTimesOut()
{
    TListServer server;
    TReply r;
    r.Chunks = {ThreeStations().left(40)};
    r.Stall = true;
    server.replies << r;
    TRun run;
    TSCServerList list;
    run.Bind(list);
    list.ListTimeoutMs = 400;
    list.ListURL = QString("http://127.0.0.1:%1/?compress=1").arg(server.port());
    list.RefreshAll();
    QTRY_COMPARE_WITH_TIMEOUT(run.complete, 1, 10000);
    QVERIFY(run.status.contains("0 List Timed Out"));
    QCOMPARE(run.status.count("-1 Aborting Updates"), 1);
    QCOMPARE(run.status.last(), QString("0 Updates Complete"));
    QCOMPARE(run.done.size(), 0);
    QTRY_COMPARE(list.HttpClient->State(), httpReady);
    QTest::qWait(200);
    QCOMPARE(run.complete, 1);
}

void TestSCServerList::endlessBodyEndsAtTheCap()
{
    // A body that keeps trickling in (each piece well within the inactivity time) ends at
    // the size cap; the last list received stands in, as for a failed request.
    TListServer server;
    TReply ok;
    ok.Chunks = {Zlib(ThreeStations())};
    TReply endless;
    for (int i = 0; i < 400; ++i)
        endless.Chunks << QByteArray(1000, 'x');
    endless.Stall = true;
    server.replies << ok << endless;
    QStringList errors;
    SetDebugSink([&](const QString& t, int ch) {
        if (ch == dcErrOut) errors << t;
    });
    // The stations outlive the list, which may look at them while it goes.
    TRun runs[2];
    TSCServerList list;
    list.MaxBodyBytes = 4096;
    list.ListTimeoutMs = 5000;
    list.ListURL = QString("http://127.0.0.1:%1/?compress=1").arg(server.port());
    for (int round = 0; round < 2; ++round) {
        TRun& run = runs[round];
        run.Bind(list);
        list.RefreshAll();
        QTRY_COMPARE_WITH_TIMEOUT(run.complete, 1, 60000);
        QVERIFY(!run.status.contains("0 List Timed Out"));
        QCOMPARE(run.done.size(), 3);
        for (const QString& st : std::as_const(run.status))
            if (st.startsWith("-1 Server List ("))
                QVERIFY2(st.mid(16).chopped(1).toInt() <= 4096, qPrintable(st));
    }
    initTestCase(); // the sink of the other cases
    QVERIFY(!errors.filter("Server List larger than 4096 bytes").isEmpty());
    QTRY_COMPARE(list.HttpClient->State(), httpReady);
}

void TestSCServerList::abortDuringTransfer()
{
    TListServer server;
    TReply r;
    r.Chunks = {ThreeStations().left(40)};
    r.Stall = true;
    server.replies << r;
    TRun run;
    TSCServerList list;
    run.Bind(list);
    list.ListURL = QString("http://127.0.0.1:%1/?compress=1").arg(server.port());
    list.RefreshAll();
    QTRY_VERIFY(run.status.size() >= 2); // the first piece arrived
    list.Abort();
    list.Abort();
    QCOMPARE(run.complete, 1);
    QCOMPARE(run.status.count("-1 Aborting Updates"), 1);
    QCOMPARE(run.status.last(), QString("0 Updates Complete"));
    QTRY_COMPARE(list.HttpClient->State(), httpReady);
    QTest::qWait(100);
    QCOMPARE(run.complete, 1);
    QCOMPARE(run.done.size(), 0);
}

void TestSCServerList::busyClient()
{
    // A second start while the first request runs: its message shows, the running one
    // goes on.
    TListServer server;
    TReply r;
    r.Chunks = {Zlib(ThreeStations())};
    server.replies << r;
    TRun run;
    TSCServerList list;
    run.Bind(list);
    list.ListURL = QString("http://127.0.0.1:%1/?compress=1").arg(server.port());
    list.RefreshAll();
    list.RefreshAll();
    QVERIFY(run.status.contains("-1 HTTP component is busy"));
    QTRY_COMPARE_WITH_TIMEOUT(run.complete, 1, 10000);
    QCOMPARE(run.done.size(), 3);
}

void TestSCServerList::throughProxy()
{
    // The scripted server plays the proxy: it gets the absolute address.
    TListServer proxy;
    TReply r;
    r.Chunks = {Zlib(ThreeStations())};
    proxy.replies << r;
    ProgramValues().HttpProxy =
        THttpProxySettings{"127.0.0.1", QString::number(proxy.port()), "", ""};
    TRun run;
    TSCServerList list;
    run.Bind(list);
    list.ListURL = "http://127.0.0.9:1/?compress=1";
    list.RefreshAll();
    QTRY_COMPARE_WITH_TIMEOUT(run.complete, 1, 10000);
    QCOMPARE(proxy.requests, QStringList{"GET http://127.0.0.9:1/?compress=1 HTTP/1.0"});
    QCOMPARE(run.done.size(), 3);
    QCOMPARE(list.HttpClient->Proxy, QString("127.0.0.1"));

    // Without the setting the next request goes straight to the list server.
    ProgramValues().HttpProxy = THttpProxySettings{};
    TListServer direct;
    direct.replies << r;
    TRun again;
    again.Bind(list);
    list.ListURL = QString("http://127.0.0.1:%1/?compress=1").arg(direct.port());
    list.RefreshAll();
    QTRY_COMPARE_WITH_TIMEOUT(again.complete, 1, 10000);
    QVERIFY(list.HttpClient->Proxy.isEmpty());
    QCOMPARE(direct.requests, QStringList{"GET /?compress=1 HTTP/1.0"});
}

QTEST_GUILESS_MAIN(TestSCServerList)
#include "test_scserverlist.moc"
