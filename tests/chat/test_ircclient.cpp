// The IRC client against an in-test scripted server on loopback: lines in, events out,
// lines sent back.
#include "debuglog.h"
#include "ircclient.h"
#include "ircrecorder.h"
#include "testsupport.h"
#include "wsocket.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

const QByteArray CTCP(1, '\x01');

// Accepts one connection, keeps every line the client sends and sends what it is told.
class ScriptServer
{
public:
    ScriptServer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            conn = server.nextPendingConnection();
            QObject::connect(conn, &QTcpSocket::readyRead, [this] {
                buf += conn->readAll();
                qsizetype i;
                while ((i = buf.indexOf("\r\n")) >= 0) {
                    lines << QString::fromUtf8(buf.left(i));
                    buf.remove(0, i + 2);
                }
            });
        });
    }
    quint16 port() const { return server.serverPort(); }
    void send(const QByteArray& bytes)
    {
        conn->write(bytes);
        conn->flush();
    }

    QTcpServer server;
    QTcpSocket* conn = nullptr;
    QStringList lines;
    QByteArray buf;
};

} // namespace

class TestIrcClient : public QObject
{
    Q_OBJECT

    int syncNo = 0;
    qint64 sentBytes = 0;

    // Sends bytes and waits until the client has read them.
    void feed(TIRCClient& cl, ScriptServer& s, const QByteArray& bytes)
    {
        s.send(bytes);
        sentBytes += bytes.size();
        QTRY_COMPARE_WITH_TIMEOUT(cl.Socket().ReadCount(), sentBytes, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!cl.LinesPending(), 5000);
    }
    // A PING round trip: everything sent before it has been handled when the PONG arrives.
    void sync(TIRCClient& cl, ScriptServer& s)
    {
        const QString tag = QStringLiteral("sync%1").arg(++syncNo);
        CHECKED(feed(cl, s, "PING :" + tag.toUtf8() + "\r\n"));
        QTRY_VERIFY_WITH_TIMEOUT(s.lines.contains("PONG :" + tag), 5000);
        s.lines.removeAll("PONG :" + tag);
    }
    // Connects and waits for the registration lines (ending with USER).
    void open(TIRCClient& cl, ScriptServer& s)
    {
        sentBytes = 0;
        cl.SetServer("127.0.0.1");
        cl.SetPort(QString::number(s.port()));
        cl.Connect();
        QTRY_VERIFY_WITH_TIMEOUT(!s.lines.isEmpty() && s.lines.last().startsWith("USER "), 5000);
    }
    // Registered as "me" and on "#c" with alice (plain) and carol (voiced).
    void openInChannel(TIRCClient& cl, ScriptServer& s)
    {
        cl.SetNick("me");
        CHECKED(open(cl, s));
        CHECKED(feed(cl, s,
                     ":irc.test 001 me :Welcome\r\n"
                     ":me!u@127.0.0.1 JOIN :#c\r\n"
                     ":irc.test 353 me = #c :@me alice +carol\r\n"
                     ":irc.test 366 me #c :End of NAMES list\r\n"));
        CHECKED(sync(cl, s));
        s.lines.clear();
    }

    // Lines "line 0" to "line n-1" from alice in #c.
    static QByteArray channelLines(int n)
    {
        QByteArray lines;
        for (int i = 0; i < n; ++i)
            lines += ":alice!a@h PRIVMSG #c :line " + QByteArray::number(i) + "\r\n";
        return lines;
    }

private slots:
    void registration_data()
    {
        QTest::addColumn<bool>("ircx");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArray>("welcome");
        QTest::addColumn<QStringList>("head"); // the lines before USER

        QTest::newRow("plain, 001")
            << false << "" << QByteArray(":irc.test 001 me :Welcome") << QStringList{"NICK me"};
        QTest::newRow("ircx and password, 375")
            << true << "sesame" << QByteArray(":irc.test 375 me :- motd -")
            << QStringList{"MODE ISIRCX", "IRCX", "PASS sesame", "NICK me"};
    }
    void registration()
    {
        QFETCH(bool, ircx);
        QFETCH(QString, password);
        QFETCH(QByteArray, welcome);
        QFETCH(QStringList, head);
        ScriptServer s;
        TIRCClient cl;
        IrcRecorder rec(cl);
        cl.SetIRCX(ircx);
        cl.SetPassword(password);
        cl.SetNick("me");
        CHECKED(open(cl, s));
        const QString ip = LocalIPList().value(0, "127.0.0.1");
        QCOMPARE(s.lines, head + QStringList{"USER username " + ip + " 127.0.0.1 :Real name"});
        QCOMPARE(rec.log, (QStringList{"State|1", "State|2", "Connect"}));
        QCOMPARE(cl.State(), isLoggingIn);
        QCOMPARE(cl.OwnUser()->Nick, QString("me"));
        CHECKED(feed(cl, s, welcome + "\r\n"));
        QTRY_COMPARE(cl.State(), isConnected);

        // The server hangs up: disconnected, then the own user is released.
        s.conn->disconnectFromHost();
        QTRY_COMPARE(cl.State(), isDisconnected);
        QCOMPARE(rec.log.mid(rec.log.size() - 2), (QStringList{"State|0", "Disconnect"}));
        QCOMPARE(cl.OwnUser(), nullptr);
        QCOMPARE(cl.Users().Find("me"), nullptr);
    }

