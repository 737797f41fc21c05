// What the demultiplexer delivers, checked packet by packet against
// ffprobe's reading of the same files, for every codec it knows and for any
// way of cutting the input into blocks.
#include <gtest/gtest.h>

#include "mpegts/tsdemux_inputs.h"

using namespace ts_test;
using vemx_test::LogCapture;

namespace {

struct Stream {
    int pid;
    const char* type;
    int decoded_samples;  // per packet, for streams decoded to PCM
};

void ExpectAsProbed(const std::string& name, const std::vector<Stream>& streams) {
    SCOPED_TRACE(name);
    const Recorder rec = Demux(Bytes(name), Blocks(65536));
    ASSERT_EQ(rec.infos.size(), streams.size());
    for (const Stream& s : streams) {
        SCOPED_TRACE(s.pid);
        ASSERT_EQ(rec.infos.count(s.pid), 1u);
        EXPECT_EQ(rec.infos.at(s.pid).type, s.type);
        const auto ref = Probe(name, s.pid);
        const auto& got = rec.packets.at(s.pid);
        ASSERT_EQ(got.size(), ref.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].pts, ref[i].pts) << i;
            // Decoded blocks carry the frame's pts twice and 4 bytes a sample.
            EXPECT_EQ(got[i].dts, s.decoded_samples ? ref[i].pts : ref[i].dts) << i;
            EXPECT_EQ(got[i].size, s.decoded_samples ? s.decoded_samples * 4 : ref[i].size) << i;
            EXPECT_EQ(got[i].key, rec.infos.at(s.pid).media_type == "video" && ref[i].key) << i;
        }
    }
}

}  // namespace

TEST(TsDemuxDelivery, EveryKnownCodecAsProbed) {
    ExpectAsProbed("h264_aac", {{256, "h264", 0}, {257, "adts", 0}});
    ExpectAsProbed("hevc_latm", {{256, "hevc", 0}, {257, "pcm", 1024}});
    ExpectAsProbed("mpeg2_mp2", {{256, "mpeg2video", 0}, {257, "pcm", 1152}});
    ExpectAsProbed("mp3_ac3_eac3",
                   {{256, "h264", 0}, {257, "mp3", 0}, {258, "pcm", 1536}, {259, "eac3", 0}});
}

TEST(TsDemuxDelivery, MediaInfosDescribeTheStreams) {
    const Recorder rec = Demux(Bytes("mp3_ac3_eac3"), Blocks(65536));
    const Info& v = rec.infos.at(256);
    EXPECT_EQ(v.media_type, "video");
    EXPECT_EQ(v.width * 1000 + v.height, 160120);
    EXPECT_EQ(v.pix_fmt, "yv12");
    EXPECT_EQ(v.fps_num * 1000 + v.fps_den, 25001);
    EXPECT_EQ(v.channels + v.sample_rate, 0);
    EXPECT_EQ(v.program_id, 1);
    const Info& ac3 = rec.infos.at(258);
    EXPECT_EQ(ac3.media_type, "audio");
    EXPECT_EQ(ac3.sample_rate, 44100);  // decoded at its own rate
    EXPECT_EQ(ac3.channels, 1);
    EXPECT_EQ(ac3.sample_fmt, "fltp");
    EXPECT_EQ(ac3.width + ac3.fps_num, 0);
    EXPECT_EQ(ac3.pix_fmt, "");
    // Timestamps count from the start of the input.
    int64_t first = INT64_MAX;
    for (const auto& [pid, list] : rec.packets) first = std::min(first, list.front().dts);
    EXPECT_EQ(first, 0);
}

TEST(TsDemuxDelivery, MonoLayerTwoBecomesStereo) {
    LogCapture log;
    const Recorder rec = Demux(Bytes("mpeg2_mp2"), Blocks(65536));
    EXPECT_EQ(log.count_containing(
                  "INFO[vemx|tsdemux] Decoder 'MP2 (MPEG audio layer 2)' initialized.\n"),
              1u);
    ASSERT_EQ(rec.pcm.size(), 4096u);
    int peak = 0;
    for (size_t i = 0; i < rec.pcm.size(); i += 2) {
        ASSERT_EQ(rec.pcm[i], rec.pcm[i + 1]) << i;
        peak = std::max(peak, std::abs(int{rec.pcm[i]}));
    }
    EXPECT_GT(peak, 1000);
}

TEST(TsDemuxDelivery, WhatIsDeliveredDoesNotDependOnTheBlockSize) {
    for (const char* name : {"h264_aac", "mpeg2_mp2", "two_programs"}) {
        const auto bytes = Bytes(name);
        const Recorder whole = Demux(bytes, Blocks(bytes.size()));
        ASSERT_FALSE(whole.packets.empty());
        for (uint32_t seed : {1u, 2u, 3u})
            EXPECT_EQ(Demux(bytes, RandomBlocks(seed)).packets, whole.packets) << name;
        EXPECT_EQ(Demux(bytes, Blocks(1000)).packets, whole.packets) << name;
    }
    // Byte by byte, on the start of a file only to keep it quick.
    auto bytes = Bytes("h264_aac");
    bytes.resize(40 * 188);
    EXPECT_EQ(Demux(bytes, Blocks(1)).packets, Demux(bytes, Blocks(bytes.size())).packets);
}

TEST(TsDemuxDelivery, UnknownCodecGetsNoRecordAndIsNeverDelivered) {
    LogCapture log;
    ExpectAsProbed("with_mpeg4", {{256, "h264", 0}, {258, "adts", 0}});
    EXPECT_EQ(log.count_containing("[vemx::tsdemux::TsDemux::Main], 0x"), 1u);
    EXPECT_EQ(log.count_containing(" unexpected codec, mpeg4\n"), 1u);
}
