// The banner fetcher without a window: decoding the bodies a banner server sends, a fetch
// from a loopback server that hands over the finished image, and the watchdog and re-arm
// timer that ask for the next one.
#include "bannerfetcher.h"
#include "testsupport.h"

#include <QBuffer>
#include <QImage>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {
// A tiny valid GIF: Qt has no GIF writer.
QByteArray tinyGif()
{
    return QByteArray::fromBase64("R0lGODlhAQABAIAAAP8AAAAAACH5BAAAAAAALAAAAAABAAEAAAICRAEAOw==");
}

// Answers every request with `body`, or never when `silent`, and keeps the request lines.
class BannerServer : public QTcpServer
{
public:
    QByteArray body;
    bool silent = false;
    QStringList requests;
    BannerServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* s = nextPendingConnection();
            auto* head = new QByteArray;
            connect(s, &QObject::destroyed, [head] { delete head; });
            connect(s, &QTcpSocket::readyRead, s, [this, s, head] {
                *head += s->readAll();
                if (!head->contains("\r\n\r\n")) return;
                requests << QString::fromLatin1(head->left(head->indexOf("\r\n")));
                if (silent) return;
                s->write("HTTP/1.0 200 OK\r\nContent-Type: image/gif\r\n\r\n" + body);
                s->disconnectFromHost();
            });
            connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        });
    }
    QString base() const { return QString("http://127.0.0.1:%1/ads/M_ROCK/").arg(serverPort()); }
};
} // namespace

class TestBanner : public QObject
{
    Q_OBJECT
private slots:
    void bodies_data()
    {
        QTest::addColumn<QByteArray>("prefix");
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<bool>("ok");
        QTest::newRow("gif") << QByteArray() << QByteArray("GIF") << true;
        QTest::newRow("gif after junk") << QByteArray(100, 'x') << QByteArray("GIF") << true;
        QTest::newRow("gif too late") << QByteArray(200, 'x') << QByteArray("GIF") << false;
        QTest::newRow("jpeg") << QByteArray() << QByteArray("JPEG") << true;
        QTest::newRow("png is rejected") << QByteArray() << QByteArray("PNG") << false;
        QTest::newRow("truncated gif") << QByteArray() << QByteArray("GIF-") << false;
    }
    void bodies()
    {
        QFETCH(QByteArray, prefix);
        QFETCH(QByteArray, format);
        QFETCH(bool, ok);
        QByteArray data;
        if (format.startsWith("GIF")) {
            data = tinyGif();
            if (format == "GIF-") data.truncate(12);
        } else {
            QImage img(8, 4, QImage::Format_RGB32);
            img.fill(Qt::red);
            QBuffer b(&data);
            b.open(QIODevice::WriteOnly);
            QVERIFY(img.save(&b, format.constData()));
        }
        QImage out;
        QCOMPARE(TBannerFetcher::Decode(prefix + data, out), ok);
        QCOMPARE(out.isNull(), !ok);
    }

    // A fetch asks base + a fresh suffix and hands over the decoded picture; a body that
    // is no picture ends with a null image, and the fetcher is free again after re-arming.
    void fetchesAndHandsOver()
    {
        dwtest::TempHome home;
        BannerServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        server.body = QByteArray(20, 'x') + tinyGif();
        TBannerFetcher f;
        QSignalSpy done(&f, &TBannerFetcher::finished);
        QVERIFY(!f.Busy());
        f.Fetch(server.base());
        QVERIFY(f.Busy());
        QVERIFY(done.wait(10000));
        QCOMPARE(done.first().first().value<QImage>().size(), QSize(1, 1));
        QCOMPARE(server.requests.size(), 1);
        QVERIFY(f.Suffix().startsWith('?'));
        QCOMPARE(server.requests.first(), "GET /ads/M_ROCK/" + f.Suffix() + " HTTP/1.0");
        QVERIFY(f.Location().startsWith(server.base()));
        QVERIFY(f.Busy()); // until the owner re-arms
        f.Rearm(60000);
        QTRY_VERIFY(!f.Busy()); // once the connection has closed

        const QString first = f.Suffix();
        server.body = "<html>no banner today</html>";
        f.Fetch(server.base());
        QVERIFY(done.wait(10000));
        QVERIFY(done.last().first().value<QImage>().isNull());
        QVERIFY(f.Suffix() != first); // every request bypasses caches
    }

    // A request that hangs is cut by the watchdog's tick; re-arming aborts it, and the next
    // tick comes after the interval.
    void watchdogAndInterval()
    {
        dwtest::TempHome home;
        BannerServer server;
        server.silent = true;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        TBannerFetcher f;
        QSignalSpy ticks(&f, &TBannerFetcher::tick);
        QSignalSpy done(&f, &TBannerFetcher::finished);
        f.Fetch(server.base(), 300);
        QVERIFY(ticks.wait(5000));
        QTRY_COMPARE(server.requests.size(), 1);
        QVERIFY(f.Busy());
        f.Rearm(200);
        QTRY_VERIFY_WITH_TIMEOUT(!f.Busy(), 150); // the abort frees it before the next tick
        QVERIFY(ticks.wait(5000));
        QCOMPARE(ticks.size(), 2);
        QCOMPARE(done.size(), 0); // an aborted request hands nothing over
    }
};

QTEST_GUILESS_MAIN(TestBanner)
#include "test_banner.moc"
