// What the demultiplexer delivers, checked packet by packet against
// libavformat's reading of the same files, for every codec it knows and for any
// way of cutting the input into blocks; damaged input neither crashes nor
// hangs it, and the good data before the damage is still delivered.
#include <gtest/gtest.h>

#include "mpegts/ts_clock.h"
#include "mpegts/ts_support.h"

using namespace ts_test;

namespace {

struct Stream {
    int pid;
    const char* info;     // the media info record, as Describe writes it
    int decoded_samples;  // per packet, for streams decoded to PCM
};

std::string Describe(const Info& i) {
    char s[256];
    std::snprintf(s, sizeof s, "%s %s %dx%d %s %d/%d %s %dch %dHz p%d", i.media_type.c_str(),
                  i.type.c_str(), i.width, i.height, i.pix_fmt.c_str(), i.fps_num, i.fps_den,
                  i.sample_fmt.c_str(), i.channels, i.sample_rate, i.program_id);
    return s;
}

void ExpectAsProbed(const std::string& name, const std::vector<Stream>& streams) {
    SCOPED_TRACE(name);
    Recorder rec;
    rec.Feed(Bytes(name), Blocks(65536));
    ASSERT_EQ(rec.infos.size(), streams.size());
    for (const Stream& s : streams) {
        SCOPED_TRACE(s.pid);
        ASSERT_EQ(rec.infos.count(s.pid), 1u);
        EXPECT_EQ(Describe(rec.infos.at(s.pid)), s.info);
        const auto ref = Probe(name, s.pid);
        const auto& got = rec.packets[s.pid];
        ASSERT_EQ(got.size(), ref.size());
        for (size_t i = 0; i < got.size(); ++i) {
            // Timestamps count from the start of the input, as the reference's do.
            EXPECT_EQ(got[i].pts, ref[i].pts) << i;
            // Decoded blocks carry the frame's pts twice and 4 bytes a sample.
            EXPECT_EQ(got[i].dts, s.decoded_samples ? ref[i].pts : ref[i].dts) << i;
            EXPECT_EQ(got[i].size, s.decoded_samples ? s.decoded_samples * 4 : ref[i].size()) << i;
            if (!s.decoded_samples) {
                EXPECT_EQ(got[i].hash, Hash(ref[i].data(), ref[i].bytes.size())) << i;
            }
            EXPECT_EQ(got[i].key, rec.infos.at(s.pid).media_type == "video" && ref[i].key) << i;
        }
    }
}

}  // namespace

// Decoded audio is announced at its own rate and layout; the codec nobody
// can deliver gets no record.
TEST(TsDemuxDelivery, EveryKnownCodecAsProbed) {
    vemx_test::LogCapture log;
    const char* video = "video h264 160x120 yv12 25/1  0ch 0Hz p1";
    ExpectAsProbed("h264_aac",
                   {{256, video, 0}, {257, "audio adts 0x0  0/0 fltp 1ch 48000Hz p1", 0}});
    ExpectAsProbed("hevc_latm", {{256, "video hevc 160x120 yv12 25/1  0ch 0Hz p1", 0},
                                 {257, "audio pcm 0x0  0/0 fltp 1ch 48000Hz p1", 1024}});
    ExpectAsProbed("mpeg2_mp2", {{256, "video mpeg2video 160x120 yv12 25/1  0ch 0Hz p1", 0},
                                 {257, "audio pcm 0x0  0/0 fltp 1ch 48000Hz p1", 1152}});
    ExpectAsProbed("mp3_ac3_eac3", {{256, video, 0},
                                    {257, "audio mp3 0x0  0/0 fltp 1ch 48000Hz p1", 0},
                                    {258, "audio pcm 0x0  0/0 fltp 1ch 44100Hz p1", 1536},
                                    {259, "audio eac3 0x0  0/0 fltp 1ch 48000Hz p1", 0}});
    ExpectAsProbed("with_mpeg4",
                   {{256, video, 0}, {258, "audio adts 0x0  0/0 fltp 1ch 48000Hz p1", 0}});
    EXPECT_EQ(log.count_containing("[vemx::tsdemux::TsDemux::Main], 0x"), 1u);
    EXPECT_EQ(log.count_containing(" unexpected codec, mpeg4\n"), 1u);
    EXPECT_EQ(log.count_containing(
                  "INFO[vemx|tsdemux] Decoder 'MP2 (MPEG audio layer 2)' initialized.\n"),
              1u);
}

TEST(TsDemuxDelivery, MonoLayerTwoBecomesStereo) {
    Recorder rec;
    rec.Feed(Bytes("mpeg2_mp2"), Blocks(65536));
    ASSERT_EQ(rec.pcm.size(), 4096u);
    int peak = 0;
    for (size_t i = 0; i < rec.pcm.size(); i += 2) {
        ASSERT_EQ(rec.pcm[i], rec.pcm[i + 1]) << i;
        peak = std::max(peak, std::abs(int{rec.pcm[i]}));
    }
    EXPECT_GT(peak, 1000);
}

TEST(TsDemuxDelivery, WhatIsDeliveredDoesNotDependOnTheBlockSize) {
    // The large one wraps the feed ring and, fed whole, waits for room.
    for (const char* name : {"h264_aac", "mpeg2_mp2", "two_programs", "mpeg2_large"}) {
        const auto bytes = Bytes(name);
        const Packets whole = Delivery(bytes, Blocks(bytes.size()));
        ASSERT_FALSE(whole.empty());
        for (uint32_t seed : {1u, 2u, 3u})
            EXPECT_EQ(Delivery(bytes, RandomBlocks(seed)), whole) << name;
        EXPECT_EQ(Delivery(bytes, Blocks(1000)), whole) << name;
    }
    // Byte by byte, on the start of a file only to keep it quick.
    auto bytes = Bytes("h264_aac");
    bytes.resize(40 * 188);
    EXPECT_EQ(Delivery(bytes, Blocks(1)), Delivery(bytes, Blocks(bytes.size())));
}

