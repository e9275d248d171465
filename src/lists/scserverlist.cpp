#include "customserverlist.h"

#include "config.h"
#include "debuglog.h"
#include "httpprot.h"
#include "netutils.h"
#include "productprofile.h"
#include "serverlistparser.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QTimer>
#include <climits>
#include <string_view>
#include <unordered_map>
#include <vector>

// ---------------------------------------------------------------------------------------
// TCustomHTTPServerList

TCustomHTTPServerList::TCustomHTTPServerList() : HttpClient(new THttpCli)
{
    ListURL = QStringLiteral("http://") + Profile().ListHost + QStringLiteral("/?compress=1");
    HttpClient->OnDocBegin = [this](THttpCli*) { DocBegin(); };
    HttpClient->OnDocData = [this](THttpCli*, const char*, int len) { DocData(len); };
    HttpClient->OnDocEnd = [this](THttpCli*) { DocEnd(); };
    HttpClient->OnStateChange = [this](THttpCli*) { StateChange(); };
}

TCustomHTTPServerList::~TCustomHTTPServerList()
{
    HttpClient->OnDocBegin = nullptr;
    HttpClient->OnDocData = nullptr;
    HttpClient->OnDocEnd = nullptr;
    HttpClient->OnStateChange = nullptr;
    HttpClient->RcvdStream = nullptr;
    HttpClient->Abort();
}

void TCustomHTTPServerList::FetchList()
{
    TCustomServerList::FetchList();
    HttpClient->URL = ListURL + RequestSuffix;
    const THttpProxySettings& proxy = ProgramValues().HttpProxy;
    if (!proxy.Host.isEmpty()) {
        HttpClient->Proxy = proxy.Host;
        HttpClient->ProxyPort = proxy.Port.isEmpty() ? QStringLiteral("80") : proxy.Port;
        HttpClient->ProxyUsername = proxy.User;
        HttpClient->ProxyPassword = proxy.Password;
    } else {
        HttpClient->Proxy.clear();
        HttpClient->ProxyPort.clear();
        HttpClient->ProxyUsername.clear();
        HttpClient->ProxyPassword.clear();
    }
    // The last transfer is still winding down after an abort: start once it has ended,
    // rather than fail as busy or take that transfer's end for this one's.
    if (HttpClient->State() == httpAborting) {
        startWhenReady_ = true;
        return;
    }
    StartGet();
}

void TCustomHTTPServerList::StartGet()
{
    try {
        HttpClient->GetAsync();
    } catch (const EHttpException& e) {
        // The cycle then ends through the inactivity time-out.
        Status(-1, e.Message);
    } catch (const ESocketException& e) {
        Status(-1, e.Message);
    } catch (const std::exception& e) {
        Status(-1, QString::fromUtf8(e.what()));
    }
}

void TCustomHTTPServerList::CancelFetch()
{
    startWhenReady_ = false;
    HttpClient->Abort();
    // Aborting may end the transfer at once with what arrived so far; the list then has
    // been received already and the cycle has completed.
    if (State == lsFetching) TCustomServerList::CancelFetch();
}

void TCustomHTTPServerList::DocBegin()
{
    tooLarge_ = false;
    rcvd_ = std::make_unique<QBuffer>();
    rcvd_->open(QIODevice::WriteOnly);
    HttpClient->RcvdStream = rcvd_.get();
}

void TCustomHTTPServerList::DocData(int len)
{
    if (tooLarge_) return;
    if (startWhenReady_) return; // the aborted transfer's tail
    RestartListTimer();
    // The chunk reaches the stream after this event: count it already.
    const qint64 size = (rcvd_ ? rcvd_->size() : 0) + len;
    if (size > MaxBodyBytes) {
        // Endless or oversized: drop what came and end the transfer from the loop (not
        // inside the client's own data event).
        tooLarge_ = true;
        HttpClient->RcvdStream = nullptr;
        rcvd_.reset();
        DebugLog(QStringLiteral("Server List larger than ") + QString::number(MaxBodyBytes) +
                     QStringLiteral(" bytes: transfer ended"),
                 dcErrOut);
        QTimer::singleShot(0, HttpClient.get(), [this] {
            if (tooLarge_ && State == lsFetching) HttpClient->Abort();
        });
        return;
    }
    Status(-1, QStringLiteral("Server List (") + QString::number(size) + QLatin1Char(')'));
}

