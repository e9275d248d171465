#pragma once
// The server model: every entry the browser lists is a TCustomServer (a radio station, or
// a game server of a master list). Each class answers its column captions and kinds, its
// column values, its player class and how to run one status query with a time-out and a
// retry. Servers run on the main thread only.
//
// Class operations (the virtual constructor, PlayerClass, ColumnCount, ColumnNames) are
// reached through a class reference, TServerClass, so that a list can create servers of a
// class chosen at run time: `TSCServer::Class().Create(address, port)`.
//
// For the list view: ColumnNames() gives the captions with their kinds (the ping and the
// player-count columns are found by kind), GetColumns() the display texts in the same
// order, InfoLines() the key/value lines of the info pane: a game server's Rules as its
// last reply gave them, a station's info lines made from its fields when asked for (a
// station keeps no copy of them, so a list of many thousands holds only its fields).
// Ping is in milliseconds, 9999 when not measured or not answering; a server that ends
// its query with Answered false is shown with 9999.
//
// Ownership: servers are held by shared references (TServerRef). The list model of the
// window that shows a station holds one; a server list holds the servers of its cycle
// from the start of the cycle until it completes, so that a server is never freed while
// its query runs. Anyone holding a plain pointer may take a reference with
// shared_from_this(); a server is freed when its last reference goes.
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <stdexcept>

class QTimer;
class TUDPClient;
class TCustomServer;
class TCustomPlayer;
class TAsyncping;
class TPinger;

// Column kinds: the main window finds the ping and player-count columns by kind.
enum TColumnKind
{
    ckText = 0,
    ckPing = 1,
    ckPlayers = 2,
    ckBitrate = 3,
    ckUptime = 4,
    ckAvgTime = 5
};

struct TColumnInfo
{
    QString Caption;
    int Kind = ckText;
    bool operator==(const TColumnInfo& o) const = default;
};
// A fresh list on every call; the caller keeps it.
using TColumnNames = QList<TColumnInfo>;

// A failed internal assertion, reported with its source unit and line.
class EAssertionFailed : public std::logic_error
{
public:
    EAssertionFailed(const QString& text, const char* source, int line)
        : std::logic_error(text.toStdString()), Text(text), Source(source), Line(line)
    {
    }
    QString Text;
    const char* Source;
    int Line;
};

// Class reference of a player record kind.
struct TPlayerClass
{
    const char* ClassName;
    const TPlayerClass* Parent;
    int (*ColumnCount)();
    TColumnNames (*ColumnNames)();
    // Virtual constructor: a new record read from a backslash key/value text.
    std::unique_ptr<TCustomPlayer> (*Create)(const QString& text);
};

// Class reference of a server kind.
struct TServerClass
{
    const char* ClassName;
    const TServerClass* Parent;
    // Virtual constructor.
    std::unique_ptr<TCustomServer> (*Create)(const QString& address, const QString& port);
    // Player record class; a station has none and raises EAssertionFailed.
    const TPlayerClass* (*PlayerClass)();
    int (*ColumnCount)();
    TColumnNames (*ColumnNames)();

    bool InheritsFrom(const TServerClass& other) const;
};

// One key/value pair: a game server's rule, or one of a station's info lines.
struct TRule
{
    QString Key;
    QString Value;
};

// Duration text of a number of seconds: "1d 1h 1m", "1h 0m", "0m"; 0 or less gives "0".
QString DurationText(qint64 seconds);
// Milliseconds of a monotonic clock, wrapping at 32 bits like a system tick count.
quint32 TickCount();
// Integer read from text: 0 unless the whole text is a decimal number.
int StrToIntDef0(QStringView text);

// ---------------------------------------------------------------------------------------

class TCustomServer : public std::enable_shared_from_this<TCustomServer>
{
public:
    using TQueryDoneEvent = std::function<void(TCustomServer* server)>;

    // Slot 0: the virtual constructor (through Class().Create).
    TCustomServer(const QString& address, const QString& port);
    virtual ~TCustomServer();
    TCustomServer(const TCustomServer&) = delete;
    TCustomServer& operator=(const TCustomServer&) = delete;

    static const TServerClass& Class();
    virtual const TServerClass& ClassType() const { return Class(); }
    bool InheritsFrom(const TServerClass& c) const { return ClassType().InheritsFrom(c); }

    // Slots 1-3, through the instance's class.
    const TPlayerClass* PlayerClass() const { return ClassType().PlayerClass(); }
    int ColumnCount() const { return ClassType().ColumnCount(); }
    TColumnNames ColumnNames() const { return ClassType().ColumnNames(); }

