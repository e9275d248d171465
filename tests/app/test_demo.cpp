// The whole program against a real list server: a refresh fills the list with the
// server's stations and real pings.
#include "testsupport.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <csignal>

namespace {
QString readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}
} // namespace

class TestDemo : public QObject
{
    Q_OBJECT
private slots:
    void refreshFillsTheListWithRealPings()
    {
        dwtest::TempHome home;
        const quint16 port = dwtest::freePort();
        dwtest::Peer directory;
        QVERIFY(
            directory.start(DW_BINARY_DIR "/tools/directory/dialwise-directory",
                            {"--listen", QString("127.0.0.1:%1").arg(port), "--db", ":memory:"}));
        QVERIFY(dwtest::waitForTcpPort(port));

        const QString log = home.file("dw.log");
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        if (e.value("DISPLAY").isEmpty())
            e.insert("QT_QPA_PLATFORM", "offscreen");
        else
            e.remove("QT_QPA_PLATFORM");
        e.insert("DIALWISE_HOME", home.path());
        e.insert("DIALWISE_DEBUGLOG", log);
        e.insert("DIALWISE_DIALOGS", "auto");
        e.insert("DIALWISE_FREE_RESOURCES", "100,100,100");
        e.insert("DIALWISE_LIST_HOST", QString("127.0.0.1:%1").arg(port));
        e.insert("DIALWISE_WEB_SITE", QString("http://127.0.0.1:%1").arg(port));
        QProcess app;
        app.setProcessEnvironment(e);
        app.start(DW_BINARY_DIR "/src/app/dialwise", {});
        QVERIFY(app.waitForStarted());

        // The list opens with the whole catalog; every station is pinged.
        QTRY_VERIFY_WITH_TIMEOUT(readAll(log).contains("Updates complete:"), 60000);
        const QRegularExpression re(
            "Updates complete: (\\d+) listeners on (\\d+) servers, (\\d+) rows, (\\d+) answered");
        const auto m = re.match(readAll(log));
        QVERIFY2(m.hasMatch(), qPrintable(readAll(log)));
        const int servers = m.captured(2).toInt(), rows = m.captured(3).toInt();
        QVERIFY2(servers >= 300, qPrintable(m.captured(0)));
        QCOMPARE(rows, servers);
        QVERIFY(m.captured(1).toInt() > 0);
        // Loopback stations answer the echo (or its fall-back) well within the time-out.
        QVERIFY2(m.captured(4).toInt() >= rows * 9 / 10, qPrintable(m.captured(0)));

        ::kill(pid_t(app.processId()), SIGTERM);
        QVERIFY(app.waitForFinished(15000));
        QCOMPARE(app.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDemo)
#include "test_demo.moc"
