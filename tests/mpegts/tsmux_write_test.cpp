// Frames in, transport stream out: what libavformat reads back from our
// output must be what we fed, byte for byte, with the timestamps kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "common/log_capture.h"
#include "mpegts/tsmux_support.h"

using namespace tsmux_test;
using vemx_test::LogCapture;
using vemx_test::TempDir;

namespace {

struct Input {
    std::string kind;
    unsigned pid;  // 0: the single stream of that medium
    std::vector<Frame> frames;
};

// Writes every frame in dts order (video first on ties), as a capture would.
void Feed(void* mux, const std::vector<Input>& inputs, bool reorder = false) {
    std::vector<std::pair<const Input*, const Frame*>> all;
    for (const auto& in : inputs)
        for (const auto& f : in.frames) all.emplace_back(&in, &f);
    std::stable_sort(all.begin(), all.end(),
                     [](const auto& a, const auto& b) { return a.second->dts < b.second->dts; });
    for (const auto& [in, f] : all) {
        const auto* d = reinterpret_cast<const uint8_t*>(f->bytes.data());
        const int n = static_cast<int>(f->bytes.size());
        const int64_t pts = reorder ? f->pts + 800000 : f->pts;
        if (IsVideo(in->kind) && in->pid)
            vemx_tsmux_write_video_frame3(mux, in->pid, pts, f->dts, d, n, f->key);
        else if (IsVideo(in->kind) && reorder)
            vemx_tsmux_write_video_frame2(mux, pts, f->dts, d, n, f->key);
        else if (IsVideo(in->kind))
            vemx_tsmux_write_video_frame(mux, f->pts, d, n, f->key);
        else if (in->pid)
            vemx_tsmux_write_audio_frame3(mux, in->pid, f->pts, f->dts, d, n);
        else
            vemx_tsmux_write_audio_frame2(mux, f->pts, f->dts, d, n);
    }
}

// Compares what came back on each PID with what went in: bytes, key flags,
// and timestamps relative to the first frame written (that of inputs[0]).
void ExpectSameFrames(const std::vector<Input>& inputs, const Demuxed& out, int64_t pts_shift = 0) {
    ASSERT_TRUE(out.frames.count(inputs[0].pid));
    const int64_t zero = out.frames.at(inputs[0].pid)[0].pts;
    const int64_t base = inputs[0].frames[0].pts + pts_shift;
    for (const auto& in : inputs) {
        SCOPED_TRACE(in.kind);
        ASSERT_TRUE(out.frames.count(in.pid));
        const auto& got = out.frames.at(in.pid);
        ASSERT_EQ(got.size(), in.frames.size());
        const int64_t shift = IsVideo(in.kind) ? pts_shift : 0;
        for (size_t i = 0; i < got.size(); ++i) {
            const Frame& want = in.frames[i];
            ASSERT_EQ(got[i].bytes, want.bytes) << "frame " << i;
            EXPECT_EQ(got[i].key, want.key) << "frame " << i;
            EXPECT_EQ(got[i].pts - zero, av_rescale(want.pts + shift - base, 9, 1000))
                << "frame " << i;
            // A PES without its own dts leaves the reader to guess one for MPEG-2.
            if (in.kind != "mpeg2video") {
                EXPECT_EQ(got[i].dts - zero, av_rescale(want.dts - base, 9, 1000)) << "frame " << i;
            }
        }
    }
}

struct Mux {
    void* h = vemx_tsmux_new();
    Capture cap;
    Mux() { vemx_tsmux_set_callbacks(h, &Capture::OnPacket, &cap); }
    ~Mux() { vemx_tsmux_release(h); }
};

}  // namespace

