#include <gtest/gtest.h>

#include <chrono>

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
