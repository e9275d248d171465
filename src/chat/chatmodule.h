#pragma once
// TChatModule: owns the program's IRC connection, fills in the user's identity and proxy
// settings, keeps the chat windows and maps each channel to its window, routes every
// client event to a window, the channel list or a file-transfer offer, and marks the
// user away while the chat is not in use.
//
// The module lives in QtCore; the windows are widgets above it. They meet through
// TChatWindowBase (what a chat window must do for the module) and the factory
// CreateChatWindow that the widget layer installs.
#include "ircclient.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <vector>

class QTimer;
class TChatModule;

// Kinds of conversation lines; each window gives every kind its colour.
enum TChatLineKind
{
    lkMessage, // channel messages and the user's own: black
    lkPrivate, // private messages, the /msg echo: blue
    lkNotice,  // notices, the /notice echo: green
    lkAction,  // actions, the /me echo: purple
    lkEvent,   // joins, parts, kicks, entering and leaving channels: orange
    lkSystem   // topics, system lines, errors and hints: red
};

// Removes what other users' texts may not carry into the view: the bytes 0-31, 127-144
// and 147-160.
QString FilterUserText(const QString& text);

// What the module needs of a chat window. A window registers itself with the module
// (AddChatWindow) or is created by it; its destructor unregisters it.
class TChatWindowBase
{
public:
    TChatWindowBase() = default;
    virtual ~TChatWindowBase();
    TChatWindowBase(const TChatWindowBase&) = delete;
    TChatWindowBase& operator=(const TChatWindowBase&) = delete;

    TChannel* Channel = nullptr; // the channel shown, or none
    TIRCClient* Client = nullptr;

    // The window's own parts.
    virtual QString Caption() const = 0;
    virtual void SetCaption(const QString& caption) = 0;
    virtual bool ChannelLocked() const = 0; // the lock button is down
    virtual void SetChannelLocked(bool locked) = 0;
    virtual void SetConnectDown(bool down) = 0; // shows the connect button pressed
    virtual void SetTopicLabel(const QString& text) = 0;
    virtual void ShowWindow() = 0; // showing makes it the current window
    virtual void HideWindow() = 0;
    virtual void Dock(QObject* site) = 0; // becomes a page of the page control `site`
    virtual void AddLine(const QString& text, TChatLineKind kind) = 0;
    virtual void RefillNames(TChannel* channel) = 0; // empty channel: empty list
    virtual void ApplyLook() = 0;
    virtual bool IsCurrentPage() const { return false; }
    // Frees the window once whatever runs now has returned: a window folds back from
    // inside its own handlers (a send that fails closes the connection at once).
    virtual void DeleteLater() = 0;

    // The lines the module writes, built from their parts.
    void ShowMessage(TUser* user, const QString& text);
    void ShowPrivMessage(TUser* user, const QString& text);
    void ShowNotice(TUser* user, const QString& text, TChannel* channel);
    void ShowAction(TUser* user, const QString& text);
    void ShowJoin(TUser* user, TChannel* channel);
    void ShowPart(TUser* user, TChannel* channel);
    void ShowKick(TUser* kicker, TChannel* channel, TUser* victim);
    void ShowKicked(TUser* kicker, TChannel* channel);
    void ShowLeft(const QString& channel);
    void ShowNowChatting(const QString& channel);
    void ShowTopic(TUser* user, TChannel* channel); // user none: label only
    void ShowSystem(const QString& content);

    TChatModule* Module = nullptr; // set when registered
};

// What the module needs of the channel list window.
class TChannelListBase
{
public:
    virtual ~TChannelListBase() = default;
    virtual void StartListing() = 0;
    virtual void AddChannel(const QString& name, int count, const QString& topic) = 0;
    virtual void EndListing() = 0;
    virtual void ApplyLook() = 0;
    virtual void ShowList() = 0;
};

// A DCC SEND offer as read from a CTCP query.
struct TDccOffer
{
    QString Nick;
    QString FileName;
    QString Address; // dotted
    QString Port;
    qint64 Size = 0;
};

class TChatModule : public QObject
{
    Q_OBJECT
public:
    explicit TChatModule(QObject* parent = nullptr);
    ~TChatModule() override;

