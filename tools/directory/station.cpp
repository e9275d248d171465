#include "station.h"

#include <QString>

namespace dwdir {

QByteArray cleanValue(QByteArray v)
{
    for (char& c : v) {
        if (c == '\\')
            c = '/';
        else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    }
    return v;
}

static bool isInteger(QByteArrayView s)
{
    if (!s.isEmpty() && (s.front() == '-' || s.front() == '+')) s = s.sliced(1);
    if (s.isEmpty() || s.size() > 9) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

QByteArray addressKey(QByteArrayView ip)
{
    const QByteArray v = ip.toByteArray().trimmed();
    const qsizetype scheme = v.indexOf("://");
    if (scheme >= 0) {
        qsizetype pathStart = v.indexOf('/', scheme + 3);
        if (pathStart < 0) pathStart = v.size();
        return v.left(pathStart).toLower() + v.mid(pathStart);
    }
    const qsizetype colon = v.indexOf(':');
    const QByteArray host = (colon < 0 ? v : v.left(colon)).toLower();
    const QByteArrayView port = colon < 0 ? QByteArrayView() : QByteArrayView(v).sliced(colon + 1);
    return host + ':' + (isInteger(port) ? port.toByteArray() : QByteArray("8000"));
}

QByteArray foldCase(QByteArrayView text)
{
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return QString::fromUtf8(text).toCaseFolded().toUtf8();
    }
    return text.toByteArray().toLower();
}

void Station::prepare()
{
    genreKey = foldCase(genre);
    ipKey = addressKey(ip);
}

} // namespace dwdir
