// What both IRC client fuzz targets share: the handlers an owner would assign (some act
// back on the client), the session every input starts in, and the checks of the client's
// registries after an input.
#pragma once

#include "ircclient.h"

#include <QByteArray>
#include <QCoreApplication>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace ircfuzz {

// The application object the sockets and timers need, made once.
inline void ensureApp()
{
    static int argc = 1;
    static char arg0[] = "fuzz_ircclient";
    static char* argv[] = {arg0, nullptr};
    static QCoreApplication app(argc, argv);
}

// reconnect: what a kick of the user "again" does (a new session in the middle of a line).
inline void wire(TIRCClient& cl, void (*reconnect)(TIRCClient*))
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
    cl.OnKick = [reconnect](TIRCClient* c, TUser*, TUser* victim, TChannel*) {
        if (victim && victim->Nick == u"again") reconnect(c);
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

// The own user "me" on #a (with a names list) and #b.
inline const QByteArray kSessionStart = ":me!u@h JOIN :#a\r\n"
                                        ":irc.test 353 me = #a :@me +v x @+y @z+ w\r\n"
                                        ":irc.test 366 me #a :End\r\n"
                                        ":me!u@h JOIN #b\r\n";

// Feeds data[1..] in pieces of the size the first byte picks, then a last line end for
// whatever is left without one.
inline void feed(TIRCClient& cl, const uint8_t* data, size_t size)
{
    if (size == 0) return;
    const size_t piece = data[0] % 32 + 1;
    for (size_t pos = 1; pos < size; pos += piece) {
        const size_t n = std::min(piece, size - pos);
        cl.ReceiveData(QByteArray(reinterpret_cast<const char*>(data + pos), qsizetype(n)));
    }
    cl.ReceiveData("\r\n");
}

// The registries stay consistent: every listed user is referenced, the own user is listed.
inline void check(TIRCClient& cl)
{
    for (int i = 0; i < cl.Channels().Count(); ++i)
        (void)cl.Channels().At(i)->Names.size();
    for (int i = 0; i < cl.Users().Count(); ++i)
        if (cl.Users().At(i)->RefCount < 1) abort();
    if (cl.Connected() && cl.OwnUser() && !cl.Users().Owns(cl.OwnUser())) abort();
}

} // namespace ircfuzz
