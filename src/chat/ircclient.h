#pragma once
// TIRCClient: the client side of IRC over one line socket. It registers, keeps the
// registries of channels and users, turns every server line into a typed event, answers
// server pings and the common CTCP queries itself, and offers one operation per command.
#include "ircline.h"
#include "wsocket.h"

#include <QByteArray>
#include <QFlags>
#include <QObject>
#include <QPointer>
#include <QString>
#include <array>
#include <functional>
#include <memory>
#include <vector>

class TIRCClient;
class TChannel;

enum TIRCState
{
    isDisconnected = 0,
    isConnecting = 1,
    isLoggingIn = 2,
    isConnected = 3
};

enum TUserMode
{
    umInvisible = 1,     // i
    umOperator = 2,      // o
    umServerNotices = 4, // s
    umWallops = 8        // w
};
Q_DECLARE_FLAGS(TUserModes, TUserMode)
Q_DECLARE_OPERATORS_FOR_FLAGS(TUserModes)

// Channel mode flag bits.
enum TChannelModeBit
{
    cmPrivate = 1,     // p
    cmSecret = 2,      // s
    cmInviteOnly = 4,  // i
    cmTopicOps = 8,    // t
    cmNoExternal = 16, // n
    cmModerated = 32,  // m
    cmLimit = 64,      // l
    cmKey = 128        // k
};

// Flags of a names entry.
enum TNameFlag
{
    nfOperator = 1,
    nfVoice = 2
};

enum TChannelUpdateType
{
    cuModes = 0,
    cuTopic = 1,
    cuUserFlags = 2,
    cuNames = 3,
    cuNick = 4,
    cuJoin = 5,
    cuPart = 6,
    cuKick = 7,
    cuQuit = 8
};

class TUser
{
public:
    QString Nick;
    QString Address; // user@host as last seen in a prefix
    QString Reason;  // last part, kick or quit text or away message
    int RefCount = 1;
};

// The user registry: nickname -> user, sorted, looked up without regard to case. It owns
// every user; several entries may refer to one user after a rename onto a known nick.
class TUsers
{
public:
    TUsers() = default;
    ~TUsers();
    TUsers(const TUsers&) = delete;
    TUsers& operator=(const TUsers&) = delete;

    TUser* Add(const QString& nick, const QString& address);
    void Release(TUser* user);
    TUser* Find(const QString& nick) const;
    void Rename(const QString& oldNick, const QString& newNick);
    void Clear();

    int Count() const { return int(entries_.size()); }
    QString NickAt(int i) const { return entries_[size_t(i)].first; }
    TUser* At(int i) const { return entries_[size_t(i)].second; }
    // Changes on every Clear: a reference taken before a Clear is void afterwards.
    quint64 Generation() const { return generation_; }
    bool Owns(const TUser* user) const;

private:
    int indexOf(const QString& nick) const;
    void insertSorted(const QString& nick, TUser* user);

    std::vector<std::pair<QString, TUser*>> entries_;
    std::vector<std::unique_ptr<TUser>> owned_;
    quint64 generation_ = 0;
};

struct TNameEntry
{
    QString Nick;
    int Flags = 0; // nfOperator, nfVoice
};

using TChannelUpdateEvent =
    std::function<void(TChannel* Sender, TChannelUpdateType UpdateType, TUser* User, int Info)>;

class TChannel
{
public:
    explicit TChannel(const QString& name, TChannelUpdateEvent onUpdate, TUsers* users);

    QString Name;
    QString Topic;
    int Modes = 0; // TChannelModeBit
    int Limit = 0;
    QString Key;
    std::vector<TNameEntry> Names;
    bool Active = false;
    int EndKind = 0; // 0 none, 1 the user parted, 2 the user was kicked
    TChannelUpdateEvent OnChannelUpdate;

