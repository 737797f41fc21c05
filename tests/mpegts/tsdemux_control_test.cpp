// Feeding, the demux thread's life, and the ways callbacks are registered.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "common/watchdog.h"
#include "mpegts/ts_support.h"
#include "platform/waitable.h"

using namespace ts_test;
using namespace std::chrono_literals;
using vemx::platform::Event;
using vemx::platform::wait_one;
using vemx_test::LogCapture;

namespace {

// Counts packets per (tag, kind) and keeps every format report.
struct Collector {
    std::mutex lock;
    std::vector<std::string> formats;  // "tag video WxH pix fps audio ch fmt rate"
    std::map<std::string, int> counts;

    static void OnFormat2(uint32_t tag, const char* vt, int w, int h, const char* pf, int fn,
                          int fd, const char* at, int ch, const char* sf, int sr, void* ctx) {
        char line[256];
        std::snprintf(line, sizeof line, "%u %s %dx%d %s %d/%d %s %d %s %d", tag, vt, w, h, pf, fn,
                      fd, at, ch, sf, sr);
        auto* self = static_cast<Collector*>(ctx);
        std::lock_guard guard(self->lock);
        self->formats.push_back(line);
    }
    static void OnFormat(const char* vt, int w, int h, const char* pf, int fn, int fd,
                         const char* at, int ch, const char* sf, int sr, void* ctx) {
        OnFormat2(0, vt, w, h, pf, fn, fd, at, ch, sf, sr, ctx);
    }
    static void Count(void* ctx, uint32_t tag, const char* kind) {
        auto* self = static_cast<Collector*>(ctx);
        std::lock_guard guard(self->lock);
        ++self->counts[std::to_string(tag) + kind];
    }
    static void OnVideo(int64_t, int64_t, const uint8_t*, int64_t, bool, void* ctx) {
        Count(ctx, 0, "v");
    }
    static void OnAudio(int64_t, int64_t, const uint8_t*, int64_t, void* ctx) {
        Count(ctx, 0, "a");
    }
    static void OnVideo2(uint32_t t, int64_t, int64_t, const uint8_t*, int64_t, bool, void* c) {
        Count(c, t, "v");
    }
    static void OnAudio2(uint32_t t, int64_t, int64_t, const uint8_t*, int64_t, void* c) {
        Count(c, t, "a");
    }
    size_t count(const std::string& key) {
        std::lock_guard guard(lock);
        return static_cast<size_t>(counts[key]);
    }
};

// Starts `demux`, writes `bytes` in blocks, stops and releases it.
void RunDemux(void* demux, const std::vector<uint8_t>& bytes, size_t block) {
    ASSERT_EQ(vemx_tsdemux_init(demux), 1);
    for (size_t at = 0; at < bytes.size(); at += block)
        vemx_tsdemux_write_data(demux, bytes.data() + at, std::min(block, bytes.size() - at));
    vemx_tsdemux_uninit(demux);
    vemx_tsdemux_release(demux);
}

}  // namespace

TEST(TsDemuxFeed, BlocksAreDroppedAtOnceWhenNoThreadRuns) {
    const auto bytes = Bytes("h264_aac");
    LogCapture log;
    void* demux = vemx_tsdemux_new();
    EXPECT_EQ(vemx_tsdemux_write_data(demux, bytes.data(), bytes.size()), 0);  // before init
    vemx_tsdemux_set_probe_size(demux, -1);  // libavformat refuses it: the thread ends by itself
    ASSERT_EQ(vemx_tsdemux_init(demux), 1);
    EXPECT_EQ(vemx_tsdemux_init(demux), 0);  // not twice
    for (size_t at = 0; at < bytes.size(); at += 1000)
        vemx_tsdemux_write_data(demux, bytes.data() + at,
                                std::min<size_t>(1000, bytes.size() - at));
    vemx_tsdemux_uninit(demux);
    EXPECT_EQ(vemx_tsdemux_write_data(demux, bytes.data(), bytes.size()), 0);  // after uninit
    vemx_tsdemux_release(demux);
    EXPECT_EQ(log.count_containing("[vemx::tsdemux::TsDemux::Main], 0x"), 1u);
    EXPECT_EQ(log.count_containing(" avformat_open_input, err=-34\n"), 1u);
}

