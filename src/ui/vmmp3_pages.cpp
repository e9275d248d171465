#include "vmmp3_pages.h"

#include "stationaddr.h"

#include "bitmapcache.h"
#include "config.h"
#include "customserver.h"
#include "debuglog.h"
#include "dialogs.h"
#include "httpprot.h"
#include "location.h"
#include "netutils.h"
#include "platform.h"
#include "productprofile.h"
#include "serverview.h"
#include "skins.h"
#include "smalldialogs.h"
#include "stationpages.h"
#include "tbasewebform.h"
#include "vmmp3_main.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>
#include <QRadioButton>
#include <QScopedValueRollback>
#include <QSignalBlocker>
#include <QSplitter>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

using namespace stationpages;

namespace {

// The program's other windows on the screen (tips, the splash, dialogs) go back on top of
// the main window whenever its window is made again.
class TRaiseOthersOnNewWindow : public QObject
{
public:
    explicit TRaiseOthersOnNewWindow(QWidget* main) : QObject(main), main_(main)
    {
        setObjectName(Name);
        main->installEventFilter(this);
    }
    static constexpr char Name[] = "raiseOthersOnNewWindow";
    bool eventFilter(QObject* o, QEvent* e) override
    {
        if (o == main_ && e->type() == QEvent::WinIdChange && main_->internalWinId())
            QTimer::singleShot(0, this, [this] {
                int raised = 0;
                for (QWidget* w : QApplication::topLevelWidgets())
                    if (w != main_ && w->isVisible() && w->windowType() != Qt::Popup &&
                        w->windowType() != Qt::ToolTip) {
                        w->raise();
                        ++raised;
                    }
                DebugLog(
                    QString("Main window made again; %1 other windows back on top").arg(raised));
            });
        return false;
    }

private:
    QWidget* main_;
};

// The fixed tabs, in the order the window made them.
const char* const kTabCaptions[] = {"Song and Artist Search", "Station Info", "Forums",
                                    "Dialwise News"};
const char* const kPageNames[] = {"Song Search", "Station Info", "Forums", "News"};

// What a tab shows when there is no embedded browser.
const char* const kNoBrowserTexts[] = {
    "This cool feature is not available without Internet explorer 3.0 or above.  \r\n\r\nIf "
    "you HAD IE3.0, you'd be able to locate servers playing your favorite song or "
    "artist.\r\n\r\nNow don't you think its time to upgrade?",
    "This cool feature is not available without Internet explorer 3.0 or above.\r\n  \r\nIf "
    "you HAD IE3.0, you'd see an interactive information page with details about the current "
    "station.  \r\n\r\nNow don't you think its time to upgrade?",
    "This cool feature is not available without Internet explorer 3.0 or above.  \r\n\r\nIf "
    "you HAD IE3.0, you'd be able to interact with a community of listeners with your same "
    "musical interests.\r\n\r\nNow don't you think its time to upgrade?",
    "This cool feature is not available without Internet explorer 3.0 or above.  \r\n\r\nIf "
    "you HAD IE3.0, you'd see a fully interactive news page with links to the latest in "
    "industry news.  \r\n\r\nNow don't you think its time to upgrade?"};

bool isChatWindow(const QWidget* w)
{
    if (!w) return false;
    if (w->inherits("Tchat_form")) return true;
    for (const QObject* c : w->children())
        if (c->inherits("Tchat_form")) return true;
    return false;
}

bool sameWord(const QString& a, const char* b)
{
    return a.compare(QLatin1String(b), Qt::CaseInsensitive) == 0;
}

} // namespace

