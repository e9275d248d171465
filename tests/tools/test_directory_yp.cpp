// The directory protocol (YP): a real icecast2 whose <directory> block names the directory
// lists its public source there, touches it with the song and listeners, and removes it;
// and the protocol's bad requests.
#include "listcheck.h"
#include "rawhttp.h"
#include "testsupport.h"

#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <unistd.h>

using namespace dwtest;

namespace {

const QString kServer = QStringLiteral(DW_BINARY_DIR "/tools/directory/dialwise-directory");
const QByteArray kPassword = "yp-source";

Reply post(quint16 port, const QByteArray& form)
{
    return fetch(port, "POST /cgi-bin/yp-cgi HTTP/1.0\r\nHost: 127.0.0.1\r\n"
                       "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                           QByteArray::number(form.size()) + "\r\n\r\n" + form);
}

QByteArray header(const Reply& r, const QByteArray& name)
{
    for (const QByteArray& line : r.head.split('\n'))
        if (line.toLower().startsWith(name.toLower() + ':'))
            return line.mid(name.size() + 1).trimmed();
    return {};
}

} // namespace

class TestDirectoryYp : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void icecastListsItself();
    void badRequests_data();
    void badRequests();
    void onlyAnsweringStreamsAreListed();
    void untouchedListingsGo();
    void addsAreLimitedPerAddress();
    void cleanupTestCase();

private:
    QList<Record> records(const QByteArray& genre);
    Record find(const QByteArray& genre, const QByteArray& name);

    QTemporaryDir dir_;
    Peer icecast_, source_, directory_;
    quint16 icePort_ = 0, dirPort_ = 0;
};

void TestDirectoryYp::initTestCase()
{
    const QString icecast = findProgram("icecast2");
    if (icecast.isEmpty() || findProgram("ffmpeg").isEmpty())
        DW_PEER_MISSING("icecast2 ffmpeg", "icecast2 or ffmpeg is not installed");
    QVERIFY(QFile::exists(kServer));

    dirPort_ = freePort();
    QVERIFY(directory_.start(kServer, {"--listen", QStringLiteral("127.0.0.1:%1").arg(dirPort_),
                                       "--db", dir_.filePath("directory.db"), "--empty",
                                       "--motd-port", "0", "--add-limit", "6"}));
    QVERIFY(waitForTcpPort(dirPort_));

    icePort_ = freePort();
    const QString started =
        startIcecast(icecast_, dir_.path(), icePort_, kPassword, "admin",
                     "<limits><clients>50</clients><sources>5</sources></limits>"
                     "<directory><yp-url-timeout>15</yp-url-timeout><yp-url>http://127.0.0.1:" +
                         QByteArray::number(dirPort_) +
                         "/cgi-bin/yp-cgi</yp-url></directory><hostname>127.0.0.1</hostname>"
                         "<mount><mount-name>/yp.mp3</mount-name><bitrate>96</bitrate><public>1</"
                         "public></mount>",
                     3);
    QVERIFY2(started.isEmpty(), qPrintable(started + "\n" + icecast_.output()));
}

QList<Record> TestDirectoryYp::records(const QByteArray& genre)
{
    return parseList(inflateLikeClient(get(dirPort_, "/?compress=1&genre=" + genre).body));
}

Record TestDirectoryYp::find(const QByteArray& genre, const QByteArray& name)
{
    for (const Record& r : records(genre))
        if (r.value("hostname") == name) return r;
    return {};
}

