// Arbitrary server bytes through the IRC client's receiving path: the line buffer, the
// parser and the dispatch with every handler assigned. The client is really connected
// (to a listening socket of this process) so that its answers are written, and it starts
// each input registering as "me" on #a (with a names list) and #b. The first byte sets
// the size of the pieces the rest arrives in.
#include "ircclient.h"
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

void wire(TIRCClient& cl)
{
    // Handlers that act back on the client, as an owner's would.
    cl.OnNicksInUse = [](TIRCClient*, QString& n) {
        if (n.size() < 20) n += u'1';
    };
    cl.OnJoined = [](TIRCClient* c, TChannel* ch) { c->Say(ch->Name, "hi"); };
    cl.OnChannelUpdate = [](TChannel* ch, TChannelUpdateType, TUser* u, int info) {
        if (u) (void)u->Nick.size();
        if (info >= 0 && size_t(info) < ch->Names.size()) (void)ch->Names[size_t(info)].Flags;
    };
    cl.OnCTCPQuery = [](TIRCClient*, TUser*, TChannel*, const QString& cmd, const QString&,
                        bool& suppress) { suppress = cmd == u"FINGER"; };
    cl.OnRaw = [](TIRCClient*, TUser* u, const QString& cmd, const QString&, bool& suppress) {
        suppress = cmd == u"SUPPRESS";
        if (u) (void)u->Address.size();
    };
    cl.OnKick = [](TIRCClient* c, TUser*, TUser* victim, TChannel*) {
        if (victim && victim->Nick == u"again") c->Connect();
    };
    cl.OnMessage = [](TIRCClient* c, TUser*, TChannel* ch, const QString& text) {
        if (text == u"part" && ch) c->Part(ch->Name);
        if (text == u"quit") c->Disconnect(true);
    };
    cl.OnPart = [](TIRCClient*, TUser* u, TChannel* ch, const QString&) {
        (void)u->Reason.size();
        (void)ch->Name.size();
    };
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int argc = 1;
    static char arg0[] = "fuzz_ircclient";
    static char* argv[] = {arg0, nullptr};
    static QCoreApplication app(argc, argv);
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
        wire(*cl);
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
    cl->ReceiveData(":me!u@h JOIN :#a\r\n"
                    ":irc.test 353 me = #a :@me +v x @+y @z+ w\r\n"
                    ":irc.test 366 me #a :End\r\n"
                    ":me!u@h JOIN #b\r\n");

    const size_t piece = data[0] % 32 + 1;
    for (size_t pos = 1; pos < size; pos += piece) {
        const size_t n = std::min(piece, size - pos);
        cl->ReceiveData(QByteArray(reinterpret_cast<const char*>(data + pos), qsizetype(n)));
    }
    // Whatever is left without a line end is handed in as a last line.
    cl->ReceiveData("\r\n");

    // The registries stay consistent: every channel's users and the own user are there.
    for (int i = 0; i < cl->Channels().Count(); ++i)
        (void)cl->Channels().At(i)->Names.size();
    for (int i = 0; i < cl->Users().Count(); ++i)
        if (cl->Users().At(i)->RefCount < 1) abort();
    if (cl->Connected() && cl->OwnUser() && !cl->Users().Owns(cl->OwnUser())) abort();
    return 0;
}