TEST(TsDemuxBadInput, RandomBytesDeliverNothing) {
    std::mt19937 rng(7);
    std::vector<uint8_t> noise(1 << 20);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    // Half of it with sync bytes in place, so the packet layer is reached.
    for (size_t i = 0; i < noise.size() / 2; i += 188) noise[i] = 0x47;
    EXPECT_TRUE(Delivery(noise, RandomBlocks(11)).empty());
}

TEST(TsDemuxBadInput, TruncatedStreamDeliversItsWholePackets) {
    const auto whole = Bytes("mpeg2_mp2");
    const Packets full = Delivery(whole, Blocks(65536));
    const Packets part =
        Delivery({whole.begin(), whole.begin() + long(whole.size() * 3 / 5 + 77)}, RandomBlocks(5));
    ASSERT_EQ(part.size(), 2u);
    for (const auto& [pid, list] : part) {
        const auto& ref = full.at(pid);
        ASSERT_GT(list.size(), 1u);
        ASSERT_LT(list.size(), ref.size());
        // The last one may be cut short; all before it are intact.
        for (size_t i = 0; i + 1 < list.size(); ++i) EXPECT_EQ(list[i], ref[i]) << pid << " " << i;
    }
}

TEST(TsDemuxBadInput, BitFlipsInTheMiddle) {
    for (const char* name : {"h264_aac", "hevc_latm", "mp3_ac3_eac3"}) {
        auto bytes = Bytes(name);
        std::mt19937 rng(3);
        const size_t third = bytes.size() / 3;
        for (int i = 0; i < 200; ++i)
            bytes[third + rng() % third] ^= static_cast<uint8_t>(1u << (rng() % 8));
        EXPECT_FALSE(Delivery(bytes, RandomBlocks(9)).empty()) << name;
    }
}

// The 33-bit clock wraps every 26.5 hours; what is delivered keeps rising.
// Every value congruent modulo the period (as the wire, or libavformat's own
// correction while probing, gives it) is read near the last position.
TEST(TsDemuxTimestamps, ClockFollowsAnyNumberOfWraps) {
    using vemx::tsclock::TsClock;
    constexpr int64_t P = TsClock::kPeriod;
    TsClock clock(P - 200);
    int64_t jump = 0;
    EXPECT_EQ(clock.Follow(-150, jump), P - 150);  // corrected below zero
    EXPECT_EQ(jump, 0);
    EXPECT_EQ(clock.Follow(P - 100, jump), P - 100);
    EXPECT_EQ(clock.Follow(20, jump), P + 20);  // raw after the wrap
    EXPECT_EQ(jump, 120);
    EXPECT_EQ(clock.Place(P - 90), P - 90);  // a pts just before, read after
    // Four more wraps in steps of a third of a period.
    for (int64_t t = P; t <= 5 * P; t += P / 3) clock.Follow(t % P, jump);
    EXPECT_EQ(clock.Follow(5, jump), 5 * P + 5);
    // Half a period either way is the limit of what can be told apart.
    EXPECT_EQ(clock.Follow(P / 2 - 10, jump), 5 * P + P / 2 - 10);
    EXPECT_EQ(clock.Place(P - 20), 6 * P - 20);
    EXPECT_EQ(TsClock::Nearest(INT64_MIN, 0), 0);
    EXPECT_EQ(TsClock::Nearest(INT64_MAX, 0), -1);
}

// Read across the wrap, a stream delivers what the same content delivers
// without it (at most half a microsecond apart: the input's start time is
// kept in microseconds); an hour's jump is kept as it is and said once per
// stream.
TEST(TsDemuxTimestamps, WrapIsInvisibleAndJumpsAreDeliveredAsTheyAre) {
    const Packets plain = Delivery(Bytes("h264_aac"), Blocks(65536));
    const Packets wrapped = Delivery(Bytes("h264_aac_wrap"), Blocks(65536));
    ASSERT_EQ(wrapped.size(), 2u);
    for (const int pid : {256, 257}) {
        SCOPED_TRACE(pid);
        const auto& a = plain.at(pid);
        const auto& b = wrapped.at(pid);
        ASSERT_EQ(a.size(), b.size());
        ASSERT_GT(a.size(), 20u);
        for (size_t i = 0; i < a.size(); ++i) {
            EXPECT_NEAR(b[i].pts, a[i].pts, 5) << i;
            EXPECT_NEAR(b[i].dts, a[i].dts, 5) << i;
            EXPECT_EQ(b[i].hash, a[i].hash) << i;
        }
    }

    vemx_test::LogCapture log;
    auto bytes = Bytes("h264_aac");
    const auto later = Bytes("h264_aac_hour");
    bytes.insert(bytes.end(), later.begin(), later.end());
    const Packets joined = Delivery(bytes, Blocks(65536));
    const auto& v = joined.at(256);
    ASSERT_EQ(v.size(), 2 * plain.at(256).size());
    const size_t half = plain.at(256).size();
    EXPECT_NEAR(double(v[half].dts - v[0].dts), 36000000000.0, 1000000.0);
    EXPECT_EQ(
        log.count_containing(
            "INFO[vemx|tsdemux] vemx::tsdemux::TsDemux::Main: stream 256: timestamps jump by "),
        1u);
    EXPECT_EQ(log.count_containing("stream 257: timestamps jump by "), 1u);
}
