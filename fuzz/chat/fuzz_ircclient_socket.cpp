// Arbitrary server bytes through the IRC client on a real connection: as fuzz_ircclient,
// but the client connects (to a listening socket of this process) for every input, so
// that connecting, its answers being written and reconnecting from a handler are part of
// it. Slower than fuzz_ircclient; run it after that one.
#include "ircfuzz.h"
#include "wsocket.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

int listenFd = -1;
quint16 listenPort = 0;

void startListening()
{
    listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listenFd, 64);
    socklen_t len = sizeof a;
    ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len);
    listenPort = ntohs(a.sin_port);
    ::fcntl(listenFd, F_SETFL, O_NONBLOCK);
}

// Accepts whatever waits and closes it (the answers of a finished input are not needed).
void dropAccepted(std::vector<int>& fds)
{
    for (;;) {
        const int fd = ::accept(listenFd, nullptr, nullptr);
        if (fd < 0) break;
        fds.push_back(fd);
    }
    for (int fd : fds)
        ::close(fd);
    fds.clear();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ircfuzz::ensureApp();
    static TIRCClient* cl = nullptr;
    static std::vector<int> accepted;
    if (!cl) {
        std::signal(SIGPIPE, SIG_IGN);
        startListening();
        cl = new TIRCClient;
        cl->SetServer("127.0.0.1");
        cl->SetPort(QString::number(listenPort));
        cl->SetNick("me");
        cl->SetAltNick("me_");
        ircfuzz::wire(*cl, [](TIRCClient* c) { c->Connect(); });
    }
    if (size == 0) return 0;

    dropAccepted(accepted);
    cl->Connect();
    QElapsedTimer t;
    t.start();
    while (cl->State() == isConnecting && t.elapsed() < 2000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        const int fd = ::accept(listenFd, nullptr, nullptr);
        if (fd >= 0) accepted.push_back(fd);
    }
    cl->ReceiveData(ircfuzz::kSessionStart);
    ircfuzz::feed(*cl, data, size);
    ircfuzz::check(*cl);
    return 0;
}