void TCustomHTTPServerList::DocEnd()
{
    if (startWhenReady_) {
        // The aborted transfer's end: not this cycle's list.
        HttpClient->RcvdStream = nullptr;
        rcvd_.reset();
        return;
    }
    if (rcvd_) {
        Body = std::move(rcvd_->buffer());
        HttpClient->RcvdStream = nullptr;
        rcvd_.reset();
    }
    if (State == lsFetching) ListReceived();
}

void TCustomHTTPServerList::StateChange()
{
    if (HttpClient->State() != httpReady) return;
    if (startWhenReady_) {
        startWhenReady_ = false;
        if (State == lsFetching) StartGet();
        return;
    }
    // A request that ended without a body: the kept body stands in.
    if (State == lsFetching) ListReceived();
}

// ---------------------------------------------------------------------------------------
// TSCServerList

namespace {

// Text of a token: UTF-8 when it is valid UTF-8, else Latin-1 (older station software).
// Plain ASCII, the common case, is widened in a single pass.
QString TokenText(QByteArrayView v)
{
    const qsizetype n = v.size();
    if (n == 0) return QString();
    QString s(n, Qt::Uninitialized);
    auto* d = reinterpret_cast<char16_t*>(s.data());
    const auto* p = reinterpret_cast<const uchar*>(v.data());
    uchar high = 0;
    for (qsizetype i = 0; i < n; ++i) {
        d[i] = p[i];
        high |= p[i];
    }
    if ((high & 0x80) && v.isValidUtf8()) return QString::fromUtf8(v);
    return s;
}

// At most `max` bytes of a text, cut before a character rather than inside one: a cut
// UTF-8 sequence would make the whole text read as Latin-1.
QByteArrayView Utf8Prefix(QByteArrayView v, qsizetype max)
{
    if (v.size() <= max) return v;
    qsizetype cut = max;
    for (int back = 0; back < 3 && cut > 0 && (uchar(v[cut]) & 0xc0) == 0x80; ++back)
        --cut;
    return v.first(cut);
}

// A decimal number with an optional sign, within the 32-bit range.
bool TokenToInt(QByteArrayView v, int& value)
{
    qsizetype i = 0;
    bool neg = false;
    if (!v.isEmpty() && (v[0] == '-' || v[0] == '+')) {
        neg = v[0] == '-';
        i = 1;
    }
    if (i >= v.size() || v.size() - i > 10) return false;
    qint64 n = 0;
    for (; i < v.size(); ++i) {
        const char c = v[i];
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    if (neg) n = -n;
    if (n > INT_MAX || n < INT_MIN) return false;
    value = int(n);
    return true;
}

// Numbers that are not decimal read as 0.
int TokenInt(QByteArrayView v)
{
    int n = 0;
    return TokenToInt(v, n) ? n : 0;
}

// Address and port to the first station with them: open addressing over a flat table,
// so that a list of many thousands of records merges in linear time.
class TStationIndex
{
public:
    explicit TStationIndex(size_t expected)
    {
        size_t cap = 1024;
        while (cap < expected * 2)
            cap <<= 1;
        slots_.assign(cap, TSlot{});
        stations_.reserve(expected);
    }

    static size_t Hash(QStringView address, QStringView port)
    {
        return qHash(address, 0x5bd1e995u) ^ (qHash(port, 0x9e3779b9u) * 0x9e3779b97f4a7c15ull);
    }

    void Prefetch(size_t hash) const { __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]); }

    TSCServer* Find(QStringView address, QStringView port, size_t hash) const
    {
        const size_t mask = slots_.size() - 1;
        const quint32 tag = Tag(hash);
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            const TSlot& s = slots_[i];
            if (s.Entry == 0) return nullptr;
            if (s.Tag == tag) {
                TSCServer* st = stations_[s.Entry - 1];
                if (st->Address == address && st->Port == port) return st;
            }
        }
    }

    // Adds a station not yet in the index.
    void Add(TSCServer* station, size_t hash)
    {
        if ((stations_.size() + 1) * 2 > slots_.size()) Grow();
        stations_.push_back(station);
        Place(TSlot{Tag(hash), quint32(stations_.size())}, hash);
    }

