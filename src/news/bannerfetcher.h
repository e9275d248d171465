#pragma once
// TBannerFetcher: fetches the advertising banner over HTTP and hands over a finished image.
// One request at a time; a cache-breaking suffix makes every request a fresh one, and a
// watchdog aborts a request that hangs. Between requests the timer waits the configured
// interval and then asks for the next banner (tick), so the owner decides whether one is
// wanted now (not while minimized, not when banners are switched off).
#include <QByteArray>
#include <QImage>
#include <QObject>
#include <QString>
#include <memory>

class QBuffer;
class QTimer;
class THttpCli;

class TBannerFetcher : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TBannerFetcher)
public:
    explicit TBannerFetcher(QObject* parent = nullptr);
    ~TBannerFetcher() override;

    // A request is under way, or the last one has not been re-armed yet.
    bool Busy() const;
    // Requests base + a fresh suffix; the watchdog aborts it after `watchdogMs`.
    void Fetch(const QString& base, int watchdogMs = 45000);
    // Aborts what is under way and waits `intervalMs` before the next tick.
    void Rearm(int intervalMs);
    // The cache-breaking suffix of the last request ("?" and digits); the click address
    // carries the same one, so the banner server can tell which banner was clicked.
    QString Suffix() const { return suffix_; }
    // Where the last request finally ended up (after redirects).
    QString Location() const;

    // Decodes a banner body: GIF (also after up to 149 leading bytes) or JPEG.
    static bool Decode(QByteArray data, QImage& out);

signals:
    // The wait is over: time to ask for the next banner.
    void tick();
    // A request ended; `image` is null when the body was not a banner picture.
    void finished(const QImage& image);

private:
    void docBegin();
    void docEnd();

    std::unique_ptr<THttpCli> client_;
    std::unique_ptr<QBuffer> body_;
    QTimer* timer_ = nullptr;
    bool busy_ = false;
    QString suffix_;
};
