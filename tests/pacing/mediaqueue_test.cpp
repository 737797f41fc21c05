// Queue object, configuration, enqueue and overflow, hand-back of packets,
// log files.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "common/log_capture.h"
#include "pacing/recorder.h"

using namespace vemx_test;
using vemx::mediaqueue::MediaQueue;

TEST(MediaQueueConfig, NullHandlesAreIgnoredAndSettersWriteInformationLines) {
    LogCapture log;
    vemx_mediaqueue_add_ref(nullptr);
    vemx_mediaqueue_release(nullptr);
    vemx_mediaqueue_set_master(nullptr, nullptr);
    vemx_mediaqueue_set_delay(nullptr, 10);
    vemx_mediaqueue_set_callback(nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(vemx_mediaqueue_init(nullptr), 0);
    vemx_mediaqueue_uninit(nullptr);
    vemx_mediaqueue_enqueue(nullptr, Packet(1), 1, 0);
    EXPECT_TRUE(log.lines().empty());

    void* a = vemx_mediaqueue_new();
    void* b = vemx_mediaqueue_new();
    EXPECT_EQ(Internal(b)->Instance(), Internal(a)->Instance() + 1);
    EXPECT_TRUE(std::isnan(Internal(b)->RemoteTime()));
    vemx_mediaqueue_set_delay(b, 200);
    vemx_mediaqueue_set_max_queue_size(b, -5);
    vemx_mediaqueue_set_enable_reset_timer(b, 1);
    vemx_mediaqueue_set_live_mode(b, 1);  // silent
    const std::string head = "[mediaq] MQ[" + N(b) + "]: ";
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{head + "delay = 200\n", head + "maxQueueSize = -5\n",
                                        head + "enableResetTimer = 1\n"}));
    vemx_mediaqueue_release(a);
    vemx_mediaqueue_release(b);
}

TEST(MediaQueueEnqueue, OverflowReleasesTheQueueEarliestFirstAndDropsTheNewcomer) {
    Recorder rec;
    void* q = rec.Attach();
    vemx_mediaqueue_set_max_queue_size(q, 2);
    LogCapture log;
    const int64_t pts[] = {0, 300, 100, 200, 50};  // neither arrival order nor its reverse
    for (uintptr_t id : {1, 2, 3, 4}) vemx_mediaqueue_enqueue(q, Packet(id), 10, pts[id]);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"[mediaq][ERROR]: MQ[" + N(q) +
                                                    "]: buffer overflow[3], CLEAR ALL\n"});
    EXPECT_EQ(rec.released(), (std::vector<uintptr_t>{2, 3, 1}));

    // Accepting goes on; uninit hands back what is queued, in pts order.
    vemx_mediaqueue_enqueue(q, Packet(5), 10, 9);
    vemx_mediaqueue_enqueue(q, Packet(6), 10, 7);
    vemx_mediaqueue_uninit(q);
    EXPECT_EQ(rec.released(), (std::vector<uintptr_t>{2, 3, 1, 6, 5}));

    // The default size holds 65; a negative size never overflows.
    vemx_mediaqueue_set_max_queue_size(q, 64);
    for (int i = 0; i < 66; ++i) vemx_mediaqueue_enqueue(q, Packet(10 + i), 1, i);
    EXPECT_EQ(log.count_containing("buffer overflow[65], CLEAR ALL"), 1u);
    vemx_mediaqueue_set_max_queue_size(q, -1);
    for (int i = 0; i < 3000; ++i) vemx_mediaqueue_enqueue(q, Packet(100 + i), 1, i);
    EXPECT_EQ(Internal(q)->QueuedCount(), 3000u);
    // Null handlers do nothing; they are not called as functions.
    vemx_mediaqueue_set_callback(q, nullptr, nullptr, nullptr);
    vemx_mediaqueue_release(q);
    EXPECT_EQ(rec.released().size(), 5u + 65u);
    EXPECT_TRUE(rec.deliveries().empty());
}

