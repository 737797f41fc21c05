#pragma once
// The deadline arithmetic of the media queue: the running offset estimate
// and the queue time at which a packet falls due.
#include <array>
#include <cstddef>
#include <cstdint>

namespace vemx::mediaqueue {

// Running mean over the last 30 samples.
class MovingAverage {
  public:
    static constexpr size_t kCapacity = 30;
    void reset(double v);
    void add(double v);
    double mean() const { return sum_ / static_cast<double>(kCapacity); }

  private:
    std::array<double, kCapacity> samples_{};
    size_t oldest_ = 0;
    double sum_ = 0;
};

// deadline = remote * 10^7 + now - delay * 10000, truncated; saturates
// instead of overflowing.
int64_t Deadline(double remote, int64_t now, int32_t delay_ms) noexcept;

// The earliest queue time at which a packet with this pts is due (its
// deadline reaches pts), or INT64_MAX when that lies beyond the clock's range.
int64_t DueTime(double remote, int32_t delay_ms, int64_t pts) noexcept;

}  // namespace vemx::mediaqueue
