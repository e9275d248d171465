#include "httpprot.h"

#include "debuglog.h"

#include <QDate>
#include <QIODevice>
#include <QPointer>
#include <QTime>
#include <cstring>

// ---------------------------------------------------------------------------------------
// URL splitting

TParsedURL ParseURL(const QString& url)
{
    TParsedURL u;
    if (url.isEmpty()) return u;
    QString rest;
    int sep = url.indexOf(QLatin1String("://"));
    if (sep >= 0) {
        u.Proto = url.left(sep);
        rest = url.mid(sep + 3);
    } else if (url.startsWith('/')) {
        u.Proto = QStringLiteral("http");
        if (url.size() > 1 && url.at(1) != '/') {
            u.Path = url;
            return u;
        }
        rest = url.startsWith(QLatin1String("//")) ? url.mid(2) : url;
    } else if (url.left(5).toLower() == QLatin1String("http:")) {
        u.Proto = QStringLiteral("http");
        if (url.size() > 6 && url.at(6) != '/') {
            u.Path = url.mid(5);
            return u;
        }
        rest = url.mid(5);
        if (rest.startsWith(QLatin1String("//"))) rest = rest.mid(2);
    } else if (url.left(7).toLower() == QLatin1String("mailto:")) {
        u.Proto = QStringLiteral("mailto");
        rest = url.mid(7);
    } else {
        rest = url;
    }

    QString authority;
    int slash = rest.indexOf('/');
    if (slash >= 0) {
        authority = rest.left(slash);
        u.Path = rest.mid(slash);
    } else {
        authority = rest;
    }
    int colon = authority.lastIndexOf(':');
    int at = authority.lastIndexOf('@');
    if (colon < 0 && at < 0) {
        u.Host = authority;
    } else if (colon >= 0 && (at < 0 || at < colon)) {
        u.Port = authority.mid(colon + 1);
        u.Host = authority.mid(at + 1, colon - at - 1);
    } else {
        u.Host = authority.mid(at + 1);
    }
    if (at >= 0) {
        QString userInfo = authority.left(at);
        int c = userInfo.indexOf(':');
        if (c >= 0) {
            u.User = userInfo.left(c);
            u.Pass = userInfo.mid(c + 1);
        } else {
            u.User = userInfo;
        }
    }
    return u;
}

void ParseURL(const QString& url, QString& proto, QString& user, QString& pass, QString& host,
              QString& port, QString& path)
{
    TParsedURL u = ParseURL(url);
    proto = u.Proto;
    user = u.User;
    pass = u.Pass;
    host = u.Host;
    port = u.Port;
    path = u.Path;
}

namespace {

// A decimal integer with optional blanks around and an optional sign; anything else is a
// conversion error carrying the usual text.
qint64 strictInt(const QString& text)
{
    bool ok = false;
    qint64 v = text.trimmed().toLongLong(&ok, 10);
    if (!ok) throw EHttpException(QStringLiteral("'%1' is not a valid integer value").arg(text), 0);
    return v;
}

QString rfc1123(const QDateTime& t)
{
    static const char days[] = "MonTueWedThuFriSatSun";
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    QDate d = t.date();
    QTime tm = t.time();
    QString day = QString::fromLatin1(days + (d.dayOfWeek() - 1) * 3, 3);
    QString month = QString::fromLatin1(months + (d.month() - 1) * 3, 3);
    return day + ", " +
           QString::asprintf("%2.2d %s %4.4d %2.2d:%2.2d:%2.2d", d.day(),
                             month.toLatin1().constData(), d.year(), tm.hour(), tm.minute(),
                             tm.second());
}

QString basic(const QString& user, const QString& pass)
{
    return QString::fromLatin1((user + ':' + pass).toUtf8().toBase64());
}

QString docNameOf(const QString& path)
{
    if (path.isEmpty() || path == "/") return QStringLiteral("document.htm");
    QString p = path;
    // The query goes first: a "/" inside it must not pick the name.
    int q = p.indexOf('?');
    if (q >= 0) p.truncate(q);
    if (p.endsWith('/')) p.chop(1);
    QString name = p.mid(p.lastIndexOf('/') + 1).left(255);
    return name.isEmpty() ? QStringLiteral("document.htm") : name;
}

} // namespace