// The block is the caller's again once write_data returns: feeding through
// one scratch buffer that is scribbled over after every call must deliver
// exactly what feeding the file in place does.
TEST(TsDemuxFeed, BlockIsNotReadAfterWriteDataReturns) {
    const auto bytes = Bytes("h264_aac");
    constexpr size_t kBlock = 10000;  // several reads per block
    const Packets in_place = Delivery(bytes, Blocks(kBlock));
    Recorder rec;
    std::vector<uint8_t> scratch(kBlock);
    for (size_t at = 0; at < bytes.size(); at += kBlock) {
        const size_t n = std::min(kBlock, bytes.size() - at);
        std::copy_n(bytes.begin() + static_cast<long>(at), n, scratch.begin());
        vemx_tsdemux_write_data(rec.demux, scratch.data(), n);
        std::fill(scratch.begin(), scratch.end(), uint8_t{0x47});  // sync bytes and nothing else
    }
    vemx_tsdemux_uninit(rec.demux);
    ASSERT_FALSE(in_place.empty());
    EXPECT_EQ(rec.packets, in_place);
}

TEST(TsDemuxFeed, SmallReadBufferEmptyBlocksAndUninitWhileWaitingForData) {
    const auto bytes = Bytes("h264_aac");
    LogCapture log;
    {
        Recorder rec([](void* d) { vemx_tsdemux_set_buffer_size(d, 100); });  // many reads a block
        for (size_t at = 0; at < bytes.size(); at += 5000) {
            vemx_tsdemux_write_data(rec.demux, bytes.data() + at,
                                    std::min<size_t>(5000, bytes.size() - at));
            vemx_tsdemux_write_data(rec.demux, bytes.data(), 0);
        }
        // Blocks are taken as soon as they are copied: let the thread get
        // through probing first, so that the stop finds it reading.
        while (log.count_containing("] A: start_time=") == 0) std::this_thread::sleep_for(1ms);
        vemx_tsdemux_uninit(rec.demux);
        EXPECT_EQ(rec.packets[256].size(), Probe("h264_aac", 256).size());
        EXPECT_EQ(rec.packets[257].size(), Probe("h264_aac", 257).size());
    }

    std::vector<std::string> lines;
    for (const auto& line : log.lines())
        if (line.find("|tsdemux] ") != std::string::npos || line.rfind("[vemx] ", 0) == 0)
            lines.push_back(line);
    ASSERT_EQ(lines.size(), 12u);
    const std::vector<std::string> head = {
        "INFO[vemx|tsdemux] vemx::tsdemux::TsDemux::Main: begins\n",
        "[vemx] Codec Info[1,256]:h264,160,120,yv12\n",
        "[vemx] Codec Info[1,257]:adts,48000,1,fltp,\n",
        "INFO[vemx|tsdemux] All media infos are ready.\n",
        "[vemx] V: start_time=1400\n",
        "[vemx] A: start_time=1400\n",
        "INFO[vemx|tsdemux] Waiting for thread done...\n"};
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 7), head);
    EXPECT_EQ(lines[7].rfind("ERROR[vemx|tsdemux] vemx::tsdemux::TsDemux::Main(", 0), 0u)
        << lines[7];
    EXPECT_NE(lines[7].find("): av_read_frame failed, err="), std::string::npos) << lines[7];
    EXPECT_EQ(lines[8], "INFO[vemx|tsdemux] vemx::tsdemux::TsDemux::Main: ends\n");
    EXPECT_EQ(lines[9], "INFO[vemx|tsdemux] Thread terminated.\n");
    EXPECT_EQ(lines[10], "INFO[vemx|tsdemux] Waiting for thread done...\n");  // release
}

