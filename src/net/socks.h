#pragma once
// The client side of a SOCKS 4, 4A and 5 negotiation (RFC 1928, RFC 1929), free of any
// socket: the stream socket feeds it the bytes the proxy sends and writes what it returns.
#include <QByteArray>
#include <QString>
#include <functional>

// SOCKS error numbers, reported with the socket's own error numbers.
enum : int
{
    socksNoError = 20000,
    socksProtocolError = 20001,
    socksVersionError = 20002,
    socksAuthMethodError = 20003,
    socksGeneralFailure = 20004,
    socksConnectionNotAllowed = 20005,
    socksNetworkUnreachable = 20006,
    socksHostUnreachable = 20007,
    socksConnectionRefused = 20008,
    socksTtlExpired = 20009,
    socksUnknownCommand = 20010,
    socksUnknownAddressType = 20011,
    socksUnassignedError = 20012,
    socksInternalError = 20013,
    socksDataReceiveError = 20014,
    socksAuthenticationFailed = 20015,
    socksRejectedOrFailed = 20016,
    socksHostResolutionFailed = 20017
};

enum TSocksAuthentication
{
    socksNoAuthentication,
    socksAuthenticateUsercode
};

enum TSocksAuthState
{
    socksAuthStart,
    socksAuthSuccess,
    socksAuthFailure,
    socksAuthNotRequired
};

struct TSocksRequest
{
    QString Level;        // "4", "4A" or "5" (any case)
    QString Addr;         // peer host name or dotted address
    quint16 Port = 0;     // peer port
    quint32 AddrIPv4 = 0; // level 4: the peer address resolved by the caller (host order)
    QString Usercode;
    QString Password;
    TSocksAuthentication Authentication = socksNoAuthentication;
};

class TSocksNegotiator
{
public:
    enum TResult
    {
        NeedMore, // wait for more bytes (Output() may hold bytes to send)
        Done,     // the tunnel is open; Extra() holds bytes that followed the reply
        Failed    // ErrorCode() and ErrorMessage() tell why
    };

    // Starts a negotiation and returns the first message for the proxy.
    QByteArray Start(const TSocksRequest& r);
    // Hands in bytes read from the proxy.
    TResult Feed(const char* data, int len);
    // Bytes to send to the proxy, taken (the next call returns only newer ones).
    QByteArray TakeOutput();

    int ErrorCode() const { return error_; }
    QString ErrorMessage() const { return message_; }
    QByteArray Extra() const { return extra_; }
    QString BoundAddr() const { return boundAddr_; }
    quint16 BoundPort() const { return boundPort_; }
    bool Finished() const { return phase_ == Phase::Finished; }

    // Raised as the user-name and password sub-negotiation progresses.
    std::function<void(TSocksAuthState)> OnAuthState;

    // Text of a SOCKS 5 reply status (1..8 and unassigned).
    static QString Socks5StatusText(int status, int* error = nullptr);

private:
    enum class Phase
    {
        Idle,
        Socks4Reply,
        Socks5Greeting,
        Socks5Auth,
        Socks5ConnectReply,
        Finished
    };
    TResult fail(int error, const QString& message);
    QByteArray connectRequest5() const;

    TSocksRequest req_;
    Phase phase_ = Phase::Idle;
    QByteArray in_;
    QByteArray out_;
    QByteArray extra_;
    int error_ = 0;
    QString message_;
    QString boundAddr_;
    quint16 boundPort_ = 0;
};
