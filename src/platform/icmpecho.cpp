#include "icmpecho.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

int openIcmp(int type)
{
    return ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
}

bool toSockaddr(const QHostAddress& a, sockaddr_in& sa)
{
    bool ok = false;
    quint32 v4 = a.toIPv4Address(&ok);
    if (!ok) return false;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(v4);
    return true;
}

quint16 get16(const unsigned char* p)
{
    return quint16((p[0] << 8) | p[1]);
}

std::atomic<quint32> g_echoCounter{0};

quint32 statusForUnreachable(int code)
{
    switch (code) {
    case 0:
        return EchoDestNetUnreachable;
    case 1:
        return EchoDestHostUnreachable;
    case 2:
        return EchoDestProtUnreachable;
    case 3:
        return EchoDestPortUnreachable;
    default:
        return EchoDestHostUnreachable;
    }
}

quint32 statusForErrno(int e)
{
    switch (e) {
    case ENETUNREACH:
        return EchoDestNetUnreachable;
    case EHOSTUNREACH:
        return EchoDestHostUnreachable;
    case ENOBUFS:
    case ENOMEM:
        return EchoNoResources;
    default:
        return EchoGeneralFailure;
    }
}

} // namespace

QString EchoMethodName(TEchoMethod m)
{
    switch (m) {
    case TEchoMethod::Datagram:
        return QStringLiteral("datagram");
    case TEchoMethod::Raw:
        return QStringLiteral("raw");
    default:
        return QStringLiteral("none");
    }
}

TEchoMethod EchoMethod()
{
    static std::once_flag once;
    static TEchoMethod method = TEchoMethod::None;
    std::call_once(once, [] {
        TIcmpSocket s;
        if (s.Open()) method = s.Method();
    });
    return method;
}

quint16 IcmpChecksum(const char* data, int len)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    quint32 sum = 0;
    int i = 0;
    for (; i + 1 < len; i += 2)
        sum += quint32(p[i] << 8 | p[i + 1]);
    if (i < len) sum += quint32(p[i] << 8);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return quint16(~sum & 0xffff);
}

QByteArray BuildEchoRequest(quint16 id, quint16 seq, const QByteArray& payload)
{
    QByteArray m(8, '\0');
    m[0] = char(8);
    m[4] = char(id >> 8);
    m[5] = char(id & 0xff);
    m[6] = char(seq >> 8);
    m[7] = char(seq & 0xff);
    m += payload;
    quint16 sum = IcmpChecksum(m.constData(), int(m.size()));
    m[2] = char(sum >> 8);
    m[3] = char(sum & 0xff);
    return m;
}

bool DecodeIcmpPacket(const char* data, int len, TEchoMethod method, TIcmpPacket& p)
{
    const auto* b = reinterpret_cast<const unsigned char*>(data);
    p.Type = -1;
    p.Payload.clear();
    int off = 0;
    if (method == TEchoMethod::Raw) {
        if (len < 20 || (b[0] >> 4) != 4) return false;
        int ihl = (b[0] & 0x0f) * 4;
        if (ihl < 20 || len < ihl + 8 || b[9] != IPPROTO_ICMP) return false;
        p.Ttl = b[8];
        p.IpLength = len;
        off = ihl;
    } else {
        if (len < 8) return false;
        p.Ttl = 0;
        p.IpLength = len + 20;
    }
    const unsigned char* icmp = b + off;
    int icmpLen = len - off;
    p.Type = icmp[0];
    p.Code = icmp[1];
    if (p.Type == 0 || p.Type == 8) {
        p.Id = get16(icmp + 4);
        p.Seq = get16(icmp + 6);
        p.Payload = QByteArray(reinterpret_cast<const char*>(icmp + 8), icmpLen - 8);
        return true;
    }
    if (p.Type == 3 || p.Type == 11) {
        // The error quotes the offending IP header and the first 8 bytes of our request.
        const unsigned char* q = icmp + 8;
        int qLen = icmpLen - 8;
        if (qLen < 20 || (q[0] >> 4) != 4) return true;
        int qihl = (q[0] & 0x0f) * 4;
        if (qihl < 20 || qLen < qihl + 8 || q[9] != IPPROTO_ICMP) return true;
        p.Id = get16(q + qihl + 4);
        p.Seq = get16(q + qihl + 6);
        return true;
    }
    return true;
}

TIcmpSocket::~TIcmpSocket()
{
    Close();
}

bool TIcmpSocket::Open()
{
    Close();
    fd_ = openIcmp(SOCK_DGRAM);
    if (fd_ >= 0) {
        method_ = TEchoMethod::Datagram;
        errno_ = 0;
        return true;
    }
    int dgramErr = errno;
    fd_ = openIcmp(SOCK_RAW);
    if (fd_ >= 0) {
        method_ = TEchoMethod::Raw;
        errno_ = 0;
        return true;
    }
    // The raw socket's refusal (EPERM) says more than the datagram one's (EACCES).
    errno_ = errno ? errno : dgramErr;
    method_ = TEchoMethod::None;
    return false;
}

