#include "chat_form.h"
#include "channellist_form.h"
#include "debuglog.h"
#include "dialogs.h"
#include "netutils.h"
#include "productprofile.h"
#include "skins.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSplitter>
#include <QTabBar>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

// ---------------------------------------------------------------------------------------
// Input line with history

TCRTEdit::TCRTEdit(QWidget* parent) : QLineEdit(parent)
{
    OnBeep = [] { QApplication::beep(); };
}

void TCRTEdit::keyPressEvent(QKeyEvent* e)
{
    switch (e->key()) {
    case Qt::Key_Up:
    case Qt::Key_Down: {
        const bool up = e->key() == Qt::Key_Up;
        const int next = pos_ + (up ? 1 : -1);
        if (next < 0 || next >= history_.size()) {
            if (OnBeep) OnBeep();
        } else {
            if (pos_ == 0) history_[0] = text(); // the line being edited is kept
            pos_ = next;
            setText(history_[pos_]);
        }
        end(false);
        return;
    }
    case Qt::Key_Return:
    case Qt::Key_Enter: {
        history_.insert(1, text());
        while (history_.size() > MaxHistory + 1)
            history_.removeLast();
        history_[0].clear();
        pos_ = 0;
        if (OnEnterKey) OnEnterKey();
        clear();
        return;
    }
    default:
        QLineEdit::keyPressEvent(e);
    }
}

// ---------------------------------------------------------------------------------------
// Conversation view

TChatView::TChatView(QWidget* parent) : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setUndoRedoEnabled(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setMouseTracking(true);
}

void TChatView::mouseMoveEvent(QMouseEvent* e)
{
    QPlainTextEdit::mouseMoveEvent(e);
    const bool link = !anchorAt(e->position().toPoint()).isEmpty();
    viewport()->setCursor(link ? Qt::PointingHandCursor : Qt::IBeamCursor);
}

void TChatView::mouseReleaseEvent(QMouseEvent* e)
{
    QPlainTextEdit::mouseReleaseEvent(e);
    if (e->button() != Qt::LeftButton || textCursor().hasSelection()) return;
    const QString href = anchorAt(e->position().toPoint());
    if (!href.isEmpty() && OnURLClick) OnURLClick(href);
}

// ---------------------------------------------------------------------------------------
// The window

namespace {
QToolButton* chatButton(QWidget* parent, const char* name, const QString& hint, bool toggle)
{
    auto* b = new QToolButton(parent);
    b->setObjectName(name);
    b->setToolTip(hint);
    b->setAutoRaise(true);
    b->setCheckable(toggle);
    b->setFocusPolicy(Qt::NoFocus);
    b->setIconSize(QSize(22, 22));
    b->setFixedSize(28, 28);
    return b;
}

QFont fixedFont()
{
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setPointSize(10);
    return f;
}
} // namespace

std::function<void(Tchat_form*, const QString&)>& Tchat_form::SendFileHook()
{
    static std::function<void(Tchat_form*, const QString&)> hook;
    return hook;
}

std::function<void(const QString&)>& Tchat_form::ProgramLinkHook()
{
    static std::function<void(const QString&)> hook;
    return hook;
}

