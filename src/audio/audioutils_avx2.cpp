// AVX2 build of the audio utilities' loops (see audioutils_kernels.h).
// Results must match the SSE2 build bit for bit, so no multiply may be fused
// with an add.
#pragma GCC optimize("fp-contract=off")
#include <immintrin.h>

#include "audio/audioutils_kernels.h"

namespace vemx::audioutils {

namespace {

// Sixteen 16-bit samples times a 16-bit gain (see Scale8 of the SSE2 build).
// Unpack and pack both work within 128-bit lanes, so the order survives.
inline __m256i Scale16(__m256i s, __m256i gain_half) {
    const __m256i one = _mm256_set1_epi16(1);
    const __m256i lo =
        _mm256_srai_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(s, one), gain_half), 8);
    const __m256i hi =
        _mm256_srai_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(s, one), gain_half), 8);
    return _mm256_packs_epi32(lo, hi);
}

// Sixteen samples clamped to the gain's bounds, then a full 32-bit multiply.
inline __m256i ScaleWide16(__m256i s, const GainParams& p) {
    s = _mm256_max_epi16(s, _mm256_set1_epi16(static_cast<int16_t>(p.s_min)));
    s = _mm256_min_epi16(s, _mm256_set1_epi16(static_cast<int16_t>(p.s_max)));
    const __m256i g = _mm256_set1_epi32(p.gain), half = _mm256_set1_epi32(128);
    const __m256i a = _mm256_cvtepi16_epi32(_mm256_castsi256_si128(s));
    const __m256i b = _mm256_cvtepi16_epi32(_mm256_extracti128_si256(s, 1));
    const __m256i pa = _mm256_srai_epi32(_mm256_add_epi32(_mm256_mullo_epi32(a, g), half), 8);
    const __m256i pb = _mm256_srai_epi32(_mm256_add_epi32(_mm256_mullo_epi32(b, g), half), 8);
    // The pack interleaves 64-bit quarters across lanes; put them back.
    return _mm256_permute4x64_epi64(_mm256_packs_epi32(pa, pb), 0xD8);
}

__m256i GainHalf(int32_t gain) {
    return _mm256_set1_epi32(static_cast<int32_t>((128u << 16) | (gain & 0xFFFF)));
}

void Rescale16Avx2(int16_t* data, size_t count, int gain) {
    const GainParams p = Params16(gain);
    size_t i = 0;
    if (FitsInt16(p.gain)) {
        const __m256i g = GainHalf(p.gain);
        for (; i + 32 <= count; i += 32) {
            auto* v = reinterpret_cast<__m256i*>(data + i);
            const __m256i a = _mm256_loadu_si256(v), b = _mm256_loadu_si256(v + 1);
            _mm256_storeu_si256(v, Scale16(a, g));
            _mm256_storeu_si256(v + 1, Scale16(b, g));
        }
    } else {
        for (; i + 16 <= count; i += 16) {
            auto* v = reinterpret_cast<__m256i*>(data + i);
            _mm256_storeu_si256(v, ScaleWide16(_mm256_loadu_si256(v), p));
        }
    }
    for (; i < count; ++i) data[i] = Rescale16(data[i], p);
}

void Rescale8Avx2(uint8_t* data, size_t count, int gain) {
    const GainParams p = Params8(gain);
    const __m256i g = GainHalf(p.gain);
    const __m256i zero = _mm256_setzero_si256(), bias = _mm256_set1_epi16(128);
    size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        auto* v = reinterpret_cast<__m256i*>(data + i);
        const __m256i x = _mm256_loadu_si256(v);
        const __m256i lo = _mm256_sub_epi16(_mm256_unpacklo_epi8(x, zero), bias);
        const __m256i hi = _mm256_sub_epi16(_mm256_unpackhi_epi8(x, zero), bias);
        _mm256_storeu_si256(v, _mm256_packus_epi16(_mm256_adds_epi16(Scale16(lo, g), bias),
                                                   _mm256_adds_epi16(Scale16(hi, g), bias)));
    }
    for (; i < count; ++i) data[i] = Rescale8(data[i], p);
}

void Read16Avx2(const int16_t* src, int n, double* out) {
    const __m256d hi = _mm256_set1_pd(kHi32767), lo = _mm256_set1_pd(kLo32767);
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i w =
            _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)));
        const __m256d a = _mm256_cvtepi32_pd(_mm256_castsi256_si128(w));
        const __m256d b = _mm256_cvtepi32_pd(_mm256_extracti128_si256(w, 1));
        _mm256_storeu_pd(out + i, _mm256_add_pd(_mm256_mul_pd(a, hi), _mm256_mul_pd(a, lo)));
        _mm256_storeu_pd(out + i + 4, _mm256_add_pd(_mm256_mul_pd(b, hi), _mm256_mul_pd(b, lo)));
    }
    for (; i < n; ++i) out[i] = Div32767(src[i]);
}

// Twelve lanes (three independent vectors of four) each keep the first
// maximum of the bins congruent to them mod 12; see StrongestSse2.
Peak StrongestAvx2(const fftw_complex* spectrum, int bins, int64_t none) {
    constexpr int kVectors = 3;
    __m256d best[kVectors], index[kVectors], at[kVectors];
    for (int v = 0; v < kVectors; ++v) {
        best[v] = _mm256_setzero_pd();
        index[v] = _mm256_set1_pd(static_cast<double>(none));
        // The power vector below holds bins k, k+2, k+1, k+3.
        at[v] = _mm256_set_pd(4 * v + 3, 4 * v + 1, 4 * v + 2, 4 * v);
    }
    const __m256d step = _mm256_set1_pd(4 * kVectors);
    int k = 0;
    for (; k + 4 * kVectors <= bins; k += 4 * kVectors) {
        for (int v = 0; v < kVectors; ++v) {
            const __m256d c01 = _mm256_loadu_pd(spectrum[k + 4 * v]);
            const __m256d c23 = _mm256_loadu_pd(spectrum[k + 4 * v + 2]);
            const __m256d s01 = _mm256_mul_pd(c01, c01), s23 = _mm256_mul_pd(c23, c23);
            const __m256d p =
                _mm256_add_pd(_mm256_unpacklo_pd(s01, s23), _mm256_unpackhi_pd(s01, s23));
            const __m256d wins = _mm256_cmp_pd(p, best[v], _CMP_GT_OQ);
            best[v] = _mm256_blendv_pd(best[v], p, wins);
            index[v] = _mm256_blendv_pd(index[v], at[v], wins);
            at[v] = _mm256_add_pd(at[v], step);
        }
    }
    Peak peak{0.0, none};
    for (int v = 0; v < kVectors; ++v) {
        double b[4], i[4];
        _mm256_storeu_pd(b, best[v]);
        _mm256_storeu_pd(i, index[v]);
        for (int lane = 0; lane < 4; ++lane)
            MergePeak(peak, b[lane], static_cast<int64_t>(i[lane]));
    }
    for (; k < bins; ++k) {
        const double re = spectrum[k][0], im = spectrum[k][1];
        const double p = re * re + im * im;
        if (p > peak.power) peak = {p, k};
    }
    return peak;
}

}  // namespace

const Kernels kAvx2Kernels = {Rescale16Avx2, Rescale8Avx2, Read16Avx2, StrongestAvx2};

}  // namespace vemx::audioutils
