#include "wsockets.h"

#include "debuglog.h"
#include "icmpecho.h"

#include <QHostInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sys/resource.h>
#include <sys/socket.h>

namespace {

std::atomic<quint16> g_pingId{1};
std::atomic<quint16> g_pingSeq{1};

quint32 tickCount()
{
    using namespace std::chrono;
    return quint32(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void setOobInline(int fd)
{
    int one = 1;
    if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &one, sizeof one);
}

// The abortive close of this socket set: shut both directions, then reset on close.
void resetClose(TWSocket* s)
{
    if (s->HSocket() >= 0) ::shutdown(s->HSocket(), SHUT_RDWR); // "not connected" is fine
    auto closed = s->OnSessionClosed;
    s->OnSessionClosed = nullptr;
    s->Abort();
    s->OnSessionClosed = closed;
}

// One write of what the system takes at once; 0 when it takes nothing now.
int writeOnce(TWSocket* s, const char* data, int len, int* error)
{
    *error = 0;
    if (s->State() != wsConnected || s->HSocket() < 0) {
        *error = WSAENOTCONN;
        return -1;
    }
    if (len <= 0) return 0;
    if (s->BufferedByteCount() > 0) return 0; // keep the order behind queued text
    ssize_t n = ::send(s->HSocket(), data, size_t(len), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return int(n);
    int err = LastWinsockError();
    if (err == WSAEWOULDBLOCK) return 0;
    *error = err;
    return -1;
}

QByteArray receiveOnce(TWSocket* s)
{
    int n = s->RcvdCount();
    if (n <= 0) n = 300;
    QByteArray b(n, Qt::Uninitialized);
    int got = s->Receive(b.data(), n);
    if (got <= 0) return QByteArray();
    b.truncate(got);
    return b;
}

} // namespace

// ---------------------------------------------------------------------------------------

TCustomWSockets::TCustomWSockets(QObject* parent) : QObject(parent) {}

int TCustomWSockets::MaxSockets() const
{
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return 32767;
    return int(qMin<rlim_t>(r.rlim_cur, 32767));
}

QString TCustomWSockets::LocalIP() const
{
    return LocalIPList().value(0);
}

void TCustomWSockets::error(int number)
{
    error(number, WSocketsErrorText(number));
}

void TCustomWSockets::error(int number, const QString& message)
{
    lastError_ = number;
    if (auto f = OnError)
        f(this, number, message);
    else
        DebugLog(QStringLiteral("%1: error %2: %3")
                     .arg(QString::fromLatin1(metaObject()->className()))
                     .arg(number)
                     .arg(message),
                 dcErrOut);
}

void TCustomWSockets::forwardErrors(TWSocket* s)
{
    s->OnError = [this](TWSocket* w) { error(w->LastError()); };
}

bool TCustomWSockets::openTo(TWSocket* s, const QString& proto, const QString& host,
                             const QString& port, bool authorized)
{
    auto onError = s->OnError;
    s->OnError = nullptr; // failures come back as exceptions while the port is chosen
    struct Restore
    {
        TWSocket* s;
        TWSocket::TNotifyEvent e;
        ~Restore() { s->OnError = e; }
    } restore{s, onError};
    try {
        s->SetProto(proto);
        s->SetAddr(host);
        s->SetPort(port);
        if (authorized) {
            for (int p = 1024; p >= 513; --p) {
                s->SetLocalPort(QString::number(p));
                try {
                    s->Connect();
                    return true;
                } catch (const ESocketException& e) {
                    if (e.ErrorCode != WSAEADDRINUSE && e.ErrorCode != WSAEACCES) throw;
                }
            }
        }
        s->SetLocalPort(QStringLiteral("0")); // all reserved ports in use: any port
        s->Connect();
        return true;
    } catch (const ESocketException& e) {
        error(e.ErrorCode ? e.ErrorCode : WSAEINVAL);
        return false;
    }
}

// ---------------------------------------------------------------------------------------

TTCPClient::TTCPClient(QObject* parent) : TCustomWSockets(parent), sock_(new TWSocket(this))
{
    forwardErrors(sock_);
    sock_->OnSessionConnected = [this](TWSocket*, quint16 e) {
        if (e) {
            state_ = ssClosed;
            handle_ = -1;
            error(e);
            return;
        }
        state_ = ssConnected;
        if (auto f = OnConnect) f(this, handle_);
    };
    sock_->OnDataAvailable = [this](TWSocket*, quint16) {
        if (auto f = OnData)
            f(this, handle_);
        else
            receiveOnce(sock_);
    };
    sock_->OnSessionClosed = [this](TWSocket*, quint16 e) {
        int h = handle_;
        handle_ = -1;
        state_ = ssClosed;
        if (e == WSAENETDOWN) {
            error(e);
            return;
        }
        if (auto f = OnClose) f(this, h);
    };
}

TTCPClient::~TTCPClient()
{
    sock_->OnSessionClosed = nullptr;
    sock_->OnError = nullptr;
}

void TTCPClient::Open()
{
    if (sock_->State() != wsClosed) Close();
    if (!openTo(sock_, QStringLiteral("tcp"), Host, Port, Authorized)) return;
    handle_ = sock_->HSocket();
    setOobInline(handle_);
    if (state_ == ssClosed && sock_->State() == wsConnecting) state_ = ssConnecting;
}

void TTCPClient::Close()
{
    if (sock_->State() == wsClosed) return;
    resetClose(sock_);
    handle_ = -1;
    state_ = ssClosed;
}

void TTCPClient::SendText(const QString& text)
{
    SendText(text.toLatin1());
}

void TTCPClient::SendText(const QByteArray& bytes)
{
    sock_->SendStr(bytes);
}

int TTCPClient::SendBuffer(const char* data, int len)
{
    int err = 0;
    int n = writeOnce(sock_, data, len, &err);
    if (n < 0) error(err);
    return n;
}

QByteArray TTCPClient::ReceiveBytes()
{
    return receiveOnce(sock_);
}

QString TTCPClient::ReceiveText()
{
    return QString::fromLatin1(receiveOnce(sock_));
}

int TTCPClient::Release()
{
    const int h = sock_->Release();
    if (h < 0) return -1;
    handle_ = -1;
    state_ = ssClosed;
    return h;
}

quint16 TTCPClient::LocalPort() const
{
    return sock_->GetXPort();
}

// ---------------------------------------------------------------------------------------

TTCPServer::TTCPServer(QObject* parent) : TCustomWSockets(parent), listener_(new TWSocket(this))
{
    forwardErrors(listener_);
    listener_->OnSessionAvailable = [this](TWSocket*, quint16) { accept(); };
}

TTCPServer::~TTCPServer()
{
    for (TWSocket* c : std::as_const(clients_)) {
        c->OnSessionClosed = nullptr;
        c->OnError = nullptr;
    }
    listener_->OnError = nullptr;
}

void TTCPServer::Listen()
{
    if (listener_->State() != wsClosed) Close();
    try {
        listener_->SetProto(QStringLiteral("tcp"));
        listener_->SetAddr(QStringLiteral("0.0.0.0"));
        listener_->SetPort(Port);
    } catch (const ESocketException& e) {
        error(e.ErrorCode);
        return;
    }
    listener_->Listen();
    if (listener_->State() != wsListening) return; // the error event was raised
    handle_ = listener_->HSocket();
    state_ = ssListening;
}

void TTCPServer::accept()
{
    int h = listener_->Accept();
    if (h < 0) return; // reported through the error event
    setOobInline(h);
    auto* c = new TWSocket(this);
    forwardErrors(c);
    c->Dup(h);
    c->OnDataAvailable = [this, h](TWSocket* w, quint16) {
        if (auto f = OnData)
            f(this, h);
        else
            receiveOnce(w);
    };
    c->OnSessionClosed = [this, h](TWSocket* w, quint16) {
        if (auto f = OnClose) f(this, h);
        if (clients_.value(h) == w) clients_.remove(h);
        w->deleteLater();
    };
    clients_.insert(h, c);
    if (auto f = OnAccept) f(this, h);
}

int TTCPServer::SendBuffer(int socket, const char* data, int len)
{
    TWSocket* c = clients_.value(socket);
    if (!c) {
        error(WSAENOTSOCK);
        return -1;
    }
    int err = 0;
    int n = writeOnce(c, data, len, &err);
    if (n < 0) error(err);
    return n;
}

int TTCPServer::ReceiveBuffer(int socket, char* buffer, int size)
{
    TWSocket* c = clients_.value(socket);
    if (!c) {
        error(WSAENOTSOCK);
        return -1;
    }
    return c->Receive(buffer, size);
}

QByteArray TTCPServer::ReceiveBytes(int socket)
{
    TWSocket* c = clients_.value(socket);
    return c ? c->ReceiveStr() : QByteArray();
}

void TTCPServer::CloseClient(int socket)
{
    TWSocket* c = clients_.take(socket);
    if (!c) return;
    resetClose(c);
    c->deleteLater();
}

int TTCPServer::ReleaseClient(int socket)
{
    TWSocket* c = clients_.value(socket);
    if (!c) return -1;
    const int h = c->Release();
    if (h < 0) return -1;
    clients_.remove(socket);
    c->deleteLater();
    return h;
}

void TTCPServer::Close()
{
    const QList<int> all = clients_.keys();
    for (int h : all)
        CloseClient(h);
    listener_->Close();
    handle_ = -1;
    state_ = ssClosed;
}

quint16 TTCPServer::ListeningPort() const
{
    return listener_->GetXPort();
}

// ---------------------------------------------------------------------------------------

TUDPClient::TUDPClient(QObject* parent) : TCustomWSockets(parent), sock_(new TWSocket(this))
{
    forwardErrors(sock_);
    sock_->OnDataAvailable = [this](TWSocket*, quint16) {
        if (auto f = OnData)
            f(this, handle_);
        else
            receiveOnce(sock_);
    };
}

TUDPClient::~TUDPClient()
{
    sock_->OnError = nullptr;
    sock_->OnSessionClosed = nullptr;
}

void TUDPClient::Open()
{
    Close();
    if (!openTo(sock_, QStringLiteral("udp"), Host, Port, Authorized)) return;
    handle_ = sock_->HSocket();
    state_ = ssConnected;
}

void TUDPClient::Close()
{
    if (sock_->State() == wsClosed) return;
    sock_->OnSessionClosed = nullptr;
    sock_->Abort();
    handle_ = -1;
    state_ = ssClosed;
}

void TUDPClient::SendText(const QString& text)
{
    SendText(text.toLatin1());
}

void TUDPClient::SendText(const QByteArray& bytes)
{
    sock_->SendStr(bytes);
}

QByteArray TUDPClient::ReceiveBytes()
{
    return receiveOnce(sock_);
}

QString TUDPClient::ReceiveText()
{
    return QString::fromLatin1(receiveOnce(sock_));
}

quint16 TUDPClient::LocalPort() const
{
    return sock_->GetXPort();
}

// ---------------------------------------------------------------------------------------

TPinger::TPinger(QObject* parent) : TCustomWSockets(parent), timer_(new QTimer(this))
{
    timer_->setSingleShot(true);
    connect(timer_, &QTimer::timeout, this, [this] { batchEnd(); });
}

TPinger::~TPinger()
{
    closeSocket();
}

QByteArray TPinger::BuildRequest(quint16 id, quint16 seq, quint32 tick)
{
    QByteArray payload;
    payload.append(char(0));
    payload.append(reinterpret_cast<const char*>(&tick), 4); // as the sender's own ticks
    for (int b = 32; b <= 63; ++b)
        payload.append(char(b));
    return platform::BuildEchoRequest(id, seq, payload);
}

bool TPinger::Running() const
{
    return timer_->isActive();
}

void TPinger::closeSocket()
{
    if (notifier_) {
        notifier_->setEnabled(false);
        notifier_->deleteLater();
        notifier_ = nullptr;
    }
    icmp_.reset();
}

void TPinger::Ping()
{
    closeSocket();
    timer_->stop();
    count_ = 0;
    sum_ = 0;
    const int n = qMax(0, NPings);
    answered_.assign(size_t(n), false);
    const quint64 batch = ++batch_;
    auto endSoon = [this, batch] {
        closeSocket();
        QMetaObject::invokeMethod(
            this,
            [this, batch] {
                if (batch == batch_) batchEnd();
            },
            Qt::QueuedConnection);
    };
    if (n == 0) return endSoon();

    icmp_ = std::make_unique<platform::TIcmpSocket>();
    if (!icmp_->Open()) {
        error(WinsockError(icmp_->LastErrno()));
        return endSoon();
    }
    // A host name is looked up off this thread first; the echoes go out with the answer.
    const QString host = Host.trimmed();
    if (!host.isEmpty() && !host.at(0).isDigit() && host.size() <= 256) {
        QHostInfo::lookupHost(host, this, [this, batch, endSoon](const QHostInfo& info) {
            if (batch != batch_ || !icmp_) return; // stopped or started again meanwhile
            for (const QHostAddress& a : info.addresses())
                if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                    sendEchoes(a.toIPv4Address());
                    return;
                }
            error(WSAHOST_NOT_FOUND);
            endSoon();
        });
        return;
    }
    quint32 addr = 0;
    try {
        addr = WSocketResolveHost(Host);
    } catch (const ESocketException& e) {
        error(e.ErrorCode ? e.ErrorCode : WSAHOST_NOT_FOUND);
        return endSoon();
    }
    sendEchoes(addr);
}

void TPinger::sendEchoes(quint32 addr)
{
    const int n = int(answered_.size());
    notifier_ = new QSocketNotifier(icmp_->Handle(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { readReply(); });

    firstId_ = g_pingId.fetch_add(quint16(n));
    firstSeq_ = g_pingSeq.fetch_add(quint16(n));
    const QHostAddress to(addr);
    for (int i = 0; i < n; ++i) {
        QByteArray req = BuildRequest(quint16(firstId_ + i), quint16(firstSeq_ + i), tickCount());
        if (!icmp_->SendRaw(to, req)) error(WinsockError(icmp_->LastErrno()));
    }
    timer_->start(qMax(0, Timeout));
}

void TPinger::readReply()
{
    if (!icmp_) return;
    const int n = int(answered_.size());
    for (;;) {
        platform::TIcmpPacket p;
        if (!icmp_->Read(p)) {
            if (icmp_->LastErrno() == 0) continue; // not ICMP
            break;                                 // nothing more waiting, or an error
        }
        // Short datagrams, our own requests seen on loopback, and other people's echoes
        // are no answers.
        if (p.IpLength < 64 || p.Type != 0 || p.Payload.size() < 5) continue;
        const int off = quint16(p.Seq - firstSeq_);
        if (off >= n) continue;
        if (icmp_->Method() == platform::TEchoMethod::Raw && quint16(p.Id - firstId_) >= n)
            continue;
        if (answered_[size_t(off)]) continue; // a duplicate counts once
        answered_[size_t(off)] = true;
        quint32 sent = 0;
        std::memcpy(&sent, p.Payload.constData() + 1, 4);
        ++count_;
        sum_ += qint64(quint32(tickCount() - sent));
        if (count_ >= n) {
            batchEnd();
            return;
        }
    }
}

void TPinger::batchEnd()
{
    timer_->stop();
    averageTime_ = count_ > 0 ? int(sum_ / count_) : 9999;
    closeSocket();
    if (auto f = OnReply) f(this);
}

void TPinger::Stop()
{
    timer_->stop();
    ++batch_;
    closeSocket();
}
