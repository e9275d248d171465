#include "wsocket.h"

#include "debuglog.h"

#include <QElapsedTimer>
#include <QHostInfo>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool isDotted(const QString& text, quint32* addr = nullptr)
{
    in_addr a;
    if (::inet_pton(AF_INET, text.toLatin1().constData(), &a) != 1) return false;
    if (addr) *addr = ntohl(a.s_addr);
    return true;
}

sockaddr_in makeAddr(quint32 hostOrderAddr, quint16 port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(hostOrderAddr);
    sa.sin_port = htons(port);
    return sa;
}

QString dotted(quint32 hostOrderAddr)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(hostOrderAddr >> 24)
        .arg((hostOrderAddr >> 16) & 0xff)
        .arg((hostOrderAddr >> 8) & 0xff)
        .arg(hostOrderAddr & 0xff);
}

// Runs a step driven by a notification: exceptions must not cross the event loop.
template <typename F> void guarded(TWSocket* s, const TWSocket::TBgExceptionEvent& bg, F&& f)
{
    QString message;
    try {
        f();
        return;
    } catch (const ESocketException& e) {
        message = e.Message;
    } catch (const std::exception& e) {
        message = QString::fromLocal8Bit(e.what());
    } catch (...) {
        message = QStringLiteral("unknown exception");
    }
    if (bg)
        bg(s, message);
    else
        DebugLog("TWSocket: " + message, dcErrOut);
}

// The text of a host name that gave no address.
QString cannotConvert(const QString& host)
{
    return QStringLiteral("WSocketResolveHost: Cannot convert host address '%1'").arg(host);
}

// The first IPv4 address of a look-up (host order), 0 when it found none.
quint32 FirstIPv4(const QHostInfo& info)
{
    for (const QHostAddress& a : info.addresses())
        if (a.protocol() == QAbstractSocket::IPv4Protocol) return a.toIPv4Address();
    return 0;
}

} // namespace

