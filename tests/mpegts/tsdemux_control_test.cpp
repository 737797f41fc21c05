// Feeding, the demux thread's life, and the ways callbacks are registered.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <thread>

#include "mpegts/tsdemux_inputs.h"

using namespace ts_test;
using namespace std::chrono_literals;
using vemx_test::LogCapture;

namespace {

// Fails, and ends the program rather than hang the suite, when fn does not
// return in time.
template <class F>
void ReturnsWithin(std::chrono::seconds limit, F fn, const char* what) {
    auto done = std::async(std::launch::async, fn);
    if (done.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << what << " did not return";
        std::fprintf(stderr, "%s hangs\n", what);
        std::_Exit(1);
    }
    done.get();
}

bool HasLine(const LogCapture& log, const std::string& prefix, const std::string& suffix) {
    for (const auto& line : log.lines())
        if (line.rfind(prefix, 0) == 0 && line.size() >= suffix.size() &&
            line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0)
            return true;
    return false;
}

struct Format {
    std::string video_type, pix_fmt, audio_type, sample_fmt;
    int width, height, fps_num, fps_den, channels, sample_rate;
    uint32_t tag;
};

struct Collector {
    std::mutex lock;
    std::vector<Format> formats;
    std::map<std::pair<uint32_t, std::string>, int> counts;  // (tag, "v"/"a") -> packets

    static void OnFormat(const char* vt, int w, int h, const char* pf, int fn, int fd, const char* at, int ch,
                         const char* sf, int sr, void* ctx) {
        OnFormat2(0, vt, w, h, pf, fn, fd, at, ch, sf, sr, ctx);
    }
    static void OnFormat2(uint32_t tag, const char* vt, int w, int h, const char* pf, int fn, int fd,
                          const char* at, int ch, const char* sf, int sr, void* ctx) {
        auto* self = static_cast<Collector*>(ctx);
        std::lock_guard guard(self->lock);
        self->formats.push_back({vt, pf, at, sf, w, h, fn, fd, ch, sr, tag});
    }
    static void OnVideo(int64_t, int64_t, const uint8_t*, int64_t, bool, void* ctx) { Count(ctx, 0, "v"); }
    static void OnAudio(int64_t, int64_t, const uint8_t*, int64_t, void* ctx) { Count(ctx, 0, "a"); }
    static void OnVideo2(uint32_t tag, int64_t, int64_t, const uint8_t*, int64_t, bool, void* ctx) {
        Count(ctx, tag, "v");
    }
    static void OnAudio2(uint32_t tag, int64_t, int64_t, const uint8_t*, int64_t, void* ctx) {
        Count(ctx, tag, "a");
    }
    static void Count(void* ctx, uint32_t tag, const char* kind) {
        auto* self = static_cast<Collector*>(ctx);
        std::lock_guard guard(self->lock);
        ++self->counts[{tag, kind}];
    }
    int count(uint32_t tag, const char* kind) {
        std::lock_guard guard(lock);
        return counts[{tag, kind}];
    }
};

size_t ProbeCount(const std::string& path, int pid) {
    size_t n = 0;
    for (const auto& p : ProbePackets(path)) n += p.pid == pid;
    return n;
}

}  // namespace

TEST(TsDemuxFeed, WritesAreDroppedAtOnceWhileNoThreadRuns) {
    const auto bytes = ReadAll(H264Aac());
    void* demux = vemx_tsdemux_new();
    ASSERT_NE(demux, nullptr);
    ReturnsWithin(10s, [&] { EXPECT_EQ(vemx_tsdemux_write_data(demux, bytes.data(), bytes.size()), 0); },
                  "write before init");
    ASSERT_EQ(vemx_tsdemux_init(demux), 1);
    EXPECT_EQ(vemx_tsdemux_init(demux), 0);  // already running
    vemx_tsdemux_uninit(demux);
    ReturnsWithin(10s, [&] { EXPECT_EQ(vemx_tsdemux_write_data(demux, bytes.data(), bytes.size()), 0); },
                  "write after uninit");
    vemx_tsdemux_release(demux);
}

