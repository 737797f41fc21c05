// The one road of every log line: flood limiting, and sinks that call back
// into the library or replace themselves while lines flow on other threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/watchdog.h"
#include "platform/log_limiter.h"
#include "platform/log_sink.h"

using vemx::platform::emit_line;
using vemx::platform::RepeatLimiter;
using vemx::platform::set_log_sink;

namespace {

constexpr int64_t kSecond = RepeatLimiter::kWindow;

// Feeds `line` at `now`; returns what went out, summaries first.
std::vector<std::string> Feed(RepeatLimiter& limiter, const std::string& line, int64_t now) {
    std::vector<std::string> out;
    if (limiter.Admit(line, now, out)) out.push_back(line);
    return out;
}

struct Lines {
    std::mutex lock;
    std::vector<std::string> lines;
    static void Sink(const char* line, void* ctx) {
        auto* self = static_cast<Lines*>(ctx);
        std::lock_guard g(self->lock);
        self->lines.emplace_back(line);
    }
};

}  // namespace

// Two floods interleaved, counted apart; a forgotten flood still gets its
// count, and the summary of a longest line stays within one line.
TEST(RepeatLimiter, FloodsAreCountedOncePerSecondEachOnItsOwn) {
    RepeatLimiter limiter;
    const std::string a = std::string(RepeatLimiter::kMaxLine - 1, 'a') + "\n", b = "b\n";
    size_t out = 0;
    for (int i = 0; i < 100; ++i) out += Feed(limiter, a, i).size() + Feed(limiter, b, i).size();
    ASSERT_EQ(out, 2 * RepeatLimiter::kBurst);
    // The next line of any kind, a second later, brings both counts.
    const auto later = Feed(limiter, "c\n", kSecond);
    ASSERT_EQ(later.size(), 3u);
    EXPECT_EQ(later[0].substr(0, 40), "INFO[vemx|log] 90 repeats held back: aaa");
    EXPECT_EQ(later[0].size(), 2047u);
    EXPECT_EQ(later[1], "INFO[vemx|log] 90 repeats held back: b\n");
    // A new window lets a burst through again.
    EXPECT_EQ(Feed(limiter, b, kSecond), std::vector<std::string>{b});

    for (uint64_t i = 0; i < RepeatLimiter::kBurst + 5; ++i) Feed(limiter, b, kSecond);
    std::vector<std::string> out2;
    for (size_t i = 0; i < RepeatLimiter::kTracked; ++i)
        out2.push_back(Feed(limiter, std::to_string(i) + "\n", kSecond + 1).front());
    EXPECT_NE(std::count(out2.begin(), out2.end(), "INFO[vemx|log] 6 repeats held back: b\n"), 0);
}

// A sink may log through the library (the nested line reaches it too, up to
// a bounded depth) and may replace the sink from inside itself.
TEST(LogSink, SinkThatLogsAndSinkThatReplacesItself) {
    vemx_test::Watchdog watchdog("log sink calling back into the library");
    struct Chatty {
        Lines seen;
        int depth = 0;
        static void Sink(const char* line, void* ctx) {
            auto* self = static_cast<Chatty*>(ctx);
            Lines::Sink(line, &self->seen);
            ++self->depth;
            emit_line("nested " + std::to_string(self->depth) + "\n");
        }
    } chatty;
    set_log_sink(&Chatty::Sink, &chatty);
    emit_line("outer\n");
    set_log_sink(nullptr, nullptr);
    ASSERT_GE(chatty.seen.lines.size(), 2u);
    EXPECT_LE(chatty.seen.lines.size(), 8u);
    EXPECT_EQ(chatty.seen.lines[0], "outer\n");
    EXPECT_EQ(chatty.seen.lines[1], "nested 1\n");

    struct Handover {
        Lines first, second;
        static void First(const char* line, void* ctx) {
            auto* self = static_cast<Handover*>(ctx);
            Lines::Sink(line, &self->first);
            set_log_sink(&Handover::Second, self);
            emit_line("from inside\n");
        }
        static void Second(const char* line, void* ctx) {
            Lines::Sink(line, &static_cast<Handover*>(ctx)->second);
        }
    } handover;
    set_log_sink(&Handover::First, &handover);
    emit_line("one\n");
    emit_line("two\n");
    set_log_sink(nullptr, nullptr);
    EXPECT_EQ(handover.first.lines, std::vector<std::string>{"one\n"});
    EXPECT_EQ(handover.second.lines, (std::vector<std::string>{"from inside\n", "two\n"}));
}

// Once set_log_sink returns, the replaced sink is never running: its
// context is marked dead right then, and no later call may find it so.
TEST(LogSink, ReplacedSinkIsNeverCalledAfterTheReplacementReturns) {
    struct Ctx {
        std::atomic<bool> dead{false};
        std::atomic<int> calls{0};
        std::atomic<int> late{0};
        static void Sink(const char*, void* ctx) {
            auto* self = static_cast<Ctx*>(ctx);
            ++self->calls;
            if (self->dead) ++self->late;
        }
    };
    std::vector<std::unique_ptr<Ctx>> ctxs;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; !stop; ++i)
                emit_line("t" + std::to_string(t) + " " + std::to_string(i) + "\n");
        });
    Ctx* previous = nullptr;
    for (int round = 0; round < 50; ++round) {
        ctxs.push_back(std::make_unique<Ctx>());
        set_log_sink(&Ctx::Sink, ctxs.back().get());
        if (previous) previous->dead = true;
        previous = ctxs.back().get();
        std::this_thread::yield();
    }
    set_log_sink(nullptr, nullptr);
    previous->dead = true;
    stop = true;
    for (auto& t : threads) t.join();
    int calls = 0;
    for (const auto& c : ctxs) {
        EXPECT_EQ(c->late, 0);
        calls += c->calls;
    }
    EXPECT_GT(calls, 0);
}
