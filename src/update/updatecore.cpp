#include "updatecore.h"

#include "httpprot.h"
#include "registry.h"

#include <QCryptographicHash>
#include <QFile>
#include <cmath>

QList<TDLInfo> ReadDownloadLocations(const QString& key)
{
    bool limited = false;
    const int count = TRegistry::ReadString(key, "dlcount").trimmed().toInt(&limited);
    QList<TDLInfo> out;
    for (int n = 1;; ++n) {
        if (limited && n > count) break;
        const QString url = TRegistry::ReadString(key, QStringLiteral("dl%1").arg(n));
        if (url.isEmpty()) break;
        TDLInfo d;
        d.URL = url;
        const TParsedURL p = ParseURL(url);
        d.Proto = p.Proto;
        d.Host = p.Host;
        d.Port = p.Port;
        d.Path = p.Path;
        d.User = p.User;
        d.Pass = p.Pass;
        d.Desc = TRegistry::ReadString(key, QStringLiteral("dl%1desc").arg(n));
        out << d;
        if (n > 10000) break;
    }
    return out;
}

QString DownloadFileName(const QString& path)
{
    QString name = path;
    const qsizetype q = name.indexOf('?');
    if (q >= 0) name.truncate(q);
    name = name.mid(name.lastIndexOf('/') + 1);
    name = name.mid(name.lastIndexOf('\\') + 1);
    QString clean;
    for (QChar c : name)
        if (c.unicode() >= 0x20 && c != ':' && c.unicode() != 0x7f) clean += c;
    while (clean.startsWith('.'))
        clean.remove(0, 1); // no "..", no hidden file
    if (clean.trimmed().isEmpty()) return QStringLiteral("dialwise-update");
    return clean.left(200);
}

int ProgressPercent(qint64 received, qint64 total)
{
    if (total <= 0) return 0;
    const double v = double(received) / double(total) * 100.0;
    const double whole = std::floor(v);
    return int(whole) + (int((v - whole) * 10.0) >= 6 ? 1 : 0);
}

QString ProgressText(qint64 received, qint64 total, qint64 elapsedMs)
{
    if (total <= 0) return QStringLiteral("%1 of Unknown").arg(received);
    const qint64 elapsed = qMax<qint64>(1, elapsedMs / 1000);
    const double rate = qMax(0.1, double(received) / 1000.0 / double(elapsed));
    const qint64 left = qMax<qint64>(0, qRound64(double(total - received) / (rate * 1000.0)));
    return QStringLiteral("%1 of %2 (%3 k/s) %4:%5 left")
        .arg(received)
        .arg(total)
        .arg(rate, 0, 'f', 2)
        .arg(left / 60)
        .arg(left % 60, 2, 10, QChar('0'));
}

int PingImage(int ms)
{
    if (ms < 251) return 1;
    if (ms <= 500) return 2;
    return 3;
}

bool FileMatchesSha256(const QString& file, const QString& hexSum)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) return false;
    QCryptographicHash h(QCryptographicHash::Sha256);
    if (!h.addData(&f)) return false;
    return h.result().toHex().compare(hexSum.trimmed().toLatin1(), Qt::CaseInsensitive) == 0;
}
