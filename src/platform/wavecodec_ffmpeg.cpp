// FFmpeg's decoders behind the wave decoder, as a plugin: the program loads it with the
// first decoder it opens, so that FFmpeg's libraries cost nothing at start.
#include "wavecodec.h"

#include <algorithm>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace platform {
namespace {

quint16 rd16(const char* p)
{
    return quint16(quint8(p[0]) | (quint8(p[1]) << 8));
}

class TFfmpegCodec : public IWaveCodec
{
public:
    TWaveFormat fmt;
    const AVCodec* codec = nullptr;
    AVCodecContext* ctx = nullptr;
    AVCodecParserContext* parser = nullptr;
    AVPacket* pkt = nullptr;
    AVFrame* frame = nullptr;
    SwrContext* swr = nullptr;
    int swrInFormat = -1, swrInRate = 0, swrInChannels = 0;
    int outChannels = 2;
    int unit = 1;              // bytes per packet when the codec has no parser
    QByteArray pending;        // bytes waiting for a whole unit
    std::vector<int16_t> conv; // resampled samples

    ~TFfmpegCodec() override { close(); }
    bool Open(const TWaveFormat& f, QString* why) override { return open(f, why); }
    int OutChannels() const override { return outChannels; }
    void Decode(const char* data, int len, const TWaveDecoder::TFramesOut& out) override
    {
        decode(data, len, out);
    }
    void Reset() override { reset(); }

    void close()
    {
        if (parser) av_parser_close(parser);
        parser = nullptr;
        avcodec_free_context(&ctx);
        av_packet_free(&pkt);
        av_frame_free(&frame);
        swr_free(&swr);
        swrInFormat = -1;
        pending.clear();
    }

    AVCodecID codecFor(const TWaveFormat& f) const
    {
        quint16 tag = f.FormatTag;
        // WAVE_FORMAT_EXTENSIBLE names the real format in its sub-format GUID.
        if (tag == 0xFFFE && f.Extra.size() >= 22) tag = rd16(f.Extra.constData() + 6);
        if (tag == 0x0001) {
            switch (f.BitsPerSample) {
            case 8:
                return AV_CODEC_ID_PCM_U8;
            case 16:
                return AV_CODEC_ID_PCM_S16LE;
            case 24:
                return AV_CODEC_ID_PCM_S24LE;
            case 32:
                return AV_CODEC_ID_PCM_S32LE;
            default:
                return AV_CODEC_ID_NONE;
            }
        }
        if (tag == 0x0003)
            return f.BitsPerSample == 64 ? AV_CODEC_ID_PCM_F64LE : AV_CODEC_ID_PCM_F32LE;
        const AVCodecTag* tables[] = {avformat_get_riff_audio_tags(), nullptr};
        return av_codec_get_id(tables, tag);
    }

    bool open(const TWaveFormat& f, QString* why)
    {
        close();
        auto fail = [&](const QString& reason) {
            if (why) *why = reason;
            close();
            return false;
        };
        fmt = f;
        const AVCodecID id = codecFor(fmt);
        codec = id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_decoder(id);
        if (!codec)
            return fail(
                QString("no decoder for format tag 0x%1").arg(fmt.FormatTag, 4, 16, QChar('0')));
        ctx = avcodec_alloc_context3(codec);
        pkt = av_packet_alloc();
        frame = av_frame_alloc();
        if (!ctx || !pkt || !frame) return fail("out of memory");
        ctx->sample_rate = int(fmt.SamplesPerSec);
        av_channel_layout_default(&ctx->ch_layout, fmt.Channels);
        ctx->block_align = fmt.BlockAlign;
        ctx->bit_rate = qint64(fmt.AvgBytesPerSec) * 8;
        ctx->bits_per_coded_sample = fmt.BitsPerSample;
        if (!fmt.Extra.isEmpty()) {
            ctx->extradata = static_cast<uint8_t*>(
                av_mallocz(size_t(fmt.Extra.size()) + AV_INPUT_BUFFER_PADDING_SIZE));
            if (!ctx->extradata) return fail("out of memory");
            memcpy(ctx->extradata, fmt.Extra.constData(), size_t(fmt.Extra.size()));
            ctx->extradata_size = int(fmt.Extra.size());
        }
        if (avcodec_open2(ctx, codec, nullptr) < 0)
            return fail(QString("the %1 decoder refused the format").arg(codec->name));
        parser = av_parser_init(id);
        if (!parser) {
            // PCM and block codecs: whole blocks, and for PCM not too many at once.
            unit = std::max<int>(1, fmt.BlockAlign);
            if (codec->type == AVMEDIA_TYPE_AUDIO && ctx->block_align <= 0) unit = 1;
        }
        outChannels = fmt.Channels >= 2 ? 2 : 1;
        return true;
    }

