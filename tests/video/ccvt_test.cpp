// Colour conversions against the scalar model on random pictures, on both
// SIMD paths, with every matrix, awkward sizes, padded and flipped strides.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "reference_model.h"
#include "simd_path.h"
#include "vemx/vemx_ccvt.h"
#include "video/ccvt.h"

namespace {

using namespace vemx_test::model;
using vemx::ccvt::SimdPath;

using Yv12Fn = void (*)(uint32_t, uint32_t, const uint8_t*, const uint8_t*, const uint8_t*, int32_t,
                        int32_t, int32_t, uint8_t*, int32_t, int32_t);
using Yuy2Fn = void (*)(uint32_t, uint32_t, const uint8_t*, int32_t, uint8_t*, int32_t, int32_t);

// The one standard member that serves index 6 with the camera coefficients.
Rgb Bgr32Pixel(int y, int cb, int cr, int matrix) {
    return matrix == 6 ? CameraPixel(y, cb, cr, matrix) : StandardPixel(y, cb, cr, matrix);
}

struct RgbCase {
    const char* name;
    Yv12Fn yv12;  // one of yv12, yuy2
    Yuy2Fn yuy2;
    Layout layout;
    PixelFn pixel;
};
const RgbCase kRgb[] = {
    {"yv12_rgb24", vemx_ccvt_yv12_rgb24, nullptr, Layout::Rgb24, StandardPixel},
    {"yv12_rgb32", vemx_ccvt_yv12_rgb32, nullptr, Layout::Rgb32, StandardPixel},
    {"yv12_bgr24", vemx_ccvt_yv12_bgr24, nullptr, Layout::Bgr24, StandardPixel},
    {"yv12_bgr32", vemx_ccvt_yv12_bgr32, nullptr, Layout::Bgr32, Bgr32Pixel},
    {"yv12_rgb24_sony", vemx_ccvt_yv12_rgb24_sony, nullptr, Layout::Rgb24, CameraPixel},
    {"yv12_rgb32_sony", vemx_ccvt_yv12_rgb32_sony, nullptr, Layout::Rgb32, CameraPixel},
    {"yv12_bgr24_sony", vemx_ccvt_yv12_bgr24_sony, nullptr, Layout::Bgr24, CameraPixel},
    {"yv12_bgr32_sony", vemx_ccvt_yv12_bgr32_sony, nullptr, Layout::Bgr32, CameraPixel},
    {"yuy2_rgb24", nullptr, vemx_ccvt_yuy2_rgb24, Layout::Rgb24, StandardPixel},
    {"yuy2_rgb32", nullptr, vemx_ccvt_yuy2_rgb32, Layout::Rgb32, StandardPixel},
    {"yuy2_bgr24", nullptr, vemx_ccvt_yuy2_bgr24, Layout::Bgr24, StandardPixel},
    {"yuy2_bgr32", nullptr, vemx_ccvt_yuy2_bgr32, Layout::Bgr32, StandardPixel},
    {"yuy2_rgb24_sony", nullptr, vemx_ccvt_yuy2_rgb24_sony, Layout::Rgb24, CameraPixel},
    {"yuy2_rgb32_sony", nullptr, vemx_ccvt_yuy2_rgb32_sony, Layout::Rgb32, CameraPixel},
    {"yuy2_bgr24_sony", nullptr, vemx_ccvt_yuy2_bgr24_sony, Layout::Bgr24, CameraPixel},
    {"yuy2_bgr32_sony", nullptr, vemx_ccvt_yuy2_bgr32_sony, Layout::Bgr32, CameraPixel},
};

// Widths around the group sizes (16, 32) and heights that are odd, 1 and 0.
const uint32_t kSizes[][2] = {{64, 4}, {40, 5}, {32, 1},  {31, 2},
                              {16, 3}, {48, 2}, {200, 7}, {96, 0}};
constexpr uint8_t kUntouched = 0xA5;

class Ccvt : public vemx_test::SimdPathTest {};
VEMX_ALL_SIMD_PATHS(Ccvt);

// Every function, every matrix, random pictures with padded strides (each
// plane its own) and flipped destinations; bytes the model leaves alone must
// keep their marker.
TEST_P(Ccvt, EveryFunctionMatchesTheModel) {
    std::mt19937 rng(7);
    for (int matrix = 0; matrix < 7; ++matrix) {
        for (const auto& size : kSizes) {
            const uint32_t w = size[0], h = size[1];
            Plane y(w, h + 1, 16), cb(w / 2, h / 2 + 1, 32), cr(w / 2, h / 2 + 1, 48),
                yuy2(w * 2, h + 1, 16);
            for (Plane* p : {&y, &cb, &cr, &yuy2}) p->randomize(rng);
            const std::string where = " matrix " + std::to_string(matrix) + " " +
                                      std::to_string(w) + "x" + std::to_string(h);
            for (bool flipped : {false, true}) {
                for (const RgbCase& c : kRgb) {
                    const size_t bpp = BytesPerPixel(c.layout);
                    Plane want(w * bpp, h + 1, 48), got(w * bpp, h + 1, 48);
                    want.fill(kUntouched);
                    got.fill(kUntouched);
                    const Target t = Addressed(got, flipped);
                    if (c.yv12) {
                        Yv12ToRgb(y, cb, cr, w, h, Addressed(want, flipped), c.layout, c.pixel,
                                  matrix);
                        c.yv12(w, h, y.data(), cb.data(), cr.data(), y.stride(), cb.stride(),
                               cr.stride(), t.base, t.stride, matrix);
                    } else {
                        Yuy2ToRgb(yuy2, w, h, Addressed(want, flipped), c.layout, c.pixel, matrix);
                        c.yuy2(w, h, yuy2.data(), yuy2.stride(), t.base, t.stride, matrix);
                    }
                    ASSERT_TRUE(want == got) << c.name << where << (flipped ? " flipped: " : ": ")
                                             << want.first_difference(got);
                }
            }
            for (bool camera : {false, true}) {
                Plane wy(w, h + 1, 32), wcb(w / 2, h / 2 + 1, 16), wcr(w / 2, h / 2 + 1, 48);
                Plane gy(w, h + 1, 32), gcb(w / 2, h / 2 + 1, 16), gcr(w / 2, h / 2 + 1, 48);
                for (Plane* p : {&wy, &wcb, &wcr, &gy, &gcb, &gcr}) p->fill(kUntouched);
                Yv12ToYv12(y, cb, cr, w, h, wy, wcb, wcr, camera ? SonyYuvChannel : ReencodeChannel,
                           matrix);
                (camera ? vemx_ccvt_yv12_sony : vemx_ccvt_yv12_bt2020)(
                    w, h, y.data(), cb.data(), cr.data(), y.stride(), cb.stride(), cr.stride(),
                    gy.data(), gcb.data(), gcr.data(), gy.stride(), gcb.stride(), gcr.stride(),
                    matrix);
                ASSERT_TRUE(wy == gy && wcb == gcb && wcr == gcr)
                    << (camera ? "yv12_sony" : "yv12_bt2020") << where;
            }
        }
    }
}

// Values worked out by hand, independent of the model.
TEST_P(Ccvt, KnownColoursAndMatrixAliases) {
    const uint32_t w = 32, h = 2;
    Plane y(w, h), cb(w / 2, 1), cr(w / 2, 1), out(w * 4, h), other(w * 4, h);
    auto run = [&](Yv12Fn fn, Plane& dst, int matrix) {
        fn(w, h, y.data(), cb.data(), cr.data(), y.stride(), cb.stride(), cr.stride(), dst.data(),
           dst.stride(), matrix);
    };

    // Limited-range mid grey: (126 - 16) * 75 >> 6 = 128 on every channel, 0 in the fourth byte.
    y.fill(126);
    cb.fill(128);
    cr.fill(128);
    run(vemx_ccvt_yv12_rgb32, out, 1);
    for (uint32_t x = 0; x < w; ++x) {
        const uint8_t* p = out.row(1) + 4 * x;
        ASSERT_EQ(p[0], 128);
        ASSERT_EQ(p[1], 128);
        ASSERT_EQ(p[2], 128);
        ASSERT_EQ(p[3], 0);
    }

    std::mt19937 rng(3);
    y.randomize(rng);
    cb.randomize(rng);
    cr.randomize(rng);
    // Index 0 (fixed constants) and index 3 (computed) are the same matrix.
    run(vemx_ccvt_yv12_rgb32, out, 0);
    run(vemx_ccvt_yv12_rgb32, other, 3);
    EXPECT_TRUE(out == other);
    // Only the 32-bit BGR member hands index 6 to the camera coefficients.
    run(vemx_ccvt_yv12_bgr32, out, 6);
    run(vemx_ccvt_yv12_bgr32_sony, other, 6);
    EXPECT_TRUE(out == other);
    run(vemx_ccvt_yv12_rgb32, out, 6);
    run(vemx_ccvt_yv12_rgb32_sony, other, 6);
    EXPECT_FALSE(out == other);
    // Camera coefficients exist for index 6 only: anything else is black.
    out.fill(kUntouched);
    run(vemx_ccvt_yv12_rgb32_sony, out, 2);
    for (uint32_t r = 0; r < h; ++r)
        for (uint32_t x = 0; x < w * 4; ++x) ASSERT_EQ(out.row(r)[x], 0);
}

TEST_P(Ccvt, Bt2020ReencodingKeepsNeutralGrey) {
    const uint32_t w = 64, h = 4;
    Plane y(w, h), cb(w / 2, h / 2), cr(w / 2, h / 2), dy(w, h), dcb(w / 2, h / 2),
        dcr(w / 2, h / 2);
    for (uint32_t r = 0; r < h; ++r)
        for (uint32_t x = 0; x < w; ++x) y.row(r)[x] = static_cast<uint8_t>(r * 64 + x * 4);
    cb.fill(128);
    cr.fill(128);
    vemx_ccvt_yv12_bt2020(w, h, y.data(), cb.data(), cr.data(), y.stride(), cb.stride(),
                          cr.stride(), dy.data(), dcb.data(), dcr.data(), dy.stride(), dcb.stride(),
                          dcr.stride(), 4);
    EXPECT_TRUE(y.same_pixels(dy));
    EXPECT_TRUE(cb.same_pixels(dcb));
    EXPECT_TRUE(cr.same_pixels(dcr));
}

TEST(CcvtPath, StartsOnTheWidestPathUnlessForcedNarrower) {
    using vemx::ccvt::ChoosePath;
    EXPECT_EQ(ChoosePath(nullptr, true, true), SimdPath::Avx2);
    EXPECT_EQ(ChoosePath("", true, true), SimdPath::Avx2);
    EXPECT_EQ(ChoosePath("ssse3", true, true), SimdPath::Ssse3);
    EXPECT_EQ(ChoosePath("sse2", true, true), SimdPath::Sse2);
    EXPECT_EQ(ChoosePath(nullptr, true, false), SimdPath::Ssse3);
    EXPECT_EQ(ChoosePath("avx2", true, false), SimdPath::Ssse3);
    EXPECT_EQ(ChoosePath("ssse3", false, false), SimdPath::Sse2);
}

}  // namespace
