#pragma once
// The public Radio Browser directory as a station source, beside the list server's.
//
//   TRBStation          a station of the directory: the program's own station object with
//                       the directory's uuid, country, language, codec and favicon
//   ReadRadioBrowserStations  the JSON station reader (bounded; bad entries skipped and
//                       counted); safe on any thread
//   TRBServerChoice     which API server to ask: the servers behind the name
//                       all.api.radio-browser.info (looked up without blocking), one at
//                       random, the next when one fails; or the addresses given
//   TRadioBrowserList   the update cycle of Part of the list base fed from the API:
//                       the most played stations, a tag, a name, or favorites by uuid
//
// Everything the directory sends is hostile: stream, home page and favicon addresses
// must be http(s), texts lose their control characters, every count and size is bounded.
#include "customserverlist.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QPointer>
#include <QStringList>
#include <QUuid>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;

// ---------------------------------------------------------------------------------------

class TRBStation : public TSCServer
{
public:
    TRBStation(const QString& address, const QString& port);
    static const TServerClass& Class();
    const TServerClass& ClassType() const override { return Class(); }

    // Listeners: the directory's click count, alone (it knows no capacity).
    void GetColumns(QStringList& strings) const override;
    QList<TRule> InfoLines() const override;
    // Looks the host up once per host (shared cache), then pings the address found.
    void Query(TQueryDoneEvent onDone) override;
    QString PingAddress() const override;
    // An HLS stream plays in the built-in player only, like https and playlist addresses.
    bool BuiltInOnly() const override { return Hls || TSCServer::BuiltInOnly(); }
    // The favicon, kept in the picture cache as "rb-" + uuid + ".png".
    TLogo StationLogo() const override;

    QUuid Uuid;
    QString Country;
    QString CountryCode;
    QString Language;
    QString Codec;
    QString Favicon;
    bool Hls = false;
    QString ResolvedIP; // set by the host cache before the ping

protected:
    void StopQuery() override;

private:
    quint32 lookup_ = 0; // counts look-ups: a late answer of a stopped one is dropped
};

// Maps a stream address onto a station: host as Address, port and path as Port (like a
// list's "ip" with a URL). False when it is no http(s) address this program may open.
bool RBStreamAddress(const QString& url, QString& host, QString& port);
// An http(s) address fit to store and open (no control characters, no blanks, a host,
// at most 2048 characters); empty otherwise.
QString RBSafeUrl(QStringView text);

// ---------------------------------------------------------------------------------------
// Reading the directory's answers

// The stations of an answer as a later answer's reader sees them: each uuid's row and a
// fingerprint of the texts its station was made from (seeded per run, so that no answer
// can be made to match another). Made by the reader on its thread; read-only after.
struct TRBKnown
{
    struct TEntry
    {
        quint64 Print = 0;
        int Row = 0;
        bool NameHadControl = false;
    };
    QHash<QUuid, TEntry> ByUuid;
    QList<TServerRef> Stations;
};

// A station kept from the answer before: its new figures, written on the loop's thread
// (the window may be drawing it while the answer is read).
struct TRBUpdate
{
    int Row = 0; // in TRBReadResult::Stations
    int NumPlayers = 0;
    int Bitrate = 0;
    bool Hls = false;
};

struct TRBReadResult
{
    QList<TServerRef> Stations;
    std::vector<TRBUpdate> Updates;        // kept stations, to update with ApplyUpdates
    std::shared_ptr<const TRBKnown> Known; // these stations, for the next answer
    int Entries = 0;                       // objects in the array
    int Skipped = 0;                       // entries left out (counted by reason below)
    QStringList Reasons;                   // "reason: count", for the debug log
    bool Ok = false;                       // the answer was a well-formed JSON array
    QString Error;                         // why not
    int TotalListeners = 0;
};

// At most this many stations are taken from one answer.
constexpr int MaxRBStations = 100000;

// Reads a `/json/stations/...` answer into new stations. Stops early when *cancel
// becomes true (the result is then not Ok). A station of `previous` whose texts are the
// same in this answer is kept (the same object) instead of made again; its figures are
// in Updates until ApplyUpdates runs on the loop's thread. `prepareMemory` (a worker
// reading a big answer): the memory of new stations is made ready ahead, a range at once.
TRBReadResult ReadRadioBrowserStations(QByteArrayView json,
                                       const std::atomic<bool>* cancel = nullptr,
                                       const TRBKnown* previous = nullptr,
                                       bool prepareMemory = false);
