// The whole program: single instance, stale marker, debug argument, settings kept,
// start-up checks. Runs the real executable.
#include "instance.h"
#include "platform.h"
#include "registry.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <csignal>

namespace {
const QString kProgram = QStringLiteral(DW_BINARY_DIR "/src/app/dialwise");

QString readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// A started program with its own environment.
struct Program
{
    QProcess p;
    explicit Program(const QStringList& env, const QStringList& args = {},
                     const QString& program = kProgram)
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        if (!e.contains("DISPLAY") || e.value("DISPLAY").isEmpty())
            e.insert("QT_QPA_PLATFORM", "offscreen");
        else
            e.remove("QT_QPA_PLATFORM");
        for (const QString& kv : env)
            e.insert(kv.section('=', 0, 0), kv.section('=', 1));
        p.setProcessEnvironment(e);
        p.setProcessChannelMode(QProcess::SeparateChannels);
        p.start(program, args);
    }
    ~Program()
    {
        if (p.state() != QProcess::NotRunning) {
            ::kill(pid_t(p.processId()), SIGKILL);
            p.waitForFinished(3000);
        }
    }
    bool terminate()
    {
        ::kill(pid_t(p.processId()), SIGTERM);
        return p.waitForFinished(10000);
    }
};
// The display the window tests look at: the one given, or else a private Xvfb of their
// own (the sanitizer run has no display), stopped by its process id.
struct TestDisplay
{
    QProcess server;
    QString name;
    TestDisplay()
    {
        name = qEnvironmentVariable("DISPLAY");
        if (!name.isEmpty() || dwtest::findProgram("Xvfb").isEmpty()) return;
        server.start("Xvfb",
                     {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
        // It writes the number of the display it took once it listens.
        QByteArray out;
        while (server.state() != QProcess::NotRunning && !out.contains('\n') &&
               server.waitForReadyRead(20000))
            out += server.readAllStandardOutput();
        if (out.contains('\n')) name = ":" + QString::fromLatin1(out).trimmed();
    }
    ~TestDisplay()
    {
        if (server.state() != QProcess::NotRunning) {
            ::kill(pid_t(server.processId()), SIGTERM);
            server.waitForFinished(5000);
        }
    }
};
} // namespace

class TestStartup : public QObject
{
    Q_OBJECT
    QStringList baseEnv(const dwtest::TempHome& home, const QString& log = {})
    {
        QStringList env{"DIALWISE_HOME=" + home.path(), "DIALWISE_DIALOGS=auto",
                        "DIALWISE_FREE_RESOURCES=100,100,100"};
        if (!log.isEmpty()) env << "DIALWISE_DEBUGLOG=" + log;
        return env;
    }

private slots:
    void secondStartBringsTheFirstToFront()
    {
        dwtest::TempHome home;
        const QString log = home.file("first.log");
        Program first(baseEnv(home, log));
        QTRY_VERIFY_WITH_TIMEOUT(readAll(log).contains("BorderWidth"), 20000);
        const QString lock = platform::TInstanceAtom::PathOf("tunelaneatom");
        QVERIFY(QFile::exists(lock));

        Program second(baseEnv(home, home.file("second.log")), {"dialwise:play:s127.0.0.1:1"});
        // The second start hands its link over and ends (a generous wait, not a speed test).
        QVERIFY(second.p.waitForFinished(60000));
        QCOMPARE(second.p.exitCode(), 0);
        QTRY_VERIFY(readAll(log).contains("bringing the window to the front"));
        QVERIFY(QFile::exists(lock)); // the second start leaves the marker alone

        QVERIFY(first.terminate());
        QCOMPARE(first.p.exitCode(), 0);
        QVERIFY(!QFile::exists(lock));
    }

    void racingStartsLeaveOneInstance()
    {
        // Three starts at once, before any has a window: one runs, the others hand their
        // request to it and end. Its socket stays its own.
        dwtest::TempHome home;
        std::vector<std::unique_ptr<Program>> starts;
        for (int i = 0; i < 3; ++i)
            starts.push_back(
                std::make_unique<Program>(baseEnv(home, home.file(QString("run%1.log").arg(i)))));
        auto ended = [&] {
            int n = 0;
            for (auto& p : starts)
                n += p->p.state() == QProcess::NotRunning || p->p.waitForFinished(0);
            return n;
        };
        QTRY_COMPARE_WITH_TIMEOUT(ended(), 2, 90000);
        Program* survivor = nullptr;
        QString log;
        for (int i = 0; i < 3; ++i) {
            if (starts[i]->p.state() != QProcess::NotRunning) {
                survivor = starts[i].get();
                log = home.file(QString("run%1.log").arg(i));
            } else {
                QCOMPARE(starts[i]->p.exitCode(), 0);
            }
        }
        QVERIFY(survivor);
        QTRY_VERIFY_WITH_TIMEOUT(readAll(log).contains("BorderWidth"), 30000);
        QTRY_COMPARE(readAll(log).count("bringing the window to the front"), 2);
        QVERIFY(platform::TInstanceServer::Send("tvmmp3_form",
                                                platform::InstanceRequest::BringToFront));
        QTRY_COMPARE(readAll(log).count("bringing the window to the front"), 3);
        QCOMPARE(ended(), 2);
        QVERIFY(survivor->terminate());
        QVERIFY(!QFile::exists(platform::TInstanceAtom::PathOf("tunelaneatom")));
    }

