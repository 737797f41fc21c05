// SSE2 build of the audio utilities' loops (see audioutils_kernels.h).
#include <emmintrin.h>

#include "audio/audioutils_kernels.h"

namespace vemx::audioutils {

namespace {

// Eight 16-bit samples times a 16-bit gain, rounded: pairs (s, 1) times
// (gain, 128) give s * gain + 128 exactly in 32 bits; the shift floors and
// the pack saturates.
inline __m128i Scale8(__m128i s, __m128i gain_half) {
    const __m128i one = _mm_set1_epi16(1);
    const __m128i lo = _mm_srai_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(s, one), gain_half), 8);
    const __m128i hi = _mm_srai_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(s, one), gain_half), 8);
    return _mm_packs_epi32(lo, hi);
}

__m128i GainHalf(int32_t gain) {
    return _mm_set1_epi32(static_cast<int32_t>((128u << 16) | (gain & 0xFFFF)));
}

void Rescale16Sse2(int16_t* data, size_t count, int gain) {
    const GainParams p = Params16(gain);
    size_t i = 0;
    if (FitsInt16(p.gain)) {
        const __m128i g = GainHalf(p.gain);
        for (; i + 16 <= count; i += 16) {
            auto* v = reinterpret_cast<__m128i*>(data + i);
            const __m128i a = _mm_loadu_si128(v), b = _mm_loadu_si128(v + 1);
            _mm_storeu_si128(v, Scale8(a, g));
            _mm_storeu_si128(v + 1, Scale8(b, g));
        }
    }
    for (; i < count; ++i) data[i] = Rescale16(data[i], p);
}

void Rescale8Sse2(uint8_t* data, size_t count, int gain) {
    const GainParams p = Params8(gain);
    const __m128i g = GainHalf(p.gain);
    const __m128i zero = _mm_setzero_si128(), bias = _mm_set1_epi16(128);
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        auto* v = reinterpret_cast<__m128i*>(data + i);
        const __m128i x = _mm_loadu_si128(v);
        const __m128i lo = _mm_sub_epi16(_mm_unpacklo_epi8(x, zero), bias);
        const __m128i hi = _mm_sub_epi16(_mm_unpackhi_epi8(x, zero), bias);
        // Saturating bias, then the unsigned pack clamps to 0..255.
        _mm_storeu_si128(v, _mm_packus_epi16(_mm_adds_epi16(Scale8(lo, g), bias),
                                             _mm_adds_epi16(Scale8(hi, g), bias)));
    }
    for (; i < count; ++i) data[i] = Rescale8(data[i], p);
}

void Read16Sse2(const int16_t* src, int n, double* out) {
    const __m128d hi = _mm_set1_pd(kHi32767), lo = _mm_set1_pd(kLo32767);
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        const __m128i w[2] = {_mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16),
                              _mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16)};
        for (int h = 0; h < 2; ++h) {
            const __m128d a = _mm_cvtepi32_pd(w[h]);
            const __m128d b = _mm_cvtepi32_pd(_mm_unpackhi_epi64(w[h], w[h]));
            _mm_storeu_pd(out + i + 4 * h, _mm_add_pd(_mm_mul_pd(a, hi), _mm_mul_pd(a, lo)));
            _mm_storeu_pd(out + i + 4 * h + 2, _mm_add_pd(_mm_mul_pd(b, hi), _mm_mul_pd(b, lo)));
        }
    }
    for (; i < n; ++i) out[i] = Div32767(src[i]);
}

// Eight lanes (four independent vectors of two, so their compares overlap)
// each keep the first maximum of the bins congruent to them mod 8; merging
// the lanes then gives the sequential scan's answer.
Peak StrongestSse2(const fftw_complex* spectrum, int bins, int64_t none) {
    constexpr int kVectors = 4;
    __m128d best[kVectors], index[kVectors], at[kVectors];
    for (int v = 0; v < kVectors; ++v) {
        best[v] = _mm_setzero_pd();
        index[v] = _mm_set1_pd(static_cast<double>(none));
        at[v] = _mm_set_pd(2 * v + 1, 2 * v);
    }
    const __m128d step = _mm_set1_pd(2 * kVectors);
    int k = 0;
    for (; k + 2 * kVectors <= bins; k += 2 * kVectors) {
        for (int v = 0; v < kVectors; ++v) {
            const __m128d c0 = _mm_loadu_pd(spectrum[k + 2 * v]),
                          c1 = _mm_loadu_pd(spectrum[k + 2 * v + 1]);
            const __m128d s0 = _mm_mul_pd(c0, c0), s1 = _mm_mul_pd(c1, c1);
            const __m128d p = _mm_add_pd(_mm_unpacklo_pd(s0, s1), _mm_unpackhi_pd(s0, s1));
            const __m128d wins = _mm_cmpgt_pd(p, best[v]);
            best[v] = _mm_or_pd(_mm_and_pd(wins, p), _mm_andnot_pd(wins, best[v]));
            index[v] = _mm_or_pd(_mm_and_pd(wins, at[v]), _mm_andnot_pd(wins, index[v]));
            at[v] = _mm_add_pd(at[v], step);
        }
    }
    Peak peak{0.0, none};
    for (int v = 0; v < kVectors; ++v) {
        double b[2], i[2];
        _mm_storeu_pd(b, best[v]);
        _mm_storeu_pd(i, index[v]);
        MergePeak(peak, b[0], static_cast<int64_t>(i[0]));
        MergePeak(peak, b[1], static_cast<int64_t>(i[1]));
    }
    for (; k < bins; ++k) {
        const double re = spectrum[k][0], im = spectrum[k][1];
        const double p = re * re + im * im;
        if (p > peak.power) peak = {p, k};
    }
    return peak;
}

}  // namespace

const Kernels kSse2Kernels = {Rescale16Sse2, Rescale8Sse2, Read16Sse2, StrongestSse2};

const Kernels& ActiveKernels() noexcept {
    static const Kernels& active = __builtin_cpu_supports("avx2") ? kAvx2Kernels : kSse2Kernels;
    return active;
}

}  // namespace vemx::audioutils
