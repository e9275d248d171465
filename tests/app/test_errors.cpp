// Errors that escape an event handler while the program runs: shown in the error box and
// on ErrOut, and the message loop goes on.
#include "debuglog.h"
#include "dialogs.h"
#include "startup.h"

#include <QTest>
#include <QTimer>
#include <stdexcept>

class TestErrors : public QObject
{
    Q_OBJECT

private slots:
    void escapedErrorsAreShownAndTheLoopGoesOn_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("shown");
        QTest::newRow("error with a message") << 0 << "Station list broken.";
        QTest::newRow("message ending in a stop") << 1 << "Nothing to play.";
        QTest::newRow("anything else") << 2 << "Unknown error.";
    }
    void escapedErrorsAreShownAndTheLoopGoesOn()
    {
        QFETCH(int, kind);
        QFETCH(QString, shown);
        QStringList boxes, errors;
        platform::SetDialogScript([&](const platform::DialogRequest& r) {
            boxes << "[" + r.caption + "] " + r.text;
            return platform::DialogAnswer{platform::mrOk, {}};
        });
        SetDebugSink([&](const QString& t, int ch) {
            if (ch == dcErrOut) errors << t;
        });
        QTimer::singleShot(0, qApp, [kind] {
            if (kind == 0) throw std::runtime_error("Station list broken");
            if (kind == 1) throw std::logic_error("Nothing to play.");
            throw 42;
        });
        bool after = false;
        QTimer::singleShot(20, qApp, [&] { after = true; });
        QTRY_VERIFY(after);
        SetDebugSink(nullptr);
        platform::SetDialogScript(nullptr);
        QCOMPARE(boxes, QStringList{"[Dialwise] " + shown});
        QCOMPARE(errors.size(), 1);
        QVERIFY(errors[0].startsWith("Unhandled error: "));
    }
};

int main(int argc, char** argv)
{
    TDialwiseApplication app(argc, argv);
    QApplication::setApplicationName("Dialwise");
    TestErrors t;
    return QTest::qExec(&t, argc, argv);
}

#include "test_errors.moc"
