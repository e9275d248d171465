#include "config_form.h"

#include "config.h"
#include "dialogs.h"
#include "netutils.h"
#include "platform.h"
#include "playersearch.h"
#include "productprofile.h"
#include "skins.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

using namespace platform;

namespace {

template <class W> W* named(W* w, const char* name)
{
    w->setObjectName(name);
    return w;
}

QCheckBox* check(QWidget* parent, const char* name, const QString& text)
{
    return named(new QCheckBox(text, parent), name);
}

QRadioButton* radio(QWidget* parent, const char* name, const QString& text)
{
    return named(new QRadioButton(text, parent), name);
}

QLineEdit* edit(QWidget* parent, const char* name, int maxLength = 0)
{
    auto* e = named(new QLineEdit(parent), name);
    if (maxLength > 0) e->setMaxLength(maxLength);
    return e;
}

} // namespace

Tconfig_form::Tconfig_form(TConfig* config, QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      search(new TPlayerSearch(this)), config_(config)
{
    setObjectName("config_form");
    setWindowTitle("Configuration");
    setModal(true);

    auto* root = new QHBoxLayout(this);
    pages = named(new QTabWidget(this), "pages");
    root->addWidget(pages, 1);

    // --- General ---------------------------------------------------------------------
    auto* general = new QWidget(pages);
    auto* g = new QVBoxLayout(general);
    auto* playerRow = new QHBoxLayout;
    playerRow->addWidget(new QLabel(" Player Program:", general));
    program_dir = edit(general, "program_dir");
    program_dir->setPlaceholderText("(built-in player)");
    playerRow->addWidget(program_dir, 1);
    browse_butt = named(new QToolButton(general), "browse_butt");
    browse_butt->setText("...");
    browse_butt->setToolTip("Browse for the folder of the player");
    dirfind_butt = named(new QToolButton(general), "dirfind_butt");
    dirfind_butt->setText("Find");
    dirfind_butt->setToolTip("Auto-Find Directory");
    other_butt = named(new QToolButton(general), "other_butt");
    other_butt->setText("Other...");
    other_butt->setToolTip("Select an alternate MP3 Player");
    playerRow->addWidget(browse_butt);
    playerRow->addWidget(dirfind_butt);
    playerRow->addWidget(other_butt);
    g->addLayout(playerRow);
    builtin_player = check(general, "builtin_player", "Play every station in the built-in player");
    builtin_player->setToolTip("Stations that the player bar cannot play are played by the "
                               "built-in player too; no other program is needed");
    g->addWidget(builtin_player);

    auto* form = new QGridLayout;
    nick = edit(general, "nick", 30);
    form->addWidget(new QLabel(" Chat Nick:", general), 0, 0);
    form->addWidget(nick, 0, 1);
    speedbox = named(new QComboBox(general), "speedbox");
    speedbox->addItems(TConfig::SpeedboxItems());
    form->addWidget(new QLabel("Net Connection:", general), 1, 0);
    form->addWidget(speedbox, 1, 1);
    bufferbox = named(new QComboBox(general), "bufferbox");
    bufferbox->addItems(TConfig::BufferboxItems());
    bufferbox->setToolTip("Buffer size for the built-in player");
    form->addWidget(new QLabel("Stream Buffer:", general), 2, 0);
    form->addWidget(bufferbox, 2, 1);
    interfacestyle = named(new QGroupBox(" Interface Style ", general), "interfacestyle");
    auto* isl = new QVBoxLayout(interfacestyle);
    interfacestyle0 = radio(interfacestyle, "interfacestyle0", "Basic");
    interfacestyle1 = radio(interfacestyle, "interfacestyle1", "Advanced");
    isl->addWidget(interfacestyle0);
    isl->addWidget(interfacestyle1);
    form->addWidget(interfacestyle, 0, 2, 3, 1);
    form->setColumnStretch(1, 1);
    g->addLayout(form);
    // The station source (taken when the dialog is closed with OK).
    auto* source = named(new QGroupBox(" Station Directory ", general), "sourcegroup");
    auto* srcl = new QGridLayout(source);
    listhost = edit(source, "listhost");
    listhost->setPlaceholderText("(none: the Radio Browser directory)");
    listhost->setToolTip(
        "A list server (host or host:port) instead of the Radio Browser directory");
    radiobrowser = edit(source, "radiobrowser");
    radiobrowser->setPlaceholderText("(automatic: all.api.radio-browser.info)");
    radiobrowser->setToolTip("Radio Browser servers or a private mirror: http(s) addresses, "
                             "separated by commas");
    srcl->addWidget(new QLabel("List Server:", source), 0, 0);
    srcl->addWidget(listhost, 0, 1);
    srcl->addWidget(new QLabel("Radio Browser:", source), 1, 0);
    srcl->addWidget(radiobrowser, 1, 1);
    srcl->addWidget(new QLabel("Takes effect when you press OK.", source), 2, 1);
    g->addWidget(source);
    disablebanners = check(general, "disablebanners", "Disable Banners");
    use_taskbar = check(general, "use_taskbar", "Show Dialwise in System Tray");
    disablegun = check(general, "disablegun", "Disable Gun Sound");
    disablegun->hide();
    g->addWidget(disablebanners);
    g->addWidget(use_taskbar);
    playlaststation = check(general, "playlaststation", "Play the last station at start-up");
    songnotify = check(general, "songnotify", "Show a desktop notification when the song changes");
    g->addWidget(playlaststation);
    g->addWidget(songnotify);
    auto* recordRow = new QHBoxLayout;
    recordfolder = edit(general, "recordfolder");
    recordfolder->setPlaceholderText(DefaultRecordFolder());
    recordfolder->setToolTip("The folder recordings are saved to (made when recording starts)");
    recordbrowse_butt = named(new QToolButton(general), "recordbrowse_butt");
    recordbrowse_butt->setText("...");
    recordbrowse_butt->setToolTip("Browse for the recording folder");
    recordRow->addWidget(new QLabel("Recordings:", general));
    recordRow->addWidget(recordfolder, 1);
    recordRow->addWidget(recordbrowse_butt);
    g->addLayout(recordRow);

    auto* demo = named(new QGroupBox(" Demographic Information ", general), "demogroup");
    auto* dl = new QGridLayout(demo);
    demo_butt =
        named(new QPushButton("Click here to find out why we're so darn nosey", demo), "demo_butt");
    dl->addWidget(demo_butt, 0, 0, 1, 4);
    realname = edit(demo, "realname", 50);
    age = edit(demo, "age", 2);
    email = edit(demo, "email");
    zip = edit(demo, "zip", 10);
    dl->addWidget(new QLabel("Real Name", demo), 1, 0);
    dl->addWidget(realname, 1, 1);
    dl->addWidget(new QLabel("Age", demo), 1, 2);
    dl->addWidget(age, 1, 3);
    dl->addWidget(new QLabel("E-Mail Address", demo), 2, 0);
    dl->addWidget(email, 2, 1);
    dl->addWidget(new QLabel("Zip Code", demo), 2, 2);
    dl->addWidget(zip, 2, 3);
    notify_box = check(demo, "notify_box", "Notify me when a new version comes out");
    dl->addWidget(notify_box, 3, 0, 1, 4);
    dl->setColumnStretch(1, 1);
    g->addWidget(demo);
    g->addStretch(1);
    pages->addTab(general, "General");

    // --- Chat --------------------------------------------------------------------------
    auto* chat = new QWidget(pages);
    auto* c = new QVBoxLayout(chat);
    chatconnect = check(chat, "chatconnect", "Connect to chat on startup");
    hidejoins = check(chat, "hidejoins", "Hide Join/Parts in Chat");
    noautoaway = check(chat, "noautoaway", "Don't set auto-away");
    c->addWidget(chatconnect);
    c->addWidget(hidejoins);
    c->addWidget(noautoaway);
    auto* hc = new QHBoxLayout;
    hc->addWidget(new QLabel("Home Channel:", chat));
    homechanneledit = edit(chat, "homechanneledit");
    hc->addWidget(homechanneledit, 1);
    c->addLayout(hc);
    c->addStretch(1);
    pages->addTab(chat, "Chat");

    // --- Firewall / Proxy ----------------------------------------------------------------
    auto* fw = new QWidget(pages);
    auto* f = new QVBoxLayout(fw);
    useproxies = check(fw, "useproxies", "Use an HTTP Proxy for server lists");
    useproxies->setToolTip("If you are behind a firewall, or require a proxy to access web "
                           "sites, you can configure the proxy here");
    f->addWidget(useproxies);
    proxygroup = named(new QGroupBox(" HTTP Proxy Settings ", fw), "proxygroup");
    auto* pl = new QGridLayout(proxygroup);
    proxyaddr = edit(proxygroup, "proxyaddr");
    proxyport = edit(proxygroup, "proxyport", 5);
    proxyuser = edit(proxygroup, "proxyuser");
    proxypass = edit(proxygroup, "proxypass");
    proxypass->setEchoMode(QLineEdit::Password);
    pl->addWidget(new QLabel("Address", proxygroup), 0, 0);
    pl->addWidget(proxyaddr, 0, 1);
    pl->addWidget(new QLabel("Port", proxygroup), 0, 2);
    pl->addWidget(proxyport, 0, 3);
    pl->addWidget(new QLabel("Username (if needed)", proxygroup), 1, 0);
    pl->addWidget(proxyuser, 1, 1);
    pl->addWidget(new QLabel("Password", proxygroup), 1, 2);
    pl->addWidget(proxypass, 1, 3);
    proxyport->setMaximumWidth(70);
    f->addWidget(proxygroup);
    const QString motdHint = "UDP is faster, but HTTP is required behind some proxies and "
                             "firewalls.\r\nIf you are not seeing a message of the day on "
                             "startup, select HTTP.";
    auto* motdBox = new QWidget(fw);
    auto* ml = new QHBoxLayout(motdBox);
    ml->setContentsMargins(0, 0, 0, 0);
    ml->addWidget(new QLabel("Retrieve Message of the Day via ", motdBox));
    udpmotdbutt = radio(motdBox, "udpmotdbutt", "UDP");
    httpmotdbutt = radio(motdBox, "httpmotdbutt", "HTTP");
    udpmotdbutt->setToolTip(motdHint);
    httpmotdbutt->setToolTip(motdHint);
    ml->addWidget(udpmotdbutt);
    ml->addWidget(httpmotdbutt);
    ml->addStretch(1);
    f->addWidget(motdBox);
    auto* pingBox = new QWidget(fw);
    auto* pgl = new QHBoxLayout(pingBox);
    pgl->setContentsMargins(0, 0, 0, 0);
    pgl->addWidget(new QLabel("Ping servers with ", pingBox));
    icmppingbutt = radio(pingBox, "icmppingbutt", "ICMP");
    tcppingbutt = radio(pingBox, "tcppingbutt", "Disable");
    icmppingbutt->setToolTip("ICMP pings may not work behind some firewalls or proxies");
    tcppingbutt->setToolTip("ICMP pings may not work behind some firewalls or proxies");
    pgl->addWidget(icmppingbutt);
    pgl->addWidget(tcppingbutt);
    pgl->addStretch(1);
    f->addWidget(pingBox);
    usesocksproxies = check(fw, "usesocksproxies", "Use a SOCKS Proxy for chat");
    usesocksproxies->setToolTip("If you are behind a firewall and use a SOCKS proxy, configure "
                                "it here");
    f->addWidget(usesocksproxies);
    socksgroup = named(new QGroupBox(" SOCKS Proxy Settings ", fw), "socksgroup");
    auto* sl = new QGridLayout(socksgroup);
    socksproxyaddr = edit(socksgroup, "socksproxyaddr");
    socksproxyuser = edit(socksgroup, "socksproxyuser");
    socksproxypass = edit(socksgroup, "socksproxypass");
    socksproxypass->setEchoMode(QLineEdit::Password);
    socks4butt = radio(socksgroup, "socks4butt", "Socks 4");
    socks5butt = radio(socksgroup, "socks5butt", "Socks 5");
    sl->addWidget(new QLabel("Address", socksgroup), 0, 0);
    sl->addWidget(socksproxyaddr, 0, 1);
    sl->addWidget(socks4butt, 0, 2);
    sl->addWidget(new QLabel("Username (if needed)", socksgroup), 1, 0);
    sl->addWidget(socksproxyuser, 1, 1);
    sl->addWidget(socks5butt, 1, 2);
    sl->addWidget(new QLabel("Password", socksgroup), 2, 0);
    sl->addWidget(socksproxypass, 2, 1);
    f->addWidget(socksgroup);
    f->addStretch(1);
    pages->addTab(fw, "Firewall / Proxy");
    proxygroup->setEnabled(false);
    socksgroup->setEnabled(false);

    // --- Skins -----------------------------------------------------------------------
    auto* skins = new QWidget(pages);
    auto* s = new QVBoxLayout(skins);
    auto* sr = new QHBoxLayout;
    sr->addWidget(new QLabel("Skin Name:", skins));
    skinpathbox = named(new TSkinBox(skins), "skinpathbox");
    skinpathbox->setEditable(true);
    skinpathbox->OnDropDown = [this] { RebuildSkinList(); };
    sr->addWidget(skinpathbox, 1);
    s->addLayout(sr);
    skinslink = named(new QLabel("Get Skins Here", skins), "skinslink");
    skinslink->setStyleSheet("color: blue; text-decoration: underline;");
    skinslink->setCursor(Qt::PointingHandCursor);
    skinslink->installEventFilter(this);
    s->addWidget(skinslink);
    s->addStretch(1);
    pages->addTab(skins, "Skins");

    // --- Buttons ---------------------------------------------------------------------
    auto* col = new QVBoxLayout;
    ok_butt = named(new QPushButton("OK", this), "ok_butt");
    ok_butt->setDefault(true);
    cancel_butt = named(new QPushButton("Cancel", this), "cancel_butt");
    about_butt = named(new QPushButton("About", this), "about_butt");
    searchanim = named(new QProgressBar(this), "searchanim");
    searchanim->setRange(0, 0); // moves while the search runs
    searchanim->setTextVisible(false);
    searchanim->setMaximumWidth(80);
    searchanim->hide();
    col->addWidget(ok_butt);
    col->addWidget(cancel_butt);
    col->addWidget(about_butt);
    col->addStretch(1);
    col->addWidget(searchanim);
    root->addLayout(col);

    wire();
    LoadControls();
    setFixedSize(sizeHint().expandedTo(QSize(560, 480)));
    if (QScreen* scr = QGuiApplication::primaryScreen())
        move(scr->availableGeometry().center() - rect().center());
}

Tconfig_form::~Tconfig_form() = default;

void Tconfig_form::wire()
{
    const QList<QCheckBox*> checks = findChildren<QCheckBox*>();
    for (QCheckBox* b : checks) {
        if (b == builtin_player) continue;
        connect(b, &QCheckBox::toggled, this, [this, b] { changed(b); });
    }
    for (QRadioButton* b : findChildren<QRadioButton*>())
        connect(b, &QRadioButton::toggled, this, [this, b](bool on) {
            if (on) changed(b);
        });
    for (QLineEdit* e : findChildren<QLineEdit*>())
        if (e->parent() != skinpathbox)
            connect(e, &QLineEdit::textChanged, this, [this, e] { changed(e); });
    for (QComboBox* cb : {speedbox, bufferbox})
        connect(cb, &QComboBox::currentIndexChanged, this, [this, cb] { changed(cb); });
    connect(skinpathbox, &QComboBox::currentTextChanged, this, [this] { changed(skinpathbox); });
    connect(builtin_player, &QCheckBox::toggled, this, [this](bool on) {
        if (loading_) return;
        if (on) program_dir->clear();
        program_dir->setEnabled(!on);
        if (!on) program_dir->setFocus();
    });
    connect(ok_butt, &QPushButton::clicked, this, &Tconfig_form::OKClick);
    connect(cancel_butt, &QPushButton::clicked, this, &Tconfig_form::CancelClick);
    connect(about_butt, &QPushButton::clicked, this, &Tconfig_form::AboutClick);
    connect(dirfind_butt, &QToolButton::clicked, this, &Tconfig_form::dirfind_buttClick);
    connect(other_butt, &QToolButton::clicked, this, &Tconfig_form::other_buttClick);
    connect(browse_butt, &QToolButton::clicked, this, &Tconfig_form::browse_buttClick);
    connect(recordbrowse_butt, &QToolButton::clicked, this, [this] {
        const QString start =
            recordfolder->text().isEmpty() ? DefaultRecordFolder() : recordfolder->text();
        QPointer<QLineEdit> field = recordfolder; // the dialog may outlive the form
        const QString dir = QFileDialog::getExistingDirectory(this, "Recording folder", start);
        if (field && !dir.isEmpty()) field->setText(dir);
    });
    connect(demo_butt, &QPushButton::clicked, this, &Tconfig_form::demo_buttClick);
    search->OnDone = [this](const QString& path) { searchDone(path); };
}

void Tconfig_form::LoadControls()
{
    if (!config_) return;
    loading_ = true;
    for (QCheckBox* b : findChildren<QCheckBox*>())
        if (b != builtin_player) b->setChecked(config_->Checked(b->objectName()));
    for (QRadioButton* b : findChildren<QRadioButton*>()) {
        if (b == interfacestyle0 || b == interfacestyle1) continue;
        b->setChecked(config_->Checked(b->objectName()));
    }
    const int style = config_->ItemIndex("interfacestyle");
    interfacestyle0->setChecked(style != 1);
    interfacestyle1->setChecked(style == 1);
    for (QLineEdit* e : findChildren<QLineEdit*>())
        if (e->parent() != skinpathbox) e->setText(config_->Text(e->objectName()));
    speedbox->setCurrentIndex(config_->ItemIndex("speedbox"));
    bufferbox->setCurrentIndex(config_->ItemIndex("bufferbox"));
    skinpathbox->setEditText(config_->Text("skinpathbox"));
    builtin_player->setChecked(program_dir->text().trimmed().isEmpty());
    program_dir->setEnabled(!builtin_player->isChecked());
    proxygroup->setEnabled(useproxies->isChecked());
    socksgroup->setEnabled(usesocksproxies->isChecked());
    loading_ = false;
}

void Tconfig_form::changed(QWidget* w)
{
    if (loading_ || !config_) return;
    const QString name = w->objectName();
    if (w == interfacestyle0 || w == interfacestyle1) {
        config_->SetItemIndex("interfacestyle", w == interfacestyle1 ? 1 : 0);
        if (OnImmediateEffect) OnImmediateEffect("interfacestyle");
        return;
    }
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        config_->SetChecked(name, b->isChecked());
        if (w == useproxies) proxyChanged();
        if (w == usesocksproxies) socksChanged();
        if ((w == use_taskbar || w == disablebanners) && OnImmediateEffect) OnImmediateEffect(name);
        return;
    }
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
        config_->SetText(name, e->text());
        return;
    }
    if (w == skinpathbox) {
        config_->SetText("skinpathbox", skinpathbox->currentText());
        // Errors are swallowed: the previous look stays.
        Skin().SelectSkin(skinpathbox->currentText().trimmed());
        return;
    }
    if (auto* cb = qobject_cast<QComboBox*>(w)) config_->SetItemIndex(name, cb->currentIndex());
}