// Every accepted packet comes back exactly once, whichever path takes it:
// delivery, overflow, the end of the playout thread or uninit.
TEST(MediaQueueEnqueue, EveryAcceptedPacketIsReleasedExactlyOnceUnderConcurrentLoad) {
    constexpr int kPerThread = 20000;
    static std::atomic<int> delivered[2 * kPerThread], released[2 * kPerThread];
    for (int live = 0; live < 2; ++live) {
        for (int i = 0; i < 2 * kPerThread; ++i) delivered[i] = released[i] = 0;
        void* q = vemx_mediaqueue_new();
        vemx_mediaqueue_set_callback(
            q, [](void* p, void*, int) { return delivered[Id(p)]++, 0; },
            [](void* p, void*) { return released[Id(p)]++, 0; }, nullptr);
        vemx_mediaqueue_set_max_queue_size(q, 50);
        vemx_mediaqueue_set_live_mode(q, live);
        LogCapture log;
        ASSERT_EQ(vemx_mediaqueue_init(q), 1);
        std::vector<std::thread> producers;
        for (int t = 0; t < 2; ++t)
            producers.emplace_back([q, t] {
                for (int i = 0; i < kPerThread; ++i) {
                    // Spread pts so that some packets wait in master mode.
                    vemx_mediaqueue_enqueue(q, Packet(t * kPerThread + i), 1, (i % 7) * 10000);
                    if (t == 0 && i == kPerThread / 2) {
                        vemx_mediaqueue_uninit(q);
                        vemx_mediaqueue_init(q);
                    }
                }
            });
        for (auto& p : producers) p.join();
        vemx_mediaqueue_release(q);
        size_t total = 0, bad = 0;
        for (int i = 0; i < 2 * kPerThread; ++i) {
            total += released[i];
            bad += released[i] > 1 || delivered[i] > 1 || (delivered[i] == 1 && released[i] != 1);
        }
        EXPECT_EQ(bad, 0u) << live;
        // Each overflow turns away exactly the packet that caused it.
        EXPECT_EQ(total + log.count_with_repeats("CLEAR ALL"), 2u * kPerThread) << live;
    }
}

TEST(MediaQueueLog, LogFilesRecordTheQueueItsThreadAndPtsJumps) {
    TempDir dir;
    LogCapture log;
    auto* q = new MediaQueue(true);
    EXPECT_EQ(log.count_containing("DEBUG[mediaq] ENABLE_LOG_FILE is ON\n"), 1u);
    Recorder rec;
    rec.Attach(q);
    q->SetMaxQueueSize(1);
    q->Enqueue(Packet(1), 1234, 20000);
    q->Enqueue(Packet(2), 5, 10000);
    q->Enqueue(Packet(3), 5, 10000);  // overflow
    ASSERT_TRUE(q->Init());
    // An hour into a stream, then back by two seconds: the window restarts
    // from the new offset and nothing is lost.
    const int64_t base = 36000000000;
    q->Enqueue(Packet(4), 77, base + q->Now());
    ASSERT_TRUE(rec.WaitDeliveries(1));
    q->Enqueue(Packet(5), 77, base + q->Now() - 20000000);
    ASSERT_TRUE(rec.WaitDeliveries(2));
    EXPECT_NEAR(q->RemoteTime(), (base - 20000000) / 1e7, 0.01);
    char name[64];
    std::snprintf(name, sizeof name, "mediaqueue[%06d]", q->Instance());
    q->Release();

    const std::string queue_log = read_file(std::string(name) + "-0000.log");
    EXPECT_EQ(queue_log.rfind("[", 0), 0u);
    for (const char* text : {"] Enqueue, pkt={ .size=1234, pts=2.00, recv_ts=", "qSize=0/1\n",
                             "qSize=2/1, buffer overflow, clear all\n",
                             "] Init, master=0x0000000000000000, delay=0, maxQueueSize=1, "
                             "enableResetTimer=0, liveMode=0\n",
                             "] Uninit, master=0x0000000000000000, delay=0"})
        EXPECT_NE(queue_log.find(text), std::string::npos) << text << "\n" << queue_log;
    const std::string thread_log = read_file(std::string(name) + "-thread-0000.log");
    for (const char* text :
         {"] Master mode\n", "qsize=0, remote_time=", ", pkt0={.pts=3600",
          "vemx::mediaqueue::MediaQueue::Main_Master1(948): packet pts or real ts rewinds, pts="})
        EXPECT_NE(thread_log.find(text), std::string::npos) << text << "\n" << thread_log;
}
