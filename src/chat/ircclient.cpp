#include "ircclient.h"
#include "debuglog.h"
#include "wsocket.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QLocale>
#include <QPointer>
#include <QStringDecoder>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <exception>
#include <initializer_list>

namespace {

bool sameText(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// Fills each "%s" of the format with the next argument, in one pass, so that argument
// text is never read as a format itself.
QString fmt(const char* format, std::initializer_list<QString> args)
{
    const QString f = QString::fromLatin1(format);
    QString out;
    auto it = args.begin();
    for (qsizetype i = 0; i < f.size(); ++i) {
        if (f[i] == u'%' && i + 1 < f.size() && f[i + 1] == u's') {
            if (it != args.end()) out += *it++;
            ++i;
        } else {
            out += f[i];
        }
    }
    return out;
}

// A decimal number, or 0 when the text is not one.
int decimal(const QString& text)
{
    bool ok = false;
    const int v = text.toInt(&ok, 10);
    return ok ? v : 0;
}

// Server text is UTF-8 in practice; anything that is not valid UTF-8 is read as Latin-1
// so that no byte is lost.
QString decodeLine(const QByteArray& raw)
{
    QStringDecoder dec(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString s = dec(raw);
    if (dec.hasError()) return QString::fromLatin1(raw);
    return s;
}

} // namespace

// ---------------------------------------------------------------------------------------
// TUsers

TUsers::~TUsers() = default;

int TUsers::indexOf(const QString& nick) const
{
    for (size_t i = 0; i < entries_.size(); ++i)
        if (sameText(entries_[i].first, nick)) return int(i);
    return -1;
}

void TUsers::insertSorted(const QString& nick, TUser* user)
{
    auto pos = std::lower_bound(entries_.begin(), entries_.end(), nick,
                                [](const std::pair<QString, TUser*>& e, const QString& n) {
                                    return e.first.compare(n, Qt::CaseInsensitive) < 0;
                                });
    entries_.insert(pos, {nick, user});
}

TUser* TUsers::Add(const QString& nick, const QString& address)
{
    const int i = indexOf(nick);
    if (i >= 0) {
        TUser* u = entries_[size_t(i)].second;
        ++u->RefCount;
        if (!address.isEmpty() && address != u->Address) u->Address = address;
        return u;
    }
    auto u = std::make_unique<TUser>();
    u->Nick = nick;
    u->Address = address;
    TUser* p = u.get();
    owned_.push_back(std::move(u));
    insertSorted(nick, p);
    return p;
}

bool TUsers::Owns(const TUser* user) const
{
    for (const auto& u : owned_)
        if (u.get() == user) return true;
    return false;
}

void TUsers::Release(TUser* user)
{
    if (!user || !Owns(user)) return;
    if (user->RefCount > 1) {
        --user->RefCount;
        return;
    }
    std::erase_if(entries_, [user](const auto& e) { return e.second == user; });
    std::erase_if(owned_, [user](const auto& u) { return u.get() == user; });
}

TUser* TUsers::Find(const QString& nick) const
{
    const int i = indexOf(nick);
    return i >= 0 ? entries_[size_t(i)].second : nullptr;
}

void TUsers::Rename(const QString& oldNick, const QString& newNick)
{
    const int i = indexOf(oldNick);
    if (i < 0) return;
    TUser* u = entries_[size_t(i)].second;
    u->Nick = newNick;
    entries_.erase(entries_.begin() + i);
    const int j = indexOf(newNick);
    if (j >= 0) {
        // The user formerly known under the new nick stays owned here until it is
        // released or the registry is cleared.
        entries_[size_t(j)] = {newNick, u};
    } else {
        insertSorted(newNick, u);
    }
}

void TUsers::Clear()
{
    entries_.clear();
    owned_.clear();
    ++generation_;
}

// ---------------------------------------------------------------------------------------
// TChannel

TChannel::TChannel(const QString& name, TChannelUpdateEvent onUpdate, TUsers* users)
    : Name(name), OnChannelUpdate(std::move(onUpdate)), users_(users)
{
}

void TChannel::raise(TChannelUpdateType type, TUser* user, int info)
{
    if (OnChannelUpdate) OnChannelUpdate(this, type, user, info);
}

int TChannel::IndexOfName(const QString& nick) const
{
    for (size_t i = 0; i < Names.size(); ++i)
        if (sameText(Names[i].Nick, nick)) return int(i);
    return -1;
}

int TChannel::FlagsOf(const QString& nick) const
{
    const int i = IndexOfName(nick);
    return i >= 0 ? Names[size_t(i)].Flags : -1;
}

void TChannel::SetTopic(const QString& text)
{
    Topic = text;
    raise(cuTopic, nullptr, 0);
}

void TChannel::SetModes(int bits)
{
    Modes = bits;
    raise(cuModes, nullptr, 0);
}

void TChannel::SetLimit(int limit)
{
    Limit = limit;
    raise(cuModes, nullptr, 0);
}

void TChannel::SetKey(const QString& key)
{
    Key = key;
    raise(cuModes, nullptr, 0);
}

void TChannel::setFlag(TUser* user, int bit, bool on)
{
    if (!user) return;
    const int i = IndexOfName(user->Nick);
    if (i < 0) return;
    int& f = Names[size_t(i)].Flags;
    f = on ? (f | bit) : (f & ~bit);
    raise(cuUserFlags, user, f);
}

void TChannel::Op(TUser* user)
{
    setFlag(user, nfOperator, true);
}
void TChannel::Deop(TUser* user)
{
    setFlag(user, nfOperator, false);
}
void TChannel::Voice(TUser* user)
{
    setFlag(user, nfVoice, true);
}
void TChannel::Devoice(TUser* user)
{
    setFlag(user, nfVoice, false);
}

void TChannel::Rename(TUser* user, const QString& newNick)
{
    if (!user) return;
    const int i = IndexOfName(user->Nick);
    if (i < 0) return;
    Names[size_t(i)].Nick = newNick;
    raise(cuNick, user, i);
}

void TChannel::Join(TUser* user)
{
    if (!user || IndexOfName(user->Nick) >= 0) return;
    Names.push_back({user->Nick, 0});
    raise(cuJoin, user, int(Names.size()) - 1);
}

void TChannel::remove(TUser* user, TChannelUpdateType type)
{
    if (!user) return;
    const int i = IndexOfName(user->Nick);
    if (i < 0) return;
    Names.erase(Names.begin() + i);
    raise(type, user, i);
}

void TChannel::Part(TUser* user)
{
    remove(user, cuPart);
}
void TChannel::Kick(TUser* user)
{
    remove(user, cuKick);
}
void TChannel::Quit(TUser* user)
{
    remove(user, cuQuit);
}

void TChannel::AddName(const QString& entry)
{
    QString nick = entry;
    int flags = 0;
    if (nick.startsWith(u'@')) {
        flags = nfOperator;
        nick.remove(0, 1);
        if (nick.endsWith(u'+')) {
            flags |= nfVoice;
            nick.chop(1);
        }
    } else if (nick.startsWith(u'+')) {
        flags = nfVoice;
        nick.remove(0, 1);
    }
    // A bare "@" or "+" names nobody; an empty nick would alias the server's user.
    if (nick.isEmpty()) return;
    const int i = IndexOfName(nick);
    if (i >= 0) {
        // A later names reply is the server's current word on this user's status.
        Names[size_t(i)].Flags = flags;
        return;
    }
    if (users_) users_->Add(nick, QString());
    Names.push_back({nick, flags});
}

void TChannel::NamesDone()
{
    raise(cuNames, nullptr, 0);
}

// ---------------------------------------------------------------------------------------
// TChannels

int TChannels::indexOf(const QString& name) const
{
    for (size_t i = 0; i < list_.size(); ++i)
        if (sameText(list_[i]->Name, name)) return int(i);
    return -1;
}

TChannel* TChannels::Add(const QString& name, TChannelUpdateEvent onUpdate, TUsers* users)
{
    Remove(name);
    auto ch = std::make_unique<TChannel>(name, std::move(onUpdate), users);
    TChannel* p = ch.get();
    auto pos = std::lower_bound(list_.begin(), list_.end(), name,
                                [](const std::unique_ptr<TChannel>& c, const QString& n) {
                                    return c->Name.compare(n, Qt::CaseInsensitive) < 0;
                                });
    list_.insert(pos, std::move(ch));
    return p;
}

void TChannels::Remove(const QString& name)
{
    const int i = indexOf(name);
    if (i >= 0) list_.erase(list_.begin() + i);
}

TChannel* TChannels::Find(const QString& name) const
{
    const int i = indexOf(name);
    return i >= 0 ? list_[size_t(i)].get() : nullptr;
}

void TChannels::Clear()
{
    list_.clear();
}

TChannels::~TChannels()
{
    *alive_ = false;
}

// A channel's update handler may free the client, and these lists with it: the loop
// stops there.
void TChannels::NickChange(TUser* user, const QString& newNick)
{
    const auto alive = alive_;
    for (size_t i = 0; *alive && i < list_.size(); ++i)
        list_[i]->Rename(user, newNick);
}

void TChannels::Quit(TUser* user)
{
    const auto alive = alive_;
    for (size_t i = 0; *alive && i < list_.size(); ++i)
        list_[i]->Quit(user);
}

// ---------------------------------------------------------------------------------------
// TIRCClient

TIRCClient::TIRCClient(QObject* owner) : QObject(owner), socket_(std::make_unique<TWSocket>())
{
    socket_->OnSessionConnected = [this](TWSocket*, int) { sessionConnected(); };
    socket_->OnSessionClosed = [this](TWSocket*, int) {
        // Lines that arrived before the server closed are handled first.
        if (LinesPending()) {
            closeAfterLines_ = true;
            if (!receiving_) sliceTimer_->start();
            return;
        }
        sessionClosed();
    };
    socket_->OnDataAvailable = [this](TWSocket*, int) { dataAvailable(); };
    sliceTimer_ = new QTimer(this);
    sliceTimer_->setSingleShot(true);
    sliceTimer_->setInterval(0);
    connect(sliceTimer_, &QTimer::timeout, this, [this] { nextSlice(); });
}

TIRCClient::~TIRCClient()
{
    // No events reach the owner from a component that is going away.
    socket_->OnSessionConnected = nullptr;
    socket_->OnSessionClosed = nullptr;
    socket_->OnDataAvailable = nullptr;
    if (Connected()) socket_->Abort();
}

QString TIRCClient::Nick() const
{
    return Connected() ? currentNick_ : nick_;
}

void TIRCClient::SetNick(const QString& nick)
{
    if (Connected())
        SendRaw(QStringLiteral("NICK ") + nick);
    else
        nick_ = nick;
}

void TIRCClient::SetUserMode(TUserModes m)
{
    if (!Connected()) userMode_ = m;
}

void TIRCClient::setState(TIRCState s)
{
    if (s == state_) return;
    state_ = s;
    if (OnStateChange) OnStateChange(this);
}

void TIRCClient::SendRaw(const QString& line)
{
    if (!Connected() || socket_->State() != wsConnected) {
        if (OnError) OnError(this, nullptr, QString(), QStringLiteral("Not connected to server."));
        return;
    }
    // One call sends one line: a line break inside the text would smuggle in a command.
    QString out = line;
    out.remove(u'\r');
    out.remove(u'\n');
    socket_->SendStr(out.toUtf8() + "\r\n");
    if (OnSend) OnSend(this, out);
}

void TIRCClient::beginSession()
{
    if (Connected()) Disconnect(true);
    ++session_;
    dropReceived();
    channels_.Clear();
    users_.Clear();
    ownUser_ = users_.Add(nick_, QString());
    currentNick_ = nick_;
    away_ = false;
    sameNickRetries_ = 0;
}

void TIRCClient::StartSessionForTest()
{
    beginSession();
    setState(isLoggingIn);
}

void TIRCClient::Connect()
{
    beginSession();
    setState(isConnecting);
    try {
        socket_->SetAddr(server_);
        socket_->SetPort(port_);
        socket_->Connect();
    } catch (...) {
        // The attempt never started: back to disconnected, as if the socket had closed.
        sessionClosed();
        throw;
    }
}

void TIRCClient::dropReceived()
{
    buffer_.clear();
    readPos_ = 0;
    scanFrom_ = 0;
    closeAfterLines_ = false;
    sliceTimer_->stop();
}

void TIRCClient::Disconnect(bool Force)
{
    // What the server sent before the user hung up and was not handled yet is dropped.
    dropReceived();
    if (state_ == isConnected && !Force)
        socket_->Close();
    else
        socket_->Abort();
    // A socket that was never opened reports no closing; the state follows anyway.
    if (socket_->State() == wsClosed || socket_->State() == wsInvalidState) sessionClosed();
}

void TIRCClient::sessionConnected()
{
    const TAlive alive(this);
    setState(isLoggingIn);
    if (!alive()) return;
    if (ircx_) {
        SendRaw(QStringLiteral("MODE ISIRCX"));
        SendRaw(QStringLiteral("IRCX"));
    }
    if (!password_.isEmpty()) SendRaw(QStringLiteral("PASS ") + password_);
    SendRaw(QStringLiteral("NICK ") + nick_);
    QStringList ips;
    try {
        ips = LocalIPList();
    } catch (const std::exception&) {
    }
    const QString ip = ips.isEmpty() ? QStringLiteral("127.0.0.1") : ips.first();
    SendRaw(fmt("USER %s %s %s :%s", {username_, ip, server_, realName_}));
    if (!alive()) return;
    if (OnConnect) OnConnect(this);
    // A refused attempt (or a proxy that would not open the tunnel) leaves the socket
    // closed without a closing report of its own.
    if (alive() && socket_->State() != wsConnected) sessionClosed();
}

void TIRCClient::sessionClosed()
{
    if (state_ == isDisconnected) return;
    TUser* own = ownUser_;
    const quint64 gen = users_.Generation();
    QPointer<TIRCClient> self(this);
    setState(isDisconnected);
    if (!self) return;
    if (OnDisconnect) OnDisconnect(this);
    if (!self) return;
    // A handler that connected again has a new own user already.
    if (ownUser_ == own && users_.Generation() == gen) {
        ownUser_ = nullptr;
        users_.Release(own);
    }
}

void TIRCClient::dataAvailable()
{
    buffer_.append(socket_->ReceiveStr());
    // A slice already due takes these lines in their turn.
    if (receiving_ || sliceTimer_->isActive()) return;
    handleBuffered(SliceMs);
}

void TIRCClient::ReceiveData(const QByteArray& bytes)
{
    buffer_.append(bytes);
    if (receiving_) return; // the outer call goes on with the grown buffer
    handleBuffered(-1);
}

void TIRCClient::nextSlice()
{
    if (receiving_) return;
    // No exception leaves through the event loop; as on the socket's own data path, a
    // failing handler ends its line and is logged.
    try {
        handleBuffered(SliceMs);
    } catch (const std::exception& e) {
        DebugLog("IRC: line handler: " + QString::fromLocal8Bit(e.what()), dcErrOut);
    } catch (...) {
        DebugLog(QStringLiteral("IRC: line handler failed"), dcErrOut);
    }
}

bool TIRCClient::LinesPending() const
{
    return buffer_.indexOf('\n', std::max(readPos_, scanFrom_)) >= 0;
}

void TIRCClient::handleBuffered(qint64 budgetMs)
{
    sliceTimer_->stop();
    QPointer<TIRCClient> self(this);
    receiving_ = true;
    bool more = false;
    {
        // Also when a handler throws: the handled lines leave the buffer, and the rest is
        // handled in the next slice or with the next data.
        struct Done
        {
            TIRCClient* c;
            const QPointer<TIRCClient>& self;
            ~Done()
            {
                if (!self) return; // a handler freed the client
                const qsizetype n = std::min(c->readPos_, c->buffer_.size());
                c->buffer_.remove(0, n);
                c->readPos_ = 0;
                c->scanFrom_ = std::max<qsizetype>(0, c->scanFrom_ - n);
                c->receiving_ = false;
                if (std::uncaught_exceptions() > 0 && (c->LinesPending() || c->closeAfterLines_))
                    c->sliceTimer_->start();
            }
        } done{this, self};
        more = receiveLines(budgetMs);
    }
    if (!self) return;
    if (more) {
        sliceTimer_->start();
        return;
    }
    // What is left holds no line end. A server that never sends one would otherwise grow
    // the buffer without end.
    if (buffer_.size() > MaxPendingBytes) {
        DebugLog(QStringLiteral("IRC: no line end within %1 bytes from the server: "
                                "disconnecting")
                     .arg(MaxPendingBytes),
                 dcErrOut);
        Disconnect(true);
        return;
    }
    if (closeAfterLines_) {
        closeAfterLines_ = false;
        sessionClosed();
    }
}

bool TIRCClient::receiveLines(qint64 budgetMs)
{
    QPointer<TIRCClient> self(this);
    QElapsedTimer clock;
    if (budgetMs >= 0) clock.start();
    while (readPos_ < buffer_.size()) {
        // Only bytes that arrived since the last look can hold the next line feed.
        const qsizetype pos = readPos_;
        const qsizetype lf = buffer_.indexOf('\n', std::max(pos, scanFrom_));
        if (lf < 0) {
            scanFrom_ = buffer_.size();
            break;
        }
        const char* base = buffer_.constData();
        const void* crp = memchr(base + pos, '\r', size_t(lf - pos));
        const qsizetype cr = crp ? qsizetype(static_cast<const char*>(crp) - base) : -1;
        // A CR ends the line unless the LF follows it at once; CR LF ends at the LF.
        const qsizetype end = (cr >= 0 && lf != cr + 1) ? cr : lf;
        QByteArray raw = buffer_.mid(pos, end - pos);
        readPos_ = end + 1;
        raw.replace('\r', QByteArray());
        raw.replace('\n', QByteArray());
        if (raw.isEmpty()) continue;
        // A handler that connects again empties the buffer for the new session; one that
        // disconnects drops the rest.
        handleLine(decodeLine(raw));
        if (!self) return false;
        if (budgetMs >= 0 && clock.elapsed() >= budgetMs) return LinesPending();
    }
    return false;
}

void TIRCClient::handleLine(const QString& line)
{
    if (OnReceive) {
        QPointer<TIRCClient> self(this);
        OnReceive(this, line);
        if (!self) return;
    }
    dispatch(ParseIrcLine(line));
}

void TIRCClient::dispatch(const TIrcLine& m)
{
    const quint64 gen = users_.Generation();
    TUser* user = users_.Add(m.PrefixNick, m.PrefixAddress);
    QPointer<TIRCClient> self(this);
    bool suppress = false;
    if (OnRaw) OnRaw(this, user, m.Command, m.ParamText, suppress);
    if (!self) return;
    if (!suppress && users_.Generation() == gen) {
        bool digits = !m.Command.isEmpty();
        for (QChar c : m.Command)
            if (c < u'0' || c > u'9') digits = false;
        if (digits) {
            bool ok = false;
            const int n = m.Command.toInt(&ok, 10);
            if (ok)
                handleNumeric(m, n, user);
            else if (OnUnknownCommand)
                OnUnknownCommand(this, user, m.Command, m.ParamText);
        } else {
            handleCommand(m, user);
        }
    }
    if (!self) return; // a handler freed the client
    // A Connect from inside a handler has already destroyed the line's user.
    if (users_.Generation() == gen) users_.Release(user);
}

void TIRCClient::handleCommand(const TIrcLine& m, TUser* user)
{
    const TAlive alive(this);
    const QString& cmd = m.Command;
    const bool own = !m.PrefixNick.isEmpty() && m.PrefixNick == currentNick_;

    if (cmd == u"PRIVMSG") {
        if (m.P(3).startsWith(QChar(1)))
            ctcpQuery(m, user);
        else if (OnMessage)
            OnMessage(this, user, channels_.Find(m.P(2)), m.P(3));
    } else if (cmd == u"NOTICE") {
        if (m.P(3).startsWith(QChar(1)))
            ctcpReply(m, user);
        else if (OnNotice)
            OnNotice(this, user, channels_.Find(m.P(2)), m.P(3));
    } else if (cmd == u"JOIN") {
        if (own) {
            TChannel* ch = channels_.Add(m.P(2), OnChannelUpdate, &users_);
            ch->Active = true;
            Mode(m.P(2), QString(), QString());
            if (alive() && OnJoined) OnJoined(this, ch);
        } else if (TChannel* ch = channels_.Find(m.P(2))) {
            ch->Join(user);
            if (alive() && OnJoin) OnJoin(this, user, ch);
        }
    } else if (cmd == u"PART") {
        user->Reason = m.P(3);
        TChannel* ch = channels_.Find(m.P(2));
        if (!ch) return;
        if (own) {
            ch->Active = false;
            ch->EndKind = 1;
            if (OnParted) OnParted(this, ch);
            if (alive()) channels_.Remove(m.P(2));
        } else {
            ch->Part(user);
            if (alive() && OnPart) OnPart(this, user, ch, m.P(3));
        }
    } else if (cmd == u"KICK") {
        user->Reason = m.P(4);
        TChannel* ch = channels_.Find(m.P(2));
        if (!ch) return;
        if (m.P(3) == currentNick_) {
            ch->Active = false;
            ch->EndKind = 2;
            if (OnKicked) OnKicked(this, user, ch);
            if (alive()) channels_.Remove(m.P(2));
        } else {
            TUser* victim = users_.Add(m.P(3), QString());
            victim->Reason = user->Reason;
            if (OnKick) OnKick(this, user, victim, ch);
            if (!alive()) return;
            ch->Kick(victim);
            if (alive()) users_.Release(victim);
        }
    } else if (cmd == u"MODE") {
        if (m.P(2).startsWith(u'#') || m.P(2).startsWith(u'@')) {
            TChannel* ch = channels_.Find(m.P(2));
            if (!ch) return;
            if (OnChannelMode) OnChannelMode(this, users_.Find(m.PrefixNick), ch, m.P(3));
            if (alive()) applyChannelModes(m, 2);
        } else if (m.P(2) == currentNick_) {
            if (OnUserMode) OnUserMode(this);
            if (alive()) applyUserModes(m);
        }
    } else if (cmd == u"NICK") {
        const QString newNick = m.P(2);
        if (own) {
            currentNick_ = newNick;
            if (OnNickChanged) OnNickChanged(this);
        } else if (OnNickChange) {
            OnNickChange(this, user, newNick);
        }
        if (!alive()) return;
        channels_.NickChange(user, newNick);
        if (!alive()) return;
        users_.Rename(user->Nick, newNick);
    } else if (cmd == u"QUIT") {
        user->Reason = m.P(2);
        if (OnQuit) OnQuit(this, user);
        if (alive()) channels_.Quit(user);
    } else if (cmd == u"INVITE") {
        if (OnInvite) OnInvite(this, user, m.P(3));
    } else if (cmd == u"KILL") {
        if (OnKill) OnKill(this, user, m.P(2), m.P(3));
    } else if (cmd == u"PING") {
        SendRaw(QStringLiteral("PONG :") + m.P(2));
        if (alive() && OnPingPong) OnPingPong(this);
    } else if (cmd == u"WALLOPS") {
        if (OnWallops) OnWallops(this, user, m.P(2));
    } else if (cmd == u"TOPIC") {
        if (TChannel* ch = channels_.Find(m.P(2))) {
            ch->SetTopic(m.P(3));
            if (alive() && OnTopic) OnTopic(this, user, ch);
        }
    } else if (OnUnknownCommand) {
        OnUnknownCommand(this, user, m.Command, m.ParamText);
    }
}

void TIRCClient::system(TUser* user, const QString& word, const QString& content)
{
    if (OnSystem) OnSystem(this, user, word, content);
}

void TIRCClient::handleNumeric(const TIrcLine& m, int n, TUser* user)
{
    const TAlive alive(this);
    auto in = [n](int lo, int hi) { return n >= lo && n <= hi; };

    if (in(1, 4) || n == 375) {
        if (state_ == isConnecting || state_ == isLoggingIn) setState(isConnected);
        if (!alive()) return;
        if (n == 375)
            system(user, QStringLiteral("MOTD"), m.P(3));
        else
            system(user, QStringLiteral("WELCOME"), m.ParamText);
    } else if (in(200, 206) || n == 208 || n == 261) {
        system(user, QStringLiteral("TRACE"), m.ParamText);
    } else if (in(211, 216) || n == 218 || in(241, 244)) {
        system(user, QStringLiteral("STATS"), m.ParamText);
    } else if (n == 219) {
        system(user, QStringLiteral("STATS"), fmt("%s :%s", {m.P(2), m.P(3)}));
    } else if (n == 221) {
        system(user, QStringLiteral("UMODE"), m.P(2));
    } else if (in(251, 255)) {
        system(user, QStringLiteral("LUSER"), m.P(3));
    } else if (in(256, 259)) {
        system(user, QStringLiteral("ADMIN"), m.ParamText);
    } else if (n == 301) {
        // "<me> <nick> :<message>": the away user is the one named, not the server.
        TUser* away = users_.Add(m.P(3), QString());
        away->Reason = m.P(4);
        if (OnAway) OnAway(this, away);
        if (alive()) users_.Release(away);
    } else if (n == 302) {
        system(user, QStringLiteral("USERHOST"), m.P(2));
    } else if (n == 303) {
        system(user, QStringLiteral("ISON"), m.P(2));
    } else if (n == 305) {
        away_ = false;
        if (OnUnAway) OnUnAway(this);
    } else if (n == 306) {
        away_ = true;
        if (OnNowAway) OnNowAway(this);
    } else if (n == 311) {
        system(user, QStringLiteral("WHOIS"),
               fmt("%s is %s@%s %s %s", {m.P(3), m.P(4), m.P(5), m.P(6), m.P(7)}));
    } else if (n == 312) {
        system(user, QStringLiteral("WHOIS"), fmt("%s is using %s :%s", {m.P(3), m.P(4), m.P(5)}));
    } else if (n == 313) {
        system(user, QStringLiteral("WHOIS"), fmt("%s %s", {m.P(3), m.P(4)}));
    } else if (n == 314) {
        system(user, QStringLiteral("WHOWAS"),
               fmt("%s was %s@%s %s %s", {m.P(3), m.P(4), m.P(5), m.P(6), m.P(7)}));
    } else if (n == 315) {
        system(user, QStringLiteral("WHO"), fmt("%s :%s", {m.P(3), m.P(4)}));
    } else if (n == 317) {
        system(user, QStringLiteral("WHOIS"),
               fmt("%s has been idle %s seconds, signed on at %s", {m.P(3), m.P(4), m.P(5)}));
    } else if (n == 318) {
        system(user, QStringLiteral("WHOIS"), fmt("%s :%s", {m.P(3), m.P(4)}));
    } else if (n == 319) {
        system(user, QStringLiteral("WHOIS"), fmt("%s is on %s", {m.P(3), m.P(4)}));
    } else if (n == 321) {
        system(user, QStringLiteral("LIST"), QStringLiteral("Start of LIST"));
        if (alive() && OnStartChannelInfo) OnStartChannelInfo(this);
    } else if (n == 322) {
        system(user, QStringLiteral("LIST"), fmt("%s %s %s", {m.P(2), m.P(3), m.P(4)}));
        if (alive() && OnAddChannelInfo) OnAddChannelInfo(this, m.P(3), decimal(m.P(4)), m.P(5));
    } else if (n == 323) {
        system(user, QStringLiteral("LIST"), m.P(2));
        if (alive() && OnEndChannelInfo) OnEndChannelInfo(this);
    } else if (n == 324) {
        applyChannelModes(m, 3);
    } else if (n == 329) {
        system(user, m.Command, m.ParamText);
    } else if (n == 331) {
        if (TChannel* ch = channels_.Find(m.P(3))) {
            ch->SetTopic(QString());
            if (alive() && OnNoTopic) OnNoTopic(this, ch);
        }
    } else if (n == 332) {
        if (TChannel* ch = channels_.Find(m.P(3))) {
            ch->SetTopic(m.P(4));
            if (alive() && OnTopic) OnTopic(this, user, ch);
        }
    } else if (n == 341) {
        if (OnInviting) OnInviting(this, m.P(4), m.P(3));
    } else if (n == 342) {
        system(user, QStringLiteral("SUMMON"), fmt("%s has been summoned", {m.P(2)}));
    } else if (n == 351) {
        system(user, QStringLiteral("VERSION"), fmt("%s %s :%s", {m.P(2), m.P(3), m.P(4)}));
    } else if (n == 352) {
        system(user, QStringLiteral("WHO"), m.P(2));
    } else if (n == 353) {
        system(user, QStringLiteral("NAMES"), fmt("%s :%s", {m.P(4), m.P(5)}));
        if (alive()) applyNames(m);
    } else if (n == 364) {
        system(user, QStringLiteral("LINKS"), fmt("%s %s :%s", {m.P(2), m.P(3), m.P(4)}));
    } else if (n == 365) {
        system(user, QStringLiteral("LINKS"), fmt("%s :%s", {m.P(2), m.P(3)}));
    } else if (n == 366) {
        system(user, QStringLiteral("NAMES"), fmt("%s :%s", {m.P(3), m.P(4)}));
    } else if (n == 367) {
        system(user, QStringLiteral("BANS"), fmt("%s %s", {m.P(2), m.P(3)}));
    } else if (n == 368) {
        system(user, QStringLiteral("BANS"), fmt("%s :%s", {m.P(2), m.P(3)}));
    } else if (n == 369) {
        system(user, QStringLiteral("WHOWAS"), fmt("%s :%s", {m.P(3), m.P(4)}));
    } else if (n == 371 || n == 374) {
        system(user, QStringLiteral("INFO"), m.P(2));
    } else if (n == 372 || n == 376) {
        system(user, QStringLiteral("MOTD"), m.P(3));
    } else if (n == 381) {
        system(user, QStringLiteral("OPER"), m.P(2));
    } else if (n == 382) {
        system(user, QStringLiteral("REHASH"), fmt("%s :%s", {m.P(2), m.P(3)}));
    } else if (n == 391) {
        system(user, QStringLiteral("TIME"), fmt("%s :%s", {m.P(2), m.P(3)}));
    } else if (in(392, 395)) {
        system(user, QStringLiteral("USERS"), m.P(2));
    } else if (n == 401 || n == 433 || n == 502) {
        if (OnError) OnError(this, user, m.Command, m.ParamText);
        if (n == 433 && alive() && state_ == isLoggingIn) nickInUse();
    } else if (OnUnknownCommand) {
        OnUnknownCommand(this, user, m.Command, m.ParamText);
    }
}

void TIRCClient::nickInUse()
{
    const TAlive alive(this);
    const QString before = currentNick_;
    if (currentNick_ == nick_) {
        currentNick_ = altNick_;
    } else if (currentNick_ == altNick_) {
        QString replacement = currentNick_;
        if (OnNicksInUse) {
            OnNicksInUse(this, replacement);
            if (!alive()) return;
        } else {
            replacement.clear();
        }
        currentNick_ = replacement;
    }
    // Offering the server the same refused nick again and again gets nowhere.
    if (currentNick_ == before && ++sameNickRetries_ > MaxSameNickRetries) currentNick_.clear();
    if (!currentNick_.isEmpty())
        SendRaw(QStringLiteral("NICK ") + currentNick_);
    else
        Disconnect(true);
}

void TIRCClient::applyChannelModes(const TIrcLine& m, int k)
{
    TChannel* ch = channels_.Find(m.P(k));
    if (!ch) return;
    const TAlive alive(this);
    TUser* setter = users_.Find(m.PrefixNick);
    const QString letters = m.P(k + 1);
    int arg = k + 2;
    auto next = [&]() -> QString { return arg < ParamCount ? m.P(arg++) : QString(); };
    bool plus = true;
    int bits = ch->Modes;

    for (QChar c : letters) {
        const char l = c.toLatin1();
        switch (l) {
        case '+':
        case '-':
            plus = l == '+';
            break;
        case 'b': {
            const QString mask = next();
            if (plus && OnBan) OnBan(this, setter, ch, mask);
            if (!plus && OnUnban) OnUnban(this, setter, ch, mask);
            break;
        }
        case 'o':
        case 'v': {
            const QString name = next();
            TUser* target = users_.Find(name);
            // Someone who joined after the names list is not registered yet; a reference
            // for this line lets the change reach their names entry.
            TUser* temp = nullptr;
            if (!target && !name.isEmpty()) target = temp = users_.Add(name, QString());
            if (l == 'o') {
                if (plus && OnOp) OnOp(this, setter, ch, target);
                if (!plus && OnDeop) OnDeop(this, setter, ch, target);
            } else {
                if (plus && OnVoice) OnVoice(this, setter, ch, target);
                if (!plus && OnDevoice) OnDevoice(this, setter, ch, target);
            }
            if (!alive()) return;
            if (l == 'o')
                plus ? ch->Op(target) : ch->Deop(target);
            else
                plus ? ch->Voice(target) : ch->Devoice(target);
            if (!alive()) return;
            if (temp) users_.Release(temp);
            break;
        }
        case 'k':
            if (plus) {
                bits |= cmKey;
                ch->SetKey(next());
            } else {
                bits &= ~cmKey;
                ch->SetKey(QString());
            }
            break;
        case 'l':
            if (plus) {
                bits |= cmLimit;
                ch->SetLimit(decimal(next()));
            } else {
                bits &= ~cmLimit;
                ch->SetLimit(0);
            }
            break;
        case 'i':
        case 'm':
        case 'n':
        case 'p':
        case 's':
        case 't': {
            const int bit = l == 'p'   ? cmPrivate
                            : l == 's' ? cmSecret
                            : l == 'i' ? cmInviteOnly
                            : l == 't' ? cmTopicOps
                            : l == 'n' ? cmNoExternal
                                       : cmModerated;
            bits = plus ? (bits | bit) : (bits & ~bit);
            break;
        }
        default:
            break;
        }
        if (!alive()) return;
    }
    if (bits != ch->Modes) ch->SetModes(bits);
}

void TIRCClient::applyUserModes(const TIrcLine& m)
{
    TUserModes copy = userMode_;
    bool plus = true;
    for (QChar c : m.P(3)) {
        TUserMode m;
        switch (c.toLatin1()) {
        case '+':
            plus = true;
            continue;
        case '-':
            plus = false;
            continue;
        case 'i':
            m = umInvisible;
            break;
        case 'o':
            m = umOperator;
            break;
        case 's':
            m = umServerNotices;
            break;
        case 'w':
            m = umWallops;
            break;
        default:
            continue;
        }
        copy.setFlag(m, plus);
    }
    if (copy != userMode_) {
        userMode_ = copy;
        if (OnUserModeChanged) OnUserModeChanged(this);
    }
}

void TIRCClient::applyNames(const TIrcLine& m)
{
    TChannel* ch = channels_.Find(m.P(4));
    if (!ch) return;
    const QStringList entries = m.P(5).split(u' ', Qt::SkipEmptyParts);
    for (const QString& e : entries)
        ch->AddName(e);
    ch->NamesDone();
}

void TIRCClient::splitCTCP(const QString& text, QString& command, QString& args)
{
    // The closing byte 1 goes only when it is there: a query cut short keeps its last
    // character (an offer's size would lose a digit).
    QString body = text.mid(1);
    if (body.endsWith(QChar(1))) body.chop(1);
    const qsizetype sp = body.indexOf(u' ');
    if (sp < 0) {
        command = body;
        args.clear();
    } else {
        command = body.left(sp);
        args = body.mid(sp + 1);
    }
}

void TIRCClient::ctcpQuery(const TIrcLine& m, TUser* user)
{
    QString cmd, args;
    splitCTCP(m.P(3), cmd, args);
    TChannel* ch = channels_.Find(m.P(2));
    if (cmd == u"ACTION") {
        if (OnAction) OnAction(this, user, ch, args);
        return;
    }
    bool suppress = false;
    if (cmd == u"DCC") {
        if (OnCTCPQuery) OnCTCPQuery(this, user, nullptr, cmd, args, suppress);
        return;
    }
    const TAlive alive(this);
    const QString to = m.PrefixNick;
    if (OnCTCPQuery) OnCTCPQuery(this, user, ch, cmd, args, suppress);
    if (suppress || !alive()) return;
    if (cmd == u"PING")
        CTCPReply(to, cmd, args);
    else if (cmd == u"FINGER")
        CTCPReply(to, cmd, replies_.Finger);
    else if (cmd == u"USERINFO")
        CTCPReply(to, cmd, replies_.UserInfo);
    else if (cmd == u"VERSION")
        CTCPReply(to, cmd, replies_.Version);
    else if (cmd == u"CLIENTINFO")
        CTCPReply(to, cmd, replies_.ClientInfo);
    else if (cmd == u"TIME")
        CTCPReply(
            to, cmd,
            QStringLiteral("Local time is ") +
                QLocale::system().toString(QDateTime::currentDateTime(), QLocale::ShortFormat));
}

void TIRCClient::ctcpReply(const TIrcLine& m, TUser* user)
{
    QString cmd, args;
    splitCTCP(m.P(3), cmd, args);
    if (cmd != u"DCC" && OnCTCPReply) OnCTCPReply(this, user, channels_.Find(m.P(2)), cmd, args);
}

// ---------------------------------------------------------------------------------------
// Operations

void TIRCClient::Say(const QString& target, const QString& text)
{
    SendRaw(fmt("PRIVMSG %s :%s", {target, text}));
}

void TIRCClient::Notice(const QString& target, const QString& text)
{
    SendRaw(fmt("NOTICE %s :%s", {target, text}));
}

void TIRCClient::Action(const QString& target, const QString& text)
{
    CTCPQuery(target, QStringLiteral("ACTION"), text);
}

void TIRCClient::CTCPQuery(const QString& target, const QString& command, const QString& arguments)
{
    Say(target, QChar(1) + command.toUpper() + u' ' + arguments + QChar(1));
}

void TIRCClient::CTCPReply(const QString& target, const QString& command, const QString& arguments)
{
    Notice(target, QChar(1) + command + u' ' + arguments + QChar(1));
}

void TIRCClient::Join(const QString& channel, const QString& key)
{
    SendRaw(key.isEmpty() ? QStringLiteral("JOIN ") + channel : fmt("JOIN %s %s", {channel, key}));
}

void TIRCClient::List()
{
    SendRaw(QStringLiteral("LIST"));
}

void TIRCClient::Part(const QString& channel, const QString& reason)
{
    SendRaw(reason.isEmpty() ? QStringLiteral("PART ") + channel
                             : fmt("PART %s :%s", {channel, reason}));
}

void TIRCClient::Quit(const QString& reason)
{
    SendRaw(QStringLiteral("QUIT :") + reason);
}

void TIRCClient::Mode(const QString& target, const QString& modes, const QString& parameters)
{
    SendRaw(parameters.isEmpty() ? fmt("MODE %s %s", {target, modes})
                                 : fmt("MODE %s %s %s", {target, modes, parameters}));
}

void TIRCClient::SetTopic(const QString& channel, const QString& text)
{
    SendRaw(fmt("TOPIC %s :%s", {channel, text}));
}
