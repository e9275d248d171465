#include "radiobrowserapi.h"

#include "ads.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSet>
#include <QUrl>
#include <QUrlQuery>
#include <QUuid>
#include <algorithm>

namespace dwdir {

namespace {

QHash<QByteArray, qint64>& plays()
{
    static QHash<QByteArray, qint64> counted;
    return counted;
}

QByteArray answer(int status, const QByteArray& body, bool head,
                  const QByteArray& type = "application/json")
{
    const QByteArray reason = status == 200 ? "OK" : status == 404 ? "Not Found" : "Bad Request";
    QByteArray out = "HTTP/1.0 " + QByteArray::number(status) + ' ' + reason +
                     "\r\nServer: dialwise-directory\r\nContent-Type: " + type +
                     "\r\nContent-Length: " + QByteArray::number(body.size()) +
                     "\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";
    if (!head) out += body;
    return out;
}

// The request line's method and target.
bool requestLine(QByteArrayView head, QByteArray& method, QUrl& target)
{
    qsizetype eol = head.indexOf('\n');
    if (eol < 0) eol = head.size();
    const QList<QByteArray> parts = head.first(eol).toByteArray().trimmed().split(' ');
    if (parts.size() < 2) return false;
    method = parts[0];
    target = QUrl::fromEncoded(parts[1]);
    return target.isValid();
}

// Tags of a station: its genre's words, lower case.
QStringList tagsOf(const Station& s)
{
    QStringList tags;
    for (const QString& w : QString::fromUtf8(s.genre).toLower().split(' ', Qt::SkipEmptyParts))
        if (!tags.contains(w)) tags << w;
    return tags;
}

QString streamOf(const Station& s)
{
    const QString ip = QString::fromUtf8(s.ip).trimmed();
    if (ip.contains(QLatin1String("://"))) return ip;
    return QStringLiteral("http://") + QString::fromLatin1(s.ipKey) + QLatin1Char('/');
}

// What a station's favicon is drawn from: its logo number, else its name's initials.
QByteArray faviconText(const Station& s)
{
    if (!s.bnum.isEmpty()) return s.bnum;
    QByteArray initials;
    for (const QByteArray& w : s.hostname.simplified().split(' '))
        if (!w.isEmpty() && QChar::isLetterOrNumber(uchar(w[0])) && initials.size() < 3)
            initials += w[0];
    return initials;
}

QJsonObject json(const Station& s, const QByteArray& self)
{
    const QByteArray uuid = stationUuid(s);
    QJsonObject o;
    o.insert("changeuuid", QString::fromLatin1(uuid));
    o.insert("stationuuid", QString::fromLatin1(uuid));
    o.insert("name", QString::fromUtf8(s.hostname));
    o.insert("url", streamOf(s));
    o.insert("url_resolved", streamOf(s));
    o.insert("homepage", QString::fromUtf8(s.url));
    o.insert("favicon", QString::fromLatin1(self + "/favicons/" + uuid + ".png"));
    o.insert("tags", tagsOf(s).join(','));
    o.insert("country", s.live ? "Loopback" : "The Demo World");
    o.insert("countrycode", s.live ? "LB" : "DW");
    o.insert("state", "");
    o.insert("language", "english");
    o.insert("languagecodes", "en");
    o.insert("votes", 0);
    o.insert("codec", "MP3");
    o.insert("bitrate", qint64(s.bitrate));
    o.insert("hls", 0);
    o.insert("lastcheckok", 1);
    o.insert("clickcount", qint64(s.numplayers) + plays().value(uuid));
    o.insert("clicktrend", 0);
    o.insert("ssl_error", 0);
    o.insert("has_extended_info", false);
    return o;
}

QList<const Station*> everyStation(const QList<const QList<Station>*>& lists)
{
    QList<const Station*> all;
    QSet<QByteArray> seen;
    for (const QList<Station>* l : lists)
        for (const Station& s : *l)
            if (!seen.contains(s.ipKey)) {
                seen.insert(s.ipKey);
                all << &s;
            }
    return all;
}

QByteArray stationArray(const QList<const Station*>& stations, const QByteArray& self)
{
    QJsonArray a;
    for (const Station* s : stations)
        a.append(json(*s, self));
    return QJsonDocument(a).toJson(QJsonDocument::Compact);
}

} // namespace

QByteArray stationUuid(const Station& s)
{
    static const QUuid ns =
        QUuid::fromString(QLatin1String("6ba7b811-9dad-11d1-80b4-00c04fd430c8"));
    return QUuid::createUuidV5(ns, s.ipKey.isEmpty() ? addressKey(s.ip) : s.ipKey)
        .toByteArray(QUuid::WithoutBraces);
}

qint64 countedPlays(const QByteArray& uuid)
{
    return plays().value(uuid);
}

bool isRadioBrowserRequest(QByteArrayView head)
{
    QByteArray method;
    QUrl target;
    return requestLine(head, method, target) &&
           (target.path().startsWith(QLatin1String("/json/")) ||
            target.path().startsWith(QLatin1String("/favicons/")));
}

QByteArray radioBrowserAnswer(QByteArrayView head, const QList<const QList<Station>*>& lists,
                              const QByteArray& self)
{
    QByteArray method;
    QUrl target;
    if (!requestLine(head, method, target))
        return answer(400, "{\"error\":\"bad request\"}", false);
    const bool isHead = method == "HEAD";
    const QString path = target.path();
    const QUrlQuery q(target);
    auto param = [&](const char* name) {
        return q.queryItemValue(QString::fromLatin1(name), QUrl::FullyDecoded);
    };
    const QList<const Station*> all = everyStation(lists);

    if (path == QLatin1String("/json/servers")) {
        const QUrl u(QString::fromLatin1(self));
        QJsonObject o;
        o.insert("ip", u.host());
        o.insert("name", u.host());
        return answer(200, QJsonDocument(QJsonArray{o}).toJson(QJsonDocument::Compact), isHead);
    }
    if (path == QLatin1String("/json/tags")) {
        QMap<QString, int> counts;
        for (const Station* s : all)
            for (const QString& t : tagsOf(*s))
                ++counts[t];
        QList<QPair<QString, int>> tags;
        for (auto it = counts.cbegin(); it != counts.cend(); ++it)
            tags.append({it.key(), it.value()});
        if (param("order") == QLatin1String("stationcount"))
            std::stable_sort(tags.begin(), tags.end(),
                             [](const auto& a, const auto& b) { return a.second > b.second; });
        QJsonArray a;
        for (const auto& [name, count] : tags)
            a.append(QJsonObject{{"name", name}, {"stationcount", count}});
        return answer(200, QJsonDocument(a).toJson(QJsonDocument::Compact), isHead);
    }
    if (path.startsWith(QLatin1String("/favicons/")) && path.endsWith(QLatin1String(".png"))) {
        const QByteArray uuid = path.mid(10).chopped(4).toLatin1().toLower();
        for (const Station* s : all)
            if (stationUuid(*s) == uuid)
                return answer(200, logoPng(faviconText(*s)), isHead, "image/png");
        return answer(404, "{\"error\":\"no such favicon\"}", isHead);
    }
    if (path.startsWith(QLatin1String("/json/url/"))) {
        const QByteArray uuid = path.mid(10).toLatin1().toLower();
        for (const Station* s : all)
            if (stationUuid(*s) == uuid) {
                ++plays()[uuid];
                QJsonObject o{{"ok", true},
                              {"message", "retrieved station url"},
                              {"stationuuid", QString::fromLatin1(uuid)},
                              {"name", QString::fromUtf8(s->hostname)},
                              {"url", streamOf(*s)}};
                return answer(200, QJsonDocument(o).toJson(QJsonDocument::Compact), isHead);
            }
        return answer(404, "{\"ok\":false,\"message\":\"did not find stationuuid\"}", isHead);
    }
    if (path == QLatin1String("/json/stations/byuuid")) {
        QList<const Station*> chosen;
        const QStringList uuids = param("uuids").toLower().split(',', Qt::SkipEmptyParts);
        for (const Station* s : all)
            if (uuids.contains(QString::fromLatin1(stationUuid(*s)))) chosen << s;
        return answer(200, stationArray(chosen, self), isHead);
    }
    if (path == QLatin1String("/json/stations") || path == QLatin1String("/json/stations/search")) {
        const QString tag = param("tag").toLower();
        const bool tagExact = param("tagExact") == QLatin1String("true");
        const QString name = param("name").toLower();
        QList<const Station*> chosen;
        for (const Station* s : all) {
            if (!tag.isEmpty()) {
                const QStringList tags = tagsOf(*s);
                const bool hit = tagExact ? tags.contains(tag)
                                          : QString::fromUtf8(s->genre).toLower().contains(tag);
                if (!hit) continue;
            }
            if (!name.isEmpty() && !QString::fromUtf8(s->hostname).toLower().contains(name))
                continue;
            chosen << s;
        }
        const QString order = param("order");
        const bool reverse = param("reverse") == QLatin1String("true");
        if (order == QLatin1String("clickcount") || order == QLatin1String("bitrate") ||
            order == QLatin1String("name")) {
            std::stable_sort(chosen.begin(), chosen.end(), [&](const Station* a, const Station* b) {
                if (order == QLatin1String("name"))
                    return QString::fromUtf8(a->hostname)
                               .compare(QString::fromUtf8(b->hostname), Qt::CaseInsensitive) < 0;
                if (order == QLatin1String("bitrate")) return a->bitrate < b->bitrate;
                return a->numplayers + plays().value(stationUuid(*a)) <
                       b->numplayers + plays().value(stationUuid(*b));
            });
            if (reverse) std::reverse(chosen.begin(), chosen.end());
        }
        bool ok = false;
        const int offset = qMax(0, param("offset").toInt());
        int limit = param("limit").toInt(&ok);
        if (!ok || limit < 0) limit = 100000;
        chosen = chosen.mid(qMin<qsizetype>(offset, chosen.size()), limit);
        return answer(200, stationArray(chosen, self), isHead);
    }
    return answer(404, "{\"error\":\"unknown path\"}", isHead);
}

} // namespace dwdir
