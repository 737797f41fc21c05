// Playout: live, master and slave pacing, wake-ups, re-entry and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

#include "common/log_capture.h"
#include "pacing/recorder.h"

using namespace vemx_test;
using namespace std::chrono_literals;
using vemx::mediaqueue::Deadline;
using vemx::mediaqueue::DueTime;
using vemx::platform::monotonic_100ns;

TEST(MediaQueueDeadline, DueTimeIsTheFirstInstantTheDeadlineReachesThePts) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> remote(-5e4, 5e4);
    std::uniform_int_distribution<int64_t> pts(-(int64_t{1} << 50), int64_t{1} << 50);
    std::uniform_int_distribution<int32_t> delay(-100000, 100000);
    for (int i = 0; i < 20000; ++i) {
        const double r = i % 3 ? remote(rng) : std::round(remote(rng) * 1e3) / 1e3;
        const int32_t d = delay(rng);
        const int64_t p = pts(rng);
        const int64_t t = DueTime(r, d, p);
        ASSERT_GE(Deadline(r, t, d), p) << r << " " << d << " " << p;
        ASSERT_LT(Deadline(r, t - 1, d), p) << r << " " << d << " " << p;
    }
    // Truncation toward zero, and saturation instead of overflow.
    EXPECT_EQ(Deadline(0.00000015, 0, 0), 1);
    EXPECT_EQ(Deadline(-0.00000015, 0, 0), -1);
    EXPECT_EQ(Deadline(0.1, 5, 1), 1000005 - 10000);
    EXPECT_EQ(Deadline(1e300, 0, 0), INT64_MAX);
    EXPECT_EQ(DueTime(-1e300, 0, 0), INT64_MAX);
    EXPECT_EQ(DueTime(1e300, 0, 0), INT64_MIN);
    EXPECT_EQ(DueTime(NAN, 0, 0), INT64_MAX);
}

TEST(MediaQueueLive, NegativeDelayPlaysQueuedPacketsInPtsOrderOnePerTimeoutThenAtOnce) {
    Recorder rec;
    void* q = rec.Attach();
    // A negative delay means live playout, a master notwithstanding.
    void* master = vemx_mediaqueue_new();
    vemx_mediaqueue_set_master(q, master);
    vemx_mediaqueue_set_delay(q, -1);
    for (uintptr_t id : {4, 1, 5, 3, 2}) vemx_mediaqueue_enqueue(q, Packet(id), 1, id * kMs);
    LogCapture log;
    ASSERT_EQ(vemx_mediaqueue_init(q), 1);
    EXPECT_EQ(vemx_mediaqueue_init(q), 0);  // already playing
    ASSERT_TRUE(rec.WaitDeliveries(5));
    const auto d = rec.deliveries();
    EXPECT_EQ(rec.delivered_ids(), (std::vector<uintptr_t>{1, 2, 3, 4, 5}));
    for (size_t i = 1; i < d.size(); ++i) EXPECT_GE(d[i].at - d[i - 1].at, 90 * kMs) << i;
    for (const auto& x : d) EXPECT_EQ(x.arg, 0);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"[mediaq] LIVE MODE [" + N(q) + "]\n"});

    // An empty queue sleeps; a packet leaves as soon as it arrives.
    const uint64_t woken = Internal(q)->Wakeups();
    std::this_thread::sleep_for(200ms);
    EXPECT_LE(Internal(q)->Wakeups() - woken, 1u);
    const int64_t t0 = monotonic_100ns();
    vemx_mediaqueue_enqueue(q, Packet(9), 1, 0);
    ASSERT_TRUE(rec.WaitDeliveries(6));
    EXPECT_LT(rec.deliveries().back().at - t0, 80 * kMs);
    vemx_mediaqueue_release(q);
    vemx_mediaqueue_release(master);
}

