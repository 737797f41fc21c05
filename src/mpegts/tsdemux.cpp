#include "mpegts/tsdemux.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>

#include <immintrin.h>
#include <sstream>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/pixdesc.h>
}

#include "frame/error.h"
#include "frame/log.h"
#include "frame/vemx.h"

namespace vemx::tsdemux {

using frame::InfoLine;
using frame::LogPrint;

namespace {

constexpr const char* kInfo = "INFO[vemx|tsdemux] ";
constexpr const char* kError = "ERROR[vemx|tsdemux] ";

constexpr const char* kMainName = "vemx::tsdemux::TsDemux::Main";
constexpr const wchar_t* kMainNameW = L"vemx::tsdemux::TsDemux::Main";
constexpr const char* kFireVideoName =
    "vemx::tsdemux::TsDemux::video_callback_t::FireOnVideoPacket";
constexpr const char* kFireAudioName =
    "vemx::tsdemux::TsDemux::audio_callback_t::FireOnAudioPacket";
constexpr const char* kDecodedName =
    "vemx::tsdemux::TsDemux::audio_callback_t::OnAudioPacket_Decoded";

constexpr AVRational kMediaTime{1, 10000000};

void NoFormat(const char*, int, int, const char*, int, int, const char*, int, const char*, int,
              void*) {}
void NoFormat2(uint32_t, const char*, int, int, const char*, int, int, const char*, int,
               const char*, int, void*) {}
void NoVideo(int64_t, int64_t, const uint8_t*, int64_t, bool, void*) {}
void NoVideo2(uint32_t, int64_t, int64_t, const uint8_t*, int64_t, bool, void*) {}
void NoAudio(int64_t, int64_t, const uint8_t*, int64_t, void*) {}
void NoAudio2(uint32_t, int64_t, int64_t, const uint8_t*, int64_t, void*) {}
void NoMediaInfo(::MediaInfo* const*, size_t, void*) {}

template <class F>
F OrDefault(F f, F fallback) {
    return f ? f : fallback;
}

std::string ErrorText(int err) {
    char buf[1024];
    av_strerror(err, buf, sizeof buf);
    return buf;
}

std::wstring Widen(const char* s) {
    std::wstring w;
    for (; s && *s; ++s) w += static_cast<wchar_t>(static_cast<unsigned char>(*s));
    return w;
}

// Codecs delivered as they are, and those decoded to PCM.
const char* AudioType(AVCodecID id, bool& decoded) {
    decoded = false;
    switch (id) {
        case AV_CODEC_ID_AAC:
            return "adts";
        case AV_CODEC_ID_MP3:
            return "mp3";
        case AV_CODEC_ID_EAC3:
            return "eac3";
        case AV_CODEC_ID_MP2:
        case AV_CODEC_ID_AC3:
        case AV_CODEC_ID_AAC_LATM:
            decoded = true;
            return "pcm";
        default:
            return nullptr;
    }
}

const char* VideoType(AVCodecID id) {
    switch (id) {
        case AV_CODEC_ID_H264:
            return "h264";
        case AV_CODEC_ID_MPEG2VIDEO:
            return "mpeg2video";
        case AV_CODEC_ID_HEVC:
            return "hevc";
        default:
            return nullptr;
    }
}

const char* SampleFormatName(int fmt) {
    switch (fmt) {
        case AV_SAMPLE_FMT_S16:
            return "s16";
        case AV_SAMPLE_FMT_S16P:
            return "s16p";
        case AV_SAMPLE_FMT_FLT:
            return "flt";
        case AV_SAMPLE_FMT_FLTP:
            return "fltp";
        default:
            return nullptr;
    }
}

}  // namespace

const std::shared_ptr<MediaInfo>& MediaInfo::Empty() {
    static const std::shared_ptr<MediaInfo> empty = std::make_shared<MediaInfo>();
    return empty;
}

// ---------------------------------------------------------------------------
// Stream handlers

namespace {

// Where the input starts, in the ticks of `st`.
int64_t InputOrigin(const AVFormatContext* format, const AVStream* st) {
    const int64_t input_start = format->start_time == AV_NOPTS_VALUE ? 0 : format->start_time;
    return av_rescale_q(input_start, AV_TIME_BASE_Q, st->time_base);
}

}  // namespace

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

TsDemux::video_callback_t::video_callback_t(int32_t stream_id,
                                            vemx_tsdemux_video_callback_t callback, void* context)
    : stream_handler_t(stream_id, context), callback(OrDefault(callback, &NoVideo)) {}

void TsDemux::video_callback_t::SetUp(AVFormatContext* fmt,
                                      const std::shared_ptr<MediaInfo>& media) {
    info = media;
    format = fmt;
    stream = fmt->streams[media->stream_index];
    stream->pts_wrap_bits = 64;
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

namespace {

// Whether a sequence parameter set's start code begins at or after `i`.
bool ScanTail(const uint8_t* data, size_t i, size_t size) noexcept {
    for (; i + 4 < size; ++i)
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 0 && data[i + 3] == 1 &&
            (data[i + 4] & 0x1F) == 7)
            return true;
    return false;
}

}  // namespace

bool TsDemux::video_callback_t::ScanSse2(const uint8_t* data, size_t size) noexcept {
    // A start code needs its header byte after it, so it begins at most 5
    // bytes before the end.
    if (size < 5) return false;
    const uint8_t* const end = data + size;
    const uint8_t* const last = end - 5;
    const uint8_t* p = data;
    const __m128i zero = _mm_setzero_si128();
    while (p <= last) {
        // Slice data rarely holds a zero byte and a start code begins with
        // one: go 16 bytes at a time to the next zero.
        if (end - p >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const unsigned zeros =
                static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)));
            if (zeros == 0) {
                p += 16;
                continue;
            }
            p += __builtin_ctz(zeros);
            if (p > last) break;
        }
        if (p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1) {
            if ((p[4] & 0x1F) == 7) return true;
            p += 4;
        } else {
            ++p;
        }
    }
    return false;
}

