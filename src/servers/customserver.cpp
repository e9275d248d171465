#include "customserver.h"

#include "asyncping.h"
#include "config.h"
#include "debuglog.h"
#include "netutils.h"
#include "productprofile.h"
#include "wsockets.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <vector>

// ---------------------------------------------------------------------------------------
// Helpers

QString DurationText(qint64 seconds)
{
    if (seconds <= 0) return QStringLiteral("0");
    const qint64 days = seconds / 86400;
    const qint64 hours = seconds / 3600 - days * 24;
    const qint64 minutes = seconds / 60 - (seconds / 3600) * 60;
    QString s;
    if (days > 0) s += QString::number(days) + QLatin1String("d ");
    if (hours > 0) s += QString::number(hours) + QLatin1String("h ");
    s += QString::number(minutes) + QLatin1Char('m');
    return s;
}

quint32 TickCount()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    // Offset so that the count does not start near zero, like a machine's uptime.
    return quint32(clock.elapsed() + 1000000);
}

int StrToIntDef0(QStringView text)
{
    bool ok = false;
    const int v = text.toInt(&ok, 10);
    return ok ? v : 0;
}

namespace {

const TServerClass* AsClass(const TServerClass& c)
{
    return &c;
}

} // namespace

bool TServerClass::InheritsFrom(const TServerClass& other) const
{
    for (const TServerClass* c = this; c; c = c->Parent)
        if (c == &other) return true;
    return false;
}

// ---------------------------------------------------------------------------------------
// TCustomServer

TCustomServer::TCustomServer(const QString& address, const QString& port)
    : Address(address), Port(port), HostPort(port)
{
}

TCustomServer::~TCustomServer()
{
    // A server freed while querying ends its attempt without retry or event.
    if (Querying || QueryTimer) TCustomServer::StopQuery();
}

const TServerClass& TCustomServer::Class()
{
    static const TServerClass c{
        "TCustomServer",
        nullptr,
        [](const QString& a, const QString& p) -> std::unique_ptr<TCustomServer> {
            return std::make_unique<TCustomServer>(a, p);
        },
        []() -> const TPlayerClass* { return &TCustomPlayer::Class(); },
        []() { return 0; },
        []() { return TColumnNames(); },
    };
    return c;
}

void TCustomServer::Query(TQueryDoneEvent onDone)
{
    Querying = true;
    OnQueryDone = std::move(onDone);
    Answered = true;
    ReleaseQueryTimer();
    QueryTimer = std::make_unique<QTimer>();
    QueryTimer->setTimerType(Qt::PreciseTimer);
    QueryTimer->setInterval(Timeout);
    QTimer* t = QueryTimer.get();
    QObject::connect(t, &QTimer::timeout, [this, t] { QueryTimerFired(t); });
    t->start();
}

void TCustomServer::QueryTimerFired(QTimer* timer)
{
    // Only the server's own, enabled timer counts.
    if (QueryTimer.get() != timer || !timer->isActive()) return;
    timer->stop();
    QueryTimedOut();
}

void TCustomServer::QueryTimedOut()
{
    Answered = false;
    QueryDone();
}

void TCustomServer::QueryDone()
{
    ReleaseQueryTimer();
    if (Answered || RetryCount >= MaxRetries) {
        RetryCount = 0;
        Querying = false;
        // The receiver may free this server: nothing is touched after the call.
        TQueryDoneEvent ev = OnQueryDone;
        if (ev) ev(this);
    } else {
        ++RetryCount;
        TQueryDoneEvent ev = OnQueryDone;
        Query(std::move(ev));
    }
}

void TCustomServer::ReleaseQueryTimer()
{
    if (!QueryTimer) return;
    QTimer* t = QueryTimer.release();
    t->stop();
    QObject::disconnect(t, nullptr, nullptr, nullptr);
    // The timer may be the one whose signal is being delivered right now.
    t->deleteLater();
}

void TCustomServer::StopQuery()
{
    ReleaseQueryTimer();
    Querying = false;
    RetryCount = 0;
}

void TCustomServer::GetColumns(QStringList&) const {}

