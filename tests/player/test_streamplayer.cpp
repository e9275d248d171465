// The stream player of the program's own kind, fed response bytes directly: the head's
// checks, the start threshold, packets, metadata and the ways a stream goes out of step.
#include "httpprot.h"
#include "streamplayer.h"
#include "streamproto.h"
#include "streamrecorder.h"
#include "testsupport.h"
#include "waveout.h"

#include <QFile>
#include <QTest>

using namespace platform;
using playertest::Feed;
using playertest::PcmBlock;
using playertest::Recorder;

namespace {

QByteArray head(const QByteArray& status, const QByteArray& genreLine)
{
    return status + "\r\nicy-name: Head Name\r\n" + genreLine + "icy-pub: 1\r\n\r\n";
}

QByteArray okHead()
{
    return head("ICY 200 OK",
                "icy-genre:" + streamproto::EncodeFormat(PcmBlock(), "Rock").toLatin1() + "\r\n");
}

// An audio packet whose whole size (header included) is `total` bytes.
QByteArray audioPacket(int total, char fill = 0)
{
    return streamproto::MakePacket(QByteArray(total - 8, fill));
}

} // namespace

class TestStreamPlayer : public QObject
{
    Q_OBJECT
    dwtest::TempHome home_;
    QString wav_;

private slots:
    void initTestCase()
    {
        wav_ = home_.file("out.wav");
        SetSinkFactory([this] { return MakeWavSink(wav_, false); });
    }
    void cleanupTestCase() { SetSinkFactory(nullptr); }

