// Drop to sound again: a live stream of the caster dropped by the server mid-play and
// back one second later, its tone changing from 440 Hz to 880 Hz at the drop so that the
// sound of the new connection is told apart. Each side plays into a PulseAudio null sink
// whose monitor is recorded; the time from the drop to the first 880 Hz heard is taken.
// Ours: the own stream player (Arg 1, the caster's own-kind address) or the built-in
// player's engine (Arg 0, the same stream's plain MP3 address); theirs: mpv on the plain
// address with the same reconnect options. Three rounds each, medians compared.
#include "benchstats.h"
#include "mpvengine.h"
#include "playertest.h"
#include "streamplayer.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <benchmark/benchmark.h>

#include <csignal>
#include <cstring>

namespace {

void spin(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::usleep(1000);
    }
}

// Milliseconds from the start of the recording to the first 50 ms window of the 880 Hz
// tone at or after `fromMs`; -1 when there is none.
double firstHighTone(const QString& wav, double fromMs)
{
    const playertest::WavFile w = playertest::readWav(wav);
    if (w.DataAt < 0 || w.Bits != 16) return -1;
    const auto* s = reinterpret_cast<const int16_t*>(w.All.constData() + w.DataAt);
    const qint64 frames = (w.All.size() - w.DataAt) / 2 / w.Channels;
    const int win = w.Rate / 20;
    auto high = [&](qint64 at) {
        int up = 0;
        double sum = 0;
        for (qint64 i = at + 1; i < at + win; ++i) {
            const int v = s[i * w.Channels], prev = s[(i - 1) * w.Channels];
            sum += double(v) * v;
            if (prev < 0 && v >= 0) ++up;
        }
        // 440 Hz crosses 22 times in 50 ms, 880 Hz 44 times.
        return up > 36 && up < 52 && std::sqrt(sum / win) > 1000;
    };
    // Four windows in a row (200 ms of the tone), so that a click is not taken for it.
    for (qint64 at = std::max<qint64>(0, qint64(fromMs * w.Rate / 1000)); at + 4 * win <= frames;
         at += win / 4)
        if (high(at) && high(at + win) && high(at + 2 * win) && high(at + 3 * win))
            return double(at) * 1000 / w.Rate;
    return -1;
}

// One round: `play` starts a side, `stop` ends it. Milliseconds from the drop to the new
// tone, or -1.
template <typename Play, typename Stop>
double round(playertest::Pulse& pulse, const QString& wav, Play play, Stop stop)
{
    playertest::Caster caster;
    if (!caster.start({"port=0,codec=mp3,source=tone:440,after=880,down=1000,burst=1000"}))
        return -1;
    QElapsedTimer clock;
    clock.start();
    if (!pulse.startRecording(wav)) return -1;
    // Where the recording's time stands on our clock: the recorder takes a while to
    // start, so the sound it holds is counted back from a moment when it has some.
    while (QFileInfo(wav).size() < 44 + 44100 && clock.elapsed() < 10000)
        spin(2);
    const double recordingStart =
        double(clock.nsecsElapsed()) / 1e6 - double(QFileInfo(wav).size() - 44) / 176.4;
    play(caster);
    spin(4000); // playing for a while
    const double dropAt = double(clock.nsecsElapsed()) / 1e6 - recordingStart;
    ::kill(pid_t(caster.pid()), SIGUSR1);
    spin(9000);
    stop();
    pulse.stopRecording();
    const double heard = firstHighTone(wav, dropAt);
    std::fprintf(stderr, "%s: drop at %.0f ms, new tone at %.0f ms\n", qPrintable(wav), dropAt,
                 heard);
    return heard < 0 ? -1 : heard - dropAt;
}

void BM_ReconnectToAudio(benchmark::State& state)
{
    const bool own = state.range(0) == 1;
    const QString mpv = QStandardPaths::findExecutable("mpv");
    if (mpv.isEmpty()) {
        state.SkipWithError("mpv is not installed");
        return;
    }
    dwtest::TempHome home;
    // DW_BENCH_KEEP=FOLDER keeps the recordings there for a look.
    const QString keep = qEnvironmentVariable("DW_BENCH_KEEP");
    auto file = [&](const QString& name) {
        return keep.isEmpty() ? home.file(name) : keep + "/" + name;
    };
    playertest::Pulse pulse;
    if (!pulse.start()) {
        state.SkipWithError("pulseaudio could not be started");
        return;
    }
    platform::SetSinkFactory(nullptr);
    constexpr int rounds = 3;
    for (auto _ : state) {
        std::vector<double> ours, theirs;
        for (int r = 0; r < rounds; ++r) {
            if (own) {
                TStreamPlayer p;
                p.BufferKB = 32;
                p.View.BoxVisible = [] { return true; };
                ours.push_back(round(
                    pulse, file(QString("own-%1.wav").arg(r)),
                    [&](playertest::Caster& c) { p.Start(c.url(), "Bench"); }, [&] { p.Stop(); }));
            } else {
                TMpvEngine engine;
                engine.Create();
                ours.push_back(round(
                    pulse, file(QString("builtin-%1.wav").arg(r)),
                    [&](playertest::Caster& c) { engine.Open(c.url() + "?plain"); },
                    [&] { engine.Stop(); }));
            }
            QProcess p;
            theirs.push_back(round(
                pulse, file(QString("mpv-%1.wav").arg(r)),
                [&](playertest::Caster& c) {
                    p.start(mpv, {"--no-video", "--no-config", "--terminal=no", "--ao=pulse",
                                  "--cache=yes", "--network-timeout=10",
                                  QString("--stream-lavf-o=") + TMpvEngine::StreamOptions(),
                                  c.url() + "?plain"});
                },
                [&] {
                    p.terminate();
                    if (!p.waitForFinished(5000)) {
                        p.kill();
                        p.waitForFinished(5000);
                    }
                }));
        }
        if (std::count(ours.begin(), ours.end(), -1.0) ||
            std::count(theirs.begin(), theirs.end(), -1.0)) {
            state.SkipWithError("the new tone was not heard within 9 s of the drop");
            break;
        }
        const double o = benchstats::Median(ours), t = benchstats::Median(theirs);
        state.counters["ours_ms"] = o;
        state.counters["mpv_ms"] = t;
        state.counters["ours_min_ms"] = *std::min_element(ours.begin(), ours.end());
        state.counters["mpv_min_ms"] = *std::min_element(theirs.begin(), theirs.end());
        state.counters["ratio"] = t > 0 ? o / t : 0;
    }
}

} // namespace

// Arg 1: the own stream player; Arg 0: the built-in player's engine.
BENCHMARK(BM_ReconnectToAudio)
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
