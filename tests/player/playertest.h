#pragma once
// Helpers of the player tests: the stream servers on loopback (the caster, Icecast), a
// PulseAudio server with a null sink, a private session bus, and measuring a recorded tone.
#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <cmath>
#include <vector>

#include <unistd.h>

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
        for (const QString& s : streams)
            args << "--stream" << s;
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

// A WAV file read whole, with where its samples start.
struct WavFile
{
    QByteArray All;
    int Tag = 1; // 1 PCM, 3 float (the sub-format of an extensible block)
    int Channels = 2, Rate = 44100, Bits = 16;
    qsizetype DataAt = -1; // the first sample byte; -1 when there is no "data" chunk
    quint32 DataLen = 0;   // as the chunk says: a writer still running may leave it open
};

// Walks the chunks to "fmt " and "data".
inline WavFile readWav(const QString& path)
{
    WavFile w;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return w;
    w.All = f.readAll();
    const QByteArray& all = w.All;
    auto le = [&](qsizetype at, int bytes) {
        quint32 v = 0;
        for (int i = bytes - 1; i >= 0; --i)
            v = (v << 8) | quint8(all[at + i]);
        return v;
    };
    qsizetype pos = 12;
    while (pos + 8 <= all.size()) {
        const QByteArray id = all.mid(pos, 4);
        const quint32 len = le(pos + 4, 4);
        if (id == "fmt " && pos + 24 <= all.size()) {
            w.Tag = int(le(pos + 8, 2));
            w.Channels = int(le(pos + 10, 2));
            w.Rate = int(le(pos + 12, 3));
            w.Bits = quint8(all[pos + 22]);
            if (w.Tag == 0xFFFE && pos + 34 <= all.size()) w.Tag = int(le(pos + 32, 2));
        } else if (id == "data") {
            w.DataAt = pos + 8;
            w.DataLen = len;
            break;
        }
        pos += 8 + qsizetype(len) + (len & 1);
    }
    return w;
}