void TIcmpSocket::Close()
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    ttl_ = -1;
    localId_ = 0;
}

quint16 TIcmpSocket::EffectiveId(quint16 sentId) const
{
    if (method_ != TEchoMethod::Datagram) return sentId;
    return localId_;
}

bool TIcmpSocket::SendRaw(const QHostAddress& to, const QByteArray& icmp, int ttl)
{
    if (fd_ < 0) {
        errno_ = EBADF;
        return false;
    }
    sockaddr_in sa;
    if (!toSockaddr(to, sa)) {
        errno_ = EAFNOSUPPORT;
        return false;
    }
    if (ttl > 0 && ttl != ttl_) {
        int v = ttl;
        if (::setsockopt(fd_, IPPROTO_IP, IP_TTL, &v, sizeof v) == 0) ttl_ = ttl;
    }
    ssize_t n = ::sendto(fd_, icmp.constData(), size_t(icmp.size()), 0,
                         reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (n < 0) {
        errno_ = errno;
        return false;
    }
    if (method_ == TEchoMethod::Datagram && localId_ == 0) {
        sockaddr_in local;
        socklen_t ll = sizeof local;
        if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &ll) == 0)
            localId_ = ntohs(local.sin_port);
    }
    return true;
}

bool TIcmpSocket::SendEcho(const QHostAddress& to, quint16 id, quint16 seq,
                           const QByteArray& payload, int ttl)
{
    return SendRaw(to, BuildEchoRequest(id, seq, payload), ttl);
}

bool TIcmpSocket::Read(TIcmpPacket& p)
{
    p.Type = -1;
    if (fd_ < 0) {
        errno_ = EBADF;
        return false;
    }
    char buf[65536];
    sockaddr_in from;
    socklen_t fl = sizeof from;
    ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
    if (n < 0) {
        errno_ = errno;
        return false;
    }
    p.From = QHostAddress(ntohl(from.sin_addr.s_addr));
    errno_ = 0;
    return DecodeIcmpPacket(buf, int(n), method_, p);
}

TEchoResult IcmpEcho(const QHostAddress& addr, int timeoutMs, const QByteArray& payload, int ttl)
{
    using clock = std::chrono::steady_clock;
    TEchoResult r;
    sockaddr_in sa;
    if (!toSockaddr(addr, sa) || addr.toIPv4Address() == 0) {
        r.Status = EchoBadDestination;
        return r;
    }
    TIcmpSocket s;
    if (!s.Open()) {
        r.Errno = s.LastErrno();
        r.Status = EchoGeneralFailure;
        return r;
    }
    r.Method = s.Method();
    quint32 n = g_echoCounter.fetch_add(1) + 1;
    auto id = quint16((quint32(::getpid()) * 31u + (n >> 16)) & 0xffff);
    auto seq = quint16(n & 0xffff);
    auto start = clock::now();
    if (!s.SendEcho(addr, id, seq, payload, ttl)) {
        r.Errno = s.LastErrno();
        r.Status = statusForErrno(r.Errno);
        return r;
    }
    quint16 wantId = s.EffectiveId(id);
    auto deadline = start + std::chrono::milliseconds(qMax(0, timeoutMs));
    for (;;) {
        auto now = clock::now();
        if (now >= deadline) break;
        int waitMs =
            int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()) + 1;
        pollfd pfd{s.Handle(), POLLIN, 0};
        int pr = ::poll(&pfd, 1, waitMs);
        if (pr < 0) {
            if (errno == EINTR) continue;
            r.Errno = errno;
            r.Status = EchoGeneralFailure;
            return r;
        }
        if (pr == 0) continue;
        for (;;) {
            TIcmpPacket p;
            if (!s.Read(p)) {
                int e = s.LastErrno();
                if (e == EAGAIN || e == EWOULDBLOCK) break;
                if (e == 0 || e == EINTR) continue; // something undecodable, or a signal
                // A datagram socket reports ICMP errors about our request this way.
                r.Errno = e;
                r.Status = statusForErrno(e);
                if (r.Status == EchoGeneralFailure) break;
                return r;
            }
            if (p.Id != wantId || p.Seq != seq) continue;
            if (p.Type == 0) {
                r.Status = EchoSuccess;
                r.RoundTripMs =
                    int(std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - start)
                            .count());
                r.ReplyAddress = p.From;
                r.Ttl = p.Ttl;
                r.Data = p.Payload;
                return r;
            }
            if (p.Type == 3) {
                r.Status = statusForUnreachable(p.Code);
                r.ReplyAddress = p.From;
                return r;
            }
            if (p.Type == 11) {
                r.Status = EchoTtlExpired;
                r.ReplyAddress = p.From;
                return r;
            }
        }
    }
    r.Status = EchoTimedOut;
    return r;
}

} // namespace platform
