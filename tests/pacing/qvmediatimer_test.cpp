#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "platform/waitable.h"
#include "vemx/qvmediatimer.h"

using namespace std::chrono_literals;

namespace {

struct Tick {
    int64_t time, lateness;
    std::thread::id thread;
};

// Collects ticks; stalls 100 ms in tick number stall_at; signals after `wanted`.
struct Sink {
    std::mutex lock;
    std::vector<Tick> ticks;
    size_t wanted = 4, stall_at = 0;
    vemx::platform::Event enough;

    static int Callback(int64_t time, int64_t lateness, void* ctx) {
        auto* s = static_cast<Sink*>(ctx);
        std::unique_lock g(s->lock);
        s->ticks.push_back({time, lateness, std::this_thread::get_id()});
        const size_t n = s->ticks.size();
        g.unlock();
        if (n == s->stall_at) std::this_thread::sleep_for(100ms);
        if (n == s->wanted) s->enough.set();
        return 0;
    }
    std::vector<Tick> Ticks() {
        std::lock_guard g(lock);
        return ticks;
    }
    bool Wait() { return vemx::platform::wait_one(enough, 10s); }
    // A timer feeding this sink at num/den ticks a second.
    void* Start(int32_t num, int32_t den) {
        void* t = qvmediatimer_new();
        qvmediatimer_set_rate(t, num, den);
        qvmediatimer_set_callback(t, &Sink::Callback, this);
        EXPECT_EQ(qvmediatimer_init(t), 1);
        return t;
    }
    // Runs a timer until `wanted` ticks arrived; no tick may follow its delete.
    void Run(int32_t num, int32_t den) {
        void* t = Start(num, den);
        EXPECT_TRUE(Wait());
        qvmediatimer_delete(t);
        const size_t after = Ticks().size();
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(Ticks().size(), after);
    }
};

}  // namespace

TEST(QvMediaTimer, TicksMissedInAStallComeTogetherInOrder) {
    // 25 a second; tick 1 (40 ms) stalls until about 140 ms, when the ticks
    // due at 80 and 120 ms are computed at one wake-up.
    Sink sink;
    sink.wanted = 5;
    sink.stall_at = 2;
    sink.Run(25, 1);
    const auto ticks = sink.Ticks();
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(ticks[i].time, static_cast<int64_t>(i) * 400000);
    EXPECT_LE(ticks[2].lateness, -150000);
    EXPECT_EQ(ticks[3].lateness - ticks[2].lateness, 400000);
}

TEST(QvMediaTimer, BadInputIsRefusedAndTheDefaultRateTicksOnItsOwnThread) {
    vemx_test::LogCapture log;
    qvmediatimer_set_rate(nullptr, 1, 1);
    qvmediatimer_set_callback(nullptr, &Sink::Callback, nullptr);
    EXPECT_EQ(qvmediatimer_init(nullptr), 0);
    qvmediatimer_delete(nullptr);

    void* t = qvmediatimer_new();
    EXPECT_EQ(qvmediatimer_init(t), 0);  // no callback: nothing starts
    qvmediatimer_set_rate(t, 0, 1);
    qvmediatimer_set_rate(t, 1000, -1);
    EXPECT_EQ(log.count_containing("[vemx][ERROR]: qvmediatimer("), 2u);
    EXPECT_EQ(log.count_containing("[qvmediatimer_set_rate] invalid rate 1000/-1\n"), 1u);
    Sink sink;
    qvmediatimer_set_callback(t, &Sink::Callback, &sink);
    EXPECT_EQ(qvmediatimer_init(t), 1);
    EXPECT_EQ(qvmediatimer_init(t), 1);
    ASSERT_TRUE(sink.Wait());
    qvmediatimer_delete(t);
    EXPECT_EQ(log.count_containing("LazyWindow service begin."), 1u);  // one thread
    // The refused rates changed nothing: NTSC frame periods, on the timer's own thread.
    const auto ticks = sink.Ticks();
    const int64_t want[] = {0, 333666, 667333, 1001000};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(ticks[i].time, want[i]);
        EXPECT_LE(ticks[i].lateness, 0);
        EXPECT_EQ(ticks[i].thread, ticks[0].thread);
    }
    EXPECT_NE(ticks[0].thread, std::this_thread::get_id());
}

TEST(QvMediaTimer, ANewNumeratorTakesEffectAtOnceFromTheSameStart) {
    Sink sink;
    sink.wanted = 6;
    const auto start = std::chrono::steady_clock::now();
    void* t = sink.Start(1, 1);  // one tick a second
    std::this_thread::sleep_for(20ms);
    qvmediatimer_set_rate(t, 100, 1);  // ticks 1..5 are due by 50 ms
    ASSERT_TRUE(sink.Wait());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 800ms);
    qvmediatimer_delete(t);
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(sink.Ticks()[i].time, static_cast<int64_t>(i) * 100000);
}

TEST(QvMediaTimer, DeletingWhileTickingFastStopsTheCallbacks) {
    for (int round = 0; round < 5; ++round) {
        Sink sink;
        sink.wanted = 20;
        sink.Run(2000, 1);
    }
}

// Deleting the timer from its own callback: an error line instead of an
// abort, no tick after the delete, and the thread still ends.
TEST(QvMediaTimer, DeleteFromItsOwnCallbackIsDeferredAndNoTickFollows) {
    vemx_test::LogCapture log;
    struct Self {
        void* timer = qvmediatimer_new();
        std::atomic<int> ticks{0};
    } self;
    qvmediatimer_set_rate(self.timer, 1000, 1);
    qvmediatimer_set_callback(
        self.timer,
        [](int64_t, int64_t, void* ctx) {
            auto* s = static_cast<Self*>(ctx);
            if (++s->ticks == 3) qvmediatimer_delete(s->timer);
            return 0;
        },
        &self);
    ASSERT_EQ(qvmediatimer_init(self.timer), 1);
    for (int i = 0; i < 1000 && log.count_containing("LazyWindow service ended.") == 0; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(log.count_containing("LazyWindow service ended."), 1u);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(self.ticks, 3);
    EXPECT_EQ(log.count_containing("[qvmediatimer_delete] called from the timer's callback; "
                                   "deleted once the callback has returned\n"),
              1u);
}
