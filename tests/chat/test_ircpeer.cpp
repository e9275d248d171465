// The IRC client against a real ngircd on loopback: clients talking to each other.
#include "ircclient.h"
#include "ircrecorder.h"
#include "testsupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

namespace {
constexpr int Wait = 15000;
}

class TestIrcPeer : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    dwtest::Peer ngircd;
    quint16 port = 0;

    void setup(TIRCClient& cl, const QString& nick, const QString& alt = {})
    {
        cl.SetServer("127.0.0.1");
        cl.SetPort(QString::number(port));
        cl.SetNick(nick);
        cl.SetAltNick(alt.isEmpty() ? nick + "_" : alt);
    }
    void connectAndWait(TIRCClient& cl)
    {
        cl.Connect();
        QTRY_COMPARE_WITH_TIMEOUT(cl.State(), isConnected, Wait);
    }
    void joinAndWait(TIRCClient& cl, IrcRecorder& rec, const QString& channel)
    {
        cl.Join(channel);
        QTRY_VERIFY_WITH_TIMEOUT(rec.log.contains("Update|" + channel + "|3|-|0"), Wait);
    }

private slots:
    void initTestCase()
    {
        const QString prog = dwtest::findProgram("ngircd");
        if (prog.isEmpty()) DW_PEER_MISSING("ngircd", "ngircd is not installed");
        QVERIFY(dir.isValid());
        QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                              QFileDevice::WriteOther | QFileDevice::ExeOther);
        port = dwtest::freePort();
        const QByteArray conf = "[Global]\n"
                                "Name = irc.test\n"
                                "Info = test server\n"
                                "Listen = 127.0.0.1\n"
                                "Ports = " +
                                QByteArray::number(port) +
                                "\n"
                                "PidFile = " +
                                dir.filePath("ngircd.pid").toUtf8() +
                                "\n"
                                "MotdPhrase = hello from the test server\n"
                                "[Limits]\n"
                                "MaxNickLength = 30\n"
                                "[Options]\n"
                                "PAM = no\n"
                                "Ident = no\n"
                                "DNS = no\n";
        const QString confPath = dwtest::writeFile(dir.filePath("ngircd.conf"), conf);
        QVERIFY(ngircd.start(prog, {"-n", "-f", confPath}, dir.path()));
        QVERIFY2(dwtest::waitForTcpPort(port), qPrintable(ngircd.output()));
    }
    void cleanupTestCase() { ngircd.stop(); }

    void conversation()
    {
        TIRCClient a, b;
        IrcRecorder ra(a), rb(b);
        setup(a, "alice");
        setup(b, "bob");
        CHECKED(connectAndWait(a));
        CHECKED(connectAndWait(b));
        QCOMPARE(ra.log.count("Connect"), 1);
        QTRY_VERIFY2_WITH_TIMEOUT(ra.log.contains("System|MOTD|- hello from the test server"),
                                  qPrintable(ra.log.join('\n')), Wait);

        CHECKED(joinAndWait(a, ra, "#room"));
        QVERIFY(ra.log.contains("Joined|#room"));
        CHECKED(joinAndWait(b, rb, "#room"));
        QTRY_VERIFY_WITH_TIMEOUT(ra.log.contains("Join|bob|#room"), Wait);
        TChannel* ca = a.Channels().Find("#room");
        TChannel* cb = b.Channels().Find("#room");
        QVERIFY(ca && cb && ca->Active && cb->Active);
        QCOMPARE(cb->FlagsOf("alice"), int(nfOperator));
        QCOMPARE(cb->FlagsOf("bob"), 0);
        QCOMPARE(ca->FlagsOf("bob"), 0);

        a.Say("#room", "hello there");
        QTRY_VERIFY_WITH_TIMEOUT(rb.log.contains("Message|alice|#room|hello there"), Wait);
        b.Action("#room", "waves");
        QTRY_VERIFY_WITH_TIMEOUT(ra.log.contains("Action|bob|#room|waves"), Wait);
        a.Notice("bob", "psst");
        QTRY_VERIFY_WITH_TIMEOUT(rb.log.contains("Notice|alice|-|psst"), Wait);
        b.Say("alice", "private");
        QTRY_VERIFY_WITH_TIMEOUT(ra.log.contains("Message|bob|-|private"), Wait);

        // CTCP queries are answered by the other client on its own.
        a.CTCPQuery("bob", "version", "");
        QTRY_VERIFY_WITH_TIMEOUT(
            ra.log.contains("CTCPReply|bob|-|VERSION|TIRCClient 0.1 by Brannoc"), Wait);
        QVERIFY(rb.log.contains("CTCPQuery|alice|-|VERSION|"));
        a.CTCPQuery("bob", "PING", "1700000000 42");
        QTRY_VERIFY_WITH_TIMEOUT(ra.log.contains("CTCPReply|bob|-|PING|1700000000 42"), Wait);

        a.Quit("bye");
        b.Quit("bye");
        QTRY_COMPARE_WITH_TIMEOUT(a.State(), isDisconnected, Wait);
        QTRY_COMPARE_WITH_TIMEOUT(b.State(), isDisconnected, Wait);
        QCOMPARE(a.OwnUser(), nullptr);
    }

    void channelChanges()
    {
        TIRCClient a, b;
        IrcRecorder ra(a), rb(b);
        setup(a, "anna");
        setup(b, "ben");
        CHECKED(connectAndWait(a));
        CHECKED(connectAndWait(b));
        CHECKED(joinAndWait(a, ra, "#ops"));
        CHECKED(joinAndWait(b, rb, "#ops"));
        TChannel* cb = b.Channels().Find("#ops");
        QVERIFY(cb);

        a.SetTopic("#ops", "the topic");
        QTRY_VERIFY_WITH_TIMEOUT(rb.log.contains("Topic|anna|#ops|the topic"), Wait);
        a.Mode("#ops", "+o", "ben");
        QTRY_VERIFY_WITH_TIMEOUT(rb.log.contains("Op|anna|#ops|ben"), Wait);
        QCOMPARE(cb->FlagsOf("ben"), int(nfOperator));
        a.Mode("#ops", "+v", "ben");
        QTRY_VERIFY_WITH_TIMEOUT(rb.log.contains("Voice|anna|#ops|ben"), Wait);
        QCOMPARE(cb->FlagsOf("ben"), int(nfOperator | nfVoice));
        // Anna sees her own change on someone who joined after her names list.
        QTRY_COMPARE_WITH_TIMEOUT(a.Channels().Find("#ops")->FlagsOf("ben"),
                                  int(nfOperator | nfVoice), Wait);
        a.Mode("#ops", "+l", "10");
        QTRY_COMPARE_WITH_TIMEOUT(cb->Limit, 10, Wait);
        QVERIFY(cb->Modes & cmLimit);
        a.Mode("#ops", "+k", "sesame");
        QTRY_COMPARE_WITH_TIMEOUT(cb->Key, QString("sesame"), Wait);
        QVERIFY(cb->Modes & cmKey);
        a.Mode("#ops", "-k", "sesame");
        QTRY_VERIFY_WITH_TIMEOUT(!(cb->Modes & cmKey), Wait);
        QCOMPARE(cb->Key, QString());

        b.SetNick("benny");
        QCOMPARE(b.Nick(), QString("ben")); // until the server confirms
        QTRY_VERIFY_WITH_TIMEOUT(ra.log.contains("NickChange|ben|benny"), Wait);
        QTRY_COMPARE_WITH_TIMEOUT(b.Nick(), QString("benny"), Wait);
        QVERIFY(rb.log.contains("NickChanged|benny"));
        QCOMPARE(a.Channels().Find("#ops")->FlagsOf("benny"), int(nfOperator | nfVoice));

        a.SendRaw("KICK #ops benny :out");
        QTRY_VERIFY_WITH_TIMEOUT(rb.log.contains("Kicked|anna|#ops"), Wait);
        QCOMPARE(b.Channels().Find("#ops"), nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(ra.log.contains("Kick|anna|benny|#ops|out"), Wait);
        QCOMPARE(a.Channels().Find("#ops")->FlagsOf("benny"), -1);

        // The channel now has a limit but no key: benny comes back and leaves.
        CHECKED(joinAndWait(b, rb, "#ops"));
        QTRY_VERIFY_WITH_TIMEOUT(ra.log.contains("Join|benny|#ops"), Wait);
        b.Part("#ops", "later");
        QTRY_VERIFY_WITH_TIMEOUT(ra.log.contains("Part|benny|#ops|later"), Wait);
        QTRY_VERIFY_WITH_TIMEOUT(rb.log.contains("Parted|#ops"), Wait);

        rb.log.clear();
        CHECKED(joinAndWait(b, rb, "#ops"));
        b.Quit("gone now");
        QTRY_VERIFY_WITH_TIMEOUT(std::any_of(ra.log.begin(), ra.log.end(),
                                             [](const QString& l) {
                                                 return l.startsWith("Quit|benny|") &&
                                                        l.contains("gone now");
                                             }),
                                 Wait);
        QCOMPARE(a.Channels().Find("#ops")->FlagsOf("benny"), -1);
        QTRY_COMPARE_WITH_TIMEOUT(b.State(), isDisconnected, Wait);
        a.Disconnect(false);
        QTRY_COMPARE_WITH_TIMEOUT(a.State(), isDisconnected, Wait);
    }

    // The owner's SOCKS settings on the client's socket: the session runs through the
    // proxy and the other side sees an ordinary user.
    void throughSocks()
    {
        const QString prog = dwtest::findProgram("danted");
        if (prog.isEmpty()) DW_PEER_MISSING("dante-server", "danted is not installed");
        const quint16 socksPort = dwtest::freePort();
        const QByteArray conf = "logoutput: stderr\n"
                                "internal: 127.0.0.1 port = " +
                                QByteArray::number(socksPort) +
                                "\n"
                                "external: 127.0.0.1\n"
                                "socksmethod: none\n"
                                "clientmethod: none\n"
                                "user.privileged: root\n"
                                "user.unprivileged: nobody\n"
                                "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
                                "socks pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n"
                                "  command: connect\n}\n";
        const QString confPath = dwtest::writeFile(dir.filePath("danted.conf"), conf);
        dwtest::Peer danted;
        QVERIFY(danted.start(prog, {"-f", confPath, "-p", dir.filePath("danted.pid")}));
        QVERIFY2(dwtest::waitForTcpPort(socksPort), qPrintable(danted.output()));

        TIRCClient a, b;
        IrcRecorder ra(a), rb(b);
        setup(a, "sam");
        setup(b, "sue");
        for (const char* level : {"5", "4"}) {
            a.Socket().SetSocksServer("127.0.0.1");
            a.Socket().SetSocksPort(QString::number(socksPort));
            a.Socket().SetSocksLevel(level);
            CHECKED(connectAndWait(a));
            if (b.State() != isConnected) CHECKED(connectAndWait(b));
            const QString text = QString("through SOCKS ") + level;
            a.Say("sue", text);
            QTRY_VERIFY_WITH_TIMEOUT(rb.log.contains("Message|sam|-|" + text), Wait);
            a.Disconnect(false);
            QTRY_COMPARE_WITH_TIMEOUT(a.State(), isDisconnected, Wait);
        }
        b.Disconnect(true);
        danted.stop();
    }

    void nickInUse()
    {
        TIRCClient a, b, c;
        IrcRecorder ra(a), rb(b), rc(c, true, true);
        setup(a, "dora");
        setup(b, "dora2");
        CHECKED(connectAndWait(a));
        CHECKED(connectAndWait(b));
        setup(c, "dora", "dora2");
        c.SetIRCX(true);
        rc.nicksInUseAnswer = "dora3";
        CHECKED(connectAndWait(c));
        QCOMPARE(c.CurrentNick(), QString("dora3"));
        QCOMPARE(rc.log.count("NicksInUse|dora2"), 1);
        QCOMPARE(std::count_if(rc.log.begin(), rc.log.end(),
                               [](const QString& l) { return l.startsWith("Error|433|"); }),
                 2);

        // With nothing left to try, the attempt is given up.
        TIRCClient d;
        IrcRecorder rd(d);
        setup(d, "dora", "dora2");
        d.Connect();
        QTRY_COMPARE_WITH_TIMEOUT(d.State(), isDisconnected, Wait);
        QCOMPARE(rd.log.count("Disconnect"), 1);
        for (TIRCClient* cl : {&a, &b, &c})
            cl->Disconnect(true);
    }
};

QTEST_GUILESS_MAIN(TestIrcPeer)
#include "test_ircpeer.moc"
