// The directory as banner server, logo folder and redirect service, in process: reading
// those requests, choosing banners, the pictures it carries, logos and address checks.
#include "ads.h"
#include "catalog.h"
#include "listrequest.h"

#include <QImage>
#include <QSet>
#include <QtTest>

using namespace dwdir;

class TestDirectoryAds : public QObject
{
    Q_OBJECT
private slots:
    void requests_data();
    void requests();
    void bannerChoice();
    void bannerPictures();
    void logos();
    void httpUrls_data();
    void httpUrls();
};

Q_DECLARE_METATYPE(ListRequest::Page)

void TestDirectoryAds::requests_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("status");
    QTest::addColumn<ListRequest::Page>("page");
    QTest::addColumn<QByteArray>("value"); // area, name or target, as the page has

    const auto P = [](ListRequest::Page p) { return p; };
    QTest::newRow("banner") << QByteArray("/ads/cgi-bin/accipiter/adserver.exe/SITE=TLANSOFT/?12")
                            << 200 << P(ListRequest::Banner) << QByteArray();
    QTest::newRow("banner of a genre")
        << QByteArray("/ads/cgi-bin/accipiter/adserver.exe/SITE=TLANSOFT/AREA=M_ROCK/?4711") << 200
        << P(ListRequest::Banner) << QByteArray("M_ROCK");
    QTest::newRow("banner without the /ads folder")
        << QByteArray("/cgi-bin/accipiter/adserver.exe/SITE=X/area=M_JAZZ/") << 200
        << P(ListRequest::Banner) << QByteArray("M_JAZZ");
    QTest::newRow("click") << QByteArray("/ads/cgi-bin/accipiter/adclick.exe/SITE=TLANSOFT/"
                                         "AREA=M_SKA/?99")
                           << 200 << P(ListRequest::BannerClick) << QByteArray("M_SKA");
    QTest::newRow("picture") << QByteArray("/ads/banners/rock.gif?shttp://127.0.0.1:1/x&x=1") << 200
                             << P(ListRequest::BannerPicture) << QByteArray("rock.gif");
    QTest::newRow("logo") << QByteArray("/logos/buttons/12.bmp") << 200 << P(ListRequest::Logo)
                          << QByteArray("12.bmp");
    QTest::newRow("logo, escaped") << QByteArray("/logos/buttons/%41b.bmp") << 200
                                   << P(ListRequest::Logo) << QByteArray("Ab.bmp");
    QTest::newRow("redirect, as the program encodes it")
        << QByteArray("/redirect.asp?product=2&area=1&url=http%3A%2F%2F127%2E0%2E0%2E1%3A8620%2F"
                      "ads%2Fx%3Fq%3Da%2Bb")
        << 200 << P(ListRequest::Redirect) << QByteArray("http://127.0.0.1:8620/ads/x?q=a+b");

    const QByteArray none;
    const auto R = P(ListRequest::List);
    QTest::newRow("picture, climbing")
        << QByteArray("/ads/banners/../../etc/passwd") << 404 << R << none;
    QTest::newRow("picture, escaped climb")
        << QByteArray("/ads/banners/%2e%2e%2fx") << 404 << R << none;
    QTest::newRow("picture, hidden name") << QByteArray("/ads/banners/.gif") << 404 << R << none;
    QTest::newRow("ad path, climbing")
        << QByteArray("/ads/cgi-bin/accipiter/adserver.exe/../../x") << 404 << R << none;
    QTest::newRow("ad program, other name")
        << QByteArray("/ads/cgi-bin/accipiter/other.exe/") << 404 << R << none;
    QTest::newRow("logo in a sub-folder")
        << QByteArray("/logos/buttons/a/b.bmp") << 404 << R << none;
    QTest::newRow("logo, control byte") << QByteArray("/logos/buttons/%0a.bmp") << 404 << R << none;
    QTest::newRow("logo, broken escape")
        << QByteArray("/logos/buttons/%g1.bmp") << 404 << R << none;
    QTest::newRow("redirect, header smuggled")
        << QByteArray("/redirect.asp?url=http%3A%2F%2F127.0.0.1%2F%0D%0ASet-Cookie%3A%20a") << 400
        << R << none;
    QTest::newRow("redirect, not http")
        << QByteArray("/redirect.asp?url=file%3A%2F%2F%2Fetc") << 400 << R << none;
    QTest::newRow("redirect, no url")
        << QByteArray("/redirect.asp?product=2&area=1") << 400 << R << none;
    QTest::newRow("redirect, broken escape")
        << QByteArray("/redirect.asp?url=http%3A%2") << 400 << R << none;
}

