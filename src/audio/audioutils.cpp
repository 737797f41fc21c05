// Stateless audio utilities: fixed-point gain, dominant frequency and a thin
// real-to-complex FFT over FFTW 3.
#include <emmintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include "audio/fftplancache.h"
#include "frame/handle.h"
#include "frame/log.h"
#include "vemx/vemx_audio.h"

namespace vemx::audioutils {

namespace {

constexpr const char* kTag = "ERROR[AudioUtils] ";

// ---- Gain -----------------------------------------------------------------
//
// y = floor((s * gain + 128) / 256), clamped, where s is the signed sample.
// The result is monotonic in both s and gain, so two clamps make every gain
// computable in 32 bits without changing any result:
//  - beyond a gain where every non-zero sample saturates, a larger gain
//    changes nothing (zero stays zero at any gain);
//  - at a gain where samples beyond some bound saturate, clamping the sample
//    to that bound changes nothing.
// The common gains (|gain| < 32768) take a 16-bit multiply SIMD path whose
// 32-bit products are exact and whose packing saturates.

struct GainParams {
    int32_t gain;
    int32_t s_min, s_max;  // sample clamp, a no-op unless gain is large
};

// 16-bit: at |gain| >= 2^23 + 129 any |s| >= 1 saturates.  At |gain| >= 65536
// s >= 128 and s <= -129 saturate; at |gain| >= 32768, s >= 256 and s <= -257.
// Every product then stays below 2^31.
GainParams Params16(int gain) {
    constexpr int32_t kMax = (1 << 23) + 256;
    const int32_t g = gain > kMax ? kMax : gain < -kMax ? -kMax : gain;
    const int32_t mag = g < 0 ? -g : g;
    if (mag >= 65536) return {g, -129, 128};
    if (mag >= 32768) return {g, -257, 256};
    return {g, -32768, 32767};
}

// 8-bit (s = x - 128 in -128..127): at |gain| >= 2^15 + 129 any |s| >= 1
// saturates; products stay below 2^23.
GainParams Params8(int gain) {
    constexpr int32_t kMax = (1 << 15) + 256;
    const int32_t g = gain > kMax ? kMax : gain < -kMax ? -kMax : gain;
    return {g, -128, 127};
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

// Eight 16-bit samples times a 16-bit gain: exact 32-bit products, rounded,
// shifted and packed back with signed saturation.
inline __m128i Scale8x16(__m128i s, __m128i gain) {
    const __m128i lo = _mm_mullo_epi16(s, gain);
    const __m128i hi = _mm_mulhi_epi16(s, gain);
    const __m128i half = _mm_set1_epi32(128);
    const __m128i p0 = _mm_srai_epi32(_mm_add_epi32(_mm_unpacklo_epi16(lo, hi), half), 8);
    const __m128i p1 = _mm_srai_epi32(_mm_add_epi32(_mm_unpackhi_epi16(lo, hi), half), 8);
    return _mm_packs_epi32(p0, p1);
}

void Rescale16Block(int16_t* data, size_t count, int gain) {
    const GainParams p = Params16(gain);
    size_t i = 0;
    if (p.gain >= -32768 && p.gain <= 32767) {
        const __m128i g = _mm_set1_epi16(static_cast<int16_t>(p.gain));
        for (; i + 16 <= count; i += 16) {
            auto* v = reinterpret_cast<__m128i*>(data + i);
            const __m128i a = _mm_loadu_si128(v);
            const __m128i b = _mm_loadu_si128(v + 1);
            _mm_storeu_si128(v, Scale8x16(a, g));
            _mm_storeu_si128(v + 1, Scale8x16(b, g));
        }
    }
    for (; i < count; ++i) data[i] = Rescale16(data[i], p);
}

void Rescale8Block(uint8_t* data, size_t count, int gain) {
    const GainParams p = Params8(gain);
    size_t i = 0;
    if (p.gain >= -32768 && p.gain <= 32767) {
        const __m128i g = _mm_set1_epi16(static_cast<int16_t>(p.gain));
        const __m128i zero = _mm_setzero_si128();
        const __m128i bias = _mm_set1_epi16(128);
        for (; i + 16 <= count; i += 16) {
            auto* v = reinterpret_cast<__m128i*>(data + i);
            const __m128i x = _mm_loadu_si128(v);
            const __m128i lo = _mm_sub_epi16(_mm_unpacklo_epi8(x, zero), bias);
            const __m128i hi = _mm_sub_epi16(_mm_unpackhi_epi8(x, zero), bias);
            // The biased values saturate (adds) before the unsigned pack
            // clamps them to 0..255.
            const __m128i ylo = _mm_adds_epi16(Scale8x16(lo, g), bias);
            const __m128i yhi = _mm_adds_epi16(Scale8x16(hi, g), bias);
            _mm_storeu_si128(v, _mm_packus_epi16(ylo, yhi));
        }
    }
    for (; i < count; ++i) data[i] = Rescale8(data[i], p);
}

// Sample count of a rescale call; 0 when the product is not positive.
size_t SampleCount(int frames, int channels) {
    const int64_t n = static_cast<int64_t>(frames) * channels;
    return n > 0 ? static_cast<size_t>(n) : 0;
}

// ---- Transforms -----------------------------------------------------------

struct FftwFree {
    void operator()(void* p) const noexcept { fftw_free(p); }
};
using RealBuffer = std::unique_ptr<double[], FftwFree>;
using ComplexBuffer = std::unique_ptr<fftw_complex[], FftwFree>;

size_t Bins(int n) { return static_cast<size_t>(n / 2 + 1); }

// 8-bit samples as x / 255.0 * 2.0 - 1.0, tabulated once.
const double* Table8() {
    static const auto table = [] {
        std::unique_ptr<double[]> t(new double[256]);
        for (int x = 0; x < 256; ++x) t[x] = x / 255.0 * 2.0 - 1.0;
        return t;
    }();
    return table.get();
}

// Fills in[0..n) by the sample-reading rule; false for unsupported bits,
// which leave silence.
bool ReadSamples(const void* data, int bits, int stride, int n, int offset, double* in) {
    const ptrdiff_t step = stride;
    ptrdiff_t at = offset;
    if (bits == 8) {
        const auto* src = static_cast<const uint8_t*>(data);
        const double* table = Table8();
        for (int i = 0; i < n; ++i, at += step) in[i] = table[src[at]];
        return true;
    }
    if (bits == 16) {
        const auto* src = static_cast<const int16_t*>(data);
        if (step == 1) {
            src += at;
            for (int i = 0; i < n; ++i) in[i] = src[i] / 32767.0;
        } else {
            for (int i = 0; i < n; ++i, at += step) in[i] = src[at] / 32767.0;
        }
        return true;
    }
    std::memset(in, 0, static_cast<size_t>(n) * sizeof(double));
    return false;
}

// Allocation failures surface as std::bad_alloc, which the export's guard
// reports.
RealBuffer AllocReal(int n) {
    RealBuffer in(fftw_alloc_real(static_cast<size_t>(n)));
    if (!in) throw std::bad_alloc();
    return in;
}

std::shared_ptr<const fftplancache::R2CPlan> Plan(int n, const fftw_complex* out) {
    auto plan = fftplancache::AcquireR2C(n, fftw_alignment_of(const_cast<double*>(out[0])));
    if (!plan) throw std::bad_alloc();
    return plan;
}

void DominantFrequency(const void* data, int bits, int stride, int sample_rate, int n, int offset,
                       double* frequency, double* power) {
    if (frequency) *frequency = std::numeric_limits<double>::quiet_NaN();
    if (power) *power = 0.0;
    if (n <= 0) {
        frame::LogPrint(kTag, "%s: invalid transform size, %d", "vemx_audio_dominant_freqency", n);
        return;
    }
    if (!data && (bits == 8 || bits == 16)) {
        frame::LogPrint(kTag, "%s: invalid input buffer", "vemx_audio_dominant_freqency");
        return;
    }
    RealBuffer in = AllocReal(n);
    ComplexBuffer out(fftw_alloc_complex(Bins(n)));
    if (!out) throw std::bad_alloc();
    ReadSamples(data, bits, stride, n, offset, in.get());
    Plan(n, out.get())->Execute(in.get(), out.get());

    // The strongest of bins 0 .. n/2 - 1; the first one wins a tie.  No bin
    // above zero leaves the index at n + 1, past the sample rate.
    double best = 0.0;
    int best_index = n + 1;
    const int last = n / 2;
    for (int k = 0; k < last; ++k) {
        const double re = out[k][0], im = out[k][1];
        const double p = re * re + im * im;
        if (p > best) {
            best = p;
            best_index = k;
        }
    }
    if (frequency) *frequency = static_cast<double>(best_index) * sample_rate / n;
    if (power) *power = best;
}

void* FftMalloc(int n, size_t* size) {
    if (!size) {
        frame::LogPrint(kTag, "%s: invalid output buffer", "vemx_fft_malloc");
        return nullptr;
    }
    if (n <= 0) {
        *size = 0;
        frame::LogPrint(kTag, "%s: invalid transform size, %d", "vemx_fft_malloc", n);
        return nullptr;
    }
    const size_t bytes = Bins(n) * sizeof(fftw_complex);
    void* buffer = fftw_malloc(bytes);
    *size = buffer ? bytes : 0;
    return buffer;
}

int FftExecute(const void* data, int bits, int stride, int n, int offset, void* spectrum,
               size_t spectrum_size) {
    if (!spectrum) {
        frame::LogPrint(kTag, "%s: invalid output buffer", "vemx_fft_execute");
        return 0;
    }
    if (n <= 0) {
        frame::LogPrint(kTag, "%s: invalid transform size, %d", "vemx_fft_execute", n);
        return 0;
    }
    const size_t needed = Bins(n) * sizeof(fftw_complex);
    if (spectrum_size < needed) {
        frame::LogPrint(kTag, "%s: output buffer is too small, suggested size is %zu", "vemx_fft_execute",
                        needed);
        return 0;
    }
    if (!data && (bits == 8 || bits == 16)) {
        frame::LogPrint(kTag, "%s: invalid input buffer", "vemx_fft_execute");
        return 0;
    }
    RealBuffer in = AllocReal(n);
    if (!ReadSamples(data, bits, stride, n, offset, in.get()))
        frame::LogPrint(kTag, "%s: unsupported bits count, %d", "vemx_fft_execute", bits);
    auto* out = static_cast<fftw_complex*>(spectrum);
    Plan(n, out)->Execute(in.get(), out);
    return 1;
}

}  // namespace

}  // namespace vemx::audioutils

namespace au = vemx::audioutils;
using vemx::frame::Guarded;

VEMX_EXPORT void vemx_audio_rescale_8u_C1IR(uint8_t* data, int frames, int channels, int gain) {
    Guarded("vemx_audio_rescale_8u_C1IR",
            [&] { au::Rescale8Block(data, au::SampleCount(frames, channels), gain); });
}

VEMX_EXPORT void vemx_audio_rescale_16s_C1IR(int16_t* data, int frames, int channels, int gain) {
    Guarded("vemx_audio_rescale_16s_C1IR",
            [&] { au::Rescale16Block(data, au::SampleCount(frames, channels), gain); });
}

VEMX_EXPORT void vemx_audio_dominant_freqency(const void* data, int bits, int stride, int sample_rate, int n,
                                              int offset, double* frequency, double* power) {
    Guarded("vemx_audio_dominant_freqency", [&] {
        au::DominantFrequency(data, bits, stride, sample_rate, n, offset, frequency, power);
    });
}

VEMX_EXPORT void* vemx_fft_malloc(int n, size_t* size) {
    return Guarded("vemx_fft_malloc", static_cast<void*>(nullptr), [&] { return au::FftMalloc(n, size); });
}

VEMX_EXPORT void vemx_fft_free(void* buffer) {
    Guarded("vemx_fft_free", [&] { fftw_free(buffer); });
}

VEMX_EXPORT int vemx_fft_execute(const void* data, int bits, int stride, int /*sample_rate*/, int n, int offset,
                                 void* spectrum, size_t spectrum_size) {
    return Guarded("vemx_fft_execute", 0,
                   [&] { return au::FftExecute(data, bits, stride, n, offset, spectrum, spectrum_size); });
}
