// The player bar on the offscreen platform: display lines, the time display, the gauge's
// colours, Buy CD, the record button, and the trip to the desktop edge and back.
#include "config.h"
#include "dialogs.h"
#include "httpprot.h"
#include "player_main.h"
#include "streamproto.h"
#include "streamrecorder.h"
#include "testsupport.h"
#include "waveout.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

using namespace platform;

namespace {
QByteArray okHead()
{
    return "ICY 200 OK\r\nicy-genre:" +
           streamproto::EncodeFormat(playertest::PcmBlock()).toLatin1() + "\r\n\r\n";
}

using playertest::Feed;

// Starts the bar's stream player on a response that begins with a PCM head.
void startStream(TStreamPlayer& s, const QByteArray& after = {})
{
    s.BufferKB = 16;
    s.Client()->BeginResponseForTest();
    Feed(s, okHead() + after);
}

// A main window with its player box, and the bar docked in it.
struct DockedBar
{
    QWidget main;
    QFrame* box = new QFrame(&main);
    Tplayer_form bar{&main};
    DockedBar()
    {
        box->setFixedHeight(50);
        (new QVBoxLayout(&main))->addWidget(box);
        main.resize(800, 100);
        main.show();
        bar.Host.PlayerBox = box;
        bar.DockInto(box);
    }
};
} // namespace

class TestPlayerBar : public QObject
{
    Q_OBJECT
    dwtest::TempHome home_;
    std::unique_ptr<TConfig> config_;

private slots:
    void initTestCase()
    {
        config_ = std::make_unique<TConfig>();
        // A device that plays as slowly as a real one, so that buffers stay queued.
        SetSinkFactory([] { return MakeNullSink(); });
    }
    void cleanupTestCase()
    {
        SetSinkFactory(nullptr);
        config_.reset();
    }

    void timeText_data()
    {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << qint64(0) << " 0:00";
        QTest::newRow("75") << qint64(75) << " 1:15";
        QTest::newRow("-75") << qint64(-75) << "-1:15";
        QTest::newRow("-200") << qint64(-200) << "-3:20";
        QTest::newRow("hours dropped") << qint64(3675) << " 1:15";
        QTest::newRow("59:59") << qint64(3599) << "59:59";
        QTest::newRow("-9") << qint64(-9) << "-0:09";
    }
    void timeText()
    {
        QFETCH(qint64, seconds);
        QFETCH(QString, text);
        QCOMPARE(Tplayer_form::TimeText(seconds), text);
        Tplayer_form bar;
        bar.ShowTime(seconds);
        QCOMPARE(bar.digits->value(), text);
    }

    void displayLines()
    {
        Tplayer_form bar;
        bar.ShowStationLine("Demo Wave Classics");
        QCOMPARE(bar.titles->value(), QString("Demo Wave Classics\rSONG: "));
        bar.ShowSongLine("Kestrel - Golden Hour");
        QCOMPARE(bar.titles->value(), QString("Demo Wave Classics\rSONG: Kestrel - Golden Hour"));
        QCOMPARE(bar.titles->toolTip(), bar.titles->value());
        QVERIFY(bar.buycd_butt->isEnabled());
        bar.ShowConnecting();
        QCOMPARE(bar.titles->value(), QString("Demo Wave Classics\rSONG: CONNECTING   "));
        bar.ShowConnecting();
        QCOMPARE(bar.titles->value(), QString("Demo Wave Classics\rSONG: CONNECTING.  "));
        // After a status the same title is shown again.
        bar.ShowSongLine("Kestrel - Golden Hour");
        QCOMPARE(bar.titles->value(), QString("Demo Wave Classics\rSONG: Kestrel - Golden Hour"));
        bar.ShowBuffering(40, "X");
        QCOMPARE(bar.titles->value(), QString("Demo Wave Classics\rSONG: [BUFFERING 40%] X"));
        bar.ShowBuffering(-1, "X");
        QCOMPARE(bar.titles->value(), QString("Demo Wave Classics\rSONG: [BUFFERING] X"));
        bar.ShowSongLine("");
        QVERIFY(!bar.buycd_butt->isEnabled());
        bar.ShowStationLine("");
        QCOMPARE(bar.titles->value(), QString("SERVER NAME: [NONE]\rSONG: "));
    }

    // The gauge: red below 5 queued buffers, yellow to 8, lime from 9; 4 pixels each up
    // to 60.
    void gaugeColours()
    {
        DockedBar w;
        Tplayer_form& bar = w.bar;
        TStreamPlayer& s = bar.Stream();
        s.View.Message = [](const QString& t) { QFAIL(qPrintable(t)); };
        startStream(s, streamproto::MakePacket(QByteArray(4 * 44100 * 3, 0))); // 3 s
        auto gaugeAt = [&](int dx) {
            const QImage img = bar.grab().toImage();
            return img.pixelColor(bar.titles->x() + dx, 0);
        };
        struct Step
        {
            int buffers;
            QColor colour;
        };
        for (const Step& step :
             {Step{1, Qt::red}, Step{5, Qt::yellow}, Step{9, QColor(0, 255, 0)}}) {
            while (TStreamPlayer::QueuedBuffers() < step.buffers) {
                Feed(s, streamproto::MakePacket(QByteArray(400, 0)));
            }
            QCOMPARE(bar.GaugeColor(), step.colour);
            QCOMPARE(bar.GaugeWidth(), 4 * step.buffers);
            QCOMPARE(gaugeAt(0), step.colour);
            QCOMPARE(gaugeAt(4 * step.buffers + 1), bar.palette().color(QPalette::Window));
        }
        bar.stop_butt->click();
        QCOMPARE(TStreamPlayer::QueuedBuffers(), 0);
        QVERIFY(!w.box->isVisible());
    }

