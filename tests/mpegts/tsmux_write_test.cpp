// Frames in, transport stream out: what libavformat reads back from our
// output must be what we fed, byte for byte, with the timestamps kept.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/log_capture.h"
#include "common/watchdog.h"
#include "mpegts/ts_support.h"

using namespace ts_test;
using vemx_test::LogCapture;
using vemx_test::TempDir;

namespace {

// Bytes, key flags and timestamps relative to the first frame written (the
// first of inputs[0]) must come back on every PID.
void ExpectSameFrames(const std::vector<Input>& inputs,
                      const std::map<int, std::vector<Frame>>& out) {
    ASSERT_TRUE(out.count(inputs[0].pid));
    const int64_t zero = out.at(inputs[0].pid)[0].pts, base = inputs[0].frames[0].pts;
    for (const auto& in : inputs) {
        SCOPED_TRACE(in.kind);
        ASSERT_TRUE(out.count(in.pid));
        const auto& got = out.at(in.pid);
        ASSERT_EQ(got.size(), in.frames.size());
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(got[i].bytes, in.frames[i].bytes) << i;
            EXPECT_EQ(got[i].key, in.frames[i].key) << i;
            EXPECT_EQ(got[i].pts - zero, av_rescale(in.frames[i].pts - base, 9, 1000)) << i;
            // A PES without its own dts leaves the reader guessing one for MPEG-2.
            if (in.kind != "mpeg2video") {
                EXPECT_EQ(got[i].dts - zero, av_rescale(in.frames[i].dts - base, 9, 1000)) << i;
            }
        }
    }
}

}  // namespace

TEST(TsMuxRoundTrip, SingleStreamPairsOfEveryCodec) {
    TempDir dir;
    const char* pairs[][2] = {{"h264", "adts"},
                              {"hevc", "mp2"},
                              {"mpeg2video", "mp3"},
                              {"h264", "ac3"},
                              {"hevc", "eac3"}};
    for (const auto& pair : pairs) {
        const std::string video = pair[0], audio = pair[1];
        SCOPED_TRACE(video + "+" + audio);
        Mux m;
        vemx_tsmux_set_video_property(m.h, video == "h264" ? "H264" : video.c_str(), 160, 96,
                                      "YV12", 25, 1);
        vemx_tsmux_set_audio_property(m.h, audio.c_str(), 2, "s16", 48000);
        ASSERT_EQ(vemx_tsmux_init(m.h), 1);
        std::vector<Input> in = {{video, 0, EsFrames(video, 7000000)},
                                 {audio, 0, EsFrames(audio, 7000000)}};
        ASSERT_GT(in[0].frames.size(), 20u);
        // Presentation two frames after decoding, as with reordered pictures.
        if (video == "h264")
            for (auto& f : in[0].frames) f.pts += 800000;
        Feed(m.h, in);
        vemx_tsmux_uninit(m.h);
        TsScan scan(m.cap.Bytes());
        EXPECT_EQ(scan.error, "");
        int keys = 0;
        for (const auto& f : in[0].frames) keys += f.key;
        EXPECT_EQ(scan.random_access[0x100], keys);
        in[0].pid = 0x100;  // the muxer's choice for streams without a PID
        in[1].pid = 0x101;
        ExpectSameFrames(in, ReadBack(m.cap.Save("out.ts")));
    }
}

