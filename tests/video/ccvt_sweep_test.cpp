// Every combination of Y, Cb and Cr through each arithmetic (standard per
// matrix, camera, both re-encodings), from YV12 and from YUY2, on every SIMD
// path.  The model runs once per slice and case; each path is compared with it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "reference_model.h"
#include "simd_path.h"
#include "vemx/vemx_ccvt.h"
#include "video/ccvt.h"

namespace {

using namespace vemx_test::model;
using vemx::ccvt::SimdPath;

struct Case {
    std::string name;
    std::function<void()> model, convert;
    std::function<bool()> same;
};

void Sweep(uint32_t slices, const std::function<void(uint32_t)>& fill,
           const std::vector<Case>& cases) {
    const SimdPath saved = vemx::ccvt::ActivePath();
    for (uint32_t s = 0; s < slices; ++s) {
        fill(s);
        for (const Case& c : cases) {
            c.model();
            for (SimdPath path : vemx_test::kAllPaths) {
                if (!vemx::ccvt::SelectPath(path)) continue;
                c.convert();
                ASSERT_TRUE(c.same()) << c.name << " slice " << s << " " << vemx_test::NameOf(path);
            }
        }
    }
    vemx::ccvt::SelectPath(saved);
}

const auto kStandardPixel = [](int y, int cb, int cr, int m) {
    return StandardPixel(y, cb, cr, m);
};
const auto kCameraPixel = [](int y, int cb, int cr, int m) { return CameraPixel(y, cb, cr, m); };

constexpr uint32_t kW = 512, kH = 512;

// YV12 slices of 512x512: chroma (j, k) holds Cb = j, Cr = k, so a slice has
// every chroma pair; a block's four luma samples step by 4 per slice, so 64
// slices give each pair every luma value.
struct Yv12Sweep {
    Plane y{kW, kH}, cb{kW / 2, kH / 2}, cr{kW / 2, kH / 2};
    void fill(uint32_t s) {
        for (uint32_t k = 0; k < kH / 2; ++k)
            for (uint32_t j = 0; j < kW / 2; ++j) {
                cb.row(k)[j] = static_cast<uint8_t>(j);
                cr.row(k)[j] = static_cast<uint8_t>(k);
                for (uint32_t i = 0; i < 4; ++i)
                    y.row(2 * k + i / 2)[2 * j + i % 2] = static_cast<uint8_t>(4 * (s + j + k) + i);
            }
    }
};

TEST(CcvtSweep, Yv12ToRgbOverEveryTriple) {
    Yv12Sweep in;
    Plane want(kW * 4, kH), got(kW * 4, kH);
    std::vector<Case> cases;
    for (int m = 0; m < 8; ++m) {  // 0..6 standard, then the camera record
        const bool camera = m == 7;
        const int matrix = camera ? 6 : m;
        cases.push_back({"matrix " + std::to_string(matrix) + (camera ? " camera" : ""),
                         [&, camera, matrix] {
                             if (camera)
                                 Yv12ToRgb(in.y, in.cb, in.cr, kW, kH, Addressed(want, false),
                                           Layout::Rgb32, kCameraPixel, matrix);
                             else
                                 Yv12ToRgb(in.y, in.cb, in.cr, kW, kH, Addressed(want, false),
                                           Layout::Rgb32, kStandardPixel, matrix);
                         },
                         [&, camera, matrix] {
                             (camera ? vemx_ccvt_yv12_rgb32_sony : vemx_ccvt_yv12_rgb32)(
                                 kW, kH, in.y.data(), in.cb.data(), in.cr.data(), in.y.stride(),
                                 in.cb.stride(), in.cr.stride(), got.data(), got.stride(), matrix);
                         },
                         [&] { return want == got; }});
    }
    Sweep(
        64, [&](uint32_t s) { in.fill(s); }, cases);
}

TEST(CcvtSweep, Yv12ReencodingOverEveryTriple) {
    Yv12Sweep in;
    Plane wy(kW, kH), wcb(kW / 2, kH / 2), wcr(kW / 2, kH / 2), gy(kW, kH), gcb(kW / 2, kH / 2),
        gcr(kW / 2, kH / 2);
    std::vector<Case> cases;
    for (bool camera : {false, true}) {
        const int matrix = camera ? 6 : 4;
        cases.push_back(
            {camera ? "camera" : "bt2020",
             [&, camera, matrix] {
                 if (camera)
                     Yv12ToYv12(in.y, in.cb, in.cr, kW, kH, wy, wcb, wcr, SonyYuvChannel, matrix);
                 else
                     Yv12ToYv12(in.y, in.cb, in.cr, kW, kH, wy, wcb, wcr, ReencodeChannel, matrix);
             },
             [&, camera, matrix] {
                 (camera ? vemx_ccvt_yv12_sony : vemx_ccvt_yv12_bt2020)(
                     kW, kH, in.y.data(), in.cb.data(), in.cr.data(), in.y.stride(), in.cb.stride(),
                     in.cr.stride(), gy.data(), gcb.data(), gcr.data(), gy.stride(), gcb.stride(),
                     gcr.stride(), matrix);
             },
             [&] { return wy == gy && wcb == gcb && wcr == gcr; }});
    }
    Sweep(
        64, [&](uint32_t s) { in.fill(s); }, cases);
}

// YUY2 slices of 512x256: pair j of row k holds Cb = j, Cr = k; 128 slices.
TEST(CcvtSweep, Yuy2ToRgbOverEveryTriple) {
    constexpr uint32_t rows = 256;
    Plane src(kW * 2, rows), want(kW * 4, rows), got(kW * 4, rows);
    std::vector<Case> cases;
    for (int m = 0; m < 8; ++m) {
        const bool camera = m == 7;
        const int matrix = camera ? 6 : m;
        cases.push_back({"matrix " + std::to_string(matrix) + (camera ? " camera" : ""),
                         [&, camera, matrix] {
                             if (camera)
                                 Yuy2ToRgb(src, kW, rows, Addressed(want, false), Layout::Rgb32,
                                           kCameraPixel, matrix);
                             else
                                 Yuy2ToRgb(src, kW, rows, Addressed(want, false), Layout::Rgb32,
                                           kStandardPixel, matrix);
                         },
                         [&, camera, matrix] {
                             (camera ? vemx_ccvt_yuy2_rgb32_sony : vemx_ccvt_yuy2_rgb32)(
                                 kW, rows, src.data(), src.stride(), got.data(), got.stride(),
                                 matrix);
                         },
                         [&] { return want == got; }});
    }
    Sweep(
        128,
        [&](uint32_t s) {
            for (uint32_t k = 0; k < rows; ++k)
                for (uint32_t j = 0; j < kW / 2; ++j) {
                    uint8_t* p = src.row(k) + 4 * j;
                    p[0] = static_cast<uint8_t>(2 * (s + j + k));
                    p[1] = static_cast<uint8_t>(j);
                    p[2] = static_cast<uint8_t>(2 * (s + j + k) + 1);
                    p[3] = static_cast<uint8_t>(k);
                }
        },
        cases);
}

}  // namespace