// ---------------------------------------------------------------------------------------

THttpCli::THttpCli(QObject* parent) : QObject(parent)
{
    socket_ = new TWSocket(this);
    socket_->OnDnsLookupDone = [this](TWSocket*, quint16 e) { socketDnsLookupDone(e); };
    socket_->OnSessionConnected = [this](TWSocket*, quint16 e) { socketSessionConnected(e); };
    socket_->OnDataAvailable = [this](TWSocket*, quint16) { socketDataAvailable(); };
    socket_->OnDataSent = [this](TWSocket*, quint16) { socketDataSent(); };
    socket_->OnSessionClosed = [this](TWSocket*, quint16 e) { socketSessionClosed(e); };
    rcvBuf_[0] = 0;
}

THttpCli::~THttpCli()
{
    // No events from a dying component.
    socket_->OnSessionClosed = nullptr;
    socket_->OnDnsLookupDone = nullptr;
    socket_->Abort();
}

void THttpCli::setState(THttpState s)
{
    if (s == state_) return;
    state_ = s;
    if (auto f = OnStateChange) f(this);
}

void THttpCli::GetAsync()
{
    doRequestAsync(httpGET);
}

void THttpCli::HeadAsync()
{
    doRequestAsync(httpHEAD);
}

void THttpCli::PostAsync()
{
    doRequestAsync(httpPOST);
}

void THttpCli::doRequestAsync(THttpRequest kind)
{
    if (state_ != httpReady) throw EHttpException("HTTP component is busy", 1);
    if (kind == httpPOST && !SendStream)
        throw EHttpException("HTTP component has nothing to post", 2);

    rcvdHeader_.clear();
    authChallenges_.clear();
    requestType_ = kind;
    requestDoneError_ = 0;
    socket_->OnSessionClosed = [this](TWSocket*, quint16 e) { socketSessionClosed(e); };
    ++generation_;
    completing_ = false;
    discarding_ = false;
    relocating_ = false;
    connected_ = false;
    sendEnded_ = false;
    redirects_ = 0;
    // The caller may free the client from its state handler, before this returns.
    QPointer<THttpCli> self(this);
    setState(httpNotConnected);
    if (!self) return;

    docName_.clear();
    statusCode_ = 0;
    reasonPhrase_.clear();
    contentType_.clear(); // a type left from the last request must not leak into this one
    rcvdCount_ = 0;
    sentCount_ = 0;
    headerLines_ = 0;
    headerBytes_ = 0;
    bodyChunks_ = 0;
    contentLength_ = -1;
    location_ = URL;
    rcvLen_ = 0;

    TParsedURL u = ParseURL(URL);
    useProxy_ = !Proxy.isEmpty();
    hostName_ = u.Host;
    targetPort_ = u.Port;
    if (!useProxy_) {
        path_ = u.Path;
        connectHost_ = u.Host;
        connectPort_ = u.Port.isEmpty() ? QStringLiteral("80") : u.Port;
    } else {
        path_ = (u.Proto.isEmpty() ? QStringLiteral("http") : u.Proto) + "://" + u.Host +
                (u.Port.isEmpty() ? QString() : ":" + u.Port) +
                (u.Path.isEmpty() ? QStringLiteral("/") : u.Path);
        TParsedURL p = ParseURL(Proxy);
        connectHost_ = p.Host;
        connectPort_ = p.Port.isEmpty() ? ProxyPort : p.Port;
    }
    // Credentials in the URL serve this request only; the properties stay as they are.
    user_ = u.User.isEmpty() ? Username : u.User;
    pass_ = u.Pass.isEmpty() ? Password : u.Pass;
    if (path_.isEmpty()) path_ = QStringLiteral("/");
    docName_ = docNameOf(u.Path);

    startLookup();
}

void THttpCli::startLookup()
{
    QPointer<THttpCli> self(this);
    setState(httpDnsLookup);
    if (!self) return;
    socket_->DnsLookup(connectHost_);
}

