// The C exports of the demultiplexer and of its media-information records.
#include "frame/handle.h"
#include "mpegts/tsdemux.h"

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
