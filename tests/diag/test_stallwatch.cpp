// The stall watchdog: a user-interface thread held up for longer than the limit gives one
// PerfOut line with the length of the stall.
#include "debuglog.h"
#include "stallwatch.h"

#include <QRegularExpression>
#include <QTest>
#include <QThread>

class TestStallWatch : public QObject
{
    Q_OBJECT
private slots:
    void stallIsReported()
    {
        QStringList perf;
        SetDebugSink([&](const QString& t, int ch) {
            if (ch == dcPerfOut) perf << t;
        });
        TStallWatch watch;
        watch.Start();
        QTest::qWait(50); // the heartbeat runs
        QThread::msleep(200); // the thread is held up, as by long work on it
        const QRegularExpression line("^Event loop stalled (\\d+) ms$");
        QTRY_VERIFY(!perf.filter(line).isEmpty());
        qint64 longest = 0;
        for (const QString& l : perf.filter(line))
            longest = qMax(longest, line.match(l).captured(1).toLongLong());
        QVERIFY2(longest >= 150, qPrintable(perf.join('\n')));
        QCOMPARE(watch.LongestStall(), longest);
        SetDebugSink(nullptr);
    }
};

QTEST_GUILESS_MAIN(TestStallWatch)
#include "test_stallwatch.moc"
