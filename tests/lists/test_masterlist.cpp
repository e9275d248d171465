// Master server lists against a master run by the test on loopback: the challenge and the
// validation value (checked by the master's own computation), the list request, entries,
// "\final\" whole or split, a master closing without it, silence, abort and refusal; the
// servers found are queried over UDP through the update cycle.
#include "listfactory.h"
#include "masterlist.h"
#include "radiobrowser.h"

#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

namespace {

// The master's own computation of the validation value.
QByteArray MasterExpects(const QByteArray& challenge)
{
    const QByteArray key = "kTqBwe";
    unsigned char box[256];
    for (int n = 0; n < 256; ++n)
        box[n] = static_cast<unsigned char>(n);
    unsigned j = 0;
    for (unsigned i = 0; i < 256; ++i) {
        j = (j + static_cast<unsigned char>(key[i % 6]) + box[i]) & 0xff;
        std::swap(box[i], box[j]);
    }
    QByteArray out = challenge;
    unsigned x = 0, y = 0;
    for (int k = 0; k < 6; ++k) {
        const unsigned b = static_cast<unsigned char>(out[k]);
        x = (x + b + 1) & 0xff;
        y = (y + box[x]) & 0xff;
        std::swap(box[x], box[y]);
        out[k] = char(b ^ box[(box[x] + box[y]) & 0xff]);
    }
    return out.toBase64();
}

// A master server on 127.0.0.1: greets with a random challenge, checks the validation and
// the list request, then sends its pieces, one per `gapMs`, and closes unless told not to.
class TFakeMaster
{
public:
    TFakeMaster()
    {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] { Accept(); });
    }
    QString port() const { return QString::number(server_.serverPort()); }

    QString expectedRequest = "\\list\\\\gamename\\unreal";
    QList<QByteArray> pieces;
    int gapMs = 0;
    bool closeAtEnd = true;
    bool silent = false; // greets, then says nothing more

    bool validated = false;
    bool requestSeen = false;
    bool clientClosed = false;
    int piecesSent = 0;

    void Close()
    {
        if (client_) client_->disconnectFromHost();
    }

private:
    void Accept()
    {
        client_ = server_.nextPendingConnection();
        QObject::connect(client_, &QTcpSocket::readyRead, [this] { Read(); });
        QObject::connect(client_, &QTcpSocket::disconnected, [this] { clientClosed = true; });
        for (int i = 0; i < 6; ++i)
            challenge_ += "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                [QRandomGenerator::global()->bounded(62)];
        client_->write("\\basic\\\\secure\\" + challenge_);
    }
    void Read()
    {
        in_ += client_->readAll();
        const QByteArray validation = "\\gamename\\velmoralite\\gamever\\01\\location\\0"
                                      "\\validate\\" +
                                      MasterExpects(challenge_) + "\\final\\\\queryid\\1.1";
        if (!in_.startsWith(validation)) {
            if (in_.size() >= validation.size()) client_->abort(); // a wrong answer
            return;
        }
        validated = true;
        if (in_.mid(validation.size()) != expectedRequest.toLatin1()) return;
        requestSeen = true;
        if (!silent) SendNext();
    }
    void SendNext()
    {
        if (piecesSent == pieces.size()) {
            if (closeAtEnd) client_->disconnectFromHost();
            return;
        }
        client_->write(pieces[piecesSent++]);
        client_->flush();
        QTimer::singleShot(gapMs, client_, [this] { SendNext(); });
    }

    QTcpServer server_;
    QTcpSocket* client_ = nullptr;
    QByteArray challenge_;
    QByteArray in_;
};

// A game server that answers every status request at once.
class TFakeGameServer
{
public:
    explicit TFakeGameServer(const QByteArray& reply) : reply_(reply)
    {
        socket_.bind(QHostAddress::LocalHost, 0);
        QObject::connect(&socket_, &QUdpSocket::readyRead, [this] {
            while (socket_.hasPendingDatagrams()) {
                const QNetworkDatagram d = socket_.receiveDatagram();
                socket_.writeDatagram(d.makeReply(reply_));
            }
        });
    }
    QString port() const { return QString::number(socket_.localPort()); }

private:
    QByteArray reply_;
    QUdpSocket socket_;
};

