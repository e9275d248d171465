#include "stationimport.h"

#include "catalog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

namespace dwdir {

namespace {

QByteArray textOf(const QJsonValue& v, qsizetype cap)
{
    QString t = v.isString() ? v.toString().trimmed() : QString();
    if (t.size() > cap) t.truncate(cap);
    return cleanValue(t.toUtf8());
}

qint64 numberOf(const QJsonValue& v)
{
    if (v.isDouble()) return qBound(qint64(0), qint64(v.toDouble()), qint64(1000000000));
    if (v.isString()) return qBound(qint64(0), toNumber(v.toString().toUtf8()), qint64(1000000000));
    return 0;
}

// A web address the lists may carry: http or https, printable, not too long.
bool webAddress(const QByteArray& a)
{
    if (a.size() > 512 || !(a.startsWith("http://") || a.startsWith("https://"))) return false;
    for (char c : a)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f || c == '\\') return false;
    const QUrl u(QString::fromUtf8(a), QUrl::StrictMode);
    return u.isValid() && !u.host().isEmpty();
}

} // namespace

StationImport parseRadioBrowserExport(QByteArrayView json)
{
    StationImport out;
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(json.toByteArray(), &err);
    if (err.error != QJsonParseError::NoError) {
        out.error =
            QStringLiteral("not JSON: %1 at byte %2").arg(err.errorString()).arg(err.offset);
        return out;
    }
    if (!doc.isArray()) {
        out.error = QStringLiteral("not an array of stations");
        return out;
    }
    for (const QJsonValue& v : doc.array()) {
        const QJsonObject o = v.toObject();
        if (out.stations.size() >= kMaxImportStations) {
            ++out.skipped;
            continue;
        }
        QByteArray stream = textOf(o.value(QLatin1String("url_resolved")), 512);
        if (!webAddress(stream)) stream = textOf(o.value(QLatin1String("url")), 512);
        const QJsonValue check = o.value(QLatin1String("lastcheckok"));
        if (!webAddress(stream) || (!check.isUndefined() && numberOf(check) == 0 &&
                                    check.toVariant().toString() != QLatin1String("1"))) {
            ++out.skipped;
            continue;
        }
        Station s;
        s.ip = stream;
        s.hostname = textOf(o.value(QLatin1String("name")), 200);
        if (s.hostname.isEmpty()) s.hostname = stream;
        s.genre = textOf(o.value(QLatin1String("tags")), 200).replace(',', ' ').simplified();
        s.bitrate = numberOf(o.value(QLatin1String("bitrate")));
        const QByteArray home = textOf(o.value(QLatin1String("homepage")), 512);
        if (webAddress(home)) s.url = home;
        const QUrl u(QString::fromUtf8(stream));
        s.chatip =
            cleanValue(u.host().toUtf8() + ':' +
                       QByteArray::number(u.port(u.scheme() == QLatin1String("https") ? 443 : 80)));
        s.type = 0;
        s.prepare();
        out.stations << std::move(s);
    }
    return out;
}

} // namespace dwdir
