// Debug console: channels, pause, command line, the mirror file.
#include "debuglog.h"
#include "testsupport.h"
#include "winconsole.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

struct Recorder : ICommandReceiver
{
    QList<QStringList> got;
    void ExecuteCommand(const QStringList& words) override { got << words; }
};

class TestConsole : public QObject
{
    Q_OBJECT
private slots:
    void withoutConsoleNothingHappens()
    {
        QVERIFY(!WinConsole());
        DebugLog("nobody listens", 3); // must not raise
        QVERIFY(!HaveDebugSink());
    }

    void channelsPagesAndPause()
    {
        TWinConsole c({"GenOut", "ErrOut", "PerfOut"});
        QCOMPARE(c.windowTitle(), QString("WinConsole"));
        QCOMPARE(c.PageControl1->tabText(2), QString("PerfOut"));
        DebugLog("seven", 7);
        QCOMPARE(c.Memo[0]->toPlainText(), QString(">seven"));
        DebugLog("err", 2);
        QCOMPARE(c.PageControl1->currentIndex(), 1); // auto-switch

        c.PausedBox->setChecked(true);
        c.PausedBoxClick();
        DebugLog("first", 3);
        DebugLog("second", 3);
        QVERIFY(c.Memo[2]->toPlainText().isEmpty());
        c.PausedBox->setChecked(false);
        c.PausedBoxClick();
        QCOMPARE(c.Memo[2]->toPlainText(), QString(">first\n>second"));

        c.PageControl1->setCurrentIndex(0);
        c.ClearClick();
        QVERIFY(c.Memo[0]->toPlainText().isEmpty());
        QVERIFY(!c.Memo[1]->toPlainText().isEmpty());
    }

    void commandLine()
    {
        TWinConsole c({"GenOut", "ErrOut", "PerfOut"});
        Recorder r1, r2;
        c.AddCommandReceiver(&r1);
        c.AddCommandReceiver(&r2);
        QTest::keyClicks(c.Edit1, "toggle Player");
        QTest::keyClick(c.Edit1, Qt::Key_Return);
        QCOMPARE(r1.got.value(0), (QStringList{"toggle", "Player"}));
        QCOMPARE(r2.got.size(), 1);
        QVERIFY(c.Edit1->text().isEmpty());
        // The key left of "1" brings the last command back.
        QTest::keyClick(c.Edit1, Qt::Key_QuoteLeft);
        QCOMPARE(c.Edit1->text(), QString("toggle Player"));
        c.SendCommand("a  b");
        QCOMPARE(r1.got.value(1), (QStringList{"a", "", "b"}));
    }
};

int main(int argc, char** argv)
{
    // The mirror file is named once per process.
    QTemporaryDir dir;
    const QString log = dir.filePath("debug.log");
    qputenv("DIALWISE_DEBUGLOG", log.toLocal8Bit());
    QApplication app(argc, argv);
    TestConsole t;
    int rc = QTest::qExec(&t, argc, argv);
    QFile f(log);
    f.open(QIODevice::ReadOnly);
    const QByteArray all = f.readAll();
    // Lines reach the file with or without the console.
    if (!all.contains("GenOut >nobody listens") && !all.contains("PerfOut >nobody listens")) {
        qWarning("mirror file lacks the line written without a console:\n%s", all.constData());
        rc = 1;
    }
    if (!all.contains("PerfOut >first")) {
        qWarning("mirror file lacks the paused line");
        rc = 1;
    }
    return rc;
}
#include "test_console.moc"
