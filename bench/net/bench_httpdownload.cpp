// Downloads 1 GiB from a loopback server with THttpCli and with curl, and compares the
// CPU time each client spends in its own download (after a warm-up, the mean of three
// rounds); both write what they receive to /dev/null. The server runs in a child process of its own
// so that its work counts for neither client.
#include "httpprot.h"

#include <QEventLoop>
#include <QStandardPaths>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr long long kBytes = 1LL << 30;

double cpuSeconds(const rusage& r)
{
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// Child process: answers every connection with a header and kBytes of body, then closes.
[[noreturn]] void serve(int listenFd)
{
    static char block[256 * 1024];
    std::memset(block, 'x', sizeof block);
    for (;;) {
        int c = ::accept(listenFd, nullptr, nullptr);
        if (c < 0) continue;
        char req[4096];
        int have = 0;
        while (have < int(sizeof req) - 1) {
            ssize_t n = ::read(c, req + have, sizeof req - 1 - have);
            if (n <= 0) break;
            have += int(n);
            req[have] = 0;
            if (std::strstr(req, "\r\n\r\n")) break;
        }
        char head[128];
        int hl = std::snprintf(head, sizeof head, "HTTP/1.0 200 OK\r\nContent-Length: %lld\r\n\r\n",
                               kBytes);
        bool ok = ::write(c, head, size_t(hl)) == hl;
        long long left = kBytes;
        while (ok && left > 0) {
            ssize_t n =
                ::write(c, block, size_t(left < (long long)sizeof block ? left : sizeof block));
            if (n <= 0) break;
            left -= n;
        }
        ::close(c);
    }
}

void BM_Download1GiB_THttpCli_vs_curl(benchmark::State& state)
{
    const QString curl = QStandardPaths::findExecutable("curl");
    if (curl.isEmpty()) {
        state.SkipWithError("curl is not installed");
        return;
    }
    int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t sl = sizeof sa;
    if (::bind(lfd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(lfd, 4) != 0 ||
        ::getsockname(lfd, reinterpret_cast<sockaddr*>(&sa), &sl) != 0) {
        state.SkipWithError("cannot listen on loopback");
        return;
    }
    const QString url = QStringLiteral("http://127.0.0.1:%1/big").arg(ntohs(sa.sin_port));
    pid_t server = ::fork();
    if (server == 0) serve(lfd);
    ::close(lfd);

    // Both clients write what they receive to the same kind of sink, /dev/null: curl
    // through its output file, THttpCli from its data event.
    const int sink = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    bool complete = true;
    // One download with THttpCli in this process; its CPU time alone.
    const auto httpRound = [&]() -> double {
        THttpCli h;
        h.URL = url;
        qint64 received = 0;
        h.OnDocData = [&](THttpCli*, const char* data, int n) {
            received += n;
            if (::write(sink, data, size_t(n)) != n) complete = false;
        };
        QEventLoop loop;
        h.OnRequestDone = [&](THttpCli*, THttpRequest, quint16) { loop.quit(); };
        rusage before{}, after{};
        ::getrusage(RUSAGE_SELF, &before);
        h.GetAsync();
        QTimer::singleShot(600000, &loop, &QEventLoop::quit);
        loop.exec();
        ::getrusage(RUSAGE_SELF, &after);
        if (received != kBytes) complete = false;
        return cpuSeconds(after) - cpuSeconds(before);
    };
    // The same download with curl as a process of its own; its CPU time alone.
    const QByteArray exe = curl.toLocal8Bit(), u = url.toLocal8Bit();
    const auto curlRound = [&]() -> double {
        pid_t c = ::fork();
        if (c == 0) {
            ::execl(exe.constData(), "curl", "-s", "-o", "/dev/null", u.constData(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        rusage cr{};
        ::wait4(c, &status, 0, &cr);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) complete = false;
        return cpuSeconds(cr);
    };

    // A warm-up round of each (page cache, socket buffers, the first allocations), then
    // the measured rounds, one client after the other in each.
    httpRound();
    curlRound();
    double http = 0, curlCpu = 0;
    int rounds = 0;
    for (auto _ : state) {
        http += httpRound();
        curlCpu += curlRound();
        ++rounds;
    }
    ::close(sink);
    ::kill(server, SIGKILL);
    ::waitpid(server, nullptr, 0);

    if (!complete || rounds == 0) {
        state.SkipWithError("a client did not receive the whole body");
        return;
    }
    http /= rounds;
    curlCpu /= rounds;
    const double ratio = curlCpu > 0 ? http / curlCpu : 0;
    std::printf("1 GiB over loopback, mean of %d rounds: THttpCli %.3f s CPU, curl %.3f s CPU, "
                "ratio %.2f (goal: at most 1.5)\n",
                rounds, http, curlCpu, ratio);
    state.counters["httpcli_cpu_s"] = http;
    state.counters["curl_cpu_s"] = curlCpu;
    state.counters["ratio"] = ratio;
    state.SetBytesProcessed(kBytes);
}

} // namespace

BENCHMARK(BM_Download1GiB_THttpCli_vs_curl)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