// The lists with quick server queries: silent entries must not hold a test up for seconds.
template <class TList> class TQuickList : public TList
{
public:
    TServerRef CreateServer(const QString& address, const QString& port) override
    {
        auto s = TList::CreateServer(address, port);
        s->Timeout = 150;
        return s;
    }
};

struct TRecorder
{
    QStringList status;
    QStringList done; // "address:port name answered"
    int complete = 0;
    std::vector<TServerRef> owned; // the reported servers are ours
    void Bind(TCustomServerList& l)
    {
        l.OnStatus = [this](TCustomServerList*, int, const QString& t) { status << t; };
        l.OnServerDone = [this](TCustomServerList*, TCustomServer* s) {
            done << s->Address + ':' + s->Port + ' ' + s->Name + ' ' + (s->Answered ? "yes" : "no");
            owned.push_back(s->shared_from_this());
        };
        l.OnComplete = [this](TCustomServerList*) { ++complete; };
    }
};

// The servers reported, in the order they were.
QStringList ServerKeys(const TRecorder& rec)
{
    QStringList out;
    for (const TServerRef& s : rec.owned)
        out << s->Address + ':' + s->Port;
    return out;
}

} // namespace

class TestMasterList : public QObject
{
    Q_OBJECT

private slots:
    void validationValue_data();
    void validationValue();
    void parseEntries_data();
    void parseEntries();
    void fetchAndQuery_data();
    void fetchAndQuery();
    void finalSplitAcrossArrivals();
    void silentMasterTimesOut();
    void abortDuringFetch();
    void refusedConnection();
    void productSwitch();
};

void TestMasterList::validationValue_data()
{
    QTest::addColumn<QByteArray>("challenge");
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("ABCDEF") << QByteArray("ABCDEF") << QByteArray("Uk3sJHB0");
    QTest::newRow("qwerty") << QByteArray("qwerty") << QByteArray("dCc9ByPv");
    QTest::newRow("000000") << QByteArray("000000") << QByteArray("Og1uN0OM");
    QTest::newRow("only the first six count") << QByteArray("ABCDEFGH") << QByteArray("Uk3sJHB0");
    QTest::newRow("short, zero bytes stand in")
        << QByteArray("ABC") << MasterExpects(QByteArray("ABC\0\0\0", 6));
}

void TestMasterList::validationValue()
{
    QFETCH(QByteArray, challenge);
    QFETCH(QByteArray, value);
    QCOMPARE(ZelkValidationValue(challenge), value);
}

void TestMasterList::parseEntries_data()
{
    QTest::addColumn<QString>("received");
    QTest::addColumn<QStringList>("servers");
    QTest::newRow("with and without port") << "\\ip\\127.0.0.1:7777\\ip\\127.0.0.2\\final\\"
                                           << QStringList{"127.0.0.1:7777", "127.0.0.2:1025"};
    QTest::newRow("malformed entries are skipped")
        << "\\ip\\localhost:7000\\ip\\127.0.0:1\\ip\\127.0.0.1.5:2\\ip\\127.0.0.x:3\\ip\\0.1.2.3:4"
           "\\ip\\\\ip\\127.0.0.9:5\\ip\\1...:6\\ip\\127.0.0.300:7"
        << QStringList{"127.0.0.9:5"};
    QTest::newRow("port that is not a port")
        << "\\ip\\127.0.0.1:\\ip\\127.0.0.2:99999\\ip\\127.0.0.3:0\\ip\\127.0.0.4:1:2"
        << QStringList{"127.0.0.1:1025", "127.0.0.2:1025", "127.0.0.3:1025", "127.0.0.4:1025"};
    QTest::newRow("text before the first entry and control characters")
        << "junk\\ip\\127.0.0.1:80\r\n\\ip\\127.0.0.2:81"
        << QStringList{"127.0.0.1:80", "127.0.0.2:81"};
    QTest::newRow("nothing") << "\\final\\" << QStringList{};
}

void TestMasterList::parseEntries()
{
    QFETCH(QString, received);
    QFETCH(QStringList, servers);
    QStringList got;
    for (const TMasterListEntry& e : ParseMasterList(received))
        got << e.Host + ':' + e.Port;
    QCOMPARE(got, servers);
}

