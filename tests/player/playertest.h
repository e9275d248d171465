#pragma once
// Helpers of the player tests: the stream server on loopback, a PulseAudio server with a
// null sink, and measuring a recorded tone.
#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>
#include <cmath>
#include <vector>

namespace playertest {

inline QString casterPath()
{
    return QString(DW_BINARY_DIR) + "/tools/caster/dialwise-caster";
}

// dialwise-caster with the given streams; ports() are the streams' ports in order.
class Caster
{
public:
    bool start(const QStringList& streams)
    {
        QStringList args;
        for (const QString& s : streams) args << "--stream" << s;
        if (!peer_.start(casterPath(), args)) return false;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 30000) {
            out_ += peer_.output();
            if (out_.count("listening on") >= streams.size()) break;
            if (!peer_.running()) return false;
            QTest::qWait(50);
        }
        static const QRegularExpression re("listening on 127\\.0\\.0\\.1:(\\d+)/(\\S*)");
        auto it = re.globalMatch(out_);
        while (it.hasNext()) {
            auto m = it.next();
            ports_ << quint16(m.captured(1).toUInt());
            paths_ << m.captured(2);
        }
        return ports_.size() == streams.size();
    }
    QString url(int i = 0) const
    {
        return QString("http://127.0.0.1:%1/%2").arg(ports_.value(i)).arg(paths_.value(i));
    }
    quint16 port(int i = 0) const { return ports_.value(i); }
    qint64 pid() const { return peer_.pid(); }
    void stop() { peer_.stop(); }
    QString output() { return out_ += peer_.output(); }

private:
    dwtest::Peer peer_;
    QString out_;
    QList<quint16> ports_;
    QStringList paths_;
};

struct ToneMeasure
{
    double Frequency = 0; // from the zero crossings of the first channel
    double Rms = 0;
    qint64 Frames = 0;
};

// Measures 16-bit samples of a WAV file, skipping `skipSeconds` at the start.
inline ToneMeasure measureWav(const QString& path, double skipSeconds = 0.2)
{
    ToneMeasure m;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return m;
    const QByteArray all = f.readAll();
    // Walk the chunks to "fmt " and "data".
    int channels = 2, rate = 44100, bits = 16;
    qsizetype pos = 12;
    QByteArray data;
    while (pos + 8 <= all.size()) {
        const QByteArray id = all.mid(pos, 4);
        quint32 len = quint8(all[pos + 4]) | (quint8(all[pos + 5]) << 8) | (quint8(all[pos + 6]) << 16) |
                      (quint32(quint8(all[pos + 7])) << 24);
        if (id == "fmt ") {
            channels = quint8(all[pos + 10]) | (quint8(all[pos + 11]) << 8);
            rate = int(quint8(all[pos + 12]) | (quint8(all[pos + 13]) << 8) | (quint8(all[pos + 14]) << 16));
            bits = quint8(all[pos + 22]);
        } else if (id == "data") {
            // A recorder stopped early may leave the size open.
            if (len == 0 || len == 0xFFFFFFFFu || pos + 8 + len > quint32(all.size())) len = quint32(all.size() - pos - 8);
            data = all.mid(pos + 8, len);
            break;
        }
        pos += 8 + len + (len & 1);
    }
    if (bits != 16 || channels <= 0 || rate <= 0) return m;
    const auto* s = reinterpret_cast<const int16_t*>(data.constData());
    const qint64 frames = data.size() / 2 / channels;
    const qint64 skip = std::min<qint64>(frames, qint64(skipSeconds * rate));
    double sum = 0;
    qint64 crossings = 0;
    int prev = 0;
    qint64 first = -1, last = -1;
    for (qint64 i = skip; i < frames; ++i) {
        const int v = s[i * channels];
        sum += double(v) * v;
        if (prev < 0 && v >= 0) {
            if (first < 0) first = i;
            last = i;
            ++crossings;
        }
        prev = v;
    }
    m.Frames = frames - skip;
    if (m.Frames > 0) m.Rms = std::sqrt(sum / double(m.Frames));
    if (crossings > 1 && last > first) m.Frequency = double(crossings - 1) * rate / double(last - first);
    return m;
}

// A PulseAudio server with one null sink, in a private runtime folder. Programs started
// after start() (and this process) find it through PULSE_SERVER.
class Pulse
{
public:
    bool start()
    {
        if (dwtest::findProgram("pulseaudio").isEmpty()) return false;
        runtime_ = dir_.path() + "/run";
        QDir().mkpath(runtime_);
        QFile::setPermissions(runtime_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QString socket = runtime_ + "/native";
        env_ = {"XDG_RUNTIME_DIR=" + runtime_, "HOME=" + dir_.path(), "PULSE_SERVER=unix:" + socket};
        if (!peer_.start("pulseaudio",
                         {"-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                          "--use-pid-file=no", "-L", "module-native-protocol-unix socket=" + socket,
                          "-L", "module-null-sink sink_name=dwtest", "-L", "module-always-sink"},
                         dir_.path(), env_))
            return false;
        QElapsedTimer t;
        t.start();
        while (!QFile::exists(socket) && t.elapsed() < 15000) QTest::qWait(50);
        if (!QFile::exists(socket)) return false;
        qputenv("PULSE_SERVER", ("unix:" + socket).toLocal8Bit());
        return run("pactl", {"set-default-sink", "dwtest"});
    }
    // Runs a client program of this server to its end.
    bool run(const QString& program, const QStringList& args)
    {
        QProcess p;
        QStringList env = QProcess::systemEnvironment();
        env << env_;
        p.setEnvironment(env);
        p.start(program, args);
        return p.waitForFinished(15000) && p.exitCode() == 0;
    }
    // Records the null sink's monitor into `wav` until stopRecording().
    bool startRecording(const QString& wav)
    {
        return rec_.start("parec", {"-d", "dwtest.monitor", "--file-format=wav", "--format=s16le",
                                    "--rate=44100", "--channels=2", wav},
                          {}, env_);
    }
    void stopRecording() { rec_.stop(); }
    const QStringList& env() const { return env_; }
    ~Pulse()
    {
        rec_.stop();
        peer_.stop();
        qunsetenv("PULSE_SERVER");
    }

private:
    QTemporaryDir dir_;
    QString runtime_;
    QStringList env_;
    dwtest::Peer peer_, rec_;
};

} // namespace playertest
