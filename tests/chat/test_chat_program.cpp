// The chat as it runs in the whole program: the program under a private Xvfb on a real
// ngircd, driven with xdotool as a user would, and another user played by a raw IRC
// connection of the test. Genre clicks move the chat from channel to channel (the
// server's WHOIS says where the program is), "/join" opens a second page, a kick folds it
// back, an offer left unanswered does not cost the connection, and the open dialog lists
// the files of its folder.
#include "ngircd.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>

namespace {
constexpr int Wait = 30000;

// Another chat user, line by line.
class RawPeer
{
public:
    bool connect(quint16 port, const QString& nick)
    {
        nick_ = nick;
        // Lines are read (and pings answered) whenever the test's loop runs.
        QObject::connect(&sock, &QTcpSocket::readyRead, &sock, [this] { pump(); });
        sock.connectToHost("127.0.0.1", port);
        if (!sock.waitForConnected(Wait)) return false;
        send("NICK " + nick);
        send("USER " + nick + " 0 * :" + nick);
        return !waitFor(" 001 ").isEmpty();
    }
    void send(const QString& line)
    {
        sock.write(line.toUtf8() + "\r\n");
        sock.flush();
    }
    // Reads what came; answers the server's pings.
    void pump()
    {
        if (!sock.canReadLine()) sock.waitForReadyRead(10);
        while (sock.canReadLine()) {
            const QString l = QString::fromUtf8(sock.readLine()).trimmed();
            if (l.startsWith("PING ")) send("PONG " + l.mid(5));
            lines << l;
        }
    }
    // The first line from `from` on that contains the text; empty after the time-out.
    QString waitFor(const QString& text, int ms = Wait, qsizetype* from = nullptr)
    {
        QElapsedTimer t;
        t.start();
        qsizetype i = from ? *from : 0;
        while (t.elapsed() < ms) {
            pump();
            for (; i < lines.size(); ++i)
                if (lines[i].contains(text)) {
                    if (from) *from = i + 1;
                    return lines[i];
                }
            QCoreApplication::processEvents();
        }
        return {};
    }
    // The nick the program goes by now: auto-away puts "[AWAY]" in front of it.
    QString follow(const QString& nick)
    {
        const QString base = nick.startsWith("[AWAY]") ? nick.mid(6) : nick;
        QString channels;
        for (const QString& n : {base, "[AWAY]" + base})
            if (whois(n, channels)) return n;
        return base;
    }
    // The channels the server lists for the program.
    QString whoisChannels(const QString& nick)
    {
        QString channels;
        if (!whois(follow(nick), channels)) return QStringLiteral("(no such nick)");
        // Without the operator and voice marks, in order.
        QStringList w = channels.split(' ', Qt::SkipEmptyParts);
        for (QString& x : w)
            x.remove(QRegularExpression("^[@+%~&]"));
        w.sort();
        return w.join(' ');
    }
    bool whois(const QString& nick, QString& channels)
    {
        qsizetype from = lines.size();
        send("WHOIS " + nick);
        channels.clear();
        bool missing = false;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < Wait) {
            pump();
            for (; from < lines.size(); ++from) {
                const QString& l = lines[from];
                // Nicks compare without regard to case.
                const auto has = [&](const QString& code) {
                    return l.contains(" " + code + " " + nick_ + " " + nick + " ",
                                      Qt::CaseInsensitive);
                };
                if (has("401")) missing = true;
                if (has("319")) channels += l.section(':', 2).trimmed() + " ";
                if (has("318")) {
                    channels = channels.trimmed();
                    return !missing;
                }
            }
            QCoreApplication::processEvents();
        }
        return false;
    }
    QTcpSocket sock;
    QStringList lines;

private:
    QString nick_;
};

} // namespace

class TestChatProgram : public QObject
{
    Q_OBJECT

    QTemporaryDir tmp;
    dwtest::Ngircd irc;
    QProcess xvfb;
    QString display;
    QProcess program;
    QString log;

