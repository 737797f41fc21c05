// Stream handlers on their own: key frames, ADTS framing and timestamps.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "common/log_capture.h"
#include "mpegts/tsdemux.h"

using Info = vemx::tsdemux::MediaInfo;
using vemx::tsdemux::TsDemux;
using vemx_test::LogCapture;

namespace {

struct Seen {
    uint32_t tag;
    int64_t pts, dts, size;
    bool key;
};
void OnVideo2(uint32_t tag, int64_t pts, int64_t dts, const uint8_t*, int64_t size, bool key,
              void* ctx) {
    static_cast<std::vector<Seen>*>(ctx)->push_back({tag, pts, dts, size, key});
}
void OnVideo(int64_t pts, int64_t dts, const uint8_t* d, int64_t size, bool key, void* ctx) {
    OnVideo2(0, pts, dts, d, size, key, ctx);
}
void OnAudio(int64_t pts, int64_t dts, const uint8_t* d, int64_t size, void* ctx) {
    OnVideo2(0, pts, dts, d, size, false, ctx);
}

// An input of one stream with a 1/90000 time base that starts at 10 s.
struct FakeInput {
    FakeInput(AVMediaType type, AVCodecID codec) {
        format = avformat_alloc_context();
        AVStream* st = avformat_new_stream(format, nullptr);
        st->id = 256;
        st->time_base = {1, 90000};
        st->codecpar->codec_type = type;
        st->codecpar->codec_id = codec;
        format->start_time = 10 * 1000000;
        info = std::make_shared<Info>();
        info->stream_index = 0;
        info->stream_id = 256;
    }
    ~FakeInput() { avformat_free_context(format); }
    AVFormatContext* format;
    std::shared_ptr<Info> info;
};

AVPacket Packet(std::vector<uint8_t>& bytes, int64_t pts, int flags = 0) {
    AVPacket p{};
    p.data = bytes.data();
    p.size = static_cast<int>(bytes.size());
    p.pts = p.dts = pts;
    p.flags = flags;
    return p;
}

}  // namespace

TEST(TsDemuxHandlers, H264KeyFramesAreFlaggedOrFoundByTheirFourByteSps) {
    FakeInput in(AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_H264);
    std::vector<Seen> seen;
    TsDemux::video_callback_t h(256, &OnVideo, &seen);
    h.SetUp(in.format, in.info);
    h.start();

    std::vector<uint8_t> sps = {0, 0, 0, 1, 9, 0xF0, 0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x65};
    std::vector<uint8_t> short_code = {0, 0, 0, 1, 9, 0xF0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x65};
    std::vector<uint8_t> slice = {0, 0, 0, 1, 9, 0xF0, 0, 0, 0, 1, 0x41, 0x9A};
    std::vector<uint8_t> sps_at_end = {0, 0, 0, 1, 0x67};  // header byte present
    std::vector<uint8_t> cut = {0, 0, 0, 1};               // no header byte
    h.on_packet(Packet(sps, 900000));
    h.on_packet(Packet(short_code, 903600));
    h.on_packet(Packet(slice, 907200));
    h.on_packet(Packet(slice, 910800, AV_PKT_FLAG_KEY));
    h.on_packet(Packet(sps_at_end, 914400));
    h.on_packet(Packet(cut, 918000));
    ASSERT_EQ(seen.size(), 6u);
    const bool keys[] = {true, false, false, true, true, false};
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i].key, keys[i]) << i;

    // The scan itself, without reading past the end.
    for (size_t n = 0; n < sps.size(); ++n) {
        auto copy = std::make_unique<uint8_t[]>(n);
        std::copy(sps.begin(), sps.begin() + n, copy.get());
        EXPECT_EQ(TsDemux::video_callback_t::HasSequenceParameterSet(copy.get(), n), n >= 11) << n;
    }
}

