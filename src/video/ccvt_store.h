#pragma once
// Interleaving of the three output planes into 24- and 32-bit pixels and
// their non-temporal stores.
#include <cstddef>
#include <cstdint>

#include "video/ccvt_vector.h"

namespace vemx::ccvt {
namespace {

// Moves the upper 64-bit half of each register down next to the lower one,
// whose 12 bytes then follow each other, and joins the four 12-byte runs into
// three registers.
template <class V>
inline void Join12(const typename V::R (&c)[4], typename V::R (&o)[3]) {
    o[0] = V::or_(c[0], V::template bsll<12>(c[1]));
    o[1] = V::or_(V::template bsrl<4>(c[1]), V::template bsll<8>(c[2]));
    o[2] = V::or_(V::template bsrl<8>(c[2]), V::template bsll<4>(c[3]));
}

#if defined(__SSSE3__)
// Byte masks placing 16 pixels' worth of one plane into the three 16-byte
// registers of 3-byte output: output byte i takes pixel i / 3 of the plane
// at position i % 3 and zero elsewhere.  Indexed [output register][plane].
// The planes hold their pixels in order, or (even_odd) the even pixels in
// bytes 0-7 and the odd ones in bytes 8-15.
struct Place24 {
    alignas(16) int8_t mask[3][3][16];
};

constexpr Place24 MakePlace24(bool even_odd) {
    Place24 p{};
    for (int k = 0; k < 3; ++k)
        for (int c = 0; c < 3; ++c)
            for (int j = 0; j < 16; ++j) {
                const int i = 16 * k + j, pixel = i / 3;
                const int at = even_odd ? pixel / 2 + 8 * (pixel % 2) : pixel;
                p.mask[k][c][j] = static_cast<int8_t>(i % 3 == c ? at : -1);
            }
    return p;
}

inline constexpr Place24 kPlace24[2] = {MakePlace24(false), MakePlace24(true)};

// Three planes of 16 bytes per lane straight to three registers of 3-byte
// pixels, with no 4-byte stage in between.
template <class V, bool kEvenOdd>
inline void Pack24(typename V::R first, typename V::R g, typename V::R last,
                   typename V::R (&o)[3]) {
    const auto mask = [](int k, int c) {
        return V::broadcast(
            _mm_load_si128(reinterpret_cast<const __m128i*>(kPlace24[kEvenOdd].mask[k][c])));
    };
#pragma GCC unroll 4
    for (int k = 0; k < 3; ++k) {
        o[k] = V::or_(V::or_(V::shuffle8(first, mask(k, 0)), V::shuffle8(g, mask(k, 1))),
                      V::shuffle8(last, mask(k, 2)));
    }
}
#else
// SSE2 has no byte shuffle.  A pixel pair is three words: (first0, g0),
// (last0, first1), (g1, last1), each made with one mask or shift per plane,
// so the pairs are laid out with word moves only, six bytes and a zero word
// per 64-bit half, and the zero words are squeezed out by byte shifts.
inline void Store24(uint8_t* d, __m128i first, __m128i g, __m128i last) {
    const __m128i even = _mm_set1_epi16(0x00FF), odd = _mm_set1_epi16(static_cast<int16_t>(0xFF00));
    const __m128i z = _mm_setzero_si128();
    const __m128i a = _mm_or_si128(_mm_and_si128(first, even), _mm_slli_epi16(g, 8));
    const __m128i b = _mm_or_si128(_mm_and_si128(last, even), _mm_and_si128(first, odd));
    const __m128i c = _mm_or_si128(_mm_srli_epi16(g, 8), _mm_and_si128(last, odd));
    const __m128i ab_lo = _mm_unpacklo_epi16(a, b), ab_hi = _mm_unpackhi_epi16(a, b);
    const __m128i c_lo = _mm_unpacklo_epi16(c, z), c_hi = _mm_unpackhi_epi16(c, z);
    const __m128i t[4] = {_mm_unpacklo_epi32(ab_lo, c_lo), _mm_unpackhi_epi32(ab_lo, c_lo),
                          _mm_unpacklo_epi32(ab_hi, c_hi), _mm_unpackhi_epi32(ab_hi, c_hi)};
    __m128i packed[4], o[3];
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k)
        packed[k] = _mm_or_si128(_mm_move_epi64(t[k]), _mm_slli_si128(_mm_srli_si128(t[k], 8), 6));
    Join12<V128>(packed, o);
    StreamLanes<V128, 3>(d, o);
}
#endif

// Where the interleaved 32-bit pixels go.  kLanes: each lane holds 16
// consecutive pixels.  kRuns: each register holds 4 consecutive pixels per
// lane (lane 0, then lane 1, ...), stored in 16-byte pieces, or, with
// kRunsWhole, whole, for a destination aligned to the register's size.
enum class Order { kLanes, kRuns, kRunsWhole };

// Interleaves 16 pixels per lane and streams them out.  kEvenOdd: the
// planes hold the even pixels, then the odd ones (with byte shuffles only).
template <class V, int Bpp, bool Bgr, Order kOrder = Order::kLanes, bool kEvenOdd = false>
inline void StoreRgb(uint8_t* d, const typename V::R (&rgb)[3]) {
    using R = typename V::R;
    const R first = Bgr ? rgb[2] : rgb[0];
    const R last = Bgr ? rgb[0] : rgb[2];
    if constexpr (Bpp == 3) {
#if defined(__SSSE3__)
        R o[3];
        Pack24<V, kEvenOdd>(first, rgb[1], last, o);
        StreamLanes<V, 3>(d, o);
#else
        Store24(d, first, rgb[1], last);
#endif
        return;
    }
    R fg_lo, fg_hi, l_lo, l_hi;
#if defined(__SSSE3__)
    if constexpr (kEvenOdd) {
        // Byte shuffles put the pixels back in order, the last plane's
        // widened to words on the way.
        const R order =
            V::broadcast(_mm_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15));
        const R f = V::shuffle8(first, order), g = V::shuffle8(rgb[1], order);
        fg_lo = V::lo8(f, g);
        fg_hi = V::hi8(f, g);
        l_lo = V::shuffle8(last, V::broadcast(_mm_setr_epi8(0, -1, 8, -1, 1, -1, 9, -1, 2, -1, 10,
                                                            -1, 3, -1, 11, -1)));
        l_hi = V::shuffle8(last, V::broadcast(_mm_setr_epi8(4, -1, 12, -1, 5, -1, 13, -1, 6, -1, 14,
                                                            -1, 7, -1, 15, -1)));
    } else
#endif
    {
        static_assert(!kEvenOdd, "even/odd planes need byte shuffles");
        const R z = V::zero();
        fg_lo = V::lo8(first, rgb[1]);
        fg_hi = V::hi8(first, rgb[1]);
        l_lo = V::lo8(last, z);
        l_hi = V::hi8(last, z);
    }
    const R q[4] = {V::lo16(fg_lo, l_lo), V::hi16(fg_lo, l_lo), V::lo16(fg_hi, l_hi),
                    V::hi16(fg_hi, l_hi)};
    if constexpr (kOrder == Order::kLanes) {
        StreamLanes<V, 4>(d, q);
    } else {
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k) {
            if constexpr (kOrder == Order::kRunsWhole)
                V::stream(d + V::kBytes * k, q[k]);
            else
                StreamPieces<V>(d + V::kBytes * k, q[k]);
        }
    }
}

}  // namespace
}  // namespace vemx::ccvt
