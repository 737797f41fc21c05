// Queue object, configuration, enqueue and overflow, hand-back of packets,
// log files.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <string>
#include <thread>

#include "common/log_capture.h"
#include "pacing/recorder.h"

using namespace vemx_test;
using vemx::mediaqueue::MediaQueue;

namespace {

std::string N(const MediaQueue* q) { return std::to_string(q->Instance()); }

}  // namespace

TEST(MediaQueueConfig, NullHandlesAreIgnored) {
    LogCapture log;
    vemx_mediaqueue_add_ref(nullptr);
    vemx_mediaqueue_release(nullptr);
    vemx_mediaqueue_set_master(nullptr, nullptr);
    vemx_mediaqueue_set_delay(nullptr, 10);
    vemx_mediaqueue_set_max_queue_size(nullptr, 10);
    vemx_mediaqueue_set_enable_reset_timer(nullptr, 1);
    vemx_mediaqueue_set_callback(nullptr, nullptr, nullptr, nullptr);
    vemx_mediaqueue_set_live_mode(nullptr, 1);
    EXPECT_EQ(vemx_mediaqueue_init(nullptr), 0);
    vemx_mediaqueue_uninit(nullptr);
    vemx_mediaqueue_enqueue(nullptr, Packet(1), 1, 0);
    EXPECT_TRUE(log.lines().empty());
}

TEST(MediaQueueConfig, SettersWriteInformationLinesAndInstancesCount) {
    void* a = vemx_mediaqueue_new();
    void* b = vemx_mediaqueue_new();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(Internal(b)->Instance(), Internal(a)->Instance() + 1);
    EXPECT_TRUE(std::isnan(Internal(a)->RemoteTime()));

    LogCapture log;
    vemx_mediaqueue_set_delay(b, 200);
    vemx_mediaqueue_set_max_queue_size(b, -5);
    vemx_mediaqueue_set_enable_reset_timer(b, 1);
    vemx_mediaqueue_set_live_mode(b, 1);  // silent
    const std::string n = N(Internal(b));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"[mediaq] MQ[" + n + "]: delay = 200\n",
                                                      "[mediaq] MQ[" + n + "]: maxQueueSize = -5\n",
                                                      "[mediaq] MQ[" + n + "]: enableResetTimer = 1\n"}));
    vemx_mediaqueue_release(a);
    vemx_mediaqueue_release(b);
}

TEST(MediaQueueEnqueue, OverflowReleasesEverythingQueuedEarliestFirstAndDropsTheNewcomer) {
    void* q = vemx_mediaqueue_new();
    Recorder rec;
    rec.Attach(q);
    vemx_mediaqueue_set_max_queue_size(q, 2);
    LogCapture log;
    vemx_mediaqueue_enqueue(q, Packet(1), 10, 300);
    vemx_mediaqueue_enqueue(q, Packet(2), 10, 100);
    vemx_mediaqueue_enqueue(q, Packet(3), 10, 200);
    EXPECT_TRUE(rec.released().empty());
    vemx_mediaqueue_enqueue(q, Packet(4), 10, 50);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"[mediaq][ERROR]: MQ[" + N(Internal(q)) + "]: buffer overflow[3], CLEAR ALL\n"});
    EXPECT_EQ(rec.released(), (std::vector<uintptr_t>{2, 3, 1}));
    EXPECT_EQ(Internal(q)->QueuedCount(), 0u);

    // The queue goes on accepting packets; uninit hands them back in pts order.
    vemx_mediaqueue_enqueue(q, Packet(5), 10, 9);
    vemx_mediaqueue_enqueue(q, Packet(6), 10, 7);
    vemx_mediaqueue_uninit(q);
    EXPECT_EQ(rec.released(), (std::vector<uintptr_t>{2, 3, 1, 6, 5}));
    EXPECT_TRUE(rec.deliveries().empty());
    vemx_mediaqueue_release(q);
    EXPECT_EQ(rec.released().size(), 5u);
}

TEST(MediaQueueEnqueue, DefaultSizeHoldsSixtyFiveAndNegativeSizesNeverOverflow) {
    void* q = vemx_mediaqueue_new();
    Recorder rec;
    rec.Attach(q);
    for (int i = 0; i < 65; ++i) vemx_mediaqueue_enqueue(q, Packet(i + 1), 1, i);
    EXPECT_EQ(Internal(q)->QueuedCount(), 65u);
    {
        LogCapture log;
        vemx_mediaqueue_enqueue(q, Packet(100), 1, 0);
        EXPECT_EQ(log.count_containing("buffer overflow[65], CLEAR ALL"), 1u);
    }
    EXPECT_EQ(rec.released().size(), 65u);

    vemx_mediaqueue_set_max_queue_size(q, -1);
    for (int i = 0; i < 5000; ++i) vemx_mediaqueue_enqueue(q, Packet(i + 1), 1, i);
    EXPECT_EQ(Internal(q)->QueuedCount(), 5000u);
    vemx_mediaqueue_release(q);
    EXPECT_EQ(rec.released().size(), 5065u);
}

