#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/clock.h"
#include "platform/refclock.h"

using namespace vemx::platform;
using namespace std::chrono_literals;

TEST(ReferenceClock, OneShotAdviceFiresOnceNotBeforeItsTimeAndNotAfterUnadvise) {
    auto clock = ReferenceClock::Create();
    int64_t now = 0;
    ASSERT_EQ(clock->GetTime(&now), 0);

    Event ev;
    ReferenceClock::Cookie cookie = 0;
    ASSERT_EQ(clock->AdviseTime(now, 200000, &ev, &cookie), 0);  // 20 ms
    ASSERT_TRUE(wait_one(ev, 10s));
    EXPECT_GE(monotonic_100ns(), now + 200000);
    EXPECT_FALSE(wait_one(ev, 30ms));       // once only
    EXPECT_NE(clock->Unadvise(cookie), 0);  // already spent

    ASSERT_EQ(clock->AdviseTime(now, 100000000, &ev, &cookie), 0);  // 10 s ahead
    ASSERT_EQ(clock->Unadvise(cookie), 0);
    EXPECT_FALSE(wait_one(ev, 50ms));

    // A time in the past fires at once.
    ASSERT_EQ(clock->AdviseTime(0, now - 1, &ev, &cookie), 0);
    EXPECT_TRUE(wait_one(ev, 10s));
    EXPECT_NE(clock->AdviseTime(0, 1, nullptr, &cookie), 0);
}

TEST(ReferenceClock, PeriodicAdviceKeepsReleasingUntilTheClockGoes) {
    Semaphore sem;
    {
        auto clock = ReferenceClock::Create();
        int64_t now = 0;
        clock->GetTime(&now);
        ReferenceClock::Cookie cookie = 0;
        ASSERT_EQ(clock->AdvisePeriodic(now, 20000, &sem, &cookie), 0);  // 2 ms
        for (int i = 0; i < 10; ++i) ASSERT_TRUE(wait_one(sem, 10s)) << i;
        EXPECT_NE(clock->AdvisePeriodic(now, 0, &sem, &cookie), 0);

        // A second clock shares the timer thread but not the advices.
        auto other = ReferenceClock::Create();
        Event ev;
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
    int64_t now = 0;
    ASSERT_EQ(clock->GetTime(&now), 0);

    ASSERT_EQ(alarm->Set(now + 1000000), 0);  // 100 ms, then moved to 20 ms
    ASSERT_EQ(alarm->Set(now + 200000), 0);
    ASSERT_TRUE(wait_one(*alarm, 2s));
    int64_t fired = 0;
    clock->GetTime(&fired);
    EXPECT_GE(fired, now + 200000);
    EXPECT_FALSE(wait_one(*alarm, 150ms));  // once, and the first time is gone

    // An expiry nobody took is dropped by re-arming or cancelling.
    for (int cancel = 0; cancel < 2; ++cancel) {
        clock->GetTime(&now);
        ASSERT_EQ(alarm->Set(now - 1), 0);
        std::this_thread::sleep_for(5ms);
        ASSERT_EQ(cancel ? alarm->Cancel() : alarm->Set(now + 100000000), 0);
        EXPECT_FALSE(wait_one(*alarm, 20ms)) << cancel;
    }
    ASSERT_EQ(alarm->Set(0), 0);  // the clock's origin: long past
    EXPECT_TRUE(wait_one(*alarm, 1s));
    EXPECT_NE(alarm->Set(-1), 0);
}
