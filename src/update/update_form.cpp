#include "update_form.h"

#include "config.h"
#include "debuglog.h"
#include "dialogs.h"
#include "ftpcli.h"
#include "httpprot.h"
#include "netconfig.h"
#include "netutils.h"
#include "platform.h"
#include "productprofile.h"
#include "registry.h"
#include "resolve.h"
#include "wsockets.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

std::function<void(int)> Tupdate_form::EndProgram = [](int code) { QCoreApplication::exit(code); };
std::function<void()> Tupdate_form::ShowConfigDialog;

namespace {

// The speed pictures: unknown, fast, middling, slow.
QIcon speedImage(int index)
{
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    const QColor colors[] = {QColor(150, 150, 150), QColor(0, 170, 0), QColor(230, 180, 0),
                             QColor(210, 0, 0)};
    const int bars = index == 0 ? 0 : 4 - index;
    for (int i = 0; i < 3; ++i) {
        const QRect r(1 + i * 5, 12 - i * 4, 4, 3 + i * 4);
        p.fillRect(r, i < bars ? colors[index] : QColor(210, 210, 210));
        p.setPen(colors[index == 0 ? 0 : index].darker(130));
        p.drawRect(r.adjusted(0, 0, -1, -1));
    }
    return QIcon(pm);
}

const char* const kAnonymousPassword = "updater@dialwise.invalid";

} // namespace

Tupdate_form::Tupdate_form(const QString& registryKey, QWidget* parent)
    : QDialog(parent), FtpClient1(new TFtpClient(this)), HttpCli1(new THttpCli(this)),
      Ping1(new TPinger(this)), regtimer(new QTimer(this)), key_(registryKey)
{
    setObjectName("update_form");
    setWindowTitle("Velmora Industries Updater 1.0");
    setModal(true);
    resize(560, 400);

    auto* root = new QVBoxLayout(this);
    auto* info = new QGridLayout;
    auto bold = [this](const QString& t) {
        auto* l = new QLabel(t, this);
        QFont f = l->font();
        f.setBold(true);
        l->setFont(f);
        return l;
    };
    verslab = new QLabel(this);
    verslab->setObjectName("verslab");
    desclab = new QLabel(this);
    desclab->setObjectName("desclab");
    desclab->setWordWrap(true);
    sizelab = new QLabel(this);
    sizelab->setObjectName("sizelab");
    info->addWidget(bold("Version:"), 0, 0, Qt::AlignTop);
    info->addWidget(verslab, 0, 1);
    info->addWidget(bold("Description:"), 1, 0, Qt::AlignTop);
    info->addWidget(desclab, 1, 1);
    info->addWidget(bold("Size:"), 2, 0, Qt::AlignTop);
    info->addWidget(sizelab, 2, 1);
    info->setColumnStretch(1, 1);
    root->addLayout(info);
    root->addWidget(new QLabel("If you are having trouble downloading this update, you can "
                               "download it directly from:",
                               this));
    updateurllab = new QLabel(this);
    updateurllab->setObjectName("updateurllab");
    updateurllab->setStyleSheet("color: blue; text-decoration: underline;");
    updateurllab->setCursor(Qt::PointingHandCursor);
    updateurllab->installEventFilter(this);
    root->addWidget(updateurllab);
    root->addWidget(bold("       Select a Download Location Below and Click Download to Start"));

    downloadlist = new QTreeWidget(this);
    downloadlist->setObjectName("downloadlist");
    downloadlist->setRootIsDecorated(false);
    downloadlist->setSelectionBehavior(QAbstractItemView::SelectRows);
    downloadlist->setHeaderLabels({"Ping", "Type", "Name", "Address"});
    downloadlist->setColumnWidth(0, 70);
    downloadlist->setColumnWidth(1, 50);
    downloadlist->setColumnWidth(2, 200);
    downloadlist->header()->setStretchLastSection(true);
    root->addWidget(downloadlist, 1);

    DebugBox1 = new QListWidget(this);
    DebugBox1->setObjectName("DebugBox1");
    DebugBox1->setFixedHeight(0);
    DebugBox1->hide();
    root->addWidget(DebugBox1);
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName("ProgressBar1");
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    root->addWidget(ProgressBar1);
    proglab = new QLabel(this);
    proglab->setObjectName("proglab");
    root->addWidget(proglab);

    auto* buttons = new QHBoxLayout;
    download_butt = new QPushButton("Download", this);
    download_butt->setObjectName("download_butt");
    QFont bf = download_butt->font();
    bf.setBold(true);
    download_butt->setFont(bf);
    download_butt->setDefault(true);
    cancel_butt = new QPushButton("Cancel", this);
    cancel_butt->setObjectName("cancel_butt");
    cancel_butt->setAutoDefault(false);
    config_butt = new QPushButton("Configure", this);
    config_butt->setObjectName("config_butt");
    config_butt->setToolTip("Configure proxy/firewall settings");
    config_butt->setAutoDefault(false);
    buttons->addWidget(config_butt);
    buttons->addStretch(1);
    buttons->addWidget(download_butt);
    buttons->addWidget(cancel_butt);
    root->addLayout(buttons);

    connect(download_butt, &QPushButton::clicked, this, &Tupdate_form::download_buttClick);
    connect(downloadlist, &QTreeWidget::itemDoubleClicked, this, [this] { download_buttClick(); });
    connect(cancel_butt, &QPushButton::clicked, this, &Tupdate_form::cancel_buttClick);
    connect(config_butt, &QPushButton::clicked, this, &Tupdate_form::config_buttClick);

    regtimer->setInterval(50);
    regtimer->setSingleShot(true);
    connect(regtimer, &QTimer::timeout, this, &Tupdate_form::regtimerTimer);

    FtpClient1->Timeout = 15;
    FtpClient1->Binary = true;
    FtpClient1->ShareMode = ftpShareExclusive;
    FtpClient1->Port = "ftp";
    Ping1->NPings = 4;
    Ping1->Timeout = 2000;
}

