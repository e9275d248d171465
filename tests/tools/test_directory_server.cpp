// The directory server as a running program: its answers over a real TCP connection,
// its refusals, its live stream source, and its banners, logos and redirects.
#include "listcheck.h"
#include "rawhttp.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

using namespace dwtest;

namespace {

const QString kServer = QStringLiteral(DW_BINARY_DIR "/tools/directory/dialwise-directory");

QList<QByteArray> names(const QByteArray& listText)
{
    return column(parseList(listText), "hostname");
}

QByteArray header(const Reply& r, const QByteArray& name)
{
    for (const QByteArray& line : r.head.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).compare(name, Qt::CaseInsensitive) == 0)
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

const QByteArray kAdServer = "/ads/cgi-bin/accipiter/adserver.exe/SITE=TLANSOFT/";

} // namespace

class TestDirectoryServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void answers_data();
    void answers();
    void refusals_data();
    void refusals();
    void survivesAbuse();
    void catalogPage();
    void commandLine_data();
    void commandLine();
    void streamSource();
    void radioBrowserImport();
    void banners_data();
    void banners();
    void logos_data();
    void logos();
    void redirects_data();
    void redirects();

private:
    bool startServer(Peer& peer, quint16& port, const QStringList& extra);
    // An SQLite database that a later version of the directory made.
    QString newerDatabase()
    {
        const QString path = dir_.filePath("newer.db");
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "newer");
            db.setDatabaseName(path);
            if (db.open()) {
                QSqlQuery q(db);
                q.exec("CREATE TABLE schema_meta (name TEXT PRIMARY KEY, value TEXT)");
                q.exec("INSERT INTO schema_meta VALUES ('version', '99')");
            }
        }
        QSqlDatabase::removeDatabase("newer");
        return path;
    }

    QTemporaryDir dir_;
    QString catalog_;
    Peer zlibServer_, gzipServer_;
    quint16 zlibPort_ = 0, gzipPort_ = 0;
};

bool TestDirectoryServer::startServer(Peer& peer, quint16& port, const QStringList& extra)
{
    port = freePort();
    if (!peer.start(kServer, QStringList{"--listen", QStringLiteral("127.0.0.1:%1").arg(port),
                                         "--db", ":memory:"} +
                                 extra))
        return false;
    return waitForTcpPort(port);
}

void TestDirectoryServer::initTestCase()
{
    QVERIFY2(QFile::exists(kServer), "dialwise-directory is not built");
    catalog_ = writeFile(dir_.filePath("catalog.txt"),
                         "# test catalog\n"
                         "ip\thostname\tgenre\tnumplayers\tmaxplayers\tbitrate\ttype\tbnum\n"
                         "127.0.0.1:8000\tClassic One\tClassic Rock\t10\t100\t128\t0\t7\n"
                         "127.0.0.2\tJazz Two\tJazz\t5\t50\t64\t0\t\n"
                         "http://127.0.0.3:9000/live\tLive Three\tPop Dance\t7\t70\t96\t2\t\n"
                         "127.0.0.4:8010\t<b>Rock</b> & Four\tRock\t1\t10\t32\t0\tx1\n");
    QVERIFY(startServer(zlibServer_, zlibPort_, {"--catalog", catalog_}));
    QVERIFY(startServer(gzipServer_, gzipPort_, {"--catalog", catalog_, "--gzip"}));
}

void TestDirectoryServer::answers_data()
{
    QTest::addColumn<bool>("gzip");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<bool>("compressed");
    QTest::addColumn<QByteArray>("expect");

    const QByteArray all = "Classic One|Jazz Two|Live Three|<b>Rock</b> & Four";
    QTest::newRow("zlib, whole list") << false << QByteArray("/?compress=1") << true << all;
    QTest::newRow("gzip, whole list") << true << QByteArray("/?compress=1") << true << all;
    QTest::newRow("plain") << false << QByteArray("/") << false << all;
    QTest::newRow("genre") << false << QByteArray("/?compress=1&genre=rock") << true
                           << QByteArray("Classic One|<b>Rock</b> & Four");
    QTest::newRow("genre with a blank, as the program sends it")
        << true << QByteArray("/?compress=1&genre=classic rock") << true
        << QByteArray("Classic One");
    QTest::newRow("genre alternatives") << false << QByteArray("/?compress=1&genre=jazz\\dance")
                                        << true << QByteArray("Jazz Two|Live Three");
    QTest::newRow("addresses, as the program encodes them")
        << false
        << QByteArray("/?compress=1&ip=127.0.0.2%3A8000\\http%3A%2F%2F127.0.0.3%3A9000%2Flive")
        << true << QByteArray("Jazz Two|Live Three");
    QTest::newRow("address not known")
        << true << QByteArray("/?compress=1&ip=127.0.0.9%3A8000") << true << QByteArray();
    QTest::newRow("through a proxy")
        << false << QByteArray("http://127.0.0.1:1/?compress=1&genre=jazz") << true
        << QByteArray("Jazz Two");
}