// Tests 32 candidate positions at once: four shifted loads find every
// 00 00 00 01 without a branch per zero byte, which the slice data of a
// CABAC stream holds every few hundred bytes.
__attribute__((target("avx2"))) bool TsDemux::video_callback_t::ScanAvx2(const uint8_t* data,
                                                                         size_t size) noexcept {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i one = _mm256_set1_epi8(1);
    size_t i = 0;
    // Positions i..i+31 are tested with loads reaching i+34, and a hit's
    // header byte is at most i+35.
    for (; i + 36 <= size; i += 32) {
        const auto* p = data + i;
        const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
        const __m256i b2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 2));
        const __m256i b3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 3));
        const __m256i zeros = _mm256_cmpeq_epi8(_mm256_or_si256(_mm256_or_si256(b0, b1), b2), zero);
        auto hits = static_cast<unsigned>(
            _mm256_movemask_epi8(_mm256_and_si256(zeros, _mm256_cmpeq_epi8(b3, one))));
        while (hits != 0) {
            if ((data[i + static_cast<size_t>(__builtin_ctz(hits)) + 4] & 0x1F) == 7) return true;
            hits &= hits - 1;
        }
    }
    return ScanTail(data, i, size);
}

namespace {

using scan_fn = bool (*)(const uint8_t*, size_t) noexcept;
const scan_fn g_scan = __builtin_cpu_supports("avx2") ? &TsDemux::video_callback_t::ScanAvx2
                                                      : &TsDemux::video_callback_t::ScanSse2;

}  // namespace

bool TsDemux::video_callback_t::HasSequenceParameterSet(const uint8_t* data, size_t size) noexcept {
    return g_scan(data, size);
}

bool TsDemux::video_callback_t::OnPacket(const AVPacket& packet) {
    return FireOnVideoPacket(packet.pts, packet.dts, packet.data, packet.size,
                             (packet.flags & AV_PKT_FLAG_KEY) != 0, context);
}

bool TsDemux::video_callback_t::OnPacket_H264(const AVPacket& packet) {
    bool key = (packet.flags & AV_PKT_FLAG_KEY) != 0;
    if (!key && packet.data)
        key = HasSequenceParameterSet(packet.data, static_cast<size_t>(packet.size));
    return FireOnVideoPacket(packet.pts, packet.dts, packet.data, packet.size, key, context);
}

TsDemux::audio_callback_t::audio_callback_t(int32_t stream_id,
                                            vemx_tsdemux_audio_callback_t callback, void* context)
    : stream_handler_t(stream_id, context), callback(OrDefault(callback, &NoAudio)) {}

TsDemux::audio_callback_t::~audio_callback_t() {
    CloseDecoder();
    av_frame_free(&frame_);
}