private:
    // Small slots keep the table compact; the station is looked at only when the hash
    // tags agree.
    struct TSlot
    {
        quint32 Tag = 0;
        quint32 Entry = 0; // 1-based place in stations_, 0 = empty
    };
    static quint32 Tag(size_t hash) { return quint32(hash >> 32) ^ quint32(hash); }
    void Place(const TSlot& slot, size_t hash)
    {
        const size_t mask = slots_.size() - 1;
        size_t i = hash & mask;
        while (slots_[i].Entry != 0)
            i = (i + 1) & mask;
        slots_[i] = slot;
    }
    void Grow()
    {
        slots_.assign(slots_.size() * 2, TSlot{});
        for (size_t e = 0; e < stations_.size(); ++e) {
            const TSCServer* st = stations_[e];
            const size_t h = Hash(st->Address, st->Port);
            Place(TSlot{Tag(h), quint32(e + 1)}, h);
        }
    }
    std::vector<TSlot> slots_;
    std::vector<TSCServer*> stations_;
};

// Texts that repeat across a list (genres, ports) share one string each. The keys are
// views into the list text, which outlives the cache.
using TTextCache = std::unordered_map<std::string_view, QString>;

QString Shared(TTextCache& cache, QByteArrayView v)
{
    const std::string_view key(v.data(), size_t(v.size()));
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
    QString text = TokenText(v);
    if (cache.size() < 4096) cache.emplace(key, text);
    return text;
}

TStationAddress MapStationIp(QByteArrayView ip, TTextCache* ports);

} // namespace

TStationAddress MapStationIp(QByteArrayView ip)
{
    return MapStationIp(ip, nullptr);
}

namespace {
TStationAddress MapStationIp(QByteArrayView ip, TTextCache* ports)
{
    TStationAddress a;
    if (ip.indexOf(QByteArrayView("://")) >= 0) {
        a.StreamURL = TokenText(ip);
        const TParsedURL u = ParseURL(a.StreamURL);
        a.Address = u.Host;
        a.Port = u.Port + u.Path;
        return a;
    }
    const qsizetype colon = ip.indexOf(':');
    a.Address = TokenText(colon < 0 ? ip : ip.first(colon));
    // The port is read from the trimmed value.
    const QByteArrayView trimmed = ip.trimmed();
    const qsizetype tc = trimmed.indexOf(':');
    const QByteArrayView port = tc < 0 ? QByteArrayView() : trimmed.sliced(tc + 1);
    int unused = 0;
    const bool ok = TokenToInt(port, unused);
    a.Port = !ok ? QStringLiteral("8000") : ports ? Shared(*ports, port) : TokenText(port);
    return a;
}
} // namespace

// ---------------------------------------------------------------------------------------
// Parsing, on a worker thread for a big list

namespace {

// Copies what a list record says about a station onto another station object.
void TakeListFields(TSCServer& to, TSCServer& from)
{
    to.HostPort = std::move(from.HostPort);
    to.StreamURL = std::move(from.StreamURL);
    to.Name = std::move(from.Name);
    to.Genre = std::move(from.Genre);
    to.NumPlayers = from.NumPlayers;
    to.MaxPlayers = from.MaxPlayers;
    to.Bitrate = from.Bitrate;
    to.AvgTime = from.AvgTime;
    to.UpSince = from.UpSince;
    to.ChatIP = std::move(from.ChatIP);
    to.URL = std::move(from.URL);
    to.SongTitle = std::move(from.SongTitle);
    to.Ping = from.Ping;
    to.PlayerKind = from.PlayerKind;
    to.BNum = std::move(from.BNum);
    to.Answered = from.Answered;
}

} // namespace

