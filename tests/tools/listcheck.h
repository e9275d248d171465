#pragma once
// Reading the directory's answers the way the program does: inflate (zlib, or gzip with
// its 10-byte header dropped) and split the field-counted table into records.
#include <QByteArray>
#include <QList>
#include <QMap>
#include <zlib.h>

namespace dwtest {

inline QByteArray inflateLikeClient(const QByteArray& body, bool* ok = nullptr)
{
    QByteArray in = body;
    int windowBits = 15;
    if (in.size() >= 10 && uchar(in[0]) == 0x1f && uchar(in[1]) == 0x8b) {
        in = in.mid(10);
        windowBits = -15;
    }
    z_stream z{};
    if (ok) *ok = false;
    if (inflateInit2(&z, windowBits) != Z_OK) return {};
    QByteArray out(in.size() * 4 + 256, Qt::Uninitialized);
    z.next_in = reinterpret_cast<Bytef*>(in.data());
    z.avail_in = uInt(in.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (qsizetype(z.total_out) == out.size()) out.resize(out.size() * 2);
        z.next_out = reinterpret_cast<Bytef*>(out.data() + z.total_out);
        z.avail_out = uInt(out.size() - z.total_out);
        rc = inflate(&z, Z_NO_FLUSH);
    }
    out.truncate(qsizetype(z.total_out));
    inflateEnd(&z);
    if (ok) *ok = rc == Z_STREAM_END;
    return out;
}

using Record = QMap<QByteArray, QByteArray>;

// The records of a list text; `fields` gets the field names. Empty when the header is
// not "\fieldcount\N".
inline QList<Record> parseList(const QByteArray& text, QList<QByteArray>* fields = nullptr)
{
    const QList<QByteArray> t = text.split('\\');
    QList<Record> out;
    if (t.size() < 3 || !t[0].isEmpty() || t[1] != "fieldcount") return out;
    const int n = t[2].toInt();
    if (n <= 0 || t.size() < 3 + n) return out;
    const QList<QByteArray> names = t.mid(3, n);
    if (fields) *fields = names;
    for (qsizetype i = 3 + n; i + n <= t.size(); i += n) {
        Record r;
        for (int k = 0; k < n; ++k)
            r.insert(names[k], t[i + k]);
        out << r;
    }
    return out;
}

inline QList<QByteArray> column(const QList<Record>& records, const QByteArray& field)
{
    QList<QByteArray> out;
    for (const Record& r : records)
        out << r.value(field);
    return out;
}

} // namespace dwtest
