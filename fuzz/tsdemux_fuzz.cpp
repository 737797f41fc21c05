// Feeds arbitrary bytes to the transport-stream demultiplexer with every
// stream registered, in blocks whose sizes the input's first byte picks.
#include <cstddef>
#include <cstdint>

#include "vemx/vemx.h"

namespace {

void OnVideo(int64_t, int64_t, const uint8_t* data, int64_t size, bool, void* ctx) {
    // Touch the first and last byte so a bad size shows up under ASan.
    if (size > 0) *static_cast<volatile uint8_t*>(ctx) = data[0] ^ data[size - 1];
}
void OnAudio(int64_t, int64_t, const uint8_t* data, int64_t size, void* ctx) {
    if (size > 0) *static_cast<volatile uint8_t*>(ctx) = data[0] ^ data[size - 1];
}

struct Session {
    void* demux;
    uint8_t sink;
};

void OnInfos(MediaInfo* const* infos, size_t n, void* ctx) {
    auto* s = static_cast<Session*>(ctx);
    for (size_t i = 0; i < n; ++i) {
        const int id = vemx_mediainfo_get_stream_id(infos[i]);
        if (vemx_mediainfo_get_media_type(infos[i])[0] == 'v')
            vemx_tsdemux_set_video_callback(s->demux, id, &OnVideo, &s->sink);
        else
            vemx_tsdemux_set_audio_callback(s->demux, id, &OnAudio, &s->sink);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vemx_set_log_sink([](const char*, void*) {}, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t block = 1 + size_t{data[0]} * 97;
    ++data;
    --size;
    Session s{vemx_tsdemux_new(), 0};
    // Small enough for probing to finish inside one input.
    vemx_tsdemux_set_probe_size(s.demux, 16);
    vemx_tsdemux_set_analyze_duration(s.demux, 100);
    vemx_tsdemux_set_media_info_callback(s.demux, &OnInfos, &s);
    vemx_tsdemux_set_callbacks(s.demux, nullptr, &OnVideo, &OnAudio, &s.sink);
    vemx_tsdemux_init(s.demux);
    for (size_t at = 0; at < size; at += block) {
        vemx_tsdemux_write_data(s.demux, data + at, at + block < size ? block : size - at);
        if (at == 0) vemx_tsdemux_write_data(s.demux, data, 0);
    }
    vemx_tsdemux_uninit(s.demux);
    vemx_tsdemux_release(s.demux);
    return 0;
}
