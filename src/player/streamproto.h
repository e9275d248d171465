#pragma once
// The program's own stream kind on the wire. The response head announces the audio format
// in "icy-genre": a TAB, the base64 text of a wave-format block, a TAB (and text that is
// not used). The body is a run of packets: sync word CC 9B F0 EA, a signed 32-bit
// little-endian length, and that many payload bytes. A payload starting with CD 9B F0 EA
// is metadata (four more bytes skipped, then items: tag 1 + 32-bit song length in seconds,
// tag 2 + NUL-terminated title, any other tag ends the list); every other payload is
// audio in the announced format.
#include <QByteArray>
#include <QString>
#include <QStringList>

namespace streamproto {

constexpr quint32 SyncWord = 0xEAF09BCCu;
constexpr quint32 MetaWord = 0xEAF09BCDu;
// Longest payload taken; a longer (or negative) length means the stream is out of step.
constexpr qint32 MaxPayload = 1 << 20;

// A status line ("ICY ..." or "HTTP/1.x ..."): the code is the three characters after
// the first blank, the text everything after that blank.
bool IsStatusLine(const QString& line);
int StatusCode(const QString& line);
QString StatusText(const QString& line);

// A header field: the name before the first ":" in lower case, the value after it with
// CR, LF and NUL removed. False when the line has no ":".
bool SplitField(const QString& line, QString& name, QString& value);

enum TFormatResult
{
    fmtOk,
    fmtNoTab,     // an ordinary audio server
    fmtBadBase64, // the text does not decode
    fmtBadBlock   // the block does not describe a format (shorter than its cbSize ...)
};
// Decodes the format block of an "icy-genre" value.
TFormatResult DecodeFormat(const QString& value, QByteArray& block);
// The "icy-genre" value a server sends for a block (and a genre after the second TAB).
QString EncodeFormat(const QByteArray& block, const QString& genre = {});

// Offset of the first sync word at 0 .. len - 8, or -1.
int FindSync(const char* data, int len);

struct TMetadata
{
    qint32 SongLength = 0; // 0 when the item is missing
    QString Title;         // empty when the item is missing
};
bool IsMetadata(const char* payload, int len);
TMetadata ParseMetadata(const char* payload, int len);

// Packet builders (servers and tests).
QByteArray MakePacket(const QByteArray& payload);
QByteArray MakeMetadata(qint32 songLength, const QByteArray& title);

} // namespace streamproto