// Read back by libavformat and by our own demultiplexer, which passes all but
// the AC-3 and MPEG-1 layer II streams through.
TEST(TsMuxRoundTrip, PidKeyedStreamsInThreePrograms) {
    TempDir dir;
    Mux m;
    std::vector<Input> in;
    for (const auto& [pid, kind] :
         std::vector<std::pair<unsigned, std::string>>{{0x100, "h264"},
                                                       {0x101, "adts"},
                                                       {0x200, "hevc"},
                                                       {0x201, "ac3"},
                                                       {0x300, "mpeg2video"},
                                                       {0x301, "mp2"},
                                                       {0x302, "mp3"},
                                                       {0x303, "eac3"}})
        in.push_back({kind, pid, EsFrames(kind)});
    AddStreams(m.h, in, true);
    ASSERT_EQ(vemx_tsmux_init(m.h), 1);
    Feed(m.h, in);
    vemx_tsmux_uninit(m.h);
    TsScan scan(m.cap.Bytes());
    EXPECT_EQ(scan.error, "");
    EXPECT_EQ(scan.streams[1], (std::vector<std::pair<int, int>>{{0x1b, 0x100}, {0x0f, 0x101}}));
    EXPECT_EQ(scan.streams[2], (std::vector<std::pair<int, int>>{{0x24, 0x200}, {0x81, 0x201}}));
    EXPECT_EQ(scan.streams[3].size(), 4u);
    ExpectSameFrames(in, ReadBack(m.cap.Save("out.ts")));

    const std::string ts = m.cap.Bytes();
    Recorder r;
    r.Feed({ts.begin(), ts.end()}, Blocks(18800));
    ASSERT_TRUE(r.packets.count(0x100));
    const int64_t zero = r.packets[0x100][0].pts;
    for (const auto& s : in) {
        if (s.kind == "ac3" || s.kind == "mp2") continue;
        SCOPED_TRACE(s.kind);
        const auto& got = r.packets[int(s.pid)];
        // The last frames may stay inside the demultiplexer at the end of input.
        ASSERT_GE(got.size() + 2, s.frames.size());
        for (size_t i = 0; i < std::min(got.size(), s.frames.size()); ++i) {
            const Frame& f = s.frames[i];
            ASSERT_EQ(got[i].hash, Hash(f.data(), f.bytes.size())) << i;
            EXPECT_EQ(got[i].key, IsVideo(s.kind) && f.key) << i;
            EXPECT_NEAR(got[i].pts - zero, f.pts, 112) << i;  // one 90 kHz tick
        }
    }
}

TEST(TsMuxTimestamps, CommonBaseMaxDelayAndVariantFourOffsets) {
    TempDir dir;
    Mux m;
    vemx_tsmux_set_video_property1(m.h, 0x100, "h264", 160, 96, "yv12", 25, 1);
    vemx_tsmux_set_audio_property1(m.h, 0x101, "adts", 2, "s16", 48000);
    vemx_tsmux_set_max_delay(m.h, 500);
    const auto v = EsFrames("h264"), a = EsFrames("adts");
    auto video = [&](size_t i, int64_t t, int64_t offset) {
        vemx_tsmux_write_video_frame4(m.h, 0x100, t, t, offset, v[i].data(), v[i].size(), v[i].key);
    };
    // Audio first at 0.5 s sets the base; video at 0.54 s is 40 ms later, and
    // from its second frame on moved by the 2 s offset given once.
    ASSERT_EQ(vemx_tsmux_init(m.h), 1);
    vemx_tsmux_write_audio_frame4(m.h, 0x101, 5000000, 5000000, 0, a[0].data(), a[0].size());
    for (size_t i = 0; i < 4; ++i) video(i, 5400000 + int64_t(i) * 400000, i == 1 ? 20000000 : 0);
    vemx_tsmux_uninit(m.h);
    auto out = ReadBack(m.cap.Save("out.ts"));
    // libavformat starts the clock at twice the maximum delay: 2 x 45000.
    ASSERT_EQ(out[0x101].size(), 1u);
    EXPECT_EQ(out[0x101][0].pts, 90000);
    ASSERT_EQ(out[0x100].size(), 4u);
    for (int64_t i = 0; i < 4; ++i)
        EXPECT_EQ(out[0x100][i].pts, 93600 + 3600 * i + (i ? 180000 : 0));

    // The property setter forgets the offset; a new init takes a new base.
    m.cap.blocks.clear();
    vemx_tsmux_set_video_property1(m.h, 0x100, "h264", 160, 96, "yv12", 25, 1);
    ASSERT_EQ(vemx_tsmux_init(m.h), 1);
    video(0, 1000000, 0);
    video(1, 1400000, 0);
    vemx_tsmux_uninit(m.h);
    out = ReadBack(m.cap.Save("again.ts"));
    ASSERT_EQ(out[0x100].size(), 2u);
    EXPECT_EQ(out[0x100][1].pts, 93600);
}

