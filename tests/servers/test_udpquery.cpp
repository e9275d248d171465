// The UDP status query against game servers run by the test on loopback: replies in one
// and in several datagrams, players and characters, rules, late datagrams, the secure
// request, and a silent server given two attempts.
#include "customserver.h"
#include "udpquery.h"

#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

namespace {

// A game server on 127.0.0.1 that answers every request with a scripted set of datagrams;
// datagram i goes out delays[i] milliseconds after the request (0 when not given).
class TFakeGameServer
{
public:
    TFakeGameServer()
    {
        socket_.bind(QHostAddress::LocalHost, 0);
        QObject::connect(&socket_, &QUdpSocket::readyRead, [this] { Read(); });
    }
    QString port() const { return QString::number(socket_.localPort()); }

    QList<QByteArray> datagrams;
    QList<int> delays;
    QStringList requests;
    int sent = 0;

private:
    void Read()
    {
        while (socket_.hasPendingDatagrams()) {
            const QNetworkDatagram d = socket_.receiveDatagram();
            requests << QString::fromLatin1(d.data());
            for (int i = 0; i < datagrams.size(); ++i) {
                const QByteArray data = datagrams[i];
                const QHostAddress to = d.senderAddress();
                const quint16 port = quint16(d.senderPort());
                QTimer::singleShot(i < delays.size() ? delays[i] : 0, &socket_,
                                   [this, data, to, port] {
                                       socket_.writeDatagram(data, to, port);
                                       ++sent;
                                   });
            }
        }
    }
    QUdpSocket socket_;
};

QString Columns(const TCustomServer& s)
{
    QStringList c;
    s.GetColumns(c);
    c.removeAt(1); // the ping varies from run to run
    return c.join(QLatin1Char(','));
}

QString PlayerList(const TGameServer& s)
{
    QStringList out;
    for (const auto& p : s.Players) {
        QStringList c;
        p->GetColumns(c);
        out << c.join(QLatin1Char(','));
    }
    return out.join(QLatin1Char('|'));
}

QString RuleList(const TCustomServer& s)
{
    QStringList out;
    for (const TRule& r : s.Rules)
        out << r.Key + QLatin1Char('=') + r.Value;
    return out.join(QLatin1Char(';'));
}

const char kFullReply[] =
    "\\hostname\\Alpha Arena\\hostport\\7778\\maxplayers\\16\\numplayers\\2\\mapname\\DM-Deck"
    "\\gametype\\DeathMatch\\gamemode\\openplaying\\location\\3\\gamever\\436"
    "\\player_0\\Ann\\frags_0\\5\\deaths_0\\1\\ping_0\\40\\team_0\\1\\id_0\\7"
    "\\player_1\\Bob\\frags_1\\2\\ping_1\\80\\fraglimit\\30\\timelimit\\20"
    "\\final\\\\queryid\\1.1";

} // namespace

class TestUdpQuery : public QObject
{
    Q_OBJECT

private slots:
    void reply_data();
    void reply();
    void silentServerGetsTwoAttempts();
    void secureRequest();
    void freedByReceiver();
    void keyLookup_data();
    void keyLookup();
};

