#include "waveout.h"
#include "datafolders.h"
#include "debuglog.h"
#include "latelibrary.h"
#include "platform.h"
#include "wavecodec.h"

#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QLibrary>
#include <QPointer>
#include <QSet>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <pulse/error.h>
#include <pulse/simple.h>
}

namespace platform {

// ---------------------------------------------------------------------------------------
// Format blocks

static quint16 rd16(const char* p)
{
    return quint16(quint8(p[0]) | (quint8(p[1]) << 8));
}
static quint32 rd32(const char* p)
{
    return quint32(rd16(p)) | (quint32(rd16(p + 2)) << 16);
}
static void wr16(QByteArray& b, quint16 v)
{
    b.append(char(v & 0xFF)).append(char(v >> 8));
}
static void wr32(QByteArray& b, quint32 v)
{
    wr16(b, quint16(v & 0xFFFF));
    wr16(b, quint16(v >> 16));
}

bool ParseWaveFormat(const QByteArray& block, TWaveFormat& out, QString* why)
{
    auto fail = [&](const char* reason) {
        if (why) *why = QString::fromLatin1(reason);
        return false;
    };
    // A bare PCM block has 16 bytes and no cbSize.
    if (block.size() < 16) return fail("format block shorter than 16 bytes");
    const char* p = block.constData();
    out.FormatTag = rd16(p);
    out.Channels = rd16(p + 2);
    out.SamplesPerSec = rd32(p + 4);
    out.AvgBytesPerSec = rd32(p + 8);
    out.BlockAlign = rd16(p + 12);
    out.BitsPerSample = rd16(p + 14);
    out.Extra.clear();
    if (block.size() >= 18) {
        const int cb = rd16(p + 16);
        if (cb > block.size() - 18) return fail("format block shorter than its cbSize");
        out.Extra = block.mid(18, cb);
    }
    if (out.Channels == 0 || out.Channels > 8) return fail("bad channel count");
    if (out.SamplesPerSec == 0 || out.SamplesPerSec > 384000) return fail("bad sample rate");
    return true;
}

QByteArray MakeWaveFormat(const TWaveFormat& f)
{
    QByteArray b;
    wr16(b, f.FormatTag);
    wr16(b, f.Channels);
    wr32(b, f.SamplesPerSec);
    wr32(b, f.AvgBytesPerSec);
    wr16(b, f.BlockAlign);
    wr16(b, f.BitsPerSample);
    wr16(b, quint16(f.Extra.size()));
    b.append(f.Extra);
    return b;
}

// ---------------------------------------------------------------------------------------
// Decoder

// The decoding itself is FFmpeg's, in a plugin loaded with the first decoder opened, so
// that FFmpeg's libraries cost nothing at start.
struct TWaveDecoder::Impl
{
    TWaveFormat fmt;
    std::unique_ptr<IWaveCodec> codec;
};

namespace {

IWaveCodec* newCodec(QString* why)
{
    // Loaded once for the program's life, by whichever thread opens the first decoder.
    struct Loaded
    {
        TWaveCodecEntry entry = nullptr;
        QString why;
    };
    static const Loaded loaded = [] {
        Loaded l;
        const QString path = FindPlugin(kCodecPlugin);
        if (path.isEmpty()) {
            l.why = QString("%1 is not installed").arg(kCodecPlugin);
            return l;
        }
        static QLibrary library;
        library.setFileName(path);
        l.entry = reinterpret_cast<TWaveCodecEntry>(library.resolve(DIALWISE_WAVECODEC_SYMBOL));
        if (!l.entry) l.why = library.errorString();
        return l;
    }();
    if (!loaded.entry) {
        *why = loaded.why;
        return nullptr;
    }
    return loaded.entry();
}

} // namespace

TWaveDecoder::TWaveDecoder() : d(std::make_unique<Impl>()) {}
TWaveDecoder::~TWaveDecoder() = default;
bool TWaveDecoder::Open(const QByteArray& formatBlock, QString* why)
{
    d->codec.reset();
    if (!ParseWaveFormat(formatBlock, d->fmt, why)) return false;
    QString reason;
    d->codec.reset(newCodec(&reason));
    if (!d->codec) {
        if (why) *why = "no decoders: " + reason;
        return false;
    }
    if (d->codec->Open(d->fmt, why)) return true;
    d->codec.reset();
    return false;
}
int TWaveDecoder::OutChannels() const
{
    return d->codec ? d->codec->OutChannels() : 2;
}
int TWaveDecoder::OutRate() const
{
    return int(d->fmt.SamplesPerSec);
}
void TWaveDecoder::Decode(const char* data, int len, const TFramesOut& out)
{
    if (d->codec) d->codec->Decode(data, len, out);
}
void TWaveDecoder::Reset()
{
    if (d->codec) d->codec->Reset();
}

// ---------------------------------------------------------------------------------------
// Sinks

namespace {

using Clock = std::chrono::steady_clock;

// Makes writes last as long as the sound they carry, a little ahead like a device buffer.
class TPacer
{
public:
    void start(int rate) { rate_ = rate, frames_ = 0, started_ = false; }
    void wrote(int frames)
    {
        const auto now = Clock::now();
        const auto played = std::chrono::microseconds(frames_ * 1000000 / std::max(1, rate_));
        // A device that ran dry starts again from now, it does not catch up.
        if (!started_ || t0_ + played < now) t0_ = now - played, started_ = true;
        frames_ += frames;
        const auto due = t0_ + std::chrono::microseconds(frames_ * 1000000 / std::max(1, rate_)) -
                         std::chrono::milliseconds(250);
        if (due > Clock::now()) std::this_thread::sleep_until(due);
    }
    void flush() { started_ = false, frames_ = 0; }

private:
    int rate_ = 44100;
    qint64 frames_ = 0;
    bool started_ = false;
    Clock::time_point t0_;
};

class TWavSink : public TAudioSink
{
public:
    TWavSink(const QString& path, bool paced) : file_(path), paced_(paced) {}
    ~TWavSink() override
    {
        if (file_.isOpen()) writeHeader();
    }
    bool Open(int rate, int channels, QString* why) override
    {
        // Unbuffered: what was handed over is in the file when the buffer comes back.
        if (!file_.open(QIODevice::ReadWrite | QIODevice::Truncate | QIODevice::Unbuffered)) {
            if (why) *why = file_.errorString();
            return false;
        }
        rate_ = rate;
        channels_ = channels;
        pacer_.start(rate);
        writeHeader();
        return true;
    }
    void Write(const int16_t* s, int frames) override
    {
        const qint64 bytes = qint64(frames) * channels_ * 2;
        file_.write(reinterpret_cast<const char*>(s), bytes);
        data_ += bytes;
        // The sizes stay right even when the program is ended without closing.
        if (++writes_ % 16 == 0) writeHeader();
        if (paced_) pacer_.wrote(frames);
    }
    void Flush() override
    {
        writeHeader();
        pacer_.flush();
    }

private:
    void writeHeader()
    {
        // A pipe or a device file takes the head once, with the sizes left open.
        const bool sequential = file_.isSequential();
        if (sequential && headWritten_) return;
        headWritten_ = true;
        QByteArray h("RIFF");
        wr32(h, quint32(std::min<qint64>(data_ + 36, 0xFFFFFFFFll)));
        h.append("WAVEfmt ");
        wr32(h, 16);
        wr16(h, 1);
        wr16(h, quint16(channels_));
        wr32(h, quint32(rate_));
        wr32(h, quint32(rate_ * channels_ * 2));
        wr16(h, quint16(channels_ * 2));
        wr16(h, 16);
        h.append("data");
        wr32(h, quint32(std::min<qint64>(data_, 0xFFFFFFFFll - 36)));
        if (sequential) {
            h.replace(4, 4, QByteArray(4, '\xff'));
            h.replace(40, 4, QByteArray(4, '\xff'));
            file_.write(h);
            return;
        }
        const qint64 at = file_.pos();
        file_.seek(0);
        file_.write(h);
        file_.seek(at < 44 ? 44 : at);
        file_.flush();
    }
    QFile file_;
    bool paced_;
    int rate_ = 44100, channels_ = 2;
    qint64 data_ = 0;
    quint64 writes_ = 0;
    bool headWritten_ = false;
    TPacer pacer_;
};

class TNullSink : public TAudioSink
{
public:
    bool Open(int rate, int, QString*) override
    {
        pacer_.start(rate);
        return true;
    }
    void Write(const int16_t*, int frames) override { pacer_.wrote(frames); }
    void Flush() override { pacer_.flush(); }

private:
    TPacer pacer_;
};

// The sound server's client library, loaded with the first sound device opened, never at
// start (it brings some fifteen libraries with it).
// The functions used, each pa_<name>.
#define DW_PULSE_FUNCTIONS(X)                                                                      \
    X(simple_new)                                                                                  \
    X(simple_free)                                                                                 \
    X(simple_write)                                                                                \
    X(simple_flush)                                                                                \
    X(strerror)                                                                                    \
    X(usec_to_bytes)

struct TPulseApi
{
#define DW_PULSE_MEMBER(name) decltype(&::pa_##name) name = nullptr;
    DW_PULSE_FUNCTIONS(DW_PULSE_MEMBER)
#undef DW_PULSE_MEMBER
    QString why; // when not loaded