    // Slot 4: starts a status query. `onDone` is called once, when the query has ended
    // (after at most MaxRetries + 1 attempts); the receiver may then free the server.
    virtual void Query(TQueryDoneEvent onDone);
    // Ends a running query at once, without retry and without calling its event.
    void CancelQuery()
    {
        OnQueryDone = nullptr;
        if (Querying || QueryTimer) StopQuery();
    }
    // Slot 5: appends one display text per column, in column order.
    virtual void GetColumns(QStringList& strings) const;
    // Slot 6: ends the current attempt as unanswered.
    virtual void QueryTimedOut();
    // Slot 7: ends the current attempt; completes the query or retries it.
    virtual void QueryDone();
    // Slot 8: replaces Rules by the pairs of a backslash key/value text.
    virtual void SetRules(const QString& text);

    void AddRule(const QString& key, const QString& value);
    void ClearRules();
    // The lines of the info pane, in order: Rules here.
    virtual QList<TRule> InfoLines() const { return Rules; }
    // The value of the first info line with that key (empty when none).
    QString RuleValue(const QString& key) const;

    QString Address;
    QString Port;
    QString HostPort;
    QString Name;
    int Timeout = 2000;
    int Ping = 9999;
    bool Answered = false;
    int RetryCount = 0;
    int MaxRetries = 1;
    bool Querying = false;
    int NumPlayers = 0;
    int MaxPlayers = 0;
    QList<TRule> Rules;
    std::unique_ptr<QTimer> QueryTimer; // only while an attempt runs
    TQueryDoneEvent OnQueryDone;

protected:
    // Stops, detaches and frees QueryTimer (it may be the timer whose signal is running).
    void ReleaseQueryTimer();
    // Ends a running attempt without retry or event (destruction while querying).
    virtual void StopQuery();

private:
    void QueryTimerFired(QTimer* timer);
};

// A shared reference to a server (see Ownership above).
using TServerRef = std::shared_ptr<TCustomServer>;

// ---------------------------------------------------------------------------------------
// One radio station. Its status comes from the station list; its query measures the
// round-trip time by the program-wide ping mode (0 raw pinger, 1 echo thread, 2 none).

class TSCServer : public TCustomServer
{
public:
    TSCServer(const QString& address, const QString& port);
    ~TSCServer() override;

    static const TServerClass& Class();
    const TServerClass& ClassType() const override { return Class(); }

    void Query(TQueryDoneEvent onDone) override;
    void GetColumns(QStringList& strings) const override;
    void QueryDone() override;

    // The info lines made from the fields as they stand.
    QList<TRule> InfoLines() const override;
    // Completion of a ping request (pinger or echo thread) of this station.
    void PingDone(const void* sender);
    // Where the ping goes: the station's address (a station that looks its host up
    // first gives the address found).
    virtual QString PingAddress() const { return Address; }

    static QString NotResponding() { return QStringLiteral("NOT RESPONDING"); }
    // The station's key (favorites, address refresh): its stream address when it has one,
    // else Address ":" Port.
    QString Key() const
    {
        return StreamURL.isEmpty() ? Address + QLatin1Char(':') + Port : StreamURL;
    }

    // True when only the built-in player can play the stream: an https address, or a
    // playlist (.pls, .m3u, .m3u8) rather than the stream itself. An external player is
    // handed "http://" plus address and port, which would lose both.
    virtual bool BuiltInOnly() const;

    // The station's logo in the picture cache: its file name there (empty: no logo) and
    // where it comes from. A list station's logo is its BNum's picture in the logo folder
    // (magenta drawn transparent); a directory station's is its own favicon.
    struct TLogo
    {
        QString Name;
        QString URL;
        bool Favicon = false;
    };
    virtual TLogo StationLogo() const;

    int Bitrate = 0;
    int AvgTime = 0;
    int UpSince = 0;
    QString Genre;
    QString URL;
    QString StreamURL;
    QString SongTitle;
    QString ChatIP;
    quint8 PlayerKind = 0;
    QString BNum;
    std::unique_ptr<TPinger> Pinger; // mode 0, during a query
    quint32 QueryStartTick = 0;
    std::shared_ptr<TAsyncping> PingThread; // mode 1: the running attempt's echo request

protected:
    void StopQuery() override;

private:
    void DetachPingThread();
    // Mode 0: starts the raw-socket pinger; false when this machine's socket layer cannot
    // run it (the echo thread is used instead).
    bool StartPinger();
    void StopPinger();
    int PingerAverage() const;
    int attemptMode_ = 1;       // ping mode of the running attempt
    quint32 noPingAttempt_ = 0; // counts attempts without a ping: a late end is dropped
};

