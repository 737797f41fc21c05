#pragma once
// The two futex calls the platform's own waiting primitives are built on.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>

namespace vemx::platform {

// Sleeps while `word` holds `expected`.  Returns on a wake, at once when
// the value already differs, or spuriously: callers re-test their condition.
inline void futex_wait(std::atomic<uint32_t>& word, uint32_t expected) noexcept {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr,
            nullptr, 0);
}

inline void futex_wake(std::atomic<uint32_t>& word, int count) noexcept {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr,
            nullptr, 0);
}

inline void futex_wake_all(std::atomic<uint32_t>& word) noexcept {
    futex_wake(word, INT_MAX);
}

}  // namespace vemx::platform
