#pragma once
// Tchat_form: the window in which the user chats in one channel. It docks as a page of
// the main window's page area, can float on its own, and shows the conversation, the
// topic, the user list, an input line with history and a column of action buttons.
#include "chatmodule.h"

#include <QColor>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStringList>
#include <QWidget>
#include <functional>

class QLabel;
class QListWidget;
class QMenu;
class QAction;
class QSplitter;
class QTabWidget;
class QTimer;
class QToolButton;
class QUrl;

// A one-line input with a history of the lines entered: Up and Down walk it, beeping at
// either end; Enter keeps the line and clears the input after its handler ran.
class TCRTEdit : public QLineEdit
{
    Q_OBJECT
public:
    static constexpr int MaxHistory = 200;
    explicit TCRTEdit(QWidget* parent = nullptr);

    std::function<void()> OnEnterKey;
    std::function<void()> OnBeep; // QApplication::beep by default
    QStringList History() const { return history_; }
    int Position() const { return pos_; }

protected:
    void keyPressEvent(QKeyEvent* e) override;

private:
    QStringList history_{QString()}; // 0: the line being edited, 1..: newest first
    int pos_ = 0;
};

// The conversation view: read-only lines with their colours and links; a plain-text
// layout, so a long flood of lines stays cheap. Releasing the left button on a link
// reports its text.
class TChatView : public QPlainTextEdit
{
    Q_OBJECT
public:
    explicit TChatView(QWidget* parent = nullptr);
    std::function<void(const QString&)> OnURLClick;

protected:
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
};

class Tchat_form : public QWidget, public TChatWindowBase
{
    Q_OBJECT
public:
    static constexpr int MaxLines = 500;
    explicit Tchat_form(QWidget* parent = nullptr, const QString& caption = "Chat (No Channel)");
    ~Tchat_form() override;

    // TChatWindowBase.
    QString Caption() const override { return caption_; }
    void SetCaption(const QString& caption) override;
    bool ChannelLocked() const override;
    void SetChannelLocked(bool locked) override;
    void SetConnectDown(bool down) override;
    void SetTopicLabel(const QString& text) override;
    void ShowWindow() override;
    void HideWindow() override;
    void Dock(QObject* site) override;
    void AddLine(const QString& text, TChatLineKind kind) override;
    void RefillNames(TChannel* channel) override;
    void ApplyLook() override;
    bool IsCurrentPage() const override;
    // Frees the window on the loop's next pass, or once the last of its handlers still
    // running has returned: a dialog's loop inside a handler may deliver the fold-back.
    void DeleteLater() override;

    static QColor LineColor(TChatLineKind kind);
    // Links in a line of text: [start, length) pairs, and the address each opens.
    struct TLink
    {
        int Start, Length;
        QString Url;
    };
    static QList<TLink> FindLinks(const QString& text);
    // The address a link's text opens with, or empty when it is not one to open.
    static QString LinkTarget(const QString& text);

    // Handlers.
    void mainlineEnterKey();
    void HandleCommand(const QString& line);
    void connect_buttClick(bool down);
    void leavechan_buttClick();
    void chanlist_buttClick();
    void sendmsg_buttClick();
    void sendfile_buttClick();
    void kick_buttClick();
    void kickban_buttClick();
    void Whois1Click();
    void mainchatURLClick(const QString& text);
    void btftimerTimer();
    // The user turned to this window: it becomes current and counts as chat activity.
    void FormActivate();
    // The window became the current one without the user's doing (the program showed it).
    void BecomeCurrent();
    void Undock();
    bool Docked() const { return dockSite_ != nullptr; }
    // The selected nick without its "@" or "+"; empty (after the message) when none.
    QString SelectedNick();

    // Offering a file to a nick (the file-transfer window installs this).
    static std::function<void(Tchat_form*, const QString& nick)>& SendFileHook();
    // Links with the program's own scheme ("dialwise:") go here when set.
    static std::function<void(const QString&)>& ProgramLinkHook();

    int LineCount() const;
    QString LineText(int i) const;
    QColor LineColorAt(int i) const;
    bool AtEnd() const;

    // Controls, named as in the window's design.
    QLabel* topiclabel = nullptr;
    TChatView* mainchat = nullptr;
    TCRTEdit* mainline = nullptr;
    QWidget* buttonpanel = nullptr;
    QToolButton* connect_butt = nullptr;
    QToolButton* leavechan_butt = nullptr;
    QToolButton* chanlist_butt = nullptr;
    QToolButton* sendmsg_butt = nullptr;
    QToolButton* sendfile_butt = nullptr;
    QToolButton* chanlock_butt = nullptr;
    QToolButton* kick_butt = nullptr;
    QToolButton* kickban_butt = nullptr;
    QSplitter* Splitter1 = nullptr;
    QListWidget* name_box = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* SendMessage1 = nullptr;
    QAction* SendFile1 = nullptr;
    QAction* Kick1 = nullptr;
    QAction* KickBan1 = nullptr;
    QAction* Whois1 = nullptr;
    QTimer* btftimer = nullptr;
    bool ScrollPending = true;

protected:
    void closeEvent(QCloseEvent* e) override;
    void changeEvent(QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    bool eventFilter(QObject* o, QEvent* e) override;

private:
    // Held while a handler of this window runs.
    class THold
    {
    public:
        explicit THold(Tchat_form* w) : w_(w) { ++w_->holds_; }
        ~THold();
        THold(const THold&) = delete;
        THold& operator=(const THold&) = delete;

    private:
        Tchat_form* w_;
    };
    int holds_ = 0;
    bool freePending_ = false;

    void scrollToEnd();
    void updateTabText();
    void hint(const QString& text) { AddLine(text, lkSystem); }
    QString ownNick() const;

    QString caption_;
    QTabWidget* dockSite_ = nullptr;
    QPoint dragStart_;
    bool dragFromTab_ = false;
};

// Gives the chat module its further windows: each a chat window owned by `owner` that
// docks into the module's dock site.
void InstallChatWindows(TChatModule* module, QWidget* owner);
