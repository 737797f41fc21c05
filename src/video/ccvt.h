#pragma once
// Colour conversion internals: the load-time coefficient tables, the kernel
// sets of the two SIMD paths and the choice between them.
#include <cstdint>

namespace vemx::ccvt {

// Gains are in units of 1/64.  The double copies are kept for reference and
// for deriving the re-encoding matrix; the kernels use the integers.
struct StandardRecord {
    uint8_t y_offset;
    int16_t y_gain, cr_to_r, cb_to_g, cr_to_g, cb_to_b;
    double y_gain_d, cr_to_r_d, cb_to_g_d, cr_to_g_d, cb_to_b_d;
};

// out[c] = (Y*m[c][0] + (Cb-128)*m[c][1] + (Cr-128)*m[c][2] + offset[c]) >> 6
struct CameraRecord {
    int16_t offset[3];
    int16_t m[3][3];
};

// out[c] = (((Y-luma_offset)*m[c][0] + (Cb-128)*m[c][1] + (Cr-128)*m[c][2]) >> 6)
//          + (c == 0 ? luma_offset : chroma_offset[c-1])
struct ReencodeRecord {
    int16_t luma_offset;
    int16_t chroma_offset[2];
    int16_t m[3][3];
    double m_d[3][3];
};

constexpr int kMatrices = 7;
constexpr int kHueSteps = 256;

struct Tables {
    StandardRecord standard[kMatrices];
    CameraRecord camera_rgb[kMatrices];
    CameraRecord camera_yuv[kMatrices];
    ReencodeRecord reencode[kMatrices];
    double hue_cos[kHueSteps];  // cos(pi * (i - 128) / 256)
    double hue_sin[kHueSteps];
};

// Built once when the library loads, before any export can run.
const Tables& GetTables() noexcept;

using Yv12RgbFn = void (*)(uint32_t width, uint32_t height, const uint8_t* y, const uint8_t* cb,
                           const uint8_t* cr, int32_t y_stride, int32_t cb_stride,
                           int32_t cr_stride, uint8_t* dst, int32_t dst_stride, int32_t matrix);
using Yuy2RgbFn = void (*)(uint32_t width, uint32_t height, const uint8_t* src, int32_t src_stride,
                           uint8_t* dst, int32_t dst_stride, int32_t matrix);
using Yv12Yv12Fn = void (*)(uint32_t width, uint32_t height, const uint8_t* y, const uint8_t* cb,
                            const uint8_t* cr, int32_t y_stride, int32_t cb_stride,
                            int32_t cr_stride, uint8_t* dy, uint8_t* dcb, uint8_t* dcr,
                            int32_t dy_stride, int32_t dcb_stride, int32_t dcr_stride,
                            int32_t matrix);

// Indexed [camera][bgr][bytes per pixel == 4].
struct Kernels {
    Yv12RgbFn yv12_rgb[2][2][2];
    Yuy2RgbFn yuy2_rgb[2][2][2];
    Yv12Yv12Fn yv12_sony;
    Yv12Yv12Fn yv12_bt2020;
};

// Each instruction-set file fills its part of a path's kernel set.
void FillSse2(Kernels& k);       // YV12 to RGB, BT.2020 re-encoding
void FillSsse3(Kernels& k);      // YUY2 to RGB, camera re-encoding
void FillSsse3Yv12(Kernels& k);  // YV12 to RGB with byte shuffles for 24-bit output
void FillAvx2(Kernels& k);       // everything
void FillAvx512(Kernels& k);     // everything

// Sse2: 128-bit kernels using SSSE3 only where a function needs it (YUY2 and
// the camera re-encoding); Ssse3: 128-bit kernels using it wherever it
// helps; Avx2: 256-bit kernels; Avx512: 512-bit kernels.  All give the same
// bytes.
enum class SimdPath { Sse2, Ssse3, Avx2, Avx512 };

// The path the library starts with: the widest the processor has, unless
// the VEMX_SIMD setting (env_value, may be null) is "sse2", "ssse3" or "avx2".
SimdPath ChoosePath(const char* env_value, bool cpu_has_ssse3, bool cpu_has_avx2,
                    bool cpu_has_avx512) noexcept;
bool CpuHasSsse3() noexcept;
bool CpuHasAvx2() noexcept;
// AVX-512 F and BW, which every 512-bit kernel needs.
bool CpuHasAvx512() noexcept;
SimdPath ActivePath() noexcept;
// Switches the path for the whole library (tests run both); false when the
// processor cannot run it.
bool SelectPath(SimdPath path) noexcept;
const Kernels& ActiveKernels() noexcept;

}  // namespace vemx::ccvt
