#include "stallwatch.h"
#include "debuglog.h"

#include <QTimer>

#include <ctime>

namespace {
constexpr int Tick = 10; // ms

qint64 threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}
} // namespace

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
    lastCpu_ = threadCpuMs();
    timer_->start();
}

void TStallWatch::Stop()
{
    timer_->stop();
}

void TStallWatch::Reset()
{
    longest_ = 0;
    longestCpu_ = 0;
    longestBusy_ = 0;
    stalls_ = 0;
    lastCpu_ = threadCpuMs();
    last_ = clock_.isValid() ? clock_.elapsed() : -1;
}

void TStallWatch::tick()
{
    const qint64 now = clock_.elapsed();
    const qint64 cpu = threadCpuMs();
    const qint64 late = now - last_ - Tick;
    const qint64 busy = cpu - lastCpu_;
    last_ = now;
    lastCpu_ = cpu;
    if (late > longest_) {
        longest_ = late;
        longestCpu_ = busy;
    }
    if (busy * 2 > late + Tick && late > longestBusy_) longestBusy_ = late;
    if (late > limit_) {
        ++stalls_;
        DebugLog("Event loop stalled " + QString::number(late) + " ms (" + QString::number(busy) +
                     " ms on the processor)",
                 dcPerfOut);
    }
}
