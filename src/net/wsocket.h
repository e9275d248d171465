#pragma once
// TWSocket: the non-blocking stream (and datagram) socket every stream exchange of the
// program goes through. It runs on the event loop of the thread that made it: readiness
// comes from QSocketNotifier, asynchronous look-ups from QHostInfo. Events are
// std::function members; an unset event is skipped. IPv4 only.
#include "socketerrors.h"
#include "socks.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <stdexcept>

class QHostInfo;
class QSocketNotifier;
class QTimer;

class ESocketException : public std::runtime_error
{
public:
    explicit ESocketException(const QString& message, int errorCode = 0)
        : std::runtime_error(message.toStdString()), Message(message), ErrorCode(errorCode)
    {
    }
    QString Message;
    int ErrorCode;
};

enum TSocketState
{
    wsInvalidState,
    wsOpened,
    wsBound,
    wsConnecting,
    wsConnected,
    wsAccepting,
    wsListening,
    wsClosed
};

enum TSocketSendFlags
{
    wsSendNormal,
    wsSendUrgent
};

enum TSocketLingerOnOff
{
    wsLingerOff,
    wsLingerOn,
    wsLingerNoSet
};

// Unit functions. Each throws ESocketException with its documented text.
quint32 WSocketResolveHost(const QString& text); // IPv4, host byte order
quint16 WSocketResolvePort(const QString& text, const QString& proto);
int WSocketResolveProto(const QString& text); // IPPROTO_TCP, IPPROTO_UDP, ...
QString LocalHostName();
QStringList LocalIPList(); // every IPv4 address of the local host name, dotted

class TWSocket : public QObject
{
    Q_OBJECT
public:
    using TNotifyEvent = std::function<void(TWSocket* sender)>;
    using TSessionEvent = std::function<void(TWSocket* sender, quint16 error)>;
    using TChangeStateEvent =
        std::function<void(TWSocket* sender, TSocketState oldState, TSocketState newState)>;
    using TSocksErrorEvent = std::function<void(TWSocket* sender, int error, const QString& msg)>;
    using TSocksAuthStateEvent = std::function<void(TWSocket* sender, TSocksAuthState state)>;
    using TBgExceptionEvent = std::function<void(TWSocket* sender, const QString& message)>;

    explicit TWSocket(QObject* parent = nullptr);
    ~TWSocket() override;

    // Properties. Addr, Port, Proto, LocalPort and the SOCKS settings may change only
    // while the socket is closed; otherwise the setter fails.
    QString Addr() const { return addr_; }
    void SetAddr(const QString& v);
    QString Port() const { return port_; }
    void SetPort(const QString& v);
    QString Proto() const { return proto_; }
    void SetProto(const QString& v);
    QString LocalPort() const { return localPort_; }
    void SetLocalPort(const QString& v);
    QString LocalAddr() const { return localAddr_; } // address to bind; "0.0.0.0" = any
    void SetLocalAddr(const QString& v);

    QString DnsResult() const
    {
        return dnsResultList_.isEmpty() ? QString() : dnsResultList_.first();
    }
    QStringList DnsResultList() const { return dnsResultList_; }
    TSocketState State() const { return state_; }
    qint64 ReadCount() const { return readCount_; }
    int RcvdCount() const; // bytes waiting to be read
    int LastError() const { return lastError_; }
    QString LastErrorMessage() const { return lastErrorMessage_; }
    bool MultiThreaded() const { return false; }
    int FlushTimeout = 60; // seconds
    TSocketSendFlags SendFlags = wsSendNormal;
    TSocketLingerOnOff LingerOnOff = wsLingerOn;
    int LingerTimeout = 0;
    int BufSize = 1514; // size of one send-queue piece

    QString SocksServer() const { return socksServer_; }
    void SetSocksServer(const QString& v);
    QString SocksPort() const { return socksPort_; }
    void SetSocksPort(const QString& v);
    QString SocksLevel() const { return socksLevel_; }
    void SetSocksLevel(const QString& v);
    QString SocksUsercode() const { return socksUsercode_; }
    void SetSocksUsercode(const QString& v);
    QString SocksPassword() const { return socksPassword_; }
    void SetSocksPassword(const QString& v);
    TSocksAuthentication SocksAuthentication() const { return socksAuthentication_; }
    void SetSocksAuthentication(TSocksAuthentication v);
    // Where the proxy bound the tunnel (after a SOCKS connect).
    QString SocksBoundAddr() const { return socks_.BoundAddr(); }
    quint16 SocksBoundPort() const { return socks_.BoundPort(); }