// The thread sits in a callback, so the writer fills the feed ring and waits
// for room; then the thread is stopped.  The waiting writer is released, and
// once the stop has begun a new block must not restart the reading (which
// left the stop waiting for ever): it returns at once, while the callback
// still holds the thread.
TEST(TsDemuxFeed, BlockedWriterIsReleasedAndLateWritesReturnOnceUninitBegins) {
    const auto bytes = Bytes("mpeg2_large");
    vemx_test::Watchdog watchdog("uninit racing write_data");
    LogCapture log;
    Event gate[2] = {Event(), Event(true)};  // entered, open
    void* demux = vemx_tsdemux_new();
    auto hold = [](int64_t, int64_t, const uint8_t*, int64_t, bool, void* ctx) {
        static_cast<Event*>(ctx)[0].set();
        wait_one(static_cast<Event*>(ctx)[1]);
    };
    vemx_tsdemux_set_callbacks(demux, nullptr, hold, nullptr, gate);
    ASSERT_EQ(vemx_tsdemux_init(demux), 1);
    std::thread writer([&] {
        for (size_t at = 0; at < bytes.size(); at += 188)
            vemx_tsdemux_write_data(demux, bytes.data() + at, 188);
    });
    ASSERT_TRUE(wait_one(gate[0], 30s));
    std::this_thread::sleep_for(50ms);
    std::thread stopper([&] { vemx_tsdemux_uninit(demux); });
    while (log.count_containing("Waiting for thread done...") == 0)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(vemx_tsdemux_write_data(demux, bytes.data(), 752), 0);
    gate[1].set();
    writer.join();
    stopper.join();
    vemx_tsdemux_release(demux);
}

TEST(TsDemuxFeed, ReleaseWithoutUninitStopsTheThread) {
    const auto bytes = Bytes("mpeg2_mp2");
    for (size_t cut : {size_t{0}, size_t{188 * 3}, bytes.size() / 2})
        vemx_tsdemux_write_data(Recorder().demux, bytes.data(), cut);
}

TEST(TsDemuxRegistration, InputWithoutAudioReportsTheEmptyRecordAndNegativeIdsAreRefused) {
    LogCapture log;
    Collector c;
    void* demux = vemx_tsdemux_new();
    vemx_tsdemux_set_video_callback(demux, -5, &Collector::OnVideo, &c);
    vemx_tsdemux_set_callbacks(demux, &Collector::OnFormat, &Collector::OnVideo,
                               &Collector::OnAudio, &c);
    RunDemux(demux, Bytes("video_only"), 4096);
    EXPECT_EQ(c.formats, std::vector<std::string>{"0 h264 160x120 yv12 25/1  0  0"});
    EXPECT_EQ(c.count("0v"), Probe("video_only", 256).size());
    EXPECT_EQ(c.count("0a"), 0u);
    EXPECT_EQ(log.count_containing("[vemx::tsdemux::TsDemux::SetVideoCallback], 0x"), 1u);
    EXPECT_EQ(log.count_containing(" invalid video streamid = -5\n"), 1u);
    EXPECT_EQ(log.count_containing(" invalid audio streamid = -1\n"), 1u);
}

