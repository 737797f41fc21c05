#pragma once
// The vector loops of the audio utilities.  They are built twice, for SSE2
// (every x86-64) and for AVX2, and picked once at run time.  Both sets give
// bit-identical results.
//
// The scalar helpers below sit in an unnamed namespace on purpose: each
// build gets its own copy, so code compiled for AVX2 can never be merged
// into the SSE2 build by the linker.
#include <fftw3.h>

#include <cstddef>
#include <cstdint>

namespace vemx::audioutils {

struct Peak {
    double power;
    int64_t index;
};

struct Kernels {
    // In-place gain on count samples.
    void (*rescale16)(int16_t* data, size_t count, int gain);
    void (*rescale8)(uint8_t* data, size_t count, int gain);
    // out[i] = src[i] / 32767.0 for n contiguous samples.
    void (*read16)(const int16_t* src, int n, double* out);
    // The first of bins 0 .. bins - 1 whose power re^2 + im^2 beats 0.0 and
    // every earlier bin; {0.0, none} when there is none.
    Peak (*strongest)(const fftw_complex* spectrum, int bins, int64_t none);
};

extern const Kernels kSse2Kernels;
extern const Kernels kAvx2Kernels;  // only on processors with AVX2

// The best set this processor runs.
const Kernels& ActiveKernels() noexcept;

namespace {

// ---- Gain -----------------------------------------------------------------
//
// y = floor((s * gain + 128) / 256), clamped, where s is the signed sample.
// The result is monotonic in both s and gain, so two clamps make every gain
// computable in 32 bits without changing any result:
//  - beyond a gain where every non-zero sample saturates, a larger gain
//    changes nothing (zero stays zero at any gain);
//  - at a gain where samples beyond some bound saturate, clamping the sample
//    to that bound changes nothing.

struct GainParams {
    int32_t gain;
    int32_t s_min, s_max;  // sample clamp, a no-op unless the gain is large
};

// 16-bit: at |gain| >= 2^23 + 129 any |s| >= 1 saturates.  At |gain| >= 65536
// s >= 128 and s <= -129 saturate; at |gain| >= 32768, s >= 256 and s <= -257.
// Every product then stays below 2^31.
inline GainParams Params16(int gain) {
    constexpr int32_t kMax = (1 << 23) + 256;
    const int32_t g = gain > kMax ? kMax : gain < -kMax ? -kMax : gain;
    const int32_t mag = g < 0 ? -g : g;
    if (mag >= 65536) return {g, -129, 128};
    if (mag >= 32768) return {g, -257, 256};
    return {g, -32768, 32767};
}

// 8-bit (s = x - 128 in -128..127): at |gain| >= 32767 every s != 0
// saturates, so the gain always fits 16 bits.
inline GainParams Params8(int gain) {
    const int32_t g = gain > 32767 ? 32767 : gain < -32768 ? -32768 : gain;
    return {g, -128, 127};
}

inline bool FitsInt16(int32_t gain) {
    return gain >= -32768 && gain <= 32767;
}

inline int32_t Scale(int32_t s, const GainParams& p) {
    s = s < p.s_min ? p.s_min : s > p.s_max ? p.s_max : s;
    return (s * p.gain + 128) >> 8;
}

inline int16_t Rescale16(int16_t x, const GainParams& p) {
    const int32_t y = Scale(x, p);
    return static_cast<int16_t>(y < -32768 ? -32768 : y > 32767 ? 32767 : y);
}

inline uint8_t Rescale8(uint8_t x, const GainParams& p) {
    const int32_t y = Scale(int32_t{x} - 128, p) + 128;
    return static_cast<uint8_t>(y < 0 ? 0 : y > 255 ? 255 : y);
}

// ---- Sample reading -------------------------------------------------------
//
// x / 32767.0 without a division, rounded identically for every 16-bit x.
// 1/32767 = kHi + kLo to about 2^-113; kHi has 37 significant bits, so
// x * kHi is exact and the small x * kLo term carries the rest.  The exact
// quotient never lies near enough to a rounding midpoint for the remaining
// error to matter (the tests check all 65536 inputs).  Both products must be
// rounded separately: no fused multiply-add.
constexpr double kHi32767 = 0x1.00020004p-15;
constexpr double kLo32767 = 0x1.000200040008p-60;

inline double Div32767(int16_t x) {
    return x * kHi32767 + x * kLo32767;
}

// Folds one lane's first maximum into the running answer: the greater power
// wins, the lower index breaks a tie.
inline void MergePeak(Peak& peak, double power, int64_t index) {
    if (power > peak.power || (power == peak.power && index < peak.index)) peak = {power, index};
}

}  // namespace

}  // namespace vemx::audioutils