void TestDirectoryYp::icecastListsItself()
{
    QVERIFY(source_.start(findProgram("ffmpeg"),
                          icecastToneSource(icePort_, QString::fromUtf8(kPassword), "yp.mp3",
                                            "YP Harbor", "Yptest Rock", 440, 96, true)));
    // Listed once the directory has heard the stream answer (icecast adds a source a
    // minute after it connects).
    const QByteArray listen = "http://127.0.0.1:" + QByteArray::number(icePort_) + "/yp.mp3";
    QTRY_VERIFY_WITH_TIMEOUT(!find("yptest", "YP Harbor").isEmpty(), 90000);
    Record r = find("yptest", "YP Harbor");
    QCOMPARE(r.value("ip"), listen);
    QCOMPARE(r.value("genre"), QByteArray("Yptest Rock"));
    QCOMPARE(r.value("bitrate"), QByteArray("96"));
    QCOMPARE(r.value("type"), QByteArray("0"));

    // A new title reaches the directory with the next touch.
    auto setTitle = [&](const QByteArray& title) {
        QProcess curl;
        curl.start(findProgram("curl"),
                   {"-s", "-o", "/dev/null", "-u", "source:" + QString::fromUtf8(kPassword), "-G",
                    "--data-urlencode", "mount=/yp.mp3", "--data-urlencode", "mode=updinfo",
                    "--data-urlencode", "song=" + QString::fromUtf8(title),
                    QStringLiteral("http://127.0.0.1:%1/admin/metadata").arg(icePort_)});
        curl.waitForFinished(5000);
    };
    // (icecast touches 5 s after its add, then every 30 s at the most often.)
    setTitle("Kestrel - Golden Hour");
    QTRY_COMPARE_WITH_TIMEOUT(find("yptest", "YP Harbor").value("songtitle"),
                              QByteArray("Kestrel - Golden Hour"), 45000);

    // The source stops: icecast removes its listing.
    source_.stop();
    QTRY_VERIFY_WITH_TIMEOUT(find("yptest", "YP Harbor").isEmpty(), 30000);
}

void TestDirectoryYp::badRequests_data()
{
    QTest::addColumn<QByteArray>("form");
    QTest::addColumn<QByteArray>("message");
    const QByteArray add = "action=add&genre=Rock&b=128&type=audio/mpeg";
    QTest::newRow("no action") << QByteArray("sn=x") << QByteArray("No action given");
    QTest::newRow("unknown action") << QByteArray("action=dance") << QByteArray("Unknown action");
    QTest::newRow("add without name")
        << add + "&listenurl=http://127.0.0.1:1/x" << QByteArray("No station name");
    QTest::newRow("add without listen URL") << add + "&sn=A" << QByteArray("No listen URL");
    QTest::newRow("listen URL not http")
        << add + "&sn=A&listenurl=file:///etc/passwd" << QByteArray("must be an http://");
    QTest::newRow("listen URL with a user")
        << add + "&sn=A&listenurl=http://u@127.0.0.1:1/x" << QByteArray("must be an http://");
    QTest::newRow("listen URL elsewhere")
        << add + "&sn=A&listenurl=http://127.0.0.2:8000/x" << QByteArray("not on the address");
    QTest::newRow("value too long")
        << add + "&sn=" + QByteArray(2000, 'a') + "&listenurl=http://127.0.0.1:1/x"
        << QByteArray("The value of sn is too long");
    QTest::newRow("bad escape") << QByteArray("action=add&sn=%zz") << QByteArray("Bad escape");
    QTest::newRow("too many fields")
        << QByteArray("action=add").append(QByteArray("&x=1").repeated(80))
        << QByteArray("Too many fields");
    QTest::newRow("touch without sid") << QByteArray("action=touch&st=x") << QByteArray("No SID");
    QTest::newRow("touch of an unknown sid")
        << QByteArray("action=touch&sid=abc123&st=x") << QByteArray("SID does not exist");
    QTest::newRow("touch with a strange sid")
        << QByteArray("action=touch&sid=a'b") << QByteArray("SID does not exist");
    QTest::newRow("remove of an unknown sid")
        << QByteArray("action=remove&sid=abc123") << QByteArray("SID does not exist");
}

void TestDirectoryYp::badRequests()
{
    QFETCH(QByteArray, form);
    QFETCH(QByteArray, message);
    const Reply r = post(dirPort_, form);
    QCOMPARE(r.status, 200);
    QCOMPARE(header(r, "YPResponse"), QByteArray("0"));
    QVERIFY2(header(r, "YPMessage").contains(message), r.head.constData());
    QVERIFY(header(r, "SID").isEmpty());
}

