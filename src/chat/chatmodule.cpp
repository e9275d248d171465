#include "chatmodule.h"
#include "config.h"
#include "debuglog.h"
#include "netconfig.h"
#include "productprofile.h"

#include <QRandomGenerator>
#include <QTimer>
#include <algorithm>

namespace {
TChatModule* g_module = nullptr;

QString nickOf(TUser* user)
{
    return user ? user->Nick : QString();
}

QString setting(const char* name)
{
    return Config() ? Config()->Text(QString::fromLatin1(name)) : QString();
}

bool checked(const char* name)
{
    return Config() && Config()->Checked(QString::fromLatin1(name));
}
} // namespace

TChatModule* ChatModule()
{
    return g_module;
}

QString FilterUserText(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        const ushort u = c.unicode();
        if (u <= 31 || (u >= 127 && u <= 144) || (u >= 147 && u <= 160)) continue;
        out += c;
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// The lines of a chat window

TChatWindowBase::~TChatWindowBase()
{
    if (Module) Module->RemoveChatWindow(this);
}

void TChatWindowBase::ShowMessage(TUser* user, const QString& text)
{
    AddLine("<" + nickOf(user) + "> " + FilterUserText(text), lkMessage);
}

void TChatWindowBase::ShowPrivMessage(TUser* user, const QString& text)
{
    AddLine("*" + nickOf(user) + "* " + FilterUserText(text), lkPrivate);
}

void TChatWindowBase::ShowNotice(TUser* user, const QString& text, TChannel* channel)
{
    const QString head =
        channel ? "-" + nickOf(user) + "-" + channel->Name + "- " : "-" + nickOf(user) + "- ";
    AddLine(head + FilterUserText(text), lkNotice);
}

void TChatWindowBase::ShowAction(TUser* user, const QString& text)
{
    AddLine("* " + nickOf(user) + " " + FilterUserText(text), lkAction);
}

void TChatWindowBase::ShowJoin(TUser* user, TChannel* channel)
{
    AddLine("*** " + nickOf(user) + " has joined " + (channel ? channel->Name : QString()),
            lkEvent);
}

void TChatWindowBase::ShowPart(TUser* user, TChannel* channel)
{
    AddLine("*** " + nickOf(user) + " has left " + (channel ? channel->Name : QString()), lkEvent);
}

void TChatWindowBase::ShowKick(TUser* kicker, TChannel*, TUser* victim)
{
    AddLine("*** " + nickOf(victim) + " was kicked by " + nickOf(kicker) + " (" +
                FilterUserText(victim ? victim->Reason : QString()) + ")",
            lkEvent);
}

void TChatWindowBase::ShowKicked(TUser* kicker, TChannel* channel)
{
    AddLine("*** You were kicked from " + (channel ? channel->Name : QString()) + " by " +
                nickOf(kicker) + " (" + FilterUserText(kicker ? kicker->Reason : QString()) + ")",
            lkEvent);
}

void TChatWindowBase::ShowLeft(const QString& channel)
{
    AddLine("*** You have left " + channel, lkEvent);
}

void TChatWindowBase::ShowNowChatting(const QString& channel)
{
    AddLine("*** You are now chatting in " + channel, lkEvent);
}

void TChatWindowBase::ShowTopic(TUser* user, TChannel* channel)
{
    const QString topic = channel ? FilterUserText(channel->Topic) : QString();
    if (user) AddLine("*** " + nickOf(user) + " has changed to topic to: " + topic, lkSystem);
    SetTopicLabel(" Topic: " + topic);
}

void TChatWindowBase::ShowSystem(const QString& content)
{
    AddLine("*** " + content, lkSystem);
}

// ---------------------------------------------------------------------------------------
// The module

TChatModule::TChatModule(QObject* parent) : QObject(parent)
{
    g_module = this;
    IRCClient1 = new TIRCClient(this);
    IRCClient1->SetIRCX(true);
    IRCClient1->SetNick("Nick");
    IRCClient1->SetAltNick("OtherNick");
    IRCClient1->SetUsername("l33t");
    IRCClient1->SetRealName("z");
    IRCClient1->SetPort("6667");
    disconnecttimer = new QTimer(this);
    disconnecttimer->setInterval(100);
    connect(disconnecttimer, &QTimer::timeout, this, &TChatModule::disconnecttimerTimer);
    activetimer = new QTimer(this);
    activetimer->setInterval(10000);
    connect(activetimer, &QTimer::timeout, this, &TChatModule::activetimerTimer);
    bindEvents();
    DefaultChannel = Profile().HomeChannel;

    // Identity. A first start without a nick gets a random one, kept for next time.
    if (Config() && Config()->Text("nick").isEmpty()) {
        Config()->SetText("nick",
                          "Anon" + QString::number(QRandomGenerator::global()->bounded(10000)));
        Config()->SaveSettings();
    }
    const QString host = Profile().ChatHost;
    IRCClient1->SetServer(TProductProfile::HostOf(host));
    IRCClient1->SetPort(QString::number(TProductProfile::PortOf(host, 6667)));
    const QString nick = setting("nick");
    if (!nick.isEmpty()) {
        QString n = nick;
        n.replace(u' ', u'_');
        IRCClient1->SetNick(n);
        IRCClient1->SetAltNick(n + "_");
        IRCClient1->SetUsername(UserNameOf(nick));
    }
    QString real = setting("realname");
    if (!real.isEmpty()) IRCClient1->SetRealName(real.replace(u' ', u'_'));
    SavedNick = IRCClient1->Nick();
    IdleCaption = "Chat";
    ActiveNow = true;
    SetUserActive(false);
}

TChatModule::~TChatModule()
{
    destroying_ = true;
    DisconnectChat(true);
    disconnecttimer->stop();
    activetimer->stop();
    // Windows made here go; the others (the main window's) only forget the client.
    const std::vector<TChatWindowBase*> windows = ChatWindows;
    ChatWindows.clear();
    for (TChatWindowBase* w : windows) {
        w->Module = nullptr;
        w->Channel = nullptr;
        w->Client = nullptr;
        if (std::find(owned_.begin(), owned_.end(), w) != owned_.end()) delete w;
    }
    owned_.clear();
    current_ = nullptr;
    if (g_module == this) g_module = nullptr;
}

QString TChatModule::UserNameOf(const QString& nick)
{
    // Servers refuse a USER line whose name holds blanks or punctuation, so the name
    // keeps only what they accept: letters, digits, "-", "_" and ".", blanks as "_".
    QString out;
    for (QChar c : nick) {
        if (c == u' ')
            out += u'_';
        else if ((c.isLetterOrNumber() && c.unicode() < 128) || c == u'-' || c == u'_' || c == u'.')
            out += c;
    }
    return out.isEmpty() ? QStringLiteral("user") : out;
}

QString TChatModule::QuitMessage()
{
    return Profile().WebSite + " -- be there";
}

void TChatModule::bindEvents()
{
    TIRCClient* c = IRCClient1;
    using namespace std::placeholders;
    c->OnMessage = [this](TIRCClient* s, TUser* u, TChannel* ch, const QString& t) {
        IRCClient1Message(s, u, ch, t);
    };
    c->OnNotice = [this](TIRCClient* s, TUser* u, TChannel* ch, const QString& t) {
        IRCClient1Notice(s, u, ch, t);
    };
    c->OnAction = [this](TIRCClient* s, TUser* u, TChannel* ch, const QString& t) {
        IRCClient1Action(s, u, ch, t);
    };
    c->OnJoin = [this](TIRCClient* s, TUser* u, TChannel* ch) { IRCClient1Join(s, u, ch); };
    c->OnPart = [this](TIRCClient* s, TUser* u, TChannel* ch, const QString& r) {
        IRCClient1Part(s, u, ch, r);
    };
    c->OnKick = [this](TIRCClient* s, TUser* k, TUser* v, TChannel* ch) {
        IRCClient1Kick(s, k, v, ch);
    };
    c->OnJoined = [this](TIRCClient* s, TChannel* ch) { IRCClient1Joined(s, ch); };
    c->OnParted = [this](TIRCClient* s, TChannel* ch) { IRCClient1Parted(s, ch); };
    c->OnKicked = [this](TIRCClient* s, TUser* k, TChannel* ch) { IRCClient1Kicked(s, k, ch); };
    c->OnTopic = [this](TIRCClient* s, TUser* u, TChannel* ch) { IRCClient1Topic(s, u, ch); };
    c->OnNoTopic = [this](TIRCClient* s, TChannel* ch) { IRCClient1NoTopic(s, ch); };
    c->OnChannelUpdate = [this](TChannel* ch, TChannelUpdateType t, TUser* u, int i) {
        IRCClient1ChannelUpdate(ch, t, u, i);
    };
    c->OnDisconnect = [this](TIRCClient* s) { IRCClient1Disconnect(s); };
    c->OnSystem = [this](TIRCClient* s, TUser* u, const QString& cmd, const QString& text) {
        IRCClient1System(s, u, cmd, text);
    };
    c->OnStartChannelInfo = [this](TIRCClient*) {
        if (!destroying_ && ChannelList) ChannelList->StartListing();
    };
    c->OnAddChannelInfo = [this](TIRCClient*, const QString& name, int count, const QString& desc) {
        if (!destroying_ && ChannelList) ChannelList->AddChannel(name, count, desc);
    };
    c->OnEndChannelInfo = [this](TIRCClient*) {
        if (!destroying_ && ChannelList) ChannelList->EndListing();
    };
    c->OnCTCPQuery = [this](TIRCClient* s, TUser* u, TChannel* ch, const QString& cmd,
                            const QString& args,
                            bool& suppress) { IRCClient1CTCPQuery(s, u, ch, cmd, args, suppress); };
    c->OnStateChange = [this](TIRCClient* s) { IRCClient1StateChange(s); };
    c->OnNicksInUse = [this](TIRCClient* s, QString& nick) { IRCClient1NicksInUse(s, nick); };
    c->OnUnknownCommand = nullptr;
}

void TChatModule::ConnectChat()
{
    if (Config()) ApplySocks(IRCClient1->Socket());
    try {
        IRCClient1->Connect();
    } catch (const std::exception& e) {
        // A chat server that cannot be named: the connect button pops back up.
        DebugLog(QString("Chat connect failed: ") + QString::fromLocal8Bit(e.what()), dcErrOut);
        if (current_) current_->SetConnectDown(false);
    }
}

void TChatModule::DisconnectChat(bool Force)
{
    IRCClient1->Quit(QuitMessage());
    IRCClient1->Disconnect(Force);
}

void TChatModule::disconnecttimerTimer()
{
    disconnecttimer->stop();
    DisconnectChat(true);
}

void TChatModule::AddChatWindow(TChatWindowBase* window)
{
    if (!window || std::find(ChatWindows.begin(), ChatWindows.end(), window) != ChatWindows.end())
        return;
    ChatWindows.push_back(window);
    window->Module = this;
    IdleCaption = window->Caption();
    window->Client = IRCClient1;
    if (!current_) current_ = window;
}

void TChatModule::RemoveChatWindow(TChatWindowBase* window)
{
    ChatWindows.erase(std::remove(ChatWindows.begin(), ChatWindows.end(), window),
                      ChatWindows.end());
    owned_.erase(std::remove(owned_.begin(), owned_.end(), window), owned_.end());
    if (current_ == window) current_ = ChatWindows.empty() ? nullptr : ChatWindows.front();
}

TChatWindowBase* TChatModule::FindChatWindow(TChannel* channel) const
{
    for (TChatWindowBase* w : ChatWindows)
        if (w->Channel == channel) return w;
    return nullptr;
}

void TChatModule::AutoJoinChannel(const QString& name)
{
    for (TChatWindowBase* w : ChatWindows) {
        if (w->ChannelLocked()) continue;
        if (w->Channel) IRCClient1->Part(w->Channel->Name);
        break;
    }
    IRCClient1->Join(name);
}

void TChatModule::JoinTitledChannel(const QString& name, const QString& title)
{
    pendingTitleChannel_ = name;
    pendingTitle_ = title;
    AutoJoinChannel(name);
}

void TChatModule::SetUserActive(bool active)
{
    ActiveWanted = active;
    if (ActiveWanted != ActiveNow && !activetimer->isActive()) activetimer->start();
}

void TChatModule::activetimerTimer()
{
    activetimer->stop();
    if (ActiveWanted == ActiveNow || IRCClient1->State() != isConnected || checked("noautoaway"))
        return;
    ActiveNow = ActiveWanted;
    if (ActiveNow) {
        IRCClient1->SetNick(SavedNick);
    } else {
        SavedNick = IRCClient1->Nick();
        if (!SavedNick.contains("[AWAY]")) IRCClient1->SetNick("[AWAY]" + SavedNick);
    }
}

void TChatModule::ApplyLook()
{
    for (TChatWindowBase* w : ChatWindows)
        w->ApplyLook();
    if (ChannelList) ChannelList->ApplyLook();
}

// ---------------------------------------------------------------------------------------
// Event routing

void TChatModule::IRCClient1Message(TIRCClient*, TUser* user, TChannel* channel,
                                    const QString& text)
{
    if (destroying_) return;
    if (!channel) {
        IRCClient1PrivMessage(user, text);
        return;
    }
    if (TChatWindowBase* w = FindChatWindow(channel)) w->ShowMessage(user, text);
}

void TChatModule::IRCClient1PrivMessage(TUser* user, const QString& text)
{
    if (!destroying_ && current_) current_->ShowPrivMessage(user, text);
}

void TChatModule::IRCClient1Notice(TIRCClient*, TUser* user, TChannel* channel, const QString& text)
{
    if (!destroying_ && current_) current_->ShowNotice(user, text, channel);
}

void TChatModule::IRCClient1Action(TIRCClient*, TUser* user, TChannel* channel, const QString& text)
{
    if (destroying_) return;
    // A private action goes to the window without a channel, as does a channel-less find.
    if (TChatWindowBase* w = FindChatWindow(channel)) w->ShowAction(user, text);
}

void TChatModule::IRCClient1Join(TIRCClient*, TUser* user, TChannel* channel)
{
    if (destroying_ || checked("hidejoins")) return;
    if (TChatWindowBase* w = FindChatWindow(channel)) w->ShowJoin(user, channel);
}

void TChatModule::IRCClient1Part(TIRCClient*, TUser* user, TChannel* channel, const QString&)
{
    if (destroying_ || checked("hidejoins")) return;
    if (TChatWindowBase* w = FindChatWindow(channel)) w->ShowPart(user, channel);
}

void TChatModule::IRCClient1Kick(TIRCClient*, TUser* kicker, TUser* victim, TChannel* channel)
{
    if (destroying_) return;
    if (TChatWindowBase* w = FindChatWindow(channel)) w->ShowKick(kicker, channel, victim);
}

void TChatModule::IRCClient1Joined(TIRCClient*, TChannel* channel)
{
    if (destroying_ || !channel) return;
    TChatWindowBase* w = nullptr;
    if (ChatWindows.size() == 1 && !ChatWindows.front()->Channel) {
        w = ChatWindows.front();
    } else if (CreateChatWindow) {
        w = CreateChatWindow(this);
        if (!w) return;
        owned_.push_back(w);
        w->Module = this;
        w->SetConnectDown(true);
        if (DockSite) w->Dock(DockSite);
        ChatWindows.push_back(w);
    } else {
        return;
    }
    w->Client = IRCClient1;
    QString caption = channel->Name;
    if (!pendingTitleChannel_.isEmpty() &&
        pendingTitleChannel_.compare(channel->Name, Qt::CaseInsensitive) == 0) {
        if (!pendingTitle_.isEmpty()) caption = pendingTitle_;
        pendingTitleChannel_.clear();
        pendingTitle_.clear();
    }
    w->SetCaption(caption);
    DebugLog("Chat page for " + channel->Name);
    w->SetTopicLabel("Topic: ");
    w->ShowWindow();
    current_ = w;
    w->Channel = channel;
    if (current_) current_->ShowNowChatting(channel->Name);
}

void TChatModule::foldBack(TChannel* channel)
{
    TChatWindowBase* w = FindChatWindow(channel);
    if (!w) return;
    w->Channel = nullptr;
    if (ChatWindows.size() < 2) {
        current_ = w;
        w->SetCaption(IdleCaption);
        w->RefillNames(nullptr);
    } else {
        RemoveChatWindow(w);
        w->HideWindow();
        w->Module = nullptr;
        w->Client = nullptr;
        DebugLog("Chat page closed: " + channel->Name);
        // Later: this may run inside the window's own handler or under a dialog of it.
        w->DeleteLater();
        TChatWindowBase* first = ChatWindows.front();
        first->ShowWindow();
        current_ = first;
    }
}

void TChatModule::IRCClient1Parted(TIRCClient*, TChannel* channel)
{
    if (destroying_ || !channel) return;
    if (!FindChatWindow(channel)) return;
    const QString name = channel->Name;
    foldBack(channel);
    if (current_) current_->ShowLeft(name);
}

void TChatModule::IRCClient1Kicked(TIRCClient* s, TUser* kicker, TChannel* channel)
{
    if (destroying_ || !channel) return;
    IRCClient1Parted(s, channel);
    if (current_) current_->ShowKicked(kicker, channel);
}

void TChatModule::IRCClient1Topic(TIRCClient*, TUser* user, TChannel* channel)
{
    if (destroying_) return;
    if (!user) return IRCClient1NoTopic(nullptr, channel);
    if (TChatWindowBase* w = FindChatWindow(channel)) w->ShowTopic(user, channel);
}

void TChatModule::IRCClient1NoTopic(TIRCClient*, TChannel* channel)
{
    if (destroying_) return;
    if (TChatWindowBase* w = FindChatWindow(channel)) w->ShowTopic(nullptr, channel);
}

void TChatModule::IRCClient1ChannelUpdate(TChannel* channel, TChannelUpdateType, TUser*, int)
{
    if (destroying_) return;
    if (TChatWindowBase* w = FindChatWindow(channel)) w->RefillNames(channel);
}

void TChatModule::IRCClient1Disconnect(TIRCClient*)
{
    if (destroying_) return;
    for (int i = int(ChatWindows.size()) - 1; i >= 0; --i) {
        if (i >= int(ChatWindows.size())) continue;
        TChatWindowBase* w = ChatWindows[size_t(i)];
        if (!w->Channel) continue;
        const QString name = w->Channel->Name;
        foldBack(w->Channel);
        if (current_) current_->ShowLeft(name);
    }
    if (current_) current_->SetConnectDown(false);
}

void TChatModule::IRCClient1System(TIRCClient*, TUser*, const QString& command,
                                   const QString& content)
{
    if (destroying_ || !current_) return;
    if (command == u"MOTD" || command == u"LUSER" || command == u"WHOIS" || command == u"WELCOME")
        current_->ShowSystem(content);
}

bool TChatModule::ParseDccOffer(const QString& command, const QString& args, TDccOffer& offer)
{
    const QString text = command + " " + args;
    const int at = text.toUpper().indexOf("DCC SEND ");
    if (at < 0) return false;
    // The fields keep the case they came in: a file name is a name.
    const QStringList parts = text.mid(at + 9).split(u' ', Qt::SkipEmptyParts);
    if (parts.size() < 4) return false;
    // A name with blanks comes quoted by some clients; then the last three fields are
    // the address, the port and the size.
    QString name;
    int rest = 1;
    if (parts.front().startsWith(u'"')) {
        int i = 0;
        for (; i < parts.size(); ++i) {
            name += (i ? " " : "") + parts[i];
            if (parts[i].endsWith(u'"') && (i > 0 || parts[i].size() > 1)) break;
        }
        if (i >= parts.size() - 3) return false;
        name = name.mid(1, name.size() - 2);
        rest = i + 1;
    } else {
        name = parts.front();
    }
    if (parts.size() - rest < 3) return false;
    bool ok = false;
    const qulonglong addr = parts[rest].toULongLong(&ok, 10);
    // 0.0.0.0 is nobody's address.
    if (!ok || addr == 0 || addr > 0xffffffffull) return false;
    const int port = parts[rest + 1].toInt(&ok, 10);
    if (!ok || port <= 0 || port > 65535) return false;
    const qlonglong size = parts.mid(rest + 2).join(u' ').toLongLong(&ok, 10);
    if (!ok || size <= 0 || size > 0xffffffffll) return false;
    offer.FileName = name;
    offer.Address = QString("%1.%2.%3.%4")
                        .arg((addr >> 24) & 255)
                        .arg((addr >> 16) & 255)
                        .arg((addr >> 8) & 255)
                        .arg(addr & 255);
    offer.Port = QString::number(port);
    offer.Size = size;
    return true;
}

void TChatModule::IRCClient1CTCPQuery(TIRCClient*, TUser* user, TChannel*, const QString& command,
                                      const QString& args, bool&)
{
    if (destroying_) return;
    TDccOffer offer;
    if (!ParseDccOffer(command, args, offer)) return;
    offer.Nick = nickOf(user);
    // The offer is taken up on a later pass of the loop: asking the user here would hold
    // the client inside its line handler, and the server's pings would go unanswered.
    if (queuedOffers_ >= MaxQueuedOffers) {
        DebugLog("File offer from " + offer.Nick + " dropped: too many waiting", dcErrOut);
        return;
    }
    ++queuedOffers_;
    QMetaObject::invokeMethod(
        this,
        [this, offer] {
            --queuedOffers_;
            if (!destroying_ && OnDccOffer) OnDccOffer(offer);
        },
        Qt::QueuedConnection);
}

void TChatModule::IRCClient1StateChange(TIRCClient*)
{
    if (destroying_ || IRCClient1->State() != isConnected) return;
    const QString home = setting("homechanneledit");
    if (!home.isEmpty())
        IRCClient1->Join(home);
    else if (!DefaultChannel.isEmpty())
        IRCClient1->Join(DefaultChannel);
    if (current_) current_->SetConnectDown(true);
}

void TChatModule::IRCClient1NicksInUse(TIRCClient*, QString& nick)
{
    nick = IRCClient1->CurrentNick() + QString::number(QRandomGenerator::global()->bounded(1000));
}