    // Null (with the reason) when the library is missing.
    static const TPulseApi* Get(QString* why)
    {
        static const TPulseApi api = [] {
            TPulseApi a;
            static TLateLibrary library(QStringLiteral("pulse-simple"), 0);
#define DW_PULSE_GET(name) library.Get(a.name, "pa_" #name);
            DW_PULSE_FUNCTIONS(DW_PULSE_GET)
#undef DW_PULSE_GET
            if (!library.AllFound()) {
                a.why = "no sound server client library: " + library.ErrorString();
                a.simple_new = nullptr;
            }
            return a;
        }();
        if (api.simple_new) return &api;
        if (why) *why = api.why;
        return nullptr;
    }
};
#undef DW_PULSE_FUNCTIONS

class TPulseSink : public TAudioSink
{
public:
    ~TPulseSink() override
    {
        if (s_) pa_->simple_free(s_);
    }
    bool Open(int rate, int channels, QString* why) override
    {
        pa_ = TPulseApi::Get(why);
        if (!pa_) return false;
        pa_sample_spec format{PA_SAMPLE_S16LE, uint32_t(rate), uint8_t(channels)};
        pa_buffer_attr attr;
        attr.maxlength = uint32_t(-1);
        attr.tlength = uint32_t(pa_->usec_to_bytes(300 * 1000, &format)); // about 0.3 s queued
        attr.prebuf = uint32_t(-1);
        attr.minreq = uint32_t(-1);
        attr.fragsize = uint32_t(-1);
        int err = 0;
        channels_ = size_t(channels);
        s_ = pa_->simple_new(nullptr, "Dialwise", PA_STREAM_PLAYBACK, nullptr, "Dialwise Player",
                             &format, nullptr, &attr, &err);
        if (!s_ && why) *why = QString::fromLocal8Bit(pa_->strerror(err));
        return s_ != nullptr;
    }
    void Write(const int16_t* s, int frames) override
    {
        int err = 0;
        if (s_ && !failed_ && pa_->simple_write(s_, s, size_t(frames) * 2 * channels_, &err) < 0) {
            failed_ = true;
            why_ = QString::fromLocal8Bit(pa_->strerror(err));
        }
    }
    void Flush() override
    {
        int err = 0;
        if (s_ && !failed_) pa_->simple_flush(s_, &err);
    }
    bool Failed(QString* why) const override
    {
        if (failed_ && why) *why = why_;
        return failed_;
    }

private:
    const TPulseApi* pa_ = nullptr;
    pa_simple* s_ = nullptr;
    size_t channels_ = 2;
    bool failed_ = false;
    QString why_;
};

std::mutex g_factoryMutex;
std::function<std::unique_ptr<TAudioSink>()> g_factory;

} // namespace

std::unique_ptr<TAudioSink> MakeWavSink(const QString& path, bool paced)
{
    return std::make_unique<TWavSink>(path, paced);
}
std::unique_ptr<TAudioSink> MakeNullSink()
{
    return std::make_unique<TNullSink>();
}
std::unique_ptr<TAudioSink> MakePulseSink()
{
    return std::make_unique<TPulseSink>();
}
std::unique_ptr<TAudioSink> MakeDefaultSink()
{
    const QString spec = qEnvironmentVariable("DIALWISE_AUDIO_SINK");
    if (spec.startsWith("wav:")) return MakeWavSink(spec.mid(4), true);
    if (spec == "null") return MakeNullSink();
    return MakePulseSink();
}
void SetSinkFactory(std::function<std::unique_ptr<TAudioSink>()> factory)
{
    std::lock_guard<std::mutex> l(g_factoryMutex);
    g_factory = std::move(factory);
}

// ---------------------------------------------------------------------------------------
// Devices

namespace {

// Delivers the devices' notifications on the main thread to their callback objects,
// which are looked up there so that a worker never touches a QObject.
class TWaveDispatcher : public QObject
{
public:
    struct Ev : QEvent
    {
        Ev(quint64 id, int msg, HWAVEOUT dev, WAVEHDR* hdr)
            : QEvent(QEvent::User), Id(id), Msg(msg), Dev(dev), Hdr(hdr)
        {
        }
        quint64 Id;
        int Msg;
        HWAVEOUT Dev;
        WAVEHDR* Hdr;
    };
    QHash<quint64, QPointer<QObject>> Targets;