quint32 WSocketResolveHost(const QString& text)
{
    if (text.isEmpty() || text.size() > 256)
        throw ESocketException("WSocketResolveHost: '" + text + "' Invalid Hostname.", WSAEINVAL);
    QString t = text.trimmed();
    if (!t.isEmpty() && t.at(0).isDigit()) {
        quint32 a = 0;
        if (!isDotted(t, &a))
            throw ESocketException("WSocketResolveHost: '" + text + "' Invalid IP address.",
                                   WSAEINVAL);
        return a;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = ::getaddrinfo(t.toLatin1().constData(), nullptr, &hints, &res);
    if (rc != 0 || !res) throw ESocketException(cannotConvert(text), WinsockResolverError(rc));
    quint32 a = ntohl(reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr);
    ::freeaddrinfo(res);
    return a;
}

quint16 WSocketResolvePort(const QString& text, const QString& proto)
{
    if (text.isEmpty() || text.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Port.", WSAEINVAL);
    if (text.at(0).isDigit()) {
        qint64 v = 0;
        for (QChar c : text) {
            if (!c.isDigit()) break;
            v = v * 10 + c.digitValue();
            if (v > 65535) break;
        }
        if (v > 65535)
            throw ESocketException(
                QStringLiteral("WSocketResolvePort: Cannot convert port '%1'").arg(text),
                WSAEINVAL);
        return quint16(v);
    }
    servent* se = ::getservbyname(text.toLatin1().constData(),
                                  proto.isEmpty() ? nullptr : proto.toLatin1().constData());
    if (!se)
        throw ESocketException(
            QStringLiteral("WSocketResolvePort: Cannot convert port '%1'").arg(text), WSANO_DATA);
    return ntohs(quint16(se->s_port));
}

int WSocketResolveProto(const QString& text)
{
    if (text.isEmpty()) throw ESocketException("WSocketResolveProto: Invalid Protocol.", WSAEINVAL);
    QString t = text.toLower();
    if (t == "tcp") return IPPROTO_TCP;
    if (t == "udp") return IPPROTO_UDP;
    protoent* pe = ::getprotobyname(t.toLatin1().constData());
    if (!pe)
        throw ESocketException(
            QStringLiteral("WSocketResolveProto: Cannot convert protocol '%1'").arg(text),
            WSANO_DATA);
    return pe->p_proto;
}

QString LocalHostName()
{
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return QString();
    return QString::fromLocal8Bit(buf);
}

QStringList LocalIPList()
{
    // The interfaces' own addresses: no name look-up leaves the machine for this.
    QStringList list, loopback;
    ifaddrs* ifs = nullptr;
    if (::getifaddrs(&ifs) == 0) {
        for (ifaddrs* p = ifs; p; p = p->ifa_next) {
            if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET || !(p->ifa_flags & IFF_UP))
                continue;
            const QString a =
                dotted(ntohl(reinterpret_cast<sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr));
            QStringList& into = (p->ifa_flags & IFF_LOOPBACK) ? loopback : list;
            if (!into.contains(a)) into << a;
        }
        ::freeifaddrs(ifs);
    }
    list << loopback;
    if (list.isEmpty()) list << QStringLiteral("127.0.0.1");
    return list;
}

// ---------------------------------------------------------------------------------------

TWSocket::TWSocket(QObject* parent) : QObject(parent) {}

TWSocket::~TWSocket()
{
    if (lookupId_ >= 0) QHostInfo::abortHostLookup(lookupId_);
    if (nameLookupId_ >= 0) QHostInfo::abortHostLookup(nameLookupId_);
    deleteNotifiers();
    if (fd_ >= 0) ::close(fd_);
}

bool TWSocket::changeState(TSocketState s)
{
    if (s == state_) return true;
    TSocketState old = state_;
    state_ = s;
    // The owner may free the socket from its handler.
    QPointer<TWSocket> self(this);
    if (auto f = OnChangeState) f(this, old, s);
    return !self.isNull();
}

void TWSocket::raise(const QString& message, int error)
{
    lastError_ = error;
    lastErrorMessage_ = message;
    if (auto f = OnError) {
        f(this);
        return;
    }
    throw ESocketException(message, error);
}

void TWSocket::socketError(const QString& function, int error)
{
    raise(QStringLiteral("Error %1 in function %2\r\n%3")
              .arg(error)
              .arg(function, SocketErrorText(error)),
          error);
}

void TWSocket::checkClosed(const char* what) const
{
    if (state_ != wsClosed)
        throw ESocketException(QStringLiteral("Cannot change %1 if not closed").arg(what),
                               WSAEISCONN);
}

void TWSocket::checkSocksClosed(const char* what) const
{
    if (state_ != wsClosed)
        throw ESocketException(QStringLiteral("Can't change socks %1 if not closed").arg(what),
                               WSAEISCONN);
}

void TWSocket::setWhileClosed(QString& field, const QString& v, const char* what)
{
    if (v == field) return;
    checkClosed(what);
    field = v;
}

void TWSocket::SetAddr(const QString& v)
{
    setWhileClosed(addr_, v, "Addr");
}

void TWSocket::SetPort(const QString& v)
{
    setWhileClosed(port_, v, "Port");
}

void TWSocket::SetProto(const QString& v)
{
    setWhileClosed(proto_, v, "Proto");
}

void TWSocket::SetLocalPort(const QString& v)
{
    setWhileClosed(localPort_, v, "LocalPort");
}

void TWSocket::SetLocalAddr(const QString& v)
{
    setWhileClosed(localAddr_, v, "LocalAddr");
}

void TWSocket::SetSocksServer(const QString& v)
{
    if (v == socksServer_) return;
    checkSocksClosed("server");
    socksServer_ = v.trimmed();
}

void TWSocket::SetSocksPort(const QString& v)
{
    if (v == socksPort_) return;
    checkSocksClosed("port");
    socksPort_ = v.trimmed();
}

void TWSocket::SetSocksLevel(const QString& v)
{
    if (v == socksLevel_) return;
    checkSocksClosed("level");
    QString u = v.trimmed().toUpper();
    if (u != "4" && u != "4A" && u != "5")
        throw ESocketException("Invalid socks level. Must be 4, 4A or 5.", WSAEINVAL);
    socksLevel_ = u;
}

void TWSocket::SetSocksUsercode(const QString& v)
{
    if (v == socksUsercode_) return;
    checkSocksClosed("usercode");
    socksUsercode_ = v;
}

void TWSocket::SetSocksPassword(const QString& v)
{
    if (v == socksPassword_) return;
    checkSocksClosed("password");
    socksPassword_ = v;
}

void TWSocket::SetSocksAuthentication(TSocksAuthentication v)
{
    if (v == socksAuthentication_) return;
    checkSocksClosed("authentication");
    socksAuthentication_ = v;
}

int TWSocket::RcvdCount() const
{
    int n = int(pending_.size());
    if (fd_ >= 0) {
        int waiting = 0;
        if (::ioctl(fd_, FIONREAD, &waiting) == 0 && waiting > 0) n += waiting;
    }
    return n;
}

void TWSocket::createNotifiers()
{
    deleteNotifiers();
    readNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(readNotifier_, &QSocketNotifier::activated, this,
            [this] { guarded(this, OnBgException, [this] { onReadable(); }); });
    writeNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
    writeNotifier_->setEnabled(false);
    connect(writeNotifier_, &QSocketNotifier::activated, this,
            [this] { guarded(this, OnBgException, [this] { onWritable(); }); });
}

void TWSocket::deleteNotifiers()
{
    // Deleted later: a notifier may be the one whose activation is running right now.
    if (readNotifier_) {
        readNotifier_->setEnabled(false);
        readNotifier_->deleteLater();
        readNotifier_ = nullptr;
    }
    if (writeNotifier_) {
        writeNotifier_->setEnabled(false);
        writeNotifier_->deleteLater();
        writeNotifier_ = nullptr;
    }
    if (stallTimer_) stallTimer_->stop();
}

bool TWSocket::openSocket(int proto)
{
    udp_ = proto == IPPROTO_UDP;
    fd_ = ::socket(AF_INET, (udp_ ? SOCK_DGRAM : SOCK_STREAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        socketError("socket", LastWinsockError());
        return false;
    }
    return true;
}

void TWSocket::Connect()
{
    if (fd_ >= 0 || state_ != wsClosed) {
        raise("Connect: Socket already in use", WSAEISCONN);
        return;
    }
    if (port_.isEmpty()) {
        raise("Connect: No Port Specified", WSAEINVAL);
        return;
    }
    if (addr_.isEmpty()) {
        raise("Connect: No IP Address Specified", WSAEDESTADDRREQ);
        return;
    }
    if (proto_.isEmpty()) {
        raise("Connect: No Protocol Specified", WSAEPROTONOSUPPORT);
        return;
    }
    // Host names are looked up first, without blocking this thread; the connect goes on
    // with the answers. Addresses (and names looked up before) connect at once.
    unresolvedTarget_.clear();
    const QString name = nextConnectName();
    if (!name.isEmpty()) {
        closeNotified_ = false;
        if (!changeState(wsConnecting)) return;
        lookUp(name, [this, name](const QHostInfo& info) { connectLookupDone(name, info); });
        return;
    }
    connectNow();
}

QString TWSocket::nextConnectName() const
{
    const bool socks = !socksServer_.isEmpty();
    if (socks ? needsLookup(socksServer_) : needsLookup(addr_))
        return (socks ? socksServer_ : addr_).trimmed();
    // SOCKS 4 sends the peer's address itself: it is looked up here too.
    if (socks && socksLevel_ == "4" && needsLookup(addr_) && unresolvedTarget_.isEmpty())
        return addr_.trimmed();
    return {};
}

void TWSocket::lookUp(const QString& name, std::function<void(const QHostInfo&)> done)
{
    nameLookupId_ = QHostInfo::lookupHost(name, this, std::move(done));
}

bool TWSocket::needsLookup(const QString& host) const
{
    // Addresses, and texts the resolver would refuse anyway, take the direct way.
    const QString t = host.trimmed();
    return !t.isEmpty() && t.size() <= 256 && !t.at(0).isDigit() && !names_.contains(t);
}

quint32 TWSocket::resolveHost(const QString& host) const
{
    const auto it = names_.constFind(host.trimmed());
    if (it != names_.constEnd()) return it.value();
    // A name not looked up (or not found) is not asked for here: that would wait.
    if (needsLookup(host)) throw ESocketException(cannotConvert(host), WSAHOST_NOT_FOUND);
    return WSocketResolveHost(host);
}

void TWSocket::cancelNameLookup()
{
    if (nameLookupId_ < 0) return;
    QHostInfo::abortHostLookup(nameLookupId_);
    nameLookupId_ = -1;
}

void TWSocket::connectLookupDone(const QString& name, const QHostInfo& info)
{
    if (info.lookupId() != nameLookupId_) return; // cancelled meanwhile
    nameLookupId_ = -1;
    guarded(this, OnBgException, [&] {
        const quint32 addr = FirstIPv4(info);
        const bool socksTarget = !socksServer_.isEmpty() && name != socksServer_.trimmed();
        if (addr != 0 || socksTarget) {
            if (addr != 0)
                names_.insert(name, addr);
            else
                unresolvedTarget_ = name; // the SOCKS request reports it (error 20017)
            const QString next = nextConnectName();
            if (!next.isEmpty()) {
                lookUp(next, [this, next](const QHostInfo& i) { connectLookupDone(next, i); });
                return;
            }
            // A connect that fails before it has a socket (its error is raised) leaves
            // the socket closed again.
            struct TAfter
            {
                TWSocket* s;
                ~TAfter()
                {
                    if (s->fd_ >= 0 || s->state_ != wsConnecting) return;
                    s->closeNotified_ = true;
                    s->changeState(wsClosed);
                }
            } after{this};
            connectNow();
            return;
        }
        // No address: the connect fails as a refused one does.
        const int error = info.error() == QHostInfo::NoError ? WSANO_DATA : WSAHOST_NOT_FOUND;
        closeNotified_ = true;
        if (!changeState(wsClosed)) return;
        lastError_ = error;
        if (auto f = OnSessionConnected) f(this, quint16(error));
    });
}

void TWSocket::connectNow()
{
    bool viaSocks = !socksServer_.isEmpty();
    quint32 addr = 0;
    quint16 port = 0;
    int proto = 0;
    try {
        proto = WSocketResolveProto(proto_);
    } catch (const ESocketException& e) {
        raise("connect: " + e.Message, e.ErrorCode);
        return;
    }
    if (viaSocks && proto != IPPROTO_TCP) {
        raise("tcp is the only protocol supported thru socks server", WSAEPROTONOSUPPORT);
        return;
    }
    try {
        const QString protoName = proto == IPPROTO_UDP ? "udp" : "tcp";
        if (viaSocks) {
            addr = resolveHost(socksServer_);
            port = WSocketResolvePort(socksPort_, "tcp");
            resolvedPort_ = WSocketResolvePort(port_, "tcp"); // the peer's, for the request
            resolvedPortText_ = port_;
        } else {
            if (addr_ != resolvedAddrText_) {
                resolvedAddr_ = resolveHost(addr_);
                resolvedAddrText_ = addr_;
            }
            if (port_ != resolvedPortText_) {
                resolvedPort_ = WSocketResolvePort(port_, protoName);
                resolvedPortText_ = port_;
            }
            addr = resolvedAddr_;
            port = resolvedPort_;
        }
    } catch (const ESocketException& e) {
        raise("connect: " + e.Message, e.ErrorCode);
        return;
    }

    if (!openSocket(proto)) return;
    auto fail = [this](const char* function) {
        int err = LastWinsockError();
        ::close(fd_);
        fd_ = -1;
        socketError(function, err);
    };
    int one = 1;
    quint16 lport = 0;
    if (!localPort_.isEmpty() && localPort_ != "0") {
        try {
            lport = WSocketResolvePort(localPort_, udp_ ? "udp" : "tcp");
        } catch (const ESocketException& e) {
            ::close(fd_);
            fd_ = -1;
            raise("connect: " + e.Message, e.ErrorCode);
            return;
        }
    }
    quint32 laddr = 0;
    if (!localAddr_.isEmpty()) isDotted(localAddr_, &laddr);
    if (udp_) {
        if (addr == 0xffffffffu) ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        sockaddr_in la = makeAddr(laddr, lport);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&la), sizeof la) != 0) return fail("bind");
        sockaddr_in ra = makeAddr(addr, port);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&ra), sizeof ra) != 0)
            return fail("connect");
        closeNotified_ = false;
        createNotifiers();
        if (!changeState(wsConnected)) return;
        if (auto f = OnSessionConnected) f(this, 0);
        return;
    }
    ::setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (lport != 0 || laddr != 0) {
        sockaddr_in la = makeAddr(laddr, lport);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&la), sizeof la) != 0) return fail("bind");
    }
    sockaddr_in ra = makeAddr(addr, port);
    int rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&ra), sizeof ra);
    int err = rc == 0 ? 0 : errno;
    if (rc != 0 && err != EINPROGRESS && err != ECONNREFUSED && err != ETIMEDOUT &&
        err != ENETUNREACH && err != EHOSTUNREACH)
        return fail("connect");
    // Refusals that the system reports at once still arrive as a connect notification,
    // as they do for a remote peer.
    socksNegotiating_ = viaSocks;
    tcpConnecting_ = true;
    closeNotified_ = false;
    createNotifiers();
    if (!changeState(wsConnecting)) return;
    writeNotifier_->setEnabled(true);
}

