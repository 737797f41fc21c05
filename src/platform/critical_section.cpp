#include "platform/critical_section.h"

#include <immintrin.h>
#include <sched.h>

#include "platform/futex.h"

namespace vemx::platform {

bool SpinningCanPay() noexcept {
    // Not when the process may run on one processor only: the holder cannot
    // run while we spin.  Decided once, from the affinity at start.
    static const bool can = [] {
        cpu_set_t set;
        return sched_getaffinity(0, sizeof set, &set) != 0 || CPU_COUNT(&set) > 1;
    }();
    return can;
}

void CriticalSection::lock_slow() noexcept {
    // Holders only copy a few kilobytes: waiting a moment usually beats
    // sleeping.
    for (int i = 0; SpinningCanPay() && i < 200; ++i) {
        _mm_pause();
        uint32_t free = kFree;
        if (state_.load(std::memory_order_relaxed) == kFree &&
            state_.compare_exchange_weak(free, kHeld, std::memory_order_acquire))
            return;
    }
    // From here on the lock is taken as "held with sleepers", so that the
    // unlock that follows wakes whoever else may be asleep.
    while (state_.exchange(kHeldWithSleepers, std::memory_order_acquire) != kFree)
        futex_wait(state_, kHeldWithSleepers);
}

void CriticalSection::wake_one() noexcept {
    futex_wake(state_, 1);
}

}  // namespace vemx::platform
