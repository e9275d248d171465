#include "mprisservice.h"
#include "player_main.h"
#include "waveout.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QTimer>
#include <QToolButton>

TMprisRoot::TMprisRoot(QObject* parent) : QDBusAbstractAdaptor(parent) {}

void TMprisRoot::Raise()
{
    if (auto* bar = PlayerForm()) {
        if (bar->Host.ShowMainWindow) bar->Host.ShowMainWindow();
    }
}

TMprisPlayer::TMprisPlayer(QObject* parent, Tplayer_form* bar)
    : QDBusAbstractAdaptor(parent), bar_(bar)
{
}

bool TMprisPlayer::CanPlay() const
{
    // Playing, or stopped with a station to play again.
    return bar_ && (bar_->Active() || (!bar_->LastStation().IsEmpty() && bar_->Host.LaunchLast));
}

bool TMprisPlayer::CanPause() const
{
    return bar_ && bar_->Active() && bar_->playpause_butt->isEnabled();
}

qlonglong TMprisPlayer::Position() const
{
    return bar_ ? bar_->PositionUs() : 0;
}

QString TMprisPlayer::PlaybackStatus() const
{
    if (!bar_ || !bar_->Active()) return "Stopped";
    return bar_->playpause_butt->isChecked() ? "Paused" : "Playing";
}

QVariantMap TMprisPlayer::Metadata() const
{
    QVariantMap m;
    if (!bar_ || bar_->StationUrl().isEmpty()) return m;
    m["mpris:trackid"] = QVariant::fromValue(QDBusObjectPath("/org/dialwise/station"));
    m["xesam:title"] = bar_->SongTitle().isEmpty() ? bar_->StationName() : bar_->SongTitle();
    m["xesam:album"] = bar_->StationName();
    m["xesam:artist"] = QStringList{bar_->StationName()};
    m["xesam:url"] = bar_->StationUrl();
    return m;
}

double TMprisPlayer::Volume() const
{
    quint32 v = 0;
    platform::waveOutGetVolume(nullptr, &v);
    return double(std::max(v & 0xFFFF, v >> 16)) / 65535.0;
}

void TMprisPlayer::SetVolume(double v)
{
    if (bar_) bar_->SetVolume(v);
}

void TMprisPlayer::PlayPause()
{
    if (!bar_) return;
    if (!bar_->Active()) {
        Play();
        return;
    }
    if (!bar_->playpause_butt->isEnabled()) return;
    bar_->playpause_butt->click();
}

void TMprisPlayer::Play()
{
    if (!bar_) return;
    // After a stop: the station again. Played from the loop, not inside the bus call.
    if (!bar_->Active()) {
        if (CanPlay())
            QTimer::singleShot(0, bar_, [bar = bar_] {
                if (bar && !bar->Active() && bar->Host.LaunchLast) bar->Host.LaunchLast();
            });
        return;
    }
    if (bar_->playpause_butt->isChecked()) PlayPause();
}

void TMprisPlayer::Pause()
{
    if (bar_ && bar_->Active() && !bar_->playpause_butt->isChecked()) PlayPause();
}

void TMprisPlayer::Stop()
{
    if (bar_) bar_->stop_butt->click();
}

void TMprisPlayer::Notify()
{
    QVariantMap now{
        {"PlaybackStatus", PlaybackStatus()}, {"Metadata", Metadata()}, {"Volume", Volume()}};
    QVariantMap changed;
    for (auto it = now.cbegin(); it != now.cend(); ++it)
        if (last_.value(it.key()) != it.value()) changed.insert(it.key(), it.value());
    if (changed.isEmpty()) return;
    last_ = now;
    QDBusMessage sig = QDBusMessage::createSignal(
        "/org/mpris/MediaPlayer2", "org.freedesktop.DBus.Properties", "PropertiesChanged");
    sig << QString("org.mpris.MediaPlayer2.Player") << changed << QStringList();
    QDBusConnection::sessionBus().send(sig);
}

TMprisService::TMprisService(Tplayer_form* bar) : QObject(bar)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    new TMprisRoot(this);
    player_ = new TMprisPlayer(this, bar);
    registered_ =
        bus.registerObject("/org/mpris/MediaPlayer2", this) && bus.registerService(ServiceName());
    // Changes are told a little after they happen, a few at once.
    auto* t = new QTimer(this);
    connect(t, &QTimer::timeout, player_, &TMprisPlayer::Notify);
    t->start(500);
}

TMprisService::~TMprisService()
{
    if (!registered_) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterService(ServiceName());
    bus.unregisterObject("/org/mpris/MediaPlayer2");
}