Tchat_form::Tchat_form(QWidget* parent, const QString& caption) : QWidget(parent), caption_(caption)
{
    setObjectName("chat_form");
    setWindowTitle(caption_);
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(2, 2, 2, 2);
    outer->setSpacing(2);

    Splitter1 = new QSplitter(Qt::Horizontal, this);
    Splitter1->setObjectName("Splitter1");
    Splitter1->setChildrenCollapsible(false);
    outer->addWidget(Splitter1, 1);

    auto* chatarea = new QWidget(Splitter1);
    auto* col = new QVBoxLayout(chatarea);
    col->setContentsMargins(0, 0, 0, 0);
    col->setSpacing(2);
    topiclabel = new QLabel(" Topic:", chatarea);
    topiclabel->setObjectName("topiclabel");
    QFont arial("Arial");
    arial.setStyleHint(QFont::SansSerif);
    topiclabel->setFont(arial);
    topiclabel->setTextFormat(Qt::PlainText);
    topiclabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    col->addWidget(topiclabel);

    auto* mid = new QHBoxLayout;
    mid->setSpacing(2);
    mainchat = new TChatView(chatarea);
    mainchat->setObjectName("mainchat");
    mainchat->setFont(fixedFont());
    mainchat->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mainchat->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    mainchat->OnURLClick = [this](const QString& text) { mainchatURLClick(text); };
    mid->addWidget(mainchat, 1);

    buttonpanel = new QWidget(chatarea);
    buttonpanel->setObjectName("buttonpanel");
    auto* bl = new QVBoxLayout(buttonpanel);
    bl->setContentsMargins(0, 0, 0, 0);
    bl->setSpacing(1);
    connect_butt = chatButton(buttonpanel, "connect_butt", "Connect / Disconnect from chat", true);
    leavechan_butt = chatButton(buttonpanel, "leavechan_butt", "Leave Channel", false);
    chanlist_butt = chatButton(buttonpanel, "chanlist_butt", "Channel List", false);
    sendmsg_butt = chatButton(buttonpanel, "sendmsg_butt",
                              "Send a private message to the selected person", false);
    sendfile_butt =
        chatButton(buttonpanel, "sendfile_butt", "Send a file to the selected person", false);
    chanlock_butt = chatButton(buttonpanel, "chanlock_butt",
                               "Don't leave this channel when auto-joining", true);
    chanlock_butt->setChecked(true);
    kick_butt =
        chatButton(buttonpanel, "kick_butt", "Kick the selected user from the channel", false);
    kickban_butt = chatButton(buttonpanel, "kickban_butt",
                              "Kick the selected user and ban them from rejoining", false);
    for (QToolButton* b : {connect_butt, leavechan_butt, chanlist_butt, sendmsg_butt, sendfile_butt,
                           chanlock_butt, kick_butt, kickban_butt})
        bl->addWidget(b);
    bl->addStretch(1);
    mid->addWidget(buttonpanel);
    col->addLayout(mid, 1);

    mainline = new TCRTEdit(chatarea);
    mainline->setObjectName("mainline");
    mainline->setFont(fixedFont());
    mainline->setMaxLength(450);
    mainline->OnEnterKey = [this] { mainlineEnterKey(); };
    col->addWidget(mainline);
    Splitter1->addWidget(chatarea);

    name_box = new QListWidget(Splitter1);
    name_box->setObjectName("name_box");
    name_box->setFont(fixedFont());
    name_box->setContextMenuPolicy(Qt::CustomContextMenu);
    name_box->viewport()->installEventFilter(this);
    for (QWidget* w : {static_cast<QWidget*>(mainline), static_cast<QWidget*>(mainchat),
                       static_cast<QWidget*>(name_box)})
        w->installEventFilter(this);
    Splitter1->addWidget(name_box);
    Splitter1->setStretchFactor(0, 1);
    Splitter1->setStretchFactor(1, 0);
    Splitter1->setSizes({600, 130});

    PopupMenu1 = new QMenu(this);
    SendMessage1 = PopupMenu1->addAction("&Send Message");
    SendFile1 = PopupMenu1->addAction("Send &File");
    Kick1 = PopupMenu1->addAction("&Kick");
    KickBan1 = PopupMenu1->addAction("&Kick / Ban");
    PopupMenu1->addSeparator();
    Whois1 = PopupMenu1->addAction("&Whois");
    connect(name_box, &QListWidget::customContextMenuRequested, this,
            [this](const QPoint& p) { PopupMenu1->popup(name_box->viewport()->mapToGlobal(p)); });

    connect(connect_butt, &QToolButton::clicked, this, &Tchat_form::connect_buttClick);
    connect(leavechan_butt, &QToolButton::clicked, this, &Tchat_form::leavechan_buttClick);
    connect(chanlist_butt, &QToolButton::clicked, this, &Tchat_form::chanlist_buttClick);
    connect(sendmsg_butt, &QToolButton::clicked, this, &Tchat_form::sendmsg_buttClick);
    connect(SendMessage1, &QAction::triggered, this, &Tchat_form::sendmsg_buttClick);
    connect(sendfile_butt, &QToolButton::clicked, this, &Tchat_form::sendfile_buttClick);
    connect(SendFile1, &QAction::triggered, this, &Tchat_form::sendfile_buttClick);
    connect(kick_butt, &QToolButton::clicked, this, &Tchat_form::kick_buttClick);
    connect(Kick1, &QAction::triggered, this, &Tchat_form::kick_buttClick);
    connect(kickban_butt, &QToolButton::clicked, this, &Tchat_form::kickban_buttClick);
    connect(KickBan1, &QAction::triggered, this, &Tchat_form::kickban_buttClick);
    connect(Whois1, &QAction::triggered, this, &Tchat_form::Whois1Click);

    btftimer = new QTimer(this);
    btftimer->setInterval(250);
    connect(btftimer, &QTimer::timeout, this, &Tchat_form::btftimerTimer);
    connect(&Skin(), &TSkin::reskinOthers, this, &Tchat_form::ApplyLook);

    ApplyLook();
    scrollToEnd();
    ScrollPending = true;
}

