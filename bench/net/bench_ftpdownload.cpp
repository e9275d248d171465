// Downloads a 256 MB file from a real vsftpd on loopback with TFtpClient (active mode,
// as the updater does) and with curl (also active), and compares the CPU time each client
// spends. vsftpd's own work counts for neither.
#include "ftpcli.h"
#include "testsupport.h"

#include <QEventLoop>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr qint64 kBytes = 256LL * 1024 * 1024;

double cpuSeconds(const rusage& r)
{
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// Runs one FTP request to its end; false on an error or after ten minutes.
bool runRequest(TFtpClient& c, void (TFtpClient::*op)())
{
    QEventLoop loop;
    int error = -1;
    c.OnRequestDone = [&](TFtpClient*, TFtpRequest, int e) {
        error = e;
        loop.quit();
    };
    (c.*op)();
    QTimer::singleShot(600000, &loop, &QEventLoop::quit);
    if (error < 0) loop.exec();
    c.OnRequestDone = nullptr;
    return error == 0;
}

void BM_FtpDownload(benchmark::State& state)
{
    const QString curl = QStandardPaths::findExecutable("curl");
    if (curl.isEmpty() || dwtest::findProgram("vsftpd").isEmpty()) {
        state.SkipWithError("curl or vsftpd is not installed");
        return;
    }
    QTemporaryDir tmp;
    const QString root = tmp.filePath("root");
    {
        QFile f(root + "/big.bin");
        dwtest::writeFile(f.fileName(), {});
        if (!f.open(QIODevice::WriteOnly)) {
            state.SkipWithError("cannot write the file to serve");
            return;
        }
        QByteArray block(1024 * 1024, '\0');
        for (qsizetype i = 0; i < block.size(); ++i)
            block[i] = char((i * 131) & 0xff);
        for (qint64 left = kBytes; left > 0; left -= block.size())
            f.write(block);
        f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
    }
    dwtest::Peer vsftpd;
    const quint16 port = dwtest::freePort();
    if (!dwtest::startVsftpd(vsftpd, root, port, tmp.filePath("srv"))) {
        state.SkipWithError("vsftpd did not start");
        return;
    }

    double ftp = 0, curlCpu = 0;
    qint64 got = 0, curlGot = 0;
    for (auto _ : state) {
        const QString local = tmp.filePath("ftp.bin"), curlLocal = tmp.filePath("curl.bin");
        QFile::remove(local);
        QFile::remove(curlLocal);
        TFtpClient c;
        c.HostName = "127.0.0.1";
        c.Port = QString::number(port);
        c.HostDirName = "/";
        c.HostFileName = "big.bin";
        c.LocalFileName = local;
        rusage before{}, after{};
        ::getrusage(RUSAGE_SELF, &before);
        const bool ok = runRequest(c, &TFtpClient::ConnectAsync) &&
                        runRequest(c, &TFtpClient::TypeSetAsync) &&
                        runRequest(c, &TFtpClient::GetAsync);
        ::getrusage(RUSAGE_SELF, &after);
        ftp = cpuSeconds(after) - cpuSeconds(before);
        if (ok) runRequest(c, &TFtpClient::QuitAsync);
        got = QFile(local).size();

        const QByteArray exe = curl.toLocal8Bit(), out = curlLocal.toLocal8Bit(),
                         url = QStringLiteral("ftp://127.0.0.1:%1/big.bin").arg(port).toLocal8Bit();
        pid_t pid = ::fork();
        if (pid == 0) {
            ::execl(exe.constData(), "curl", "-s", "--disable-eprt", "-P", "127.0.0.1", "-o",
                    out.constData(), url.constData(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        rusage cr{};
        ::wait4(pid, &status, 0, &cr);
        curlCpu = cpuSeconds(cr);
        curlGot = QFile(curlLocal).size();
        QFile::remove(local);
        QFile::remove(curlLocal);
    }
    vsftpd.stop();
    if (got != kBytes || curlGot != kBytes) {
        state.SkipWithError("a client did not receive the whole file");
        return;
    }
    const double ratio = curlCpu > 0 ? ftp / curlCpu : 0;
    std::printf("256 MB by FTP over loopback: TFtpClient %.3f s CPU, curl %.3f s CPU, ratio %.2f "
                "(goal: at most 1.5)\n",
                ftp, curlCpu, ratio);
    state.counters["ftpclient_cpu_s"] = ftp;
    state.counters["curl_cpu_s"] = curlCpu;
    state.counters["ratio"] = ratio;
    state.SetBytesProcessed(kBytes);
}

} // namespace

BENCHMARK(BM_FtpDownload)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
