// BM_ChatFlood: the chat module and a docked chat window in a channel of 1000 users who
// send 500 lines a second for 20 seconds through a real ngircd on loopback. The crowd
// runs on its own thread with plain sockets; the program's loop is watched for stalls.
//   stall_ms     the longest time the loop did not come round (beyond its tick)
//   lines_shown  lines the window holds at the end (the line limit applies)
//   lines_seen   channel lines the module routed to the window
//   busy_stall_ms the longest stall in which the loop's thread was on the processor
#include "chat_form.h"
#include "chatmodule.h"
#include "stallwatch.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Users = 1000;
constexpr int LinesPerSecond = 500;
constexpr int Seconds = 20;

quint16 freePort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

bool waitPort(quint16 port, int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (ok) return true;
        QThread::msleep(50);
    }
    return false;
}

// The crowd: Users connections that join the channel, read and drop everything, and
// take turns sending lines at the given rate.
class Crowd
{
public:
    explicit Crowd(quint16 port) : port_(port), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {}
    ~Crowd()
    {
        Stop();
        ::close(epoll_);
    }

    void Start()
    {
        thread_ = std::thread([this] { run(); });
    }
    void Flood() { flood_ = true; }
    void Stop()
    {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (int fd : fds_)
            ::close(fd);
        fds_.clear();
    }
    int Sent() const { return sent_; }
    bool Joined() const { return joined_; }

private:
    void sendAll(int fd, const QByteArray& b)
    {
        qsizetype off = 0;
        while (off < b.size() && !stop_) {
            const ssize_t n = ::send(fd, b.constData() + off, size_t(b.size() - off), MSG_NOSIGNAL);
            if (n > 0)
                off += n;
            else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                return;
            else
                drain(1);
        }
    }
    void drain(int timeoutMs)
    {
        static thread_local char buf[65536];
        epoll_event ev[256];
        const int n = ::epoll_wait(epoll_, ev, 256, timeoutMs);
        for (int i = 0; i < n; ++i)
            while (::recv(ev[i].data.fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
            }
    }
    void run()
    {
        for (int i = 0; i < Users && !stop_; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port_);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                ::close(fd);
                continue;
            }
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            fds_.push_back(fd);
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.fd = fd;
            ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
            const QByteArray n = "f" + QByteArray::number(i);
            sendAll(fd, "NICK " + n + "\r\nUSER " + n + " 0 * :crowd\r\nJOIN #flood\r\n");
            if (i % 50 == 0) drain(0);
        }
        joined_ = true;
        while (!flood_ && !stop_)
            drain(20);
        QElapsedTimer t;
        t.start();
        qint64 next = 0;
        int who = 0;
        while (!stop_ && t.elapsed() < Seconds * 1000 && !fds_.empty()) {
            const qint64 due = t.elapsed() * LinesPerSecond / 1000;
            while (next < due) {
                const int fd = fds_[size_t(who++ % int(fds_.size()))];
                sendAll(fd, "PRIVMSG #flood :line " + QByteArray::number(next) +
                                " of the crowd, with a link http://127.0.0.1/x and some words\r\n");
                ++next;
                ++sent_;
            }
            drain(1);
        }
        // Keep reading until told to stop, so the server never blocks on the crowd.
        while (!stop_)
            drain(20);
    }

    quint16 port_;
    int epoll_;
    std::thread thread_;
    std::vector<int> fds_;
    std::atomic<bool> stop_{false}, flood_{false}, joined_{false};
    std::atomic<int> sent_{0};
};

