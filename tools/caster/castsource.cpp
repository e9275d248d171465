#include "castsource.h"

#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace caster {

namespace {
void wr16(QByteArray& b, quint16 v)
{
    b.append(char(v & 0xFF)).append(char(v >> 8));
}
void wr32(QByteArray& b, quint32 v)
{
    wr16(b, quint16(v & 0xFFFF));
    wr16(b, quint16(v >> 16));
}
QByteArray formatBlock(quint16 tag, int channels, int rate, int avgBytes, int blockAlign, int bits,
                       const QByteArray& extra)
{
    QByteArray b;
    wr16(b, tag);
    wr16(b, quint16(channels));
    wr32(b, quint32(rate));
    wr32(b, quint32(avgBytes));
    wr16(b, quint16(blockAlign));
    wr16(b, quint16(bits));
    wr16(b, quint16(extra.size()));
    b.append(extra);
    return b;
}
} // namespace

bool CodecFromName(const QString& name, TCodec& out)
{
    const QString n = name.toLower();
    if (n == "pcm")
        out = codecPcm;
    else if (n == "ima")
        out = codecIma;
    else if (n == "msadpcm")
        out = codecMsAdpcm;
    else if (n == "mp3")
        out = codecMp3;
    else
        return false;
    return true;
}

std::vector<int16_t> MakeTone(double frequency, int rate, int channels, double seconds)
{
    // A whole number of periods, so that the loop joins without a click.
    qint64 frames = qint64(seconds * rate);
    const double periods = std::max(1.0, std::round(frames * frequency / rate));
    frames = qint64(std::llround(periods * rate / frequency));
    std::vector<int16_t> s(size_t(frames) * size_t(channels));
    for (qint64 i = 0; i < frames; ++i) {
        const auto v =
            int16_t(std::lround(16383.0 * std::sin(2 * M_PI * frequency * double(i) / rate)));
        for (int c = 0; c < channels; ++c)
            s[size_t(i) * size_t(channels) + size_t(c)] = v;
    }
    return s;
}

bool LoadAudioFile(const QString& path, int rate, int channels, double seconds,
                   std::vector<int16_t>& out, QString* why)
{
    auto fail = [&](const QString& t) {
        if (why) *why = t;
        return false;
    };
    AVFormatContext* fc = nullptr;
    if (avformat_open_input(&fc, path.toLocal8Bit().constData(), nullptr, nullptr) < 0)
        return fail("cannot open " + path);
    struct Guard
    {
        AVFormatContext** fc;
        AVCodecContext* cc = nullptr;
        SwrContext* swr = nullptr;
        AVPacket* pkt = av_packet_alloc();
        AVFrame* fr = av_frame_alloc();
        ~Guard()
        {
            av_frame_free(&fr);
            av_packet_free(&pkt);
            swr_free(&swr);
            avcodec_free_context(&cc);
            avformat_close_input(fc);
        }
    } g{&fc};
    if (avformat_find_stream_info(fc, nullptr) < 0) return fail("no streams in " + path);
    const AVCodec* dec = nullptr;
    const int si = av_find_best_stream(fc, AVMEDIA_TYPE_AUDIO, -1, -1, &dec, 0);
    if (si < 0 || !dec) return fail("no audio in " + path);
    g.cc = avcodec_alloc_context3(dec);
    avcodec_parameters_to_context(g.cc, fc->streams[si]->codecpar);
    if (avcodec_open2(g.cc, dec, nullptr) < 0) return fail("cannot decode " + path);
    AVChannelLayout outLayout;
    av_channel_layout_default(&outLayout, channels);
    const qint64 want = qint64(seconds * rate) * channels;
    out.clear();
    auto drain = [&]() {
        while (avcodec_receive_frame(g.cc, g.fr) == 0) {
            if (!g.swr) {
                swr_alloc_set_opts2(&g.swr, &outLayout, AV_SAMPLE_FMT_S16, rate, &g.fr->ch_layout,
                                    AVSampleFormat(g.fr->format), g.fr->sample_rate, 0, nullptr);
                if (!g.swr || swr_init(g.swr) < 0) return false;
            }
            const int cap = swr_get_out_samples(g.swr, g.fr->nb_samples) + 32;
            std::vector<int16_t> buf(size_t(cap) * size_t(channels));
            uint8_t* dst = reinterpret_cast<uint8_t*>(buf.data());
            const int n =
                swr_convert(g.swr, &dst, cap, const_cast<const uint8_t**>(g.fr->extended_data),
                            g.fr->nb_samples);
            if (n > 0) out.insert(out.end(), buf.begin(), buf.begin() + n * channels);
            av_frame_unref(g.fr);
            if (qint64(out.size()) >= want) return false;
        }
        return true;
    };
    bool go = true;
    while (go && av_read_frame(fc, g.pkt) >= 0) {
        if (g.pkt->stream_index == si && avcodec_send_packet(g.cc, g.pkt) == 0) go = drain();
        av_packet_unref(g.pkt);
    }
    if (go) {
        avcodec_send_packet(g.cc, nullptr);
        drain();
    }
    if (qint64(out.size()) > want) out.resize(size_t(want));
    if (out.empty()) return fail("no samples in " + path);
    return true;
}

