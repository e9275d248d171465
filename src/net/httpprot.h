#pragma once
// THttpCli: the asynchronous HTTP/1.0 client every web transfer goes through. One request
// at a time, each on a new connection without keep-alive; the body is handed out in
// chunks as it arrives and ends only when the server closes, so a finite document and an
// endless audio stream are served alike, in constant memory.
#include "wsocket.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <stdexcept>

class QIODevice;

class EHttpException : public std::runtime_error
{
public:
    EHttpException(const QString& message, int errorCode)
        : std::runtime_error(message.toStdString()), Message(message), ErrorCode(errorCode)
    {
    }
    QString Message;
    int ErrorCode; // 1 busy, 2 nothing to post, 4 line too long
};

enum THttpState
{
    httpReady,
    httpNotConnected,
    httpConnected,
    httpDnsLookup,
    httpDnsLookupDone,
    httpWaitingHeader,
    httpWaitingBody,
    httpAborting
};

enum THttpRequest
{
    httpGET = 1,
    httpPOST = 2,
    httpHEAD = 3
};

struct TParsedURL
{
    QString Proto, User, Pass, Host, Port, Path;
};

// Splits a URL into its six parts; Port stays empty when the URL names none.
TParsedURL ParseURL(const QString& url);
void ParseURL(const QString& url, QString& proto, QString& user, QString& pass, QString& host,
              QString& port, QString& path);

class THttpCli : public QObject
{
    Q_OBJECT
public:
    using TNotifyEvent = std::function<void(THttpCli* sender)>;
    using TCommandEvent = std::function<void(THttpCli* sender, const QString& line)>;
    using TDocDataEvent = std::function<void(THttpCli* sender, const char* buffer, int len)>;
    using THttpRequestDone =
        std::function<void(THttpCli* sender, THttpRequest request, quint16 error)>;

    // Redirects followed for one request before it fails.
    static constexpr int MaxRedirects = 20;
    static constexpr int BufferSize = 8192;
    // A response header larger than this (all its lines) fails the request.
    static constexpr int MaxHeaderBytes = 64 * 1024;

    explicit THttpCli(QObject* parent = nullptr);
    ~THttpCli() override;

    // Settings.
    QString URL;
    QString Proxy; // host[:port]; empty: direct connection
    QString ProxyPort = QStringLiteral("80");
    QString Sender;
    QString Agent;
    QString Reference;
    QString Username, Password;
    QString ProxyUsername, ProxyPassword;
    bool NoCache = false;
    QDateTime ModifiedSince; // not valid: not sent
    QString Cookie;
    QString ContentTypePost = QStringLiteral("application/x-www-form-urlencoded");
    bool MultiThreaded = false;
    QIODevice* SendStream = nullptr; // body of a POST (not owned)
    QIODevice* RcvdStream = nullptr; // optional sink of the body (not owned)

    // Results of the current or last request.
    THttpState State() const { return state_; }
    int StatusCode() const { return statusCode_; }
    QString ReasonPhrase() const { return reasonPhrase_; }
    qint64 ContentLength() const { return contentLength_; }
    QString ContentType() const { return contentType_; }
    QString Location() const { return location_; }
    QString DocName() const { return docName_; }
    qint64 RcvdCount() const { return rcvdCount_; }
    const QStringList& RcvdHeader() const { return rcvdHeader_; }
    quint16 RequestDoneError() const { return requestDoneError_; }
    const QStringList& AuthChallenges() const { return authChallenges_; } // www-authenticate
    TWSocket* CtrlSocket() const { return socket_; }                      // for the SOCKS settings

    // Requests: each returns at once; raises EHttpException 1 when busy.
    void GetAsync();
    void HeadAsync();
    void PostAsync();
    // Stops the current request; harmless when idle.
    void Abort();

    // Events.
    TNotifyEvent OnStateChange;
    TNotifyEvent OnSessionConnected;
    TNotifyEvent OnRequestHeaderBegin;
    TNotifyEvent OnRequestHeaderEnd;
    TCommandEvent OnCommand;
    TNotifyEvent OnHeaderBegin;
    TNotifyEvent OnHeaderData;
    TNotifyEvent OnHeaderEnd;
    TNotifyEvent OnDocBegin;
    TDocDataEvent OnDocData;
    TNotifyEvent OnDocEnd;
    TNotifyEvent OnLocationChange;
    THttpRequestDone OnRequestDone;
    TNotifyEvent OnSendBegin;
    TDocDataEvent OnSendData;
    TNotifyEvent OnSendEnd;

    // Processes bytes as if they had been read from the connection, for fuzzing and
    // tests: BeginResponseForTest() puts a fresh GET in the state of waiting for the
    // response header without any connection.
    void BeginResponseForTest();
    void FeedResponseForTest(const char* data, int len);

private:
    void doRequestAsync(THttpRequest kind);
    void setState(THttpState s);
    void startLookup();
    void socketDnsLookupDone(quint16 error);
    void socketSessionConnected(quint16 error);
    void socketDataAvailable();
    void socketDataSent();
    void socketSessionClosed(quint16 error);
    void socketRelocationClosed();
    void sendRequest();
    void sendNextPiece();
    void processBuffer();
    void processLine(const QByteArray& line, const QByteArray& terminator);
    void headerEnd();
    void locationHeader(const QString& value);
    void deliverBody(const char* data, int len);
    void failResponse(const QString& reason);
    void completed();
    void restartAfterRelocation(quint64 generation);
    void discardInput();

    TWSocket* socket_ = nullptr;
    THttpState state_ = httpReady;
    THttpRequest requestType_ = httpGET;
    int statusCode_ = 0;
    QString reasonPhrase_;
    qint64 contentLength_ = -1;
    QString contentType_;
    QString location_;
    QString docName_;
    qint64 rcvdCount_ = 0;
    qint64 sentCount_ = 0;
    QStringList rcvdHeader_;
    QStringList authChallenges_;
    quint16 requestDoneError_ = 0;

    char rcvBuf_[BufferSize + 1];
    int rcvLen_ = 0;
    bool connected_ = false;
    bool relocating_ = false;
    bool completing_ = false; // completion ran; Ready is on its way
    bool discarding_ = false; // the response could not be interpreted: drain to the close
    int headerLines_ = 0;
    qint64 headerBytes_ = 0; // bytes of the response header so far
    int bodyChunks_ = 0;
    int redirects_ = 0;
    quint64 generation_ = 0;
    bool sendEnded_ = false;

    QString connectHost_, connectPort_;
    QString hostName_;    // value of the Host header
    QString targetPort_;  // port of the requested URL (for proxied path redirects)
    QString path_;        // what the request line carries
    QString user_, pass_; // credentials of this request
    bool useProxy_ = false;
};
