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
    dwtest::Peer icecast, source;

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

    // A run of the program of its own: a config folder whose music folder (XDG_MUSIC_DIR)
    // holds the recordings' "Dialwise" (made when recording starts), a home, a debug log, no
    // list server or web site; `tag` keeps runs apart.
    bool setUpRun(const QString& tag)
    {
        const QString s = tag.isEmpty() ? QString() : "-" + tag;
        QDir(tmp.path()).mkpath("config" + s);
        QFile dirs(tmp.filePath("config" + s + "/user-dirs.dirs"));
        if (!dirs.open(QIODevice::WriteOnly)) return false;
        dirs.write("XDG_MUSIC_DIR=\"" + tmp.filePath("music" + s).toUtf8() + "\"\n");
        dirs.close();
        folder = tmp.filePath("music" + s + "/Dialwise");
        QDir(tmp.path()).mkpath("home" + s);
        log = tmp.filePath("dw" + s + ".log");
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.remove("QT_QPA_PLATFORM");
        e.insert("DISPLAY", display);
        e.insert("XDG_CONFIG_HOME", tmp.filePath("config" + s));
        e.insert("DIALWISE_HOME", tmp.filePath("home" + s));
        e.insert("DIALWISE_DEBUGLOG", log);
        e.insert("DIALWISE_DIALOGS", "auto");
        e.insert("DIALWISE_AUDIO_SINK", "null");
        e.insert("DIALWISE_NO_BROWSER", "1");
        e.insert("DIALWISE_LIST_HOST", "127.0.0.1:9");
        e.insert("DIALWISE_WEB_SITE", "http://127.0.0.1:9");
        program.setProcessEnvironment(e);
        return true;
    }
    quint16 icePort = 0;
    // Clicks the record button until the program says it records (the button is usable once
    // the stream's head is in), or the program is gone; a loaded machine running the
    // sanitizer build may take a while to start it.
    bool clickUntilRecording()
    {
        QElapsedTimer t;
        t.start();
        while (!debugLog().contains("player_main: recording to") && t.elapsed() < 60000 &&
               program.state() == QProcess::Running) {
            clickRecord();
            QTest::qWait(1000);
        }
        return debugLog().contains("player_main: recording to " + folder);
    }
    // Why the program did not record: the end of its log, whether it still runs, its errors.
    QByteArray whyNotRecording()
    {
        return (debugLog().right(3000) + "\nprogram " +
                (program.state() == QProcess::Running
                     ? QString("running")
                     : QString("ended with %1").arg(program.exitCode())) +
                "\n")
                   .toUtf8() +
               program.readAllStandardError().right(4000);
    }
    void stopProgram()
    {
        ::kill(pid_t(program.processId()), SIGTERM);
        if (!program.waitForFinished(15000)) program.kill();
        program.waitForFinished(5000);
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
        source.stop();
        icecast.stop();
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
        QVERIFY(setUpRun(QString()));
        program.start(DW_BINARY_DIR "/src/app/dialwise",
                      {"dialwise:fieldcount`4`action`ip`hostname`type`play`127.0.0.1:" + port +
                       "`Test Station`1"});
        QVERIFY(program.waitForStarted());

        QVERIFY2(clickUntilRecording(), whyNotRecording().constData());

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
        stopProgram();
    }

    // The same button with the built-in player (libmpv) on an Icecast station whose titles
    // change through Icecast's admin call: MP3 files split at the titles; and on a disk
    // that fills up (a small memory file system over the folder, in a mount namespace of
    // the program's own), recording stops with its message and keeps what was written.
    void builtinPlayerRecords_data()
    {
        QTest::addColumn<bool>("diskFull");
        QTest::newRow("titles split") << false;
        QTest::newRow("disk full") << true;
    }
    void builtinPlayerRecords()
    {
        QFETCH(bool, diskFull);
        if (program.state() != QProcess::NotRunning) stopProgram(); // left by a failed row
        for (const char* prog : {"icecast2", "ffmpeg", "curl"})
            if (dwtest::findProgram(prog).isEmpty())
                DW_PEER_MISSING(prog, QString(prog) + " is needed for the Icecast station");
        if (diskFull && QProcess::execute("unshare", {"-m", "true"}) != 0)
            QSKIP("no mount namespaces here");
        const QString tag = diskFull ? "full" : "split";
        if (icecast.pid() == 0) {
            // icecast2 drops to nobody, who must reach its folder.
            QFile::setPermissions(tmp.path(), QFile::permissions(tmp.path()) | QFile::ExeOther);
            const quint16 port = dwtest::freePort();
            const QString why = dwtest::startIcecast(
                icecast, tmp.filePath("icecast"), port, "pw-e2e", "source",
                "<limits><clients>10</clients><sources>2</sources><burst-size>65536</burst-size>"
                "</limits><hostname>localhost</hostname>");
            QVERIFY2(why.isEmpty(), qPrintable(why));
            QVERIFY(source.start(
                dwtest::findProgram("ffmpeg"),
                dwtest::icecastToneSource(port, "pw-e2e", "tone.mp3", "Ice Station", "Test")));
            icePort = port;
        }
        auto setTitle = [&](const QString& title) {
            return QProcess::execute(
                       "curl", {"-s", "-o", "/dev/null", "-m", "5", "-u", "source:pw-e2e", "-G",
                                "--data-urlencode", "mount=/tone.mp3", "--data-urlencode",
                                "mode=updinfo", "--data-urlencode", "song=" + title,
                                QString("http://127.0.0.1:%1/admin/metadata").arg(icePort)}) == 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(setTitle("Ice Artist - One"), 20000);

        QVERIFY(setUpRun(tag));
        QVERIFY(QDir().mkpath(folder));
        const QString link = QString("dialwise:fieldcount`4`action`ip`hostname`type`play`"
                                     "http://127.0.0.1:%1/tone.mp3`Ice Station`0")
                                 .arg(icePort);
        const QString dialwise = DW_BINARY_DIR "/src/app/dialwise";
        if (diskFull)
            // The program itself (unshare execs it) with a 400 kB folder to record into.
            program.start("unshare", {"-m", "sh", "-c",
                                      "mount -t tmpfs -o size=400k tmpfs \"$0\" && exec \"$1\" "
                                      "\"$2\"",
                                      folder, dialwise, link});
        else
            program.start(dialwise, {link});
        QVERIFY(program.waitForStarted());

        QVERIFY2(clickUntilRecording(), whyNotRecording().constData());
        if (diskFull) {
            // The first write of the song in progress leaves less than the reserve.
            QTRY_VERIFY_WITH_TIMEOUT(debugLog().contains("The disk is full: recording stopped"),
                                     40000);
            // The small file system is seen from inside the program's namespace only.
            QVERIFY2(debugLog().contains("Recording to " + folder + "/.part/"),
                     qPrintable(debugLog()));
            folder = QString("/proc/%1/root%2").arg(program.processId()).arg(folder);
            QTRY_VERIFY_WITH_TIMEOUT(files().size() == 1, 10000);
            const QString f = files().value(0);
            QVERIFY2(f.startsWith("Ice Station") && f.endsWith(" (partial).mp3"), qPrintable(f));
            QVERIFY(duration(QDir(folder).filePath(f)) > 5);
            QVERIFY(program.state() == QProcess::Running);
            stopProgram();
            return;
        }
        QTest::qWait(2000);
        QVERIFY(setTitle("Ice Artist - Two"));
        QTest::qWait(6000);
        QVERIFY(setTitle("Ice Artist - Three"));
        QTest::qWait(3000);
        clickRecord();
        // The song at the click (its title may not have come yet) and the one the stop cut
        // short are partial; the one between is whole.
        const QString prefix = "Ice Station - Ice Artist - ";
        QTRY_VERIFY_WITH_TIMEOUT(files().contains(prefix + "Three (partial).mp3"), 15000);
        const QStringList got = files();
        QVERIFY2(got.contains(prefix + "Two.mp3"), qPrintable(got.join('|')));
        for (const QString& f : got)
            QVERIFY2(f.startsWith("Ice Station") && f.endsWith(".mp3") &&
                         (f == prefix + "Two.mp3" || f.contains(" (partial)")),
                     qPrintable(f));
        const double two = duration(QDir(folder).filePath(prefix + "Two.mp3"));
        // Six seconds, and what the next title took to reach the player (more when the
        // program is instrumented).
        QVERIFY2(two > 4.5 && two < 14, qPrintable(QString::number(two)));
        QVERIFY(duration(QDir(folder).filePath(prefix + "Three (partial).mp3")) > 1);
        QVERIFY(program.state() == QProcess::Running);
        stopProgram();
    }
};

QTEST_GUILESS_MAIN(TestRecordProgram)
#include "test_record_program.moc"