void THttpCli::socketDnsLookupDone(quint16 error)
{
    if (state_ != httpDnsLookup) return; // cancelled by Abort, or stale
    if (error) {
        statusCode_ = 404;
        reasonPhrase_ = QStringLiteral("can't resolve hostname to IP address");
        completed();
        return;
    }
    QPointer<THttpCli> self(this);
    setState(httpDnsLookupDone);
    if (!self) return;
    try {
        socket_->SetAddr(socket_->DnsResult());
        socket_->SetPort(connectPort_);
        socket_->SetProto(QStringLiteral("tcp"));
        socket_->Connect();
    } catch (const ESocketException& e) {
        int n = socket_->LastError() ? socket_->LastError() : e.ErrorCode;
        requestDoneError_ = quint16(n);
        statusCode_ = 404;
        reasonPhrase_ =
            QStringLiteral("can't connect: %1 (Error #%2)").arg(SocketErrorText(n)).arg(n);
        socket_->Close();
        completed();
    }
}

void THttpCli::socketSessionConnected(quint16 error)
{
    if (state_ == httpAborting || completing_) return;
    if (error) {
        statusCode_ = 404;
        // SOCKS failures have their own texts; socket errors read from the table.
        QString text = error >= socksNoError && error <= socksHostResolutionFailed
                           ? socket_->LastErrorMessage()
                           : SocketErrorText(error);
        reasonPhrase_ = QStringLiteral("%1 (Error #%2)").arg(text).arg(error);
        requestDoneError_ = error;
        completed();
        return;
    }
    QPointer<THttpCli> self(this);
    connected_ = true;
    setState(httpConnected);
    if (!self || state_ != httpConnected) return;
    if (auto f = OnSessionConnected) f(this);
    if (!self || state_ != httpConnected) return;
    setState(httpWaitingHeader);
    if (!self || state_ != httpWaitingHeader) return;
    try {
        sendRequest();
    } catch (const std::exception& e) {
        DebugLog(QStringLiteral("THttpCli: sending the request failed: ") + e.what(), dcErrOut);
        if (self) socket_->Close();
    }
}

void THttpCli::sendRequest()
{
    QPointer<THttpCli> self(this);
    QByteArray request;
    auto line = [&](const QString& text) {
        if (auto f = OnCommand) f(this, text);
        request += text.toUtf8();
        request += "\r\n";
    };
    if (auto f = OnRequestHeaderBegin) f(this);
    if (!self) return;
    const char* method = requestType_ == httpPOST   ? "POST"
                         : requestType_ == httpHEAD ? "HEAD"
                                                    : "GET";
    line(QString::fromLatin1(method) + " " + path_ + " HTTP/1.0");
    if (!Sender.isEmpty()) line("From: " + Sender);
    if (!Reference.isEmpty()) line("Referer: " + Reference);
    if (requestType_ == httpPOST && !ContentTypePost.isEmpty())
        line("Content-Type: " + ContentTypePost);
    if (!Agent.isEmpty()) line("User-Agent: " + Agent);
    line("Host: " + hostName_);
    if (NoCache) line(QStringLiteral("Pragma: no-cache"));
    if (requestType_ == httpPOST)
        line("Content-Length: " + QString::number(SendStream->size() - SendStream->pos()));
    if (ModifiedSince.isValid()) line("If-Modified-Since: " + rfc1123(ModifiedSince) + " GMT");
    if (!user_.isEmpty()) line("Authorization: Basic " + basic(user_, pass_));
    if (useProxy_ && !ProxyUsername.isEmpty())
        line("Proxy-Authorization: Basic " + basic(ProxyUsername, ProxyPassword));
    if (!Cookie.isEmpty()) line("Cookie: " + Cookie);
    if (!self) return;
    if (auto f = OnRequestHeaderEnd) f(this);
    if (!self) return;
    line(QString());
    if (!self || state_ != httpWaitingHeader) return;
    socket_->Send(request.constData(), int(request.size()));
    if (requestType_ == httpPOST) {
        if (auto f = OnSendBegin) f(this);
    }
}

void THttpCli::socketDataSent()
{
    if (requestType_ != httpPOST || sendEnded_ || !connected_) return;
    sendNextPiece();
}

void THttpCli::sendNextPiece()
{
    char buf[BufferSize];
    qint64 n = SendStream ? SendStream->read(buf, sizeof buf) : -1;
    if (n <= 0) {
        sendEnded_ = true;
        if (auto f = OnSendEnd) f(this);
        return;
    }
    sentCount_ += n;
    QPointer<THttpCli> self(this);
    if (auto f = OnSendData) f(this, buf, int(n));
    if (!self || !connected_) return;
    socket_->Send(buf, int(n));
}