    bool event(QEvent* e) override
    {
        if (e->type() != QEvent::User) return QObject::event(e);
        auto* ev = static_cast<Ev*>(e);
        QPointer<QObject> target = Targets.value(ev->Id);
        if (ev->Msg == MM_WOM_CLOSE) Targets.remove(ev->Id);
        if (target) {
            TWindowMessage m(ev->Msg, qintptr(ev->Dev), qintptr(ev->Hdr));
            QCoreApplication::sendEvent(target, &m);
        }
        return true;
    }
};

QPointer<TWaveDispatcher>& dispatcherRef()
{
    static QPointer<TWaveDispatcher> d;
    return d;
}

std::atomic<quint32> g_volume{0xFFFFFFFFu};

// Workers of closed devices finish on their own; they are joined here.
struct TReaper
{
    struct Entry
    {
        std::thread t;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::mutex m;
    std::vector<Entry> entries;
    void add(std::thread t, std::shared_ptr<std::atomic<bool>> done)
    {
        std::lock_guard<std::mutex> l(m);
        for (auto it = entries.begin(); it != entries.end();) {
            if (it->done->load()) {
                it->t.join();
                it = entries.erase(it);
            } else {
                ++it;
            }
        }
        entries.push_back({std::move(t), std::move(done)});
    }
    ~TReaper()
    {
        for (auto& e : entries)
            if (e.t.joinable()) e.t.join();
    }
};
TReaper& reaper()
{
    static TReaper r;
    return r;
}

} // namespace

void setLastError(const QString& why);

class TWaveDevice
{
public:
    quint64 Id = 0;
    QByteArray Format;
    TWaveDispatcher* Post = nullptr; // where the worker posts (lives as long as qApp)

