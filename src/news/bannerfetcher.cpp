#include "bannerfetcher.h"
#include "debuglog.h"
#include "httpprot.h"
#include "netconfig.h"

#include <QBuffer>
#include <QDateTime>
#include <QRandomGenerator>
#include <QTimer>

TBannerFetcher::TBannerFetcher(QObject* parent) : QObject(parent), timer_(new QTimer(this))
{
    timer_->setObjectName("bannertimer");
    connect(timer_, &QTimer::timeout, this, &TBannerFetcher::tick);
}

TBannerFetcher::~TBannerFetcher()
{
    if (client_) {
        client_->OnDocBegin = nullptr;
        client_->OnDocEnd = nullptr;
        client_->RcvdStream = nullptr;
    }
}

bool TBannerFetcher::Busy() const
{
    return busy_ || (client_ && client_->State() != httpReady);
}

QString TBannerFetcher::Location() const
{
    return client_ ? client_->Location() : QString();
}

void TBannerFetcher::Fetch(const QString& base, int watchdogMs)
{
    timer_->stop();
    busy_ = true;
    suffix_ = "?" + QString::number(QRandomGenerator::global()->bounded(10000)) +
              QString::number(quint32(QDateTime::currentMSecsSinceEpoch()));
    if (!client_) {
        client_ = std::make_unique<THttpCli>();
        client_->Agent = "DudadED 1.0";
        client_->NoCache = true;
        client_->OnDocBegin = [this](THttpCli*) { docBegin(); };
        client_->OnDocEnd = [this](THttpCli*) { docEnd(); };
        client_->OnRequestDone = [](THttpCli* c, THttpRequest, quint16 error) {
            if (error || c->StatusCode() >= 400)
                DebugLog(QString("Banner: %1 %2 for %3")
                             .arg(c->StatusCode())
                             .arg(c->ReasonPhrase(), c->Location()),
                         dcErrOut);
        };
    }
    client_->URL = base + suffix_;
    ApplyProxy(*client_);
    try {
        client_->GetAsync();
    } catch (const std::exception& e) {
        DebugLog(QString("Banner: %1").arg(e.what()), dcErrOut);
    }
    // A hanging request is aborted at the next tick, which re-arms.
    timer_->start(watchdogMs);
}

void TBannerFetcher::Rearm(int intervalMs)
{
    timer_->stop();
    if (client_ && client_->State() != httpReady) client_->Abort();
    timer_->setInterval(intervalMs);
    timer_->start();
    busy_ = false;
}

void TBannerFetcher::docBegin()
{
    body_ = std::make_unique<QBuffer>();
    body_->open(QIODevice::ReadWrite);
    client_->RcvdStream = body_.get();
}

bool TBannerFetcher::Decode(QByteArray data, QImage& out)
{
    const char* format = nullptr;
    if (data.startsWith("GIF")) {
        format = "GIF";
    } else {
        for (int i = 1; i < 150 && i + 3 <= data.size(); ++i)
            if (data.mid(i, 3) == "GIF") {
                data.remove(0, i);
                format = "GIF";
                break;
            }
    }
    if (!format) {
        if (!data.startsWith("\xFF\xD8\xFF")) {
            DebugLog("Invalid banner graphic", dcErrOut);
            return false;
        }
        format = "JPEG";
    }
    QImage img;
    if (!img.loadFromData(data, format)) return false;
    out = img;
    return true;
}

void TBannerFetcher::docEnd()
{
    DebugLog(QString("Banner: %1 bytes from %2")
                 .arg(body_ ? body_->size() : -1)
                 .arg(client_->Location()));
    QImage img;
    if (body_) {
        Decode(body_->data(), img);
        client_->RcvdStream = nullptr;
        body_.reset();
    }
    emit finished(img);
}
