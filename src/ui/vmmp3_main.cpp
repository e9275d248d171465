#include "vmmp3_main.h"
#include "bannerfetcher.h"
#include "bitmapcache.h"
#include "chat_form.h"
#include "config.h"
#include "customserverlist.h"
#include "debuglog.h"
#include "dialogs.h"
#include "genres.h"
#include "httpprot.h"
#include "netconfig.h"
#include "platform.h"
#include "radiobrowser.h"
#include "serverview.h"
#include "vmmp3_pages.h"
#include "winconsole.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidgetItem>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

Tvmmp3_form::Tvmmp3_form(QWidget* parent) : Tvm_form(parent)
{
    buildGenreControls();
    // A companion program learns that the player runs.
    AnnounceToCompanion();
    // The shared window's own creation; its banner bases are this window's genre-free ones.
    FormCreate();
    adServerBase_ = BannerBase;
    adClickBase_ = BannerClickBase;
    // Genres; the chat's default channel follows the selected genre.
    LoadGenres();
    // Auto-refresh is ticked unless "autorefresh" is exactly "0".
    AutoRefresh1->setChecked(Configuration()->ReadValue("autorefresh") != "0");
    // The window draws its own title area: no system caption. The resize back and forth
    // lays the frameless window out once.
    setWindowFlag(Qt::FramelessWindowHint, true);
    resize(width() - 1, height());
    resize(width() + 1, height());
    // The button picture cache on its folder; station logos come from it.
    QDir().mkpath(platform::ProgramFolder() + "/buttons");
    BitmapCache = new TBitmapCache(platform::ProgramFolder() + "/buttons/", this);
    BitmapCache->SetOnBeforeRequest([](TBitmapCache*, THttpCli* client) { ApplyProxy(*client); });
    BitmapCache->SetOnBitmapArrived([this](TBitmapCache*, TCachedBitmap* b) {
        if (b->Kind == 1) serverview->viewport()->update();
    });
    serverview->Logo = [this](const TSCServer& station) -> QPixmap {
        const TSCServer::TLogo logo = station.StationLogo();
        if (logo.Name.isEmpty()) return {};
        auto it = logos_.constFind(logo.Name);
        if (it != logos_.constEnd()) return *it;
        if (!logo.Favicon) {
            const QImage* img = BitmapCache->GetMasked(logo.Name, 1, logo.URL);
            return img ? *logos_.insert(logo.Name, QPixmap::fromImage(*img)) : QPixmap();
        }
        const QImage* img = BitmapCache->GetFavicon(logo.Name, logo.URL);
        if (!img) return {};
        // A favicon fills a square of the row's height, centred, so that names line up.
        const int line = serverview->BaseItemHeight > 0 ? serverview->BaseItemHeight
                                                        : serverview->fontMetrics().height();
        const int side = qMax(16, 2 * line - 2);
        QPixmap square(side, side);
        square.fill(Qt::transparent);
        {
            const QImage fit =
                img->scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
            QPainter p(&square);
            p.drawImage((side - fit.width()) / 2, (side - fit.height()) / 2, fit);
        }
        if (logos_.size() > 1000) logos_.clear(); // a long list scrolled through
        return *logos_.insert(logo.Name, square);
    };
    // Not maximised.
    Maximized = false;
    // The embedded browser, the station pages and links, the small dialogs.
    Pages = new Tvmmp3_pages(this);
    HaveBrowser = Pages->HaveBrowser;
    // The first chat window; it docks and joins the chat module on the first showing.
    chat_form = new Tchat_form(pages);
    chat_form->hide();
    Hooks.AutoJoinChannel = [](const QString& channel) {
        if (TChatModule* m = ChatModule()) m->AutoJoinChannel(channel);
    };
    // Any page but a chat page counts as the chat not being in use (auto-away).
    connect(pages, &QTabWidget::currentChanged, this, [this](int i) {
        if (ChatModule() && !qobject_cast<Tchat_form*>(pages->widget(i)))
            ChatModule()->SetUserActive(false);
    });
    // The debug console sends its commands here.
    if (TWinConsole* c = WinConsole()) c->AddCommandReceiver(this);
    // The frame width, for reports of a window that looks wrong.
    DebugLog(QString("BorderWidth %1").arg((width() - contentsRect().width()) / 2));
    setWindowTitle(QApplication::applicationName());
    // Until a player takes over launching, a station opens in the desktop's own player.
    Hooks.LaunchStation = [](TCustomServer* s) {
        const auto* sc = dynamic_cast<const TSCServer*>(s);
        const QString url =
            sc && !sc->StreamURL.isEmpty()
                ? sc->StreamURL
                : "http://" + s->Address + ":" + s->Port + (s->Port.contains('/') ? "" : "/");
        DebugLog("Launch " + url);
        platform::OpenUrl(url);
    };
}

