#pragma once
// TFtpClient: the File Transfer Protocol client of the updater (RFC 959 with SIZE and
// REST), on TWSocket. Every operation returns at once and ends in OnRequestDone; the
// data connection is active (PORT: the client listens, the server connects). Replies
// are bounded in size and a server that stays silent for Timeout seconds ends the
// request with an error.
#include "wsocket.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

class QTimer;

// Splits the control connection's bytes into replies: "ddd text", or a multi-line reply
// "ddd-text" ... "ddd text". Lines end in LF or CR LF.
class TFtpReplyParser
{
public:
    static constexpr int MaxLineLength = 4096; // bytes of one reply line
    static constexpr int MaxReplyLines = 500;  // lines of one multi-line reply

    // Each line as it is complete (for the protocol display).
    std::function<void(const QString& line)> OnLine;
    // Each complete reply: its code and its last line (code and text).
    std::function<void(int code, const QString& lastLine)> OnReply;

    // Takes bytes; false when the server broke the protocol (Error() says how). After a
    // failure the parser takes nothing more until Reset().
    bool Feed(const char* data, int len);
    void Reset();
    QString Error() const { return error_; }

private:
    bool line(const QByteArray& raw);
    QByteArray buf_;
    int code_ = 0; // of the multi-line reply being read, 0 outside one
    int lines_ = 0;
    QString error_;
};

enum TFtpRequest
{
    ftpNoRequest,
    ftpConnectAsync,
    ftpCwdAsync,
    ftpTypeSetAsync,
    ftpSizeAsync,
    ftpQuitAsync,
    ftpGetAsync,
    ftpRestartGetAsync
};

enum TFtpShareMode
{
    ftpShareCompat,
    ftpShareExclusive // the local file is locked while it is written
};

// Error numbers of OnRequestDone besides the server's own reply codes (400..599) and
// the socket error numbers.
enum TFtpError
{
    ftpErrTimeout = 9001,
    ftpErrProtocol = 9002,
    ftpErrLocalFile = 9003,
    ftpErrNotConnected = 9004,
    ftpErrBusy = 9005,
    ftpErrClosed = 9006,
    ftpErrDataConnection = 9007
};

class TFtpClient : public QObject
{
    Q_OBJECT
public:
    using TDisplayEvent = std::function<void(TFtpClient* sender, const QString& line)>;
    using TProgressEvent = std::function<void(TFtpClient* sender, qint64 count)>;
    using TRequestDoneEvent =
        std::function<void(TFtpClient* sender, TFtpRequest request, int error)>;

    explicit TFtpClient(QObject* parent = nullptr);
    ~TFtpClient() override;

    QString HostName;
    QString Port = QStringLiteral("ftp");
    QString UserName;
    QString PassWord;
    QString HostDirName;
    QString HostFileName;
    QString LocalFileName;
    bool Binary = true;
    int Timeout = 15; // seconds of silence before a request fails
    TFtpShareMode ShareMode = ftpShareExclusive;

    QString ErrorMessage;                             // the last reply or failure text
    qint64 SizeResult() const { return sizeResult_; } // of the last SIZE
    qint64 ResumeAt() const { return resumeAt_; }     // where the last resumed get began
    int StatusCode() const { return lastCode_; }      // code of the last reply
    QString LastResponse() const { return lastReply_; }

    bool Connected() const; // the control connection is open
    bool Busy() const { return request_ != ftpNoRequest; }
    TFtpRequest Request() const { return request_; }

    // Each returns at once; OnRequestDone(request, 0) or with an error number follows.
    void ConnectAsync(); // open the control connection, USER, PASS
    void CwdAsync();     // CWD HostDirName
    void TypeSetAsync(); // TYPE I (Binary) or TYPE A
    void SizeAsync();    // SIZE HostFileName
    void QuitAsync();    // QUIT, then the connection closes
    void GetAsync();     // RETR HostFileName into LocalFileName, from the start
    // Resumes: REST with the length of the existing local file, RETR, appending.
    void RestartGetAsync();
    // Closes both connections; the running request ends without OnRequestDone.
    void Abort();

    TDisplayEvent OnDisplay;
    TProgressEvent OnProgress;
    TRequestDoneEvent OnRequestDone;

private:
    enum class StepResult
    {
        Next,   // this step is done, go on
        Wait,   // a preliminary reply: keep waiting
        Failed, // the request fails with the reply's code
        Hold    // the last reply came; the request ends when the data connection does
    };
    // One command and what its reply means; an empty command waits for the greeting.
    struct Step
    {
        QString Command;
        QString Shown; // what the display shows (the password is not shown)
        std::function<StepResult(int code, const QString& text)> Reply;
    };
    bool begin(TFtpRequest r);
    // Both return false when the request ended in them (the client may be gone).
    bool runSteps(std::vector<Step> steps);
    void nextStep();
    bool sendCommand(const QString& cmd);
    void reply(int code, const QString& lastLine);
    void finish(int error);
    void fail(int error, const QString& message);
    void controlData();
    void controlClosed(quint16 error);
    void lookupDone(quint16 error);
    void connected(quint16 error);
    void startGet(bool resume);
    bool openLocalFile(bool resume);
    bool listenForData();
    void dataAvailable();
    void dataConnectionIn();
    void dataClosed();
    void maybeGetDone();
    void closeData();
    void closeFile(bool failed);
    void restartTimer();
    void timedOut();
    void display(const QString& line);

    TWSocket* ctrl_;
    TWSocket* listener_ = nullptr;
    TWSocket* data_ = nullptr;
    TFtpReplyParser parser_;
    QTimer* timer_;
    std::unique_ptr<QFile> file_;
    std::vector<Step> steps_;
    size_t stepIndex_ = 0;
    TFtpRequest request_ = ftpNoRequest;
    bool waitingGreeting_ = false;
    bool getFinalReply_ = false; // the transfer's final reply came
    int getFinalCode_ = 0;
    bool dataDone_ = false; // the data connection closed after the transfer
    bool dataSeen_ = false; // a data connection was accepted
    qint64 count_ = 0;
    qint64 sizeResult_ = -1;
    qint64 resumeAt_ = 0;
    int lastCode_ = 0;
    QString lastReply_;
    QByteArray readBuf_;
};