TEST(TsMuxRoundTrip, SingleStreamPairsOfEveryCodec) {
    const std::vector<std::pair<std::string, std::string>> pairs = {{"h264", "adts"},
                                                                    {"hevc", "mp2"},
                                                                    {"mpeg2video", "mp3"},
                                                                    {"h264", "ac3"},
                                                                    {"hevc", "eac3"}};
    TempDir dir;
    for (const auto& [video, audio] : pairs) {
        SCOPED_TRACE(video + "+" + audio);
        Mux m;
        vemx_tsmux_set_video_property(m.h, video == "h264" ? "H264" : video.c_str(), 160, 96,
                                      "YV12", 25, 1);
        vemx_tsmux_set_audio_property(m.h, audio.c_str(), 2, "s16", 48000);
        vemx_tsmux_set_video_pid(m.h, 0x31);
        vemx_tsmux_set_audio_pid(m.h, 0x32);
        ASSERT_EQ(vemx_tsmux_init(m.h), 1);
        // Reordered pictures (pts after dts) go through the two-timestamp writer.
        const bool reorder = video == "h264";
        std::vector<Input> in = {{video, 0x31, EsFrames(video, 7000000)},
                                 {audio, 0x32, EsFrames(audio, 7000000)}};
        ASSERT_GT(in[0].frames.size(), 20u);
        in[0].pid = 0;
        in[1].pid = 0;
        Feed(m.h, in, reorder);
        vemx_tsmux_uninit(m.h);
        in[0].pid = 0x31;
        in[1].pid = 0x32;
        TsScan scan(m.cap.Bytes());
        EXPECT_EQ(scan.error, "");
        EXPECT_EQ(scan.random_access[0x31], std::count_if(in[0].frames.begin(), in[0].frames.end(),
                                                          [](const Frame& f) { return f.key; }));
        ExpectSameFrames(in, Demux(m.cap.Save("out.ts")), reorder ? 800000 : 0);
    }
}

TEST(TsMuxRoundTrip, PidKeyedStreamsInThreePrograms) {
    TempDir dir;
    Mux m;
    const std::vector<std::tuple<unsigned, unsigned, std::string>> layout = {
        {1, 0x100, "h264"},       {1, 0x101, "adts"}, {2, 0x200, "hevc"}, {2, 0x201, "ac3"},
        {3, 0x300, "mpeg2video"}, {3, 0x301, "mp2"},  {3, 0x302, "mp3"},  {3, 0x303, "eac3"}};
    std::vector<Input> in;
    for (const auto& [prog, pid, kind] : layout) {
        if (IsVideo(kind))
            vemx_tsmux_set_video_property1(m.h, pid, kind.c_str(), 160, 96, "yv12", 25, 1);
        else
            vemx_tsmux_set_audio_property1(m.h, pid, kind.c_str(), 2, "s16", 48000);
        vemx_tsmux_program_add_stream(m.h, prog, pid);
        in.push_back({kind, pid, EsFrames(kind)});
    }
    ASSERT_EQ(vemx_tsmux_init(m.h), 1);
    Feed(m.h, in);
    vemx_tsmux_uninit(m.h);

    TsScan scan(m.cap.Bytes());
    EXPECT_EQ(scan.error, "");
    ASSERT_EQ(scan.streams.size(), 3u);
    EXPECT_EQ(scan.streams[1], (std::vector<std::pair<int, int>>{{0x1b, 0x100}, {0x0f, 0x101}}));
    EXPECT_EQ(scan.streams[2], (std::vector<std::pair<int, int>>{{0x24, 0x200}, {0x81, 0x201}}));
    ASSERT_EQ(scan.streams[3].size(), 4u);
    ExpectSameFrames(in, Demux(m.cap.Save("out.ts")));
}