    void SetTopic(const QString& text);
    void SetModes(int bits);
    void SetLimit(int limit);
    void SetKey(const QString& key);
    void Op(TUser* user);
    void Deop(TUser* user);
    void Voice(TUser* user);
    void Devoice(TUser* user);
    void Rename(TUser* user, const QString& newNick);
    void Join(TUser* user);
    void Part(TUser* user);
    void Kick(TUser* user);
    void Quit(TUser* user);
    // One entry of a names reply: "@nick", "+nick", "@nick+" or "nick".
    void AddName(const QString& entry);
    void NamesDone(); // raises cuNames

    int IndexOfName(const QString& nick) const;
    int FlagsOf(const QString& nick) const; // -1 when absent

private:
    void raise(TChannelUpdateType type, TUser* user, int info);
    void setFlag(TUser* user, int bit, bool on);
    void remove(TUser* user, TChannelUpdateType type);
    TUsers* users_;
};

// The channel registry: name -> channel, sorted, looked up without regard to case.
class TChannels
{
public:
    TChannels() = default;
    ~TChannels();
    TChannels(const TChannels&) = delete;
    TChannels& operator=(const TChannels&) = delete;

    TChannel* Add(const QString& name, TChannelUpdateEvent onUpdate, TUsers* users);
    void Remove(const QString& name);
    TChannel* Find(const QString& name) const;
    void Clear();
    void NickChange(TUser* user, const QString& newNick);
    void Quit(TUser* user);

    int Count() const { return int(list_.size()); }
    TChannel* At(int i) const { return list_[size_t(i)].get(); }

private:
    int indexOf(const QString& name) const;
    std::vector<std::unique_ptr<TChannel>> list_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// Texts of the automatic CTCP answers.
struct TReplies
{
    QString Finger;
    QString Version = QStringLiteral("TIRCClient 0.1 by Brannoc");
    QString UserInfo;
    QString ClientInfo = QStringLiteral("TIRCClient 0.1 by Brannoc - a non-visual IRC client "
                                        "component that registers, keeps channel and user "
                                        "lists and answers CTCP queries.");
};

class TIRCClient : public QObject
{
    Q_OBJECT
public:
    static constexpr int ParamCount = TIrcLine::ParamCount;
    static constexpr int MaxLine = TIrcLine::MaxLine;
    // Times a refused nick that is neither Nick nor AltNick is offered again.
    static constexpr int MaxSameNickRetries = 3;

    explicit TIRCClient(QObject* owner = nullptr);
    ~TIRCClient() override;

    // Published properties.
    bool IRCX() const { return ircx_; }
    void SetIRCX(bool v) { ircx_ = v; }
    QString Nick() const; // the current nick while connected
    void SetNick(const QString& nick);
    QString AltNick() const { return altNick_; }
    void SetAltNick(const QString& v) { altNick_ = v; }
    QString Username() const { return username_; }
    void SetUsername(const QString& v) { username_ = v; }
    QString RealName() const { return realName_; }
    void SetRealName(const QString& v) { realName_ = v; }
    QString Server() const { return server_; }
    void SetServer(const QString& v) { server_ = v; }
    QString Port() const { return port_; }
    void SetPort(const QString& v) { port_ = v; }
    QString Password() const { return password_; }
    void SetPassword(const QString& v) { password_ = v; }
    TUserModes UserMode() const { return userMode_; }
    void SetUserMode(TUserModes m);

    // Further state.
    TIRCState State() const { return state_; }
    bool Connected() const { return state_ != isDisconnected; }
    QString CurrentNick() const { return currentNick_; }
    bool Away() const { return away_; }
    TReplies& Replies() { return replies_; }
    TChannels& Channels() { return channels_; }
    TUsers& Users() { return users_; }
    TUser* OwnUser() const { return ownUser_; }

    // The line socket; the owner sets its SOCKS settings before Connect.
    TWSocket& Socket() { return *socket_; }

    // Operations.
    void SendRaw(const QString& line);
    void Connect();
    void Disconnect(bool Force);
    void Say(const QString& target, const QString& text);
    void Notice(const QString& target, const QString& text);
    void Action(const QString& target, const QString& text);
    void CTCPQuery(const QString& target, const QString& command, const QString& arguments);
    void CTCPReply(const QString& target, const QString& command, const QString& arguments);
    void Join(const QString& channel, const QString& key = {});
    void List();
    void Part(const QString& channel, const QString& reason = {});
    void Quit(const QString& reason);
    void Mode(const QString& target, const QString& modes, const QString& parameters = {});
    void SetTopic(const QString& channel, const QString& text);