void THttpCli::socketDataAvailable()
{
    if (discarding_ || completing_) {
        discardInput();
        return;
    }
    int space = BufferSize - rcvLen_;
    if (space <= 0) {
        // A header line longer than the buffer: the response cannot be read.
        failResponse(QStringLiteral("HTTP line too long"));
        discardInput();
        return;
    }
    int n = socket_->Receive(rcvBuf_ + rcvLen_, space);
    if (n <= 0) return;
    rcvLen_ += n;
    processBuffer();
}

void THttpCli::discardInput()
{
    char buf[BufferSize];
    while (socket_->State() != wsClosed && socket_->Receive(buf, sizeof buf) > 0) {
    }
}

void THttpCli::failResponse(const QString& reason)
{
    // Interpreting stops and the connection ends (from the loop, outside the socket's own
    // event): the request completes as a failure without waiting for a server that may
    // never close.
    DebugLog("THttpCli: " + reason, dcErrOut);
    statusCode_ = 404;
    reasonPhrase_ = reason;
    discarding_ = true;
    rcvLen_ = 0;
    const quint64 gen = generation_;
    QMetaObject::invokeMethod(
        this,
        [this, gen] {
            if (gen == generation_ && discarding_ && !completing_ && socket_->State() != wsClosed)
                socket_->Abort();
        },
        Qt::QueuedConnection);
}

void THttpCli::processBuffer()
{
    if (state_ == httpWaitingBody) {
        int len = rcvLen_;
        rcvLen_ = 0;
        deliverBody(rcvBuf_, len);
        return;
    }
    QPointer<THttpCli> self(this);
    const quint64 gen = generation_;
    int start = 0;
    while (start < rcvLen_) {
        const char* lf =
            static_cast<const char*>(memchr(rcvBuf_ + start, '\n', size_t(rcvLen_ - start)));
        if (!lf) break;
        int end = int(lf - rcvBuf_);
        int lineEnd = end;
        if (lineEnd > start && rcvBuf_[lineEnd - 1] == '\r') --lineEnd;
        QByteArray line(rcvBuf_ + start, lineEnd - start);
        QByteArray terminator(rcvBuf_ + lineEnd, end + 1 - lineEnd);
        start = end + 1;
        if (state_ != httpWaitingHeader && state_ != httpWaitingBody) continue;
        bool wasBody = state_ == httpWaitingBody;
        try {
            processLine(line, terminator);
        } catch (const EHttpException& e) {
            if (!self) return;
            failResponse(e.Message);
            return;
        }
        if (!self || gen != generation_ || discarding_ || completing_) return;
        if (rcvLen_ == 0) return; // a redirect emptied the buffer
        if (!wasBody && state_ == httpWaitingBody) {
            // The header ended: whatever follows in the buffer is the first body chunk.
            int len = rcvLen_ - start;
            rcvLen_ = 0;
            if (len > 0) deliverBody(rcvBuf_ + start, len);
            return;
        }
    }
    if (start > 0) {
        memmove(rcvBuf_, rcvBuf_ + start, size_t(rcvLen_ - start));
        rcvLen_ -= start;
    }
}

