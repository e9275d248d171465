#pragma once
// Records every event of a TIRCClient as one line of text, fields separated by "|":
// users by nick ("-" for none), channels by name ("-" for none).
#include "ircclient.h"

#include <QStringList>
#include <QTest>

// Runs a helper that checks with QTRY_*, and stops the test when it failed.
#define CHECKED(call)                                                                              \
    do {                                                                                           \
        call;                                                                                      \
        if (QTest::currentTestFailed()) return;                                                    \
    } while (0)

class IrcRecorder
{
public:
    QStringList log;
    QString nicksInUseAnswer; // OnNicksInUse answers this when set

    static QString u(TUser* x) { return x ? x->Nick : QStringLiteral("-"); }
    static QString c(TChannel* x) { return x ? x->Name : QStringLiteral("-"); }

    void add(const QStringList& parts) { log << parts.join(u'|'); }

    explicit IrcRecorder(TIRCClient& cl, bool withUpdates = true, bool withNicksInUse = false)
    {
        auto msg = [this](const char* name) {
            return [this, name](TIRCClient*, TUser* us, TChannel* ch, const QString& t) {
                add({name, u(us), c(ch), t});
            };
        };
        auto notify = [this](const char* name) {
            return [this, name](TIRCClient*) { add({name}); };
        };
        cl.OnMessage = msg("Message");
        cl.OnNotice = msg("Notice");
        cl.OnAction = msg("Action");
        cl.OnConnect = notify("Connect");
        cl.OnDisconnect = notify("Disconnect");
        cl.OnStateChange = [this](TIRCClient* s) { add({"State", QString::number(s->State())}); };
        cl.OnPingPong = notify("PingPong");
        cl.OnNickChanged = [this](TIRCClient* s) { add({"NickChanged", s->CurrentNick()}); };
        cl.OnNowAway = notify("NowAway");
        cl.OnUnAway = notify("UnAway");
        cl.OnUserMode = notify("UserMode");
        cl.OnUserModeChanged = [this](TIRCClient* s) {
            add({"UserModeChanged", QString::number(int(s->UserMode()))});
        };
        cl.OnStartChannelInfo = notify("StartChannelInfo");
        cl.OnEndChannelInfo = notify("EndChannelInfo");
        cl.OnJoin = [this](TIRCClient*, TUser* us, TChannel* ch) { add({"Join", u(us), c(ch)}); };
        cl.OnJoined = [this](TIRCClient*, TChannel* ch) { add({"Joined", c(ch)}); };
        cl.OnParted = [this](TIRCClient*, TChannel* ch) { add({"Parted", c(ch)}); };
        cl.OnNoTopic = [this](TIRCClient*, TChannel* ch) { add({"NoTopic", c(ch)}); };
        cl.OnPart = [this](TIRCClient*, TUser* us, TChannel* ch, const QString& r) {
            add({"Part", u(us), c(ch), r});
        };
        cl.OnKick = [this](TIRCClient*, TUser* us, TUser* v, TChannel* ch) {
            add({"Kick", u(us), u(v), c(ch), v ? v->Reason : QString()});
        };
        cl.OnKicked = [this](TIRCClient*, TUser* us, TChannel* ch) {
            add({"Kicked", u(us), c(ch)});
        };
        cl.OnNickChange = [this](TIRCClient*, TUser* us, const QString& n) {
            add({"NickChange", u(us), n});
        };
        cl.OnTopic = [this](TIRCClient*, TUser* us, TChannel* ch) {
            add({"Topic", u(us), c(ch), ch ? ch->Topic : QString()});
        };
        cl.OnQuit = [this](TIRCClient*, TUser* us) {
            add({"Quit", u(us), us ? us->Reason : QString()});
        };
        cl.OnAway = [this](TIRCClient*, TUser* us) {
            add({"Away", u(us), us ? us->Reason : QString()});
        };
        cl.OnInvite = [this](TIRCClient*, TUser* us, const QString& ch) {
            add({"Invite", u(us), ch});
        };
        cl.OnError = [this](TIRCClient*, TUser*, const QString& n, const QString& e) {
            add({"Error", n, e});
        };
        cl.OnWallops = [this](TIRCClient*, TUser* us, const QString& t) {
            add({"Wallops", u(us), t});
        };
        cl.OnSystem = [this](TIRCClient*, TUser*, const QString& w, const QString& t) {
            add({"System", w, t});
        };
        cl.OnUnknownCommand = [this](TIRCClient*, TUser* us, const QString& w, const QString& t) {
            add({"Unknown", u(us), w, t});
        };
        auto umode = [this](const char* name) {
            return [this, name](TIRCClient*, TUser* us, TChannel* ch, TUser* t) {
                add({name, u(us), c(ch), u(t)});
            };
        };
        cl.OnOp = umode("Op");
        cl.OnDeop = umode("Deop");
        cl.OnVoice = umode("Voice");
        cl.OnDevoice = umode("Devoice");
        cl.OnBan = [this](TIRCClient*, TUser* us, TChannel* ch, const QString& m) {
            add({"Ban", u(us), c(ch), m});
        };
        cl.OnUnban = [this](TIRCClient*, TUser* us, TChannel* ch, const QString& m) {
            add({"Unban", u(us), c(ch), m});
        };
        cl.OnChannelMode = [this](TIRCClient*, TUser* us, TChannel* ch, const QString& m) {
            add({"ChannelMode", u(us), c(ch), m});
        };
        cl.OnInviting = [this](TIRCClient*, const QString& n, const QString& ch) {
            add({"Inviting", n, ch});
        };
        cl.OnKill = [this](TIRCClient*, TUser* us, const QString& v, const QString& r) {
            add({"Kill", u(us), v, r});
        };
        cl.OnCTCPQuery = [this](TIRCClient*, TUser* us, TChannel* ch, const QString& cmd,
                                const QString& a, bool&) {
            add({"CTCPQuery", u(us), c(ch), cmd, a});
        };
        cl.OnCTCPReply = [this](TIRCClient*, TUser* us, TChannel* ch, const QString& cmd,
                                const QString& a) {
            add({"CTCPReply", u(us), c(ch), cmd, a});
        };
        if (withNicksInUse)
            cl.OnNicksInUse = [this](TIRCClient*, QString& n) {
                add({"NicksInUse", n});
                n = nicksInUseAnswer;
            };
        if (withUpdates)
            cl.OnChannelUpdate = [this](TChannel* ch, TChannelUpdateType t, TUser* us, int info) {
                add({"Update", c(ch), QString::number(int(t)), u(us), QString::number(info)});
            };
        cl.OnAddChannelInfo = [this](TIRCClient*, const QString& n, int count, const QString& d) {
            add({"AddChannelInfo", n, QString::number(count), d});
        };
    }
};

// A channel's state in one line: names with "@"/"+" marks, then topic, modes, limit, key.
inline QString channelState(TIRCClient& cl, const QString& name)
{
    TChannel* ch = cl.Channels().Find(name);
    if (!ch) return QStringLiteral("none");
    QStringList names;
    for (const TNameEntry& e : ch->Names)
        names << QString((e.Flags & nfOperator) ? "@" : "") + ((e.Flags & nfVoice) ? "+" : "") +
                     e.Nick;
    return names.join(u' ') +
           QStringLiteral(" | topic=%1 modes=%2 limit=%3 key=%4")
               .arg(ch->Topic, QString::number(ch->Modes), QString::number(ch->Limit), ch->Key);
}
