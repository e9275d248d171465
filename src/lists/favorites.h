#pragma once
// The user's favorite stations: keys kept sorted without regard to case, each with the
// directory's uuid when the station came from the Radio Browser directory. The file holds
// one favorite a line: the key, then a tab and the uuid when there is one; it is replaced
// whole or not at all.
#include "customserver.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QUuid>

class TCustomServerList;

class TFavorites
{
public:
    // Reads `path` (a missing file is an empty list); the entries read replace the list.
    void Load(const QString& path);
    // Writes the list to `path`; false (with the reason) keeps the old file.
    bool Save(const QString& path, QString* error = nullptr) const;

    bool Contains(const QString& key) const;
    // Adds a key unless present (the uuid is kept with a new one, or added to an old one
    // that had none). False when nothing changed.
    bool Add(const QString& key, const QUuid& uuid = {});
    bool Remove(const QString& key);
    void Clear() { entries_.clear(); }
    bool IsEmpty() const { return entries_.isEmpty(); }
    int Count() const { return int(entries_.size()); }
    QStringList Keys() const;
    QUuid UuidOf(const QString& key) const;

    // The key of a station: the stream address of a station of the directory or of
    // another player kind, else address ":" port.
    static QString KeyOf(const TCustomServer* station);
    static QUuid UuidOf(const TCustomServer* station);
    // A station to refresh for a favorite: one of the directory by its uuid, a stream
    // address, or address and port ("1400" when the key names none).
    static TServerRef StationFor(TCustomServerList& list, const QString& key, const QUuid& uuid);

    // Bounds on what a file may hold.
    static constexpr int MaxEntries = 10000;
    static constexpr int MaxKeyLength = 2048;

private:
    struct TEntry
    {
        QString Key;
        QUuid Uuid;
    };
    qsizetype find(const QString& key) const;
    QList<TEntry> entries_;
};
