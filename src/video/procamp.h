#pragma once
// The processing amplifier's settings record and its kernel sets.
#include <cstdint>

namespace vemx::procamp {

// The fixed-point copies (units of 1/64) the kernels use.
struct Terms {
    int16_t brightness;
    int16_t cosine;
    int16_t sine;
    int16_t contrast;
};

// Not reference counted: the caller owns it from new to release.  Each
// control's term is recomputed only when its real value changes.
class ProcAmp {
public:
    ProcAmp() noexcept;

    // contrast gain, brightness as a fraction of 255, hue in radians, saturation gain.
    void Update(double contrast, double brightness, double hue, double saturation) noexcept;
    // Slider positions 0..255, 128 neutral; the hue comes from the load-time table.
    void Update1(int32_t contrast, int32_t brightness, int32_t hue, int32_t saturation) noexcept;

    const Terms& terms() const noexcept { return terms_; }
    double contrast() const noexcept { return contrast_; }
    double brightness() const noexcept { return brightness_; }
    double hue() const noexcept { return hue_; }
    double saturation() const noexcept { return saturation_; }
    double chroma_cos() const noexcept { return chroma_cos_; }
    double chroma_sin() const noexcept { return chroma_sin_; }

private:
    void SetContrast(double contrast) noexcept;
    void SetBrightness(double brightness) noexcept;
    void SetChroma(double hue, double saturation, double cos_value, double sin_value) noexcept;

    double contrast_ = 1.0;
    double brightness_ = 0.5;
    double hue_ = 0.0;
    double saturation_ = 1.0;
    double chroma_cos_;
    double chroma_sin_;
    Terms terms_{8160, 64, 0, 64};
};

using PlanarFn = void (*)(const Terms& t, uint32_t width, uint32_t height, const uint8_t* sy, const uint8_t* su,
                          const uint8_t* sv, int32_t sys, int32_t sus, int32_t svs, uint8_t* dy, uint8_t* du,
                          uint8_t* dv, int32_t dys, int32_t dus, int32_t dvs);
using PackedFn = void (*)(const Terms& t, uint32_t width, uint32_t height, const uint8_t* src, int32_t ss,
                          uint8_t* dst, int32_t ds);

struct Kernels {
    PlanarFn yv12;
    PackedFn yuy2;
    PlanarFn planar422;
};

void FillSse2(Kernels& k);
void FillAvx2(Kernels& k);
void FillAvx512(Kernels& k);
// The set of the library's current SIMD path (see ccvt::ActivePath).
const Kernels& ActiveKernels() noexcept;

}  // namespace vemx::procamp
