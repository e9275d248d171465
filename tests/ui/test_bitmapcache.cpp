// The button bitmap cache against a small HTTP server on loopback: one download per
// name, files kept between runs, error answers and broken files dropped, bounded retries.
// Directory favicons against HTTP and HTTPS stand-ins (a certificate the test makes):
// any picture format, kept as PNG, hostile answers refused, fetches bounded.
#include "bitmapcache.h"
#include "customserver.h"
#include "debuglog.h"
#include "httpprot.h"
#include "testsupport.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

namespace {

QByteArray picture(int w, int h, QColor c, const char* format)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(c);
    QByteArray data;
    QBuffer buf(&data);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, format);
    return data;
}

// A PNG whose header claims 30000 x 30000 pixels (a decompression bomb).
QByteArray claimsHuge()
{
    QByteArray png = picture(1, 1, Qt::red, "PNG");
    auto put32 = [&](int at, quint32 v) {
        for (int i = 0; i < 4; ++i)
            png[at + i] = char((v >> (24 - 8 * i)) & 0xff);
    };
    put32(16, 30000); // IHDR: width, height
    put32(20, 30000);
    quint32 crc = 0xffffffffu; // the chunk's check value over type and data
    for (int i = 12; i < 29; ++i) {
        crc ^= uchar(png[i]);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1)));
    }
    put32(29, ~crc);
    return png;
}

// A list station whose logo is a favicon.
class FaviconStation : public TSCServer
{
public:
    FaviconStation(const QString& name, const QString& url)
        : TSCServer("127.0.0.1", "8000"), name_(name), url_(url)
    {
    }
    TLogo StationLogo() const override { return {name_, url_, true}; }

private:
    QString name_, url_;
};

QByteArray bmp(int w, int h, QColor c)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(c);
    QByteArray data;
    QBuffer buf(&data);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "BMP");
    return data;
}

// HTTP/1.0 server: answers each path from a table and closes; counts requests and the
// most connections open at once.
class LogoServer : public QObject
{
public:
    struct Answer
    {
        QByteArray status;
        QByteArray body;
    };
    QHash<QByteArray, Answer> answers;
    QList<QByteArray> requested;
    int open = 0, maxOpen = 0;

    LogoServer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                maxOpen = qMax(maxOpen, ++open);
                auto* buf = new QByteArray;
                connect(s, &QTcpSocket::disconnected, s, [this, s, buf] {
                    --open;
                    delete buf;
                    s->deleteLater();
                });
                connect(s, &QTcpSocket::readyRead, s, [this, s, buf] {
                    buf->append(s->readAll());
                    if (!buf->contains("\r\n\r\n")) return;
                    const QByteArray path = buf->split(' ').value(1);
                    buf->clear();
                    requested << path;
                    const Answer a = answers.value(path, {"404 Not Found", "<html>nothing</html>"});
                    s->write("HTTP/1.0 " + a.status + "\r\nContent-Type: image/bmp\r\n\r\n" +
                             a.body);
                    s->disconnectFromHost();
                });
            }
        });
    }
    QString url(const QByteArray& path) const
    {
        return QString("http://127.0.0.1:%1%2").arg(server.serverPort()).arg(QString(path));
    }
    QTcpServer server;
};

} // namespace

class TestBitmapCache : public QObject
{
    Q_OBJECT
    std::unique_ptr<dwtest::TempHome> home;
    QString folder;

private slots:
    void init()
    {
        home = std::make_unique<dwtest::TempHome>();
        folder = home->path() + "/buttons";
    }
    void cleanup() { home.reset(); }

    void oneDownloadForTwoRequests()
    {
        LogoServer srv;
        srv.answers["/buttons/s1.bmp"] = {"200 OK", bmp(24, 12, Qt::red)};
        TBitmapCache cache(folder);
        QList<TCachedBitmap*> arrived;
        int before = 0;
        cache.SetOnBeforeRequest([&](TBitmapCache*, THttpCli* c) {
            QCOMPARE(c, cache.Client());
            ++before;
        });
        cache.SetOnBitmapArrived([&](TBitmapCache*, TCachedBitmap* b) { arrived << b; });

        const QString url = srv.url("/buttons/s1.bmp");
        QVERIFY(!cache.Get("s1.bmp", 1, url));
        QVERIFY(!cache.Get("s1.bmp", 1, url)); // the list asks again on the next repaint
        QCOMPARE(cache.QueueCount(), 1);
        QTRY_COMPARE(arrived.size(), 1);
        QCOMPARE(arrived[0]->Kind, 1);
        QCOMPARE(arrived[0]->Name, QString("s1.bmp"));
        const QImage* img = cache.Get("s1.bmp", 1, url);
        QVERIFY(img);
        QCOMPARE(img->size(), QSize(24, 12));
        QCOMPARE(srv.requested, QList<QByteArray>{"/buttons/s1.bmp"});
        QCOMPARE(before, 1);
        QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{"s1.bmp"});

