// Damaged and hostile input: no crash, no hang, and the good data before
// the damage still delivered as it was.
#include <gtest/gtest.h>

#include "mpegts/tsdemux_inputs.h"

using namespace ts_test;

TEST(TsDemuxBadInput, RandomBytesDeliverNothing) {
    std::mt19937 rng(7);
    std::vector<uint8_t> noise(1 << 20);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    // Half of it with sync bytes in place, so the packet layer is reached.
    for (size_t i = 0; i < noise.size() / 2; i += 188) noise[i] = 0x47;
    EXPECT_TRUE(Demux(noise, RandomBlocks(11)).packets.empty());
}

TEST(TsDemuxBadInput, TruncatedStreamDeliversItsWholePackets) {
    const auto whole = Bytes("mpeg2_mp2");
    const Recorder full = Demux(whole, Blocks(65536));
    const std::vector<uint8_t> cut(whole.begin(),
                                   whole.begin() + static_cast<long>(whole.size() * 3 / 5 + 77));
    const Recorder part = Demux(cut, RandomBlocks(5));
    ASSERT_EQ(part.packets.size(), 2u);
    for (const auto& [pid, list] : part.packets) {
        const auto& ref = full.packets.at(pid);
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
        const Recorder rec = Demux(bytes, RandomBlocks(9));
        EXPECT_FALSE(rec.packets.empty()) << name;
    }
}