void Tconfig_form::proxyChanged()
{
    const bool on = useproxies->isChecked();
    proxygroup->setEnabled(on);
    if (!on) return;
    httpmotdbutt->setChecked(true);
    if (isVisible())
        MessageDlg("You will also need to configure your external player for your proxy server "
                   "from within that player",
                   mtInformation, mbOK, {}, this);
}

void Tconfig_form::socksChanged()
{
    const bool on = usesocksproxies->isChecked();
    socksgroup->setEnabled(on);
    if (on) httpmotdbutt->setChecked(true);
}

void Tconfig_form::OKClick()
{
    if (!config_) return;
    QString dir = program_dir->text().trimmed();
    // A folder is kept with its final separator.
    if (!dir.isEmpty() && !QFileInfo(dir).isFile() && !dir.endsWith('/')) {
        dir += '/';
        program_dir->setText(dir);
    }
    bool keepOpen = false;
    if (!PlayerFound(dir) && MessageDlg(KnownPlayersText() + " not found in " + dir + "\r\n" +
                                            "Do you want to change the directory?",
                                        mtConfirmation, mbYesNo, {}, this) == mrYes)
        keepOpen = true;
    if (!keepOpen && nick->text().trimmed().isEmpty() &&
        MessageDlg("You did not enter a nickname, would you like to?", mtConfirmation, mbYesNo, {},
                   this) == mrYes)
        keepOpen = true;
    config_->ApplySettings();
    config_->SaveSettings();
    // A new station source takes effect now (the window compares it with the one it has).
    if (OnImmediateEffect) OnImmediateEffect("stationsource");
    if (!keepOpen) accept();
}

