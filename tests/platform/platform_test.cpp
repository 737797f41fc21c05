// The pieces every threaded service stands on: lost wake-ups and races are
// the faults looked for here.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/critical_section.h"
#include "platform/refclock.h"
#include "platform/text.h"
#include "platform/waitable.h"

using namespace vemx::platform;
using namespace std::chrono_literals;

namespace {

template <class F>
void OnThreads(int n, F fn) {
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i) threads.emplace_back(fn);
    for (auto& t : threads) t.join();
}

int64_t Now(const ReferenceClock& clock) {
    int64_t now = 0;
    EXPECT_EQ(clock.GetTime(&now), 0);
    return now;
}

}  // namespace

TEST(Text, CaseFoldsAsciiOnlyAndWidensEveryByte) {
    EXPECT_TRUE(iequals("Mp2", "mP2"));
    EXPECT_FALSE(iequals("mp2", "mp"));
    EXPECT_FALSE(iequals("\xC9", "\xE9"));  // Latin-1 letters stay apart in any locale
    EXPECT_EQ(widen(std::string_view("a\0\xE9\xFF", 4)), std::wstring(L"a\0\u00E9\u00FF", 4));
}

TEST(Waitables, EventsSemaphoresAndTimeouts) {
    Event autoev, manual(true);
    Waitable* both[] = {&autoev, &manual};
    EXPECT_EQ(wait_any(both, 0ms), kWaitTimeout);
    autoev.set();
    autoev.set();  // two sets before a wait still release one wait
    EXPECT_EQ(wait_any(both, 0ms), 0);
    EXPECT_EQ(wait_any(both, 0ms), kWaitTimeout);
    manual.set();
    EXPECT_EQ(wait_any(both, 0ms), 1);
    EXPECT_EQ(wait_any(both, 0ms), 1);
    manual.reset();
    EXPECT_FALSE(wait_one(manual, 0ms));
    autoev.set();
    manual.set();
    EXPECT_EQ(wait_any(both, 0ms), 0);  // the lowest ready index wins

    const int64_t t0 = monotonic_100ns();
    EXPECT_FALSE(wait_one(autoev, 20ms));
    EXPECT_GE(monotonic_100ns() - t0, 200000);

    Semaphore sem(2);
    EXPECT_TRUE(wait_one(sem, 0ms));
    EXPECT_TRUE(wait_one(sem, 0ms));
    EXPECT_FALSE(wait_one(sem, 0ms));
    // Waiters without a timeout, woken from another thread.
    std::thread releaser([&] {
        sem.release(3);
        std::this_thread::sleep_for(50ms);
        sem.release(1);
    });
    OnThreads(4, [&] { EXPECT_TRUE(wait_one(sem)); });
    releaser.join();
    EXPECT_FALSE(wait_one(sem, 0ms));
}

// One-shot advice fires once, not before its time and not after Unadvise;
// periodic advice keeps releasing until the clock goes.
TEST(ReferenceClock, OneShotAndPeriodicAdvice) {
    Semaphore sem;
    {
        auto clock = ReferenceClock::Create();
        const int64_t now = Now(*clock);
        Event ev;
        ReferenceClock::Cookie cookie = 0;
        ASSERT_EQ(clock->AdviseTime(now, 200000, &ev, &cookie), 0);  // 20 ms
        ASSERT_TRUE(wait_one(ev, 10s));
        EXPECT_GE(monotonic_100ns(), now + 200000);
        EXPECT_FALSE(wait_one(ev, 30ms));                               // once only
        EXPECT_NE(clock->Unadvise(cookie), 0);                          // already spent
        ASSERT_EQ(clock->AdviseTime(now, 100000000, &ev, &cookie), 0);  // 10 s ahead
        ASSERT_EQ(clock->Unadvise(cookie), 0);
        EXPECT_FALSE(wait_one(ev, 50ms));
        ASSERT_EQ(clock->AdviseTime(0, now - 1, &ev, &cookie), 0);  // past: at once
        EXPECT_TRUE(wait_one(ev, 10s));
        EXPECT_NE(clock->AdviseTime(0, 1, nullptr, &cookie), 0);

        ASSERT_EQ(clock->AdvisePeriodic(now, 20000, &sem, &cookie), 0);  // 2 ms
        for (int i = 0; i < 10; ++i) ASSERT_TRUE(wait_one(sem, 10s)) << i;
        EXPECT_NE(clock->AdvisePeriodic(now, 0, &sem, &cookie), 0);
        // A second clock shares the timer thread but not the advices.
        auto other = ReferenceClock::Create();
        ASSERT_EQ(other->AdviseTime(now, 0, &ev, &cookie), 0);
        EXPECT_TRUE(wait_one(ev, 10s));
    }
    while (wait_one(sem, 0ms)) {
    }
    EXPECT_FALSE(wait_one(sem, 30ms));
}