Tvmmp3_form::~Tvmmp3_form()
{
    SaveGenres();
    if (TWinConsole* c = WinConsole()) c->RemoveCommandReceiver(this);
}

void Tvmmp3_form::AnnounceToCompanion()
{
    // The companion listens on a local socket named after its window class; the message
    // carries the registered name and this process's id.
    platform::PostToLocalSocket(
        "TUNELANEST", "mp3running 0 " + QByteArray::number(QApplication::applicationPid()));
}

void Tvmmp3_form::buildGenreControls()
{
    auto* lay = static_cast<QVBoxLayout*>(genrearea->layout());
    genrebox = new TGenreBox(genrearea);
    lay->addWidget(genrebox, 1);
    auto* row = new QHBoxLayout;
    row->setSpacing(2);
    auto small = [&](const char* name, const QString& text, const QString& hint) {
        auto* b = new QToolButton(genrearea);
        b->setObjectName(name);
        b->setText(text);
        b->setToolTip(hint);
        b->setAutoRaise(true);
        b->setFocusPolicy(Qt::NoFocus);
        row->addWidget(b);
        return b;
    };
    addgenre_butt = small("addgenre_butt", "+", "Add a genre to the list");
    delgenre_butt = small("delgenre_butt", QString::fromUtf8("\u2212"),
                          "Delete the selected genre from the list");
    joingenre_butt =
        small("joingenre_butt", "Chat", "Join the chat channel for the currently selected genre");
    row->addStretch(1);
    lay->addLayout(row);

    genremenu = new QMenu(this);
    genremenu->setObjectName("genremenu");
    Refresh1 = genremenu->addAction("&Refresh Genre");
    genremenu->setDefaultAction(Refresh1);
    Joinchatchannel1 = genremenu->addAction("&Join chat channel");
    genremenu->addSeparator();
    AddaGenre1 = genremenu->addAction("&Add Genre");
    AddaGenre1->setShortcut(QKeySequence(Qt::Key_Insert));
    DeleteSelectedGenre1 = genremenu->addAction("&Delete Genre");
    DeleteSelectedGenre1->setShortcut(QKeySequence(Qt::Key_Delete));
    Resettodefaults1 = genremenu->addAction("Reset to &defaults");
    AutoRefresh1 = genremenu->addAction("Auto-Refresh");
    AutoRefresh1->setCheckable(true);
    // The shortcuts work while the genre list has the focus.
    for (QAction* a : {AddaGenre1, DeleteSelectedGenre1}) {
        a->setShortcutContext(Qt::WidgetShortcut);
        genrebox->addAction(a);
    }

    connect(Refresh1, &QAction::triggered, this, &Tvmmp3_form::Refresh1Click);
    connect(Joinchatchannel1, &QAction::triggered, this, &Tvmmp3_form::Joinchatchannel1Click);
    connect(AddaGenre1, &QAction::triggered, this, &Tvmmp3_form::AddaGenre1Click);
    connect(DeleteSelectedGenre1, &QAction::triggered, this,
            &Tvmmp3_form::DeleteSelectedGenre1Click);
    connect(Resettodefaults1, &QAction::triggered, this, &Tvmmp3_form::Resettodefaults1Click);
    connect(AutoRefresh1, &QAction::triggered, this, &Tvmmp3_form::AutoRefresh1Click);
    connect(addgenre_butt, &QToolButton::clicked, this, &Tvmmp3_form::AddaGenre1Click);
    connect(delgenre_butt, &QToolButton::clicked, this, &Tvmmp3_form::DeleteSelectedGenre1Click);
    connect(joingenre_butt, &QToolButton::clicked, this, &Tvmmp3_form::Joinchatchannel1Click);
    connect(genrebox, &QListWidget::itemClicked, this, [this] { genreboxClick(); });
    connect(genrebox, &QListWidget::itemDoubleClicked, this, &Tvmmp3_form::genreboxDblClick);
    // Choosing with the keyboard acts as a click on the entry the user stops at (not on
    // every entry passed on the way); Enter refreshes it at once.
    genreKeyTimer_ = new QTimer(this);
    genreKeyTimer_->setSingleShot(true);
    genreKeyTimer_->setInterval(300);
    connect(genreKeyTimer_, &QTimer::timeout, this, [this] { genreboxClick(); });
    connect(genrebox, &TGenreBox::keyboardChose, genreKeyTimer_, qOverload<>(&QTimer::start));
    connect(genrebox, &TGenreBox::keyboardActivated, this, &Tvmmp3_form::Refresh1Click);
    // A right click selects the entry under the pointer and opens the genre menu.
    genrebox->viewport()->installEventFilter(this);
}

