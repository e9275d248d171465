#include "dcc_form.h"
#include "chat_form.h"
#include "chatmodule.h"
#include "debuglog.h"
#include "dialogs.h"
#include "ircclient.h"
#include "skins.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>

namespace {
const char* const Filter = "All Files (*.*)|*.*";
int g_windows = 0; // transfer windows that exist
int g_asking = 0;  // offers whose question is open

qint64 nowMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid()) clock.start();
    return clock.elapsed() + 1;
}
} // namespace

Tdcc_form::Tdcc_form(QWidget* owner) : QWidget(owner, Qt::Dialog | Qt::WindowStaysOnTopHint)
{
    setObjectName("dcc_form");
    setWindowTitle("DCC Connection");
    auto* lay = new QVBoxLayout(this);
    lay->setContentsMargins(10, 10, 10, 10);
    lay->setSpacing(6);
    filelabel = new QLabel("File: ", this);
    filelabel->setTextFormat(Qt::PlainText);
    filelabel->setMinimumWidth(380);
    lay->addWidget(filelabel);
    auto* st = new QHBoxLayout;
    st->addWidget(new QLabel("Status:", this));
    status = new QLabel(" Waiting for Connection", this);
    st->addWidget(status, 1);
    lay->addLayout(st);
    auto* bar = new QHBoxLayout;
    bar->addWidget(new QLabel("0%", this));
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setRange(0, 1);
    ProgressBar1->setValue(0);
    bar->addWidget(ProgressBar1, 1);
    bar->addWidget(new QLabel("100%", this));
    lay->addLayout(bar);
    speed = new QLabel(this);
    time = new QLabel(this);
    lay->addWidget(speed);
    lay->addWidget(time);
    auto* bottom = new QHBoxLayout;
    close_dcc = new QCheckBox("Close DCC window when done", this);
    close_butt = new QPushButton("Cancel", this);
    bottom->addWidget(close_dcc, 1);
    bottom->addWidget(close_butt);
    lay->addLayout(bottom);
    setFixedSize(sizeHint().expandedTo(QSize(420, 0)));

    const TSkinColors& c = Skin().Colors();
    QPalette p = palette();
    p.setColor(QPalette::Window, c.Primary);
    p.setColor(QPalette::WindowText, c.PrimaryFont);
    setPalette(p);
    setAutoFillBackground(true);

    connect(close_butt, &QPushButton::clicked, this, &Tdcc_form::close_buttClick);
    Transfer.OnStatus = [this](const QString& s) { status->setText(s); };
    Transfer.OnProgress = [this] { UpdateProgress(); };
    Transfer.OnDone = [this] { finished(); };
    // The messages do not wait for the user: the transfer's events come from the loop.
    Transfer.OnError = [this](const QString& msg) {
        status->setText("Error");
        platform::MessageDlgAsync(msg, platform::mtError, platform::mbOK, "Error", this, this,
                                  nullptr);
        finished();
    };
    Transfer.OnSenderClosed = [this] {
        close_butt->setText("Close");
        platform::MessageDlgAsync("Sender closed file transfer", platform::mtError, platform::mbOK,
                                  "Error", this, this, [this](int) { close(); });
    };
    ++g_windows;
}

Tdcc_form::~Tdcc_form()
{
    --g_windows;
    if (asking_) --g_asking;
}

int Tdcc_form::OpenWindows()
{
    return g_windows;
}

int Tdcc_form::OpenQuestions()
{
    return g_asking;
}

bool Tdcc_form::OfferFile(TIRCClient* client, const QString& nick)
{
    Transfer.PeerNick = nick;
    show();
    const QString path =
        platform::OpenFileDialog("Send a file to " + nick, QDir::homePath(), Filter, this);
    if (path.isEmpty()) {
        // Nothing was offered yet: closing needs no confirmation.
        Transfer.FileName.clear();
        Transfer.Done = true;
        close();
        return false;
    }
    const QString announce =
        dcc::AnnounceAddress(client ? client->Socket().GetXAddr() : QString(), LocalIPList());
    QString error;
    if (!Transfer.StartSending(path, announce, error)) {
        platform::MessageDlg(error, platform::mtError, platform::mbOK, "Error", this);
        Transfer.Done = true;
        close();
        return false;
    }
    filelabel->setText("File: " + path + " (" + nick + ")");
    if (client) client->CTCPQuery(nick, "DCC SEND", Transfer.OfferArguments());
    return true;
}