void BM_ChatFlood(benchmark::State& state)
{
    const QString ngircd = QStandardPaths::findExecutable("ngircd", {"/usr/sbin", "/usr/bin"});
    if (ngircd.isEmpty()) {
        state.SkipWithError("ngircd is not installed");
        return;
    }
    QTemporaryDir dir;
    QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7777));
    const quint16 port = freePort();
    QFile conf(dir.filePath("ngircd.conf"));
    conf.open(QIODevice::WriteOnly);
    conf.write("[Global]\nName = irc.bench\nInfo = bench\nListen = 127.0.0.1\nPorts = " +
               QByteArray::number(port) + "\nPidFile = " + dir.filePath("pid").toUtf8() +
               "\nMotdPhrase = flood\n[Limits]\nMaxConnectionsIP = 0\nMaxConnections = 0\n"
               "MaxJoins = 0\nMaxPenaltyTime = 0\nMaxNickLength = 30\n"
               "[Options]\nPAM = no\nIdent = no\nDNS = no\n");
    conf.close();
    QProcess server;
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(ngircd, {"-n", "-f", conf.fileName()});
    if (!server.waitForStarted() || !waitPort(port, 10000)) {
        state.SkipWithError("ngircd did not start");
        return;
    }
    const qint64 serverPid = server.processId();
    qputenv("DIALWISE_CHAT_HOST", "127.0.0.1:" + QByteArray::number(port));

    for (auto _ : state) {
        QTabWidget pages;
        pages.resize(900, 400);
        pages.show();
        TChatModule module;
        module.IRCClient1->SetServer("127.0.0.1");
        module.IRCClient1->SetPort(QString::number(port));
        module.IRCClient1->SetNick("listener");
        module.activetimer->setInterval(3600 * 1000);
        module.DefaultChannel = "#flood";
        module.DockSite = &pages;
        auto* form = new Tchat_form(&pages);
        form->Dock(&pages);
        module.AddChatWindow(form);
        form->ShowWindow();
        int seen = 0;
        auto onMessage = module.IRCClient1->OnMessage;
        module.IRCClient1->OnMessage = [&](TIRCClient* s, TUser* u, TChannel* c, const QString& t) {
            ++seen;
            onMessage(s, u, c, t);
        };
        module.ConnectChat();
        QElapsedTimer wait;
        wait.start();
        while (!form->Channel && wait.elapsed() < 15000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

        Crowd crowd(port);
        crowd.Start();
        while ((!crowd.Joined() || !form->Channel || int(form->Channel->Names.size()) < Users) &&
               wait.elapsed() < 120000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        const int members = form->Channel ? int(form->Channel->Names.size()) : 0;

        TStallWatch watch(50);
        watch.Start();
        crowd.Flood();
        QElapsedTimer flood;
        flood.start();
        // The flood, then until the lines sent have arrived (or 10 s more).
        while (flood.elapsed() < Seconds * 1000 ||
               (seen < crowd.Sent() && flood.elapsed() < (Seconds + 10) * 1000))
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        watch.Stop();
        crowd.Stop();

        state.counters["stall_ms"] = double(watch.LongestStall());
        state.counters["stalls_over_50ms"] = watch.Stalls();
        // The loop thread's processor time within the longest stall, and the longest stall
        // in which the loop itself was busy (the rest is the machine not running it).
        state.counters["stall_cpu_ms"] = double(watch.LongestStallCpu());
        state.counters["busy_stall_ms"] = double(watch.LongestBusyStall());
        state.counters["lines_shown"] = form->LineCount();
        state.counters["lines_seen"] = seen;
        state.counters["lines_sent"] = crowd.Sent();
        state.counters["members"] = members;
        module.DisconnectChat(true);
    }
    ::kill(pid_t(serverPid), SIGTERM);
    server.waitForFinished(5000);
}

} // namespace

BENCHMARK(BM_ChatFlood)->Iterations(1)->Unit(benchmark::kSecond);

// Per-line cost of the receive path into a docked window, without a server.
static void BM_ChatLines(benchmark::State& state)
{
    QTabWidget pages;
    pages.resize(900, 400);
    pages.show();
    TChatModule module;
    auto* form = new Tchat_form(&pages);
    form->Dock(&pages);
    module.AddChatWindow(form);
    TChannel* ch =
        module.IRCClient1->Channels().Add("#flood", nullptr, &module.IRCClient1->Users());
    form->Channel = ch;
    int n = 0;
    for (auto _ : state) {
        QByteArray batch;
        for (int i = 0; i < 100; ++i)
            batch += ":f" + QByteArray::number(n++ % 1000) + "!u@h PRIVMSG #flood :line " +
                     QByteArray::number(n) + " of the crowd, with a link http://127.0.0.1/x\r\n";
        module.IRCClient1->ReceiveData(batch);
    }
    state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_ChatLines)->Unit(benchmark::kMillisecond);
