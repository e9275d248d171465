// The directory's request reading, station selection, list text, compression, catalog
// file and live-status readers, in process.
#include "catalog.h"
#include "listanswer.h"
#include "listcheck.h"
#include "listrequest.h"
#include "livestatus.h"

#include <QDateTime>
#include <QSet>
#include <QtTest>

using namespace dwdir;

class TestDirectoryCore : public QObject
{
    Q_OBJECT
private slots:
    void requestLine_data();
    void requestLine();
    void selection_data();
    void selection();
    void listTextRoundTrip();
    void catalogFile_data();
    void catalogFile();
    void demoCatalog();
    void icecastStatus();
    void icecastStatusBroken_data();
    void icecastStatusBroken();
    void streamHead_data();
    void streamHead();
};

static QByteArray joined(const QList<QByteArray>& l)
{
    return l.join('|');
}

void TestDirectoryCore::requestLine_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("compress");
    QTest::addColumn<QByteArray>("genres");
    QTest::addColumn<bool>("byAddress");
    QTest::addColumn<QByteArray>("addresses");

    const QByteArray h = " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    QTest::newRow("whole list") << "GET /?compress=1" + h << 200 << true << QByteArray() << false
                                << QByteArray();
    QTest::newRow("plain") << "GET /" + h << 200 << false << QByteArray() << false << QByteArray();
    QTest::newRow("genre") << "GET /?compress=1&genre=rock" + h << 200 << true << QByteArray("rock")
                           << false << QByteArray();
    QTest::newRow("unencoded blank") << "GET /?compress=1&genre=classic rock" + h << 200 << true
                                     << QByteArray("classic rock") << false << QByteArray();
    QTest::newRow("alternatives, case")
        << "GET /?compress=1&genre=Rock\\JAZZ\\\\ pop " + h << 200 << true
        << QByteArray("rock|jazz|pop") << false << QByteArray();
    QTest::newRow("ampersand in genre") << "GET /?compress=1&genre=r&b" + h << 200 << true
                                        << QByteArray("r&b") << false << QByteArray();
    QTest::newRow("encoded genre") << "GET /?genre=classic%20rock&compress=1" + h << 200 << true
                                   << QByteArray("classic rock") << false << QByteArray();
    QTest::newRow("form-encoded genre")
        << "GET /?compress=1&genre=hip+hop%5Cr%26b" + h << 200 << true << QByteArray("hip hop|r&b")
        << false << QByteArray();
    QTest::newRow("broken escape in genre kept")
        << "GET /?genre=100%" + h << 200 << false << QByteArray("100%") << false << QByteArray();
    QTest::newRow("addresses")
        << "GET /?compress=1&ip=127.0.0.1%3A8000\\127.0.0.2\\http%3A%2F%2F127.0.0.3%3A9000%2Flive" +
               h
        << 200 << true << QByteArray() << true
        << QByteArray("127.0.0.1:8000|127.0.0.2:8000|http://127.0.0.3:9000/live");
    QTest::newRow("no address") << "GET /?compress=1&ip=" + h << 200 << true << QByteArray() << true
                                << QByteArray();
    QTest::newRow("bad port reads as 8000") << "GET /?ip=127.0.0.9%3Aabc" + h << 200 << false
                                            << QByteArray() << true << QByteArray("127.0.0.9:8000");
    QTest::newRow("through a proxy") << "GET http://127.0.0.1:8030/?compress=1&genre=pop" + h << 200
                                     << true << QByteArray("pop") << false << QByteArray();
    QTest::newRow("no version") << QByteArray("GET /?compress=1\r\n") << 200 << true << QByteArray()
                                << false << QByteArray();
    QTest::newRow("bare LF") << QByteArray("GET /?genre=ska HTTP/1.1\nHost: x\n\n") << 200 << false
                             << QByteArray("ska") << false << QByteArray();
    QTest::newRow("catalog page") << "GET /catalog?genre=jazz" + h << 200 << false
                                  << QByteArray("jazz") << false << QByteArray();

    const QByteArray none;
    QTest::newRow("POST") << "POST /" + h << 405 << false << none << false << none;
    QTest::newRow("other path") << "GET /index.html" + h << 404 << false << none << false << none;
    QTest::newRow("empty") << QByteArray() << 400 << false << none << false << none;
    QTest::newRow("garbage") << QByteArray("\x16\x03\x01\x02\x00", 5) << 400 << false << none
                             << false << none;
    QTest::newRow("one word") << QByteArray("GET\r\n\r\n") << 400 << false << none << false << none;
    QTest::newRow("relative target")
        << "GET ?compress=1" + h << 400 << false << none << false << none;
    QTest::newRow("compress not a number")
        << "GET /?compress=yes" + h << 400 << false << none << false << none;
    QTest::newRow("negative compress")
        << "GET /?compress=-1" + h << 400 << false << none << false << none;
    QTest::newRow("broken escape in ip")
        << "GET /?ip=127.0.0.1%3" + h << 400 << false << none << false << none;
    QTest::newRow("bad hex in ip") << "GET /?ip=%zz" + h << 400 << false << none << false << none;
    QTest::newRow("control byte") << "GET /?genre=a\tb" + h << 400 << false << none << false
                                  << none;
    QTest::newRow("too large") << "GET /?ip=" + QByteArray(kMaxRequestHead, 'a') + h << 400 << false
                               << none << false << none;
}