    // Docked, to the desktop edge (the saved one) and back; stop and close dock it again.
    void dockAndDesktop()
    {
        DockedBar w;
        Tplayer_form& bar = w.bar;
        bool mainShown = true;
        bar.Host.ShowMainWindow = [&] { mainShown = true; };
        bar.Host.HideMainWindow = [&] { mainShown = false; };
        QVERIFY(bar.Docked());
        QCOMPARE(bar.Edge(), abeUnknown);
        QCOMPARE(bar.parentWidget(), w.box);

        Config()->WriteValue("playeredge", "t");
        bar.minmax_butt->click();
        QVERIFY(!bar.Docked());
        QVERIFY(bar.isWindow());
        QCOMPARE(bar.Edge(), abeTop);
        QVERIFY(!mainShown);
        QCOMPARE(bar.height(), 30);
        QCOMPARE(bar.y(), bar.screen()->geometry().top());
        QCOMPARE(bar.minmax_butt->toolTip(), QString("Undock this bar from the Desktop"));

        // Close docks it back and never destroys it.
        QCloseEvent close;
        QCoreApplication::sendEvent(&bar, &close);
        QVERIFY(!close.isAccepted());
        QVERIFY(bar.Docked());
        QVERIFY(mainShown);
        QCOMPARE(bar.parentWidget(), w.box);
        QCOMPARE(bar.minmax_butt->toolTip(), QString("Dock this bar on the Desktop"));

        // The bottom edge is remembered; stop from the desktop returns the bar.
        bar.SetEdge(abeBottom);
        QCOMPARE(Config()->ReadValue("playeredge"), QString("b"));
        bar.minmax_butt->click();
        QCOMPARE(bar.Edge(), abeBottom);
        QCOMPARE(bar.geometry().bottom(), bar.screen()->geometry().bottom());
        bar.stop_butt->click();
        QVERIFY(bar.Docked());
        QVERIFY(mainShown);
        QVERIFY(!bar.minmax_butt->isChecked());
    }

    // Metadata from the stream reaches the song line and the count-down.
    void songCountDown()
    {
        DockedBar w;
        Tplayer_form& bar = w.bar;
        w.box->show();
        startStream(bar.Stream(), streamproto::MakePacket(QByteArray(20000, 0)) +
                                      streamproto::MakeMetadata(200, "Artist - Title"));
        QCOMPARE(bar.SongTitle(), QString("Artist - Title"));
        QVERIFY(bar.buycd_butt->isEnabled());
        bar.timetimerTimer();
        QCOMPARE(bar.digits->value(), QString("-3:20"));
        bar.stop_butt->click();
    }

    // The record button and the bar's "Record" entry follow the stream player: a click
    // starts it (the button red), a recording that ends by itself unchecks both with its
    // message, the entry starts it again and a stop ends it.
    void recordButton()
    {
        QTemporaryDir tmp;
        const QString folder = tmp.filePath("Dialwise");
        Config()->SetText("recordfolder", folder);
        QStringList messages;
        platform::SetDialogScript([&](const platform::DialogRequest& r) {
            messages << r.text;
            return platform::DialogAnswer{platform::mrOk, {}};
        });
        {
            DockedBar w;
            Tplayer_form& bar = w.bar;
            w.box->show();
            QVERIFY(!bar.record_butt->isEnabled());
            bar.timetimer->start();
            startStream(bar.Stream(), streamproto::MakePacket(QByteArray(20000, 0)) +
                                          streamproto::MakeMetadata(0, "A - One"));
            bar.timetimerTimer();
            QVERIFY(bar.record_butt->isEnabled() && bar.Record1->isEnabled());
            bar.record_butt->click();
            QVERIFY(bar.Stream().Recording());
            QVERIFY(bar.record_butt->isChecked() && bar.Record1->isChecked());
            const QImage glyph = bar.record_butt->grab().toImage();
            const QColor c = glyph.pixelColor(glyph.rect().center());
            QVERIFY2(c.red() > 200 && c.green() < 80, qPrintable(c.name()));
            QVERIFY(QFileInfo(folder).isDir());

            // The folder turns into a file: the next song cannot be made.
            QVERIFY(QDir(folder).removeRecursively());
            QFile blocker(folder);
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            blocker.close();
            Feed(bar.Stream(), streamproto::MakeMetadata(0, "B - Two"));
            QVERIFY(!bar.Stream().Recording());
            QVERIFY(!bar.record_butt->isChecked() && !bar.Record1->isChecked());
            QCOMPARE(messages.size(), 1);
            QVERIFY2(messages.first().contains(folder), qPrintable(messages.first()));

            QVERIFY(QFile::remove(folder));
            bar.Record1->trigger();
            QVERIFY(bar.Stream().Recording() && bar.record_butt->isChecked());
            Feed(bar.Stream(), streamproto::MakePacket(QByteArray(8000, 0)));
            bar.stop_butt->click();
            QVERIFY(!bar.Stream().Recording());
            QVERIFY(!bar.record_butt->isChecked() && !bar.record_butt->isEnabled());
            // The song cut short by the stop is kept.
            const QStringList kept = QDir(folder).entryList(QDir::Files);
            QCOMPARE(kept.size(), 1);
            QVERIFY2(kept.first().endsWith("B - Two (partial).wav"), qPrintable(kept.first()));
        }
        platform::SetDialogScript(nullptr);
        Config()->SetText("recordfolder", {});
    }
};

QTEST_MAIN(TestPlayerBar)
#include "test_playerbar.moc"
