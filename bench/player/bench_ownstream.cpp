// One hour of a 128 kbit/s MP3 stream of the program's own kind, pushed at full speed
// through the stream player (head, packets, metadata) and the wave output device into the
// WAV sink's writer, against ffmpeg decoding the same MP3 audio to its null muxer. Both
// are measured in CPU seconds in the same run; the player's memory is watched for growth.
#include "castsource.h"
#include "httpprot.h"
#include "streamplayer.h"
#include "streamproto.h"
#include "waveout.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>

#include <sys/resource.h>

namespace {

// The WAV sink's writer, counting what reaches it so the run shows all of it was decoded.
std::atomic<qint64> g_framesOut{0};
class TCountingSink : public platform::TAudioSink
{
public:
    TCountingSink() : wav_(platform::MakeWavSink("/dev/null", false)) {}
    bool Open(int rate, int channels, QString* why) override
    {
        return wav_->Open(rate, channels, why);
    }
    void Write(const int16_t* samples, int frames) override
    {
        g_framesOut += frames;
        wav_->Write(samples, frames);
    }
    void Flush() override { wav_->Flush(); }

private:
    std::unique_ptr<platform::TAudioSink> wav_;
};

double cpuSeconds(int who)
{
    rusage r{};
    getrusage(who, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

long rssKb()
{
    QFile f("/proc/self/status");
    if (!f.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

void BM_OwnStreamPlayback(benchmark::State& state)
{
    const int minutes = int(state.range(0));
    // One minute of music-like sound, encoded once; the hour repeats it.
    std::vector<int16_t> samples(size_t(44100) * 60 * 2);
    for (size_t i = 0; i < samples.size() / 2; ++i) {
        const double t = double(i) / 44100;
        const double v = 0.2 * std::sin(2 * M_PI * (220 + 110 * std::floor(std::fmod(t, 4))) * t) +
                         0.1 * std::sin(2 * M_PI * 660 * t) * std::exp(-3 * std::fmod(t, 0.5)) +
                         0.02 * (double(std::rand()) / RAND_MAX - 0.5);
        samples[2 * i] = samples[2 * i + 1] = int16_t(v * 32767);
    }
    caster::TEncodedLoop loop;
    QString why;
    if (!caster::Encode(samples, 44100, 2, caster::codecMp3, 128, 100, loop, &why)) {
        state.SkipWithError(qPrintable(why));
        return;
    }
    QByteArray minute = streamproto::MakeMetadata(60, "Benchmark - One Minute");
    QByteArray rawMp3;
    for (const auto& p : loop.Packets) {
        minute += streamproto::MakePacket(p.Payload);
        rawMp3 += p.Payload;
    }
    QTemporaryDir dir;
    const QString mp3 = dir.filePath("hour.mp3");
    {
        QFile f(mp3);
        f.open(QIODevice::WriteOnly);
        for (int m = 0; m < minutes; ++m)
            f.write(rawMp3);
    }
    const QString ffmpeg = QStandardPaths::findExecutable("ffmpeg");
    if (ffmpeg.isEmpty()) {
        state.SkipWithError("ffmpeg is not installed");
        return;
    }
    const QByteArray head = "ICY 200 OK\r\nicy-name:Bench\r\nicy-genre:" +
                            streamproto::EncodeFormat(loop.Format, "Bench").toLatin1() + "\r\n\r\n";

    for (auto _ : state) {
        // The player: everything runs in this process (the device's worker too).
        platform::SetSinkFactory([] { return std::make_unique<TCountingSink>(); });
        g_framesOut = 0;
        long rssStart = 0, rssEnd = 0;
        const double c0 = cpuSeconds(RUSAGE_SELF);
        {
            TStreamPlayer p;
            p.BufferKB = 32;
            p.View.BoxVisible = [] { return false; };
            p.Client()->BeginResponseForTest();
            p.Client()->FeedResponseForTest(head.constData(), int(head.size()));
            for (int m = 0; m < minutes; ++m) {
                for (int at = 0; at < minute.size(); at += 8192) {
                    p.Client()->FeedResponseForTest(
                        minute.constData() + at,
                        int(std::min<qsizetype>(8192, minute.size() - at)));
                    // Full speed, but never so far ahead that the queue is reset (by count
                    // or by bytes).
                    while (TStreamPlayer::QueuedBuffers() > 100 ||
                           TStreamPlayer::QueuedBytes() > p.QueueByteLimit() / 2) {
                        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
                        QThread::usleep(500);
                    }
                    QCoreApplication::processEvents();
                }
                if (m == 0) rssStart = rssKb();
            }
            while (TStreamPlayer::QueuedBuffers() > 0) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
                QThread::usleep(500);
            }
            rssEnd = rssKb();
            p.Stop();
        }
        const double ours = cpuSeconds(RUSAGE_SELF) - c0;
        platform::SetSinkFactory(nullptr);

        const double f0 = cpuSeconds(RUSAGE_CHILDREN);
        QProcess ff;
        ff.start(ffmpeg,
                 {"-nostdin", "-loglevel", "error", "-f", "mp3", "-i", mp3, "-f", "null", "-"});
        ff.waitForFinished(-1);
        const double theirs = cpuSeconds(RUSAGE_CHILDREN) - f0;

        state.counters["our_cpu_s"] = ours;
        state.counters["ffmpeg_cpu_s"] = theirs;
        state.counters["ratio"] = theirs > 0 ? ours / theirs : 0;
        state.counters["rss_growth_kb"] = double(rssEnd - rssStart);
        state.counters["minutes"] = minutes;
        // Minutes of sound that reached the sink (the stream's length when nothing was lost).
        state.counters["heard_min"] = double(g_framesOut) / 44100 / 60;
    }
}

} // namespace

// One hour; a shorter run: --benchmark_filter=BM_OwnStreamPlayback/5
BENCHMARK(BM_OwnStreamPlayback)
    ->Arg(60)
    ->Arg(5)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
