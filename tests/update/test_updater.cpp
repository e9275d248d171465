// The updater: its rules, and its window downloading from a real vsftpd and from an HTTP
// server on loopback, with the opening of the file recorded instead of done.
#include "config.h"
#include "dialogs.h"
#include "platform.h"
#include "registry.h"
#include "testsupport.h"
#include "update_form.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTreeWidget>

#include <sodium.h>

using namespace platform;

namespace {
QStringList g_opened;
void recordLaunch(const QString& what, const QStringList&)
{
    g_opened << what;
}
const QString kKey = "Software\\Velmora\\tunelane";

QByteArray payload()
{
    QByteArray b(700 * 1024 + 3, '\0');
    for (qsizetype i = 0; i < b.size(); ++i)
        b[i] = char((i * 7 + i / 251) & 0xff);
    return b;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
} // namespace

class TestUpdater : public QObject
{
    Q_OBJECT
    QByteArray secret_; // the test's signing key; its public half is DIALWISE_UPDATE_KEY
    QList<int> ended;
    QStringList messages;
    int answer = mrYes;

    void writeLocation(const QString& url)
    {
        TRegistry::WriteString(kKey, "updatever", "10.01.23");
        TRegistry::WriteString(kKey, "updatedesc", "Faster station lists");
        TRegistry::WriteString(kKey, "updatesize", "700kb");
        TRegistry::WriteString(kKey, "updateurl", "http://127.0.0.1:9/download/");
        TRegistry::WriteString(kKey, "dlcount", "1");
        TRegistry::WriteString(kKey, "dl1", url);
        TRegistry::WriteString(kKey, "dl1desc", "Loopback");
        TRegistry::WriteString(kKey, "updatesig", SignUpdate(payload(), secret_).toHex());
    }

