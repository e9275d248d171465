#include "updatedownload.h"
#include "ftpcli.h"
#include "httpprot.h"
#include "netconfig.h"
#include "productprofile.h"
#include "resolve.h"
#include "socketerrors.h"
#include "wsockets.h"

#include <QFile>
#include <QFileInfo>
#include <QTimer>

namespace {
const char* const kAnonymousPassword = "updater@dialwise.invalid";
}

TUpdateDownload::TUpdateDownload(QObject* parent)
    : QObject(parent), ftp_(new TFtpClient(this)), http_(new THttpCli(this)),
      ping_(new TPinger(this))
{
    ftp_->Timeout = 15;
    ftp_->Binary = true;
    ftp_->ShareMode = ftpShareExclusive;
    ftp_->Port = "ftp";
    ping_->NPings = 4;
    ping_->Timeout = 2000;
    http_->CtrlSocket()->OnError = [this](TWSocket* s) {
        if (OnSocketError)
            OnSocketError(s->LastErrorMessage().isEmpty() ? SocketErrorText(s->LastError())
                                                          : s->LastErrorMessage());
    };
}

TUpdateDownload::~TUpdateDownload()
{
    ftp_->OnRequestDone = nullptr;
    ftp_->Abort();
    http_->CtrlSocket()->OnError = nullptr;
    http_->OnDocEnd = nullptr;
    http_->OnStateChange = nullptr;
    http_->OnRequestDone = nullptr;
    http_->Abort();
    http_->RcvdStream = nullptr;
    ping_->OnReply = nullptr;
    ping_->Stop();
}

bool TUpdateDownload::Running() const
{
    return ftpRunning_ || http_->State() != httpReady;
}

// --- pings --------------------------------------------------------------------------------

void TUpdateDownload::PingAll(const QList<TDLInfo>& locations)
{
    pingList_ = locations;
    pingIndex_ = -1;
    pingNext();
}

void TUpdateDownload::pingNext()
{
    ++pingIndex_;
    if (pingIndex_ >= pingList_.size()) return;
    const int index = pingIndex_;
    auto answered = [this, index](int ms) {
        emit pinged(index, ms);
        pingNext();
    };
    ping_->OnReply = [answered](TPinger* p) { answered(p->AverageTime()); };
    auto start = [this, answered](const QString& address) {
        if (address.isEmpty()) {
            answered(9999);
            return;
        }
        ping_->Host = address;
        ping_->Ping();
    };
    ResolveIPv4(pingList_[index].Host, this, start);
}

// --- the transfer -------------------------------------------------------------------------

void TUpdateDownload::Start(const TDLInfo& d, const QString& localFile)
{
    received_ = 0;
    total_ = 0;
    aborting_ = false;
    localFile_ = localFile;
    if (d.Proto.toUpper() == "FTP")
        ftpDownload(d);
    else
        httpDownload(d);
}

void TUpdateDownload::Cancel()
{
    aborting_ = true;
    ftpRunning_ = false;
    ftp_->Abort();
    http_->Abort();
}

void TUpdateDownload::received(qint64 count)
{
    received_ = count;
    if (received_ > MaxUpdateBytes && !aborting_) {
        // No installer is that large: a server that sends without end is stopped.
        Cancel();
        QFile::remove(localFile_);
        emit tooLarge();
        return;
    }
    emit progress(received_, total_);
}