void TestDirectoryAds::requests()
{
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    const ListRequest r =
        parseListRequest("GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1:8620\r\n\r\n");
    QCOMPARE(r.status, status);
    if (status != 200) {
        QVERIFY(!r.error.isEmpty());
        return;
    }
    QTEST(r.page, "page");
    QFETCH(QByteArray, value);
    switch (r.page) {
    case ListRequest::Banner:
    case ListRequest::BannerClick:
        QCOMPARE(r.area, value);
        QCOMPARE(r.query, target.contains('?') ? target.mid(target.indexOf('?') + 1) : "");
        break;
    case ListRequest::Redirect:
        QCOMPARE(r.target, value);
        break;
    default:
        QCOMPARE(r.name, value);
    }
}

void TestDirectoryAds::bannerChoice()
{
    const QList<Station> live = parseCatalog("ip\thostname\tgenre\n"
                                             "http://127.0.0.1:9000/rock.mp3\tR\tRock Live\n"
                                             "http://127.0.0.1:9000/jazz.mp3\tJ\tJazz Live\n"
                                             "http://127.0.0.1:9000/a.mp3?x=1&y=2\tQ\tRock Live\n"
                                             "127.0.0.1:9001\tP\tRock\n",
                                             0)
                                    .stations;
    QList<const Station*> refs;
    for (const Station& s : live)
        refs << &s;

    // Over many requests: what each area offers, and nothing else.
    auto seen = [&](const QByteArray& area) {
        QSet<QByteArray> out;
        for (int i = 0; i < 300; ++i) {
            const BannerChoice c = chooseBanner(area, QByteArray::number(i * 7919), refs);
            out << c.picture + (c.station.isEmpty() ? QByteArray() : " " + c.station);
        }
        return out;
    };
    QCOMPARE(seen("M_ROCK"),
             (QSet<QByteArray>{"rock.gif", "live.jpg http://127.0.0.1:9000/rock.mp3"}));
    QCOMPARE(seen(""), (QSet<QByteArray>{"dialwise.gif", "chat.gif",
                                         "live.jpg http://127.0.0.1:9000/rock.mp3",
                                         "live.jpg http://127.0.0.1:9000/jazz.mp3"}));
    // A genre without a banner of its own (one the user added).
    QCOMPARE(seen("M_LIVE"),
             (QSet<QByteArray>{"dialwise.gif", "live.jpg http://127.0.0.1:9000/rock.mp3",
                               "live.jpg http://127.0.0.1:9000/jazz.mp3"}));
    QCOMPARE(seen("M_POLKA"), QSet<QByteArray>{"dialwise.gif"});
    // The same request gets the same banner.
    QCOMPARE(chooseBanner("M_ROCK", "123", refs).picture,
             chooseBanner("M_ROCK", "123", refs).picture);
    QCOMPARE(areaGenre("M_CLASSICROCK"), QByteArray("classicrock"));
    QCOMPARE(areaGenre("m_R&B"), QByteArray("rb"));

    // The click page points at the genre's stations; unknown text is not echoed.
    QVERIFY(clickPage("M_ROCK").contains("href=\"/catalog?genre=rock\""));
    QVERIFY(clickPage("M_<script>").contains("href=\"/catalog\""));
    QVERIFY(!clickPage("M_<script>").contains("<script>"));
    const QByteArray outside = outsidePage("http://a/?<b>&c");
    QVERIFY(outside.contains("http://a/?&lt;b&gt;&amp;c"));
}

