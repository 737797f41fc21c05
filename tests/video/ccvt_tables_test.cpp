// The load-time coefficient tables hold the published integers.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "reference_model.h"
#include "video/ccvt.h"

namespace {

using vemx::ccvt::GetTables;
namespace model = vemx_test::model;

void ExpectAffine(const int16_t (&offset)[3], const int16_t (&m)[3][3], const model::Affine& want) {
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(offset[c], want.offset[c]) << "row " << c;
        for (int j = 0; j < 3; ++j) EXPECT_EQ(m[c][j], want.m[c][j]) << "row " << c << " column " << j;
    }
}

TEST(CcvtTables, StandardRecordsAreTheRoundedGains) {
    for (int i = 0; i < 7; ++i) {
        const auto& w = model::kStandard[i];
        const auto& g = GetTables().standard[i];
        EXPECT_EQ(std::vector<int>({g.y_offset, g.y_gain, g.cr_to_r, g.cb_to_g, g.cr_to_g, g.cb_to_b}),
                  std::vector<int>({w.y_offset, w.y_gain, w.cr_to_r, w.cb_to_g, w.cr_to_g, w.cb_to_b}))
            << "record " << i;
    }
    // Record 0 carries no double copies; the computed ones do.
    EXPECT_EQ(GetTables().standard[0].cr_to_r_d, 0.0);
    EXPECT_NEAR(GetTables().standard[3].cr_to_r_d, 1.402, 1e-12);
    EXPECT_NEAR(GetTables().standard[1].y_gain_d, 255.0 / 219.0, 1e-12);
}

TEST(CcvtTables, CameraAndReencodingRecordsAreFilledOnlyWhereDefined) {
    const auto& t = GetTables();
    ExpectAffine(t.camera_rgb[6].offset, t.camera_rgb[6].m, model::kCameraRgb6);
    ExpectAffine(t.camera_yuv[6].offset, t.camera_yuv[6].m, model::kCameraYuv6);
    const auto& r = t.reencode[4];
    const int16_t offsets[3] = {r.luma_offset, r.chroma_offset[0], r.chroma_offset[1]};
    ExpectAffine(offsets, r.m, model::kReencode4);
    // The doubles come from inverting the BT.709 matrix.
    const double want_d[3][3] = {{1.0, 0.018149, -0.095132}, {0.0, 1.004123, 0.051267}, {0.0, -0.011524, 0.996782}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(r.m_d[i][j], want_d[i][j], 1e-6) << i << "," << j;
    for (int i = 0; i < 7; ++i) {
        if (i != 6) ExpectAffine(t.camera_rgb[i].offset, t.camera_rgb[i].m, model::kZero);
        if (i != 6) ExpectAffine(t.camera_yuv[i].offset, t.camera_yuv[i].m, model::kZero);
        const auto& z = t.reencode[i];
        const int16_t zo[3] = {z.luma_offset, z.chroma_offset[0], z.chroma_offset[1]};
        if (i != 4) ExpectAffine(zo, z.m, model::kZero);
    }
}

TEST(CcvtTables, HueTableSpansMinusHalfPiToJustUnderHalfPi) {
    const auto& t = GetTables();
    EXPECT_EQ(t.hue_cos[128], 1.0);
    EXPECT_EQ(t.hue_sin[128], 0.0);
    EXPECT_NEAR(t.hue_sin[0], -1.0, 1e-15);
    EXPECT_NEAR(t.hue_cos[0], 0.0, 1e-15);
    EXPECT_NEAR(t.hue_sin[255], std::sin(std::numbers::pi * 127 / 256), 1e-15);
    EXPECT_NEAR(t.hue_cos[64], std::cos(std::numbers::pi / 4), 1e-15);
}

}  // namespace
