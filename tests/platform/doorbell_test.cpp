#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/doorbell.h"

using namespace vemx::platform;
using namespace std::chrono_literals;

// Two threads take turns many times, once sleeping at every turn and once
// spinning: a ring that slipped between ticket() and the sleep would hang
// the exchange, and a turn taken early would break the strict alternation.
TEST(Doorbell, PingPongNeverLosesARing) {
    for (const std::chrono::nanoseconds spin : {0ns, 100000ns}) {
        Doorbell ping, pong;
        int turn = 0;  // written by one side at a time, published by the rings
        std::atomic<int> errors{0};
        constexpr int kTurns = 20000;
        std::thread other([&] {
            for (int i = 0; i < kTurns; ++i) {
                const uint32_t t = ping.ticket();
                while (std::atomic_ref(turn).load() != 2 * i + 1) ping.wait(t, spin);
                std::atomic_ref(turn).store(2 * i + 2);
                pong.ring();
            }
        });
        for (int i = 0; i < kTurns; ++i) {
            const uint32_t t = pong.ticket();
            if (std::atomic_ref(turn).load() != 2 * i) ++errors;
            std::atomic_ref(turn).store(2 * i + 1);
            ping.ring();
            while (std::atomic_ref(turn).load() != 2 * i + 2) pong.wait(t, spin);
        }
        other.join();
        EXPECT_EQ(errors.load(), 0);
        EXPECT_EQ(turn, 2 * kTurns);
    }
}

TEST(Doorbell, RingBeforeWaitReturnsAtOnce) {
    Doorbell bell;
    const uint32_t t = bell.ticket();
    bell.ring();
    const auto start = std::chrono::steady_clock::now();
    bell.wait(t, 10s);  // would spin for ten seconds if the ring were missed
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(SpinBudget, SpinsOnlyWhileWaitsAreShort) {
    SpinBudget budget(50us);
    EXPECT_GT(budget.next(), 0ns);
    for (int i = 0; i < 40; ++i) budget.record(2ms);  // a live source
    EXPECT_EQ(budget.next(), 0ns);
    for (int i = 0; i < 40; ++i) budget.record(3us);  // a feeder pushing from memory
    EXPECT_GT(budget.next(), 3us);
    EXPECT_LE(budget.next(), 50us);
}