Tvmmp3_pages::Tvmmp3_pages(Tvmmp3_form* form) : QObject(form), form_(form)
{
    setObjectName("pages_part");
    HaveBrowser = CheckBrowser();
    buildFixedTabs();
    buildSearchBox();
    if (!HaveBrowser) {
        // Without pages the information window shows the selected station's details.
        info_form = new Tinfo_form(form->pages);
        info_form->ApplyColors(Skin().Colors().AltLine, Skin().Colors().AltLineFont);
        const int at = form->pages->addTab(info_form, "Server Info");
        form->pages->widget(at)->setProperty("tag", 0);
    }

    TWindowHooks& h = form->Hooks;
    h.JoinServerChat = [this](TCustomServer* s) { JoinStationChat(s); };
    h.ConnectStationLink = [this](const QString& t) { ConnectStationLink(t); };
    h.StationSelected = [this](TCustomServer* s) { StationSelected(s); };
    h.TabChanged = [this](const QString& caption) { pagesChange(caption); };
    h.BuyCD = [this](TCustomServer* s) { BuyCDExecute(s); };
    h.JoinForums = [this] { JoinFromsExecute(); };
    h.AddGenreDialog = [this](QString& text) {
        if (platform::DialogsScripted()) {
            bool ok = false;
            text = platform::InputQuery("Add a Genre", " Genre Name ",
                                        AddGenreForm()->genre->text(), &ok, form_);
            return ok;
        }
        if (AddGenreForm()->exec() != QDialog::Accepted) return false;
        text = AddGenreForm()->genre->text();
        return true;
    };
    // A double click (and Enter) launches through the window, then the forum follows.
    auto launch = form->serverview->OnLaunch;
    form->serverview->OnLaunch = [this, launch] {
        if (launch) launch();
        serverviewDblClick();
    };
}

Taddgenre_form* Tvmmp3_pages::AddGenreForm()
{
    if (!addgenre_form_) addgenre_form_ = new Taddgenre_form(form_);
    return addgenre_form_;
}

Tmanualconnect_form* Tvmmp3_pages::ManualConnectForm()
{
    if (!manualconnect_form_) manualconnect_form_ = new Tmanualconnect_form(form_);
    return manualconnect_form_;
}

Tvmmp3_pages::~Tvmmp3_pages()
{
    for (const QPointer<TBaseIEForm>& p : pages_)
        if (p) p->OnLocation = nullptr;
}

// ---------------------------------------------------------------------------------------
// Building

void Tvmmp3_pages::buildFixedTabs()
{
    for (int i = 0; i < 4; ++i) {
        QWidget* tab = TabOf(TPage(i));
        if (!tab) continue;
        auto* lay = new QVBoxLayout(tab);
        lay->setContentsMargins(0, 0, 0, 0);
        if (HaveBrowser) {
            tab->setStyleSheet("background: black;");
        } else {
            // A black panel with the explanation.
            auto* panel = new QLabel(QString::fromLatin1(kNoBrowserTexts[i]), tab);
            panel->setObjectName("nobrowser");
            panel->setWordWrap(true);
            panel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            panel->setMargin(10);
            panel->setStyleSheet("QLabel { background: black; color: white; }");
            lay->addWidget(panel);
        }
        // Without the browser the news window takes the news tab's place.
        setTabVisible(TPage(i), HaveBrowser || i != pgNews);
    }
}

void Tvmmp3_pages::buildSearchBox()
{
    // The web search sits at the right end of the page area's tabs.
    auto* corner = new QWidget(form_->pages);
    corner->setObjectName("searchpanel");
    auto* lay = new QHBoxLayout(corner);
    lay->setContentsMargins(4, 1, 4, 1);
    lay->setSpacing(4);
    search_box = new QLineEdit(corner);
    search_box->setObjectName("search_box");
    search_box->setPlaceholderText("Search");
    search_box->setFixedWidth(110);
    search_box->installEventFilter(this);
    searchmp3_butt = new QRadioButton(" MP3", corner);
    searchmp3_butt->setObjectName("searchmp3_butt");
    searchweb_butt = new QRadioButton("The Web", corner);
    searchweb_butt->setObjectName("searchweb_butt");
    searchmp3_butt->setChecked(true);
    search_butt = new QToolButton(corner);
    search_butt->setObjectName("search_butt");
    search_butt->setText("Go");
    search_butt->setToolTip("Search");
    hb_image = new QLabel(corner);
    hb_image->setObjectName("hb_image");
    hb_image->setCursor(Qt::PointingHandCursor);
    hb_image->setFixedSize(32, 18);
    hb_image->setAlignment(Qt::AlignCenter);
    hb_image->installEventFilter(this);
    for (QWidget* w : std::initializer_list<QWidget*>{search_box, searchmp3_butt, searchweb_butt,
                                                      search_butt, hb_image})
        lay->addWidget(w);
    form_->pages->setCornerWidget(corner, Qt::TopRightCorner);
    corner->show();
    connect(search_butt, &QToolButton::clicked, this, &Tvmmp3_pages::search_buttClick);
    // Manual connect has its button in the button bar.
    form_->manualconnect_butt->show();
    connect(form_->manualconnect_butt, &QToolButton::clicked, this,
            &Tvmmp3_pages::manualconnect_buttClick);
}

