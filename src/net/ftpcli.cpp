#include "ftpcli.h"

#include "debuglog.h"
#include "socketerrors.h"

#include <QFileInfo>
#include <QPointer>
#include <QTimer>

#include <sys/file.h>
#include <unistd.h>

// ---------------------------------------------------------------------------------------
// Reply parser

void TFtpReplyParser::Reset()
{
    buf_.clear();
    code_ = 0;
    lines_ = 0;
    error_.clear();
}

bool TFtpReplyParser::Feed(const char* data, int len)
{
    if (!error_.isEmpty()) return false;
    if (len <= 0) return true;
    buf_.append(data, len);
    qsizetype start = 0;
    for (;;) {
        qsizetype nl = buf_.indexOf('\n', start);
        if (nl < 0) break;
        qsizetype end = nl;
        if (end > start && buf_[end - 1] == '\r') --end;
        if (end - start > MaxLineLength) {
            error_ = QStringLiteral("Reply line too long");
            buf_.clear();
            return false;
        }
        if (!line(buf_.mid(start, end - start))) {
            buf_.clear();
            return false;
        }
        start = nl + 1;
    }
    buf_.remove(0, start);
    if (buf_.size() > MaxLineLength) {
        error_ = QStringLiteral("Reply line too long");
        buf_.clear();
        return false;
    }
    return true;
}

static int replyCode(const QByteArray& l)
{
    if (l.size() < 3) return 0;
    for (int i = 0; i < 3; ++i)
        if (l[i] < '0' || l[i] > '9') return 0;
    if (l[0] < '1' || l[0] > '5') return 0;
    return (l[0] - '0') * 100 + (l[1] - '0') * 10 + (l[2] - '0');
}

