#pragma once
// Vector types shared by the colour conversion and procamp kernels.
//
// Every including file gets its own copy (internal linkage) compiled with its
// own instruction-set flags, so an AVX2 build of a helper can never be picked
// by the linker for an SSE2 caller.
//
// A 128-bit lane is the unit of work.  V128 has one lane, V256 two and V512
// four; every operation used here acts on each lane alone, so one kernel body
// gives the same bytes on all three, the wider types simply handling more
// lanes of pixels at once.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <utility>

namespace vemx::ccvt {
namespace {

struct V128 {
    using R = __m128i;
    static constexpr int kLanes = 1;
    static constexpr int kBytes = 16;

    static R zero() { return _mm_setzero_si128(); }
    static R set16(int v) { return _mm_set1_epi16(static_cast<int16_t>(v)); }
    static R broadcast(__m128i v) { return v; }
    static R load(const uint8_t* p) { return _mm_load_si128(reinterpret_cast<const __m128i*>(p)); }
    // Two 16-byte blocks, one per lane, the second lane_stride bytes on.
    static R load_lanes(const uint8_t* p, ptrdiff_t) { return load(p); }
    // 8 (per lane) chroma bytes widened to 16-bit words.
    static R chroma(const uint8_t* p) {
        return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero());
    }

    static R add(R a, R b) { return _mm_add_epi16(a, b); }
    static R sub(R a, R b) { return _mm_sub_epi16(a, b); }
    static R mul(R a, R b) { return _mm_mullo_epi16(a, b); }
    static R sra6(R a) { return _mm_srai_epi16(a, 6); }
    static R srl8(R a) { return _mm_srli_epi16(a, 8); }
    static R sll8(R a) { return _mm_slli_epi16(a, 8); }
    static R min16(R a, R b) { return _mm_min_epi16(a, b); }
    static R max16(R a, R b) { return _mm_max_epi16(a, b); }
    static R packus(R a, R b) { return _mm_packus_epi16(a, b); }
    static R lo8(R a, R b) { return _mm_unpacklo_epi8(a, b); }
    static R hi8(R a, R b) { return _mm_unpackhi_epi8(a, b); }
    static R lo16(R a, R b) { return _mm_unpacklo_epi16(a, b); }
    static R hi16(R a, R b) { return _mm_unpackhi_epi16(a, b); }
    static R lo64(R a, R b) { return _mm_unpacklo_epi64(a, b); }
    static R hi64(R a, R b) { return _mm_unpackhi_epi64(a, b); }
    static R and_(R a, R b) { return _mm_and_si128(a, b); }
    static R or_(R a, R b) { return _mm_or_si128(a, b); }
    static R xor_(R a, R b) { return _mm_xor_si128(a, b); }
    template <int N>
    static R bsll(R a) { return _mm_slli_si128(a, N); }
    template <int N>
    static R bsrl(R a) { return _mm_srli_si128(a, N); }
    // Swaps the words of each pair: [a b c d ...] -> [b a d c ...].
    static R swap_pairs(R a) { return _mm_shufflehi_epi16(_mm_shufflelo_epi16(a, 0xB1), 0xB1); }
#if defined(__SSSE3__)
    static R shuffle8(R a, R m) { return _mm_shuffle_epi8(a, m); }
    // Unsigned bytes of a times signed bytes of b, pairs summed to words.
    static R maddubs(R a, R b) { return _mm_maddubs_epi16(a, b); }
#endif
    template <int L>
    static __m128i lane(R a) { return a; }
};

#if defined(__AVX2__)
struct V256 {
    using R = __m256i;
    static constexpr int kLanes = 2;
    static constexpr int kBytes = 32;

