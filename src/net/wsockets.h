#pragma once
// The simple socket set: TTCPClient, TTCPServer, TUDPClient and the ICMP echo component
// TPinger. Each is non-blocking and event-driven on the loop of the thread that made it;
// names resolve synchronously; IPv4 only. Errors go to OnError with the error number and
// its text from WSocketsErrorText().
#include "wsocket.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;
class QTimer;
namespace platform {
class TIcmpSocket;
}

enum TWSocketsState
{
    ssClosed,
    ssConnecting,
    ssConnected,
    ssListening
};

class TCustomWSockets : public QObject
{
    Q_OBJECT
public:
    using TErrorEvent = std::function<void(TCustomWSockets* sender, int error, const QString& msg)>;
    using TDataEvent = std::function<void(TCustomWSockets* sender, int socket)>;

    explicit TCustomWSockets(QObject* parent = nullptr);

    // The socket library's start-up data. HighVersion has the major version in the low
    // byte and the minor version in the high byte.
    QString Version() const { return QStringLiteral("1.1"); }
    quint16 HighVersion() const { return 0x0202; }
    QString Description() const { return QStringLiteral("Linux sockets (WinSock 2.2 level)"); }
    QString SystemStatus() const { return QStringLiteral("Running"); }
    int MaxSockets() const;
    int MaxUdpDg() const { return 65507; }

    QString LocalIP() const; // first address of the local host name
    int SocketHandle() const { return handle_; }
    TWSocketsState SocketState() const { return state_; }
    int LastError() const { return lastError_; }

    TErrorEvent OnError;

protected:
    void error(int number);
    void error(int number, const QString& message);
    // Wires a stream socket's failures to the error event.
    void forwardErrors(TWSocket* s);
    // Connects `s` to Host/Port; with `authorized` a local port is taken counting down from
    // 1024 to 513 (unbound when all are in use). False when an error was reported.
    bool openTo(TWSocket* s, const QString& proto, const QString& host, const QString& port,
                bool authorized);

    int handle_ = -1;
    TWSocketsState state_ = ssClosed;
    int lastError_ = 0;
};

class TTCPClient : public TCustomWSockets
{
    Q_OBJECT
public:
    explicit TTCPClient(QObject* parent = nullptr);
    ~TTCPClient() override;

    QString Host;
    QString Port;
    bool Authorized = false;

    void Open();
    void Close();
    void SendText(const QString& text); // Latin-1, the whole text
    void SendText(const QByteArray& bytes);
    int SendBuffer(const char* data, int len); // bytes accepted, negative on error
    QString ReceiveText();                     // Latin-1
    QByteArray ReceiveBytes();                 // what ReceiveText reads, as bytes
    quint16 LocalPort() const;                 // the port this end is bound to
    // Hands the connected socket's handle to the caller, who then owns it; the client
    // is closed without an event. -1 when there is no connection to hand over.
    int Release();

    TDataEvent OnData;
    TDataEvent OnConnect;
    TDataEvent OnClose;

private:
    TWSocket* sock_;
};

class TTCPServer : public TCustomWSockets
{
    Q_OBJECT
public:
    explicit TTCPServer(QObject* parent = nullptr);
    ~TTCPServer() override;

    QString Port;

    void Listen();
    void Close();
    int SendBuffer(int socket, const char* data, int len);
    int ReceiveBuffer(int socket, char* buffer, int size);
    QByteArray ReceiveBytes(int socket); // everything waiting on that client
    void CloseClient(int socket);
    // Hands an accepted connection to the caller, who then owns the handle; no event
    // follows for it. -1 when there is no such client.
    int ReleaseClient(int socket);
    QList<int> Clients() const { return clients_.keys(); }
    quint16 ListeningPort() const;

    TDataEvent OnData;
    TDataEvent OnAccept;
    TDataEvent OnClose;

private:
    void accept();
    TWSocket* listener_;
    QHash<int, TWSocket*> clients_;
};

class TUDPClient : public TCustomWSockets
{
    Q_OBJECT
public:
    explicit TUDPClient(QObject* parent = nullptr);
    ~TUDPClient() override;

    QString Host;
    QString Port;
    bool Authorized = false;

    void Open();
    void Close();
    void SendText(const QString& text); // one datagram, Latin-1
    void SendText(const QByteArray& bytes);
    QString ReceiveText(); // one datagram, Latin-1
    QByteArray ReceiveBytes();
    quint16 LocalPort() const;

    TDataEvent OnData;

private:
    TWSocket* sock_;
};

class TPinger : public TCustomWSockets
{
    Q_OBJECT
public:
    using TReplyEvent = std::function<void(TPinger* sender)>;
    explicit TPinger(QObject* parent = nullptr);
    ~TPinger() override;

    QString Host;
    int NPings = 4;
    int Timeout = 3000; // milliseconds

    // Sends NPings echo requests at once; OnReply follows when all came back or Timeout
    // ran out.
    void Ping();
    // Ends a running batch without OnReply.
    void Stop();
    bool Running() const;

    int AverageTime() const { return averageTime_; } // ms; 9999 when nothing came back
    int Answers() const { return count_; }

    TReplyEvent OnReply;

    // The echo request of this component: 45 bytes, checksum filled in.
    static QByteArray BuildRequest(quint16 id, quint16 seq, quint32 tick);

private:
    void sendEchoes(quint32 addr);
    void readReply();
    void batchEnd();
    void closeSocket();

    std::unique_ptr<platform::TIcmpSocket> icmp_;
    QSocketNotifier* notifier_ = nullptr;
    QTimer* timer_;
    quint16 firstSeq_ = 0;
    quint16 firstId_ = 0;
    std::vector<bool> answered_; // sequence firstSeq_ + n came back
    int count_ = 0;
    qint64 sum_ = 0;
    int averageTime_ = 9999;
    quint64 batch_ = 0;
};