TParsedStations ParseStationList(QByteArray body, const TServerClass& cls,
                                 const std::atomic<bool>* cancel)
{
    TParsedStations out;
    DecompressListBody(body);
    const qsizetype textSize = body.size();
    TServerListParser parser(std::move(body));
    // Genres and ports repeat across the list: one shared text each.
    TTextCache genres;
    TTextCache ports;
    out.Stations.reserve(textSize / 160);

    const int fIp = parser.FieldIndex("ip");
    const int fHost = parser.FieldIndex("hostname");
    const int fGenre = parser.FieldIndex("genre");
    const int fNum = parser.FieldIndex("numplayers");
    const int fMax = parser.FieldIndex("maxplayers");
    const int fBitrate = parser.FieldIndex("bitrate");
    const int fAvg = parser.FieldIndex("avgtime");
    const int fUp = parser.FieldIndex("uptime");
    const int fChat = parser.FieldIndex("chatip");
    const int fUrl = parser.FieldIndex("url");
    const int fSong = parser.FieldIndex("songtitle");
    const int fPing = parser.FieldIndex("ping");
    const int fType = parser.FieldIndex("type");
    const int fBnum = parser.FieldIndex("bnum");

    // Address and port to the first station with them among those parsed so far. A
    // station record takes some 200 bytes: size the index for the text at hand.
    TStationIndex index(size_t(textSize / 160));
    while (parser.NextRecord()) {
        if (cancel && (out.StationCount & 1023) == 0 && cancel->load(std::memory_order_relaxed))
            break;
        TStationAddress a = MapStationIp(parser.Value(fIp), &ports);
        const size_t hash = TStationIndex::Hash(a.Address, a.Port);
        // The index slot is most likely not in the cache: fetch it while the record's
        // texts are decoded.
        index.Prefetch(hash);

        const QByteArrayView name = parser.Value(fHost);
        QString nameText = TokenText(Utf8Prefix(name, 200 * 4));
        if (nameText.size() > 200) nameText.truncate(200);
        QString genre = Shared(genres, parser.Value(fGenre));
        QString chatIp = TokenText(parser.Value(fChat));
        QString url = TokenText(parser.Value(fUrl));
        QString song = TokenText(parser.Value(fSong));
        const QByteArrayView type = parser.Value(fType);
        const QByteArrayView bnum = parser.Value(fBnum);
        QString bnumText = TokenText(bnum.isEmpty() ? type : bnum);

        TSCServer* station = index.Find(a.Address, a.Port, hash);
        const bool isNew = !station;
        if (isNew) {
            out.Stations.append(TServerRef(cls.Create(a.Address, a.Port)));
            station = static_cast<TSCServer*>(out.Stations.last().get());
        }
        station->HostPort = station->Port;
        station->StreamURL = std::move(a.StreamURL);
        station->Name = std::move(nameText);
        station->Genre = std::move(genre);
        station->NumPlayers = TokenInt(parser.Value(fNum));
        // A 32-bit sum that wraps rather than overflows.
        out.TotalListeners = int(quint32(out.TotalListeners) + quint32(station->NumPlayers));
        station->MaxPlayers = TokenInt(parser.Value(fMax));
        station->Bitrate = TokenInt(parser.Value(fBitrate));
        station->AvgTime = qMax(0, TokenInt(parser.Value(fAvg)));
        station->UpSince = qMax(0, TokenInt(parser.Value(fUp)));
        station->ChatIP = std::move(chatIp);
        station->URL = std::move(url);
        station->SongTitle = std::move(song);
        station->Ping = qMax(0, TokenInt(parser.Value(fPing)));
        station->PlayerKind = quint8(TokenInt(type) & 0xff);
        station->BNum = std::move(bnumText);
        station->Answered = true;
        ++out.StationCount;
        if (isNew) index.Add(station, hash);
    }
    return out;
}

// One parse handed to the worker thread; the result comes back through the list's
// context object, which drops it when the list has gone.
struct TSCServerList::TParseJob
{
    QByteArray Body;
    std::atomic<bool> Cancel{false};
    TParsedStations Result;
};

TSCServerList::TSCServerList() : parseContext_(std::make_unique<QObject>()) {}

TSCServerList::~TSCServerList()
{
    StopParse();
}