void TWSocket::onWritable()
{
    if (fd_ < 0) return;
    if (tcpConnecting_) {
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
        writeNotifier_->setEnabled(false);
        onConnectDone(WinsockError(err));
        return;
    }
    if (sendHead_ < sendQueue_.size()) tryToSend();
    if (fd_ >= 0 && sendHead_ >= sendQueue_.size()) {
        if (writeNotifier_) writeNotifier_->setEnabled(false);
        if (appDataQueued_ && !socksNegotiating_) {
            appDataQueued_ = false;
            if (auto f = OnDataSent) f(this, 0);
        }
    }
}

void TWSocket::onConnectDone(int error)
{
    tcpConnecting_ = false;
    if (socksNegotiating_) {
        if (error) {
            socksNegotiating_ = false;
            closeNotified_ = true;
            closeSocket(false, false, error);
            lastError_ = error;
            QPointer<TWSocket> self(this);
            if (auto f = OnSocksConnected) f(this, quint16(error));
            if (!self) return;
            if (auto f = OnSessionConnected) f(this, quint16(error));
            return;
        }
        socksConnected();
        return;
    }
    if (error) {
        closeNotified_ = true;
        closeSocket(false, false, error);
        lastError_ = error;
        if (auto f = OnSessionConnected) f(this, quint16(error));
        return;
    }
    if (!changeState(wsConnected)) return;
    if (auto f = OnSessionConnected) f(this, 0);
}