TEST(TsDemuxFeed, SmallReadBufferEmptyBlocksAndUninitWhileWaitingForData) {
    const std::string path = H264Aac();
    const auto bytes = ReadAll(path);
    LogCapture log;
    Recorder rec;
    rec.demux = vemx_tsdemux_new();
    vemx_tsdemux_set_buffer_size(rec.demux, 100);  // many reads per block
    vemx_tsdemux_set_media_info_callback(rec.demux, &Recorder::OnInfos, &rec);
    ASSERT_EQ(vemx_tsdemux_init(rec.demux), 1);
    ReturnsWithin(
        20s,
        [&] {
            for (size_t at = 0; at < bytes.size(); at += 5000) {
                vemx_tsdemux_write_data(rec.demux, bytes.data() + at, std::min<size_t>(5000, bytes.size() - at));
                vemx_tsdemux_write_data(rec.demux, bytes.data(), 0);
            }
            // The thread now waits for data; stopping must end it.
            vemx_tsdemux_uninit(rec.demux);
        },
        "feeding and uninit");
    EXPECT_EQ(rec.packets[256].size(), ProbeCount(path, 256));
    EXPECT_EQ(rec.packets[257].size(), ProbeCount(path, 257));

    EXPECT_TRUE(HasLine(log, "INFO[vemx|tsdemux] vemx::tsdemux::TsDemux::Main: begins\n", ""));
    EXPECT_EQ(log.count_containing("INFO[vemx|tsdemux] All media infos are ready.\n"), 1u);
    EXPECT_TRUE(HasLine(log, "[vemx] Codec Info[1,256]:h264,160,120,yv12\n", ""));
    EXPECT_TRUE(HasLine(log, "[vemx] Codec Info[1,257]:adts,48000,1,fltp,\n", ""));
    EXPECT_TRUE(HasLine(log, "[vemx] V: start_time=1400\n", ""));
    EXPECT_TRUE(HasLine(log, "[vemx] A: start_time=1400\n", ""));
    // The stop: in this order.
    std::vector<std::string> tail;
    for (const auto& line : log.lines())
        if (line.find("tsdemux] ") != std::string::npos) tail.push_back(line);
    ASSERT_GE(tail.size(), 4u);
    tail.erase(tail.begin(), tail.end() - 4);
    EXPECT_EQ(tail[0], "INFO[vemx|tsdemux] Waiting for thread done...\n");
    EXPECT_EQ(tail[1].rfind("ERROR[vemx|tsdemux] vemx::tsdemux::TsDemux::Main(", 0), 0u) << tail[1];
    EXPECT_NE(tail[1].find("): av_read_frame failed, err="), std::string::npos) << tail[1];
    EXPECT_EQ(tail[2], "INFO[vemx|tsdemux] vemx::tsdemux::TsDemux::Main: ends\n");
    EXPECT_EQ(tail[3], "INFO[vemx|tsdemux] Thread terminated.\n");
    vemx_tsdemux_release(rec.demux);
}

TEST(TsDemuxFeed, BlockedWriterIsReleasedWhenTheThreadEnds) {
    const auto bytes = ReadAll(H264Aac());
    struct Gate {
        std::mutex lock;
        std::condition_variable cv;
        bool entered = false;
        bool open = false;
    } gate;
    void* demux = vemx_tsdemux_new();
    vemx_tsdemux_set_callbacks(
        demux, nullptr,
        [](int64_t, int64_t, const uint8_t*, int64_t, bool, void* ctx) {
            auto* g = static_cast<Gate*>(ctx);
            std::unique_lock lock(g->lock);
            g->entered = true;
            g->cv.notify_all();
            g->cv.wait(lock, [&] { return g->open; });
        },
        nullptr, &gate);
    ASSERT_EQ(vemx_tsdemux_init(demux), 1);

    // The thread sits in a callback, so the writer blocks on its next block.
    std::thread writer([&] {
        for (size_t at = 0; at < bytes.size(); at += 188) vemx_tsdemux_write_data(demux, bytes.data() + at, 188);
    });
    {
        std::unique_lock lock(gate.lock);
        gate.cv.wait(lock, [&] { return gate.entered; });
    }
    std::this_thread::sleep_for(50ms);
    std::thread stopper([&] { vemx_tsdemux_uninit(demux); });
    std::this_thread::sleep_for(50ms);
    {
        std::lock_guard lock(gate.lock);
        gate.open = true;
    }
    gate.cv.notify_all();
    ReturnsWithin(20s, [&] { writer.join(); stopper.join(); }, "writer");
    vemx_tsdemux_release(demux);
}

