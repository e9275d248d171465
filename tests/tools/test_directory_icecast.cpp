// The directory's Icecast source against a real icecast2 fed by ffmpeg.
#include "listcheck.h"
#include "rawhttp.h"
#include "testsupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>
#include <unistd.h>

using namespace dwtest;

namespace {

const QString kServer = QStringLiteral(DW_BINARY_DIR "/tools/directory/dialwise-directory");
const QByteArray kPassword = "demo-source";

QByteArray encoded(const QByteArray& s)
{
    return QUrl::toPercentEncoding(s);
}

} // namespace

class TestDirectoryIcecast : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void liveStations();
    void cleanupTestCase();

private:
    bool startSource(Peer& peer, const QString& mount, const QString& name, const QString& genre,
                     int freq);
    QList<Record> liveRecords();

    QTemporaryDir dir_;
    Peer icecast_, one_, two_, directory_;
    quint16 icePort_ = 0, dirPort_ = 0;
};

void TestDirectoryIcecast::initTestCase()
{
    const QString icecast = findProgram("icecast2");
    if (icecast.isEmpty() || findProgram("ffmpeg").isEmpty())
        DW_PEER_MISSING("icecast2 ffmpeg", "icecast2 or ffmpeg is not installed");
    QVERIFY(QFile::exists(kServer));

    icePort_ = freePort();
    const QString started =
        startIcecast(icecast_, dir_.path(), icePort_, kPassword, "admin",
                     "<limits><clients>50</clients><sources>5</sources></limits>"
                     "<hostname>localhost</hostname>"
                     "<mount><mount-name>/one.mp3</mount-name><bitrate>128</bitrate></mount>");
    QVERIFY2(started.isEmpty(), qPrintable(started + "\n" + icecast_.output()));

    QVERIFY(startSource(one_, "one.mp3", "Test One", "Rock Live", 440));
    QVERIFY(startSource(two_, "two.mp3", "Test Two", "Jazz Live", 660));

    dirPort_ = freePort();
    const QString catalog = writeFile(dir_.filePath("catalog.txt"),
                                      "ip\thostname\tgenre\n127.0.0.5:8000\tCatalog Five\tRock\n");
    QVERIFY(directory_.start(kServer, {"--listen", QStringLiteral("127.0.0.1:%1").arg(dirPort_),
                                       "--db", ":memory:", "--catalog", catalog, "--icecast",
                                       QStringLiteral("http://127.0.0.1:%1").arg(icePort_),
                                       "--poll", "0.3"}));
    QVERIFY(waitForTcpPort(dirPort_));
}

bool TestDirectoryIcecast::startSource(Peer& peer, const QString& mount, const QString& name,
                                       const QString& genre, int freq)
{
    return peer.start(
        findProgram("ffmpeg"),
        icecastToneSource(icePort_, QString::fromUtf8(kPassword), mount, name, genre, freq));
}

QList<Record> TestDirectoryIcecast::liveRecords()
{
    const Reply r = get(dirPort_, "/?compress=1&genre=live");
    return parseList(inflateLikeClient(r.body));
}

void TestDirectoryIcecast::liveStations()
{
    const QByteArray base = "http://127.0.0.1:" + QByteArray::number(icePort_);
    QTRY_VERIFY2_WITH_TIMEOUT(column(liveRecords(), "hostname").size() == 2,
                              qPrintable(directory_.output() + one_.output() + icecast_.output()),
                              15000);

    // A title pushed to the mount and a listener on it show up at the next poll.
    const Reply meta = fetch(icePort_, "GET /admin/metadata?mount=/one.mp3&mode=updinfo&song=" +
                                           encoded("Kestrel - Golden \\ Hour") +
                                           " HTTP/1.0\r\nAuthorization: Basic " +
                                           ("source:" + kPassword).toBase64() + "\r\n\r\n");
    QCOMPARE(meta.status, 200);
    QTcpSocket listener;
    listener.connectToHost(QHostAddress::LocalHost, icePort_);
    QVERIFY(listener.waitForConnected(3000));
    listener.write("GET /one.mp3 HTTP/1.0\r\n\r\n");
    QVERIFY(listener.waitForReadyRead(5000));

    auto one = [&] {
        const QList<Record> recs = parseList(
            inflateLikeClient(get(dirPort_, "/?compress=1&ip=" + encoded(base + "/one.mp3")).body));
        return recs.size() == 1 ? recs.first() : Record();
    };
    QTRY_COMPARE_WITH_TIMEOUT(one().value("numplayers"), QByteArray("1"), 15000);
    QTRY_COMPARE_WITH_TIMEOUT(one().value("songtitle"), QByteArray("Kestrel - Golden / Hour"),
                              15000);
    const Record r = one();
    QCOMPARE(r.value("ip"), base + "/one.mp3");
    QCOMPARE(r.value("hostname"), QByteArray("Test One"));
    QCOMPARE(r.value("genre"), QByteArray("Rock Live"));
    QCOMPARE(r.value("bitrate"), QByteArray("128"));
    QCOMPARE(r.value("type"), QByteArray("0"));
    QCOMPARE(r.value("chatip"), "127.0.0.1:" + QByteArray::number(icePort_));
    const qint64 up = r.value("uptime").toLongLong();
    QVERIFY(up > QDateTime::currentSecsSinceEpoch() - 600);
    QVERIFY(up <= QDateTime::currentSecsSinceEpoch() + 5);

    // Live stations are listed before the catalog and marked on the catalog page.
    const QList<Record> rock = parseList(get(dirPort_, "/?genre=rock").body);
    QCOMPARE(column(rock, "hostname"), (QList<QByteArray>{"Test One", "Catalog Five"}));
    const Reply page = get(dirPort_, "/catalog");
    QCOMPARE(page.body.count(">LIVE<"), 2);

    // A stopped source leaves the list; so does everything of a stopped server.
    two_.stop();
    QTRY_COMPARE_WITH_TIMEOUT(column(liveRecords(), "hostname"), (QList<QByteArray>{"Test One"}),
                              15000);
    listener.abort();
    one_.stop();
    icecast_.stop();
    QTRY_VERIFY_WITH_TIMEOUT(liveRecords().isEmpty(), 15000);
    QCOMPARE(column(parseList(get(dirPort_, "/").body), "hostname"),
             (QList<QByteArray>{"Catalog Five"}));
    QVERIFY(directory_.running());
}

void TestDirectoryIcecast::cleanupTestCase()
{
    directory_.stop();
    one_.stop();
    two_.stop();
    icecast_.stop();
}

QTEST_GUILESS_MAIN(TestDirectoryIcecast)
#include "test_directory_icecast.moc"