    // Shows the window, waits for its list, downloads from the first location and waits
    // for the program's end or for a message.
    void download(Tupdate_form& f)
    {
        f.show();
        QTRY_COMPARE(f.downloadlist->topLevelItemCount(), 1);
        f.download_butt->click();
        QTRY_VERIFY_WITH_TIMEOUT(!ended.isEmpty() || !messages.isEmpty(), 30000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(sodium_init() >= 0);
        QByteArray pub(crypto_sign_PUBLICKEYBYTES, '\0');
        secret_.resize(crypto_sign_SECRETKEYBYTES);
        crypto_sign_keypair(reinterpret_cast<unsigned char*>(pub.data()),
                            reinterpret_cast<unsigned char*>(secret_.data()));
        qputenv("DIALWISE_UPDATE_KEY", pub.toHex());
    }

    void signatures()
    {
        QTemporaryDir tmp;
        const QString file = dwtest::writeFile(tmp.filePath("u.bin"), payload());
        const QByteArray good = SignUpdate(payload(), secret_).toHex();
        QByteArray otherSecret(crypto_sign_SECRETKEYBYTES, '\0');
        QByteArray otherPub(crypto_sign_PUBLICKEYBYTES, '\0');
        crypto_sign_keypair(reinterpret_cast<unsigned char*>(otherPub.data()),
                            reinterpret_cast<unsigned char*>(otherSecret.data()));
        QByteArray flipped = QByteArray::fromHex(good);
        flipped[5] = char(flipped[5] ^ 1);
        const struct
        {
            QByteArray sig;
            TSignatureCheck want;
        } rows[] = {
            {good, TSignatureCheck::Good},
            {good.toUpper(), TSignatureCheck::Good},
            {"", TSignatureCheck::Missing},
            {good.left(100), TSignatureCheck::Malformed},
            {good.left(126) + "zz", TSignatureCheck::Malformed},
            {flipped.toHex(), TSignatureCheck::Bad},
            {SignUpdate(payload(), otherSecret).toHex(), TSignatureCheck::Bad},
            {SignUpdate(payload().left(1000), secret_).toHex(), TSignatureCheck::Bad},
        };
        for (const auto& r : rows)
            QCOMPARE(int(CheckUpdateSignature(file, QString::fromLatin1(r.sig))), int(r.want));
        QCOMPARE(int(CheckUpdateSignature(tmp.filePath("missing"), QString::fromLatin1(good))),
                 int(TSignatureCheck::Unreadable));
        // Without the test key only the built-in key counts.
        const QByteArray key = qgetenv("DIALWISE_UPDATE_KEY");
        qunsetenv("DIALWISE_UPDATE_KEY");
        QCOMPARE(int(CheckUpdateSignature(file, QString::fromLatin1(good))),
                 int(TSignatureCheck::Bad));
        qputenv("DIALWISE_UPDATE_KEY", "not hex at all");
        QCOMPARE(TrustedUpdateKeys().size(), 1);
        qputenv("DIALWISE_UPDATE_KEY", key);
    }

    void freshNames()
    {
        QTemporaryDir tmp;
        QCOMPARE(FreshFileName(tmp.path(), "setup.bin"), tmp.filePath("setup.bin"));
        dwtest::writeFile(tmp.filePath("setup.bin"), "1");
        dwtest::writeFile(tmp.filePath("setup (2).bin"), "2");
        QCOMPARE(FreshFileName(tmp.path(), "setup.bin"), tmp.filePath("setup (3).bin"));
        QFile::link("/nonexistent", tmp.filePath("noext"));
        QCOMPARE(FreshFileName(tmp.path(), "noext"), tmp.filePath("noext (2)"));
        dwtest::TempHome home;
        QCOMPARE(UpdateFolder(), home.path() + "/Downloads/Dialwise updates");
    }

    void init()
    {
        TRegistry::Reset();
        ended.clear();
        messages.clear();
        g_opened.clear();
        answer = mrYes;
        Tupdate_form::EndProgram = [this](int code) { ended << code; };
        SetLaunchRecorder(recordLaunch);
        SetDialogScript([this](const DialogRequest& r) {
            messages << r.text;
            return DialogAnswer{r.buttons & mbYes ? answer : mrOk, {}};
        });
    }
    void cleanup()
    {
        SetDialogScript(nullptr);
        SetLaunchRecorder(nullptr);
    }

    void fileNames_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << "/pub/dialwise-10.01.23.exe"
                               << "dialwise-10.01.23.exe";
        QTest::newRow("query") << "/get/setup.bin?mirror=2"
                               << "setup.bin";
        QTest::newRow("dot dot") << "/pub/.."
                                 << "dialwise-update";
        QTest::newRow("backslashes") << "/x/..\\..\\evil.sh"
                                     << "evil.sh";
        QTest::newRow("folder only") << "/pub/"
                                     << "dialwise-update";
        QTest::newRow("hidden") << "/.bashrc"
                                << "bashrc";
    }
    void fileNames()
    {
        QFETCH(QString, path);
        QFETCH(QString, name);
        QCOMPARE(DownloadFileName(path), name);
    }

    void progressTexts()
    {
        QCOMPARE(ProgressText(5000, 0, 3000), QString("5000 of Unknown"));
        QCOMPARE(ProgressPercent(5000, 0), 0);
        // 100000 of 400000 in 2 s: 50 k/s, 300000 left takes 6 s.
        QCOMPARE(ProgressText(100000, 400000, 2500),
                 QString("100000 of 400000 (50.00 k/s) 0:06 left"));
        QCOMPARE(ProgressText(10, 10000000, 500),
                 QString("10 of 10000000 (0.10 k/s) 1666:40 left"));
        QCOMPARE(ProgressPercent(1055, 10000), 10); // 10.55: the first decimal is below 6
        QCOMPARE(ProgressPercent(1065, 10000), 11);
        QCOMPARE(ProgressPercent(1049, 10000), 10);
        QCOMPARE(PingImage(250), 1);
        QCOMPARE(PingImage(251), 2);
        QCOMPARE(PingImage(500), 2);
        QCOMPARE(PingImage(9999), 3);
    }