void TCustomServer::SetRules(const QString& text)
{
    ClearRules();
    QString t;
    t.reserve(text.size());
    for (QChar c : text)
        if (c.unicode() >= 32 && c.unicode() <= 127) t += c;
    while (t.contains(QLatin1Char('\\'))) {
        const QString key = NextToken(t, QStringLiteral("\\"));
        const QString value = NextToken(t, QStringLiteral("\\"));
        if (key.isEmpty() || key == QLatin1String("final") || key == QLatin1String("queryid") ||
            key == QLatin1String("gamename"))
            continue;
        AddRule(key, value);
    }
}

void TCustomServer::AddRule(const QString& key, const QString& value)
{
    Rules.append(TRule{key, value});
}

void TCustomServer::ClearRules()
{
    Rules.clear();
}

QString TCustomServer::RuleValue(const QString& key) const
{
    for (const TRule& r : InfoLines())
        if (r.Key == key) return r.Value;
    return {};
}

// ---------------------------------------------------------------------------------------
// TSCServer

TSCServer::TSCServer(const QString& address, const QString& port) : TCustomServer(address, port) {}

TSCServer::~TSCServer()
{
    if (Querying || QueryTimer) TSCServer::StopQuery();
    DetachPingThread();
}

const TServerClass& TSCServer::Class()
{
    static const TServerClass c{
        "TSCServer",
        AsClass(TCustomServer::Class()),
        [](const QString& a, const QString& p) -> std::unique_ptr<TCustomServer> {
            return std::make_unique<TSCServer>(a, p);
        },
        []() -> const TPlayerClass* {
            throw EAssertionFailed(QStringLiteral("TRIED TO GET SHOUTCAST PLAYER CLASS"),
                                   "customserver", 594);
        },
        []() { return 6; },
        []() {
            return TColumnNames{
                {QStringLiteral("Station Name"), ckText}, {QStringLiteral("Ping"), ckPing},
                {QStringLiteral("Listeners"), ckPlayers}, {QStringLiteral("Bitrate"), ckBitrate},
                {QStringLiteral("Avg Time"), ckAvgTime},  {QStringLiteral("Uptime"), ckUptime}};
        },
    };
    return c;
}

void TSCServer::GetColumns(QStringList& strings) const
{
    strings << Name << QString::number(Ping)
            << QString::number(NumPlayers) + QLatin1Char('/') + QString::number(MaxPlayers)
            << QString::number(Bitrate) << DurationText(AvgTime)
            << (UpSince == 0 ? QStringLiteral("0") : DurationText(UnixTimeNow() - UpSince));
}

QList<TRule> TSCServer::InfoLines() const
{
    QList<TRule> lines;
    lines.reserve(9);
    lines.append({QStringLiteral("Server URL"), URL});
    lines.append({QStringLiteral("Current Song"),
                  SongTitle.isEmpty() ? QStringLiteral("Unknown - See ") + Profile().WebSite +
                                            QStringLiteral("/plugin for more info")
                                      : SongTitle});
    lines.append({QStringLiteral("Server Address"), ChatIP});
    lines.append({QStringLiteral("Server Name"), Name});
    lines.append({QStringLiteral("Genre"), Genre});
    lines.append({QStringLiteral("Average Listen Time"), DurationText(AvgTime)});
    lines.append({QStringLiteral("Bitrate"), QString::number(Bitrate)});
    lines.append({QStringLiteral("Listeners"),
                  QString::number(NumPlayers) + QLatin1Char('/') + QString::number(MaxPlayers)});
    if (UpSince != 0)
        lines.append({QStringLiteral("Total up time"), DurationText(UnixTimeNow() - UpSince)});
    return lines;
}

bool TSCServer::BuiltInOnly() const
{
    if (StreamURL.startsWith(QLatin1String("https:"), Qt::CaseInsensitive)) return true;
    QStringView path(StreamURL);
    if (const qsizetype end = path.indexOf(QLatin1Char('?')); end >= 0) path = path.left(end);
    if (const qsizetype end = path.indexOf(QLatin1Char('#')); end >= 0) path = path.left(end);
    for (const char* ext : {".pls", ".m3u", ".m3u8"})
        if (path.endsWith(QLatin1String(ext), Qt::CaseInsensitive)) return true;
    return false;
}

TSCServer::TLogo TSCServer::StationLogo() const
{
    if (BNum.isEmpty()) return {};
    const QString name = BNum + QStringLiteral(".bmp");
    return {name, Profile().LogoBase + QStringLiteral("/buttons/") + name, false};
}

