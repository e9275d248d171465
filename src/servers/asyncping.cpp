#include "asyncping.h"

#include "customserver.h"
#include "debuglog.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QMetaObject>
#include <QThread>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::mutex g_methodLock;
std::optional<TPingMethod> g_methodOverride;
std::atomic<int> g_running{0};

// The object on the main thread that ping results are delivered to. Never freed, so a
// thread finishing late never posts to a dead object.
QObject* g_receiver = nullptr;

// The threads echoes run on. They are kept and reused: starting a thread per echo cost the
// UI thread a system call per station, a good part of a big refresh. A new thread starts
// only while every one is busy, up to a cap well above the echoes the lists keep out at
// once (an echo waiting for a thread could run into its station's time-out). A thread is
// free again as soon as it has posted its result. Never freed, like the receiver.
class TPingPool
{
public:
    static constexpr int MaxThreads = 64;

    void Run(std::function<void()> job)
    {
        std::lock_guard<std::mutex> lock(m_);
        jobs_.push_back(std::move(job));
        if (qsizetype(jobs_.size()) > idle_ && threads_ < MaxThreads) {
            ++threads_;
            std::thread([this] { Work(); }).detach();
        }
        wake_.notify_one();
    }

private:
    void Work()
    {
        std::unique_lock<std::mutex> lock(m_);
        for (;;) {
            ++idle_;
            wake_.wait(lock, [this] { return !jobs_.empty(); });
            --idle_;
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }

    std::mutex m_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    qsizetype idle_ = 0;
    int threads_ = 0;
};
TPingPool* g_pool = new TPingPool;

// Dotted IPv4 text in the strict four-part form.
bool ParseDotted(const QString& text, quint32& netAddr)
{
    in_addr a{};
    const QByteArray t = text.toLatin1();
    if (t.isEmpty() || ::inet_pton(AF_INET, t.constData(), &a) != 1) return false;
    netAddr = a.s_addr;
    return true;
}

} // namespace

QString PingMethodName(TPingMethod m)
{
    switch (m) {
    case TPingMethod::IcmpDatagram:
        return QStringLiteral("ICMP datagram socket");
    case TPingMethod::IcmpRaw:
        return QStringLiteral("raw ICMP socket");
    case TPingMethod::TcpConnect:
        return QStringLiteral("TCP connect round trip");
    }
    return {};
}

TPingMethod CurrentPingMethod()
{
    {
        std::lock_guard<std::mutex> lock(g_methodLock);
        if (g_methodOverride) return *g_methodOverride;
    }
    switch (platform::EchoMethod()) {
    case platform::TEchoMethod::Datagram:
        return TPingMethod::IcmpDatagram;
    case platform::TEchoMethod::Raw:
        return TPingMethod::IcmpRaw;
    case platform::TEchoMethod::None:
        break;
    }
    return TPingMethod::TcpConnect;
}

void SetPingMethodOverride(std::optional<TPingMethod> m)
{
    std::lock_guard<std::mutex> lock(g_methodLock);
    g_methodOverride = m;
}

// ---------------------------------------------------------------------------------------
// TICMP

const char* TICMP::IdentText()
{
    // Exactly 45 characters.
    static const char text[] = "Dialwise round-trip probe for station listing";
    static_assert(sizeof(text) - 1 == 45);
    return text;
}

TICMP::TICMP() : Method(CurrentPingMethod()) {}

TICMP::~TICMP() = default;

void TICMP::SetAddress(const QString& text)
{
    if (text != HostAddress) {
        HostAddress = text;
        Resolved = false;
    }
}

void TICMP::Resolve()
{
    quint32 addr = 0;
    if (ParseDotted(HostAddress, addr)) {
        IPAddress = addr;
        ResolvedName = HostAddress;
    } else {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_CANONNAME;
        addrinfo* res = nullptr;
        const QByteArray name = HostAddress.toUtf8();
        const int rc =
            name.isEmpty() ? EAI_NONAME : ::getaddrinfo(name.constData(), nullptr, &hints, &res);
        if (rc != 0 || !res) {
            // The resolver's "host not found".
            LastError = 11001;
            if (res) ::freeaddrinfo(res);
            if (OnDisplay) OnDisplay(this, QStringLiteral("Unable to resolve ") + HostAddress);
            return;
        }
        IPAddress = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
        ResolvedName = res->ai_canonname ? QString::fromUtf8(res->ai_canonname) : HostAddress;
        ::freeaddrinfo(res);
    }
    in_addr a{};
    a.s_addr = IPAddress;
    char buf[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, buf, sizeof buf);
    ResolvedIP = QString::fromLatin1(buf);
    Resolved = true;
}

