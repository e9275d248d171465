// The server model: durations, columns, rules, info lines, players and the query cycle
// with its time-out and retry, and the station query without ping.
#include "asyncping.h"
#include "config.h"
#include "customserver.h"
#include "netutils.h"
#include "productprofile.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

class TestCustomServer : public QObject
{
    Q_OBJECT

private slots:
    void init() { ProgramValues().PingMode = 2; }

    void durationText_data();
    void durationText();
    void columnNames_data();
    void columnNames();
    void stationColumns();
    void setRules_data();
    void setRules();
    void infoLines();
    void players_data();
    void players();
    void classOperations();
    void silentServerRetriesOnce();
    void answeringServerCompletesOnFirstAttempt();
    void destroyWhileQuerying();
    void stationWithoutPing_data();
    void stationWithoutPing();
    void latePingResultIgnored();
};

void TestCustomServer::durationText_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << qint64(0) << "0";
    QTest::newRow("negative") << qint64(-5) << "0";
    QTest::newRow("seconds only") << qint64(59) << "0m";
    QTest::newRow("one minute") << qint64(60) << "1m";
    QTest::newRow("one hour") << qint64(3600) << "1h 0m";
    QTest::newRow("one day") << qint64(86400) << "1d 0m";
    QTest::newRow("day hour minute") << qint64(90061) << "1d 1h 1m";
    QTest::newRow("many days") << qint64(40 * 86400 + 23 * 3600 + 59 * 60 + 59) << "40d 23h 59m";
}

void TestCustomServer::durationText()
{
    QFETCH(qint64, seconds);
    QFETCH(QString, text);
    QCOMPARE(DurationText(seconds), text);
}

void TestCustomServer::columnNames_data()
{
    QTest::addColumn<QString>("cls");
    QTest::addColumn<QString>("expected"); // caption:kind, ...
    QTest::newRow("station") << "TSCServer"
                             << "Station Name:0,Ping:1,Listeners:2,Bitrate:3,Avg Time:5,Uptime:4";
    QTest::newRow("zelk") << "TZelkServer"
                          << "Server Name:0,Ping:1,Players:2,Map:0,Game Type:0";
    QTest::newRow("bgate") << "TBGateServer"
                           << "Server Name:0,Ping:1,Players:2,Map:0,Game Mode:0";
    QTest::newRow("player") << "TCustomPlayer"
                            << "Name:0,Frags:0,Ping:1";
    QTest::newRow("zelk player") << "TZelkPlayer"
                                 << "Name:0,Frags:0,Deaths:0,Ping:1,Team:0";
    QTest::newRow("bgate player") << "TBGatePlayer"
                                  << "Name:0,Owner:0,Class:0,Race:0,Level:0";
}

void TestCustomServer::columnNames()
{
    QFETCH(QString, cls);
    QFETCH(QString, expected);
    TColumnNames names;
    int count = -1;
    if (cls == "TSCServer") {
        names = TSCServer::Class().ColumnNames();
        count = TSCServer::Class().ColumnCount();
    } else if (cls == "TZelkServer") {
        names = TZelkServer::Class().ColumnNames();
        count = TZelkServer::Class().ColumnCount();
    } else if (cls == "TBGateServer") {
        names = TBGateServer::Class().ColumnNames();
        count = TBGateServer::Class().ColumnCount();
    } else if (cls == "TCustomPlayer") {
        names = TCustomPlayer::Class().ColumnNames();
        count = TCustomPlayer::Class().ColumnCount();
    } else if (cls == "TZelkPlayer") {
        names = TZelkPlayer::Class().ColumnNames();
        count = TZelkPlayer::Class().ColumnCount();
    } else {
        names = TBGatePlayer::Class().ColumnNames();
        count = TBGatePlayer::Class().ColumnCount();
    }
    QStringList got;
    for (const TColumnInfo& c : names)
        got << c.Caption + ":" + QString::number(c.Kind);
    QCOMPARE(got.join(","), expected);
    QCOMPARE(count, names.size());
}

void TestCustomServer::stationColumns()
{
    TSCServer s("127.0.0.5", "8000");
    QCOMPARE(s.HostPort, QString("8000"));
    QCOMPARE(s.Ping, 9999);
    QCOMPARE(s.Timeout, 2000);
    QCOMPARE(s.MaxRetries, 1);
    s.Name = "Radio A";
    s.Ping = 42;
    s.NumPlayers = 7;
    s.MaxPlayers = 100;
    s.Bitrate = 128;
    s.AvgTime = 3660;
    QStringList cols;
    s.GetColumns(cols);
    QCOMPARE(cols, QStringList({"Radio A", "42", "7/100", "128", "1h 1m", "0"}));

    // A station up for a day and two hours, counted from now.
    s.UpSince = int(UnixTimeNow() - 26 * 3600 - 30);
    cols.clear();
    s.GetColumns(cols);
    QCOMPARE(cols.last(), QString("1d 2h 0m"));

    // A new list every time: changing one leaves the next untouched.
    TColumnNames a = s.ColumnNames();
    a[0].Caption = "changed";
    QCOMPARE(s.ColumnNames().first().Caption, QString("Station Name"));
}

