#pragma once
// The codec and sample-format names callers pass in settings, and what
// FFmpeg makes of them.
extern "C" {
#include <libavcodec/avcodec.h>
}

#include <string_view>

namespace vemx::frame {

// Which service reads a name: each has always taken its own set (the TS
// multiplexer only knows AAC as "adts", the encoder only as "aac").
enum CodecNameUser : unsigned {
    kMp4Writer = 1u << 0,
    kTsMux = 1u << 1,
    kEncoder = 1u << 2,
};

// The codec `name` stands for, ASCII letter case ignored, among the names of
// `type` that `user` takes; AV_CODEC_ID_NONE for any other name.
AVCodecID codec_by_name(std::string_view name, AVMediaType type, CodecNameUser user) noexcept;

// "u8" or "s16", letter case ignored; AV_SAMPLE_FMT_NONE for any other name.
AVSampleFormat sample_format_by_name(std::string_view name) noexcept;

// Whether `codec` encodes `fmt` as it is; a codec that lists no formats
// takes any.
bool supports_sample_fmt(const AVCodec* codec, AVSampleFormat fmt) noexcept;

}  // namespace vemx::frame
