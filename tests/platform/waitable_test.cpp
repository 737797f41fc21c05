#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/waitable.h"

using namespace vemx::platform;
using namespace std::chrono_literals;

TEST(Waitables, AutoResetEventReleasesOneWaiterAndManualStaysSet) {
    Event autoev;
    Event manual(true);
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

    // When several are ready the lowest index wins.
    autoev.set();
    manual.set();
    EXPECT_EQ(wait_any(both, 0ms), 0);
}

TEST(Waitables, SemaphoreCountsAcrossThreads) {
    Semaphore sem(2);
    EXPECT_TRUE(wait_one(sem, 0ms));
    EXPECT_TRUE(wait_one(sem, 0ms));
    EXPECT_FALSE(wait_one(sem, 0ms));

    std::atomic<int> taken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] {
            if (wait_one(sem, 30s)) ++taken;
        });
    sem.release(3);
    std::this_thread::sleep_for(50ms);
    sem.release(1);
    for (auto& t : waiters) t.join();
    EXPECT_EQ(taken.load(), 4);
    EXPECT_FALSE(wait_one(sem, 0ms));
}

TEST(Waitables, TimeoutsElapseAndWakeUpsComeFromOtherThreads) {
    Event ev;
    const int64_t t0 = monotonic_100ns();
    EXPECT_FALSE(wait_one(ev, 20ms));
    EXPECT_GE(monotonic_100ns() - t0, 200000);

    std::thread setter([&] {
        std::this_thread::sleep_for(10ms);
        ev.set();
    });
    EXPECT_TRUE(wait_one(ev));
    setter.join();
}
