#include "mpegts/ts_clock.h"

namespace vemx::tsclock {

int64_t TsClock::Nearest(int64_t ts, int64_t reference) noexcept {
    // Both residues are in [0, period): their difference cannot overflow.
    int64_t d = (ts & (kPeriod - 1)) - (reference & (kPeriod - 1));
    if (d >= kPeriod / 2) d -= kPeriod;
    if (d < -kPeriod / 2) d += kPeriod;
    return reference + d;
}

int64_t TsClock::Follow(int64_t ts, int64_t& jump) noexcept {
    const int64_t now = Nearest(ts, last_);
    jump = started_ ? now - last_ : 0;
    started_ = true;
    last_ = now;
    return now;
}

}  // namespace vemx::tsclock
