#include "recentstations.h"
#include "platform.h"

void TRecentStations::Add(const QString& station)
{
    stations_.removeAll(station);
    stations_.prepend(station);
}

QString TRecentStations::PlaylistPath()
{
    return platform::ProgramFolder() + "/tunelane.pls";
}

QByteArray TRecentStations::Playlist(const QStringList& stations)
{
    QByteArray entries;
    int n = 0;
    for (const QString& s : stations) {
        const QByteArray recent = s.toUtf8();
        if (recent.contains('\n') || recent.contains('\r')) continue; // never a second line
        // A port that carries the mount's path is a whole address already.
        entries += "File" + QByteArray::number(++n) + "=http://" + recent +
                   (recent.contains('/') ? "" : "/") + "\n";
    }
    return "[playlist]\nNumberOfEntries=" + QByteArray::number(n) + "\n" + entries;
}

bool TRecentStations::WritePlaylist(const QString& path, QString* error) const
{
    return platform::WriteFileAtomic(path, Playlist(stations_), error);
}
