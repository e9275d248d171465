// A real external player started by the program: mpv (with its MPRIS plug-in) in a player
// folder, on a private session bus, playing an Icecast station on loopback into a
// PulseAudio null sink. The program finds it by its process id, shows its position and
// its title, pauses and resumes it, and shuts it down on stop.
#include "config.h"
#include "customserver.h"
#include "dialogs.h"
#include "launching.h"
#include "launchrig.h"
#include "playertest.h"

#include <QToolButton>

#include <csignal>

using namespace dwtest;
using namespace playertest;

namespace {
// True while the process runs (a zombie waiting for its parent counts as ended).
bool running(qint64 pid)
{
    QFile f(QString("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return false;
    const QByteArray stat = f.readAll();
    const qsizetype close = stat.lastIndexOf(')');
    return close > 0 && close + 2 < stat.size() && stat[close + 2] != 'Z' && stat[close + 2] != 'X';
}

QStringList commandLine(qint64 pid)
{
    QFile f(QString("/proc/%1/cmdline").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return {};
    QStringList args;
    for (const QByteArray& a : f.readAll().split('\0'))
        if (!a.isEmpty()) args << QString::fromLocal8Bit(a);
    return args;
}
} // namespace

class TestExternalPeer : public QObject
{
    Q_OBJECT
    TempHome home_;
    QTemporaryDir playerDir_, configDir_;
    SessionBus bus_;
    Icecast ice_;
    std::unique_ptr<TConfig> config_;
    QStringList messages_;
    qint64 playerPid_ = 0;

    static QString run(const QString& program, const QStringList& args)
    {
        return runWithLoop(program, args);
    }

private slots:
    void initTestCase()
    {
        if (findProgram("mpv").isEmpty() || !QFile::exists("/etc/mpv/scripts/mpris.so"))
            DW_PEER_MISSING("mpv mpv-mpris", "mpv with its MPRIS plug-in is not installed");
        QVERIFY(bus_.start());
        const QString why = ice_.start();
        QVERIFY2(why.isEmpty(), qPrintable(why));
        QVERIFY(ice_.setTitle("First Artist - First Song"));
        // The player folder holds the player; its settings come from a folder of the test.
        QVERIFY(QFile::link(findProgram("mpv"), playerDir_.filePath("mpv")));
        qputenv("XDG_CONFIG_HOME", configDir_.path().toLocal8Bit());
        qunsetenv("MPV_HOME");
        QDir().mkpath(configDir_.filePath("mpv"));
        writeFile(configDir_.filePath("mpv/mpv.conf"),
                  "# the user's own\nshuffle=yes\nterminal=no\n");
        config_ = std::make_unique<TConfig>();
        config_->SetText("program_dir", playerDir_.path());
        platform::SetDialogScript([this](const platform::DialogRequest& r) {
            messages_ << r.text;
            return platform::DialogAnswer{platform::mrOk, {}};
        });
    }
    void cleanupTestCase()
    {
        platform::SetDialogScript(nullptr);
        // A player a failed check left behind.
        if (playerPid_ > 0 && running(playerPid_)) ::kill(pid_t(playerPid_), SIGKILL);
        config_.reset();
        qunsetenv("XDG_CONFIG_HOME");
        ice_.stop();
        bus_.stop();
    }

    void playPauseTitleQuit()
    {
        Pulse pulse;
        if (!pulse.start()) DW_PEER_MISSING("pulseaudio", "pulseaudio could not be started here");
        LaunchRig rig;
        Tplayer_form& bar = rig.bar;
        TSCServer station("127.0.0.1", QString::number(ice_.port()) + "/tone.mp3");
        station.Name = "Tone Station";
        station.PlayerKind = 5; // the external kind
        rig.launcher.LaunchStation(&station);
        QCOMPARE(bar.PlayerKind, 0);
        auto* ext = dynamic_cast<TExternalPlayer*>(bar.OtherPlayers[0].get());
        QVERIFY(ext && ext->Launched());
        playerPid_ = ext->Pid();

        // Started with the playlist as its only argument, after its settings were edited.
        QCOMPARE(commandLine(playerPid_),
                 (QStringList{playerDir_.filePath("mpv"), TLauncher::PlaylistPath()}));
        QFile conf(configDir_.filePath("mpv/mpv.conf"));
        QVERIFY(conf.open(QIODevice::ReadOnly));
        QCOMPARE(conf.readAll(),
                 QByteArray("# the user's own\nshuffle=no\nterminal=no\nstream-buffer-size=" +
                            QByteArray::number(Config()->StreamBufferKB() * 2) + "KiB\n"));

        // Found on the bus by its process id; its position counts and its title shows.
        QTRY_VERIFY_WITH_TIMEOUT(ext->ServiceName().startsWith("org.mpris.MediaPlayer2.mpv"),
                                 20000);
        QTRY_VERIFY_WITH_TIMEOUT(bar.playpause_butt->isEnabled(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(bar.SongTitle(), QString("First Artist - First Song"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(bar.digits->value() != " 0:00", 10000);

        // Heard on the sink's monitor.
        const ToneMeasure heard = pulse.record(home_.file("external.wav"), 2 * 176400, 0.5);
        QVERIFY2(std::abs(heard.Frequency - 440) < 10,
                 qPrintable(QString::number(heard.Frequency)));
        QVERIFY2(heard.Rms > 1000, qPrintable(QString::number(heard.Rms)));

        // Paused from the bar: the player says so, and it is silent; then it plays again.
        const QString service = ext->ServiceName().mid(QString("org.mpris.MediaPlayer2.").size());
        bar.playpause_butt->click();
        QVERIFY(bar.playpause_butt->isChecked());
        QTRY_COMPARE_WITH_TIMEOUT(run("playerctl", {"-p", service, "status"}), QString("Paused"),
                                  10000);
        QTest::qWait(700);
        const double quiet = pulse.record(home_.file("paused.wav"), 176400, 0.3).Rms;
        QVERIFY2(quiet < 100, qPrintable(QString::number(quiet)));
        bar.playpause_butt->click();
        QTRY_COMPARE_WITH_TIMEOUT(run("playerctl", {"-p", service, "status"}), QString("Playing"),
                                  10000);

        // A new title on the station reaches the song line through the player.
        QVERIFY(ice_.setTitle("Second Artist - Second Song"));
        QTRY_COMPARE_WITH_TIMEOUT(bar.SongTitle(), QString("Second Artist - Second Song"), 30000);

        // Stop asks it to quit and it goes by itself: had it been ended after the grace
        // time, the warning box would have come.
        bar.stop_butt->click();
        QVERIFY(!rig.box->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!running(playerPid_), 30000);
        QTest::qWait(5500); // past the grace time
        QVERIFY2(messages_.isEmpty(), qPrintable(messages_.join('|')));
    }

    // A player that quits by itself stops the bar. Only a player of the player folder
    // has its settings edited; one named by its full path keeps the user's own.
    void playerQuits_data()
    {
        QTest::addColumn<bool>("byFolder");
        QTest::newRow("from the player folder") << true;
        QTest::newRow("full program path") << false;
    }
    void playerQuits()
    {
        QFETCH(bool, byFolder);
        qputenv("DIALWISE_AUDIO_SINK", "null");
        const QByteArray own = "# the user's own\nshuffle=yes\nterminal=no\nao=null\n";
        writeFile(configDir_.filePath("mpv/mpv.conf"), own);
        config_->SetText("program_dir", byFolder ? playerDir_.path() : playerDir_.filePath("mpv"));
        LaunchRig rig;
        Tplayer_form& bar = rig.bar;
        TSCServer station("127.0.0.1", QString::number(ice_.port()) + "/tone.mp3");
        station.Name = "Tone Station";
        station.PlayerKind = 5;
        rig.launcher.LaunchStation(&station);
        auto* ext = dynamic_cast<TExternalPlayer*>(bar.OtherPlayers[0].get());
        QVERIFY(ext && ext->Launched());
        playerPid_ = ext->Pid();
        QFile conf(configDir_.filePath("mpv/mpv.conf"));
        QVERIFY(conf.open(QIODevice::ReadOnly));
        QCOMPARE(conf.readAll() == own, !byFolder);
        if (byFolder) QTRY_VERIFY_WITH_TIMEOUT(!ext->ServiceName().isEmpty(), 20000);
        QTest::qWait(1000);
        QVERIFY(rig.box->isVisible());
        ::kill(pid_t(playerPid_), SIGTERM);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.box->isVisible(), 10000);
        QVERIFY(!bar.timetimer->isActive());
        config_->SetText("program_dir", playerDir_.path());
        qunsetenv("DIALWISE_AUDIO_SINK");
        messages_.clear();
    }
};

QTEST_MAIN(TestExternalPeer)
#include "test_external_peer.moc"