void TestDirectoryServer::answers()
{
    QFETCH(bool, gzip);
    QFETCH(QByteArray, target);
    QFETCH(bool, compressed);
    const Reply r = get(gzip ? gzipPort_ : zlibPort_, target);
    QCOMPARE(r.status, 200);
    QVERIFY(r.head.contains("\r\nContent-Length: " + QByteArray::number(r.body.size())));
    QByteArray text = r.body;
    if (compressed) {
        QCOMPARE(r.body.startsWith("\x1f\x8b"), gzip);
        if (!gzip) QCOMPARE(uchar(r.body[0]), uchar(0x78)); // zlib header
        bool ok = false;
        text = inflateLikeClient(r.body, &ok);
        QVERIFY(ok);
    }
    QVERIFY(text.startsWith("\\fieldcount\\14\\"));
    QTEST(names(text).join('|'), "expect");
}

void TestDirectoryServer::refusals_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::newRow("bad compress") << QByteArray("GET /?compress=z HTTP/1.0\r\n\r\n") << 400;
    QTest::newRow("bad escape") << QByteArray("GET /?compress=1&ip=%G0 HTTP/1.0\r\n\r\n") << 400;
    QTest::newRow("not a request") << QByteArray("hello there\r\n\r\n") << 400;
    QTest::newRow("binary") << QByteArray("\x16\x03\x01\x00\xff\r\n\r\n", 9) << 400;
    QTest::newRow("other method") << QByteArray("DELETE / HTTP/1.1\r\n\r\n") << 405;
    QTest::newRow("other path") << QByteArray("GET /etc/passwd HTTP/1.0\r\n\r\n") << 404;
    QTest::newRow("banner picture, climbing")
        << QByteArray("GET /ads/banners/../../etc/passwd HTTP/1.0\r\n\r\n") << 404;
    QTest::newRow("ad server, climbing")
        << QByteArray("GET /ads/cgi-bin/accipiter/adserver.exe/../../../x HTTP/1.0\r\n\r\n") << 404;
    QTest::newRow("redirect, not http")
        << QByteArray("GET /redirect.asp?url=file%3A%2F%2F%2Fetc%2Fpasswd HTTP/1.0\r\n\r\n") << 400;
    QTest::newRow("head far too long")
        << "GET /?ip=" + QByteArray(200000, '1') + " HTTP/1.0\r\n\r\n"
        << 400;
}

void TestDirectoryServer::refusals()
{
    QFETCH(QByteArray, request);
    const Reply r = fetch(zlibPort_, request);
    QTEST(r.status, "status");
    QVERIFY(!r.body.trimmed().isEmpty());
    QVERIFY(r.body.size() < 100);
}

void TestDirectoryServer::survivesAbuse()
{
    // Clients that send half a request, nothing at all, or go away mid-answer.
    QList<QTcpSocket*> idle;
    for (int i = 0; i < 50; ++i) {
        auto* s = new QTcpSocket(this);
        s->connectToHost(QHostAddress::LocalHost, zlibPort_);
        QVERIFY(s->waitForConnected(2000));
        if (i % 3 == 0)
            s->write("GET /?compress=1");
        else if (i % 3 == 1)
            s->write(QByteArray(1000, '\n'));
        s->flush();
        idle << s;
    }
    for (int i = 0; i < 20; ++i) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, zlibPort_);
        QVERIFY(s.waitForConnected(2000));
        s.write("GET /?compress=1 HTTP/1.0\r\n\r\n");
        s.flush();
        s.abort();
    }
    const Reply r = get(zlibPort_, "/?compress=1");
    QCOMPARE(r.status, 200);
    QCOMPARE(names(inflateLikeClient(r.body)).size(), 4);
    qDeleteAll(idle);
    QVERIFY(zlibServer_.running());
}

