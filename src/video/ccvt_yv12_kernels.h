#pragma once
// YV12 to RGB: two rows sharing one chroma row at a time.
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "video/ccvt.h"
#include "video/ccvt_math.h"
#include "video/ccvt_store.h"

namespace vemx::ccvt {
namespace {

// Spreads the 4-byte quads of a register over its lanes for the run order:
// lane L takes quads L, L + kLanes, L + 2 * kLanes, ...  With two lanes that
// is quads 0, 2, 4, 6 in lane 0 and 1, 3, 5, 7 in lane 1.
template <class V>
inline typename V::R DealQuads(typename V::R v) {
    if constexpr (V::kLanes == 2)
        return _mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
#if defined(__AVX512BW__)
    else
        return _mm512_permutexvar_epi32(
            _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15), v);
#endif
}

// 16 luma bytes per lane.  For the run order, dealt by quads (Chroma16
// matches), so that each interleaved register holds 4 * kLanes consecutive
// pixels.
template <class V, Order kOrder>
inline typename V::R Yv12Luma(const uint8_t* p) {
    if constexpr (kOrder == Order::kLanes)
        return V::load(p);
    else
        return DealQuads<V>(V::load(p));
}

// Whether YV12 works from the bytes with byte multiply-adds (standard
// records, with byte shuffles): chroma terms from Cb, Cr pairs, and luma
// products of the even pixels apart from the odd ones, so each block's chroma
// term meets its two pixels as it is, without spreading.
#if defined(__SSSE3__)
template <class V, class Math>
inline constexpr bool kByteMath = std::is_same_v<Math, StandardMath<V>>;
#else
template <class V, class Math>
inline constexpr bool kByteMath = false;
#endif

// ---- YV12 to RGB: 16 pixels per lane of two rows sharing one chroma row;
// the chroma terms are worked out once for both.
// c: the blocks' chroma terms.
template <class V, class Math, int Bpp, bool Bgr, Order kOrder>
inline void Yv12Block(const Math& m, const uint8_t* y0, const uint8_t* y1, const ChromaTerms<V>& c,
                      uint8_t* d0, uint8_t* d1) {
    using R = typename V::R;
#if defined(__SSSE3__)
    // Byte shuffles put the pixels back in any order, so the work goes on
    // even pixels, then odd ones: each block's chroma term meets both of its
    // pixels as it is, without spreading.
    constexpr bool kEvenOdd = true;
#else
    constexpr bool kEvenOdd = false;
#endif
    if constexpr (kEvenOdd) {
        const auto pixels = [&](const uint8_t* p, uint8_t* d) {
            const R y = Yv12Luma<V, kOrder>(p);
            R e[3], o[3], rgb[3];
            if constexpr (kByteMath<V, Math>) {
                m.apply_products(m.luma_even(y), c, e);
                m.apply_products(m.luma_odd(y), c, o);
            } else {
                m.apply(V::and_(y, V::set16(0x00FF)), c, e);
                m.apply(V::srl8(y), c, o);
            }
#pragma GCC unroll 4
            for (int k = 0; k < 3; ++k) rgb[k] = V::packus(e[k], o[k]);
            StoreRgb<V, Bpp, Bgr, kOrder, true>(d, rgb);
        };
        pixels(y0, d0);
        pixels(y1, d1);
    } else {
        const ChromaTerms<V> clo = DupLo(c), chi = DupHi(c);
        const R z = V::zero();
        R rgb[3];
        const R a = Yv12Luma<V, kOrder>(y0);
        Pixels16<V>(m, V::lo8(a, z), V::hi8(a, z), clo, chi, rgb);
        StoreRgb<V, Bpp, Bgr, kOrder>(d0, rgb);
        const R b = Yv12Luma<V, kOrder>(y1);
        Pixels16<V>(m, V::lo8(b, z), V::hi8(b, z), clo, chi, rgb);
        StoreRgb<V, Bpp, Bgr, kOrder>(d1, rgb);
    }
}

// 8 chroma samples per lane as words.  For the run order each lane takes the
// blocks of the pixel quads its luma holds.
template <class V, Order kOrder>
inline typename V::R Chroma16(const uint8_t* p) {
    if constexpr (kOrder == Order::kLanes) {
        return V::chroma(p);
    } else if constexpr (V::kLanes == 4) {
        // A pixel quad's two blocks are one 32-bit pair of words.
        return DealQuads<V>(V::chroma(p));
    } else {
        const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(p));
        return _mm256_cvtepu8_epi16(_mm_shuffle_epi8(
            v, _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15)));
    }
}

// Pixels per step of Yv12Rows: 32 for one lane (two blocks), 16 per lane
// otherwise.
template <class V>
inline constexpr size_t kYv12Step = V::kLanes == 1 ? 32 : 16 * V::kLanes;