int TICMP::Ping()
{
    LastError = 0;
    if (!Resolved) Resolve();
    if (!Resolved || IPAddress == Unresolved) {
        LastError = 11018;
        if (OnDisplay) OnDisplay(this, QStringLiteral("Invalid host address"));
        return 0;
    }

    QByteArray data(qMax(0, DataSize), ' ');
    std::memcpy(data.data(), IdentText(), qMin<size_t>(45, size_t(data.size())));

    EchoReply = TIcmpEchoReply{};
    if (OnEchoRequest) OnEchoRequest(this);

    int replies = 0;
    if (Method == TPingMethod::TcpConnect) {
        int rtt = 0;
        quint32 status = platform::EchoGeneralFailure;
        replies = tcpRoundTrip(IPAddress, FallbackPort, int(EchoTimeout), rtt, status);
        EchoReply.Address = replies ? IPAddress : 0;
        EchoReply.Status = status;
        EchoReply.RoundTripTime = quint32(rtt);
        LastError = replies ? 0 : status;
    } else {
        const platform::TEchoResult r = platform::IcmpEcho(QHostAddress(quint32(ntohl(IPAddress))),
                                                           int(EchoTimeout), data, TTL);
        replies = r.Status == platform::EchoSuccess ? 1 : 0;
        bool ok = false;
        const quint32 from = r.ReplyAddress.toIPv4Address(&ok);
        EchoReply.Address = ok ? htonl(from) : 0;
        EchoReply.Status = r.Status;
        EchoReply.RoundTripTime = replies ? quint32(qMax(0, r.RoundTripMs)) : 0;
        EchoReply.DataSize = quint16(r.Data.size());
        EchoReply.Ttl = quint8(r.Ttl);
        LastError = replies ? 0 : r.Status;
    }
    if (OnEchoReply) OnEchoReply(this, replies);
    return replies;
}

int TICMP::tcpRoundTrip(quint32 addr, int port, int timeoutMs, int& rtt, quint32& status)
{
    rtt = 0;
    if (port <= 0 || port > 65535) {
        status = platform::EchoBadDestination;
        return 0;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        status = platform::EchoNoResources;
        return 0;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(quint16(port));
    sa.sin_addr.s_addr = addr;
    QElapsedTimer clock;
    clock.start();
    int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    int err = rc == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int left = timeoutMs;
        for (;;) {
            rc = ::poll(&p, 1, qMax(0, left));
            if (rc < 0 && errno == EINTR) {
                left = timeoutMs - int(clock.elapsed());
                continue;
            }
            break;
        }
        if (rc <= 0) {
            err = ETIMEDOUT;
        } else {
            socklen_t len = sizeof err;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        }
    }
    rtt = int(clock.elapsed());
    ::close(fd);
    // An accepted or a refused connection both came back from the host.
    if (err == 0 || err == ECONNREFUSED) {
        status = platform::EchoSuccess;
        return 1;
    }
    rtt = 0;
    status = err == ETIMEDOUT      ? platform::EchoTimedOut
             : err == EHOSTUNREACH ? platform::EchoDestHostUnreachable
             : err == ENETUNREACH  ? platform::EchoDestNetUnreachable
                                   : platform::EchoGeneralFailure;
    return 0;
}

// ---------------------------------------------------------------------------------------
// TAsyncping

std::shared_ptr<TAsyncping> TAsyncping::Create()
{
    return std::shared_ptr<TAsyncping>(new TAsyncping());
}

TAsyncping::~TAsyncping() = default;

void TAsyncping::SetHandler(THandler handler, TSCServer* station)
{
    handler_ = std::move(handler);
    station_ = station;
}

void TAsyncping::Detach()
{
    station_ = nullptr;
}

int TAsyncping::Running()
{
    return g_running.load();
}

void TAsyncping::Resume()
{
    if (!g_receiver && QCoreApplication::instance()) {
        g_receiver = new QObject();
        g_receiver->moveToThread(QCoreApplication::instance()->thread());
        DebugLog(QStringLiteral("Ping method: ") + PingMethodName(CurrentPingMethod()), dcGenOut);
    }
    ++g_running;
    g_pool->Run([self = shared_from_this()] {
        self->Execute();
        self->Finished = true;
        --g_running;
    });
}

void TAsyncping::Execute()
{
    if (HostAddress.isEmpty() || !handler_) return;
    try {
        TICMP echo;
        echo.SetAddress(HostAddress);
        echo.EchoTimeout = 2000;
        echo.FallbackPort = FallbackPort;
        const int replies = echo.Ping();
        RoundTrip = int(echo.EchoReply.RoundTripTime);
        Succeeded = replies != 0;
    } catch (const std::exception&) {
        // Without an echo the station's attempt runs into its time-out.
        return;
    }
    if (!g_receiver) return;
    std::shared_ptr<TAsyncping> self = shared_from_this();
    QMetaObject::invokeMethod(
        g_receiver,
        [self] {
            if (self->station_ && self->handler_) self->handler_(self->station_, self.get());
        },
        Qt::QueuedConnection);
}