void TsDemux::audio_callback_t::SetUp(AVFormatContext* fmt,
                                      const std::shared_ptr<MediaInfo>& media) {
    info = media;
    format = fmt;
    stream = fmt->streams[media->stream_index];
    stream->pts_wrap_bits = 64;
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

// ---------------------------------------------------------------------------
// TsDemux: settings and registrations

TsDemux::TsDemux()
    : media_info_callback_(&NoMediaInfo),
      format_callback_(&NoFormat),
      video_callback_(&NoVideo),
      audio_callback_(&NoAudio) {
    videos_.rehash(8);
    videos_.max_load_factor(1.0f);
    audios_.rehash(8);
    audios_.max_load_factor(1.0f);
}

TsDemux::~TsDemux() {
    Uninit();
}

void TsDemux::Report(int line, const wchar_t* function, const std::wstring& text) const noexcept {
    frame::ReportObject(L"vemx", L"tsdemux", line, function, this, text);
}

void TsDemux::SetMediaInfoCallback(vemx_tsdemux_media_info_callback_t callback,
                                   void* ctx) noexcept {
    media_info_callback_ = OrDefault(callback, &NoMediaInfo);
    media_info_context_ = ctx;
}

void TsDemux::SetCallbacks(int32_t video_selector, int32_t audio_selector,
                           vemx_tsdemux_format_callback_t format,
                           vemx_tsdemux_video_callback_t video, vemx_tsdemux_audio_callback_t audio,
                           void* ctx) {
    std::lock_guard lock(callback_lock_);
    video_selector_ = video_selector;
    audio_selector_ = audio_selector;
    format_callback_ = OrDefault(format, &NoFormat);
    video_callback_ = OrDefault(video, &NoVideo);
    audio_callback_ = OrDefault(audio, &NoAudio);
    callback_context_ = ctx;
    pending_.store(true, std::memory_order_release);
}

void TsDemux::AddTrack(const track_info_t& track) {
    auto record = std::make_shared<track_info_t>(track);
    record->format_callback = OrDefault(track.format_callback, &NoFormat2);
    record->video_callback = OrDefault(track.video_callback, &NoVideo2);
    record->audio_callback = OrDefault(track.audio_callback, &NoAudio2);
    std::lock_guard lock(track_lock_);
    pending_tracks_.push_back(std::move(record));
    tracks_pending_.store(true, std::memory_order_release);
}

template <class Map, class Change>
void TsDemux::Register(int32_t stream_id, const wchar_t* function, const wchar_t* kind,
                       std::mutex& lock, Map& map, std::atomic<bool>& changed, Change change) {
    if (stream_id < 0) {
        Report(__LINE__, function,
               L"invalid " + std::wstring(kind) + L" streamid = " + std::to_wstring(stream_id));
        return;
    }
    std::lock_guard guard(lock);
    change(map[stream_id]);
    changed.store(true, std::memory_order_release);
}

void TsDemux::SetVideoCallback(int32_t stream_id, vemx_tsdemux_video_callback_t callback,
                               void* ctx) {
    Register(stream_id, L"vemx::tsdemux::TsDemux::SetVideoCallback", L"video", video_lock_, videos_,
             videos_changed_, [&](auto& handler) {
                 handler = std::make_shared<video_callback_t>(stream_id, callback, ctx);
             });
}

void TsDemux::SetAudioCallback(int32_t stream_id, vemx_tsdemux_audio_callback_t callback,
                               void* ctx) {
    Register(stream_id, L"vemx::tsdemux::TsDemux::SetAudioCallback", L"audio", audio_lock_, audios_,
             audios_changed_, [&](auto& handler) {
                 handler = std::make_shared<audio_callback_t>(stream_id, callback, ctx);
             });
}

// A track's callback joins the listeners of the stream's handler, made
// silent for the purpose when the stream has none yet.
void TsDemux::SetVideoCallback1(uint32_t tag, int32_t stream_id,
                                vemx_tsdemux_video_callback2_t callback, void* ctx) {
    Register(stream_id, L"vemx::tsdemux::TsDemux::SetVideoCallback1", L"video", video_lock_,
             videos_, videos_changed_, [&](auto& handler) {
                 if (!handler)
                     handler = std::make_shared<video_callback_t>(stream_id, nullptr, ctx);
                 handler->listeners.push_back({tag, callback, ctx});
             });
}

void TsDemux::SetAudioCallback1(uint32_t tag, int32_t stream_id,
                                vemx_tsdemux_audio_callback2_t callback, void* ctx) {
    Register(stream_id, L"vemx::tsdemux::TsDemux::SetAudioCallback1", L"audio", audio_lock_,
             audios_, audios_changed_, [&](auto& handler) {
                 if (!handler)
                     handler = std::make_shared<audio_callback_t>(stream_id, nullptr, ctx);
                 handler->listeners.push_back({tag, callback, ctx});
             });
}

// ---------------------------------------------------------------------------
// TsDemux: life cycle and feeding

int TsDemux::Init() {
    constexpr const wchar_t* kName = L"vemx::tsdemux::TsDemux::Init";
    frame::GlobalInit();
    if (thread_.joinable() || format_) {
        Report(__LINE__, kName, L"already initialized");
        return 0;
    }
    format_ = avformat_alloc_context();
    if (!format_) {
        Report(__LINE__, kName, L"avformat_alloc_context");
        return 0;
    }
    const int size = buffer_size.load();
    auto* buffer = static_cast<uint8_t*>(size > 0 ? av_malloc(static_cast<size_t>(size)) : nullptr);
    if (!buffer) {
        Report(__LINE__, kName, L"av_malloc");
        return 0;
    }
    io_ = avio_alloc_context(buffer, size, 0, this, &TsDemux::onReadPacket, nullptr, nullptr);
    if (!io_) {
        av_freep(&buffer);
        Report(__LINE__, kName, L"avio_alloc_context");
        return 0;
    }
    format_->pb = io_;

    {
        std::lock_guard lock(feed_lock_);
        feed_command_ = 0;
        feed_pointer_ = nullptr;
        feed_remainder_ = 0;
        writer_waiting_ = false;
        feed_ended_ = false;
        stopping_ = false;
    }
    // Running before the thread exists, so an early end of the thread is
    // never overwritten.
    running_.store(1, std::memory_order_release);
    try {
        thread_ = std::thread(&TsDemux::Main, this);
    } catch (const std::system_error& e) {
        running_.store(0, std::memory_order_release);
        {
            std::lock_guard lock(feed_lock_);
            feed_ended_ = true;
        }
        Report(__LINE__, kName, L"pthread_create, err=" + std::to_wstring(e.code().value()));
        return 0;
    }
    return 1;
}

void TsDemux::Uninit() {
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) {
        Report(__LINE__, L"vemx::tsdemux::TsDemux::Uninit", L"called from a callback, ignored");
        return;
    }
    LogPrint(kInfo, "Waiting for thread done...");
    {
        std::lock_guard lock(feed_lock_);
        stopping_ = true;
        feed_command_ = 2;
        feed_pointer_ = nullptr;
        feed_remainder_ = 0;
    }
    data_bell_.ring();
    if (thread_.joinable()) thread_.join();
    LogPrint(kInfo, "Thread terminated.");

    avformat_close_input(&format_);
    if (io_) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    {
        std::lock_guard lock(video_lock_);
        videos_ = video_map_t(8);
        videos_changed_.store(false);
    }
    {
        std::lock_guard lock(audio_lock_);
        audios_ = audio_map_t(8);
        audios_changed_.store(false);
    }
    {
        std::lock_guard lock(track_lock_);
        pending_tracks_.clear();
        tracks_pending_.store(false);
    }
    dispatch_.clear();
    clocks_.clear();
    info_pointers_.clear();
    infos_.clear();
}

