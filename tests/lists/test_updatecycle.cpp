// The update cycle: at most MaxActive queries in flight, list order, status texts and
// percentages, abort in each state, the inactivity time-out and completion once.
#include "customserverlist.h"

#include <QTest>
#include <QTimer>

namespace {

// A server whose query ends when the test says so (or never).
class TScriptedServer : public TCustomServer
{
public:
    explicit TScriptedServer(int n) : TCustomServer("127.0.0.1", QString::number(9000 + n))
    {
        Timeout = 60000;
    }
    void Query(TQueryDoneEvent onDone) override
    {
        ++queries;
        TCustomServer::Query(std::move(onDone));
    }
    void Answer()
    {
        if (QueryTimer && Answered) QueryDone();
    }
    int queries = 0;
};

// A list whose source is scripted: FetchList waits, Deliver hands over the servers.
class TScriptedList : public TCustomServerList
{
public:
    void FetchList() override
    {
        TCustomServerList::FetchList();
        ++fetches;
    }
    void CancelFetch() override
    {
        ++cancels;
        TCustomServerList::CancelFetch();
    }
    void Deliver(const QList<TServerRef>& list)
    {
        Servers = list;
        ListReceived();
    }
    int fetches = 0;
    int cancels = 0;
};

struct TRecorder
{
    QStringList status; // "percent text"
    QList<TCustomServer*> done;
    int complete = 0;
    void Bind(TCustomServerList& l)
    {
        l.OnStatus = [this](TCustomServerList*, int p, const QString& t) {
            status << QString::number(p) + " " + t;
        };
        l.OnServerDone = [this](TCustomServerList*, TCustomServer* s) { done << s; };
        l.OnComplete = [this](TCustomServerList*) { ++complete; };
    }
};

int InFlight(const std::vector<std::shared_ptr<TScriptedServer>>& servers)
{
    int n = 0;
    for (const auto& s : servers)
        n += s->Querying ? 1 : 0;
    return n;
}

} // namespace

class TestUpdateCycle : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { SetApplicationTerminating(false); }

    void boundedAndInOrder();
    void emptyListCompletesAtOnce();
    void abortDuringTransfer();
    void abortDuringUpdates();
    void abortWhenIdle();
    void listTimesOut();
    void terminatingRaisesNothing();
    void listFreedWithQueriesInFlight();
    void stationsDroppedMidQuery();
};

void TestUpdateCycle::boundedAndInOrder()
{
    std::vector<std::shared_ptr<TScriptedServer>> servers;
    QList<TServerRef> refs;
    for (int i = 0; i < 40; ++i) {
        servers.push_back(std::make_shared<TScriptedServer>(i));
        refs << servers.back();
    }
    TScriptedList list;
    TRecorder rec;
    rec.Bind(list);
    QCOMPARE(list.MaxActive, 15);
    list.RefreshAll();
    QCOMPARE(list.State, quint8(TCustomServerList::lsFetching));
    QCOMPARE(rec.status, QStringList{"-1 Server List"});
    list.Deliver(refs);
    QCOMPARE(list.State, quint8(TCustomServerList::lsUpdating));
    QCOMPARE(InFlight(servers), 15);
    QCOMPARE(list.Active, 15);
    QVERIFY(servers[14]->Querying && !servers[15]->Querying);

    // The 16th starts when the first finishes.
    servers[0]->Answer();
    QCOMPARE(InFlight(servers), 15);
    QVERIFY(servers[15]->Querying);
    QCOMPARE(rec.done, QList<TCustomServer*>{servers[0].get()});

    // Finish the rest in whatever order the queries end.
    for (int round = 0; round < 40 && rec.complete == 0; ++round)
        for (auto& s : servers)
            s->Answer();
    QCOMPARE(rec.complete, 1);
    QCOMPARE(rec.done.size(), 40);
    QCOMPARE(list.State, quint8(TCustomServerList::lsIdle));
    for (const auto& s : servers)
        QCOMPARE(s->queries, 1);

    // Status texts: percentages start at 0, only grow, never pass 100, and a text is sent
    // when the percentage changes, not once per server.
    QCOMPARE(rec.status.first(), QString("-1 Server List"));
    QCOMPARE(rec.status.last(), QString("0 Updates Complete"));
    int last = -1;
    int updating = 0;
    for (const QString& s : rec.status) {
        if (!s.endsWith(" Updating Servers")) continue;
        const int p = s.section(' ', 0, 0).toInt();
        if (updating++ == 0) QCOMPARE(p, 0);
        QVERIFY(p > last && p <= 100);
        last = p;
    }
    QVERIFY(updating > 1 && updating < 40);
    QVERIFY(!list.ListTimer->isActive());
}

void TestUpdateCycle::emptyListCompletesAtOnce()
{
    TScriptedList list;
    TRecorder rec;
    rec.Bind(list);
    list.RefreshAll();
    list.Deliver({});
    QCOMPARE(rec.complete, 1);
    QCOMPARE(rec.status, QStringList({"-1 Server List", "0 Updates Complete"}));
}

void TestUpdateCycle::abortDuringTransfer()
{
    TScriptedList list;
    TRecorder rec;
    rec.Bind(list);
    list.RefreshAll();
    list.Abort();
    list.Abort();
    QCOMPARE(list.cancels, 1);
    QCOMPARE(rec.complete, 1);
    QCOMPARE(rec.status,
             QStringList({"-1 Server List", "-1 Aborting Updates", "0 Updates Complete"}));
    QCOMPARE(list.State, quint8(TCustomServerList::lsIdle));
}

