#include "vm_main.h"
#include "config.h"
#include "debuglog.h"
#include "dialogs.h"
#include "platform.h"
#include "registry.h"
#include "titleimage.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWindow>

namespace {
Tvm_form* g_mainForm = nullptr;
}

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
}

Tvm_form::~Tvm_form()
{
    // The placement component saves the position when the window is destroyed.
    savePlacement();
    if (g_mainForm == this) g_mainForm = nullptr;
}

void Tvm_form::FormCreate()
{
    // 1. Not yet shown; remember the main window program-wide.
    shown_ = false;
    g_mainForm = this;
    // 2. The configuration object, owned by the window.
    config_ = std::make_unique<TConfig>();
    // 3. Library check.
    checkLibraries();
    // 4. Skin, without re-skinning other windows.
    ApplySkin(false);
    // 5. Find position and usage counters.
    FindIndex = -1;
    StartTick = clock_.elapsed();
    RestoreTick = StartTick;
    ActiveTime = 0;
    // 7. Favorites.
    FavoritesFile = platform::ProgramFolder() + "/" + Profile().ProductKeyName + "favors.txt";
    Favorites.clear();
    QFile f(FavoritesFile);
    if (f.open(QIODevice::ReadOnly | QIODevice::Text)) {
        while (!f.atEnd()) {
            const QString key = QString::fromUtf8(f.readLine()).trimmed();
            if (!key.isEmpty() && !Favorites.contains(key, Qt::CaseInsensitive))
                Favorites.append(key);
        }
        Favorites.sort(Qt::CaseInsensitive);
    }
    restorePlacement();
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
    return b;
}

void Tvm_form::buildControls()
{
    setMinimumSize(500, 230);
    setMaximumSize(1600, 1200);
    resize(800, 600);

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    // Title area: pictures that move the window, and the three frame buttons.
    toppanel = new QFrame(this);
    toppanel->setObjectName("toppanel");
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
    top->addWidget(leftimage);
    top->addWidget(topimage);
    top->addWidget(midimage, 1);
    top->addWidget(rightimage);
    min_butt = makeButton(toppanel, "min_butt", QString::fromUtf8("\u2013"), "Minimize");
    max_butt = makeButton(toppanel, "max_butt", QString::fromUtf8("\u25a1"), "Maximize");
    close_butt = makeButton(toppanel, "close_butt", QString::fromUtf8("\u2715"), "Close");
    for (QToolButton* b : {min_butt, max_butt, close_butt}) {
        b->setFixedSize(26, 22);
        top->addWidget(b, 0, Qt::AlignTop);
    }
    for (TTitleImage* t : {leftimage, topimage, midimage, rightimage})
        t->OnMouseDown = [this] { topimageMouseDown(); };
    topimage->OnDblClick = [this] { topimageDblClick(); };
    midimage->OnDblClick = [this] { topimageDblClick(); };
    connect(min_butt, &QToolButton::clicked, this, &Tvm_form::min_buttClick);
    connect(max_butt, &QToolButton::clicked, this, &Tvm_form::max_buttClick);
    connect(close_butt, &QToolButton::clicked, this, &Tvm_form::close_buttClick);
    toppanel->installEventFilter(this);
    repainttimer = new QTimer(this);
    repainttimer->setSingleShot(true);
    repainttimer->setInterval(200);
    root->addWidget(toppanel);

    auto* body = new QHBoxLayout;
    body->setContentsMargins(0, 0, 0, 0);
    body->setSpacing(0);
    root->addLayout(body, 1);

    // Left panel: company button, genres, link buttons, the maker's button.
    leftpanel = new QFrame(this);
    leftpanel->setObjectName("leftpanel");
    leftpanel->setFixedWidth(170);
    auto* left = new QVBoxLayout(leftpanel);
    left->setContentsMargins(6, 6, 6, 6);
    left->setSpacing(4);
    company_butt = makeButton(leftpanel, "company_butt", "Velmora");
    left->addWidget(company_butt);
    genrelist = new QListWidget(leftpanel);
    genrelist->setObjectName("genrelist");
    left->addWidget(genrelist, 1);
    for (int i = 0; i < 5; ++i) {
        lb[i] = makeButton(leftpanel, QString("lb%1").arg(i + 1).toLatin1().constData(), {});
        lb[i]->setToolButtonStyle(Qt::ToolButtonTextOnly);
        lb[i]->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        left->addWidget(lb[i]);
    }
    velmora_butt = makeButton(leftpanel, "velmora_butt", "Dialwise");
    velmora_butt->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    left->addWidget(velmora_butt);
    body->addWidget(leftpanel);

    // Right side: the big buttons and banner, the button bar, list and pages, player box.
    auto* right = new QVBoxLayout;
    right->setContentsMargins(0, 0, 0, 0);
    right->setSpacing(0);
    body->addLayout(right, 1);

    auto* head = new QHBoxLayout;
    head->setContentsMargins(6, 4, 6, 4);
    refresh_butt = makeButton(this, "refresh_butt", "Refresh", "Refresh the server list");
    fav_butt = makeButton(this, "fav_butt", "Favorites", "Show your favorite servers");
    fav_butt->setCheckable(true);
    configure_butt = makeButton(this, "configure_butt", "Configure", "Change your settings");
    help_butt = makeButton(this, "help_butt", "Help", "Tips and help");
    for (QToolButton* b : {refresh_butt, fav_butt, configure_butt, help_butt}) {
        b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        head->addWidget(b);
    }
    head->addStretch(1);
    bannerimg = new QLabel(this);
    bannerimg->setObjectName("bannerimg");
    bannerimg->setCursor(Qt::PointingHandCursor);
    bannerimg->setFixedSize(468, 60);
    bannerimg->hide();
    head->addWidget(bannerimg);
    right->addLayout(head);

    buttonbar = new QFrame(this);
    buttonbar->setObjectName("buttonbar");
    auto* bar = new QHBoxLayout(buttonbar);
    bar->setContentsMargins(4, 2, 4, 2);
    bar->setSpacing(2);
    bar->addStretch(1);
    linklabel = new QLabel(buttonbar);
    linklabel->setObjectName("linklabel");
    linklabel->setCursor(Qt::PointingHandCursor);
    bar->addWidget(linklabel);
    right->addWidget(buttonbar);

    splitter = new QSplitter(Qt::Vertical, this);
    splitter->setObjectName("splitter");
    serverview = new QTreeWidget(splitter);
    serverview->setObjectName("serverview");
    serverview->setRootIsDecorated(false);
    serverview->setSelectionMode(QAbstractItemView::ExtendedSelection);
    serverview->setUniformRowHeights(true);
    pages = new QTabWidget(splitter);
    pages->setObjectName("pages");
    // Fixed tabs (tag -1); docked windows become further tabs.
    for (const char* caption :
         {"Song and Artist Search", "Station Info", "Forums", "Dialwise News"}) {
        auto* page = new QWidget(pages);
        page->setObjectName(QString(caption).remove(' '));
        page->setProperty("tag", -1);
        pages->addTab(page, caption);
    }
    splitter->addWidget(serverview);
    splitter->addWidget(pages);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);
    right->addWidget(splitter, 1);

    playerbox = new QFrame(this);
    playerbox->setObjectName("playerbox");
    playerbox->setFixedHeight(50);
    playerbox->hide(); // shown when the player bar docks into it
    right->addWidget(playerbox);

    // Status strip: gauge, status text, a wide panel, the listeners text.
    statusbar2 = new QStatusBar(this);
    statusbar2->setObjectName("statusbar2");
    statusbar2->setSizeGripEnabled(true);
    gauge = new QProgressBar(statusbar2);
    gauge->setFixedWidth(75);
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
}

