// The built-in player (and the embedded engine under it) against an Icecast stream on
// loopback into a PulseAudio null sink: the tone is heard, a title change reaches the song
// line, pause silences it; playerctl drives the bar's own MPRIS2 player on a private bus.
#include "config.h"
#include "customserver.h"
#include "dialogs.h"
#include "launching.h"
#include "mpvengine.h"
#include "mprisservice.h"
#include "playertest.h"

#include <QFrame>
#include <QProcess>
#include <QVBoxLayout>

using namespace dwtest;
using namespace playertest;

class TstBuiltinPeer : public QObject
{
    Q_OBJECT
    TempHome home_;
    SessionBus bus_;
    Icecast ice_;
    std::unique_ptr<TConfig> config_;
    QStringList messages_;

    static QString run(const QString& program, const QStringList& args) { return runWithLoop(program, args); }

private slots:
    void initTestCase()
    {
        if (findProgram("icecast2").isEmpty() || findProgram("ffmpeg").isEmpty()) QSKIP("icecast2 or ffmpeg missing");
        QVERIFY(bus_.start());
        const QString why = ice_.start();
        QVERIFY2(why.isEmpty(), qPrintable(why));
        QVERIFY(ice_.setTitle("First Artist - First Song"));
        config_ = std::make_unique<TConfig>();
        config_->SetText("program_dir", ""); // the built-in player
        platform::SetDialogScript([this](const platform::DialogRequest& r) {
            messages_ << r.text;
            return platform::DialogAnswer{platform::mrOk, {}};
        });
    }
    void cleanupTestCase()
    {
        platform::SetDialogScript(nullptr);
        config_.reset();
        ice_.stop();
        bus_.stop();
    }

    void builtinPlayerHeard()
    {
        Pulse pulse;
        if (!pulse.start()) QSKIP("pulseaudio could not be started here");
        QWidget main;
        auto* box = new QFrame(&main);
        (new QVBoxLayout(&main))->addWidget(box);
        main.show();
        Tplayer_form bar;
        bar.Host.PlayerBox = box;
        bar.DockInto(box);
        TMprisService mpris(&bar);
        QVERIFY(mpris.Registered());
        TLauncher launcher(bar);
        launcher.ShowPlayerBox = [box] { box->show(); };
        TSCServer station("127.0.0.1", QString::number(ice_.port()) + "/tone.mp3");
        station.StreamURL = ice_.url();
        station.Name = ""; // the stream names the station
        station.PlayerKind = 0;
        launcher.LaunchStation(&station);
        QCOMPARE(bar.PlayerKind, 0);
        auto* player = dynamic_cast<TMpvPlayer*>(bar.OtherPlayers[0].get());
        QVERIFY(player && player->Engine());
        QTRY_COMPARE_WITH_TIMEOUT(player->Engine()->PlayState(), TMpvEngine::psPlaying, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(bar.FirstLine(), QString("Tone Station"), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(bar.SongTitle(), QString("First Artist - First Song"), 10000);

        // Heard on the sink's monitor.
        const QString rec = home_.file("builtin.wav");
        QVERIFY(pulse.startRecording(rec));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(rec).size() > 2 * 176400, 30000);
        pulse.stopRecording();
        const ToneMeasure heard = measureWav(rec, 0.5);
        QVERIFY2(std::abs(heard.Frequency - 440) < 10, qPrintable(QString::number(heard.Frequency)));
        QVERIFY2(heard.Rms > 1000, qPrintable(QString::number(heard.Rms)));

        // A new title reaches the song line.
        QVERIFY(ice_.setTitle("Second Artist - Second Song"));
        QTRY_COMPARE_WITH_TIMEOUT(bar.SongTitle(), QString("Second Artist - Second Song"), 30000);

        // playerctl drives the bar: pause silences it, play brings it back.
        QTRY_COMPARE_WITH_TIMEOUT(run("playerctl", {"-p", "dialwise", "status"}), QString("Playing"), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(run("playerctl", {"-p", "dialwise", "metadata", "xesam:title"}).contains("Second Song"), 10000);
        run("playerctl", {"-p", "dialwise", "pause"});
        QTRY_COMPARE_WITH_TIMEOUT(player->Engine()->PlayState(), TMpvEngine::psPaused, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(run("playerctl", {"-p", "dialwise", "status"}), QString("Paused"), 10000);
        QTest::qWait(700);
        const QString quiet = home_.file("paused.wav");
        QVERIFY(pulse.startRecording(quiet));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(quiet).size() > 176400, 30000);
        pulse.stopRecording();
        QVERIFY2(measureWav(quiet, 0.3).Rms < 100, qPrintable(QString::number(measureWav(quiet, 0.3).Rms)));
        run("playerctl", {"-p", "dialwise", "play"});
        QTRY_COMPARE_WITH_TIMEOUT(player->Engine()->PlayState(), TMpvEngine::psPlaying, 10000);
        run("playerctl", {"-p", "dialwise", "stop"});
        QTRY_VERIFY_WITH_TIMEOUT(!box->isVisible(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(player->Engine()->PlayState(), TMpvEngine::psStopped, 10000);
        QVERIFY2(messages_.isEmpty(), qPrintable(messages_.join('|')));
    }
};

QTEST_MAIN(TstBuiltinPeer)
#include "tst_builtin_peer.moc"