void THttpCli::processLine(const QByteArray& raw, const QByteArray& terminator)
{
    QPointer<THttpCli> self(this);
    if (headerLines_ == 0) {
        if (auto f = OnHeaderBegin) f(this);
        if (!self || state_ != httpWaitingHeader) return;
    }
    ++headerLines_;
    headerBytes_ += raw.size() + terminator.size();
    if (headerBytes_ > MaxHeaderBytes) {
        // Header lines that never end in a blank line: a broken or hostile server.
        failResponse(QStringLiteral("HTTP header too long"));
        return;
    }
    if (raw.left(6).toUpper() == "<HTML>") {
        // No header at all: the document starts here.
        if (contentType_.isEmpty()) contentType_ = QStringLiteral("text/html");
        setState(httpWaitingBody);
        if (!self) return;
        if (auto f = OnHeaderEnd) f(this);
        if (!self || state_ != httpWaitingBody) return;
        QByteArray whole = raw + terminator;
        deliverBody(whole.constData(), int(whole.size()));
        return;
    }
    if (raw.isEmpty()) {
        headerEnd();
        return;
    }
    const QString line = QString::fromLatin1(raw);
    rcvdHeader_ << line;
    if (line.startsWith(QLatin1String("HTTP/1.0")) || line.startsWith(QLatin1String("HTTP/1.1"))) {
        statusCode_ = int(strictInt(line.mid(9, 3)));
        reasonPhrase_ = line.mid(13);
    } else {
        int colon = line.indexOf(':');
        if (colon >= 0) {
            const QString name = line.left(colon).toLower();
            // The value starts after the blanks that follow the colon.
            int v = colon + 1;
            while (v < line.size() && (line.at(v) == ' ' || line.at(v) == '\t'))
                ++v;
            const QString value = line.mid(v);
            if (name == QLatin1String("location")) {
                locationHeader(value);
            } else if (name == QLatin1String("content-length")) {
                contentLength_ = strictInt(value);
            } else if (name == QLatin1String("content-type")) {
                contentType_ = value.toLower();
            } else if (name == QLatin1String("www-authenticate")) {
                authChallenges_ << value;
            }
        }
    }
    if (auto f = OnHeaderData) f(this);
}

void THttpCli::locationHeader(const QString& value)
{
    relocating_ = true;
    // A path on the same server starts with "/", even when its query holds a "://".
    const int scheme = value.indexOf(QLatin1String("://"));
    const int query = value.indexOf('?');
    const bool absolute = !value.startsWith('/') && scheme > 0 && (query < 0 || scheme < query);
    if (!useProxy_) {
        if (absolute) {
            TParsedURL u = ParseURL(value);
            connectHost_ = hostName_ = u.Host;
            targetPort_ = u.Port;
            connectPort_ = u.Port.isEmpty() ? QStringLiteral("80") : u.Port;
            // The origin server gets the path; Location tells the whole new address.
            path_ = u.Path.isEmpty() ? QStringLiteral("/") : u.Path;
            location_ =
                u.Proto + "://" + u.Host + (u.Port.isEmpty() ? QString() : ":" + u.Port) + u.Path;
        } else {
            path_ = value.startsWith('/') ? value : "/" + value;
            location_ = path_;
        }
    } else {
        if (absolute) {
            TParsedURL u = ParseURL(value);
            hostName_ = u.Host;
            targetPort_ = u.Port;
            path_ = value;
        } else {
            path_ = "http://" + hostName_ +
                    (targetPort_.isEmpty() ? QString() : ":" + targetPort_) +
                    (value.startsWith('/') ? value : "/" + value);
        }
        location_ = path_;
    }
}

void THttpCli::headerEnd()
{
    QPointer<THttpCli> self(this);
    if (relocating_) {
        if (auto f = OnHeaderEnd) f(this);
        if (!self || state_ != httpWaitingHeader) return;
        rcvLen_ = 0;
        headerLines_ = 0;
        headerBytes_ = 0;
        bodyChunks_ = 0;
        rcvdHeader_.clear();
        if (++redirects_ > MaxRedirects) {
            // A loop of redirects: give up instead of following it for ever.
            relocating_ = false;
            failResponse(QStringLiteral("too many redirections"));
            socket_->Close();
            return;
        }
        socket_->OnSessionClosed = [this](TWSocket*, quint16) { socketRelocationClosed(); };
        socket_->Close();
        return;
    }
    if (docName_.section('.', -1).toLower() == QLatin1String("exe") && docName_.contains('.') &&
        contentType_ == QLatin1String("text/html")) {
        docName_ = docName_.left(docName_.lastIndexOf('.') + 1) + "htm";
    }
    setState(httpWaitingBody);
    if (!self) return;
    if (auto f = OnHeaderEnd) f(this);
}

void THttpCli::deliverBody(const char* data, int len)
{
    if (len <= 0) return;
    QPointer<THttpCli> self(this);
    const quint64 gen = generation_;
    if (bodyChunks_ == 0) {
        if (auto f = OnDocBegin) f(this);
        if (!self || gen != generation_) return;
    }
    ++bodyChunks_;
    rcvdCount_ += len;
    if (auto f = OnDocData) f(this, data, len);
    if (!self || gen != generation_) return;
    if (RcvdStream) RcvdStream->write(data, len);
}

