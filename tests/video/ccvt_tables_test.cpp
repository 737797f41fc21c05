// The load-time coefficient tables hold the published integers.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "reference_model.h"
#include "video/ccvt.h"

namespace {

using vemx::ccvt::GetTables;

TEST(CcvtTables, StandardRecordsAreTheRoundedGains) {
    const auto& t = GetTables();
    for (int i = 0; i < 7; ++i) {
        const auto& want = vemx_test::model::kStandard[i];
        const auto& got = t.standard[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(got.y_offset, want.y_offset);
        EXPECT_EQ(got.y_gain, want.y_gain);
        EXPECT_EQ(got.cr_to_r, want.cr_to_r);
        EXPECT_EQ(got.cb_to_g, want.cb_to_g);
        EXPECT_EQ(got.cr_to_g, want.cr_to_g);
        EXPECT_EQ(got.cb_to_b, want.cb_to_b);
    }
    // Record 0 carries no double copies; the computed ones do.
    EXPECT_EQ(t.standard[0].cr_to_r_d, 0.0);
    EXPECT_NEAR(t.standard[3].cr_to_r_d, 1.402, 1e-12);
    EXPECT_NEAR(t.standard[1].y_gain_d, 255.0 / 219.0, 1e-12);
    EXPECT_NEAR(t.standard[4].cb_to_g_d, -0.0722 * 0.9278 / 0.7152 / 0.5, 1e-12);
}

void ExpectRecord(const vemx::ccvt::CameraRecord& got, const vemx_test::model::Affine& want) {
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(got.offset[c], want.offset[c]) << "row " << c;
        for (int j = 0; j < 3; ++j) EXPECT_EQ(got.m[c][j], want.m[c][j]) << "row " << c << " column " << j;
    }
}

TEST(CcvtTables, CameraRecordsExistForIndexSixOnly) {
    const auto& t = GetTables();
    ExpectRecord(t.camera_rgb[6], vemx_test::model::kCameraRgb6);
    ExpectRecord(t.camera_yuv[6], vemx_test::model::kCameraYuv6);
    for (int i = 0; i < 6; ++i) {
        ExpectRecord(t.camera_rgb[i], vemx_test::model::kZero);
        ExpectRecord(t.camera_yuv[i], vemx_test::model::kZero);
    }
}

TEST(CcvtTables, ReencodingRecordComesFromTheMatrixInverse) {
    const auto& t = GetTables();
    const auto& r = t.reencode[4];
    EXPECT_EQ(r.luma_offset, 0);
    EXPECT_EQ(r.chroma_offset[0], 128);
    EXPECT_EQ(r.chroma_offset[1], 128);
    const int want[3][3] = {{64, 1, -5}, {0, 64, 3}, {0, 0, 64}};
    const double want_d[3][3] = {{1.0, 0.018149, -0.095132}, {0.0, 1.004123, 0.051267}, {0.0, -0.011524, 0.996782}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            EXPECT_EQ(r.m[i][j], want[i][j]) << i << "," << j;
            EXPECT_NEAR(r.m_d[i][j], want_d[i][j], 1e-6) << i << "," << j;
        }
    for (int i = 0; i < 7; ++i) {
        if (i == 4) continue;
        const auto& z = t.reencode[i];
        EXPECT_EQ(z.luma_offset | z.chroma_offset[0] | z.chroma_offset[1], 0) << i;
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) EXPECT_EQ(z.m[a][b], 0) << i;
    }
}

TEST(CcvtTables, HueTableSpansMinusHalfPiToJustUnderHalfPi) {
    const auto& t = GetTables();
    EXPECT_EQ(t.hue_cos[128], 1.0);
    EXPECT_EQ(t.hue_sin[128], 0.0);
    EXPECT_NEAR(t.hue_sin[0], -1.0, 1e-15);
    EXPECT_NEAR(t.hue_cos[0], 0.0, 1e-15);
    EXPECT_NEAR(t.hue_sin[255], std::sin(std::numbers::pi * 127 / 256), 1e-15);
    EXPECT_LT(t.hue_sin[255], 1.0);
    EXPECT_NEAR(t.hue_cos[64], std::cos(std::numbers::pi / 4), 1e-15);
}

}  // namespace