    // Runs xdotool on the test's display; its output.
    QString xdo(const QStringList& args)
    {
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("DISPLAY", display);
        p.setProcessEnvironment(e);
        p.start("xdotool", args);
        // The loop goes on meanwhile: the other user keeps answering the server's pings.
        QElapsedTimer t;
        t.start();
        while (!p.waitForFinished(20) && t.elapsed() < 20000)
            QCoreApplication::processEvents();
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }
    QString debugLog() const
    {
        QFile f(log);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    bool logHas(const QString& text, int ms = Wait)
    {
        return QTest::qWaitFor([&] { return debugLog().contains(text); }, ms);
    }
    // The program's main window and where it is.
    struct Geometry
    {
        QString id;
        int x = 0, y = 0, w = 0, h = 0;
    };
    Geometry mainWindow()
    {
        Geometry g;
        const QString ids = xdo({"search", "--all", "--pid", QString::number(program.processId()),
                                 "--name", "^Dialwise$"});
        g.id = ids.section('\n', 0, 0);
        if (g.id.isEmpty()) return g;
        for (const QString& l : xdo({"getwindowgeometry", "--shell", g.id}).split('\n')) {
            const QString k = l.section('=', 0, 0), v = l.section('=', 1);
            if (k == "X") g.x = v.toInt();
            if (k == "Y") g.y = v.toInt();
            if (k == "WIDTH") g.w = v.toInt();
            if (k == "HEIGHT") g.h = v.toInt();
        }
        return g;
    }
    void click(int x, int y)
    {
        xdo({"mousemove", "--sync", QString::number(x), QString::number(y), "click", "1"});
        QTest::qWait(300);
    }
    // Types a line into the chat input line along the bottom of the chat page.
    void typeLine(const QString& text)
    {
        const Geometry g = mainWindow();
        click(g.x + g.w / 5, g.y + g.h - 37);
        xdo({"type", "--delay", "20", text});
        xdo({"key", "Return"});
    }
    void shot(const QString& path)
    {
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("DISPLAY", display);
        p.setProcessEnvironment(e);
        p.start("import", {"-window", "root", path});
        p.waitForFinished(20000);
    }

private slots:
    void initTestCase()
    {
        // What the program logged stays for a look when asked.
        if (qEnvironmentVariableIsSet("DW_KEEP_TMP")) tmp.setAutoRemove(false);
        for (const char* prog : {"Xvfb", "xdotool", "ngircd"})
            if (dwtest::findProgram(prog).isEmpty())
                DW_PEER_MISSING(prog == QString("Xvfb") ? "xvfb" : prog,
                                QString(prog) + " is needed to drive the program");
        // The server pings every 3 s and drops a client that does not answer in 3 s.
        const QString err = irc.start("[Limits]\nPingTimeout = 3\nPongTimeout = 3\n");
        QVERIFY2(err.isEmpty(), qPrintable(err));
        xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
        QByteArray out;
        while (xvfb.state() != QProcess::NotRunning && !out.contains('\n') &&
               xvfb.waitForReadyRead(20000))
            out += xvfb.readAllStandardOutput();
        QVERIFY2(out.contains('\n'), "Xvfb did not start");
        display = ":" + QString::fromLatin1(out).trimmed();
    }
    void cleanupTestCase()
    {
        for (QProcess* p : {&program, &xvfb})
            if (p->state() != QProcess::NotRunning) {
                ::kill(pid_t(p->processId()), SIGTERM);
                if (!p->waitForFinished(15000)) p->kill();
                p->waitForFinished(5000);
            }
        irc.stop();
    }

    void chatInTheProgram()
    {
        // Another user holds #second (so may kick there) and watches #Dialwise.
        RawPeer peer;
        QVERIFY(peer.connect(irc.port, "peer"));
        peer.send("JOIN #second");
        peer.send("JOIN #Dialwise");
        QVERIFY(!peer.waitFor(" 366 peer #Dialwise").isEmpty());
        peer.lines.clear();

        // The program, in a home of its own whose only file is the one to offer.
        const QString home = tmp.filePath("home");
        dwtest::writeFile(home + "/offer-me.bin", QByteArray(3000, 'x'));
        log = tmp.filePath("debug.log");
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.remove("DIALWISE_DIALOGS");
        e.insert("HOME", home);
        e.insert("DISPLAY", display);
        e.insert("QT_QPA_PLATFORM", "xcb");
        e.insert("DIALWISE_HOME", tmp.filePath("state"));
        e.insert("DIALWISE_DEBUGLOG", log);
        e.insert("DIALWISE_NO_BROWSER", "1");
        e.insert("DIALWISE_FREE_RESOURCES", "100,100,100");
        e.insert("DIALWISE_LIST_HOST", "127.0.0.1:" + QString::number(dwtest::freePort()));
        e.insert("DIALWISE_CHAT_HOST", irc.hostPort());
        program.setProcessEnvironment(e);
        program.setProcessChannelMode(QProcess::MergedChannels);
        program.start(DW_BINARY_DIR "/src/app/dialwise", {});
        QVERIFY(program.waitForStarted());

        // It joins the genre's channel.
        qsizetype from = peer.lines.size();
        QString nick;
        while (nick.isEmpty()) {
            const QString joined = peer.waitFor(" JOIN :#Dialwise", 90000, &from);
            QVERIFY2(!joined.isEmpty(), qPrintable(debugLog().right(2000)));
            if (!joined.startsWith(":peer!")) nick = joined.mid(1).section('!', 0, 0);
        }
        QCOMPARE(peer.whoisChannels(nick), QString("#Dialwise"));
        QVERIFY(QTest::qWaitFor([&] { return !mainWindow().id.isEmpty(); }, Wait));
        xdo({"windowmove", "--sync", mainWindow().id, "0", "0"});
        QTest::qWait(500);

        // Clicking a genre leaves the old channel and joins the new one.
        const QString geo = qEnvironmentVariable("DW_GENRE_ROWS"); // "x,y0,rowheight"
        const Geometry g = mainWindow();
        auto genreAt = [&](int row) {
            const QStringList p = geo.isEmpty() ? QStringList{"30", "208", "14"} : geo.split(',');
            click(g.x + p[0].toInt(), g.y + p[1].toInt() + row * p[2].toInt());
        };
        genreAt(1); // Alt
        QVERIFY2(!peer.waitFor(" PART #Dialwise").isEmpty(), qPrintable(debugLog().right(2000)));
        auto isIn = [&](const QString& channels) {
            return QTest::qWaitFor([&] { return peer.whoisChannels(nick) == channels; }, Wait);
        };
        QVERIFY2(isIn("#Alt"), qPrintable(debugLog().right(3000)));
        genreAt(3); // Blues
        QVERIFY2(isIn("#Blues"), qPrintable(debugLog().right(3000)));

        // "/join" opens a second page, where the other user's message appears.
        typeLine("/join #second");
        QVERIFY(!peer.waitFor(" JOIN :#second").isEmpty());
        QVERIFY(logHas("Chat page for #second"));
        peer.send("PRIVMSG #second :hello from the peer");
        QVERIFY(logHas("Chat [#second] <peer> hello from the peer"));
        QCOMPARE(peer.whoisChannels(nick), QString("#Blues #second"));
        QTest::qWait(500);
        if (const QString path = qEnvironmentVariable("DW_CHAT_SHOT"); !path.isEmpty()) shot(path);

        // A kick says so and folds the page back.
        peer.send("KICK #second " + peer.follow(nick) + " :enough");
        QVERIFY(logHas("You were kicked from #second by peer (enough)"));
        QVERIFY(logHas("Chat page closed: #second"));
        QCOMPARE(peer.whoisChannels(nick), QString("#Blues"));

        // An offer nobody answers for longer than the server's pings allow: the question
        // waits on screen, the connection stays.
        // The other user watches the channel the program is in, to see it drop out.
        peer.send("JOIN #Blues");
        QVERIFY(!peer.waitFor(" 366 peer #Blues").isEmpty());
        QTcpServer offerer;
        QVERIFY(offerer.listen(QHostAddress::LocalHost, 0));
        const qsizetype before = peer.lines.size();
        peer.send("PRIVMSG " + peer.follow(nick) +
                  " :\x01"
                  "DCC SEND <h1>holiday.jpg 2130706433 " +
                  QString::number(offerer.serverPort()) + " 1300\x01");
        QVERIFY(QTest::qWaitFor(
            [&] {
                return !xdo({"search", "--name", "^Confirm$"}).isEmpty();
            },
            Wait));
        QElapsedTimer unanswered;
        unanswered.start();
        while (unanswered.elapsed() < 10000) {
            peer.pump();
            QTest::qWait(100);
        }
        QCOMPARE(peer.lines.mid(before).filter(" QUIT ").join('\n'), QString());
        const QString after = peer.whoisChannels(nick);
        dwtest::writeFile(tmp.filePath("peer.log"), peer.lines.join('\n').toUtf8());
        QCOMPARE(after, QString("#Blues"));
        QVERIFY(!offerer.hasPendingConnections());
        // The user says no at last: the question and its window go, nothing is fetched.
        const QString question = xdo({"search", "--name", "^Confirm$"}).section('\n', 0, 0);
        xdo({"windowactivate", question});
        QTest::qWait(300);
        xdo({"key", "--window", question, "Escape"});
        QVERIFY(QTest::qWaitFor(
            [&] {
                return xdo({"search", "--name", "^DCC Connection$"}).isEmpty();
            },
            Wait));
        QVERIFY(!offerer.hasPendingConnections());

        // "/dcc send" opens the file dialog on the home folder; its file is listed: the
        // list's current entry is chosen from the keyboard (back from the name field to
        // the list, select, open) and offered.
        typeLine("/dcc send peer");
        const bool dialogShown = QTest::qWaitFor(
            [&] {
                return !xdo({"search", "--name", "^Send a file to peer$"}).isEmpty();
            },
            Wait);
        if (!dialogShown) shot(tmp.filePath("no-dialog.png"));
        QVERIFY(dialogShown);
        QTest::qWait(1500);
        const QString dialog =
            xdo({"search", "--name", "^Send a file to peer$"}).section('\n', 0, 0);
        xdo({"windowactivate", dialog});
        QTest::qWait(300);
        xdo({"key", "--window", dialog, "shift+Tab", "space", "Return"});
        const QString offer = peer.waitFor("DCC SEND offer-me.bin ", Wait, nullptr);
        if (offer.isEmpty()) {
            shot(tmp.filePath("no-offer.png"));
            dwtest::writeFile(tmp.filePath("peer.log"), peer.lines.join(QChar(10)).toUtf8());
        }
        QVERIFY2(!offer.isEmpty(), qPrintable(debugLog().right(2000)));
        QVERIFY(offer.endsWith(" 3000\x01"));
    }

    // Ended as a desktop logout ends it: in order, with nothing reported by the sanitizers
    // of that build (use after free, undefined behaviour, leaks).
    void endsClean()
    {
        if (program.state() == QProcess::NotRunning) QSKIP("the program did not run");
        ::kill(pid_t(program.processId()), SIGTERM);
        QVERIFY(program.waitForFinished(120000));
        const QString out = QString::fromLocal8Bit(program.readAll());
        for (const char* report : {"AddressSanitizer", "LeakSanitizer", "runtime error:"})
            QVERIFY2(!out.contains(report), qPrintable(out.right(6000)));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestChatProgram)
#include "test_chat_program.moc"
