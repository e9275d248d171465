// "dialwise:" links from the desktop: the program registers itself as their handler (a
// desktop entry made the default through xdg-mime, in a test-made data folder), and a
// second start with a link hands it to the running instance, which plays it.
#include "testsupport.h"
#include "urlprotocol.h"

#include <QFile>
#include <QProcess>
#include <QTest>

#include <csignal>

namespace {
QString readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

const QString kProgram = QStringLiteral(DW_BINARY_DIR "/src/app/dialwise");
} // namespace

class TestLinkHandover : public QObject
{
    Q_OBJECT
private slots:
    void registration_data()
    {
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<bool>("written");
        QTest::newRow("no entry") << QByteArray() << true;
        QTest::newRow("older version")
            << QByteArray("[Desktop Entry]\nX-Dialwise-Key-Version=1\n") << true;
        QTest::newRow("no readable version")
            << QByteArray("[Desktop Entry]\nX-Dialwise-Key-Version=x\n") << true;
        QTest::newRow("current") << QByteArray("[Desktop Entry]\nX-Dialwise-Key-Version=2\n")
                                 << false;
        QTest::newRow("newer") << QByteArray("[Desktop Entry]\nX-Dialwise-Key-Version=3\n")
                               << false;
    }
    void registration()
    {
        QFETCH(QByteArray, existing);
        dwtest::TempHome home;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("XDG_DATA_HOME");
        env.remove("XDG_CONFIG_HOME");
        env.insert("DIALWISE_HOME", home.path());
        const QString path = urlprotocol::DesktopFilePath(env);
        QVERIFY(path.startsWith(home.path()));
        if (!existing.isNull()) dwtest::writeFile(path, existing);
        const qint64 pid = urlprotocol::RegisterUrlProtocol("/opt/dial wise/dialwise", env);
        QTEST(pid > 0, "written");
        // xdg-mime is not waited for by the program; the test waits for it to end.
        if (pid > 0) QTRY_VERIFY_WITH_TIMEOUT(::kill(pid_t(pid), 0) != 0, 30000);
        if (existing.isNull() || pid > 0) {
            const QString entry = readAll(path);
            QVERIFY(entry.contains("Exec=\"/opt/dial wise/dialwise\" %u\n"));
            QVERIFY(entry.contains("MimeType=x-scheme-handler/dialwise;\n"));
            QVERIFY(entry.contains("X-Dialwise-Key-Version=2\n"));
        } else {
            QCOMPARE(readAll(path).toUtf8(), existing);
        }
    }

    void secondStartHandsTheLinkOver()
    {
        dwtest::TempHome home;
        // A stand-in for the desktop's opener: the program must not need it for a link.
        const QString bin = home.file("bin");
        const QString opened = home.file("opened.txt");
        dwtest::writeFile(bin + "/xdg-open", "#!/bin/sh\necho \"$@\" >> " + opened.toUtf8() + "\n");
        QFile::setPermissions(bin + "/xdg-open", QFileDevice::ReadOwner | QFileDevice::ExeOwner);

        const QString log = home.file("dw.log");
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("QT_QPA_PLATFORM", "offscreen");
        e.insert("PATH", bin + ":" + e.value("PATH"));
        e.remove("XDG_DATA_HOME");
        e.remove("XDG_CONFIG_HOME");
        e.insert("DIALWISE_HOME", home.path());
        e.insert("DIALWISE_DEBUGLOG", log);
        e.insert("DIALWISE_DIALOGS", "auto");
        e.insert("DIALWISE_NO_BROWSER", "1");
        e.insert("DIALWISE_FREE_RESOURCES", "100,100,100");
        e.insert("DIALWISE_LIST_HOST", QString("127.0.0.1:%1").arg(dwtest::freePort()));
        e.insert("DIALWISE_CHAT_HOST", QString("127.0.0.1:%1").arg(dwtest::freePort()));

        QProcess first;
        first.setProcessEnvironment(e);
        first.start(kProgram, {});
        QVERIFY(first.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(readAll(log).contains("Creating Key version: 2"), 60000);

        // The desktop now names the program's entry as the handler of the links.
        auto handler = [&] {
            QProcess q;
            q.setProcessEnvironment(urlprotocol::XdgEnvironment(e));
            q.start("xdg-mime", {"query", "default", "x-scheme-handler/dialwise"});
            q.waitForFinished(20000);
            return QString::fromUtf8(q.readAllStandardOutput()).trimmed();
        };
        QTRY_COMPARE_WITH_TIMEOUT(handler(), QString("dialwise.desktop"), 30000);
        QVERIFY(readAll(urlprotocol::DesktopFilePath(e)).contains("Exec=" + kProgram + " %u"));

        // A second start with a link gives it to the first one and ends.
        const QString link =
            "dialwise:fieldcount`4`action`ip`hostname`type`play`127.0.0.9:8010`Handed Over`0";
        QProcess second;
        second.setProcessEnvironment(e);
        second.start(kProgram, {link});
        QVERIFY(second.waitForFinished(60000));
        QCOMPARE(second.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(readAll(log).contains("Link: play Handed Over at 127.0.0.9:8010"),
                                 30000);
        QVERIFY(readAll(log).contains("Using DDE Macro" + link));
        QCOMPARE(first.state(), QProcess::Running);

        first.terminate();
        QVERIFY(first.waitForFinished(60000));
        // A later start finds its entry current and leaves it alone.
        QProcess again;
        again.setProcessEnvironment(e);
        again.start(kProgram, {});
        QVERIFY(again.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(readAll(log).contains("Dialwise key was current"), 60000);
        again.terminate();
        QVERIFY(again.waitForFinished(60000));
    }
};

QTEST_GUILESS_MAIN(TestLinkHandover)
#include "test_linkhandover.moc"