template <class V, class Math, int Bpp, bool Bgr, Order kOrder>
void Yv12Rows(const Math& m, size_t n, const uint8_t* y0, const uint8_t* y1, const uint8_t* cbr,
              const uint8_t* crr, uint8_t* d0, uint8_t* d1) {
    for (size_t x = 0; x < n; x += kYv12Step<V>) {
        if constexpr (V::kLanes == 1) {
            // One 16-byte load per chroma row serves both 16-pixel halves.
            using R = typename V::R;
            const R cb = V::load(cbr + x / 2), cr = V::load(crr + x / 2);
            ChromaTerms<V> lo, hi;
            if constexpr (kByteMath<V, Math>) {
                lo = m.chroma_pairs(PairGains<V>::flip(V::lo8(cb, cr)));
                hi = m.chroma_pairs(PairGains<V>::flip(V::hi8(cb, cr)));
            } else {
                const R z = V::zero();
                lo = m.chroma(V::lo8(cb, z), V::lo8(cr, z));
                hi = m.chroma(V::hi8(cb, z), V::hi8(cr, z));
            }
            Yv12Block<V, Math, Bpp, Bgr, kOrder>(m, y0 + x, y1 + x, lo, d0 + x * Bpp, d1 + x * Bpp);
            Yv12Block<V, Math, Bpp, Bgr, kOrder>(m, y0 + x + 16, y1 + x + 16, hi,
                                                 d0 + (x + 16) * Bpp, d1 + (x + 16) * Bpp);
        } else {
            Yv12Block<V, Math, Bpp, Bgr, kOrder>(
                m, y0 + x, y1 + x,
                m.chroma(Chroma16<V, kOrder>(cbr + x / 2), Chroma16<V, kOrder>(crr + x / 2)),
                d0 + x * Bpp, d1 + x * Bpp);
        }
    }
}

// n pixels (a multiple of the step) of a pair of rows.  Wide registers
// writing 32-bit pixels keep 4 * kLanes consecutive pixels each, stored whole
// when both rows start aligned to the register's size.
template <class V, class Math, int Bpp, bool Bgr>
void Yv12RowPair(const Math& m, size_t n, const uint8_t* y0, const uint8_t* y1, const uint8_t* cbr,
                 const uint8_t* crr, uint8_t* d0, uint8_t* d1) {
    constexpr bool kRuns = V::kLanes >= 2 && Bpp == 4;
    if constexpr (!kRuns) {
        Yv12Rows<V, Math, Bpp, Bgr, Order::kLanes>(m, n, y0, y1, cbr, crr, d0, d1);
    } else if ((reinterpret_cast<uintptr_t>(d0) | reinterpret_cast<uintptr_t>(d1)) % V::kBytes ==
               0) {
        Yv12Rows<V, Math, Bpp, Bgr, Order::kRunsWhole>(m, n, y0, y1, cbr, crr, d0, d1);
    } else {
        Yv12Rows<V, Math, Bpp, Bgr, Order::kRuns>(m, n, y0, y1, cbr, crr, d0, d1);
    }
}

template <class V, template <class> class MathT, int Bpp, bool Bgr, class Record>
void Yv12ToRgb(const Record& record, uint32_t width, uint32_t height, const uint8_t* y,
               const uint8_t* cb, const uint8_t* cr, int32_t ys, int32_t cbs, int32_t crs,
               uint8_t* dst, int32_t ds) {
    using Tail = typename Narrower<V>::type;
    const MathT<V> m(record);
    const MathT<Tail> tail(record);
    const size_t n = size_t{width / 32} * 32;
    // A 32-pixel group left over by a wider step goes through the narrower type.
    const size_t wide = n / kYv12Step<V> * kYv12Step<V>;
    for (uint32_t k = 0; k < height / 2; ++k) {
        const uint8_t* y0 = y + ptrdiff_t{2 * k} * ys;
        const uint8_t* y1 = y0 + ys;
        const uint8_t* cbr = cb + ptrdiff_t{k} * cbs;
        const uint8_t* crr = cr + ptrdiff_t{k} * crs;
        uint8_t* d0 = dst + ptrdiff_t{2 * k} * ds;
        uint8_t* d1 = d0 + ds;
        Yv12RowPair<V, MathT<V>, Bpp, Bgr>(m, wide, y0, y1, cbr, crr, d0, d1);
        if (wide < n)
            Yv12RowPair<Tail, MathT<Tail>, Bpp, Bgr>(tail, n - wide, y0 + wide, y1 + wide,
                                                     cbr + wide / 2, crr + wide / 2,
                                                     d0 + wide * Bpp, d1 + wide * Bpp);
    }
    _mm_sfence();
}

template <class V, bool Camera, bool Bgr, int Bpp>
void Yv12Rgb(uint32_t width, uint32_t height, const uint8_t* y, const uint8_t* cb,
             const uint8_t* cr, int32_t ys, int32_t cbs, int32_t crs, uint8_t* dst, int32_t ds,
             int32_t matrix) {
    const Tables& t = GetTables();
    if constexpr (Camera) {
        Yv12ToRgb<V, CameraMath, Bpp, Bgr>(t.camera_rgb[matrix], width, height, y, cb, cr, ys, cbs,
                                           crs, dst, ds);
    } else {
        Yv12ToRgb<V, StandardMath, Bpp, Bgr>(t.standard[matrix], width, height, y, cb, cr, ys, cbs,
                                             crs, dst, ds);
    }
}

template <class V>
void FillYv12Rgb(Kernels& k) {
    k.yv12_rgb[0][0][0] = &Yv12Rgb<V, false, false, 3>;
    k.yv12_rgb[0][0][1] = &Yv12Rgb<V, false, false, 4>;
    k.yv12_rgb[0][1][0] = &Yv12Rgb<V, false, true, 3>;
    k.yv12_rgb[0][1][1] = &Yv12Rgb<V, false, true, 4>;
    k.yv12_rgb[1][0][0] = &Yv12Rgb<V, true, false, 3>;
    k.yv12_rgb[1][0][1] = &Yv12Rgb<V, true, false, 4>;
    k.yv12_rgb[1][1][0] = &Yv12Rgb<V, true, true, 3>;
    k.yv12_rgb[1][1][1] = &Yv12Rgb<V, true, true, 4>;
}

}  // namespace
}  // namespace vemx::ccvt