    void serverWithoutLineEnds()
    {
        // A long line split over many reads still arrives whole; text that never ends in
        // a line feed ends the connection instead of growing the buffer without end.
        ScriptServer s;
        TIRCClient cl;
        IrcRecorder rec(cl);
        cl.SetNick("me");
        CHECKED(open(cl, s));
        const QByteArray text(400, 'a');
        QByteArray line = ":alice!a@h PRIVMSG me :" + text + "\r\n";
        while (!line.isEmpty()) {
            CHECKED(feed(cl, s, line.left(20)));
            line.remove(0, 20);
        }
        QCOMPARE(rec.log.count("Message|alice|-|" + QString(text)), 1);
        QStringList errors;
        SetDebugSink([&](const QString& t, int ch) {
            if (ch == dcErrOut) errors << t;
        });
        for (int i = 0; i < 64 && cl.State() != isDisconnected; ++i) {
            s.send(QByteArray(16 * 1024, 'x'));
            QTest::qWait(10);
        }
        QTRY_COMPARE_WITH_TIMEOUT(cl.State(), isDisconnected, 30000);
        SetDebugSink(nullptr);
        QVERIFY(rec.log.contains("Disconnect"));
        QCOMPARE(errors.filter("no line end within").size(), 1);
    }

    void failedConnect()
    {
        TIRCClient cl;
        IrcRecorder rec(cl);
        cl.SetServer("127.0.0.1");
        cl.SetPort(QString::number(dwtest::freePort())); // nobody listens there
        cl.Connect();
        QTRY_COMPARE(cl.State(), isDisconnected);
        const QString err = "Error||Not connected to server.";
        QCOMPARE(rec.log,
                 (QStringList{"State|1", "State|2", err, err, "Connect", "State|0", "Disconnect"}));
        QCOMPARE(cl.OwnUser(), nullptr);

        // An attempt the socket refuses to start goes back to disconnected and says why.
        rec.log.clear();
        cl.SetServer("");
        QVERIFY_THROWS_EXCEPTION(ESocketException, cl.Connect());
        QCOMPARE(cl.State(), isDisconnected);
        QCOMPARE(rec.log, (QStringList{"State|1", "State|0", "Disconnect"}));
    }

