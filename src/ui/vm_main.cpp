#include "vm_main.h"
#include "bannerfetcher.h"
#include "bitmapcache.h"
#include "config.h"
#include "customserverlist.h"
#include "debuglog.h"
#include "dialogs.h"
#include "finddialog.h"
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
#include <QClipboard>
#include <QCloseEvent>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QProgressBar>
#include <QScreen>
#include <QSplitter>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QToolButton>
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
    // Not yet shown; the main window is known program-wide from here on.
    shown_ = false;
    g_mainForm = this;
    // The configuration object, owned by the window; new link records relabel the buttons.
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
    // Libraries the window needs: a missing one offers its download and ends the program.
    checkLibraries();
    // The skin, without re-skinning other windows. A first start installs the default.
    TSkin::InstallDefaultSkin();
    connect(&Skin(), &TSkin::skinSelected, this, [this] { ApplySkin(true); });
    try {
        Skin().LoadSkin();
    } catch (const std::exception& e) {
        DebugLog(QString("Skin: %1").arg(e.what()), dcErrOut);
    }
    ApplySkin(false);
    // The find position and the usage counters start afresh.
    FindIndex = -1;
    StartTick = clock_.elapsed();
    RestoreTick = StartTick;
    ActiveTime = 0;
    // The station list source and its three callbacks.
    makeServerList();
    serverview->LoadState();
    // The favorites, kept sorted.
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
    AfterSourceChanged();
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

void Tvm_form::ApplySettingChange(const QString& control)
{
    if (control == "use_taskbar") {
        RxTrayIcon1->setVisible(config_->Checked("use_taskbar"));
    } else if (control == "disablebanners" && config_->Checked("disablebanners")) {
        bannerimg->hide();
        bannerimg->setImage(QImage());
    } else if (control == "disablebanners") {
        bannerimg->show();
    } else if (control == "interfacestyle") {
        SetupColumns();
    } else if (control == "stationsource") {
        StationSourceChanged();
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
    if (banner_->Busy()) {
        rearmBanner();
        return;
    }
    if (isMinimized()) return;
    bannerimg->hide();
    if (config_->Checked("disablebanners")) return;
    banner_->Fetch(BannerBase);
}

void Tvm_form::rearmBanner()
{
    banner_->Rearm(config_ ? config_->BannerInterval() : 300000);
}

void Tvm_form::bannertimerTimer()
{
    RequestBanner();
}

void Tvm_form::bannerLoaded(const QImage& image)
{
    if (!image.isNull()) {
        bannerimg->setImage(image);
        bannerimg->show();
    }
    AfterBannerLoaded();
    rearmBanner();
}

void Tvm_form::bannerimgClick()
{
    if (BannerClickOverride()) return;
    OpenRedirect(BannerClickBase + banner_->Suffix(), Profile().ProductNumber, 1);
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
    banner_->Rearm(5000); // the first banner a little after showing
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
