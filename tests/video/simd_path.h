#pragma once
// Runs a test once per SIMD path of the library, restoring the path after.
#include <gtest/gtest.h>

#include <string>

#include "video/ccvt.h"

namespace vemx_test {

using vemx::ccvt::SimdPath;
inline constexpr SimdPath kAllPaths[] = {SimdPath::Sse2, SimdPath::Ssse3, SimdPath::Avx2,
                                         SimdPath::Avx512};

inline const char* NameOf(SimdPath p) {
    switch (p) {
        case SimdPath::Avx512:
            return "Avx512";
        case SimdPath::Avx2:
            return "Avx2";
        case SimdPath::Ssse3:
            return "Ssse3";
        default:
            return "Sse2";
    }
}

// Puts the path that was active back when it goes.
struct PathRestorer {
    SimdPath saved = vemx::ccvt::ActivePath();
    ~PathRestorer() { vemx::ccvt::SelectPath(saved); }
};

class SimdPathTest : public ::testing::TestWithParam<SimdPath> {
  protected:
    void SetUp() override {
        if (!vemx::ccvt::SelectPath(GetParam()))
            GTEST_SKIP() << "the processor cannot run this path";
    }
    PathRestorer restorer_;
};

}  // namespace vemx_test

#define VEMX_ALL_SIMD_PATHS(fixture)                            \
    INSTANTIATE_TEST_SUITE_P(                                   \
        , fixture, ::testing::ValuesIn(::vemx_test::kAllPaths), \
        [](const auto& info) { return std::string(::vemx_test::NameOf(info.param)); })