namespace {

std::chrono::nanoseconds Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::steady_clock::now() - start;
}

}  // namespace

int TsDemux::WriteData(const uint8_t* data, uint64_t size) {
    if (!running()) return 0;
    {
        std::lock_guard lock(feed_lock_);
        if (feed_ended_ || stopping_) return 0;
        feed_command_ = 1;
        feed_pointer_ = data;
        feed_remainder_ = size;
        writer_waiting_ = true;
        writer_called_ = false;
    }
    data_bell_.ring();
    const auto start = std::chrono::steady_clock::now();
    // The first wait spins as long as blocks usually take; a writer woken
    // ahead of the end spins for the rest up to the limit.
    auto spin = writer_spin_.next();
    for (;;) {
        const uint32_t ticket = done_bell_.ticket();
        {
            std::lock_guard lock(feed_lock_);
            if (!writer_waiting_) break;
        }
        done_bell_.wait(ticket, spin);
        spin = kWriterSpinLimit;
    }
    writer_spin_.record(Since(start));
    return 0;
}

int TsDemux::onReadPacket(void* opaque, uint8_t* buffer, int buffer_size) {
    return static_cast<TsDemux*>(opaque)->ReadPacket(buffer, buffer_size);
}

int TsDemux::ReadPacket(uint8_t* buffer, int size) {
    std::chrono::steady_clock::time_point idle{};
    for (;;) {
        const uint32_t ticket = data_bell_.ticket();
        bool ring_writer = false;
        {
            std::unique_lock lock(feed_lock_);
            if (feed_command_ == 1) {
                if (idle != std::chrono::steady_clock::time_point{})
                    reader_spin_.record(Since(idle));
                const uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(size), feed_remainder_);
                if (n > 0) {
                    std::memcpy(buffer, feed_pointer_, n);
                    feed_pointer_ += n;
                    feed_remainder_ -= n;
                }
                if (feed_remainder_ == 0) {
                    FinishBlock();
                    ring_writer = true;
                } else if (!writer_called_ && feed_remainder_ <= 2 * static_cast<uint64_t>(size) &&
                           done_bell_.has_sleepers()) {
                    writer_called_ = true;
                    ring_writer = true;
                }
                if (n > 0) {
                    lock.unlock();
                    if (ring_writer) done_bell_.ring();
                    return static_cast<int>(n);
                }
                // An empty block is done as soon as it is seen; wait for the next.
            } else if (feed_command_ == 2) {
                return -1;
            } else if (feed_command_ != 0) {
                const int command = feed_command_;
                lock.unlock();
                Report(__LINE__, L"vemx::tsdemux::TsDemux::onReadPacket",
                       L"unexpected event, event=" + std::to_wstring(command));
                return -1;
            }
        }
        if (ring_writer) done_bell_.ring();
        idle = std::chrono::steady_clock::now();
        data_bell_.wait(ticket, reader_spin_.next());
    }
}

