// The program's web pages as the demo world serves them: the station a page key names,
// the song search, the forum's file, and the pages over a real connection.
#include "rawhttp.h"
#include "station.h"
#include "testsupport.h"
#include "webpages.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace dwtest;
using namespace dwdir;

namespace {
const QString kServer = QStringLiteral(DW_BINARY_DIR "/tools/directory/dialwise-directory");

Station make(const char* ip, const char* name, const char* song, int type = 0)
{
    Station s;
    s.ip = ip;
    s.hostname = name;
    s.songtitle = song;
    s.type = type;
    s.prepare();
    return s;
}
} // namespace

class TestDirectoryPages : public QObject
{
    Q_OBJECT
private slots:
    void keys_data()
    {
        QTest::addColumn<QByteArray>("ip");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<bool>("match");
        QTest::newRow("address and port")
            << QByteArray("127.0.0.5:8000") << QByteArray("127.0.0.5:8000") << true;
        QTest::newRow("no port means 8000")
            << QByteArray("127.0.0.5") << QByteArray("127.0.0.5:8000") << true;
        QTest::newRow("stream without scheme") << QByteArray("http://127.0.0.6:9000/live.mp3")
                                               << QByteArray("127.0.0.6:9000/live.mp3") << true;
        QTest::newRow("other path") << QByteArray("http://127.0.0.6:9000/live.mp3")
                                    << QByteArray("127.0.0.6:9000/other") << false;
        QTest::newRow("other port")
            << QByteArray("127.0.0.5:8000") << QByteArray("127.0.0.5:8001") << false;
        QTest::newRow("empty key") << QByteArray("127.0.0.5:8000") << QByteArray() << false;
    }
    void keys()
    {
        QFETCH(QByteArray, ip);
        QFETCH(QByteArray, key);
        QTEST(keyMatches(make(ip, "x", ""), key), "match");
    }

    void pages()
    {
        const Station a = make("127.0.0.5:8000", "Harbor <Rock>", "Kestrel - Golden Hour");
        const Station b =
            make("http://127.0.0.6:9000/j.mp3", "Night Jazz", "Mira Vale - Paper Moons", 1);
        const QList<const Station*> all{&a, &b};
        // Station actions are percent-encoded "dialwise:" links; station texts are escaped.
        const QByteArray info = serverInfoPage(&a, "127.0.0.5:8000", 0);
        QVERIFY(info.contains("href=\"dialwise:fieldcount%604%60action%60ip%60hostname%60type%"
                              "60play%60127.0.0.5:8000%60Harbor%20%3CRock%3E%600\""));
        QVERIFY(info.contains("%60add%60"));
        QVERIFY(info.contains("Harbor &lt;Rock&gt;"));
        QVERIFY(serverInfoPage(nullptr, "127.0.0.9:1", 0).contains("not listed"));
        // The song search finds titles and names, letter case ignored.
        const QByteArray found = titleSearchPage(all, "paper moons");
        QVERIFY(found.contains("%60http://127.0.0.6:9000/j.mp3%60Night%20Jazz%601"));
        QVERIFY(!found.contains("Harbor"));
        QVERIFY(titleSearchPage(all, "harbor").contains("Golden Hour"));
        QVERIFY(titleSearchPage(all, "nothing like it").contains("No station is playing"));
        QVERIFY(newsPage(all, 0).contains("Dialwise News"));
        QVERIFY(!buttonPicture("searchlogo.bmp").isEmpty());
        QVERIFY(buttonPicture("searchlogo.gif").isEmpty());
    }