Tchat_form::~Tchat_form()
{
    // Nothing to undo on the dock site: Qt drops the tab bar's event filter with this
    // object, and the site may itself be half destroyed (this window is its child then).
}

QString Tchat_form::ownNick() const
{
    return Client ? Client->Nick() : QString();
}

void Tchat_form::DeleteLater()
{
    if (holds_ > 0)
        freePending_ = true;
    else
        deleteLater();
}

Tchat_form::THold::~THold()
{
    if (--w_->holds_ == 0 && w_->freePending_) w_->deleteLater();
}

void Tchat_form::SetCaption(const QString& caption)
{
    caption_ = caption;
    setWindowTitle(caption);
    updateTabText();
}

void Tchat_form::updateTabText()
{
    if (!dockSite_) return;
    const int i = dockSite_->indexOf(this);
    if (i >= 0) dockSite_->setTabText(i, caption_);
}

bool Tchat_form::ChannelLocked() const
{
    return chanlock_butt->isChecked();
}

void Tchat_form::SetChannelLocked(bool locked)
{
    chanlock_butt->setChecked(locked);
}

void Tchat_form::SetConnectDown(bool down)
{
    connect_butt->setChecked(down);
}

void Tchat_form::SetTopicLabel(const QString& text)
{
    topiclabel->setText(text);
    const QString topic = text.startsWith(" Topic: ") ? text.mid(8) : QString();
    topiclabel->setToolTip(topic);
}

bool Tchat_form::IsCurrentPage() const
{
    return dockSite_ ? dockSite_->currentWidget() == this : isActiveWindow();
}

void Tchat_form::ShowWindow()
{
    if (dockSite_) {
        const int i = dockSite_->indexOf(this);
        if (i >= 0) {
            dockSite_->setTabVisible(i, true);
            dockSite_->setCurrentIndex(i);
        }
    } else {
        show();
        raise();
    }
    scrollToEnd();
    if (Module) Module->SetCurrentWindow(this);
}

void Tchat_form::HideWindow()
{
    if (dockSite_) {
        const int i = dockSite_->indexOf(this);
        if (i >= 0) dockSite_->removeTab(i);
        dockSite_->tabBar()->removeEventFilter(this);
        dockSite_ = nullptr;
    }
    hide();
}

