// The player bar as the program wires it to the main window: Buy CD opens the song's
// address, and the bar's MPRIS2 player on a private session bus does what the
// MPRIS2 interface asks (Play after Stop, Position, Volume).
#include "bitmapcache.h"
#include "config.h"
#include "customserver.h"
#include "dialogs.h"
#include "platform.h"
#include "player_main.h"
#include "playerlink.h"
#include "playertest.h"
#include "productprofile.h"
#include "registry.h"
#include "testsupport.h"
#include "vmmp3_main.h"
#include "waveout.h"

#include <QDBusConnection>
#include <QDir>
#include <QFrame>
#include <QImage>
#include <QTest>
#include <QToolButton>
#include <cmath>

namespace {
QStringList opened; // what the desktop was asked to open

// A notification server on its own connection to the test's bus: what it was asked to show.
class NotificationServer : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Shown
    {
        QString summary, body;
        qint64 at;
        QString icon, imagePath;
    };
    QList<Shown> shown;
    QElapsedTimer clock;
    QDBusConnection bus{
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, "notifications")};
    bool start()
    {
        clock.start();
        return bus.registerObject("/org/freedesktop/Notifications", this,
                                  QDBusConnection::ExportAllSlots) &&
               bus.registerService("org.freedesktop.Notifications");
    }
    ~NotificationServer() override
    {
        bus.unregisterService("org.freedesktop.Notifications");
        QDBusConnection::disconnectFromBus("notifications");
    }
public slots:
    uint Notify(const QString&, uint, const QString& icon, const QString& summary,
                const QString& body, const QStringList&, const QVariantMap& hints, int)
    {
        shown.push_back(
            {summary, body, clock.elapsed(), icon, hints.value("image-path").toString()});
        return uint(shown.size());
    }
    QStringList GetCapabilities() { return {"body"}; }
};
} // namespace

class TestPlayerLink : public QObject
{
    Q_OBJECT
    std::unique_ptr<dwtest::TempHome> home_;
    playertest::SessionBus bus_; // before the first bar: the bus connection is made once

private slots:
    void initTestCase()
    {
        if (dwtest::findProgram("dbus-daemon").isEmpty())
            DW_PEER_MISSING("dbus", "dbus-daemon is not installed");
        QVERIFY(bus_.start());
        qputenv("DIALWISE_NO_BROWSER", "1");
        qputenv("DIALWISE_LIST_HOST", "127.0.0.1:9");
        qputenv("DIALWISE_WEB_SITE", "http://127.0.0.1:9");
        ReloadProfile();
        platform::SetLaunchRecorder(
            [](const QString& what, const QStringList&) { opened << what; });
        platform::SetDialogScript([](const platform::DialogRequest&) {
            return platform::DialogAnswer{platform::mrOk, {}};
        });
    }
    void init()
    {
        home_ = std::make_unique<dwtest::TempHome>();
        TRegistry::Reset();
        opened.clear();
    }
    void cleanupTestCase()
    {
        bus_.stop();
        platform::SetLaunchRecorder(nullptr);
        platform::SetDialogScript(nullptr);
    }

