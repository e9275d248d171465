#include "catalog.h"

#include <QFile>

namespace dwdir {

qint64 toNumber(QByteArrayView text)
{
    bool ok = false;
    const qint64 v = text.trimmed().toLongLong(&ok);
    return ok ? v : 0;
}

namespace {

enum Column
{
    ColIp,
    ColHostname,
    ColGenre,
    ColNumplayers,
    ColMaxplayers,
    ColBitrate,
    ColAvgtime,
    ColUptime,
    ColChatip,
    ColUrl,
    ColSongtitle,
    ColPing,
    ColType,
    ColBnum,
    ColUpfor,
    ColIgnored
};

Column columnOf(QByteArrayView name)
{
    const QByteArray n = name.trimmed().toByteArray().toLower();
    for (size_t i = 0; i < kFieldNames.size(); ++i)
        if (n == kFieldNames[i]) return Column(i);
    return n == "upfor" ? ColUpfor : ColIgnored;
}

} // namespace

CatalogLoad parseCatalog(QByteArrayView text, qint64 now)
{
    CatalogLoad out;
    QList<Column> columns;
    int lineNo = 0;
    qsizetype pos = 0;
    while (pos < text.size()) {
        qsizetype end = text.indexOf('\n', pos);
        if (end < 0) end = text.size();
        QByteArrayView line = text.sliced(pos, end - pos);
        pos = end + 1;
        ++lineNo;
        if (line.endsWith('\r')) line.chop(1);
        if (line.trimmed().isEmpty() || line.startsWith('#')) continue;
        const QList<QByteArray> cells = line.toByteArray().split('\t');
        if (columns.isEmpty()) {
            for (const QByteArray& c : cells)
                columns << columnOf(c);
            if (!columns.contains(ColIp)) {
                out.error = QStringLiteral("line %1: the column names have no \"ip\"").arg(lineNo);
                return out;
            }
            continue;
        }
        Station s;
        qint64 upfor = -1;
        for (qsizetype i = 0; i < cells.size() && i < columns.size(); ++i) {
            const QByteArray v = cleanValue(cells[i].trimmed());
            switch (columns[i]) {
            case ColIp:
                s.ip = v;
                break;
            case ColHostname:
                s.hostname = v;
                break;
            case ColGenre:
                s.genre = v;
                break;
            case ColNumplayers:
                s.numplayers = toNumber(v);
                break;
            case ColMaxplayers:
                s.maxplayers = toNumber(v);
                break;
            case ColBitrate:
                s.bitrate = toNumber(v);
                break;
            case ColAvgtime:
                s.avgtime = toNumber(v);
                break;
            case ColUptime:
                s.uptime = toNumber(v);
                break;
            case ColChatip:
                s.chatip = v;
                break;
            case ColUrl:
                s.url = v;
                break;
            case ColSongtitle:
                s.songtitle = v;
                break;
            case ColPing:
                s.ping = toNumber(v);
                break;
            case ColType:
                s.type = int(toNumber(v));
                break;
            case ColBnum:
                s.bnum = v;
                break;
            case ColUpfor:
                upfor = v.isEmpty() ? -1 : toNumber(v);
                break;
            case ColIgnored:
                break;
            }
        }
        if (s.ip.isEmpty()) {
            out.warnings << QStringLiteral("line %1: no \"ip\", skipped").arg(lineNo);
            continue;
        }
        if (upfor >= 0) s.uptime = now - upfor;
        s.prepare();
        out.stations << std::move(s);
    }
    if (columns.isEmpty()) out.error = QStringLiteral("no column names");
    return out;
}

CatalogLoad loadCatalog(const QString& path, qint64 now)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        CatalogLoad out;
        out.error = QStringLiteral("cannot read %1: %2").arg(path, f.errorString());
        return out;
    }
    return parseCatalog(f.readAll(), now);
}

} // namespace dwdir
