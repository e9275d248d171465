// The program's own station list source against the directory server: what one sends,
// the other understands, for both packings, genres and refreshes by address.
#include "customserverlist.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <QtTest>
#include <memory>

using namespace dwtest;

namespace {

const QString kServer = QStringLiteral(DW_BINARY_DIR "/tools/directory/dialwise-directory");

struct Run
{
    QList<TSCServer*> done;
    bool complete = false;
    QList<TServerRef> owned; // stations the list reported
};

QStringList sortedNames(const QList<TSCServer*>& stations)
{
    QStringList n;
    for (const TSCServer* s : stations)
        n << s->Name;
    n.sort();
    return n;
}

} // namespace

class TestDirectoryClient : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void refresh_data();
    void refresh();
    void refreshByAddress();

private:
    void cycle(TSCServerList& list, Run& run, bool byAddress,
               const QList<TServerRef>& stations = {});

    QTemporaryDir dir_;
    TempHome home_;
    Peer zlib_, gzip_;
    quint16 zlibPort_ = 0, gzipPort_ = 0;
};

void TestDirectoryClient::initTestCase()
{
    const QString catalog =
        writeFile(dir_.filePath("catalog.txt"),
                  "ip\thostname\tgenre\tnumplayers\tmaxplayers\tbitrate\tavgtime\tuptime\tchatip"
                  "\turl\tsongtitle\ttype\tbnum\n"
                  "127.0.0.1:8000\tClassic One\tClassic Rock\t10\t100\t128\t600\t1700000000\t"
                  "127.0.0.1:8000\thttp://127.0.0.1/\tA - B\t0\t\n"
                  "127.0.0.2\tJazz Two\tJazz\t5\t50\t64\t60\t1700000001\t127.0.0.2:8000\t\t\t1\t9\n"
                  "http://127.0.0.3:9000/live\tLive Three\tPop Dance\t7\t70\t96\t0\t0\t"
                  "127.0.0.3:9000\t\tC - D\t0\t\n"
                  "127.0.0.4:8010\tRock Four\tRock\t1\t10\t32\t0\t0\t127.0.0.4:8010\t\t\t3\t\n");
    for (auto [peer, port, extra] : {std::tuple{&zlib_, &zlibPort_, QStringList{}},
                                     std::tuple{&gzip_, &gzipPort_, QStringList{"--gzip"}}}) {
        *port = freePort();
        QVERIFY(
            peer->start(kServer, QStringList{"--listen", QStringLiteral("127.0.0.1:%1").arg(*port),
                                             "--db", ":memory:", "--catalog", catalog} +
                                     extra));
        QVERIFY(waitForTcpPort(*port));
    }
}

void TestDirectoryClient::cycle(TSCServerList& list, Run& run, bool byAddress,
                                const QList<TServerRef>& stations)
{
    list.OnServerDone = [&run, byAddress](TCustomServerList*, TCustomServer* s) {
        run.done << static_cast<TSCServer*>(s);
        run.owned << s->shared_from_this();
    };
    list.OnComplete = [&run](TCustomServerList*) { run.complete = true; };
    if (byAddress)
        list.UpdateServers(stations);
    else
        list.RefreshAll();
    QTRY_VERIFY_WITH_TIMEOUT(run.complete, 30000);
}

void TestDirectoryClient::refresh_data()
{
    QTest::addColumn<bool>("gzip");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<int>("listeners");

    const QStringList all{"Classic One", "Jazz Two", "Live Three", "Rock Four"};
    QTest::newRow("zlib, all") << false << QString() << all << 23;
    QTest::newRow("gzip, all") << true << QString() << all << 23;
    QTest::newRow("genre") << false << "&genre=rock" << QStringList{"Classic One", "Rock Four"}
                           << 11;
    QTest::newRow("genre with a blank")
        << true << "&genre=classic rock" << QStringList{"Classic One"} << 10;
    QTest::newRow("several genres")
        << false << "&genre=jazz\\dance" << QStringList{"Jazz Two", "Live Three"} << 12;
    QTest::newRow("no such genre") << true << "&genre=polka" << QStringList{} << 0;
}

void TestDirectoryClient::refresh()
{
    QFETCH(bool, gzip);
    QFETCH(QString, suffix);
    Run run; // declared first: the stations outlive the list
    TSCServerList list;
    list.ListURL =
        QStringLiteral("http://127.0.0.1:%1/?compress=1").arg(gzip ? gzipPort_ : zlibPort_);
    list.RequestSuffix = suffix;
    cycle(list, run, false);
    QTEST(sortedNames(run.done), "names");
    QTEST(list.TotalListeners, "listeners");
    QCOMPARE(list.StationCount, int(run.done.size()));

    for (const TSCServer* s : run.done) {
        if (s->Name == "Classic One") {
            QCOMPARE(s->Address, QStringLiteral("127.0.0.1"));
            QCOMPARE(s->Port, QStringLiteral("8000"));
            QCOMPARE(s->Genre, QStringLiteral("Classic Rock"));
            QCOMPARE(s->NumPlayers, 10);
            QCOMPARE(s->MaxPlayers, 100);
            QCOMPARE(s->Bitrate, 128);
            QCOMPARE(s->AvgTime, 600);
            QCOMPARE(s->UpSince, 1700000000);
            QCOMPARE(s->URL, QStringLiteral("http://127.0.0.1/"));
            QCOMPARE(s->SongTitle, QStringLiteral("A - B"));
        } else if (s->Name == "Jazz Two") {
            QCOMPARE(s->Port, QStringLiteral("8000"));
            QCOMPARE(s->PlayerKind, quint8(1));
            QCOMPARE(s->BNum, QStringLiteral("9"));
        } else if (s->Name == "Live Three") {
            QCOMPARE(s->StreamURL, QStringLiteral("http://127.0.0.3:9000/live"));
            QCOMPARE(s->Address, QStringLiteral("127.0.0.3"));
        }
    }
}

void TestDirectoryClient::refreshByAddress()
{
    // Favorites: an address station, a stream-URL station and one the directory does not
    // know; the request carries their encoded addresses.
    Run whole, run; // declared first: the stations outlive the lists
    TSCServerList list;
    list.ListURL = QStringLiteral("http://127.0.0.1:%1/?compress=1").arg(zlibPort_);
    cycle(list, whole, false);
    QList<TServerRef> favorites;
    for (TSCServer* s : whole.done)
        if (s->Name == "Jazz Two" || s->Name == "Live Three") favorites << s->shared_from_this();
    QCOMPARE(favorites.size(), 2);
    favorites << std::make_shared<TSCServer>(QStringLiteral("127.0.0.99"), QStringLiteral("8000"));

    TSCServerList again;
    again.ListURL = list.ListURL;
    cycle(again, run, true, favorites);
    QVERIFY(again.RequestSuffix.startsWith("&ip="));
    QCOMPARE(sortedNames(run.done),
             (QStringList{"Jazz Two", "Live Three", TSCServer::NotResponding()}));
    QCOMPARE(again.StationCount, 2);
    QCOMPARE(again.TotalListeners, 12);
}

QTEST_GUILESS_MAIN(TestDirectoryClient)
#include "test_directory_client.moc"
