#include "frame/codec_names.h"

#include "platform/text.h"

namespace vemx::frame {

namespace {

struct CodecName {
    const char* name;
    AVMediaType type;
    AVCodecID id;
    unsigned users;
};

constexpr unsigned kMuxers = kMp4Writer | kTsMux;
constexpr unsigned kAll = kMuxers | kEncoder;

constexpr CodecName kCodecNames[] = {
    {"h264", AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_H264, kMuxers},
    {"mpeg2video", AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MPEG2VIDEO, kMuxers},
    {"hevc", AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_HEVC, kMuxers},
    {"h265", AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_HEVC, kMuxers},
    {"adts", AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_AAC, kMuxers},
    {"aac", AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_AAC, kMp4Writer | kEncoder},
    {"mp2", AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_MP2, kAll},
    {"mp3", AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_MP3, kAll},
    {"ac3", AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_AC3, kAll},
    {"eac3", AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_EAC3, kAll},
    {"opus", AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_OPUS, kEncoder},
    {"g722", AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_ADPCM_G722, kEncoder},
    {"g726", AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_ADPCM_G726, kEncoder},
};

}  // namespace

AVCodecID codec_by_name(std::string_view name, AVMediaType type, CodecNameUser user) noexcept {
    for (const CodecName& c : kCodecNames)
        if ((c.users & user) && c.type == type && platform::iequals(name, c.name)) return c.id;
    return AV_CODEC_ID_NONE;
}

AVSampleFormat sample_format_by_name(std::string_view name) noexcept {
    if (platform::iequals(name, "u8")) return AV_SAMPLE_FMT_U8;
    if (platform::iequals(name, "s16")) return AV_SAMPLE_FMT_S16;
    return AV_SAMPLE_FMT_NONE;
}

bool supports_sample_fmt(const AVCodec* codec, AVSampleFormat fmt) noexcept {
    if (!codec->sample_fmts) return true;
    for (const AVSampleFormat* f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f)
        if (*f == fmt) return true;
    return false;
}

}  // namespace vemx::frame
