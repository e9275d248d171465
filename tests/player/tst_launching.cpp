// Launching a station: the player kind from the type, the bit rate question, the recent
// stations' playlist, and a player program given by its full path.
#include "config.h"
#include "customserver.h"
#include "dialogs.h"
#include "launching.h"
#include "platform.h"
#include "testsupport.h"

#include <QFile>
#include <QFrame>
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

std::unique_ptr<TSCServer> station(const QString& address, const QString& port, int type, int bitrate = 32)
{
    auto s = std::make_unique<TSCServer>(address, port);
    s->Name = "Station " + port;
    s->PlayerKind = quint8(type);
    s->Bitrate = bitrate;
    return s;
}
} // namespace

class TstLaunching : public QObject
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
        QVERIFY(asked_.first().startsWith("The audio quality (bitrate) for the server you have selected is too high"));
        QVERIFY(g_launched.isEmpty());
        QVERIFY(l.RecentStations.isEmpty());
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
        auto a = station("127.0.0.3", "8000", 0), b = station("127.0.0.4", "8002", 5), c = station("127.0.0.5", "8004", 0);
        for (TSCServer* s : {a.get(), b.get(), c.get(), b.get()}) l.LaunchStation(s);
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

    // A missing program: the error box, nothing started.
    void missingProgram()
    {
        config_->SetText("program_dir", "/nonexistent/player");
        QFrame box;
        Tplayer_form bar;
        bar.Host.PlayerBox = &box;
        TLauncher l(bar);
        auto s = station("127.0.0.6", "8000", 0);
        l.LaunchStation(s.get());
        QCOMPARE(asked_, QStringList{"The file to launch (/nonexistent/player) does not exist, check your configuration"});
        QVERIFY(g_launched.isEmpty());
        config_->SetText("program_dir", "");
    }

    // Without libmpv the embedded kinds offer the download; the box stays hidden.
    void embeddedWithoutEngine_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("question");
        QTest::newRow("2") << 2 << "Could not find the Realaudio player.  You might not have the latest release.\r\nDownload the player now?";
        QTest::newRow("3") << 3 << "Could not find the WindowsMedia player.  You might not have the latest release.\r\nDownload the player now?";
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
};

QTEST_MAIN(TstLaunching)
#include "tst_launching.moc"