TEST(MediaQueueEnqueue, NullCallbacksDoNothing) {
    void* q = vemx_mediaqueue_new();
    vemx_mediaqueue_set_callback(q, nullptr, nullptr, nullptr);
    vemx_mediaqueue_set_live_mode(q, 1);
    vemx_mediaqueue_enqueue(q, Packet(1), 1, 0);
    ASSERT_EQ(vemx_mediaqueue_init(q), 1);
    for (int i = 0; i < 100 && Internal(q)->QueuedCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Internal(q)->QueuedCount(), 0u);
    vemx_mediaqueue_release(q);
}

// Every accepted packet comes back exactly once, whichever path takes it:
// delivery, overflow, the end of the playout thread or uninit.
TEST(MediaQueueEnqueue, EveryAcceptedPacketIsReleasedExactlyOnceUnderConcurrentLoad) {
    struct Tally {
        std::atomic<int> delivered[40000];
        std::atomic<int> released[40000];
    };
    auto tally = std::make_unique<Tally>();
    for (auto& v : tally->delivered) v = 0;
    for (auto& v : tally->released) v = 0;
    auto on_packet = [](void* p, void* ctx, int) {
        static_cast<Tally*>(ctx)->delivered[Id(p)]++;
        return 0;
    };
    auto on_release = [](void* p, void* ctx) {
        auto* t = static_cast<Tally*>(ctx);
        t->released[Id(p)]++;
        return 0;
    };

    for (int mode = 0; mode < 2; ++mode) {
        for (auto& v : tally->delivered) v = 0;
        for (auto& v : tally->released) v = 0;
        void* q = vemx_mediaqueue_new();
        vemx_mediaqueue_set_callback(q, on_packet, on_release, tally.get());
        vemx_mediaqueue_set_max_queue_size(q, 50);
        if (mode == 0) vemx_mediaqueue_set_live_mode(q, 1);
        LogCapture log;
        ASSERT_EQ(vemx_mediaqueue_init(q), 1);
        std::vector<std::thread> producers;
        for (int t = 0; t < 2; ++t)
            producers.emplace_back([q, t] {
                for (int i = 0; i < 20000; ++i) {
                    const uintptr_t id = static_cast<uintptr_t>(t * 20000 + i);
                    // Master mode: pts spread so that some packets wait.
                    vemx_mediaqueue_enqueue(q, Packet(id), 1, (i % 7) * 10000);
                    if (i == 10000 && t == 0) {
                        vemx_mediaqueue_uninit(q);
                        vemx_mediaqueue_init(q);
                    }
                }
            });
        for (auto& p : producers) p.join();
        vemx_mediaqueue_release(q);
        int accepted_twice = 0, delivered_unreleased = 0, delivered_twice = 0;
        size_t released = 0;
        for (int i = 0; i < 40000; ++i) {
            released += tally->released[i];
            accepted_twice += tally->released[i] > 1;
            delivered_twice += tally->delivered[i] > 1;
            delivered_unreleased += tally->delivered[i] == 1 && tally->released[i] != 1;
        }
        EXPECT_EQ(accepted_twice, 0) << "mode " << mode;
        EXPECT_EQ(delivered_twice, 0) << "mode " << mode;
        EXPECT_EQ(delivered_unreleased, 0) << "mode " << mode;
        // Each overflow turns away exactly the packet that caused it.
        EXPECT_EQ(released + log.count_containing("CLEAR ALL"), 40000u) << "mode " << mode;
    }
}

TEST(MediaQueueLog, LogFilesRecordTheQueueAndItsThread) {
    TempDir dir;
    LogCapture log;
    auto* q = new MediaQueue(true);
    EXPECT_EQ(log.count_containing("DEBUG[mediaq] ENABLE_LOG_FILE is ON\n"), 1u);
    char name[64];
    std::snprintf(name, sizeof name, "mediaqueue[%06d]", q->Instance());
    q->SetDelay(0);
    q->SetMaxQueueSize(1);
    q->Enqueue(Packet(1), 1234, 20000);
    q->Enqueue(Packet(2), 5, 10000);
    q->Enqueue(Packet(3), 5, 10000);  // overflow
    ASSERT_TRUE(q->Init());
    q->Enqueue(Packet(4), 77, 0);
    for (int i = 0; i < 200 && q->QueuedCount() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    q->Release();

    const std::string queue_log = read_file(std::string(name) + "-0000.log");
    EXPECT_NE(queue_log.find("Enqueue, pkt={ .size=1234, pts=2.00, recv_ts="), std::string::npos) << queue_log;
    EXPECT_NE(queue_log.find("qSize=0/1\n"), std::string::npos);
    EXPECT_NE(queue_log.find("qSize=2/1, buffer overflow, clear all\n"), std::string::npos);
    EXPECT_NE(queue_log.find("] Init, master=0x0000000000000000, delay=0, maxQueueSize=1, enableResetTimer=0, "
                             "liveMode=0\n"),
              std::string::npos);
    EXPECT_NE(queue_log.find("] Uninit, master=0x0000000000000000, delay=0"), std::string::npos);
    EXPECT_EQ(queue_log.rfind("[", 0), 0u);

    const std::string thread_log = read_file(std::string(name) + "-thread-0000.log");
    EXPECT_NE(thread_log.find("] Master mode\n"), std::string::npos) << thread_log;
    EXPECT_NE(thread_log.find("qsize=0, remote_time="), std::string::npos);
    EXPECT_NE(thread_log.find(", pkt0={.pts=0.00, .recv_ts="), std::string::npos);
}