void TSCServer::Query(TQueryDoneEvent onDone)
{
    if (ProgramValues().PingMode == 2) {
        // No ping: the attempt ends answered, keeping the list's value, as soon as the
        // loop turns (not inside the caller's pump), without waiting: ten thousand
        // stations would otherwise wait 100 ms each. A shared station needs no timer.
        const std::weak_ptr<TCustomServer> self = weak_from_this();
        if (!self.expired() && QCoreApplication::instance()) {
            ReleaseQueryTimer();
            DetachPingThread();
            Querying = true;
            OnQueryDone = std::move(onDone);
            Answered = true;
            QueryStartTick = TickCount();
            attemptMode_ = 2;
            const quint32 attempt = ++noPingAttempt_;
            QCoreApplication* app = QCoreApplication::instance();
            if (QThread::currentThread() == app->thread()) {
                // On the loop's own thread the attempts of one turn end together, from one
                // queued call: a list of many thousands posts a handful of events, not one
                // a station.
                static std::vector<std::pair<std::weak_ptr<TCustomServer>, quint32>> pending;
                static bool posted = false;
                pending.emplace_back(self, attempt);
                if (!posted) {
                    posted = true;
                    QMetaObject::invokeMethod(
                        app,
                        [] {
                            posted = false;
                            const auto batch = std::exchange(pending, {});
                            for (const auto& [weak, id] : batch) {
                                const auto s = weak.lock();
                                auto* st = static_cast<TSCServer*>(s.get());
                                if (st && st->Querying && st->noPingAttempt_ == id) st->QueryDone();
                            }
                        },
                        Qt::QueuedConnection);
                }
                return;
            }
            QMetaObject::invokeMethod(
                app,
                [self, attempt] {
                    const auto s = self.lock();
                    auto* st = static_cast<TSCServer*>(s.get());
                    if (st && st->Querying && st->noPingAttempt_ == attempt) st->QueryDone();
                },
                Qt::QueuedConnection);
            return;
        }
    }
    TCustomServer::Query(std::move(onDone));
    QueryStartTick = TickCount();
    DetachPingThread();
    int mode = ProgramValues().PingMode;
    if (mode == 0 && !StartPinger()) {
        // No raw pinger here: the echo thread serves for the rest of the run.
        DebugLog(QStringLiteral("No ICMP socket for the pinger: pinging on threads (") +
                 PingMethodName(CurrentPingMethod()) + QLatin1Char(')'));
        ProgramValues().PingMode = 1;
        mode = 1;
    }
    attemptMode_ = mode;
    if (mode == 1) {
        PingThread = TAsyncping::Create();
        PingThread->HostAddress = PingAddress();
        // A stream station's port text carries its path ("8000/live"); no port is 80.
        int port = 0;
        for (QChar c : std::as_const(HostPort)) {
            if (!c.isDigit() || port > 65535) break;
            port = port * 10 + c.digitValue();
        }
        PingThread->FallbackPort = port > 0 ? port : 80;
        PingThread->SetHandler(
            [](TSCServer* station, TAsyncping* sender) { station->PingDone(sender); }, this);
        PingThread->Resume();
    } else if (mode == 2) {
        // A station nobody shares: its attempt ends from a timer that fires at once.
        QTimer* t = QueryTimer.get();
        QObject::disconnect(t, nullptr, nullptr, nullptr);
        t->setInterval(0);
        QObject::connect(t, &QTimer::timeout, [this, t] {
            if (QueryTimer.get() == t && Answered) QueryDone();
        });
        t->start();
    }
}

void TSCServer::PingDone(const void* sender)
{
    if (!QueryTimer || !Answered || attemptMode_ == 2) return;
    if (attemptMode_ == 1) {
        // A late result of an earlier attempt's request does not end this attempt.
        if (!PingThread || sender != PingThread.get()) return;
        Ping = PingThread->RoundTrip;
    } else if (attemptMode_ == 0) {
        // Both echoes must come back within the attempt; otherwise it times out.
        if (!Pinger || sender != Pinger.get() || Pinger->Answers() < Pinger->NPings) return;
        Ping = PingerAverage();
    }
    QueryDone();
}

void TSCServer::QueryDone()
{
    if (attemptMode_ == 0) StopPinger();
    if (attemptMode_ == 1 && PingThread && !PingThread->Succeeded) {
        Ping = 9999;
        Answered = false;
    }
    // The attempt's request has served: a late answer of it finds no station, and a
    // list of many thousands keeps no request object per station.
    DetachPingThread();
    if (Name == NotResponding()) Ping = 9999;
    TCustomServer::QueryDone();
}

