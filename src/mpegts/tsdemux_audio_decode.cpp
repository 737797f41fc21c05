// Audio the demultiplexer decodes (MPEG layer II, AC-3, AAC-LATM): the
// decoder, and its frames converted to 16-bit stereo before delivery.
#include "mpegts/tsdemux.h"

#include "frame/error.h"
#include "frame/log.h"
#include "mpegts/tsdemux_common.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace vemx::tsdemux {

using frame::LogPrint;

using namespace detail;

TsDemux::audio_callback_t::~audio_callback_t() {
    CloseDecoder();
    av_frame_free(&frame_);
}

void TsDemux::audio_callback_t::start() {
    StartClock(L"A");
    const AVCodecID id = stream->codecpar->codec_id;
    if (id == AV_CODEC_ID_AAC_LATM || id == AV_CODEC_ID_MP2 || id == AV_CODEC_ID_AC3) OpenDecoder();
}

void TsDemux::audio_callback_t::CloseDecoder() noexcept {
    avcodec_free_context(&decoder);
}

void TsDemux::audio_callback_t::OpenDecoder() {
    CloseDecoder();
    const AVCodecParameters* par = stream->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec) {
        LogPrint(kError, "avcodec_find_decoder failed, codecid=%d",
                 static_cast<int>(par->codec_id));
        return;
    }
    LogPrint(kInfo, "Initializing decoder '%s'...", codec->long_name);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    if (!ctx) frame::RaiseComError(frame::E_OUTOFMEMORY, L"tsdemux", __LINE__);
    if (!frame_) {
        frame_ = av_frame_alloc();
        if (!frame_) {
            avcodec_free_context(&ctx);
            frame::RaiseComError(frame::E_OUTOFMEMORY, L"tsdemux", __LINE__);
        }
    }

    int err = avcodec_parameters_to_context(ctx, par);
    if (err < 0) {
        LogPrint(kError, "avcodec_parameters_to_context failed, err=%d,%s", err,
                 ErrorText(err).c_str());
        avcodec_free_context(&ctx);
        return;
    }
    ctx->pkt_timebase = stream->time_base;
    err = avcodec_open2(ctx, codec, nullptr);
    if (err < 0) {
        LogPrint(kError, "avcodec_open2 failed, err=%d,%s", err, ErrorText(err).c_str());
        avcodec_free_context(&ctx);
        return;
    }
    LogPrint(kInfo, "Decoder '%s' initialized.", codec->long_name);
    decoder = ctx;

    // The opened decoder knows its output format better than probing did
    // (which may have used another decoder of the same codec).
    resampler.Reset();
    resampler.in_channel_layout =
        VIZur::ChannelMask(ctx->ch_layout.nb_channels ? ctx->ch_layout : par->ch_layout);
    resampler.in_sample_rate = ctx->sample_rate ? ctx->sample_rate : par->sample_rate;
    resampler.in_sample_fmt = ctx->sample_fmt != AV_SAMPLE_FMT_NONE ? ctx->sample_fmt : par->format;
    resampler.out_channel_layout = AV_CH_LAYOUT_STEREO;
    resampler.out_sample_rate = resampler.in_sample_rate;
    resampler.out_sample_fmt = AV_SAMPLE_FMT_S16;
    try {
        resampler.Init();
    } catch (const frame::ComError&) {
        // It opens itself again on the first decoded frame.
    }
}

bool TsDemux::audio_callback_t::OnAudioPacket_Decoded(const AVPacket& packet) {
    if (!decoder) return false;
    int err = avcodec_send_packet(decoder, &packet);
    if (err < 0) {
        LogPrint(kError, "%s: avcodec_send_packet failed, pkt.size=%d, err=%d, %s", kDecodedName,
                 packet.size, err, ErrorText(err).c_str());
        return false;
    }
    // Every frame is taken out so the decoder never refuses the next packet;
    // after invalid timestamps the rest of the packet is dropped.
    bool delivering = true;
    while ((err = avcodec_receive_frame(decoder, frame_)) >= 0) {
        if (delivering) delivering = DeliverDecoded(frame_);
        av_frame_unref(frame_);
    }
    if (err != AVERROR(EAGAIN) && err != AVERROR_EOF) {
        LogPrint(kError, "%s: avcodec_receive_frame failed, pkt.size=%d, err=%d, %s", kDecodedName,
                 packet.size, err, ErrorText(err).c_str());
        return false;
    }
    return delivering;
}

bool TsDemux::audio_callback_t::DeliverDecoded(const AVFrame* decoded) {
    AVFrame* out = nullptr;
    try {
        out = resampler.Resample(decoded);
    } catch (const frame::ComError&) {
        LogPrint(kError, "%s: conversion failed, %d samples dropped", kDecodedName,
                 decoded->nb_samples);
        return true;
    }
    if (!out) return true;
    // Two 16-bit channels: the bytes converted, not the frame's capacity.
    const int64_t size = int64_t{out->nb_samples} * 4;
    return FireOnAudioPacket(decoded->pts, decoded->pts, out->data[0], size, context);
}

}  // namespace vemx::tsdemux
