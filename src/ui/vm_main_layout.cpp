// The main window's controls and row actions: how the window is laid out, built once in the
// constructor. What they do is in vm_main.cpp.
#include "bannerfetcher.h"
#include "finddialog.h"
#include "serverview.h"
#include "skins.h"
#include "titleimage.h"
#include "vm_main.h"

#include <QAction>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QSplitter>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace {
QToolButton* makeButton(QWidget* parent, const char* name, const QString& text,
                        const QString& hint = {})
{
    auto* b = new QToolButton(parent);
    b->setObjectName(name);
    b->setText(text);
    b->setToolTip(hint);
    b->setAutoRaise(true);
    b->setCursor(Qt::PointingHandCursor);
    b->setFocusPolicy(Qt::NoFocus);
    return b;
}
} // namespace

void Tvm_form::buildControls()
{
    setMinimumSize(500, 230);
    setMaximumSize(1600, 1200);
    resize(980, 700);

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    // Title area: pictures that move the window, and the three frame buttons.
    toppanel = new QFrame(this);
    toppanel->setObjectName("toppanel");
    toppanel->setAutoFillBackground(true);
    auto* top = new QHBoxLayout(toppanel);
    top->setContentsMargins(0, 0, 0, 0);
    top->setSpacing(0);
    leftimage = new TTitleImage(toppanel);
    leftimage->setObjectName("leftimage");
    topimage = new TTitleImage(toppanel);
    topimage->setObjectName("topimage");
    midimage = new TTitleImage(toppanel);
    midimage->setObjectName("midimage");
    midimage->setStretch(true);
    rightimage = new TTitleImage(toppanel);
    rightimage->setObjectName("rightimage");
    company_butt = makeButton(toppanel, "company_butt", {});
    top->addWidget(company_butt);
    top->addWidget(topimage);
    top->addWidget(midimage, 1);
    top->addWidget(rightimage);
    // The frame buttons are hot areas over the right title picture's marks.
    min_butt = makeButton(rightimage, "min_butt", {}, "Minimize");
    max_butt = makeButton(rightimage, "max_butt", {}, "Maximize");
    close_butt = makeButton(rightimage, "close_butt", {}, "Close");
    for (TTitleImage* t : {leftimage, topimage, midimage, rightimage})
        t->OnMouseDown = [this] { topimageMouseDown(); };
    topimage->OnDblClick = [this] { topimageDblClick(); };
    midimage->OnDblClick = [this] { topimageDblClick(); };
    connect(min_butt, &QToolButton::clicked, this, &Tvm_form::min_buttClick);
    connect(max_butt, &QToolButton::clicked, this, &Tvm_form::max_buttClick);
    connect(close_butt, &QToolButton::clicked, this, &Tvm_form::close_buttClick);
    connect(company_butt, &QToolButton::clicked, this, [this] { lb1Click(company_butt); });
    toppanel->installEventFilter(this);
    repainttimer = new QTimer(this);
    repainttimer->setSingleShot(true);
    repainttimer->setInterval(200);
    connect(repainttimer, &QTimer::timeout, this, &Tvm_form::repainttimerTimer);
    root->addWidget(toppanel);

    auto* body = new QHBoxLayout;
    body->setContentsMargins(0, 0, 0, 0);
    body->setSpacing(0);
    root->addLayout(body, 1);

    // Left panel: the link picture with its hot areas, genres, the maker's button.
    leftpanel = new QFrame(this);
    leftpanel->setObjectName("leftpanel");
    leftpanel->setAutoFillBackground(true);
    auto* left = new QVBoxLayout(leftpanel);
    left->setContentsMargins(0, 0, 0, 0);
    left->setSpacing(0);
    leftpicture = new QLabel(leftpanel);
    leftpicture->setObjectName("leftpicture");
    left->addWidget(leftpicture);
    for (int i = 0; i < 5; ++i) {
        lb[i] = makeButton(leftpanel, QString("lb%1").arg(i + 1).toLatin1().constData(), {});
        lb[i]->setToolButtonStyle(Qt::ToolButtonTextOnly);
        QToolButton* b = lb[i];
        connect(b, &QToolButton::clicked, this, [this, b] { lb1Click(b); });
    }
    // lb1..lb4 are transparent hot areas over the left picture; lb5 has its caption.
    for (int i = 0; i < 4; ++i) {
        lb[i]->setParent(leftpicture);
        lb[i]->setStyleSheet("QToolButton { background: transparent; border: none; }"
                             "QToolButton:hover { background: rgba(255,255,255,40); }");
    }
    left->addWidget(lb[4]);
    genrearea = new QWidget(leftpanel);
    genrearea->setObjectName("genrearea");
    auto* ga = new QVBoxLayout(genrearea);
    ga->setContentsMargins(6, 4, 6, 4);
    ga->setSpacing(2);
    left->addWidget(genrearea, 1);
    velmora_butt = makeButton(leftpanel, "velmora_butt", {});
    left->addWidget(velmora_butt);
    connect(velmora_butt, &QToolButton::clicked, this, [this] { lb1Click(velmora_butt); });
    body->addWidget(leftpanel);

    // Right side: the big buttons and banner, the button bar, list and pages, player box.
    auto* rightside = new QFrame(this);
    rightside->setObjectName("rightside");
    auto* right = new QVBoxLayout(rightside);
    right->setContentsMargins(0, 0, 0, 0);
    right->setSpacing(0);
    body->addWidget(rightside, 1);

    auto* headw = new QFrame(rightside);
    headw->setObjectName("headpanel");
    auto* head = new QHBoxLayout(headw);
    head->setContentsMargins(6, 4, 6, 4);
    head->setSpacing(4);
    refresh_butt = makeButton(headw, "refresh_butt", "Refresh", "Refresh the server list");
    fav_butt = makeButton(headw, "fav_butt", "Favorites", "Show your favorite servers");
    fav_butt->setCheckable(true);
    configure_butt = makeButton(headw, "configure_butt", "Configure", "Change your settings");
    help_butt = makeButton(headw, "help_butt", "Help", "Tips and help");
    for (QToolButton* b : {refresh_butt, fav_butt, configure_butt, help_butt})
        head->addWidget(b);
    head->addStretch(1);
    bannerimg = new TBannerImage(headw);
    bannerimg->setObjectName("bannerimg");
    bannerimg->OnClick = [this] { bannerimgClick(); };
    bannerimg->hide();
    head->addWidget(bannerimg);
    right->addWidget(headw);
    connect(refresh_butt, &QToolButton::clicked, this, &Tvm_form::refresh_buttClick);
    connect(fav_butt, &QToolButton::clicked, this, &Tvm_form::fav_buttClick);
    connect(configure_butt, &QToolButton::clicked, this, &Tvm_form::configure_buttClick);
    connect(help_butt, &QToolButton::clicked, this, &Tvm_form::help_buttClick);

    buttonbar = new QFrame(rightside);
    buttonbar->setObjectName("buttonbar");
    buttonbar->setAutoFillBackground(true);
    auto* bar = new QHBoxLayout(buttonbar);
    bar->setContentsMargins(4, 2, 4, 2);
    bar->setSpacing(2);
    right->addWidget(buttonbar);

    splitter = new QSplitter(Qt::Vertical, rightside);
    splitter->setObjectName("splitter");
    splitter->setChildrenCollapsible(false);
    serverview = new TServerView(splitter);
    serverview->IsFavorite = [this](const TCustomServer* s) { return IsFavorite(s); };
    pages = new QTabWidget(splitter);
    pages->setObjectName("pages");
    pages->setDocumentMode(true);
    // Fixed tabs (tag -1); docked windows become further tabs.
    const char* fixedTabs[] = {"Song and Artist Search", "Station Info", "Forums", "Dialwise News"};
    for (int i = 0; i < 4; ++i) {
        auto* page = new QWidget(pages);
        page->setObjectName(QString(fixedTabs[i]).remove(' '));
        page->setProperty("tag", -1);
        pages->addTab(page, fixedTabs[i]);
        pages->setTabVisible(i, false);
    }
    pages->tabBar()->installEventFilter(this);
    connect(pages, &QTabWidget::currentChanged, this, &Tvm_form::pagesChange);
    splitter->addWidget(serverview);
    splitter->addWidget(pages);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);
    // The player box sits directly above the splitter.
    playerbox = new QFrame(rightside);
    playerbox->setObjectName("playerbox");
    playerbox->setFixedHeight(50);
    playerbox->hide(); // shown while a station plays
    right->addWidget(playerbox);
    right->addWidget(splitter, 1);

    // Status strip: gauge, status text, a wide panel, the listeners text.
    statusbar2 = new QStatusBar(this);
    statusbar2->setObjectName("statusbar2");
    statusbar2->setSizeGripEnabled(true);
    gauge = new QProgressBar(statusbar2);
    gauge->setFixedWidth(75);
    gauge->setFixedHeight(14);
    gauge->setTextVisible(false);
    gauge->setRange(0, 100);
    gauge->setValue(0);
    statusbar2->addWidget(gauge);
    const int widths[4] = {0, 100, 350, 50};
    for (int i = 1; i < 4; ++i) {
        statuspanel[i] = new QLabel(statusbar2);
        statuspanel[i]->setMinimumWidth(widths[i]);
        statusbar2->addWidget(statuspanel[i], i == 2 ? 1 : 0);
    }
    statuspanel[1]->setText(" Status");
    root->addWidget(statusbar2);

    banner_ = new TBannerFetcher(this);
    connect(banner_, &TBannerFetcher::tick, this, &Tvm_form::bannertimerTimer);
    connect(banner_, &TBannerFetcher::finished, this, &Tvm_form::bannerLoaded);

    FindDialog1 = new TFindDialog(this);
    FindDialog1->OnShow = [this] { FindDialog1Show(); };
    FindDialog1->OnFind = [this] { FindDialog1Find(); };

    RxTrayIcon1 = new QSystemTrayIcon(this);
    RxTrayIcon1->setToolTip("Dialwise");
    connect(RxTrayIcon1, &QSystemTrayIcon::activated, this, [this](auto reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            RxTrayIcon1Click();
    });

    connect(serverview, &TServerView::itemSelectionChanged, this, [this] {
        UpdateActions();
        if (Hooks.StationSelected) Hooks.StationSelected(serverview->CurrentStation());
    });
    serverview->OnLaunch = [this] { LaunchExecute(); };
    serverview->ScrollTarget = this;
    serverview->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(serverview, &QWidget::customContextMenuRequested, this, [this](const QPoint& p) {
        ServerListPopupPopup();
        ServerListPopup->popup(serverview->viewport()->mapToGlobal(p));
    });
}