TEST(TsMuxTimestamps, CommonBaseMaxDelayAndVariantFourOffsets) {
    TempDir dir;
    Mux m;
    vemx_tsmux_set_video_property1(m.h, 0x100, "h264", 160, 96, "yv12", 25, 1);
    vemx_tsmux_set_audio_property1(m.h, 0x101, "adts", 2, "s16", 48000);
    vemx_tsmux_set_max_delay(m.h, 500);
    ASSERT_EQ(vemx_tsmux_init(m.h), 1);
    auto video = EsFrames("h264");
    auto audio = EsFrames("adts");
    auto bytes = [](const Frame& f) { return reinterpret_cast<const uint8_t*>(f.bytes.data()); };
    auto size = [](const Frame& f) { return static_cast<int>(f.bytes.size()); };
    // Audio comes first at 0.5 s, so it sets the base; video at 0.54 s is
    // 40 ms later, then every later video frame is moved by the 2 s offset
    // given once.
    vemx_tsmux_write_audio_frame4(m.h, 0x101, 5000000, 5000000, 0, bytes(audio[0]), size(audio[0]));
    for (size_t i = 0; i < 5; ++i) {
        const int64_t t = 5400000 + static_cast<int64_t>(i) * 400000;
        vemx_tsmux_write_video_frame4(m.h, 0x100, t, t, i == 1 ? 20000000 : 0, bytes(video[i]),
                                      size(video[i]), video[i].key);
    }
    vemx_tsmux_uninit(m.h);
    const auto out = Demux(m.cap.Save("out.ts"));
    ASSERT_EQ(out.frames.at(0x101).size(), 1u);
    ASSERT_EQ(out.frames.at(0x100).size(), 5u);
    // The muxer starts the clock twice the maximum delay ahead of the first pts.
    EXPECT_EQ(out.frames.at(0x101)[0].pts, 90000);
    const auto& v = out.frames.at(0x100);
    EXPECT_EQ(v[0].pts, 90000 + 3600);
    for (size_t i = 1; i < 5; ++i) EXPECT_EQ(v[i].pts, 90000 + 3600 + 3600 * int64_t(i) + 180000);

    // A new property resets the stored offset; a new init restarts the base.
    m.cap.blocks.clear();
    vemx_tsmux_set_video_property1(m.h, 0x100, "h264", 160, 96, "yv12", 25, 1);
    ASSERT_EQ(vemx_tsmux_init(m.h), 1);
    for (size_t i = 0; i < 2; ++i)
        vemx_tsmux_write_video_frame4(m.h, 0x100, 1000000 + int64_t(i) * 400000,
                                      1000000 + int64_t(i) * 400000, 0, bytes(video[i]),
                                      size(video[i]), video[i].key);
    vemx_tsmux_uninit(m.h);
    const auto again = Demux(m.cap.Save("again.ts"));
    ASSERT_EQ(again.frames.at(0x100).size(), 2u);
    EXPECT_EQ(again.frames.at(0x100)[0].pts, 90000);
    EXPECT_EQ(again.frames.at(0x100)[1].pts, 90000 + 3600);
}

TEST(TsMuxOutput, BlocksReachBothCallbacksInOrderThenTheFile) {
    TempDir dir;
    Mux m;
    void* seen_ctx2 = nullptr;
    vemx_tsmux_set_callbacks1(
        m.h,
        [](const uint8_t* d, int64_t n, void* ctx, void* ctx2) {
            *static_cast<void**>(ctx2) = ctx2;
            Capture::OnPacket1(d, n, ctx, ctx2);
        },
        &m.cap, &seen_ctx2);
    vemx_tsmux_set_filename(m.h, "copy.ts");
    vemx_tsmux_set_video_property(m.h, "mpeg2video", 160, 96, "yv12", 25, 1);
    ASSERT_EQ(vemx_tsmux_init(m.h), 1);
    Feed(m.h, {{"mpeg2video", 0, EsFrames("mpeg2video")}});
    vemx_tsmux_uninit(m.h);

    ASSERT_GE(m.cap.blocks.size(), 2u);
    EXPECT_EQ(seen_ctx2, &seen_ctx2);
    EXPECT_EQ(m.cap.order.size(), 2 * m.cap.blocks.size());
    for (size_t i = 0; i < m.cap.order.size(); ++i) EXPECT_EQ(m.cap.order[i], i % 2 ? '1' : '0');
    for (const auto& b : m.cap.blocks) {
        EXPECT_EQ(b.size() % 188, 0u);
        EXPECT_LE(b.size(), 21056u);
    }
    EXPECT_EQ(m.cap.blocks[0].size(), 21056u);
    EXPECT_EQ(vemx_test::read_file("copy.ts"), m.cap.Bytes());
    EXPECT_EQ(TsScan(m.cap.Bytes()).error, "");
}