void Tchat_form::Dock(QObject* site)
{
    auto* tabs = qobject_cast<QTabWidget*>(site);
    if (!tabs || tabs == dockSite_) return;
    dockSite_ = tabs;
    setProperty("tag", 0);
    const QList<QPixmap>& pics = PageImages();
    tabs->addTab(this, pics.isEmpty() ? QIcon() : QIcon(pics.at(0)), caption_);
    tabs->tabBar()->installEventFilter(this);
    // The page shown is the current window; only the user's own turning to it (a click on
    // its tab) counts as using the chat, not the program switching pages.
    connect(tabs, &QTabWidget::currentChanged, this, [this](int) {
        if (dockSite_ && dockSite_->currentWidget() == this) BecomeCurrent();
    });
    connect(tabs, &QTabWidget::tabBarClicked, this, [this](int i) {
        if (dockSite_ && i >= 0 && dockSite_->widget(i) == this) FormActivate();
    });
    scrollToEnd();
    btftimer->start();
}

void Tchat_form::Undock()
{
    if (!dockSite_) return;
    const QPoint at = mapToGlobal(QPoint(0, 0));
    const QSize size = this->size();
    QTabWidget* site = dockSite_;
    site->tabBar()->removeEventFilter(this);
    disconnect(site, nullptr, this, nullptr);
    dockSite_ = nullptr;
    const int i = site->indexOf(this);
    if (i >= 0) site->removeTab(i);
    // Still owned by the main window, which it floats above.
    setParent(site->window(), Qt::Window);
    setWindowTitle(caption_);
    resize(size.expandedTo(QSize(520, 300)));
    move(at + QPoint(20, 20));
    show();
    scrollToEnd();
    btftimer->start();
}

void Tchat_form::btftimerTimer()
{
    btftimer->stop();
    if (dockSite_) {
        if (QWidget* w = window()) w->raise();
    } else {
        raise();
        activateWindow();
    }
}

void Tchat_form::closeEvent(QCloseEvent* e)
{
    const THold hold(this);
    // A floating window does not close: it leaves its channel and docks back.
    e->ignore();
    leavechan_butt->click();
    if (Module && Module->DockSite && !dockSite_) {
        hide();
        Dock(Module->DockSite);
        ShowWindow();
    }
}

void Tchat_form::changeEvent(QEvent* e)
{
    if (e->type() == QEvent::ActivationChange && !dockSite_ && isActiveWindow()) FormActivate();
    QWidget::changeEvent(e);
}

void Tchat_form::showEvent(QShowEvent* e)
{
    QWidget::showEvent(e);
    scrollToEnd();
}

void Tchat_form::FormActivate()
{
    BecomeCurrent();
    if (Module) Module->SetUserActive(true);
}

void Tchat_form::BecomeCurrent()
{
    if (Module) Module->SetCurrentWindow(this);
    if (caption_.startsWith("* ")) SetCaption(caption_.mid(2));
}

namespace {
bool isMouseEvent(QEvent::Type t)
{
    return t == QEvent::MouseButtonPress || t == QEvent::MouseButtonRelease ||
           t == QEvent::MouseButtonDblClick || t == QEvent::MouseMove;
}
} // namespace

