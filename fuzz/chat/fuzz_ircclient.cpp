// Arbitrary server bytes through the IRC client's receiving path: the line buffer, the
// parser and the dispatch with every handler assigned. Each input starts a fresh session
// without a socket (what the client answers is dropped), registered as "me" on #a (with a
// names list) and #b; the first byte sets the size of the pieces the rest arrives in.
// fuzz_ircclient_socket does the same over a real connection.
#include "ircfuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ircfuzz::ensureApp();
    static TIRCClient* cl = nullptr;
    if (!cl) {
        cl = new TIRCClient;
        cl->SetNick("me");
        cl->SetAltNick("me_");
        ircfuzz::wire(*cl, [](TIRCClient* c) { c->StartSessionForTest(); });
    }
    if (size == 0) return 0;
    cl->StartSessionForTest();
    cl->ReceiveData(ircfuzz::kSessionStart);
    ircfuzz::feed(*cl, data, size);
    ircfuzz::check(*cl);
    return 0;
}