void TUpdateDownload::httpDownload(const TDLInfo& d)
{
    http_->URL = d.URL;
    http_->Reference = Profile().WebSite + "/download/";
    ApplyProxy(*http_);
    http_->OnHeaderData = [this](THttpCli* h) {
        if (!h->RcvdHeader().isEmpty()) emit logLine(h->RcvdHeader().last());
    };
    http_->OnHeaderEnd = [this](THttpCli* h) {
        for (const QString& line : h->RcvdHeader()) {
            const QString l = line.toLower();
            if (!l.contains("content-length")) continue;
            bool ok = false;
            const qint64 n = l.mid(l.indexOf(':') + 1).trimmed().toLongLong(&ok);
            total_ = ok ? n : 0;
        }
    };
    http_->OnDocBegin = [this](THttpCli* h) {
        emit stage("DATA");
        QFile::remove(localFile_); // an older partial file of ours, or a link planted there
        httpFile_ = std::make_unique<QFile>(localFile_);
        if (!httpFile_->open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            httpFile_.reset();
            emit failed("The local file cannot be created", true);
            aborting_ = true;
            h->Abort();
            return;
        }
        h->RcvdStream = httpFile_.get();
    };
    http_->OnDocData = [this](THttpCli*, const char*, int len) { received(received_ + len); };
    http_->OnDocEnd = [this](THttpCli* h) {
        h->RcvdStream = nullptr;
        if (httpFile_) httpFile_->close();
        const bool ok = httpFile_ && received_ > 0 && !aborting_ && h->StatusCode() <= 400;
        httpFile_.reset();
        if (ok)
            QTimer::singleShot(0, this, &TUpdateDownload::finished);
        else
            QFile::remove(localFile_); // an error page is no update
    };
    http_->OnStateChange = [this](THttpCli* h) {
        const QString url = h->URL;
        switch (h->State()) {
        case httpReady:
            emit stage("DONE");
            if (h->StatusCode() > 400) emit failed(h->ReasonPhrase(), true);
            break;
        case httpConnected:
        case httpWaitingHeader:
            emit stage("HEADER " + url);
            break;
        case httpDnsLookupDone:
            emit stage("CONNECTING " + url);
            break;
        case httpWaitingBody:
            emit stage("WAIT BODY " + url);
            break;
        case httpAborting:
            emit stage("ABORTING " + url);
            break;
        case httpNotConnected:
        case httpDnsLookup:
            emit stage("DNS " + url);
            break;
        }
    };
    try {
        http_->GetAsync();
    } catch (const std::exception& e) {
        emit failed(QString::fromLocal8Bit(e.what()), true);
    }
}

void TUpdateDownload::ftpDownload(const TDLInfo& d)
{
    const qsizetype slash = d.Path.lastIndexOf('/');
    ftp_->HostName = d.Host;
    ftp_->Port = d.Port.isEmpty() ? QStringLiteral("ftp") : d.Port;
    ftp_->HostDirName = slash >= 0 ? d.Path.left(slash + 1) : QStringLiteral("/");
    ftp_->HostFileName = d.Path.mid(slash + 1);
    ftp_->LocalFileName = localFile_;
    ftp_->UserName = d.User.isEmpty() ? QStringLiteral("anonymous") : d.User;
    ftp_->PassWord = d.Pass.isEmpty() ? QString::fromLatin1(kAnonymousPassword) : d.Pass;
    ftp_->OnDisplay = [this](TFtpClient*, const QString& l) { emit logLine(l); };
    ftp_->OnProgress = [this](TFtpClient*, qint64 n) { received(n); };
    ftp_->OnRequestDone = [this](TFtpClient*, TFtpRequest r, int e) { ftpRequestDone(r, e); };
    ftpRunning_ = true;
    emit stage("CONNECTING " + d.URL);
    ftp_->ConnectAsync();
}

void TUpdateDownload::ftpRequestDone(int request, int error)
{
    switch (request) {
    case ftpConnectAsync:
        if (error || !ftp_->Connected()) {
            ftpRunning_ = false;
            ftp_->Abort();
            emit failed("Unable to connect to FTP server, please try another site", false);
            return;
        }
        ftp_->CwdAsync();
        return;
    case ftpCwdAsync:
    case ftpTypeSetAsync:
    case ftpSizeAsync:
        if (error) {
            ftpRunning_ = false;
            emit failed("FTP Error, please try another site", false);
            if (ftp_->Connected()) ftp_->QuitAsync();
            return;
        }
        if (request == ftpCwdAsync) {
            ftp_->TypeSetAsync();
        } else if (request == ftpTypeSetAsync) {
            ftp_->SizeAsync();
        } else {
            total_ = ftp_->SizeResult();
            if (QFileInfo::exists(localFile_) && AskResume && AskResume(localFile_))
                ftp_->RestartGetAsync();
            else
                ftp_->GetAsync();
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
            why = ftp_->ErrorMessage.isEmpty() ? QStringLiteral("the transfer failed")
                                               : ftp_->ErrorMessage;
        if (!error && total_ > 0 && got < total_)
            why = QStringLiteral("the transfer ended after %1 of %2 bytes").arg(got).arg(total_);
        if (!why.isEmpty()) {
            // The control connection goes too, so that the next try starts afresh; a
            // partial file with something in it stays for resuming.
            ftp_->Abort();
            if (got == 0) QFile::remove(localFile_);
            emit stage("FTP Error");
            emit failed("FTP Error: " + why, true);
            return;
        }
        if (ftp_->Connected()) ftp_->QuitAsync();
        QTimer::singleShot(0, this, &TUpdateDownload::finished);
        return;
    }
    default:
        return;
    }
}