    void forumFile()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("forums.txt");
        {
            ForumStore store(file);
            QVERIFY(store.post("127.0.0.5:8000", "Ann", "Line one\nline\ttwo \\ back", 100));
            QVERIFY(!store.post("127.0.0.5:8000", "Ann", "   ", 101)); // nothing to say
            QVERIFY(!store.post("", "Ann", "text", 102));
            QVERIFY(store.post("127.0.0.5:8000", "", QString(5000, 'x'), 103));
            // A name cut at its cap among blanks keeps no blanks at its end.
            QVERIFY(store.post("127.0.0.5:8000", "Bo" + QString(50, QChar(0)) + "b", "hi", 104));
            QCOMPARE(store.posts("127.0.0.5:8000").last().author, QString("Bo"));
        }
        // A broken line in the file is skipped; the rest is read back as written.
        QFile f(file);
        QVERIFY(f.open(QIODevice::Append));
        f.write("garbage without tabs\nk\tnot-a-time\ta\tb\n");
        f.close();
        ForumStore again(file);
        const QList<ForumPost> posts = again.posts("127.0.0.5:8000");
        QCOMPARE(posts.size(), 3);
        QCOMPARE(posts[0].author, QString("Ann"));
        QCOMPARE(posts[0].text, QString("Line one\nline two \\ back"));
        QCOMPARE(posts[1].author, QString("A listener"));
        QCOMPARE(posts[1].text.size(), ForumStore::MaxText);
        QCOMPARE(posts[2].author, QString("Bo"));

        QString author, text;
        readForumForm("author=B%C3%B6b&text=Hi+there%21&x=1", author, text);
        QCOMPARE(author, QString::fromUtf8("B\u00f6b"));
        QCOMPARE(text, QString("Hi there!"));
    }

    void overConnection()
    {
        QVERIFY2(QFile::exists(kServer), "dialwise-directory is not built");
        QTemporaryDir dir;
        const QString catalog = writeFile(
            dir.filePath("catalog.txt"),
            "ip\thostname\tgenre\tnumplayers\tmaxplayers\tbitrate\ttype\tbnum\tsongtitle\n"
            "127.0.0.5:8000\tHarbor Rock\tRock\t10\t100\t128\t0\t7\tKestrel - Golden Hour\n");
        auto start = [&](Peer& p, quint16& port) {
            port = freePort();
            return p.start(kServer, {"--listen", QStringLiteral("127.0.0.1:%1").arg(port),
                                     "--catalog", catalog, "--db", dir.filePath("directory.db")}) &&
                   waitForTcpPort(port);
        };
        quint16 port = 0;
        {
            Peer server;
            QVERIFY(start(server, port));
            QCOMPARE(get(port, "/mini2.shtml").status, 200);
            const Reply info = get(port, "/program/serverinfo.asp?ip=127%2E0%2E0%2E5%3A8000");
            QCOMPARE(info.status, 200);
            QVERIFY(info.body.contains("Golden Hour"));
            QVERIFY(
                get(port, "/program/titlesearch.asp?q=golden+hour").body.contains("%60play%60"));
            QCOMPARE(get(port, "/buttons/searchlogo.bmp").status, 200);
            QCOMPARE(get(port, "/buttons/../x.bmp").status, 404);
            // Only the forum takes posts; a post answers with the way back to the page.
            const QByteArray form = "author=Ann&text=Great+station";
            const Reply posted =
                fetch(port, "POST /program/forums.asp?ip=127.0.0.5%3A8000 HTTP/1.0\r\nHost: x\r\n"
                            "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                                QByteArray::number(form.size()) + "\r\n\r\n" + form);
            QCOMPARE(posted.status, 303);
            QCOMPARE(fetch(port, "POST /?compress=1 HTTP/1.0\r\nContent-Length: 0\r\n\r\n").status,
                     405);
        }
        // The post is there after a restart.
        Peer server;
        QVERIFY(start(server, port));
        const Reply page = get(port, "/program/forums.asp?ip=127.0.0.5:8000");
        QCOMPARE(page.status, 200);
        QVERIFY(page.body.contains("Great station"));
        QVERIFY(page.body.contains("Harbor Rock"));
    }
};

QTEST_GUILESS_MAIN(TestDirectoryPages)
#include "test_directory_pages.moc"
