#include "vm_main.h"
#include "bitmapcache.h"
#include "config.h"
#include "customserverlist.h"
#include "debuglog.h"
#include "dialogs.h"
#include "finddialog.h"
#include "httpprot.h"
#include "listfactory.h"
#include "netconfig.h"
#include "netutils.h"
#include "platform.h"
#include "registry.h"
#include "serverview.h"
#include "skins.h"
#include "titleimage.h"
#include "update_form.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QProgressBar>
#include <QRandomGenerator>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWindow>
#include <utility>

namespace {
Tvm_form* g_mainForm = nullptr;

const char* const kNoFavorites =
    "You do not have any servers on your favorites list.\r\nTo add a server to your favorites "
    "list, right click it and select 'Add to Favorites'";

// Posted to itself: scroll the selection into view after a sort.
constexpr int kScrollAfterSort = TServerView::ScrollMessage;
} // namespace

Tvm_form* MainForm()
{
    return g_mainForm;
}

QString ResourceWarningText(const platform::FreeResources& r)
{
    return QString::asprintf("Your system resources are low. You may need to close some programs "
                             "or restart Windows.\r\rSystem = %d%%\rUser = %d%%\rGDI = %d%%",
                             r.System, r.User, r.GDI);
}

bool ResourcesLow(const platform::FreeResources& r)
{
    return r.System <= 20 || r.User <= 20 || r.GDI <= 20;
}

Tvm_form::Tvm_form(QWidget* parent) : QWidget(parent, Qt::Window | Qt::FramelessWindowHint)
{
    setObjectName("tvmmp3_form");
    clock_.start();
    buildControls();
    buildActions();
}

Tvm_form::~Tvm_form()
{
    // The rows go with the children below; nothing may call back into this window then.
    if (serverview) {
        disconnect(serverview, nullptr, this, nullptr);
        serverview->OnLaunch = nullptr;
        serverview->Logo = nullptr;
        serverview->IsFavorite = nullptr;
    }
    // The user's favorites first, before anything that could go wrong on the way out.
    saveFavorites();
    // The placement component saves the position when the window is destroyed.
    savePlacement();
    // Base part: the configuration object, the list source.
    if (serverList_) serverList_->Abort();
    serverList_.reset();
    if (serverview) serverview->SaveState();
    if (g_mainForm == this) {
        g_mainForm = nullptr;
        SetBrowserFailureHandler(nullptr);
    }
}

// ---------------------------------------------------------------------------------------
// Creation

void Tvm_form::FormCreate()
{
    // 1. Not yet shown; remember the main window program-wide.
    shown_ = false;
    g_mainForm = this;
    // 2. The configuration object, owned by the window.
    config_ = std::make_unique<TConfig>();
    config_->OnLinksChanged = [this] {
        for (int i = 0; i < 5; ++i)
            SetLinkButton(lb[i], QString("lb%1").arg(i + 1));
        SetLinkButton(company_butt, "company");
        SetLinkButton(velmora_butt, "velmora");
    };
    // A web page that cannot be opened is reported in an error box.
    SetBrowserFailureHandler([](const QString& caption, const QString& text) {
        platform::MessageBox(text, caption, platform::mbOK, platform::mtError);
    });
    // 3. Library check.
    checkLibraries();
    // 4. Skin, without re-skinning other windows. A first start installs the default.
    TSkin::InstallDefaultSkin();
    connect(&Skin(), &TSkin::skinSelected, this, [this] { ApplySkin(true); });
    try {
        Skin().LoadSkin();
    } catch (const std::exception& e) {
        DebugLog(QString("Skin: %1").arg(e.what()), dcErrOut);
    }
    ApplySkin(false);
    // 5. Find position and usage counters.
    FindIndex = -1;
    StartTick = clock_.elapsed();
    RestoreTick = StartTick;
    ActiveTime = 0;
    // 6. The station list source and its three callbacks.
    makeServerList();
    serverview->LoadState();
    // 7. Favorites, kept sorted.
    FavoritesFile = platform::ProgramFolder() + "/" + Profile().ProductKeyName + "favors.txt";
    Favorites.Load(FavoritesFile);
    // Banner bases from the link record.
    BannerBase = config_->Link("banner").Text;
    BannerClickBase = config_->Link("banner").Url;
    config_->OnLinksChanged();
    restorePlacement();
}