bool Tvmmp3_form::eventFilter(QObject* o, QEvent* e)
{
    if (genrebox && o == genrebox->viewport() && e->type() == QEvent::MouseButtonPress) {
        auto* m = static_cast<QMouseEvent*>(e);
        if (m->button() == Qt::RightButton) {
            if (QListWidgetItem* it = genrebox->itemAt(m->position().toPoint()))
                genrebox->SelectIndex(genrebox->row(it));
            genremenu->popup(m->globalPosition().toPoint());
            return true;
        }
    }
    return Tvm_form::eventFilter(o, e);
}

// ---------------------------------------------------------------------------------------
// Genres

void Tvmmp3_form::LoadGenres()
{
    genreFile_ = genres::GenreFile();
    QStringList entries = genres::LoadFile(genreFile_);
    if (entries.isEmpty()) entries = genres::DefaultList();
    genrebox->SetEntries(entries);
    if (!genrebox->ContainsNoCase(genres::AllServers)) genrebox->AddEntry(genres::AllServers);
    bool ok = false;
    int index = Configuration()->ReadValue("genre").toInt(&ok);
    if (!ok || index < 0 || index >= genrebox->count()) index = 0;
    genrebox->SelectIndex(index);
    // The chat's default channel follows the selected genre.
    DefaultChatChannel = genres::ChatChannel(genrebox->SelectedText(), Profile().HomeChannel);
}

void Tvmmp3_form::SaveGenres()
{
    if (genreFile_.isEmpty() || !genrebox) return;
    QString error;
    if (!genres::SaveFile(genreFile_, genrebox->Entries(), &error))
        reportSaveFailure(genreFile_, error);
}

QString Tvmmp3_form::GenreEntry() const
{
    return genrebox ? genrebox->SelectedText() : QString();
}

void Tvmmp3_form::genreboxClick(QObject* sender)
{
    if (genreKeyTimer_) genreKeyTimer_->stop();
    const QString entry = genrebox->SelectedText();
    if (entry == genres::FavoritesEntry) {
        if (FavoritesList().isEmpty()) {
            platform::MessageDlg(
                "You do not have any servers on your favorites list.\r\nTo add a server to "
                "your favorites list, right click it and select 'Add to Favorites'",
                platform::mtInformation, platform::mbOK, {}, this);
        } else {
            serverview->TakeStations();
            RefreshFavorites();
        }
        return;
    }
    if (sender != Refresh1 && !AutoRefresh1->isChecked()) return;
    Configuration()->WriteValue("genre", QString::number(genrebox->SelectedIndex()));
    if (IsUpdating()) {
        RefreshAgain = true;
        serverview->ClearList();
    }
    Joinchatchannel1Click();
    refresh_buttClick();
}

void Tvmmp3_form::genreboxDblClick()
{
    if (!AutoRefresh1->isChecked()) Refresh1Click();
}

void Tvmmp3_form::Refresh1Click()
{
    genreboxClick(Refresh1);
}

