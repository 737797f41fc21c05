// Every combination of Y, Cb and Cr through each arithmetic (standard per
// matrix, camera, both re-encodings), from YV12 and from YUY2, on every SIMD
// path.  The model runs once per slice; each path is compared with it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "reference_model.h"
#include "video/ccvt.h"
#include "vemx/vemx_ccvt.h"

namespace {

using namespace vemx_test::model;
using vemx::ccvt::SimdPath;

std::vector<SimdPath> Paths() {
    std::vector<SimdPath> paths{SimdPath::Sse};
    if (vemx::ccvt::CpuHasAvx2()) paths.push_back(SimdPath::Avx2);
    return paths;
}

class PathRestorer {
public:
    PathRestorer() : saved_(vemx::ccvt::ActivePath()) {}
    ~PathRestorer() { vemx::ccvt::SelectPath(saved_); }

private:
    SimdPath saved_;
};

// YV12 slices of 512x512: chroma (j, k) holds Cb = j, Cr = k, so one slice
// has every chroma pair; the four luma samples of a block step by 4 per
// slice, so 64 slices give each pair every luma value.
constexpr uint32_t kW = 512, kH = 512, kYv12Slices = 64;

void FillYv12Slice(uint32_t s, Plane& y, Plane& cb, Plane& cr) {
    for (uint32_t k = 0; k < kH / 2; ++k)
        for (uint32_t j = 0; j < kW / 2; ++j) {
            cb.row(k)[j] = static_cast<uint8_t>(j);
            cr.row(k)[j] = static_cast<uint8_t>(k);
            for (uint32_t r = 0; r < 2; ++r)
                for (uint32_t c = 0; c < 2; ++c)
                    y.row(2 * k + r)[2 * j + c] = static_cast<uint8_t>(4 * (s + j + k) + 2 * r + c);
        }
}

// YUY2 slices of 512x256: pair j of row k holds Cb = j, Cr = k; 128 slices.
constexpr uint32_t kYuy2Rows = 256, kYuy2Slices = 128;

void FillYuy2Slice(uint32_t s, Plane& src) {
    for (uint32_t k = 0; k < kYuy2Rows; ++k)
        for (uint32_t j = 0; j < kW / 2; ++j) {
            uint8_t* p = src.row(k) + 4 * j;
            p[0] = static_cast<uint8_t>(2 * (s + j + k));
            p[1] = static_cast<uint8_t>(j);
            p[2] = static_cast<uint8_t>(2 * (s + j + k) + 1);
            p[3] = static_cast<uint8_t>(k);
        }
}

TEST(CcvtSweep, Yv12ToRgbOverEveryTriple) {
    PathRestorer restore;
    Plane y(kW, kH), cb(kW / 2, kH / 2), cr(kW / 2, kH / 2), want(kW * 4, kH), got(kW * 4, kH);
    struct Case {
        Layout layout;
        PixelFn pixel;
        int matrix;
        void (*fn)(uint32_t, uint32_t, const uint8_t*, const uint8_t*, const uint8_t*, int32_t, int32_t, int32_t,
                   uint8_t*, int32_t, int32_t);
    };
    std::vector<Case> cases;
    for (int m = 0; m < 7; ++m) cases.push_back({Layout::Rgb32, StandardPixel, m, vemx_ccvt_yv12_rgb32});
    cases.push_back({Layout::Rgb32, CameraPixel, 6, vemx_ccvt_yv12_rgb32_sony});
    for (uint32_t s = 0; s < kYv12Slices; ++s) {
        FillYv12Slice(s, y, cb, cr);
        for (const Case& c : cases) {
            Yv12ToRgb(y, cb, cr, kW, kH, Addressed(want, false), c.layout, c.pixel, c.matrix);
            for (SimdPath path : Paths()) {
                ASSERT_TRUE(vemx::ccvt::SelectPath(path));
                c.fn(kW, kH, y.data(), cb.data(), cr.data(), y.stride(), cb.stride(), cr.stride(), got.data(),
                     got.stride(), c.matrix);
                ASSERT_TRUE(want == got) << "slice " << s << " matrix " << c.matrix << " path "
                                         << static_cast<int>(path) << ": " << want.first_difference(got);
            }
        }
    }
}

TEST(CcvtSweep, Yuy2ToRgbOverEveryTriple) {
    PathRestorer restore;
    Plane src(kW * 2, kYuy2Rows), want(kW * 4, kYuy2Rows), got(kW * 4, kYuy2Rows);
    for (uint32_t s = 0; s < kYuy2Slices; ++s) {
        FillYuy2Slice(s, src);
        for (int m = 0; m < 8; ++m) {
            // 0..6 standard, then the camera record
            const bool camera = m == 7;
            const int matrix = camera ? 6 : m;
            Yuy2ToRgb(src, kW, kYuy2Rows, Addressed(want, false), Layout::Rgb32, camera ? CameraPixel : StandardPixel,
                      matrix);
            for (SimdPath path : Paths()) {
                ASSERT_TRUE(vemx::ccvt::SelectPath(path));
                (camera ? vemx_ccvt_yuy2_rgb32_sony : vemx_ccvt_yuy2_rgb32)(kW, kYuy2Rows, src.data(), src.stride(),
                                                                             got.data(), got.stride(), matrix);
                ASSERT_TRUE(want == got) << "slice " << s << " matrix " << matrix << " camera " << camera
                                         << " path " << static_cast<int>(path) << ": " << want.first_difference(got);
            }
        }
    }
}

TEST(CcvtSweep, Yv12ReencodingOverEveryTriple) {
    PathRestorer restore;
    Plane y(kW, kH), cb(kW / 2, kH / 2), cr(kW / 2, kH / 2);
    Plane wy(kW, kH), wcb(kW / 2, kH / 2), wcr(kW / 2, kH / 2), gy(kW, kH), gcb(kW / 2, kH / 2), gcr(kW / 2, kH / 2);
    for (uint32_t s = 0; s < kYv12Slices; ++s) {
        FillYv12Slice(s, y, cb, cr);
        for (bool camera : {false, true}) {
            const int matrix = camera ? 6 : 4;
            Yv12ToYv12(y, cb, cr, kW, kH, wy, wcb, wcr, camera ? SonyYuvChannel : ReencodeChannel, matrix);
            for (SimdPath path : Paths()) {
                ASSERT_TRUE(vemx::ccvt::SelectPath(path));
                (camera ? vemx_ccvt_yv12_sony : vemx_ccvt_yv12_bt2020)(
                    kW, kH, y.data(), cb.data(), cr.data(), y.stride(), cb.stride(), cr.stride(), gy.data(),
                    gcb.data(), gcr.data(), gy.stride(), gcb.stride(), gcr.stride(), matrix);
                ASSERT_TRUE(wy == gy && wcb == gcb && wcr == gcr)
                    << "slice " << s << " camera " << camera << " path " << static_cast<int>(path);
            }
        }
    }
}

}  // namespace