// Writes the figures of the kept stations (the loop's thread).
void ApplyUpdates(TRBReadResult& result);

struct TRBTag
{
    QString Name;
    int StationCount = 0;
};
// Reads a `/json/tags` answer (at most 20000 tags; names cleaned; empty ones dropped).
QList<TRBTag> ReadRadioBrowserTags(QByteArrayView json, QString* error = nullptr);

// ---------------------------------------------------------------------------------------
// Server choice

class TRBServerChoice
{
public:
    // The name whose addresses are the API servers.
    static QString DefaultName() { return QStringLiteral("all.api.radio-browser.info"); }

    // Fixed servers (the override, or the configuration's field): "URL[,URL...]".
    void SetServers(const QString& urls);
    // Servers found by looking up `name`: each address, named by its reverse look-up,
    // as scheme://name:port. The look-up runs when a server is first needed.
    void SetLookup(const QString& name, const QString& scheme = QStringLiteral("https"),
                   int port = 0);

    bool Known() const { return known_; }
    // Finds the servers (at once when fixed), then calls `done` on the caller's thread
    // (`context` alive). Candidates are shuffled: the first is a random one.
    void Find(QObject* context, std::function<void()> done);
    QStringList Candidates() const { return candidates_; }
    // The server to ask now; empty when none is known.
    QString Current() const;
    // The current one failed: the next (wrapping). False once every candidate failed since
    // the last success.
    bool Failed();
    void Succeeded() { failures_ = 0; }

private:
    QStringList candidates_;
    int current_ = 0;
    int failures_ = 0;
    bool known_ = false;
    QString lookupName_;
    QString scheme_ = QStringLiteral("https");
    int port_ = 0;
    std::shared_ptr<int> generation_ = std::make_shared<int>(0);
};

// ---------------------------------------------------------------------------------------

class TRadioBrowserList : public TCustomServerList
{
public:
    enum TMode
    {
        rbMostPlayed,
        rbTag,
        rbName,
    };

    TRadioBrowserList();
    ~TRadioBrowserList() override;

    const TServerClass& ServerClass() const override { return TRBStation::Class(); }
    void RefreshAll() override;
    void UpdateServers(const QList<TServerRef>& list) override;
    void FetchList() override;
    void CancelFetch() override;

    // What the next RefreshAll asks for.
    void SetGenre(const QString& genreEntry); // "(All Servers)": the most played
    void SetNameSearch(const QString& text);
    TMode Mode() const { return mode_; }
    QString Term() const { return term_; }

    // The user plays a station of the directory: the directory counts the play.
    void StationLaunched(TCustomServer* station) override;
    // Asks for the tags and their station counts; `done` gets them (empty on failure).
    // A server that fails is asked again once, after the list has had time to move on to
    // the next one.
    void FetchTags(std::function<void(const QList<TRBTag>&)> done, int attempts = 2);

    TRBServerChoice Servers_;
    int TotalListeners = 0;
    int StationCount = 0;
    int Limit = 1000; // stations per answer
    int RequestTimeoutMs = 10000;
    qsizetype MaxBodyBytes = qsizetype(80) * 1024 * 1024;
    qsizetype OffThreadParseBytes = 64 * 1024;
    QString LastError; // why the last fetch fell back on the stations before
    // The path and query of the last request (tests).
    QString LastRequest;

    static QByteArray UserAgent();

private:
    struct TParseJob;
    QString RequestPath() const;
    void SendRequest();
    void ReplyFinished(QNetworkReply* reply);
    void ServerFailed(const QString& why);
    void AnswerParsed(TRBReadResult result);
    void FallBack(const QString& why);
    void StopParse();
    void StopReply();
    void ReleaseSoon();

    std::unique_ptr<QObject> context_;     // before nothing that its callbacks use
    QNetworkAccessManager* nam_ = nullptr; // owned by context_
    QPointer<QNetworkReply> reply_;
    TMode mode_ = rbMostPlayed;
    QString term_;
    QStringList uuids_;                     // a favorites refresh asks for these
    QList<TServerRef> asked_;               // ... and updates these in place
    QList<TServerRef> lastGood_;            // the stations of the last good answer
    std::shared_ptr<const TRBKnown> known_; // ... as the next answer's reader sees them
    QList<TServerRef> graveyard_;           // stations let go of, released in slices
    bool releasing_ = false;
    qsizetype bodyReady_ = 0; // bytes of the running answer's block made ready
    std::shared_ptr<TParseJob> parseJob_;
    std::thread parseThread_;
    QElapsedTimer parseClock_;
};