    // One row: what the server sends (each piece in its own read), the events raised and
    // the lines sent back, and how channel #c looks afterwards. Every row starts registered
    // as "me" on #c, names "@me alice +carol".
    void lines_data()
    {
        QTest::addColumn<QByteArrayList>("in");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("out");
        QTest::addColumn<QString>("channel");
        const QString base = "@me alice +carol | topic= modes=0 limit=0 key=";
        const QString v = CTCP;

        QTest::newRow("ping") << QByteArrayList{"PING :irc.test\r\n"} << QStringList{"PingPong"}
                              << QStringList{"PONG :irc.test"} << base;
        QTest::newRow("line split across reads")
            << QByteArrayList{"PI", "NG :a b\r", "\n"} << QStringList{"PingPong"}
            << QStringList{"PONG :a b"} << base;
        QTest::newRow("lone CR ends a line")
            << QByteArrayList{"PING :one\rPING :two\r\n"} << QStringList{"PingPong", "PingPong"}
            << QStringList{"PONG :one", "PONG :two"} << base;
        QTest::newRow("line without a blank")
            << QByteArrayList{"JUSTONEWORD\r\n"} << QStringList{"Unknown|||JUSTONEWORD"}
            << QStringList{} << base;
        QTest::newRow("message") << QByteArrayList{":alice!a@h PRIVMSG #c :hello there\r\n"}
                                 << QStringList{"Message|alice|#c|hello there"} << QStringList{}
                                 << base;
        QTest::newRow("private message, empty text is no CTCP")
            << QByteArrayList{":bob!b@h PRIVMSG me :\r\n"} << QStringList{"Message|bob|-|"}
            << QStringList{} << base;
        QTest::newRow("notice") << QByteArrayList{":alice!a@h NOTICE #c :note\r\n"}
                                << QStringList{"Notice|alice|#c|note"} << QStringList{} << base;
        QTest::newRow("ctcp VERSION is answered")
            << QByteArrayList{":bob!b@h PRIVMSG me :" + CTCP + "VERSION" + CTCP + "\r\n"}
            << QStringList{"CTCPQuery|bob|-|VERSION|"}
            << QStringList{"NOTICE bob :" + v + "VERSION TIRCClient 0.1 by Brannoc" + v} << base;
        QTest::newRow("ctcp version in lower case is only reported")
            << QByteArrayList{":bob!b@h PRIVMSG me :" + CTCP + "version" + CTCP + "\r\n"}
            << QStringList{"CTCPQuery|bob|-|version|"} << QStringList{} << base;
        QTest::newRow("ctcp PING echoes its argument")
            << QByteArrayList{":bob!b@h PRIVMSG me :" + CTCP + "PING 12345 6" + CTCP + "\r\n"}
            << QStringList{"CTCPQuery|bob|-|PING|12345 6"}
            << QStringList{"NOTICE bob :" + v + "PING 12345 6" + v} << base;
        QTest::newRow("ctcp FINGER and CLIENTINFO are answered")
            << QByteArrayList{":bob!b@h PRIVMSG me :" + CTCP + "FINGER" + CTCP + "\r\n" +
                              ":bob!b@h PRIVMSG #c :" + CTCP + "CLIENTINFO" + CTCP + "\r\n"}
            << QStringList{"CTCPQuery|bob|-|FINGER|", "CTCPQuery|bob|#c|CLIENTINFO|"}
            << QStringList{"NOTICE bob :" + v + "FINGER " + v,
                           "NOTICE bob :" + v + "CLIENTINFO " + TReplies().ClientInfo + v}
            << base;
        QTest::newRow("unknown ctcp")
            << QByteArrayList{":bob!b@h PRIVMSG #c :" + CTCP + "FOO bar" + CTCP + "\r\n"}
            << QStringList{"CTCPQuery|bob|#c|FOO|bar"} << QStringList{} << base;
        QTest::newRow("action") << QByteArrayList{":alice!a@h PRIVMSG #c :" + CTCP +
                                                  "ACTION waves" + CTCP + "\r\n"}
                                << QStringList{"Action|alice|#c|waves"} << QStringList{} << base;
        QTest::newRow("dcc has no channel")
            << QByteArrayList{":bob!b@h PRIVMSG #c :" + CTCP + "DCC SEND f 1 2 3" + CTCP + "\r\n"}
            << QStringList{"CTCPQuery|bob|-|DCC|SEND f 1 2 3"} << QStringList{} << base;
        // Without its closing byte a query keeps its last character.
        QTest::newRow("dcc without the closing byte")
            << QByteArrayList{":bob!b@h PRIVMSG me :" + CTCP + "DCC SEND f 1 2 1300\r\n"}
            << QStringList{"CTCPQuery|bob|-|DCC|SEND f 1 2 1300"} << QStringList{} << base;
        QTest::newRow("ctcp word without the closing byte")
            << QByteArrayList{":bob!b@h PRIVMSG me :" + CTCP + "FOO\r\n"}
            << QStringList{"CTCPQuery|bob|-|FOO|"} << QStringList{} << base;
        QTest::newRow("ctcp reply")
            << QByteArrayList{":bob!b@h NOTICE me :" + CTCP + "VERSION X 1" + CTCP + "\r\n"}
            << QStringList{"CTCPReply|bob|-|VERSION|X 1"} << QStringList{} << base;

        QTest::newRow("mode walk: op, limit, key removed, then a ban")
            << QByteArrayList{":alice!a@h MODE #c +ol-k+b carol 25 *!*@bad\r\n"}
            << QStringList{"ChannelMode|alice|#c|+ol-k+b",
                           "Op|alice|#c|carol",
                           "Update|#c|2|carol|3",
                           "Update|#c|0|-|0",
                           "Update|#c|0|-|0",
                           "Ban|alice|#c|*!*@bad",
                           "Update|#c|0|-|0"}
            << QStringList{} << "@me alice @+carol | topic= modes=64 limit=25 key=";
        QTest::newRow("mode flags and key")
            << QByteArrayList{":alice!a@h MODE #c +tnk-v+x sesame carol\r\n"}
            << QStringList{"ChannelMode|alice|#c|+tnk-v+x", "Update|#c|0|-|0",
                           "Devoice|alice|#c|carol", "Update|#c|2|carol|0", "Update|#c|0|-|0"}
            << QStringList{} << "@me alice carol | topic= modes=152 limit=0 key=sesame";
        QTest::newRow("voice for someone who joined later")
            << QByteArrayList{":dave!d@h JOIN #c\r\n:alice!a@h MODE #c +v dave\r\n"}
            << QStringList{"Update|#c|5|dave|3", "Join|dave|#c", "ChannelMode|alice|#c|+v",
                           "Voice|alice|#c|dave", "Update|#c|2|dave|2"}
            << QStringList{} << "@me alice +carol +dave | topic= modes=0 limit=0 key=";
        QTest::newRow("names entries with @ and +")
            << QByteArrayList{":irc.test 353 me = #c :@+plus @both+  +v\r\n"}
            << QStringList{"System|NAMES|#c :@+plus @both+  +v", "Update|#c|3|-|0"} << QStringList{}
            << "@me alice +carol @+plus @+both +v | topic= modes=0 limit=0 key=";
        QTest::newRow("channel modes reply")
            << QByteArrayList{":irc.test 324 me #c +ntl 12\r\n"}
            << QStringList{"Update|#c|0|-|0", "Update|#c|0|-|0"} << QStringList{}
            << "@me alice +carol | topic= modes=88 limit=12 key=";
        QTest::newRow("topic") << QByteArrayList{":alice!a@h TOPIC #c :new topic\r\n"}
                               << QStringList{"Update|#c|1|-|0", "Topic|alice|#c|new topic"}
                               << QStringList{}
                               << "@me alice +carol | topic=new topic modes=0 limit=0 key=";
        QTest::newRow("topic and no topic replies")
            << QByteArrayList{":irc.test 332 me #c :t1\r\n:irc.test 331 me #c :No topic\r\n"}
            << QStringList{"Update|#c|1|-|0", "Topic||#c|t1", "Update|#c|1|-|0", "NoTopic|#c"}
            << QStringList{} << base;
        QTest::newRow("join and part of another user")
            << QByteArrayList{":dave!d@h JOIN :#c\r\n:dave!d@h PART #c :later\r\n"}
            << QStringList{"Update|#c|5|dave|3", "Join|dave|#c", "Update|#c|6|dave|3",
                           "Part|dave|#c|later"}
            << QStringList{} << base;
        QTest::newRow("kick of another user")
            << QByteArrayList{":alice!a@h KICK #c carol :bye\r\n"}
            << QStringList{"Kick|alice|carol|#c|bye", "Update|#c|7|carol|2"} << QStringList{}
            << "@me alice | topic= modes=0 limit=0 key=";
        QTest::newRow("kicked") << QByteArrayList{":alice!a@h KICK #c me :out\r\n"}
                                << QStringList{"Kicked|alice|#c"} << QStringList{} << "none";
        QTest::newRow("parted") << QByteArrayList{":me!u@h PART #c\r\n"} << QStringList{"Parted|#c"}
                                << QStringList{} << "none";
        QTest::newRow("quit") << QByteArrayList{":carol!c@h QUIT :gone\r\n"}
                              << QStringList{"Quit|carol|gone", "Update|#c|8|carol|2"}
                              << QStringList{} << "@me alice | topic= modes=0 limit=0 key=";
        QTest::newRow("nick change of another user")
            << QByteArrayList{":alice!a@h NICK :Alicia\r\n"}
            << QStringList{"NickChange|alice|Alicia", "Update|#c|4|alice|1"} << QStringList{}
            << "@me Alicia +carol | topic= modes=0 limit=0 key=";
        QTest::newRow("own nick change")
            << QByteArrayList{":me!u@h NICK :me2\r\n"}
            << QStringList{"NickChanged|me2", "Update|#c|4|me|0"} << QStringList{}
            << "@me2 alice +carol | topic= modes=0 limit=0 key=";
        QTest::newRow("own join again starts an empty names list")
            << QByteArrayList{":me!u@h JOIN #C\r\n"} << QStringList{"Joined|#C"}
            << QStringList{"MODE #C "} << " | topic= modes=0 limit=0 key=";
        QTest::newRow("lines for unknown channels are ignored")
            << QByteArrayList{":alice!a@h TOPIC #x :t\r\n:alice!a@h PART #x\r\n"
                              ":alice!a@h KICK #x carol\r\n:alice!a@h MODE #x +o carol\r\n"
                              ":dave!d@h JOIN #x\r\n:irc.test 353 me = #x :a b\r\n"}
            << QStringList{"System|NAMES|#x :a b"} << QStringList{} << base;
        QTest::newRow("user modes")
            << QByteArrayList{":me MODE me :+iwx\r\n:me MODE me :-x\r\n"}
            << QStringList{"UserMode", "UserModeChanged|9", "UserMode"} << QStringList{} << base;
        QTest::newRow("invite, kill, wallops")
            << QByteArrayList{":bob!b@h INVITE me :#d\r\n:op!o@h KILL bob :spam\r\n"
                              ":op!o@h WALLOPS :hear ye\r\n"}
            << QStringList{"Invite|bob|#d", "Kill|op|bob|spam", "Wallops|op|hear ye"}
            << QStringList{} << base;
        QTest::newRow("numerics with formats")
            << QByteArrayList{":irc.test 311 me bob b host * :Bob B\r\n"
                              ":irc.test 317 me bob 5 1700000000 :idle\r\n"
                              ":irc.test 372 me :- hello\r\n"
                              ":irc.test 251 me :There are 2 users\r\n"
                              ":irc.test 329 me #c 1700000000\r\n"}
            << QStringList{"System|WHOIS|bob is b@host * Bob B",
                           "System|WHOIS|bob has been idle 5 seconds, signed on at 1700000000",
                           "System|MOTD|- hello", "System|LUSER|There are 2 users",
                           "System|329|me #c 1700000000"}
            << QStringList{} << base;
        QTest::newRow("channel list") << QByteArrayList{":irc.test 321 me Channel :Users Name\r\n"
                                                        ":irc.test 322 me #x 5 :a topic\r\n"
                                                        ":irc.test 322 me #y many :\r\n"
                                                        ":irc.test 323 me :End of LIST\r\n"}
                                      << QStringList{"System|LIST|Start of LIST",
                                                     "StartChannelInfo",
                                                     "System|LIST|me #x 5",
                                                     "AddChannelInfo|#x|5|a topic",
                                                     "System|LIST|me #y many",
                                                     "AddChannelInfo|#y|0|",
                                                     "System|LIST|me",
                                                     "EndChannelInfo"}
                                      << QStringList{} << base;
        QTest::newRow("away replies")
            << QByteArrayList{":irc.test 301 me bob :out to lunch\r\n"
                              ":irc.test 306 me :now away\r\n:irc.test 305 me :back\r\n"}
            << QStringList{"Away|bob|out to lunch", "NowAway", "UnAway"} << QStringList{} << base;
        QTest::newRow("errors and unknown numerics")
            << QByteArrayList{":irc.test 401 me bob :No such nick\r\n"
                              ":irc.test 433 me alice :in use\r\n"
                              ":irc.test 999 me :what\r\n:irc.test 9999999999 x\r\n"}
            << QStringList{"Error|401|me bob :No such nick", "Error|433|me alice :in use",
                           "Unknown||999|me :what", "Unknown||9999999999|x"}
            << QStringList{} << base;
    }
    void lines()
    {
        QFETCH(QByteArrayList, in);
        QFETCH(QStringList, events);
        QFETCH(QStringList, out);
        QFETCH(QString, channel);
        ScriptServer s;
        TIRCClient cl;
        IrcRecorder rec(cl);
        CHECKED(openInChannel(cl, s));
        rec.log.clear();
        for (const QByteArray& piece : in)
            CHECKED(feed(cl, s, piece));
        CHECKED(sync(cl, s));
        QCOMPARE(rec.log.takeLast(), QString("PingPong")); // the sync's own
        QCOMPARE(rec.log, events);
        QCOMPARE(s.lines, out);
        QCOMPARE(channelState(cl, "#c"), channel);
        // Users heard of only on a line hold no lasting reference.
        QCOMPARE(cl.Users().Find("bob"), nullptr);
        QCOMPARE(cl.Users().Find("op"), nullptr);
    }