    void formatValue_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("result");
        const QByteArray ok = PcmBlock();
        QByteArray shortBlock = ok;
        shortBlock[16] = 10; // cbSize 10 with no extra bytes behind it
        QTest::newRow("format and genre")
            << streamproto::EncodeFormat(ok, "Jazz") << int(streamproto::fmtOk);
        QTest::newRow("no second tab")
            << "\t" + QString::fromLatin1(ok.toBase64()) << int(streamproto::fmtOk);
        QTest::newRow("ordinary server") << "Rock" << int(streamproto::fmtNoTab);
        QTest::newRow("blank before tab")
            << " \t" + QString::fromLatin1(ok.toBase64()) << int(streamproto::fmtNoTab);
        QTest::newRow("not base64") << "\t%%%\t" << int(streamproto::fmtBadBase64);
        QTest::newRow("empty base64") << "\t\tRock" << int(streamproto::fmtBadBase64);
        QTest::newRow("shorter than cbSize")
            << streamproto::EncodeFormat(shortBlock) << int(streamproto::fmtBadBlock);
        QTest::newRow("too short")
            << "\t" + QString::fromLatin1(ok.left(10).toBase64()) << int(streamproto::fmtBadBlock);
    }
    void formatValue()
    {
        QFETCH(QString, value);
        QFETCH(int, result);
        QByteArray block;
        QCOMPARE(int(streamproto::DecodeFormat(value, block)), result);
        if (result == streamproto::fmtOk) QCOMPARE(block, PcmBlock());
    }

    void metadataItems_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("length");
        QTest::addColumn<QString>("title");
        QByteArray meta = streamproto::MakeMetadata(200, "Artist - Song").mid(8);
        QTest::newRow("length and title") << meta << 200 << "Artist - Song";
        QByteArray onlyTitle = meta.left(8) + '\2' + "Solo" + '\0';
        QTest::newRow("title only") << onlyTitle << 0 << "Solo";
        QTest::newRow("unknown tag ends") << meta.left(8) + '\7' + '\2' + "x" << 0 << "";
        QTest::newRow("cut length") << meta.left(10) << 0 << "";
        QTest::newRow("title without NUL") << meta.left(8) + '\2' + "Open" << 0 << "Open";
    }
    void metadataItems()
    {
        QFETCH(QByteArray, payload);
        QFETCH(int, length);
        QFETCH(QString, title);
        QVERIFY(streamproto::IsMetadata(payload.constData(), int(payload.size())));
        const auto m = streamproto::ParseMetadata(payload.constData(), int(payload.size()));
        QCOMPARE(int(m.SongLength), length);
        QCOMPARE(m.Title, title);
    }

    // The head decides whether the stream is played at all.
    void refusedHeads_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<QString>("message");
        const QString notOurs = "Not a Windows Audio Server";
        QTest::newRow("401")
            << QByteArray("ICY 401 Service Unavailable\r\n\r\n")
            << "This server is not currently broadcasting\r\n401 Service Unavailable";
        QTest::newRow("404 http") << QByteArray("HTTP/1.0 404 Not Found\r\n\r\n")
                                  << "404 Not Found";
        QTest::newRow("no tab") << head("ICY 200 OK", "icy-genre: Rock\r\n") << notOurs;
        QTest::newRow("no genre") << head("ICY 200 OK", "") << notOurs;
        QTest::newRow("bad base64") << head("ICY 200 OK", "icy-genre:\t!!\t\r\n") << notOurs;
        QByteArray shortBlock = PcmBlock();
        shortBlock[16] = 40;
        QTest::newRow("block shorter than cbSize")
            << head("ICY 200 OK",
                    "icy-genre:" + streamproto::EncodeFormat(shortBlock).toLatin1() + "\r\n")
            << notOurs;
    }
    void refusedHeads()
    {
        QFETCH(QByteArray, response);
        QFETCH(QString, message);
        TStreamPlayer p;
        Recorder r;
        r.attach(p);
        p.Client()->BeginResponseForTest();
        Feed(p, response + audioPacket(40000));
        QCOMPARE(r.messages, QStringList{message});
        QCOMPARE(r.stops, 1);
        QVERIFY(!p.DeviceOpen());
        QCOMPARE(TStreamPlayer::QueuedBuffers(), 0);
    }

    // Nothing reaches the device before the threshold; "Buffering" counts up to it.
    void startThreshold()
    {
        TStreamPlayer p;
        Recorder r;
        r.attach(p);
        p.BufferKB = 32;
        p.Client()->BeginResponseForTest();
        Feed(p, okHead());
        QVERIFY(p.DeviceOpen());
        QCOMPARE(p.StationName(), QString(" Head Name")); // the list gave none; blanks stay
        // Half way, starting mid-packet: the bytes before the sync word are dropped.
        Feed(p, QByteArray(13, '\x11') + audioPacket(8192) + audioPacket(8192));
        QCOMPARE(r.stationLines.last(), QString("Buffering 16384 of 32768..."));
        Feed(p, audioPacket(16384));
        QCOMPARE(r.stationLines.last(), QString("Buffering 32768 of 32768..."));
        QCOMPARE(TStreamPlayer::QueuedBuffers(), 0);
        Feed(p, audioPacket(100));
        QCOMPARE(r.stationLines.last(), QString(" Head Name"));
        QVERIFY(p.Playing());
        // All four packets went to the device as one buffer, and it comes back.
        QTRY_COMPARE_WITH_TIMEOUT(TStreamPlayer::QueuedBuffers(), 0, 10000);
        QVERIFY(!p.Playing()); // buffer count reached 0: buffering again
        p.Stop();
        QFile wav(wav_);
        QVERIFY(wav.open(QIODevice::ReadOnly));
        QCOMPARE(wav.size(), 44 + 32768 + 100 - 4 * 8); // only payload bytes, no headers or junk
        QVERIFY(!wav.readAll().mid(44).contains('\x11'));
    }

    void metadataShowsSong()
    {
        TStreamPlayer p;
        Recorder r;
        r.attach(p);
        p.BufferKB = 16;
        p.Client()->BeginResponseForTest();
        Feed(p, okHead() + audioPacket(20000) +
                    streamproto::MakeMetadata(200, "Kestrel - Golden Hour"));
        QCOMPARE(r.songLines, QStringList{"Kestrel - Golden Hour"});
        QCOMPARE(int(p.SongLength()), 200);
        Feed(p, streamproto::MakeMetadata(0, ""));
        QCOMPARE(r.songLines.last(), QString());
        p.Stop();
    }

    // Recording keeps what is heard, split at the titles: the song playing at the start
    // and the one cut short by the stop are marked partial, the whole one is not.
    void recordsWhatIsHeard()
    {
        TStreamPlayer p;
        Recorder r;
        r.attach(p);
        p.BufferKB = 16;
        p.Client()->BeginResponseForTest();
        Feed(p, okHead() + audioPacket(20000) + streamproto::MakeMetadata(0, "A - One"));
        const QString dir = home_.file("recordings");
        QVERIFY(p.StartRecording(dir));
        QVERIFY(p.Recording());
        Feed(p, audioPacket(20008, '\x01'));
        Feed(p, streamproto::MakeMetadata(0, "B - Two") + audioPacket(30008, '\x02'));
        Feed(p, streamproto::MakeMetadata(0, "C/../Three") + audioPacket(20008, '\x03'));
        p.Stop();
        QVERIFY(!p.Recording());
        QCOMPARE(QDir(dir).entryList(QDir::Files, QDir::Name),
                 QStringList({"Head Name - A - One (partial).wav", "Head Name - B - Two.wav",
                              "Head Name - C_.._Three (partial).wav"}));
        QFile two(dir + "/Head Name - B - Two.wav");
        QVERIFY(two.open(QIODevice::ReadOnly));
        const QByteArray bytes = two.readAll();
        QCOMPARE(bytes.size() - bytes.indexOf("data") - 8, 30000);
        QVERIFY(!bytes.mid(bytes.indexOf("data") + 8).contains('\x01'));
        QVERIFY(r.messages.isEmpty());
    }

    // A length that cannot be right drops the buffer and finds the next sync word,
    // without ever waiting for (or allocating) that many bytes.
    void badLengths_data()
    {
        QTest::addColumn<qint32>("length");
        QTest::newRow("negative") << qint32(-5000);
        QTest::newRow("huge") << qint32(0x7FFFFFF0);
        QTest::newRow("just over the limit") << qint32(streamproto::MaxPayload + 1);
    }
    void badLengths()
    {
        QFETCH(qint32, length);
        TStreamPlayer p;
        Recorder r;
        r.attach(p);
        p.BufferKB = 16;
        p.Client()->BeginResponseForTest();
        QByteArray bad = streamproto::MakePacket({});
        for (int i = 0; i < 4; ++i)
            bad[4 + i] = char((quint32(length) >> (8 * i)) & 0xFF);
        Feed(p, okHead() + audioPacket(20000) + bad + QByteArray(100, '\x22'));
        QVERIFY(p.Resync());
        QCOMPARE(p.BufferedBytes(), 0);
        Feed(p, QByteArray(7, '\x33') + audioPacket(20000) + streamproto::MakeMetadata(10, "Back"));
        QCOMPARE(r.songLines.last(), QString("Back"));
        QVERIFY(r.messages.isEmpty());
        p.Stop();
    }

    // A lost sync word empties the buffer; the next chunk is searched again.
    void lostSync()
    {
        TStreamPlayer p;
        Recorder r;
        r.attach(p);
        p.BufferKB = 16;
        p.Client()->BeginResponseForTest();
        Feed(p, okHead() + audioPacket(20000) + QByteArray(50, '\x44'));
        QVERIFY(p.Resync());
        QCOMPARE(p.BufferedBytes(), 0);
        Feed(p, QByteArray(5, '\x44'));
        QVERIFY(p.Resync()); // shorter than 8 bytes: dropped whole
        Feed(p, audioPacket(20000) + streamproto::MakeMetadata(1, "Found"));
        QCOMPARE(r.songLines.last(), QString("Found"));
        p.Stop();
    }

    // Pausing drops what is queued; packets are still read and shown, audio discarded.
    void pauseAndResume()
    {
        TStreamPlayer p;
        Recorder r;
        r.attach(p);
        p.BufferKB = 16;
        p.Client()->BeginResponseForTest();
        Feed(p, okHead() + audioPacket(20000));
        QVERIFY(p.Playing());
        p.SetPaused(true);
        QTRY_COMPARE(TStreamPlayer::QueuedBuffers(), 0);
        Feed(p, audioPacket(20000) + streamproto::MakeMetadata(5, "While paused"));
        QCOMPARE(TStreamPlayer::QueuedBuffers(), 0);
        QCOMPARE(r.songLines.last(), QString("While paused"));
        p.SetPaused(false);
        QVERIFY(!p.Playing());
        Feed(p, audioPacket(20000));
        QVERIFY(p.Playing());
        p.Stop();
        QVERIFY(!p.DeviceOpen());
    }

    // The device's error path: an unknown format tag cannot be opened.
    void openFailureIsLogged()
    {
        TStreamPlayer p;
        Recorder r;
        r.attach(p);
        TWaveFormat f;
        f.FormatTag = 0x7777;
        f.Channels = 1;
        f.SamplesPerSec = 8000;
        p.Client()->BeginResponseForTest();
        Feed(p,
             head("ICY 200 OK",
                  "icy-genre:" + streamproto::EncodeFormat(MakeWaveFormat(f)).toLatin1() + "\r\n"));
        QVERIFY(!p.DeviceOpen());
        QCOMPARE(r.messages.size(), 1);
        QCOMPARE(r.messages.first(), waveOutGetErrorText(WAVERR_BADFORMAT));
        QFile log(home_.file("mmrerror.txt"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(
            log.readAll().contains("WOO: " + waveOutGetErrorText(WAVERR_BADFORMAT).toLocal8Bit()));
        // Data is still read, not played.
        Feed(p, audioPacket(40000));
        QCOMPARE(TStreamPlayer::QueuedBuffers(), 0);
    }

    // One packet above the queue's byte cap (several seconds of sound in one piece) is
    // heard whole; the next one that would pass the cap drops what waits, not itself.
    void packetAboveTheCap()
    {
        TStreamPlayer p;
        Recorder r;
        r.attach(p);
        p.BufferKB = 16;
        p.Client()->BeginResponseForTest();
        Feed(p, okHead());
        QVERIFY(p.QueueByteLimit() < streamproto::MaxPayload);
        Feed(p, streamproto::MakePacket(QByteArray(streamproto::MaxPayload, '\x22')));
        QCOMPARE(TStreamPlayer::QueuedBuffers(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(TStreamPlayer::QueuedBuffers(), 0, 10000);
        QFile wav(wav_);
        QCOMPARE(wav.size(), 44 + streamproto::MaxPayload);
        // Two in a row: the first is dropped and its memory freed before the second is
        // queued, without waiting for the device's messages.
        const QByteArray big = streamproto::MakePacket(QByteArray(streamproto::MaxPayload, 0));
        Feed(p, big);
        Feed(p, big);
        QCOMPARE(TStreamPlayer::QueuedBuffers(), 1);
        QCOMPARE(TStreamPlayer::QueuedBytes(), qint64(streamproto::MaxPayload));
        p.Stop();
        QCOMPARE(TStreamPlayer::QueuedBuffers(), 0);
        QVERIFY(r.messages.isEmpty());
    }

    // Freed while the device still holds buffers: everything is given back.
    void destroyedWhilePlaying()
    {
        {
            TStreamPlayer p;
            Recorder r;
            r.attach(p);
            p.BufferKB = 16;
            p.Client()->BeginResponseForTest();
            Feed(p, okHead() + audioPacket(20000) + audioPacket(20000));
            QVERIFY(TStreamPlayer::QueuedBuffers() > 0);
        }
        QCOMPARE(TStreamPlayer::QueuedBuffers(), 0);
        QCOMPARE(TStreamPlayer::QueuedBytes(), 0);
        // The returns still on their way reach nobody.
        QTest::qWait(100);
    }
};

QTEST_GUILESS_MAIN(TestStreamPlayer)
#include "test_streamplayer.moc"
