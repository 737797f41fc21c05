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
        if (!vemx::ccvt::SelectPath(GetParam())) GTEST_SKIP() << "the processor has no AVX2";
    }
    void TearDown() override { vemx::ccvt::SelectPath(saved_); }

private:
    vemx::ccvt::SimdPath saved_{};
};

inline std::string PathName(const ::testing::TestParamInfo<vemx::ccvt::SimdPath>& info) {
    return info.param == vemx::ccvt::SimdPath::Avx2 ? "Avx2" : "Sse";
}

}  // namespace vemx_test

#define VEMX_BOTH_SIMD_PATHS(fixture)                                                                    \
    INSTANTIATE_TEST_SUITE_P(, fixture,                                                                  \
                             ::testing::Values(vemx::ccvt::SimdPath::Sse, vemx::ccvt::SimdPath::Avx2), \
                             ::vemx_test::PathName)