    // 433 during registration: Nick, AltNick, then what OnNicksInUse answers; without a
    // handler, or when the server keeps refusing the same nick, the connection is aborted.
    void nickCollision_data()
    {
        QTest::addColumn<bool>("handler");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("refusals");
        QTest::addColumn<QStringList>("nicks"); // NICK lines after the first
        QTest::addColumn<bool>("aborted");

        QTest::newRow("registered as AltNick") << false << "" << 1 << QStringList{"me_"} << false;
        QTest::newRow("no handler aborts") << false << "" << 2 << QStringList{"me_"} << true;
        QTest::newRow("handler's nick")
            << true << "third" << 2 << QStringList{"me_", "third"} << false;
        QTest::newRow("handler answers empty") << true << "" << 2 << QStringList{"me_"} << true;
        QTest::newRow("same nick offered a bounded number of times")
            << true << "third" << 6 << QStringList{"me_", "third", "third", "third", "third"}
            << true;
    }
    void nickCollision()
    {
        QFETCH(bool, handler);
        QFETCH(QString, answer);
        QFETCH(int, refusals);
        QFETCH(QStringList, nicks);
        QFETCH(bool, aborted);
        ScriptServer s;
        TIRCClient cl;
        IrcRecorder rec(cl, true, handler);
        rec.nicksInUseAnswer = answer;
        cl.SetNick("me");
        cl.SetAltNick("me_");
        CHECKED(open(cl, s));
        s.lines.clear();
        for (int i = 0; i < refusals && cl.Connected(); ++i) {
            const QByteArray nick = cl.CurrentNick().toUtf8();
            CHECKED(feed(cl, s, ":irc.test 433 * " + nick + " :Nickname already in use\r\n"));
            if (cl.Connected()) CHECKED(sync(cl, s));
        }
        QStringList sent;
        for (const QString& l : s.lines)
            if (l.startsWith("NICK ")) sent << l.mid(5);
        QCOMPARE(sent, nicks);
        QCOMPARE(rec.log.count("NicksInUse|me_"), handler && refusals >= 2 ? 1 : 0);
        if (aborted) {
            QTRY_COMPARE(cl.State(), isDisconnected);
            QCOMPARE(rec.log.last(), QString("Disconnect"));
        } else {
            CHECKED(feed(cl, s, ":irc.test 001 " + nicks.last().toUtf8() + " :Welcome\r\n"));
            QTRY_COMPARE(cl.State(), isConnected);
            QCOMPARE(cl.CurrentNick(), nicks.last());
            QCOMPARE(cl.Nick(), nicks.last());
        }
    }