void TSCServer::StopQuery()
{
    StopPinger();
    DetachPingThread();
    TCustomServer::StopQuery();
}

bool TSCServer::StartPinger()
{
    // The pinger needs an ICMP socket. Where the system refuses both kinds (no ping group
    // for the user, no raw-socket privilege) the echo thread takes over, whose TCP round
    // trip still measures the station.
    if (CurrentPingMethod() == TPingMethod::TcpConnect) return false;
    auto pinger = std::make_unique<TPinger>();
    pinger->OnReply = [this](TPinger* sender) { PingDone(sender); };
    pinger->Host = PingAddress();
    pinger->NPings = 2;
    Pinger = std::move(pinger);
    Pinger->Ping();
    return true;
}

void TSCServer::StopPinger()
{
    if (!Pinger) return;
    Pinger->OnReply = nullptr;
    Pinger->Stop();
    // It may be the pinger whose reply is being delivered right now.
    Pinger.release()->deleteLater();
}

int TSCServer::PingerAverage() const
{
    return Pinger ? Pinger->AverageTime() : 9999;
}

void TSCServer::DetachPingThread()
{
    if (PingThread) {
        PingThread->Detach();
        PingThread.reset();
    }
}

// ---------------------------------------------------------------------------------------
// Players

TCustomPlayer::TCustomPlayer(const QString& text) : rest_(text)
{
    Name = GetKeyValue(rest_, QStringLiteral("player"), true);
    Frags = StrToIntDef0(GetKeyValue(rest_, QStringLiteral("frags"), true));
    Ping = StrToIntDef0(GetKeyValue(rest_, QStringLiteral("ping"), true));
}

const TPlayerClass& TCustomPlayer::Class()
{
    static const TPlayerClass c{
        "TCustomPlayer",
        nullptr,
        []() { return 3; },
        []() {
            return TColumnNames{{QStringLiteral("Name"), ckText},
                                {QStringLiteral("Frags"), ckText},
                                {QStringLiteral("Ping"), ckPing}};
        },
        [](const QString& t) -> std::unique_ptr<TCustomPlayer> {
            return std::make_unique<TCustomPlayer>(t);
        },
    };
    return c;
}

void TCustomPlayer::GetColumns(QStringList& strings) const
{
    strings << Name << QString::number(Frags) << QString::number(Ping);
}

TZelkPlayer::TZelkPlayer(const QString& text) : TCustomPlayer(text)
{
    Deaths = StrToIntDef0(GetKeyValue(rest_, QStringLiteral("deaths"), true));
    Team = GetKeyValue(rest_, QStringLiteral("team"), true);
    Id = GetKeyValue(rest_, QStringLiteral("id"), true);
}

const TPlayerClass& TZelkPlayer::Class()
{
    static const TPlayerClass c{
        "TZelkPlayer",
        &TCustomPlayer::Class(),
        []() { return 5; },
        []() {
            return TColumnNames{{QStringLiteral("Name"), ckText},
                                {QStringLiteral("Frags"), ckText},
                                {QStringLiteral("Deaths"), ckText},
                                {QStringLiteral("Ping"), ckPing},
                                {QStringLiteral("Team"), ckText}};
        },
        [](const QString& t) -> std::unique_ptr<TCustomPlayer> {
            return std::make_unique<TZelkPlayer>(t);
        },
    };
    return c;
}

void TZelkPlayer::GetColumns(QStringList& strings) const
{
    strings << Name << QString::number(Frags) << QString::number(Deaths) << QString::number(Ping)
            << Team;
}

TBGatePlayer::TBGatePlayer(const QString& text) : TZelkPlayer(text)
{
    Class_ = GetKeyValue(rest_, QStringLiteral("class"), true);
    Level = GetKeyValue(rest_, QStringLiteral("level"), true);
    Race = GetKeyValue(rest_, QStringLiteral("race"), true);
}