void TestMasterList::fetchAndQuery_data()
{
    QTest::addColumn<bool>("bgate");
    QTest::addColumn<bool>("withFinal");
    QTest::newRow("generic list, final") << false << true;
    QTest::newRow("generic list, master closes without final") << false << false;
    QTest::newRow("bgate list, final") << true << true;
}

void TestMasterList::fetchAndQuery()
{
    QFETCH(bool, bgate);
    QFETCH(bool, withFinal);

    TFakeGameServer game("\\hostname\\Found It\\numplayers\\1\\numcharacters\\0\\final\\");
    TFakeMaster master;
    std::unique_ptr<TCustomZelkServerList> list;
    if (bgate) {
        list = std::make_unique<TQuickList<TZelkBGateServerList>>();
        list->ListFilter = "\\where\\x";
        master.expectedRequest = "\\list\\\\gamename\\bgate\\where\\x";
    } else {
        auto generic = std::make_unique<TQuickList<TZelkGenericList>>();
        generic->SetGameName("unreal");
        list = std::move(generic);
    }
    QCOMPARE(list->MaxActive, 10);
    const QByteArray entries = "\\ip\\127.0.0.1:" + game.port().toLatin1() +
                               "\\ip\\127.0.0.2\\ip\\localhost:7000\\ip\\127.0.0:7003";
    master.pieces = {entries.left(20), entries.mid(20)};
    if (withFinal) master.pieces << "\\final\\";
    master.gapMs = 30;
    list->MasterHost = "127.0.0.1";
    list->MasterPort = master.port();
    TRecorder rec;
    rec.Bind(*list);

    list->RefreshAll();
    QCOMPARE(list->State, quint8(TCustomServerList::lsFetching));
    QTRY_COMPARE_WITH_TIMEOUT(rec.complete, 1, 10000);

    QVERIFY(master.validated);
    QVERIFY(master.requestSeen);
    QTRY_VERIFY(master.clientClosed);
    QCOMPARE(ServerKeys(rec), (QStringList{"127.0.0.1:" + game.port(), "127.0.0.2:1025"}));
    QVERIFY(list->Servers.isEmpty()); // dropped with the cycle
    for (const TServerRef& s : rec.owned)
        QVERIFY(s->InheritsFrom(bgate ? TBGateServer::Class() : TZelkServer::Class()));
    QCOMPARE(rec.done,
             (QStringList{"127.0.0.1:" + game.port() + " Found It yes", "127.0.0.2:1025  no"}));

    // The status counts the list text only, never the greeting.
    const int total = int(entries.size()) + (withFinal ? 7 : 0);
    QCOMPARE(rec.status.first(), QString("Server List"));
    QCOMPARE(rec.status[1], QString("Server List (0)"));
    QVERIFY(rec.status.contains(QString("Server List (%1)").arg(total)));
    QVERIFY(rec.status.contains("Updating Servers"));
    QCOMPARE(rec.status.last(), QString("Updates Complete"));
}

void TestMasterList::finalSplitAcrossArrivals()
{
    TFakeMaster master;
    master.pieces = {"\\ip\\127.0.0.5:7005\\fi", "nal\\"};
    master.gapMs = 50;
    master.closeAtEnd = false;
    TQuickList<TZelkGenericList> list;
    list.SetGameName("unreal");
    list.MasterHost = "127.0.0.1";
    list.MasterPort = master.port();
    TRecorder rec;
    rec.Bind(list);
    list.RefreshAll();

    // Both halves are in, yet neither arrival held "\final\": the list is still open.
    QTRY_VERIFY_WITH_TIMEOUT(rec.status.contains("Server List (25)"), 5000);
    QCOMPARE(list.State, quint8(TCustomServerList::lsFetching));
    QVERIFY(list.Servers.isEmpty());

    master.Close();
    QTRY_COMPARE_WITH_TIMEOUT(rec.complete, 1, 5000);
    QCOMPARE(ServerKeys(rec), QStringList{"127.0.0.5:7005"});
}

