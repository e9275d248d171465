// The directory's message server against the program's message-of-the-day client: the
// answer by UDP and by HTTP, pushed settings from a file, and the update announcement
// whose file the directory serves with the announced checksum.
#include "config.h"
#include "motd.h"
#include "registry.h"
#include "testsupport.h"
#include "updatecore.h"

#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QUdpSocket>

namespace {
const QString kServer = QStringLiteral(DW_BINARY_DIR "/tools/directory/dialwise-directory");
}

class TestDirectoryMotd : public QObject
{
    Q_OBJECT
    QTemporaryDir tmp;
    dwtest::Peer dir;
    quint16 httpPort = 0, udpPort = 0;
    QByteArray publicKey;

private slots:
    void initTestCase()
    {
        const QString pushed =
            dwtest::writeFile(tmp.filePath("pushed.txt"), "helpurl=http://127.0.0.1:9/help/\r\n");
        // The test's own signing key: the directory signs the update with it, the program
        // trusts its public half through DIALWISE_UPDATE_KEY.
        QProcess keygen;
        keygen.start(kServer, {"--new-update-key", tmp.filePath("update.key")});
        QVERIFY(keygen.waitForFinished(30000) && keygen.exitCode() == 0);
        publicKey = keygen.readAllStandardOutput().trimmed();
        QCOMPARE(publicKey.size(), 64);
        httpPort = dwtest::freePort();
        QVERIFY(
            dir.start(kServer, {"--listen", QStringLiteral("127.0.0.1:%1").arg(httpPort), "--db",
                                ":memory:", "--motd-port", "0", "--motd-settings", pushed,
                                "--update", "--update-location", "ftp://127.0.0.1:2121/pub/u.txt",
                                "--update-signing-key", tmp.filePath("update.key")}));
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
        // ... and it is signed with the test's key, which the updater then accepts.
        const QString file = dwtest::writeFile(home.file("u.txt"), body);
        qputenv("DIALWISE_UPDATE_KEY", publicKey);
        QCOMPARE(int(CheckUpdateSignature(file, c.ReadValue("updatesig"))),
                 int(TSignatureCheck::Good));
        qunsetenv("DIALWISE_UPDATE_KEY");
        QCOMPARE(int(CheckUpdateSignature(file, c.ReadValue("updatesig"))),
                 int(TSignatureCheck::Bad));
        delete r;
        qunsetenv("DIALWISE_MOTD_HOST");
        qunsetenv("DIALWISE_MOTD_PORT");
        qunsetenv("DIALWISE_MOTD_URL");
        ReloadProfile();
    }

    // The UDP message server answers a request of the program's form and nothing else, so
    // that a forged sender cannot turn it on anyone.
    void udpAnswersOnlyRequests_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<bool>("answered");
        QTest::newRow("request")
            << QByteArray("MOTD|100122|tunelane|a@b.invalid|AAAA-BBBB-CCCC-DDDD|N|1|Ann|33|12345|")
            << true;
        QTest::newRow("bare MOTD|") << QByteArray("MOTD|") << false;
        QTest::newRow("too many fields")
            << QByteArray("MOTD|1|2|3|4|5|6|7|8|9|10|11|12|13|14|15|16|17|") << false;
        QTest::newRow("control characters") << QByteArray("MOTD|1|2|3\n|4|5|6|7|8|9|") << false;
        QTest::newRow("oversized")
            << "MOTD|" + QByteArray(2000, 'x') + "|1|2|3|4|5|6|7|8|" << false;
        QTest::newRow("usage report") << QByteArray("TIME|100122|tunelane|AAAA|1|1|") << false;
    }
    void udpAnswersOnlyRequests()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(bool, answered);
        QUdpSocket s;
        QVERIFY(s.bind(QHostAddress::LocalHost, 0));
        s.writeDatagram(datagram, QHostAddress::LocalHost, udpPort);
        if (answered) {
            QTRY_VERIFY_WITH_TIMEOUT(s.hasPendingDatagrams(), 10000);
            return;
        }
        QTest::qWait(700);
        QVERIFY(!s.hasPendingDatagrams());
    }
};

QTEST_GUILESS_MAIN(TestDirectoryMotd)
#include "test_directory_motd.moc"