void TestUdpQuery::reply_data()
{
    QTest::addColumn<bool>("bgate");
    QTest::addColumn<QList<QByteArray>>("datagrams");
    QTest::addColumn<QList<int>>("delays");
    QTest::addColumn<QString>("hostPort");
    QTest::addColumn<QString>("columns");
    QTest::addColumn<QString>("players");
    QTest::addColumn<QString>("rules");

    const QByteArray full(kFullReply);
    const QString fullColumns = "Alpha Arena,2/16,DM-Deck,DeathMatch";
    const QString fullPlayers = "Ann,5,1,40,1|Bob,2,0,80,";
    const QString fullRules = "fraglimit=30;timelimit=20";

    QTest::newRow("one datagram") << false << QList<QByteArray>{full} << QList<int>{} << "7778"
                                  << fullColumns << fullPlayers << fullRules;
    // The last piece comes late: the query must wait for the datagram holding "\final".
    QTest::newRow("three datagrams")
        << false << QList<QByteArray>{full.left(40), full.mid(40, 100), full.mid(140)}
        << QList<int>{0, 10, 150} << "7778" << fullColumns << fullPlayers << fullRules;
    QTest::newRow("pieces after final are ignored")
        << false
        << QList<QByteArray>{"\\hostname\\Beta\\numplayers\\0\\final\\",
                             "\\late\\1\\hostport\\9999", "\\later\\2\\final\\"}
        << QList<int>{0, 0, 20} << "*"
        << "Beta,0/0,,"
        << ""
        << "";
    QTest::newRow("no hostport, more players claimed than sent")
        << false
        << QList<QByteArray>{"\\hostname\\Gamma\\numplayers\\3\\maxplayers\\8\\player_0\\Cy"
                             "\\frags_0\\x\\admin\\Dee\\final\\"}
        << QList<int>{} << "*"
        << "Gamma,3/8,,"
        << "Cy,0,0,0,|,0,0,0,|,0,0,0,"
        << "admin=Dee";
    QTest::newRow("characters of a bgate server")
        << true
        << QList<QByteArray>{"\\hostname\\Keep\\numplayers\\5\\maxplayers\\32\\mapname\\Vale"
                             "\\gamemode\\siege\\numcharacters\\2",
                             "\\player_0\\Elm\\team_0\\ann\\class_0\\Mage\\race_0\\Elf\\level_0"
                             "\\12\\player_1\\Oak\\team_1\\bob\\class_1\\Monk\\race_1\\Dwarf"
                             "\\level_1\\3\\motd\\hi\\final\\"}
        << QList<int>{} << "*"
        << "Keep,5/32,Vale,siege"
        << "Elm,ann,Mage,Elf,12|Oak,bob,Monk,Dwarf,3"
        << "motd=hi";
}

void TestUdpQuery::reply()
{
    QFETCH(bool, bgate);
    QFETCH(QList<QByteArray>, datagrams);
    QFETCH(QList<int>, delays);
    QFETCH(QString, hostPort);
    QFETCH(QString, columns);
    QFETCH(QString, players);
    QFETCH(QString, rules);

    TFakeGameServer game;
    game.datagrams = datagrams;
    game.delays = delays;
    const TServerClass& cls = bgate ? TBGateServer::Class() : TZelkServer::Class();
    std::unique_ptr<TCustomServer> made = cls.Create("127.0.0.1", game.port());
    auto* server = dynamic_cast<TZelkServer*>(made.get());
    QVERIFY(server);

    int done = 0;
    server->Query([&](TCustomServer* s) {
        QCOMPARE(s, server);
        ++done;
    });
    QTRY_COMPARE_WITH_TIMEOUT(done, 1, 5000);

    QVERIFY(server->Answered);
    QVERIFY(!server->Querying);
    QCOMPARE(server->QuerySocket, nullptr);
    QCOMPARE(game.requests, QStringList{"\\status\\"});
    QCOMPARE(server->HostPort, hostPort == "*" ? game.port() : hostPort);
    QCOMPARE(Columns(*server), columns);
    QCOMPARE(PlayerList(*server), players);
    QCOMPARE(RuleList(*server), rules);
    // The ping is the time from the request to the complete reply.
    QCOMPARE(server->Ping, server->Elapsed);
    const int lastDelay = delays.isEmpty() ? 0 : *std::max_element(delays.begin(), delays.end());
    if (lastDelay > 100)
        QVERIFY2(server->Elapsed >= lastDelay - 5, qPrintable(QString::number(server->Elapsed)));

    // Pieces still on their way after the reply was complete change nothing.
    // (A datagram on loopback is queued at the receiver when it is written.)
    const QString before = RuleList(*server) + Columns(*server);
    QTRY_COMPARE(game.sent, datagrams.size());
    QCoreApplication::processEvents();
    QCOMPARE(RuleList(*server) + Columns(*server), before);
}