    void operations()
    {
        ScriptServer s;
        TIRCClient cl;
        IrcRecorder rec(cl);
        QStringList sentEvents;
        cl.OnSend = [&](TIRCClient*, const QString& l) { sentEvents << l; };

        // Disconnected: nothing is sent, an error is reported.
        cl.Say("#c", "hi");
        QCOMPARE(rec.log, QStringList{"Error||Not connected to server."});
        cl.SetNick("me");
        cl.SetUserMode(umInvisible);
        QCOMPARE(cl.Nick(), QString("me"));

        CHECKED(openInChannel(cl, s));
        const QString v = CTCP;
        cl.Say("#c", "hello");
        cl.Notice("bob", "psst");
        cl.Action("#c", "waves");
        cl.CTCPQuery("bob", "version", "");
        cl.CTCPReply("bob", "ping", "1");
        cl.Join("#k", "key");
        cl.Join("#c");
        cl.List();
        cl.Part("#c", "bye");
        cl.Part("#c");
        cl.Mode("#c", "+o", "alice");
        cl.Mode("#c", "+m");
        cl.SetTopic("#c", "a topic");
        cl.SendRaw("PRIVMSG #c :two\r\nQUIT :injected");
        cl.SetUserMode(umWallops); // ignored while connected
        cl.SetNick("other");       // sends NICK, the nick stays until confirmed
        cl.Quit("leaving");
        const QStringList want{"PRIVMSG #c :hello",
                               "NOTICE bob :psst",
                               "PRIVMSG #c :" + v + "ACTION waves" + v,
                               "PRIVMSG bob :" + v + "VERSION " + v,
                               "NOTICE bob :" + v + "ping 1" + v,
                               "JOIN #k key",
                               "JOIN #c",
                               "LIST",
                               "PART #c :bye",
                               "PART #c",
                               "MODE #c +o alice",
                               "MODE #c +m",
                               "TOPIC #c :a topic",
                               "PRIVMSG #c :twoQUIT :injected",
                               "NICK other",
                               "QUIT :leaving"};
        QTRY_COMPARE(s.lines, want);
        QCOMPARE(sentEvents.mid(sentEvents.size() - want.size()), want);
        QCOMPARE(cl.Nick(), QString("me"));
        QCOMPARE(cl.UserMode(), TUserModes(umInvisible));
        CHECKED(feed(cl, s, ":me!u@h NICK :other\r\n"));
        QTRY_COMPARE(cl.Nick(), QString("other"));

        // A forced disconnect; the stored nick is back once disconnected.
        cl.Disconnect(true);
        QTRY_COMPARE(cl.State(), isDisconnected);
        QCOMPARE(cl.Nick(), QString("me"));
        QCOMPARE(rec.log.last(), QString("Disconnect"));
    }