void TestMasterList::silentMasterTimesOut()
{
    TFakeMaster master;
    master.silent = true;
    TZelkGenericList list;
    list.SetGameName("unreal");
    list.MasterHost = "127.0.0.1";
    list.MasterPort = master.port();
    list.ListTimeoutMs = 300;
    TRecorder rec;
    rec.Bind(list);
    list.RefreshAll();
    QTRY_COMPARE_WITH_TIMEOUT(rec.complete, 1, 5000);
    QVERIFY(master.requestSeen);
    QCOMPARE(rec.status, (QStringList{"Server List", "Server List (0)", "List Timed Out",
                                      "Aborting Updates", "Updates Complete"}));
    QCOMPARE(list.State, quint8(TCustomServerList::lsIdle));
    QTRY_VERIFY(master.clientClosed);
}

void TestMasterList::abortDuringFetch()
{
    TFakeMaster master;
    master.silent = true;
    TZelkGenericList list;
    list.SetGameName("unreal");
    list.MasterHost = "127.0.0.1";
    list.MasterPort = master.port();
    TRecorder rec;
    rec.Bind(list);
    list.RefreshAll();
    QTRY_VERIFY(master.requestSeen);
    list.Abort();
    list.Abort();
    QCOMPARE(rec.complete, 1);
    QCOMPARE(rec.status, (QStringList{"Server List", "Server List (0)", "Aborting Updates",
                                      "Updates Complete"}));
    QTRY_VERIFY(master.clientClosed);
}

void TestMasterList::refusedConnection()
{
    // Nothing listens there: the transfer ends at once with no servers.
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const QString port = QString::number(probe.serverPort());
    probe.close();
    TZelkGenericList list;
    list.MasterHost = "127.0.0.1";
    list.MasterPort = port;
    TRecorder rec;
    rec.Bind(list);
    list.RefreshAll();
    QTRY_COMPARE_WITH_TIMEOUT(rec.complete, 1, 5000);
    QVERIFY(list.Servers.isEmpty());
    QCOMPARE(rec.status.last(), QString("Updates Complete"));
}

void TestMasterList::productSwitch()
{
    TFakeGameServer game("\\hostname\\Base Game\\final\\");
    TFakeMaster master;
    master.pieces = {"\\ip\\127.0.0.1:" + game.port().toLatin1() + "\\final\\"};
    qputenv("DIALWISE_MASTER_HOST", "127.0.0.1:" + master.port().toLatin1());
    qputenv("DIALWISE_PRODUCT", "base");
    ReloadProfile();
    std::unique_ptr<TCustomServerList> list = CreateServerList(Profile());
    qunsetenv("DIALWISE_PRODUCT");
    qunsetenv("DIALWISE_MASTER_HOST");
    ReloadProfile();

    auto* generic = dynamic_cast<TZelkGenericList*>(list.get());
    QVERIFY(generic);
    QCOMPARE(generic->GameName, QString("unreal"));
    QCOMPARE(generic->MaxActive, 10);
    QCOMPARE(QString(generic->ServerClass().ClassName), QString("TZelkServer"));
    TRecorder rec;
    rec.Bind(*list);
    list->RefreshAll();
    QTRY_COMPARE_WITH_TIMEOUT(rec.complete, 1, 5000);
    QVERIFY(master.requestSeen);
    QCOMPARE(rec.done, QStringList{"127.0.0.1:" + game.port() + " Base Game yes"});

    // The radio product lists stations: from its list server when one is set, else from the
    // station directory; a profile may name the other game list.
    qputenv("DIALWISE_LIST_HOST", "127.0.0.1:1");
    QVERIFY(dynamic_cast<TSCServerList*>(CreateServerList(MakeProfile(TProduct::Radio)).get()));
    qunsetenv("DIALWISE_LIST_HOST");
    qputenv("DIALWISE_RADIOBROWSER", "http://127.0.0.1:1");
    QVERIFY(dynamic_cast<TRadioBrowserList*>(CreateServerList(MakeProfile(TProduct::Radio)).get()));
    qunsetenv("DIALWISE_RADIOBROWSER");
    TProductProfile bgate = MakeProfile(TProduct::Base);
    bgate.ServerListClass = "TZelkBGateServerList";
    bgate.MasterHost = "127.0.0.1";
    std::unique_ptr<TCustomServerList> other = CreateServerList(bgate);
    QVERIFY(dynamic_cast<TZelkBGateServerList*>(other.get()));
    QCOMPARE(other->MasterPort, QString("28900"));
}

QTEST_GUILESS_MAIN(TestMasterList)
#include "test_masterlist.moc"