void TestDirectoryCore::requestLine()
{
    QFETCH(QByteArray, head);
    QFETCH(int, status);
    const ListRequest r = parseListRequest(head);
    QCOMPARE(r.status, status);
    if (status != 200) {
        QVERIFY(!r.error.isEmpty());
        return;
    }
    QTEST(r.compress, "compress");
    QTEST(joined(r.genres), "genres");
    QTEST(r.byAddress, "byAddress");
    QTEST(joined(r.addresses), "addresses");
    QCOMPARE(r.page == ListRequest::CatalogView, head.startsWith("GET /catalog"));
}

static QList<Station> sampleStations()
{
    const QByteArray text = "ip\thostname\tgenre\n"
                            "127.0.0.1:8000\tA\tClassic Rock\n"
                            "127.0.0.2\tB\tJazz Smooth\n"
                            "http://127.0.0.3:9000/live\tC\t\xc3\x89lectro Pop\n"
                            "127.0.0.4:8010\tD\tRock\n";
    return parseCatalog(text, 0).stations;
}

void TestDirectoryCore::selection_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("names");

    QTest::newRow("all") << QByteArray("compress=1") << QByteArray("A|B|C|D");
    QTest::newRow("substring") << QByteArray("genre=rock") << QByteArray("A|D");
    QTest::newRow("letter case") << QByteArray("genre=ROCK") << QByteArray("A|D");
    QTest::newRow("alternatives") << QByteArray("genre=jazz\\pop") << QByteArray("B|C");
    QTest::newRow("non-ASCII letter case") << QByteArray("genre=%C3%89LECTRO") << QByteArray("C");
    QTest::newRow("unknown genre") << QByteArray("genre=polka") << QByteArray();
    QTest::newRow("address without port") << QByteArray("ip=127.0.0.2%3A8000") << QByteArray("B");
    QTest::newRow("asked without port") << QByteArray("ip=127.0.0.1") << QByteArray("A");
    QTest::newRow("stream URL, scheme case")
        << QByteArray("ip=HTTP%3A%2F%2F127.0.0.3%3A9000%2Flive") << QByteArray("C");
    QTest::newRow("stream URL path case counts")
        << QByteArray("ip=http%3A%2F%2F127.0.0.3%3A9000%2FLIVE") << QByteArray();
    QTest::newRow("two addresses, catalog order")
        << QByteArray("ip=127.0.0.4%3A8010\\127.0.0.1%3A8000") << QByteArray("A|D");
    QTest::newRow("same address twice")
        << QByteArray("ip=127.0.0.1%3A8000\\127.0.0.1") << QByteArray("A");
    QTest::newRow("address and genre")
        << QByteArray("ip=127.0.0.1%3A8000\\127.0.0.2&genre=rock") << QByteArray("A");
    QTest::newRow("wrong port") << QByteArray("ip=127.0.0.4%3A8000") << QByteArray();
    QTest::newRow("no addresses") << QByteArray("ip=") << QByteArray();
}

void TestDirectoryCore::selection()
{
    QFETCH(QByteArray, query);
    const QList<Station> stations = sampleStations();
    QCOMPARE(stations.size(), 4);
    const ListRequest req = parseListRequest("GET /?" + query + " HTTP/1.0\r\n\r\n");
    QCOMPARE(req.status, 200);
    QList<QByteArray> names;
    for (const Station* s : selectStations(req, {&stations}))
        names << s->hostname;
    QTEST(joined(names), "names");
}