void TestDirectoryYp::onlyAnsweringStreamsAreListed()
{
    // Nothing listens at this listen URL: the add is taken, the station never listed.
    const quint16 closed = freePort();
    const Reply r = post(dirPort_, "action=add&sn=Ghost+Station&genre=Ghostly&b=64&listenurl=http"
                                   "%3A%2F%2F127.0.0.1%3A" +
                                       QByteArray::number(closed) + "%2Fghost");
    QCOMPARE(header(r, "YPResponse"), QByteArray("1"));
    const QByteArray sid = header(r, "SID");
    QVERIFY(!sid.isEmpty());
    QCOMPARE(header(r, "TouchFreq"), QByteArray("30"));
    QString log;
    QTRY_VERIFY_WITH_TIMEOUT((log += directory_.output()).contains("did not answer with a stream"),
                             10000);
    QVERIFY(records("ghostly").isEmpty());
    // A touch is taken; a remove drops it; the SID is then gone.
    QCOMPARE(header(post(dirPort_, "action=touch&sid=" + sid + "&st=x&listeners=3"), "YPResponse"),
             QByteArray("1"));
    QCOMPARE(header(post(dirPort_, "action=remove&sid=" + sid), "YPResponse"), QByteArray("1"));
    QCOMPARE(header(post(dirPort_, "action=touch&sid=" + sid), "YPMessage"),
             QByteArray("SID does not exist"));
}

void TestDirectoryYp::untouchedListingsGo()
{
    // A stream that answers, on a directory that wants a touch every second.
    QTcpServer stream;
    QVERIFY(stream.listen(QHostAddress::LocalHost, 0));
    connect(&stream, &QTcpServer::newConnection, this, [&stream] {
        while (QTcpSocket* c = stream.nextPendingConnection()) {
            connect(c, &QTcpSocket::readyRead, c, [c] {
                c->readAll();
                c->write("HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n");
                c->write(QByteArray(4096, '\xff'));
            });
            connect(c, &QTcpSocket::disconnected, c, &QObject::deleteLater);
        }
    });
    Peer quick;
    const quint16 port = freePort();
    QVERIFY(quick.start(kServer, {"--listen", QStringLiteral("127.0.0.1:%1").arg(port), "--db",
                                  ":memory:", "--empty", "--motd-port", "0", "--touch-freq", "1"}));
    QVERIFY(waitForTcpPort(port));
    const Reply r = post(port, "action=add&sn=Brief&genre=Brieftest&b=32&listenurl=http%3A%2F%2F"
                               "127.0.0.1%3A" +
                                   QByteArray::number(stream.serverPort()) + "%2Fs");
    QCOMPARE(header(r, "YPResponse"), QByteArray("1"));
    auto listed = [&] {
        return parseList(inflateLikeClient(get(port, "/?compress=1&genre=brieftest").body)).size();
    };
    QTRY_COMPARE_WITH_TIMEOUT(listed(), qsizetype(1), 10000);
    // Three touch periods without a touch: gone.
    QTRY_COMPARE_WITH_TIMEOUT(listed(), qsizetype(0), 10000);
}

void TestDirectoryYp::addsAreLimitedPerAddress()
{
    // Six adds a minute from one address (this directory's limit), counting those made above.
    int refused = 0;
    for (int i = 0; i < 8; ++i) {
        const Reply r =
            post(dirPort_, "action=add&sn=Flood&listenurl=http%3A%2F%2F127.0.0.1%3A1%2F" +
                               QByteArray::number(i));
        if (header(r, "YPResponse") == "0") {
            QVERIFY2(header(r, "YPMessage").startsWith("Too many"), r.head.constData());
            ++refused;
        }
    }
    QVERIFY(refused >= 2);
}

void TestDirectoryYp::cleanupTestCase()
{
    source_.stop();
    icecast_.stop();
    directory_.stop();
}

QTEST_GUILESS_MAIN(TestDirectoryYp)
#include "test_directory_yp.moc"
