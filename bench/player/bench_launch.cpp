// Launch to the first audible sample: a loopback Icecast MP3 station launched in the
// built-in player (the WAV sink: every sample written goes to a file) against
// `mpv --no-video` writing the same station's sound to a file in the same run. Both
// clocks run from the start (Launch, or starting mpv) to the first non-silent frame
// appearing in the file; each side is started fresh five times and the medians compared.
#include "benchstats.h"
#include "config.h"
#include "customserver.h"
#include "launchrig.h"
#include "playertest.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <QToolButton>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>

namespace {

// True once the WAV file (16-bit or float samples) holds a frame clearly above silence.
bool audibleIn(const QString& path)
{
    // Every sample written so far counts, whatever the head says yet.
    const playertest::WavFile w = playertest::readWav(path);
    if (w.DataAt < 0 || w.DataAt >= w.All.size()) return false;
    const char* d = w.All.constData() + w.DataAt;
    const qsizetype n = w.All.size() - w.DataAt;
    if (w.Tag == 3 && w.Bits == 32) {
        for (qsizetype i = 0; i + 4 <= n; i += 4) {
            float v;
            std::memcpy(&v, d + i, 4);
            if (std::abs(v) > 0.01f) return true;
        }
    } else if (w.Bits == 16) {
        for (qsizetype i = 0; i + 2 <= n; i += 2) {
            int16_t v;
            std::memcpy(&v, d + i, 2);
            if (std::abs(int(v)) > 300) return true;
        }
    }
    return false;
}

// Waits (the event loop running) until `path` holds sound; milliseconds since `clock`
// started, or -1 after 30 s.
double untilAudible(const QString& path, const QElapsedTimer& clock)
{
    while (clock.elapsed() < 30000) {
        if (audibleIn(path)) return double(clock.nsecsElapsed()) / 1e6;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        QThread::usleep(500);
    }
    return -1;
}

void BM_LaunchToAudio(benchmark::State& state)
{
    const QString mpv = QStandardPaths::findExecutable("mpv");
    if (mpv.isEmpty()) {
        state.SkipWithError("mpv is not installed");
        return;
    }
    dwtest::TempHome home;
    playertest::Icecast ice;
    const QString why = ice.start();
    if (!why.isEmpty()) {
        state.SkipWithError(qPrintable(why));
        return;
    }
    TConfig config;
    config.SetText("program_dir", ""); // the built-in player
    const QByteArray oldSink = qgetenv("DIALWISE_AUDIO_SINK");
    constexpr int runs = 5;
    for (auto _ : state) {
        std::vector<double> ours, theirs;
        for (int run = 0; run < runs; ++run) {
            // The program: a fresh bar, so the engine starts as on the first launch.
            {
                const QString wav = home.file(QString("ours-%1.wav").arg(run));
                qputenv("DIALWISE_AUDIO_SINK", ("wav:" + wav).toLocal8Bit());
                playertest::LaunchRig rig;
                TSCServer station("127.0.0.1", QString::number(ice.port()) + "/tone.mp3");
                station.Name = "Tone Station";
                QElapsedTimer clock;
                clock.start();
                rig.launcher.LaunchStation(&station);
                ours.push_back(untilAudible(wav, clock));
                rig.bar.stop_butt->click();
            }
            // mpv, started the way a user starts it, writing its sound to a file.
            {
                const QString wav = home.file(QString("mpv-%1.wav").arg(run));
                QProcess p;
                QElapsedTimer clock;
                clock.start();
                p.start(mpv, {"--no-video", "--no-config", "--terminal=no", "--ao=pcm",
                              "--ao-pcm-file=" + wav, ice.url()});
                theirs.push_back(untilAudible(wav, clock));
                p.terminate();
                if (!p.waitForFinished(5000)) {
                    p.kill();
                    p.waitForFinished(5000);
                }
            }
        }
        if (std::count(ours.begin(), ours.end(), -1.0) ||
            std::count(theirs.begin(), theirs.end(), -1.0)) {
            state.SkipWithError("no sound within 30 s");
            break;
        }
        const double o = benchstats::Median(ours), t = benchstats::Median(theirs);
        state.counters["ours_ms"] = o;
        state.counters["mpv_ms"] = t;
        state.counters["ours_min_ms"] = *std::min_element(ours.begin(), ours.end());
        state.counters["mpv_min_ms"] = *std::min_element(theirs.begin(), theirs.end());
        state.counters["ratio"] = t > 0 ? o / t : 0;
    }
    if (oldSink.isEmpty())
        qunsetenv("DIALWISE_AUDIO_SINK");
    else
        qputenv("DIALWISE_AUDIO_SINK", oldSink);
    ice.stop();
}

} // namespace

BENCHMARK(BM_LaunchToAudio)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