    // Components.
    TIRCClient* IRCClient1 = nullptr;
    QTimer* disconnecttimer = nullptr;
    QTimer* activetimer = nullptr;

    // Fields.
    std::vector<TChatWindowBase*> ChatWindows;
    QPointer<QObject> DockSite;
    QString IdleCaption = QStringLiteral("Chat");
    bool ActiveNow = true;
    bool ActiveWanted = false;
    QString SavedNick;
    // The default chat channel: the selected genre's, set by the main window.
    QString DefaultChannel;

    // The widget layer installs these.
    std::function<TChatWindowBase*(TChatModule*)> CreateChatWindow;
    TChannelListBase* ChannelList = nullptr;
    std::function<void(const TDccOffer&)> OnDccOffer;

    // Operations.
    void ConnectChat();
    void DisconnectChat(bool Force);
    void AddChatWindow(TChatWindowBase* window);
    void AutoJoinChannel(const QString& name);
    // Joins a named channel for a caller that has a title for it (a station's page):
    // the channel joins as by AutoJoinChannel, and its window, once open, takes the
    // title as its caption.
    void JoinTitledChannel(const QString& name, const QString& title);
    void SetUserActive(bool active);
    void ApplyLook();
    TChatWindowBase* FindChatWindow(TChannel* channel) const;

    // The current chat window (set by the windows when shown or activated).
    TChatWindowBase* CurrentWindow() const { return current_; }
    void SetCurrentWindow(TChatWindowBase* window) { current_ = window; }
    // A window going away (its destructor calls this).
    void RemoveChatWindow(TChatWindowBase* window);

    // The user name of the USER line for a nick as typed.
    static QString UserNameOf(const QString& nick);
    // The quit message.
    static QString QuitMessage();
    // Reads a DCC SEND offer from a CTCP query's command and arguments; false when it
    // is not one or is malformed.
    static bool ParseDccOffer(const QString& command, const QString& args, TDccOffer& offer);
    // Offers waiting for their later pass of the loop at most; more are dropped.
    static constexpr int MaxQueuedOffers = 16;

    // Handlers, named after the client's events.
    void disconnecttimerTimer();
    void activetimerTimer();
    void IRCClient1Message(TIRCClient*, TUser* user, TChannel* channel, const QString& text);
    void IRCClient1PrivMessage(TUser* user, const QString& text);
    void IRCClient1Notice(TIRCClient*, TUser* user, TChannel* channel, const QString& text);
    void IRCClient1Action(TIRCClient*, TUser* user, TChannel* channel, const QString& text);
    void IRCClient1Join(TIRCClient*, TUser* user, TChannel* channel);
    void IRCClient1Part(TIRCClient*, TUser* user, TChannel* channel, const QString& reason);
    void IRCClient1Kick(TIRCClient*, TUser* kicker, TUser* victim, TChannel* channel);
    void IRCClient1Joined(TIRCClient*, TChannel* channel);
    void IRCClient1Parted(TIRCClient*, TChannel* channel);
    void IRCClient1Kicked(TIRCClient*, TUser* kicker, TChannel* channel);
    void IRCClient1Topic(TIRCClient*, TUser* user, TChannel* channel);
    void IRCClient1NoTopic(TIRCClient*, TChannel* channel);
    void IRCClient1ChannelUpdate(TChannel* channel, TChannelUpdateType type, TUser*, int);
    void IRCClient1Disconnect(TIRCClient*);
    void IRCClient1System(TIRCClient*, TUser*, const QString& command, const QString& content);
    void IRCClient1CTCPQuery(TIRCClient*, TUser* user, TChannel*, const QString& command,
                             const QString& args, bool& suppress);
    void IRCClient1StateChange(TIRCClient*);
    void IRCClient1NicksInUse(TIRCClient*, QString& nick);

private:
    void bindEvents();
    void foldBack(TChannel* channel);

    TChatWindowBase* current_ = nullptr;
    std::vector<TChatWindowBase*> owned_; // the windows this module made
    bool destroying_ = false;
    int queuedOffers_ = 0;
    QString pendingTitle_, pendingTitleChannel_;
};

// The one chat module; nullptr before it exists and after it is gone.
TChatModule* ChatModule();
