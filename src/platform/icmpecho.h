#pragma once
// ICMP echo (RFC 792) for IPv4. Linux offers two ways to send an echo: an ICMP datagram
// socket (allowed when net.ipv4.ping_group_range covers the user's group) and a raw
// socket (needs root or CAP_NET_RAW). Every opener tries them in that order. A TCP connect
// round trip, for machines that allow neither, is left to the callers.
//
// Two layers: IcmpEcho() is one blocking echo for background threads; TIcmpSocket is the
// non-blocking socket for callers that drive it from the event loop (its Handle() goes
// into a QSocketNotifier).
#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QtGlobal>

namespace platform {

enum class TEchoMethod
{
    None,     // neither socket kind can be opened here
    Datagram, // SOCK_DGRAM, IPPROTO_ICMP: the kernel owns the identifier and filters replies
    Raw       // SOCK_RAW, IPPROTO_ICMP: every ICMP datagram arrives with its IP header
};

// The method that works on this machine (probed once, then remembered).
TEchoMethod EchoMethod();
QString EchoMethodName(TEchoMethod m); // "none", "datagram", "raw"

// Status codes of an echo; the numbers are those of the system's ICMP service, so the
// callers can keep them in their reply records.
enum TEchoStatus : quint32
{
    EchoSuccess = 0,
    EchoDestNetUnreachable = 11002,
    EchoDestHostUnreachable = 11003,
    EchoDestProtUnreachable = 11004,
    EchoDestPortUnreachable = 11005,
    EchoNoResources = 11006,
    EchoTimedOut = 11010,
    EchoTtlExpired = 11013,
    EchoBadDestination = 11018,
    EchoGeneralFailure = 11050
};

struct TEchoResult
{
    quint32 Status = EchoGeneralFailure;
    int RoundTripMs = 0;       // valid when Status is EchoSuccess
    QHostAddress ReplyAddress; // who answered (the target, or a router for an error)
    int Ttl = 0;               // TTL of the reply (raw sockets only; 0 when unknown)
    QByteArray Data;           // echo data that came back
    int Errno = 0;             // system error when the socket could not be opened or used
    TEchoMethod Method = TEchoMethod::None;
};

// Sends one echo request carrying `payload` with the given TTL to an IPv4 address and
// blocks until the matching reply, an ICMP error about it, or `timeoutMs`. Safe to call
// from several threads at once (each call has its own socket and identifier).
TEchoResult IcmpEcho(const QHostAddress& addr, int timeoutMs, const QByteArray& payload,
                     int ttl = 64);

// ICMP checksum: ones' complement of the ones'-complement sum of 16-bit words (network
// order), an odd last byte added as the high half of a word.
quint16 IcmpChecksum(const char* data, int len);
// An echo request message (type 8, code 0, checksum filled in) with the given payload.
QByteArray BuildEchoRequest(quint16 id, quint16 seq, const QByteArray& payload);

// One ICMP datagram read from a TIcmpSocket, header fields decoded.
struct TIcmpPacket
{
    QHostAddress From;
    int Type = -1; // 0 echo reply, 3 unreachable, 11 time exceeded, ...
    int Code = 0;
    quint16 Id = 0;  // echo id (for errors: id of the echo request quoted inside)
    quint16 Seq = 0; // echo sequence (for errors: of the quoted request)
    int Ttl = 0;     // from the IP header (raw sockets only)
    // Length of the whole datagram with an IP header. A datagram socket delivers no IP
    // header, so 20 is added for it: both methods report the same figure.
    int IpLength = 0;
    QByteArray Payload; // the bytes after the 8-byte ICMP header of an echo reply
};

// A non-blocking ICMP socket. Not copyable; closes on destruction.
class TIcmpSocket
{
public:
    TIcmpSocket() = default;
    ~TIcmpSocket();
    TIcmpSocket(const TIcmpSocket&) = delete;
    TIcmpSocket& operator=(const TIcmpSocket&) = delete;

    // Opens a datagram socket, or a raw one when that is refused. False when neither can
    // be opened; LastErrno() tells why.
    bool Open();
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    int Handle() const { return fd_; } // for QSocketNotifier (Read)
    TEchoMethod Method() const { return method_; }
    int LastErrno() const { return errno_; }

    // Identifier the replies will carry: for a datagram socket the kernel replaces the
    // one sent by the socket's own number, which this returns after the first send.
    quint16 EffectiveId(quint16 sentId) const;

    // Sends an echo request; false (with LastErrno) when the system refused it.
    bool SendEcho(const QHostAddress& to, quint16 id, quint16 seq, const QByteArray& payload,
                  int ttl = 64);
    // Sends an already built ICMP message (checksum included).
    bool SendRaw(const QHostAddress& to, const QByteArray& icmp, int ttl = 64);
    // Reads one waiting datagram without blocking. False when nothing was waiting or a
    // system error came (LastErrno: EAGAIN, or for a datagram socket an ICMP error such as
    // EHOSTUNREACH), or when the datagram was no ICMP message (LastErrno 0).
    bool Read(TIcmpPacket& p);

private:
    int fd_ = -1;
    TEchoMethod method_ = TEchoMethod::None;
    int errno_ = 0;
    int ttl_ = -1;
    quint16 localId_ = 0;
};

// Decodes an ICMP datagram as read from a socket of the given kind (with IP header for
// Raw, without for Datagram). Exposed for tests and fuzzing; false when it is no ICMP.
bool DecodeIcmpPacket(const char* data, int len, TEchoMethod method, TIcmpPacket& p);

} // namespace platform
