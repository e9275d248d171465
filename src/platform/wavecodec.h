#pragma once
// The decoding half of the wave decoder, served by a plugin of the program's own (FFmpeg's
// decoders), loaded with the first decoder opened, never at start.
#include "waveout.h"

namespace platform {

class IWaveCodec
{
public:
    virtual ~IWaveCodec() = default;
    // False (with a reason) when no decoder takes the format.
    virtual bool Open(const TWaveFormat& format, QString* why) = 0;
    virtual int OutChannels() const = 0;
    virtual void Decode(const char* data, int len, const TWaveDecoder::TFramesOut& out) = 0;
    virtual void Reset() = 0;
};

} // namespace platform

// The plugin's one entry point: a new decoder, freed by its caller.
#define DIALWISE_WAVECODEC_SYMBOL "dialwise_wave_codec_new"
extern "C" typedef platform::IWaveCodec* (*TWaveCodecEntry)();

// The plugin's file name (without folder).
inline constexpr const char* kCodecPlugin = "libdialwise-codecs.so";
