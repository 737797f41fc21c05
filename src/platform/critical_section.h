#pragma once
// A lock for short critical sections, in the manner of a Win32 critical
// section: taking it when free costs one atomic compare-exchange and giving
// it back one exchange, with no system call.  On contention it spins a
// little, then sleeps on a futex.  Meets the Lockable requirements, so it
// works with std::lock_guard and std::unique_lock.
#include <atomic>
#include <cstdint>

namespace vemx::platform {

// Whether spinning on a contended lock can ever pay.
bool SpinningCanPay() noexcept;

class CriticalSection {
  public:
    CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void lock() noexcept {
        uint32_t free = kFree;
        if (!state_.compare_exchange_strong(free, kHeld, std::memory_order_acquire)) lock_slow();
    }
    bool try_lock() noexcept {
        uint32_t free = kFree;
        return state_.compare_exchange_strong(free, kHeld, std::memory_order_acquire);
    }
    void unlock() noexcept {
        if (state_.exchange(kFree, std::memory_order_release) == kHeldWithSleepers) wake_one();
    }

  private:
    static constexpr uint32_t kFree = 0, kHeld = 1, kHeldWithSleepers = 2;
    void lock_slow() noexcept;
    void wake_one() noexcept;

    std::atomic<uint32_t> state_{kFree};
};

}  // namespace vemx::platform
