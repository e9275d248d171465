// The stream player against dialwise-caster on loopback: a 440 Hz tone in each codec is
// heard (through the WAV sink, and through a PulseAudio null sink recorded from its
// monitor), the failure switches end as the player says, and a server that goes away is
// reported.
#include "debuglog.h"
#include "playertest.h"
#include "streamplayer.h"
#include "streamproto.h"
#include "streamrecorder.h"
#include "waveout.h"

#include <QMutex>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <csignal>

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

using namespace platform;
using namespace playertest;

namespace {
void addCodecRows()
{
    QTest::addColumn<QString>("codec");
    for (const char* c : {"pcm", "ima", "msadpcm", "mp3"})
        QTest::newRow(c) << QString(c);
}
// Answers every request with a redirect from a table (path -> Location).
class Redirector
{
public:
    QHash<QString, QByteArray> Moves; // "/a" -> "302 /b"
    bool start()
    {
        QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    const QByteArray req = s->peek(4096);
                    if (!req.contains("\r\n\r\n")) return;
                    const QByteArray path = req.split(' ').value(1);
                    const QByteArray move = Moves.value(QString::fromLatin1(path), "404 -");
                    const QByteArray code = move.left(3), to = move.mid(4);
                    s->write("HTTP/1.0 " + code + (code == "404" ? " Not Found" : " Moved") +
                             "\r\nLocation: " + to + "\r\nContent-Length: 0\r\n\r\n");
                    s->disconnectFromHost();
                });
                QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
        return server_.listen(QHostAddress::LocalHost, 0);
    }
    QString url(const QString& path) const
    {
        return QString("http://127.0.0.1:%1%2").arg(server_.serverPort()).arg(path);
    }

private:
    QTcpServer server_;
};

} // namespace

