// Each service has always taken its own set of names; one shared table must
// not widen or narrow any of them.
#include <gtest/gtest.h>

#include "frame/codec_names.h"

using namespace vemx::frame;

TEST(CodecNames, EachServiceKeepsItsOwnNames) {
    constexpr AVMediaType kVideo = AVMEDIA_TYPE_VIDEO, kAudio = AVMEDIA_TYPE_AUDIO;
    struct Case {
        const char* name;
        AVMediaType type;
        AVCodecID mp4, ts, encoder;
    };
    const Case cases[] = {
        {"H264", kVideo, AV_CODEC_ID_H264, AV_CODEC_ID_H264, AV_CODEC_ID_NONE},
        {"h265", kVideo, AV_CODEC_ID_HEVC, AV_CODEC_ID_HEVC, AV_CODEC_ID_NONE},
        {"Mpeg2Video", kVideo, AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_NONE},
        {"ADTS", kAudio, AV_CODEC_ID_AAC, AV_CODEC_ID_AAC, AV_CODEC_ID_NONE},
        {"aac", kAudio, AV_CODEC_ID_AAC, AV_CODEC_ID_NONE, AV_CODEC_ID_AAC},
        {"eAC3", kAudio, AV_CODEC_ID_EAC3, AV_CODEC_ID_EAC3, AV_CODEC_ID_EAC3},
        {"opus", kAudio, AV_CODEC_ID_NONE, AV_CODEC_ID_NONE, AV_CODEC_ID_OPUS},
        {"G726", kAudio, AV_CODEC_ID_NONE, AV_CODEC_ID_NONE, AV_CODEC_ID_ADPCM_G726},
        // A name of the other medium, and a prefix of a known name.
        {"h264", kAudio, AV_CODEC_ID_NONE, AV_CODEC_ID_NONE, AV_CODEC_ID_NONE},
        {"mp", kAudio, AV_CODEC_ID_NONE, AV_CODEC_ID_NONE, AV_CODEC_ID_NONE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(codec_by_name(c.name, c.type, kMp4Writer), c.mp4);
        EXPECT_EQ(codec_by_name(c.name, c.type, kTsMux), c.ts);
        EXPECT_EQ(codec_by_name(c.name, c.type, kEncoder), c.encoder);
    }
}

TEST(CodecNames, SampleFormatsByNameAndByEncoder) {
    EXPECT_EQ(sample_format_by_name("U8"), AV_SAMPLE_FMT_U8);
    EXPECT_EQ(sample_format_by_name("s16"), AV_SAMPLE_FMT_S16);
    EXPECT_EQ(sample_format_by_name("s16p"), AV_SAMPLE_FMT_NONE);
    EXPECT_EQ(sample_format_by_name(""), AV_SAMPLE_FMT_NONE);

    // The native AAC encoder takes planar float only; PCM takes what it is
    // named for.
    const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    ASSERT_NE(aac, nullptr);
    EXPECT_TRUE(supports_sample_fmt(aac, AV_SAMPLE_FMT_FLTP));
    EXPECT_FALSE(supports_sample_fmt(aac, AV_SAMPLE_FMT_S16));
    const AVCodec* pcm = avcodec_find_encoder(AV_CODEC_ID_PCM_S16LE);
    ASSERT_NE(pcm, nullptr);
    EXPECT_TRUE(supports_sample_fmt(pcm, AV_SAMPLE_FMT_S16));
    EXPECT_FALSE(supports_sample_fmt(pcm, AV_SAMPLE_FMT_U8));
}