void Tconfig_form::CancelClick()
{
    if (search->Running()) search->Stop();
    if (config_) {
        config_->LoadSettings();
        config_->ApplySettings();
        LoadControls();
        Skin().SelectSkin(config_->Text("skinpathbox"));
        if (OnImmediateEffect)
            for (const char* c : {"use_taskbar", "disablebanners", "interfacestyle"})
                OnImmediateEffect(c);
    }
    QDialog::reject();
}

void Tconfig_form::reject()
{
    CancelClick();
}

QString Tconfig_form::AboutText()
{
    const TProductProfile& p = Profile();
    const FreeResources r = GetFreeResources();
    const QString name = QApplication::applicationName().isEmpty()
                             ? QStringLiteral("Dialwise")
                             : QApplication::applicationName();
    return name + "\r\nCopyright \u00a9 Velmora Industries. All rights reserved.\r\nVersion " +
           p.VersionParts.join('.') + "\r\n" + p.WebSite + "\r\n\r\n" +
           QString::asprintf("System = %d%%\rUser = %d%%\rGDI = %d%%", r.System, r.User, r.GDI);
}

void Tconfig_form::AboutClick()
{
    MessageDlg(AboutText(), mtInformation, mbOK, {}, this);
}

void Tconfig_form::dirfind_buttClick()
{
    if (search->Running()) { // a second click stops the search
        search->Stop();
        return;
    }
    program_dir->clear();
    searchanim->show();
    search->Start();
}

