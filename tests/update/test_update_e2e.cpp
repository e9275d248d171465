// The whole program against a hostile message server and update server on loopback: the
// server pushes settings the program must not take, and updates that are unsigned, badly
// signed and signed. Only the signed one is placed (in its own folder) and opened, and
// the program's own files stay byte for byte as they were. Then "dialwise:" links are
// handed to the running program: one whose address carries shell characters is refused
// with a message and starts nothing, while a plain one starts the player program (a
// recorder script chosen as the user's player).
#include "registry.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <sodium.h>

namespace {
const QString kProgram = QStringLiteral(DW_BINARY_DIR "/src/app/dialwise");
const QString kKey = "Software\\Velmora\\tunelane";

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Every file of the program's folder with its SHA-256, less what the program rightly
// rewrites while it runs (its settings file, the logs, its run folder) and the updates'
// own folder.
QMap<QString, QByteArray> programFiles(const QString& home)
{
    QMap<QString, QByteArray> out;
    QDirIterator it(home, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString p = it.next();
        const QString rel = QDir(home).relativeFilePath(p);
        if (rel == "registry.ini" || rel.endsWith(".log") || rel.startsWith("run/") ||
            rel.startsWith("Downloads/") || rel.startsWith("bin/") || rel == "recorded.txt" ||
            rel.startsWith("xdg/")) // the desktop's link handler entry, written at start
            continue;
        out.insert(rel, QCryptographicHash::hash(readAll(p), QCryptographicHash::Sha256));
    }
    return out;
}

struct KeyPair
{
    QByteArray pub, sec;
    KeyPair() : pub(crypto_sign_PUBLICKEYBYTES, '\0'), sec(crypto_sign_SECRETKEYBYTES, '\0')
    {
        crypto_sign_keypair(reinterpret_cast<unsigned char*>(pub.data()),
                            reinterpret_cast<unsigned char*>(sec.data()));
    }
    QByteArray sign(const QByteArray& data) const
    {
        crypto_sign_state st;
        crypto_sign_init(&st);
        crypto_sign_update(&st, reinterpret_cast<const unsigned char*>(data.constData()),
                           quint64(data.size()));
        QByteArray sig(crypto_sign_BYTES, '\0');
        crypto_sign_final_create(&st, reinterpret_cast<unsigned char*>(sig.data()), nullptr,
                                 reinterpret_cast<const unsigned char*>(sec.constData()));
        return sig.toHex();
    }
};

// A message server and download site that says whatever the test wants.
class HostileServer : public QTcpServer
{
public:
    QByteArray motd, file;
    int motdRequests = 0, downloads = 0;
    std::function<void()> onMotd;
    HostileServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = nextPendingConnection()) {
                auto* buf = new QByteArray;
                connect(s, &QTcpSocket::disconnected, s, [s, buf] {
                    delete buf;
                    s->deleteLater();
                });
                connect(s, &QTcpSocket::readyRead, s, [this, s, buf] {
                    *buf += s->readAll();
                    if (!buf->contains("\r\n\r\n")) return;
                    QByteArray body;
                    if (buf->startsWith("GET /motd")) {
                        ++motdRequests;
                        if (onMotd) onMotd();
                        body = motd;
                    } else if (buf->startsWith("GET /download/")) {
                        ++downloads;
                        body = file;
                    }
                    s->write("HTTP/1.0 200 OK\r\nContent-Length: " +
                             QByteArray::number(body.size()) + "\r\n\r\n" + body);
                    s->disconnectFromHost();
                });
            }
        });
    }
};
} // namespace

class TestUpdateE2E : public QObject
{
    Q_OBJECT
    KeyPair trusted, stranger;