void TestCustomServer::setRules_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("rules"); // key=value;...
    QTest::newRow("filtered keys") << "\\hostname\\A\\final\\\\queryid\\1.1"
                                   << "hostname=A";
    QTest::newRow("gamename dropped") << "\\gamename\\x\\map\\dm1"
                                      << "map=dm1";
    QTest::newRow("empty key skipped") << "\\\\v\\k\\w"
                                       << "k=w";
    QTest::newRow("control chars deleted") << "\\ho\x01st\\v\tal\\k\\\xe9x"
                                           << "host=val;k=x";
    QTest::newRow("missing value") << "\\a\\1\\b"
                                   << "a=1;b=";
    QTest::newRow("no backslash") << "plain"
                                  << "";
}

void TestCustomServer::setRules()
{
    QFETCH(QString, text);
    QFETCH(QString, rules);
    TCustomServer s("127.0.0.1", "1");
    s.AddRule("old", "x");
    s.SetRules(text);
    QStringList got;
    for (const TRule& r : s.Rules)
        got << r.Key + "=" + r.Value;
    QCOMPARE(got.join(";"), rules);
}

void TestCustomServer::infoLines()
{
    TSCServer s("127.0.0.9", "8010");
    s.URL = "http://127.0.0.9/home";
    s.ChatIP = "127.0.0.9:8010";
    s.Name = "Radio B";
    s.Genre = "jazz";
    s.AvgTime = 120;
    s.Bitrate = 64;
    s.NumPlayers = 3;
    s.MaxPlayers = 32;
    QVERIFY(s.Rules.isEmpty()); // made when asked for, not kept
    QStringList keys;
    for (const TRule& r : s.InfoLines())
        keys << r.Key;
    // No up time without UpSince.
    QCOMPARE(keys, QStringList({"Server URL", "Current Song", "Server Address", "Server Name",
                                "Genre", "Average Listen Time", "Bitrate", "Listeners"}));
    QCOMPARE(s.RuleValue("Current Song"),
             "Unknown - See " + Profile().WebSite + "/plugin for more info");
    QCOMPARE(s.RuleValue("Average Listen Time"), QString("2m"));
    QCOMPARE(s.RuleValue("Listeners"), QString("3/32"));

    s.SongTitle = "Artist - Song";
    s.UpSince = int(UnixTimeNow() - 7200);
    const QList<TRule> lines = s.InfoLines();
    QCOMPARE(lines.size(), 9);
    QCOMPARE(s.RuleValue("Current Song"), QString("Artist - Song"));
    QCOMPARE(lines.last().Key, QString("Total up time"));
    QCOMPARE(lines.last().Value, QString("2h 0m"));
}

void TestCustomServer::players_data()
{
    QTest::addColumn<QString>("cls");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("columns");
    const QString text = "\\player\\Ann\\frags\\12\\deaths\\3\\ping\\55\\team\\red\\id\\7"
                         "\\class\\mage\\level\\9\\race\\elf";
    QTest::newRow("custom") << "TCustomPlayer" << text << QStringList{"Ann", "12", "55"};
    QTest::newRow("zelk") << "TZelkPlayer" << text << QStringList{"Ann", "12", "3", "55", "red"};
    QTest::newRow("bgate") << "TBGatePlayer" << text
                           << QStringList{"Ann", "red", "mage", "elf", "9"};
    QTest::newRow("missing and malformed")
        << "TZelkPlayer"
        << "\\player\\Bo\\frags\\x1" << QStringList{"Bo", "0", "0", "0", ""};
}

void TestCustomServer::players()
{
    QFETCH(QString, cls);
    QFETCH(QString, text);
    QFETCH(QStringList, columns);
    const TPlayerClass& pc = cls == "TCustomPlayer" ? TCustomPlayer::Class()
                             : cls == "TZelkPlayer" ? TZelkPlayer::Class()
                                                    : TBGatePlayer::Class();
    std::unique_ptr<TCustomPlayer> p = pc.Create(text);
    QCOMPARE(QString(p->ClassType().ClassName), cls);
    QStringList got;
    p->GetColumns(got);
    QCOMPARE(got, columns);
    QCOMPARE(got.size(), p->ColumnCount());
}