void Tvmmp3_form::Joinchatchannel1Click()
{
    const QString entry = genrebox->SelectedText();
    if (entry.isEmpty()) return;
    const QString channel = genres::ChatChannel(entry, Profile().HomeChannel);
    if (Hooks.AutoJoinChannel) Hooks.AutoJoinChannel(channel);
}

void Tvmmp3_form::AddaGenre1Click()
{
    QString text;
    bool ok = false;
    if (Hooks.AddGenreDialog) {
        ok = Hooks.AddGenreDialog(text);
    } else {
        text = platform::InputQuery(
            "Add Genre", "Genre name (separate several genres with a backslash):", {}, &ok, this);
    }
    if (ok && !text.isEmpty()) genrebox->AddEntry(text);
}

void Tvmmp3_form::DeleteSelectedGenre1Click()
{
    const QString entry = genrebox->SelectedText();
    if (entry.isEmpty() || entry == genres::AllServers) return;
    delete genrebox->takeItem(genrebox->SelectedIndex());
}

void Tvmmp3_form::Resettodefaults1Click()
{
    const int r = platform::MessageDlg(
        "This will reset the genre list to the default, removing any custom genres you have "
        "added. Are you sure you want to continue?",
        platform::mtConfirmation, platform::mbYesNoCancel, {}, this);
    if (r == platform::mrYes) genrebox->SetEntries(genres::DefaultList());
    genrebox->SelectIndex(0);
}

void Tvmmp3_form::AutoRefresh1Click()
{
    Configuration()->WriteValue("autorefresh", AutoRefresh1->isChecked() ? "1" : "0");
}

void Tvmmp3_form::BeforeRefresh()
{
    if (IsUpdating()) return;
    RefreshAgain = false;
    if (genrebox->SelectedText().isEmpty()) {
        if (genrebox->count() == 0) genrebox->AddEntry(genres::AllServers);
        genrebox->SelectIndex(0);
    }
    if (auto* http = dynamic_cast<TCustomHTTPServerList*>(ServerList()))
        http->RequestSuffix = genres::RequestSuffix(genrebox->SelectedText());
    if (auto* rb = dynamic_cast<TRadioBrowserList*>(ServerList())) {
        // A name search asked for by Find keeps its request for this refresh.
        if (nameSearch_.isEmpty())
            rb->SetGenre(genrebox->SelectedText());
        else
            rb->SetNameSearch(nameSearch_);
        nameSearch_.clear();
    }
}

bool Tvmmp3_form::FindElsewhere(const QString& text)
{
    auto* rb = dynamic_cast<TRadioBrowserList*>(ServerList());
    if (!rb || IsUpdating() || text.trimmed().isEmpty()) return false;
    // Not in the list: the directory is asked for stations of that name.
    nameSearch_ = text.trimmed();
    refresh_buttClick();
    return true;
}

// ---------------------------------------------------------------------------------------
// Overrides

void Tvmmp3_form::SetLinkButton(QToolButton* control, const QString& record)
{
    Tvm_form::SetLinkButton(control, record);
    // lb1..lb4 are hot areas over the left picture, which shows their labels.
    for (int i = 0; i < 4; ++i)
        if (control == lb[i]) control->setText({});
}

bool Tvmmp3_form::LinkClickOverride(const QString& rest)
{
    if (rest.startsWith('s') || rest.startsWith('w')) {
        if (Hooks.ConnectStationLink) Hooks.ConnectStationLink(rest);
        return true;
    }
    return false;
}

void Tvmmp3_form::RequestBanner()
{
    const QString g = genrebox->SelectedText();
    if (!g.isEmpty() && g != genres::AllServers) {
        const QString area = genres::BannerArea(g);
        BannerBase = adServerBase_ + "AREA=" + area + "/";
        BannerClickBase = adClickBase_ + "AREA=" + area + "/";
    }
    Tvm_form::RequestBanner();
}

void Tvmmp3_form::AfterBannerLoaded()
{
    BannerStation.clear();
    const QString loc = banner_->Location();
    const int q = loc.indexOf('?');
    if (q < 0) return;
    QString rest = loc.mid(q + 1);
    const int amp = rest.indexOf('&');
    if (amp >= 0) rest = rest.left(amp);
    if (rest.startsWith('s') || rest.startsWith('w')) BannerStation = rest;
}

