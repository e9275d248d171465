// Feeds arbitrary bytes to the SOCKS negotiation as a proxy's replies, for every level
// and with and without user-name authentication.
#include "socks.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    static const char* const levels[] = {"4", "4A", "5", "5"};
    TSocksRequest r;
    r.Level = QString::fromLatin1(levels[data[0] & 3]);
    r.Authentication = (data[0] & 4) ? socksAuthenticateUsercode : socksNoAuthentication;
    r.Addr = QStringLiteral("station.example");
    r.Port = 8000;
    r.AddrIPv4 = 0x7f000001;
    r.Usercode = QStringLiteral("user");
    r.Password = QStringLiteral("pass");
    const int step = 1 + data[1] % 13;
    TSocksNegotiator n;
    int authStates = 0;
    n.OnAuthState = [&](TSocksAuthState) { ++authStates; };
    QByteArray first = n.Start(r);
    const char* p = reinterpret_cast<const char*>(data + 2);
    int left = int(size - 2);
    while (left > 0) {
        int k = left < step ? left : step;
        TSocksNegotiator::TResult res = n.Feed(p, k);
        first += n.TakeOutput();
        p += k;
        left -= k;
        if (res != TSocksNegotiator::NeedMore) break;
    }
    volatile int keep = n.ErrorCode() + n.Extra().size() + n.BoundAddr().size() + first.size();
    (void)keep;
    return 0;
}
