#pragma once
// Monotonic time in 100-ns units, the unit of every media time in vemx.
#include <cstdint>
#include <ctime>

namespace vemx::platform {

inline int64_t monotonic_100ns() noexcept {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100;
}

// Times of the clock at or past this many 100-ns units lie beyond what
// CLOCK_MONOTONIC can express in nanoseconds (about 292 years): they are
// never reached, and waits for them have no deadline.
inline constexpr int64_t kNever100ns = INT64_MAX / 100;

// a + b, clamped to the int64 range.
inline int64_t saturating_add(int64_t a, int64_t b) noexcept {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
    return r;
}

// a - b, clamped to the int64 range.
inline int64_t saturating_sub(int64_t a, int64_t b) noexcept {
    int64_t r;
    if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? INT64_MAX : INT64_MIN;
    return r;
}

// a * b, clamped to the int64 range.
inline int64_t saturating_mul(int64_t a, int64_t b) noexcept {
    int64_t r;
    if (__builtin_mul_overflow(a, b, &r)) return (a < 0) != (b < 0) ? INT64_MIN : INT64_MAX;
    return r;
}

}  // namespace vemx::platform
