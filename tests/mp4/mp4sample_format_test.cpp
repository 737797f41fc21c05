// Where the parameter sets go in a delivered H.264 sample, and what happens
// to samples whose length prefixes do not add up.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "mp4/mp4_sample_format.h"

using Bytes = std::vector<uint8_t>;
namespace ms = vemx::mp4sample;

namespace {

// avcC with one SPS (67 aa bb) and one PPS (68 cc), NAL lengths of `length_size` bytes.
ms::SampleFormat AvcFormat(int length_size) {
    const Bytes avcc = {
        1, 0x64, 0,    0x1e, uint8_t(0xfc | (length_size - 1)), 0xe1, 0, 3, 0x67, 0xaa, 0xbb, 1,
        0, 2,    0x68, 0xcc};
    ms::SampleFormat f;
    ms::ParseAvcConfig(vemx::mp4box::Cursor(avcc.data(), avcc.size()), f);
    return f;
}

Bytes Deliver(const ms::SampleFormat& f, const Bytes& stored, bool key) {
    const int64_t n = ms::DeliveredSize(f, stored.data(), stored.size(), key);
    if (n < 0) return {};
    Bytes out(static_cast<size_t>(n));
    ms::Deliver(f, stored.data(), stored.size(), key, out.data());
    return out;
}

const Bytes kSets = {0, 0, 0, 1, 0x67, 0xaa, 0xbb, 0, 0, 0, 1, 0x68, 0xcc};

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

TEST(Mp4SampleFormat, ParameterSetsGoInFrontOfKeyFramesThatLackThem) {
    const auto f = AvcFormat(4);
    const Bytes idr = {0, 0, 0, 3, 0x65, 1, 2};
    const Bytes aud = {0, 0, 0, 2, 0x09, 0xf0};
    const Bytes annexb_idr = {0, 0, 0, 1, 0x65, 1, 2};
    const Bytes annexb_aud = {0, 0, 0, 1, 0x09, 0xf0};

    EXPECT_EQ(Deliver(f, idr, true), Cat({kSets, annexb_idr}));
    EXPECT_EQ(Deliver(f, idr, false), annexb_idr);
    // After a leading access unit delimiter, not before it.
    EXPECT_EQ(Deliver(f, Cat({aud, idr}), true), Cat({annexb_aud, kSets, annexb_idr}));
    // A key frame with its own sequence parameter set keeps just its own.
    const Bytes own = {0, 0, 0, 2, 0x67, 0x11, 0, 0, 0, 2, 0x68, 0x22};
    EXPECT_EQ(Deliver(f, Cat({own, idr}), true),
              Cat({{0, 0, 0, 1, 0x67, 0x11, 0, 0, 0, 1, 0x68, 0x22}, annexb_idr}));
}

TEST(Mp4SampleFormat, ShortLengthPrefixesAndBrokenSamples) {
    const auto f = AvcFormat(2);
    EXPECT_EQ(Deliver(f, {0, 2, 0x41, 9, 0, 1, 0x41}, false),
              Bytes({0, 0, 0, 1, 0x41, 9, 0, 0, 0, 1, 0x41}));
    // An empty key frame still gets the sets; an empty AAC frame its header.
    EXPECT_EQ(Deliver(f, {}, true), kSets);
    ms::SampleFormat aac;
    aac.packing = ms::Packing::kAdts;
    EXPECT_EQ(Deliver(aac, {}, true).size(), 7u);
    // A length past the end, and a prefix cut short.
    EXPECT_LT(ms::DeliveredSize(f, Bytes{0, 5, 0x41}.data(), 3, false), 0);
    EXPECT_LT(ms::DeliveredSize(f, Bytes{0, 1, 0x41, 0}.data(), 4, false), 0);
}
