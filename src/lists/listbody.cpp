#include "customserverlist.h"

#include <cstring>
#include <zlib.h>

// ---------------------------------------------------------------------------------------
// Decompression

namespace {

// Inflates `in` with the given window bits; false when nothing was produced.
bool InflateInto(const char* in, qsizetype inLen, int windowBits, QByteArray& out)
{
    z_stream zs{};
    if (inflateInit2(&zs, windowBits) != Z_OK) return false;
    // Start with four times the input; grow by the input rounded up to 256 bytes.
    const qsizetype step = qMax<qsizetype>(256, (inLen + 255) / 256 * 256);
    out.resize(qMin(MaxInflatedListBytes, qMax<qsizetype>(256, inLen * 4)));
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
    qsizetype inLeft = inLen;
    qsizetype produced = 0;
    int rc = Z_OK;
    for (;;) {
        if (produced == out.size()) {
            if (out.size() >= MaxInflatedListBytes)
                break; // too large for a station list: keep what there is
            out.resize(qMin(MaxInflatedListBytes, out.size() + step));
        }
        const uInt inChunk = uInt(qMin<qsizetype>(inLeft, 1 << 30));
        const uInt outChunk = uInt(qMin<qsizetype>(out.size() - produced, 1 << 30));
        zs.avail_in = inChunk;
        zs.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
        zs.avail_out = outChunk;
        rc = inflate(&zs, Z_NO_FLUSH);
        inLeft -= inChunk - zs.avail_in;
        produced += outChunk - zs.avail_out;
        if (rc == Z_STREAM_END) break;
        if (rc != Z_OK && rc != Z_BUF_ERROR) break;        // data error: keep what was produced
        if (rc == Z_BUF_ERROR && zs.avail_out != 0) break; // the input ended before the stream did
        if (inLeft == 0 && zs.avail_out != 0) break;
    }
    inflateEnd(&zs);
    out.truncate(produced);
    return produced > 0;
}

// Length of a gzip member header: 10 bytes, plus the optional fields its flags announce.
qsizetype GzipHeaderLength(const QByteArray& b)
{
    const auto* p = reinterpret_cast<const unsigned char*>(b.constData());
    const qsizetype n = b.size();
    qsizetype pos = 10;
    const unsigned flags = n > 3 ? p[3] : 0;
    if (flags & 0x04) { // FEXTRA
        if (pos + 2 > n) return 10;
        pos += 2 + (p[pos] | (p[pos + 1] << 8));
    }
    for (unsigned bit : {0x08u, 0x10u}) // FNAME, FCOMMENT: zero-terminated
        if (flags & bit) {
            while (pos < n && p[pos] != 0)
                ++pos;
            ++pos;
        }
    if (flags & 0x02) // FHCRC
        pos += 2;
    return pos <= n ? pos : 10;
}

} // namespace

void DecompressListBody(QByteArray& body)
{
    if (body.size() < 10) return;
    const auto* p = reinterpret_cast<const unsigned char*>(body.constData());
    qsizetype start = 0;
    int windowBits = 15; // zlib stream
    bool headerSaysCompressed = false;
    if (p[0] == 0x1f && p[1] == 0x8b) {
        start = GzipHeaderLength(body);
        windowBits = -15; // raw deflate
        headerSaysCompressed = true;
    } else {
        // A zlib header: deflate method and a check that a list text never passes (a
        // list starts with its separator).
        headerSaysCompressed = (p[0] & 0x0f) == 8 && (p[0] >> 4) <= 7 && (p[1] & 0x20) == 0 &&
                               ((p[0] << 8) | p[1]) % 31 == 0;
    }
    const char* in = body.constData() + start;
    const qsizetype inLen = body.size() - start;
    // Plain text holds no zero byte; a small compressed body need not hold one either,
    // so a valid header counts too.
    if (!headerSaysCompressed && !std::memchr(in, 0, size_t(inLen))) return;
    QByteArray out;
    if (InflateInto(in, inLen, windowBits, out)) body = std::move(out);
}