void TestDirectoryServer::catalogPage()
{
    const Reply r = get(zlibPort_, "/catalog?genre=rock");
    QCOMPARE(r.status, 200);
    QVERIFY(r.head.contains("text/html"));
    QVERIFY(r.body.contains("Classic One"));
    QVERIFY(r.body.contains("&lt;b&gt;Rock&lt;/b&gt; &amp; Four"));
    QVERIFY(!r.body.contains("Jazz Two"));
    QVERIFY(!r.body.contains(">LIVE<"));
}

void TestDirectoryServer::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing catalog")
        << QStringList{"--catalog", dir_.filePath("none.txt")} << "cannot read";
    QTest::newRow("catalog without ip column")
        << QStringList{"--catalog", writeFile(dir_.filePath("bad.txt"), "name\tgenre\nA\tB\n")}
        << "no \"ip\"";
    QTest::newRow("bad listen") << QStringList{"--listen", "nowhere:port"} << "bad --listen";
    QTest::newRow("bad poll") << QStringList{"--poll", "0"} << "bad --poll";
    QTest::newRow("bad icecast URL") << QStringList{"--icecast", "http://"} << "bad --icecast";
    QTest::newRow("bad touch frequency") << QStringList{"--touch-freq", "0"} << "bad --touch-freq";
    QTest::newRow("database not reachable")
        << QStringList{"--db",
                       QStringLiteral("postgresql://nobody@127.0.0.1:%1/none").arg(freePort())}
        << "database postgresql://";
    QTest::newRow("database of a newer schema")
        << QStringList{"--db", newerDatabase()} << "newer than this program's";
}

void TestDirectoryServer::commandLine()
{
    QFETCH(QStringList, args);
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(kServer,
            args + QStringList{"--listen", "127.0.0.1:0"}.mid(args.contains("--listen") ? 2 : 0) +
                QStringList{"--db", ":memory:"}.mid(args.contains("--db") ? 2 : 0));
    QVERIFY(p.waitForFinished(5000));
    QCOMPARE(p.exitCode(), 2);
    QFETCH(QString, message);
    const QString out = QString::fromUtf8(p.readAll());
    QVERIFY2(out.contains(message), qPrintable(out));

    QProcess help;
    help.start(kServer, {"--help"});
    QVERIFY(help.waitForFinished(5000));
    QCOMPARE(help.exitCode(), 0);
    const QByteArray text = help.readAllStandardOutput();
    for (const char* opt : {"--listen", "--catalog", "--gzip", "--icecast", "--stream"})
        QVERIFY(text.contains(opt));
}

void TestDirectoryServer::radioBrowserImport()
{
    // An export's stations are listed; those without a usable stream or known broken are not.
    const QString file = writeFile(
        dir_.filePath("export.json"),
        R"json([{"stationuuid":"u1","name":"Imported Harbor","url":"http://127.0.0.7:8000/a",
             "url_resolved":"http://127.0.0.7:8000/a.mp3","homepage":"javascript:alert(1)",
             "tags":"rock,classic rock","bitrate":128,"lastcheckok":1},
            {"name":"Imported Broken","url":"http://127.0.0.8/b","lastcheckok":0},
            {"name":"Imported File","url":"file:///etc/passwd","lastcheckok":1}])json");
    Peer peer;
    quint16 port = 0;
    QVERIFY(startServer(peer, port, {"--catalog", catalog_, "--import", file}));
    QList<Record> found;
    for (const Record& r : parseList(get(port, "/?genre=classic").body))
        if (r.value("hostname").startsWith("Imported")) found << r;
    QCOMPARE(found.size(), qsizetype(1));
    QCOMPARE(found[0].value("hostname"), QByteArray("Imported Harbor"));
    QCOMPARE(found[0].value("ip"), QByteArray("http://127.0.0.7:8000/a.mp3"));
    QCOMPARE(found[0].value("genre"), QByteArray("rock classic rock"));
    QCOMPARE(found[0].value("url"), QByteArray());
    QVERIFY(!get(port, "/").body.contains("Imported Broken"));
    QVERIFY(!get(port, "/").body.contains("Imported File"));
}