void Tconfig_form::searchDone(const QString& path)
{
    searchanim->hide();
    if (path.isEmpty()) {
        MessageDlg(KnownPlayersText() + " was not found", mtInformation, mbOK, {}, this);
        builtin_player->setChecked(true); // nothing else to play with
        return;
    }
    builtin_player->setChecked(false);
    program_dir->setText(path);
}

void Tconfig_form::other_buttClick()
{
    const QString file = OpenFileDialog("Select an alternate MP3 Player", "/usr/bin",
                                        "Programs (*)|*|All Files (*.*)|*.*", this);
    if (file.isEmpty()) return;
    builtin_player->setChecked(false);
    program_dir->setText(file);
}

void Tconfig_form::browse_buttClick()
{
    // The player is picked inside the folder; the folder is what is kept.
    const QString file =
        OpenFileDialog("Select directory containing " + KnownPlayersText(),
                       program_dir->text().isEmpty() ? "/usr/bin" : program_dir->text(),
                       "Players (" + KnownPlayers().join(' ') + ")", this);
    if (file.isEmpty()) return;
    builtin_player->setChecked(false);
    program_dir->setText(QFileInfo(file).absolutePath() + "/");
}

void Tconfig_form::demo_buttClick()
{
    MessageDlg("Your name, age, zip code and e-mail address go with the daily news request. They "
               "help us see who listens, so that we can bring the stations and features you "
               "want. Every field is optional, and nothing is shared with anyone else.",
               mtInformation, mbOK, {}, this);
}

void Tconfig_form::skinslinkClick()
{
    if (config_) OpenBrowser(config_->Link("skins").Url);
}

void Tconfig_form::RebuildSkinList()
{
    const QString current = skinpathbox->currentText();
    const bool was = loading_;
    loading_ = true;
    skinpathbox->clear();
    skinpathbox->addItems(TSkin::InstalledSkins());
    skinpathbox->setEditText(current);
    loading_ = was;
}

bool Tconfig_form::eventFilter(QObject* o, QEvent* e)
{
    if (o == skinslink && e->type() == QEvent::MouseButtonRelease) skinslinkClick();
    return QDialog::eventFilter(o, e);
}