    void suppressing()
    {
        ScriptServer s;
        TIRCClient cl;
        IrcRecorder rec(cl);
        CHECKED(openInChannel(cl, s));
        cl.OnCTCPQuery = [](TIRCClient*, TUser*, TChannel*, const QString&, const QString&,
                            bool& suppress) { suppress = true; };
        cl.OnRaw = [](TIRCClient*, TUser*, const QString& cmd, const QString&, bool& suppress) {
            suppress = cmd == "TOPIC";
        };
        rec.log.clear();
        CHECKED(feed(cl, s,
                     ":bob!b@h PRIVMSG me :" + CTCP + "VERSION" + CTCP + "\r\n" +
                         ":alice!a@h TOPIC #c :hidden\r\n"));
        CHECKED(sync(cl, s));
        QCOMPARE(s.lines, QStringList{});
        QCOMPARE(rec.log, QStringList{"PingPong"});
        QCOMPARE(cl.Channels().Find("#c")->Topic, QString());
    }

    // A handler that starts a new connection in the middle of a line leaves nothing
    // dangling behind it.
    void reconnectFromHandler()
    {
        ScriptServer s;
        TIRCClient cl;
        IrcRecorder rec(cl);
        CHECKED(openInChannel(cl, s));
        int reconnects = 0;
        cl.OnKick = [&](TIRCClient* c, TUser*, TUser*, TChannel*) {
            if (reconnects++ == 0) c->Connect();
        };
        CHECKED(feed(cl, s, ":alice!a@h KICK #c carol :x\r\n:alice!a@h KICK #c me :y\r\n"));
        QTRY_COMPARE(reconnects, 1);
        QTRY_COMPARE(cl.State(), isLoggingIn);
        QCOMPARE(cl.Channels().Count(), 0);
        QVERIFY(cl.OwnUser());
        QCOMPARE(cl.Users().Count(), 1);
    }

    // A burst from the socket is handled in slices with the event loop running between
    // them, in the order it arrived; the server's closing after it is reported last.
    void burstInSlices()
    {
        ScriptServer s;
        TIRCClient cl;
        IrcRecorder rec(cl);
        CHECKED(openInChannel(cl, s));
        rec.log.clear();
        cl.SliceMs = 0; // one line a slice
        int loopPasses = 0;
        QTimer tick;
        tick.setInterval(0);
        QObject::connect(&tick, &QTimer::timeout, [&] { ++loopPasses; });
        tick.start();
        QStringList expected;
        for (int i = 0; i < 300; ++i)
            expected << "Message|alice|#c|line " + QString::number(i);
        s.send(channelLines(300));
        s.conn->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(cl.State(), isDisconnected, 20000);
        tick.stop();
        expected << "State|0"
                 << "Disconnect";
        QCOMPARE(rec.log, expected);
        QVERIFY2(loopPasses >= 100, qPrintable(QString::number(loopPasses)));
    }

    // Hanging up with lines still waiting drops them.
    void hangUpDropsWaitingLines()
    {
        ScriptServer s;
        TIRCClient cl;
        IrcRecorder rec(cl);
        CHECKED(openInChannel(cl, s));
        rec.log.clear();
        cl.SliceMs = 0;
        cl.OnMessage = [&](TIRCClient* c, TUser*, TChannel*, const QString& t) {
            rec.log << t;
            if (t == "line 1") c->Disconnect(true);
        };
        s.send(channelLines(50));
        QTRY_VERIFY_WITH_TIMEOUT(rec.log.contains("Disconnect"), 20000);
        QTest::qWait(100);
        QCOMPARE(rec.log, (QStringList{"line 0", "line 1", "State|0", "Disconnect"}));
        QVERIFY(!cl.LinesPending());
    }