// INT64_MIN is libavformat's "no timestamp": a frame without a dts gets its
// pts as dts.  Sums and differences far out of range saturate (the UBSan
// build checks that nothing overflows) and the multiplexer stays usable.
TEST(TsMuxTimestamps, UnknownDtsIsDerivedAndOutOfRangeTimestampsSaturate) {
    TempDir dir;
    LogCapture log;
    Mux m;
    const auto v = EsFrames("h264");
    vemx_tsmux_set_video_property(m.h, "h264", 160, 96, "yv12", 25, 1);
    vemx_tsmux_set_video_property1(m.h, 0x200, "h264", 160, 96, "yv12", 25, 1);
    ASSERT_EQ(vemx_tsmux_init(m.h), 1);
    for (size_t i = 0; i < 5; ++i)
        vemx_tsmux_write_video_frame2(m.h, 5000000 + int64_t(i) * 400000, INT64_MIN, v[i].data(),
                                      v[i].size(), v[i].key);
    for (int64_t t : {INT64_MAX, INT64_MIN + 1, INT64_MAX})
        vemx_tsmux_write_video_frame2(m.h, t, t, v[5].data(), v[5].size(), v[5].key);
    for (int64_t offset : {INT64_MAX, INT64_MIN})
        vemx_tsmux_write_video_frame4(m.h, 0x200, INT64_MAX - 1, 100, offset, v[0].data(),
                                      v[0].size(), 1);
    vemx_tsmux_write_video_frame4(m.h, 0x200, INT64_MIN, INT64_MIN, 0, v[0].data(), v[0].size(), 1);
    vemx_tsmux_uninit(m.h);

    const auto out = ReadBack(m.cap.Save("out.ts"));
    ASSERT_TRUE(out.count(0x100));
    const auto& got = out.at(0x100);
    ASSERT_GE(got.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(got[i].bytes, v[i].bytes) << i;
        EXPECT_EQ(got[i].dts, got[i].pts) << i;
        EXPECT_EQ(got[i].pts - got[0].pts, int64_t(i) * 3600) << i;
    }
}

// A write racing uninit used to run on a freed output.  Now writes during
// and after uninit are ignored, and a packet callback that calls back into
// its multiplexer is refused instead of deadlocking.
TEST(TsMuxThreads, WritesRacingUninitAndCallsFromPacketCallbacksAreIgnored) {
    TempDir dir;
    vemx_test::Watchdog watchdog("tsmux writes racing uninit");
    const auto v = EsFrames("h264"), a = EsFrames("adts");
    for (int round = 0; round < 3; ++round) {
        Mux m;
        vemx_tsmux_set_video_property(m.h, "h264", 160, 96, "yv12", 25, 1);
        vemx_tsmux_set_audio_property(m.h, "adts", 2, "s16", 48000);
        ASSERT_EQ(vemx_tsmux_init(m.h), 1);
        std::atomic<bool> stop{false};
        auto writer = [&](bool video) {
            for (int64_t i = 0; !stop; ++i) {
                const auto& f = video ? v[size_t(i) % v.size()] : a[size_t(i) % a.size()];
                if (video)
                    vemx_tsmux_write_video_frame(m.h, i * 400000, f.data(), f.size(), f.key);
                else
                    vemx_tsmux_write_audio_frame(m.h, i * 213333, f.data(), f.size());
            }
        };
        std::thread tv(writer, true), ta(writer, false);
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + 10 * round));
        vemx_tsmux_uninit(m.h);
        const size_t blocks = [&] {
            std::lock_guard g(m.cap.lock);
            return m.cap.blocks.size();
        }();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        stop = true;
        tv.join();
        ta.join();
        EXPECT_EQ(m.cap.blocks.size(), blocks);
        EXPECT_EQ(TsScan(m.cap.Bytes()).error, "");
    }

    LogCapture log;
    Mux m;
    vemx_tsmux_set_callbacks(
        m.h,
        [](const uint8_t* d, int64_t n, void* h) {
            vemx_tsmux_write_video_frame(h, 0, d, static_cast<int>(n), 1);
            vemx_tsmux_uninit(h);
        },
        m.h);
    vemx_tsmux_set_video_property(m.h, "h264", 160, 96, "yv12", 25, 1);
    ASSERT_EQ(vemx_tsmux_init(m.h), 1);
    Feed(m.h, {{"h264", 0, v}});
    vemx_tsmux_uninit(m.h);
    const std::string refused =
        "ERROR[vemx|tsmux] vemx::tsmux::TsMux::%s: called from a packet "
        "callback, ignored\n";
    for (const char* function : {"WriteVideo", "Uninit"}) {
        char line[256];
        std::snprintf(line, sizeof line, refused.c_str(), function);
        EXPECT_GT(log.count_containing(line), 0u) << function;
    }
}