TEST(ReferenceClock, AlarmFiresOnceAtItsLatestTimeAndNotWhenCancelled) {
    auto clock = ReferenceClock::Create();
    auto alarm = clock->CreateAlarm();
    int64_t now = Now(*clock);
    ASSERT_EQ(alarm->Set(now + 1000000), 0);  // 100 ms, then moved to 20 ms
    ASSERT_EQ(alarm->Set(now + 200000), 0);
    ASSERT_TRUE(wait_one(*alarm, 2s));
    EXPECT_GE(Now(*clock), now + 200000);
    EXPECT_FALSE(wait_one(*alarm, 150ms));  // once, and the first time is gone
    // An expiry nobody took is dropped by re-arming or cancelling.
    for (int cancel = 0; cancel < 2; ++cancel) {
        now = Now(*clock);
        ASSERT_EQ(alarm->Set(now - 1), 0);
        std::this_thread::sleep_for(5ms);
        ASSERT_EQ(cancel ? alarm->Cancel() : alarm->Set(now + 100000000), 0);
        EXPECT_FALSE(wait_one(*alarm, 20ms)) << cancel;
    }
    ASSERT_EQ(alarm->Set(0), 0);  // the clock's origin: long past
    EXPECT_TRUE(wait_one(*alarm, 1s));
    EXPECT_NE(alarm->Set(-1), 0);
}

// Times at the far end of the range stand for "never": every conversion
// saturates, so the timer thread sleeps on them instead of spinning, and
// the advices around them keep their times.
TEST(ReferenceClock, TimesAtTheEndOfTheRangeMeanNever) {
    auto clock = ReferenceClock::Create();
    auto alarm = clock->CreateAlarm();
    Event never, soon;
    Semaphore once;
    ReferenceClock::Cookie far = 0, cookie = 0, periodic = 0;
    const int64_t now = Now(*clock);
    ASSERT_EQ(clock->AdviseTime(0, INT64_MAX, &never, &far), 0);
    ASSERT_EQ(clock->AdviseTime(INT64_MAX / 2, INT64_MAX / 2, &never, &cookie), 0);
    // Fires at its start; the next period lies beyond the range.
    ASSERT_EQ(clock->AdvisePeriodic(now, INT64_MAX - 1, &once, &periodic), 0);
    ASSERT_EQ(alarm->Set(INT64_MAX), 0);
    EXPECT_TRUE(wait_one(once, 10s));
    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        soon.set();
    });
    EXPECT_TRUE(wait_one(soon, Timeout::max() - Timeout(1)));  // as good as infinite
    setter.join();

    // A spinning thread would burn most of this window; a sleeping one none.
    auto cpu = [] {
        timespec ts{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return ts.tv_sec * 1000000000LL + ts.tv_nsec;
    };
    const int64_t cpu0 = cpu();
    ASSERT_EQ(clock->AdviseTime(Now(*clock), 200000, &soon, &cookie), 0);
    EXPECT_TRUE(wait_one(soon, 10s));
    EXPECT_FALSE(wait_one(never, 400ms));
    EXPECT_FALSE(wait_one(once, 0ms));
    EXPECT_FALSE(wait_one(*alarm, 0ms));
    EXPECT_LT(cpu() - cpu0, 40000000) << "ns of CPU while idle";
    EXPECT_EQ(clock->Unadvise(far), 0);
    EXPECT_EQ(clock->Unadvise(periodic), 0);
}

// More threads than cores, so holders get preempted and waiters reach the
// sleeping path as well as the spinning one.
TEST(CriticalSection, ExcludesUnderContentionAndUnlockWakesASleeper) {
    CriticalSection cs;
    long counter = 0;
    OnThreads(6, [&] {
        for (int i = 0; i < 50000; ++i) {
            std::lock_guard lock(cs);
            ++counter;
        }
    });
    EXPECT_EQ(counter, 300000);

    cs.lock();
    std::thread waiter([&] {
        std::lock_guard lock(cs);
        ++counter;
    });
    std::this_thread::sleep_for(30ms);  // long past any spinning
    EXPECT_FALSE(cs.try_lock());
    EXPECT_EQ(counter, 300000);
    cs.unlock();
    waiter.join();
    EXPECT_EQ(counter, 300001);
    EXPECT_TRUE(cs.try_lock());
    cs.unlock();
}

