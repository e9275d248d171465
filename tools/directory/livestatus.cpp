#include "livestatus.h"

#include "catalog.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace dwdir {

namespace {

QByteArray text(const QJsonValue& v)
{
    if (v.isString()) return cleanValue(v.toString().trimmed().toUtf8());
    if (v.isDouble()) return QByteArray::number(qint64(v.toDouble()));
    return {};
}

qint64 number(const QJsonValue& v)
{
    if (v.isDouble()) {
        const double d = v.toDouble();
        return d > 0 && d < 1e12 ? qint64(d) : 0;
    }
    if (v.isString()) return toNumber(v.toString().toUtf8());
    return 0;
}

QByteArray hostPort(const QUrl& url)
{
    QByteArray host = url.host().toUtf8();
    if (host.contains(':')) host = '[' + host + ']';
    return host + ':' + QByteArray::number(url.port(80));
}

qint64 startTime(const QJsonObject& src)
{
    const QString iso = src.value(QLatin1String("stream_start_iso8601")).toString();
    QDateTime t = QDateTime::fromString(iso, Qt::ISODate);
    if (!t.isValid() && iso.size() > 5) {
        // "+0000": the offset without a colon.
        QString fixed = iso;
        if (fixed.at(fixed.size() - 5) == QLatin1Char('+') ||
            fixed.at(fixed.size() - 5) == QLatin1Char('-'))
            fixed.insert(fixed.size() - 2, QLatin1Char(':'));
        t = QDateTime::fromString(fixed, Qt::ISODate);
    }
    if (!t.isValid())
        t = QDateTime::fromString(src.value(QLatin1String("stream_start")).toString(),
                                  Qt::RFC2822Date);
    return t.isValid() ? qMax<qint64>(0, t.toSecsSinceEpoch()) : 0;
}

qint64 bitrateOf(const QJsonObject& src)
{
    if (const qint64 b = number(src.value(QLatin1String("bitrate")))) return b;
    if (const qint64 b = number(src.value(QLatin1String("ice-bitrate")))) return b;
    if (const qint64 b = number(src.value(QLatin1String("audio_bitrate"))))
        return b >= 1000 ? b / 1000 : b;
    static const QRegularExpression re(QStringLiteral("(?:^|;)\\s*(?:ice-)?bitrate=(\\d+)"));
    const auto m = re.match(src.value(QLatin1String("audio_info")).toString());
    return m.hasMatch() ? m.captured(1).toLongLong() : 0;
}

} // namespace

QList<Station> parseIcecastStatus(QByteArrayView json, const QUrl& statusUrl, bool* ok)
{
    QList<Station> out;
    if (ok) *ok = false;
    const QJsonDocument doc = QJsonDocument::fromJson(json.toByteArray());
    const QJsonValue stats = doc.object().value(QLatin1String("icestats"));
    if (!stats.isObject()) return out;
    if (ok) *ok = true;
    QJsonArray sources;
    const QJsonValue src = stats.toObject().value(QLatin1String("source"));
    if (src.isArray())
        sources = src.toArray();
    else if (src.isObject())
        sources.append(src);

    const QByteArray chat = hostPort(statusUrl);
    for (const QJsonValue& v : sources) {
        const QJsonObject o = v.toObject();
        const QUrl listen(o.value(QLatin1String("listenurl")).toString());
        const QString mount = listen.path(QUrl::FullyEncoded);
        if (!listen.isValid() || !mount.startsWith(QLatin1Char('/')) || mount.size() < 2) continue;
        Station s;
        QUrl stream = statusUrl;
        stream.setPath(mount, QUrl::StrictMode);
        stream.setQuery(QString());
        stream.setFragment(QString());
        s.ip = cleanValue(stream.toEncoded());
        s.hostname = text(o.value(QLatin1String("server_name")));
        if (s.hostname.isEmpty()) s.hostname = mount.toUtf8();
        s.genre = text(o.value(QLatin1String("genre")));
        s.numplayers = number(o.value(QLatin1String("listeners")));
        s.maxplayers = number(o.value(QLatin1String("max_listeners")));
        if (s.maxplayers <= 0) s.maxplayers = kDefaultLiveCapacity;
        s.bitrate = bitrateOf(o);
        s.uptime = startTime(o);
        s.chatip = chat;
        s.url = text(o.value(QLatin1String("server_url")));
        const QByteArray artist = text(o.value(QLatin1String("artist")));
        s.songtitle = text(o.value(QLatin1String("title")));
        if (!artist.isEmpty())
            s.songtitle = s.songtitle.isEmpty() ? artist : artist + " - " + s.songtitle;
        s.type = 0;
        s.live = true;
        s.prepare();
        out << std::move(s);
    }
    return out;
}

std::optional<Station> parseStreamHead(QByteArrayView head, const QUrl& streamUrl)
{
    const qsizetype end =
        head.indexOf("\n\r\n") >= 0 ? head.indexOf("\n\r\n") : head.indexOf("\n\n");
    if (end < 0) return std::nullopt;
    const QList<QByteArray> lines = head.first(end).toByteArray().split('\n');
    const QByteArray status = lines.value(0).trimmed();
    const bool good = (status.startsWith("HTTP/1.") || status.startsWith("ICY ")) &&
                      status.mid(status.indexOf(' ') + 1, 3) == "200";
    if (!good) return std::nullopt;
    Station s;
    s.ip = cleanValue(streamUrl.toEncoded());
    s.chatip = hostPort(streamUrl);
    s.type = 1;
    s.live = true;
    s.maxplayers = kDefaultLiveCapacity;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = cleanValue(line.mid(colon + 1).trimmed());
        if (name == "icy-name")
            s.hostname = value;
        else if (name == "icy-genre") {
            // A stream of the program's own kind carries its audio format here: TAB,
            // base64, TAB, and the genre after that.
            const QByteArray raw = line.mid(colon + 1);
            const qsizetype tab = raw.startsWith('\t') ? raw.indexOf('\t', 1) : -1;
            s.genre = raw.startsWith('\t')
                          ? (tab < 0 ? QByteArray() : cleanValue(raw.mid(tab + 1).trimmed()))
                          : value;
        } else if (name == "icy-br")
            s.bitrate = toNumber(value);
        else if (name == "icy-url")
            s.url = value;
        else if (name == "icy-title")
            s.songtitle = value;
        else if (name == "icy-listeners")
            s.numplayers = toNumber(value);
    }
    if (s.hostname.isEmpty()) s.hostname = cleanValue(streamUrl.toEncoded());
    s.prepare();
    return s;
}

} // namespace dwdir