bool Tchat_form::eventFilter(QObject* o, QEvent* e)
{
    if (e->type() == QEvent::FocusIn && (o == mainline || o == mainchat || o == name_box)) {
        // Clicking or tabbing into the window is using the chat; the focus a window gets
        // back when it is activated is not.
        const Qt::FocusReason r = static_cast<QFocusEvent*>(e)->reason();
        if (r == Qt::MouseFocusReason || r == Qt::TabFocusReason || r == Qt::BacktabFocusReason)
            FormActivate();
    }
    if (o == name_box->viewport() && e->type() == QEvent::MouseButtonPress) {
        auto* me = static_cast<QMouseEvent*>(e);
        if (me->button() == Qt::RightButton) {
            if (QListWidgetItem* it = name_box->itemAt(me->position().toPoint()))
                name_box->setCurrentItem(it);
        }
    } else if (isMouseEvent(e->type()) && dockSite_ && o == dockSite_->tabBar()) {
        // Only mouse events: others (focus, hiding) also come while the tab widget is
        // being destroyed, when it may no longer be asked for its tab bar.
        QTabBar* bar = dockSite_->tabBar();
        auto onThisTab = [&](QEvent* ev) {
            const int i = bar->tabAt(static_cast<QMouseEvent*>(ev)->position().toPoint());
            return i >= 0 && dockSite_->widget(i) == this;
        };
        // Double-clicking the tab, or dragging it well away from the tab strip, floats
        // the window.
        if (e->type() == QEvent::MouseButtonDblClick && onThisTab(e)) {
            QTimer::singleShot(0, this, &Tchat_form::Undock);
            return true;
        }
        if (e->type() == QEvent::MouseButtonPress && onThisTab(e)) {
            dragFromTab_ = true;
            dragStart_ = static_cast<QMouseEvent*>(e)->position().toPoint();
        } else if (e->type() == QEvent::MouseButtonRelease) {
            dragFromTab_ = false;
        } else if (e->type() == QEvent::MouseMove && dragFromTab_) {
            const QPoint p = static_cast<QMouseEvent*>(e)->position().toPoint();
            if (std::abs(p.y() - dragStart_.y()) > bar->height() + 40) {
                dragFromTab_ = false;
                QTimer::singleShot(0, this, &Tchat_form::Undock);
            }
        }
    }
    return QWidget::eventFilter(o, e);
}

// ---------------------------------------------------------------------------------------
// The conversation

QColor Tchat_form::LineColor(TChatLineKind kind)
{
    switch (kind) {
    case lkMessage:
        return QColor(0, 0, 0);
    case lkPrivate:
        return QColor(0, 0, 255);
    case lkNotice:
        return QColor(0, 128, 0);
    case lkAction:
        return QColor(128, 0, 128);
    case lkEvent:
        return QColor(255, 128, 0);
    case lkSystem:
        return QColor(255, 0, 0);
    }
    return QColor(0, 0, 0);
}

QString Tchat_form::LinkTarget(const QString& text)
{
    const QString t = text.trimmed();
    const QString lower = t.toLower();
    for (const char* scheme : {"http://", "https://", "ftp://"})
        if (lower.startsWith(QLatin1String(scheme)) && t.size() > int(strlen(scheme))) return t;
    if (lower.startsWith("www.") && t.size() > 4) return "http://" + t;
    if (lower.startsWith("mailto:") && t.size() > 7) return t;
    if (lower.startsWith("dialwise:") && t.size() > 9) return t;
    return {};
}

QList<Tchat_form::TLink> Tchat_form::FindLinks(const QString& text)
{
    static const QRegularExpression re(
        R"((?<![\w.@/])((?:https?|ftp)://[^\s<>"]+|www\.[^\s<>"]+|mailto:[^\s<>"]+|dialwise:[^\s<>"]+))",
        QRegularExpression::CaseInsensitiveOption);
    QList<TLink> links;
    auto it = re.globalMatch(text);
    while (it.hasNext()) {
        const auto m = it.next();
        QString s = m.captured(1);
        // Punctuation that ends a sentence is not part of the address.
        while (!s.isEmpty() && QStringLiteral(".,;:!?)]}'").contains(s.back()))
            s.chop(1);
        const QString target = LinkTarget(s);
        if (!target.isEmpty()) links.push_back({int(m.capturedStart(1)), int(s.size()), target});
    }
    return links;
}

bool Tchat_form::AtEnd() const
{
    const QScrollBar* sb = mainchat->verticalScrollBar();
    if (!sb) return false;
    return sb->value() + sb->pageStep() >= sb->maximum();
}

void Tchat_form::scrollToEnd()
{
    if (QScrollBar* sb = mainchat->verticalScrollBar()) sb->setValue(sb->maximum());
}

int Tchat_form::LineCount() const
{
    const QTextDocument* d = mainchat->document();
    if (d->blockCount() == 1 && d->firstBlock().length() <= 1) return 0;
    return d->blockCount();
}

