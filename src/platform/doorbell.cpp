#include "platform/doorbell.h"

#include <immintrin.h>
#include <sched.h>

#include <algorithm>

#include "platform/futex.h"

namespace vemx::platform {

bool SpinningCanPay() noexcept {
    static const bool can = [] {
        cpu_set_t set;
        return sched_getaffinity(0, sizeof set, &set) != 0 || CPU_COUNT(&set) > 1;
    }();
    return can;
}

void Doorbell::ring() noexcept {
    // Both sides use sequentially consistent order: either the waiter sees
    // the new value before sleeping, or the ringer sees it registered.
    seq_.fetch_add(1, std::memory_order_seq_cst);
    if (sleepers_.load(std::memory_order_seq_cst) != 0) futex_wake_all(seq_);
}

void Doorbell::wait(uint32_t ticket, std::chrono::nanoseconds spin) noexcept {
    if (seq_.load(std::memory_order_acquire) != ticket) return;
    if (spin.count() > 0 && SpinningCanPay()) {
        const auto until = std::chrono::steady_clock::now() + spin;
        for (;;) {
            // Reading the clock costs more than a pause; look at it seldom.
            for (int i = 0; i < 32; ++i) {
                _mm_pause();
                if (seq_.load(std::memory_order_acquire) != ticket) return;
            }
            if (std::chrono::steady_clock::now() >= until) break;
        }
    }
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    while (seq_.load(std::memory_order_seq_cst) == ticket) futex_wait(seq_, ticket);
    sleepers_.fetch_sub(1, std::memory_order_seq_cst);
}

std::chrono::nanoseconds SpinBudget::next() const noexcept {
    // Spin a little longer than a typical wait, but only when typical waits
    // are short enough for spinning to beat a sleep.
    if (typical_ns_ >= limit_ns_) return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(std::min(limit_ns_, typical_ns_ * 2 + 2000));
}

void SpinBudget::record(std::chrono::nanoseconds waited) noexcept {
    // One long wait (a decoder opening, a page fault) must not stop the
    // spinning for the many short waits around it: count it as just long.
    const int64_t sample = std::min(waited.count(), 2 * limit_ns_);
    typical_ns_ += (sample - typical_ns_) / 8;
}

}  // namespace vemx::platform
