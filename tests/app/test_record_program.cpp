// Recording from the program's own window: the caster plays a stream of the program's own
// kind with titles that change every three seconds; the record button on the bar, clicked
// with xdotool under a private Xvfb, saves the songs into the music folder's "Dialwise",
// split at the titles, and a second click stops it keeping the song cut short.
#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

class TestRecordProgram : public QObject
{
    Q_OBJECT
    QTemporaryDir tmp;
    QProcess xvfb, caster, program;
    QString display, log, folder;

    QString xdo(const QStringList& args)
    {
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("DISPLAY", display);
        p.setProcessEnvironment(e);
        p.start("xdotool", args);
        p.waitForFinished(20000);
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }
    QString debugLog() const
    {
        QFile f(log);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    // The record button: right of the stop button on the bar in the main window.
    void clickRecord()
    {
        const QString id = xdo({"search", "--all", "--pid", QString::number(program.processId()),
                                "--name", "^Dialwise$"})
                               .section('\n', 0, 0);
        int x = 0, y = 0;
        for (const QString& l : xdo({"getwindowgeometry", "--shell", id}).split('\n')) {
            if (l.startsWith("X=")) x = l.mid(2).toInt();
            if (l.startsWith("Y=")) y = l.mid(2).toInt();
        }
        xdo({"mousemove", "--sync", QString::number(x + 337), QString::number(y + 156), "click",
             "1"});
    }
    QStringList files() const
    {
        return QDir(folder).entryList(QDir::Files, QDir::Name | QDir::IgnoreCase);
    }
    static double duration(const QString& file)
    {
        QProcess p;
        p.start("ffprobe",
                {"-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", file});
        p.waitForFinished(20000);
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed().toDouble();
    }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsSet("DW_KEEP_TMP")) tmp.setAutoRemove(false);
        for (const char* prog : {"Xvfb", "xdotool", "ffprobe"})
            if (dwtest::findProgram(prog).isEmpty())
                DW_PEER_MISSING(prog == QString("Xvfb")      ? "xvfb"
                                : prog == QString("ffprobe") ? "ffmpeg"
                                                             : prog,
                                QString(prog) + " is needed to drive the program");
        xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
        QByteArray out;
        while (xvfb.state() != QProcess::NotRunning && !out.contains('\n') &&
               xvfb.waitForReadyRead(20000))
            out += xvfb.readAllStandardOutput();
        QVERIFY2(out.contains('\n'), "Xvfb did not start");
        display = ":" + QString::fromLatin1(out).trimmed();
    }
    void cleanupTestCase()
    {
        for (QProcess* p : {&program, &caster, &xvfb})
            if (p->state() != QProcess::NotRunning) {
                ::kill(pid_t(p->processId()), SIGTERM);
                if (!p->waitForFinished(15000)) p->kill();
                p->waitForFinished(5000);
            }
    }

    void recordButtonSplitsAtTitles()
    {
        QFile titles(tmp.filePath("titles.txt"));
        QVERIFY(titles.open(QIODevice::WriteOnly));
        titles.write("3|Kestrel - Golden Hour\n3|Osprey - Night Drive\n3|Heron - Low Tide\n");
        titles.close();
        caster.start(DW_BINARY_DIR "/tools/caster/dialwise-caster",
                     {"--stream", "port=0,codec=pcm,source=tone:440,rate=22050,channels=1,titles=" +
                                      titles.fileName()});
        QVERIFY(caster.waitForReadyRead(20000));
        const QString line = QString::fromUtf8(caster.readLine()).trimmed();
        const QString port = line.section(':', -1).section('/', 0, 0);
        QVERIFY2(port.toInt() > 0, qPrintable(line));

        // The music folder is the desktop's own (XDG_MUSIC_DIR); recordings go to its
        // "Dialwise", made when recording starts.
        QDir(tmp.path()).mkpath("config");
        QFile dirs(tmp.filePath("config/user-dirs.dirs"));
        QVERIFY(dirs.open(QIODevice::WriteOnly));
        dirs.write("XDG_MUSIC_DIR=\"" + tmp.filePath("music").toUtf8() + "\"\n");
        dirs.close();
        folder = tmp.filePath("music/Dialwise");
        QDir(tmp.path()).mkpath("home");
        log = tmp.filePath("dw.log");
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.remove("QT_QPA_PLATFORM");
        e.insert("DISPLAY", display);
        e.insert("XDG_CONFIG_HOME", tmp.filePath("config"));
        e.insert("DIALWISE_HOME", tmp.filePath("home"));
        e.insert("DIALWISE_DEBUGLOG", log);
        e.insert("DIALWISE_DIALOGS", "auto");
        e.insert("DIALWISE_AUDIO_SINK", "null");
        e.insert("DIALWISE_NO_BROWSER", "1");
        e.insert("DIALWISE_LIST_HOST", "127.0.0.1:9");
        e.insert("DIALWISE_WEB_SITE", "http://127.0.0.1:9");
        program.setProcessEnvironment(e);
        program.start(DW_BINARY_DIR "/src/app/dialwise",
                      {"dialwise:fieldcount`4`action`ip`hostname`type`play`127.0.0.1:" + port +
                       "`Test Station`1"});
        QVERIFY(program.waitForStarted());

        // The button is usable once the stream's head is in: click until it records.
        QElapsedTimer t;
        t.start();
        while (!debugLog().contains("player_main: recording to") && t.elapsed() < 30000) {
            clickRecord();
            QTest::qWait(1000);
        }
        QVERIFY2(debugLog().contains("player_main: recording to " + folder),
                 qPrintable(debugLog()));

        // A song heard whole comes out under its own name, then the stop.
        auto whole = [&] {
            for (const QString& f : files())
                if (f.endsWith(".wav") && !f.contains("(partial)")) return f;
            return QString();
        };
        QTRY_VERIFY_WITH_TIMEOUT(!whole().isEmpty(), 15000);
        clickRecord();
        QTRY_VERIFY_WITH_TIMEOUT(!files().join('|').contains(".part"), 10000);

        const QStringList got = files();
        QVERIFY2(got.size() >= 3, qPrintable(got.join('|')));
        int partial = 0;
        for (const QString& f : got) {
            QVERIFY2(f.startsWith("Test Station - ") && f.endsWith(".wav"), qPrintable(f));
            const double d = duration(QDir(folder).filePath(f));
            if (f.contains(" (partial)")) {
                ++partial;
                QVERIFY2(d < 3.3, qPrintable(f + " " + QString::number(d)));
            } else {
                QVERIFY2(d > 2.7 && d < 3.3, qPrintable(f + " " + QString::number(d)));
            }
        }
        // The song playing at the click and the one the stop cut short.
        QCOMPARE(partial, 2);
        QVERIFY(program.state() == QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(TestRecordProgram)
#include "test_record_program.moc"
