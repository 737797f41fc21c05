// Processing amplifier: the settings record, its updates and the exports.
#include "video/procamp.h"

#include <cmath>
#include <new>
#include <numbers>

#include "frame/handle.h"
#include "video/ccvt.h"
#include "vemx/vemx_procamp.h"

namespace vemx::procamp {

namespace {

// value * 64 + 0.5 truncated toward zero, kept to its low 16 bits: extreme
// controls wrap in the kernels anyway, and the conversion must stay defined.
int16_t FixedTerm(double value) noexcept {
    const double t = std::trunc(value * 64.0 + 0.5);
    if (!(t >= -2147483648.0 && t <= 2147483647.0)) return 0;
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<int64_t>(t)));
}

constexpr int kNeutral = 128;

Kernels g_sse{};
Kernels g_avx2{};
Kernels g_avx512{};

__attribute__((constructor(103))) void LoadTime() {
    FillSse2(g_sse);
    // Built for their instruction sets: only reached where the processor has them.
    if (ccvt::CpuHasAvx2()) FillAvx2(g_avx2);
    if (ccvt::CpuHasAvx512()) FillAvx512(g_avx512);
}

}  // namespace

ProcAmp::ProcAmp() noexcept
    : chroma_cos_(ccvt::GetTables().hue_cos[kNeutral]), chroma_sin_(ccvt::GetTables().hue_sin[kNeutral]) {}

void ProcAmp::SetContrast(double contrast) noexcept {
    if (contrast == contrast_) return;
    contrast_ = contrast;
    terms_.contrast = FixedTerm(contrast);
}

void ProcAmp::SetBrightness(double brightness) noexcept {
    if (brightness == brightness_) return;
    brightness_ = brightness;
    terms_.brightness = FixedTerm(brightness * 255.0);
}

void ProcAmp::SetChroma(double hue, double saturation, double cos_value, double sin_value) noexcept {
    hue_ = hue;
    saturation_ = saturation;
    chroma_cos_ = cos_value;
    chroma_sin_ = sin_value;
    terms_.cosine = FixedTerm(cos_value);
    terms_.sine = FixedTerm(sin_value);
}

void ProcAmp::Update(double contrast, double brightness, double hue, double saturation) noexcept {
    SetContrast(contrast);
    SetBrightness(brightness);
    if (hue != hue_ || saturation != saturation_) {
        SetChroma(hue, saturation, std::cos(hue) * saturation, std::sin(hue) * saturation);
    }
}

void ProcAmp::Update1(int32_t contrast, int32_t brightness, int32_t hue, int32_t saturation) noexcept {
    SetContrast((contrast - kNeutral) / 256.0 + 1.0);
    SetBrightness(brightness / 256.0);
    const double sat = (saturation - kNeutral) / 128.0 + 1.0;
    // Remembered for change detection only; the rotation applied is the
    // table's pi * (h - 128) / 256.
    const double remembered = 2.0 * std::numbers::pi * hue / 256.0 - std::numbers::pi;
    if (remembered != hue_ || sat != saturation_) {
        const unsigned index = static_cast<uint32_t>(hue) % ccvt::kHueSteps;
        const ccvt::Tables& t = ccvt::GetTables();
        SetChroma(remembered, sat, sat * t.hue_cos[index], sat * t.hue_sin[index]);
    }
}

const Kernels& ActiveKernels() noexcept {
    switch (ccvt::ActivePath()) {
        case ccvt::SimdPath::Avx512:
            return g_avx512;
        case ccvt::SimdPath::Avx2:
            return g_avx2;
        default:
            return g_sse;
    }
}

}  // namespace vemx::procamp

using vemx::frame::Guarded;
using vemx::procamp::ActiveKernels;
using vemx::procamp::ProcAmp;

VEMX_EXPORT void* vemx_procamp_new(void) { return new (std::nothrow) ProcAmp(); }

VEMX_EXPORT void vemx_procamp_release(void* procamp) { delete static_cast<ProcAmp*>(procamp); }

VEMX_EXPORT void vemx_procamp_update(void* procamp, double contrast, double brightness, double hue,
                                     double saturation) {
    Guarded("vemx_procamp_update",
            [&] { static_cast<ProcAmp*>(procamp)->Update(contrast, brightness, hue, saturation); });
}

VEMX_EXPORT void vemx_procamp_update1(void* procamp, int32_t contrast, int32_t brightness, int32_t hue,
                                      int32_t saturation) {
    Guarded("vemx_procamp_update1",
            [&] { static_cast<ProcAmp*>(procamp)->Update1(contrast, brightness, hue, saturation); });
}

VEMX_EXPORT void vemx_procamp_adjust_yv12(void* procamp, uint32_t width, uint32_t height, const uint8_t* src_y,
                                          const uint8_t* src_u, const uint8_t* src_v, int32_t src_y_stride,
                                          int32_t src_u_stride, int32_t src_v_stride, uint8_t* dst_y,
                                          uint8_t* dst_u, uint8_t* dst_v, int32_t dst_y_stride,
                                          int32_t dst_u_stride, int32_t dst_v_stride) {
    Guarded("vemx_procamp_adjust_yv12", [&] {
        ActiveKernels().yv12(static_cast<ProcAmp*>(procamp)->terms(), width, height, src_y, src_u, src_v,
                             src_y_stride, src_u_stride, src_v_stride, dst_y, dst_u, dst_v, dst_y_stride,
                             dst_u_stride, dst_v_stride);
    });
}

VEMX_EXPORT void vemx_procamp_adjust_yuy2(void* procamp, uint32_t width, uint32_t height, const uint8_t* src,
                                          int32_t src_stride, uint8_t* dst, int32_t dst_stride) {
    Guarded("vemx_procamp_adjust_yuy2", [&] {
        ActiveKernels().yuy2(static_cast<ProcAmp*>(procamp)->terms(), width, height, src, src_stride, dst,
                             dst_stride);
    });
}

VEMX_EXPORT void vemx_procamp_adjust_yuy2_p(void* procamp, uint32_t width, uint32_t height,
                                            const uint8_t* src_y, const uint8_t* src_u, const uint8_t* src_v,
                                            int32_t src_y_stride, int32_t src_u_stride, int32_t src_v_stride,
                                            uint8_t* dst_y, uint8_t* dst_u, uint8_t* dst_v,
                                            int32_t dst_y_stride, int32_t dst_u_stride,
                                            int32_t dst_v_stride) {
    Guarded("vemx_procamp_adjust_yuy2_p", [&] {
        ActiveKernels().planar422(static_cast<ProcAmp*>(procamp)->terms(), width, height, src_y, src_u, src_v,
                                  src_y_stride, src_u_stride, src_v_stride, dst_y, dst_u, dst_v,
                                  dst_y_stride, dst_u_stride, dst_v_stride);
    });
}