TEST(TsDemuxFeed, ThreadThatCannotOpenTheInputEndsAndDropsLaterBlocks) {
    const auto bytes = ReadAll(H264Aac());
    LogCapture log;
    void* demux = vemx_tsdemux_new();
    vemx_tsdemux_set_probe_size(demux, -1);  // refused by libavformat
    ASSERT_EQ(vemx_tsdemux_init(demux), 1);
    ReturnsWithin(
        20s,
        [&] {
            for (size_t at = 0; at < bytes.size(); at += 1000)
                EXPECT_EQ(vemx_tsdemux_write_data(demux, bytes.data() + at, 1000), 0);
        },
        "writes after the thread ended");
    vemx_tsdemux_uninit(demux);
    vemx_tsdemux_release(demux);
    EXPECT_TRUE(HasLine(log, "[vemx][ERROR]: tsdemux(", "avformat_open_input, err=-34\n"));
}

TEST(TsDemuxFeed, ReleaseWithoutUninitStopsTheThread) {
    const auto bytes = ReadAll(Mpeg2Mp2());
    for (size_t cut : {size_t{0}, size_t{188 * 3}, bytes.size() / 2}) {
        Recorder rec;
        rec.demux = vemx_tsdemux_new();
        vemx_tsdemux_set_media_info_callback(rec.demux, &Recorder::OnInfos, &rec);
        ASSERT_EQ(vemx_tsdemux_init(rec.demux), 1);
        if (cut) vemx_tsdemux_write_data(rec.demux, bytes.data(), cut);
        ReturnsWithin(10s, [&] { vemx_tsdemux_release(rec.demux); }, "release");
    }
}

TEST(TsDemuxRegistration, NegativeStreamIdsAreRefusedWithOneLineEach) {
    LogCapture log;
    void* demux = vemx_tsdemux_new();
    vemx_tsdemux_set_video_callback(demux, -1, &Collector::OnVideo, nullptr);
    vemx_tsdemux_set_audio_callback(demux, -7, &Collector::OnAudio, nullptr);
    EXPECT_TRUE(HasLine(log, "[vemx][ERROR]: tsdemux(", "invalid video streamid = -1\n"));
    EXPECT_TRUE(HasLine(log, "[vemx][ERROR]: tsdemux(", "invalid audio streamid = -7\n"));
    EXPECT_EQ(log.count_containing("[vemx::tsdemux::TsDemux::SetVideoCallback], 0x"), 1u);
    vemx_tsdemux_release(demux);
}

TEST(TsDemuxRegistration, InputWithoutAudioReportsTheEmptyRecord) {
    const std::string path = VideoOnly();
    LogCapture log;
    Collector c;
    void* demux = vemx_tsdemux_new();
    vemx_tsdemux_set_callbacks(demux, &Collector::OnFormat, &Collector::OnVideo, &Collector::OnAudio, &c);
    ASSERT_EQ(vemx_tsdemux_init(demux), 1);
    Feed(demux, ReadAll(path), Blocks(4096));
    vemx_tsdemux_release(demux);

    ASSERT_EQ(c.formats.size(), 1u);
    const Format& f = c.formats[0];
    EXPECT_EQ(f.video_type, "h264");
    EXPECT_EQ(f.width, 160);
    EXPECT_EQ(f.height, 120);
    EXPECT_EQ(f.pix_fmt, "yv12");
    EXPECT_EQ(f.fps_num, 25);
    EXPECT_EQ(f.fps_den, 1);
    EXPECT_EQ(f.audio_type, "");
    EXPECT_EQ(f.channels, 0);
    EXPECT_EQ(f.sample_fmt, "");
    EXPECT_EQ(f.sample_rate, 0);
    EXPECT_EQ(size_t(c.count(0, "v")), ProbeCount(path, 256));
    EXPECT_EQ(c.count(0, "a"), 0);
    EXPECT_TRUE(HasLine(log, "[vemx][ERROR]: tsdemux(", "invalid audio streamid = -1\n"));
}