void TWSocket::Listen()
{
    if (!socksServer_.isEmpty()) {
        raise("listening is not supported thru socks server", WSAEOPNOTSUPP);
        return;
    }
    if (fd_ >= 0 || state_ != wsClosed) {
        raise("listen: socket is already listening", WSAEISCONN);
        return;
    }
    if (port_.isEmpty()) {
        raise("listen: port not assigned", WSAEINVAL);
        return;
    }
    quint32 addr = 0;
    quint16 port = 0;
    int proto = 0;
    try {
        proto = WSocketResolveProto(proto_);
        port = WSocketResolvePort(port_, proto == IPPROTO_UDP ? "udp" : "tcp");
        if (!addr_.isEmpty() && addr_ != "0.0.0.0") {
            if (needsLookup(addr_)) {
                // A host name is looked up first, without blocking this thread; the socket
                // is bound with the answer (wsOpened meanwhile).
                const QString name = addr_.trimmed();
                if (!changeState(wsOpened)) return;
                lookUp(name, [this, name, proto, port](const QHostInfo& info) {
                    listenLookupDone(name, info, proto, port);
                });
                return;
            }
            addr = resolveHost(addr_);
        }
    } catch (const ESocketException& e) {
        raise("listen: " + e.Message, e.ErrorCode);
        return;
    }
    listenNow(proto, addr, port);
}