TEST(MediaQueueMaster, DeliversDelayAfterArrivalAndSleepsOtherwise) {
    Recorder rec;
    void* q = rec.Attach();
    vemx_mediaqueue_set_delay(q, 100);
    vemx_mediaqueue_set_master(q, q);  // itself: no master
    LogCapture log;
    ASSERT_EQ(vemx_mediaqueue_init(q), 1);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Internal(q)->Wakeups(), 0u) << "idle master woke up";

    std::vector<int64_t> sent;
    for (int i = 0; i < 6; ++i) {  // a constant offset of 5 s
        sent.push_back(monotonic_100ns());
        vemx_mediaqueue_enqueue(q, Packet(i + 1), 1, Now(q) + 5000 * kMs);
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(rec.WaitDeliveries(6));
    const auto d = rec.deliveries();
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(d[i].id, static_cast<uintptr_t>(i + 1));
        EXPECT_GE(d[i].at - sent[i], 100 * kMs) << i;
        EXPECT_LT(d[i].at - sent[i], 170 * kMs) << i;
    }
    // One wake-up per arrival and per due time, nothing in between.
    EXPECT_LE(Internal(q)->Wakeups(), 14u);
    EXPECT_NEAR(Internal(q)->RemoteTime(), 5.0, 0.001);
    vemx_mediaqueue_uninit(q);
    const std::string head = "INFO[mediaq] MASTER1 MODE[" + N(q) + "], thread ";
    EXPECT_EQ(log.lines_starting("INFO[mediaq] "),
              (std::vector<std::string>{head + "started\n", head + "ended\n"}));
    vemx_mediaqueue_release(q);
}

TEST(MediaQueueMaster, LongWaitsKeepTheWindowAndDelayChangesActAtOnce) {
    Recorder rec;
    void* q = rec.Attach();
    ASSERT_EQ(vemx_mediaqueue_init(q), 1);
    // Offsets 0 then -0.9 s (late, due at once): the window mean becomes -0.03 s.
    vemx_mediaqueue_enqueue(q, Packet(1), 1, Now(q));
    ASSERT_TRUE(rec.WaitDeliveries(1));
    std::this_thread::sleep_for(20ms);
    vemx_mediaqueue_enqueue(q, Packet(2), 1, Now(q) - 900 * kMs);
    ASSERT_TRUE(rec.WaitDeliveries(2));

    // Waiting 1.3 s for a packet is no gap in the stream: the window stays.
    vemx_mediaqueue_set_delay(q, 1300);
    std::this_thread::sleep_for(20ms);
    const int64_t sent = monotonic_100ns();
    vemx_mediaqueue_enqueue(q, Packet(3), 1, Now(q));
    ASSERT_TRUE(rec.WaitDeliveries(3, 4s));
    EXPECT_GE(rec.deliveries()[2].at - sent, 1300 * kMs);
    EXPECT_NEAR(Internal(q)->RemoteTime(), -0.03, 0.002);

    vemx_mediaqueue_enqueue(q, Packet(4), 1, Now(q));
    std::this_thread::sleep_for(20ms);
    const int64_t t = monotonic_100ns();
    vemx_mediaqueue_set_delay(q, 0);
    ASSERT_TRUE(rec.WaitDeliveries(4, 3s));
    EXPECT_LT(rec.deliveries()[3].at - t, 300 * kMs);
    vemx_mediaqueue_release(q);
}

TEST(MediaQueueMaster, SamplesNeedEightMillisecondsOfArrivalSpacing) {
    for (const auto gap : {0ms, 20ms}) {
        // A preempted "right after" is retried: its arrivals must be < 8 ms apart.
        for (int attempt = 0; attempt < 5; ++attempt) {
            Recorder rec;
            void* q = rec.Attach();
            ASSERT_EQ(vemx_mediaqueue_init(q), 1);
            // Offset 0 sets the window; then offset 0.9 s, right after or 20 ms later.
            const int64_t t0 = Now(q);
            vemx_mediaqueue_enqueue(q, Packet(1), 1, Now(q));
            std::this_thread::sleep_for(gap);
            vemx_mediaqueue_enqueue(q, Packet(2), 1, Now(q) + 900 * kMs);
            const bool spaced = Now(q) - t0 >= 80000;
            if (gap == 0ms && spaced) {
                vemx_mediaqueue_release(q);
                continue;
            }
            ASSERT_TRUE(rec.WaitDeliveries(2, 3s));
            vemx_mediaqueue_enqueue(q, Packet(3), 1, Now(q));
            ASSERT_TRUE(rec.WaitDeliveries(3));
            EXPECT_NEAR(Internal(q)->RemoteTime(), spaced ? 0.9 / 30 : 0.0, 0.002) << gap.count();
            vemx_mediaqueue_release(q);
            break;
        }
    }
}

