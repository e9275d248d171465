#pragma once
// Ping of a station: TICMP sends one blocking echo with a time-out, TAsyncping runs it on
// a short-lived thread of its own and hands the result to the main thread.
//
// The echo goes through the platform's ICMP layer (a datagram socket, or a raw socket when
// privileged). Where neither socket can be opened, the round trip of a TCP connect to the
// station's port stands in for it: an accepted or refused connection both prove that the
// host answered.
#include "icmpecho.h"

#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class TSCServer;

// The 28-byte reply record of an echo.
struct TIcmpEchoReply
{
    quint32 Address = 0; // network byte order
    quint32 Status = 0;
    quint32 RoundTripTime = 0; // ms
    quint16 DataSize = 0;
    quint16 Reserved = 0;
    quint32 DataPointer = 0;
    quint8 Ttl = 0;
    quint8 Tos = 0;
    quint8 Flags = 0;
    quint8 OptionsSize = 0;
    quint32 OptionsData = 0;
};
static_assert(sizeof(TIcmpEchoReply) == 28);

// How an echo is carried on this machine.
enum class TPingMethod
{
    IcmpDatagram,
    IcmpRaw,
    TcpConnect
};
QString PingMethodName(TPingMethod m);
// The method in use (probed once). Tests may force one; nullopt restores the probe.
TPingMethod CurrentPingMethod();
void SetPingMethodOverride(std::optional<TPingMethod> m);

class TICMP
{
public:
    // Takes the method in use. With the TCP round trip as the last resort there always is
    // one, so creating an echo object does not fail here.
    TICMP();
    ~TICMP();
    TICMP(const TICMP&) = delete;
    TICMP& operator=(const TICMP&) = delete;

    // A new address forces a new look-up; the same one keeps the resolved address.
    void SetAddress(const QString& text);
    void Resolve();
    // Sends one echo and blocks for at most EchoTimeout; the number of replies (0 or 1).
    int Ping();

    static constexpr quint32 Unresolved = 0xffffffffu;

    TIcmpEchoReply EchoReply;
    QString HostAddress;
    QString ResolvedName;
    QString ResolvedIP;
    quint32 IPAddress = Unresolved; // network byte order
    int DataSize = 56;
    quint32 EchoTimeout = 4000;
    quint8 TTL = 64;
    // Port for the TCP round trip where no ICMP socket can be opened (0: none).
    int FallbackPort = 0;
    TPingMethod Method = TPingMethod::IcmpRaw;

    std::function<void(TICMP* sender, const QString& text)> OnDisplay;
    std::function<void(TICMP* sender)> OnEchoRequest;
    std::function<void(TICMP* sender, int replies)> OnEchoReply;
    quint32 LastError = 0;
    bool Resolved = false;

    // The 45 characters at the start of every echo's data.
    static const char* IdentText();

private:
    int tcpRoundTrip(quint32 addr, int port, int timeoutMs, int& rtt, quint32& status);
};

// One echo on its own thread. Created suspended; after Resume the thread runs Execute,
// hands the result to the main thread with the handler (waiting until it has run) and
// then lets go of the object. The station keeps its own reference, so the result stays
// readable after the run; Detach (main thread) makes the handler be skipped.
class TAsyncping : public std::enable_shared_from_this<TAsyncping>
{
public:
    using THandler = std::function<void(TSCServer* station, TAsyncping* sender)>;

    static std::shared_ptr<TAsyncping> Create();
    ~TAsyncping();

    void SetHandler(THandler handler, TSCServer* station);
    void Resume();
    void Detach();

    QString HostAddress;
    int FallbackPort = 0;
    std::atomic<int> RoundTrip{0};
    std::atomic<bool> Succeeded{false};
    std::atomic<bool> Finished{false};

    // Echo threads still running in this process.
    static int Running();

private:
    TAsyncping() = default;
    void Execute();

    THandler handler_;
    TSCServer* station_ = nullptr; // main thread only
};
