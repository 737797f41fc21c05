// The demux thread: opening the input, stream discovery, taking settings
// over, and routing every packet to its stream's handler.
#include "mpegts/tsdemux.h"

#include <sstream>

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/pixdesc.h>
}

#include "frame/error.h"
#include "frame/log.h"
#include "mpegts/tsdemux_common.h"
#include "platform/text.h"

namespace vemx::tsdemux {

using frame::InfoLine;
using frame::LogPrint;

using namespace detail;

namespace {

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
                       L"unexpected codec, " + platform::widen(avcodec_get_name(par->codec_id)));
                continue;
            }
            info->type = type;
            info->decoded = decoded ? 1 : 0;
            info->channels = par->ch_layout.nb_channels;
            const char* fmt = SampleFormatName(par->format);
            if (!fmt) {
                const char* name = av_get_sample_fmt_name(static_cast<AVSampleFormat>(par->format));
                Report(__LINE__, kMainNameW,
                       L"unexpected sample_fmt, " + platform::widen(name ? name : "none"));
                fmt = "s16";
            }
            info->sample_fmt = fmt;
            info->sample_rate = par->sample_rate;
            line << platform::widen(type) << L',' << info->sample_rate << L',' << info->channels << L','
                 << platform::widen(info->sample_fmt.c_str()) << L',';
        } else {
            info->media_type = "video";
            const char* type = VideoType(par->codec_id);
            if (!type) {
                Report(__LINE__, kMainNameW,
                       L"unexpected codec, " + platform::widen(avcodec_get_name(par->codec_id)));
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
                       L"unexpected pix_fmt, " + platform::widen(name ? name : "none") +
                           L", use yv12 as default");
                info->pix_fmt = "yv12";
            }
            // The decoder's frame rate is not kept in the stream parameters;
            // take what probing measured.
            const AVRational rate =
                av_guess_frame_rate(format_, const_cast<AVStream*>(st), nullptr);
            info->fps_num = rate.num;
            info->fps_den = rate.den;
            line << platform::widen(type) << L',' << info->width << L',' << info->height << L','
                 << platform::widen(info->pix_fmt.c_str());
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
