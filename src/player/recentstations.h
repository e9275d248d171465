#pragma once
// The stations the user played with another program, most recent first, and the playlist
// that hands them to that program.
#include <QByteArray>
#include <QString>
#include <QStringList>

class TRecentStations
{
public:
    // "address:port" (the port may carry the mount's path, "8000/live.mp3"); a station
    // played again moves to the front.
    void Add(const QString& station);
    const QStringList& Stations() const { return stations_; }
    bool IsEmpty() const { return stations_.isEmpty(); }

    // The playlist in the program folder.
    static QString PlaylistPath();
    // The playlist text: one "FileN=http://..." line a station, numbered from 1 without
    // gaps; a station whose text would start a second line is left out.
    static QByteArray Playlist(const QStringList& stations);
    // Replaces the playlist file whole; false (with the reason) keeps the old one.
    bool WritePlaylist(const QString& path, QString* error = nullptr) const;

private:
    QStringList stations_;
};
