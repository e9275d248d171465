#include "update_form.h"

#include "config.h"
#include "debuglog.h"
#include "dialogs.h"
#include "netutils.h"
#include "platform.h"
#include "productprofile.h"
#include "registry.h"

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

} // namespace

Tupdate_form::Tupdate_form(const QString& registryKey, QWidget* parent)
    : QDialog(parent), regtimer(new QTimer(this)), key_(registryKey),
      download_(new TUpdateDownload(this))
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

    // The transfer's stages, lines and failures, shown; the questions asked here.
    connect(download_, &TUpdateDownload::pinged, this, [this](int index, int ms) {
        if (QTreeWidgetItem* item = downloadlist->topLevelItem(index)) {
            item->setText(0, QString::number(ms));
            item->setIcon(0, speedImage(PingImage(ms)));
        }
    });
    connect(download_, &TUpdateDownload::logLine, this, &Tupdate_form::Log);
    connect(download_, &TUpdateDownload::stage, proglab, &QLabel::setText);
    connect(download_, &TUpdateDownload::progress, this, &Tupdate_form::progress);
    connect(download_, &TUpdateDownload::failed, this, [this](const QString& text, bool serious) {
        platform::MessageDlg(text, serious ? platform::mtError : platform::mtInformation,
                             platform::mbOK, {}, this);
    });
    connect(download_, &TUpdateDownload::tooLarge, this, [this] {
        platform::MessageBox(QStringLiteral("The download was stopped: it passed %1 MB, more "
                                            "than any update of Dialwise.")
                                 .arg(MaxUpdateBytes >> 20),
                             "Error", platform::mbOK, platform::mtError, this);
        proglab->setText("Too large");
    });
    connect(download_, &TUpdateDownload::finished, this, &Tupdate_form::openDownload);
    download_->AskResume = [this](const QString& file) {
        return platform::MessageDlg("The file: " + file +
                                        " already exists, would you like to attempt to resume "
                                        "the download?",
                                    platform::mtConfirmation, platform::mbYesNo, {},
                                    this) == platform::mrYes;
    };
}

Tupdate_form::~Tupdate_form()
{
    // The transfer goes first: nothing it reports may reach this window's controls then.
    disconnect(download_, nullptr, this, nullptr);
    download_->AskResume = nullptr;
    download_->OnSocketError = nullptr;
    delete download_;
    qDeleteAll(infos_);
}

void Tupdate_form::showEvent(QShowEvent* e)
{
    QDialog::showEvent(e);
    if (!regtimer->isActive() && infos_.isEmpty() && verslab->text().isEmpty()) regtimer->start();
    // Socket failures of the transfers show the socket's description of the error.
    download_->OnSocketError = [this](const QString& text) {
        platform::MessageDlg(text, platform::mtError, platform::mbOK, {}, this);
    };
}

bool Tupdate_form::Downloading() const
{
    return download_->Running();
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
    QList<TDLInfo> locations;
    for (const TDLInfo* d : std::as_const(infos_))
        locations << *d;
    download_->PingAll(locations);
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
    start_.start();
    lastText_ = 0;
    // The file lands in its own folder, never among the program's files: first as a
    // partial file, renamed to a fresh name only once it is complete and verified.
    fileName_ = DownloadFileName(d->Path);
    localFile_ = UpdateFolder() + "/" + fileName_ + ".part";
    showLog();
    download_->Start(*d, localFile_);
}

// --- progress, opening, closing -----------------------------------------------------------

void Tupdate_form::progress(qint64 received, qint64 total)
{
    ProgressBar1->setValue(qBound(0, ProgressPercent(received, total), 100));
    const qint64 now = start_.elapsed();
    if (received > 0 && now - lastText_ > 999) {
        lastText_ = now;
        proglab->setText(ProgressText(received, total, now));
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
        download_->Cancel();
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