bool Tvmmp3_form::BannerClickOverride()
{
    if (BannerStation.isEmpty()) return false;
    if (Hooks.ConnectStationLink) Hooks.ConnectStationLink(BannerStation);
    return true;
}

QString Tvmmp3_form::ListenersText(int listeners, int stations)
{
    return QString::asprintf("%d listeners on %d servers", listeners, stations);
}

void Tvmmp3_form::OnRefreshComplete()
{
    if (auto* sc = dynamic_cast<TSCServerList*>(ServerList())) {
        statuspanel[3]->setText(ListenersText(sc->TotalListeners, sc->StationCount));
        DebugLog(QString("Updates complete: %1, %2 rows, %3 answered")
                     .arg(ListenersText(sc->TotalListeners, sc->StationCount))
                     .arg(serverview->RowCount())
                     .arg(serverview->Model()->AnsweredCount()));
    }
    if (auto* rb = dynamic_cast<TRadioBrowserList*>(ServerList())) {
        statuspanel[3]->setText(ListenersText(rb->TotalListeners, rb->StationCount));
        // The reason the stations before stayed, in words.
        statuspanel[2]->setText(rb->LastError.isEmpty() ? QString()
                                                        : "Radio Browser: " + rb->LastError);
        DebugLog(QString("Updates complete: %1, %2 rows, %3 answered")
                     .arg(ListenersText(rb->TotalListeners, rb->StationCount))
                     .arg(serverview->RowCount())
                     .arg(serverview->Model()->AnsweredCount()));
    }
    if (RefreshAgain) refresh_buttClick();
}

void Tvmmp3_form::OpenLocationLink(const QString& link)
{
    Pages->NewLocationExecuteMacro({link});
}

void Tvmmp3_form::ExecuteCommand(const QStringList& words)
{
    Tvm_form::ExecuteCommand(words);
    Pages->ExecuteCommand(words);
}

void Tvmmp3_form::AfterSourceChanged()
{
    showSourceTips();
}

void Tvmmp3_form::showSourceTips()
{
    for (int i = 0; i < genrebox->count(); ++i)
        genrebox->item(i)->setToolTip({});
    auto* rb = dynamic_cast<TRadioBrowserList*>(ServerList());
    if (!rb) return;
    // The genre panel tells how many stations of the directory carry each genre. The
    // answer of a source replaced meanwhile never arrives (its list takes its requests).
    rb->FetchTags([this](const QList<TRBTag>& tags) {
        QHash<QString, int> counts;
        for (const TRBTag& t : tags)
            counts.insert(t.Name.toLower(), t.StationCount);
        for (int i = 0; i < genrebox->count(); ++i) {
            QListWidgetItem* item = genrebox->item(i);
            const auto it = counts.constFind(item->text().toLower());
            if (it != counts.cend())
                item->setToolTip(QString("%1 stations of the Radio Browser directory").arg(*it));
        }
    });
    serverview->Model()->SetHeaderTip(
        serverview->PlayersColumn,
        "Plays counted by the Radio Browser directory (its click count); it knows no "
        "listener figures");
}

void Tvmmp3_form::FormShowFirst()
{
    Tvm_form::FormShowFirst();
    // The chat: its first window docks as a page, and it connects when configured.
    if (TChatModule* m = ChatModule(); m && chat_form) {
        m->DockSite = pages;
        m->DefaultChannel = DefaultChatChannel;
        m->AddChatWindow(chat_form);
        chat_form->Dock(pages);
        chat_form->ShowWindow();
        // The first window follows the genre chosen: its lock is released.
        chat_form->SetChannelLocked(false);
        if (Configuration()->Checked("chatconnect")) {
            chat_form->SetConnectDown(true);
            m->ConnectChat();
        }
    }
    Pages->FormShowFirst();
    showSourceTips();
    // The web tabs show once their pages exist; the docked windows bring their own tabs.
    // A user expects the stations of the selected genre when the program opens.
    QTimer::singleShot(0, this, [this] {
        if (!IsUpdating() && serverview->RowCount() == 0) refresh_buttClick();
    });
}
