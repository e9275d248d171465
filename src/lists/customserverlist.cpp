#include "customserverlist.h"

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
    // Queries still in flight (after an abort) end without telling this list. Servers
    // that have reported back are not touched: their owner may have freed them already.
    for (TCustomServer* s : inFlight_)
        s->OnQueryDone = nullptr;
    inFlight_.clear();
    Servers.clear();
    for (TCustomServer* s : unclaimed_)
        delete s;
    unclaimed_.clear();
    unclaimedCount_ = 0;
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

TCustomServer* TCustomServerList::Adopt(std::unique_ptr<TCustomServer> server)
{
    TCustomServer* s = server.release();
    s->ListOwner = this;
    s->ListSlot = int(unclaimed_.size());
    unclaimed_.push_back(s);
    ++unclaimedCount_;
    return s;
}

void TCustomServerList::Claim(TCustomServer* server)
{
    if (server->ListOwner != this) return;
    unclaimed_[size_t(server->ListSlot)] = nullptr;
    server->ListOwner = nullptr;
    server->ListSlot = -1;
    --unclaimedCount_;
}

void TCustomServerList::ReleaseUnclaimed()
{
    // One still in a query is freed on a later occasion.
    const auto freeable = [this](TCustomServer* s) {
        return s && s->ListOwner == this && !s->Querying;
    };
    Servers.removeIf(freeable);
    size_t kept = 0;
    for (TCustomServer* s : unclaimed_) {
        if (!s) continue;
        if (freeable(s)) {
            delete s;
            --unclaimedCount_;
            continue;
        }
        s->ListSlot = int(kept);
        unclaimed_[kept++] = s;
    }
    unclaimed_.resize(kept);
}

std::unique_ptr<TCustomServer> TCustomServerList::CreateServer(const QString& address,
                                                               const QString& port)
{
    return ServerClass().Create(address, port);
}

void TCustomServerList::RefreshAll()
{
    Servers.clear();
    ReleaseUnclaimed();
    FetchList();
}

void TCustomServerList::UpdateServers(const QList<TCustomServer*>& list)
{
    Aborted = false;
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
    while (Active < MaxActive) {
        if (NextIndex >= Servers.size() || Aborted) {
            if (State == lsUpdating && Active == 0) Complete();
            break;
        }
        const int percent =
            int(qint64(NextIndex - Active) * 100 / qMax<qsizetype>(1, Servers.size()));
        Status(percent, QStringLiteral("Updating Servers"));
        TCustomServer* server = Servers[NextIndex];
        ++Active;
        ++NextIndex;
        inFlight_.push_back(server);
        server->Query([this](TCustomServer* s) { ServerDone(s); });
    }
}

void TCustomServerList::ServerDone(TCustomServer* server)
{
    std::erase(inFlight_, server);
    if (ApplicationTerminating()) return;
    if (!Aborted) {
        Claim(server);
        if (OnServerDone) OnServerDone(this, server);
    }
    --Active;
    Pump();
}

void TCustomServerList::Complete()
{
    ListTimer->stop();
    State = lsIdle;
    if (ApplicationTerminating()) return;
    Status(0, QStringLiteral("Updates Complete"));
    if (OnComplete) OnComplete(this);
}
