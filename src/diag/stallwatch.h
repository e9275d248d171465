#pragma once
// The stall watchdog: a timer on the user-interface loop that notices when the loop did
// not come round for longer than a limit and writes "Event loop stalled N ms (M ms on the
// processor)" on "PerfOut".
#include <QElapsedTimer>
#include <QObject>

class QTimer;

class TStallWatch : public QObject
{
    Q_OBJECT
public:
    explicit TStallWatch(int limitMs = 50, QObject* parent = nullptr);
    void Start();
    void Stop();
    qint64 LongestStall() const { return longest_; } // ms beyond the tick interval
    int Stalls() const { return stalls_; }           // gaps over the limit
    // The loop thread's own processor time in the longest stall, and the longest stall in
    // which the thread itself was busy (over half the gap on the processor): tells work on
    // the loop from a machine too loaded to run it.
    qint64 LongestStallCpu() const { return longestCpu_; }
    qint64 LongestBusyStall() const { return longestBusy_; }
    void Reset();

private:
    void tick();
    QTimer* timer_;
    QElapsedTimer clock_;
    qint64 last_ = -1;
    qint64 longest_ = 0;
    qint64 longestCpu_ = 0;
    qint64 longestBusy_ = 0;
    qint64 lastCpu_ = 0;
    int stalls_ = 0;
    int limit_;
};