void Tdcc_form::ReceiveOffer(const TDccOffer& offer)
{
    Transfer.FileName = dcc::SafeFileName(offer.FileName);
    Transfer.PeerAddress = offer.Address;
    Transfer.PeerPort = offer.Port;
    Transfer.FileSize = offer.Size;
    Transfer.PeerNick = offer.Nick;
    filelabel->setText("File: " + Transfer.FileName + " (" + offer.Nick + ")");
    status->setText(" Waiting for your answer");
    show();
    const QString question =
        offer.Nick + " wants to send you " + Transfer.FileName +
        "\r\nDo you want to accept it?\r\n\r\nWARNING: Files from strangers may contain "
        "viruses.\r\nDo NOT accept files from someone you do not trust.";
    // Asked without waiting: the chat goes on (and answers the server) meanwhile.
    asking_ = true;
    ++g_asking;
    platform::MessageDlgAsync(question, platform::mtConfirmation, platform::mbYesNo, {}, this, this,
                              [this](int answer) { answered(answer); });
}

void Tdcc_form::answered(int answer)
{
    if (asking_) {
        asking_ = false;
        --g_asking;
    }
    if (answer != platform::mrYes || Transfer.Done) {
        Transfer.Done = true; // declined: nothing to confirm
        close();
        return;
    }
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    QPointer<Tdcc_form> self(this);
    const QString path = platform::SaveFileDialog(
        "Save " + Transfer.FileName, QDir(folder).filePath(Transfer.FileName), Filter, this);
    if (!self) return;
    if (path.isEmpty() || Transfer.Done) {
        Transfer.Done = true;
        close();
        return;
    }
    filelabel->setText("File: " + path + " (" + Transfer.PeerNick + ")");
    status->setText(" Waiting for Connection");
    QString error;
    if (!Transfer.StartReceiving(path, error)) {
        status->setText("Error");
        Transfer.Done = true;
        close_butt->setText("Close");
        platform::MessageDlgAsync(error, platform::mtError, platform::mbOK, "Error", this, this,
                                  nullptr);
    }
}

void Tdcc_form::UpdateProgress()
{
    if (!showTimer_) {
        showTimer_ = new QTimer(this);
        showTimer_->setSingleShot(true);
        showTimer_->setInterval(ShowEveryMs);
        connect(showTimer_, &QTimer::timeout, this, &Tdcc_form::ShowProgress);
    }
    if (!showTimer_->isActive()) showTimer_->start();
}

void Tdcc_form::ShowProgress()
{
    if (showTimer_) showTimer_->stop();
    speed->setText(dcc::SpeedText(Transfer.Transferred, Transfer.FileSize));
    const qint64 now = nowMs();
    if (now - LastTimeUpdate > 1000) {
        LastTimeUpdate = now;
        time->setText(dcc::TimeText(Transfer.Transferred, Transfer.FileSize, Transfer.ElapsedMs()));
    }
    // The bar counts kilobytes so that every 32-bit size fits its range.
    ProgressBar1->setRange(0, int(std::max<qint64>(1, Transfer.FileSize / 1024)));
    ProgressBar1->setValue(int(Transfer.Transferred / 1024));
}

void Tdcc_form::finished()
{
    close_butt->setText("Close");
    if (Transfer.Transferred == Transfer.FileSize) ShowProgress();
    if (close_dcc->isChecked()) close();
}

void Tdcc_form::close_buttClick()
{
    close();
}

void Tdcc_form::closeEvent(QCloseEvent* e)
{
    if (!Transfer.Done && !asking_) {
        QPointer<Tdcc_form> self(this);
        const int answer =
            platform::MessageDlg("Are you sure you want to close this DCC connection?",
                                 platform::mtConfirmation, platform::mbYesNo, {}, this);
        if (!self) return;
        if (answer != platform::mrYes) {
            e->ignore();
            return;
        }
    }
    // Closing while the offer's question is open declines it.
    Transfer.Done = true;
    Transfer.Cancel();
    // Hidden; a window the chat made (deleted on close) is freed once this returns.
    e->accept();
}

void InstallDccTransfers(TChatModule* module, QWidget* owner)
{
    QPointer<QWidget> own(owner);
    module->OnDccOffer = [own](const TDccOffer& offer) {
        // A flood of offers opens a bounded number of windows; the rest are dropped.
        if (Tdcc_form::OpenQuestions() >= Tdcc_form::MaxOpenQuestions ||
            Tdcc_form::OpenWindows() >= Tdcc_form::MaxOpenWindows) {
            DebugLog("File offer from " + offer.Nick + " dropped: too many transfers open",
                     dcErrOut);
            return;
        }
        auto* w = new Tdcc_form(own);
        w->setAttribute(Qt::WA_DeleteOnClose);
        w->ReceiveOffer(offer);
    };
    // The transfer's window belongs to the main window, not to the chat window: leaving
    // the channel does not end the transfer.
    Tchat_form::SendFileHook() = [own](Tchat_form* chat, const QString& nick) {
        if (Tdcc_form::OpenWindows() >= Tdcc_form::MaxOpenWindows) {
            chat->AddLine("*** Too many file transfers are open; close one first", lkSystem);
            return;
        }
        TIRCClient* client = chat->Client;
        auto* w = new Tdcc_form(own);
        w->setAttribute(Qt::WA_DeleteOnClose);
        w->OfferFile(client, nick);
    };
}