TEST(MediaQueueSlave, FollowsTheMasterTimelineOnceItHasAnEstimate) {
    Recorder mrec, srec;
    void *master = mrec.Attach(), *slave = srec.Attach();
    vemx_mediaqueue_set_delay(master, 50);
    vemx_mediaqueue_set_delay(slave, 50);
    vemx_mediaqueue_set_master(slave, master);
    LogCapture log;
    ASSERT_EQ(vemx_mediaqueue_init(master), 1);
    ASSERT_EQ(vemx_mediaqueue_init(slave), 1);

    const int64_t stream = 777 * 1000 * kMs;  // pts = stream + master's clock
    vemx_mediaqueue_enqueue(slave, Packet(101), 1, stream + Now(master));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(srec.deliveries().empty()) << "no master estimate yet";
    EXPECT_LE(Internal(slave)->Wakeups(), 2u);
    // The master's first look at a packet publishes its estimate; the
    // slave's packet is overdue by then and leaves at once.
    const int64_t t = monotonic_100ns();
    vemx_mediaqueue_enqueue(master, Packet(1), 1, stream + Now(master));
    ASSERT_TRUE(srec.WaitDeliveries(1));
    EXPECT_LT(srec.deliveries()[0].at - t, 200 * kMs);

    for (int i = 0; i < 10; ++i) {  // both streams on one timeline
        const int64_t pts = stream + Now(master) + 20 * kMs;
        vemx_mediaqueue_enqueue(slave, Packet(102 + i), 1, pts);
        vemx_mediaqueue_enqueue(master, Packet(2 + i), 1, pts);
        std::this_thread::sleep_for(15ms);
    }
    ASSERT_TRUE(mrec.WaitDeliveries(11));
    ASSERT_TRUE(srec.WaitDeliveries(11));
    const auto m = mrec.deliveries(), s = srec.deliveries();
    // Typically well within a millisecond; a busy machine may delay either thread.
    std::vector<int64_t> apart;
    for (int i = 1; i < 11; ++i) apart.push_back(std::llabs(s[i].at - m[i].at));
    std::sort(apart.begin(), apart.end());
    EXPECT_LT(apart[apart.size() / 2], 5 * kMs);
    EXPECT_LT(apart.back(), 40 * kMs);

    // The owner lets go of the master while it plays; the slave's
    // reference keeps it until the slave's uninit.
    const std::string master_ended = "INFO[mediaq] MASTER1 MODE[" + N(master) + "], thread ended\n",
                      slave_ended = "INFO[mediaq] SLAVE1 MODE[" + N(slave) + "], thread ended\n";
    vemx_mediaqueue_release(master);
    vemx_mediaqueue_enqueue(slave, Packet(120), 1, stream + Now(slave));
    ASSERT_TRUE(srec.WaitDeliveries(12));
    EXPECT_EQ(log.count_containing(master_ended), 0u);
    vemx_mediaqueue_uninit(slave);
    EXPECT_EQ(log.count_containing(master_ended), 1u);
    EXPECT_EQ(log.count_containing(slave_ended), 1u);
    vemx_mediaqueue_release(slave);
}

TEST(MediaQueueSlave, SyncLineAtMostOnceEveryThreeSeconds) {
    void *master = vemx_mediaqueue_new(), *slave = vemx_mediaqueue_new();
    vemx_mediaqueue_set_master(slave, master);
    vemx_mediaqueue_init(master);
    vemx_mediaqueue_init(slave);
    LogCapture log;
    vemx_mediaqueue_enqueue(master, Packet(1), 1, 1000);
    for (int64_t pts = 0; Now(slave) < 3150 * kMs; pts += 10) {  // a little over 3 s of slave clock
        vemx_mediaqueue_enqueue(slave, Packet(2), 1, pts);
        std::this_thread::sleep_for(30ms);
    }
    std::this_thread::sleep_for(50ms);
    const auto sync = log.lines_starting("INFO[mediaq] Sync[");
    ASSERT_EQ(sync.size(), 1u);
    EXPECT_EQ(sync[0].rfind(
                  "INFO[mediaq] Sync[" + N(master) + "/" + N(slave) + "]: master=0.10ms, diff=", 0),
              0u)
        << sync[0];
    vemx_mediaqueue_release(slave);
    vemx_mediaqueue_release(master);
}