bool Encode(const std::vector<int16_t>& samples, int rate, int channels, TCodec codec,
            int bitrateKbps, int packetMs, TEncodedLoop& out, QString* why)
{
    auto fail = [&](const QString& t) {
        if (why) *why = t;
        return false;
    };
    out = TEncodedLoop{};
    const qint64 frames = qint64(samples.size()) / channels;
    if (frames <= 0) return fail("no samples");
    out.DurationUs = frames * 1000000 / rate;
    const qint64 packetUs = qint64(packetMs) * 1000;

    if (codec == codecPcm) {
        out.Format = formatBlock(0x0001, channels, rate, rate * channels * 2, channels * 2, 16, {});
        out.Bitrate = rate * channels * 16 / 1000;
        const qint64 perPacket = std::max<qint64>(1, qint64(rate) * packetMs / 1000);
        for (qint64 f = 0; f < frames; f += perPacket) {
            const qint64 n = std::min(perPacket, frames - f);
            TAudioPacket p;
            p.StartUs = f * 1000000 / rate;
            p.Payload = QByteArray(reinterpret_cast<const char*>(samples.data() + f * channels),
                                   n * channels * 2);
            out.Packets.push_back(std::move(p));
        }
        return true;
    }

    const char* encName = codec == codecIma       ? "adpcm_ima_wav"
                          : codec == codecMsAdpcm ? "adpcm_ms"
                                                  : "libmp3lame";
    const AVCodec* enc = avcodec_find_encoder_by_name(encName);
    if (!enc) return fail(QString("no %1 encoder").arg(encName));
    AVCodecContext* cc = avcodec_alloc_context3(enc);
    AVFrame* fr = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    struct Guard
    {
        AVCodecContext** cc;
        AVFrame** fr;
        AVPacket** pkt;
        ~Guard()
        {
            av_packet_free(pkt);
            av_frame_free(fr);
            avcodec_free_context(cc);
        }
    } g{&cc, &fr, &pkt};
    cc->sample_rate = rate;
    av_channel_layout_default(&cc->ch_layout, channels);
    // lame and IMA take planar samples, MS ADPCM interleaved ones.
    cc->sample_fmt = codec == codecMsAdpcm ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S16P;
    if (codec == codecMp3) cc->bit_rate = qint64(bitrateKbps) * 1000;
    if (codec != codecMp3) cc->block_align = channels * 1024; // bytes per ADPCM block
    if (avcodec_open2(cc, enc, nullptr) < 0)
        return fail(QString("the %1 encoder refused the format").arg(encName));

    const int frameSize = cc->frame_size > 0 ? cc->frame_size : 1152;
    if (codec == codecMp3) {
        // MPEGLAYER3WAVEFORMAT: id, flags, block size, frames per block, codec delay.
        QByteArray extra;
        wr16(extra, 1);
        wr32(extra, 2);
        wr16(extra, quint16(144 * bitrateKbps * 1000 / rate));
        wr16(extra, 1);
        wr16(extra, 1393);
        out.Format = formatBlock(0x0055, channels, rate, bitrateKbps * 125, 1, 0, extra);
        out.Bitrate = bitrateKbps;
    } else if (codec == codecIma) {
        QByteArray extra;
        wr16(extra, quint16(frameSize)); // samples per block
        out.Format =
            formatBlock(0x0011, channels, rate, int(qint64(cc->block_align) * rate / frameSize),
                        cc->block_align, 4, extra);
        out.Bitrate = int(qint64(cc->block_align) * 8 * rate / frameSize / 1000);
    } else {
        QByteArray extra(reinterpret_cast<const char*>(cc->extradata), cc->extradata_size);
        out.Format =
            formatBlock(0x0002, channels, rate, int(qint64(cc->block_align) * rate / frameSize),
                        cc->block_align, 4, extra);
        out.Bitrate = int(qint64(cc->block_align) * 8 * rate / frameSize / 1000);
    }

    TAudioPacket cur;
    qint64 curStart = -1;
    auto take = [&]() {
        while (avcodec_receive_packet(cc, pkt) == 0) {
            const qint64 at =
                pkt->pts == AV_NOPTS_VALUE ? 0 : std::max<qint64>(0, pkt->pts) * 1000000 / rate;
            if (curStart < 0) curStart = at;
            cur.Payload.append(reinterpret_cast<const char*>(pkt->data), pkt->size);
            if (at + qint64(frameSize) * 1000000 / rate - curStart >= packetUs) {
                cur.StartUs = curStart;
                out.Packets.push_back(std::move(cur));
                cur = TAudioPacket{};
                curStart = -1;
            }
            av_packet_unref(pkt);
        }
    };
    fr->format = cc->sample_fmt;
    av_channel_layout_copy(&fr->ch_layout, &cc->ch_layout);
    fr->sample_rate = rate;
    const bool planar = av_sample_fmt_is_planar(cc->sample_fmt);
    for (qint64 f = 0; f < frames; f += frameSize) {
        const int n = int(std::min<qint64>(frameSize, frames - f));
        fr->nb_samples = frameSize; // whole frames; the tail is padded with silence
        if (av_frame_get_buffer(fr, 0) < 0) return fail("out of memory");
        for (int i = 0; i < frameSize; ++i) {
            for (int c = 0; c < channels; ++c) {
                const int16_t v = i < n ? samples[size_t(f + i) * size_t(channels) + size_t(c)] : 0;
                if (planar)
                    reinterpret_cast<int16_t*>(fr->data[c])[i] = v;
                else
                    reinterpret_cast<int16_t*>(fr->data[0])[i * channels + c] = v;
            }
        }
        fr->pts = f;
        if (avcodec_send_frame(cc, fr) < 0) return fail("encoding failed");
        av_frame_unref(fr);
        fr->format = cc->sample_fmt;
        av_channel_layout_copy(&fr->ch_layout, &cc->ch_layout);
        fr->sample_rate = rate;
        take();
    }
    avcodec_send_frame(cc, nullptr);
    take();
    if (!cur.Payload.isEmpty()) {
        cur.StartUs = std::max<qint64>(0, curStart);
        out.Packets.push_back(std::move(cur));
    }
    if (out.Packets.empty()) return fail("nothing encoded");
    return true;
}

} // namespace caster
