// Colour conversion: load-time coefficient tables, path choice and exports.
#include "video/ccvt.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <string_view>

#include "frame/handle.h"
#include "vemx/vemx_ccvt.h"

namespace vemx::ccvt {

namespace {

Tables g_tables;

// Gains are stored as magnitude * 64 + 0.5 truncated toward zero.
int16_t Fixed(double magnitude) {
    return static_cast<int16_t>(magnitude * 64.0 + 0.5);
}

StandardRecord MakeStandard(double kr, double kg, double kb, bool limited) {
    const double sy = limited ? 219.0 / 255.0 : 1.0;
    const double sc = limited ? 112.0 / 255.0 : 0.5;
    StandardRecord r{};
    r.y_offset = limited ? 16 : 0;
    r.y_gain_d = 1.0 / sy;
    r.cr_to_r_d = (1.0 - kr) / sc;
    r.cb_to_b_d = (1.0 - kb) / sc;
    r.cb_to_g_d = -(1.0 - kb) * kb / kg / sc;
    r.cr_to_g_d = -(1.0 - kr) * kr / kg / sc;
    r.y_gain = Fixed(r.y_gain_d);
    r.cr_to_r = Fixed(r.cr_to_r_d);
    r.cb_to_b = Fixed(r.cb_to_b_d);
    // The green gains are rounded as magnitudes, then negated.
    r.cb_to_g = static_cast<int16_t>(-Fixed(-r.cb_to_g_d));
    r.cr_to_g = static_cast<int16_t>(-Fixed(-r.cr_to_g_d));
    return r;
}

using Matrix3 = double[3][3];

// Rows R, G, B; columns Y, Cb, Cr.
void YcbcrToRgb(const StandardRecord& r, Matrix3& a) {
    const double m[3][3] = {{r.y_gain_d, 0.0, r.cr_to_r_d},
                            {r.y_gain_d, r.cb_to_g_d, r.cr_to_g_d},
                            {r.y_gain_d, r.cb_to_b_d, 0.0}};
    std::memcpy(a, m, sizeof m);
}

void Invert(const Matrix3& a, Matrix3& inv) {
    const double c00 = a[1][1] * a[2][2] - a[1][2] * a[2][1];
    const double c01 = a[1][2] * a[2][0] - a[1][0] * a[2][2];
    const double c02 = a[1][0] * a[2][1] - a[1][1] * a[2][0];
    const double det = a[0][0] * c00 + a[0][1] * c01 + a[0][2] * c02;
    // inverse = adjugate / determinant; the adjugate is the transposed cofactors
    inv[0][0] = c00 / det;
    inv[1][0] = c01 / det;
    inv[2][0] = c02 / det;
    inv[0][1] = (a[0][2] * a[2][1] - a[0][1] * a[2][2]) / det;
    inv[1][1] = (a[0][0] * a[2][2] - a[0][2] * a[2][0]) / det;
    inv[2][1] = (a[0][1] * a[2][0] - a[0][0] * a[2][1]) / det;
    inv[0][2] = (a[0][1] * a[1][2] - a[0][2] * a[1][1]) / det;
    inv[1][2] = (a[0][2] * a[1][0] - a[0][0] * a[1][2]) / det;
    inv[2][2] = (a[0][0] * a[1][1] - a[0][1] * a[1][0]) / det;
}

void BuildTables() {
    Tables& t = g_tables;
    std::memset(t.standard, 0, sizeof t.standard);
    std::memset(t.camera_rgb, 0, sizeof t.camera_rgb);
    std::memset(t.camera_yuv, 0, sizeof t.camera_yuv);
    std::memset(t.reencode, 0, sizeof t.reencode);

    // Record 0 keeps the historical BT.601 full-range constants without doubles.
    t.standard[0] = StandardRecord{0, 64, 90, -22, -46, 113, 0.0, 0.0, 0.0, 0.0, 0.0};
    t.standard[1] = MakeStandard(0.299, 0.587, 0.114, true);
    t.standard[3] = MakeStandard(0.299, 0.587, 0.114, false);
    t.standard[2] = MakeStandard(0.2126, 0.7152, 0.0722, true);
    t.standard[4] = MakeStandard(0.2126, 0.7152, 0.0722, false);
    t.standard[5] = MakeStandard(0.2627, 0.678, 0.0593, true);
    t.standard[6] = MakeStandard(0.2627, 0.678, 0.0593, false);

    // Camera material to RGB: gains on Y/255, (Cb-128)/255, (Cr-128)/255 and
    // a constant term, all giving a result scaled by 255.
    static constexpr double kCameraRgb[3][4] = {
        {0.9759618639945984, -0.09338854998350143, 2.123793840408325, -0.05847520753741264},
        {1.0265175104141235, -0.1295282393693924, -0.9881947636604309, -0.07357382029294968},
        {0.9183884263038635, 2.218810796737671, 0.346627801656723, -0.012711799703538418},
    };
    CameraRecord& rgb = t.camera_rgb[6];
    for (int c = 0; c < 3; ++c) {
        rgb.offset[c] = Fixed(kCameraRgb[c][3] * 255.0);
        for (int j = 0; j < 3; ++j) rgb.m[c][j] = Fixed(kCameraRgb[c][j]);
    }
    t.camera_yuv[6] = CameraRecord{{130, 8217, 8185}, {{57, -9, -26}, {0, 74, 18}, {0, 8, 89}}};

    for (int i = 0; i < kHueSteps; ++i) {
        const double angle = std::numbers::pi * (i - 128) / 256.0;
        t.hue_cos[i] = std::cos(angle);
        t.hue_sin[i] = std::sin(angle);
    }

    // BT.2020 full range to BT.709 full range: back to RGB with the one, and
    // forward with the inverse of the other.
    Matrix3 to709, to2020, from709;
    YcbcrToRgb(t.standard[4], to709);
    YcbcrToRgb(t.standard[6], to2020);
    Invert(to709, from709);
    ReencodeRecord& re = t.reencode[4];
    re.luma_offset = 0;
    re.chroma_offset[0] = 128;
    re.chroma_offset[1] = 128;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            double sum = 0.0;
            for (int k = 0; k < 3; ++k) sum += from709[i][k] * to2020[k][j];
            re.m_d[i][j] = sum;
            re.m[i][j] = Fixed(sum);
        }
    }
}

