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

}  // namespace vemx::platform