    // A handler may free the client in the middle of a sliced burst: nothing of the client
    // is touched afterwards and no later event is raised. Each case frees it from another
    // event; the sanitizer build proves the rest.
    void freedByHandler()
    {
        using Install = std::function<void(TIRCClient&, std::function<void()>)>;
        struct Case
        {
            const char* name;
            QByteArray line;
            Install install;
        };
        const QList<Case> cases = {
            {"message", ":alice!a@h PRIVMSG #c :hi\r\n",
             [](TIRCClient& c, auto f) { c.OnMessage = [f](auto, auto, auto, auto&) { f(); }; }},
            {"raw line", ":alice!a@h PRIVMSG #c :hi\r\n",
             [](TIRCClient& c, auto f) { c.OnReceive = [f](auto, auto&) { f(); }; }},
            {"join (channel update)", ":bob!b@h JOIN #c\r\n",
             [](TIRCClient& c, auto f) {
                 c.Channels().Find("#c")->OnChannelUpdate = [f](auto, auto t, auto, int) {
                     if (t == cuJoin) f();
                 };
             }},
            {"quit (channel update)", ":alice!a@h QUIT :gone\r\n",
             [](TIRCClient& c, auto f) {
                 c.Channels().Find("#c")->OnChannelUpdate = [f](auto, auto t, auto, int) {
                     if (t == cuQuit) f();
                 };
             }},
            {"nick change (channel update)", ":alice!a@h NICK alicia\r\n",
             [](TIRCClient& c, auto f) {
                 c.Channels().Find("#c")->OnChannelUpdate = [f](auto, auto t, auto, int) {
                     if (t == cuNick) f();
                 };
             }},
            {"kick", ":alice!a@h KICK #c carol :out\r\n",
             [](TIRCClient& c, auto f) { c.OnKick = [f](auto, auto, auto, auto) { f(); }; }},
            {"op", ":alice!a@h MODE #c +o carol\r\n",
             [](TIRCClient& c, auto f) { c.OnOp = [f](auto, auto, auto, auto) { f(); }; }},
            {"topic", ":alice!a@h TOPIC #c :new\r\n",
             [](TIRCClient& c, auto f) { c.OnTopic = [f](auto, auto, auto) { f(); }; }},
            {"ping", "PING :x\r\n",
             [](TIRCClient& c, auto f) { c.OnPingPong = [f](auto) { f(); }; }},
            {"ctcp", ":alice!a@h PRIVMSG me :" + CTCP + "VERSION" + CTCP + "\r\n",
             [](TIRCClient& c, auto f) {
                 c.OnCTCPQuery = [f](auto, auto, auto, auto&, auto&, bool&) { f(); };
             }},
            {"part", ":me!u@h PART #c :bye\r\n",
             [](TIRCClient& c, auto f) { c.OnParted = [f](auto, auto) { f(); }; }},
        };
        for (const Case& k : cases) {
            ScriptServer s;
            QPointer<TIRCClient> cl = new TIRCClient;
            IrcRecorder rec(*cl);
            CHECKED(openInChannel(*cl, s));
            cl->SliceMs = 0;
            rec.log.clear();
            int freed = 0;
            k.install(*cl, [&] {
                ++freed;
                delete cl.data();
            });
            QByteArray burst = ":alice!a@h PRIVMSG #c :before\r\n" + k.line;
            for (int i = 0; i < 20; ++i)
                burst += ":alice!a@h PRIVMSG #c :after\r\n";
            s.send(burst);
            QTRY_VERIFY2_WITH_TIMEOUT(!cl, k.name, 10000);
            QTest::qWait(50);
            QVERIFY2(freed == 1, k.name);
            QVERIFY2(!rec.log.contains("Message|alice|#c|after"), k.name);
        }
    }

    // Destroying a connected client closes the connection without raising events.
    void destroyWhileConnected()
    {
        ScriptServer s;
        auto* cl = new TIRCClient;
        IrcRecorder rec(*cl);
        CHECKED(openInChannel(*cl, s));
        rec.log.clear();
        QSignalSpy closed(s.conn, &QTcpSocket::disconnected);
        delete cl;
        QVERIFY(closed.wait(5000));
        QCOMPARE(rec.log, QStringList{});
    }