void Tvm_form::SetLinkButton(QToolButton* control, const QString& record)
{
    if (!config_ || !control) return;
    const TLinkRecord r = config_->Link(record);
    control->setToolTip(r.Hint + "\r\n" + r.Url);
    control->setText(r.Text);
}

void Tvm_form::ApplySkin(bool) {}
void Tvm_form::SetupColumns() {}
void Tvm_form::RefreshFavorites() {}
void Tvm_form::RequestBanner() {}

void Tvm_form::UpdatesComplete()
{
    Updating = false;
}

void Tvm_form::UpdateActions() {}

void Tvm_form::ExecuteCommand(const QStringList& words)
{
    DebugLog("Command: " + words.join(' '));
}

void Tvm_form::showResourceWarning(bool)
{
    const platform::FreeResources r = platform::GetFreeResources();
    if (ResourcesLow(r))
        platform::MessageDlg(ResourceWarningText(r), platform::mtInformation, platform::mbOK,
                             "Information", this);
}

void Tvm_form::showEvent(QShowEvent* e)
{
    QWidget::showEvent(e);
    if (!shown_) FormShowFirst();
}

void Tvm_form::FormShowFirst()
{
    shown_ = true;
    showResourceWarning(false);
}

void Tvm_form::closeEvent(QCloseEvent* e)
{
    QWidget::closeEvent(e);
}

bool Tvm_form::event(QEvent* e)
{
    return QWidget::event(e);
}

bool Tvm_form::eventFilter(QObject* o, QEvent* e)
{
    if (o == toppanel && e->type() == QEvent::Resize) repainttimer->start();
    return QWidget::eventFilter(o, e);
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
    TRegistry::Flush();
}

void Tvm_form::restorePlacement()
{
    if (!config_) return;
    const QSize screenSize = screen() ? screen()->size() : QSize();
    const TWindowPlacement p = TConfig::LoadPlacement(config_->MainformKey(), screenSize);
    // Only the position is restored, not the window state.
    if (p.Valid && p.NormPos.width() >= minimumWidth() && p.NormPos.height() >= minimumHeight())
        setGeometry(p.NormPos);
}
