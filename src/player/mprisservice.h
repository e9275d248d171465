#pragma once
// The player bar as an MPRIS2 player on the session bus ("org.mpris.MediaPlayer2.dialwise"),
// whatever plays: media keys and desktop widgets see the station and the song, and play,
// pause, stop and set the volume through it.
#include <QDBusAbstractAdaptor>
#include <QDBusObjectPath>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>

class Tplayer_form;

class TMprisRoot : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ CanQuit)
    Q_PROPERTY(bool CanRaise READ CanRaise)
    Q_PROPERTY(bool HasTrackList READ HasTrackList)
    Q_PROPERTY(QString Identity READ Identity)
    Q_PROPERTY(QString DesktopEntry READ DesktopEntry)
    Q_PROPERTY(QStringList SupportedUriSchemes READ SupportedUriSchemes)
    Q_PROPERTY(QStringList SupportedMimeTypes READ SupportedMimeTypes)
public:
    explicit TMprisRoot(QObject* parent);
    bool CanQuit() const { return false; }
    bool CanRaise() const { return true; }
    bool HasTrackList() const { return false; }
    QString Identity() const { return "Dialwise"; }
    QString DesktopEntry() const { return "dialwise"; }
    QStringList SupportedUriSchemes() const { return {"dialwise"}; }
    QStringList SupportedMimeTypes() const { return {}; }
public slots:
    void Raise();
    void Quit() {}
};

class TMprisPlayer : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ PlaybackStatus)
    Q_PROPERTY(QVariantMap Metadata READ Metadata)
    Q_PROPERTY(double Volume READ Volume WRITE SetVolume)
    Q_PROPERTY(qlonglong Position READ Position)
    Q_PROPERTY(double Rate READ Rate)
    Q_PROPERTY(double MinimumRate READ Rate)
    Q_PROPERTY(double MaximumRate READ Rate)
    Q_PROPERTY(bool CanGoNext READ No)
    Q_PROPERTY(bool CanGoPrevious READ No)
    Q_PROPERTY(bool CanPlay READ CanPlay)
    Q_PROPERTY(bool CanPause READ CanPause)
    Q_PROPERTY(bool CanSeek READ No)
    Q_PROPERTY(bool CanControl READ Yes)
public:
    TMprisPlayer(QObject* parent, Tplayer_form* bar);
    QString PlaybackStatus() const;
    QVariantMap Metadata() const;
    double Volume() const;
    void SetVolume(double v);
    qlonglong Position() const;
    double Rate() const { return 1.0; }
    bool No() const { return false; }
    bool Yes() const { return true; }
    bool CanPlay() const;
    bool CanPause() const;
    // Tells the bus what changed since the last call.
    void Notify();
public slots:
    void PlayPause();
    void Play();
    void Pause();
    void Stop();
    void Next() {}
    void Previous() {}
    void Seek(qlonglong) {}
    void SetPosition(const QDBusObjectPath&, qlonglong) {}
    void OpenUri(const QString&) {}

private:
    QPointer<Tplayer_form> bar_;
    QVariantMap last_;
};

class TMprisService : public QObject
{
    Q_OBJECT
public:
    // Registers on the session bus; Registered() tells whether that worked.
    explicit TMprisService(Tplayer_form* bar);
    ~TMprisService() override;
    bool Registered() const { return registered_; }
    static QString ServiceName() { return "org.mpris.MediaPlayer2.dialwise"; }

private:
    TMprisPlayer* player_ = nullptr;
    bool registered_ = false;
};