    void locationList()
    {
        dwtest::TempHome home;
        TRegistry::WriteString(kKey, "dl1", "ftp://127.0.0.1/a.bin");
        TRegistry::WriteString(kKey, "dl2", "http://127.0.0.1/b.bin");
        TRegistry::WriteString(kKey, "dl3", "http://127.0.0.1/c.bin");
        TRegistry::WriteString(kKey, "dlcount", "2");
        QCOMPARE(ReadDownloadLocations(kKey).size(), 2);
        TRegistry::WriteString(kKey, "dlcount", "many");
        QCOMPARE(ReadDownloadLocations(kKey).size(), 3);
        TRegistry::WriteString(kKey, "dl2", "");
        const QList<TDLInfo> l = ReadDownloadLocations(kKey);
        QCOMPARE(l.size(), 1);
        QCOMPARE(l[0].Proto, QString("ftp"));
        QCOMPARE(l[0].Host, QString("127.0.0.1"));
        QCOMPARE(l[0].Path, QString("/a.bin"));

        // The window shows them, and pings each until it has a time.
        TRegistry::WriteString(kKey, "dl2", "http://127.0.0.1/b.bin");
        TRegistry::WriteString(kKey, "dl2desc", "Second");
        TRegistry::WriteString(kKey, "updatever", "10.01.23");
        Tupdate_form f(kKey);
        f.show();
        QTRY_COMPARE(f.downloadlist->topLevelItemCount(), 3);
        QCOMPARE(f.verslab->text(), QString("10.01.23"));
        QCOMPARE(f.downloadlist->topLevelItem(1)->text(2), QString("Second"));
        QCOMPARE(f.downloadlist->currentItem(), f.downloadlist->topLevelItem(0));
        QTRY_VERIFY_WITH_TIMEOUT(f.downloadlist->topLevelItem(2)->text(0) != "???", 20000);
        for (int i = 0; i < 3; ++i) {
            bool number = false;
            const int ms = f.downloadlist->topLevelItem(i)->text(0).toInt(&number);
            QVERIFY2(number && ms >= 0 && ms <= 9999,
                     qPrintable(f.downloadlist->topLevelItem(i)->text(0)));
        }
    }

    void logKeepsTheNewestLines()
    {
        dwtest::TempHome home;
        Tupdate_form f(kKey);
        for (int i = 1; i <= Tupdate_form::MaxLogLines + 5; ++i)
            f.Log(QString::number(i));
        QCOMPARE(f.DebugBox1->count(), Tupdate_form::MaxLogLines);
        QVERIFY(f.DebugBox1->item(0)->text().endsWith(" 30005"));
        QVERIFY(f.DebugBox1->item(f.DebugBox1->count() - 1)->text().endsWith(" 6"));
    }

    void badKeyEndsTheProgram()
    {
        dwtest::TempHome home;
        Tupdate_form f("Software\\Nobody\\here");
        f.show();
        QTRY_COMPARE(ended, QList<int>{1});
        QCOMPARE(messages, QStringList{"Bad Registry Key"});
    }

