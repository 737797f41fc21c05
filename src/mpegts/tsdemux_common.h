#pragma once
// What the demultiplexer's source files share: log tags, the names its lines
// print, the do-nothing callbacks that stand in for null ones, and small
// FFmpeg helpers.
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

#include "vemx/vemx_tsdemux.h"

namespace vemx::tsdemux::detail {

inline constexpr const char* kInfo = "INFO[vemx|tsdemux] ";
inline constexpr const char* kError = "ERROR[vemx|tsdemux] ";

inline constexpr const char* kMainName = "vemx::tsdemux::TsDemux::Main";
inline constexpr const wchar_t* kMainNameW = L"vemx::tsdemux::TsDemux::Main";
inline constexpr const char* kFireVideoName =
    "vemx::tsdemux::TsDemux::video_callback_t::FireOnVideoPacket";
inline constexpr const char* kFireAudioName =
    "vemx::tsdemux::TsDemux::audio_callback_t::FireOnAudioPacket";
inline constexpr const char* kDecodedName =
    "vemx::tsdemux::TsDemux::audio_callback_t::OnAudioPacket_Decoded";

inline constexpr AVRational kMediaTime{1, 10000000};

// One address each across the files: registrations compare against them.
inline void NoFormat(const char*, int, int, const char*, int, int, const char*, int, const char*,
                     int, void*) {}
inline void NoFormat2(uint32_t, const char*, int, int, const char*, int, int, const char*, int,
                      const char*, int, void*) {}
inline void NoVideo(int64_t, int64_t, const uint8_t*, int64_t, bool, void*) {}
inline void NoVideo2(uint32_t, int64_t, int64_t, const uint8_t*, int64_t, bool, void*) {}
inline void NoAudio(int64_t, int64_t, const uint8_t*, int64_t, void*) {}
inline void NoAudio2(uint32_t, int64_t, int64_t, const uint8_t*, int64_t, void*) {}
inline void NoMediaInfo(::MediaInfo* const*, size_t, void*) {}

template <class F>
F OrDefault(F f, F fallback) {
    return f ? f : fallback;
}

inline std::string ErrorText(int err) {
    char buf[1024];
    av_strerror(err, buf, sizeof buf);
    return buf;
}

// Where the input starts, in the ticks of `st`.
inline int64_t InputOrigin(const AVFormatContext* format, const AVStream* st) {
    const int64_t input_start = format->start_time == AV_NOPTS_VALUE ? 0 : format->start_time;
    return av_rescale_q(input_start, AV_TIME_BASE_Q, st->time_base);
}

}  // namespace vemx::tsdemux::detail
