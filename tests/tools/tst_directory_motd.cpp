// The directory's message server against the program's message-of-the-day client: the
// answer by UDP and by HTTP, pushed settings from a file, and the update announcement
// whose file the directory serves with the announced checksum.
#include "config.h"
#include "motd.h"
#include "registry.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTest>

namespace {
const QString kServer = QStringLiteral(DW_BINARY_DIR "/tools/directory/dialwise-directory");
}

class TestDirectoryMotd : public QObject
{
    Q_OBJECT
    QTemporaryDir tmp;
    dwtest::Peer dir;
    quint16 httpPort = 0, udpPort = 0;

private slots:
    void initTestCase()
    {
        const QString pushed =
            dwtest::writeFile(tmp.filePath("pushed.txt"), "helpurl=http://127.0.0.1:9/help/\r\n");
        httpPort = dwtest::freePort();
        QVERIFY(dir.start(kServer, {"--listen", QStringLiteral("127.0.0.1:%1").arg(httpPort),
                                    "--db", ":memory:",
                                    "--motd-port", "0", "--motd-settings", pushed, "--update",
                                    "--update-location", "ftp://127.0.0.1:2121/pub/u.txt"}));
        QVERIFY2(dwtest::waitForTcpPort(httpPort), qPrintable(dir.output()));
        QString out;
        static const QRegularExpression re("message server on UDP port (\\d+)");
        QTRY_VERIFY_WITH_TIMEOUT((out += dir.output(), re.match(out).hasMatch()), 10000);
        udpPort = quint16(re.match(out).captured(1).toUInt());
        QVERIFY(udpPort != 0);
    }
    void cleanupTestCase() { dir.stop(); }
    void init() { TRegistry::Reset(); }

    void answersByUdpAndHttp_data()
    {
        QTest::addColumn<bool>("udp");
        QTest::newRow("UDP") << true;
        QTest::newRow("HTTP") << false;
    }
    void answersByUdpAndHttp()
    {
        QFETCH(bool, udp);
        dwtest::TempHome home;
        qputenv("DIALWISE_MOTD_HOST", "127.0.0.1");
        qputenv("DIALWISE_MOTD_PORT", QByteArray::number(udpPort));
        qputenv("DIALWISE_MOTD_URL",
                QByteArray("http://127.0.0.1:") + QByteArray::number(httpPort) + "/motd?q=");
        ReloadProfile();
        TConfig c;
        c.SetChecked(udp ? "udpmotdbutt" : "httpmotdbutt", true);
        TMotdClient m(&c);
        TMotdResponse got;
        bool announced = false;
        m.OnMessage = [&](const TMotdResponse& r, bool) { got = r; };
        m.OnNewVersion = [&] { announced = true; };
        m.SendRequest();
        QTRY_VERIFY_WITH_TIMEOUT(announced, 15000);
        QVERIFY(got.Rich);
        QVERIFY(got.Message().contains("demo world"));
        QCOMPARE(c.Link("help").Url, QString("http://127.0.0.1:9/help/"));
        QCOMPARE(c.ReadValue("dlcount"), QString("2"));
        QCOMPARE(c.ReadValue("dl2"), QString("ftp://127.0.0.1:2121/pub/u.txt"));
        const QString dl1 = c.ReadValue("dl1");
        QVERIFY(dl1.startsWith(QStringLiteral("http://127.0.0.1:%1/download/").arg(httpPort)));

        // The announced file is served, and its sum is the announced one.
        QNetworkAccessManager net;
        QNetworkReply* r = net.get(QNetworkRequest(QUrl(dl1)));
        QTRY_VERIFY_WITH_TIMEOUT(r->isFinished(), 10000);
        const QByteArray body = r->readAll();
        QVERIFY(!body.isEmpty());
        QCOMPARE(
            QString::fromLatin1(QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex()),
            c.ReadValue("updatesha256"));
        delete r;
        qunsetenv("DIALWISE_MOTD_HOST");
        qunsetenv("DIALWISE_MOTD_PORT");
        qunsetenv("DIALWISE_MOTD_URL");
        ReloadProfile();
    }
};

QTEST_GUILESS_MAIN(TestDirectoryMotd)
#include "tst_directory_motd.moc"
