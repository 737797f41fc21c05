#pragma once
// Runs a test once per SIMD path of the library, restoring the path after.
#include <gtest/gtest.h>

#include <string>

#include "video/ccvt.h"

namespace vemx_test {

class SimdPathTest : public ::testing::TestWithParam<vemx::ccvt::SimdPath> {
  protected:
    void SetUp() override {
        saved_ = vemx::ccvt::ActivePath();
        if (!vemx::ccvt::SelectPath(GetParam()))
            GTEST_SKIP() << "the processor cannot run this path";
    }
    void TearDown() override { vemx::ccvt::SelectPath(saved_); }

  private:
    vemx::ccvt::SimdPath saved_{};
};

inline const char* NameOf(vemx::ccvt::SimdPath path) {
    switch (path) {
        case vemx::ccvt::SimdPath::Avx2:
            return "Avx2";
        case vemx::ccvt::SimdPath::Ssse3:
            return "Ssse3";
        default:
            return "Sse2";
    }
}

inline std::string PathName(const ::testing::TestParamInfo<vemx::ccvt::SimdPath>& info) {
    return NameOf(info.param);
}

inline constexpr vemx::ccvt::SimdPath kAllPaths[] = {
    vemx::ccvt::SimdPath::Sse2, vemx::ccvt::SimdPath::Ssse3, vemx::ccvt::SimdPath::Avx2};

}  // namespace vemx_test

#define VEMX_ALL_SIMD_PATHS(fixture)                                                 \
    INSTANTIATE_TEST_SUITE_P(, fixture, ::testing::ValuesIn(::vemx_test::kAllPaths), \
                             ::vemx_test::PathName)

// For services whose 128-bit kernels do not differ between Sse2 and Ssse3.
#define VEMX_SSE2_AND_AVX2_PATHS(fixture)                                                     \
    INSTANTIATE_TEST_SUITE_P(                                                                 \
        , fixture, ::testing::Values(vemx::ccvt::SimdPath::Sse2, vemx::ccvt::SimdPath::Avx2), \
        ::vemx_test::PathName)
