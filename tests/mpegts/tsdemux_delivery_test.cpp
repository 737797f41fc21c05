// What the demultiplexer delivers, checked against ffprobe's reading of the
// same files, for every codec it knows and for any way of cutting the input.
#include <gtest/gtest.h>

#include "mpegts/tsdemux_inputs.h"

using namespace ts_test;
using vemx_test::LogCapture;

namespace {

struct Expect {
    const char* media_type;
    const char* type;
    int samples_per_packet;  // decoded audio: samples each packet decodes to
};

// Every stream of `rec` agrees with ffprobe packet by packet.
void ExpectMatchesProbe(const Recorder& rec, const std::string& path, const std::map<int, Expect>& expected) {
    const auto probe = ProbePackets(path);
    ASSERT_EQ(rec.infos.size(), expected.size());
    for (const auto& [pid, want] : expected) {
        SCOPED_TRACE("pid " + std::to_string(pid));
        const MediaRecord* info = rec.Info(pid);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->media_type, want.media_type);
        EXPECT_EQ(info->type, want.type);

        std::vector<ProbePacket> ref;
        for (const auto& p : probe)
            if (p.pid == pid) ref.push_back(p);
        const auto it = rec.packets.find(pid);
        ASSERT_NE(it, rec.packets.end());
        const auto& got = it->second;
        ASSERT_EQ(got.size(), ref.size());
        for (size_t i = 0; i < got.size(); ++i) {
            SCOPED_TRACE("packet " + std::to_string(i));
            EXPECT_EQ(got[i].pts, ref[i].pts);
            if (want.samples_per_packet) {
                EXPECT_EQ(got[i].dts, ref[i].pts);
                EXPECT_EQ(got[i].size, want.samples_per_packet * 4);
            } else {
                EXPECT_EQ(got[i].dts, ref[i].dts);
                EXPECT_EQ(got[i].size, ref[i].size);
                if (std::string(want.media_type) == "video") {
                    EXPECT_EQ(got[i].key, ref[i].key);
                }
            }
        }
    }
}

}  // namespace

TEST(TsDemuxDelivery, H264AndAdtsPassThroughAsProbed) {
    const std::string path = H264Aac();
    const Recorder rec = Demux(ReadAll(path), Blocks(65536));
    ExpectMatchesProbe(rec, path, {{256, {"video", "h264", 0}}, {257, {"audio", "adts", 0}}});
    const MediaRecord& v = *rec.Info(256);
    EXPECT_EQ(v.width, 160);
    EXPECT_EQ(v.height, 120);
    EXPECT_EQ(v.pix_fmt, "yv12");
    EXPECT_EQ(v.fps_num, 25);
    EXPECT_EQ(v.fps_den, 1);
    EXPECT_EQ(v.program_id, 1);
    EXPECT_EQ(v.channels, 0);
    const MediaRecord& a = *rec.Info(257);
    EXPECT_EQ(a.sample_rate, 48000);
    EXPECT_EQ(a.channels, 1);
    EXPECT_EQ(a.sample_fmt, "fltp");
    EXPECT_EQ(a.width, 0);
    EXPECT_EQ(a.pix_fmt, "");
    // Timestamps count from the start of the input.
    EXPECT_EQ(std::min(rec.packets.at(256).front().dts, rec.packets.at(257).front().dts), 0);
}

TEST(TsDemuxDelivery, HevcPassesThroughAndLatmIsDecoded) {
    const std::string path = HevcLatm();
    const Recorder rec = Demux(ReadAll(path), Blocks(65536));
    ExpectMatchesProbe(rec, path, {{256, {"video", "hevc", 0}}, {257, {"audio", "pcm", 1024}}});
}

TEST(TsDemuxDelivery, Mpeg2AndMonoLayerTwoDecodedToStereo) {
    const std::string path = Mpeg2Mp2();
    LogCapture log;
    const Recorder rec = Demux(ReadAll(path), Blocks(65536));
    ExpectMatchesProbe(rec, path, {{256, {"video", "mpeg2video", 0}}, {257, {"audio", "pcm", 1152}}});
    EXPECT_EQ(log.count_containing("INFO[vemx|tsdemux] Decoder 'MP2 (MPEG audio layer 2)' initialized.\n"), 1u);

    // A 440 Hz tone at 48 kHz: both channels equal, and loud enough.
    const auto& pcm = rec.pcm_head.at(257);
    ASSERT_GE(pcm.size(), 4096u);
    int peak = 0;
    for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
        ASSERT_EQ(pcm[i], pcm[i + 1]) << i;
        peak = std::max(peak, std::abs(int{pcm[i]}));
    }
    EXPECT_GT(peak, 1000);
}

TEST(TsDemuxDelivery, Mp3AndEac3PassThroughAndAc3IsDecodedAtItsOwnRate) {
    const std::string path = H264Mp3Ac3Eac3();
    const Recorder rec = Demux(ReadAll(path), Blocks(65536));
    ExpectMatchesProbe(rec, path,
                       {{256, {"video", "h264", 0}},
                        {257, {"audio", "mp3", 0}},
                        {258, {"audio", "pcm", 1536}},
                        {259, {"audio", "eac3", 0}}});
    EXPECT_EQ(rec.Info(258)->sample_rate, 44100);
    EXPECT_EQ(rec.Info(259)->sample_rate, 48000);
}

TEST(TsDemuxDelivery, WhatIsDeliveredDoesNotDependOnTheBlockSize) {
    for (const std::string& path : {H264Aac(), Mpeg2Mp2(), TwoPrograms()}) {
        SCOPED_TRACE(path);
        const auto bytes = ReadAll(path);
        const Recorder whole = Demux(bytes, Blocks(bytes.size()));
        ASSERT_FALSE(whole.packets.empty());
        for (uint32_t seed : {1u, 2u, 3u}) {
            const Recorder cut = Demux(bytes, RandomBlocks(seed));
            EXPECT_EQ(cut.packets, whole.packets) << "seed " << seed;
        }
        // A block that is not a multiple of the transport packet size.
        EXPECT_EQ(Demux(bytes, Blocks(1000)).packets, whole.packets);
    }
    // Byte by byte, on the first part of a file only to keep it quick.
    auto bytes = ReadAll(H264Aac());
    bytes.resize(40 * 188);
    EXPECT_EQ(Demux(bytes, Blocks(1)).packets, Demux(bytes, Blocks(bytes.size())).packets);
}

TEST(TsDemuxDelivery, UnknownCodecGetsNoRecordAndNothingIsDeliveredForIt) {
    const std::string path = WithMpeg4();
    LogCapture log;
    const Recorder rec = Demux(ReadAll(path), Blocks(65536));
    ExpectMatchesProbe(rec, path, {{256, {"video", "h264", 0}}, {258, {"audio", "adts", 0}}});
    EXPECT_EQ(rec.packets.count(257), 0u);
    EXPECT_EQ(log.count_containing("unexpected codec, mpeg4\n"), 1u);
}