bool TFtpReplyParser::line(const QByteArray& raw)
{
    const QString text = QString::fromLatin1(raw);
    const int code = replyCode(raw);
    const char sep = raw.size() > 3 ? raw[3] : ' ';
    if (code_ == 0) {
        if (code == 0 || (sep != ' ' && sep != '-')) {
            error_ = QStringLiteral("Invalid reply: ") + text.left(80);
            return false;
        }
        if (OnLine) OnLine(text);
        if (sep == '-') {
            code_ = code;
            lines_ = 1;
            return true;
        }
        if (OnReply) OnReply(code, text);
        return true;
    }
    // Inside a multi-line reply: it ends at a line with the same code and a blank.
    if (++lines_ > MaxReplyLines) {
        error_ = QStringLiteral("Reply too long");
        return false;
    }
    if (OnLine) OnLine(text);
    if (code == code_ && sep == ' ') {
        code_ = 0;
        lines_ = 0;
        if (OnReply) OnReply(code, text);
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Client

TFtpClient::TFtpClient(QObject* parent)
    : QObject(parent), ctrl_(new TWSocket(this)), timer_(new QTimer(this))
{
    timer_->setSingleShot(true);
    connect(timer_, &QTimer::timeout, this, &TFtpClient::timedOut);
    ctrl_->OnDnsLookupDone = [this](TWSocket*, quint16 e) { lookupDone(e); };
    ctrl_->OnSessionConnected = [this](TWSocket*, quint16 e) { connected(e); };
    ctrl_->OnDataAvailable = [this](TWSocket*, quint16) { controlData(); };
    ctrl_->OnSessionClosed = [this](TWSocket*, quint16 e) { controlClosed(e); };
}

TFtpClient::~TFtpClient()
{
    request_ = ftpNoRequest;
    ctrl_->OnSessionClosed = nullptr;
    closeData();
    closeFile(false);
}

bool TFtpClient::Connected() const
{
    return ctrl_->State() == wsConnected;
}

void TFtpClient::display(const QString& line)
{
    if (auto f = OnDisplay) f(this, line);
}

void TFtpClient::restartTimer()
{
    if (request_ != ftpNoRequest && Timeout > 0) timer_->start(Timeout * 1000);
}

bool TFtpClient::begin(TFtpRequest r)
{
    auto refuse = [this, r](int error, const QString& message) {
        // Reported from the loop, never from inside the call that asked.
        QPointer<TFtpClient> self(this);
        QTimer::singleShot(0, this, [self, r, error, message] {
            if (!self) return;
            self->ErrorMessage = message;
            if (auto f = self->OnRequestDone) f(self, r, error);
        });
    };
    if (request_ != ftpNoRequest) {
        refuse(ftpErrBusy, QStringLiteral("Busy"));
        return false;
    }
    if (r != ftpConnectAsync && !Connected()) {
        refuse(ftpErrNotConnected, QStringLiteral("Not connected"));
        return false;
    }
    if (r == ftpConnectAsync && ctrl_->State() != wsClosed) {
        refuse(ftpErrBusy, QStringLiteral("Already connected"));
        return false;
    }
    request_ = r;
    ErrorMessage.clear();
    steps_.clear();
    stepIndex_ = 0;
    restartTimer();
    return true;
}

bool TFtpClient::runSteps(std::vector<Step> steps)
{
    steps_ = std::move(steps);
    stepIndex_ = 0;
    if (!steps_.empty() && !steps_[0].Command.isEmpty()) return sendCommand(steps_[0].Command);
    return true;
}

bool TFtpClient::sendCommand(const QString& cmd)
{
    // The display and a failure reach the caller, who may free this client in them.
    QPointer<TFtpClient> self(this);
    // A line break inside a name would smuggle in a command of its own.
    if (cmd.contains('\r') || cmd.contains('\n') || cmd.contains(QChar(0))) {
        fail(ftpErrProtocol, QStringLiteral("A line break in a command argument was refused"));
        return false;
    }
    const Step& s = steps_[stepIndex_];
    display("> " + (s.Shown.isEmpty() ? cmd : s.Shown));
    if (!self) return false;
    restartTimer();
    ctrl_->SendStr(cmd.toLatin1() + "\r\n");
    return true;
}

void TFtpClient::nextStep()
{
    ++stepIndex_;
    if (stepIndex_ >= steps_.size()) {
        finish(0);
        return;
    }
    sendCommand(steps_[stepIndex_].Command);
}

void TFtpClient::finish(int error)
{
    timer_->stop();
    const TFtpRequest r = request_;
    request_ = ftpNoRequest;
    steps_.clear();
    stepIndex_ = 0;
    if (r == ftpGetAsync || r == ftpRestartGetAsync) {
        closeData();
        closeFile(error != 0);
    }
    if (r == ftpNoRequest) return;
    if (auto f = OnRequestDone) f(this, r, error);
}

void TFtpClient::fail(int error, const QString& message)
{
    ErrorMessage = message;
    DebugLog("FTP: " + message, dcErrOut);
    finish(error);
}

// --- control connection ---------------------------------------------------------------

void TFtpClient::ConnectAsync()
{
    if (!begin(ftpConnectAsync)) return;
    parser_.Reset();
    waitingGreeting_ = false;
    lastCode_ = 0;
    lastReply_.clear();
    if (HostName.trimmed().isEmpty()) {
        fail(ftpErrNotConnected, QStringLiteral("No host name"));
        return;
    }
    QPointer<TFtpClient> self(this);
    display("Connect to " + HostName + " port " + Port);
    if (!self) return;
    ctrl_->DnsLookup(HostName.trimmed());
}

void TFtpClient::lookupDone(quint16 error)
{
    if (request_ != ftpConnectAsync) return;
    if (error || ctrl_->DnsResult().isEmpty()) {
        const int e = error ? int(error) : int(WSANO_DATA);
        fail(e, "Unable to resolve " + HostName + ": " + SocketErrorText(e));
        return;
    }
    try {
        ctrl_->SetProto("tcp");
        ctrl_->SetAddr(ctrl_->DnsResult());
        ctrl_->SetPort(Port.isEmpty() ? QStringLiteral("ftp") : Port);
        ctrl_->Connect();
    } catch (const ESocketException& e) {
        ctrl_->Abort();
        fail(e.ErrorCode ? e.ErrorCode : ftpErrNotConnected, e.Message);
    }
}

void TFtpClient::connected(quint16 error)
{
    if (request_ != ftpConnectAsync) return;
    if (error) {
        fail(error, "Unable to connect to " + HostName + ": " + SocketErrorText(error));
        return;
    }
    const QString user = UserName.isEmpty() ? QStringLiteral("anonymous") : UserName;
    std::vector<Step> steps;
    steps.push_back({QString(), QString(), [](int code, const QString&) {
                         if (code == 220) return StepResult::Next;
                         return code < 200 ? StepResult::Wait : StepResult::Failed;
                     }});
    steps.push_back({"USER " + user, QString(), [this](int code, const QString&) {
                         if (code == 230) { // no password wanted
                             steps_.erase(steps_.begin() + qsizetype(stepIndex_) + 1, steps_.end());
                             return StepResult::Next;
                         }
                         return code == 331 ? StepResult::Next : StepResult::Failed;
                     }});
    steps.push_back({"PASS " + PassWord, QStringLiteral("PASS ****"), [](int code, const QString&) {
                         return code == 230 || code == 202 ? StepResult::Next : StepResult::Failed;
                     }});
    waitingGreeting_ = true;
    if (runSteps(std::move(steps))) restartTimer();
}

void TFtpClient::controlData()
{
    QByteArray bytes = ctrl_->ReceiveStr();
    if (bytes.isEmpty()) return;
    restartTimer();
    // Replies are collected first and handled one by one: a handler may start the next
    // request or delete this client.
    struct Event
    {
        bool Reply;
        int Code;
        QString Text;
    };
    std::vector<Event> events;
    parser_.OnLine = [&events](const QString& l) { events.push_back({false, 0, l}); };
    parser_.OnReply = [&events](int c, const QString& l) { events.push_back({true, c, l}); };
    const bool ok = parser_.Feed(bytes.constData(), int(bytes.size()));
    parser_.OnLine = nullptr;
    parser_.OnReply = nullptr;
    QPointer<TFtpClient> self(this);
    for (const Event& e : events) {
        if (e.Reply)
            reply(e.Code, e.Text);
        else
            display("< " + e.Text);
        if (!self) return;
    }
    if (!ok) {
        const QString why = parser_.Error();
        const TFtpRequest r = request_;
        request_ = ftpNoRequest; // the close below is ours
        ctrl_->Abort();
        request_ = r;
        if (r != ftpNoRequest) fail(ftpErrProtocol, why);
    }
}

void TFtpClient::reply(int code, const QString& lastLine)
{
    lastCode_ = code;
    lastReply_ = lastLine;
    if (request_ == ftpNoRequest || stepIndex_ >= steps_.size()) {
        if (code == 421) ctrl_->Close(); // the server is going away
        return;
    }
    waitingGreeting_ = false;
    const auto handler = steps_[stepIndex_].Reply; // a copy: finishing clears the steps
    switch (handler(code, lastLine)) {
    case StepResult::Wait:
        return;
    case StepResult::Hold:
        maybeGetDone();
        return;
    case StepResult::Next:
        nextStep();
        return;
    case StepResult::Failed: {
        const TFtpRequest r = request_;
        ErrorMessage = lastLine;
        if (r == ftpConnectAsync) {
            request_ = ftpNoRequest; // the close below is ours
            ctrl_->Close();
            request_ = r;
        }
        finish(code);
        return;
    }
    }
}

void TFtpClient::controlClosed(quint16 error)
{
    const TFtpRequest r = request_;
    if (r == ftpNoRequest) return;
    if (r == ftpQuitAsync) {
        finish(0);
        return;
    }
    fail(error ? int(error) : int(ftpErrClosed),
         lastReply_.isEmpty() || (r == ftpConnectAsync && waitingGreeting_)
             ? QStringLiteral("Connection closed by the server")
             : "Connection closed by the server after: " + lastReply_);
}

void TFtpClient::timedOut()
{
    if (request_ == ftpNoRequest) return;
    const TFtpRequest r = request_;
    request_ = ftpNoRequest; // the closes below are ours
    closeData();
    ctrl_->Abort();
    request_ = r;
    fail(ftpErrTimeout,
         QStringLiteral("Timeout: no answer from the server in %1 seconds").arg(Timeout));
}

void TFtpClient::Abort()
{
    request_ = ftpNoRequest;
    steps_.clear();
    timer_->stop();
    closeData();
    closeFile(false);
    ctrl_->Abort();
}

// --- simple commands -------------------------------------------------------------------

void TFtpClient::CwdAsync()
{
    if (!begin(ftpCwdAsync)) return;
    runSteps({{"CWD " + HostDirName, QString(), [](int code, const QString&) {
                   return code >= 200 && code < 300 ? StepResult::Next : StepResult::Failed;
               }}});
}

void TFtpClient::TypeSetAsync()
{
    if (!begin(ftpTypeSetAsync)) return;
    runSteps({{Binary ? QStringLiteral("TYPE I") : QStringLiteral("TYPE A"), QString(),
               [](int code, const QString&) {
                   return code >= 200 && code < 300 ? StepResult::Next : StepResult::Failed;
               }}});
}

void TFtpClient::SizeAsync()
{
    if (!begin(ftpSizeAsync)) return;
    sizeResult_ = -1;
    runSteps({{"SIZE " + HostFileName, QString(), [this](int code, const QString& text) {
                   if (code != 213) return StepResult::Failed;
                   bool ok = false;
                   const qint64 n = text.mid(4).trimmed().toLongLong(&ok);
                   if (!ok || n < 0) return StepResult::Failed;
                   sizeResult_ = n;
                   return StepResult::Next;
               }}});
}

void TFtpClient::QuitAsync()
{
    if (!begin(ftpQuitAsync)) return;
    runSteps({{QStringLiteral("QUIT"), QString(), [this](int code, const QString&) {
                   request_ = ftpNoRequest; // the close below is ours
                   ctrl_->Close();
                   request_ = ftpQuitAsync;
                   return StepResult::Next;
               }}});
}

// --- retrieve ---------------------------------------------------------------------------

void TFtpClient::GetAsync()
{
    startGet(false);
}

void TFtpClient::RestartGetAsync()
{
    startGet(true);
}

bool TFtpClient::openLocalFile(bool resume)
{
    file_ = std::make_unique<QFile>(LocalFileName);
    const bool existed = file_->exists();
    if (!file_->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        const QString why = file_->errorString();
        file_.reset();
        fail(ftpErrLocalFile, "Unable to open local file " + LocalFileName + ": " + why);
        return false;
    }
    if (ShareMode == ftpShareExclusive && ::flock(file_->handle(), LOCK_EX | LOCK_NB) != 0) {
        file_.reset();
        fail(ftpErrLocalFile, "The local file " + LocalFileName + " is in use");
        return false;
    }
    file_->setProperty("dwCreated", !existed);
    resumeAt_ = resume ? file_->size() : 0;
    count_ = resumeAt_;
    return true;
}

bool TFtpClient::listenForData()
{
    listener_ = new TWSocket(this);
    try {
        listener_->SetProto("tcp");
        listener_->SetAddr(ctrl_->GetXAddr());
        listener_->SetPort("0");
        listener_->Listen();
    } catch (const ESocketException& e) {
        closeData();
        fail(e.ErrorCode ? e.ErrorCode : ftpErrDataConnection,
             "Unable to listen for data: " + e.Message);
        return false;
    }
    if (listener_->State() != wsListening) {
        closeData();
        fail(ftpErrDataConnection, QStringLiteral("Unable to listen for data"));
        return false;
    }
    listener_->OnSessionAvailable = [this](TWSocket*, quint16) { dataConnectionIn(); };
    return true;
}

void TFtpClient::startGet(bool resume)
{
    if (!begin(resume ? ftpRestartGetAsync : ftpGetAsync)) return;
    getFinalReply_ = false;
    getFinalCode_ = 0;
    dataDone_ = false;
    dataSeen_ = false;
    if (!openLocalFile(resume)) return;
    if (!listenForData()) return;
    const QString addr = listener_->GetXAddr();
    const quint16 port = listener_->GetXPort();
    const QString portCmd = QStringLiteral("PORT %1,%2,%3")
                                .arg(QString(addr).replace('.', ','))
                                .arg(port >> 8)
                                .arg(port & 0xff);
    auto ok2xx = [](int code, const QString&) {
        return code >= 200 && code < 300 ? StepResult::Next : StepResult::Failed;
    };
    std::vector<Step> steps;
    steps.push_back({portCmd, QString(), ok2xx});
    if (resume)
        steps.push_back(
            {QStringLiteral("REST %1").arg(resumeAt_), QString(), [](int code, const QString&) {
                 return code == 350 ? StepResult::Next : StepResult::Failed;
             }});
    steps.push_back({"RETR " + HostFileName, QString(), [this](int code, const QString&) {
                         if (code < 200) return StepResult::Wait;
                         if (code >= 300) return StepResult::Failed;
                         getFinalReply_ = true;
                         getFinalCode_ = code;
                         return StepResult::Hold;
                     }});
    runSteps(std::move(steps));
}

void TFtpClient::dataConnectionIn()
{
    if (!listener_) return;
    const int h = listener_->Accept();
    if (h < 0) return;
    if (data_) { // one transfer, one connection
        ::close(h);
        return;
    }
    auto* d = new TWSocket(this);
    d->Dup(h);
    // Only the server we talk to may deliver the file.
    if (d->GetPeerAddr() != ctrl_->GetPeerAddr()) {
        DebugLog("FTP: data connection from " + d->GetPeerAddr() + " refused", dcErrOut);
        d->OnSessionClosed = nullptr;
        d->Abort();
        d->deleteLater();
        return;
    }
    data_ = d;
    dataSeen_ = true;
    listener_->OnSessionAvailable = nullptr;
    listener_->Close();
    if (file_ && resumeAt_ == 0 && file_->size() > 0) file_->resize(0);
    if (readBuf_.size() < 256 * 1024) readBuf_.resize(256 * 1024);
    data_->OnDataAvailable = [this](TWSocket*, quint16) { dataAvailable(); };
    data_->OnSessionClosed = [this](TWSocket*, quint16) { dataClosed(); };
    restartTimer();
}

void TFtpClient::dataAvailable()
{
    if (!data_) return;
    qint64 got = 0;
    for (;;) {
        const int n = data_ ? data_->Receive(readBuf_.data(), int(readBuf_.size())) : 0;
        if (n <= 0) break;
        got += n;
        if (file_ && file_->write(readBuf_.constData(), n) != n) {
            const QString why = file_->errorString();
            const TFtpRequest r = request_;
            request_ = ftpNoRequest;
            closeData();
            ctrl_->SendStr(QByteArray("ABOR\r\n"));
            request_ = r;
            fail(ftpErrLocalFile, "Unable to write local file " + LocalFileName + ": " + why);
            return;
        }
        count_ += n;
        if (n < int(readBuf_.size())) break; // drained
    }
    if (got == 0) return;
    restartTimer();
    if (auto f = OnProgress) f(this, count_);
}

void TFtpClient::dataClosed()
{
    if (!data_) return;
    dataDone_ = true;
    data_->deleteLater();
    data_ = nullptr;
    maybeGetDone();
}

void TFtpClient::maybeGetDone()
{
    if (request_ != ftpGetAsync && request_ != ftpRestartGetAsync) return;
    if (!getFinalReply_) return;
    if (!dataDone_) {
        // A server that sent an empty file may close before we accepted; nothing is owed.
        if (dataSeen_) return;
        if (listener_ && listener_->State() == wsListening) {
            // Wait a little for the connection that the server may have opened already.
            QPointer<TFtpClient> self(this);
            QTimer::singleShot(200, this, [self] {
                if (!self || self->dataDone_ || self->dataSeen_) return;
                self->dataDone_ = true;
                self->maybeGetDone();
            });
            return;
        }
    }
    finish(0);
}

void TFtpClient::closeData()
{
    if (data_) {
        data_->OnSessionClosed = nullptr;
        data_->OnDataAvailable = nullptr;
        data_->Abort();
        data_->deleteLater();
        data_ = nullptr;
    }
    if (listener_) {
        listener_->OnSessionAvailable = nullptr;
        listener_->Abort();
        listener_->deleteLater();
        listener_ = nullptr;
    }
}

void TFtpClient::closeFile(bool failed)
{
    if (!file_) return;
    const bool created = file_->property("dwCreated").toBool();
    const bool empty = file_->size() == 0;
    file_->close(); // also releases the lock
    // A file that a failed request made and never filled is not left behind.
    if (failed && created && empty) QFile::remove(file_->fileName());
    file_.reset();
}
