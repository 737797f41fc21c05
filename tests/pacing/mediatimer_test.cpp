#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "frame/media_timer.h"

using namespace std::chrono_literals;
using vemx::platform::wait_one;

namespace {

constexpr int64_t kMs = 10000;

// The service class for the owner's lifetime: the first member, so that it
// outlives the timer.
struct ServiceClass {
    ServiceClass() { VIZur::LazyWindow::Initialize(); }
    ~ServiceClass() { VIZur::LazyWindow::Uninitialize(); }
};

// Starts a timer on a new clock whose base is now.
template <class T>
void StartNow(VIZur::media_timer_t<T>& timer) {
    auto clock = vemx::platform::ReferenceClock::Create();
    int64_t now = 0;
    clock->GetTime(&now);
    timer.SetClock(clock);
    timer.SetBaseTime(now);
    timer.Start();
}

struct Call {
    bool timer;  // false: OnRelease
    int64_t time, item, lateness, stream_now;
    std::thread::id thread;
};

// The owner side, its timer started at stream time t0: records what the
// timer hands over; item 7 reschedules itself 1 ms later until chain_end.
class Owner {
  public:
    Owner() : timer(this, &Owner::OnTimer, &Owner::OnRelease) {
        StartNow(timer);
        t0 = timer.GetStreamTime();
    }

    void OnTimer(int64_t time, int64_t item, int64_t lateness) {
        Record({true, time, item, lateness, timer.GetStreamTime(), std::this_thread::get_id()});
        if (item == 7 && time < chain_end) timer.Schedule(time + kMs, item);
    }
    void OnRelease(int64_t item) {
        Record({false, 0, item, 0, 0, std::this_thread::get_id()});
        ++released;
        done.set();
    }
    void Record(Call c) {
        std::lock_guard g(lock);
        calls.push_back(c);
    }
    std::vector<Call> Calls() {
        std::lock_guard g(lock);
        return calls;
    }
    bool WaitReleases(int n) {
        while (released < n)
            if (!wait_one(done, 5s)) return false;
        return true;
    }

    ServiceClass service;
    std::mutex lock;
    std::vector<Call> calls;
    std::atomic<int> released{0};
    vemx::platform::Event done;
    int64_t t0 = 0, chain_end = 0;
    VIZur::media_timer_t<Owner> timer;  // last: stopped before the rest goes
};

// The owner of the lock test below.
struct Filler {
    Filler() : timer(this, &Filler::OnTimer, &Filler::OnRelease) { StartNow(timer); }
    void OnTimer(int64_t, int64_t item, int64_t) { ++timed[item]; }
    void OnRelease(int64_t item) {
        std::lock_guard g(state);
        ++released[item];
        Refill();
    }
    void Refill() {  // state held
        while (!stopping && timer.PendingCount() < 4 && next < kItems) {
            timer.Schedule(timer.GetStreamTime() + (next % 7) * kMs / 10, next);
            ++next;
        }
    }
    void Seek() {
        std::lock_guard g(state);
        timer.Flush();
        EXPECT_EQ(timer.PendingCount(), 0u);
        Refill();
    }

    static constexpr int kItems = 20000;
    ServiceClass service;
    std::mutex state;
    bool stopping = false;
    int next = 0;
    std::vector<std::atomic<int>> timed = std::vector<std::atomic<int>>(kItems);
    std::vector<int> released = std::vector<int>(kItems);
    VIZur::media_timer_t<Filler> timer;  // last: stopped before the rest goes
};

}  // namespace

TEST(MediaTimer, ReleasesEarliestFirstAndSameTimeItemsTogetherInSchedulingOrder) {
    Owner o;
    o.timer.Schedule(o.t0 + 40 * kMs, 1);
    o.timer.Schedule(o.t0 + 40 * kMs, 2);
    o.timer.Schedule(o.t0 + 15 * kMs, 3);
    EXPECT_EQ(o.timer.PendingCount(), 2u);
    ASSERT_TRUE(o.WaitReleases(3));
    const auto calls = o.Calls();
    ASSERT_EQ(calls.size(), 6u);
    const int64_t order[] = {3, 1, 2};
    for (int i = 0; i < 3; ++i) {
        const Call &t = calls[2 * i], &r = calls[2 * i + 1];
        EXPECT_TRUE(t.timer && !r.timer);
        EXPECT_EQ(t.item, order[i]);
        EXPECT_EQ(r.item, order[i]);
        EXPECT_EQ(t.time, o.t0 + (i == 0 ? 15 : 40) * kMs);
        EXPECT_GE(t.lateness, 0);
        EXPECT_GE(t.stream_now, t.time);  // never early
    }
    EXPECT_EQ(calls[2].lateness, calls[4].lateness);  // one entry, one wake-up
}

