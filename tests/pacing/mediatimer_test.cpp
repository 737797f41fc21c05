#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "frame/error.h"
#include "pacing/MediaTimer.h"
#include "platform/waitable.h"

using namespace std::chrono_literals;
using vemx::platform::Event;
using vemx::platform::ReferenceClock;

namespace {

constexpr int64_t kMs = 10000;

struct Call {
    bool timer;  // false: release
    int64_t time;
    int64_t item;
    int64_t lateness;
    int64_t stream_now;
    std::thread::id thread;
};

// The owner side: what the timer handed over, in order.
class Owner {
public:
    Owner() : timer(this, &Owner::OnTimer, &Owner::OnRelease) {
        VIZur::LazyWindow::Initialize();
        clock = ReferenceClock::Create();
        int64_t now = 0;
        clock->GetTime(&now);
        timer.SetClock(clock);
        timer.SetBaseTime(now);
    }
    ~Owner() { VIZur::LazyWindow::Uninitialize(); }

    void OnTimer(int64_t time, int64_t item, int64_t lateness) {
        Record({true, time, item, lateness, timer.GetStreamTime(), std::this_thread::get_id()});
        if (item == chain_item && time < chain_end) timer.Schedule(time + kMs, item);
    }
    void OnRelease(int64_t item) {
        Record({false, 0, item, 0, 0, std::this_thread::get_id()});
        std::lock_guard g(lock);
        if (++released >= release_target) done.set();
    }
    void Record(Call c) {
        std::lock_guard g(lock);
        calls.push_back(c);
    }
    std::vector<Call> Calls() {
        std::lock_guard g(lock);
        return calls;
    }
    void ExpectReleases(int n) {
        std::lock_guard g(lock);
        release_target = n;
        if (released >= n) done.set();
    }

    std::shared_ptr<ReferenceClock> clock;
    std::mutex lock;
    std::vector<Call> calls;
    int released = 0;
    int release_target = 1 << 30;
    Event done;
    int64_t chain_item = -1;
    int64_t chain_end = 0;
    VIZur::media_timer_t<Owner> timer;  // last: stopped before the rest goes
};

}  // namespace

TEST(MediaTimer, ReleasesEarliestFirstAndSameTimeItemsInSchedulingOrder) {
    Owner o;
    o.timer.Start();
    const int64_t t0 = o.timer.GetStreamTime();
    o.timer.Schedule(t0 + 40 * kMs, 1);
    o.timer.Schedule(t0 + 40 * kMs, 2);
    o.timer.Schedule(t0 + 15 * kMs, 3);
    EXPECT_EQ(o.timer.PendingCount(), 2u);
    o.ExpectReleases(3);
    ASSERT_TRUE(vemx::platform::wait_one(o.done, 5s));
    EXPECT_EQ(o.timer.PendingCount(), 0u);

    const auto calls = o.Calls();
    ASSERT_EQ(calls.size(), 6u);
    const int64_t order[] = {3, 1, 2};
    for (int i = 0; i < 3; ++i) {
        const Call& t = calls[2 * i];
        const Call& r = calls[2 * i + 1];
        EXPECT_TRUE(t.timer);
        EXPECT_FALSE(r.timer);
        EXPECT_EQ(t.item, order[i]);
        EXPECT_EQ(r.item, order[i]);
        EXPECT_EQ(t.time, i == 0 ? t0 + 15 * kMs : t0 + 40 * kMs);
        EXPECT_GE(t.lateness, 0);
        EXPECT_GE(t.stream_now, t.time);  // never early
        EXPECT_NE(t.thread, std::this_thread::get_id());
    }
    EXPECT_EQ(calls[2].lateness, calls[4].lateness);  // one entry, one wake-up
}

