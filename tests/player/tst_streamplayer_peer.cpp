// The stream player against dialwise-caster on loopback: a 440 Hz tone in each codec is
// heard (through the WAV sink, and through a PulseAudio null sink recorded from its
// monitor), the failure switches end as the player says, and a server that goes away is
// reported.
#include "playertest.h"
#include "streamplayer.h"
#include "streamrecorder.h"
#include "waveout.h"

#include <QTest>

using namespace platform;
using namespace playertest;

namespace {
void addCodecRows()
{
    QTest::addColumn<QString>("codec");
    for (const char* c : {"pcm", "ima", "msadpcm", "mp3"}) QTest::newRow(c) << QString(c);
}
} // namespace

class TstStreamPlayerPeer : public QObject
{
    Q_OBJECT
    dwtest::TempHome home_;

    // Plays `url` for about `seconds` of sound written to `wav`.
    bool play(const QString& url, const QString& wav, double seconds, Recorder& r)
    {
        TStreamPlayer p;
        r.attach(p);
        p.BufferKB = 16;
        p.Start(url, "Caster");
        QElapsedTimer t;
        t.start();
        const qint64 want = qint64(seconds * 44100 * 4) + 44;
        while (t.elapsed() < 30000 && r.stops == 0 && QFileInfo(wav).size() < want) QTest::qWait(50);
        r.boxVisible = false; // as the bar's stop does first
        p.Stop();
        return QFileInfo(wav).size() >= want;
    }

private slots:
    void initTestCase() { QVERIFY(QFile::exists(casterPath())); }
    void cleanup() { SetSinkFactory(nullptr); }

    void toneThroughWavSink_data() { addCodecRows(); }
    void toneThroughWavSink()
    {
        QFETCH(QString, codec);
        Caster caster;
        QVERIFY2(caster.start({"port=0,name=Tone,codec=" + codec + ",source=tone:440"}), qPrintable(caster.output()));
        const QString wav = home_.file(codec + ".wav");
        SetSinkFactory([wav] { return MakeWavSink(wav, false); });
        Recorder r;
        QVERIFY(play(caster.url(), wav, 2.0, r));
        QVERIFY2(r.messages.isEmpty(), qPrintable(r.messages.join('|')));
        QCOMPARE(r.songLines.value(0), QString("Dialwise Caster - Tone"));
        const ToneMeasure m = measureWav(wav);
        QVERIFY2(std::abs(m.Frequency - 440) < 8, qPrintable(QString::number(m.Frequency)));
        QVERIFY2(m.Rms > 3000, qPrintable(QString::number(m.Rms)));
    }

    void failureSwitches_data()
    {
        QTest::addColumn<QString>("fail");
        QTest::addColumn<QString>("message"); // empty: the tone plays
        QTest::newRow("401") << "401" << "This server is not currently broadcasting\r\n401 Service Unavailable";
        QTest::newRow("no tab") << "notab" << "Not a Windows Audio Server";
        QTest::newRow("no genre") << "nogenre" << "Not a Windows Audio Server";
        QTest::newRow("bad base64") << "badbase64" << "Not a Windows Audio Server";
        QTest::newRow("short block") << "shortblock" << "Not a Windows Audio Server";
        QTest::newRow("mid packet") << "midpacket" << "";
        QTest::newRow("negative length") << "neglength" << "";
        QTest::newRow("huge length") << "hugelength" << "";
    }
    void failureSwitches()
    {
        QFETCH(QString, fail);
        QFETCH(QString, message);
        Caster caster;
        QVERIFY(caster.start({"port=0,codec=pcm,source=tone:440,fail=" + fail}));
        const QString wav = home_.file(fail + ".wav");
        SetSinkFactory([wav] { return MakeWavSink(wav, false); });
        Recorder r;
        if (message.isEmpty()) {
            QVERIFY(play(caster.url(), wav, 1.0, r));
            QVERIFY(r.messages.isEmpty());
            const ToneMeasure m = measureWav(wav, 0);
            // Only whole samples from the first sync word on: no click of stray bytes.
            QVERIFY2(std::abs(m.Frequency - 440) < 8, qPrintable(QString::number(m.Frequency)));
        } else {
            TStreamPlayer p;
            r.attach(p);
            p.Start(caster.url(), "Caster");
            QTRY_COMPARE_WITH_TIMEOUT(r.stops, 1, 20000);
            QCOMPARE(r.messages, QStringList{message});
            QVERIFY(!p.DeviceOpen());
        }
    }

    void serverGoesAway()
    {
        Caster caster;
        QVERIFY(caster.start({"port=0,codec=mp3,source=tone:440"}));
        SetSinkFactory([] { return MakeNullSink(); });
        TStreamPlayer p;
        Recorder r;
        r.attach(p);
        p.BufferKB = 16;
        p.Start(caster.url(), "Caster");
        QTRY_VERIFY_WITH_TIMEOUT(p.Playing(), 20000);
        caster.stop();
        QTRY_COMPARE_WITH_TIMEOUT(r.stops, 1, 20000);
        QCOMPARE(r.messages, QStringList{"The audio server has disconnected, please try another"});
        QVERIFY(!p.DeviceOpen());
        // A stop by the user hides the box first: no message.
        Caster again;
        QVERIFY(again.start({"port=0,codec=mp3,source=tone:440"}));
        r.boxVisible = true;
        p.Start(again.url(), "Caster");
        QTRY_VERIFY_WITH_TIMEOUT(p.Playing(), 20000);
        r.boxVisible = false;
        p.Stop();
        QTest::qWait(200);
        QCOMPARE(r.messages.size(), 1);
    }

    // The real sound server: each codec's tone is heard on the null sink's monitor.
    void toneThroughPulseAudio_data() { addCodecRows(); }
    void toneThroughPulseAudio()
    {
        QFETCH(QString, codec);
        Pulse pulse;
        if (!pulse.start()) DW_PEER_MISSING("pulseaudio", "pulseaudio could not be started here");
        Caster caster;
        QVERIFY(caster.start({"port=0,codec=" + codec + ",source=tone:440"}));
        const QString rec = home_.file("pulse-" + codec + ".wav");
        QVERIFY(pulse.startRecording(rec));
        TStreamPlayer p;
        Recorder r;
        r.attach(p);
        p.BufferKB = 16;
        p.Start(caster.url(), "Caster");
        QTRY_VERIFY_WITH_TIMEOUT(p.Playing(), 20000);
        // Two seconds of sound recorded (the recorder writes in its own rhythm).
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(rec).size() > 2 * 176400, 30000);
        pulse.stopRecording();
        r.boxVisible = false;
        p.Stop();
        QVERIFY2(r.messages.isEmpty(), qPrintable(r.messages.join('|')));
        const ToneMeasure m = measureWav(rec, 0.5);
        QVERIFY2(m.Frames > 22050, qPrintable(QString::number(m.Frames)));
        QVERIFY2(std::abs(m.Frequency - 440) < 10, qPrintable(QString::number(m.Frequency)));
        QVERIFY2(m.Rms > 1000, qPrintable(QString::number(m.Rms)));
    }
};

QTEST_GUILESS_MAIN(TstStreamPlayerPeer)
#include "tst_streamplayer_peer.moc"
