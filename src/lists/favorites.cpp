#include "favorites.h"

#include "customserverlist.h"
#include "httpprot.h"
#include "platform.h"
#include "radiobrowser.h"

#include <QFile>
#include <algorithm>

qsizetype TFavorites::find(const QString& key) const
{
    const auto it = std::lower_bound(entries_.cbegin(), entries_.cend(), key,
                                     [](const TEntry& e, const QString& k) {
                                         return e.Key.compare(k, Qt::CaseInsensitive) < 0;
                                     });
    if (it != entries_.cend() && it->Key.compare(key, Qt::CaseInsensitive) == 0)
        return it - entries_.cbegin();
    return -1;
}

void TFavorites::Load(const QString& path)
{
    entries_.clear();
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) return;
    while (!f.atEnd() && entries_.size() < MaxEntries) {
        const QString line = QString::fromUtf8(f.readLine(64 * 1024));
        const qsizetype tab = line.indexOf(QLatin1Char('\t'));
        const QString key = (tab < 0 ? line : line.left(tab)).trimmed();
        if (key.isEmpty() || key.size() > MaxKeyLength) continue;
        Add(key, tab < 0 ? QUuid() : QUuid::fromString(line.mid(tab + 1).trimmed()));
    }
}

bool TFavorites::Save(const QString& path, QString* error) const
{
    QByteArray out;
    for (const TEntry& e : entries_) {
        out += e.Key.toUtf8();
        if (!e.Uuid.isNull()) out += '\t' + e.Uuid.toByteArray(QUuid::WithoutBraces);
        out += '\n';
    }
    return platform::WriteFileAtomic(path, out, error);
}

bool TFavorites::Contains(const QString& key) const
{
    return find(key) >= 0;
}

bool TFavorites::Add(const QString& key, const QUuid& uuid)
{
    // A key is one line: line breaks and tabs would split the file's entries.
    if (key.isEmpty() || key.size() > MaxKeyLength) return false;
    for (QChar c : key)
        if (c.unicode() < 0x20) return false;
    const qsizetype i = find(key);
    if (i >= 0) {
        if (entries_[i].Uuid.isNull() && !uuid.isNull()) {
            entries_[i].Uuid = uuid;
            return true;
        }
        return false;
    }
    if (entries_.size() >= MaxEntries) return false;
    const auto at = std::lower_bound(entries_.begin(), entries_.end(), key,
                                     [](const TEntry& e, const QString& k) {
                                         return e.Key.compare(k, Qt::CaseInsensitive) < 0;
                                     });
    entries_.insert(at - entries_.begin(), TEntry{key, uuid});
    return true;
}

bool TFavorites::Remove(const QString& key)
{
    const qsizetype i = find(key);
    if (i < 0) return false;
    entries_.removeAt(i);
    return true;
}

QStringList TFavorites::Keys() const
{
    QStringList keys;
    keys.reserve(entries_.size());
    for (const TEntry& e : entries_)
        keys << e.Key;
    return keys;
}

QUuid TFavorites::UuidOf(const QString& key) const
{
    const qsizetype i = find(key);
    return i < 0 ? QUuid() : entries_[i].Uuid;
}

QString TFavorites::KeyOf(const TCustomServer* station)
{
    // A station of another player kind without a stream address falls back to its
    // address, so such stations do not all share one empty key.
    if (const auto* sc = dynamic_cast<const TSCServer*>(station)) {
        const bool directory = dynamic_cast<const TRBStation*>(station) != nullptr;
        if ((sc->PlayerKind != 0 || directory) && !sc->StreamURL.isEmpty()) return sc->StreamURL;
    }
    return station->Address + QLatin1Char(':') + station->Port;
}

QUuid TFavorites::UuidOf(const TCustomServer* station)
{
    const auto* rb = dynamic_cast<const TRBStation*>(station);
    return rb ? rb->Uuid : QUuid();
}

TServerRef TFavorites::StationFor(TCustomServerList& list, const QString& key, const QUuid& uuid)
{
    TServerRef s;
    if (!uuid.isNull()) {
        QString host, port;
        if (!RBStreamAddress(key, host, port)) {
            host = key;
            port = QStringLiteral("80");
        }
        auto rb = std::make_shared<TRBStation>(host, port);
        rb->StreamURL = key;
        rb->Uuid = uuid;
        rb->Name = key; // until the directory names it
        return rb;
    }
    if (key.contains(QLatin1String("://"))) {
        const TParsedURL u = ParseURL(key);
        s = list.CreateServer(u.Host, u.Port + u.Path);
        if (auto* sc = dynamic_cast<TSCServer*>(s.get())) sc->StreamURL = key;
    } else {
        const qsizetype colon = key.indexOf(QLatin1Char(':'));
        s = list.CreateServer(colon < 0 ? key : key.left(colon),
                              colon < 0 ? QStringLiteral("1400") : key.mid(colon + 1));
    }
    s->Name = key; // until its source names it
    return s;
}
