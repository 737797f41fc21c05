#include "pacing/media_deadline.h"

#include <cmath>
#include <limits>

namespace vemx::mediaqueue {

namespace {

int64_t Saturate(double v) noexcept {
    constexpr double kLimit = 9223372036854775808.0;                // 2^63
    if (std::isnan(v)) return std::numeric_limits<int64_t>::min();  // never due
    if (v >= kLimit) return std::numeric_limits<int64_t>::max();
    if (v <= -kLimit) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(v);  // truncates toward zero
}

int64_t SaturatingAdd(int64_t a, int64_t b) noexcept {
    int64_t r;
    if (!__builtin_add_overflow(a, b, &r)) return r;
    return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

}  // namespace

void MovingAverage::reset(double v) {
    samples_.fill(v);
    oldest_ = 0;
    sum_ = static_cast<double>(kCapacity) * v;
}

void MovingAverage::add(double v) {
    sum_ -= samples_[oldest_];
    samples_[oldest_] = v;
    sum_ += v;
    oldest_ = (oldest_ + 1) % kCapacity;
}

int64_t Deadline(double remote, int64_t now, int32_t delay_ms) noexcept {
    const int64_t delay = static_cast<int64_t>(delay_ms) * 10000;
    return Saturate(remote * 1e7 + static_cast<double>(now) - static_cast<double>(delay));
}

int64_t DueTime(double remote, int32_t delay_ms, int64_t pts) noexcept {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    if (std::isnan(remote)) return kMax;
    auto due = [&](int64_t now) { return Deadline(remote, now, delay_ms) >= pts; };
    // The deadline never decreases as now grows, so bracket the answer
    // around the algebraic solution and narrow it down; rounding puts the
    // guess at most a unit or two off for any realistic time.
    const int64_t guess = Saturate(std::ceil(static_cast<double>(pts) - remote * 1e7 +
                                             static_cast<double>(delay_ms) * 10000.0));
    int64_t lo, hi;
    if (due(guess)) {
        hi = guess;
        for (int64_t step = 1;; step *= 2) {
            lo = SaturatingAdd(guess, -step);
            if (!due(lo)) break;
            if (lo == kMin || step > kMax / 2) return lo;
            hi = lo;
        }
    } else {
        lo = guess;
        for (int64_t step = 1;; step *= 2) {
            hi = SaturatingAdd(guess, step);
            if (due(hi)) break;
            if (hi == kMax || step > kMax / 2) return kMax;
            lo = hi;
        }
    }
    while (hi - lo > 1) {
        const int64_t mid = lo + (hi - lo) / 2;
        (due(mid) ? hi : lo) = mid;
    }
    return hi;
}

}  // namespace vemx::mediaqueue
