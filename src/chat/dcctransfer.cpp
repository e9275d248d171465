#include "dcctransfer.h"
#include "wsockets.h"

#include <QFileInfo>
#include <QRandomGenerator>
#include <QTimer>
#include <QtEndian>

namespace dcc {

quint32 AddressNumber(const QString& dotted, bool* ok)
{
    const QStringList parts = dotted.split(u'.');
    quint32 n = 0;
    bool good = parts.size() == 4;
    for (const QString& p : parts) {
        bool k = false;
        const uint v = p.toUInt(&k, 10);
        if (!k || v > 255) good = false;
        n = (n << 8) | (v & 255);
    }
    if (ok) *ok = good;
    return good ? n : 0;
}

QString AddressText(quint32 n)
{
    return QString("%1.%2.%3.%4").arg(n >> 24).arg((n >> 16) & 255).arg((n >> 8) & 255).arg(n & 255);
}

QString AnnounceAddress(const QString& chatLocalAddress, const QStringList& localAddresses)
{
    bool ok = false;
    AddressNumber(chatLocalAddress, &ok);
    if (ok && chatLocalAddress != "0.0.0.0") return chatLocalAddress;
    QString pick = localAddresses.value(0, QStringLiteral("127.0.0.1"));
    for (const QString& a : localAddresses) {
        const QString first = a.section(u'.', 0, 0);
        if (first != "127" && first != "10" && first != "192") pick = a;
    }
    return pick;
}

QString SafeFileName(const QString& offered)
{
    QString name = offered;
    name.replace(u'\\', u'/');
    name = name.section(u'/', -1);
    name.removeIf([](QChar c) { return c.unicode() < 32 || c.unicode() == 127; });
    name = name.trimmed();
    // Leading dots would hide the file or climb out of the folder.
    while (name.startsWith(u'.'))
        name.remove(0, 1);
    if (name.isEmpty()) name = QStringLiteral("file");
    return name.left(200);
}

QString OfferName(const QString& path)
{
    QString name = QFileInfo(path).fileName();
    name.replace(u' ', u'_');
    return name.isEmpty() ? QStringLiteral("file") : name;
}

QString SpeedText(qint64 transferred, qint64 size)
{
    const qint64 t = transferred ? transferred : 1;
    const qint64 percent = size > 0 ? t * 100 / size : 0;
    return QString::number(transferred) + " of " + QString::number(size) + " (" +
           QString::number(percent) + "%) ";
}

QString TimeText(qint64 transferred, qint64 size, qint64 elapsedMs)
{
    const qint64 t = transferred ? transferred : 1;
    const qint64 elapsed = std::max<qint64>(1, elapsedMs / 1000);
    const qint64 rate = std::max<qint64>(1, t / elapsed);
    const qint64 remaining = std::max<qint64>(0, size - transferred) / rate;
    return QString::number(remaining / 60) + ":" +
           QString::number(remaining % 60).rightJustified(2, u'0') + " remaining " +
           QString::number(rate) + " cps";
}

} // namespace dcc

TDccTransfer::TDccTransfer(QObject* parent) : QObject(parent) {}

TDccTransfer::~TDccTransfer()
{
    Cancel();
}

quint16 TDccTransfer::ListeningPort() const
{
    return server_ ? server_->ListeningPort() : 0;
}

bool TDccTransfer::StartSending(const QString& path, const QString& announceAddress,
                                QString& error)
{
    Sending = true;
    FileName = path;
    file_.setFileName(path);
    // Read only: other programs may still read and write the file meanwhile.
    if (!file_.open(QIODevice::ReadOnly)) {
        error = "Unable to open " + path + ": " + file_.errorString();
        return false;
    }
    FileSize = file_.size();
    if (FileSize > dcc::MaxSize) {
        error = "The file is too large to send (at most 4294967295 bytes).";
        file_.close();
        return false;
    }
    server_ = std::make_unique<TTCPServer>();
    QString lastError;
    server_->OnError = [&lastError](TCustomWSockets*, int, const QString& msg) { lastError = msg; };
    for (int attempt = 0; attempt < 20; ++attempt) {
        server_->Port = QString::number(1024 + QRandomGenerator::global()->bounded(29000));
        server_->Listen();
        if (server_->SocketState() == ssListening) break;
    }
    if (server_->SocketState() != ssListening) {
        error = "Unable to listen for the transfer: " + lastError;
        file_.close();
        return false;
    }
    server_->OnError = [this](TCustomWSockets*, int, const QString& msg) {
        if (OnError) OnError(msg);
    };
    server_->OnAccept = [this](TCustomWSockets*, int s) { accepted(s); };
    server_->OnData = [this](TCustomWSockets*, int s) { ackData(s); };
    server_->OnClose = [this](TCustomWSockets*, int s) { clientClosed(s); };
    PeerAddress = announceAddress;
    PeerPort = server_->Port;
    return true;
}

QString TDccTransfer::OfferArguments() const
{
    return dcc::OfferName(FileName) + " " + QString::number(dcc::AddressNumber(PeerAddress)) +
           " " + PeerPort + " " + QString::number(FileSize);
}