TEST(TsDemuxRegistration, TracksFollowTheirProgramsBesideTheMainCallbacks) {
    Collector c;
    void* demux = vemx_tsdemux_new();
    vemx_tsdemux_set_callbacks1(demux, 258, 259, &Collector::OnFormat, &Collector::OnVideo,
                                &Collector::OnAudio, &c);
    vemx_tsdemux_set_callbacks2(demux, 1, 256, 257, &Collector::OnFormat2, &Collector::OnVideo2,
                                &Collector::OnAudio2, &c);
    vemx_tsdemux_set_callbacks2(demux, 2, 258, 259, &Collector::OnFormat2, &Collector::OnVideo2,
                                &Collector::OnAudio2, &c);
    vemx_tsdemux_set_callbacks2(demux, 3, 258, -1, nullptr, nullptr, nullptr, &c);  // all defaults
    RunDemux(demux, Bytes("two_programs"), 65536);

    // Decoded audio is announced as what is delivered: 16-bit stereo.
    EXPECT_EQ(c.formats,
              (std::vector<std::string>{"0 mpeg2video 160x120 yv12 25/1 pcm 2 s16 48000",
                                        "1 h264 160x120 yv12 25/1 adts 1 fltp 48000",
                                        "2 mpeg2video 160x120 yv12 25/1 pcm 2 s16 48000"}));
    for (const auto& [key, pid] : {std::pair{"1v", 256}, {"1a", 257}, {"2v", 258}, {"2a", 259}})
        EXPECT_EQ(c.count(key), Probe("two_programs", pid).size()) << key;
    EXPECT_EQ(c.count("0v"), c.count("2v"));
    EXPECT_EQ(c.count("0a"), c.count("2a"));
}

TEST(TsDemuxRegistration, NewCallbacksWhileRunningReplaceTheHandlersAndTheirTracks) {
    const auto bytes = Bytes("h264_aac");
    Collector first, second, track;
    void* demux = vemx_tsdemux_new();
    vemx_tsdemux_set_callbacks(demux, &Collector::OnFormat, &Collector::OnVideo,
                               &Collector::OnAudio, &first);
    vemx_tsdemux_set_callbacks2(demux, 9, -1, -1, nullptr, &Collector::OnVideo2,
                                &Collector::OnAudio2, &track);
    ASSERT_EQ(vemx_tsdemux_init(demux), 1);
    // Feed until the first handlers deliver, then switch from this thread.
    size_t at = 0;
    for (; at < bytes.size() && first.count("0v") == 0; at += 188) {
        vemx_tsdemux_write_data(demux, bytes.data() + at, 188);
        std::this_thread::sleep_for(1ms);
    }
    vemx_tsdemux_set_callbacks(demux, &Collector::OnFormat, &Collector::OnVideo,
                               &Collector::OnAudio, &second);
    vemx_tsdemux_write_data(demux, bytes.data() + at, bytes.size() - at);
    vemx_tsdemux_uninit(demux);
    vemx_tsdemux_release(demux);

    EXPECT_EQ(first.formats.size() + second.formats.size(), 2u);
    EXPECT_GT(second.count("0v"), 0u);
    // Nothing lost or doubled at the switch; the track went with the old handler.
    EXPECT_EQ(first.count("0v") + second.count("0v"), Probe("h264_aac", 256).size());
    EXPECT_EQ(first.count("0a") + second.count("0a"), Probe("h264_aac", 257).size());
    EXPECT_EQ(track.count("9v"), first.count("0v"));
    EXPECT_EQ(track.count("9a"), first.count("0a"));
}

TEST(TsDemuxRegistration, StreamStillWithoutSizeAfterProbingIsReportedAndDelivered) {
    // The tables, then the stream from the middle of a picture group: the
    // short probe ends before any sequence parameter set.
    const auto whole = Bytes("h264_aac");
    std::vector<uint8_t> bytes(whole.begin(), whole.begin() + 3 * 188);
    bytes.insert(bytes.end(), whole.begin() + 40 * 188, whole.end());
    LogCapture log;
    Recorder rec([](void* d) {
        vemx_tsdemux_set_probe_size(d, 1);
        vemx_tsdemux_set_analyze_duration(d, 1);
        vemx_tsdemux_set_scan_all_pmts(d, 1);
    });
    rec.Feed(bytes, Blocks(65536));
    ASSERT_EQ(rec.infos.count(256), 1u);
    EXPECT_EQ(rec.infos.at(256).width, 0);
    EXPECT_EQ(log.count_containing("ERROR[vemx|tsdemux] NOT all media infos are ready!!\n"), 1u);
    EXPECT_FALSE(rec.packets[256].empty());
}