void TestUpdateCycle::abortDuringUpdates()
{
    std::vector<std::shared_ptr<TScriptedServer>> servers;
    QList<TServerRef> refs;
    for (int i = 0; i < 20; ++i) {
        servers.push_back(std::make_shared<TScriptedServer>(i));
        refs << servers.back();
    }
    TScriptedList list;
    list.MaxActive = 5;
    TRecorder rec;
    rec.Bind(list);
    list.UpdateServers(refs);
    servers[0]->Answer();
    QCOMPARE(rec.done.size(), 1);
    list.Abort();
    QCOMPARE(list.cancels, 0);
    QCOMPARE(rec.complete, 0);
    // The queries in flight end without being reported; nothing new starts.
    for (int i = 1; i <= 4; ++i) {
        QVERIFY(servers[i]->Querying);
        servers[i]->Answer();
        QCOMPARE(rec.complete, 0);
    }
    servers[5]->Answer();
    QCOMPARE(rec.complete, 1);
    QCOMPARE(rec.done.size(), 1);
    QCOMPARE(InFlight(servers), 0);
    for (int i = 6; i < 20; ++i)
        QCOMPARE(servers[i]->queries, 0);
    QCOMPARE(rec.status.count("-1 Aborting Updates"), 1);
    QCOMPARE(rec.status.last(), QString("0 Updates Complete"));
}

void TestUpdateCycle::abortWhenIdle()
{
    TScriptedList list;
    TRecorder rec;
    rec.Bind(list);
    list.Abort();
    QCOMPARE(rec.status, QStringList{"-1 Aborting Updates"});
    QCOMPARE(rec.complete, 0);
    QCOMPARE(list.cancels, 0);
}

void TestUpdateCycle::listTimesOut()
{
    TScriptedList list;
    list.ListTimeoutMs = 150;
    TRecorder rec;
    rec.Bind(list);
    list.RefreshAll();
    QTRY_COMPARE_WITH_TIMEOUT(rec.complete, 1, 3000);
    QCOMPARE(rec.status, QStringList({"-1 Server List", "0 List Timed Out", "-1 Aborting Updates",
                                      "0 Updates Complete"}));
    QCOMPARE(list.cancels, 1);
    QTest::qWait(300);
    QCOMPARE(rec.complete, 1);
}

void TestUpdateCycle::terminatingRaisesNothing()
{
    auto s = std::make_shared<TScriptedServer>(1);
    TScriptedList list;
    TRecorder rec;
    rec.Bind(list);
    list.UpdateServers({s});
    SetApplicationTerminating(true);
    s->Answer();
    list.Abort();
    QCOMPARE(rec.done.size(), 0);
    QCOMPARE(rec.complete, 0);
    QCOMPARE(rec.status, QStringList{"0 Updating Servers"});
}

void TestUpdateCycle::listFreedWithQueriesInFlight()
{
    // The window aborts and frees the list while two queries are still out: their ends
    // reach nobody.
    auto a = std::make_shared<TScriptedServer>(1), b = std::make_shared<TScriptedServer>(2);
    TRecorder rec;
    int completeBefore = 0;
    qsizetype doneBefore = 0;
    {
        TScriptedList list;
        rec.Bind(list);
        list.UpdateServers({a, b});
        QVERIFY(a->Querying && b->Querying);
        list.Abort();
        completeBefore = rec.complete;
        doneBefore = rec.done.size();
    }
    // The freed list took its completion event off both queries.
    QVERIFY(!a->OnQueryDone && !b->OnQueryDone);
    a->Answer();
    b->Answer();
    QVERIFY(!a->Querying && !b->Querying);
    QCOMPARE(rec.done.size(), doneBefore);
    QCOMPARE(rec.complete, completeBefore);
}

void TestUpdateCycle::stationsDroppedMidQuery()
{
    // Everyone else lets go of the stations while they are queried (the window cleared
    // its rows): the list keeps them to the end of its cycle, which completes, and frees
    // them then.
    std::vector<std::weak_ptr<TScriptedServer>> watch;
    TScriptedList list;
    list.MaxActive = 2;
    TRecorder rec;
    rec.Bind(list);
    {
        QList<TServerRef> refs;
        for (int i = 0; i < 4; ++i) {
            auto s = std::make_shared<TScriptedServer>(i);
            watch.push_back(s);
            refs << s;
        }
        list.UpdateServers(refs);
    }
    list.Abort();
    for (int i = 0; i < 2; ++i) {
        QVERIFY(!watch[size_t(i)].expired());
        watch[size_t(i)].lock()->Answer();
    }
    QCOMPARE(rec.complete, 1);
    QVERIFY(list.Servers.isEmpty());
    for (const auto& w : watch)
        QVERIFY(w.expired());

    // A cycle started over one with queries out: those end unheard, the new one completes.
    auto old = std::make_shared<TScriptedServer>(7);
    auto fresh = std::make_shared<TScriptedServer>(8);
    list.UpdateServers({old});
    QVERIFY(old->Querying);
    list.UpdateServers({fresh});
    QVERIFY(!old->Querying);
    old->Answer();
    fresh->Answer();
    QCOMPARE(rec.complete, 2);
    QCOMPARE(list.Active, 0);
    QCOMPARE(rec.done.size(), 1);
    QCOMPARE(rec.done.last(), fresh.get());
}

QTEST_GUILESS_MAIN(TestUpdateCycle)
#include "test_updatecycle.moc"
