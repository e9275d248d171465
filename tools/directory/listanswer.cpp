#include "listanswer.h"

#include <QDateTime>
#include <QSet>
#include <QString>
#include <zlib.h>

namespace dwdir {

bool matchesGenre(const Station& s, const QList<QByteArray>& genres)
{
    if (genres.isEmpty()) return true;
    for (const QByteArray& g : genres)
        if (s.genreKey.contains(g)) return true;
    return false;
}

QList<const Station*> selectStations(const ListRequest& req,
                                     const QList<const QList<Station>*>& lists)
{
    QList<const Station*> out;
    QSet<QByteArray> wanted;
    if (req.byAddress) {
        if (req.addresses.isEmpty()) return out;
        wanted = QSet<QByteArray>(req.addresses.begin(), req.addresses.end());
    }
    for (const QList<Station>* list : lists) {
        for (const Station& s : *list) {
            if (req.byAddress && !wanted.contains(s.ipKey)) continue;
            if (matchesGenre(s, req.genres)) out << &s;
        }
    }
    return out;
}

static void appendNumber(QByteArray& out, qint64 v)
{
    char buf[24];
    char* p = buf + sizeof buf;
    const bool neg = v < 0;
    quint64 u = neg ? quint64(0) - quint64(v) : quint64(v);
    do {
        *--p = char('0' + u % 10);
        u /= 10;
    } while (u);
    if (neg) *--p = '-';
    out.append(p, buf + sizeof buf - p);
}

QByteArray listText(const QList<const Station*>& stations)
{
    QByteArray out;
    out.reserve(64 + stations.size() * 160);
    out += "\\fieldcount\\";
    appendNumber(out, qint64(kFieldNames.size()));
    for (const char* name : kFieldNames) {
        out += '\\';
        out += name;
    }
    for (const Station* s : stations) {
        out += '\\';
        out += s->ip;
        out += '\\';
        out += s->hostname;
        out += '\\';
        out += s->genre;
        out += '\\';
        appendNumber(out, s->numplayers);
        out += '\\';
        appendNumber(out, s->maxplayers);
        out += '\\';
        appendNumber(out, s->bitrate);
        out += '\\';
        appendNumber(out, s->avgtime);
        out += '\\';
        appendNumber(out, s->uptime);
        out += '\\';
        out += s->chatip;
        out += '\\';
        out += s->url;
        out += '\\';
        out += s->songtitle;
        out += '\\';
        appendNumber(out, s->ping);
        out += '\\';
        appendNumber(out, s->type);
        out += '\\';
        out += s->bnum;
    }
    return out;
}

QByteArray pack(const QByteArray& text, Packing packing)
{
    if (packing == Packing::Plain) return text;
    z_stream z{};
    // Large lists favour speed: the answer must not keep other clients waiting.
    const int level = text.size() > (4 << 20) ? 1 : Z_DEFAULT_COMPRESSION;
    const int windowBits = packing == Packing::Gzip ? 15 + 16 : 15;
    if (deflateInit2(&z, level, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
    QByteArray out;
    out.resize(qsizetype(deflateBound(&z, uLong(text.size()))) + 64);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.constData()));
    z.avail_in = uInt(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    // The sync flush ends the data with an empty stored block (00 00 FF FF).
    int rc = deflate(&z, Z_SYNC_FLUSH);
    if (rc == Z_OK || rc == Z_BUF_ERROR) rc = deflate(&z, Z_FINISH);
    const qsizetype produced = qsizetype(z.total_out);
    deflateEnd(&z);
    if (rc != Z_STREAM_END) return {};
    out.truncate(produced);
    return out;
}

static QString durationText(qint64 secs)
{
    if (secs <= 0) return QStringLiteral("-");
    return QStringLiteral("%1:%2:%3")
        .arg(secs / 3600)
        .arg(secs / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(secs % 60, 2, 10, QLatin1Char('0'));
}

QByteArray catalogPage(const QList<const Station*>& stations, qint64 now)
{
    auto esc = [](const QByteArray& v) { return QString::fromUtf8(v).toHtmlEscaped(); };
    int live = 0;
    for (const Station* s : stations)
        live += s->live ? 1 : 0;
    QString html;
    html += QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
                           "<title>Station catalog</title><style>"
                           "body{font-family:sans-serif;font-size:13px}"
                           "table{border-collapse:collapse}td,th{padding:2px 8px;"
                           "border-bottom:1px solid #ddd;text-align:left}"
                           "tr.live{background:#e8f6e8}.tag{color:#fff;background:#2a2;"
                           "padding:0 4px;border-radius:3px;font-size:11px}"
                           "</style></head><body>\n");
    html += QStringLiteral("<h1>Station catalog</h1><p>%1 stations, %2 live</p>\n")
                .arg(stations.size())
                .arg(live);
    html += QStringLiteral("<table><tr><th></th><th>Station</th><th>Genre</th><th>Address</th>"
                           "<th>Listeners</th><th>Bitrate</th><th>Uptime</th>"
                           "<th>Now playing</th></tr>\n");
    for (const Station* s : stations) {
        const QString addr = esc(s->ip);
        const QString link = s->ip.contains("://") ? addr : QStringLiteral("http://") + addr;
        // Concatenated, not formatted: station texts may hold "%1" and the like.
        html += (s->live ? QStringLiteral("<tr class=\"live\"><td><span class=\"tag\">LIVE</span>")
                         : QStringLiteral("<tr><td>")) +
                QStringLiteral("</td><td>") + esc(s->hostname) + QStringLiteral("</td><td>") +
                esc(s->genre) + QStringLiteral("</td><td><a href=\"") + link +
                QStringLiteral("\">") + addr + QStringLiteral("</a></td><td>") +
                QString::number(s->numplayers) + QLatin1Char('/') + QString::number(s->maxplayers) +
                QStringLiteral("</td><td>") + QString::number(s->bitrate) +
                QStringLiteral("</td><td>") + durationText(s->uptime > 0 ? now - s->uptime : 0) +
                QStringLiteral("</td><td>") + esc(s->songtitle) + QStringLiteral("</td></tr>\n");
    }
    html += QStringLiteral("</table></body></html>\n");
    return html.toUtf8();
}

} // namespace dwdir
