// Launching a station: the player kind from the type, the bit rate question, the recent
// stations' playlist, and a player program given by its full path.
#include "config.h"
#include "customserver.h"
#include "dialogs.h"
#include "launching.h"
#include "platform.h"
#include "playersettings.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFrame>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>

using namespace platform;

namespace {
QStringList g_launched;
void record(const QString& what, const QStringList& args)
{
    g_launched << what + " " + args.join(' ');
}

std::unique_ptr<TSCServer> station(const QString& address, const QString& port, int type,
                                   int bitrate = 32)
{
    auto s = std::make_unique<TSCServer>(address, port);
    s->Name = "Station " + port;
    s->PlayerKind = quint8(type);
    s->Bitrate = bitrate;
    return s;
}
} // namespace

class TestLaunching : public QObject
{
    Q_OBJECT
    dwtest::TempHome home_;
    std::unique_ptr<TConfig> config_;
    QStringList asked_;
    int answer_ = mrOk;

private slots:
    void initTestCase()
    {
        config_ = std::make_unique<TConfig>();
        SetLaunchRecorder(record);
        SetDialogScript([this](const DialogRequest& r) {
            asked_ << r.text;
            return DialogAnswer{answer_, {}};
        });
    }
    void cleanupTestCase()
    {
        SetDialogScript(nullptr);
        SetLaunchRecorder(nullptr);
        config_.reset();
    }
    void init()
    {
        asked_.clear();
        g_launched.clear();
        answer_ = mrOk;
    }

    // The built-in player's time display: libmpv's position may be below 0 (seen as
    // "-0:01"); it is shown as 0:00, and whole seconds are rounded.
    void builtInTimeNeverNegative()
    {
        const std::pair<double, qint64> cases[] = {{-1.6, 0}, {-0.4, 0}, {0.0, 0},
                                                   {0.49, 0}, {0.5, 1},  {75.2, 75}};
        for (const auto& [position, seconds] : cases) {
            QCOMPARE(TMpvPlayer::DisplaySeconds(position), seconds);
            QVERIFY(!Tplayer_form::TimeText(TMpvPlayer::DisplaySeconds(position)).contains('-'));
        }
    }

