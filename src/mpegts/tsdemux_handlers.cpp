// Stream handlers: packet methods by codec, timestamp rebasing and the
// calls to the callbacks and listeners.
#include "mpegts/tsdemux.h"

#include <algorithm>
#include <cinttypes>

#include "frame/log.h"
#include "mpegts/tsdemux_common.h"

namespace vemx::tsdemux {

using frame::InfoLine;
using frame::LogPrint;

using namespace detail;

void TsDemux::stream_handler_t::StartClock(const wchar_t* kind) {
    const int64_t input_start = format->start_time == AV_NOPTS_VALUE ? 0 : format->start_time;
    start_time = input_start * 10;
    own_clock_ = tsclock::TsClock(InputOrigin(format, stream));
    InfoLine(L"vemx",
             std::wstring(kind) + L": start_time=" + std::to_wstring(start_time * 1000 / 10000000));
}

int64_t TsDemux::stream_handler_t::Rebase(int64_t value) const noexcept {
    // libavformat's own wrap correction is off (pts_wrap_bits 64), and what
    // it corrected while probing is undone here: the clock takes every
    // value modulo the wrap period.
    return av_rescale_q(clock->Place(value), stream->time_base, kMediaTime) - start_time;
}

void TsDemux::stream_handler_t::Attach(AVFormatContext* fmt,
                                       const std::shared_ptr<MediaInfo>& media) {
    info = media;
    format = fmt;
    stream = fmt->streams[media->stream_index];
    stream->pts_wrap_bits = 64;
}

TsDemux::video_callback_t::video_callback_t(int32_t stream_id,
                                            vemx_tsdemux_video_callback_t callback, void* context)
    : stream_handler_t(stream_id, context), callback(OrDefault(callback, &NoVideo)) {}

void TsDemux::video_callback_t::SetUp(AVFormatContext* fmt,
                                      const std::shared_ptr<MediaInfo>& media) {
    Attach(fmt, media);
    switch (stream->codecpar->codec_id) {
        case AV_CODEC_ID_H264:
            method = &video_callback_t::OnPacket_H264;
            break;
        case AV_CODEC_ID_MPEG2VIDEO:
        case AV_CODEC_ID_HEVC:
            method = &video_callback_t::OnPacket;
            break;
        default:
            method = &video_callback_t::OnNothing;
            break;
    }
}

void TsDemux::video_callback_t::start() {
    StartClock(L"V");
}

bool TsDemux::video_callback_t::FireOnVideoPacket(int64_t pts, int64_t dts, const uint8_t* data,
                                                  int64_t size, bool key, void* ctx) {
    if (pts == AV_NOPTS_VALUE || dts == AV_NOPTS_VALUE) {
        LogPrint(kError, "%s(%d): invalid value, pts=%" PRId64 ", dts=%" PRId64, kFireVideoName,
                 __LINE__, pts, dts);
        return false;
    }
    pts = Rebase(pts);
    dts = Rebase(dts);
    callback(pts, dts, data, size, key, ctx);
    for (const listener_t& l : listeners) l.callback(l.tag, pts, dts, data, size, key, l.context);
    return true;
}

bool TsDemux::video_callback_t::OnPacket(const AVPacket& packet) {
    return FireOnVideoPacket(packet.pts, packet.dts, packet.data, packet.size,
                             (packet.flags & AV_PKT_FLAG_KEY) != 0, context);
}

TsDemux::audio_callback_t::audio_callback_t(int32_t stream_id,
                                            vemx_tsdemux_audio_callback_t callback, void* context)
    : stream_handler_t(stream_id, context), callback(OrDefault(callback, &NoAudio)) {}

void TsDemux::audio_callback_t::SetUp(AVFormatContext* fmt,
                                      const std::shared_ptr<MediaInfo>& media) {
    Attach(fmt, media);
    switch (stream->codecpar->codec_id) {
        case AV_CODEC_ID_AAC:
            method = &audio_callback_t::OnPacket_Adts;
            break;
        case AV_CODEC_ID_MP3:
        case AV_CODEC_ID_EAC3:
            method = &audio_callback_t::OnPacket;
            break;
        case AV_CODEC_ID_MP2:
        case AV_CODEC_ID_AC3:
        case AV_CODEC_ID_AAC_LATM:
            method = &audio_callback_t::OnAudioPacket_Decoded;
            break;
        default:
            method = &audio_callback_t::OnNothing;
            break;
    }
}

bool TsDemux::audio_callback_t::FireOnAudioPacket(int64_t pts, int64_t dts, const uint8_t* data,
                                                  int64_t size, void* ctx) {
    if (pts == AV_NOPTS_VALUE || dts == AV_NOPTS_VALUE) {
        LogPrint(kError, "%s(%d): invalid pts/dts value", kFireAudioName, __LINE__);
        return false;
    }
    pts = Rebase(pts);
    dts = Rebase(dts);
    callback(pts, dts, data, size, ctx);
    for (const listener_t& l : listeners) l.callback(l.tag, pts, dts, data, size, l.context);
    return true;
}

int64_t TsDemux::audio_callback_t::AdtsFrameSize(const uint8_t* data, int64_t size) noexcept {
    if (size <= 7) return size;
    const int64_t frame =
        (int64_t{data[3] & 0x03} << 11) | (int64_t{data[4]} << 3) | (data[5] >> 5);
    // A damaged header must not make the caller read past the packet.
    return std::min(frame, size);
}

bool TsDemux::audio_callback_t::OnPacket(const AVPacket& packet) {
    return FireOnAudioPacket(packet.pts, packet.dts, packet.data, packet.size, context);
}

bool TsDemux::audio_callback_t::OnPacket_Adts(const AVPacket& packet) {
    return FireOnAudioPacket(packet.pts, packet.dts, packet.data,
                             AdtsFrameSize(packet.data, packet.size), context);
}

}  // namespace vemx::tsdemux