void THttpCli::socketSessionClosed(quint16 error)
{
    if (error && requestDoneError_ == 0 && state_ != httpAborting) requestDoneError_ = error;
    completed();
}

void THttpCli::socketRelocationClosed()
{
    QPointer<THttpCli> self(this);
    connected_ = false;
    relocating_ = false;
    socket_->OnSessionClosed = [this](TWSocket*, quint16 e) { socketSessionClosed(e); };
    if (auto f = OnLocationChange) f(this);
    if (!self) return;
    if (state_ == httpAborting) {
        completed();
        return;
    }
    const quint64 gen = generation_;
    QMetaObject::invokeMethod(
        this, [this, gen] { restartAfterRelocation(gen); }, Qt::QueuedConnection);
}

void THttpCli::restartAfterRelocation(quint64 gen)
{
    if (gen != generation_ || completing_ || state_ == httpAborting || state_ == httpReady) return;
    rcvLen_ = 0;
    try {
        startLookup();
    } catch (const ESocketException&) {
        statusCode_ = 404;
        reasonPhrase_ = QStringLiteral("can't resolve hostname to IP address");
        completed();
    }
}

void THttpCli::completed()
{
    connected_ = false;
    if (completing_) return;
    completing_ = true;
    QPointer<THttpCli> self(this);
    const quint64 gen = generation_;
    QMetaObject::invokeMethod(
        this,
        [this, gen] {
            if (gen != generation_) return;
            const THttpRequest kind = requestType_;
            const quint16 err = requestDoneError_;
            setState(httpReady);
            QMetaObject::invokeMethod(
                this,
                [this, kind, err] {
                    if (auto f = OnRequestDone) f(this, kind, err);
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
    if (bodyChunks_ > 0) {
        if (auto f = OnDocEnd) f(this);
    }
}

void THttpCli::Abort()
{
    if (state_ == httpReady) {
        if (socket_->State() != wsClosed || socket_->DnsLookupRunning()) {
            auto closed = socket_->OnSessionClosed;
            auto lookup = socket_->OnDnsLookupDone;
            socket_->OnSessionClosed = nullptr;
            socket_->OnDnsLookupDone = nullptr;
            socket_->Abort();
            socket_->OnSessionClosed = closed;
            socket_->OnDnsLookupDone = lookup;
        }
        return;
    }
    if (state_ == httpAborting || completing_) return;
    const THttpState saved = state_;
    setState(httpAborting);
    const bool lookupRunning = saved == httpDnsLookup;
    if (lookupRunning) {
        try {
            socket_->CancelDnsLookup();
        } catch (...) {
        }
    }
    statusCode_ = 404;
    reasonPhrase_ = QStringLiteral("Connection aborted on request");
    requestDoneError_ = 3;
    if (lookupRunning || socket_->State() == wsClosed)
        completed();
    else
        socket_->Close();
}

void THttpCli::BeginResponseForTest()
{
    if (state_ != httpReady) return;
    ++generation_;
    requestType_ = httpGET;
    completing_ = discarding_ = relocating_ = false;
    rcvdHeader_.clear();
    authChallenges_.clear();
    statusCode_ = 0;
    reasonPhrase_.clear();
    contentType_.clear();
    contentLength_ = -1;
    rcvdCount_ = 0;
    headerLines_ = bodyChunks_ = redirects_ = 0;
    headerBytes_ = 0;
    rcvLen_ = 0;
    docName_ = QStringLiteral("setup.exe");
    hostName_ = connectHost_ = QStringLiteral("127.0.0.1");
    connectPort_ = QStringLiteral("80");
    path_ = QStringLiteral("/");
    state_ = httpWaitingHeader;
}

void THttpCli::FeedResponseForTest(const char* data, int len)
{
    while (len > 0 && (state_ == httpWaitingHeader || state_ == httpWaitingBody)) {
        if (discarding_) return;
        int space = BufferSize - rcvLen_;
        if (space <= 0) {
            failResponse(QStringLiteral("HTTP line too long"));
            return;
        }
        int n = qMin(space, len);
        memcpy(rcvBuf_ + rcvLen_, data, size_t(n));
        rcvLen_ += n;
        data += n;
        len -= n;
        processBuffer();
    }
}