void TestDirectoryCore::listTextRoundTrip()
{
    // Values holding the separator, a zero byte or line breaks must not break the table.
    QByteArray text = "ip\thostname\tgenre\tnumplayers\tsongtitle\ttype\tbnum\tuptime\n"
                      "127.0.0.1:8000\tBack\\slash FM\tRock\t12\tA\x01"
                      "B\t1\t\t1700000000\n"
                      "127.0.0.2:8000\tSecond\tJazz\t-3\tnothing\tx\t7\t\n";
    text.insert(text.indexOf("nothing"), QByteArray("\0", 1));
    QList<Station> stations = parseCatalog(text, 0).stations;
    QCOMPARE(stations.size(), 2);
    QList<const Station*> ptrs{&stations[0], &stations[1]};
    const QByteArray list = listText(ptrs);
    QVERIFY(list.startsWith("\\fieldcount\\14\\ip\\hostname\\genre\\"));
    QVERIFY(!list.contains('\0'));

    QList<QByteArray> fields;
    const QList<dwtest::Record> recs = dwtest::parseList(list, &fields);
    QCOMPARE(fields.size(), 14);
    QCOMPARE(QSet<QByteArray>(fields.begin(), fields.end()).size(), 14);
    QCOMPARE(recs.size(), 2);
    QCOMPARE(recs[0].value("hostname"), QByteArray("Back/slash FM"));
    QCOMPARE(recs[0].value("songtitle"), QByteArray("A B"));
    QCOMPARE(recs[0].value("numplayers"), QByteArray("12"));
    QCOMPARE(recs[0].value("uptime"), QByteArray("1700000000"));
    QCOMPARE(recs[0].value("type"), QByteArray("1"));
    QCOMPARE(recs[1].value("numplayers"), QByteArray("-3"));
    QCOMPARE(recs[1].value("songtitle"), QByteArray(" nothing"));
    QCOMPARE(recs[1].value("type"), QByteArray("0"));
    QCOMPARE(recs[1].value("bnum"), QByteArray("7"));

    // Both packings inflate the way the program inflates them, and even an empty list
    // compresses to bytes with a zero in them (the program inflates only such bodies).
    for (const QByteArray& t : {list, listText({})}) {
        for (Packing p : {Packing::Zlib, Packing::Gzip}) {
            const QByteArray body = pack(t, p);
            QVERIFY(body.contains('\0'));
            QCOMPARE(body.startsWith("\x1f\x8b"), p == Packing::Gzip);
            if (p == Packing::Gzip)
                QCOMPARE(int(body[3]), 0); // no optional header parts: the header is 10 bytes
            bool ok = false;
            QCOMPARE(dwtest::inflateLikeClient(body, &ok), t);
            QVERIFY(ok);
        }
    }
}

void TestDirectoryCore::catalogFile_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("expect"); // "ip,hostname,numplayers,uptime,bitrate|..."
    QTest::addColumn<int>("warnings");
    QTest::addColumn<bool>("error");

    QTest::newRow("columns in any order, unknown ignored")
        << QByteArray("# a comment\n\nhostname\tcolour\tip\tnumplayers\n"
                      "One\tred\t127.0.0.1:8000\t5\n")
        << QByteArray("127.0.0.1:8000,One,5,0,0") << 0 << false;
    QTest::newRow("CRLF, short and long rows")
        << QByteArray("ip\thostname\tbitrate\r\n127.0.0.1\r\n127.0.0.2\tTwo\t128\textra\r\n")
        << QByteArray("127.0.0.1,,0,0,0|127.0.0.2,Two,0,0,128") << 0 << false;
    QTest::newRow("upfor and uptime")
        << QByteArray("ip\tupfor\tuptime\n127.0.0.1\t100\t\n127.0.0.2\t\t123\n")
        << QByteArray("127.0.0.1,,0,999900,0|127.0.0.2,,0,123,0") << 0 << false;
    QTest::newRow("numbers that are not numbers")
        << QByteArray("ip\tnumplayers\tbitrate\n127.0.0.1\tmany\t12k\n")
        << QByteArray("127.0.0.1,,0,0,0") << 0 << false;
    QTest::newRow("row without ip skipped")
        << QByteArray("ip\thostname\n\tNobody\n127.0.0.1\tSomebody\n")
        << QByteArray("127.0.0.1,Somebody,0,0,0") << 1 << false;
    QTest::newRow("no ip column") << QByteArray("hostname\tgenre\nA\tRock\n") << QByteArray() << 0
                                  << true;
    QTest::newRow("only comments") << QByteArray("# nothing\n") << QByteArray() << 0 << true;
}

