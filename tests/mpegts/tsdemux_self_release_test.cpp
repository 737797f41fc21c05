// A callback that drops the last reference of its own demultiplexer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "mpegts/ts_support.h"
#include "platform/waitable.h"

using namespace ts_test;
using namespace std::chrono_literals;
using vemx::platform::Event;
using vemx::platform::wait_one;
using vemx_test::LogCapture;

// The whole stream goes in one read, so every callback comes after
// write_data has returned and the host holds nothing but the last
// reference, which a video callback drops.  No abort: an error line, later
// callbacks on the demux thread, and the demux still ends.
TEST(TsDemuxRelease, ACallbackMayReleaseTheLastReference) {
    const auto bytes = Bytes("h264_aac");
    struct Host {
        void* demux = vemx_tsdemux_new();
        Event fed;
        std::atomic<int> videos{0};
    } host;
    LogCapture log;
    vemx_tsdemux_set_buffer_size(host.demux, static_cast<int>(bytes.size()));
    vemx_tsdemux_set_analyze_duration(host.demux, 200);
    auto on_video = [](int64_t, int64_t, const uint8_t*, int64_t, bool, void* ctx) {
        auto* h = static_cast<Host*>(ctx);
        if (h->videos++ == 0 && wait_one(h->fed, 10s)) vemx_tsdemux_release(h->demux);
    };
    vemx_tsdemux_set_callbacks(host.demux, nullptr, on_video, nullptr, &host);
    ASSERT_EQ(vemx_tsdemux_init(host.demux), 1);
    EXPECT_EQ(vemx_tsdemux_write_data(host.demux, bytes.data(), bytes.size()), 0);
    host.fed.set();

    for (int i = 0; i < 1000 && log.count_containing("Thread terminated.") == 0; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(log.count_containing("Thread terminated."), 1u);
    EXPECT_EQ(log.count_containing("[vemx::frame::RefCounted::Release], 0x"), 1u);
    EXPECT_GE(host.videos, 1);
}
