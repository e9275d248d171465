#include "dcctransfer.h"
#include "socketerrors.h"
#include "wsockets.h"

#include <QFileInfo>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

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
    return QString("%1.%2.%3.%4")
        .arg(n >> 24)
        .arg((n >> 16) & 255)
        .arg((n >> 8) & 255)
        .arg(n & 255);
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

namespace {
std::atomic<int> g_liveTransfers{0};
} // namespace

// What a transfer and its thread share; whichever lets go last frees it, and only then
// are the handles closed, so the owner may always shut the socket down to stop the thread.
struct TDccTransfer::TPump
{
    enum End
    {
        Running,
        Finished,   // sent or received in full
        PeerClosed, // the other side went away (or failed)
        Failed,     // `error` says why
        Cancelled   // the owner stopped it
    };

    int sock = -1;
    int file = -1;
    int news = -1; // eventfd: the thread tells the owner's loop that it ended
    qint64 size = 0;
    bool sending = false;
    QString savePath; // for the message when the file cannot be written
    std::atomic<qint64> transferred{0};
    std::atomic<bool> cancelled{false};
    std::atomic<int> end{Running};
    QString error; // written before `end` becomes Failed

    TPump() { ++g_liveTransfers; }
    ~TPump()
    {
        for (int fd : {sock, file, news})
            if (fd >= 0) ::close(fd);
        --g_liveTransfers;
    }

    void run()
    {
        const int fl = ::fcntl(sock, F_GETFL);
        ::fcntl(sock, F_SETFL, fl & ~O_NONBLOCK);
        const int result = sending ? send() : receive();
        ::shutdown(sock, SHUT_RDWR);
        end.store(cancelled ? Cancelled : result, std::memory_order_release);
        tell();
    }

private:
    void tell()
    {
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t n = ::write(news, &one, sizeof one);
    }
    bool sendAll(const char* data, size_t len)
    {
        while (len > 0) {
            const ssize_t n = ::send(sock, data, len, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            data += n;
            len -= size_t(n);
        }
        return true;
    }
    int fail(const QString& message)
    {
        error = message;
        return Failed;
    }

    // Blocks of at most 512 bytes (never past the announced size), each after a whole
    // acknowledgement; the value acknowledged is not compared with the count. Once all
    // went, the next acknowledgement ends it.
    int send()
    {
        std::vector<char> chunk(64 * 1024);
        size_t have = 0, at = 0;
        qint64 sent = 0;
        auto nextBlock = [&]() -> bool {
            if (at == have) {
                ssize_t n;
                do
                    n = ::read(file, chunk.data(), chunk.size());
                while (n < 0 && errno == EINTR);
                if (n <= 0) return true; // the file ended early: nothing to send
                have = size_t(n);
                at = 0;
            }
            const size_t n =
                size_t(std::min<qint64>({qint64(dcc::BlockSize), qint64(have - at), size - sent}));
            if (n == 0) return true;
            if (!sendAll(chunk.data() + at, n)) return false;
            at += n;
            sent += qint64(n);
            transferred.store(sent, std::memory_order_relaxed);
            return true;
        };
        if (!nextBlock()) return PeerClosed;
        char acks[256];
        size_t partial = 0; // bytes of an acknowledgement not yet complete
        for (;;) {
            const ssize_t r = ::recv(sock, acks, sizeof acks, 0);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0 || cancelled) return PeerClosed;
            partial += size_t(r);
            for (; partial >= 4; partial -= 4) {
                if (sent >= size) return Finished;
                if (!nextBlock()) return PeerClosed;
            }
        }
    }

    // Everything waiting is read at once; never more than the announced size is written.
    // Acknowledged at every multiple of 512 reached (or passed, for senders that run
    // ahead) and at the end.
    int receive()
    {
        std::vector<char> in(64 * 1024);
        std::vector<char> out;
        out.reserve(256 * 1024);
        qint64 got = 0, acked = 0;
        auto flush = [&]() -> bool {
            size_t done = 0;
            while (done < out.size()) {
                const ssize_t n = ::write(file, out.data() + done, out.size() - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return false;
                done += size_t(n);
            }
            out.clear();
            return true;
        };
        auto writeError = [&] {
            return fail("Unable to write " + savePath + ": " +
                        QString::fromLocal8Bit(std::strerror(errno ? errno : ENOSPC)));
        };
        while (got < size) {
            const ssize_t r = ::recv(sock, in.data(), in.size(), 0);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0 || cancelled) {
                const int err = r < 0 ? LastWinsockError() : 0;
                if (!flush()) return writeError();
                if (err == WSAENETDOWN && !cancelled) return fail(WSocketsErrorText(err));
                return PeerClosed;
            }
            const qint64 n = std::min<qint64>(r, size - got);
            out.insert(out.end(), in.data(), in.data() + n);
            got += n;
            if (out.size() >= out.capacity() / 2 && !flush()) return writeError();
            transferred.store(got, std::memory_order_relaxed);
            if (got / dcc::BlockSize > acked / dcc::BlockSize || got == size) {
                uchar ack[4];
                qToBigEndian(quint32(got), ack);
                // A sender that runs ahead may never read its acknowledgements: when the
                // socket takes no more, one is left out (the next counts everything)
                // rather than both ends waiting for each other.
                ssize_t n;
                do
                    n = ::send(sock, ack, 4, MSG_NOSIGNAL | MSG_DONTWAIT);
                while (n < 0 && errno == EINTR);
                const bool refused = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
                if ((n < 0 && !refused) ||
                    (n > 0 && !sendAll(reinterpret_cast<const char*>(ack) + n, size_t(4 - n)))) {
                    if (!flush()) return writeError();
                    return PeerClosed;
                }
                acked = got;
            }
        }
        if (!flush()) return writeError();
        ::close(file);
        file = -1;
        return Finished;
    }
};

