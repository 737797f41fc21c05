#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/critical_section.h"

using vemx::platform::CriticalSection;
using namespace std::chrono_literals;

// More threads than cores, so holders get preempted and waiters reach the
// sleeping path as well as the spinning one.
TEST(CriticalSection, ExcludesUnderContention) {
    CriticalSection cs;
    long counter = 0;
    constexpr int kThreads = 6, kRounds = 50000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                std::lock_guard lock(cs);
                ++counter;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, long{kThreads} * kRounds);
}

// A waiter that gave up spinning and slept is woken by the unlock.
TEST(CriticalSection, SleepingWaiterIsWokenByUnlock) {
    CriticalSection cs;
    cs.lock();
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        std::lock_guard lock(cs);
        got = true;
    });
    std::this_thread::sleep_for(30ms);  // long past any spinning
    EXPECT_FALSE(got.load());
    EXPECT_FALSE(cs.try_lock());
    cs.unlock();
    waiter.join();
    EXPECT_TRUE(got.load());
    EXPECT_TRUE(cs.try_lock());
    cs.unlock();
}
