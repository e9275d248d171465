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
// Ownership: a list holds shared references (TServerRef) to the servers of its cycle,
// from the start of the cycle (UpdateServers, or the list as parsed) until the cycle
// completes, and drops them then; a server is therefore never freed while its query runs,
// whoever else lets go of it, and every cycle reaches OnComplete. A receiver that keeps a
// server reported through OnServerDone takes its own reference (shared_from_this()).
// Servers parsed in a cycle that was aborted are never reported and go with the cycle.
// Starting a new cycle while queries of the last one are out cancels those queries.
#include "customserver.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
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
    virtual void UpdateServers(const QList<TServerRef>& list);
    // Starts fetching the list (subclasses add the transfer).
    virtual void FetchList();
    // The list is in Servers: starts the queries (subclasses parse first).
    virtual void ListReceived();
    // Stops the list transfer.
    virtual void CancelFetch();
    // Starts queries until MaxActive are in flight.
    virtual void Pump();
    // A new server of ServerClass.
    virtual TServerRef CreateServer(const QString& address, const QString& port);
    // The user plays a server of this list (a directory that counts plays hears of it).
    virtual void StationLaunched(TCustomServer*) {}

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
    QList<TServerRef> Servers; // the servers of the running cycle
    std::unique_ptr<QTimer> ListTimer;
    // Inactivity time-out of the list transfer (tests shorten it).
    int ListTimeoutMs = 30000;

protected:
    void Status(int percent, const QString& text);
    // Restarts the inactivity timer: the time-out counts from the last data received.
    void RestartListTimer();
    // Cancels the queries of the last cycle still out and forgets its servers.
    void DropCycle();

private:
    void ListTimedOut();
    void ServerDone(TCustomServer* server, quint32 cycle);
    void Complete();

    quint32 cycle_ = 0;    // counts DropCycle: a query's end belongs to the cycle it began in
    int lastPercent_ = -1; // the percentage last shown by Pump
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
    void StartGet();
    void DocBegin();
    void DocData(int len);
    void DocEnd();
    void StateChange();
    std::unique_ptr<QBuffer> rcvd_;
    bool tooLarge_ = false;       // the running transfer passed MaxBodyBytes
    bool startWhenReady_ = false; // FetchList came while an aborted transfer was ending
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

// The stations of one parsed list: duplicates of an address and port merged into the
// first station with them, holding the values of the later record.
struct TParsedStations
{
    QList<TServerRef> Stations;
    int TotalListeners = 0;
    int StationCount = 0;
};
// Inflates and parses a list body into new stations of `cls`. Safe on any thread; stops
// early when *cancel becomes true.
TParsedStations ParseStationList(QByteArray body, const TServerClass& cls,
                                 const std::atomic<bool>* cancel = nullptr);

// A list body of OffThreadParseBytes or more is inflated and parsed on a worker thread
// that hands the finished stations over; the cycle stays in lsFetching meanwhile.
class TSCServerList : public TCustomHTTPServerList
{
public:
    TSCServerList();
    ~TSCServerList() override;

    const TServerClass& ServerClass() const override { return TSCServer::Class(); }
    void RefreshAll() override;
    void ListReceived() override;
    void UpdateServers(const QList<TServerRef>& list) override;

    // The first server in Servers with exactly this address and port, or nullptr.
    TSCServer* FindStation(const QString& address, const QString& port) const;

    int TotalListeners = 0;
    int StationCount = 0;
    qsizetype OffThreadParseBytes = 32 * 1024;

private:
    struct TParseJob;
    void StopParse();
    void ParseFinished(const std::shared_ptr<TParseJob>& job);
    void FinishParse(TParsedStations parsed);

    std::shared_ptr<TParseJob> parseJob_;
    std::thread parseThread_;
    std::unique_ptr<QObject> parseContext_; // receives the worker's result
    QElapsedTimer parseClock_;
};