    void httpDownload_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("withLength");
        QTest::addColumn<QString>("sha"); // pushed checksum: "" none, "good", or "bad"
        QTest::addColumn<QString>("sig"); // pushed signature: "good", "" none, or "bad"
        QTest::addColumn<bool>("opened");
        QTest::addColumn<QString>("message");
        QTest::newRow("ok") << 200 << true << ""
                            << "good" << true << "";
        QTest::newRow("no length") << 200 << false << "good"
                                   << "good" << true << "";
        QTest::newRow("checksum mismatch") << 200 << true << "bad"
                                           << "good" << false << "checksum";
        QTest::newRow("404 page") << 404 << true << ""
                                  << "good" << false << "Not Found";
        QTest::newRow("unsigned") << 200 << true << ""
                                  << "" << false << "without a signature";
        QTest::newRow("badly signed") << 200 << true << ""
                                      << "bad" << false << "not signed by";
    }
    void httpDownload()
    {
        QFETCH(int, status);
        QFETCH(bool, withLength);
        QFETCH(QString, sha);
        QFETCH(QString, sig);
        QFETCH(bool, opened);
        QFETCH(QString, message);
        dwtest::TempHome home;
        const QByteArray body = status == 200 ? payload() : QByteArray("<html>gone</html>");
        QTcpServer web;
        QVERIFY(web.listen(QHostAddress::LocalHost, 0));
        connect(&web, &QTcpServer::newConnection, this, [&] {
            QTcpSocket* s = web.nextPendingConnection();
            connect(s, &QTcpSocket::readyRead, s, [&, s] {
                if (!s->readAll().contains("\r\n\r\n")) return;
                QByteArray head = "HTTP/1.0 " + QByteArray::number(status) +
                                  (status == 200 ? " OK" : " Not Found") + "\r\n";
                if (withLength)
                    head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
                s->write(head + "\r\n" + body);
                s->disconnectFromHost();
            });
        });
        writeLocation(
            QStringLiteral("http://127.0.0.1:%1/download/update.bin").arg(web.serverPort()));
        if (!sha.isEmpty())
            TRegistry::WriteString(
                kKey, "updatesha256",
                sha == "good" ? QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex()
                              : QByteArray(64, 'a'));
        if (sig != "good")
            TRegistry::WriteString(kKey, "updatesig",
                                   sig.isEmpty() ? QByteArray() : QByteArray(128, 'b'));
        // A file of the same name is there already: it is left alone.
        const QString local = UpdateFolder() + "/update.bin";
        dwtest::writeFile(local, "earlier");
        Tupdate_form f(kKey);
        download(f);
        if (opened) {
            const QString placed = UpdateFolder() + "/update (2).bin";
            QCOMPARE(f.LocalFile(), placed);
            QCOMPARE(readAll(local), QByteArray("earlier"));
            QCOMPARE(ended, QList<int>{0});
            QCOMPARE(g_opened, QStringList{QUrl::fromLocalFile(placed).toString()});
            QVERIFY(readAll(placed) == body);
            QCOMPARE(f.ProgressBar1->value(), withLength ? 100 : 0);
            QVERIFY(!QFile::exists(UpdateFolder() + "/update.bin.part"));
            return;
        }
        QTRY_VERIFY(!f.Downloading());
        QVERIFY(ended.isEmpty());
        QVERIFY(g_opened.isEmpty());
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages[0].contains(message), qPrintable(messages[0]));
        // Nothing of the refused file is left, and the earlier file is untouched.
        QCOMPARE(QDir(UpdateFolder()).entryList(QDir::Files), QStringList{"update.bin"});
        QCOMPARE(readAll(local), QByteArray("earlier"));
    }

    void ftpDownloadAndResume()
    {
        if (dwtest::findProgram("vsftpd").isEmpty())
            DW_PEER_MISSING("vsftpd", "vsftpd is not installed");
        dwtest::TempHome home;
        QTemporaryDir tmp;
        const QByteArray body = payload();
        dwtest::writeFile(tmp.filePath("root/pub/update.bin"), body);
        QFile::setPermissions(tmp.filePath("root/pub"),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                  QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                  QFileDevice::ExeOther);
        QFile::setPermissions(tmp.filePath("root/pub/update.bin"), QFileDevice::ReadOwner |
                                                                       QFileDevice::WriteOwner |
                                                                       QFileDevice::ReadOther);
        dwtest::Peer vsftpd;
        const quint16 port = dwtest::freePort();
        QVERIFY2(dwtest::startVsftpd(vsftpd, tmp.filePath("root"), port, tmp.filePath("srv")),
                 qPrintable(vsftpd.output()));
        // No user information: anonymous.
        writeLocation(QStringLiteral("ftp://127.0.0.1:%1/pub/update.bin").arg(port));
        {
            Tupdate_form f(kKey);
            download(f);
            QVERIFY2(messages.isEmpty(), qPrintable(messages.join('|')));
            QCOMPARE(ended, QList<int>{0});
            QCOMPARE(f.TotalSize(), qint64(body.size()));
            QVERIFY(readAll(f.LocalFile()) == body);
            QCOMPARE(g_opened.size(), 1);
            bool anonymous = false;
            for (int i = 0; i < f.DebugBox1->count(); ++i)
                anonymous |= f.DebugBox1->item(i)->text().endsWith("> USER anonymous");
            QVERIFY(anonymous);
        }
        // A partial file from an earlier try is resumed when the user says so.
        const QString partial = UpdateFolder() + "/update.bin.part";
        dwtest::writeFile(partial, body.left(300000));
        ended.clear();
        messages.clear();
        Tupdate_form f(kKey);
        download(f); // returns at the question; the download goes on after it
        QTRY_COMPARE_WITH_TIMEOUT(ended, QList<int>{0}, 30000);
        QCOMPARE(messages.size(), 1);
        QVERIFY(messages[0].startsWith("The file: " + partial + " already exists"));
        QVERIFY(f.Received() == body.size());
        QCOMPARE(f.LocalFile(), UpdateFolder() + "/update (2).bin"); // the first run placed one
        QVERIFY(readAll(f.LocalFile()) == body);
        vsftpd.stop();
    }

    // A server that says RETR went well (150, 226) without ever opening the data
    // connection: the short file is a failure, and the next try connects afresh.
    void ftpShortRetrieve()
    {
        dwtest::TempHome home;
        QTcpServer liar;
        QVERIFY(liar.listen(QHostAddress::LocalHost, 0));
        int logins = 0;
        connect(&liar, &QTcpServer::newConnection, this, [&] {
            QTcpSocket* s = liar.nextPendingConnection();
            s->write("220 ready\r\n");
            connect(s, &QTcpSocket::readyRead, s, [&, s] {
                while (s->canReadLine()) {
                    const QByteArray cmd = s->readLine().trimmed().toUpper();
                    if (cmd.startsWith("USER"))
                        s->write("331 password\r\n");
                    else if (cmd.startsWith("PASS"))
                        ++logins, s->write("230 in\r\n");
                    else if (cmd.startsWith("SIZE"))
                        s->write("213 999999\r\n");
                    else if (cmd.startsWith("RETR"))
                        s->write("150 sending\r\n226 done\r\n");
                    else if (cmd.startsWith("QUIT"))
                        s->write("221 bye\r\n");
                    else
                        s->write("200 ok\r\n");
                }
            });
        });
        writeLocation(QStringLiteral("ftp://127.0.0.1:%1/pub/update.bin").arg(liar.serverPort()));
        Tupdate_form f(kKey);
        for (int attempt = 1; attempt <= 2; ++attempt) {
            messages.clear();
            if (attempt == 1)
                download(f);
            else {
                f.download_butt->click();
                QTRY_VERIFY_WITH_TIMEOUT(!messages.isEmpty(), 30000);
            }
            QCOMPARE(messages,
                     QStringList{"FTP Error: the transfer ended after 0 of 999999 bytes"});
            QTRY_VERIFY(!f.Downloading());
            QCOMPARE(logins, attempt);
        }
        QVERIFY(ended.isEmpty());
        QVERIFY(g_opened.isEmpty());
    }

    void ftpLoginRefused()
    {
        dwtest::TempHome home;
        QTcpServer refuser; // says it is not ready and goes
        QVERIFY(refuser.listen(QHostAddress::LocalHost, 0));
        connect(&refuser, &QTcpServer::newConnection, this, [&] {
            QTcpSocket* s = refuser.nextPendingConnection();
            s->write("421 Service not available\r\n");
            s->disconnectFromHost();
        });
        writeLocation(
            QStringLiteral("ftp://127.0.0.1:%1/pub/update.bin").arg(refuser.serverPort()));
        Tupdate_form f(kKey);
        download(f);
        QCOMPARE(messages, QStringList{"Unable to connect to FTP server, please try another site"});
        QVERIFY(!f.Downloading());
        QVERIFY(ended.isEmpty());
    }
};

QTEST_MAIN(TestUpdater)
#include "test_updater.moc"