    void kindFromType_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("kind");
        QTest::newRow("own stream") << 1 << 1;
        QTest::newRow("embedded 2") << 2 << 2;
        QTest::newRow("embedded 3") << 3 << 3;
        QTest::newRow("type 5 is the external kind") << 5 << 0;
        QTest::newRow("type 0") << 0 << 0;
    }
    void kindFromType()
    {
        QFETCH(int, type);
        QFETCH(int, kind);
        QFrame box;
        Tplayer_form bar;
        bar.Host.PlayerBox = &box;
        TLauncher l(bar);
        // Nothing answers on this address: the launch only has to pick the player.
        auto s = station("127.0.0.1", "1", type);
        SetLibraryOverride("libmpv.so.2", false, {}); // no engine: nothing is played
        answer_ = mrNo;
        l.LaunchStation(s.get());
        ClearLibraryOverrides();
        QCOMPARE(bar.PlayerKind, kind);
        bar.stop_butt->click();
    }

    // With the "56k Modem " connection a 64 kbit/s station asks; Cancel starts nothing.
    void bitrateQuestion()
    {
        config_->SetItemIndex("speedbox", 2);
        config_->SetText("program_dir", "/bin/true");
        QFrame box;
        Tplayer_form bar;
        bar.Host.PlayerBox = &box;
        TLauncher l(bar);
        auto s = station("127.0.0.2", "8000", 0, 64);
        answer_ = mrCancel;
        l.LaunchStation(s.get());
        QCOMPARE(asked_.size(), 1);
        QVERIFY(asked_.first().startsWith(
            "The audio quality (bitrate) for the server you have selected is too high"));
        QVERIFY(g_launched.isEmpty());
        QVERIFY(l.Recent.IsEmpty());
        // 48 is allowed without asking.
        auto ok = station("127.0.0.2", "8001", 0, 48);
        l.LaunchStation(ok.get());
        QCOMPARE(asked_.size(), 1);
        QCOMPARE(g_launched.size(), 1);
        config_->SetItemIndex("speedbox", 6);
        config_->SetText("program_dir", "");
        bar.stop_butt->click();
    }

    // Three stations: three entries, the latest first; the program gets the playlist only.
    void playlistLatestFirst()
    {
        config_->SetText("program_dir", "/bin/true");
        QFrame box;
        Tplayer_form bar;
        bar.Host.PlayerBox = &box;
        TLauncher l(bar);
        auto a = station("127.0.0.3", "8000", 0), b = station("127.0.0.4", "8002", 5),
             c = station("127.0.0.5", "8004", 0);
        for (TSCServer* s : {a.get(), b.get(), c.get(), b.get()})
            l.LaunchStation(s);
        QFile f(TLauncher::PlaylistPath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(f.readAll()), QString("[playlist]\nNumberOfEntries=3\n"
                                                         "File1=http://127.0.0.4:8002/\n"
                                                         "File2=http://127.0.0.5:8004/\n"
                                                         "File3=http://127.0.0.3:8000/\n"));
        QCOMPARE(g_launched.last(), "/bin/true " + TLauncher::PlaylistPath());
        // A full program path is not searched for or controlled: play/pause stops the bar.
        box.show();
        bar.playpause_butt->setEnabled(true);
        bar.playpause_butt->click();
        QVERIFY(!box.isVisible());
        config_->SetText("program_dir", "");
    }

    // Streams an external player cannot take from the playlist (https, playlist
    // addresses) play in the built-in player and stay out of the playlist; a plain one
    // still goes to the program.
    void builtInOnlyStreams()
    {
        config_->SetText("program_dir", "/bin/true");
        QFrame box;
        Tplayer_form bar;
        bar.Host.PlayerBox = &box;
        TLauncher l(bar);
        const QStringList urls = {"https://127.0.0.7/live", "http://127.0.0.7:8000/list.pls",
                                  "HTTP://127.0.0.7:8000/a.M3U8?x=1", "http://127.0.0.7/b.m3u"};
        for (const QString& url : urls) {
            auto s = station("127.0.0.7", "8000/x", 0);
            s->StreamURL = url;
            QVERIFY2(s->BuiltInOnly(), qPrintable(url));
            l.LaunchStation(s.get());
            QVERIFY2(dynamic_cast<TMpvPlayer*>(bar.OtherPlayers[0].get()), qPrintable(url));
        }
        QVERIFY(g_launched.isEmpty());
        QVERIFY(l.Recent.Stations().isEmpty());
        auto plain = station("127.0.0.8", "8000", 0);
        plain->StreamURL = "http://127.0.0.8:8000/stream.mp3";
        QVERIFY(!plain->BuiltInOnly());
        l.LaunchStation(plain.get());
        QCOMPARE(g_launched.size(), 1);
        QCOMPARE(l.Recent.Stations(), QStringList{"127.0.0.8:8000"});
        bar.stop_butt->click();
        config_->SetText("program_dir", "");
    }

    // A missing program: the error box, nothing started (not the built-in player that
    // played the station before either).
    void missingProgram()
    {
        QFrame box;
        Tplayer_form bar;
        bar.Host.PlayerBox = &box;
        TLauncher l(bar);
        auto s = station("127.0.0.6", "8000", 0);
        config_->SetText("program_dir", "");
        l.LaunchStation(s.get());
        QVERIFY(dynamic_cast<TMpvPlayer*>(bar.OtherPlayers[0].get()));
        config_->SetText("program_dir", "/nonexistent/player");
        l.LaunchStation(s.get());
        QVERIFY(!bar.OtherPlayers.count(0));
        QCOMPARE(asked_, QStringList{"The file to launch (/nonexistent/player) does not exist, "
                                     "check your configuration"});
        QVERIFY(g_launched.isEmpty());
        config_->SetText("program_dir", "");
    }

    // Without libmpv the embedded kinds offer the download; the box stays hidden.
    void embeddedWithoutEngine_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("question");
        QTest::newRow("2") << 2
                           << "Could not find the Realaudio player.  You might not have the latest "
                              "release.\r\nDownload the player now?";
        QTest::newRow("3") << 3
                           << "Could not find the WindowsMedia player.  You might not have the "
                              "latest release.\r\nDownload the player now?";
    }
    void embeddedWithoutEngine()
    {
        QFETCH(int, type);
        QFETCH(QString, question);
        QWidget main;
        auto* box = new QFrame(&main);
        (new QVBoxLayout(&main))->addWidget(box);
        main.show();
        Tplayer_form bar;
        bar.Host.PlayerBox = box;
        TLauncher l(bar);
        l.ShowPlayerBox = [box] { box->show(); };
        SetLibraryOverride("libmpv.so.2", false, {});
        answer_ = mrNo;
        auto s = station("127.0.0.7", "8000", type);
        l.LaunchStation(s.get());
        ClearLibraryOverrides();
        QCOMPARE(asked_, QStringList{question});
        QVERIFY(!l.ShowBox);
        QVERIFY(!box->isVisible());
    }

    // The players' settings files: the key is set where the player reads it, everything
    // else stays as it was.
    void settingsEdit_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("section");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("empty file") << QByteArray() << QByteArray() << QByteArray("shuffle=no\n");
        QTest::newRow("replaced, comments kept")
            << QByteArray("# mine\nvolume=50\nshuffle=yes\n") << QByteArray()
            << QByteArray("# mine\nvolume=50\nshuffle=no\n");
        QTest::newRow("option with dashes")
            << QByteArray("--shuffle=yes\n") << QByteArray() << QByteArray("shuffle=no\n");
        QTest::newRow("commented out is not the key")
            << QByteArray("#shuffle=yes\n") << QByteArray()
            << QByteArray("#shuffle=yes\nshuffle=no\n");
        QTest::newRow("before the first profile, which keeps its own")
            << QByteArray("volume=50\n\n[loud]\nshuffle=yes\n") << QByteArray()
            << QByteArray("volume=50\nshuffle=no\n\n[loud]\nshuffle=yes\n");
        QTest::newRow("only a profile") << QByteArray("[loud]\nvolume=90\n") << QByteArray()
                                        << QByteArray("shuffle=no\n[loud]\nvolume=90\n");
        QTest::newRow("in its section")
            << QByteArray("[audacious]\nrepeat=TRUE\nshuffle=yes\n\n[pulse]\nshuffle=yes\n")
            << QByteArray("audacious")
            << QByteArray("[audacious]\nrepeat=TRUE\nshuffle=no\n\n[pulse]\nshuffle=yes\n");
        QTest::newRow("added to its section")
            << QByteArray("[audacious]\nrepeat=TRUE\n\n[pulse]\nx=1\n") << QByteArray("audacious")
            << QByteArray("[audacious]\nrepeat=TRUE\nshuffle=no\n\n[pulse]\nx=1\n");
        QTest::newRow("section added") << QByteArray("[pulse]\nx=1") << QByteArray("audacious")
                                       << QByteArray("[pulse]\nx=1\n\n[audacious]\nshuffle=no\n");
        QTest::newRow("CR LF lines") << QByteArray("shuffle=yes\r\nvolume=5\r\n") << QByteArray()
                                     << QByteArray("shuffle=no\r\nvolume=5\r\n");
    }
    void settingsEdit()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, section);
        QFETCH(QByteArray, after);
        QCOMPARE(playersettings::SetValue(before, section, "shuffle", "no"), after);
    }

    // Before the start the known player's file is edited, when it has one.
    void settingsFileOfPlayer()
    {
        QTemporaryDir cfgHome;
        qputenv("XDG_CONFIG_HOME", cfgHome.path().toLocal8Bit());
        qunsetenv("MPV_HOME");
        QVERIFY(!playersettings::Apply("mpv", 32)); // none: nothing is created
        QVERIFY(!QFile::exists(cfgHome.filePath("mpv/mpv.conf")));
        QVERIFY(!playersettings::Apply("vlc", 32));
        QDir().mkpath(cfgHome.filePath("mpv"));
        QDir().mkpath(cfgHome.filePath("audacious"));
        dwtest::writeFile(cfgHome.filePath("mpv/mpv.conf"), "ao=pulse\nshuffle=yes\n");
        dwtest::writeFile(cfgHome.filePath("audacious/config"), "[audacious]\nshuffle=TRUE\n");
        QVERIFY(playersettings::Apply("mpv", 32));
        QVERIFY(playersettings::Apply("audacious", 48));
        QFile mpv(cfgHome.filePath("mpv/mpv.conf")), aud(cfgHome.filePath("audacious/config"));
        QVERIFY(mpv.open(QIODevice::ReadOnly) && aud.open(QIODevice::ReadOnly));
        QCOMPARE(mpv.readAll(), QByteArray("ao=pulse\nshuffle=no\nstream-buffer-size=64KiB\n"));
        QCOMPARE(aud.readAll(), QByteArray("[audacious]\nshuffle=FALSE\nnet_buffer_kb=96\n"));
        qunsetenv("XDG_CONFIG_HOME");
    }
};

QTEST_MAIN(TestLaunching)
#include "test_launching.moc"
