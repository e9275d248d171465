// Feeds arbitrary bytes to the HTTP client as a server's response, in pieces of varying
// size, and splits the same bytes as a URL.
#include "httpprot.h"

#include <QCoreApplication>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_http_response";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static THttpCli http;
    static quint64 sink = 0;
    if (!http.OnDocData) {
        http.OnDocData = [](THttpCli*, const char* b, int n) {
            for (int i = 0; i < n; ++i)
                sink += quint8(b[i]);
        };
        http.OnHeaderData = [](THttpCli* h) { sink += quint64(h->RcvdHeader().last().size()); };
    }

    const QString text = QString::fromLatin1(reinterpret_cast<const char*>(data), int(size));
    TParsedURL u = ParseURL(text);
    sink += quint64(u.Host.size() + u.Path.size() + u.Port.size());

    if (size == 0) return 0;
    // The first byte chooses how the rest is cut into reads.
    const int step = 1 + data[0] % 97;
    const char* p = reinterpret_cast<const char*>(data + 1);
    int left = int(size - 1);
    http.BeginResponseForTest();
    while (left > 0) {
        int n = left < step ? left : step;
        http.FeedResponseForTest(p, n);
        p += n;
        left -= n;
    }
    sink += quint64(http.StatusCode()) + quint64(http.RcvdCount()) + quint64(http.DocName().size());
    http.Abort();
    QCoreApplication::processEvents();
    return 0;
}