    bool deliver(const TWaveDecoder::TFramesOut& out)
    {
        const int inFormat = frame->format;
        const int inChannels = frame->ch_layout.nb_channels;
        const int inRate = frame->sample_rate > 0 ? frame->sample_rate : int(fmt.SamplesPerSec);
        if (inChannels <= 0 || frame->nb_samples <= 0) return true;
        if (!swr || inFormat != swrInFormat || inChannels != swrInChannels || inRate != swrInRate) {
            swr_free(&swr);
            AVChannelLayout outLayout;
            av_channel_layout_default(&outLayout, outChannels);
            if (swr_alloc_set_opts2(&swr, &outLayout, AV_SAMPLE_FMT_S16, int(fmt.SamplesPerSec),
                                    &frame->ch_layout, AVSampleFormat(inFormat), inRate, 0,
                                    nullptr) < 0 ||
                swr_init(swr) < 0) {
                swr_free(&swr);
                return true;
            }
            swrInFormat = inFormat;
            swrInChannels = inChannels;
            swrInRate = inRate;
        }
        const int cap = swr_get_out_samples(swr, frame->nb_samples) + 16;
        conv.resize(size_t(cap) * size_t(outChannels));
        uint8_t* dst = reinterpret_cast<uint8_t*>(conv.data());
        const int n = swr_convert(swr, &dst, cap, const_cast<const uint8_t**>(frame->extended_data),
                                  frame->nb_samples);
        if (n > 0) return out(conv.data(), n);
        return true;
    }

    bool sendPacket(const uint8_t* data, int size, const TWaveDecoder::TFramesOut& out)
    {
        pkt->data = const_cast<uint8_t*>(data);
        pkt->size = size;
        if (avcodec_send_packet(ctx, pkt) < 0) return true; // a bad packet is skipped
        while (avcodec_receive_frame(ctx, frame) == 0) {
            const bool go = deliver(out);
            av_frame_unref(frame);
            if (!go) return false;
        }
        return true;
    }

    std::vector<uint8_t> parserInput;

    void decode(const char* data, int len, const TWaveDecoder::TFramesOut& out)
    {
        if (!ctx || len <= 0) return;
        if (parser) {
            // The parser reads a little past what it is given: a zeroed tail of padding.
            parserInput.resize(size_t(len) + AV_INPUT_BUFFER_PADDING_SIZE);
            memcpy(parserInput.data(), data, size_t(len));
            memset(parserInput.data() + len, 0, AV_INPUT_BUFFER_PADDING_SIZE);
            const uint8_t* in = parserInput.data();
            while (len > 0) {
                uint8_t* outData = nullptr;
                int outSize = 0;
                const int used = av_parser_parse2(parser, ctx, &outData, &outSize, in, len,
                                                  AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
                if (used < 0) return;
                in += used;
                len -= used;
                if (outSize > 0 && !sendPacket(outData, outSize, out)) return;
                if (used == 0 && outSize == 0) break;
            }
            return;
        }
        pending.append(data, len);
        // Whole units, a few kilobytes at a time.
        const int step = std::max(unit, (16384 / unit) * unit);
        int pos = 0;
        while (pending.size() - pos >= unit) {
            const int n = std::min(step, int((pending.size() - pos) / unit) * unit);
            QByteArray padded(n + AV_INPUT_BUFFER_PADDING_SIZE, '\0');
            memcpy(padded.data(), pending.constData() + pos, size_t(n));
            pos += n;
            if (!sendPacket(reinterpret_cast<const uint8_t*>(padded.constData()), n, out)) break;
        }
        pending.remove(0, pos);
    }

    void reset()
    {
        pending.clear();
        if (ctx) avcodec_flush_buffers(ctx);
        if (parser) {
            av_parser_close(parser);
            parser = av_parser_init(codec->id);
        }
    }
};

} // namespace
} // namespace platform

extern "C" __attribute__((visibility("default"))) platform::IWaveCodec* dialwise_wave_codec_new()
{
    return new platform::TFfmpegCodec;
}
