// Encoding speed of each codec as a real-time factor (seconds of audio per
// second of wall time): vemx's encoder beside the same libavcodec encoder
// driven directly, converting the same s16 input where the encoder needs it.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "vemx/vemx.h"

namespace {

struct Codec {
    const char* name;
    AVCodecID id;
    int rate, channels, bit_rate;
};

// 48 kHz stereo where the codec allows; G.722 and G.726 are narrow-band mono.
constexpr Codec kCodecs[] = {
    {"aac", AV_CODEC_ID_AAC, 48000, 2, 128000},
    {"opus", AV_CODEC_ID_OPUS, 48000, 2, 96000},
    {"ac3", AV_CODEC_ID_AC3, 48000, 2, 192000},
    {"eac3", AV_CODEC_ID_EAC3, 48000, 2, 192000},
    {"mp3", AV_CODEC_ID_MP3, 48000, 2, 128000},
    {"mp2", AV_CODEC_ID_MP2, 48000, 2, 192000},
    {"g722", AV_CODEC_ID_ADPCM_G722, 16000, 1, 64000},
    {"g726", AV_CODEC_ID_ADPCM_G726, 8000, 1, 32000},
};
constexpr int kSeconds = 60;

std::vector<int16_t> signal(int rate, int channels) {
    std::vector<int16_t> pcm(size_t(rate) * kSeconds * channels);
    uint32_t noise = 1;
    for (size_t i = 0; i < pcm.size() / channels; ++i) {
        noise = noise * 1664525 + 1013904223;
        const double v = 0.3 * std::sin(2 * M_PI * 440 * double(i) / rate) +
                         0.05 * (int32_t(noise) / 2147483648.0);
        for (int c = 0; c < channels; ++c) pcm[i * channels + c] = int16_t(v * 32767);
    }
    return pcm;
}

// The encoders run on the calling thread, so its CPU time is what they cost;
// unlike wall time it does not count the moments another process had the core.
std::chrono::nanoseconds thread_cpu_now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

double seconds_since(std::chrono::nanoseconds t0) {
    return std::chrono::duration<double>(thread_cpu_now() - t0).count();
}

double run_vemx(const Codec& c, const std::vector<int16_t>& pcm, int64_t& bytes) {
    void* h = vemx_mediaencoder_new();
    vemx_mediaencoder_set_codec_name(h, c.name);
    vemx_mediaencoder_set_format_name(h, "s16");
    vemx_mediaencoder_set_sample_rate(h, c.rate);
    vemx_mediaencoder_set_channels(h, c.channels);
    vemx_mediaencoder_set_bit_rate(h, c.bit_rate);
    if (!vemx_mediaencoder_init(h)) return 0;
    int fs = 0;
    vemx_mediaencoder_get_frame_size(h, &fs);
    const size_t per = size_t(fs) * c.channels;
    const uint8_t* data;
    int64_t size, pts, dts;
    bytes = 0;
    const auto t0 = thread_cpu_now();
    for (size_t pos = 0; pos + per <= pcm.size(); pos += per) {
        const int64_t t = int64_t(pos / c.channels) * 10000000 / c.rate;
        if (vemx_mediaencoder_encode1(h, reinterpret_cast<const uint8_t*>(pcm.data() + pos),
                                      int(per * 2), t, &data, &size, &pts, &dts))
            bytes += size;
    }
    while (vemx_mediaencoder_encode_more(h, &data, &size, &pts, &dts)) bytes += size;
    const double s = seconds_since(t0);
    vemx_mediaencoder_release(h);
    return s;
}

double run_direct(const Codec& c, const std::vector<int16_t>& pcm, int64_t& bytes) {
    const AVCodec* codec = avcodec_find_encoder(c.id);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->sample_rate = c.rate;
    ctx->time_base = AVRational{1, c.rate};
    av_channel_layout_default(&ctx->ch_layout, c.channels);
    ctx->bit_rate = c.bit_rate;
    bool convert = true;
    for (const AVSampleFormat* f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f)
        if (*f == AV_SAMPLE_FMT_S16) convert = false;
    ctx->sample_fmt = convert ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
    if (avcodec_open2(ctx, codec, nullptr) < 0) return 0;
    const int fs = ctx->frame_size;
    SwrContext* swr = nullptr;
    if (convert) {
        swr_alloc_set_opts2(&swr, &ctx->ch_layout, ctx->sample_fmt, c.rate, &ctx->ch_layout,
                            AV_SAMPLE_FMT_S16, c.rate, 0, nullptr);
        swr_init(swr);
    }
    AVFrame* frame = av_frame_alloc();
    frame->nb_samples = fs;
    frame->format = ctx->sample_fmt;
    av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
    frame->sample_rate = c.rate;
    av_frame_get_buffer(frame, 0);
    AVPacket* pkt = av_packet_alloc();
    const size_t per = size_t(fs) * c.channels;
    bytes = 0;
    const auto t0 = thread_cpu_now();
    for (size_t pos = 0; pos + per <= pcm.size(); pos += per) {
        av_frame_make_writable(frame);
        const uint8_t* in = reinterpret_cast<const uint8_t*>(pcm.data() + pos);
        if (swr)
            swr_convert(swr, frame->data, fs, &in, fs);
        else
            std::memcpy(frame->data[0], in, per * 2);
        frame->pts = int64_t(pos / c.channels);
        avcodec_send_frame(ctx, frame);
        while (avcodec_receive_packet(ctx, pkt) == 0) {
            bytes += pkt->size;
            av_packet_unref(pkt);
        }
    }
    avcodec_send_frame(ctx, nullptr);
    while (avcodec_receive_packet(ctx, pkt) == 0) {
        bytes += pkt->size;
        av_packet_unref(pkt);
    }
    const double s = seconds_since(t0);
    av_packet_free(&pkt);
    av_frame_free(&frame);
    swr_free(&swr);
    avcodec_free_context(&ctx);
    return s;
}

}  // namespace

int main() {
    std::printf(
        "# %d s of s16 audio per codec; real-time factor = audio seconds / CPU seconds of the "
        "encoding thread (best of 9, the two sides alternating which goes first)\n",
        kSeconds);
    for (const auto& c : kCodecs) {
        const auto pcm = signal(c.rate, c.channels);
        double ours = 1e9, peer = 1e9;
        int64_t ours_bytes = 0, peer_bytes = 0;
        for (int round = 0; round < 9; ++round) {
            if (round % 2) peer = std::min(peer, run_direct(c, pcm, peer_bytes));
            ours = std::min(ours, run_vemx(c, pcm, ours_bytes));
            if (round % 2 == 0) peer = std::min(peer, run_direct(c, pcm, peer_bytes));
        }
        std::printf("encode_%s_rtf_vemx: %.1f x\n", c.name, kSeconds / ours);
        std::printf("encode_%s_rtf_libavcodec: %.1f x\n", c.name, kSeconds / peer);
        std::printf("encode_%s_ratio: %.3f (bytes %lld vs %lld)\n", c.name, peer / ours,
                    static_cast<long long>(ours_bytes), static_cast<long long>(peer_bytes));
    }
    return 0;
}