void TsDemux::FinishBlock() noexcept {
    feed_pointer_ = nullptr;
    feed_remainder_ = 0;
    feed_command_ = 0;
    writer_waiting_ = false;
}

void TsDemux::EndOfThread() noexcept {
    running_.store(0, std::memory_order_release);
    {
        std::lock_guard lock(feed_lock_);
        feed_ended_ = true;
        // A writer still waiting would otherwise never return.
        if (!writer_waiting_) return;
        FinishBlock();
    }
    done_bell_.ring();
}

// ---------------------------------------------------------------------------
// The demux thread

void TsDemux::Main() {
    // A callback that releases the demux's last reference defers its end.
    const frame::ServingThread serving(this);
    LogPrint(kInfo, "%s: begins", kMainName);
    try {
        if (OpenInput()) {
            DiscoverStreams();
            ReportMediaInfos();
            Deliver();
        }
    } catch (const frame::ComError&) {
        // Reported where it was raised.
    } catch (const std::exception& e) {
        LogPrint(kError, "%s: %s", kMainName, e.what());
    }
    EndOfThread();
}

bool TsDemux::OpenInput() {
    AVDictionary* options = nullptr;
    if (scan_all_pmts.load() != 0) av_dict_set(&options, "scan_all_pmts", "1", 0);
    if (const int64_t kib = probe_size.load(); kib != 0)
        av_dict_set_int(&options, "probesize", kib * 1024, 0);
    if (const int64_t ms = analyze_duration.load(); ms != 0)
        av_dict_set_int(&options, "analyzeduration", ms * 1000, 0);

    // On failure libavformat frees the context; the I/O context stays ours.
    int err = avformat_open_input(&format_, nullptr, av_find_input_format("mpegts"), &options);
    av_dict_free(&options);
    if (err < 0) {
        Report(__LINE__, kMainNameW, L"avformat_open_input, err=" + std::to_wstring(err));
        return false;
    }
    err = avformat_find_stream_info(format_, nullptr);
    if (err < 0) {
        Report(__LINE__, kMainNameW, L"avformat_find_stream_info, err=" + std::to_wstring(err));
        return false;
    }
    return true;
}

void TsDemux::DiscoverStreams() {
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
        const AVStream* st = format_->streams[i];
        const AVCodecParameters* par = st->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_VIDEO && par->codec_type != AVMEDIA_TYPE_AUDIO)
            continue;

        auto info = std::make_shared<MediaInfo>();
        info->stream_index = static_cast<int32_t>(i);
        info->stream_id = st->id;
        if (const AVProgram* program =
                av_find_program_from_stream(format_, nullptr, static_cast<int>(i)))
            info->program_id = program->id;
        std::wostringstream line;
        line << L"Codec Info[" << info->program_id << L',' << info->stream_id << L"]:";

        if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
            info->media_type = "audio";
            bool decoded = false;
            const char* type = AudioType(par->codec_id, decoded);
            if (!type) {
                Report(__LINE__, kMainNameW,
                       L"unexpected codec, " + Widen(avcodec_get_name(par->codec_id)));
                continue;
            }
            info->type = type;
            info->decoded = decoded ? 1 : 0;
            info->channels = par->ch_layout.nb_channels;
            const char* fmt = SampleFormatName(par->format);
            if (!fmt) {
                const char* name = av_get_sample_fmt_name(static_cast<AVSampleFormat>(par->format));
                Report(__LINE__, kMainNameW,
                       L"unexpected sample_fmt, " + Widen(name ? name : "none"));
                fmt = "s16";
            }
            info->sample_fmt = fmt;
            info->sample_rate = par->sample_rate;
            line << Widen(type) << L',' << info->sample_rate << L',' << info->channels << L','
                 << Widen(info->sample_fmt.c_str()) << L',';
        } else {
            info->media_type = "video";
            const char* type = VideoType(par->codec_id);
            if (!type) {
                Report(__LINE__, kMainNameW,
                       L"unexpected codec, " + Widen(avcodec_get_name(par->codec_id)));
                continue;
            }
            info->type = type;
            info->width = par->width;
            info->height = par->height;
            if (par->format == AV_PIX_FMT_YUV420P) {
                info->pix_fmt = "yv12";
            } else if (par->format == AV_PIX_FMT_YUVJ420P) {
                info->pix_fmt = "yvj12";
            } else {
                const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(par->format));
                Report(__LINE__, kMainNameW,
                       L"unexpected pix_fmt, " + Widen(name ? name : "none") +
                           L", use yv12 as default");
                info->pix_fmt = "yv12";
            }
            // The decoder's frame rate is not kept in the stream parameters;
            // take what probing measured.
            const AVRational rate =
                av_guess_frame_rate(format_, const_cast<AVStream*>(st), nullptr);
            info->fps_num = rate.num;
            info->fps_den = rate.den;
            line << Widen(type) << L',' << info->width << L',' << info->height << L','
                 << Widen(info->pix_fmt.c_str());
        }
        InfoLine(L"vemx", line.str());
        infos_.push_back(std::move(info));
    }
}