    // Bytes as the server sent them: buffered, cut into lines and every complete line
    // handled before it returns. Tests and fuzzing drive the receive path through this
    // without a connection. What the socket delivers is handled in slices instead: at most
    // SliceMs of line handling per pass of the event loop, the rest in the next passes, in
    // the order the lines arrived; a server that closes after a burst is reported closed
    // once the burst is handled.
    void ReceiveData(const QByteArray& bytes);
    int SliceMs = 10;
    // True while received lines wait for a later slice.
    bool LinesPending() const;
    // Starts a session as Connect does (fresh registries, the own user, logging in) without
    // opening the socket, so that ReceiveData sees what it sees on a connection; what the
    // client answers is not sent (OnError reports "Not connected to server.").
    void StartSessionForTest();
    // Text without a line end longer than this ends the connection (an error on ErrOut).
    static constexpr qsizetype MaxPendingBytes = 16 * 1024;

    // Events: unassigned ones are skipped.
    using TNotifyEvent = std::function<void(TIRCClient* Sender)>;
    using TMessageEvent = std::function<void(TIRCClient* Sender, TUser* User, TChannel* Channel,
                                             const QString& Content)>;
    using TUserChannelEvent =
        std::function<void(TIRCClient* Sender, TUser* User, TChannel* Channel)>;
    using TChannelEvent = std::function<void(TIRCClient* Sender, TChannel* Channel)>;
    using TPartEvent = std::function<void(TIRCClient* Sender, TUser* User, TChannel* Channel,
                                          const QString& Reason)>;
    using TKickEvent =
        std::function<void(TIRCClient* Sender, TUser* User, TUser* Victim, TChannel* Channel)>;
    using TNickChangeEvent =
        std::function<void(TIRCClient* Sender, TUser* User, const QString& NewNick)>;
    using TUserEvent = std::function<void(TIRCClient* Sender, TUser* User)>;
    using TInviteEvent =
        std::function<void(TIRCClient* Sender, TUser* User, const QString& Channel)>;
    using TErrorEvent = std::function<void(TIRCClient* Sender, TUser* User, const QString& Numeric,
                                           const QString& Error)>;
    using TUserTextEvent =
        std::function<void(TIRCClient* Sender, TUser* User, const QString& Content)>;
    using TCommandEvent = std::function<void(TIRCClient* Sender, TUser* User,
                                             const QString& Command, const QString& Content)>;
    using TRawEvent = std::function<void(TIRCClient* Sender, TUser* User, const QString& Command,
                                         const QString& Content, bool& Suppress)>;
    using TUserModeEvent =
        std::function<void(TIRCClient* Sender, TUser* User, TChannel* Channel, TUser* Target)>;
    using TBanEvent = std::function<void(TIRCClient* Sender, TUser* User, TChannel* Channel,
                                         const QString& Hostmask)>;
    using TChannelModeEvent = std::function<void(TIRCClient* Sender, TUser* User, TChannel* Channel,
                                                 const QString& Modes)>;
    using TInvitingEvent =
        std::function<void(TIRCClient* Sender, const QString& Nick, const QString& Channel)>;
    using TKillEvent = std::function<void(TIRCClient* Sender, TUser* User, const QString& Victim,
                                          const QString& Reason)>;
    using TCTCPQueryEvent =
        std::function<void(TIRCClient* Sender, TUser* User, TChannel* Channel,
                           const QString& Command, const QString& Args, bool& Suppress)>;
    using TCTCPReplyEvent = std::function<void(TIRCClient* Sender, TUser* User, TChannel* Channel,
                                               const QString& Command, const QString& Args)>;
    using TLineEvent = std::function<void(TIRCClient* Sender, const QString& Command)>;
    using TNicksInUseEvent = std::function<void(TIRCClient* Sender, QString& Nick)>;
    using TAddChannelInfoEvent = std::function<void(TIRCClient* Sender, const QString& Name,
                                                    int Count, const QString& Desc)>;