void Tvmmp3_pages::FormShowFirst()
{
    TConfig* cfg = form_->Configuration();
    const TLinkRecord mp3 = cfg->Link("searchlink1");
    const TLinkRecord web = cfg->Link("searchlink2");
    if (!mp3.Text.isEmpty()) searchmp3_butt->setText(mp3.Text);
    if (!web.Text.isEmpty()) searchweb_butt->setText(web.Text);
    const TLinkRecord img = cfg->Link("searchimg");
    if (form_->BitmapCache && !img.Text.isEmpty()) {
        QPointer<QLabel> target = hb_image;
        form_->BitmapCache->GetInto(
            img.Text, 2,
            [target](const QImage& pic) {
                if (target && !pic.isNull())
                    target->setPixmap(QPixmap::fromImage(
                        pic.scaled(target->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation)));
            },
            Profile().WebSite + ButtonsPath + img.Text);
        hb_image->setToolTip(img.Hint);
    }
    // The page area gets room for a page; the user can drag its tabs to change it.
    QList<int> sizes = form_->splitter->sizes();
    if (sizes.size() == 2 && sizes[1] < 220 && sizes[0] > 440) {
        sizes[0] -= 220 - sizes[1];
        sizes[1] = 220;
        form_->splitter->setSizes(sizes);
    }
    if (HaveBrowser) {
        if (QWidget* news = TabOf(pgNews)) {
            const QSignalBlocker quiet(form_->pages); // the posted message opens it
            form_->pages->setCurrentWidget(news);
        }
        // The page, and with it the browser's libraries, comes once the window has been
        // drawn: the window is on the screen before the browser loads.
        struct FirstPaint : QObject
        {
            QPointer<Tvmmp3_pages> pages;
            bool eventFilter(QObject* o, QEvent* e) override
            {
                if (e->type() == QEvent::Paint || e->type() == QEvent::UpdateRequest) {
                    o->removeEventFilter(this);
                    DebugLog("Window drawn: opening the news page");
                    if (pages) platform::PostMessage(pages, kOpenNewsPage);
                    deleteLater();
                }
                return false;
            }
        };
        auto* watch = new FirstPaint;
        watch->setParent(form_);
        watch->pages = this;
        form_->installEventFilter(watch);
    }
}

// ---------------------------------------------------------------------------------------
// Tabs and pages

QWidget* Tvmmp3_pages::TabOf(TPage page) const
{
    QTabWidget* tabs = form_->pages;
    const QString name = QString(kTabCaptions[page]).remove(' ');
    for (int i = 0; i < tabs->count(); ++i)
        if (tabs->widget(i)->objectName() == name) return tabs->widget(i);
    return nullptr;
}

void Tvmmp3_pages::setTabVisible(TPage page, bool visible)
{
    if (QWidget* w = TabOf(page)) form_->pages->setTabVisible(form_->pages->indexOf(w), visible);
}

bool Tvmmp3_pages::tabVisible(TPage page) const
{
    QWidget* w = TabOf(page);
    return w && form_->pages->isTabVisible(form_->pages->indexOf(w));
}

void Tvmmp3_pages::activateTab(TPage page)
{
    if (QWidget* w = TabOf(page)) {
        setTabVisible(page, true);
        form_->pages->setCurrentWidget(w);
    }
}

QString Tvmmp3_pages::PageAddress(TPage page) const
{
    const char* paths[] = {SongSearchPath, ServerInfoPath, ForumsPath, NewsPath};
    return Profile().WebSite + paths[page];
}

void Tvmmp3_pages::pagesChange(const QString& caption)
{
    if (caption == kTabCaptions[pgSongSearch])
        CreateWebPage(pgSongSearch, PageAddress(pgSongSearch));
    else if (caption == kTabCaptions[pgNews])
        CreateWebPage(pgNews, PageAddress(pgNews));
    else if (caption == kTabCaptions[pgForums])
        ShowWebPage(pgForums, true, PageAddress(pgForums) + ForumQuery);
    else if (caption == kTabCaptions[pgStationInfo])
        ShowWebPage(pgStationInfo, true, PageAddress(pgStationInfo) + ServerInfoQuery);
}