    // Operations.
    void Connect();
    void Close();         // graceful: pending data is written, sending shut down, then closed
    void Abort();         // cancels a look-up, drops unsent data, resets the connection
    void Listen();        // binds Addr ("0.0.0.0" for any) and Port; backlog 5
    int Accept();         // handle of an accepted connection (-1 with an error), for Dup()
    void Dup(int handle); // takes over an accepted connection (state wsConnected)
    // Hands a connected stream's handle to the caller, who closes it; this socket is
    // closed without a close event and without touching the connection. -1 (nothing
    // changes) when there is no such connection or bytes are still queued either way.
    int Release();
    void DnsLookup(const QString& host);
    void CancelDnsLookup();
    int Send(const void* data, int len); // bytes queued (all of them), -1 on failure
    int SendStr(const QString& text);    // Latin-1, as the program's protocols are
    int SendStr(const QByteArray& bytes);
    int Receive(void* buffer, int size); // bytes read, 0 when nothing waits, -1 on error
    QByteArray ReceiveStr();             // everything waiting
    int BufferedByteCount() const { return int(sendQueue_.size() - sendHead_); }
    bool DnsLookupRunning() const { return lookupId_ >= 0; }

    int HSocket() const { return fd_; }
    QString GetPeerAddr() const;
    quint16 GetPeerPort() const;
    QString GetXAddr() const; // local address, dotted
    quint16 GetXPort() const; // local port

    // Events.
    TSessionEvent OnDnsLookupDone;
    TSessionEvent OnSessionConnected;
    TSessionEvent OnSessionClosed;
    TSessionEvent OnSessionAvailable;
    TSessionEvent OnDataAvailable;
    TSessionEvent OnDataSent;
    TSessionEvent OnSocksConnected;
    TChangeStateEvent OnChangeState;
    TNotifyEvent OnError;
    TNotifyEvent OnLineTooLong;
    TBgExceptionEvent OnBgException;
    TSocksErrorEvent OnSocksError;
    TSocksAuthStateEvent OnSocksAuthState;

private:
    // False when the state handler freed the socket.
    bool changeState(TSocketState s);
    // Reports a failed system call: "Error N in function F\r\n" + text.
    void socketError(const QString& function, int error);
    // Opens the non-blocking socket of the protocol; reports the error and returns false.
    bool openSocket(int proto);
    void raise(const QString& message, int error);
    void checkClosed(const char* what) const;
    // Sets a property that may only change while the socket is closed.
    void setWhileClosed(QString& field, const QString& v, const char* what);
    void checkSocksClosed(const char* what) const;
    void createNotifiers();
    void deleteNotifiers();
    void onReadable();
    void onWritable();
    void onConnectDone(int error);
    void tryToSend();
    void deliverData();
    void peerClosed(int error);
    void closeSocket(bool shutdown, bool notify, int error);
    void startStallWatch();
    void socksConnected();
    void socksReceive();
    void socksFailed(int error, const QString& message);
    void bgException(const QString& message);
    void lookupDone(int id, const QStringList& addrs, int error);
    // Connect and Listen in two steps: host names are looked up first, off this thread.
    // Only names looked up so far are resolved on it (resolveHost); addresses at once.
    void connectNow();
    void connectLookupDone(const QString& name, const QHostInfo& info);
    // The next name Connect has to look up (the SOCKS server or the peer, and the peer of
    // a SOCKS 4 request), or empty.
    QString nextConnectName() const;
    void listenNow(int proto, quint32 addr, quint16 port);
    void listenLookupDone(const QString& name, const QHostInfo& info, int proto, quint16 port);
    void lookUp(const QString& name, std::function<void(const QHostInfo&)> done);
    bool needsLookup(const QString& host) const;
    quint32 resolveHost(const QString& host) const;
    void cancelNameLookup();

    int fd_ = -1;
    bool udp_ = false;
    TSocketState state_ = wsClosed;
    QString addr_;
    QString port_;
    QString proto_ = "tcp";
    QString localPort_ = "0";
    QString localAddr_ = "0.0.0.0";
    QStringList dnsResultList_;
    int lookupId_ = -1;
    qint64 readCount_ = 0;
    int lastError_ = 0;
    QString lastErrorMessage_;
    QSocketNotifier* readNotifier_ = nullptr;
    QSocketNotifier* writeNotifier_ = nullptr;
    QTimer* stallTimer_ = nullptr;
    QByteArray sendQueue_;
    qsizetype sendHead_ = 0;
    QByteArray pending_; // bytes that arrived with the SOCKS reply, read before the socket
    bool closeNotified_ = true;
    bool inReceiveLoop_ = false;

    // Resolution cache.
    int nameLookupId_ = -1;         // the look-up of Connect or Listen
    QHash<QString, quint32> names_; // host names looked up for Connect and Listen
    QString unresolvedTarget_;      // a SOCKS 4 peer name that was not found
    QString resolvedAddrText_, resolvedPortText_;
    quint32 resolvedAddr_ = 0;
    quint16 resolvedPort_ = 0;

    // SOCKS.
    QString socksServer_;
    QString socksPort_ = "1080";
    QString socksLevel_ = "5";
    QString socksUsercode_;
    QString socksPassword_;
    TSocksAuthentication socksAuthentication_ = socksNoAuthentication;
    TSocksNegotiator socks_;
    bool socksNegotiating_ = false;
    bool tcpConnecting_ = false;
    bool appDataQueued_ = false; // OnDataSent is owed once the queue empties
    bool stalled_ = false;       // the last data notification read nothing
    bool wouldBlock_ = false;    // the last Receive found nothing waiting
};