    static R zero() { return _mm256_setzero_si256(); }
    static R set16(int v) { return _mm256_set1_epi16(static_cast<int16_t>(v)); }
    static R broadcast(__m128i v) { return _mm256_broadcastsi128_si256(v); }
    // Planes are only 16-byte aligned, so wide loads are unaligned loads.
    static R load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static R load_lanes(const uint8_t* p, ptrdiff_t lane_stride) {
        const __m128i a = _mm_load_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i b = _mm_load_si128(reinterpret_cast<const __m128i*>(p + lane_stride));
        return _mm256_inserti128_si256(_mm256_castsi128_si256(a), b, 1);
    }
    static R chroma(const uint8_t* p) {
        return _mm256_cvtepu8_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(p)));
    }

    static R add(R a, R b) { return _mm256_add_epi16(a, b); }
    static R sub(R a, R b) { return _mm256_sub_epi16(a, b); }
    static R mul(R a, R b) { return _mm256_mullo_epi16(a, b); }
    static R sra6(R a) { return _mm256_srai_epi16(a, 6); }
    static R srl8(R a) { return _mm256_srli_epi16(a, 8); }
    static R sll8(R a) { return _mm256_slli_epi16(a, 8); }
    static R min16(R a, R b) { return _mm256_min_epi16(a, b); }
    static R max16(R a, R b) { return _mm256_max_epi16(a, b); }
    static R packus(R a, R b) { return _mm256_packus_epi16(a, b); }
    static R lo8(R a, R b) { return _mm256_unpacklo_epi8(a, b); }
    static R hi8(R a, R b) { return _mm256_unpackhi_epi8(a, b); }
    static R lo16(R a, R b) { return _mm256_unpacklo_epi16(a, b); }
    static R hi16(R a, R b) { return _mm256_unpackhi_epi16(a, b); }
    static R lo64(R a, R b) { return _mm256_unpacklo_epi64(a, b); }
    static R hi64(R a, R b) { return _mm256_unpackhi_epi64(a, b); }
    static R and_(R a, R b) { return _mm256_and_si256(a, b); }
    static R or_(R a, R b) { return _mm256_or_si256(a, b); }
    static R xor_(R a, R b) { return _mm256_xor_si256(a, b); }
    template <int N>
    static R bsll(R a) { return _mm256_bslli_epi128(a, N); }
    template <int N>
    static R bsrl(R a) { return _mm256_bsrli_epi128(a, N); }
    static R swap_pairs(R a) { return _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(a, 0xB1), 0xB1); }
    static R shuffle8(R a, R m) { return _mm256_shuffle_epi8(a, m); }
    static R maddubs(R a, R b) { return _mm256_maddubs_epi16(a, b); }
    template <int L>
    static __m128i lane(R a) {
        if constexpr (L == 0) return _mm256_castsi256_si128(a);
        else return _mm256_extracti128_si256(a, 1);
    }
    // A whole register to a 32-byte aligned address.
    static void stream(uint8_t* p, R v) { _mm256_stream_si256(reinterpret_cast<__m256i*>(p), v); }
};
#endif

#if defined(__AVX512BW__)
struct V512 {
    using R = __m512i;
    static constexpr int kLanes = 4;
    static constexpr int kBytes = 64;

    static R zero() { return _mm512_setzero_si512(); }
    static R set16(int v) { return _mm512_set1_epi16(static_cast<int16_t>(v)); }
    static R broadcast(__m128i v) { return _mm512_broadcast_i32x4(v); }
    static R load(const uint8_t* p) { return _mm512_loadu_si512(p); }
    static R load_lanes(const uint8_t* p, ptrdiff_t lane_stride) {
        const auto at = [&](int k) {
            return _mm_load_si128(reinterpret_cast<const __m128i*>(p + k * lane_stride));
        };
        const __m256i lo = _mm256_inserti128_si256(_mm256_castsi128_si256(at(0)), at(1), 1);
        const __m256i hi = _mm256_inserti128_si256(_mm256_castsi128_si256(at(2)), at(3), 1);
        return _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1);
    }
    // 32 chroma bytes widened to words.
    static R chroma(const uint8_t* p) {
        return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    }

    static R add(R a, R b) { return _mm512_add_epi16(a, b); }
    static R sub(R a, R b) { return _mm512_sub_epi16(a, b); }
    static R mul(R a, R b) { return _mm512_mullo_epi16(a, b); }
    static R sra6(R a) { return _mm512_srai_epi16(a, 6); }
    static R srl8(R a) { return _mm512_srli_epi16(a, 8); }
    static R sll8(R a) { return _mm512_slli_epi16(a, 8); }
    static R min16(R a, R b) { return _mm512_min_epi16(a, b); }
    static R max16(R a, R b) { return _mm512_max_epi16(a, b); }
    static R packus(R a, R b) { return _mm512_packus_epi16(a, b); }
    static R lo8(R a, R b) { return _mm512_unpacklo_epi8(a, b); }
    static R hi8(R a, R b) { return _mm512_unpackhi_epi8(a, b); }
    static R lo16(R a, R b) { return _mm512_unpacklo_epi16(a, b); }
    static R hi16(R a, R b) { return _mm512_unpackhi_epi16(a, b); }
    static R lo64(R a, R b) { return _mm512_unpacklo_epi64(a, b); }
    static R hi64(R a, R b) { return _mm512_unpackhi_epi64(a, b); }
    static R and_(R a, R b) { return _mm512_and_si512(a, b); }
    static R or_(R a, R b) { return _mm512_or_si512(a, b); }
    static R xor_(R a, R b) { return _mm512_xor_si512(a, b); }
    template <int N>
    static R bsll(R a) { return _mm512_bslli_epi128(a, N); }
    template <int N>
    static R bsrl(R a) { return _mm512_bsrli_epi128(a, N); }
    static R swap_pairs(R a) { return _mm512_shufflehi_epi16(_mm512_shufflelo_epi16(a, 0xB1), 0xB1); }
    static R shuffle8(R a, R m) { return _mm512_shuffle_epi8(a, m); }
    static R maddubs(R a, R b) { return _mm512_maddubs_epi16(a, b); }
    template <int L>
    static __m128i lane(R a) {
        if constexpr (L == 0) return _mm512_castsi512_si128(a);
        else return _mm512_extracti32x4_epi32(a, L);
    }
    // A whole register to a 64-byte aligned address.
    static void stream(uint8_t* p, R v) { _mm512_stream_si512(reinterpret_cast<__m512i*>(p), v); }
};
#endif

