#include "songnotifier.h"
#include "config.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

TSongNotifier::TSongNotifier(QObject* parent) : QObject(parent)
{
    later_.setSingleShot(true);
    // A coarse timer may fire a little early, and the gap is a promise.
    later_.setTimerType(Qt::PreciseTimer);
    connect(&later_, &QTimer::timeout, this, &TSongNotifier::send);
}

void TSongNotifier::SongChanged(const QString& station, const QString& title, const QString& icon)
{
    if (title.isEmpty() || !Config() || !Config()->Checked("songnotify")) return;
    // What a station sends is shown as plain text and never at any length.
    station_ = station.left(200);
    title_ = title.left(300);
    icon_ = icon;
    pending_ = true;
    const qint64 wait = last_.isValid() ? MinGapMs - last_.elapsed() : 0;
    if (wait > 0) {
        if (!later_.isActive()) later_.start(int(wait));
        return;
    }
    send();
}

void TSongNotifier::send()
{
    if (!pending_) return;
    if (last_.isValid() && last_.elapsed() < MinGapMs) {
        later_.start(int(MinGapMs - last_.elapsed()));
        return;
    }
    pending_ = false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    auto escape = [](QString t) {
        return t.replace('&', "&amp;").replace('<', "&lt;").replace('>', "&gt;");
    };
    QDBusMessage m = QDBusMessage::createMethodCall("org.freedesktop.Notifications",
                                                    "/org/freedesktop/Notifications",
                                                    "org.freedesktop.Notifications", "Notify");
    QVariantMap hints;
    if (!icon_.isEmpty()) hints["image-path"] = icon_;
    hints["category"] = QString("x-dialwise.song");
    m << QString("Dialwise") << lastId_ << (icon_.isEmpty() ? QString("dialwise") : icon_)
      << escape(title_) << escape(station_) << QStringList() << hints << 5000;
    last_.start();
    ++sent_;
    auto* w = new QDBusPendingCallWatcher(bus.asyncCall(m), this);
    connect(w, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<uint> r = *w;
        if (r.isValid()) lastId_ = r.value();
    });
}