Tupdate_form::~Tupdate_form()
{
    FtpClient1->OnRequestDone = nullptr;
    FtpClient1->Abort();
    HttpCli1->OnDocEnd = nullptr;
    HttpCli1->OnStateChange = nullptr;
    HttpCli1->OnRequestDone = nullptr;
    HttpCli1->Abort();
    Ping1->OnReply = nullptr;
    Ping1->Stop();
    qDeleteAll(infos_);
}

void Tupdate_form::showEvent(QShowEvent* e)
{
    QDialog::showEvent(e);
    if (!regtimer->isActive() && infos_.isEmpty() && verslab->text().isEmpty()) regtimer->start();
    // Socket failures of the transfers show the socket's description of the error.
    HttpCli1->CtrlSocket()->OnError = [this](TWSocket* s) {
        platform::MessageDlg(s->LastErrorMessage().isEmpty() ? SocketErrorText(s->LastError())
                                                             : s->LastErrorMessage(),
                             platform::mtError, platform::mbOK, {}, this);
    };
}

bool Tupdate_form::Downloading() const
{
    return ftpRunning_ || HttpCli1->State() != httpReady;
}

void Tupdate_form::fail(const QString& text)
{
    platform::MessageBox(text, "Error", platform::mbOK, platform::mtError, this);
    if (EndProgram) EndProgram(1);
    done(QDialog::Rejected);
}

void Tupdate_form::regtimerTimer()
{
    if (key_.isEmpty()) {
        const QStringList args = QCoreApplication::arguments().mid(1);
        if (args.size() != 1) {
            fail("No Command Line");
            return;
        }
        key_ = args.first();
    }
    if (!TRegistry::KeyExists(key_)) {
        fail("Bad Registry Key");
        return;
    }
    verslab->setText(TRegistry::ReadString(key_, "updatever"));
    desclab->setText(TRegistry::ReadString(key_, "updatedesc"));
    sizelab->setText(TRegistry::ReadString(key_, "updatesize"));
    updateUrl_ = TRegistry::ReadString(key_, "updateurl");
    updateurllab->setText(updateUrl_);

    for (const TDLInfo& d : ReadDownloadLocations(key_)) {
        auto* info = new TDLInfo(d);
        infos_ << info;
        auto* it = new QTreeWidgetItem(downloadlist, {"???", d.Proto, d.Desc, d.URL});
        it->setIcon(0, speedImage(0));
        it->setData(0, Qt::UserRole, QVariant::fromValue<void*>(info));
    }
    if (downloadlist->topLevelItemCount() > 0)
        downloadlist->setCurrentItem(downloadlist->topLevelItem(0));
    pingIndex_ = -1;
    pingNext();
    // Scripted runs (tests, demos) have no one to pick: DIALWISE_UPDATER=download takes
    // the first location, DIALWISE_UPDATER=close closes the window.
    const QByteArray script = qgetenv("DIALWISE_UPDATER");
    if (script == "download")
        QTimer::singleShot(0, this, &Tupdate_form::download_buttClick);
    else if (script == "close")
        QTimer::singleShot(0, this, [this] { done(QDialog::Rejected); });
}