void TWSocket::listenLookupDone(const QString& name, const QHostInfo& info, int proto, quint16 port)
{
    if (info.lookupId() != nameLookupId_) return; // cancelled meanwhile
    nameLookupId_ = -1;
    guarded(this, OnBgException, [&] {
        const quint32 addr = FirstIPv4(info);
        if (addr != 0) {
            names_.insert(name, addr);
            listenNow(proto, addr, port);
            return;
        }
        if (!changeState(wsClosed)) return;
        raise("listen: " + cannotConvert(name),
              info.error() == QHostInfo::NoError ? WSANO_DATA : WSAHOST_NOT_FOUND);
    });
}

void TWSocket::listenNow(int proto, quint32 addr, quint16 port)
{
    // A listen that fails after its look-up (its error is raised) leaves the socket closed.
    struct TAfter
    {
        TWSocket* s;
        ~TAfter()
        {
            if (s->fd_ < 0 && s->state_ == wsOpened) s->changeState(wsClosed);
        }
    } after{this};
    if (!openSocket(proto)) return;
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in la = makeAddr(addr, port);
    const char* function = "bind";
    bool ok = ::bind(fd_, reinterpret_cast<sockaddr*>(&la), sizeof la) == 0;
    if (ok && !udp_) {
        function = "listen";
        ok = ::listen(fd_, 5) == 0;
    }
    if (!ok) {
        int err = LastWinsockError();
        ::close(fd_);
        fd_ = -1;
        socketError(function, err);
        return;
    }
    closeNotified_ = !udp_; // a listening TCP socket has no session to report closed
    createNotifiers();
    changeState(wsListening);
}

int TWSocket::Accept()
{
    if (fd_ < 0 || state_ != wsListening || udp_) {
        socketError("accept", WSAEINVAL);
        return -1;
    }
    if (readNotifier_) readNotifier_->setEnabled(true);
    int h = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (h < 0) {
        socketError("accept", LastWinsockError());
        return -1;
    }
    return h;
}

void TWSocket::Dup(int handle)
{
    if (fd_ >= 0 || state_ != wsClosed) {
        raise("Dup: Socket already in use", WSAEISCONN);
        return;
    }
    if (handle < 0) {
        socketError("Dup", WSAENOTSOCK);
        return;
    }
    int fl = ::fcntl(handle, F_GETFL);
    ::fcntl(handle, F_SETFL, fl | O_NONBLOCK);
    fd_ = handle;
    udp_ = false;
    closeNotified_ = false;
    createNotifiers();
    changeState(wsConnected);
}

int TWSocket::Release()
{
    if (fd_ < 0 || udp_ || state_ != wsConnected || socksNegotiating_ || !pending_.isEmpty() ||
        BufferedByteCount() > 0)
        return -1;
    const int handle = fd_;
    fd_ = -1;
    closeNotified_ = true;
    closeSocket(false, false, 0);
    return handle;
}

void TWSocket::DnsLookup(const QString& host)
{
    if (host.isEmpty()) {
        raise("DNS lookup: invalid host name.", WSAEINVAL);
        if (auto f = OnDnsLookupDone) f(this, WSAEINVAL);
        return;
    }
    QString h = host.trimmed();
    if (isDotted(h)) {
        dnsResultList_ = QStringList{h};
        if (auto f = OnDnsLookupDone) f(this, 0);
        return;
    }
    if (lookupId_ >= 0) {
        QHostInfo::abortHostLookup(lookupId_);
        lookupId_ = -1;
    }
    dnsResultList_.clear();
    int id = QHostInfo::lookupHost(h, this, [this](const QHostInfo& hi) {
        QStringList list;
        for (const QHostAddress& a : hi.addresses())
            if (a.protocol() == QAbstractSocket::IPv4Protocol && !list.contains(a.toString()))
                list << a.toString();
        int err = 0;
        if (hi.error() == QHostInfo::HostNotFound)
            err = WSAHOST_NOT_FOUND;
        else if (hi.error() != QHostInfo::NoError)
            err = WSANO_RECOVERY;
        else if (list.isEmpty())
            err = WSANO_DATA;
        lookupDone(hi.lookupId(), list, err);
    });
    if (id < 0) {
        raise(QStringLiteral("%1: can't start DNS lookup, error #%2").arg(h).arg(WSAENOBUFS),
              WSAENOBUFS);
        return;
    }
    lookupId_ = id;
}

void TWSocket::lookupDone(int id, const QStringList& addrs, int error)
{
    if (id != lookupId_) return; // a lookup that was cancelled or replaced
    lookupId_ = -1;
    dnsResultList_ = addrs;
    guarded(this, OnBgException, [&] {
        if (auto f = OnDnsLookupDone) f(this, quint16(error));
    });
}

void TWSocket::CancelDnsLookup()
{
    if (lookupId_ < 0) return;
    QHostInfo::abortHostLookup(lookupId_);
    lookupId_ = -1;
    if (auto f = OnDnsLookupDone) f(this, WSAEINTR);
}