void TsDemux::ReportMediaInfos() {
    size_t videos = 0;
    size_t ready = 0;
    for (const auto& info : infos_) {
        if (info->media_type != "video") continue;
        ++videos;
        if (info->width != 0 && info->height != 0) ++ready;
    }
    if (ready == videos)
        LogPrint(kInfo, "All media infos are ready.");
    else
        LogPrint(kError, "NOT all media infos are ready!!");

    info_pointers_.clear();
    for (const auto& info : infos_) info_pointers_.push_back(info->AsPublic());
    media_info_callback_(info_pointers_.data(), info_pointers_.size(), media_info_context_);
}

std::shared_ptr<MediaInfo> TsDemux::Choose(AVMediaType kind, int32_t selector) const {
    const char* media_type = kind == AVMEDIA_TYPE_VIDEO ? "video" : "audio";
    if (selector < 0) {
        const int best = av_find_best_stream(format_, kind, -1, -1, nullptr, 0);
        for (const auto& info : infos_)
            if (best >= 0 && info->stream_index == best) return info;
    } else {
        for (const auto& info : infos_)
            if (info->stream_id == selector && info->media_type == media_type) return info;
    }
    return MediaInfo::Empty();
}

TsDemux::format_args_t TsDemux::FormatArgs(const MediaInfo& a) noexcept {
    // Decoded audio is delivered as 16-bit stereo: say so.
    if (a.decoded) return {"pcm", 2, "s16", a.sample_rate};
    return {a.type.c_str(), a.channels, a.sample_fmt.c_str(), a.sample_rate};
}

void TsDemux::ApplySettings() {
    if (!pending_.load(std::memory_order_acquire)) return;
    int32_t vsel, asel;
    vemx_tsdemux_format_callback_t format;
    vemx_tsdemux_video_callback_t video;
    vemx_tsdemux_audio_callback_t audio;
    void* ctx;
    {
        std::lock_guard lock(callback_lock_);
        if (!pending_.exchange(false)) return;
        vsel = video_selector_;
        asel = audio_selector_;
        format = format_callback_;
        video = video_callback_;
        audio = audio_callback_;
        ctx = callback_context_;
    }
    const auto v = Choose(AVMEDIA_TYPE_VIDEO, vsel);
    const auto a = Choose(AVMEDIA_TYPE_AUDIO, asel);
    const format_args_t f = FormatArgs(*a);
    format(v->type.c_str(), v->width, v->height, v->pix_fmt.c_str(), v->fps_num, v->fps_den, f.type,
           f.channels, f.sample_fmt, f.sample_rate, ctx);
    if (video != &NoVideo) SetVideoCallback(v->stream_id, video, ctx);
    if (audio != &NoAudio) SetAudioCallback(a->stream_id, audio, ctx);
}

void TsDemux::ApplyTracks() {
    if (!tracks_pending_.load(std::memory_order_acquire)) return;
    std::vector<std::shared_ptr<track_info_t>> taken;
    {
        std::lock_guard lock(track_lock_);
        taken.swap(pending_tracks_);
        tracks_pending_.store(false);
    }
    for (const auto& t : taken) {
        const auto v = Choose(AVMEDIA_TYPE_VIDEO, t->video_selector);
        const auto a = Choose(AVMEDIA_TYPE_AUDIO, t->audio_selector);
        const format_args_t f = FormatArgs(*a);
        t->format_callback(t->tag, v->type.c_str(), v->width, v->height, v->pix_fmt.c_str(),
                           v->fps_num, v->fps_den, f.type, f.channels, f.sample_fmt, f.sample_rate,
                           t->context);
        SetVideoCallback1(t->tag, v->stream_id, t->video_callback, t->context);
        SetAudioCallback1(t->tag, a->stream_id, t->audio_callback, t->context);
    }
}

void TsDemux::ApplyHandlers(video_map_t& videos, audio_map_t& audios) {
    auto set_up = [this](auto& map) {
        for (auto& [id, handler] : map) {
            for (const auto& info : infos_) {
                if (info->stream_id == id) {
                    handler->SetUp(format_, info);
                    break;
                }
            }
        }
    };
    bool video_changed = false;
    bool audio_changed = false;
    if (videos_changed_.load(std::memory_order_acquire)) {
        std::lock_guard lock(video_lock_);
        videos_changed_.store(false);
        videos = videos_;
        video_changed = true;
    }
    if (audios_changed_.load(std::memory_order_acquire)) {
        std::lock_guard lock(audio_lock_);
        audios_changed_.store(false);
        audios = audios_;
        audio_changed = true;
    }
    if (video_changed) set_up(videos);
    if (audio_changed) set_up(audios);
    if (video_changed || audio_changed) RebuildDispatch(videos, audios);
}