// Both scanners against the rule read literally, on buffers long enough for
// the vector loops, with codes planted across every lane and block edge.
TEST(TsDemuxHandlers, SpsScannersAgreeWithTheByteRule) {
    const auto rule = [](const std::vector<uint8_t>& b) {
        for (size_t i = 0; i + 4 < b.size(); ++i)
            if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 0 && b[i + 3] == 1 &&
                (b[i + 4] & 31) == 7)
                return true;
        return false;
    };
    std::mt19937 rng(5);
    const bool avx2 = __builtin_cpu_supports("avx2");
    int positives = 0;
    for (int round = 0; round < 20000; ++round) {
        std::vector<uint8_t> b(rng() % 200);
        // Mostly zeros and ones so that near misses (00 00 01, 00 00 00 00 01) are common;
        // every other round like slice data, where zero bytes are rare.
        const unsigned random_share = round % 2 ? 1 : 4;
        for (auto& v : b)
            v = rng() % random_share == 0 ? static_cast<uint8_t>(rng() | (rng() % 64 != 0))
                                          : rng() % 2;
        if (b.size() >= 5 && rng() % 2) {
            const size_t at = rng() % (b.size() - 4);
            const uint8_t code[] = {0, 0, 0, 1, static_cast<uint8_t>(rng() % 2 ? 0x67 : 0x65)};
            std::copy(code, code + 5, b.begin() + static_cast<long>(at));
        }
        const bool want = rule(b);
        positives += want;
        // An exact-size heap copy lets ASan catch a read past the end.
        auto copy = std::make_unique<uint8_t[]>(b.size());
        std::copy(b.begin(), b.end(), copy.get());
        ASSERT_EQ(TsDemux::video_callback_t::ScanSse2(copy.get(), b.size()), want) << round;
        if (avx2) {
            ASSERT_EQ(TsDemux::video_callback_t::ScanAvx2(copy.get(), b.size()), want) << round;
        }
    }
    EXPECT_GT(positives, 5000);
}

TEST(TsDemuxHandlers, TimestampsCountFromTheInputStartForOwnCallbackAndListeners) {
    FakeInput in(AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_HEVC);
    std::vector<Seen> own, listened;
    TsDemux::video_callback_t h(256, &OnVideo, &own);
    h.listeners.push_back({7, &OnVideo2, &listened});
    h.listeners.push_back({8, &OnVideo2, &listened});
    LogCapture log;
    h.SetUp(in.format, in.info);
    h.start();
    EXPECT_EQ(in.format->streams[0]->pts_wrap_bits, 64);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"[vemx] V: start_time=10000\n"});

    std::vector<uint8_t> bytes(10, 0);
    AVPacket p = Packet(bytes, 900000, AV_PKT_FLAG_KEY);
    p.dts = 896400;
    h.on_packet(p);
    ASSERT_EQ(own.size(), 1u);
    EXPECT_EQ(own[0].pts, 0);
    EXPECT_EQ(own[0].dts, -400000);
    EXPECT_TRUE(own[0].key);
    ASSERT_EQ(listened.size(), 2u);
    EXPECT_EQ(listened[0].tag, 7u);
    EXPECT_EQ(listened[1].tag, 8u);
    EXPECT_EQ(listened[1].pts, 0);

    // A packet without pts: one line, nothing delivered.
    log.clear();
    p.pts = AV_NOPTS_VALUE;
    h.on_packet(p);
    EXPECT_EQ(own.size(), 1u);
    EXPECT_EQ(listened.size(), 2u);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(
        log.lines()[0].rfind(
            "ERROR[vemx|tsdemux] vemx::tsdemux::TsDemux::video_callback_t::FireOnVideoPacket(", 0),
        0u);
    EXPECT_NE(log.lines()[0].find("): invalid value, pts=-9223372036854775808, dts=896400\n"),
              std::string::npos);
}

TEST(TsDemuxHandlers, AdtsPacketsAreTrimmedToTheirFirstFrame) {
    FakeInput in(AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_AAC);
    in.format->start_time = AV_NOPTS_VALUE;  // counts as 0
    std::vector<Seen> seen;
    TsDemux::audio_callback_t h(256, &OnAudio, &seen);
    h.SetUp(in.format, in.info);
    h.start();

    auto adts = [](int length) {
        std::vector<uint8_t> f(static_cast<size_t>(length), 0);
        f[0] = 0xFF;
        f[1] = 0xF1;
        f[3] = static_cast<uint8_t>((length >> 11) & 0x03);
        f[4] = static_cast<uint8_t>(length >> 3);
        f[5] = static_cast<uint8_t>((length & 7) << 5);
        return f;
    };
    std::vector<uint8_t> two = adts(371);
    const auto second = adts(380);
    two.insert(two.end(), second.begin(), second.end());
    std::vector<uint8_t> tiny = {0xFF, 0xF1, 0, 0, 0, 0, 0};
    std::vector<uint8_t> lying = adts(100);
    lying[4] = 0xFF;  // claims more than the packet holds
    h.on_packet(Packet(two, 90000));
    h.on_packet(Packet(tiny, 90000));
    h.on_packet(Packet(lying, 90000));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].size, 371);
    EXPECT_EQ(seen[0].pts, 10000000);
    EXPECT_EQ(seen[1].size, 7);
    EXPECT_EQ(seen[2].size, 100);

    LogCapture log;
    AVPacket p = Packet(two, AV_NOPTS_VALUE);
    h.on_packet(p);
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_EQ(log.count_containing("FireOnAudioPacket("), 1u);
    EXPECT_EQ(log.count_containing("): invalid pts/dts value\n"), 1u);
}
