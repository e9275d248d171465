#pragma once
// TDccTransfer: one file sent to or received from another chat user over a direct TCP
// connection, by the common DCC SEND convention: blocks of at most 512 bytes, each
// answered by a 4-byte big-endian count of the bytes received so far. The window
// (Tdcc_form) shows its progress and asks the user; this part has no widgets.
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class QSocketNotifier;
class QTimer;
class TTCPClient;
class TTCPServer;

namespace dcc {
constexpr int BlockSize = 512;
constexpr qint64 MaxSize = 0xffffffffll; // the size and acknowledgement fields are 32-bit

// a.b.c.d as a×2^24 + b×2^16 + c×2^8 + d; 0 with ok=false when not dotted IPv4.
quint32 AddressNumber(const QString& dotted, bool* ok = nullptr);
QString AddressText(quint32 number);
// The address to announce: the chat connection's own local address when it is IPv4;
// otherwise the first local address, replaced by every later one whose first part is
// not "127", "10" or "192".
QString AnnounceAddress(const QString& chatLocalAddress, const QStringList& localAddresses);
// A received name reduced to a plain file name: no directory parts, no "..", no control
// characters (C0, C1) or direction marks, at most MaxNameBytes in UTF-8 cut between
// characters, never empty ("file"). Letter case is kept.
constexpr qsizetype MaxNameBytes = 255;
QString SafeFileName(const QString& offered);
// Where a file being received waits until it is whole: NAME.part, or NAME.2.part and so on
// when that exists; empty when a hundred do.
QString PartFileName(const QString& savePath);
// The name put into an offer: the file's name without its directory, blanks as "_".
QString OfferName(const QString& path);
// "T of S (P%) " and "M:SS remaining R cps".
QString SpeedText(qint64 transferred, qint64 size);
QString TimeText(qint64 transferred, qint64 size, qint64 elapsedMs);
// The status of a sending that ended before the receiver counted every byte.
QString IncompleteText(qint64 acknowledged, qint64 size);
} // namespace dcc

// The connection is made on the loop of the thread that owns the transfer; the bytes then
// move on a thread of the transfer's own with blocking calls, so that each block and its
// acknowledgement cost no more than they cost any program, whatever the loop is busy
// with. The loop looks at the progress every ProgressMs and hears of the end at once;
// every event below runs there.
class TDccTransfer : public QObject
{
    Q_OBJECT
public:
    static constexpr int ProgressMs = 50;

    explicit TDccTransfer(QObject* parent = nullptr);
    ~TDccTransfer() override;

    QString PeerNick;
    QString FileName; // sending: the full path; receiving: the name offered
    qint64 FileSize = 0;
    QString PeerAddress;
    QString PeerPort;
    qint64 Transferred = 0;
    qint64 Acknowledged = 0; // sending: the count the receiver last acknowledged
    bool Done = false;
    bool Sending = false;
    QString SavePath; // receiving: where the file ends up
    QString PartPath; // receiving: where it waits until it is whole

    // Sending: opens the file (read only, shared) and listens on a port from 1024 to
    // 30023. False with a message when the file cannot be offered.
    bool StartSending(const QString& path, const QString& announceAddress, QString& error);
    // The CTCP arguments of the offer: name, address as a number, port, size.
    QString OfferArguments() const;
    // Receiving: creates PartPath (a ".part" beside SavePath) and connects to the sender. False
    // with a message when the file cannot be written.
    bool StartReceiving(const QString& savePath, QString& error);
    // Stops everything without waiting; a partial received file stays as PartPath.
    void Cancel();

    qint64 ElapsedMs() const { return started_.isValid() ? started_.elapsed() : 0; }
    quint16 ListeningPort() const;
    // Transfers whose thread or owner still holds them (for lifetime checks).
    static int LiveTransfers();

    // Progress and state for the window.
    std::function<void(const QString& status)> OnStatus;
    std::function<void()> OnProgress;
    std::function<void()> OnDone;         // finished (sent or received in full)
    std::function<void()> OnSenderClosed; // receiving: the sender went away early
    std::function<void(const QString&)> OnError;

private:
    struct TPump;
    void accepted(int socket);
    void connected();
    // Hands the connected socket to the transfer's thread.
    void startPump(int socket);
    // Progress from the thread, and its end.
    void pumpNews();
    void finishReceive();
    void closeAll();

    std::unique_ptr<TTCPServer> server_;
    std::unique_ptr<TTCPClient> client_;
    int clientSocket_ = -1;
    QFile file_;
    QElapsedTimer started_;
    std::shared_ptr<TPump> pump_;
    QSocketNotifier* news_ = nullptr;
    QTimer* progressTimer_ = nullptr;
};