    void staleMarkerDoesNotStopTheStart()
    {
        dwtest::TempHome home;
        const QString lock = platform::TInstanceAtom::PathOf("tunelaneatom");
        dwtest::writeFile(lock, "999999999");
        const QString log = home.file("dw.log");
        Program p(baseEnv(home, log));
        QTRY_VERIFY_WITH_TIMEOUT(readAll(log).contains("BorderWidth"), 20000);
        QVERIFY(p.terminate());
        QVERIFY(!QFile::exists(lock));
    }

    void settingsSurviveARestart()
    {
        dwtest::TempHome home;
        QString code;
        for (int run = 0; run < 2; ++run) {
            const QString log = home.file(QString("run%1.log").arg(run));
            Program p(baseEnv(home, log));
            QTRY_VERIFY_WITH_TIMEOUT(readAll(log).contains("BorderWidth"), 20000);
            QVERIFY(p.terminate());
            TRegistry::Reset();
            const QString now = TRegistry::ReadString("Software\\Velmora\\tunelane", "code");
            QCOMPARE(now.size(), 19);
            if (run == 0) code = now;
            QCOMPARE(now, code);
            // The window's position was saved at shutdown.
            QVERIFY(!TRegistry::ReadString("Software\\Velmora\\tunelane\\mainform", "NormPos")
                         .isEmpty());
        }
    }

    void lowResourcesCancelEndsAtOnce()
    {
        dwtest::TempHome home;
        QStringList env = baseEnv(home);
        env << "DIALWISE_FREE_RESOURCES=21,21,20"
            << "DIALWISE_DIALOGS=cancel";
        Program p(env);
        QVERIFY(p.p.waitForFinished(10000));
        QCOMPARE(p.p.exitCode(), 0);
        const QString err = QString::fromUtf8(p.p.readAllStandardError());
        QVERIFY2(err.contains("dialog: [Tunelane Warning] Your system resources are low."),
                 qPrintable(err));
        QVERIFY(err.contains("GDI = 20%"));
        QVERIFY(!QFile::exists(platform::TInstanceAtom::PathOf("tunelaneatom")));
    }

    void libraryOffer_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("cancel quits") << "cancel" << 1;
        QTest::newRow("ok records the download") << "auto" << 0;
    }
    void libraryOffer()
    {
        QFETCH(QString, answer);
        QFETCH(int, exitCode);
        dwtest::TempHome home;
        QStringList env = baseEnv(home);
        env << "DIALWISE_MISSING_LIBS=RICHED20.DLL"
            << "DIALWISE_DIALOGS=" + answer << "DIALWISE_UPDATER=close";
        Program p(env);
        QVERIFY(p.p.waitForFinished(15000));
        QCOMPARE(p.p.exitCode(), exitCode);
        QVERIFY(
            QString::fromUtf8(p.p.readAllStandardError()).contains("(riched20.dll) was not found"));
        TRegistry::Reset();
        const QString dl1 = TRegistry::ReadString("Software\\Velmora\\tunelane", "dl1");
        QCOMPARE(dl1.endsWith("/download/richedup.exe"), exitCode == 0);
        QVERIFY(!QFile::exists(platform::TInstanceAtom::PathOf("tunelaneatom")));
    }

