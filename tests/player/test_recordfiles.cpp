// The recording's files: names from hostile titles, a split at each title with the first
// song marked partial, a stop keeping the song cut short, and a full disk (a file size
// limit on this process) ending the recording with what was written kept.
#include "recordfiles.h"
#include "waveout.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

class TestRecordFiles : public QObject
{
    Q_OBJECT
    static QStringList files(const QString& dir)
    {
        return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

private slots:
    void safeNames_data()
    {
        QTest::addColumn<QString>("station");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << "Tone FM"
                               << "Artist - Song"
                               << "Tone FM - Artist - Song";
        QTest::newRow("folders") << "../../etc"
                                 << "a/b\\c"
                                 << "_._.._etc - a_b_c";
        QTest::newRow("hidden") << ""
                                << ".bashrc"
                                << "_bashrc";
        QTest::newRow("controls") << "A\nB"
                                  << "C\x01:D"
                                  << "A_B - C__D";
        QTest::newRow("nothing") << ""
                                 << ""
                                 << "Recording";
    }
    void safeNames()
    {
        QFETCH(QString, station);
        QFETCH(QString, title);
        QFETCH(QString, name);
        QCOMPARE(TRecordFiles::SafeName(station, title), name);
        QVERIFY(TRecordFiles::SafeName("S", QString(500, QChar(0x00e9))).toUtf8().size() <= 200);
    }

    void splitAndStop()
    {
        QTemporaryDir tmp;
        const QString dir = tmp.filePath("rec");
        TRecordFiles rec(dir);
        QVERIFY(rec.Begin("Tone FM", "One", "mp3", false));
        QVERIFY(rec.CurrentPart().endsWith("Tone FM - One.mp3.part"));
        QVERIFY(rec.Write("aaaa", 4));
        QVERIFY(rec.Begin("Tone FM", "Two", "mp3", true));
        QVERIFY(rec.Write("bbbbbb", 6));
        QVERIFY(rec.Begin("Tone FM", "Three", "mp3", true));
        QVERIFY(rec.Write("cc", 2));
        // An existing song of the same name is not written over.
        QVERIFY(rec.Begin("Tone FM", "Two", "mp3", true));
        QVERIFY(rec.Write("dd", 2));
        QVERIFY(rec.Begin("Tone FM", "Silent", "mp3", true)); // nothing comes: no file
        rec.Finish();
        QVERIFY(!rec.Recording());
        QCOMPARE(files(dir), QStringList({"Tone FM - One (partial).mp3", "Tone FM - Three.mp3",
                                          "Tone FM - Two (2).mp3", "Tone FM - Two.mp3"}));
        QCOMPARE(QFileInfo(dir + "/Tone FM - Two.mp3").size(), 6);

        // A stop cuts the song short: kept, marked; a hostile extension is not taken.
        TRecordFiles cut(dir);
        QVERIFY(cut.Begin("Tone FM", "Four", "../sh", true));
        QVERIFY(cut.Write("eeee", 4));
        cut.Finish();
        QVERIFY(files(dir).contains("Tone FM - Four (partial).bin"));
        // The part of a program that was killed stays, and a new one goes beside it.
        QFile left(dir + "/Tone FM - Five.mp3.part");
        QVERIFY(left.open(QIODevice::WriteOnly));
        left.close();
        {
            TRecordFiles again(dir);
            QVERIFY(again.Begin("Tone FM", "Five", "mp3", true));
            QVERIFY(again.CurrentPart().endsWith("Tone FM - Five (2).mp3.part"));
            QVERIFY(again.Write("f", 1));
        } // a quit keeps it too
        QVERIFY(files(dir).contains("Tone FM - Five (partial).mp3"));
    }

    // The own stream kind's bare audio is kept as WAV files that a player reads: each
    // song as long as what was heard of it, the last one cut short by the stop.
    void waveFilesPlay()
    {
        const QString ffprobe = QStandardPaths::findExecutable("ffprobe");
        if (ffprobe.isEmpty()) {
            if (qEnvironmentVariableIsSet("CI")) QFAIL("ffprobe is not installed");
            QSKIP("ffprobe is not installed");
        }
        platform::TWaveFormat f;
        f.FormatTag = 1;
        f.Channels = 2;
        f.SamplesPerSec = 44100;
        f.AvgBytesPerSec = 176400;
        f.BlockAlign = 4;
        f.BitsPerSample = 16;
        QTemporaryDir tmp;
        TRecordFiles rec(tmp.path());
        rec.SetWaveFormat(platform::MakeWaveFormat(f));
        const QByteArray second(176400, '\x10');
        QVERIFY(rec.Begin("Wave FM", "First", "wav", true));
        QVERIFY(rec.Write(second.constData(), second.size()));
        QVERIFY(rec.Write(second.constData(), second.size()));
        QVERIFY(rec.Begin("Wave FM", "Second", "wav", true));
        QVERIFY(rec.Write(second.constData(), second.size() / 2));
        rec.Finish();
        QCOMPARE(rec.Done().size(), 2);
        const double want[] = {2.0, 0.5};
        for (int i = 0; i < 2; ++i) {
            QProcess probe;
            probe.start(ffprobe,
                        {"-v", "error", "-show_entries", "format=duration:stream=codec_name", "-of",
                         "default=nw=1", rec.Done()[i]});
            QVERIFY(probe.waitForFinished(20000));
            const QString out = probe.readAllStandardOutput();
            QVERIFY2(out.contains("codec_name=pcm_s16le"), qPrintable(out));
            const double d = out.section("duration=", 1).section('\n', 0, 0).toDouble();
            QVERIFY2(std::abs(d - want[i]) < 0.01, qPrintable(rec.Done()[i] + ": " + out));
        }
        QVERIFY(rec.Done()[1].endsWith("Wave FM - Second (partial).wav"));
    }

    // The disk fills: the write fails, the recording ends with the message and the file
    // keeps every byte written before. A file size limit on this process stands in for a
    // full disk (its signal ignored, so the write fails as on a full disk); it is lifted
    // at once.
    void diskFull()
    {
        QTemporaryDir tmp;
        TRecordFiles rec(tmp.path());
        QVERIFY(rec.Begin("Tone FM", "Big", "mp3", true));
        const QByteArray block(4096, 'x');
        rlimit old{};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &old) == 0);
        auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = old;
        small.rlim_cur = 10000;
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        int written = 0;
        bool ok = true;
        for (int i = 0; i < 10 && ok; ++i)
            if ((ok = rec.Write(block.constData(), block.size()))) ++written;
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(!ok);
        QCOMPARE(written, 2);
        QCOMPARE(rec.Error(), QString("The disk is full: recording stopped"));
        QVERIFY(!rec.Recording());
        QVERIFY(!rec.Write("more", 4));
        QCOMPARE(rec.Done().size(), 1);
        QVERIFY(rec.Done().first().endsWith("Tone FM - Big (partial).mp3"));
        QCOMPARE(QFileInfo(rec.Done().first()).size(), 10000);
    }
};

QTEST_GUILESS_MAIN(TestRecordFiles)
#include "test_recordfiles.moc"
