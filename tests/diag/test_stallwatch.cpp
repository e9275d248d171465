// The stall watchdog: a user-interface thread held up for longer than the limit gives one
// PerfOut line with the length of the stall.
#include "debuglog.h"
#include "stallwatch.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

class TestStallWatch : public QObject
{
    Q_OBJECT
private slots:
    // A stall in which the thread slept counts as a stall, not as work on the loop; one in
    // which it was busy counts as both.
    void stallIsReported()
    {
        QStringList perf;
        SetDebugSink([&](const QString& t, int ch) {
            if (ch == dcPerfOut) perf << t;
        });
        TStallWatch watch;
        watch.Start();
        QTest::qWait(50);     // the heartbeat runs
        QThread::msleep(200); // the thread is held up, but not by work of its own
        const QRegularExpression line(
            "^Event loop stalled (\\d+) ms \\((\\d+) ms on the processor\\)$");
        QTRY_VERIFY(!perf.filter(line).isEmpty());
        qint64 longest = 0;
        for (const QString& l : perf.filter(line))
            longest = qMax(longest, line.match(l).captured(1).toLongLong());
        QVERIFY2(longest >= 150, qPrintable(perf.join('\n')));
        QCOMPARE(watch.LongestStall(), longest);
        QVERIFY(watch.LongestStallCpu() < longest / 2);
        QVERIFY(watch.LongestBusyStall() < 150);

        QElapsedTimer spin;
        spin.start();
        while (spin.elapsed() < 300) {
        }
        QTRY_VERIFY(watch.LongestStall() >= 250);
        QVERIFY2(watch.LongestBusyStall() >= 250 || watch.LongestStallCpu() < 150,
                 qPrintable(QString::number(watch.LongestStallCpu())));
        SetDebugSink(nullptr);
    }
};

QTEST_GUILESS_MAIN(TestStallWatch)
#include "test_stallwatch.moc"