QString Tchat_form::LineText(int i) const
{
    return mainchat->document()->findBlockByNumber(i).text();
}

QColor Tchat_form::LineColorAt(int i) const
{
    const QTextBlock b = mainchat->document()->findBlockByNumber(i);
    if (!b.isValid()) return {};
    return b.begin().fragment().charFormat().foreground().color();
}

void Tchat_form::AddLine(const QString& text, TChatLineKind kind)
{
    const bool atEnd = AtEnd();
    QString line = text;
    line.removeIf([](QChar c) { return c.unicode() < 32; });
    QTextDocument* doc = mainchat->document();
    QTextCursor c(doc);
    const int count = LineCount();
    if (count > MaxLines) {
        c.movePosition(QTextCursor::Start);
        c.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
        c.removeSelectedText();
    }
    c.movePosition(QTextCursor::End);
    QTextCharFormat plain;
    plain.setForeground(LineColor(kind));
    // Plain text only: whatever a line holds shows as typed, never as markup.
    if (LineCount() > 0) c.insertBlock(QTextBlockFormat(), plain);
    int at = 0;
    for (const TLink& l : FindLinks(line)) {
        c.insertText(line.mid(at, l.Start - at), plain);
        QTextCharFormat link = plain;
        link.setForeground(QColor(0, 0, 255));
        link.setFontUnderline(true);
        link.setAnchor(true);
        link.setAnchorHref(line.mid(l.Start, l.Length));
        c.insertText(line.mid(l.Start, l.Length), link);
        at = l.Start + l.Length;
    }
    c.insertText(line.mid(at), plain);
    DebugLog("Chat [" + (Channel ? Channel->Name : caption_) + "] " + line);
    if (atEnd || ScrollPending) {
        scrollToEnd();
        ScrollPending = false;
    }
    const bool current = Module && Module->CurrentWindow() == this;
    if (current && caption_.startsWith("*"))
        SetCaption(caption_.mid(2));
    else if (!current && !caption_.startsWith("*"))
        SetCaption("* " + caption_);
}

void Tchat_form::RefillNames(TChannel* channel)
{
    name_box->setUpdatesEnabled(false);
    name_box->clear();
    if (channel) {
        QStringList names;
        names.reserve(int(channel->Names.size()));
        for (const TNameEntry& e : channel->Names) {
            const QString prefix = e.Flags & nfOperator ? "@" : e.Flags & nfVoice ? "+" : "";
            names << prefix + e.Nick;
        }
        std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
            const int c = a.compare(b, Qt::CaseInsensitive);
            return c != 0 ? c < 0 : a < b;
        });
        name_box->addItems(names);
    }
    name_box->setUpdatesEnabled(true);
}

void Tchat_form::mainchatURLClick(const QString& text)
{
    const THold hold(this);
    if (text.size() <= 1) return;
    const QString target = LinkTarget(text);
    if (target.isEmpty()) {
        DebugLog("Chat link not opened: " + text, dcErrOut);
        return;
    }
    const QString lower = target.toLower();
    if (lower.startsWith("dialwise:")) {
        if (ProgramLinkHook()) ProgramLinkHook()(target);
    } else if (lower.startsWith("mailto:")) {
        OpenMailLink(target);
    } else {
        OpenRedirect(target, Profile().ProductNumber, raChatLink);
    }
}

// ---------------------------------------------------------------------------------------
// Input and commands

void Tchat_form::mainlineEnterKey()
{
    const THold hold(this);
    const QString text = mainline->text();
    if (text.isEmpty()) return;
    if (text.startsWith('/')) {
        HandleCommand(text);
    } else if (Channel && Client) {
        Client->Say(Channel->Name, text);
        AddLine("<" + ownNick() + "> " + FilterUserText(text), lkMessage);
    } else if (Client && Client->Connected()) {
        hint("*** You are not on a chat channel");
    } else {
        hint("*** You are not connected to the chat server. Press the \"connect\" button on the "
             "right to reconnect");
    }
}

