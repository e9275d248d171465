#include "streamproto.h"
#include "waveout.h"

#include <cstring>

namespace streamproto {

static quint32 rd32(const char* p)
{
    return quint32(quint8(p[0])) | (quint32(quint8(p[1])) << 8) | (quint32(quint8(p[2])) << 16) |
           (quint32(quint8(p[3])) << 24);
}
static void wr32(QByteArray& b, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        b.append(char((v >> (8 * i)) & 0xFF));
}

bool IsStatusLine(const QString& line)
{
    return line.startsWith(QLatin1String("ICY")) || line.startsWith(QLatin1String("HTTP/1."));
}

int StatusCode(const QString& line)
{
    const int blank = line.indexOf(' ');
    if (blank < 0) return 0;
    bool ok = false;
    const int code = line.mid(blank + 1, 3).toInt(&ok);
    return ok ? code : 0;
}

QString StatusText(const QString& line)
{
    const int blank = line.indexOf(' ');
    return blank < 0 ? QString() : line.mid(blank + 1);
}

bool SplitField(const QString& line, QString& name, QString& value)
{
    const int colon = line.indexOf(':');
    if (colon < 0) return false;
    name = line.left(colon).toLower();
    value = line.mid(colon + 1);
    value.remove(QChar('\r'));
    value.remove(QChar('\n'));
    value.remove(QChar('\0'));
    return true;
}

TFormatResult DecodeFormat(const QString& value, QByteArray& block)
{
    if (!value.startsWith('\t')) return fmtNoTab;
    int end = value.indexOf('\t', 1);
    if (end < 0) end = value.size();
    const QByteArray text = value.mid(1, end - 1).toLatin1();
    auto decoded = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || text.isEmpty()) return fmtBadBase64;
    platform::TWaveFormat f;
    if (!platform::ParseWaveFormat(*decoded, f)) return fmtBadBlock;
    block = *decoded;
    return fmtOk;
}

QString EncodeFormat(const QByteArray& block, const QString& genre)
{
    return "\t" + QString::fromLatin1(block.toBase64()) + "\t" + genre;
}

int FindSync(const char* data, int len)
{
    static const char sync[4] = {char(0xCC), char(0x9B), char(0xF0), char(0xEA)};
    for (int i = 0; i <= len - 8; ++i)
        if (memcmp(data + i, sync, 4) == 0) return i;
    return -1;
}

bool IsMetadata(const char* payload, int len)
{
    return len >= 4 && rd32(payload) == MetaWord;
}

TMetadata ParseMetadata(const char* payload, int len)
{
    TMetadata m;
    int pos = 8; // the meta word and four skipped bytes
    while (pos < len) {
        const quint8 tag = quint8(payload[pos++]);
        if (tag == 1) {
            if (len - pos < 4) break;
            m.SongLength = qint32(rd32(payload + pos));
            pos += 4;
        } else if (tag == 2) {
            const void* nul = memchr(payload + pos, 0, size_t(len - pos));
            const int end = nul ? int(static_cast<const char*>(nul) - payload) : len;
            // UTF-8 when it is valid, else the older 8-bit text.
            const QByteArray raw(payload + pos, end - pos);
            m.Title = QString::fromUtf8(raw);
            if (m.Title.contains(QChar::ReplacementCharacter)) m.Title = QString::fromLatin1(raw);
            pos = end + 1;
        } else {
            break;
        }
    }
    return m;
}

QByteArray MakePacket(const QByteArray& payload)
{
    QByteArray p;
    p.reserve(payload.size() + 8);
    wr32(p, SyncWord);
    wr32(p, quint32(payload.size()));
    p.append(payload);
    return p;
}

QByteArray MakeMetadata(qint32 songLength, const QByteArray& title)
{
    QByteArray p;
    wr32(p, MetaWord);
    wr32(p, 0);
    p.append(char(1));
    wr32(p, quint32(songLength));
    p.append(char(2));
    p.append(title);
    p.append('\0');
    p.append(char(0)); // end of the items
    return MakePacket(p);
}

} // namespace streamproto