TEST(MediaQueueReentry, CallbacksMayEnqueueIntoAndReleaseTheirOwnQueueButNotStopIt) {
    for (int live = 0; live < 2; ++live) {
        Recorder rec;
        void* q = rec.Attach();
        rec.on_packet = [](Recorder& r, void* packet) {
            if (Id(packet) < 5) vemx_mediaqueue_enqueue(r.queue, Packet(Id(packet) + 1), 1, 0);
            if (Id(packet) == 5) vemx_mediaqueue_uninit(r.queue);  // refused from its own thread
        };
        vemx_mediaqueue_set_live_mode(q, live);
        LogCapture log;
        ASSERT_EQ(vemx_mediaqueue_init(q), 1);
        vemx_mediaqueue_enqueue(q, Packet(1), 1, 0);
        ASSERT_TRUE(rec.WaitReleases(5)) << live;
        EXPECT_EQ(rec.delivered_ids(), (std::vector<uintptr_t>{1, 2, 3, 4, 5}));
        EXPECT_EQ(log.count_containing("[vemx::mediaqueue::MediaQueue::Uninit], 0x"), 1u);
        // The last reference goes from another thread while playout runs.
        vemx_mediaqueue_enqueue(q, Packet(6), 1, 0);
        vemx_mediaqueue_release(q);
        EXPECT_EQ(rec.released().size(), 6u);
    }

    // The last reference dropped inside a callback: an error line, and the
    // queue still ends, every packet released once.
    Recorder rec;
    void* q = rec.Attach();
    vemx_mediaqueue_set_live_mode(q, 1);
    rec.on_packet = [](Recorder& r, void* packet) {
        if (Id(packet) == 1) vemx_mediaqueue_release(r.queue);
    };
    for (uintptr_t id = 1; id <= 3; ++id) vemx_mediaqueue_enqueue(q, Packet(id), 1, id);
    LogCapture log;
    ASSERT_EQ(vemx_mediaqueue_init(q), 1);
    ASSERT_TRUE(rec.WaitReleases(3));
    auto released = rec.released();
    std::sort(released.begin(), released.end());
    EXPECT_EQ(released, (std::vector<uintptr_t>{1, 2, 3}));
    EXPECT_EQ(log.count_containing("[vemx::frame::RefCounted::Release], 0x"), 1u);
    EXPECT_EQ(log.count_containing(" last reference released on the object's own thread; "
                                   "destroyed once the thread has left it\n"),
              1u);
}

TEST(MediaQueueFailure, AClockFailureEndsPlayoutAndHandsBackThePackets) {
    for (int slave = 0; slave < 2; ++slave) {
        Recorder rec;
        void *master = vemx_mediaqueue_new(), *q = rec.Attach();
        if (slave) vemx_mediaqueue_set_master(q, master);
        Internal(q)->SetClockSource([]() -> std::shared_ptr<vemx::platform::ReferenceClock> {
            vemx::frame::RaiseComError(vemx::frame::E_FAIL, L"clocktest", 12);
        });
        vemx_mediaqueue_enqueue(q, Packet(1), 1, 0);
        vemx_mediaqueue_enqueue(q, Packet(2), 1, 0);
        LogCapture log;
        ASSERT_EQ(vemx_mediaqueue_init(q), 1);
        ASSERT_TRUE(rec.WaitReleases(2));
        const std::string head =
            std::string("INFO[mediaq] ") + (slave ? "SLAVE1" : "MASTER1") + " MODE[" + N(q) + "]";
        EXPECT_EQ(log.lines(), (std::vector<std::string>{
                                   head + ", thread started\n",
                                   "[vemx][ERROR]: clocktest(12): COM error, hr=-2147467259\n",
                                   head + ", thread ended\n"}));
        vemx_mediaqueue_uninit(q);
        EXPECT_TRUE(rec.deliveries().empty());
        vemx_mediaqueue_release(q);
        vemx_mediaqueue_release(master);
    }
}