void Tvm_form::makeServerList()
{
    sourceKey_ = StationSourceKey();
    serverList_ = CreateServerList(Profile());
    serverList_->OnStatus = [this](TCustomServerList*, int percent, const QString& text) {
        ShowStatus(percent, text);
    };
    serverList_->OnServerDone = [this](TCustomServerList*, TCustomServer* s) { StationDone(s); };
    serverList_->OnComplete = [this](TCustomServerList*) { UpdatesComplete(); };
    if (auto* http = dynamic_cast<TCustomHTTPServerList*>(serverList_.get()))
        ApplyProxy(*http->HttpClient);
}

void Tvm_form::StationSourceChanged()
{
    if (!serverList_ || StationSourceKey() == sourceKey_) return;
    DebugLog("Station source changed: " + StationSourceKey());
    // The old list ends without a word to this window; its stations stay in the rows.
    serverList_->OnStatus = nullptr;
    serverList_->OnServerDone = nullptr;
    serverList_->OnComplete = nullptr;
    serverList_->Abort();
    makeServerList();
    SetupColumns(); // the new source's column tips
    fav_butt->setChecked(false);
    SavedStations.reset();
    keepRowsUntilFirst_ = serverview->RowCount() > 0;
    Updating = true;
    RefreshSelectedMode = false;
    pressRefresh(true);
    serverList_->RefreshAll();
}

void Tvm_form::checkLibraries()
{
    struct Offer
    {
        QString version, desc, path, size, text;
    };
    Offer offer;
    bool needOffer = false;
    if (!platform::LibraryLoadable("RICHED20.DLL")) {
        offer = {"2.0", "Richedit 2.0 Control", "/download/richedup.exe", "302kb",
                 "A file needed to run Dialwise (riched20.dll) was not found. Click OK to "
                 "download it now, or CANCEL to quit."};
        needOffer = true;
    } else if (!platform::VersionNewer(platform::LibraryFileVersion("COMCTL32.DLL"),
                                       {4, 70, 0, 0})) {
        offer = {"4.70", "MS Common Controls", "/download/40comupd.exe", "500kb",
                 "A file needed to run Dialwise (comctl32.dll) needs to be updated. Click OK to "
                 "download it now, or CANCEL to quit."};
        needOffer = true;
    }
    if (!needOffer) return;
    const int r = platform::MessageDlg(offer.text, platform::mtError, platform::mbOKCancel);
    if (r != platform::mrOk) throw TProgramExit{1};
    const QString url = Profile().WebSite + offer.path;
    config_->WriteValue("updatever", offer.version);
    config_->WriteValue("updatedesc", offer.desc);
    config_->WriteValue("updateurl", url);
    config_->WriteValue("updatesize", offer.size);
    config_->WriteValue("dlcount", "1");
    config_->WriteValue("dl1", url);
    config_->WriteValue("dl1desc", Profile().WebSiteDomain());
    // What an earlier announcement left for its own file does not judge this one.
    for (const char* stale : {"updatesha256", "updatesig"})
        TRegistry::DeleteValue(config_->ProductKey(), QLatin1String(stale));
    {
        Tupdate_form updater(config_->ProductKey());
        updater.exec();
    }
    throw TProgramExit{0};
}