int TWSocket::Send(const void* data, int len)
{
    if (state_ != wsConnected || fd_ < 0) {
        socketError("Send", WSAENOTCONN);
        return -1;
    }
    if (len <= 0) return 0;
    if (udp_) {
        // One datagram per call; datagrams are never merged in a queue.
        ssize_t n = ::send(fd_, data, size_t(len), MSG_NOSIGNAL);
        if (n < 0) {
            int err = LastWinsockError();
            if (err == WSAECONNREFUSED || err == WSAEWOULDBLOCK) return 0;
            socketError("Send", err);
            return -1;
        }
        appDataQueued_ = true;
        if (writeNotifier_) writeNotifier_->setEnabled(true);
        return int(n);
    }
    sendQueue_.append(static_cast<const char*>(data), len);
    appDataQueued_ = true;
    tryToSend();
    return len;
}

int TWSocket::SendStr(const QString& text)
{
    return SendStr(text.toLatin1());
}

int TWSocket::SendStr(const QByteArray& bytes)
{
    return Send(bytes.constData(), int(bytes.size()));
}

void TWSocket::tryToSend()
{
    if (fd_ < 0) return;
    while (sendHead_ < sendQueue_.size()) {
        qsizetype left = sendQueue_.size() - sendHead_;
        int flags = MSG_NOSIGNAL | (SendFlags == wsSendUrgent ? MSG_OOB : 0);
        ssize_t n = ::send(fd_, sendQueue_.constData() + sendHead_, size_t(left), flags);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = LastWinsockError();
            if (err == WSAEWOULDBLOCK) {
                if (writeNotifier_) writeNotifier_->setEnabled(true);
                return;
            }
            lastError_ = err;
            if (err == WSAECONNRESET || err == WSAENOTSOCK || err == WSAENOTCONN ||
                err == WSAEINVAL) {
                closeSocket(false, true, err);
                return;
            }
            socketError("TryToSend failed", err);
            return;
        }
        sendHead_ += n;
    }
    sendQueue_.clear();
    sendHead_ = 0;
    // OnDataSent comes from the next write notification, never from inside Send.
    if (writeNotifier_) writeNotifier_->setEnabled(appDataQueued_);
}

void TWSocket::onReadable()
{
    if (fd_ < 0) return;
    if (tcpConnecting_) {
        onWritable(); // a refused connect can show up as readable first
        return;
    }
    if (state_ == wsListening && !udp_) {
        // Until someone accepts, the pending connection would keep the notifier firing.
        readNotifier_->setEnabled(false);
        if (auto f = OnSessionAvailable)
            f(this, 0);
        else {
            int h = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (h >= 0) ::close(h);
            if (readNotifier_) readNotifier_->setEnabled(true);
        }
        return;
    }
    if (socksNegotiating_) {
        socksReceive();
        return;
    }
    if (udp_ && pending_.isEmpty() && RcvdCount() == 0) {
        // An empty datagram, or an error the system queued for this socket.
        char c;
        ssize_t n = ::recv(fd_, &c, 1, MSG_DONTWAIT);
        if (n < 0) lastError_ = LastWinsockError();
        return;
    }
    deliverData();
}

void TWSocket::deliverData()
{
    if (fd_ < 0) return;
    if (!udp_ && pending_.isEmpty() && RcvdCount() == 0) {
        char c;
        ssize_t n = ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0)
            peerClosed(0);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            peerClosed(LastWinsockError());
        return;
    }
    QPointer<TWSocket> self(this);
    // The system is asked how much is waiting only once what it last reported is read.
    qint64 known = RcvdCount();
    while (fd_ >= 0 && known > 0) {
        const qint64 before = readCount_;
        wouldBlock_ = false;
        bool thrown = false;
        if (auto f = OnDataAvailable) {
            try {
                f(this, 0);
            } catch (const ESocketException& e) {
                if (!self) return;
                DebugLog("TWSocket: receive handler: " + e.Message, dcErrOut);
                thrown = true;
            } catch (const std::exception& e) {
                if (!self) return;
                DebugLog("TWSocket: receive handler: " + QString::fromLocal8Bit(e.what()),
                         dcErrOut);
                thrown = true;
            }
            if (!self) return;
        } else {
            char buf[1024];
            if (Receive(buf, sizeof buf) <= 0) break;
        }
        if (readCount_ == before) {
            if (wouldBlock_) break; // everything was taken already
            // Nothing was read: wait until the application reads or the peer goes away,
            // instead of spinning on data nobody takes.
            startStallWatch();
            break;
        }
        if (thrown) break; // an exception ends this round; nothing reports it
        known -= readCount_ - before;
        // What the system received since comes with the next readiness report; the loop
        // goes round first. Only bytes held here would not raise one.
        if (known <= 0 && fd_ >= 0 && !pending_.isEmpty()) known = RcvdCount();
    }
}