void TDccTransfer::accepted(int socket)
{
    if (clientSocket_ >= 0 || Done) {
        // One receiver per offer.
        server_->CloseClient(socket);
        return;
    }
    clientSocket_ = socket;
    Transferred = 0;
    started_.start();
    if (OnStatus) OnStatus("Connected");
    sendBlock();
}

void TDccTransfer::sendBlock()
{
    if (Done || clientSocket_ < 0) return;
    if (unsent_.isEmpty()) {
        unsent_ = file_.read(dcc::BlockSize);
        if (unsent_.isEmpty()) return;
    }
    const int n = server_->SendBuffer(clientSocket_, unsent_.constData(), int(unsent_.size()));
    const int accepted = std::max(0, n);
    Transferred += accepted;
    unsent_.remove(0, accepted);
    // What the socket did not take goes out a moment later.
    if (!unsent_.isEmpty() && n >= 0) QTimer::singleShot(1, this, &TDccTransfer::sendBlock);
    if (OnProgress) OnProgress();
}

void TDccTransfer::ackData(int socket)
{
    // One read takes whatever acknowledgements are waiting.
    char acks[256];
    const int got = server_->ReceiveBuffer(socket, acks, int(sizeof acks));
    if (got > 0) ackBuffer_.append(acks, got);
    if (Done) {
        ackBuffer_.clear();
        return;
    }
    // Each complete acknowledgement lets the next block go; a split one waits.
    while (ackBuffer_.size() >= 4) {
        ackBuffer_.remove(0, 4);
        if (Transferred >= FileSize) {
            server_->CloseClient(clientSocket_);
            clientClosed(clientSocket_);
            return;
        }
        sendBlock();
    }
}

void TDccTransfer::clientClosed(int socket)
{
    if (socket != clientSocket_ || Done) return;
    file_.close();
    Done = true;
    if (OnStatus) OnStatus("Done Sending");
    if (OnDone) OnDone();
}

bool TDccTransfer::StartReceiving(const QString& savePath, QString& error)
{
    Sending = false;
    SavePath = savePath;
    file_.setFileName(savePath + ".part");
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error = "Unable to write " + savePath + ": " + file_.errorString();
        return false;
    }
    client_ = std::make_unique<TTCPClient>();
    client_->Host = PeerAddress;
    client_->Port = PeerPort;
    client_->OnConnect = [this](TCustomWSockets*, int) { connected(); };
    client_->OnData = [this](TCustomWSockets*, int) { dataArrived(); };
    client_->OnClose = [this](TCustomWSockets*, int) { senderClosed(); };
    client_->OnError = [this](TCustomWSockets*, int, const QString& msg) {
        if (Done) return;
        closeAll();
        Done = true;
        if (OnError) OnError(msg);
    };
    client_->Open();
    return true;
}

void TDccTransfer::connected()
{
    Transferred = 0;
    lastAcked_ = 0;
    started_.start();
    if (OnStatus) OnStatus("Connected");
}

void TDccTransfer::dataArrived()
{
    // One read of the system's buffer a time: what is waiting beyond it comes in the next.
    if (readBuffer_.isEmpty()) readBuffer_.resize(64 * 1024);
    const int got = client_->ReceiveBuffer(readBuffer_.data(), int(readBuffer_.size()));
    if (Done || !file_.isOpen() || got <= 0) return;
    // Never more than the offer announced.
    const qint64 n = std::min<qint64>(got, FileSize - Transferred);
    if (n > 0) {
        if (file_.write(readBuffer_.constData(), n) != n) {
            const QString msg = "Unable to write " + SavePath + ": " + file_.errorString();
            closeAll();
            Done = true;
            if (OnError) OnError(msg);
            return;
        }
        Transferred += n;
        if (OnProgress) OnProgress();
    }
    // Acknowledge every multiple of 512 reached (or passed, for senders that run ahead)
    // and the end.
    if (Transferred / dcc::BlockSize > lastAcked_ / dcc::BlockSize || Transferred == FileSize) {
        if (Transferred != lastAcked_) {
            uchar ack[4];
            qToBigEndian(quint32(Transferred), ack);
            client_->SendBuffer(reinterpret_cast<const char*>(ack), 4);
            lastAcked_ = Transferred;
        }
    }
    if (Transferred == FileSize) finishReceive();
}

void TDccTransfer::finishReceive()
{
    closeAll();
    QFile::remove(SavePath);
    const bool renamed = QFile::rename(SavePath + ".part", SavePath);
    Done = true;
    if (!renamed && OnError) OnError("Unable to rename " + SavePath + ".part to " + SavePath);
    if (OnStatus) OnStatus("Done Receiving");
    if (OnDone) OnDone();
}

void TDccTransfer::senderClosed()
{
    if (Done) return;
    closeAll();
    Done = true;
    if (OnSenderClosed) OnSenderClosed();
}

void TDccTransfer::closeAll()
{
    if (server_) {
        server_->OnClose = nullptr;
        if (clientSocket_ >= 0) server_->CloseClient(clientSocket_);
        server_->Close();
    }
    if (client_) {
        client_->OnClose = nullptr;
        client_->Close();
    }
    file_.close();
}

void TDccTransfer::Cancel()
{
    if (!Done) Done = true;
    closeAll();
}
