// Arbitrary wave-format blocks and audio bytes through the decoder the device would use:
// the first byte gives the block's length, the rest is data, decoded in two pieces.
#include "waveout.h"

#include <QByteArray>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    const size_t blockLen = std::min<size_t>(data[0], size - 1);
    const QByteArray block(reinterpret_cast<const char*>(data + 1), qsizetype(blockLen));
    platform::TWaveDecoder d;
    if (!d.Open(block)) return 0;
    const char* audio = reinterpret_cast<const char*>(data + 1 + blockLen);
    const int len = int(size - 1 - blockLen);
    quint64 sum = 0;
    auto out = [&](const int16_t* s, int frames) {
        for (int i = 0; i < frames * d.OutChannels(); ++i)
            sum += quint16(s[i]);
        return true;
    };
    d.Decode(audio, len / 2, out);
    d.Decode(audio + len / 2, len - len / 2, out);
    d.Reset();
    d.Decode(audio, len, out);
    static volatile quint64 sink;
    sink = sum;
    return 0;
}