// ---------------------------------------------------------------------------------------
// Players of game servers.

class TCustomPlayer
{
public:
    explicit TCustomPlayer(const QString& text);
    virtual ~TCustomPlayer() = default;

    static const TPlayerClass& Class();
    virtual const TPlayerClass& ClassType() const { return Class(); }
    int ColumnCount() const { return ClassType().ColumnCount(); }
    TColumnNames ColumnNames() const { return ClassType().ColumnNames(); }
    virtual void GetColumns(QStringList& strings) const;

    QString Name;
    int Frags = 0;
    int Ping = 0;

protected:
    // What the constructors have not read yet (each pair is removed once read).
    QString rest_;
};

class TZelkPlayer : public TCustomPlayer
{
public:
    explicit TZelkPlayer(const QString& text);
    static const TPlayerClass& Class();
    const TPlayerClass& ClassType() const override { return Class(); }
    void GetColumns(QStringList& strings) const override;

    int Deaths = 0;
    QString Team;
    QString Id;
};

class TBGatePlayer : public TZelkPlayer
{
public:
    explicit TBGatePlayer(const QString& text);
    static const TPlayerClass& Class();
    const TPlayerClass& ClassType() const override { return Class(); }
    void GetColumns(QStringList& strings) const override;

    QString Race;
    QString Class_; // "class"
    QString Level;
};

// ---------------------------------------------------------------------------------------
// Game servers. The UDP status protocol fills in the transport slots.

class TGameServer : public TCustomServer
{
public:
    TGameServer(const QString& address, const QString& port);
    ~TGameServer() override;
    static const TServerClass& Class();
    const TServerClass& ClassType() const override { return Class(); }

    // Query: the base attempt, then OpenSocket, SendQuery and the start tick. QueryDone:
    // Elapsed, ParseReply, CloseSocket, then the base decides on completion or retry.
    void Query(TQueryDoneEvent onDone) override;
    void QueryDone() override;

    // Slots 9-14 of the game-server query cycle, filled in by the UDP status query. The
    // base forms have no transport: a query of a plain game server times out.
    virtual void OpenSocket() {}
    virtual void CloseSocket() {}
    virtual void SendQuery() {}
    // Collects a reply piece; true when the reply is complete.
    virtual bool AppendReply(const QString& text);
    virtual void ParseReply() {}
    virtual void DataReceived(const QString& text);

    // Creates a record of PlayerClass from a key/value text and appends it.
    void AddPlayer(const QString& text);
    void ClearPlayers();

    QString Map;
    QString GameType;
    QString GameMode;
    QString GameVer;
    int Location = 0;
    std::vector<std::unique_ptr<TCustomPlayer>> Players;
    quint32 QueryStartTick = 0;
    int Elapsed = 0;
};

class TUDPQueryServer : public TGameServer
{
public:
    TUDPQueryServer(const QString& address, const QString& port);
    ~TUDPQueryServer() override;
    static const TServerClass& Class();
    const TServerClass& ClassType() const override { return Class(); }

    void OpenSocket() override;
    void CloseSocket() override;

    QString Reply; // the reply datagrams collected so far
    // Datagram socket of the running attempt; owned, released with deleteLater when it is
    // the one whose notification is being delivered.
    TUDPClient* QuerySocket = nullptr;
};

// A game server answering the key/value status protocol over UDP.
class TZelkServer : public TUDPQueryServer
{
public:
    TZelkServer(const QString& address, const QString& port);
    static const TServerClass& Class();
    const TServerClass& ClassType() const override { return Class(); }

    void GetColumns(QStringList& strings) const override;
    void SendQuery() override;
    bool AppendReply(const QString& text) override;
    void ParseReply() override;
    // Slot 15: reads the player records out of the reply.
    virtual void ParsePlayers(QString& reply);

    bool Secure = false;
    QStringList PlayerKeys;
};

class TBGateServer : public TZelkServer
{
public:
    TBGateServer(const QString& address, const QString& port);
    static const TServerClass& Class();
    const TServerClass& ClassType() const override { return Class(); }
    void GetColumns(QStringList& strings) const override;
    void ParseReply() override;
    void ParsePlayers(QString& reply) override;

    int NumCharacters = 0;
};
