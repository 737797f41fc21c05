// Settings and callback registrations, callable from any thread; the demux
// thread takes them over between packets.
#include "mpegts/tsdemux.h"

#include "mpegts/tsdemux_common.h"

namespace vemx::tsdemux {

using namespace detail;

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

}  // namespace vemx::tsdemux