    QProcessEnvironment environment(const QString& home, quint16 motdPort)
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("QT_QPA_PLATFORM", "offscreen");
        e.insert("PATH", home + "/bin:" + e.value("PATH"));
        e.remove("XDG_DATA_HOME");
        e.remove("XDG_CONFIG_HOME");
        e.insert("DIALWISE_HOME", home);
        e.insert("DIALWISE_DEBUGLOG", home + "/dw.log");
        e.insert("DIALWISE_DIALOGS", "auto");
        e.insert("DIALWISE_UPDATER", "download");
        e.insert("DIALWISE_NO_BROWSER", "1");
        e.insert("DIALWISE_FREE_RESOURCES", "100,100,100");
        e.insert("DIALWISE_UPDATE_KEY", QString::fromLatin1(trusted.pub.toHex()));
        e.insert("DIALWISE_MOTD_URL", QString("http://127.0.0.1:%1/motd?q=").arg(motdPort));
        e.insert("DIALWISE_LIST_HOST", QString("127.0.0.1:%1").arg(dwtest::freePort()));
        e.insert("DIALWISE_CHAT_HOST", QString("127.0.0.1:%1").arg(dwtest::freePort()));
        return e;
    }

    // The desktop's opener and the user's player, both recording what they were given.
    static void recorders(const QString& home)
    {
        const QByteArray rec = home.toUtf8() + "/recorded.txt";
        for (const char* name : {"xdg-open", "player"}) {
            const QString path =
                dwtest::writeFile(home + "/bin/" + name, "#!/bin/sh\necho \"" + QByteArray(name) +
                                                             " $*\" >> '" + rec + "'\n");
            QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        }
    }