        // A later run finds the file and never asks the server.
        TBitmapCache again(folder);
        QVERIFY(again.Get("s1.bmp", 1, url));
        QCOMPARE(again.QueueCount(), 0);
        QCOMPARE(srv.requested.size(), 1);
    }

    void failedAnswersLeaveNoFile_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("404 with html")
            << QByteArray("404 Not Found") << QByteArray("<html><body>Not here</body></html>");
        QTest::newRow("200 but not a picture") << QByteArray("200 OK") << QByteArray("GIF? no");
        QTest::newRow("error status with a picture")
            << QByteArray("500 Oops") << bmp(4, 4, Qt::blue);
        QTest::newRow("too large")
            << QByteArray("200 OK")
            << bmp(4, 4, Qt::blue).leftJustified(TBitmapCache::MaxDownloadSize + 100000, '\0');
    }
    void failedAnswersLeaveNoFile()
    {
        QFETCH(QByteArray, status);
        QFETCH(QByteArray, body);
        LogoServer srv;
        srv.answers["/x.bmp"] = {status, body};
        TBitmapCache cache(folder);
        QList<TCachedBitmap*> arrived;
        cache.SetOnBitmapArrived([&](TBitmapCache*, TCachedBitmap* b) { arrived << b; });
        QVERIFY(!cache.Get("x.bmp", 1, srv.url("/x.bmp")));
        QTRY_COMPARE(arrived.size(), 1);
        QVERIFY(arrived[0]->Bitmap.isNull());
        QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList());
        // Not retried during this run.
        QVERIFY(!cache.Get("x.bmp", 1, srv.url("/x.bmp")));
        QCOMPARE(cache.QueueCount(), 0);
        QTest::qWait(50);
        QCOMPARE(srv.requested.size(), 1);
    }

    void filesFromAnEarlierRun()
    {
        dwtest::writeFile(folder + "/good.bmp", bmp(8, 8, Qt::green));
        dwtest::writeFile(folder + "/bad.bmp", "<html>404</html>");
        TBitmapCache cache(folder);
        const QString nowhere = "http://127.0.0.1:1/never";
        QVERIFY(cache.Get("good.bmp", 1, nowhere));
        QVERIFY(!cache.Get("bad.bmp", 1, nowhere));
        QVERIFY(!QFile::exists(folder + "/bad.bmp")); // deleted, tried again next start
        QCOMPARE(cache.QueueCount(), 0);
        QCOMPARE(cache.LoadedCount(), 2);
    }

    void queueRunsOneAtATimeInOrder()
    {
        LogoServer srv;
        for (QByteArray n : {"a", "b", "c"})
            srv.answers["/" + n + ".bmp"] = {"200 OK", bmp(4, 4, Qt::white)};
        TBitmapCache cache(folder);
        QStringList order;
        cache.SetOnBitmapArrived([&](TBitmapCache*, TCachedBitmap* b) { order << b->Name; });
        for (QByteArray n : {"a", "b", "c"})
            cache.Get(n + ".bmp", 1, srv.url("/" + n + ".bmp"));
        QTRY_COMPARE(order.size(), 3);
        QCOMPARE(order, (QStringList{"a.bmp", "b.bmp", "c.bmp"}));
        QCOMPARE(srv.maxOpen, 1);
    }

    void getIntoFillsTheTarget()
    {
        LogoServer srv;
        srv.answers["/search.bmp"] = {"200 OK", bmp(30, 10, Qt::yellow)};
        TBitmapCache cache(folder);
        QImage target;
        int calls = 0;
        cache.GetInto(
            "search.bmp", 2, [&](const QImage& i) { target = i, ++calls; }, srv.url("/search.bmp"));
        QCOMPARE(calls, 0);
        QTRY_COMPARE(calls, 1);
        QCOMPARE(target.size(), QSize(30, 10));
        // Known already: filled at once.
        QImage second;
        cache.GetInto(
            "search.bmp", 2, [&](const QImage& i) { second = i; }, srv.url("/search.bmp"));
        QCOMPARE(second.size(), QSize(30, 10));
    }

    void magentaIsTransparent()
    {
        QImage logo(6, 6, QImage::Format_RGB32);
        logo.fill(QColor(255, 0, 255));
        logo.setPixel(2, 2, qRgb(10, 20, 30));
        TBitmapCache cache(folder); // creates the folder
        QVERIFY(logo.save(folder + "/m.bmp", "BMP"));
        const QImage* m = cache.GetMasked("m.bmp", 1, QString());
        QVERIFY(m);
        QCOMPARE(qAlpha(m->pixel(0, 0)), 0);
        QCOMPARE(m->pixel(2, 2), qRgb(10, 20, 30));
    }

    void retriesAreBounded_data()
    {
        QTest::addColumn<bool>("uncreatable");
        QTest::newRow("connection refused") << false;
        QTest::newRow("file cannot be created") << true;
    }
    void retriesAreBounded()
    {
        QFETCH(bool, uncreatable);
        LogoServer srv;
        srv.answers["/r.bmp"] = {"200 OK", bmp(4, 4, Qt::white)};
        QString url = srv.url("/r.bmp");
        if (uncreatable)
            QDir().mkpath(folder + "/r.bmp.part"); // a folder where the file would go
        else
            url = QString("http://127.0.0.1:%1/r.bmp").arg(dwtest::freePort());
        TBitmapCache cache(folder);
        QVERIFY(!cache.Get("r.bmp", 1, url));
        QTRY_COMPARE(cache.QueueCount(), 0);
        QCOMPARE(srv.requested.size(), uncreatable ? TBitmapCache::MaxAttempts : 0);
        QVERIFY(cache.Loaded("r.bmp"));
        QVERIFY(!cache.Get("r.bmp", 1, url));
        QCOMPARE(cache.QueueCount(), 0);
    }

    void unsafeNamesAreNeverFetched_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("parent") << "../evil.bmp";
        QTest::newRow("slash") << "a/b.bmp";
        QTest::newRow("backslash") << "a\\b.bmp";
        QTest::newRow("hidden") << ".bmp";
        QTest::newRow("empty") << "";
    }
    void unsafeNamesAreNeverFetched()
    {
        QFETCH(QString, name);
        LogoServer srv;
        TBitmapCache cache(folder);
        QVERIFY(!cache.Get(name, 1, srv.url("/evil.bmp")));
        QCOMPARE(cache.QueueCount(), 0);
        QTest::qWait(20);
        QVERIFY(srv.requested.isEmpty());
    }

    // Favicons: any picture format by content, over HTTP and HTTPS, kept as PNG files that
    // other code finds by station; every hostile answer leaves no picture and no file.
    void favicons()
    {
        QSslConfiguration tls;
        if (!dwtest::localhostTls(home->path(), tls))
            DW_PEER_MISSING("openssl", "no certificate could be made");
        dwtest::HttpStandIn plain, secure;
        QByteArray big(3 * 1024 * 1024, 'x');
        secure.answer = [&](const QByteArray& head) -> QByteArray {
            const QByteArray path = head.split(' ').value(1);
            if (path == "/wide.png")
                return dwtest::httpAnswer(200, picture(200, 100, Qt::red, "PNG"), "image/png");
            if (path == "/photo.jpg")
                return dwtest::httpAnswer(200, picture(900, 900, Qt::blue, "JPEG"), "image/x-icon");
            if (path == "/down")
                return dwtest::httpAnswer(302, {}, "text/html",
                                          "Location: " + plain.url().toLatin1() + "/wide.png\r\n");
            return dwtest::httpAnswer(404, "<html>404</html>", "text/html");
        };
        plain.answer = [&](const QByteArray& head) -> QByteArray {
            const QByteArray path = head.split(' ').value(1);
            if (path == "/wide.png")
                return dwtest::httpAnswer(200, picture(200, 100, Qt::red, "PNG"), "image/png");
            if (path == "/up")
                return dwtest::httpAnswer(302, {}, "text/html",
                                          "Location: " + secure.url(true).toLatin1() +
                                              "/photo.jpg\r\n");
            if (path == "/file")
                return dwtest::httpAnswer(302, {}, "text/html", "Location: file:///etc/passwd\r\n");
            if (path == "/page") return dwtest::httpAnswer(200, "<html>hello</html>", "image/png");
            if (path == "/bomb") return dwtest::httpAnswer(200, claimsHuge(), "image/png");
            if (path == "/told-huge") return dwtest::httpAnswer(200, big, "image/png");
            if (path == "/untold-huge") // no length: ends with the connection
                return "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nConnection: close\r\n\r\n" +
                       big;
            return dwtest::httpAnswer(404, "<html>404</html>", "text/html");
        };
        QVERIFY(plain.listen() && secure.listen(true, tls));

        TBitmapCache cache(TBitmapCache::StationFolder());
        int arrived = 0;
        cache.SetOnBitmapArrived([&](TBitmapCache*, TCachedBitmap* b) {
            QCOMPARE(b->Kind, 1); // the list repaints
            ++arrived;
        });
        struct Case
        {
            const char* name;
            QString url;
            QSize size; // empty: no picture
        };
        const QList<Case> cases = {
            {"rb-https.png", secure.url(true) + "/wide.png", QSize(64, 32)},
            {"rb-jpeg.png", secure.url(true) + "/photo.jpg", QSize(64, 64)},
            {"rb-upgrade.png", plain.url() + "/up", QSize(64, 64)},
            {"rb-plain.png", plain.url() + "/wide.png", QSize(64, 32)},
            {"rb-downgrade.png", secure.url(true) + "/down", {}},
            {"rb-file.png", plain.url() + "/file", {}},
            {"rb-page.png", plain.url() + "/page", {}},
            {"rb-bomb.png", plain.url() + "/bomb", {}},
            {"rb-told.png", plain.url() + "/told-huge", {}},
            {"rb-untold.png", plain.url() + "/untold-huge", {}},
            {"rb-missing.png", plain.url() + "/missing", {}},
            {"rb-scheme.png", "ftp://127.0.0.1/x.png", {}},
            {"../rb-escape.png", plain.url() + "/wide.png", {}},
        };
        for (const Case& c : cases)
            QVERIFY(!cache.GetFavicon(c.name, c.url));
        QTRY_COMPARE_WITH_TIMEOUT(cache.FaviconsPending(), 0, 30000);
        QCOMPARE(arrived, 4);
        for (const Case& c : cases) {
            const QImage* img = cache.GetFavicon(c.name, c.url);
            const QString file = TBitmapCache::StationFolder() + c.name;
            FaviconStation station(c.name, c.url);
            if (c.size.isEmpty()) {
                QVERIFY2(!img, c.name);
                QVERIFY2(!QFileInfo::exists(file), c.name);
                QCOMPARE(StationLogoFile(&station), QString());
                continue;
            }
            QVERIFY2(img, c.name);
            QCOMPARE(img->size(), c.size);
            QCOMPARE(StationLogoFile(&station), file);
            QImage kept(file);
            QCOMPARE(kept.size(), c.size);
            QCOMPARE(QImageReader(file).format(), QByteArray("png"));
        }
        QVERIFY(!QDir(TBitmapCache::StationFolder()).entryList({"*.part", "*.tmp"}).size());
        // Known names are never fetched again, pictures or not.
        const qsizetype asked = plain.heads.size() + secure.heads.size();
        for (const Case& c : cases)
            cache.GetFavicon(c.name, c.url);
        QTest::qWait(100);
        QCOMPARE(plain.heads.size() + secure.heads.size(), asked);

        // The next run reads the kept file, without the network.
        TBitmapCache again(TBitmapCache::StationFolder());
        QVERIFY(!again.GetFavicon("rb-https.png", secure.url(true) + "/wide.png"));
        QTRY_VERIFY(again.GetFavicon("rb-https.png", secure.url(true) + "/wide.png"));
        QCOMPARE(again.FaviconFetches(), 0);
    }

    // At most four fetches at once, at most 256 waiting; freeing the cache with fetches
    // on their way calls nothing back.
    void faviconFetchesAreBounded()
    {
        dwtest::HttpStandIn silent; // never answers
        QVERIFY(silent.listen());
        auto cache = std::make_unique<TBitmapCache>(folder);
        int arrived = 0;
        cache->SetOnBitmapArrived([&](TBitmapCache*, TCachedBitmap*) { ++arrived; });
        for (int i = 0; i < 300; ++i)
            cache->GetFavicon(QString("rb-%1.png").arg(i), silent.url() + QString("/%1").arg(i));
        QTRY_COMPARE(silent.heads.size(), TBitmapCache::MaxFaviconFetches);
        QCOMPARE(cache->FaviconsPending(),
                 TBitmapCache::MaxFaviconFetches + TBitmapCache::MaxFaviconsWaiting);
        QTest::qWait(200);
        QCOMPARE(silent.heads.size(), TBitmapCache::MaxFaviconFetches);
        cache.reset();
        QTest::qWait(100);
        QCOMPARE(arrived, 0);
    }
};

QTEST_MAIN(TestBitmapCache)
#include "test_bitmapcache.moc"