TDLInfo* Tupdate_form::Location(QTreeWidgetItem* item) const
{
    return item ? static_cast<TDLInfo*>(item->data(0, Qt::UserRole).value<void*>()) : nullptr;
}

void Tupdate_form::pingNext()
{
    ++pingIndex_;
    QTreeWidgetItem* it = downloadlist->topLevelItem(pingIndex_);
    if (!it) return;
    const QString host = Location(it)->Host;
    const int index = pingIndex_;
    auto answered = [this, index](int ms) {
        if (QTreeWidgetItem* item = downloadlist->topLevelItem(index)) {
            item->setText(0, QString::number(ms));
            item->setIcon(0, speedImage(PingImage(ms)));
        }
        pingNext();
    };
    Ping1->OnReply = [answered](TPinger* p) { answered(p->AverageTime()); };
    auto start = [this, answered](const QString& address) {
        if (address.isEmpty()) {
            answered(9999);
            return;
        }
        Ping1->Host = address;
        Ping1->Ping();
    };
    ResolveIPv4(host, this, start);
}

void Tupdate_form::Log(const QString& text)
{
    const QDateTime now = QDateTime::currentDateTime();
    DebugBox1->insertItem(0,
                          now.toString("yyyy-MM-dd") + " " + now.toString("HH:mm:ss") + " " + text);
    while (DebugBox1->count() > MaxLogLines)
        delete DebugBox1->takeItem(DebugBox1->count() - 1);
}

void Tupdate_form::showLog()
{
    DebugBox1->setFixedHeight(75);
    DebugBox1->show();
}

void Tupdate_form::download_buttClick()
{
    if (Downloading()) {
        if (platform::MessageDlg("A download is in progress, do you wish to cancel it?",
                                 platform::mtConfirmation, platform::mbYesNoCancel, {},
                                 this) == platform::mrYes)
            cancel_buttClick();
        return;
    }
    TDLInfo* d = Location(downloadlist->currentItem());
    if (!d) {
        platform::MessageBox("You must select a download location", "Error", platform::mbOK,
                             platform::mtError, this);
        return;
    }
    received_ = 0;
    total_ = 0;
    aborting_ = false;
    start_.start();
    lastText_ = 0;
    // The file lands in its own folder, never among the program's files: first as a
    // partial file, renamed to a fresh name only once it is complete and verified.
    fileName_ = DownloadFileName(d->Path);
    localFile_ = UpdateFolder() + "/" + fileName_ + ".part";
    if (d->Proto.toUpper() == "FTP")
        ftpDownload(d);
    else
        httpDownload(d);
}

// --- HTTP ---------------------------------------------------------------------------------

void Tupdate_form::httpDownload(TDLInfo* d)
{
    HttpCli1->URL = d->URL;
    showLog();
    HttpCli1->Reference = Profile().WebSite + "/download/";
    ApplyProxy(*HttpCli1);
    HttpCli1->OnHeaderData = [this](THttpCli* h) {
        if (!h->RcvdHeader().isEmpty()) Log(h->RcvdHeader().last());
    };
    HttpCli1->OnHeaderEnd = [this](THttpCli* h) {
        for (const QString& line : h->RcvdHeader()) {
            const QString l = line.toLower();
            if (!l.contains("content-length")) continue;
            bool ok = false;
            const qint64 n = l.mid(l.indexOf(':') + 1).trimmed().toLongLong(&ok);
            total_ = ok ? n : 0;
        }
    };
    HttpCli1->OnDocBegin = [this](THttpCli* h) {
        proglab->setText("DATA");
        QFile::remove(localFile_); // an older partial file of ours, or a link planted there
        httpFile_ = std::make_unique<QFile>(localFile_);
        if (!httpFile_->open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            httpFile_.reset();
            platform::MessageDlg("The local file cannot be created", platform::mtError,
                                 platform::mbOK, {}, this);
            aborting_ = true;
            h->Abort();
            return;
        }
        h->RcvdStream = httpFile_.get();
    };
    HttpCli1->OnDocData = [this](THttpCli*, const char*, int len) {
        received_ += len;
        progress();
    };
    HttpCli1->OnDocEnd = [this](THttpCli* h) {
        h->RcvdStream = nullptr;
        if (httpFile_) httpFile_->close();
        const bool ok = httpFile_ && received_ > 0 && !aborting_ && h->StatusCode() <= 400;
        httpFile_.reset();
        if (ok)
            QTimer::singleShot(0, this, [this] { openDownload(); });
        else
            QFile::remove(localFile_); // an error page is no update
    };
    HttpCli1->OnStateChange = [this](THttpCli* h) {
        const QString url = h->URL;
        switch (h->State()) {
        case httpReady:
            proglab->setText("DONE");
            if (h->StatusCode() > 400)
                platform::MessageDlg(h->ReasonPhrase(), platform::mtError, platform::mbOK, {},
                                     this);
            break;
        case httpConnected:
        case httpWaitingHeader:
            proglab->setText("HEADER " + url);
            break;
        case httpDnsLookupDone:
            proglab->setText("CONNECTING " + url);
            break;
        case httpWaitingBody:
            proglab->setText("WAIT BODY " + url);
            break;
        case httpAborting:
            proglab->setText("ABORTING " + url);
            break;
        case httpNotConnected:
        case httpDnsLookup:
            proglab->setText("DNS " + url);
            break;
        }
    };
    try {
        HttpCli1->GetAsync();
    } catch (const std::exception& e) {
        platform::MessageDlg(QString::fromLocal8Bit(e.what()), platform::mtError, platform::mbOK,
                             {}, this);
    }
}

