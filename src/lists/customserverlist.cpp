#include "customserverlist.h"

#include "config.h"
#include "debuglog.h"
#include "productprofile.h"

#include <QCoreApplication>
#include <QTimer>
#include <atomic>

namespace {
std::atomic<bool> g_terminating{false};
} // namespace

void SetApplicationTerminating(bool terminating)
{
    g_terminating = terminating;
}

bool ApplicationTerminating()
{
    return g_terminating || QCoreApplication::closingDown();
}

// ---------------------------------------------------------------------------------------
// TCustomServerList

TCustomServerList::TCustomServerList()
    : MasterHost(TProductProfile::HostOf(Profile().MasterHost)), ListTimer(new QTimer)
{
    ListTimer->setSingleShot(false);
    QObject::connect(ListTimer.get(), &QTimer::timeout, [this] { ListTimedOut(); });
}

TCustomServerList::~TCustomServerList()
{
    ListTimer->stop();
    // Queries still in flight (after an abort) end without telling this list.
    DropCycle();
}

void TCustomServerList::Status(int percent, const QString& text)
{
    if (OnStatus) OnStatus(this, percent, text);
}

void TCustomServerList::RestartListTimer()
{
    ListTimer->stop();
    ListTimer->start();
}

void TCustomServerList::DropCycle()
{
    for (qsizetype i = 0; i < qMin<qsizetype>(NextIndex, Servers.size()); ++i)
        if (Servers[i]->Querying) Servers[i]->CancelQuery();
    Active = 0;
    NextIndex = 0;
    lastPercent_ = -1;
    Servers.clear();
    ++cycle_;
}

TServerRef TCustomServerList::CreateServer(const QString& address, const QString& port)
{
    return TServerRef(ServerClass().Create(address, port));
}

void TCustomServerList::RefreshAll()
{
    DropCycle();
    FetchList();
}

void TCustomServerList::UpdateServers(const QList<TServerRef>& list)
{
    Aborted = false;
    DropCycle();
    Servers = list;
    NextIndex = 0;
    State = lsUpdating;
    Pump();
}

void TCustomServerList::FetchList()
{
    Aborted = false;
    State = lsFetching;
    ListTimer->setInterval(ListTimeoutMs);
    RestartListTimer();
    Status(-1, QStringLiteral("Server List"));
}

void TCustomServerList::ListTimedOut()
{
    if (ApplicationTerminating()) return;
    ListTimer->stop();
    if (State == lsFetching) {
        Status(0, QStringLiteral("List Timed Out"));
        Abort();
    }
}

void TCustomServerList::Abort()
{
    if (ApplicationTerminating()) return;
    if (!Aborted) Status(-1, QStringLiteral("Aborting Updates"));
    Aborted = true;
    if (State == lsFetching) CancelFetch();
}

void TCustomServerList::CancelFetch()
{
    ListReceived();
}

void TCustomServerList::ListReceived()
{
    State = lsUpdating;
    NextIndex = 0;
    Pump();
}

void TCustomServerList::Pump()
{
    if (ApplicationTerminating()) return;
    // Without pings a station ends as soon as the loop turns: a wider window lets one turn
    // finish a slice of a big list instead of MaxActive stations.
    const int maxActive = ProgramValues().PingMode == 2 ? qMax(MaxActive, 400) : MaxActive;
    while (Active < maxActive) {
        if (NextIndex >= Servers.size() || Aborted) {
            if (State == lsUpdating && Active == 0) Complete();
            break;
        }
        // The status text changes with the percentage only (not once per station).
        const int percent =
            int(qint64(NextIndex - Active) * 100 / qMax<qsizetype>(1, Servers.size()));
        if (percent != lastPercent_ || NextIndex == 0) {
            lastPercent_ = percent;
            Status(percent, QStringLiteral("Updating Servers"));
        }
        TCustomServer* server = Servers[NextIndex].get();
        ++Active;
        ++NextIndex;
        server->Query([this, cycle = cycle_](TCustomServer* s) { ServerDone(s, cycle); });
    }
}

void TCustomServerList::ServerDone(TCustomServer* server, quint32 cycle)
{
    if (ApplicationTerminating() || cycle != cycle_) return;
    if (!Aborted && OnServerDone) {
        OnServerDone(this, server);
        // The receiver started another cycle: this one is gone.
        if (cycle != cycle_) return;
    }
    --Active;
    Pump();
}

void TCustomServerList::Complete()
{
    ListTimer->stop();
    State = lsIdle;
    // The cycle's servers go now: those nobody else keeps (an aborted list) are freed.
    NextIndex = 0;
    Servers.clear();
    if (ApplicationTerminating()) return;
    Status(0, QStringLiteral("Updates Complete"));
    if (OnComplete) OnComplete(this);
}