const TPlayerClass& TBGatePlayer::Class()
{
    static const TPlayerClass c{
        "TBGatePlayer",
        &TZelkPlayer::Class(),
        []() { return 5; },
        []() {
            return TColumnNames{{QStringLiteral("Name"), ckText},
                                {QStringLiteral("Owner"), ckText},
                                {QStringLiteral("Class"), ckText},
                                {QStringLiteral("Race"), ckText},
                                {QStringLiteral("Level"), ckText}};
        },
        [](const QString& t) -> std::unique_ptr<TCustomPlayer> {
            return std::make_unique<TBGatePlayer>(t);
        },
    };
    return c;
}

void TBGatePlayer::GetColumns(QStringList& strings) const
{
    // A character's owner is carried in the "team" key.
    strings << Name << Team << Class_ << Race << Level;
}

// ---------------------------------------------------------------------------------------
// Game servers

TGameServer::TGameServer(const QString& address, const QString& port) : TCustomServer(address, port)
{
}

TGameServer::~TGameServer() = default;

const TServerClass& TGameServer::Class()
{
    static const TServerClass c{
        "TGameServer",
        AsClass(TCustomServer::Class()),
        nullptr, // abstract
        []() -> const TPlayerClass* { return &TCustomPlayer::Class(); },
        []() { return 0; },
        []() { return TColumnNames(); },
    };
    return c;
}

bool TGameServer::AppendReply(const QString&)
{
    return true;
}

void TGameServer::AddPlayer(const QString& text)
{
    Players.push_back(PlayerClass()->Create(text));
}

void TGameServer::ClearPlayers()
{
    Players.clear();
}

TUDPQueryServer::TUDPQueryServer(const QString& address, const QString& port)
    : TGameServer(address, port)
{
}

const TServerClass& TUDPQueryServer::Class()
{
    static const TServerClass c{
        "TUDPQueryServer",
        AsClass(TGameServer::Class()),
        nullptr, // abstract
        []() -> const TPlayerClass* { return &TCustomPlayer::Class(); },
        []() { return 0; },
        []() { return TColumnNames(); },
    };
    return c;
}

TZelkServer::TZelkServer(const QString& address, const QString& port)
    : TUDPQueryServer(address, port), PlayerKeys{QStringLiteral("player"), QStringLiteral("frags"),
                                                 QStringLiteral("deaths"), QStringLiteral("ping"),
                                                 QStringLiteral("team"),   QStringLiteral("id")}
{
}

const TServerClass& TZelkServer::Class()
{
    static const TServerClass c{
        "TZelkServer",
        AsClass(TUDPQueryServer::Class()),
        [](const QString& a, const QString& p) -> std::unique_ptr<TCustomServer> {
            return std::make_unique<TZelkServer>(a, p);
        },
        []() -> const TPlayerClass* { return &TZelkPlayer::Class(); },
        []() { return 5; },
        []() {
            return TColumnNames{{QStringLiteral("Server Name"), ckText},
                                {QStringLiteral("Ping"), ckPing},
                                {QStringLiteral("Players"), ckPlayers},
                                {QStringLiteral("Map"), ckText},
                                {QStringLiteral("Game Type"), ckText}};
        },
    };
    return c;
}

void TZelkServer::GetColumns(QStringList& strings) const
{
    strings << Name << QString::number(Ping)
            << QString::number(NumPlayers) + QLatin1Char('/') + QString::number(MaxPlayers) << Map
            << GameType;
}

TBGateServer::TBGateServer(const QString& address, const QString& port) : TZelkServer(address, port)
{
    PlayerKeys << QStringLiteral("class") << QStringLiteral("level") << QStringLiteral("race");
}

const TServerClass& TBGateServer::Class()
{
    static const TServerClass c{
        "TBGateServer",
        AsClass(TZelkServer::Class()),
        [](const QString& a, const QString& p) -> std::unique_ptr<TCustomServer> {
            return std::make_unique<TBGateServer>(a, p);
        },
        []() -> const TPlayerClass* { return &TBGatePlayer::Class(); },
        []() { return 5; },
        []() {
            return TColumnNames{{QStringLiteral("Server Name"), ckText},
                                {QStringLiteral("Ping"), ckPing},
                                {QStringLiteral("Players"), ckPlayers},
                                {QStringLiteral("Map"), ckText},
                                {QStringLiteral("Game Mode"), ckText}};
        },
    };
    return c;
}

void TBGateServer::GetColumns(QStringList& strings) const
{
    strings << Name << QString::number(Ping)
            << QString::number(NumPlayers) + QLatin1Char('/') + QString::number(MaxPlayers) << Map
            << GameMode;
}