void TestDirectoryServer::streamSource()
{
    // A stand-in stream server of the program's own kind: answers with an ICY head.
    QTcpServer stream;
    QVERIFY(stream.listen(QHostAddress::LocalHost, 0));
    connect(&stream, &QTcpServer::newConnection, this, [&stream] {
        while (QTcpSocket* c = stream.nextPendingConnection()) {
            connect(c, &QTcpSocket::readyRead, c, [c] {
                c->readAll();
                c->write("ICY 200 OK\r\nicy-name:Own Stream\r\nicy-genre:Ambient\r\n"
                         "icy-br:56\r\n\r\n");
                c->write(QByteArray(4096, '\x55'));
            });
            connect(c, &QTcpSocket::disconnected, c, &QObject::deleteLater);
        }
    });
    const QByteArray url = "http://127.0.0.1:" + QByteArray::number(stream.serverPort()) + "/own";

    Peer peer;
    quint16 port = 0;
    QVERIFY(startServer(peer, port, {"--catalog", catalog_, "--stream", url, "--poll", "0.2"}));
    auto live = [&] {
        const QList<Record> recs = parseList(get(port, "/?genre=ambient").body);
        return recs.isEmpty() ? Record() : recs.first();
    };
    QTRY_COMPARE_WITH_TIMEOUT(live().value("hostname"), QByteArray("Own Stream"), 10000);
    const Record r = live();
    QCOMPARE(r.value("ip"), url);
    QCOMPARE(r.value("type"), QByteArray("1"));
    QCOMPARE(r.value("bitrate"), QByteArray("56"));
    QVERIFY(r.value("uptime").toLongLong() > 0);
    // Live stations come first in the whole list.
    QCOMPARE(names(get(port, "/").body).value(0), QByteArray("Own Stream"));

    // Banners of its genre now and then advertise it: the final address carries the
    // station link the program connects to on a click.
    QByteArray location;
    for (int i = 0; i < 200 && !location.contains('?'); ++i) {
        const Reply b = get(port, kAdServer + "AREA=M_AMBIENT/?" + QByteArray::number(i));
        QCOMPARE(b.status, 302);
        location = header(b, "Location");
    }
    QCOMPARE(location, "http://127.0.0.1:" + QByteArray::number(port) + "/ads/banners/live.jpg?s" +
                           url + "&x=1");
    const Reply picture = get(port, location);
    QCOMPARE(picture.status, 200);
    QVERIFY(picture.body.startsWith("\xFF\xD8\xFF"));

    // Gone when the stream stops answering.
    stream.close();
    QTRY_COMPARE_WITH_TIMEOUT(live().value("hostname"), QByteArray(), 10000);
}

void TestDirectoryServer::banners_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("pictures"); // what the redirect may lead to
    QTest::newRow("all genres") << kAdServer + "?40211234567"
                                << QByteArray("dialwise.gif|chat.gif");
    QTest::newRow("a genre") << kAdServer + "AREA=M_ROCK/?1" << QByteArray("rock.gif");
    QTest::newRow("a genre, through a proxy")
        << "http://127.0.0.1:1" + kAdServer + "AREA=M_TRANCE/?99" << QByteArray("trance.gif");
    QTest::newRow("a genre without a banner")
        << kAdServer + "AREA=M_POLKA/?5" << QByteArray("dialwise.gif");
    QTest::newRow("ad server at the top")
        << QByteArray("/cgi-bin/accipiter/adserver.exe/SITE=X/AREA=M_JAZZ/?7")
        << QByteArray("jazz.gif");
}