namespace {
// The text up to the next blank; `rest` keeps what follows, its leading blank included.
QString token(const QString& text, QString& rest)
{
    QString t = text;
    while (t.startsWith(' '))
        t.remove(0, 1);
    const int sp = t.indexOf(' ');
    if (sp < 0) {
        rest.clear();
        return t;
    }
    rest = t.mid(sp);
    return t.left(sp);
}

QString trimControls(const QString& s)
{
    int a = 0, b = int(s.size());
    while (a < b && s[a].unicode() <= 32)
        ++a;
    while (b > a && s[b - 1].unicode() <= 32)
        --b;
    return s.mid(a, b - a);
}
} // namespace

void Tchat_form::HandleCommand(const QString& line)
{
    const THold hold(this);
    if (!Client || !Client->Connected()) return;
    const QString raw = " " + line.mid(1);
    QString rest;
    const QString word = token(raw, rest).toUpper();
    if (word == "LEAVE") {
        const QString ch = rest.trimmed();
        if (!ch.isEmpty())
            Client->Part(ch);
        else if (Channel)
            Client->Part(Channel->Name);
    } else if (word == "MSG") {
        QString msg;
        const QString target = token(rest, msg);
        msg = trimControls(msg);
        Client->Say(target, msg);
        AddLine("*" + ownNick() + ":" + target + "* " + msg, lkPrivate);
    } else if (word == "NOTICE") {
        QString msg;
        const QString target = token(rest, msg);
        Client->Notice(target, msg);
        AddLine("-" + ownNick() + ":" + target + "- " + msg, lkNotice);
    } else if (word == "TOPIC") {
        QString topic;
        QString ch = token(rest, topic);
        if (ch.isEmpty() || !ch.startsWith('#')) {
            topic = rest;
            ch = Channel ? Channel->Name : QString();
        }
        // The words after the command, without the blank that separated them.
        if (topic.startsWith(' ')) topic.remove(0, 1);
        if (!ch.isEmpty()) Client->SetTopic(ch, topic);
    } else if (word == "ME") {
        if (Channel) {
            const QString text = rest.startsWith(' ') ? rest.mid(1) : rest;
            Client->Action(Channel->Name, text);
            AddLine("* " + ownNick() + rest, lkAction);
        }
    } else if (word == "LIST") {
        chanlist_buttClick();
    } else if (word == "DCC") {
        // "/dcc send NAME": the Send File button for a name typed instead of selected.
        QString nick;
        const QString sub = token(rest, nick).toUpper();
        nick = nick.trimmed();
        if (sub == "SEND" && !nick.isEmpty() && !nick.contains(' ')) {
            if (SendFileHook()) SendFileHook()(this, nick);
        } else {
            hint("Type /dcc send and a name to send that person a file");
        }
    } else {
        Client->SendRaw(raw);
    }
}

// ---------------------------------------------------------------------------------------
// Buttons and menu

QString Tchat_form::SelectedNick()
{
    const THold hold(this);
    QListWidgetItem* it = name_box->currentItem();
    if (!it || !it->isSelected()) {
        platform::MessageDlg("You must select a name first", platform::mtInformation,
                             platform::mbOK, {}, this);
        return {};
    }
    QString nick = it->text();
    if (nick.startsWith('@') || nick.startsWith('+')) nick.remove(0, 1);
    return nick;
}

void Tchat_form::connect_buttClick(bool down)
{
    const THold hold(this);
    if (!Client || !Module) return;
    if (down) {
        Module->ConnectChat();
        scrollToEnd();
    } else {
        Module->disconnecttimer->start();
    }
}

void Tchat_form::leavechan_buttClick()
{
    const THold hold(this);
    if (Channel && Client) Client->Part(Channel->Name);
}