void TWSocket::startStallWatch()
{
    if (fd_ < 0 || stalled_) return;
    stalled_ = true;
    if (readNotifier_) readNotifier_->setEnabled(false);
    if (!stallTimer_) {
        stallTimer_ = new QTimer(this);
        stallTimer_->setInterval(100);
        connect(stallTimer_, &QTimer::timeout, this, [this] {
            guarded(this, OnBgException, [this] {
                if (fd_ < 0 || !stalled_) {
                    stallTimer_->stop();
                    return;
                }
                pollfd p{fd_, POLLRDHUP, 0};
                if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
                    stallTimer_->stop();
                    stalled_ = false;
                    // The peer is gone: the waiting bytes are offered once more, then
                    // the session ends.
                    QPointer<TWSocket> self(this);
                    if (auto f = OnDataAvailable) {
                        try {
                            f(this, 0);
                        } catch (...) {
                        }
                    }
                    if (self && fd_ >= 0) peerClosed(0);
                }
            });
        });
    }
    stallTimer_->start();
}

int TWSocket::Receive(void* buffer, int size)
{
    if (size <= 0) return 0;
    if (!pending_.isEmpty()) {
        int n = int(qMin<qsizetype>(size, pending_.size()));
        memcpy(buffer, pending_.constData(), size_t(n));
        pending_.remove(0, n);
        readCount_ += n;
        return n;
    }
    if (fd_ < 0) {
        lastError_ = WSAENOTSOCK;
        return -1;
    }
    ssize_t n = ::recv(fd_, buffer, size_t(size), 0);
    if (n < 0) {
        int err = LastWinsockError();
        lastError_ = err;
        wouldBlock_ = err == WSAEWOULDBLOCK;
        if (err == WSAECONNRESET || err == WSAENOTCONN) peerClosed(err);
        return -1;
    }
    readCount_ += n;
    if (stalled_ && n > 0) {
        stalled_ = false;
        if (stallTimer_) stallTimer_->stop();
        if (readNotifier_) readNotifier_->setEnabled(true);
    }
    return int(n);
}

QByteArray TWSocket::ReceiveStr()
{
    int n = RcvdCount();
    if (n <= 0) return QByteArray();
    QByteArray b(n, Qt::Uninitialized);
    int got = Receive(b.data(), n);
    if (got <= 0) return QByteArray();
    b.truncate(got);
    return b;
}

void TWSocket::peerClosed(int error)
{
    if (fd_ < 0) return;
    lastError_ = error;
    closeSocket(false, true, error);
}

void TWSocket::closeSocket(bool shutdownFirst, bool notify, int error)
{
    deleteNotifiers();
    stalled_ = false;
    if (fd_ >= 0) {
        if (shutdownFirst) ::shutdown(fd_, SHUT_WR);
        ::close(fd_);
        fd_ = -1;
    }
    sendQueue_.clear();
    sendHead_ = 0;
    appDataQueued_ = false;
    pending_.clear();
    socksNegotiating_ = false;
    tcpConnecting_ = false;
    if (!changeState(wsClosed)) return;
    if (notify && !closeNotified_) {
        closeNotified_ = true;
        if (auto f = OnSessionClosed) f(this, quint16(error));
    }
}

namespace {

// Sends what a closed connection still had queued, then ends it: through the write
// notifier, never waiting. A peer that takes nothing for CloseDrainMs is taken as stuck,
// and one that is slow but moving gets CloseDrainLimitMs in all. It belongs to the socket
// it came from, which may meanwhile open another connection.
class TCloseDrain : public QObject
{
public:
    static constexpr int CloseDrainMs = 2000;
    static constexpr int CloseDrainLimitMs = 60000;
    TCloseDrain(int fd, QByteArray rest, QObject* parent)
        : QObject(parent), fd_(fd), rest_(std::move(rest)), notifier_(fd, QSocketNotifier::Write)
    {
        connect(&notifier_, &QSocketNotifier::activated, this, [this] { send(); });
        timer_.setSingleShot(true);
        connect(&timer_, &QTimer::timeout, this, [this] { finish(); });
        timer_.start(CloseDrainMs);
        running_.start();
    }
    ~TCloseDrain() override
    {
        notifier_.setEnabled(false);
        ::shutdown(fd_, SHUT_WR);
        ::close(fd_);
    }

private:
    void send()
    {
        const qsizetype before = sent_;
        while (sent_ < rest_.size()) {
            const ssize_t n =
                ::send(fd_, rest_.constData() + sent_, size_t(rest_.size() - sent_), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // Still moving: the stuck-peer clock starts again, within the overall limit.
                const qint64 left = CloseDrainLimitMs - running_.elapsed();
                if (left <= 0) break;
                if (sent_ > before) timer_.start(int(qMin<qint64>(CloseDrainMs, left)));
                return;
            }
            if (n <= 0) break; // the connection failed: nothing more can go
            sent_ += n;
        }
        finish();
    }
    void finish()
    {
        notifier_.setEnabled(false);
        timer_.stop();
        deleteLater();
    }
    int fd_;
    QByteArray rest_;
    qsizetype sent_ = 0;
    QSocketNotifier notifier_;
    QTimer timer_;
    QElapsedTimer running_;
};

} // namespace

