// Colour conversions against the scalar model on random pictures, on both
// SIMD paths, with every matrix, awkward sizes, padded and flipped strides.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "reference_model.h"
#include "simd_path.h"
#include "video/ccvt.h"
#include "vemx/vemx_ccvt.h"

namespace {

using namespace vemx_test::model;
using vemx::ccvt::SimdPath;

using Yv12Fn = void (*)(uint32_t, uint32_t, const uint8_t*, const uint8_t*, const uint8_t*, int32_t, int32_t,
                        int32_t, uint8_t*, int32_t, int32_t);
using Yuy2Fn = void (*)(uint32_t, uint32_t, const uint8_t*, int32_t, uint8_t*, int32_t, int32_t);
using ReencodeFn = void (*)(uint32_t, uint32_t, const uint8_t*, const uint8_t*, const uint8_t*, int32_t, int32_t,
                            int32_t, uint8_t*, uint8_t*, uint8_t*, int32_t, int32_t, int32_t, int32_t);

// The one standard member that serves index 6 with the camera coefficients.
Rgb Bgr32Pixel(int y, int cb, int cr, int matrix) {
    return matrix == 6 ? CameraPixel(y, cb, cr, matrix) : StandardPixel(y, cb, cr, matrix);
}

struct Yv12Case {
    const char* name;
    Yv12Fn fn;
    Layout layout;
    PixelFn pixel;
};
const Yv12Case kYv12[] = {
    {"yv12_rgb24", vemx_ccvt_yv12_rgb24, Layout::Rgb24, StandardPixel},
    {"yv12_rgb32", vemx_ccvt_yv12_rgb32, Layout::Rgb32, StandardPixel},
    {"yv12_bgr24", vemx_ccvt_yv12_bgr24, Layout::Bgr24, StandardPixel},
    {"yv12_bgr32", vemx_ccvt_yv12_bgr32, Layout::Bgr32, Bgr32Pixel},
    {"yv12_rgb24_sony", vemx_ccvt_yv12_rgb24_sony, Layout::Rgb24, CameraPixel},
    {"yv12_rgb32_sony", vemx_ccvt_yv12_rgb32_sony, Layout::Rgb32, CameraPixel},
    {"yv12_bgr24_sony", vemx_ccvt_yv12_bgr24_sony, Layout::Bgr24, CameraPixel},
    {"yv12_bgr32_sony", vemx_ccvt_yv12_bgr32_sony, Layout::Bgr32, CameraPixel},
};

struct Yuy2Case {
    const char* name;
    Yuy2Fn fn;
    Layout layout;
    PixelFn pixel;
};
const Yuy2Case kYuy2[] = {
    {"yuy2_rgb24", vemx_ccvt_yuy2_rgb24, Layout::Rgb24, StandardPixel},
    {"yuy2_rgb32", vemx_ccvt_yuy2_rgb32, Layout::Rgb32, StandardPixel},
    {"yuy2_bgr24", vemx_ccvt_yuy2_bgr24, Layout::Bgr24, StandardPixel},
    {"yuy2_bgr32", vemx_ccvt_yuy2_bgr32, Layout::Bgr32, StandardPixel},
    {"yuy2_rgb24_sony", vemx_ccvt_yuy2_rgb24_sony, Layout::Rgb24, CameraPixel},
    {"yuy2_rgb32_sony", vemx_ccvt_yuy2_rgb32_sony, Layout::Rgb32, CameraPixel},
    {"yuy2_bgr24_sony", vemx_ccvt_yuy2_bgr24_sony, Layout::Bgr24, CameraPixel},
    {"yuy2_bgr32_sony", vemx_ccvt_yuy2_bgr32_sony, Layout::Bgr32, CameraPixel},
};

// Widths around the group sizes (16, 32) and heights that are odd, 1 and 0.
struct Size {
    uint32_t w, h;
};
const Size kSizes[] = {{64, 4}, {40, 5}, {32, 1}, {31, 2}, {16, 3}, {48, 2}, {200, 7}, {96, 0}};

constexpr uint8_t kUntouched = 0xA5;

std::string Where(const char* name, int matrix, Size s, bool flipped) {
    return std::string(name) + " matrix " + std::to_string(matrix) + " " + std::to_string(s.w) + "x" +
           std::to_string(s.h) + (flipped ? " flipped" : "");
}

class Ccvt : public vemx_test::SimdPathTest {};
VEMX_BOTH_SIMD_PATHS(Ccvt);

TEST_P(Ccvt, Yv12ToRgbMatchesTheModel) {
    std::mt19937 rng(7);
    for (const Yv12Case& c : kYv12) {
        for (int matrix = 0; matrix < 7; ++matrix) {
            for (Size s : kSizes) {
                for (bool flipped : {false, true}) {
                    // Padding differs per plane so a mixed-up stride shows.
                    Plane y(s.w, s.h + 1, 16), cb(s.w / 2, s.h / 2 + 1, 32), cr(s.w / 2, s.h / 2 + 1, 48);
                    y.randomize(rng);
                    cb.randomize(rng);
                    cr.randomize(rng);
                    const size_t bpp = BytesPerPixel(c.layout);
                    Plane want(s.w * bpp, s.h + 1, 32), got(s.w * bpp, s.h + 1, 32);
                    want.fill(kUntouched);
                    got.fill(kUntouched);
                    Yv12ToRgb(y, cb, cr, s.w, s.h, Addressed(want, flipped), c.layout, c.pixel, matrix);
                    const Target t = Addressed(got, flipped);
                    c.fn(s.w, s.h, y.data(), cb.data(), cr.data(), y.stride(), cb.stride(), cr.stride(), t.base,
                         t.stride, matrix);
                    ASSERT_TRUE(want == got) << Where(c.name, matrix, s, flipped) << ": " << want.first_difference(got);
                }
            }
        }
    }
}

TEST_P(Ccvt, Yuy2ToRgbMatchesTheModel) {
    std::mt19937 rng(11);
    for (const Yuy2Case& c : kYuy2) {
        for (int matrix = 0; matrix < 7; ++matrix) {
            for (Size s : kSizes) {
                for (bool flipped : {false, true}) {
                    Plane src(s.w * 2, s.h + 1, 16);
                    src.randomize(rng);
                    const size_t bpp = BytesPerPixel(c.layout);
                    Plane want(s.w * bpp, s.h + 1, 48), got(s.w * bpp, s.h + 1, 48);
                    want.fill(kUntouched);
                    got.fill(kUntouched);
                    Yuy2ToRgb(src, s.w, s.h, Addressed(want, flipped), c.layout, c.pixel, matrix);
                    const Target t = Addressed(got, flipped);
                    c.fn(s.w, s.h, src.data(), src.stride(), t.base, t.stride, matrix);
                    ASSERT_TRUE(want == got) << Where(c.name, matrix, s, flipped) << ": " << want.first_difference(got);
                }
            }
        }
    }
}

TEST_P(Ccvt, Yv12ReencodingMatchesTheModel) {
    struct Case {
        const char* name;
        ReencodeFn fn;
        ChannelFn channel;
    };
    const Case cases[] = {{"yv12_sony", vemx_ccvt_yv12_sony, SonyYuvChannel},
                          {"yv12_bt2020", vemx_ccvt_yv12_bt2020, ReencodeChannel}};
    std::mt19937 rng(13);
    for (const Case& c : cases) {
        for (int matrix = 0; matrix < 7; ++matrix) {
            for (Size s : kSizes) {
                Plane y(s.w, s.h + 1, 16), cb(s.w / 2, s.h / 2 + 1, 32), cr(s.w / 2, s.h / 2 + 1, 16);
                y.randomize(rng);
                cb.randomize(rng);
                cr.randomize(rng);
                Plane wy(s.w, s.h + 1, 32), wcb(s.w / 2, s.h / 2 + 1, 16), wcr(s.w / 2, s.h / 2 + 1, 48);
                Plane gy(s.w, s.h + 1, 32), gcb(s.w / 2, s.h / 2 + 1, 16), gcr(s.w / 2, s.h / 2 + 1, 48);
                for (Plane* p : {&wy, &wcb, &wcr, &gy, &gcb, &gcr}) p->fill(kUntouched);
                Yv12ToYv12(y, cb, cr, s.w, s.h, wy, wcb, wcr, c.channel, matrix);
                c.fn(s.w, s.h, y.data(), cb.data(), cr.data(), y.stride(), cb.stride(), cr.stride(), gy.data(),
                     gcb.data(), gcr.data(), gy.stride(), gcb.stride(), gcr.stride(), matrix);
                const std::string where = Where(c.name, matrix, s, false);
                ASSERT_TRUE(wy == gy) << where << " luma: " << wy.first_difference(gy);
                ASSERT_TRUE(wcb == gcb) << where << " Cb: " << wcb.first_difference(gcb);
                ASSERT_TRUE(wcr == gcr) << where << " Cr: " << wcr.first_difference(gcr);
            }
        }
    }
}

// Values worked out by hand, independent of the model.
TEST_P(Ccvt, KnownColoursAndMatrixAliases) {
    const uint32_t w = 32, h = 2;
    Plane y(w, h), cb(w / 2, 1), cr(w / 2, 1), out(w * 4, h), other(w * 4, h);
    auto run = [&](Yv12Fn fn, Plane& dst, int matrix) {
        fn(w, h, y.data(), cb.data(), cr.data(), y.stride(), cb.stride(), cr.stride(), dst.data(), dst.stride(),
           matrix);
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
    Plane y(w, h), cb(w / 2, h / 2), cr(w / 2, h / 2), dy(w, h), dcb(w / 2, h / 2), dcr(w / 2, h / 2);
    for (uint32_t r = 0; r < h; ++r)
        for (uint32_t x = 0; x < w; ++x) y.row(r)[x] = static_cast<uint8_t>(r * 64 + x * 4);
    cb.fill(128);
    cr.fill(128);
    vemx_ccvt_yv12_bt2020(w, h, y.data(), cb.data(), cr.data(), y.stride(), cb.stride(), cr.stride(), dy.data(),
                          dcb.data(), dcr.data(), dy.stride(), dcb.stride(), dcr.stride(), 4);
    EXPECT_TRUE(y.same_pixels(dy));
    EXPECT_TRUE(cb.same_pixels(dcb));
    EXPECT_TRUE(cr.same_pixels(dcr));
}

TEST(CcvtPath, StartsOnAvx2WhenPresentUnlessForcedToSse) {
    using vemx::ccvt::ChoosePath;
    EXPECT_EQ(ChoosePath(nullptr, true), SimdPath::Avx2);
    EXPECT_EQ(ChoosePath("", true), SimdPath::Avx2);
    EXPECT_EQ(ChoosePath("sse2", true), SimdPath::Sse);
    EXPECT_EQ(ChoosePath(nullptr, false), SimdPath::Sse);
    EXPECT_EQ(ChoosePath("avx2", false), SimdPath::Sse);
}

}  // namespace