TEST(MediaTimer, FlushReleasesEverythingOnTheTimerThreadAndCancelsTheAdvice) {
    Owner o;
    o.timer.Start();
    const int64_t t0 = o.timer.GetStreamTime();
    o.timer.Schedule(t0 - 5 * kMs, 10);  // already due
    o.ExpectReleases(1);
    ASSERT_TRUE(vemx::platform::wait_one(o.done, 5s));
    const std::thread::id timer_thread = o.Calls()[0].thread;

    for (int64_t i = 0; i < 5; ++i) o.timer.Schedule(t0 + (30 + i % 2) * kMs, 20 + i);
    o.timer.Flush();
    EXPECT_EQ(o.timer.PendingCount(), 0u);
    std::this_thread::sleep_for(60ms);  // past the cancelled time
    auto calls = o.Calls();
    ASSERT_EQ(calls.size(), 7u);
    for (size_t i = 2; i < calls.size(); ++i) {
        EXPECT_FALSE(calls[i].timer);
        EXPECT_EQ(calls[i].thread, timer_thread);
    }
    // Time order first, then scheduling order within a time.
    EXPECT_EQ(calls[2].item, 20);
    EXPECT_EQ(calls[3].item, 22);
    EXPECT_EQ(calls[4].item, 24);
    EXPECT_EQ(calls[5].item, 21);

    // Stopping hands back what is still queued; without a thread, on the caller.
    o.timer.Schedule(t0 + 100000 * kMs, 30);
    o.timer.Stop();
    o.timer.Schedule(t0 + 100000 * kMs, 31);
    o.timer.Flush();
    calls = o.Calls();
    ASSERT_EQ(calls.size(), 9u);
    EXPECT_EQ(calls[7].item, 30);
    EXPECT_EQ(calls[8].item, 31);
    EXPECT_EQ(calls[8].thread, std::this_thread::get_id());
}

TEST(MediaTimer, CallbacksMayScheduleAgainAndEarlierTimesRearm) {
    Owner o;
    o.timer.Start();
    const int64_t t0 = o.timer.GetStreamTime();
    o.chain_item = 7;
    o.chain_end = t0 + 20 * kMs;
    o.timer.Schedule(t0 + 10000 * kMs, 99);  // far away: the advice is for it
    o.timer.Schedule(t0 + 1 * kMs, 7);       // re-arms for the earlier time
    // 7 runs at 1..20 ms, 20 times; then 99 remains queued.
    o.ExpectReleases(20);
    ASSERT_TRUE(vemx::platform::wait_one(o.done, 5s));
    EXPECT_EQ(o.timer.PendingCount(), 1u);
    int64_t last = 0;
    for (const Call& c : o.Calls()) {
        if (!c.timer) continue;
        EXPECT_EQ(c.item, 7);
        EXPECT_GT(c.time, last);
        last = c.time;
    }
    EXPECT_EQ(last, o.chain_end);
}

TEST(MediaTimer, MovingTheBaseLaterHoldsBackEntriesAlreadyArmed) {
    Owner o;
    o.timer.Start();
    o.timer.Schedule(10 * kMs, 1);
    o.timer.SetBaseTime(o.timer.BaseTime() + 80 * kMs);
    o.ExpectReleases(1);
    ASSERT_TRUE(vemx::platform::wait_one(o.done, 5s));
    const auto calls = o.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_GE(calls[0].stream_now, 10 * kMs);
}

TEST(MediaTimer, WithoutAClockSchedulingRaisesAndNothingIsQueued) {
    vemx_test::LogCapture log;
    Owner o;
    o.timer.SetClock(nullptr);
    try {
        o.timer.Schedule(0, 1);
        FAIL() << "no raise";
    } catch (const vemx::frame::ComError& e) {
        EXPECT_EQ(e.Error(), vemx::frame::E_POINTER);
    }
    EXPECT_EQ(o.timer.GetStreamTime(), 0);
    EXPECT_EQ(log.count_containing("COM error, hr=-2147467261"), 1u);
}

TEST(MediaTimer, FlushRacingScheduleLosesNoItemAndDeliversNoneTwice) {
    Owner o;
    o.timer.Start();
    constexpr int kItems = 4000;
    std::atomic<bool> stop{false};
    std::thread flusher([&] {
        while (!stop) o.timer.Flush();
    });
    std::thread scheduler([&] {
        const int64_t t0 = o.timer.GetStreamTime();
        for (int i = 0; i < kItems; ++i) o.timer.Schedule(t0 + (i % 50) * kMs / 10, i);
    });
    scheduler.join();
    stop = true;
    flusher.join();
    o.timer.Stop();
    std::vector<int> timed(kItems), released(kItems);
    for (const Call& c : o.Calls()) ++(c.timer ? timed : released)[c.item];
    for (int i = 0; i < kItems; ++i) {
        ASSERT_EQ(released[i], 1) << i;
        ASSERT_LE(timed[i], 1) << i;
    }
}