void TestDirectoryAds::bannerPictures()
{
    // Every genre of the program's genre list has its banner; all decode at 468 x 60.
    const QList<QByteArray> genres = {
        "alt",        "ambient",    "blues",  "christian", "classical", "comedy", "country",
        "dance",      "disco",      "ethnic", "euro",      "funk",      "game",   "gospel",
        "house",      "industrial", "jazz",   "metal",     "news",      "oldies", "pacino",
        "pop",        "punk",       "rap",    "reggae",    "rock",      "ska",    "soul",
        "soundtrack", "sports",     "talk",   "techno",    "trance"};
    QList<QByteArray> names = {"dialwise.gif", "chat.gif", "live.jpg"};
    for (const QByteArray& g : genres)
        names << g + ".gif";
    for (const QByteArray& name : names) {
        QByteArray type;
        const QByteArray bytes = bannerPicture(name, &type);
        QVERIFY2(!bytes.isEmpty(), name.constData());
        const bool gif = name.endsWith(".gif");
        QCOMPARE(type, gif ? QByteArray("image/gif") : QByteArray("image/jpeg"));
        QVERIFY(gif ? bytes.startsWith("GIF8") : bytes.startsWith("\xFF\xD8\xFF"));
        const QImage img = QImage::fromData(bytes, gif ? "GIF" : "JPEG");
        QCOMPARE(img.size(), QSize(468, 60));
    }
    QCOMPARE(bannerPictureNames().size(), names.size());
    QVERIFY(bannerPicture("rock.GIF").isEmpty());
    QVERIFY(bannerPicture("../banners/rock.gif").isEmpty());
}

void TestDirectoryAds::logos()
{
    QSet<QByteArray> different;
    for (const QByteArray bnum : {"1", "7", "19", "39", "123", "ABC", "x-1", "\xc3\xa9"}) {
        const QByteArray bmp = logoBitmap(bnum);
        QVERIFY(bmp.startsWith("BM"));
        QCOMPARE(logoBitmap(bnum), bmp);
        different << bmp;
        const QImage img = QImage::fromData(bmp, "BMP").convertToFormat(QImage::Format_RGB32);
        QCOMPARE(img.size(), QSize(kLogoWidth, kLogoHeight));
        // Magenta around the badge (drawn transparent), not in its middle.
        const QRgb key = qRgb(255, 0, 255);
        for (QPoint p : {QPoint(0, 0), QPoint(kLogoWidth - 1, 0), QPoint(0, kLogoHeight - 1),
                         QPoint(kLogoWidth - 1, kLogoHeight - 1), QPoint(2, 2)})
            QCOMPARE(img.pixel(p), key);
        int keyed = 0;
        for (int y = 3; y < kLogoHeight - 3; ++y)
            for (int x = 3; x < kLogoWidth - 3; ++x)
                keyed += img.pixel(x, y) == key ? 1 : 0;
        QCOMPARE(keyed, 0);
    }
    QCOMPARE(different.size(), 8);
}

void TestDirectoryAds::httpUrls_data()
{
    QTest::addColumn<QByteArray>("url");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("host and port")
        << QByteArray("http://127.0.0.1:8620/x?y") << true << QByteArray("127.0.0.1") << 8620;
    QTest::newRow("no port") << QByteArray("HTTP://LocalHost") << true << QByteArray("localhost")
                             << 80;
    QTest::newRow("IPv6") << QByteArray("http://[::1]:81/") << true << QByteArray("::1") << 81;
    QTest::newRow("query right after host")
        << QByteArray("http://127.0.0.1?a") << true << QByteArray("127.0.0.1") << 80;
    QTest::newRow("user info") << QByteArray("http://evil@127.0.0.1/") << false << QByteArray()
                               << 0;
    QTest::newRow("port 0") << QByteArray("http://127.0.0.1:0/") << false << QByteArray() << 0;
    QTest::newRow("port too big") << QByteArray("http://127.0.0.1:65536/") << false << QByteArray()
                                  << 0;
    QTest::newRow("port not a number")
        << QByteArray("http://127.0.0.1:8a/") << false << QByteArray() << 0;
    QTest::newRow("no host") << QByteArray("http:///x") << false << QByteArray() << 0;
    QTest::newRow("blank") << QByteArray("http://127.0.0.1/a b") << false << QByteArray() << 0;
    QTest::newRow("line break") << QByteArray("http://127.0.0.1/\r\nX: y") << false << QByteArray()
                                << 0;
    QTest::newRow("other scheme") << QByteArray("https://127.0.0.1/") << false << QByteArray() << 0;
    QTest::newRow("javascript") << QByteArray("javascript:alert(1)") << false << QByteArray() << 0;
}

void TestDirectoryAds::httpUrls()
{
    QFETCH(QByteArray, url);
    QByteArray host;
    quint16 port = 0;
    QTEST(splitHttpUrl(url, host, port), "ok");
    QFETCH(bool, ok);
    if (!ok) return;
    QTEST(host, "host");
    QTEST(int(port), "port");
}

QTEST_GUILESS_MAIN(TestDirectoryAds)
#include "test_directory_ads.moc"