void Tvm_form::buildActions()
{
    struct Def
    {
        QAction** slot;
        const char* name;
        const char* caption;
        QKeySequence shortcut;
        int tag;
        const char* hint;
    };
    const Def defs[] = {
        {&Launch, "Launch", "&Launch", {}, 0, "Connect to the selected server"},
        {&AddtoFavorites, "AddtoFavorites", "&Add to Favorites", QKeySequence("Ctrl+A"), 0,
         "Add the selected servers to your favorites"},
        {&RemoveFromFavorites, "RemoveFromFavorites", "Remove &from Favorites",
         QKeySequence("Ctrl+D"), 1, "Remove the selected servers from your favorites"},
        {&RefreshSelected, "RefreshSelected", "&Refresh Selected", QKeySequence("Ctrl+R"), 0,
         "Refresh the information for the selected servers"},
        {&CopytoClipboard, "CopytoClipboard", "&Copy to Clipboard", QKeySequence("Ctrl+C"), 0,
         "Copy the selected servers to the clipboard"},
        {&Find, "Find", "&Find", QKeySequence("Ctrl+F"), 0, "Find text in a server name"},
        {&BuyCD,
         "BuyCD",
         "Buy this CD Now!",
         {},
         1,
         "Buy the CD containing the current track on this server"},
        {&JoinServerChat,
         "JoinServerChat",
         "&Join Chat Channel",
         {},
         0,
         "Join the chat channel for the currently selected server"},
        {&JoinFroms, "JoinFroms", "Join &Forums", {}, 0, "Join the forum"},
    };
    for (const Def& d : defs) {
        auto* a = new QAction(d.caption, this);
        a->setObjectName(d.name);
        a->setShortcut(d.shortcut);
        a->setShortcutContext(Qt::WindowShortcut);
        a->setData(d.tag);
        a->setToolTip(d.hint);
        a->setStatusTip(d.hint);
        a->setEnabled(a->objectName() == "JoinFroms");
        addAction(a);
        *d.slot = a;
        Actions << a;
    }
    connect(Launch, &QAction::triggered, this, &Tvm_form::LaunchExecute);
    connect(AddtoFavorites, &QAction::triggered, this, &Tvm_form::AddtoFavoritesExecute);
    connect(RemoveFromFavorites, &QAction::triggered, this, &Tvm_form::RemoveFromFavoritesExecute);
    connect(RefreshSelected, &QAction::triggered, this, &Tvm_form::RefreshSelectedExecute);
    connect(CopytoClipboard, &QAction::triggered, this, &Tvm_form::CopytoClipboardExecute);
    connect(Find, &QAction::triggered, this, &Tvm_form::FindExecute);
    connect(BuyCD, &QAction::triggered, this, [this] {
        if (Hooks.BuyCD) Hooks.BuyCD(serverview->CurrentStation());
    });
    connect(JoinServerChat, &QAction::triggered, this, [this] {
        if (Hooks.JoinServerChat) Hooks.JoinServerChat(serverview->CurrentStation());
    });
    connect(JoinFroms, &QAction::triggered, this, [this] {
        if (Hooks.JoinForums) Hooks.JoinForums();
    });
    // F5 refreshes, as users expect.
    Refresh = new QAction("Refresh", this);
    Refresh->setShortcut(QKeySequence(Qt::Key_F5));
    addAction(Refresh);
    connect(Refresh, &QAction::triggered, this, &Tvm_form::refresh_buttClick);

    // The row menu.
    ServerListPopup = new QMenu(this);
    ServerListPopup->setObjectName("ServerListPopup");
    ServerListPopup->addAction(Launch);
    ServerListPopup->setDefaultAction(Launch);
    ServerListPopup->addSeparator();
    ServerListPopup->addAction(AddtoFavorites);
    ServerListPopup->addAction(RemoveFromFavorites);
    ServerListPopup->addAction(RefreshSelected);
    ServerListPopup->addAction(CopytoClipboard);
    QAction* autosize = ServerListPopup->addAction("Autosize Columns");
    autosize->setVisible(false);
    ServerListPopup->addAction(Find);
    ServerListPopup->addAction(BuyCD);
    ServerListPopup->addAction(JoinServerChat);
    ServerListPopup->addAction(JoinFroms);

    // The button bar: the row actions, two hidden buttons and the link label.
    auto* bar = static_cast<QHBoxLayout*>(buttonbar->layout());
    const std::pair<QAction*, const char*> buttons[] = {
        {Launch, skinpic::BtnListen},
        {AddtoFavorites, skinpic::BtnAddServer},
        {RemoveFromFavorites, skinpic::BtnRemoveServer},
        {RefreshSelected, skinpic::BtnRefreshInd},
        {CopytoClipboard, skinpic::BtnCopyServer},
        {Find, skinpic::BtnFindServer},
        {JoinServerChat, skinpic::BtnJoinChat}};
    const char* shortCaptions[] = {"Launch", "Add", "Remove", "Refresh", "Copy", "Find", "Chat"};
    int nb = 0;
    for (auto [a, pic] : buttons) {
        auto* b = new QToolButton(buttonbar);
        b->setObjectName(QString(a->objectName()) + "_butt");
        b->setDefaultAction(a);
        // The bar shows short words; the actions keep their full captions and hints.
        b->setText(shortCaptions[nb++]);
        connect(a, &QAction::changed, b, [b, t = b->text()] { b->setText(t); });
        b->setProperty("glyph", pic);
        b->setAutoRaise(true);
        b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        b->setFocusPolicy(Qt::NoFocus);
        bar->addWidget(b);
    }
    manualconnect_butt = makeButton(buttonbar, "manualconnect_butt", "Manually Connect",
                                    "Manually connect to a specific server");
    manualconnect_butt->hide();
    bar->addWidget(manualconnect_butt);
    buycd_butt = new QToolButton(buttonbar);
    buycd_butt->setObjectName("buycd_butt");
    buycd_butt->setDefaultAction(BuyCD);
    buycd_butt->hide();
    bar->addWidget(buycd_butt);
    bar->addStretch(1);
    linklabel = new QLabel(buttonbar);
    linklabel->setObjectName("linklabel");
    linklabel->setCursor(Qt::PointingHandCursor);
    linklabel->installEventFilter(this);
    bar->addWidget(linklabel);
}