void Tvmmp3_pages::ShowWebPage(TPage page, bool navigate, const QString& address)
{
#ifdef DIALWISE_HAVE_WEBENGINE
    if (!pages_[page])
        CreateWebPage(page, address);
    else if (navigate)
        pages_[page]->Navigate(address);
#else
    Q_UNUSED(page);
    Q_UNUSED(navigate);
    Q_UNUSED(address);
#endif
}

void Tvmmp3_pages::CreateWebPage(TPage page, const QString& address)
{
#ifdef DIALWISE_HAVE_WEBENGINE
    if (pages_[page] || !HaveBrowser) return;
    QWidget* tab = TabOf(page);
    if (!tab) return;
    const QString site = Profile().WebSite;
    // The first page makes Qt create the main window's window again, now one the browser
    // can draw into; the new one comes up on top of the program's other windows, which go
    // back above it.
    QWidget* main = form_->window();
    if (!main->findChild<QObject*>(TRaiseOthersOnNewWindow::Name, Qt::FindDirectChildrenOnly))
        new TRaiseOthersOnNewWindow(main);
    TBaseIEForm* p = (page == pgSongSearch || page == pgStationInfo) ? new TSongSearch(site, tab)
                                                                     : new TBaseIEForm(site, tab);
    p->setObjectName(QString(kPageNames[page]).remove(' ') + "_page");
    p->OnLocation = [this](const QString& link) { ReceiveLocation(link); };
    tab->layout()->addWidget(p);
    p->show();
    pages_[page] = p;
    p->Navigate(address);
    WebWindows << QPointer<QWidget>(p->BrowserWindow());
    applySuppression();
    DebugLog(QString("Tried to show ") + kPageNames[page] + " at url: " + address);
#else
    Q_UNUSED(page);
    Q_UNUSED(address);
#endif
}

void Tvmmp3_pages::OpenNewsPage()
{
    CreateWebPage(pgNews, PageAddress(pgNews));
}

void Tvmmp3_pages::applySuppression()
{
    for (const QPointer<QWidget>& w : std::as_const(WebWindows))
        if (w)
            w->setContextMenuPolicy(SuppressRightClick ? Qt::NoContextMenu
                                                       : Qt::DefaultContextMenu);
}

// ---------------------------------------------------------------------------------------
// Launching, chat, station links

void Tvmmp3_pages::JoinStationChat(const TCustomServer* station)
{
    if (!station) return;
    const QString channel = StationChannel(station);
    if (form_->Hooks.AutoJoinChannel) form_->Hooks.AutoJoinChannel(channel);
    // The chat's tab comes to the front.
    QTabWidget* tabs = form_->pages;
    for (int i = 0; i < tabs->count(); ++i)
        if (isChatWindow(tabs->widget(i))) {
            tabs->setCurrentIndex(i);
            break;
        }
}

bool Tvmmp3_pages::refuseStation(const TSCServer& s)
{
    const QString problem = StationProblem(s.Address, s.Port, s.StreamURL);
    if (problem.isEmpty()) return false;
    DebugLog("Station link refused: " + problem, dcErrOut);
    platform::MessageDlg("This station link cannot be used: " + problem + ".", platform::mtError,
                         platform::mbOK, {}, form_);
    return true;
}

void Tvmmp3_pages::ConnectStationLink(const QString& text)
{
    const TParsedURL u = ParseURL(text.mid(1));
    if (launching_) return; // a launch is running; this link came from inside it
    auto s = std::make_unique<TSCServer>(u.Host, u.Port.isEmpty() ? QStringLiteral("80") : u.Port);
    if (refuseStation(*s)) return;
    s->HostPort = u.Port;
    s->PlayerKind = text.startsWith('w') ? 1 : 0;
    s->Bitrate = 0;
    s->Name = u.Host;
    linkStation_ = std::move(s);
    DebugLog("Station link: " + text);
    {
        QScopedValueRollback<bool> launching(launching_, true);
        if (form_->Hooks.LaunchStation) form_->Hooks.LaunchStation(linkStation_.get());
    }
    launchEnded();
    JoinStationChat(linkStation_.get());
}

void Tvmmp3_pages::launchEnded()
{
    if (!std::exchange(locationWaiting_, false)) return;
    platform::PostMessage(this, kProcessLocation);
}

void Tvmmp3_pages::serverviewDblClick()
{
    TCustomServer* s = form_->serverview->CurrentStation();
    if (!s) return;
    ForumQuery = PageQuery(s);
    if (HaveBrowser && pages_[pgForums] && form_->pages->currentWidget() == TabOf(pgForums)) {
        DebugLog("forumsURL all together: " + PageAddress(pgForums) + ForumQuery);
        pages_[pgForums]->Navigate(PageAddress(pgForums) + ForumQuery);
    }
}