void TsDemux::RebuildDispatch(const video_map_t& videos, const audio_map_t& audios) {
    for (size_t i = 0; i < dispatch_.size(); ++i) {
        const AVStream* st = format_->streams[i];
        std::shared_ptr<stream_handler_t> handler;
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            if (auto it = videos.find(st->id); it != videos.end()) handler = it->second;
        } else if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            if (auto it = audios.find(st->id); it != audios.end()) handler = it->second;
        }
        // A handler without a usable stream of its id is never started.
        if (!handler || !handler->active()) continue;
        dispatch_[i] = handler;
        handler->start();
        handler->clock = &clocks_[i];
    }
}

void TsDemux::Deliver() {
    dispatch_.assign(format_->nb_streams, nullptr);
    clocks_.clear();
    for (unsigned i = 0; i < format_->nb_streams; ++i)
        clocks_.emplace_back(InputOrigin(format_, format_->streams[i]));
    MediaInfo::Empty();
    video_map_t videos(8);
    audio_map_t audios(8);
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                          [](AVPacket* p) { av_packet_free(&p); });
    if (!packet) frame::RaiseComError(frame::E_OUTOFMEMORY, L"tsdemux", __LINE__);

    for (;;) {
        ApplySettings();
        ApplyTracks();
        ApplyHandlers(videos, audios);

        const int err = av_read_frame(format_, packet.get());
        if (err < 0) {
            LogPrint(kError, "%s(%d): av_read_frame failed, err=%d", kMainName, __LINE__, err);
            running_.store(0, std::memory_order_release);
            LogPrint(kInfo, "%s: ends", kMainName);
            return;
        }
        const int index = packet->stream_index;
        if (index >= 0 && static_cast<size_t>(index) < dispatch_.size()) {
            FollowClock(*packet);
            if (dispatch_[index]) dispatch_[index]->on_packet(*packet);
        }
        av_packet_unref(packet.get());
    }
}

void TsDemux::FollowClock(const AVPacket& packet) {
    const int64_t ts = packet.dts != AV_NOPTS_VALUE ? packet.dts : packet.pts;
    if (ts == AV_NOPTS_VALUE) return;
    const AVStream* st = format_->streams[packet.stream_index];
    int64_t jump = 0;
    clocks_[static_cast<size_t>(packet.stream_index)].Follow(ts, jump);
    // A jump that is no wrap is delivered as it is (timestamps restart
    // nothing); it is said once, at the packet where it happens.
    constexpr int64_t kLargeJump = 10 * 10000000;  // 10 s
    const int64_t hns = av_rescale_q(jump, st->time_base, kMediaTime);
    if (hns > kLargeJump || hns < -kLargeJump)
        LogPrint(kInfo, "%s: stream %d: timestamps jump by %.2f ms", kMainName, st->id,
                 static_cast<double>(hns) / 10000.0);
}

}  // namespace vemx::tsdemux

// ---------------------------------------------------------------------------
// Exports

using vemx::frame::Guarded;
using vemx::tsdemux::TsDemux;

namespace {

TsDemux* Demux(void* handle) {
    return vemx::frame::FromHandle<TsDemux>(handle);
}
const vemx::tsdemux::MediaInfo* Info(const ::MediaInfo* info) {
    return vemx::tsdemux::MediaInfo::FromPublic(info);
}

}  // namespace

VEMX_EXPORT void* vemx_tsdemux_new(void) {
    return vemx::frame::NewHandle<TsDemux>();
}

VEMX_EXPORT void vemx_tsdemux_addref(void* handle) {
    vemx::frame::AddRefHandle(handle);
}

VEMX_EXPORT void vemx_tsdemux_release(void* handle) {
    Guarded("vemx_tsdemux_release", [&] { vemx::frame::ReleaseHandle(handle); });
}

VEMX_EXPORT void vemx_tsdemux_set_buffer_size(void* handle, int bytes) {
    Demux(handle)->buffer_size = bytes;
}

VEMX_EXPORT void vemx_tsdemux_set_probe_size(void* handle, int64_t kib) {
    Demux(handle)->probe_size = kib;
}

VEMX_EXPORT void vemx_tsdemux_set_analyze_duration(void* handle, int64_t ms) {
    Demux(handle)->analyze_duration = ms;
}

VEMX_EXPORT void vemx_tsdemux_set_scan_all_pmts(void* handle, int flag) {
    Demux(handle)->scan_all_pmts = flag;
}

VEMX_EXPORT void vemx_tsdemux_set_media_info_callback(void* handle,
                                                      vemx_tsdemux_media_info_callback_t callback,
                                                      void* ctx) {
    Demux(handle)->SetMediaInfoCallback(callback, ctx);
}