// --- FTP ----------------------------------------------------------------------------------

void Tupdate_form::ftpDownload(TDLInfo* d)
{
    const qsizetype slash = d->Path.lastIndexOf('/');
    FtpClient1->HostName = d->Host;
    FtpClient1->Port = d->Port.isEmpty() ? QStringLiteral("ftp") : d->Port;
    FtpClient1->HostDirName = slash >= 0 ? d->Path.left(slash + 1) : QStringLiteral("/");
    FtpClient1->HostFileName = d->Path.mid(slash + 1);
    FtpClient1->LocalFileName = localFile_;
    FtpClient1->UserName = d->User.isEmpty() ? QStringLiteral("anonymous") : d->User;
    FtpClient1->PassWord = d->Pass.isEmpty() ? QString::fromLatin1(kAnonymousPassword) : d->Pass;
    showLog();
    FtpClient1->OnDisplay = [this](TFtpClient*, const QString& l) { Log(l); };
    FtpClient1->OnProgress = [this](TFtpClient*, qint64 n) {
        received_ = n;
        progress();
    };
    FtpClient1->OnRequestDone = [this](TFtpClient*, TFtpRequest r, int e) { ftpRequestDone(r, e); };
    ftpRunning_ = true;
    proglab->setText("CONNECTING " + d->URL);
    FtpClient1->ConnectAsync();
}

void Tupdate_form::ftpRequestDone(int request, int error)
{
    switch (request) {
    case ftpConnectAsync:
        if (error || !FtpClient1->Connected()) {
            ftpRunning_ = false;
            FtpClient1->Abort();
            platform::MessageDlg("Unable to connect to FTP server, please try another site",
                                 platform::mtInformation, platform::mbOK, {}, this);
            return;
        }
        FtpClient1->CwdAsync();
        return;
    case ftpCwdAsync:
    case ftpTypeSetAsync:
    case ftpSizeAsync:
        if (error) {
            ftpRunning_ = false;
            platform::MessageDlg("FTP Error, please try another site", platform::mtInformation,
                                 platform::mbOK, {}, this);
            if (FtpClient1->Connected()) FtpClient1->QuitAsync();
            return;
        }
        if (request == ftpCwdAsync) {
            FtpClient1->TypeSetAsync();
        } else if (request == ftpTypeSetAsync) {
            FtpClient1->SizeAsync();
        } else {
            total_ = FtpClient1->SizeResult();
            if (QFileInfo::exists(localFile_) &&
                platform::MessageDlg("The file: " + localFile_ +
                                         " already exists, would you like to attempt to resume "
                                         "the download?",
                                     platform::mtConfirmation, platform::mbYesNo, {},
                                     this) == platform::mrYes)
                FtpClient1->RestartGetAsync();
            else
                FtpClient1->GetAsync();
        }
        return;
    case ftpGetAsync:
    case ftpRestartGetAsync: {
        ftpRunning_ = false;
        // A server that says the transfer is complete while fewer bytes came than it
        // announced has failed, whatever its reply.
        const qint64 got = QFileInfo(localFile_).size();
        QString why;
        if (error)
            why = FtpClient1->ErrorMessage.isEmpty() ? QStringLiteral("the transfer failed")
                                                     : FtpClient1->ErrorMessage;
        if (!error && total_ > 0 && got < total_)
            why = QStringLiteral("the transfer ended after %1 of %2 bytes").arg(got).arg(total_);
        if (!why.isEmpty()) {
            // The control connection goes too, so that the next try starts afresh; a
            // partial file with something in it stays for resuming.
            FtpClient1->Abort();
            if (got == 0) QFile::remove(localFile_);
            platform::MessageDlg("FTP Error: " + why, platform::mtError, platform::mbOK, {}, this);
            proglab->setText("FTP Error");
            return;
        }
        if (FtpClient1->Connected()) FtpClient1->QuitAsync();
        QTimer::singleShot(0, this, [this] { openDownload(); });
        return;
    }
    default:
        return;
    }
}

