// BM_DccTransfer: 100 MB sent between two of the program's transfer components (sender
// and receiver each on a loop of its own, as in two programs) over loopback, against a
// bare-socket program of the same protocol (512-byte blocks, each answered by a 4-byte
// count; one thread a side) in the same run.
//   ratio  the program's throughput over the bare program's (medians of three rounds each,
//          taken in turn)
#include "benchstats.h"
#include "dcctransfer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr qint64 Size = 100ll * 1024 * 1024;
constexpr int Rounds = 3;

// The bare program: blocking sockets, one thread a side. Returns seconds.
double bareTransfer(qint64 size)
{
    const int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(lfd, 1);
    socklen_t len = sizeof a;
    ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
    QElapsedTimer t;
    t.start();
    std::thread sender([lfd, size] {
        const int fd = ::accept(lfd, nullptr, nullptr);
        char block[512];
        memset(block, 'x', sizeof block);
        qint64 sent = 0;
        while (sent < size) {
            const int n = int(std::min<qint64>(512, size - sent));
            if (::send(fd, block, size_t(n), 0) != n) break;
            sent += n;
            char ack[4];
            size_t got = 0;
            while (got < 4) {
                const ssize_t r = ::recv(fd, ack + got, 4 - got, 0);
                if (r <= 0) break;
                got += size_t(r);
            }
        }
        ::close(fd);
    });
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    char buf[65536];
    qint64 total = 0;
    while (total < size) {
        const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r <= 0) break;
        const qint64 before = total;
        total += r;
        if (total / 512 > before / 512 || total == size) {
            const uint32_t ack = htonl(uint32_t(total));
            ::send(fd, &ack, 4, 0);
        }
    }
    ::close(fd);
    sender.join();
    ::close(lfd);
    return t.elapsed() / 1000.0;
}

// The program's components, each on a loop of its own as in two programs: the sender on
// this thread's loop, the receiver on a second thread's. Returns seconds, or -1 when the
// transfer did not complete.
double programTransfer(const QString& path, const QString& target, qint64 size)
{
    TDccTransfer sender;
    QString error;
    if (!sender.StartSending(path, "127.0.0.1", error)) return -1;
    const QString port = sender.PeerPort;
    std::atomic<bool> received{false};
    std::atomic<qint64> got{0};
    QElapsedTimer t;
    t.start();
    std::thread other([&] {
        QEventLoop loop;
        TDccTransfer receiver;
        receiver.PeerAddress = "127.0.0.1";
        receiver.PeerPort = port;
        receiver.FileSize = size;
        receiver.OnDone = [&] { loop.quit(); };
        receiver.OnSenderClosed = [&] { loop.quit(); };
        receiver.OnError = [&](const QString&) { loop.quit(); };
        QString err;
        if (receiver.StartReceiving(target, err)) loop.exec();
        got = receiver.Transferred;
        received = true;
    });
    // The heartbeat wakes this loop to look at the other one's flag.
    QTimer beat;
    beat.start(50);
    while (!(received && sender.Done) && t.elapsed() < 600000)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    const double seconds = t.elapsed() / 1000.0;
    other.join();
    return got == size ? seconds : -1;
}

void BM_DccTransfer(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("send.bin");
    {
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        QByteArray chunk(1 << 20, Qt::Uninitialized);
        for (qint64 done = 0; done < Size; done += chunk.size()) {
            QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(chunk.data()),
                                                  chunk.size() / 4);
            f.write(chunk);
        }
    }
    for (auto _ : state) {
        // Rounds taken in turn, so that a moment of load on the shared machine falls on
        // both; the medians are compared.
        std::vector<double> bare, program;
        for (int round = 0; round < Rounds; ++round) {
            bare.push_back(bareTransfer(Size));
            const double t = programTransfer(path, dir.filePath("got.bin"), Size);
            if (t < 0) {
                state.SkipWithError("the program's transfer did not complete");
                return;
            }
            program.push_back(t);
        }
        const double b = benchstats::Median(bare), p = benchstats::Median(program);
        state.counters["bare_MBps"] = Size / 1048576.0 / b;
        state.counters["program_MBps"] = Size / 1048576.0 / p;
        state.counters["ratio"] = b / p;
        QFile a(path), g(dir.filePath("got.bin"));
        a.open(QIODevice::ReadOnly);
        g.open(QIODevice::ReadOnly);
        bool same = a.size() == g.size();
        while (same && !a.atEnd())
            same = a.read(1 << 20) == g.read(1 << 20);
        state.counters["identical"] = same ? 1 : 0;
    }
}

} // namespace

BENCHMARK(BM_DccTransfer)->Iterations(1)->Unit(benchmark::kSecond);
