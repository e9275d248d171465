#include "stallwatch.h"
#include "debuglog.h"

#include <QTimer>

namespace {
constexpr int Tick = 10; // ms
}

TStallWatch::TStallWatch(int limitMs, QObject* parent)
    : QObject(parent), timer_(new QTimer(this)), limit_(limitMs)
{
    timer_->setTimerType(Qt::PreciseTimer);
    timer_->setInterval(Tick);
    connect(timer_, &QTimer::timeout, this, &TStallWatch::tick);
}

void TStallWatch::Start()
{
    clock_.start();
    last_ = clock_.elapsed();
    timer_->start();
}

void TStallWatch::Stop()
{
    timer_->stop();
}

void TStallWatch::Reset()
{
    longest_ = 0;
    stalls_ = 0;
    last_ = clock_.isValid() ? clock_.elapsed() : -1;
}

void TStallWatch::tick()
{
    const qint64 now = clock_.elapsed();
    const qint64 late = now - last_ - Tick;
    last_ = now;
    if (late > longest_) longest_ = late;
    if (late > limit_) {
        ++stalls_;
        DebugLog("Event loop stalled " + QString::number(late) + " ms", dcPerfOut);
    }
}