TEST(TsMuxOutput, BlocksReachBothCallbacksInOrderThenTheFile) {
    TempDir dir;
    Mux m;
    std::string order;  // 0: packet callback, 1: second callback
    vemx_tsmux_set_callbacks(
        m.h, [](const uint8_t*, int64_t, void* o) { *static_cast<std::string*>(o) += '0'; },
        nullptr);
    vemx_tsmux_set_callbacks1(
        m.h,
        [](const uint8_t* d, int64_t n, void* o, void* cap) {
            *static_cast<std::string*>(o) += '1';
            Capture::OnPacket(d, n, cap);
        },
        &order, &m.cap);
    vemx_tsmux_set_filename(m.h, "copy.ts");
    vemx_tsmux_set_video_property(m.h, "mpeg2video", 160, 96, "yv12", 25, 1);
    ASSERT_EQ(vemx_tsmux_init(m.h), 1);
    Feed(m.h, {{"mpeg2video", 0, EsFrames("mpeg2video")}});
    vemx_tsmux_uninit(m.h);

    ASSERT_GE(m.cap.blocks.size(), 2u);
    std::string want;
    for (size_t i = 0; i < m.cap.blocks.size(); ++i) want += "01";
    EXPECT_EQ(order, want);
    EXPECT_EQ(m.cap.blocks[0].size(), 21056u);
    for (const auto& b : m.cap.blocks) EXPECT_TRUE(b.size() % 188 == 0 && b.size() <= 21056u);
    EXPECT_EQ(vemx_test::read_file("copy.ts"), m.cap.Bytes());
    EXPECT_EQ(TsScan(m.cap.Bytes()).error, "");
}

TEST(TsMuxBadInput, BadFramesAreDroppedAndTheMuxCarriesOn) {
    TempDir dir;
    LogCapture log;
    Mux m;
    const auto frames = EsFrames("h264");
    auto write = [&](size_t i, int64_t dts) {
        vemx_tsmux_write_video_frame(m.h, dts, frames[i].data(), frames[i].size(), frames[i].key);
    };
    const auto* abc = reinterpret_cast<const uint8_t*>("abc");
    vemx_tsmux_set_video_property(m.h, "h264", 160, 96, "yv12", 25, 1);
    write(0, 0);  // before init
    ASSERT_EQ(vemx_tsmux_init(m.h), 1);
    write(0, 0);
    vemx_tsmux_write_video_frame(m.h, 400000, nullptr, 100, 0);
    vemx_tsmux_write_video_frame(m.h, 400000, abc, 0, 0);
    write(1, 400000);
    write(2, 200000);  // dts going backwards
    write(2, 800000);
    // No single audio stream and no PID 0x200: ignored without a word.
    vemx_tsmux_write_audio_frame(m.h, 800000, abc, 3);
    vemx_tsmux_write_video_frame3(m.h, 0x200, 800000, 800000, abc, 3, 1);
    vemx_tsmux_write_audio_frame4(m.h, 0x200, 800000, 800000, 5, abc, 3);
    vemx_tsmux_uninit(m.h);
    vemx_tsmux_uninit(m.h);
    write(3, 1200000);  // after uninit

    const std::string writer = "ERROR[vemx|tsmux] vemx::tsmux::TsMux::WriteVideoFrame1: ";
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               writer + "empty frame (size 100) dropped\n",
                               writer + "empty frame (size 0) dropped\n",
                               writer + "av_interleaved_write_frame, Invalid argument(-22)\n"}));
    const auto out = ReadBack(m.cap.Save("out.ts"));
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out.begin()->second.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(out.begin()->second[i].bytes, frames[i].bytes);

    // A failed init leaves nothing to write to.
    m.cap.blocks.clear();
    vemx_tsmux_set_audio_property(m.h, "adts", 2, "f32", 48000);
    EXPECT_EQ(vemx_tsmux_init(m.h), 0);
    write(0, 0);
    vemx_tsmux_uninit(m.h);
    EXPECT_TRUE(m.cap.blocks.empty());
}

TEST(TsMuxThreads, VideoAndAudioFromTwoThreadsAllArriveAndReleaseFlushes) {
    TempDir dir;
    const std::vector<Input> video = {{"h264", 0, EsFrames("h264")}};
    const std::vector<Input> audio = {{"adts", 0, EsFrames("adts")}};
    Capture cap;
    {
        Mux m;
        vemx_tsmux_set_callbacks(m.h, &Capture::OnPacket, &cap);
        vemx_tsmux_set_video_property(m.h, "h264", 160, 96, "yv12", 25, 1);
        vemx_tsmux_set_audio_property(m.h, "adts", 2, "s16", 48000);
        ASSERT_EQ(vemx_tsmux_init(m.h), 1);
        std::thread t([&] { Feed(m.h, audio); });
        Feed(m.h, video);
        t.join();
    }  // released without uninit: the rest is flushed
    EXPECT_EQ(TsScan(cap.Bytes()).error, "");
    auto out = ReadBack(cap.Save("out.ts"));
    EXPECT_EQ(out[0x100].size(), video[0].frames.size());
    EXPECT_EQ(out[0x101].size(), audio[0].frames.size());
}