// Measures 16-bit samples of a WAV file, skipping `skipSeconds` at the start.
inline ToneMeasure measureWav(const QString& path, double skipSeconds = 0.2)
{
    ToneMeasure m;
    const WavFile w = readWav(path);
    const int channels = w.Channels, rate = w.Rate, bits = w.Bits;
    QByteArray data;
    if (w.DataAt >= 0) {
        // A recorder stopped early may leave the size open.
        quint32 len = w.DataLen;
        const qsizetype rest = w.All.size() - w.DataAt;
        if (len == 0 || len == 0xFFFFFFFFu || qsizetype(len) > rest) len = quint32(rest);
        data = w.All.mid(w.DataAt, len);
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
    if (crossings > 1 && last > first)
        m.Frequency = double(crossings - 1) * rate / double(last - first);
    return m;
}

// A PulseAudio server with one null sink, in a private runtime folder. Programs started
// after start() (and this process) find it through PULSE_SERVER.
class Pulse
{
public:
    // Ends the server, as when it crashes.
    void kill() { peer_.stop(); }
    // Starts it again on the same socket.
    bool restart()
    {
        peer_.stop();
        QFile::remove(runtime_ + "/native");
        return start();
    }
    bool start()
    {
        if (dwtest::findProgram("pulseaudio").isEmpty()) return false;
        runtime_ = dir_.path() + "/run";
        QDir().mkpath(runtime_);
        QFile::setPermissions(runtime_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QString socket = runtime_ + "/native";
        env_ = {"XDG_RUNTIME_DIR=" + runtime_, "HOME=" + dir_.path(),
                "PULSE_SERVER=unix:" + socket};
        if (!peer_.start("pulseaudio",
                         {"-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                          "--use-pid-file=no", "-L", "module-native-protocol-unix socket=" + socket,
                          "-L", "module-null-sink sink_name=dwtest", "-L", "module-always-sink"},
                         dir_.path(), env_))
            return false;
        QElapsedTimer t;
        t.start();
        while (!QFile::exists(socket) && t.elapsed() < 15000)
            QTest::qWait(50);
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
        return rec_.start("parec",
                          {"-d", "dwtest.monitor", "--file-format=wav", "--format=s16le",
                           "--rate=44100", "--channels=2", wav},
                          {}, env_);
    }
    void stopRecording() { rec_.stop(); }
    // Records the monitor until `bytes` are in `wav` (at most 30 s) and measures it.
    ToneMeasure record(const QString& wav, qint64 bytes, double skipSeconds)
    {
        if (!startRecording(wav)) return {};
        QElapsedTimer t;
        t.start();
        while (QFileInfo(wav).size() <= bytes && t.elapsed() < 30000)
            QTest::qWait(50);
        stopRecording();
        return measureWav(wav, skipSeconds);
    }
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

// A private session bus for the MPRIS parts: this process and what it starts use it.
class SessionBus
{
public:
    bool start()
    {
        if (!peer_.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"}))
            return false;
        QElapsedTimer t;
        t.start();
        QString addr;
        while (addr.isEmpty() && t.elapsed() < 10000) {
            addr = peer_.output().trimmed();
            if (addr.isEmpty()) QTest::qWait(50);
        }
        if (addr.isEmpty()) return false;
        qputenv("DBUS_SESSION_BUS_ADDRESS", addr.section('\n', 0, 0).toUtf8());
        return true;
    }
    void stop() { peer_.stop(); }

private:
    dwtest::Peer peer_;
};

// Runs a program to its end (at most 15 s) while this thread's event loop keeps running
// (the program may talk to objects of this process over the bus); its standard output.
inline QString runWithLoop(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    QElapsedTimer t;
    t.start();
    while (p.state() != QProcess::NotRunning && t.elapsed() < 15000)
        QTest::qWait(20);
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(3000);
    }
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

// Icecast on loopback with one mount, /tone.mp3: a 440 Hz tone from ffmpeg as a
// 128 kbit/s MP3 stream named "Tone Station"; setTitle() changes its song title.
class Icecast
{
public:
    // Empty when it runs, else what went wrong.
    QString start()
    {
        if (dwtest::findProgram("icecast2").isEmpty() || dwtest::findProgram("ffmpeg").isEmpty())
            return "icecast2 or ffmpeg missing";
        port_ = dwtest::freePort();
        const QString started = dwtest::startIcecast(
            icecast_, dir_.path(), port_, "pw-dwtest", "source",
            "<limits><clients>20</clients><sources>2</sources><burst-size>65536</burst-size>"
            "</limits><hostname>localhost</hostname>");
        if (!started.isEmpty()) return started;
        if (!source_.start(
                dwtest::findProgram("ffmpeg"),
                dwtest::icecastToneSource(port_, "pw-dwtest", "tone.mp3", "Tone Station", "Test")))
            return "the ffmpeg source did not start";
        // The mount is there once the status lists it.
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 20000) {
            if (runWithLoop("curl", {"-s", "-m", "2",
                                     QString("http://127.0.0.1:%1/status-json.xsl").arg(port_)})
                    .contains("tone.mp3"))
                return {};
            QTest::qWait(200);
        }
        return "the mount did not appear";
    }
    bool setTitle(const QString& title)
    {
        return QProcess::execute("curl",
                                 {"-s", "-o", "/dev/null", "-m", "5", "-u", "source:pw-dwtest",
                                  "-G", "--data-urlencode", "mount=/tone.mp3", "--data-urlencode",
                                  "mode=updinfo", "--data-urlencode", "song=" + title,
                                  QString("http://127.0.0.1:%1/admin/metadata").arg(port_)}) == 0;
    }
    quint16 port() const { return port_; }
    QString url() const { return QString("http://127.0.0.1:%1/tone.mp3").arg(port_); }
    void stop()
    {
        source_.stop();
        icecast_.stop();
    }

private:
    QTemporaryDir dir_;
    dwtest::Peer icecast_, source_;
    quint16 port_ = 0;
};

} // namespace playertest