void TestDirectoryCore::catalogFile()
{
    QFETCH(QByteArray, text);
    const CatalogLoad c = parseCatalog(text, 1000000);
    QTEST(!c.error.isEmpty(), "error");
    QTEST(int(c.warnings.size()), "warnings");
    QList<QByteArray> got;
    for (const Station& s : c.stations)
        got << s.ip + ',' + s.hostname + ',' + QByteArray::number(s.numplayers) + ',' +
                   QByteArray::number(s.uptime) + ',' + QByteArray::number(s.bitrate);
    QTEST(joined(got), "expect");
}

void TestDirectoryCore::demoCatalog()
{
    const CatalogLoad c =
        loadCatalog(QStringLiteral(DW_SOURCE_DIR "/tools/directory/demo-catalog.txt"),
                    QDateTime::currentSecsSinceEpoch());
    QVERIFY2(c.error.isEmpty(), qPrintable(c.error));
    QVERIFY2(c.warnings.isEmpty(), qPrintable(c.warnings.join('\n')));
    QVERIFY(c.stations.size() >= 300);

    const QList<QByteArray> genres = {
        "Alt",        "Ambient",    "Blues",  "Christian", "Classical", "Comedy", "Country",
        "Dance",      "Disco",      "Ethnic", "Euro",      "Funk",      "Game",   "Gospel",
        "House",      "Industrial", "Jazz",   "Metal",     "News",      "Oldies", "Pacino",
        "Pop",        "Punk",       "Rap",    "Reggae",    "Rock",      "Ska",    "Soul",
        "Soundtrack", "Sports",     "Talk",   "Techno",    "Trance"};
    QCOMPARE(genres.size(), 33);
    for (const QByteArray& g : genres) {
        const ListRequest req =
            parseListRequest("GET /?genre=" + g.toLower() + " HTTP/1.0\r\n\r\n");
        QVERIFY2(selectStations(req, {&c.stations}).size() >= 5, g.constData());
    }
    QSet<QByteArray> keys, hosts;
    for (const Station& s : c.stations) {
        // Only loopback addresses, each station once, spread over many hosts.
        QVERIFY2(s.ipKey.startsWith("127.") || s.ipKey.startsWith("http://127."), s.ip.constData());
        QVERIFY2(s.chatip.startsWith("127."), s.chatip.constData());
        QVERIFY(!s.hostname.isEmpty());
        QVERIFY(s.numplayers >= 0 && s.numplayers <= s.maxplayers);
        QVERIFY(s.bitrate > 0);
        QVERIFY(!keys.contains(s.ipKey));
        keys << s.ipKey;
        hosts << s.chatip.left(s.chatip.indexOf(':'));
    }
    QVERIFY(hosts.size() > 100);
}

void TestDirectoryCore::icecastStatus()
{
    const QUrl status(QStringLiteral("http://127.0.0.1:18000/status-json.xsl"));
    // One mount: "source" is an object; the server calls itself "localhost".
    const QByteArray one =
        R"({"icestats":{"admin":"a","host":"localhost","source":{"bitrate":128,"genre":"Rock Pop",
        "listener_peak":3,"listeners":2,"listenurl":"http://localhost:18000/one.mp3",
        "server_name":"Test One","server_type":"audio/mpeg","server_url":"http://127.0.0.1/x",
        "stream_start_iso8601":"2026-12-09T23:38:59+0000","title":"Artist - Song \\ A",
        "dummy":null}}})";
    bool ok = false;
    QList<Station> s = parseIcecastStatus(one, status, &ok);
    QVERIFY(ok);
    QCOMPARE(s.size(), 1);
    QCOMPARE(s[0].ip, QByteArray("http://127.0.0.1:18000/one.mp3"));
    QCOMPARE(s[0].hostname, QByteArray("Test One"));
    QCOMPARE(s[0].genre, QByteArray("Rock Pop"));
    QCOMPARE(s[0].numplayers, 2);
    QCOMPARE(s[0].maxplayers, kDefaultLiveCapacity);
    QCOMPARE(s[0].bitrate, 128);
    QCOMPARE(s[0].uptime,
             QDateTime(QDate(2026, 12, 9), QTime(23, 38, 59), Qt::UTC).toSecsSinceEpoch());
    QCOMPARE(s[0].chatip, QByteArray("127.0.0.1:18000"));
    QCOMPARE(s[0].url, QByteArray("http://127.0.0.1/x"));
    QCOMPARE(s[0].songtitle, QByteArray("Artist - Song / A"));
    QCOMPARE(s[0].type, 0);
    QVERIFY(s[0].live);

    // Several mounts: an array; one without a stream address is left out; bitrate from
    // the audio info, start time from the older date form, artist and title joined.
    const QByteArray many =
        R"({"icestats":{"source":[{"listenurl":"http://h:1/a.mp3","audio_info":"channels=2;bitrate=96",
        "stream_start":"Wed, 09 Dec 2026 23:38:59 +0000","artist":"X","title":"Y","listeners":"4"},
        {"server_name":"no mount"},
        {"listenurl":"http://h:1/b","audio_bitrate":64000,"max_listeners":20}]}})";
    s = parseIcecastStatus(many, status, &ok);
    QVERIFY(ok);
    QCOMPARE(s.size(), 2);
    QCOMPARE(s[0].ip, QByteArray("http://127.0.0.1:18000/a.mp3"));
    QCOMPARE(s[0].hostname, QByteArray("/a.mp3"));
    QCOMPARE(s[0].bitrate, 96);
    QCOMPARE(s[0].numplayers, 4);
    QCOMPARE(s[0].songtitle, QByteArray("X - Y"));
    QVERIFY(s[0].uptime > 1700000000);
    QCOMPARE(s[1].bitrate, 64);
    QCOMPARE(s[1].maxplayers, 20);
    QCOMPARE(s[1].uptime, 0);
}

