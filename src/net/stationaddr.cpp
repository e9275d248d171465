#include "stationaddr.h"

#include "httpprot.h"

#include <QHostAddress>

namespace {

bool isAsciiAlnum(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9');
}

bool isHex(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
}

// A path or query of plain URL characters (";" included: many stream servers serve at
// "/;"): no blanks, quotes, "$", brackets, shell or control characters, and every "%"
// starts an escape of two hex digits that is not a control character (an escaped line
// break would split a favorites or playlist line).
QString pathProblem(const QString& path)
{
    if (path.size() > 1024) return QStringLiteral("its path is too long");
    static const QString allowed = QStringLiteral("-._~/:@+=,?&;");
    for (qsizetype i = 0; i < path.size(); ++i) {
        const QChar c = path[i];
        if (isAsciiAlnum(c) || allowed.contains(c)) continue;
        if (c == '%' && i + 2 < path.size() && isHex(path[i + 1]) && isHex(path[i + 2])) {
            const int v = path.mid(i + 1, 2).toInt(nullptr, 16);
            if (v < 0x20 || v == 0x7f)
                return QStringLiteral("its path holds an escaped control character");
            i += 2;
            continue;
        }
        return QStringLiteral("its path holds the character \"%1\"").arg(c);
    }
    return {};
}

} // namespace

bool ValidStationHost(const QString& host)
{
    if (host.isEmpty() || host.size() > 253) return false;
    for (QChar c : host)
        if (!isAsciiAlnum(c) && c != '-' && c != '.') return false;
    QHostAddress a;
    if (a.setAddress(host))
        return a.protocol() == QAbstractSocket::IPv4Protocol && host.count('.') == 3;
    // A host name: labels of letters, digits and inner hyphens.
    const QStringList labels = host.split('.');
    for (const QString& l : labels) {
        if (l.isEmpty() || l.size() > 63 || l.startsWith('-') || l.endsWith('-')) return false;
        for (QChar c : l)
            if (!isAsciiAlnum(c) && c != '-') return false;
    }
    // All digits and dots but no valid IPv4 literal: refused rather than guessed at.
    bool digits = true;
    for (QChar c : host)
        digits &= c.isDigit() || c == '.';
    return !digits;
}

QString StationAddressProblem(const QString& host, const QString& port)
{
    if (!ValidStationHost(host))
        return QStringLiteral("\"%1\" is not a host name or IPv4 address").arg(host.left(80));
    const qsizetype slash = port.indexOf('/');
    const QString number = slash < 0 ? port : port.left(slash);
    bool ok = !number.isEmpty() && number.size() <= 5;
    for (QChar c : number)
        ok &= c >= '0' && c <= '9'; // digits only: no sign, no blanks around it
    const int n = ok ? number.toInt() : 0;
    if (n < 1 || n > 65535) return QStringLiteral("\"%1\" is not a port").arg(number.left(80));
    if (slash >= 0) return pathProblem(port.mid(slash));
    return {};
}

QString StreamUrlProblem(const QString& url)
{
    const qsizetype sep = url.indexOf(QLatin1String("://"));
    const QString scheme = sep < 0 ? QString() : url.left(sep).toLower();
    if (scheme != "http" && scheme != "https") return QStringLiteral("it is not an http address");
    const TParsedURL u = ParseURL(url);
    if (!u.User.isEmpty() || !u.Pass.isEmpty())
        return QStringLiteral("it carries user information");
    const QString port = u.Port.isEmpty() ? QStringLiteral("80") : u.Port;
    return StationAddressProblem(u.Host, port + u.Path);
}

QString StationProblem(const QString& host, const QString& port, const QString& streamUrl)
{
    if (streamUrl.isEmpty()) return StationAddressProblem(host, port);
    if (!ValidStationHost(host))
        return QStringLiteral("\"%1\" is not a host name or IPv4 address").arg(host.left(80));
    return StreamUrlProblem(streamUrl);
}
