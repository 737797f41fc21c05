#pragma once
// The figures a latency benchmark prints: median, 99th percentile and worst.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vemx_bench {

struct Stats {
    double p50, p99, max;
};

// Samples divided by `unit` (10000.0 turns 100 ns ticks into ms).
inline Stats percentiles(std::vector<int64_t> v, double unit) {
    if (v.empty()) return {0, 0, 0};
    std::sort(v.begin(), v.end());
    auto at = [&](double q) {
        return static_cast<double>(v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))]) /
               unit;
    };
    return {at(0.5), at(0.99), static_cast<double>(v.back()) / unit};
}

}  // namespace vemx_bench