TEST(TsMuxBadInput, BadFramesAreDroppedAndTheMuxCarriesOn) {
    TempDir dir;
    LogCapture log;
    Mux m;
    auto frames = EsFrames("h264");
    auto write = [&](size_t i, int64_t dts) {
        vemx_tsmux_write_video_frame(m.h, dts,
                                     reinterpret_cast<const uint8_t*>(frames[i].bytes.data()),
                                     static_cast<int>(frames[i].bytes.size()), frames[i].key);
    };
    vemx_tsmux_set_video_property(m.h, "h264", 160, 96, "yv12", 25, 1);
    write(0, 0);  // before init
    ASSERT_EQ(vemx_tsmux_init(m.h), 1);
    write(0, 0);
    vemx_tsmux_write_video_frame(m.h, 400000, nullptr, 100, 0);
    vemx_tsmux_write_video_frame(m.h, 400000, reinterpret_cast<const uint8_t*>("x"), 0, 0);
    write(1, 400000);
    write(2, 200000);  // dts going backwards
    write(2, 800000);
    // No single audio stream and no PID 0x200: both ignored without a word.
    vemx_tsmux_write_audio_frame(m.h, 800000, reinterpret_cast<const uint8_t*>("abc"), 3);
    vemx_tsmux_write_video_frame3(m.h, 0x200, 800000, 800000,
                                  reinterpret_cast<const uint8_t*>("abc"), 3, 1);
    vemx_tsmux_write_audio_frame4(m.h, 0x200, 800000, 800000, 5,
                                  reinterpret_cast<const uint8_t*>("abc"), 3);
    vemx_tsmux_uninit(m.h);
    vemx_tsmux_uninit(m.h);
    write(3, 1200000);  // after uninit

    const std::string empty = "ERROR[vemx|tsmux] vemx::tsmux::TsMux::WriteVideoFrame1: empty frame";
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               empty + " (size 100) dropped\n", empty + " (size 0) dropped\n",
                               "ERROR[vemx|tsmux] vemx::tsmux::TsMux::WriteVideoFrame1: "
                               "av_interleaved_write_frame, Invalid argument(-22)\n"}));
    const auto out = Demux(m.cap.Save("out.ts"));
    ASSERT_EQ(out.frames.size(), 1u);
    const auto& got = out.frames.begin()->second;
    ASSERT_EQ(got.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(got[i].bytes, frames[i].bytes);

    // A failed init leaves nothing to write to.
    m.cap.blocks.clear();
    vemx_tsmux_set_audio_property(m.h, "adts", 2, "f32", 48000);
    EXPECT_EQ(vemx_tsmux_init(m.h), 0);
    write(0, 0);
    vemx_tsmux_uninit(m.h);
    EXPECT_TRUE(m.cap.blocks.empty());
}

TEST(TsMuxThreads, VideoAndAudioWrittenFromTwoThreadsAllArrive) {
    TempDir dir;
    void* mux = vemx_tsmux_new();
    Capture cap;
    vemx_tsmux_set_callbacks(mux, &Capture::OnPacket, &cap);
    vemx_tsmux_set_video_property(mux, "h264", 160, 96, "yv12", 25, 1);
    vemx_tsmux_set_audio_property(mux, "adts", 2, "s16", 48000);
    vemx_tsmux_set_video_pid(mux, 0x100);
    vemx_tsmux_set_audio_pid(mux, 0x101);
    ASSERT_EQ(vemx_tsmux_init(mux), 1);
    const auto video = EsFrames("h264");
    const auto audio = EsFrames("adts");
    std::thread a([&] { Feed(mux, {{"adts", 0, audio}}); });
    Feed(mux, {{"h264", 0, video}});
    a.join();
    // Release without uninit flushes the rest.
    vemx_tsmux_release(mux);
    EXPECT_EQ(TsScan(cap.Bytes()).error, "");
    const auto out = Demux(cap.Save("out.ts"));
    EXPECT_EQ(out.frames.at(0x100).size(), video.size());
    EXPECT_EQ(out.frames.at(0x101).size(), audio.size());
}