    // The song name is cleaned up as the station pages do before it goes into the address.
    void buyCdAddress_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("song");     // in the address
        QTest::addColumn<QString>("notThere"); // must not be in it
        QTest::newRow("track number and artist") << "07. Kestrel - Golden Hour"
                                                 << "Golden"
                                                 << "Kestrel";
        QTest::newRow("short tail kept whole") << "Kestrel - Go"
                                               << "Kestrel"
                                               << "07.";
        QTest::newRow("plain") << "Golden Hour"
                               << "Golden"
                               << "%CD%";
    }
    void buyCdAddress()
    {
        QFETCH(QString, title);
        QFETCH(QString, song);
        QFETCH(QString, notThere);
        Tvmmp3_form w;
        Tplayer_form* bar = CreatePlayerBar(w);
        bar->ShowSongLine(title);
        QVERIFY(bar->buycd_butt->isEnabled());
        bar->buycd_butt->click();
        QCOMPARE(opened.size(), 1);
        QVERIFY2(opened[0].contains("area=11"), qPrintable(opened[0]));
        QVERIFY2(opened[0].contains(song), qPrintable(opened[0]));
        QVERIFY2(!opened[0].contains(notThere), qPrintable(opened[0]));
    }

    // The bar's MPRIS2 player as a desktop widget sees it: Play after Stop plays the
    // station again, Position moves, Volume takes any value.
    void mprisAsSpecified()
    {
        if (dwtest::findProgram("playerctl").isEmpty())
            DW_PEER_MISSING("playerctl", "playerctl is not installed");
        playertest::Caster caster;
        QVERIFY(caster.start({"port=0,codec=mp3,source=tone:440"}));
        qputenv("DIALWISE_AUDIO_SINK", "null");
        auto ctl = [](const QStringList& args) {
            return playertest::runWithLoop("playerctl", QStringList{"-p", "dialwise"} + args);
        };
        {
            Tvmmp3_form w;
            w.show();
            Tplayer_form* bar = CreatePlayerBar(w);
            bar->DockInto(w.playerbox);
            QTRY_COMPARE_WITH_TIMEOUT(ctl({"status"}), QString("Stopped"), 10000);
            TSCServer station("127.0.0.1", QString::number(caster.port()));
            station.Name = "Caster";
            station.PlayerKind = 1;
            w.Hooks.LaunchStation(&station);
            QTRY_VERIFY_WITH_TIMEOUT(bar->Stream().Playing(), 20000);
            QTRY_COMPARE_WITH_TIMEOUT(ctl({"status"}), QString("Playing"), 10000);
            QTest::qWait(1500);
            const double p1 = ctl({"position"}).toDouble();
            QTest::qWait(1200);
            const double p2 = ctl({"position"}).toDouble();
            QVERIFY2(p1 > 0.5 && p2 > p1 + 0.8, qPrintable(QString("%1 then %2").arg(p1).arg(p2)));

            ctl({"volume", "0.33"});
            QTRY_COMPARE_WITH_TIMEOUT(ctl({"volume"}).left(4), QString("0.33"), 10000);
            quint32 v = 0;
            platform::waveOutGetVolume(nullptr, &v);
            QCOMPARE(int(v & 0xFFFF), int(std::lround(0.33 * 65535)));
            QCOMPARE(bar->TrackBar1->position(), 33);

            ctl({"stop"});
            QTRY_VERIFY_WITH_TIMEOUT(!w.playerbox->isVisible(), 10000);
            QCOMPARE(ctl({"status"}), QString("Stopped"));
            QVERIFY(!bar->Stream().DeviceOpen());
            // CanPlay says so, and Play does it: the same station again.
            ctl({"play"});
            QTRY_VERIFY_WITH_TIMEOUT(w.playerbox->isVisible() && bar->Stream().Playing(), 20000);
            QCOMPARE(bar->StationName(), QString("Caster"));
            QTRY_COMPARE_WITH_TIMEOUT(ctl({"status"}), QString("Playing"), 10000);
            bar->stop_butt->click();
        }
        qunsetenv("DIALWISE_AUDIO_SINK");
    }

    // The volume, the last station and the bar's place outlive the run; with the option
    // set, the last station plays at start-up.
    void rememberedBetweenRuns()
    {
        playertest::Caster caster;
        QVERIFY(caster.start({"port=0,codec=mp3,source=tone:440"}));
        qputenv("DIALWISE_AUDIO_SINK", "null");
        {
            Tvmmp3_form w;
            Tplayer_form* bar = CreatePlayerBar(w);
            w.show();
            QTRY_VERIFY(bar->Docked());
            bar->TrackBar1->setPosition(40);
            TSCServer station("127.0.0.1", QString::number(caster.port()));
            station.Name = "Remembered";
            station.PlayerKind = 1;
            w.Hooks.LaunchStation(&station);
            QTRY_VERIFY_WITH_TIMEOUT(bar->Stream().Playing(), 20000);
            bar->stop_butt->click();
            Config()->SetChecked("playlaststation", true);
            Config()->SaveSettings();  // as the configuration dialog's OK does
            bar->minmax_butt->click(); // to the desktop edge
            QVERIFY(!bar->Docked());
        }
        platform::waveOutSetVolume(nullptr, 0xFFFFFFFFu);
        {
            Tvmmp3_form w;
            Tplayer_form* bar = CreatePlayerBar(w);
            QCOMPARE(bar->TrackBar1->position(), 40);
            quint32 v = 0;
            platform::waveOutGetVolume(nullptr, &v);
            QCOMPARE(int(v & 0xFFFF), int(std::lround(0.4 * 65535)));
            w.show();
            // Started again on its own, on the desktop edge where it was left.
            QTRY_VERIFY_WITH_TIMEOUT(bar->Stream().Playing(), 20000);
            QCOMPARE(bar->StationName(), QString("Remembered"));
            QVERIFY(!bar->Docked());
            bar->stop_butt->click();
            QVERIFY(bar->Docked());
            Config()->SetChecked("playlaststation", false);
            Config()->SaveSettings();
        }
        qunsetenv("DIALWISE_AUDIO_SINK");
    }

    // Song changes as desktop notifications: only when asked for, the latest title with
    // the station, never more than one in five seconds.
    void songNotifications_data()
    {
        QTest::addColumn<bool>("on");
        QTest::newRow("off (the default)") << false;
        QTest::newRow("on") << true;
    }
    void songNotifications()
    {
        QFETCH(bool, on);
        NotificationServer server;
        QVERIFY(server.start());
        const QString titles =
            dwtest::writeFile(home_->file("titles.txt"),
                              "2|First Band - One\n2|Second Band - Two\n2|Third Band - Three\n"
                              "2|Fourth <b>Band</b> - Four\n60|Fifth Band - Five\n");
        playertest::Caster caster;
        QVERIFY(caster.start({"port=0,codec=mp3,source=tone:440,burst=0,titles=" + titles}));
        qputenv("DIALWISE_AUDIO_SINK", "null");
        {
            Tvmmp3_form w;
            Tplayer_form* bar = CreatePlayerBar(w);
            w.show();
            Config()->SetChecked("songnotify", on);
            TSCServer station("127.0.0.1", QString::number(caster.port()));
            station.Name = "Notified Station";
            station.PlayerKind = 1;
            // The station's logo is in the button picture cache, magenta see-through.
            station.BNum = "4711";
            QImage logo(16, 8, QImage::Format_RGB32);
            logo.fill(QColor(0, 0, 200));
            logo.setPixel(0, 0, qRgb(255, 0, 255));
            QVERIFY(QDir().mkpath(w.BitmapCache->Folder()));
            QVERIFY(logo.save(QDir(w.BitmapCache->Folder()).filePath("4711.bmp"), "BMP"));
            w.Hooks.LaunchStation(&station);
            QTRY_VERIFY_WITH_TIMEOUT(bar->Stream().Playing(), 20000);
            QTest::qWait(12000);
            if (!on) {
                QVERIFY(server.shown.isEmpty());
            } else {
                QVERIFY(server.shown.size() >= 2);
                for (int i = 1; i < server.shown.size(); ++i)
                    QVERIFY2(server.shown[i].at - server.shown[i - 1].at >= 4900,
                             "two within five seconds");
                for (const auto& n : server.shown) {
                    QCOMPARE(n.body, QString("Notified Station"));
                    QVERIFY2(!n.summary.contains('<'), qPrintable(n.summary));
                    // The logo as a picture file the desktop can show, magenta gone.
                    QCOMPARE(n.imagePath, n.icon);
                    QVERIFY2(n.icon.endsWith("/4711.png"), qPrintable(n.icon));
                    const QImage shownLogo(n.icon);
                    QCOMPARE(shownLogo.size(), QSize(16, 8));
                    QCOMPARE(qAlpha(shownLogo.pixel(0, 0)), 0);
                    QCOMPARE(shownLogo.pixelColor(5, 5), QColor(0, 0, 200));
                }
                QTRY_VERIFY_WITH_TIMEOUT(server.shown.last().summary ==
                                                 bar->SongTitle().toHtmlEscaped() ||
                                             server.shown.last().summary == bar->SongTitle(),
                                         8000);
            }
            bar->stop_butt->click();
            Config()->SetChecked("songnotify", false);
        }
        qunsetenv("DIALWISE_AUDIO_SINK");
    }
};

QTEST_MAIN(TestPlayerLink)
#include "test_playerlink.moc"
