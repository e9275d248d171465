// The FTP client: its reply parser, and the whole client against a real vsftpd on
// loopback (login, SIZE, download over PORT, resume after a cut, refusals), plus a
// silent server that must time out.
#include "ftpcli.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

const char* const kPassword = "updater@dialwise.invalid";

struct Done
{
    bool Fired = false;
    TFtpRequest Request = ftpNoRequest;
    int Error = -1;
};

// Runs one request and waits for its end.
Done run(TFtpClient& c, void (TFtpClient::*op)(), int timeoutMs = 30000)
{
    Done d;
    c.OnRequestDone = [&d](TFtpClient*, TFtpRequest r, int e) {
        d.Fired = true;
        d.Request = r;
        d.Error = e;
    };
    (c.*op)();
    QElapsedTimer t;
    t.start();
    while (!d.Fired && t.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    c.OnRequestDone = nullptr;
    return d;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestFtpClient : public QObject
{
    Q_OBJECT

    QTemporaryDir tmp;
    dwtest::Peer vsftpd;
    quint16 port = 0;
    QByteArray big;   // pub/big.bin
    QByteArray small; // pub/small.txt

    void login(TFtpClient& c)
    {
        c.HostName = "127.0.0.1";
        c.Port = QString::number(port);
        c.UserName = "anonymous";
        c.PassWord = kPassword;
        Done d = run(c, &TFtpClient::ConnectAsync);
        QVERIFY(d.Fired);
        QCOMPARE(d.Error, 0);
        QVERIFY(c.Connected());
    }

    // Logged in, in /pub, binary, with big.bin to go to `local`.
    void readyForBig(TFtpClient& c, const QString& local)
    {
        login(c);
        c.HostDirName = "/pub/";
        c.HostFileName = "big.bin";
        c.LocalFileName = local;
        QCOMPARE(run(c, &TFtpClient::CwdAsync).Error, 0);
        QCOMPARE(run(c, &TFtpClient::TypeSetAsync).Error, 0);
    }

private slots:
    void initTestCase()
    {
        if (dwtest::findProgram("vsftpd").isEmpty())
            DW_PEER_MISSING("vsftpd", "vsftpd is not installed");
        QVERIFY(tmp.isValid());
        const QString root = tmp.filePath("root");
        big.resize(3 * 1024 * 1024 + 17);
        QRandomGenerator gen(42);
        for (qsizetype i = 0; i < big.size(); ++i)
            big[i] = char(gen.generate() & 0xff);
        small = "twelve bytes";
        dwtest::writeFile(root + "/pub/big.bin", big);
        dwtest::writeFile(root + "/pub/small.txt", small);
        QFile::setPermissions(root + "/pub", QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                 QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                 QFileDevice::ExeOther);
        for (const char* f : {"/pub/big.bin", "/pub/small.txt"})
            QFile::setPermissions(root + f, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ReadOther);
        port = dwtest::freePort();
        QVERIFY2(dwtest::startVsftpd(vsftpd, root, port, tmp.filePath("srv"), {kPassword}),
                 qPrintable(vsftpd.output()));
    }
    void cleanupTestCase() { vsftpd.stop(); }

    void replyParser_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("replies"); // "code|last line"
        QTest::addColumn<bool>("ok");
        QTest::newRow("single") << QByteArray("220 ready\r\n") << QStringList{"220|220 ready"}
                                << true;
        QTest::newRow("bare LF and split") << QByteArray("331 Please\n230 ok\r\n")
                                           << QStringList{"331|331 Please", "230|230 ok"} << true;
        QTest::newRow("multi-line") << QByteArray("211-Features:\r\n SIZE\r\n211-x\r\n211 End\r\n")
                                    << QStringList{"211|211 End"} << true;
        QTest::newRow("bare code") << QByteArray("200\r\n") << QStringList{"200|200"} << true;
        QTest::newRow("incomplete") << QByteArray("220 rea") << QStringList{} << true;
        QTest::newRow("garbage") << QByteArray("hello\r\n") << QStringList{} << false;
        QTest::newRow("code 600") << QByteArray("600 no\r\n") << QStringList{} << false;
        QTest::newRow("endless line")
            << QByteArray(TFtpReplyParser::MaxLineLength + 10, 'x') << QStringList{} << false;
        QByteArray many = "250-start\r\n";
        for (int i = 0; i < TFtpReplyParser::MaxReplyLines + 5; ++i)
            many += "line\r\n";
        QTest::newRow("endless reply") << many << QStringList{} << false;
    }
    void replyParser()
    {
        QFETCH(QByteArray, input);
        QFETCH(QStringList, replies);
        QFETCH(bool, ok);
        TFtpReplyParser p;
        QStringList got;
        p.OnReply = [&got](int c, const QString& l) { got << QString::number(c) + "|" + l; };
        // Byte by byte, so that every split point is crossed.
        bool result = true;
        for (char ch : input)
            if (!(result = p.Feed(&ch, 1))) break;
        QCOMPARE(result, ok);
        QCOMPARE(got, replies);
        if (!ok) QVERIFY(!p.Error().isEmpty());
    }

    void loginSizeAndDownload()
    {
        TFtpClient c;
        QStringList shown;
        c.OnDisplay = [&shown](TFtpClient*, const QString& l) { shown << l; };
        login(c);
        QVERIFY(shown.contains("> USER anonymous"));
        QVERIFY(shown.contains("> PASS ****")); // the password never reaches the log
        QVERIFY(std::any_of(shown.begin(), shown.end(),
                            [](const QString& l) { return l.startsWith("< 230"); }));

        c.HostDirName = "/pub/";
        c.HostFileName = "big.bin";
        QCOMPARE(run(c, &TFtpClient::CwdAsync).Error, 0);
        QCOMPARE(run(c, &TFtpClient::TypeSetAsync).Error, 0);
        QCOMPARE(run(c, &TFtpClient::SizeAsync).Error, 0);
        QCOMPARE(c.SizeResult(), qint64(big.size()));

        c.LocalFileName = tmp.filePath("big.bin");
        qint64 lastProgress = 0;
        c.OnProgress = [&](TFtpClient*, qint64 n) {
            QVERIFY(n >= lastProgress);
            lastProgress = n;
        };
        Done d = run(c, &TFtpClient::GetAsync);
        QVERIFY(d.Fired);
        QCOMPARE(d.Request, ftpGetAsync);
        QCOMPARE(d.Error, 0);
        QCOMPARE(lastProgress, qint64(big.size()));
        QVERIFY(readAll(c.LocalFileName) == big);
        QVERIFY(std::any_of(shown.begin(), shown.end(),
                            [](const QString& l) { return l.startsWith("> PORT 127,0,0,1,"); }));

        QCOMPARE(run(c, &TFtpClient::QuitAsync).Error, 0);
        QTRY_VERIFY(!c.Connected());
    }

    // A transfer cut off after its first data resumes where the local file ends.
    void resumeAfterCut()
    {
        const QString local = tmp.filePath("resumed.bin");
        QFile::remove(local);
        {
            TFtpClient c;
            readyForBig(c, local);
            bool cut = false;
            c.OnProgress = [&cut](TFtpClient* s, qint64 n) {
                if (!cut && n > 0) {
                    cut = true;
                    s->Abort();
                }
            };
            c.GetAsync();
            QTRY_VERIFY_WITH_TIMEOUT(cut, 30000);
            QVERIFY(!c.Busy());
            QVERIFY(!c.Connected());
        }
        const qint64 part = QFileInfo(local).size();
        QVERIFY(part > 0);
        QVERIFY(part < big.size());
        QVERIFY(readAll(local) == big.left(part));

        TFtpClient c;
        QStringList shown;
        c.OnDisplay = [&shown](TFtpClient*, const QString& l) { shown << l; };
        readyForBig(c, local);
        qint64 first = -1;
        c.OnProgress = [&first](TFtpClient*, qint64 n) {
            if (first < 0) first = n;
        };
        Done d = run(c, &TFtpClient::RestartGetAsync);
        QCOMPARE(d.Request, ftpRestartGetAsync);
        QCOMPARE(d.Error, 0);
        QCOMPARE(c.ResumeAt(), part);
        QVERIFY(first > part); // counted from the resumed position
        QVERIFY(shown.contains(QStringLiteral("> REST %1").arg(part)));
        QVERIFY(readAll(local) == big);
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("failingStep"); // 0 login, 1 SIZE, 2 RETR
        QTest::addColumn<int>("code");
        QTest::newRow("wrong password") << "guess@nowhere.invalid"
                                        << "small.txt" << 0 << 530;
        QTest::newRow("missing file, SIZE") << kPassword << "nothere.bin" << 1 << 550;
        QTest::newRow("missing file, RETR") << kPassword << "nothere.bin" << 2 << 550;
        QTest::newRow("smuggled command")
            << kPassword << "x\r\nDELE big.bin" << 1 << int(ftpErrProtocol);
    }
    void refusals()
    {
        QFETCH(QString, password);
        QFETCH(QString, file);
        QFETCH(int, failingStep);
        QFETCH(int, code);
        TFtpClient c;
        c.HostName = "127.0.0.1";
        c.Port = QString::number(port);
        c.PassWord = password; // no user name: anonymous
        Done d = run(c, &TFtpClient::ConnectAsync);
        if (failingStep == 0) {
            QCOMPARE(d.Error, code);
            QVERIFY2(c.ErrorMessage.startsWith(QString::number(code)), qPrintable(c.ErrorMessage));
            QTRY_VERIFY(!c.Connected());
            return;
        }
        QCOMPARE(d.Error, 0);
        c.HostDirName = "/pub/";
        QCOMPARE(run(c, &TFtpClient::CwdAsync).Error, 0);
        c.HostFileName = file;
        c.LocalFileName = tmp.filePath("never-" + file);
        d = run(c, failingStep == 1 ? &TFtpClient::SizeAsync : &TFtpClient::GetAsync);
        QCOMPARE(d.Error, code);
        if (code < 1000)
            QVERIFY2(c.ErrorMessage.startsWith(QString::number(code)), qPrintable(c.ErrorMessage));
        QVERIFY(!QFile::exists(c.LocalFileName)); // nothing left behind
        QVERIFY(c.Connected());                   // the session goes on
        QCOMPARE(run(c, &TFtpClient::QuitAsync).Error, 0);
    }

    // A server that accepts and never says a word ends the request after Timeout.
    // The updater's dialog frees the client from inside its events when the user closes it
    // mid-transfer. The client must not touch itself afterwards: under the sanitizer build a
    // use after the free would end the test. Each row frees it at one event of a login and a
    // download.
    void freedByItsCaller_data()
    {
        QTest::addColumn<QString>("when");
        for (const char* w : {"greeting", "logged in", "command shown", "progress", "got"})
            QTest::newRow(w) << QString::fromLatin1(w);
    }
    void freedByItsCaller()
    {
        QFETCH(QString, when);
        auto* c = new TFtpClient;
        QPointer<TFtpClient> alive(c);
        c->HostName = "127.0.0.1";
        c->Port = QString::number(port);
        c->UserName = "anonymous";
        c->PassWord = kPassword;
        c->HostFileName = "/pub/big.bin";
        const QString local = tmp.filePath("freed.bin");
        QFile::remove(local);
        c->LocalFileName = local;
        QStringList after; // events that reached us once the client was gone
        bool loggedIn = false;
        auto at = [&, c](const QString& name) {
            if (!alive) {
                after << name;
                return true;
            }
            if (name != when) return false;
            delete c;
            return true;
        };
        c->OnDisplay = [&, at](TFtpClient*, const QString& line) {
            if (line.startsWith("< 220") && at("greeting")) return;
            if (loggedIn && line.startsWith("> ")) at("command shown");
        };
        c->OnProgress = [at](TFtpClient*, qint64 n) {
            if (n > 0) at("progress");
        };
        c->OnRequestDone = [&, at](TFtpClient* s, TFtpRequest r, int error) {
            QCOMPARE(error, 0);
            if (r == ftpConnectAsync) {
                loggedIn = true;
                if (!at("logged in")) s->GetAsync();
            } else if (r == ftpGetAsync) {
                at("got");
            }
        };
        c->ConnectAsync();
        QTRY_VERIFY2_WITH_TIMEOUT(!alive, qPrintable(when), 30000);
        QTest::qWait(300); // whatever was queued for the client runs, and finds it gone
        QVERIFY2(after.isEmpty(), qPrintable(after.join(", ")));
        // The file it was writing is closed: it can be removed and made again.
        QVERIFY(!QFile::exists(local) || QFile::remove(local));
    }

    void silentServerTimesOut()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        QList<QTcpSocket*> held;
        connect(&silent, &QTcpServer::newConnection, this,
                [&] { held << silent.nextPendingConnection(); });
        TFtpClient c;
        c.HostName = "127.0.0.1";
        c.Port = QString::number(silent.serverPort());
        c.Timeout = 1;
        Done d = run(c, &TFtpClient::ConnectAsync);
        QVERIFY(d.Fired);
        QCOMPARE(d.Error, int(ftpErrTimeout));
        QVERIFY(c.ErrorMessage.startsWith("Timeout"));
        QVERIFY(!c.Connected());
        qDeleteAll(held);
    }

    // A server whose greeting never ends its line is cut off, not buffered forever.
    void endlessReplyLine()
    {
        QTcpServer chatty;
        QVERIFY(chatty.listen(QHostAddress::LocalHost, 0));
        QList<QTcpSocket*> held;
        connect(&chatty, &QTcpServer::newConnection, this, [&] {
            QTcpSocket* s = chatty.nextPendingConnection();
            held << s;
            s->write("220 " + QByteArray(64 * 1024, 'a'));
        });
        TFtpClient c;
        c.HostName = "127.0.0.1";
        c.Port = QString::number(chatty.serverPort());
        Done d = run(c, &TFtpClient::ConnectAsync);
        QCOMPARE(d.Error, int(ftpErrProtocol));
        QVERIFY(!c.Connected());
        qDeleteAll(held);
    }
};

QTEST_GUILESS_MAIN(TestFtpClient)
#include "test_ftpcli.moc"