static QToolButton* makeButton(QWidget* parent, const char* name, const QString& text,
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

    bannertimer = new QTimer(this);
    bannertimer->setObjectName("bannertimer");
    connect(bannertimer, &QTimer::timeout, this, &Tvm_form::bannertimerTimer);

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

// ---------------------------------------------------------------------------------------
// Skin

void Tvm_form::ApplySkin(bool reskinOthers)
{
    TSkin& s = Skin();
    const TSkinColors& c = s.Colors();
    QPalette pal = palette();
    pal.setColor(QPalette::Window, c.Primary);
    pal.setColor(QPalette::WindowText, c.PrimaryFont);
    pal.setColor(QPalette::ButtonText, c.PrimaryFont);
    setPalette(pal);
    setAutoFillBackground(true);
    QPalette tp = toppanel->palette();
    tp.setColor(QPalette::Window, c.Secondary);
    toppanel->setPalette(tp);
    QPalette bp = buttonbar->palette();
    bp.setColor(QPalette::Window, c.Tertiary);
    bp.setColor(QPalette::WindowText, c.TertiaryFont);
    bp.setColor(QPalette::ButtonText, c.TertiaryFont);
    buttonbar->setPalette(bp);
    QPalette lp = leftpanel->palette();
    lp.setColor(QPalette::Window, c.Primary);
    leftpanel->setPalette(lp);

    topimage->setPicture(s.Picture(skinpic::Top));
    midimage->setPicture(s.Picture(skinpic::TopMid));
    midimage->setBand(19, c.Secondary);
    rightimage->setPicture(s.Picture(skinpic::TopRight));
    const QPixmap left = s.Picture(skinpic::Left);
    leftpicture->setPixmap(left);
    leftpanel->setFixedWidth(qMax(left.width(), 150));
    for (int i = 0; i < 4; ++i)
        lb[i]->setGeometry(skinlayout::LeftLinkRect(i + 1));
    const QPixmap tl = s.Picture(skinpic::TopLeft);
    company_butt->setIcon(tl);
    company_butt->setIconSize(tl.size());
    company_butt->setFixedSize(tl.size());
    company_butt->setAutoRaise(true);
    company_butt->setStyleSheet("QToolButton { border: none; padding: 0; }");
    const QPixmap bl = s.Picture(skinpic::BlBase);
    velmora_butt->setIcon(bl);
    velmora_butt->setIconSize(bl.size());
    velmora_butt->setStyleSheet("QToolButton { border: none; padding: 0; }");
    for (int i = 0; i < 3; ++i) {
        QToolButton* b = i == 0 ? min_butt : i == 1 ? max_butt : close_butt;
        const QRect r = skinlayout::TitleButtonRect(i);
        b->setGeometry(r);
        b->setStyleSheet("QToolButton { background: transparent; border: none; }"
                         "QToolButton:hover { background: rgba(255,255,255,50); }");
    }
    // The big buttons: refresh holds four states when wide enough.
    const QPixmap refresh = s.Picture(skinpic::Refresh);
    const QList<QPixmap> states = SplitGlyph(refresh, RefreshGlyphCount(refresh.size()));
    auto glyphButton = [](QToolButton* b, const QPixmap& up, const QPixmap& down) {
        QIcon icon;
        icon.addPixmap(up, QIcon::Normal, QIcon::Off);
        if (!down.isNull()) icon.addPixmap(down, QIcon::Normal, QIcon::On);
        b->setIcon(icon);
        b->setIconSize(up.size());
        b->setToolButtonStyle(Qt::ToolButtonIconOnly);
        b->setStyleSheet("QToolButton { border: none; padding: 0; }");
    };
    if (!states.isEmpty()) glyphButton(refresh_butt, states.value(0), states.value(2));
    refresh_butt->setCheckable(true);
    glyphButton(fav_butt, s.Picture(skinpic::Favorites), {});
    glyphButton(configure_butt, s.Picture(skinpic::Configure), {});
    glyphButton(help_butt, s.Picture(skinpic::Help), {});
    for (QToolButton* b : buttonbar->findChildren<QToolButton*>()) {
        const QString pic = b->property("glyph").toString();
        if (pic.isEmpty()) continue;
        const QList<QPixmap> g = SplitGlyph(s.Picture(pic), pic == skinpic::BtnListen ? 2 : 1);
        if (!g.isEmpty()) {
            b->defaultAction()->setIcon(QIcon(g.first()));
            b->setIconSize(g.first().size());
        }
    }
    const QString linkColor = c.Highlight.name();
    linklabel->setStyleSheet(QString("color: %1;").arg(linkColor));
    lb[4]->setStyleSheet(QString("QToolButton { color: %1; border: none; }").arg(linkColor));
    QPalette gp = gauge->palette();
    gp.setColor(QPalette::Highlight, c.Highlight);
    gauge->setPalette(gp);
    pages->setStyleSheet(QString("QTabWidget::pane { background: %1; }").arg(c.Primary.name()));
    serverview->header()->setStyleSheet(
        QString("QHeaderView::section { background: %1; color: %2; border: none;"
                " border-right: 1px solid %3; padding: 3px 4px; font-weight: bold; }")
            .arg(c.Tertiary.name(), c.PrimaryFont.name(), c.Primary.name()));
    QPalette gpal = genrearea->palette();
    gpal.setColor(QPalette::Base, c.Tertiary);
    gpal.setColor(QPalette::Text, c.TertiaryFont);
    gpal.setColor(QPalette::Window, c.Primary);
    for (QWidget* w : genrearea->findChildren<QWidget*>())
        w->setPalette(gpal);
    s.LoadWindowShape();
    applyWindowShape();
    if (serverview) serverview->viewport()->update();
    if (reskinOthers) s.ReskinOthers();
}

void Tvm_form::applyWindowShape()
{
    const QRegion r = Skin().ShapeRegion(size());
    if (Skin().Shape().IsNull() || r.isEmpty())
        clearMask();
    else
        setMask(r);
}

void Tvm_form::resizeEvent(QResizeEvent* e)
{
    QWidget::resizeEvent(e);
    applyWindowShape();
}

// ---------------------------------------------------------------------------------------
// Links

void Tvm_form::SetLinkButton(QToolButton* control, const QString& record)
{
    if (!config_ || !control) return;
    const TLinkRecord r = config_->Link(record);
    control->setToolTip(r.Hint + "\r\n" + r.Url);
    control->setText(r.Text);
}

void Tvm_form::lb1Click(QWidget* sender)
{
    if (!sender) return;
    QString rest = sender->toolTip();
    const int lf = rest.indexOf('\n');
    rest = lf >= 0 ? rest.mid(lf + 1) : QString();
    if (LinkClickOverride(rest)) return;
    OpenRedirect(rest, Profile().ProductNumber, 3);
}

// ---------------------------------------------------------------------------------------
// Refresh cycle

void Tvm_form::pressRefresh(bool down)
{
    refresh_butt->setChecked(down);
}

void Tvm_form::showResourceWarning()
{
    const platform::FreeResources r = platform::GetFreeResources();
    if (ResourcesLow(r))
        platform::MessageDlg(ResourceWarningText(r), platform::mtInformation, platform::mbOK,
                             "Information", this);
}

void Tvm_form::refresh_buttClick()
{
    BeforeRefresh();
    showResourceWarning();
    pressRefresh(true);
    if (Updating) {
        // The aborted update still completes through UpdatesComplete.
        serverList_->Abort();
        return;
    }
    serverview->ClearList();
    if (fav_butt->isChecked() && !Favorites.IsEmpty()) {
        RefreshFavorites();
        return;
    }
    fav_butt->setChecked(false);
    SavedStations.reset();
    Updating = true;
    RefreshSelectedMode = false;
    serverList_->RefreshAll();
}

void Tvm_form::startRefreshOf(bool selectedMode)
{
    Updating = true;
    pressRefresh(true);
    RefreshSelectedMode = selectedMode;
    // The list source holds the stations for its cycle; this list lets go of them.
    const QList<TServerRef> stations = std::move(RefreshList);
    RefreshList.clear();
    serverList_->UpdateServers(stations);
}

void Tvm_form::RefreshFavorites()
{
    RefreshList.clear();
    for (const QString& key : Favorites.Keys())
        RefreshList << TFavorites::StationFor(*serverList_, key, Favorites.UuidOf(key));
    startRefreshOf(false);
}

void Tvm_form::RefreshSelectedExecute()
{
    if (Updating) return;
    RefreshList.clear();
    for (TCustomServer* s : serverview->SelectedStations())
        RefreshList << s->shared_from_this();
    if (RefreshList.isEmpty()) return;
    startRefreshOf(true);
}

void Tvm_form::ShowStatus(int percent, const QString& text)
{
    if (percent < 0) {
        gauge->setRange(0, 0); // indeterminate
    } else {
        gauge->setRange(0, 100);
        gauge->setValue(qBound(0, percent, 100));
    }
    statuspanel[1]->setText(text);
}

void Tvm_form::StationDone(TCustomServer* station)
{
    if (!station) return;
    if (!station->Answered) station->Ping = 9999;
    // Selected rows are refreshed in place; a station whose row has gone meanwhile (the
    // list was cleared) does not come back.
    if (RefreshSelectedMode) {
        const int row = serverview->RowOf(station);
        if (row >= 0) serverview->UpdateRow(row);
        return;
    }
    if (std::exchange(keepRowsUntilFirst_, false)) serverview->ClearList();
    AddServerItem(station);
}

int Tvm_form::AddServerItem(TCustomServer* station)
{
    return serverview->AddServerItem(station);
}

void Tvm_form::UpdatesComplete()
{
    // A new source that sent nothing leaves the rows shown before.
    keepRowsUntilFirst_ = false;
    Updating = false;
    pressRefresh(false);
    if (!RefreshSelectedMode) {
        serverview->Resort();
        serverview->ScrollSelectedIntoView();
    }
    if (serverview->CurrentStation()) UpdateActions();
    OnRefreshComplete();
}

void Tvm_form::ScrollToSelection()
{
    serverview->ScrollToSelection();
}

// ---------------------------------------------------------------------------------------
// Favorites

QString Tvm_form::StationKey(const TCustomServer* station)
{
    return TFavorites::KeyOf(station);
}

bool Tvm_form::IsFavorite(const TCustomServer* station) const
{
    return station && Favorites.Contains(StationKey(station));
}

void Tvm_form::AddFavoriteKey(const QString& key)
{
    Favorites.Add(key);
}

void Tvm_form::AddLinkFavorite(const QString& address, const QString& port)
{
    const QString key = address + ":" + port;
    if (Favorites.Contains(key)) return;
    AddFavoriteKey(key);
    if (fav_butt->isChecked()) refresh_buttClick();
}

void Tvm_form::saveFavorites()
{
    if (FavoritesFile.isEmpty()) return;
    QString error;
    if (!Favorites.Save(FavoritesFile, &error)) reportSaveFailure(FavoritesFile, error);
}

void Tvm_form::reportSaveFailure(const QString& path, const QString& error)
{
    const QString text = "Unable to save " + QDir::toNativeSeparators(path) + " - " + error +
                         "\r\nThe previous copy of the file is kept.";
    DebugLog(QString(text).replace("\r\n", " "), dcErrOut);
    // Also at shutdown, when this window is on its way out: the box has no owner.
    platform::MessageDlg(text, platform::mtError, platform::mbOK);
}

void Tvm_form::fav_buttClick()
{
    const bool down = fav_butt->isChecked();
    if (Updating) {
        fav_butt->setChecked(!down); // undo the click
        return;
    }
    if (down) {
        if (Favorites.IsEmpty()) {
            platform::MessageDlg(kNoFavorites, platform::mtInformation, platform::mbOK, {}, this);
            fav_butt->setChecked(false);
            return;
        }
        SavedStations = std::make_unique<std::vector<TServerRef>>(serverview->TakeStations());
        RefreshFavorites();
        return;
    }
    if (!SavedStations) return;
    serverview->ClearList();
    auto saved = std::move(SavedStations);
    if (saved->empty()) {
        refresh_buttClick();
        return;
    }
    for (auto& s : *saved)
        serverview->StationDone(std::move(s));
    serverview->Resort();
}

void Tvm_form::AddtoFavoritesExecute()
{
    for (TCustomServer* s : serverview->SelectedStations())
        Favorites.Add(StationKey(s), TFavorites::UuidOf(s));
    UpdateActions();
    serverview->viewport()->update();
}

void Tvm_form::RemoveFromFavoritesExecute()
{
    for (TCustomServer* s : serverview->SelectedStations()) {
        Favorites.Remove(StationKey(s));
    }
    if (fav_butt->isChecked()) {
        refresh_buttClick();
    } else if (GenreEntry() == "(Favorites)") {
        serverview->TakeStations(); // rows go; their stations were the favorites' own
        if (!Favorites.IsEmpty()) RefreshFavorites();
    }
    UpdateActions();
    serverview->viewport()->update();
}

// ---------------------------------------------------------------------------------------
// Actions

void Tvm_form::UpdateActions()
{
    TCustomServer* current = serverview->CurrentStation();
    for (QAction* a : Actions)
        if (a->data().toInt() == 0) a->setEnabled(current != nullptr);
    for (TCustomServer* s : serverview->SelectedStations()) {
        const bool fav = IsFavorite(s);
        AddtoFavorites->setEnabled(!fav);
        RemoveFromFavorites->setEnabled(fav);
    }
    if (serverview->SelectedStations().isEmpty()) {
        AddtoFavorites->setEnabled(false);
        RemoveFromFavorites->setEnabled(false);
    }
    const auto* sc = dynamic_cast<const TSCServer*>(current);
    BuyCD->setEnabled(sc && !sc->SongTitle.isEmpty());
}

void Tvm_form::ServerListPopupPopup()
{
    UpdateActions();
}

void Tvm_form::LaunchExecute()
{
    TCustomServer* s = serverview->CurrentStation();
    // The station's chat first, as the Join Chat command does.
    if (s && Hooks.JoinServerChat) Hooks.JoinServerChat(s);
    if (!s) {
        platform::MessageDlg("You must select a server to launch", platform::mtInformation,
                             platform::mbOK, {}, this);
        return;
    }
    if (Hooks.LaunchStation) Hooks.LaunchStation(s);
    // A directory that counts plays hears of it.
    serverList_->StationLaunched(s);
}

void Tvm_form::CopytoClipboardExecute()
{
    QStringList lines;
    for (TCustomServer* s : serverview->SelectedStations())
        lines << s->Address + ":" + s->HostPort;
    QApplication::clipboard()->setText(lines.join("\r\n"));
}

void Tvm_form::FindExecute()
{
    FindDialog1->show();
    FindDialog1->raise();
    FindDialog1->activateWindow();
}

void Tvm_form::FindDialog1Show()
{
    FindIndex = -1;
    FindDialog1->SetDown(true);
}

void Tvm_form::FindDialog1Find()
{
    serverview->clearSelection();
    const QString text = FindDialog1->FindText().toLower();
    const int step = FindDialog1->Down() ? 1 : -1;
    // Whether the text is in the list at all (a search that went past its last match).
    bool foundBefore = false;
    for (int r = 0; r < serverview->RowCount() && !foundBefore; ++r)
        foundBefore = serverview->model()->index(r, 0).data().toString().toLower().contains(text);
    for (;;) {
        FindIndex += step;
        if (FindIndex < 0 || FindIndex >= serverview->RowCount()) {
            if (!foundBefore && FindElsewhere(FindDialog1->FindText())) {
                FindDialog1->CloseDialog();
                return;
            }
            platform::MessageDlg("No more found", platform::mtInformation, platform::mbOK, {},
                                 this);
            FindDialog1->CloseDialog();
            return;
        }
        const QModelIndex caption = serverview->model()->index(FindIndex, 0);
        if (caption.data().toString().toLower().contains(text)) {
            serverview->SetCurrentRow(FindIndex);
            serverview->scrollTo(serverview->model()->index(FindIndex, 0),
                                 QAbstractItemView::EnsureVisible);
            return;
        }
    }
}

void Tvm_form::configure_buttClick()
{
    if (Hooks.ShowConfigDialog) Hooks.ShowConfigDialog();
}

void Tvm_form::help_buttClick()
{
    if (Hooks.ShowTips) Hooks.ShowTips();
}

void Tvm_form::ExecuteCommand(const QStringList& words)
{
    DebugLog("Command: " + words.join(' '));
}

// ---------------------------------------------------------------------------------------
// Banner

void Tvm_form::RequestBanner()
{
    if (BannerBusy || (bannerclient && bannerclient->State() != httpReady)) {
        rearmBanner();
        return;
    }
    if (isMinimized()) return;
    bannerimg->hide();
    if (config_->Checked("disablebanners")) return;
    bannertimer->stop();
    BannerBusy = true;
    BannerSuffix = "?" + QString::number(QRandomGenerator::global()->bounded(10000)) +
                   QString::number(quint32(clock_.elapsed()));
    if (!bannerclient) {
        bannerclient = std::make_unique<THttpCli>();
        bannerclient->Agent = "DudadED 1.0";
        bannerclient->NoCache = true;
        bannerclient->OnDocBegin = [this](THttpCli*) { bannerclientDocBegin(); };
        bannerclient->OnDocEnd = [this](THttpCli*) { bannerclientDocEnd(); };
        bannerclient->OnRequestDone = [](THttpCli* c, THttpRequest, quint16 error) {
            if (error || c->StatusCode() >= 400)
                DebugLog(QString("Banner: %1 %2 for %3")
                             .arg(c->StatusCode())
                             .arg(c->ReasonPhrase(), c->Location()),
                         dcErrOut);
        };
    }
    bannerclient->URL = BannerBase + BannerSuffix;
    ApplyProxy(*bannerclient);
    try {
        bannerclient->GetAsync();
    } catch (const std::exception& e) {
        DebugLog(QString("Banner: %1").arg(e.what()), dcErrOut);
    }
    // A watchdog: a hanging request is aborted at the next tick.
    bannertimer->start(45000);
}

void Tvm_form::rearmBanner()
{
    bannertimer->stop();
    if (bannerclient && bannerclient->State() != httpReady) bannerclient->Abort();
    bannertimer->setInterval(config_ ? config_->BannerInterval() : 300000);
    bannertimer->start();
    BannerBusy = false;
}

void Tvm_form::bannertimerTimer()
{
    RequestBanner();
}

void Tvm_form::bannerclientDocBegin()
{
    bannerStream_ = std::make_unique<QBuffer>();
    bannerStream_->open(QIODevice::ReadWrite);
    bannerclient->RcvdStream = bannerStream_.get();
}

bool Tvm_form::DecodeBanner(QByteArray data, QImage& out)
{
    const char* format = nullptr;
    if (data.startsWith("GIF")) {
        format = "GIF";
    } else {
        for (int i = 1; i < 150 && i + 3 <= data.size(); ++i)
            if (data.mid(i, 3) == "GIF") {
                data.remove(0, i);
                format = "GIF";
                break;
            }
    }
    if (!format) {
        if (!data.startsWith("\xFF\xD8\xFF")) {
            DebugLog("Invalid banner graphic", dcErrOut);
            return false;
        }
        format = "JPEG";
    }
    QImage img;
    if (!img.loadFromData(data, format)) return false;
    out = img;
    return true;
}

void Tvm_form::bannerclientDocEnd()
{
    DebugLog(QString("Banner: %1 bytes from %2")
                 .arg(bannerStream_ ? bannerStream_->size() : -1)
                 .arg(bannerclient->Location()));
    if (bannerStream_) {
        QImage img;
        if (DecodeBanner(bannerStream_->data(), img)) {
            bannerimg->setImage(img);
            bannerimg->show();
        }
        bannerclient->RcvdStream = nullptr;
        bannerStream_.reset();
    }
    AfterBannerLoaded();
    rearmBanner();
}

void Tvm_form::bannerimgClick()
{
    if (BannerClickOverride()) return;
    OpenRedirect(BannerClickBase + BannerSuffix, Profile().ProductNumber, 1);
}

// ---------------------------------------------------------------------------------------
// Showing, closing, frame

void Tvm_form::showEvent(QShowEvent* e)
{
    QWidget::showEvent(e);
    if (!shown_) FormShowFirst();
}

void Tvm_form::FormShowFirst()
{
    shown_ = true;
    showResourceWarning();
    bannertimer->start(5000);
    SetupColumns();
    if (config_->Checked("use_taskbar") && !QSystemTrayIcon::isSystemTrayAvailable())
        DebugLog("No system tray on this desktop: the window keeps its task-bar button");
    if (Hooks.DockPlayer) Hooks.DockPlayer();
    if (config_->Checked("use_taskbar")) {
        RxTrayIcon1->setIcon(windowIcon().isNull() ? QIcon(Skin().Picture(skinpic::TopLeft))
                                                   : windowIcon());
        RxTrayIcon1->show();
    }
}

void Tvm_form::SetupColumns()
{
    serverview->SetupColumns(serverList_ ? serverList_->ServerClass() : TSCServer::Class(),
                             config_ ? config_->ItemIndex("interfacestyle") : 0);
}

void Tvm_form::closeEvent(QCloseEvent* e)
{
    if (serverList_ && Updating) serverList_->Abort();
    if (Hooks.SendUsageReport) Hooks.SendUsageReport();
    QWidget::closeEvent(e);
}

void Tvm_form::changeEvent(QEvent* e)
{
    if (e->type() == QEvent::WindowStateChange) {
        if (isMinimized())
            AppEvents1Minimize();
        else if (static_cast<QWindowStateChangeEvent*>(e)->oldState() & Qt::WindowMinimized)
            AppEvents1Restore();
    } else if (e->type() == QEvent::ActivationChange && !isActiveWindow() && dragging_) {
        dragging_ = false;
        releaseMouse();
    }
    QWidget::changeEvent(e);
}

void Tvm_form::AppEvents1Minimize()
{
    if (RestoreTick >= 0) ActiveTime += clock_.elapsed() - RestoreTick;
    RestoreTick = -1;
    // The tray icon brings it back; no task-bar button meanwhile. Without a tray on this
    // desktop the window stays minimised where the user can reach it.
    if (config_ && config_->Checked("use_taskbar") && RxTrayIcon1->isVisible() &&
        QSystemTrayIcon::isSystemTrayAvailable())
        hide();
}

void Tvm_form::AppEvents1Restore()
{
    RestoreTick = clock_.elapsed();
}

qint64 Tvm_form::ActiveMilliseconds() const
{
    return ActiveTime + (RestoreTick >= 0 ? clock_.elapsed() - RestoreTick : 0);
}

void Tvm_form::RxTrayIcon1Click()
{
    if (isMinimized() || isHidden()) {
        showNormal();
        AppEvents1Restore();
    }
    show();
    raise();
    activateWindow();
}

bool Tvm_form::event(QEvent* e)
{
    if (e->type() == platform::MessageType(kScrollAfterSort)) {
        ScrollToSelection();
        return true;
    }
    // The sound device's open, close, done and error messages belong to the player bar.
    if (e->type() >= platform::MessageType(0x3BB) && e->type() <= platform::MessageType(0x3BE)) {
        auto* m = static_cast<platform::TWindowMessage*>(e);
        if (Hooks.WaveMessage) Hooks.WaveMessage(m->Msg, m->WParam, m->LParam);
        return true;
    }
    return QWidget::event(e);
}

bool Tvm_form::eventFilter(QObject* o, QEvent* e)
{
    if (o == toppanel && e->type() == QEvent::Resize) {
        repainttimer->start();
    } else if (o == linklabel && e->type() == QEvent::MouseButtonRelease) {
        lb1Click(linklabel);
        return true;
    } else if (o == pages->tabBar()) {
        // Dragging the tab strip changes the page area's height.
        if (e->type() == QEvent::MouseButtonPress) {
            QWidget* page = pages->currentWidget();
            if (page && page->property("tag").toInt() == -1) {
                DragY = mapFromGlobal(static_cast<QMouseEvent*>(e)->globalPosition().toPoint()).y();
                dragging_ = true;
            }
        } else if (e->type() == QEvent::MouseMove && dragging_) {
            const int y =
                mapFromGlobal(static_cast<QMouseEvent*>(e)->globalPosition().toPoint()).y();
            if (y != DragY && y >= 200 && y <= height() - 100) {
                if (DragY != 0) {
                    QList<int> sizes = splitter->sizes();
                    const int grow = DragY - y;
                    sizes[1] += grow;
                    sizes[0] -= grow;
                    splitter->setSizes(sizes);
                }
                DragY = y;
            }
        } else if (e->type() == QEvent::MouseButtonRelease && dragging_) {
            dragging_ = false;
        }
    }
    return QWidget::eventFilter(o, e);
}

void Tvm_form::repainttimerTimer()
{
    midimage->setBand(19, Skin().Colors().Secondary);
}

void Tvm_form::pagesChange(int index)
{
    QWidget* page = pages->widget(index);
    if (!page) return;
    page->setFocus();
    if (Hooks.TabChanged) Hooks.TabChanged(pages->tabText(index));
}

void Tvm_form::min_buttClick()
{
    showMinimized();
}

void Tvm_form::max_buttClick()
{
    if (Maximized) {
        setGeometry(RestoreRect);
    } else {
        RestoreRect = QRect(geometry().left(), geometry().top(), width(), height());
        if (QScreen* s = screen()) setGeometry(s->availableGeometry());
    }
    Maximized = !Maximized;
}

void Tvm_form::close_buttClick()
{
    close();
}

void Tvm_form::topimageMouseDown()
{
    if (QWindow* w = windowHandle()) w->startSystemMove();
}

void Tvm_form::topimageDblClick()
{
    max_buttClick();
}

void Tvm_form::savePlacement()
{
    if (!config_) return;
    TWindowPlacement p;
    p.ShowCmd = isMinimized() ? 2 : 1;
    p.PixelsPerInch = logicalDpiY();
    p.NormPos = Maximized ? RestoreRect : geometry();
    p.Valid = true;
    const QSize screenSize = screen() ? screen()->size() : QSize();
    TConfig::SavePlacement(config_->MainformKey(), p, screenSize);
    if (!TRegistry::Flush())
        reportSaveFailure(platform::RegistryFile(), "the settings could not be written");
}

void Tvm_form::restorePlacement()
{
    if (!config_) return;
    const QSize screenSize = screen() ? screen()->size() : QSize();
    const TWindowPlacement p = TConfig::LoadPlacement(config_->MainformKey(), screenSize);
    // Only the position is restored, not the window state.
    if (p.Valid && p.NormPos.width() >= minimumWidth() && p.NormPos.height() >= minimumHeight())
        setGeometry(ReachablePlacement(p.NormPos));
}

QRect Tvm_form::ReachablePlacement(const QRect& saved)
{
    // The window has no system caption: its own title area (the top strip) is what the
    // user drags it by, so enough of that strip must lie on a present screen. A screen
    // that has gone since the placement was saved puts the window on the primary one.
    const QList<QScreen*> screens = QGuiApplication::screens();
    const QRect title(saved.left(), saved.top(), saved.width(), qMin(saved.height(), 30));
    for (const QScreen* s : screens) {
        const QRect seen = title.intersected(s->availableGeometry());
        if (seen.width() >= qMin(100, saved.width()) && seen.height() >= qMin(10, title.height()))
            return saved;
    }
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (!primary) return saved;
    const QRect area = primary->availableGeometry();
    QRect r(QPoint(0, 0), saved.size().boundedTo(area.size()));
    r.moveCenter(area.center());
    return r;
}