TEST(TsDemuxRegistration, TracksFollowTheirProgramsBesideTheMainCallbacks) {
    const std::string path = TwoPrograms();
    Collector c;
    void* demux = vemx_tsdemux_new();
    // Main callbacks on program 2 by stream id; tracks on both programs.
    vemx_tsdemux_set_callbacks1(demux, 258, 259, &Collector::OnFormat, &Collector::OnVideo, &Collector::OnAudio,
                                &c);
    vemx_tsdemux_set_callbacks2(demux, 1, 256, 257, &Collector::OnFormat2, &Collector::OnVideo2,
                                &Collector::OnAudio2, &c);
    vemx_tsdemux_set_callbacks2(demux, 2, 258, 259, &Collector::OnFormat2, &Collector::OnVideo2,
                                &Collector::OnAudio2, &c);
    vemx_tsdemux_set_callbacks2(demux, 3, 258, -1, nullptr, nullptr, nullptr, &c);  // all defaults
    ASSERT_EQ(vemx_tsdemux_init(demux), 1);
    Feed(demux, ReadAll(path), Blocks(65536));
    vemx_tsdemux_release(demux);

    ASSERT_EQ(c.formats.size(), 3u);
    for (const Format& f : c.formats) {
        const bool first = f.tag == 1;
        EXPECT_EQ(f.video_type, first ? "h264" : "mpeg2video");
        EXPECT_EQ(f.audio_type, first ? "adts" : "pcm");
        EXPECT_EQ(f.channels, first ? 1 : 2);
        EXPECT_EQ(f.sample_fmt, first ? "fltp" : "s16");
        EXPECT_EQ(f.sample_rate, 48000);
    }
    EXPECT_EQ(c.formats[0].tag, 0u);
    EXPECT_EQ(size_t(c.count(1, "v")), ProbeCount(path, 256));
    EXPECT_EQ(size_t(c.count(1, "a")), ProbeCount(path, 257));
    EXPECT_EQ(size_t(c.count(2, "v")), ProbeCount(path, 258));
    EXPECT_EQ(size_t(c.count(2, "a")), ProbeCount(path, 259));
    EXPECT_EQ(c.count(0, "v"), c.count(2, "v"));
    EXPECT_EQ(c.count(0, "a"), c.count(2, "a"));
}

TEST(TsDemuxRegistration, NewCallbacksWhileRunningReplaceTheHandlersAndTheirTracks) {
    const std::string path = H264Aac();
    const auto bytes = ReadAll(path);
    Collector first, second, track;
    void* demux = vemx_tsdemux_new();
    vemx_tsdemux_set_callbacks(demux, &Collector::OnFormat, &Collector::OnVideo, &Collector::OnAudio, &first);
    vemx_tsdemux_set_callbacks2(demux, 9, -1, -1, nullptr, &Collector::OnVideo2, &Collector::OnAudio2, &track);
    ASSERT_EQ(vemx_tsdemux_init(demux), 1);
    // Feed until the first handlers deliver, then switch from this thread
    // while the demux thread runs.
    size_t at = 0;
    for (; at < bytes.size() && first.count(0, "v") == 0; at += 188) {
        vemx_tsdemux_write_data(demux, bytes.data() + at, 188);
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_LT(at, bytes.size());
    vemx_tsdemux_set_callbacks(demux, &Collector::OnFormat, &Collector::OnVideo, &Collector::OnAudio, &second);
    vemx_tsdemux_write_data(demux, bytes.data() + at, bytes.size() - at);
    vemx_tsdemux_uninit(demux);
    vemx_tsdemux_release(demux);

    EXPECT_EQ(first.formats.size(), 1u);
    EXPECT_EQ(second.formats.size(), 1u);
    EXPECT_GT(second.count(0, "v"), 0);
    // Nothing lost or doubled at the switch; the track went with the old handler.
    EXPECT_EQ(size_t(first.count(0, "v") + second.count(0, "v")), ProbeCount(path, 256));
    EXPECT_EQ(size_t(first.count(0, "a") + second.count(0, "a")), ProbeCount(path, 257));
    EXPECT_EQ(track.count(9, "v"), first.count(0, "v"));
    EXPECT_EQ(track.count(9, "a"), first.count(0, "a"));
}

TEST(TsDemuxRegistration, StreamStillWithoutSizeAfterProbingIsReportedAndDelivered) {
    // Tables, then the stream from the middle of a picture group: the short
    // probe ends before any sequence parameter set.
    const auto whole = ReadAll(H264Aac());
    std::vector<uint8_t> bytes(whole.begin(), whole.begin() + 3 * 188);
    bytes.insert(bytes.end(), whole.begin() + 40 * 188, whole.end());
    LogCapture log;
    Recorder rec;
    rec.demux = vemx_tsdemux_new();
    vemx_tsdemux_set_probe_size(rec.demux, 1);
    vemx_tsdemux_set_analyze_duration(rec.demux, 1);
    vemx_tsdemux_set_scan_all_pmts(rec.demux, 1);
    vemx_tsdemux_set_media_info_callback(rec.demux, &Recorder::OnInfos, &rec);
    ASSERT_EQ(vemx_tsdemux_init(rec.demux), 1);
    Feed(rec.demux, bytes, Blocks(65536));
    vemx_tsdemux_release(rec.demux);
    const MediaRecord* video = rec.Info(256);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->width, 0);
    EXPECT_EQ(log.count_containing("ERROR[vemx|tsdemux] NOT all media infos are ready!!\n"), 1u);
    EXPECT_FALSE(rec.packets[256].empty());
}