// --- progress, opening, closing -----------------------------------------------------------

void Tupdate_form::progress()
{
    if (received_ > MaxUpdateBytes && !aborting_) {
        // No installer is that large: a server that sends without end is stopped.
        aborting_ = true;
        ftpRunning_ = false;
        FtpClient1->Abort();
        HttpCli1->Abort();
        QFile::remove(localFile_);
        platform::MessageBox(QStringLiteral("The download was stopped: it passed %1 MB, more "
                                            "than any update of Dialwise.")
                                 .arg(MaxUpdateBytes >> 20),
                             "Error", platform::mbOK, platform::mtError, this);
        proglab->setText("Too large");
        return;
    }
    ProgressBar1->setValue(qBound(0, ProgressPercent(received_, total_), 100));
    const qint64 now = start_.elapsed();
    if (received_ > 0 && now - lastText_ > 999) {
        lastText_ = now;
        proglab->setText(ProgressText(received_, total_, now));
    }
}

void Tupdate_form::refuse(const QString& text, const QString& status)
{
    Log(status + ": " + localFile_);
    DebugLog("Update refused: " + status, dcErrOut);
    QFile::remove(localFile_);
    platform::MessageBox(text, "Error", platform::mbOK, platform::mtError, this);
    proglab->setText(status);
}

void Tupdate_form::openDownload()
{
    // A sum pushed with the announcement must match before anything is opened.
    const QString sum = TRegistry::ReadString(key_, "updatesha256").trimmed();
    if (!sum.isEmpty() && !FileMatchesSha256(localFile_, sum)) {
        refuse("The downloaded file " + fileName_ +
                   " does not match the announced checksum and was not opened. "
                   "Please try another site.",
               "Checksum mismatch");
        return;
    }
    // Only a file signed with a trusted key is placed and opened.
    const TSignatureCheck check =
        CheckUpdateSignature(localFile_, TRegistry::ReadString(key_, "updatesig"));
    if (check != TSignatureCheck::Good) {
        refuse(SignatureProblemText(check), "Signature refused");
        return;
    }
    const QString placed = FreshFileName(QFileInfo(localFile_).absolutePath(), fileName_);
    if (!QFile::rename(localFile_, placed)) {
        refuse("The downloaded update could not be saved as " + placed + ".", "Not saved");
        return;
    }
    localFile_ = placed;
    Log("Verified and saved: " + placed);
    DebugLog("Update placed: " + placed);
    proglab->setText("DONE");
    if (!platform::OpenUrl(QUrl::fromLocalFile(localFile_).toString())) {
        platform::MessageBox("Unable to open " + localFile_, "Error", platform::mbOK,
                             platform::mtError, this);
        return;
    }
    if (EndProgram) EndProgram(0);
    done(QDialog::Accepted);
}

void Tupdate_form::cancel_buttClick()
{
    if (Downloading()) {
        aborting_ = true;
        ftpRunning_ = false;
        FtpClient1->Abort();
        HttpCli1->Abort();
        proglab->setText("Cancelled");
        return;
    }
    if (platform::MessageDlg("Are you sure you want to close the updater?",
                             platform::mtConfirmation, platform::mbYesNoCancel, {},
                             this) == platform::mrYes)
        done(QDialog::Rejected);
}

void Tupdate_form::reject()
{
    cancel_buttClick(); // Escape asks as Cancel does
}

void Tupdate_form::closeEvent(QCloseEvent* e)
{
    e->ignore();
    cancel_buttClick();
}

bool Tupdate_form::eventFilter(QObject* o, QEvent* e)
{
    if (o == updateurllab && e->type() == QEvent::MouseButtonRelease) updateurllabClick();
    return QDialog::eventFilter(o, e);
}

void Tupdate_form::updateurllabClick()
{
    if (!updateUrl_.isEmpty()) OpenBrowser(updateUrl_);
}

void Tupdate_form::config_buttClick()
{
    if (ShowConfigDialog) ShowConfigDialog();
}
