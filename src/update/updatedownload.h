#pragma once
// TUpdateDownload: the updater's network work without its window. It pings the download
// locations one after another, and fetches the update from one of them by HTTP or FTP
// into a partial file, reporting its stages, header and server lines, progress and
// failures; the window shows them and asks the user what only the user can answer.
#include "updatecore.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class QFile;
class TFtpClient;
class THttpCli;
class TPinger;

class TUpdateDownload : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TUpdateDownload)
public:
    static constexpr qint64 MaxUpdateBytes = qint64(1) << 30; // a download is stopped past it

    explicit TUpdateDownload(QObject* parent = nullptr);
    ~TUpdateDownload() override;

    // Pings each location's host in turn (four pings, two seconds each); a host that does
    // not resolve counts as 9999 ms.
    void PingAll(const QList<TDLInfo>& locations);
    // Starts fetching `d` into `localFile` (a partial file, replaced). Returns at once.
    void Start(const TDLInfo& d, const QString& localFile);
    // Stops a transfer under way; the partial file stays for resuming (FTP).
    void Cancel();
    bool Running() const;
    qint64 Received() const { return received_; }
    qint64 Total() const { return total_; }
    QString LocalFile() const { return localFile_; }

    // Asked when an FTP download finds its partial file: true resumes it.
    std::function<bool(const QString& file)> AskResume;
    // The HTTP transfer's connection failed: the socket's description of the error.
    std::function<void(const QString& text)> OnSocketError;

signals:
    void pinged(int index, int ms);
    // A header line, or a line of the FTP conversation.
    void logLine(const QString& line);
    // What the transfer is doing: "DNS ...", "CONNECTING ...", "DATA", "DONE", ...
    void stage(const QString& text);
    void progress(qint64 received, qint64 total);
    // The transfer failed: `text` for the user, `serious` for an error box rather than
    // an information box.
    void failed(const QString& text, bool serious);
    // The download passed MaxUpdateBytes and was stopped; its file is gone.
    void tooLarge();
    // The whole file is in LocalFile(); emitted from the loop, after the transfer's own
    // callbacks have returned.
    void finished();

private:
    void pingNext();
    void httpDownload(const TDLInfo& d);
    void ftpDownload(const TDLInfo& d);
    void ftpRequestDone(int request, int error);
    void received(qint64 count);

    TFtpClient* ftp_;
    THttpCli* http_;
    TPinger* ping_;
    std::unique_ptr<QFile> httpFile_;
    QList<TDLInfo> pingList_;
    int pingIndex_ = -1;
    QString localFile_;
    qint64 total_ = 0;
    qint64 received_ = 0;
    bool ftpRunning_ = false;
    bool aborting_ = false;
};