    void debugArgumentOpensTheConsole_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("opens");
        QTest::newRow("exact") << QStringList{"quietBadger!!!"} << true;
        QTest::newRow("other case") << QStringList{"QuietBadger!!!"} << false;
        QTest::newRow("second place") << QStringList{"x", "quietBadger!!!"} << false;
    }
    void debugArgumentOpensTheConsole()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, opens);
        const TestDisplay display;
        if (display.name.isEmpty())
            DW_PEER_MISSING("xvfb", "needs an X display or Xvfb to see the console window");
        if (dwtest::findProgram("xwininfo").isEmpty())
            DW_PEER_MISSING("x11-utils", "needs xwininfo to see the console window");
        dwtest::TempHome home;
        const QString log = home.file("dw.log");
        Program p(baseEnv(home, log) << "DISPLAY=" + display.name << "QT_QPA_PLATFORM=xcb", args);
        QTRY_VERIFY_WITH_TIMEOUT(readAll(log).contains("BorderWidth"), 20000);
        auto windows = [&] {
            QProcess x;
            x.start("xwininfo", {"-display", display.name, "-root", "-tree"});
            x.waitForFinished(5000);
            return QString::fromUtf8(x.readAllStandardOutput());
        };
        if (opens)
            QTRY_VERIFY_WITH_TIMEOUT(windows().contains("\"WinConsole\""), 5000);
        else {
            QTest::qWait(500);
            QVERIFY(!windows().contains("\"WinConsole\""));
        }
        QVERIFY(p.terminate());
    }

    // The browser, libmpv and FFmpeg are plugins: none is in the process once its window
    // is up; the news page brings the browser's in after the window has been drawn. An
    // installed program whose plugin is missing says so and starts without pages.
    void pluginsLoadOnFirstUse()
    {
        const TestDisplay display;
        if (display.name.isEmpty())
            DW_PEER_MISSING("xvfb", "needs an X display or Xvfb for the embedded browser");
        auto maps = [](const QProcess& p) {
            return readAll(QString("/proc/%1/maps").arg(p.processId()));
        };
        const QStringList xcb{"DISPLAY=" + display.name, "QT_QPA_PLATFORM=xcb",
                              "QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu"};
        {
            dwtest::TempHome home;
            const QString log = home.file("dw.log");
            Program p(baseEnv(home, log) << xcb << "DIALWISE_NO_BROWSER=1");
            QTRY_VERIFY_WITH_TIMEOUT(readAll(log).contains("BorderWidth"), 20000);
            QTest::qWait(300);
            const QString loaded = maps(p.p);
            QVERIFY(loaded.contains("libQt6Widgets"));
            for (const char* lib : {"libQt6WebEngineCore", "libmpv", "libavcodec", "libdialwise-"})
                QVERIFY2(!loaded.contains(lib), lib);
            QVERIFY(p.terminate());
        }
        {
            dwtest::TempHome home;
            const QString log = home.file("dw.log");
            Program p(baseEnv(home, log) << xcb);
            QTRY_VERIFY_WITH_TIMEOUT(readAll(log).contains("Web page plugin loaded"), 60000);
            const QString text = readAll(log);
            QVERIFY(text.indexOf("Window drawn: opening the news page") <
                    text.indexOf("Web page plugin loaded"));
            QVERIFY(maps(p.p).contains("libQt6WebEngineCore"));
            // The page makes Qt create the main window's window again; the tips window
            // shown at a first start stays on top of it (xwininfo lists the top first).
            if (!dwtest::findProgram("xwininfo").isEmpty()) {
                QTRY_VERIFY_WITH_TIMEOUT(readAll(log).contains("Main window made again"), 20000);
                auto tipsOnTop = [&] {
                    QProcess x;
                    x.start("xwininfo", {"-display", display.name, "-root", "-children"});
                    x.waitForFinished(5000);
                    const QString tree = QString::fromUtf8(x.readAllStandardOutput());
                    const qsizetype tips = tree.indexOf("\"Dialwise Tips\"");
                    return tips >= 0 && tips < tree.indexOf("\"Dialwise\": (\"dialwise\"");
                };
                QTRY_VERIFY_WITH_TIMEOUT(tipsOnTop(), 5000);
                QTest::qWait(500);
                QVERIFY(tipsOnTop());
            }
            QVERIFY(p.terminate());
        }
        {
            // An installed layout without the plugins.
            dwtest::TempHome home;
            const QString prefix = home.file("usr");
            QVERIFY(QDir().mkpath(prefix + "/bin"));
            QVERIFY(QDir().mkpath(prefix + "/share/applications"));
            dwtest::writeFile(prefix + "/share/applications/org.dialwise.Dialwise.desktop", "");
            QVERIFY(QFile::copy(kProgram, prefix + "/bin/dialwise"));
            const QString log = home.file("dw.log");
            Program p(baseEnv(home, log) << xcb, {}, prefix + "/bin/dialwise");
            QTRY_VERIFY_WITH_TIMEOUT(readAll(log).contains("BorderWidth"), 20000);
            QTRY_VERIFY_WITH_TIMEOUT(readAll(log).contains("libdialwise-web.so is not installed"),
                                     10000);
            QVERIFY(p.p.state() == QProcess::Running);
            QVERIFY(p.terminate());
        }
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "test_startup.moc"
