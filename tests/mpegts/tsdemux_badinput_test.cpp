// Damaged and hostile input: no crash, no hang, and good data before the
// damage still delivered as it was.
#include <gtest/gtest.h>

#include <random>

#include "mpegts/tsdemux_inputs.h"

using namespace ts_test;

namespace {

size_t Total(const Recorder& rec) {
    size_t n = 0;
    for (const auto& [pid, list] : rec.packets) n += list.size();
    return n;
}

}  // namespace

TEST(TsDemuxBadInput, RandomBytesInRandomBlocks) {
    std::mt19937 rng(7);
    std::vector<uint8_t> noise(1 << 20);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    // Some of it with the sync byte in place, so the packet layer is reached.
    for (size_t i = 0; i < noise.size() / 2; i += 188) noise[i] = 0x47;
    const Recorder rec = Demux(noise, RandomBlocks(11));
    EXPECT_EQ(Total(rec), 0u);
}

TEST(TsDemuxBadInput, TruncatedStreamDeliversItsWholePackets) {
    const auto whole = ReadAll(Mpeg2Mp2());
    const Recorder full = Demux(whole, Blocks(65536));
    std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<long>(whole.size() * 3 / 5 + 77));
    const Recorder part = Demux(cut, RandomBlocks(5));
    ASSERT_EQ(part.infos.size(), full.infos.size());
    for (const auto& [pid, list] : part.packets) {
        const auto& ref = full.packets.at(pid);
        ASSERT_GT(list.size(), 1u);
        ASSERT_LT(list.size(), ref.size());
        // The last one may be cut short; all before it are intact.
        for (size_t i = 0; i + 1 < list.size(); ++i) EXPECT_EQ(list[i], ref[i]) << pid << " " << i;
    }
}

TEST(TsDemuxBadInput, BitFlipsInTheMiddle) {
    for (const std::string& path : {H264Aac(), HevcLatm(), H264Mp3Ac3Eac3()}) {
        SCOPED_TRACE(path);
        auto bytes = ReadAll(path);
        std::mt19937 rng(3);
        const size_t third = bytes.size() / 3;
        for (int i = 0; i < 200; ++i) {
            const size_t at = third + rng() % third;
            bytes[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
        }
        const Recorder rec = Demux(bytes, RandomBlocks(9));
        EXPECT_GT(Total(rec), 0u);
        for (const auto& [pid, list] : rec.packets)
            for (const Delivered& d : list) EXPECT_GE(d.size, 0);
    }
}
