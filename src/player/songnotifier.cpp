#include "songnotifier.h"
#include "config.h"

#include "platform.h"
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDir>
#include <QFileInfo>
#include <QImage>
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

QString TSongNotifier::IconFile(const QString& picture)
{
    const QFileInfo src(picture);
    if (!src.isFile()) return {};
    if (src.suffix().toLower() != QLatin1String("bmp")) return src.absoluteFilePath();
    const QString folder = platform::ProgramFolder() + "/notify-icons";
    const QString png = folder + "/" + src.completeBaseName() + ".png";
    const QFileInfo made(png);
    if (made.isFile() && made.lastModified() >= src.lastModified()) return png;
    QImage img(picture);
    if (img.isNull() || !QDir().mkpath(folder)) return {};
    img = img.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < img.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
        for (int x = 0; x < img.width(); ++x)
            if ((line[x] & 0xFFFFFF) == 0xFF00FF) line[x] = qRgba(0, 0, 0, 0);
    }
    return img.save(png, "PNG") ? png : QString();
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
    const QString icon = IconFile(icon_);
    QVariantMap hints;
    if (!icon.isEmpty()) hints["image-path"] = icon;
    hints["category"] = QString("x-dialwise.song");
    m << QString("Dialwise") << lastId_ << (icon.isEmpty() ? QString("dialwise") : icon)
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