void TestUdpQuery::silentServerGetsTwoAttempts()
{
    TFakeGameServer game; // answers nothing
    TZelkServer server("127.0.0.1", game.port());
    server.Timeout = 200;
    server.Name = "stale";
    int done = 0;
    server.Query([&](TCustomServer*) { ++done; });
    QTRY_COMPARE_WITH_TIMEOUT(done, 1, 5000);
    QCOMPARE(game.requests, (QStringList{"\\status\\", "\\status\\"}));
    QVERIFY(!server.Answered);
    QVERIFY(!server.Querying);
    QCOMPARE(server.RetryCount, 0);
    QCOMPARE(server.QuerySocket, nullptr);
    // The empty reply of the last attempt was parsed.
    QCOMPARE(server.Name, QString());
    QCOMPARE(server.HostPort, game.port());
    QVERIFY(server.Elapsed >= 190);
}

void TestUdpQuery::secureRequest()
{
    TFakeGameServer game;
    game.datagrams = {"\\hostname\\S\\final\\"};
    TZelkServer server("127.0.0.1", game.port());
    server.Secure = true;
    int done = 0;
    server.Query([&](TCustomServer*) { ++done; });
    QTRY_COMPARE_WITH_TIMEOUT(done, 1, 5000);
    QCOMPARE(game.requests.size(), 1);
    QVERIFY2(QRegularExpression(R"(^\\status\\\\secure\\[A-Za-z0-9]{6}$)")
                 .match(game.requests[0])
                 .hasMatch(),
             qPrintable(game.requests[0]));
    QCOMPARE(server.Name, QString("S"));
}

void TestUdpQuery::freedByReceiver()
{
    // The receiver of the completion frees the server while its datagram is being handled;
    // the second piece of the same burst then finds nobody.
    TFakeGameServer game;
    game.datagrams = {"\\hostname\\Gone\\final\\", "\\late\\1"};
    auto* server = new TZelkServer("127.0.0.1", game.port());
    QString name;
    int completions = 0;
    server->Query([&](TCustomServer* s) {
        ++completions;
        name = s->Name;
        delete s;
    });
    QTRY_COMPARE_WITH_TIMEOUT(name, QString("Gone"), 5000);
    QTRY_COMPARE(game.sent, 2);
    QCoreApplication::processEvents();
    QCOMPARE(completions, 1);

    // Freed in the middle of an attempt: its socket goes with it.
    TFakeGameServer silent;
    bool called = false;
    auto* waiting = new TZelkServer("127.0.0.1", silent.port());
    waiting->Timeout = 50;
    waiting->Query([&](TCustomServer*) { called = true; });
    QTRY_COMPARE(silent.requests.size(), 1);
    delete waiting;
    QVERIFY(!called);
}

void TestUdpQuery::keyLookup_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("rest");
    QTest::newRow("middle") << "\\a\\1\\b\\2\\c\\3"
                            << "b"
                            << "2"
                            << "\\a\\1\\c\\3";
    QTest::newRow("last") << "\\a\\1\\b\\2"
                          << "b"
                          << "2"
                          << "\\a\\1";
    QTest::newRow("absent") << "\\a\\1"
                            << "b"
                            << ""
                            << "\\a\\1";
    QTest::newRow("case counts") << "\\A\\1"
                                 << "a"
                                 << ""
                                 << "\\A\\1";
    QTest::newRow("first of two") << "\\a\\1\\a\\2"
                                  << "a"
                                  << "1"
                                  << "\\a\\2";
    QTest::newRow("ends at a control character") << "\\a\\x\ny\\b\\2"
                                                 << "a"
                                                 << "x"
                                                 << "\ny\\b\\2";
    QTest::newRow("player_1 is not player_10") << "\\player_10\\x\\player_1\\y"
                                               << "player_1"
                                               << "y"
                                               << "\\player_10\\x";
}

void TestUdpQuery::keyLookup()
{
    QFETCH(QString, text);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, rest);
    QCOMPARE(ZelkKeyValue(text, key), value);
    QString t = text;
    QCOMPARE(TakeZelkKeyValue(t, key), value);
    QCOMPARE(t, rest);
}

QTEST_GUILESS_MAIN(TestUdpQuery)
#include "test_udpquery.moc"
