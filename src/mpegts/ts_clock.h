#pragma once
// A transport stream's timestamps count 90 kHz ticks in 33 bits and wrap
// every 26.5 hours.  TsClock follows one stream across any number of wraps:
// each timestamp is read as the value nearest the last one followed.
#include <cstdint>

namespace vemx::tsclock {

class TsClock {
  public:
    static constexpr int64_t kPeriod = int64_t{1} << 33;

    // `origin` is where the stream starts, in the stream's ticks; the first
    // timestamp followed is read as the one nearest to it.
    explicit TsClock(int64_t origin = 0) noexcept : last_(origin) {}

    // Takes `ts` (any value congruent to the real one modulo the period, as
    // the wire or libavformat's own correction gives it) as the stream's new
    // position and returns it unwrapped.  `jump` is set to how far that is
    // from the previous position (0 for the first).
    int64_t Follow(int64_t ts, int64_t& jump) noexcept;
    // `ts` unwrapped near the current position, which stays.
    int64_t Place(int64_t ts) const noexcept { return Nearest(ts, last_); }

    static int64_t Nearest(int64_t ts, int64_t reference) noexcept;

  private:
    int64_t last_;
    bool started_ = false;
};

}  // namespace vemx::tsclock