    TMessageEvent OnMessage, OnNotice, OnAction;
    TNotifyEvent OnConnect, OnDisconnect, OnStateChange, OnPingPong, OnNickChanged, OnNowAway,
        OnUnAway, OnUserMode, OnUserModeChanged, OnStartChannelInfo, OnEndChannelInfo;
    TUserChannelEvent OnJoin;
    TChannelEvent OnJoined, OnParted, OnNoTopic;
    TPartEvent OnPart;
    TKickEvent OnKick;
    TUserChannelEvent OnKicked;
    TNickChangeEvent OnNickChange;
    TUserChannelEvent OnTopic;
    TUserEvent OnQuit, OnAway;
    TInviteEvent OnInvite;
    TErrorEvent OnError;
    TUserTextEvent OnWallops;
    TCommandEvent OnSystem, OnUnknownCommand;
    TRawEvent OnRaw;
    TUserModeEvent OnOp, OnDeop, OnVoice, OnDevoice;
    TBanEvent OnBan, OnUnban;
    TChannelModeEvent OnChannelMode;
    TInvitingEvent OnInviting;
    TKillEvent OnKill;
    TCTCPQueryEvent OnCTCPQuery;
    TCTCPReplyEvent OnCTCPReply;
    TLineEvent OnSend, OnReceive;
    TNicksInUseEvent OnNicksInUse;
    TChannelUpdateEvent OnChannelUpdate;
    TAddChannelInfoEvent OnAddChannelInfo;

private:
    void setState(TIRCState s);
    void beginSession();
    // Whether the line being handled may go on: false once a handler freed the client or
    // connected again (a new session).
    class TAlive
    {
    public:
        explicit TAlive(TIRCClient* c) : self_(c), session_(c->session_) {}
        bool operator()() const { return self_ && self_->session_ == session_; }

    private:
        QPointer<TIRCClient> self_;
        quint64 session_;
    };

    void sessionConnected();
    void sessionClosed();
    void dataAvailable();
    // Forgets what was received and not handled yet.
    void dropReceived();
    void handleBuffered(qint64 budgetMs);
    bool receiveLines(qint64 budgetMs);
    void nextSlice();
    void handleLine(const QString& line);
    void dispatch(const TIrcLine& m);
    void handleCommand(const TIrcLine& m, TUser* user);
    void handleNumeric(const TIrcLine& m, int numeric, TUser* user);
    void system(TUser* user, const QString& word, const QString& content);
    void applyChannelModes(const TIrcLine& m, int k);
    void applyUserModes(const TIrcLine& m);
    void applyNames(const TIrcLine& m);
    void nickInUse();
    void ctcpQuery(const TIrcLine& m, TUser* user);
    void ctcpReply(const TIrcLine& m, TUser* user);
    static void splitCTCP(const QString& text, QString& command, QString& args);

    std::unique_ptr<TWSocket> socket_;
    bool ircx_ = false;
    QString nick_ = QStringLiteral("Nick");
    QString altNick_ = QStringLiteral("OtherNick");
    QString username_ = QStringLiteral("username");
    QString realName_ = QStringLiteral("Real name");
    QString server_;
    QString port_ = QStringLiteral("6667");
    QString password_;
    TUserModes userMode_;

    TIRCState state_ = isDisconnected;
    QString currentNick_;
    bool away_ = false;
    TReplies replies_;
    TUsers users_;
    TChannels channels_;
    TUser* ownUser_ = nullptr;
    int sameNickRetries_ = 0;

    QByteArray buffer_;
    qsizetype readPos_ = 0;  // the lines before this offset are handled
    qsizetype scanFrom_ = 0; // buffer_ holds no line feed before this offset
    bool receiving_ = false;
    bool closeAfterLines_ = false; // the server closed; reported once its lines are handled
    class QTimer* sliceTimer_ = nullptr;
    quint64 session_ = 0; // changes on every Connect; stale line handling stops
};