    std::mutex M;
    std::condition_variable Cv;
    std::deque<WAVEHDR*> Queue;
    WAVEHDR* InFlight = nullptr;
    quint64 Generation = 0;
    bool Closing = false;
    std::thread Worker;
    std::unique_ptr<TAudioSink> Sink;
    TWaveDecoder Decoder;

    void post(int msg, WAVEHDR* hdr)
    {
        QCoreApplication::postEvent(Post, new TWaveDispatcher::Ev(Id, msg, this, hdr));
    }

    // Called with M held.
    void returnBuffer(WAVEHDR* h)
    {
        h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
        post(MM_WOM_DONE, h);
    }

    std::function<std::unique_ptr<TAudioSink>()> MakeSink;
    std::unique_ptr<TAudioSink> Standby; // keeps the pace while the real sink is away
    std::chrono::steady_clock::time_point NextTry;

    void failed(MMRESULT code, const QString& why)
    {
        setLastError(why);
        DebugLog("Sound output unavailable (" + why + "): trying again every second", dcErrOut);
        Standby = MakeNullSink();
        Standby->Open(Decoder.OutRate(), Decoder.OutChannels(), nullptr);
        NextTry = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        QCoreApplication::postEvent(
            Post, new TWaveDispatcher::Ev(Id, MM_WOM_ERROR, this,
                                          reinterpret_cast<WAVEHDR*>(quintptr(code))));
    }

    // While the sound server is away, a fresh connection is tried now and then.
    void retrySink()
    {
        if (!Standby || std::chrono::steady_clock::now() < NextTry) return;
        NextTry = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        std::unique_ptr<TAudioSink> fresh = MakeSink();
        QString why;
        if (!fresh->Open(Decoder.OutRate(), Decoder.OutChannels(), &why)) return;
        Sink = std::move(fresh);
        Standby.reset();
        DebugLog("Sound output is back", dcErrOut);
        QCoreApplication::postEvent(Post, new TWaveDispatcher::Ev(Id, MM_WOM_ERROR, this, nullptr));
    }

