#pragma once
// Wave output: a sound device that takes a wave-format block and the audio bytes in that
// format unchanged, in queued buffers, and hands each buffer back when its sound has gone
// to the sound server. The format tag chooses an FFmpeg decoder (through the RIFF tag
// table; the block's extra bytes are the decoder's extradata); libswresample turns the
// result into 16-bit samples for the sink.
//
// Sinks: the PulseAudio server (also PipeWire's PulseAudio service) by default;
// DIALWISE_AUDIO_SINK=wav:FILE writes what would be heard to a WAV file at the pace of a
// real device, DIALWISE_AUDIO_SINK=null discards it at that pace.
//
// Notifications: MM_WOM_OPEN, MM_WOM_DONE (lParam = the returned WAVEHDR*) and
// MM_WOM_CLOSE arrive as platform::TWindowMessage (wParam = the device handle) at the
// callback object, in order, from the message loop. Decoding and writing run on one
// worker thread per open device; nothing here waits on the calling thread.
#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

using MMRESULT = unsigned;
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;

constexpr int MM_WOM_OPEN = 0x3BB;
constexpr int MM_WOM_CLOSE = 0x3BC;
constexpr int MM_WOM_DONE = 0x3BD;
// Ours: the sound output failed (lParam = MMSYSERR_NODRIVER when the sound server cannot
// be reached, MMSYSERR_ERROR when it went away while playing; waveOutLastErrorDetail()
// says why) or is back (lParam = MMSYSERR_NOERROR). Meanwhile the device keeps taking
// and returning buffers at the pace of the sound, and tries the sound server again every
// second.
constexpr int MM_WOM_ERROR = 0x3BE;
constexpr int WAVE_MAPPER = -1;

constexpr quint32 WHDR_DONE = 0x01;
constexpr quint32 WHDR_PREPARED = 0x02;
constexpr quint32 WHDR_INQUEUE = 0x10;

struct WAVEHDR
{
    char* lpData = nullptr;
    quint32 dwBufferLength = 0;
    quint32 dwBytesRecorded = 0;
    quintptr dwUser = 0;
    quint32 dwFlags = 0;
};

// The fields of a wave-format block (WAVEFORMATEX, little-endian).
struct TWaveFormat
{
    quint16 FormatTag = 0;
    quint16 Channels = 0;
    quint32 SamplesPerSec = 0;
    quint32 AvgBytesPerSec = 0;
    quint16 BlockAlign = 0;
    quint16 BitsPerSample = 0;
    QByteArray Extra; // the cbSize bytes after the block's 18 fixed bytes
};
// Reads a format block. A block shorter than its own cbSize, or with no channels or no
// sample rate, is refused with the reason in `why`.
bool ParseWaveFormat(const QByteArray& block, TWaveFormat& out, QString* why = nullptr);
// Builds a block from the fields (the inverse, for servers and tests).
QByteArray MakeWaveFormat(const TWaveFormat& f);

// Turns the audio bytes of one format into 16-bit interleaved samples (one or two
// channels, the source's rate). Data may be split anywhere between calls.
class TWaveDecoder
{
public:
    TWaveDecoder();
    ~TWaveDecoder();
    TWaveDecoder(const TWaveDecoder&) = delete;
    TWaveDecoder& operator=(const TWaveDecoder&) = delete;

    // False (with a reason) when no decoder takes the format.
    bool Open(const QByteArray& formatBlock, QString* why = nullptr);
    int OutChannels() const;
    int OutRate() const;
    using TFramesOut = std::function<bool(const int16_t* samples, int frames)>;
    // Decodes what it can; each batch of samples goes to `out` (false from it stops
    // the call). Undecodable data is skipped.
    void Decode(const char* data, int len, const TFramesOut& out);
    // Forgets partial data and decoder state (after a reset of the device).
    void Reset();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Where the samples go.
class TAudioSink
{
public:
    virtual ~TAudioSink() = default;
    virtual bool Open(int rate, int channels, QString* why) = 0;
    // Blocks at most for about the length of what it is given.
    virtual void Write(const int16_t* samples, int frames) = 0;
    // Drops what is queued but not yet heard.
    virtual void Flush() {}
    // True (with the reason) once the sink has stopped taking sound (its server went
    // away); it is not written to again.
    virtual bool Failed(QString* why) const
    {
        (void)why;
        return false;
    }
};
// A WAV file; `paced` makes writes take as long as the sound lasts, as on a device.
std::unique_ptr<TAudioSink> MakeWavSink(const QString& path, bool paced);
std::unique_ptr<TAudioSink> MakeNullSink();
std::unique_ptr<TAudioSink> MakePulseSink();
// The sink DIALWISE_AUDIO_SINK asks for (PulseAudio when unset).
std::unique_ptr<TAudioSink> MakeDefaultSink();
// Tests and benchmarks may choose the sink of the devices opened from now on.
void SetSinkFactory(std::function<std::unique_ptr<TAudioSink>()> factory);

class TWaveDevice;
using HWAVEOUT = TWaveDevice*;

MMRESULT waveOutOpen(HWAVEOUT* device, int deviceId, const QByteArray& format, QObject* callback);
MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* hdr);
MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* hdr);
MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* hdr);
// Every queued buffer comes back as done, in order.
MMRESULT waveOutReset(HWAVEOUT device);
MMRESULT waveOutClose(HWAVEOUT device);
QString waveOutGetErrorText(MMRESULT code);
// Why the sound output last failed, in words ("Connection refused").
QString waveOutLastErrorDetail();
// The volume of the program's own sound (left in the low 16 bits, right in the high);
// the rest of the desktop keeps its own.
MMRESULT waveOutSetVolume(HWAVEOUT device, quint32 volume);
MMRESULT waveOutGetVolume(HWAVEOUT device, quint32* volume);

} // namespace platform