VEMX_EXPORT void vemx_tsdemux_set_callbacks(void* handle,
                                            vemx_tsdemux_format_callback_t format_callback,
                                            vemx_tsdemux_video_callback_t video_callback,
                                            vemx_tsdemux_audio_callback_t audio_callback,
                                            void* ctx) {
    Guarded("vemx_tsdemux_set_callbacks", [&] {
        Demux(handle)->SetCallbacks(-1, -1, format_callback, video_callback, audio_callback, ctx);
    });
}

VEMX_EXPORT void vemx_tsdemux_set_callbacks1(void* handle, int video_stream_id, int audio_stream_id,
                                             vemx_tsdemux_format_callback_t format_callback,
                                             vemx_tsdemux_video_callback_t video_callback,
                                             vemx_tsdemux_audio_callback_t audio_callback,
                                             void* ctx) {
    Guarded("vemx_tsdemux_set_callbacks1", [&] {
        Demux(handle)->SetCallbacks(video_stream_id, audio_stream_id, format_callback,
                                    video_callback, audio_callback, ctx);
    });
}

VEMX_EXPORT void vemx_tsdemux_set_callbacks2(void* handle, unsigned int tag, int video_stream_id,
                                             int audio_stream_id,
                                             vemx_tsdemux_format_callback2_t format_callback,
                                             vemx_tsdemux_video_callback2_t video_callback,
                                             vemx_tsdemux_audio_callback2_t audio_callback,
                                             void* ctx) {
    Guarded("vemx_tsdemux_set_callbacks2", [&] {
        Demux(handle)->AddTrack({tag, video_stream_id, audio_stream_id, format_callback,
                                 video_callback, audio_callback, ctx});
    });
}

VEMX_EXPORT void vemx_tsdemux_set_video_callback(void* handle, int stream_id,
                                                 vemx_tsdemux_video_callback_t callback,
                                                 void* ctx) {
    Guarded("vemx_tsdemux_set_video_callback",
            [&] { Demux(handle)->SetVideoCallback(stream_id, callback, ctx); });
}

VEMX_EXPORT void vemx_tsdemux_set_audio_callback(void* handle, int stream_id,
                                                 vemx_tsdemux_audio_callback_t callback,
                                                 void* ctx) {
    Guarded("vemx_tsdemux_set_audio_callback",
            [&] { Demux(handle)->SetAudioCallback(stream_id, callback, ctx); });
}

VEMX_EXPORT int vemx_tsdemux_init(void* handle) {
    return Guarded("vemx_tsdemux_init", 0, [&] { return Demux(handle)->Init(); });
}

VEMX_EXPORT void vemx_tsdemux_uninit(void* handle) {
    Guarded("vemx_tsdemux_uninit", [&] { Demux(handle)->Uninit(); });
}

VEMX_EXPORT int vemx_tsdemux_write_data(void* handle, const uint8_t* data, uint64_t size) {
    return Guarded("vemx_tsdemux_write_data", 0,
                   [&] { return Demux(handle)->WriteData(data, size); });
}

VEMX_EXPORT const char* vemx_mediainfo_get_media_type(const ::MediaInfo* info) {
    return Info(info)->media_type.c_str();
}
VEMX_EXPORT const char* vemx_mediainfo_get_type(const ::MediaInfo* info) {
    return Info(info)->type.c_str();
}
VEMX_EXPORT const char* vemx_mediainfo_get_pix_fmt(const ::MediaInfo* info) {
    return Info(info)->pix_fmt.c_str();
}
VEMX_EXPORT const char* vemx_mediainfo_get_sample_fmt(const ::MediaInfo* info) {
    return Info(info)->sample_fmt.c_str();
}
VEMX_EXPORT int vemx_mediainfo_get_width(const ::MediaInfo* info) {
    return Info(info)->width;
}
VEMX_EXPORT int vemx_mediainfo_get_height(const ::MediaInfo* info) {
    return Info(info)->height;
}
VEMX_EXPORT int vemx_mediainfo_get_fps_num(const ::MediaInfo* info) {
    return Info(info)->fps_num;
}
VEMX_EXPORT int vemx_mediainfo_get_fps_den(const ::MediaInfo* info) {
    return Info(info)->fps_den;
}
VEMX_EXPORT int vemx_mediainfo_get_channels(const ::MediaInfo* info) {
    return Info(info)->channels;
}
VEMX_EXPORT int vemx_mediainfo_get_sample_rate(const ::MediaInfo* info) {
    return Info(info)->sample_rate;
}
VEMX_EXPORT int vemx_mediainfo_get_stream_id(const ::MediaInfo* info) {
    return Info(info)->stream_id;
}
VEMX_EXPORT int vemx_mediainfo_get_program_id(const ::MediaInfo* info) {
    return Info(info)->program_id;
}