TSCServer* TSCServerList::FindStation(const QString& address, const QString& port) const
{
    for (const TServerRef& s : Servers)
        if (s->Address == address && s->Port == port) return static_cast<TSCServer*>(s.get());
    return nullptr;
}

void TSCServerList::StopParse()
{
    if (parseJob_) parseJob_->Cancel = true;
    if (parseThread_.joinable()) parseThread_.join();
    parseJob_.reset();
}

void TSCServerList::RefreshAll()
{
    StopParse();
    TCustomHTTPServerList::RefreshAll();
}

void TSCServerList::ListReceived()
{
    if (parseJob_) {
        // The end of the transfer told twice while its list is parsed: nothing new. An
        // abort drops the parse and ends the cycle at once.
        if (!Aborted) return;
        StopParse();
        TCustomServerList::ListReceived();
        return;
    }
    parseClock_.start();
    if (Aborted) {
        // Stations of an aborted cycle would never be queried or shown.
        TotalListeners = 0;
        StationCount = 0;
        TCustomServerList::ListReceived();
        return;
    }
    if (Body.size() < OffThreadParseBytes) {
        FinishParse(ParseStationList(Body, ServerClass(), nullptr));
        return;
    }
    // A big list: inflate and parse on a worker thread, so that the window answers.
    auto job = std::make_shared<TParseJob>();
    job->Body = Body;
    parseJob_ = job;
    const TServerClass* cls = &ServerClass();
    QObject* context = parseContext_.get();
    parseThread_ = std::thread([this, job, cls, context] {
        job->Result = ParseStationList(job->Body, *cls, &job->Cancel);
        if (job->Cancel) return;
        QMetaObject::invokeMethod(
            context, [this, job] { ParseFinished(job); }, Qt::QueuedConnection);
    });
}

void TSCServerList::ParseFinished(const std::shared_ptr<TParseJob>& job)
{
    if (job != parseJob_) return; // a parse given up meanwhile
    if (parseThread_.joinable()) parseThread_.join();
    parseJob_.reset();
    if (State != lsFetching) return;
    FinishParse(std::move(job->Result));
}

void TSCServerList::FinishParse(TParsedStations parsed)
{
    TotalListeners = parsed.TotalListeners;
    StationCount = parsed.StationCount;
    if (Servers.isEmpty()) {
        Servers = std::move(parsed.Stations);
    } else {
        // An address refresh: the answer updates the stations asked for, in place; the
        // first station with an address and port takes its record.
        TStationIndex index(size_t(Servers.size()) + size_t(parsed.Stations.size()));
        for (const TServerRef& s : std::as_const(Servers)) {
            if (!s->InheritsFrom(TSCServer::Class())) continue;
            const size_t h = TStationIndex::Hash(s->Address, s->Port);
            if (!index.Find(s->Address, s->Port, h)) index.Add(static_cast<TSCServer*>(s.get()), h);
        }
        for (TServerRef& p : parsed.Stations) {
            auto* from = static_cast<TSCServer*>(p.get());
            const size_t h = TStationIndex::Hash(from->Address, from->Port);
            if (TSCServer* known = index.Find(from->Address, from->Port, h)) {
                TakeListFields(*known, *from);
            } else {
                index.Add(from, h);
                Servers.append(std::move(p));
            }
        }
    }
    TCustomServerList::ListReceived();
    DebugLog(QStringLiteral("Parse List took ") + QString::number(parseClock_.elapsed()) +
                 QStringLiteral(" ms"),
             dcPerfOut);
}

void TSCServerList::UpdateServers(const QList<TServerRef>& list)
{
    RequestSuffix = QStringLiteral("&ip=");
    StopParse();
    DropCycle();
    Servers = list;
    bool first = true;
    for (const TServerRef& s : list) {
        if (!first) RequestSuffix += QLatin1Char('\\');
        first = false;
        const QString key = s->InheritsFrom(TSCServer::Class())
                                ? static_cast<TSCServer*>(s.get())->Key()
                                : s->Address + QLatin1Char(':') + s->Port;
        RequestSuffix += UrlEncode(key);
        s->Name = TSCServer::NotResponding();
    }
    FetchList();
}