private slots:
    void initTestCase() { QVERIFY(sodium_init() >= 0); }

    void hostileUpdates_data()
    {
        QTest::addColumn<QString>("signature"); // "", "stranger", "trusted"
        QTest::addColumn<bool>("placed");
        QTest::newRow("unsigned") << "" << false;
        QTest::newRow("signed by another key") << "stranger" << false;
        QTest::newRow("signed") << "trusted" << true;
    }
    void hostileUpdates()
    {
        QFETCH(QString, signature);
        QFETCH(bool, placed);
        dwtest::TempHome home;
        recorders(home.path());
        const QString player = home.path() + "/bin/player";
        TRegistry::Reset();
        TRegistry::WriteString(kKey + "\\config", "program_dir_Text", player);
        TRegistry::Flush();

        HostileServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        const QByteArray self = "http://127.0.0.1:" + QByteArray::number(server.serverPort());
        server.file = "#!/bin/sh\necho this stands in for an installer\n";
        QByteArray push = "program_dir_Text=/bin/sh\r\nregistry.ini=[General]\r\n"
                          "config\\program_dir_Text=/bin/sh\r\nhttpproxy=127.0.0.1\r\n"
                          "updatever=10.01.99\r\nupdatedesc=Totally legit\r\ndlcount=1\r\n"
                          "dl1=" +
                          self + "/download/registry.ini\r\ndl1desc=Mirror\r\n";
        if (signature == "trusted") push += "updatesig=" + trusted.sign(server.file) + "\r\n";
        if (signature == "stranger") push += "updatesig=" + stranger.sign(server.file) + "\r\n";
        for (int i = 0; i < 3000; ++i)
            push += "junk" + QByteArray::number(i) + "=x\r\n";
        server.motd = push + "MOTD\r\nHello\r\n";
        QMap<QString, QByteArray> before;
        server.onMotd = [&] { before = programFiles(home.path()); };

        QProcess dw;
        dw.setProcessEnvironment(environment(home.path(), server.serverPort()));
        dwtest::inOwnProcessGroup(dw);
        dw.start(kProgram, {});
        QVERIFY(dw.waitForStarted());
        dwtest::ProcessGroupGuard guard(dw);
        QTRY_VERIFY_WITH_TIMEOUT(server.downloads == 1, 60000);
        const QString folder = home.path() + "/Downloads/Dialwise updates";
        if (placed) {
            // It may have ended already, while the wait above ran the loop.
            QVERIFY2(dw.state() == QProcess::NotRunning || dw.waitForFinished(60000),
                     "the program did not end after the update");
            QVERIFY2(dw.exitCode() == 0, dw.readAllStandardError().left(6000).constData());
            QCOMPARE(readAll(folder + "/registry.ini"), server.file);
            QVERIFY(readAll(home.file("recorded.txt"))
                        .contains("xdg-open " + folder.toUtf8() + "/registry.ini"));
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(readAll(home.file("dw.log")).contains("Update refused"),
                                     30000);
            QVERIFY(QDir(folder).entryList(QDir::Files).isEmpty());
            QVERIFY(!QFile::exists(home.file("recorded.txt")));
            dw.terminate();
            QVERIFY(dw.waitForFinished(60000));
            // The user was told why.
            const QByteArray err = dw.readAllStandardError();
            QVERIFY2(err.contains(signature.isEmpty() ? "without a signature" : "not signed by"),
                     err.constData());
        }
        QCOMPARE(server.motdRequests, 1);
        // The program's files are as they were; the only new ones are those it writes
        // itself when it ends.
        QVERIFY(!before.isEmpty());
        const QMap<QString, QByteArray> after = programFiles(home.path());
        for (auto it = before.cbegin(); it != before.cend(); ++it)
            QVERIFY2(after.value(it.key()) == it.value(), qPrintable(it.key()));
        for (const QString& name : after.keys())
            QVERIFY2(before.contains(name) || name == "DialwiseGenres.txt" ||
                         name == "tunelanefavors.txt",
                     qPrintable(name));
        // Nothing the server pushed outside its names reached the settings.
        TRegistry::Reset();
        QCOMPARE(TRegistry::ReadString(kKey + "\\config", "program_dir_Text"), player);
        QVERIFY(TRegistry::ReadString(kKey, "program_dir_Text").isEmpty());
        QVERIFY(TRegistry::ReadString(kKey, "junk5").isEmpty());
        QVERIFY(TRegistry::ReadString(kKey, "httpproxy").isEmpty());
        QCOMPARE(TRegistry::ReadString(kKey, "dl1desc"), QString("Mirror"));
        const QByteArray ini = readAll(home.file("registry.ini"));
        QVERIFY(!ini.contains("/bin/sh"));
    }

    void linksWithShellCharacters()
    {
        dwtest::TempHome home;
        recorders(home.path());
        const QString player = home.path() + "/bin/player";
        TRegistry::Reset();
        TRegistry::WriteString(kKey + "\\config", "program_dir_Text", player);
        TRegistry::Flush();
        HostileServer server; // says nothing new
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        server.motd = "MOTD\r\nquiet\r\n";
        const QProcessEnvironment env = environment(home.path(), server.serverPort());

        QProcess dw;
        dw.setProcessEnvironment(env);
        dwtest::inOwnProcessGroup(dw);
        dw.start(kProgram, {});
        QVERIFY(dw.waitForStarted());
        dwtest::ProcessGroupGuard guard(dw);
        QTRY_VERIFY_WITH_TIMEOUT(server.motdRequests == 1, 60000);

        auto hand = [&](const QString& link) {
            QProcess second;
            second.setProcessEnvironment(env);
            second.start(kProgram, {link});
            QVERIFY(second.waitForFinished(60000));
        };
        const QString pwned = home.file("pwned");
        const QStringList hostile = {
            "http://127.0.0.9:8000/$(touch " + pwned + ")",
            "127.0.0.9:8000/x|touch%20" + pwned,
            "127.0.0.9:8000/x'touch%20" + pwned + "'",
            "127.0.0.9:8000/x%0AFile2=file:///etc/passwd",
        };
        for (const QString& ip : hostile)
            hand("dialwise:fieldcount`4`action`ip`hostname`type`play`" + ip + "`Evil`0");
        hand("dialwise:fieldcount`4`action`ip`hostname`type`add`127.0.0.9:8000/a%0Ab`Evil`0");
        QTRY_COMPARE_WITH_TIMEOUT(readAll(home.file("dw.log")).count("Station link refused"), 5,
                                  30000);
        // A plain link plays through the very same player.
        hand("dialwise:fieldcount`4`action`ip`hostname`type`play`127.0.0.9:8010`Plain`0");
        QTRY_VERIFY_WITH_TIMEOUT(readAll(home.file("recorded.txt")).contains("player "), 30000);
        const QByteArray recorded = readAll(home.file("recorded.txt"));
        QCOMPARE(recorded.count("player "), 1);
        QVERIFY(!recorded.contains("xdg-open"));
        QVERIFY(!QFile::exists(pwned));
        const QByteArray playlist = readAll(home.file("tunelane.pls"));
        QCOMPARE(playlist,
                 QByteArray("[playlist]\nNumberOfEntries=1\nFile1=http://127.0.0.9:8010/\n"));
        QVERIFY(!readAll(home.file("tunelanefavors.txt")).contains("a\nb"));
        dw.terminate();
        QVERIFY(dw.waitForFinished(60000));
        const QByteArray err = dw.readAllStandardError();
        QCOMPARE(err.count("This station link cannot be used: "), 5);
    }
};

QTEST_GUILESS_MAIN(TestUpdateE2E)
#include "test_update_e2e.moc"