void TestDirectoryCore::icecastStatusBroken_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("ok");
    QTest::newRow("no mounts") << QByteArray(R"({"icestats":{"host":"x"}})") << true;
    QTest::newRow("source of the wrong kind") << QByteArray(R"({"icestats":{"source":7}})") << true;
    QTest::newRow("not JSON") << QByteArray("<html>nope</html>") << false;
    QTest::newRow("cut short") << QByteArray(R"({"icestats":{"source":{"listenurl":"http://h:1/a)")
                               << false;
    QTest::newRow("other JSON") << QByteArray("[1,2]") << false;
}

void TestDirectoryCore::icecastStatusBroken()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, ok);
    bool got = !ok;
    const QList<Station> s = parseIcecastStatus(json, QUrl("http://127.0.0.1:1/"), &got);
    QCOMPARE(got, ok);
    QVERIFY(s.isEmpty());
}

void TestDirectoryCore::streamHead_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QByteArray>("name"); // empty: no station
    QTest::newRow("ICY") << QByteArray("ICY 200 OK\r\nicy-name:Own Kind\r\nicy-genre:Jazz\r\n"
                                       "icy-br: 64\r\n\r\n\x01\x02")
                         << QByteArray("Own Kind");
    QTest::newRow("ICY with format") << QByteArray("ICY 200 OK\r\nicy-name:Own Kind\r\n"
                                                   "icy-genre:\tAQACAESsAAAQsQIABAAQAAAA\tJazz\r\n"
                                                   "icy-br: 64\r\n\r\n")
                                     << QByteArray("Own Kind");
    QTest::newRow("HTTP, no name") << QByteArray("HTTP/1.0 200 OK\nContent-Type: audio/x\n\n")
                                   << QByteArray("http://127.0.0.1:8800/stream");
    QTest::newRow("not found") << QByteArray("HTTP/1.0 404 Not Found\r\n\r\n") << QByteArray();
    QTest::newRow("incomplete") << QByteArray("ICY 200 OK\r\nicy-name:X\r\n") << QByteArray();
    QTest::newRow("nothing") << QByteArray() << QByteArray();
}

void TestDirectoryCore::streamHead()
{
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, name);
    const auto s = parseStreamHead(head, QUrl("http://127.0.0.1:8800/stream"));
    QCOMPARE(s.has_value(), !name.isEmpty());
    if (!s) return;
    QCOMPARE(s->hostname, name);
    QCOMPARE(s->ip, QByteArray("http://127.0.0.1:8800/stream"));
    QCOMPARE(s->type, 1);
    QVERIFY(s->live);
    if (QByteArray(QTest::currentDataTag()).startsWith("ICY")) {
        QCOMPARE(s->genre, QByteArray("Jazz"));
        QCOMPARE(s->bitrate, 64);
    }
}

QTEST_GUILESS_MAIN(TestDirectoryCore)
#include "test_directory_core.moc"