    // A handler that throws stops the line it is in; the lines after it are still read.
    void throwingHandler()
    {
        TIRCClient cl;
        QStringList got;
        cl.OnUnknownCommand = [&](TIRCClient*, TUser*, const QString& cmd, const QString&) {
            got << cmd;
            if (cmd == "THROW") throw std::runtime_error("handler failed");
        };
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, cl.ReceiveData("A x\nTHROW x\nB x\nC"));
        cl.ReceiveData(" x\n");
        QCOMPARE(got, (QStringList{"A", "THROW", "B", "C"}));
    }

    // The receive buffer's line rules, fed directly.
    void buffer_data()
    {
        QTest::addColumn<QByteArrayList>("in");
        QTest::addColumn<QStringList>("lines");

        QTest::newRow("line, CR LF and the start of the next")
            << QByteArrayList{"PING :a\r\nPING :b"} << QStringList{"PING :a"};
        QTest::newRow("rest completed later")
            << QByteArrayList{"PING :a\r\nPI", "NG :b\n"} << QStringList{"PING :a", "PING :b"};
        QTest::newRow("CR without any LF is no line yet")
            << QByteArrayList{"PING :a\r"} << QStringList{};
        QTest::newRow("lone CR ends a line once a LF is there")
            << QByteArrayList{"PING :a\r", "PING :b\n"} << QStringList{"PING :a", "PING :b"};
        QTest::newRow("empty lines dropped, stray CRs removed")
            << QByteArrayList{"\r\n\n\r\r\nA\r\r\n"} << QStringList{"A"};
        QTest::newRow("bytes that are not UTF-8 are kept")
            << QByteArrayList{"PRIVMSG #c :caf\xe9\n", "PRIVMSG #c :caf\xc3\xa9\n"}
            << QStringList{QString::fromLatin1("PRIVMSG #c :caf\xe9"),
                           QString::fromUtf8("PRIVMSG #c :caf\xc3\xa9")};
    }
    void buffer()
    {
        QFETCH(QByteArrayList, in);
        QFETCH(QStringList, lines);
        TIRCClient cl;
        QStringList got;
        cl.OnReceive = [&](TIRCClient*, const QString& l) { got << l; };
        for (const QByteArray& piece : in)
            cl.ReceiveData(piece);
        QCOMPARE(got, lines);
    }

    void parse_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("nick");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("paramText");
        QTest::addColumn<QStringList>("params"); // P0 onwards; the rest must be empty

        QTest::newRow("user prefix")
            << ":bob!b@h PRIVMSG #c :hi there"
            << "bob"
            << "b@h"
            << "PRIVMSG"
            << "#c :hi there" << QStringList{"bob!b@h", "PRIVMSG", "#c", "hi there"};
        QTest::newRow("server prefix")
            << ":irc.test 001 me :Welcome"
            << ""
            << "irc.test"
            << "001"
            << "me :Welcome" << QStringList{"irc.test", "001", "me", "Welcome"};
        QTest::newRow("no prefix, two blanks give an empty parameter")
            << "MODE #c  +o x"
            << ""
            << ""
            << "MODE"
            << "#c  +o x" << QStringList{"", "MODE", "#c", "", "+o", "x"};
        QTest::newRow("no blank at all") << "WORD"
                                         << ""
                                         << ""
                                         << ""
                                         << "WORD" << QStringList{"", "", "WORD"};
        QTest::newRow("prefix only") << ":irc.test"
                                     << ""
                                     << "irc.test"
                                     << ""
                                     << "" << QStringList{"irc.test"};
        QStringList many{"", "CMD"};
        QString text;
        for (int i = 1; i <= 16; ++i) {
            text += (i > 1 ? " " : "") + QString::number(i);
            if (i <= 13) many << QString::number(i);
        }
        QTest::newRow("parameters past the 13th are dropped") << "CMD " + text << ""
                                                              << ""
                                                              << "CMD" << text << many;
        const QString longText(700, u'x');
        QTest::newRow("remainder kept to 512 characters")
            << "CMD a :" + longText << ""
            << ""
            << "CMD" << ("a :" + longText).left(512)
            << QStringList{"", "CMD", "a", longText.left(512 - 3)};
        QTest::newRow("a line without a blank is kept to 512 characters too")
            << longText << ""
            << ""
            << "" << longText.left(512) << QStringList{"", "", longText.left(512)};
    }
    void parse()
    {
        QFETCH(QString, line);
        QFETCH(QString, nick);
        QFETCH(QString, address);
        QFETCH(QString, command);
        QFETCH(QString, paramText);
        QFETCH(QStringList, params);
        const TIrcLine m = ParseIrcLine(line);
        QCOMPARE(m.PrefixNick, nick);
        QCOMPARE(m.PrefixAddress, address);
        QCOMPARE(m.Command, command);
        QCOMPARE(m.ParamText, paramText);
        QStringList got(m.Params.begin(), m.Params.end());
        QCOMPARE(got.size(), 15);
        while (got.size() > params.size() && got.last().isEmpty())
            got.removeLast();
        QCOMPARE(got, params);
    }

    void registries()
    {
        TUsers users;
        TUser* a = users.Add("Alice", "");
        QCOMPARE(users.Add("ALICE", "a@h"), a);
        QCOMPARE(a->RefCount, 2);
        QCOMPARE(a->Address, QString("a@h"));
        users.Add("alice", ""); // an empty address keeps the known one
        QCOMPARE(a->Address, QString("a@h"));
        TUser* z = users.Add("zed", "");
        users.Add("bob", "");
        QCOMPARE(users.NickAt(0), QString("Alice"));
        QCOMPARE(users.NickAt(1), QString("bob"));

        // Renaming onto a known nick files the user under it; the other stays owned.
        users.Rename("alice", "ZED");
        QCOMPARE(users.Find("zed"), a);
        QCOMPARE(a->Nick, QString("ZED"));
        QCOMPARE(users.Find("alice"), nullptr);
        QVERIFY(users.Owns(z));
        users.Release(z); // destroys the unfiled user
        QVERIFY(!users.Owns(z));
        for (int i = 0; i < 3; ++i)
            users.Release(a);
        QCOMPARE(users.Find("zed"), nullptr);
        QCOMPARE(users.Count(), 1);

        TChannels channels;
        QStringList updates;
        auto onUpdate = [&](TChannel* ch, TChannelUpdateType t, TUser*, int info) {
            updates << QString("%1 %2 %3").arg(ch->Name).arg(int(t)).arg(info);
        };
        TChannel* c = channels.Add("#Room", onUpdate, &users);
        channels.Add("#abc", onUpdate, &users);
        QCOMPARE(channels.At(0)->Name, QString("#abc"));
        QCOMPARE(channels.Find("#ROOM"), c);
        c->AddName("@x");
        c->AddName("@");
        QCOMPARE(int(c->Names.size()), 1);
        QCOMPARE(users.Find("x")->RefCount, 1);
        TUser* x = users.Find("x");
        c->Op(x);                    // already op: raises with the same flags
        c->Voice(nullptr);           // nobody: nothing
        c->SetModes(c->Modes);       // unchanged: still raised
        channels.NickChange(x, "y"); // renames the names entry
        channels.Quit(users.Find("bob"));
        QCOMPARE(updates, (QStringList{"#Room 2 1", "#Room 0 0", "#Room 4 0"}));
        channels.Remove("#room");
        QCOMPARE(channels.Find("#Room"), nullptr);
        QCOMPARE(channels.Count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestIrcClient)
#include "test_ircclient.moc"