    TAudioSink& out() { return Standby ? *Standby : *Sink; }

    void run()
    {
        const int channels = Decoder.OutChannels();
        QString why;
        if (!Sink->Open(Decoder.OutRate(), channels, &why)) failed(MMSYSERR_NODRIVER, why);
        quint64 seen = 0;
        std::vector<char> data;
        std::vector<int16_t> scaled;
        for (;;) {
            WAVEHDR* h = nullptr;
            quint64 gen = 0;
            {
                std::unique_lock<std::mutex> l(M);
                Cv.wait(l, [&] { return Closing || !Queue.empty(); });
                if (Queue.empty()) break; // closing
                h = Queue.front();
                Queue.pop_front();
                InFlight = h;
                gen = Generation;
                data.assign(h->lpData, h->lpData + h->dwBufferLength);
            }
            if (gen != seen) {
                // A reset since the last buffer: start clean.
                Decoder.Reset();
                out().Flush();
                seen = gen;
            }
            retrySink();
            auto stale = [&] {
                std::lock_guard<std::mutex> l(M);
                return Generation != gen || Closing;
            };
            Decoder.Decode(data.data(), int(data.size()), [&](const int16_t* s, int frames) {
                const quint32 vol = g_volume.load();
                const int gl = int(vol & 0xFFFF), gr = int(vol >> 16);
                const bool full = gl == 0xFFFF && (channels == 1 || gr == 0xFFFF);
                // Slices of about 20 ms, so that a reset is not kept waiting.
                const int slice = std::max(64, Decoder.OutRate() / 50);
                for (int at = 0; at < frames; at += slice) {
                    if (stale()) return false;
                    const int n = std::min(slice, frames - at);
                    const int16_t* src = s + size_t(at) * channels;
                    if (!full) {
                        scaled.assign(src, src + size_t(n) * channels);
                        for (int i = 0; i < n * channels; ++i)
                            scaled[i] = int16_t(int(scaled[i]) *
                                                (channels == 2 && (i & 1) ? gr : gl) / 0xFFFF);
                        src = scaled.data();
                    }
                    out().Write(src, n);
                    QString lost;
                    if (!Standby && Sink->Failed(&lost)) failed(MMSYSERR_ERROR, lost);
                }
                return true;
            });
            std::lock_guard<std::mutex> l(M);
            if (InFlight == h) {
                InFlight = nullptr;
                returnBuffer(h);
            }
        }
        Sink.reset();
        Standby.reset();
    }
};

namespace {
std::mutex g_devicesMutex;
QSet<HWAVEOUT>& devices()
{
    static QSet<HWAVEOUT> s;
    return s;
}
bool valid(HWAVEOUT h)
{
    std::lock_guard<std::mutex> l(g_devicesMutex);
    return h && devices().contains(h);
}
} // namespace

MMRESULT waveOutOpen(HWAVEOUT* device, int deviceId, const QByteArray& format, QObject* callback)
{
    if (!device) return MMSYSERR_INVALPARAM;
    *device = nullptr;
    if (deviceId != WAVE_MAPPER && deviceId != 0) return MMSYSERR_BADDEVICEID;
    auto dev = std::make_unique<TWaveDevice>();
    QString why;
    if (!dev->Decoder.Open(format, &why)) {
        DebugLog("waveOutOpen: " + why, dcErrOut);
        return WAVERR_BADFORMAT;
    }
    static quint64 serial = 0;
    dev->Id = ++serial;
    dev->Format = format;
    auto& disp = dispatcherRef();
    if (!disp) disp = new TWaveDispatcher;
    if (QCoreApplication::instance() && disp->parent() != QCoreApplication::instance())
        disp->setParent(QCoreApplication::instance());
    dev->Post = disp;
    disp->Targets.insert(dev->Id, callback);
    {
        std::lock_guard<std::mutex> l(g_factoryMutex);
        dev->MakeSink =
            g_factory ? g_factory : std::function<std::unique_ptr<TAudioSink>()>(MakeDefaultSink);
    }
    dev->Sink = dev->MakeSink();
    HWAVEOUT h = dev.release();
    h->Worker = std::thread([h] { h->run(); });
    {
        std::lock_guard<std::mutex> l(g_devicesMutex);
        devices().insert(h);
    }
    h->post(MM_WOM_OPEN, nullptr);
    *device = h;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* hdr)
{
    if (!valid(device)) return MMSYSERR_INVALHANDLE;
    if (!hdr || (!hdr->lpData && hdr->dwBufferLength)) return MMSYSERR_INVALPARAM;
    hdr->dwFlags = (hdr->dwFlags | WHDR_PREPARED) & ~WHDR_DONE;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* hdr)
{
    if (!valid(device)) return MMSYSERR_INVALHANDLE;
    if (!hdr) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> l(device->M);
    if (hdr->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    hdr->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* hdr)
{
    if (!valid(device)) return MMSYSERR_INVALHANDLE;
    if (!hdr) return MMSYSERR_INVALPARAM;
    if (!(hdr->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    {
        std::lock_guard<std::mutex> l(device->M);
        if (hdr->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
        hdr->dwFlags = (hdr->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
        device->Queue.push_back(hdr);
    }
    device->Cv.notify_one();
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutReset(HWAVEOUT device)
{
    if (!valid(device)) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> l(device->M);
    ++device->Generation;
    if (device->InFlight) device->returnBuffer(std::exchange(device->InFlight, nullptr));
    for (WAVEHDR* h : device->Queue)
        device->returnBuffer(h);
    device->Queue.clear();
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT device)
{
    if (!valid(device)) return MMSYSERR_INVALHANDLE;
    {
        std::lock_guard<std::mutex> l(device->M);
        if (device->InFlight || !device->Queue.empty()) return WAVERR_STILLPLAYING;
        device->Closing = true;
    }
    {
        std::lock_guard<std::mutex> l(g_devicesMutex);
        devices().remove(device);
    }
    device->Cv.notify_one();
    device->post(MM_WOM_CLOSE, nullptr);
    // The worker may still be handing its last slice to the sink: it ends by itself and
    // takes the device with it.
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread owner([device, done, w = std::move(device->Worker)]() mutable {
        if (w.joinable()) w.join();
        delete device;
        done->store(true);
    });
    reaper().add(std::move(owner), done);
    return MMSYSERR_NOERROR;
}

namespace {
std::mutex g_errorMutex;
QString g_lastError;
} // namespace

void setLastError(const QString& why)
{
    std::lock_guard<std::mutex> l(g_errorMutex);
    g_lastError = why;
}

QString waveOutLastErrorDetail()
{
    std::lock_guard<std::mutex> l(g_errorMutex);
    return g_lastError;
}

QString waveOutGetErrorText(MMRESULT code)
{
    switch (code) {
    case MMSYSERR_NOERROR:
        return "The command completed successfully.";
    case MMSYSERR_ERROR:
        return "Undefined external error.";
    case MMSYSERR_BADDEVICEID:
        return "A device ID has been used that is out of range for your system.";
    case MMSYSERR_NOTENABLED:
        return "The driver was not enabled.";
    case MMSYSERR_ALLOCATED:
        return "The specified device is already in use.  Wait until it is free, and then try "
               "again.";
    case MMSYSERR_INVALHANDLE:
        return "The specified device handle is invalid.";
    case MMSYSERR_NODRIVER:
        return "There is no driver installed on your system.";
    case MMSYSERR_NOMEM:
        return "There is not enough memory available for this task.  Quit one or more applications "
               "to increase available memory, and then try again.";
    case MMSYSERR_INVALPARAM:
        return "An invalid parameter was passed to a system function.";
    case WAVERR_BADFORMAT:
        return "The specified format is not supported or cannot be translated.  Use the "
               "Capabilities function to determine the supported formats.";
    case WAVERR_STILLPLAYING:
        return "Cannot perform this operation while media data is still playing.  Reset the "
               "device, or wait until the data is finished playing.";
    case WAVERR_UNPREPARED:
        return "The wave header was not prepared.  Use the Prepare function to prepare the header, "
               "and then try again.";
    default:
        return "The specified error number is out of range.";
    }
}

MMRESULT waveOutSetVolume(HWAVEOUT, quint32 volume)
{
    g_volume.store(volume);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetVolume(HWAVEOUT, quint32* volume)
{
    if (!volume) return MMSYSERR_INVALPARAM;
    *volume = g_volume.load();
    return MMSYSERR_NOERROR;
}

} // namespace platform