TEST(MediaTimer, FlushReleasesEverythingOnTheTimerThreadAndCancelsTheAdvice) {
    Owner o;
    o.timer.Schedule(o.t0 - 5 * kMs, 10);  // already due
    ASSERT_TRUE(o.WaitReleases(1));
    const std::thread::id timer_thread = o.Calls()[0].thread;
    EXPECT_NE(timer_thread, std::this_thread::get_id());

    for (int64_t i = 0; i < 4; ++i) o.timer.Schedule(o.t0 + (100 - i % 2) * kMs, 20 + i);
    o.timer.Flush();
    EXPECT_EQ(o.timer.PendingCount(), 0u);
    o.timer.Schedule(o.t0 - kMs, 24);        // due at once, yet after the flushed ones
    o.timer.Schedule(o.t0 + 120 * kMs, 25);  // past the cancelled times
    ASSERT_TRUE(o.WaitReleases(7));
    // Stop hands back what is queued; without a thread Flush runs on the caller.
    o.timer.Schedule(o.t0 + 100000 * kMs, 30);
    o.timer.Stop();
    o.timer.Schedule(o.t0 + 100000 * kMs, 31);
    o.timer.Flush();
    const auto calls = o.Calls();
    ASSERT_EQ(calls.size(), 12u);
    // Flushed in time order, then scheduling order; 24 and 25 timed and released.
    const int64_t items[] = {21, 23, 20, 22, 24, 24, 25, 25, 30, 31};
    for (size_t i = 2; i < 12; ++i) {
        EXPECT_EQ(calls[i].item, items[i - 2]) << i;
        EXPECT_EQ(calls[i].timer, i == 6 || i == 8) << i;
        EXPECT_TRUE(i >= 10 || calls[i].thread == timer_thread) << i;
    }
    EXPECT_EQ(calls[11].thread, std::this_thread::get_id());
}

// An owner keeps a few due times queued under a lock of its own: refilled
// in OnRelease on the timer thread, flushed and refilled by a seek on its
// control thread, which holds the lock throughout.  Flush must not wait for
// the timer thread, which may be waiting for that lock; racing, it loses no
// item and delivers none twice.
TEST(MediaTimer, AnOwnerMayFlushHoldingALockItsCallbacksTake) {
    // Owned by the run, so that a deadlock fails the test instead of hanging it.
    auto f = std::make_shared<Filler>();
    auto finished = std::make_shared<vemx::platform::Event>(true);
    std::thread([f, finished] {
        for (int i = 0; i < 1000; ++i) f->Seek();
        finished->set();
    }).detach();
    ASSERT_TRUE(wait_one(*finished, 30s)) << "deadlocked";
    {
        std::lock_guard g(f->state);
        f->stopping = true;
    }
    f->timer.Stop();
    std::lock_guard g(f->state);
    for (int i = 0; i < f->next; ++i) {
        ASSERT_EQ(f->released[i], 1) << i;
        ASSERT_LE(f->timed[i], 1) << i;
    }
}

TEST(MediaTimer, CallbacksMayScheduleAgainAndAnEarlierTimeRearms) {
    Owner o;
    o.chain_end = o.t0 + 20 * kMs;
    o.timer.Schedule(o.t0 + 10000 * kMs, 99);  // the advice is for this one
    o.timer.Schedule(o.t0 + 1 * kMs, 7);       // until this re-arms it
    ASSERT_TRUE(o.WaitReleases(20));
    EXPECT_EQ(o.timer.PendingCount(), 1u);
    int64_t last = 0;
    for (const Call& c : o.Calls()) {
        if (!c.timer) continue;
        EXPECT_EQ(c.time, last ? last + kMs : o.t0 + kMs);
        last = c.time;
    }
    EXPECT_EQ(last, o.chain_end);
}

// Times the owner moves or that lie at the ends of the range: a later base
// holds back an entry already armed; the earliest time is due at once with
// its lateness saturated, the latest never.
TEST(MediaTimer, ABaseMovedLaterAndTheEndsOfTheTimeRange) {
    Owner o;
    o.timer.SetBaseTime(o.timer.BaseTime() + o.timer.GetStreamTime());
    o.timer.Schedule(50 * kMs, 1);
    o.timer.SetBaseTime(o.timer.BaseTime() + 80 * kMs);
    ASSERT_TRUE(o.WaitReleases(1));
    EXPECT_GE(o.Calls()[0].stream_now, 50 * kMs);

    o.timer.Schedule(INT64_MAX, 2);
    o.timer.Schedule(INT64_MIN, 3);
    ASSERT_TRUE(o.WaitReleases(2));
    std::this_thread::sleep_for(100ms);
    const auto calls = o.Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[2].item, 3);
    EXPECT_EQ(calls[2].lateness, INT64_MAX);
    EXPECT_EQ(o.timer.PendingCount(), 1u);
}