void Tvmmp3_pages::StationSelected(TCustomServer* station)
{
    if (!station) return;
    if (!HaveBrowser) {
        // The details go to the information window; the search box takes the song.
        info_form->ShowServer(station);
        if (const auto* sc = dynamic_cast<const TSCServer*>(station))
            search_box->setText(FixSongName(sc->SongTitle));
        return;
    }
    ServerInfoQuery = PageQuery(station);
    if (pages_[pgStationInfo] && form_->pages->currentWidget() == TabOf(pgStationInfo)) {
        DebugLog("Server Info all together: " + PageAddress(pgStationInfo) + ServerInfoQuery);
        pages_[pgStationInfo]->Navigate(PageAddress(pgStationInfo) + ServerInfoQuery);
    }
}

void Tvmmp3_pages::JoinFromsExecute()
{
    if (!HaveBrowser) {
        if (platform::MessageBox("Forums, and many other cool features, are not available "
                                 "without Internet Explorer 3.0 or above.\r\nWould you like "
                                 "to go to the Microsoft site now?",
                                 "Dialwise", platform::mbYesNo, platform::mtConfirmation,
                                 form_) == platform::mrYes)
            OpenRedirect(Profile().WebSite + "/browser.html", Profile().ProductNumber,
                         raDownloadPage);
        return;
    }
    TCustomServer* s = form_->serverview->CurrentStation();
    if (!s) return;
    // Encoded like every other page query: a stream address may hold "&" or "#".
    ForumQuery = PageQuery(s);
    DebugLog("Generated URL " + ForumQuery);
    if (form_->pages->currentWidget() != TabOf(pgForums))
        activateTab(pgForums); // the tab change shows the page
    else
        ShowWebPage(pgForums, true, PageAddress(pgForums) + ForumQuery);
}

void Tvmmp3_pages::BuyCDExecute(TCustomServer* station)
{
    const auto* sc = dynamic_cast<const TSCServer*>(station);
    if (!sc) return;
    const QString t =
        FillTemplate(form_->Configuration()->Link("buycd").Url, "%CD%", FixSongName(sc->SongTitle));
    OpenRedirect(t, Profile().ProductNumber, raBuyCD);
}

void Tvmmp3_pages::search_buttClick()
{
    const QString record = searchmp3_butt->isChecked() ? "searchlink1" : "searchlink2";
    const QString t =
        FillTemplate(form_->Configuration()->Link(record).Url, "%ST%", search_box->text());
    OpenRedirect(t, Profile().ProductNumber, raSongSearch);
}

void Tvmmp3_pages::hb_imageClick()
{
    OpenRedirect(form_->Configuration()->Link("searchimg").Url, Profile().ProductNumber,
                 raSearchLogo);
}

void Tvmmp3_pages::manualconnect_buttClick()
{
    if (platform::DialogsScripted()) {
        bool ok = false;
        const QString url =
            platform::InputQuery("Manually Connect to a Server", " Server URL ",
                                 ManualConnectForm()->serverurl->text(), &ok, form_);
        if (!ok) return;
        ManualConnectForm()->serverurl->setText(url);
    } else if (ManualConnectForm()->exec() != QDialog::Accepted) {
        return;
    }
    ConnectStationLink(ManualConnectForm()->StationLink());
}

bool Tvmmp3_pages::eventFilter(QObject* o, QEvent* e)
{
    if (o == search_box && e->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(e)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            search_butt->click();
            return true;
        }
    } else if (o == hb_image && e->type() == QEvent::MouseButtonRelease) {
        hb_imageClick();
        return true;
    }
    return QObject::eventFilter(o, e);
}

// ---------------------------------------------------------------------------------------
// Location links

void Tvmmp3_pages::NewLocationExecuteMacro(const QStringList& lines)
{
    if (lines.isEmpty()) return;
    const QString line = lines.first();
    DebugLog("Using DDE Macro" + line);
    const int at = line.indexOf(QLatin1String(location::Scheme));
    if (at != 0 && at != 1) return;
    PendingLocation = line;
    platform::PostMessage(this, kProcessLocation);
}

void Tvmmp3_pages::ReceiveLocation(const QString& link)
{
    PendingLocation = link;
    platform::PostMessage(this, kProcessLocation);
}