TDccTransfer::TDccTransfer(QObject* parent) : QObject(parent) {}

TDccTransfer::~TDccTransfer()
{
    Cancel();
}

int TDccTransfer::LiveTransfers()
{
    return g_liveTransfers.load();
}

quint16 TDccTransfer::ListeningPort() const
{
    return server_ ? server_->ListeningPort() : 0;
}

bool TDccTransfer::StartSending(const QString& path, const QString& announceAddress, QString& error)
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
    PeerAddress = announceAddress;
    PeerPort = server_->Port;
    return true;
}

QString TDccTransfer::OfferArguments() const
{
    return dcc::OfferName(FileName) + " " + QString::number(dcc::AddressNumber(PeerAddress)) + " " +
           PeerPort + " " + QString::number(FileSize);
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
    startPump(server_->ReleaseClient(socket));
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
    client_->OnClose = [this](TCustomWSockets*, int) {
        // Closed before the transfer's thread took the connection over.
        if (Done) return;
        closeAll();
        Done = true;
        if (OnSenderClosed) OnSenderClosed();
    };
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
    started_.start();
    if (OnStatus) OnStatus("Connected");
    startPump(client_->Release());
}

void TDccTransfer::startPump(int socket)
{
    auto pump = std::make_shared<TPump>();
    pump->sock = socket;
    pump->news = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // The thread gets a handle of its own; the file object here is done with.
    pump->file = file_.isOpen() ? ::fcntl(file_.handle(), F_DUPFD_CLOEXEC, 0) : -1;
    file_.close();
    pump->size = FileSize;
    pump->sending = Sending;
    pump->savePath = SavePath;
    auto fail = [this](const QString& msg) {
        closeAll();
        Done = true;
        if (OnError) OnError(msg);
    };
    if (socket < 0 || pump->news < 0 || pump->file < 0) {
        fail(WSocketsErrorText(socket < 0 ? WSAENOTSOCK : LastWinsockError()));
        return;
    }
    std::thread thread;
    try {
        thread = std::thread([pump] { pump->run(); });
    } catch (const std::system_error& e) {
        fail("Unable to start the transfer: " + QString::fromLocal8Bit(e.what()));
        return;
    }
    thread.detach();
    pump_ = pump;
    news_ = new QSocketNotifier(pump->news, QSocketNotifier::Read, this);
    connect(news_, &QSocketNotifier::activated, this, &TDccTransfer::pumpNews);
    if (!progressTimer_) {
        progressTimer_ = new QTimer(this);
        connect(progressTimer_, &QTimer::timeout, this, &TDccTransfer::pumpNews);
    }
    progressTimer_->start(ProgressMs);
}

void TDccTransfer::pumpNews()
{
    if (!pump_) return;
    quint64 count = 0;
    // Clears the end's signal when there is one (the timer comes here as well).
    [[maybe_unused]] const ssize_t n = ::read(pump_->news, &count, sizeof count);
    // The end first: what the thread counted before it ended is then seen as well.
    const int end = pump_->end.load(std::memory_order_acquire);
    const qint64 now = pump_->transferred.load(std::memory_order_relaxed);
    const QString error = end == TPump::Failed ? pump_->error : QString();
    if (now != Transferred) {
        Transferred = now;
        if (OnProgress) OnProgress();
    }
    if (end == TPump::Running) return;
    closeAll();
    if (Done) return; // ended here already
    switch (end) {
    case TPump::Finished:
    case TPump::PeerClosed:
        if (Sending) {
            // A receiver that went away ends the sending the same way.
            Done = true;
            if (OnStatus) OnStatus("Done Sending");
            if (OnDone) OnDone();
        } else if (end == TPump::Finished) {
            finishReceive();
        } else {
            Done = true;
            if (OnSenderClosed) OnSenderClosed();
        }
        break;
    case TPump::Failed:
        Done = true;
        if (OnError) OnError(error);
        break;
    default:
        Done = true;
        break;
    }
}

void TDccTransfer::finishReceive()
{
    QFile::remove(SavePath);
    const bool renamed = QFile::rename(SavePath + ".part", SavePath);
    Done = true;
    if (!renamed && OnError) OnError("Unable to rename " + SavePath + ".part to " + SavePath);
    if (OnStatus) OnStatus("Done Receiving");
    if (OnDone) OnDone();
}

void TDccTransfer::closeAll()
{
    if (pump_) {
        // The thread wakes from any call on the socket and lets go of its part.
        pump_->cancelled = true;
        ::shutdown(pump_->sock, SHUT_RDWR);
        progressTimer_->stop();
        // Deleted later: this may run inside the notifier's own activation.
        news_->setEnabled(false);
        news_->deleteLater();
        news_ = nullptr;
        pump_.reset();
    }
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
