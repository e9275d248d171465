// Arbitrary bytes as the response of a stream server of the program's own kind: the head
// (status, "icy-name", "icy-genre" with its format block) and the packets after it, cut
// into reads of a size the first byte chooses. Whatever the head announces is opened as a
// device and decoded; the queued buffers must all come back.
#include "httpprot.h"
#include "streamplayer.h"
#include "waveout.h"

#include <QCoreApplication>
#include <cstdint>

namespace {
// Takes the samples and forgets them, at once.
class TDiscard : public platform::TAudioSink
{
public:
    bool Open(int, int, QString*) override { return true; }
    void Write(const int16_t*, int) override {}
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_ownstream";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static bool once = [] {
        platform::SetSinkFactory([] { return std::make_unique<TDiscard>(); });
        return true;
    }();
    (void)once;
    if (size == 0) return 0;
    const int step = 1 + data[0] % 251;
    TStreamPlayer p;
    p.BufferKB = 1 + data[0] % 3;
    p.View.BoxVisible = [] { return false; };
    p.Client()->BeginResponseForTest();
    const char* at = reinterpret_cast<const char*>(data + 1);
    int left = int(size - 1);
    while (left > 0) {
        const int n = left < step ? left : step;
        p.Client()->FeedResponseForTest(at, n);
        at += n;
        left -= n;
    }
    QCoreApplication::processEvents();
    p.Stop();
    if (TStreamPlayer::QueuedBuffers() != 0) __builtin_trap();
    return 0;
}
