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

namespace {
// Characters that change how the text around them reads (direction marks, embeddings,
// overrides and isolates) or that no name shows.
bool invisible(char32_t c)
{
    return c < 32 || (c >= 127 && c <= 159) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

// The longest run of whole characters from `text` whose UTF-8 takes at most `bytes`.
QString leftBytes(const QString& text, qsizetype bytes)
{
    QString out;
    qsizetype used = 0;
    for (char32_t c : text.toUcs4()) {
        const qsizetype n = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        if (used + n > bytes) break;
        used += n;
        out += QString::fromUcs4(&c, 1);
    }
    return out;
}
} // namespace

QString SafeFileName(const QString& offered)
{
    QString name = offered;
    name.replace(u'\\', u'/');
    name = name.section(u'/', -1);
    QString kept;
    for (char32_t c : name.toUcs4())
        if (!invisible(c)) kept += QString::fromUcs4(&c, 1);
    name = kept.trimmed();
    // Leading dots would hide the file or climb out of the folder.
    while (name.startsWith(u'.'))
        name.remove(0, 1);
    if (name.isEmpty()) name = QStringLiteral("file");
    // File systems take 255 bytes a name; the name is cut between characters and keeps
    // a short extension.
    if (name.toUtf8().size() > MaxNameBytes) {
        const qsizetype dot = name.lastIndexOf(u'.');
        const QString ext = dot > 0 && name.size() - dot <= 16 ? name.mid(dot) : QString();
        name = leftBytes(name.left(name.size() - ext.size()), MaxNameBytes - ext.toUtf8().size()) +
               ext;
    }
    return name;
}

QString PartFileName(const QString& savePath)
{
    // What is there already (another transfer's, an earlier one's) is left alone.
    for (int i = 1; i <= 100; ++i) {
        const QString candidate =
            i == 1 ? savePath + ".part" : savePath + "." + QString::number(i) + ".part";
        if (!QFileInfo::exists(candidate)) return candidate;
    }
    return {};
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

QString IncompleteText(qint64 acknowledged, qint64 size)
{
    return "Incomplete: " + QString::number(acknowledged) + " of " + QString::number(size) +
           " bytes acknowledged";
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
    std::atomic<qint64> acknowledged{0}; // sending: the last count the receiver sent
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
        bool shrunk = false;
        int readFailed = 0;
        auto nextBlock = [&]() -> bool {
            if (sent >= size) return true;
            if (at == have) {
                ssize_t n;
                do
                    n = ::read(file, chunk.data(), chunk.size());
                while (n < 0 && errno == EINTR);
                if (n == 0) {
                    // Shorter than offered: the receiver would wait for the rest for ever.
                    shrunk = true;
                    return false;
                }
                if (n < 0) {
                    readFailed = errno;
                    return false;
                }
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
        auto stopped = [&] {
            if (shrunk)
                return fail(QString::number(sent) + " of " + QString::number(size) +
                            " bytes sent: the file became shorter after it was offered");
            if (readFailed)
                return fail("Unable to read the file: " +
                            QString::fromLocal8Bit(std::strerror(readFailed)));
            return int(PeerClosed);
        };
        if (!nextBlock()) return stopped();
        uchar acks[256];
        uchar ack[4];
        size_t partial = 0; // bytes of an acknowledgement not yet complete
        for (;;) {
            const ssize_t r = ::recv(sock, acks, sizeof acks, 0);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0 || cancelled) return PeerClosed;
            for (ssize_t i = 0; i < r; ++i) {
                ack[partial++] = acks[i];
                if (partial < 4) continue;
                partial = 0;
                acknowledged.store(qFromBigEndian<quint32>(ack), std::memory_order_relaxed);
                if (sent >= size) return Finished;
                if (!nextBlock()) return stopped();
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
    PartPath = dcc::PartFileName(savePath);
    if (PartPath.isEmpty()) {
        error = "Unable to write " + savePath + ": too many unfinished transfers of it";
        return false;
    }
    file_.setFileName(PartPath);
    if (!file_.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
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
    Acknowledged = pump_->acknowledged.load(std::memory_order_relaxed);
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
            Done = true;
            // Done only when the receiver counted every byte; one that went away early
            // leaves an incomplete file.
            if (Acknowledged >= FileSize) {
                if (OnStatus) OnStatus("Done Sending");
            } else if (OnStatus) {
                OnStatus(dcc::IncompleteText(Acknowledged, FileSize));
            }
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
    const bool renamed = QFile::rename(PartPath, SavePath);
    Done = true;
    if (!renamed && OnError) OnError("Unable to rename " + PartPath + " to " + SavePath);
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