// The type a wide kernel hands a row's last groups to when they fill less
// than one of its registers.
template <class V>
struct Narrower {
    using type = V;
};
#if defined(__AVX512BW__)
template <>
struct Narrower<V512> {
    using type = V256;
};
#endif

inline void Stream(uint8_t* p, __m128i v) { _mm_stream_si128(reinterpret_cast<__m128i*>(p), v); }

template <class V, int M, size_t... K>
inline void StreamLanesOf(uint8_t* dst, const typename V::R (&regs)[M], std::index_sequence<K...>) {
    (Stream(dst + K * 16, V::template lane<0>(regs[K])), ...);
    if constexpr (V::kLanes >= 2) (Stream(dst + (M + K) * 16, V::template lane<1>(regs[K])), ...);
    if constexpr (V::kLanes == 4) {
        (Stream(dst + (2 * M + K) * 16, V::template lane<2>(regs[K])), ...);
        (Stream(dst + (3 * M + K) * 16, V::template lane<3>(regs[K])), ...);
    }
}

// Stores M registers whose lanes each hold M*16 consecutive output bytes:
// lane L of register k goes to dst + (L*M + k)*16.  Unrolled at compile
// time so the registers never pass through memory.
template <class V, int M>
inline void StreamLanes(uint8_t* dst, const typename V::R (&regs)[M]) {
#if defined(__AVX512BW__)
    // A 16-byte non-temporal store per lane costs four times the stores of
    // whole registers, so four lanes are put in output order first wherever
    // the destination allows whole stores.
    if constexpr (V::kLanes == 4 && (M == 1 || M == 3)) {
        if (reinterpret_cast<uintptr_t>(dst) % 64 == 0) {
            if constexpr (M == 1) {
                V::stream(dst, regs[0]);
            } else {
                // Output register j holds 16-byte pieces 4j..4j+3; piece p is
                // lane p / 3 of register p % 3.
                const __m512i a = _mm512_permutex2var_epi64(
                    regs[0], _mm512_setr_epi64(0, 1, 8, 9, 0, 0, 2, 3), regs[1]);
                const __m512i b = _mm512_permutex2var_epi64(
                    regs[1], _mm512_setr_epi64(2, 3, 0, 0, 12, 13, 4, 5), regs[0]);
                const __m512i c = _mm512_permutex2var_epi64(
                    regs[2], _mm512_setr_epi64(4, 5, 14, 15, 0, 0, 6, 7), regs[0]);
                V::stream(dst, _mm512_mask_permutexvar_epi64(
                                   a, 0x30, _mm512_setr_epi64(0, 0, 0, 0, 0, 1, 0, 0), regs[2]));
                V::stream(dst + 64,
                          _mm512_mask_permutexvar_epi64(
                              b, 0x0C, _mm512_setr_epi64(0, 0, 2, 3, 0, 0, 0, 0), regs[2]));
                V::stream(dst + 128,
                          _mm512_mask_permutexvar_epi64(
                              c, 0x30, _mm512_setr_epi64(0, 0, 0, 0, 6, 7, 0, 0), regs[1]));
            }
            return;
        }
    }
#endif
    StreamLanesOf<V, M>(dst, regs, std::make_index_sequence<M>{});
}

// One register, lane by lane in order, to a 16-byte aligned address.
template <class V>
inline void StreamPieces(uint8_t* dst, typename V::R v) {
    const typename V::R regs[1] = {v};
    StreamLanes<V, 1>(dst, regs);
}

}  // namespace
}  // namespace vemx::ccvt