Kernels g_sse2{};
Kernels g_ssse3{};
Kernels g_avx2{};
Kernels g_avx512{};
std::atomic<SimdPath> g_path{SimdPath::Sse2};

// After the frame's start-up (101), before anything a host can call.
__attribute__((constructor(102))) void LoadTime() {
    BuildTables();
    FillSse2(g_sse2);
    FillSsse3(g_sse2);
    g_ssse3 = g_sse2;
    FillSsse3Yv12(g_ssse3);
    // The fill functions are built for their instruction sets too, and the
    // compiler may use those instructions to store the pointers.
    if (CpuHasAvx2()) FillAvx2(g_avx2);
    if (CpuHasAvx512()) FillAvx512(g_avx512);
    g_path.store(ChoosePath(std::getenv("VEMX_SIMD"), CpuHasSsse3(), CpuHasAvx2(), CpuHasAvx512()),
                 std::memory_order_relaxed);
}

}  // namespace

const Tables& GetTables() noexcept {
    return g_tables;
}

SimdPath ChoosePath(const char* env_value, bool cpu_has_ssse3, bool cpu_has_avx2,
                    bool cpu_has_avx512) noexcept {
    const std::string_view wanted = env_value ? env_value : "";
    if (wanted == "sse2" || !cpu_has_ssse3) return SimdPath::Sse2;
    if (wanted == "ssse3" || !cpu_has_avx2) return SimdPath::Ssse3;
    if (wanted == "avx2" || !cpu_has_avx512) return SimdPath::Avx2;
    return SimdPath::Avx512;
}

bool CpuHasSsse3() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3");
}

bool CpuHasAvx2() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

bool CpuHasAvx512() noexcept {
    __builtin_cpu_init();
    return CpuHasAvx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

SimdPath ActivePath() noexcept {
    return g_path.load(std::memory_order_relaxed);
}

bool SelectPath(SimdPath path) noexcept {
    if (path == SimdPath::Avx512 && !CpuHasAvx512()) return false;
    if (path == SimdPath::Avx2 && !CpuHasAvx2()) return false;
    if (path == SimdPath::Ssse3 && !CpuHasSsse3()) return false;
    g_path.store(path, std::memory_order_relaxed);
    return true;
}

const Kernels& ActiveKernels() noexcept {
    switch (ActivePath()) {
        case SimdPath::Avx512:
            return g_avx512;
        case SimdPath::Avx2:
            return g_avx2;
        case SimdPath::Ssse3:
            return g_ssse3;
        default:
            return g_sse2;
    }
}

}  // namespace vemx::ccvt

using vemx::ccvt::ActiveKernels;
using vemx::frame::Guarded;

#define VEMX_CCVT_YV12_RGB(name, camera, bgr, four)                                              \
    VEMX_EXPORT void name(uint32_t width, uint32_t height, const uint8_t* y, const uint8_t* cb,  \
                          const uint8_t* cr, int32_t y_stride, int32_t cb_stride,                \
                          int32_t cr_stride, uint8_t* dst, int32_t dst_stride, int32_t matrix) { \
        Guarded(#name, [&] {                                                                     \
            ActiveKernels().yv12_rgb[camera][bgr][four](width, height, y, cb, cr, y_stride,      \
                                                        cb_stride, cr_stride, dst, dst_stride,   \
                                                        matrix);                                 \
        });                                                                                      \
    }

