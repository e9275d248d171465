// Feeds arbitrary bytes to the FTP reply parser in pieces of varying size, as a server's
// control connection would deliver them.
#include "ftpcli.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const int step = 1 + data[0] % 97;
    TFtpReplyParser p;
    int lines = 0, replies = 0;
    p.OnLine = [&](const QString& l) { lines += int(l.size() > 0); };
    p.OnReply = [&](int code, const QString& l) {
        if (code < 100 || code > 599 || l.size() > TFtpReplyParser::MaxLineLength) __builtin_trap();
        ++replies;
    };
    const char* q = reinterpret_cast<const char*>(data + 1);
    int left = int(size - 1);
    while (left > 0) {
        const int k = left < step ? left : step;
        if (!p.Feed(q, k)) break;
        q += k;
        left -= k;
    }
    volatile int keep = lines + replies + int(p.Error().size());
    (void)keep;
    return 0;
}
