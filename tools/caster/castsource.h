#pragma once
// The audio of a stream of the program's own kind, made once: samples from an audio file
// or a generated tone, encoded in one codec into audio packets with their times, and the
// wave-format block that announces them.
#include <QByteArray>
#include <QString>
#include <vector>

namespace caster {

enum TCodec
{
    codecPcm,
    codecIma,
    codecMsAdpcm,
    codecMp3
};
// "pcm", "ima", "msadpcm", "mp3"; false for anything else.
bool CodecFromName(const QString& name, TCodec& out);

struct TAudioPacket
{
    qint64 StartUs = 0; // time of its first sample from the start of the loop
    QByteArray Payload; // whole frames of the codec
};

struct TEncodedLoop
{
    QByteArray Format;                 // wave-format block
    std::vector<TAudioPacket> Packets; // in order
    qint64 DurationUs = 0;             // length of the loop
    int Bitrate = 0;                   // kbit/s announced
};

// Samples: 16-bit interleaved. A tone is a sine of `frequency` Hz at half scale.
std::vector<int16_t> MakeTone(double frequency, int rate, int channels, double seconds);
// Decodes up to `seconds` of an audio file at the given rate and channel count.
bool LoadAudioFile(const QString& path, int rate, int channels, double seconds,
                   std::vector<int16_t>& out, QString* why);

// Encodes samples into packets of about `packetMs` milliseconds.
bool Encode(const std::vector<int16_t>& samples, int rate, int channels, TCodec codec,
            int bitrateKbps, int packetMs, TEncodedLoop& out, QString* why);

} // namespace caster