#define VEMX_CCVT_YUY2_RGB(name, camera, bgr, four)                                                \
    VEMX_EXPORT void name(uint32_t width, uint32_t height, const uint8_t* src, int32_t src_stride, \
                          uint8_t* dst, int32_t dst_stride, int32_t matrix) {                      \
        Guarded(#name, [&] {                                                                       \
            ActiveKernels().yuy2_rgb[camera][bgr][four](width, height, src, src_stride, dst,       \
                                                        dst_stride, matrix);                       \
        });                                                                                        \
    }

VEMX_CCVT_YV12_RGB(vemx_ccvt_yv12_rgb24, 0, 0, 0)
VEMX_CCVT_YV12_RGB(vemx_ccvt_yv12_rgb32, 0, 0, 1)
VEMX_CCVT_YV12_RGB(vemx_ccvt_yv12_bgr24, 0, 1, 0)
VEMX_CCVT_YV12_RGB(vemx_ccvt_yv12_rgb24_sony, 1, 0, 0)
VEMX_CCVT_YV12_RGB(vemx_ccvt_yv12_rgb32_sony, 1, 0, 1)
VEMX_CCVT_YV12_RGB(vemx_ccvt_yv12_bgr24_sony, 1, 1, 0)
VEMX_CCVT_YV12_RGB(vemx_ccvt_yv12_bgr32_sony, 1, 1, 1)

// Matrix 6 of this one member is served by the camera coefficients, exactly
// as vemx_ccvt_yv12_bgr32_sony would serve it.
VEMX_EXPORT void vemx_ccvt_yv12_bgr32(uint32_t width, uint32_t height, const uint8_t* y,
                                      const uint8_t* cb, const uint8_t* cr, int32_t y_stride,
                                      int32_t cb_stride, int32_t cr_stride, uint8_t* dst,
                                      int32_t dst_stride, int32_t matrix) {
    Guarded("vemx_ccvt_yv12_bgr32", [&] {
        ActiveKernels().yv12_rgb[matrix == 6][1][1](width, height, y, cb, cr, y_stride, cb_stride,
                                                    cr_stride, dst, dst_stride, matrix);
    });
}

VEMX_CCVT_YUY2_RGB(vemx_ccvt_yuy2_rgb24, 0, 0, 0)
VEMX_CCVT_YUY2_RGB(vemx_ccvt_yuy2_rgb32, 0, 0, 1)
VEMX_CCVT_YUY2_RGB(vemx_ccvt_yuy2_bgr24, 0, 1, 0)
VEMX_CCVT_YUY2_RGB(vemx_ccvt_yuy2_bgr32, 0, 1, 1)
VEMX_CCVT_YUY2_RGB(vemx_ccvt_yuy2_rgb24_sony, 1, 0, 0)
VEMX_CCVT_YUY2_RGB(vemx_ccvt_yuy2_rgb32_sony, 1, 0, 1)
VEMX_CCVT_YUY2_RGB(vemx_ccvt_yuy2_bgr24_sony, 1, 1, 0)
VEMX_CCVT_YUY2_RGB(vemx_ccvt_yuy2_bgr32_sony, 1, 1, 1)

VEMX_EXPORT void vemx_ccvt_yv12_sony(uint32_t width, uint32_t height, const uint8_t* src_y,
                                     const uint8_t* src_cb, const uint8_t* src_cr,
                                     int32_t src_y_stride, int32_t src_cb_stride,
                                     int32_t src_cr_stride, uint8_t* dst_y, uint8_t* dst_cb,
                                     uint8_t* dst_cr, int32_t dst_y_stride, int32_t dst_cb_stride,
                                     int32_t dst_cr_stride, int32_t matrix) {
    Guarded("vemx_ccvt_yv12_sony", [&] {
        ActiveKernels().yv12_sony(width, height, src_y, src_cb, src_cr, src_y_stride, src_cb_stride,
                                  src_cr_stride, dst_y, dst_cb, dst_cr, dst_y_stride, dst_cb_stride,
                                  dst_cr_stride, matrix);
    });
}

VEMX_EXPORT void vemx_ccvt_yv12_bt2020(uint32_t width, uint32_t height, const uint8_t* src_y,
                                       const uint8_t* src_cb, const uint8_t* src_cr,
                                       int32_t src_y_stride, int32_t src_cb_stride,
                                       int32_t src_cr_stride, uint8_t* dst_y, uint8_t* dst_cb,
                                       uint8_t* dst_cr, int32_t dst_y_stride, int32_t dst_cb_stride,
                                       int32_t dst_cr_stride, int32_t matrix) {
    Guarded("vemx_ccvt_yv12_bt2020", [&] {
        ActiveKernels().yv12_bt2020(width, height, src_y, src_cb, src_cr, src_y_stride,
                                    src_cb_stride, src_cr_stride, dst_y, dst_cb, dst_cr,
                                    dst_y_stride, dst_cb_stride, dst_cr_stride, matrix);
    });
}
