// Colour conversions against the scalar model on every SIMD path: random
// pictures with awkward sizes, padded and flipped strides, and a sweep over
// every (Y, Cb, Cr); then hand-worked values and the load-time tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>
#include <random>
#include <string>
#include <utility>

#include "reference_model.h"
#include "simd_path.h"
#include "vemx/vemx_ccvt.h"
#include "video/ccvt.h"

namespace {

using namespace vemx_test::model;
using vemx_test::kAllPaths;
using vemx_test::SimdPath;

using Yv12Fn = void (*)(uint32_t, uint32_t, const uint8_t*, const uint8_t*, const uint8_t*, int32_t,
                        int32_t, int32_t, uint8_t*, int32_t, int32_t);
using Yuy2Fn = void (*)(uint32_t, uint32_t, const uint8_t*, int32_t, uint8_t*, int32_t, int32_t);
using ReencodeFn = decltype(&vemx_ccvt_yv12_bt2020);

// The one standard member that serves index 6 with the camera coefficients.
Rgb Bgr32Pixel(int y, int cb, int cr, int matrix) {
    return matrix == 6 ? CameraPixel(y, cb, cr, matrix) : StandardPixel(y, cb, cr, matrix);
}

struct RgbCase {
    RgbCase(const char* n, Yv12Fn f, Layout l, PixelFn p) : name(n), yv12(f), layout(l), pixel(p) {}
    RgbCase(const char* n, Yuy2Fn f, Layout l, PixelFn p) : name(n), yuy2(f), layout(l), pixel(p) {}
    const char* name;
    Yv12Fn yv12 = nullptr;  // one of yv12, yuy2
    Yuy2Fn yuy2 = nullptr;
    Layout layout;
    PixelFn pixel;
};
using enum Layout;
const RgbCase kRgb[] = {
    {"yv12_rgb24", vemx_ccvt_yv12_rgb24, Rgb24, StandardPixel},
    {"yv12_rgb32", vemx_ccvt_yv12_rgb32, Rgb32, StandardPixel},
    {"yv12_bgr24", vemx_ccvt_yv12_bgr24, Bgr24, StandardPixel},
    {"yv12_bgr32", vemx_ccvt_yv12_bgr32, Bgr32, Bgr32Pixel},
    {"yv12_rgb24_sony", vemx_ccvt_yv12_rgb24_sony, Rgb24, CameraPixel},
    {"yv12_rgb32_sony", vemx_ccvt_yv12_rgb32_sony, Rgb32, CameraPixel},
    {"yv12_bgr24_sony", vemx_ccvt_yv12_bgr24_sony, Bgr24, CameraPixel},
    {"yv12_bgr32_sony", vemx_ccvt_yv12_bgr32_sony, Bgr32, CameraPixel},
    {"yuy2_rgb24", vemx_ccvt_yuy2_rgb24, Rgb24, StandardPixel},
    {"yuy2_rgb32", vemx_ccvt_yuy2_rgb32, Rgb32, StandardPixel},
    {"yuy2_bgr24", vemx_ccvt_yuy2_bgr24, Bgr24, StandardPixel},
    {"yuy2_bgr32", vemx_ccvt_yuy2_bgr32, Bgr32, StandardPixel},
    {"yuy2_rgb24_sony", vemx_ccvt_yuy2_rgb24_sony, Rgb24, CameraPixel},
    {"yuy2_rgb32_sony", vemx_ccvt_yuy2_rgb32_sony, Rgb32, CameraPixel},
    {"yuy2_bgr24_sony", vemx_ccvt_yuy2_bgr24_sony, Bgr24, CameraPixel},
    {"yuy2_bgr32_sony", vemx_ccvt_yuy2_bgr32_sony, Bgr32, CameraPixel},
};

void Reencode(ReencodeFn fn, uint32_t w, uint32_t h, const Plane& y, const Plane& cb,
              const Plane& cr, Plane& dy, Plane& dcb, Plane& dcr, int matrix) {
    fn(w, h, y.data(), cb.data(), cr.data(), y.stride(), cb.stride(), cr.stride(), dy.data(),
       dcb.data(), dcr.data(), dy.stride(), dcb.stride(), dcr.stride(), matrix);
}

// Widths around the group sizes (16, 32) and the widest step (64), with
// groups left over for a narrower one, and heights that are odd, 1 and 0.
const uint32_t kSizes[][2] = {{64, 4}, {40, 5}, {32, 1},  {31, 2},
                              {16, 3}, {48, 2}, {232, 7}, {96, 0}};
constexpr uint8_t kUntouched = 0xA5;

class Ccvt : public vemx_test::SimdPathTest {};
VEMX_ALL_SIMD_PATHS(Ccvt);

// Every function, every matrix, random pictures with padded strides (each
// plane its own) and flipped destinations, whose rows start 16-byte aligned
// only, and upright ones, whose 32-bit rows start on 64 bytes where the width
// allows; bytes the model leaves alone must keep their marker.
TEST_P(Ccvt, EveryFunctionMatchesTheModel) {
    std::mt19937 rng(7);
    for (int matrix = 0; matrix < 7; ++matrix) {
        for (const auto [w, h] : kSizes) {
            Plane y(w, h + 1, 16), cb(w / 2, h / 2 + 1, 32), cr(w / 2, h / 2 + 1, 48),
                yuy2(w * 2, h + 1);
            for (Plane* p : {&y, &cb, &cr, &yuy2}) p->randomize(rng);
            const std::string where = " matrix " + std::to_string(matrix) + " " +
                                      std::to_string(w) + "x" + std::to_string(h);
            for (bool flipped : {false, true}) {
                for (const RgbCase& c : kRgb) {
                    const size_t row = w * BytesPerPixel(c.layout);
                    const size_t pad = flipped ? 48 : 64;
                    Plane want(row, h + 1, pad), got(row, h + 1, pad);
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
                Reencode(camera ? vemx_ccvt_yv12_sony : vemx_ccvt_yv12_bt2020, w, h, y, cb, cr, gy,
                         gcb, gcr, matrix);
                ASSERT_TRUE(wy == gy && wcb == gcb && wcr == gcr)
                    << (camera ? "yv12_sony" : "yv12_bt2020") << where;
            }
        }
    }
}

// Slices that together hold every (Y, Cb, Cr).  YV12 512x512: chroma (j, k)
// is Cb = j, Cr = k, and a block's four luma samples step by 4 per slice, so
// 64 slices give each pair every luma value.  YUY2 512x256: pair j of row k
// holds Cb = j, Cr = k, luma steps by 2 over 128 slices.  The model runs once
// per slice and arithmetic; each path is compared with it.
TEST(CcvtSweep, EveryTripleThroughEveryArithmeticOnEveryPath) {
    constexpr uint32_t W = 512, H = 512, R = 256;
    Plane y(W, H), cb(W / 2, H / 2), cr(W / 2, H / 2), yuy2(W * 2, R);
    Plane want(W * 4, H), got(W * 4, H), want2(W * 4, R), got2(W * 4, R);
    Plane wy(W, H), wcb(W / 2, H / 2), wcr(W / 2, H / 2), gy(W, H), gcb(W / 2, H / 2),
        gcr(W / 2, H / 2);
    vemx_test::PathRestorer restorer;
    // Names the first path whose output differs from the model's.
    auto mismatch = [](auto convert, auto same) -> std::string {
        for (SimdPath path : kAllPaths)
            if (vemx::ccvt::SelectPath(path) && (convert(), !same()))
                return vemx_test::NameOf(path);
        return "";
    };
    for (uint32_t s = 0; s < 128; ++s) {
        for (uint32_t k = 0; k < R; ++k)
            for (uint32_t j = 0; j < W / 2; ++j) {
                const uint8_t pair[4] = {uint8_t(2 * (s + j + k)), uint8_t(j),
                                         uint8_t(2 * (s + j + k) + 1), uint8_t(k)};
                std::copy(pair, pair + 4, yuy2.row(k) + 4 * j);
                cb.row(k)[j] = uint8_t(j);
                cr.row(k)[j] = uint8_t(k);
                for (uint32_t i = 0; i < 4; ++i)
                    y.row(2 * k + i / 2)[2 * j + i % 2] = uint8_t(4 * (s + j + k) + i);
            }
        for (int m = 0; m < 8; ++m) {  // 0..6 standard, then the camera record
            const bool camera = m == 7;
            const int matrix = camera ? 6 : m;
            const PixelFn pixel = camera ? CameraPixel : StandardPixel;
            const std::string what = "slice " + std::to_string(s) + " matrix " +
                                     std::to_string(matrix) + (camera ? " camera " : " ");
            const auto yuy2_fn = camera ? vemx_ccvt_yuy2_rgb32_sony : vemx_ccvt_yuy2_rgb32;
            const auto yv12_fn = camera ? vemx_ccvt_yv12_rgb32_sony : vemx_ccvt_yv12_rgb32;
            const auto reencode_fn = camera ? vemx_ccvt_yv12_sony : vemx_ccvt_yv12_bt2020;
            auto yuy2_rgb = [&] {
                yuy2_fn(W, R, yuy2.data(), yuy2.stride(), got2.data(), got2.stride(), matrix);
            };
            auto yv12_rgb = [&] {
                yv12_fn(W, H, y.data(), cb.data(), cr.data(), y.stride(), cb.stride(), cr.stride(),
                        got.data(), got.stride(), matrix);
            };
            auto reencode = [&] { Reencode(reencode_fn, W, H, y, cb, cr, gy, gcb, gcr, matrix); };
            Yuy2ToRgb(yuy2, W, R, Addressed(want2, false), Layout::Rgb32, pixel, matrix);
            ASSERT_EQ(mismatch(yuy2_rgb, [&] { return want2 == got2; }), "") << what << "yuy2";
            if (s >= 64) continue;
            Yv12ToRgb(y, cb, cr, W, H, Addressed(want, false), Layout::Rgb32, pixel, matrix);
            ASSERT_EQ(mismatch(yv12_rgb, [&] { return want == got; }), "") << what << "yv12";
            if (m != 4 && m != 7) continue;  // the re-encodings: BT.2020 and camera
            Yv12ToYv12(y, cb, cr, W, H, wy, wcb, wcr, camera ? SonyYuvChannel : ReencodeChannel,
                       matrix);
            ASSERT_EQ(mismatch(reencode, [&] { return wy == gy && wcb == gcb && wcr == gcr; }), "")
                << what << "re-encoding";
        }
    }
}

// Values worked out by hand, independent of the model.
TEST_P(Ccvt, KnownColours) {
    // Limited-range mid grey: (126 - 16) * 75 >> 6 = 128 on every channel, 0 in the fourth byte.
    Plane y(32, 2), cb(16, 1), cr(16, 1), out(128, 2);
    y.fill(126);
    cb.fill(128);
    cr.fill(128);
    vemx_ccvt_yv12_rgb32(32, 2, y.data(), cb.data(), cr.data(), y.stride(), cb.stride(),
                         cr.stride(), out.data(), out.stride(), 1);
    for (uint32_t x = 0; x < 128; ++x) ASSERT_EQ(out.row(1)[x], x % 4 == 3 ? 0 : 128) << x;

    // BT.2020 to BT.709 keeps neutral grey.
    Plane ly(64, 4), lcb(32, 2), lcr(32, 2), dy(64, 4), dcb(32, 2), dcr(32, 2);
    for (uint32_t r = 0; r < 4; ++r)
        for (uint32_t x = 0; x < 64; ++x) ly.row(r)[x] = static_cast<uint8_t>(r * 64 + x * 4);
    lcb.fill(128);
    lcr.fill(128);
    Reencode(vemx_ccvt_yv12_bt2020, 64, 4, ly, lcb, lcr, dy, dcb, dcr, 4);
    EXPECT_TRUE(ly.same_pixels(dy) && lcb.same_pixels(dcb) && lcr.same_pixels(dcr));
}

TEST(CcvtPath, StartsOnTheWidestPathUnlessForcedNarrower) {
    using vemx::ccvt::ChoosePath;
    EXPECT_EQ(ChoosePath(nullptr, true, true, true), SimdPath::Avx512);
    EXPECT_EQ(ChoosePath("", true, true, false), SimdPath::Avx2);
    EXPECT_EQ(ChoosePath("avx2", true, true, true), SimdPath::Avx2);
    EXPECT_EQ(ChoosePath("ssse3", true, true, true), SimdPath::Ssse3);
    EXPECT_EQ(ChoosePath("sse2", true, true, true), SimdPath::Sse2);
    EXPECT_EQ(ChoosePath(nullptr, true, false, false), SimdPath::Ssse3);
    EXPECT_EQ(ChoosePath("avx2", true, false, false), SimdPath::Ssse3);
    EXPECT_EQ(ChoosePath("ssse3", false, false, false), SimdPath::Sse2);
}

// Prints the path this process started on, for the test below.
TEST(CcvtPath, DISABLED_ReportStartingPath) {
    std::printf("starting path: %s\n", vemx_test::NameOf(vemx::ccvt::ActivePath()));
}

// The choice is made once, when the library loads, from VEMX_SIMD and the
// processor: a fresh process per setting.
TEST(CcvtPath, VemxSimdForcesANarrowerPathAtLoad) {
    using vemx::ccvt::CpuHasAvx2;
    using vemx::ccvt::CpuHasAvx512;
    using vemx::ccvt::CpuHasSsse3;
    const SimdPath widest = !CpuHasSsse3()    ? SimdPath::Sse2
                            : !CpuHasAvx2()   ? SimdPath::Ssse3
                            : !CpuHasAvx512() ? SimdPath::Avx2
                                              : SimdPath::Avx512;
    const std::pair<const char*, SimdPath> cases[] = {
        {"", widest},
        {"avx2", std::min(widest, SimdPath::Avx2)},
        {"ssse3", std::min(widest, SimdPath::Ssse3)},
        {"sse2", SimdPath::Sse2},
    };
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    for (const auto& [value, want] : cases) {
        const std::string command = std::string("VEMX_SIMD='") + value + "' '" + self +
                                    "' --gtest_also_run_disabled_tests "
                                    "--gtest_filter=CcvtPath.DISABLED_ReportStartingPath";
        FILE* child = popen(command.c_str(), "r");
        ASSERT_NE(child, nullptr);
        std::string out;
        char buf[256];
        while (std::fgets(buf, sizeof buf, child)) out += buf;
        EXPECT_EQ(pclose(child), 0) << out;
        EXPECT_NE(out.find(std::string("starting path: ") + vemx_test::NameOf(want) + "\n"),
                  std::string::npos)
            << "VEMX_SIMD=" << value << ":\n"
            << out;
    }
}

// The conversions above reach the integer gains only through their outputs;
// the records themselves, the doubles they were rounded from and the hue
// steps are checked here.
TEST(CcvtTables, RecordsDoublesAndHueSteps) {
    const auto& t = vemx::ccvt::GetTables();
    for (int i = 0; i < 7; ++i) {
        const auto& g = t.standard[i];
        const auto& w = kStandard[i];
        EXPECT_TRUE(g.y_offset == w.y_offset && g.y_gain == w.y_gain && g.cr_to_r == w.cr_to_r &&
                    g.cb_to_g == w.cb_to_g && g.cr_to_g == w.cr_to_g && g.cb_to_b == w.cb_to_b)
            << "standard record " << i;
        const auto same = [](const int16_t(&offset)[3], const int16_t(&m)[3][3], const Affine& a) {
            for (int c = 0; c < 3; ++c)
                if (offset[c] != a.offset[c] || !std::equal(m[c], m[c] + 3, a.m[c])) return false;
            return true;
        };
        const auto& r = t.reencode[i];
        const int16_t r_offsets[3] = {r.luma_offset, r.chroma_offset[0], r.chroma_offset[1]};
        EXPECT_TRUE(same(t.camera_rgb[i].offset, t.camera_rgb[i].m, i == 6 ? kCameraRgb6 : kZero) &&
                    same(t.camera_yuv[i].offset, t.camera_yuv[i].m, i == 6 ? kCameraYuv6 : kZero) &&
                    same(r_offsets, r.m, i == 4 ? kReencode4 : kZero))
            << "camera or re-encoding record " << i;
    }
    EXPECT_EQ(t.standard[0].cr_to_r_d, 0.0);  // record 0 carries no double copies
    EXPECT_NEAR(t.standard[3].cr_to_r_d, 1.402, 1e-12);
    EXPECT_NEAR(t.standard[1].y_gain_d, 255.0 / 219.0, 1e-12);
    // BT.2020 to BT.709 through the inverted BT.709 matrix.
    const double m_d[3][3] = {
        {1.0, 0.018149, -0.095132}, {0.0, 1.004123, 0.051267}, {0.0, -0.011524, 0.996782}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_NEAR(t.reencode[4].m_d[i][j], m_d[i][j], 1e-6) << i << "," << j;
    // -pi/2 up to just under pi/2.
    EXPECT_EQ(t.hue_cos[128], 1.0);
    EXPECT_EQ(t.hue_sin[128], 0.0);
    EXPECT_NEAR(t.hue_sin[0], -1.0, 1e-15);
    EXPECT_NEAR(t.hue_cos[0], 0.0, 1e-15);
    EXPECT_NEAR(t.hue_sin[255], std::sin(std::numbers::pi * 127 / 256), 1e-15);
    EXPECT_NEAR(t.hue_cos[64], std::cos(std::numbers::pi / 4), 1e-15);
}

}  // namespace
