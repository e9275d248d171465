#include "stationpages.h"

#include "customserver.h"
#include "debuglog.h"
#include "netutils.h"

namespace stationpages {

QString StationKey(const TCustomServer* station)
{
    if (!station) return {};
    if (const auto* sc = dynamic_cast<const TSCServer*>(station)) {
        if (sc->PlayerKind != 0 && !sc->StreamURL.isEmpty()) {
            const int sep = sc->StreamURL.indexOf(QLatin1String("://"));
            return sep < 0 ? sc->StreamURL : sc->StreamURL.mid(sep + 3);
        }
    }
    return station->Address + QLatin1Char(':') + station->Port;
}

QString PageQuery(const TCustomServer* station)
{
    const QString k = StationKey(station);
    DebugLog("currenturl before encode: " + k);
    const QString e = UrlEncode(k);
    DebugLog("currenturl after encode: " + e);
    return "?ip=" + e;
}

QString ChannelHash(const QString& key)
{
    static const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    quint32 h = 0;
    for (qsizetype i = 0; i + 1 < key.size(); ++i)
        h = h * 2630849305u + key.at(i).unicode();
    const quint32 v = h % 3844;
    return QString(QLatin1Char(digits[v / 62])) + QLatin1Char(digits[v % 62]);
}

QString ChannelTitle(const QString& name)
{
    QString t = name;
    int at = t.indexOf(QLatin1String("[Live365]"));
    if (at < 0) at = t.indexOf(QLatin1String("[live365]"));
    if (at >= 0) t.remove(at, 9);
    t = t.left(29);
    for (QChar& c : t) {
        const ushort u = c.unicode();
        if (u == 7 || u == ' ' || u == ',' || (u >= 128 && u <= 160)) c = QLatin1Char('_');
    }
    return t;
}

QString StationChannel(const TCustomServer* station)
{
    const QString key = "#" + station->Address + ":" + station->HostPort;
    return "#" + ChannelTitle(station->Name) + "(" + ChannelHash(key) + ")";
}

QString FixSongName(const QString& title)
{
    DebugLog("FixSongName Starting with " + title);
    QString s = title;
    // A leading one-digit track number ("7.") goes; an empty number does not read as one.
    const int dot = s.indexOf(QLatin1Char('.'));
    if (dot == 0 || dot == 1) {
        bool ok = false;
        s.left(dot).toInt(&ok);
        if (ok) s.remove(0, dot + 1);
    }
    // "Artist - Song": the song, when the part from the dash is longer than 5 characters.
    const int dash = s.lastIndexOf(QLatin1Char('-'));
    if (dash >= 0 && s.size() - dash > 5) {
        s = s.mid(dash + 1);
        qsizetype b = 0, e = s.size();
        while (b < e && s.at(b).unicode() <= 32)
            ++b;
        while (e > b && s.at(e - 1).unicode() <= 32)
            --e;
        s = s.mid(b, e - b);
    }
    DebugLog("Results :" + s);
    return s;
}

QString FillTemplate(const QString& address, const QString& placeholder, const QString& text)
{
    QString t = address;
    const int at = t.indexOf(placeholder);
    if (at >= 0)
        t.replace(at, placeholder.size(), text);
    else
        t += text;
    return t;
}

QString StationLinkText(bool windowsAudio, const QString& url)
{
    return (windowsAudio ? QStringLiteral("w") : QStringLiteral("s")) + url;
}

} // namespace stationpages