class TestStreamPlayerPeer : public QObject
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
        while (t.elapsed() < 30000 && r.stops == 0 && QFileInfo(wav).size() < want)
            QTest::qWait(50);
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
        QVERIFY2(caster.start({"port=0,name=Tone,codec=" + codec + ",source=tone:440"}),
                 qPrintable(caster.output()));
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
        QTest::newRow("401")
            << "401"
            << "This server is not currently broadcasting\r\n401 Service Unavailable";
        QTest::newRow("no tab") << "notab"
                                << "Not a Windows Audio Server";
        QTest::newRow("no genre") << "nogenre"
                                  << "Not a Windows Audio Server";
        QTest::newRow("bad base64") << "badbase64"
                                    << "Not a Windows Audio Server";
        QTest::newRow("short block") << "shortblock"
                                     << "Not a Windows Audio Server";
        QTest::newRow("mid packet") << "midpacket"
                                    << "";
        QTest::newRow("negative length") << "neglength"
                                         << "";
        QTest::newRow("huge length") << "hugelength"
                                     << "";
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
        // Tried again (given up later: dropsAndStalls); the user stops meanwhile.
        QTRY_COMPARE_WITH_TIMEOUT(r.statuses.value(0), QString("Reconnecting..."), 20000);
        r.boxVisible = false;
        p.Stop();
        // Every attempt says so (the first is made at once); after the stop nothing more.
        const qsizetype shown = r.statuses.size();
        QTest::qWait(1500);
        QVERIFY(!p.Reconnecting());
        QVERIFY(!p.DeviceOpen());
        QCOMPARE(r.statuses.size(), shown);
        QCOMPARE(r.statuses, QStringList(shown, "Reconnecting..."));
        // A stop by the user hides the box first: no message.
        Caster again;
        QVERIFY(again.start({"port=0,codec=mp3,source=tone:440"}));
        r.boxVisible = true;
        p.Start(again.url(), "Caster");
        QTRY_VERIFY_WITH_TIMEOUT(p.Playing(), 20000);
        r.boxVisible = false;
        p.Stop();
        QTest::qWait(200);
        QVERIFY(r.messages.isEmpty());
    }

    // Redirects are followed (at most five, never in a loop, only to http) before the
    // response is judged.
    void redirects_data()
    {
        QTest::addColumn<QStringList>("moves"); // "path code location", "$" the caster's address
        QTest::addColumn<QString>("message");   // empty: it plays
        QTest::newRow("302 to the stream") << QStringList{"/s 302 $"} << "";
        QTest::newRow("301, relative, 302") << QStringList{"/s 301 /t", "/t 302 $"} << "";
        QTest::newRow("five hops")
            << QStringList{"/s 302 /1", "/1 302 /2", "/2 302 /3", "/3 302 /4", "/4 302 $"} << "";
        QTest::newRow("six hops") << QStringList{"/s 302 /1", "/1 302 /2", "/2 302 /3",
                                                 "/3 302 /4", "/4 302 /5", "/5 302 $"}
                                  << "The station redirects too often or in a loop";
        QTest::newRow("loop") << QStringList{"/s 302 /t", "/t 301 /s"}
                              << "The station redirects too often or in a loop";
        QTest::newRow("to itself")
            << QStringList{"/s 302 /s"} << "The station redirects too often or in a loop";
        QTest::newRow("other scheme") << QStringList{"/s 302 file:///etc/passwd"}
                                      << "The station sent an address this player does not follow";
        QTest::newRow("https") << QStringList{"/s 302 https://127.0.0.1:1/"}
                               << "The station sent an address this player does not follow";
    }
    void redirects()
    {
        QFETCH(QStringList, moves);
        QFETCH(QString, message);
        Caster caster;
        QVERIFY(caster.start({"port=0,codec=pcm,source=tone:440"}));
        Redirector r301;
        for (const QString& m : moves) {
            const QStringList parts = m.split(' ');
            r301.Moves.insert(
                parts[0],
                (parts[1] + " " + QString(parts[2]).replace("$", caster.url())).toLatin1());
        }
        QVERIFY(r301.start());
        SetSinkFactory([] { return MakeNullSink(); });
        TStreamPlayer p;
        Recorder r;
        r.attach(p);
        p.BufferKB = 16;
        p.Start(r301.url("/s"), "Caster");
        if (message.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(p.Playing(), 20000);
            QVERIFY2(r.messages.isEmpty(), qPrintable(r.messages.join('|')));
            QCOMPARE(p.CurrentUrl(), caster.url());
            r.boxVisible = false;
            p.Stop();
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(r.stops, 1, 20000);
            QCOMPARE(r.messages, QStringList{message});
            QVERIFY(!p.DeviceOpen());
        }
    }

    // A stream that stalls or drops is got back with growing waits, "Reconnecting..." on
    // the song line meanwhile; one that stays away is given up with the usual message.
    void dropsAndStalls_data()
    {
        QTest::addColumn<QString>("switches");
        QTest::addColumn<bool>("drop");       // take the server down (SIGUSR1)
        QTest::addColumn<QString>("message"); // empty: it plays again
        QTest::newRow("stall") << "fail=stall,burst=1000" << false << "";
        QTest::newRow("drop, back after 1.5 s") << "down=1500" << true << "";
        QTest::newRow("drop for good")
            << "down=600000" << true << "The audio server has disconnected, please try another";
    }
    void dropsAndStalls()
    {
        QFETCH(QString, switches);
        QFETCH(bool, drop);
        QFETCH(QString, message);
        Caster caster;
        QVERIFY(caster.start({"port=0,codec=mp3,source=tone:440," + switches}));
        SetSinkFactory([] { return MakeNullSink(); });
        TStreamPlayer p;
        Recorder r;
        r.attach(p);
        p.BufferKB = 16;
        p.Start(caster.url(), "Caster");
        QTRY_VERIFY_WITH_TIMEOUT(p.Playing(), 20000);
        QElapsedTimer t;
        t.start();
        if (drop) ::kill(pid_t(caster.pid()), SIGUSR1);
        QTRY_COMPARE_WITH_TIMEOUT(r.statuses.value(0), QString("Reconnecting..."), 15000);
        if (!drop) QVERIFY2(t.elapsed() >= 8000, "a stall is given its ten seconds");
        if (message.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(caster.output().contains("listener 2 connected"), 20000);
            QTRY_VERIFY_WITH_TIMEOUT(!p.Reconnecting() && p.Playing(), 20000);
            QVERIFY(p.DeviceOpen());
            QVERIFY2(r.messages.isEmpty(), qPrintable(r.messages.join('|')));
            // The song line comes back.
            QTRY_VERIFY_WITH_TIMEOUT(r.songLines.size() >= 2, 5000);
            r.boxVisible = false;
            p.Stop();
        } else {
            // At once, then 1 + 2 + 4 + 8 + 16 seconds of waits, then the message.
            QTRY_COMPARE_WITH_TIMEOUT(r.stops, 1, 60000);
            QVERIFY2(t.elapsed() >= 30000, qPrintable(QString::number(t.elapsed())));
            QCOMPARE(r.messages, QStringList{message});
            QCOMPARE(r.statuses.size(), 6);
            QVERIFY(!p.DeviceOpen());
        }
    }

    // A server pushing 1 MiB packets at full speed: the device queue stays within a few
    // seconds of sound in bytes, and the process does not grow with it.
    void bigPacketsBounded()
    {
        Caster caster;
        QVERIFY(caster.start({"port=0,codec=pcm,source=tone:440,fail=bigpackets"}));
        SetSinkFactory([] { return MakeNullSink(); });
        auto rssKb = [] {
            QFile f("/proc/self/status");
            if (!f.open(QIODevice::ReadOnly)) return 0L;
            for (const QByteArray& line : f.readAll().split('\n'))
                if (line.startsWith("VmRSS:"))
                    return line.mid(6).trimmed().split(' ').value(0).toLong();
            return 0L;
        };
        const long rss0 = rssKb();
        TStreamPlayer p;
        Recorder r;
        r.attach(p);
        p.Start(caster.url(), "Caster");
        QTRY_VERIFY_WITH_TIMEOUT(p.Playing(), 20000);
        qint64 most = 0, mostBuffers = 0;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 5000) {
            most = std::max(most, TStreamPlayer::QueuedBytes());
            mostBuffers = std::max<qint64>(mostBuffers, TStreamPlayer::QueuedBuffers());
            QTest::qWait(5);
        }
        // PCM at 176400 bytes a second: five seconds, or the one packet above it that
        // dropped what waited. The newest packet stays queued (it is heard), so the
        // sampling always finds the device fed.
        QCOMPARE(p.QueueByteLimit(), qint64(5 * 176400));
        QVERIFY2(most <= std::max<qint64>(p.QueueByteLimit(), streamproto::MaxPayload),
                 qPrintable(QString::number(most)));
        QVERIFY(mostBuffers > 0);
        // Under the address sanitizer freed packets wait in its quarantine, so the process's
        // size says nothing there; the queue's own count above holds in both builds.
        if (!kAddressSanitizer) {
            const long grown = rssKb() - rss0;
            QVERIFY2(grown < 64 * 1024, qPrintable(QString("%1 kB").arg(grown)));
        }
        QVERIFY2(r.messages.isEmpty(), qPrintable(r.messages.join('|')));
        r.boxVisible = false;
        p.Stop();
    }

    // Without a sound server the user is told why, once; when the server comes (back)
    // the sound does too. The device's own lines reach the console on its thread.
    void soundServerAway_data()
    {
        QTest::addColumn<bool>("atStart"); // no server at the start; else killed mid-stream
        QTest::newRow("none at the start") << true;
        QTest::newRow("killed mid-stream, restarted") << false;
    }
    void soundServerAway()
    {
        QFETCH(bool, atStart);
        Pulse pulse;
        if (!pulse.start()) DW_PEER_MISSING("pulseaudio", "pulseaudio could not be started here");
        if (atStart) pulse.kill();
        QMutex m;
        QStringList logged;
        bool offThread = false;
        SetDebugSink([&](const QString& text, int) {
            QMutexLocker l(&m);
            logged << text;
            if (QThread::currentThread() != qApp->thread()) offThread = true;
        });
        Caster caster;
        QVERIFY(caster.start({"port=0,codec=mp3,source=tone:440"}));
        TStreamPlayer p;
        Recorder r;
        r.attach(p);
        p.BufferKB = 16;
        p.Start(caster.url(), "Caster");
        QTRY_VERIFY_WITH_TIMEOUT(p.Playing(), 20000);
        if (!atStart) {
            QTest::qWait(1000);
            QVERIFY(r.messages.isEmpty());
            pulse.kill();
        }
        QTRY_COMPARE_WITH_TIMEOUT(r.messages.size(), 1, 15000);
        QVERIFY2(r.messages[0].contains("The sound server cannot be reached ("),
                 qPrintable(r.messages[0]));
        QVERIFY(p.SoundLost());
        QCOMPARE(r.stops, 0);
        // Still fed and paced while nothing is heard.
        QVERIFY(p.DeviceOpen());
        QVERIFY(pulse.restart());
        QTRY_VERIFY_WITH_TIMEOUT(!p.SoundLost(), 15000);
        const ToneMeasure back = pulse.record(home_.file("back.wav"), 176400, 0.3);
        QVERIFY2(back.Rms > 1000, qPrintable(QString::number(back.Rms)));
        QVERIFY2(std::abs(back.Frequency - 440) < 10, qPrintable(QString::number(back.Frequency)));
        QCOMPARE(r.messages.size(), 1);
        r.boxVisible = false;
        p.Stop();
        QCoreApplication::processEvents();
        SetDebugSink(nullptr);
        QVERIFY2(!offThread, "a line reached the console off its thread");
        QVERIFY2(logged.join('|').contains("Sound output unavailable"),
                 qPrintable(logged.join('|')));
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

QTEST_GUILESS_MAIN(TestStreamPlayerPeer)
#include "test_streamplayer_peer.moc"
