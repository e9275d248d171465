#pragma once
// Server lists: the engine behind the refresh button. A list obtains servers from its
// source, queries them in list order with at most MaxActive queries in flight, reports
// each finished server, shows progress and signals completion once.
//
//   TCustomServerList        update cycle (Pump, Abort, 30-second list inactivity timer)
//     TCustomHTTPServerList  list fetched with one HTTP GET, body collected in memory
//       TSCServerList        the radio station list: inflate, parse, merge, totals
//
// Events (unset ones are skipped), as the main window binds them:
//   OnServerDone(list, server)  a server's query has ended: add or update its row (a server
//                               whose Answered is false shows Ping 9999)
//   OnStatus(list, percent, text)  status text; percent < 0 means no percentage
//   OnComplete(list)            the cycle has ended
//
// Ownership: servers reported through OnServerDone belong to the receiver from then on.
// The list holds plain references while it updates servers; stations it created that
// were never reported (an aborted cycle) are freed by the list itself on the next
// refresh or when it is destroyed.
#include "customserver.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

class QTimer;
class QBuffer;
class THttpCli;

// Set when the application has begun terminating: lists raise no events after that.
void SetApplicationTerminating(bool terminating);
bool ApplicationTerminating();

class TCustomServerList
{
public:
    enum TListState : quint8
    {
        lsIdle = 0,
        lsFetching = 1,
        lsUpdating = 2
    };

    using TCompleteEvent = std::function<void(TCustomServerList* list)>;
    using TServerDoneEvent = std::function<void(TCustomServerList* list, TCustomServer* server)>;
    using TStatusEvent =
        std::function<void(TCustomServerList* list, int percent, const QString& text)>;

    TCustomServerList();
    virtual ~TCustomServerList();
    TCustomServerList(const TCustomServerList&) = delete;
    TCustomServerList& operator=(const TCustomServerList&) = delete;

    // The server class this list produces.
    virtual const TServerClass& ServerClass() const { return TCustomServer::Class(); }
    // Stops the current cycle as soon as possible.
    virtual void Abort();
    // Forgets the current servers and fetches a new list.
    virtual void RefreshAll();
    // Re-queries the given servers, in their order.
    virtual void UpdateServers(const QList<TCustomServer*>& list);
    // Starts fetching the list (subclasses add the transfer).
    virtual void FetchList();
    // The list is in Servers: starts the queries (subclasses parse first).
    virtual void ListReceived();
    // Stops the list transfer.
    virtual void CancelFetch();
    // Starts queries until MaxActive are in flight.
    virtual void Pump();
    // A new server of ServerClass.
    virtual std::unique_ptr<TCustomServer> CreateServer(const QString& address,
                                                        const QString& port);

    quint8 State = lsIdle;
    int MaxActive = 15;
    QString MasterHost;
    QString MasterPort = QStringLiteral("28900");
    TCompleteEvent OnComplete;
    TServerDoneEvent OnServerDone;
    TStatusEvent OnStatus;
    int Active = 0;
    int NextIndex = 0;
    bool Aborted = false;
    QList<TCustomServer*> Servers;
    std::unique_ptr<QTimer> ListTimer;
    // Inactivity time-out of the list transfer (tests shorten it).
    int ListTimeoutMs = 30000;

    // Frees the servers this list created and nobody was given (see above).
    void ReleaseUnclaimed();
    int UnclaimedCount() const { return unclaimedCount_; }

protected:
    void Status(int percent, const QString& text);
    // Restarts the inactivity timer: the time-out counts from the last data received.
    void RestartListTimer();
    // Takes ownership of a server the list created.
    TCustomServer* Adopt(std::unique_ptr<TCustomServer> server);

private:
    void ListTimedOut();
    void ServerDone(TCustomServer* server);
    void Complete();

    void Claim(TCustomServer* server);

    // Servers whose query this list started and that have not reported back: the only
    // ones the list may still touch when it goes (the others may be freed by their owner).
    std::vector<TCustomServer*> inFlight_;
    // Servers created and not yet handed out; a slot is emptied when its server is.
    std::vector<TCustomServer*> unclaimed_;
    int unclaimedCount_ = 0;
};

// ---------------------------------------------------------------------------------------

class TCustomHTTPServerList : public TCustomServerList
{
public:
    TCustomHTTPServerList();
    ~TCustomHTTPServerList() override;

    void FetchList() override;
    void CancelFetch() override;

    QString ListURL;
    QString RequestSuffix;
    std::unique_ptr<THttpCli> HttpClient;
    QByteArray Body; // body of the last completed transfer, as received
    // A body that grows beyond this is no station list: the transfer ends there and the
    // kept Body stands in, as for a failed request.
    qsizetype MaxBodyBytes = qsizetype(64) * 1024 * 1024;

private:
    void DocBegin();
    void DocData(int len);
    void DocEnd();
    void StateChange();
    std::unique_ptr<QBuffer> rcvd_;
    bool tooLarge_ = false; // the running transfer passed MaxBodyBytes
};

// ---------------------------------------------------------------------------------------

// Inflates a list body in place: zlib, gzip (its header dropped, raw deflate) or plain
// text. A failing inflate keeps what it produced, or the body as it was when it produced
// nothing. Output is capped at MaxInflatedListBytes.
void DecompressListBody(QByteArray& body);
constexpr qsizetype MaxInflatedListBytes = qsizetype(512) * 1024 * 1024;

// Address, port and stream address of a station list's "ip" value.
struct TStationAddress
{
    QString Address;
    QString Port;
    QString StreamURL;
};
TStationAddress MapStationIp(QByteArrayView ip);

class TSCServerList : public TCustomHTTPServerList
{
public:
    TSCServerList();
    ~TSCServerList() override;

    const TServerClass& ServerClass() const override { return TSCServer::Class(); }
    void ListReceived() override;
    void UpdateServers(const QList<TCustomServer*>& list) override;

    // The first server in Servers with exactly this address and port, or nullptr.
    TSCServer* FindStation(const QString& address, const QString& port) const;

    int TotalListeners = 0;
    int StationCount = 0;

private:
    void MergeList(QByteArray text);
};