void TWSocket::Close()
{
    cancelNameLookup();
    if (fd_ < 0) {
        if (state_ != wsClosed) changeState(wsClosed);
        return;
    }
    if (state_ == wsConnected && !udp_ && sendHead_ < sendQueue_.size()) {
        // Graceful: what is still queued goes out first, without waiting for it here. The
        // connection is handed to a drain and the socket is closed for its user at once.
        deleteNotifiers();
        new TCloseDrain(fd_, sendQueue_.mid(sendHead_), this);
        fd_ = -1;
        closeSocket(false, true, 0);
        return;
    }
    closeSocket(state_ == wsConnected && !udp_, true, 0);
}

void TWSocket::Abort()
{
    cancelNameLookup();
    CancelDnsLookup();
    sendQueue_.clear();
    sendHead_ = 0;
    if (fd_ < 0) {
        // A connect or listen still looking up its host name ends here.
        closeNotified_ = true;
        if (state_ != wsClosed) changeState(wsClosed);
        return;
    }
    if (!udp_ && state_ != wsListening) {
        linger l{1, 0}; // reset the connection, drop what the system still holds
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    closeSocket(false, true, 0);
}

// The address of either end of the connection; false when there is none.
static bool endAddress(int fd, bool peer, sockaddr_in& sa)
{
    socklen_t len = sizeof sa;
    auto* a = reinterpret_cast<sockaddr*>(&sa);
    return fd >= 0 && (peer ? ::getpeername(fd, a, &len) : ::getsockname(fd, a, &len)) == 0;
}

QString TWSocket::GetPeerAddr() const
{
    sockaddr_in sa{};
    return endAddress(fd_, true, sa) ? dotted(ntohl(sa.sin_addr.s_addr)) : QStringLiteral("error");
}

quint16 TWSocket::GetPeerPort() const
{
    sockaddr_in sa{};
    return endAddress(fd_, true, sa) ? ntohs(sa.sin_port) : 0;
}

QString TWSocket::GetXAddr() const
{
    sockaddr_in sa{};
    return endAddress(fd_, false, sa) ? dotted(ntohl(sa.sin_addr.s_addr)) : QStringLiteral("error");
}

quint16 TWSocket::GetXPort() const
{
    sockaddr_in sa{};
    return endAddress(fd_, false, sa) ? ntohs(sa.sin_port) : 0;
}

// ---------------------------------------------------------------------------------------
// SOCKS

void TWSocket::socksConnected()
{
    QPointer<TWSocket> self(this);
    if (auto f = OnSocksConnected) f(this, 0);
    if (!self || fd_ < 0) return;
    TSocksRequest r;
    r.Level = socksLevel_;
    r.Addr = addr_;
    r.Port = resolvedPort_;
    r.Usercode = socksUsercode_;
    r.Password = socksPassword_;
    r.Authentication = socksAuthentication_;
    if (socksLevel_ == "4") {
        try {
            r.AddrIPv4 = resolveHost(addr_);
        } catch (const ESocketException&) {
            socksFailed(socksHostResolutionFailed, "can't resolve host name: " + addr_);
            return;
        }
    }
    socks_.OnAuthState = [this](TSocksAuthState s) {
        if (auto f = OnSocksAuthState) f(this, s);
    };
    sendQueue_.append(socks_.Start(r));
    tryToSend();
}

void TWSocket::socksReceive()
{
    char buf[4096];
    for (;;) {
        if (fd_ < 0 || !socksNegotiating_) return;
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) return;
            socksFailed(socksDataReceiveError,
                        "socks server connection error: " + SocketErrorText(LastWinsockError()));
            return;
        }
        if (n == 0) {
            socksFailed(socksDataReceiveError, "socks server closed the connection");
            return;
        }
        QPointer<TWSocket> self(this);
        TSocksNegotiator::TResult r = socks_.Feed(buf, int(n));
        if (!self) return;
        if (r == TSocksNegotiator::Failed) {
            socksFailed(socks_.ErrorCode(), socks_.ErrorMessage());
            return;
        }
        QByteArray out = socks_.TakeOutput();
        if (!out.isEmpty()) {
            sendQueue_.append(out);
            tryToSend();
        }
        if (r == TSocksNegotiator::Done) {
            socksNegotiating_ = false;
            pending_ = socks_.Extra();
            if (!changeState(wsConnected)) return;
            if (auto f = OnSessionConnected) f(this, 0);
            if (!self) return;
            // Bytes that came right behind the proxy's reply are the peer's first data.
            if (!pending_.isEmpty())
                QMetaObject::invokeMethod(
                    this, [this] { guarded(this, OnBgException, [this] { deliverData(); }); },
                    Qt::QueuedConnection);
            return;
        }
    }
}

void TWSocket::socksFailed(int error, const QString& message)
{
    QPointer<TWSocket> self(this);
    lastError_ = error;
    lastErrorMessage_ = message;
    if (auto f = OnSocksError) f(this, error, message);
    if (!self) return;
    closeNotified_ = true; // the session never opened
    closeSocket(false, false, error);
    if (auto f = OnSessionConnected) f(this, quint16(error));
}