void TestCustomServer::classOperations()
{
    // Virtual constructors build the class asked for.
    std::unique_ptr<TCustomServer> s = TSCServer::Class().Create("127.0.0.2", "9000");
    QVERIFY(dynamic_cast<TSCServer*>(s.get()));
    QVERIFY(s->InheritsFrom(TCustomServer::Class()));
    QVERIFY(!s->InheritsFrom(TGameServer::Class()));
    std::unique_ptr<TCustomServer> g = TBGateServer::Class().Create("127.0.0.3", "27960");
    QVERIFY(g->InheritsFrom(TZelkServer::Class()));
    QVERIFY(g->InheritsFrom(TGameServer::Class()));
    QCOMPARE(g->PlayerClass(), &TBGatePlayer::Class());
    QCOMPARE(
        static_cast<TZelkServer*>(g.get())->PlayerKeys,
        QStringList({"player", "frags", "deaths", "ping", "team", "id", "class", "level", "race"}));
    static_cast<TGameServer*>(g.get())->AddPlayer("\\player\\Cy\\team\\blue");
    QCOMPARE(static_cast<TBGatePlayer*>(static_cast<TGameServer*>(g.get())->Players[0].get())->Team,
             QString("blue"));
    QCOMPARE(TZelkServer::Class().PlayerClass(), &TZelkPlayer::Class());
    QVERIFY(TGameServer::Class().Create == nullptr); // abstract

    try {
        TSCServer::Class().PlayerClass();
        QFAIL("a station has no player class");
    } catch (const EAssertionFailed& e) {
        QCOMPARE(e.Text, QString("TRIED TO GET SHOUTCAST PLAYER CLASS"));
        QCOMPARE(QString(e.Source), QString("customserver"));
        QCOMPARE(e.Line, 594);
    }
}

void TestCustomServer::silentServerRetriesOnce()
{
    TCustomServer s("127.0.0.1", "1");
    s.Timeout = 60;
    int calls = 0;
    QElapsedTimer clock;
    clock.start();
    s.Query([&](TCustomServer* done) {
        ++calls;
        QCOMPARE(done, &s);
    });
    QVERIFY(s.Querying);
    QVERIFY(s.QueryTimer);
    QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 3000);
    const qint64 took = clock.elapsed();
    QVERIFY2(took >= 110, qPrintable(QString::number(took))); // two attempts
    QVERIFY(!s.Answered);
    QCOMPARE(s.RetryCount, 0);
    QVERIFY(!s.Querying);
    QVERIFY(!s.QueryTimer);
    // Nothing more arrives later.
    QTest::qWait(200);
    QCOMPARE(calls, 1);
}

namespace {
// Answers on the given attempt (0 = first) a little after the attempt starts.
class TAnsweringServer : public TCustomServer
{
public:
    TAnsweringServer(int answerOn) : TCustomServer("127.0.0.1", "2"), answerOn_(answerOn) {}
    void Query(TQueryDoneEvent onDone) override
    {
        TCustomServer::Query(std::move(onDone));
        ++attempts;
        if (attempts - 1 == answerOn_)
            QTimer::singleShot(10, [this] {
                if (QueryTimer && Answered) QueryDone();
            });
    }
    int attempts = 0;

private:
    int answerOn_;
};
} // namespace

void TestCustomServer::answeringServerCompletesOnFirstAttempt()
{
    for (int answerOn : {0, 1}) {
        TAnsweringServer s(answerOn);
        s.Timeout = 80;
        int calls = 0;
        s.Query([&](TCustomServer*) { ++calls; });
        QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 2000);
        QVERIFY(s.Answered);
        QCOMPARE(s.attempts, answerOn + 1);
        QCOMPARE(s.RetryCount, 0);
    }
}

void TestCustomServer::destroyWhileQuerying()
{
    int calls = 0;
    {
        auto s = std::make_unique<TCustomServer>("127.0.0.1", "3");
        s->Timeout = 20;
        s->Query([&](TCustomServer*) { ++calls; });
    }
    QTest::qWait(100);
    QCOMPARE(calls, 0);
}

void TestCustomServer::stationWithoutPing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("ping");
    QTest::newRow("listed ping kept") << "Radio C" << 37;
    QTest::newRow("not responding") << "NOT RESPONDING" << 9999;
}

void TestCustomServer::stationWithoutPing()
{
    QFETCH(QString, name);
    QFETCH(int, ping);
    ProgramValues().PingMode = 2;
    TSCServer s("127.0.0.4", "8000");
    s.Name = name;
    s.Ping = 37;
    int calls = 0;
    QElapsedTimer clock;
    clock.start();
    s.Query([&](TCustomServer*) { ++calls; });
    QVERIFY(!s.PingThread);
    QCOMPARE(s.InfoLines().size(), 8);
    // Without a ping the attempt ends from the loop at once, not inside Query and not
    // after a wait (ten thousand stations would wait 100 ms each).
    QCOMPARE(calls, 0);
    QVERIFY(s.QueryTimer);
    QCOMPARE(s.QueryTimer->interval(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 20000);
    QVERIFY(clock.elapsed() < 90);
    QVERIFY(s.Answered);
    QCOMPARE(s.Ping, ping);
}

void TestCustomServer::latePingResultIgnored()
{
    ProgramValues().PingMode = 2;
    TSCServer s("127.0.0.4", "8000");
    s.Ping = 11;
    int calls = 0;
    s.Query([&](TCustomServer*) { ++calls; });
    // A result from a request that is not the station's current one changes nothing.
    int bogus = 0;
    s.PingDone(&bogus);
    QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 1000);
    // After the query: ignored as well.
    s.PingDone(&bogus);
    QCOMPARE(calls, 1);
    QCOMPARE(s.Ping, 11);
}

QTEST_GUILESS_MAIN(TestCustomServer)
#include "test_customserver.moc"
