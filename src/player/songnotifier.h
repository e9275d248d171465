#pragma once
// Desktop notifications of song changes (org.freedesktop.Notifications on the session
// bus): the title, the station and its icon, one notification replacing the last, never
// more than one in five seconds (a change within them is told when they are up). Off
// unless the "songnotify" setting is checked. Nothing here waits for the bus.
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

class TSongNotifier : public QObject
{
    Q_OBJECT
public:
    explicit TSongNotifier(QObject* parent = nullptr);
    static constexpr int MinGapMs = 5000;
    void SongChanged(const QString& station, const QString& title, const QString& icon = {});
    int Sent() const { return sent_; }
    // The picture a notification shows for `picture`: a logo of the button cache (a BMP
    // whose magenta is see-through) as a PNG with that colour transparent, made once in the
    // cache folder; other pictures as they are.
    static QString IconFile(const QString& picture);

private:
    void send();
    QString station_, title_, icon_;
    bool pending_ = false;
    uint lastId_ = 0;
    int sent_ = 0;
    QElapsedTimer last_;
    QTimer later_;
};