void Tchat_form::chanlist_buttClick()
{
    const THold hold(this);
    if (Client) Client->List();
    if (Module && Module->ChannelList) Module->ChannelList->ShowList();
}

void Tchat_form::sendmsg_buttClick()
{
    const THold hold(this);
    const QString nick = SelectedNick();
    if (nick.isEmpty()) return;
    mainline->setText("/msg " + nick + " " + mainline->text());
    mainline->setFocus();
    mainline->end(false);
    hint("Type you message in the box below and hit enter to send");
}

void Tchat_form::sendfile_buttClick()
{
    const THold hold(this);
    const QString nick = SelectedNick();
    if (nick.isEmpty()) return;
    if (SendFileHook()) SendFileHook()(this, nick);
}

void Tchat_form::kick_buttClick()
{
    const THold hold(this);
    const QString nick = SelectedNick();
    if (nick.isEmpty() || !Channel) return;
    HandleCommand("/kick " + Channel->Name + " " + nick);
}

void Tchat_form::kickban_buttClick()
{
    const THold hold(this);
    const QString nick = SelectedNick();
    if (nick.isEmpty() || !Channel) return;
    // The first send may fail and fold this window back (no channel then): the name is
    // taken first.
    const QString channel = Channel->Name;
    HandleCommand("/mode " + channel + " +b " + nick);
    HandleCommand("/kick " + channel + " " + nick);
}

void Tchat_form::Whois1Click()
{
    const THold hold(this);
    const QString nick = SelectedNick();
    if (nick.isEmpty()) return;
    HandleCommand("/whois " + nick);
}

// ---------------------------------------------------------------------------------------
// Look

void Tchat_form::ApplyLook()
{
    const TSkinColors& c = Skin().Colors();
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, c.Primary);
    p.setColor(QPalette::WindowText, c.PrimaryFont);
    p.setColor(QPalette::Button, c.Primary);
    p.setColor(QPalette::ButtonText, c.PrimaryFont);
    setPalette(p);
    topiclabel->setStyleSheet(QString("color: %1;").arg(c.PrimaryFont.name()));
    // The conversation, input and user list stay light so every line colour reads.
    for (QWidget* w : {static_cast<QWidget*>(mainchat), static_cast<QWidget*>(mainline),
                       static_cast<QWidget*>(name_box)}) {
        QPalette wp = w->palette();
        wp.setColor(QPalette::Base, Qt::white);
        wp.setColor(QPalette::Text, Qt::black);
        w->setPalette(wp);
    }
    const std::pair<QToolButton*, const char*> pics[] = {
        {connect_butt, skinpic::CbtnConDis},    {leavechan_butt, skinpic::CbtnLeave},
        {chanlist_butt, skinpic::CbtnChannels}, {sendmsg_butt, skinpic::CbtnPrivateMes},
        {sendfile_butt, skinpic::CbtnSendFile}, {chanlock_butt, skinpic::CbtnLock},
        {kick_butt, skinpic::CbtnKick},         {kickban_butt, skinpic::CbtnBan}};
    for (const auto& [button, name] : pics) {
        const QPixmap pic = Skin().Picture(QString::fromLatin1(name));
        if (pic.isNull()) continue;
        QIcon icon;
        if (button->isCheckable() && pic.width() >= 2 * pic.height()) {
            const QList<QPixmap> states = SplitGlyph(pic, 2);
            icon.addPixmap(states.value(0), QIcon::Normal, QIcon::Off);
            icon.addPixmap(states.value(1), QIcon::Normal, QIcon::On);
        } else {
            icon.addPixmap(SplitGlyph(pic, 1).value(0));
        }
        button->setIcon(icon);
    }
}

void InstallChatWindows(TChatModule* module, QWidget* owner)
{
    QPointer<QWidget> own(owner);
    module->CreateChatWindow = [own](TChatModule*) -> TChatWindowBase* {
        auto* w = new Tchat_form(own);
        w->hide();
        return w;
    };
}