void TestDirectoryServer::banners()
{
    // The program's banner request ends, after the redirect, at a picture it can show.
    QFETCH(QByteArray, target);
    const Reply r = get(zlibPort_, target);
    QCOMPARE(r.status, 302);
    const QByteArray location = header(r, "Location");
    const QByteArray folder = "http://127.0.0.1:" + QByteArray::number(zlibPort_) + "/ads/banners/";
    QVERIFY2(location.startsWith(folder), location.constData());
    QFETCH(QByteArray, pictures);
    QVERIFY2(pictures.split('|').contains(location.mid(folder.size())), location.constData());

    const Reply picture = get(zlibPort_, location);
    QCOMPARE(picture.status, 200);
    QCOMPARE(header(picture, "Content-Type"), QByteArray("image/gif"));
    QVERIFY(picture.body.startsWith("GIF89a") || picture.body.startsWith("GIF87a"));
    // 468 x 60, little-endian in the GIF header.
    QCOMPARE(uchar(picture.body[6]) | uchar(picture.body[7]) << 8, 468);
    QCOMPARE(uchar(picture.body[8]) | uchar(picture.body[9]) << 8, 60);

    // A click on it, as the redirect service hands it to the browser.
    const QByteArray click = QByteArray(target).replace("adserver.exe", "adclick.exe");
    const Reply page = get(zlibPort_, click);
    QCOMPARE(page.status, 200);
    QVERIFY(header(page, "Content-Type").startsWith("text/html"));
    QVERIFY(page.body.contains("href=\"/catalog"));
}

void TestDirectoryServer::logos_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("status");
    QTest::newRow("a station's bnum") << QByteArray("7.bmp") << 200;
    QTest::newRow("a bnum that is not a number") << QByteArray("x1.bmp") << 200;
    QTest::newRow("no station has it") << QByteArray("8.bmp") << 404;
    QTest::newRow("the type a station without bnum is known by") << QByteArray("0.bmp") << 404;
    QTest::newRow("other picture kind") << QByteArray("7.gif") << 404;
    QTest::newRow("climbing") << QByteArray("../../../etc/passwd") << 404;
    QTest::newRow("escaped climb") << QByteArray("..%2F..%2Fcatalog.txt") << 404;
    QTest::newRow("empty") << QByteArray() << 404;
}

void TestDirectoryServer::logos()
{
    QFETCH(QByteArray, name);
    const Reply r = get(zlibPort_, "/logos/buttons/" + name);
    QTEST(r.status, "status");
    if (r.status != 200) return;
    QCOMPARE(header(r, "Content-Type"), QByteArray("image/bmp"));
    QVERIFY(r.body.startsWith("BM"));
    QCOMPARE(r.body.size(), 54 + 28 * 48 * 3);
    // The same picture every time.
    QCOMPARE(get(zlibPort_, "/logos/buttons/" + name).body, r.body);
}

void TestDirectoryServer::redirects_data()
{
    // "PORT" stands for the directory's port.
    QTest::addColumn<QByteArray>("url");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("location");
    QTest::newRow("to the directory")
        << QByteArray("http%3A%2F%2F127%2E0%2E0%2E1%3APORT%2Fcatalog%3Fgenre%3Drock") << 302
        << QByteArray("http://127.0.0.1:PORT/catalog?genre=rock");
    QTest::newRow("to the directory by name") << QByteArray("http%3A%2F%2Flocalhost%3APORT%2F")
                                              << 302 << QByteArray("http://localhost:PORT/");
    QTest::newRow("other port") << QByteArray("http%3A%2F%2F127%2E0%2E0%2E1%3A1%2F") << 200
                                << QByteArray();
    QTest::newRow("outside") << QByteArray("http%3A%2F%2Fwww%2Eexample%2Eorg%2F") << 200
                             << QByteArray();
    QTest::newRow("header smuggled")
        << QByteArray("http%3A%2F%2F127%2E0%2E0%2E1%3APORT%2F%0D%0ASet-Cookie%3A%20a%3Db") << 400
        << QByteArray();
}

void TestDirectoryServer::redirects()
{
    QFETCH(QByteArray, url);
    QFETCH(QByteArray, location);
    const QByteArray port = QByteArray::number(zlibPort_);
    const Reply r =
        get(zlibPort_, "/redirect.asp?product=2&area=1&url=" + url.replace("PORT", port));
    QTEST(r.status, "status");
    QCOMPARE(header(r, "Location"), location.replace("PORT", port));
    QVERIFY(!r.head.contains("Set-Cookie"));
    if (r.status == 200) QVERIFY(r.body.contains("outside the Dialwise demo world"));
}

QTEST_GUILESS_MAIN(TestDirectoryServer)
#include "test_directory_server.moc"