void Tvmmp3_pages::ProcessLocation()
{
    if (launching_) {
        // A link that arrives while a launch runs (inside a message box of the player,
        // say) waits for it to end: the station being launched lives until then.
        locationWaiting_ = true;
        return;
    }
    const QString r = PendingLocation.mid(9);
    DebugLog("Launching the following " + r);
    QString action;
    std::unique_ptr<TSCServer> s = location::ParseLocation(r, action);
    if (!s) {
        DebugLog("Server Object is not working");
        return;
    }
    const bool known =
        sameWord(action, "play") || sameWord(action, "add") || sameWord(action, "showinfo");
    if (known && refuseStation(*s)) return;
    if (sameWord(action, "play")) {
        linkStation_ = std::move(s);
        TSCServer* st = linkStation_.get();
        DebugLog("Link: play " + st->Name + " at " + st->Address + ":" + st->Port);
        {
            QScopedValueRollback<bool> launching(launching_, true);
            if (form_->Hooks.LaunchStation) form_->Hooks.LaunchStation(st);
        }
        launchEnded();
        JoinStationChat(st);
        ServerInfoQuery = PageQuery(st);
    } else if (sameWord(action, "add")) {
        form_->AddLinkFavorite(s->Address, s->Port);
        DebugLog("Adding to favorites");
        platform::MessageDlg(QString::asprintf("The following station has been added to your "
                                               "favorites menu.\r\n%s",
                                               s->Name.toLocal8Bit().constData()),
                             platform::mtInformation, platform::mbOK, {}, form_);
    } else if (sameWord(action, "showinfo")) {
        ServerInfoQuery = PageQuery(s.get());
        if (form_->pages->currentWidget() != TabOf(pgStationInfo))
            activateTab(pgStationInfo);
        else
            ShowWebPage(pgStationInfo, true, PageAddress(pgStationInfo) + ServerInfoQuery);
    } else {
        DebugLog("Link action not known: " + action);
    }
}

bool Tvmmp3_pages::event(QEvent* e)
{
    if (e->type() == platform::MessageType(kProcessLocation)) {
        ProcessLocation();
        return true;
    }
    if (e->type() == platform::MessageType(kOpenNewsPage)) {
        OpenNewsPage();
        return true;
    }
    return QObject::event(e);
}

// ---------------------------------------------------------------------------------------
// Console commands

void Tvmmp3_pages::ExecuteCommand(const QStringList& words)
{
    if (words.size() == 2) {
        const QString& verb = words[0];
        const QString& what = words[1];
        const bool forums = sameWord(what, "Forums");
        const bool news = sameWord(what, "News");
        const TPage page = forums ? pgForums : pgNews;
        if (sameWord(verb, "Show") && (forums || news)) {
            setTabVisible(page, true);
        } else if (sameWord(verb, "Hide") && (forums || news)) {
            setTabVisible(page, false);
        } else if (sameWord(verb, "ActiveTab") && forums) {
            activateTab(pgForums);
        } else if (sameWord(verb, "ActiveTab") && sameWord(what, "Search")) {
            activateTab(pgSongSearch);
        } else if (sameWord(verb, "toggle") && (forums || news)) {
            setTabVisible(page, !tabVisible(page));
        } else if (sameWord(verb, "toggle") && sameWord(what, "RightClick")) {
            SuppressRightClick = !SuppressRightClick;
            applySuppression();
        } else if (sameWord(verb, "toggle") && sameWord(what, "Player")) {
            form_->playerbox->setHidden(!form_->playerbox->isHidden());
            DebugLog(QString::number(form_->playerbox->y()));
        }
    } else if (words.size() == 3) {
        if (sameWord(words[0], "top") && sameWord(words[1], "Player")) {
            bool ok = false;
            const int top = words[2].trimmed().toInt(&ok);
            if (!ok) {
                const QString msg = QString("'%1' is not a valid integer value").arg(words[2]);
                DebugLog(msg, dcErrOut);
                platform::MessageDlg(msg, platform::mtError, platform::mbOK, {}, form_);
                return;
            }
            form_->playerbox->move(form_->playerbox->x(), top);
        } else if (sameWord(words[0], "link") && sameWord(words[1], "search")) {
#ifdef DIALWISE_HAVE_WEBENGINE
            if (pages_[pgSongSearch]) pages_[pgSongSearch]->Navigate(words[2]);
#endif
        }
    }
}
