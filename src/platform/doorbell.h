#pragma once
// A hand-over signal between two threads that take turns.  The waiter
// spins for a bounded time before it sleeps in the kernel, and the ringer
// enters the kernel only when somebody sleeps.  When the other side answers
// within microseconds, as a feeder pushing a file from memory does, neither
// thread is descheduled; a virtual machine charges tens of microseconds for
// every sleep and wake-up pair.
#include <atomic>
#include <chrono>
#include <cstdint>

namespace vemx::platform {

// Kept on a cache line of its own: the waiter spins reading it, and must
// not steal the line of whatever the other thread is busy writing.
class alignas(64) Doorbell {
  public:
    // The value to hand to wait() later; take it before the condition that
    // the ring will change is tested, so no ring can be missed.
    uint32_t ticket() const noexcept { return seq_.load(std::memory_order_seq_cst); }

    void ring() noexcept;

    // Whether a waiter has gone to sleep (and a ring would cost it a
    // wake-up latency).
    bool has_sleepers() const noexcept { return sleepers_.load(std::memory_order_seq_cst) != 0; }

    // Returns once the doorbell has rung since `ticket` was taken: at once
    // if it already has, after spinning at most `spin` if it rings by then,
    // else after sleeping.  Spurious returns are possible; callers re-test
    // their condition.
    void wait(uint32_t ticket, std::chrono::nanoseconds spin) noexcept;

  private:
    std::atomic<uint32_t> seq_{0};
    std::atomic<uint32_t> sleepers_{0};
};

// Whether spinning can ever pay: not when the process may run on one
// processor only, where the side being waited for cannot run meanwhile.
// Decided once, from the affinity the process starts with.
bool SpinningCanPay() noexcept;

// How long a waiter should spin, learnt from how long recent waits took.
// Spinning pays when the answer usually comes within the limit; otherwise
// (a live source delivering every few milliseconds) the waiter sleeps at
// once and burns nothing.
class SpinBudget {
  public:
    // Starts out spinning as long as allowed, and learns from there.
    explicit SpinBudget(std::chrono::nanoseconds limit) noexcept
        : limit_ns_(limit.count()), typical_ns_(limit_ns_ / 2) {}

    std::chrono::nanoseconds next() const noexcept;
    void record(std::chrono::nanoseconds waited) noexcept;

  private:
    int64_t limit_ns_;
    int64_t typical_ns_;  // running average of recent waits
};

}  // namespace vemx::platform
