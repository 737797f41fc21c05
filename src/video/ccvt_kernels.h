#pragma once
// The colour conversion kernels, written once over the lane types of
// ccvt_vector.h and instantiated by each instruction-set file.
//
// Arithmetic is 16-bit with wrap-around (mullo, add, sub), an arithmetic
// shift by 6 and a saturating pack to bytes, which is the clamp after the
// shift.  Nothing here may use saturating adds: the low 16 bits are the rule.
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "video/ccvt.h"
#include "video/ccvt_vector.h"

namespace vemx::ccvt {
namespace {

// Per-block chroma contributions of the three outputs, one word per 2-pixel
// block.  With byte shuffles they meet the even and the odd pixels as they
// are; the SSE2 build duplicates them to pixels when they meet the luma.
template <class V>
struct ChromaTerms {
    typename V::R c[3];
};

template <class V>
ChromaTerms<V> DupLo(const ChromaTerms<V>& t) {
    return {{V::lo16(t.c[0], t.c[0]), V::lo16(t.c[1], t.c[1]), V::lo16(t.c[2], t.c[2])}};
}
template <class V>
ChromaTerms<V> DupHi(const ChromaTerms<V>& t) {
    return {{V::hi16(t.c[0], t.c[0]), V::hi16(t.c[1], t.c[1]), V::hi16(t.c[2], t.c[2])}};
}

// Sums of products are only ever kept modulo 2^16, so every constant of a
// record (the luma offset times its gain, the -128 of each chroma sample times
// its gains, a camera offset) can be gathered into one word per output that
// joins the chroma term of its block.  A pixel then costs one multiply and
// one add per output before the shift; the bytes are unchanged.
inline int16_t Wrap16(int v) {
    return static_cast<int16_t>(v);
}

// Standard gains for the multiply-add of bytes (SSSE3), which sums pairs of
// unsigned bytes times signed bytes with saturation: the chroma samples go in
// as signed bytes (Cb-128, Cr-128) side by side and the gains as unsigned
// magnitudes; green, whose two chroma gains are negative, is subtracted.
// Every standard record has y_gain below 128 and chroma gains whose
// magnitudes add up to at most 255 per output, so no sum saturates, the
// products are exact, and the wrapped 16-bit total is the same as the
// word-by-word one.
template <class V>
struct PairGains {
    using R = typename V::R;
    explicit PairGains(const StandardRecord& s)
        : r(V::set16(s.cr_to_r << 8)),
          g(V::set16(-s.cb_to_g | -s.cr_to_g << 8)),
          b(V::set16(s.cb_to_b)),
          luma_offset(V::set16(Wrap16(-s.y_offset * s.y_gain))) {}
    // Cb and Cr bytes as the signed samples the gains expect.
    static R flip(R cbcr) { return V::xor_(cbcr, V::set16(0x8080)); }
    R r, g, b;
    R luma_offset;  // -y_offset * y_gain
};

// Standard records: the luma product Y * gain is shared by R, G, B.
template <class V>
class StandardMath {
  public:
    using R = typename V::R;
    explicit StandardMath(const StandardRecord& s)
        : yg_(V::set16(s.y_gain)),
          crr_(V::set16(s.cr_to_r)),
          cbg_(V::set16(s.cb_to_g)),
          crg_(V::set16(s.cr_to_g)),
          cbb_(V::set16(s.cb_to_b)),
          pairs_(s) {
        const int luma = -s.y_offset * s.y_gain;
        k_[0] = V::set16(Wrap16(luma - 128 * s.cr_to_r));
        k_[1] = V::set16(Wrap16(luma - 128 * (s.cb_to_g + s.cr_to_g)));
        k_[2] = V::set16(Wrap16(luma - 128 * s.cb_to_b));
    }

    // cb, cr: the samples as they are stored, widened to words.
    ChromaTerms<V> chroma(R cb, R cr) const {
        return {{V::add(V::mul(cr, crr_), k_[0]),
                 V::add(V::add(V::mul(cb, cbg_), V::mul(cr, crg_)), k_[1]),
                 V::add(V::mul(cb, cbb_), k_[2])}};
    }
    void apply(R y, const ChromaTerms<V>& c, R (&out)[3]) const {
        apply_products(V::mul(y, yg_), c, out);
    }
    // t: luma products Y * gain.
    void apply_products(R t, const ChromaTerms<V>& c, R (&out)[3]) const {
#pragma GCC unroll 4
        for (int k = 0; k < 3; ++k) out[k] = V::sra6(V::add(t, c.c[k]));
    }
#if defined(__SSSE3__)
    // Chroma terms from each block's Cb and Cr bytes side by side, flipped
    // to signed: one byte multiply-add per output.
    ChromaTerms<V> chroma_pairs(R cbcr) const {
        const PairGains<V>& p = pairs_;
        return {{V::add(V::maddubs(p.r, cbcr), p.luma_offset),
                 V::sub(p.luma_offset, V::maddubs(p.g, cbcr)),
                 V::add(V::maddubs(p.b, cbcr), p.luma_offset)}};
    }
    // Luma products of the even and of the odd pixels of 16 luma bytes, one
    // byte multiply-add each instead of a widening and a multiply.  Exact:
    // every standard y_gain is below 128, so it fits a signed byte.
    R luma_even(R y) const {
        return V::maddubs(y, yg_);
    }
    R luma_odd(R y) const {
        return V::maddubs(y, V::sll8(yg_));
    }
#endif

  private:
    R yg_, crr_, cbg_, crg_, cbb_, k_[3];
    PairGains<V> pairs_;
};

#if defined(__SSSE3__)
// Standard records on YUY2, where each pixel's Cb and Cr sit next to each
// other after one byte shuffle: the multiply-add of bytes then gives a
// pixel's whole chroma sum in one instruction.
template <class V>
class StandardBytesMath {
  public:
    using R = typename V::R;
    explicit StandardBytesMath(const StandardRecord& s) : yg_(V::set16(s.y_gain)), p_(s) {}

    // yuy2: the source bytes (luma in the even bytes).
    R luma(R yuy2) const { return V::add(V::maddubs(yuy2, yg_), p_.luma_offset); }
    // Each pixel's Cb and Cr bytes side by side, flipped to signed.
    static R chroma(R yuy2) {
        const R cbcr =
            V::broadcast(_mm_setr_epi8(1, 3, 1, 3, 5, 7, 5, 7, 9, 11, 9, 11, 13, 15, 13, 15));
        return PairGains<V>::flip(V::shuffle8(yuy2, cbcr));
    }
    // y: luma() of the pixels, cbcr: chroma() of them.  Green comes last, so
    // the 128-bit build can subtract from y in place instead of copying it.
    void apply(R y, R cbcr, R (&out)[3]) const {
        out[0] = V::sra6(V::add(y, V::maddubs(p_.r, cbcr)));
        out[2] = V::sra6(V::add(y, V::maddubs(p_.b, cbcr)));
        out[1] = V::sra6(V::sub(y, V::maddubs(p_.g, cbcr)));
    }

  private:
    R yg_;
    PairGains<V> p_;
};
#endif

// Full 3x3 records.  Camera records add their offsets before the shift;
// re-encoding records subtract a luma offset first and add the output offsets
// after the shift.
template <class V, bool kReencode>
class AffineMath {
  public:
    using R = typename V::R;
    explicit AffineMath(const CameraRecord& r) {
#pragma GCC unroll 4
        for (int k = 0; k < 3; ++k) {
            set_row(k, r.m[k], r.offset[k]);
            post_[k] = V::zero();
        }
    }
    explicit AffineMath(const ReencodeRecord& r) {
#pragma GCC unroll 4
        for (int k = 0; k < 3; ++k) {
            set_row(k, r.m[k], -r.luma_offset * r.m[k][0]);
            post_[k] = V::set16(k == 0 ? r.luma_offset : r.chroma_offset[k - 1]);
        }
    }

    // cb, cr: the samples as they are stored, widened to words.
    ChromaTerms<V> chroma(R cb, R cr) const {
        ChromaTerms<V> t;
#pragma GCC unroll 4
        for (int k = 0; k < 3; ++k)
            t.c[k] = V::add(V::add(V::mul(cb, m1_[k]), V::mul(cr, m2_[k])), k_[k]);
        return t;
    }
    R one(int k, R y, R c) const {
        R r = V::sra6(V::add(V::mul(y, m0_[k]), c));
        if constexpr (kReencode) r = V::add(r, post_[k]);
        return r;
    }
    void apply(R y, const ChromaTerms<V>& c, R (&out)[3]) const {
#pragma GCC unroll 4
        for (int k = 0; k < 3; ++k) out[k] = one(k, y, c.c[k]);
    }

  private:
    void set_row(int k, const int16_t (&row)[3], int constant) {
        m0_[k] = V::set16(row[0]);
        m1_[k] = V::set16(row[1]);
        m2_[k] = V::set16(row[2]);
        k_[k] = V::set16(Wrap16(constant - 128 * (row[1] + row[2])));
    }
    R m0_[3], m1_[3], m2_[3], k_[3], post_[3];
};

template <class V>
using CameraMath = AffineMath<V, false>;
template <class V>
using ReencodeMath = AffineMath<V, true>;

// 16 pixels per lane: luma words of pixels 0-7 and 8-15 with their duplicated
// chroma terms, out as three registers of clamped bytes.
template <class V, class Math>
inline void Pixels16(const Math& m, typename V::R ylo, typename V::R yhi, const ChromaTerms<V>& clo,
                     const ChromaTerms<V>& chi, typename V::R (&bytes)[3]) {
    typename V::R a[3], b[3];
    m.apply(ylo, clo, a);
    m.apply(yhi, chi, b);
#pragma GCC unroll 4
    for (int k = 0; k < 3; ++k) bytes[k] = V::packus(a[k], b[k]);
}

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
// consecutive pixels.  kRuns: each register holds 8 consecutive pixels (lane 0
// then lane 1), stored as two 16-byte halves, or, with kRuns32, whole, for a
// destination aligned to 32 bytes.
enum class Order { kLanes, kRuns, kRuns32 };

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
            if constexpr (kOrder == Order::kRuns32) {
                _mm256_stream_si256(reinterpret_cast<__m256i*>(d + 32 * k), q[k]);
            } else {
                Stream(d + 32 * k, V::template lane<0>(q[k]));
                Stream(d + 32 * k + 16, V::template lane<1>(q[k]));
            }
        }
    }
}

// 16 luma bytes per lane.  For the run order, quads of pixels 0-3, 8-11,
// 16-19, 24-27 in lane 0 and the quads between them in lane 1 (Chroma16
// matches), so that each interleaved register holds 8 consecutive pixels.
template <class V, Order kOrder>
inline typename V::R Yv12Luma(const uint8_t* p) {
    if constexpr (kOrder == Order::kLanes)
        return V::load(p);
    else
        return _mm256_permutevar8x32_epi32(V::load(p), _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
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

// 16 chroma samples as words.  For the run order lane 0 takes the blocks of
// pixel quads 0, 2, 4, 6 and lane 1 those of quads 1, 3, 5, 7, as the luma.
template <class V, Order kOrder>
inline typename V::R Chroma16(const uint8_t* p) {
    if constexpr (kOrder == Order::kLanes) {
        return V::chroma(p);
    } else {
        const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(p));
        return _mm256_cvtepu8_epi16(_mm_shuffle_epi8(
            v, _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15)));
    }
}

template <class V, class Math, int Bpp, bool Bgr, Order kOrder>
void Yv12Rows(const Math& m, size_t n, const uint8_t* y0, const uint8_t* y1, const uint8_t* cbr,
              const uint8_t* crr, uint8_t* d0, uint8_t* d1) {
    for (size_t x = 0; x < n; x += 32) {
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

template <class V, template <class> class MathT, int Bpp, bool Bgr, class Record>
void Yv12ToRgb(const Record& record, uint32_t width, uint32_t height, const uint8_t* y,
               const uint8_t* cb, const uint8_t* cr, int32_t ys, int32_t cbs, int32_t crs,
               uint8_t* dst, int32_t ds) {
    const MathT<V> m(record);
    const size_t n = size_t{width / 32} * 32;
    // Two lanes writing 32-bit pixels keep 8 consecutive pixels per register,
    // stored whole when both rows of a pair start aligned to 32 bytes.
    constexpr bool kRuns = V::kLanes == 2 && Bpp == 4;
    for (uint32_t k = 0; k < height / 2; ++k) {
        const uint8_t* y0 = y + ptrdiff_t{2 * k} * ys;
        const uint8_t* y1 = y0 + ys;
        const uint8_t* cbr = cb + ptrdiff_t{k} * cbs;
        const uint8_t* crr = cr + ptrdiff_t{k} * crs;
        uint8_t* d0 = dst + ptrdiff_t{2 * k} * ds;
        uint8_t* d1 = d0 + ds;
        if constexpr (!kRuns) {
            Yv12Rows<V, MathT<V>, Bpp, Bgr, Order::kLanes>(m, n, y0, y1, cbr, crr, d0, d1);
        } else if ((reinterpret_cast<uintptr_t>(d0) | reinterpret_cast<uintptr_t>(d1)) % 32 == 0) {
            Yv12Rows<V, MathT<V>, Bpp, Bgr, Order::kRuns32>(m, n, y0, y1, cbr, crr, d0, d1);
        } else {
            Yv12Rows<V, MathT<V>, Bpp, Bgr, Order::kRuns>(m, n, y0, y1, cbr, crr, d0, d1);
        }
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

#if defined(__SSSE3__)
// ---- YUY2 to RGB: 16 pixels (32 source bytes) per lane.

// Camera records: each pixel's Cb and Cr as words, already repeated for both
// pixels of a block, so the chroma terms come out per pixel.  That costs more
// multiplies than working per block and spreading the terms afterwards, but
// spares six shuffles per 32 pixels.
template <class V, class Math>
inline void CameraYuy2Terms(const Math& m, typename V::R s, typename V::R (&out)[3]) {
    using R = typename V::R;
    const R cb =
        V::broadcast(_mm_setr_epi8(1, -1, 1, -1, 5, -1, 5, -1, 9, -1, 9, -1, 13, -1, 13, -1));
    const R cr =
        V::broadcast(_mm_setr_epi8(3, -1, 3, -1, 7, -1, 7, -1, 11, -1, 11, -1, 15, -1, 15, -1));
    m.apply(V::and_(s, V::set16(0x00FF)), m.chroma(V::shuffle8(s, cb), V::shuffle8(s, cr)), out);
}

// kUnits groups of 16 pixels per lane, the source in 8-pixel halves.
template <class V, class Math, int Bpp, bool Bgr, Order kOrder, int kUnits = 1>
inline void Yuy2Block(const Math& m, const uint8_t* s, uint8_t* d) {
    using R = typename V::R;
    constexpr int kHalves = 2 * kUnits;
    R src[kHalves], out[kHalves][3];
#pragma GCC unroll 4
    for (int h = 0; h < kHalves; ++h) {
        const uint8_t* p = s + 32 * V::kLanes * (h / 2);
        if constexpr (kOrder == Order::kLanes) {
            // Pixels 0-7 of each lane, then 8-15.
            src[h] = V::load_lanes(p + 16 * (h % 2), 32);
        } else {
            // Quads of pixels 0-3, 8-11 in lane 0 and 4-7, 12-15 in lane 1:
            // the in-lane interleaving then leaves 8 consecutive pixels per
            // register.
            src[h] = _mm256_permute4x64_epi64(V::load(p + 32 * (h % 2)), 0xD8);
        }
    }
    if constexpr (std::is_same_v<Math, StandardBytesMath<V>>) {
        if constexpr (V::kLanes == 2) {
            // Stage by stage across all halves, so each stage offers several
            // independent operations at once.
            R cbcr[kHalves], y[kHalves];
#pragma GCC unroll 4
            for (int h = 0; h < kHalves; ++h) cbcr[h] = Math::chroma(src[h]);
#pragma GCC unroll 4
            for (int h = 0; h < kHalves; ++h) y[h] = m.luma(src[h]);
#pragma GCC unroll 4
            for (int h = 0; h < kHalves; ++h) m.apply(y[h], cbcr[h], out[h]);
        } else {
#pragma GCC unroll 4
            for (int h = 0; h < kHalves; ++h) m.apply(m.luma(src[h]), Math::chroma(src[h]), out[h]);
        }
    } else {
#pragma GCC unroll 4
        for (int h = 0; h < kHalves; ++h) CameraYuy2Terms<V>(m, src[h], out[h]);
    }
#pragma GCC unroll 4
    for (int u = 0; u < kUnits; ++u) {
        R rgb[3];
#pragma GCC unroll 4
        for (int k = 0; k < 3; ++k) rgb[k] = V::packus(out[2 * u][k], out[2 * u + 1][k]);
        StoreRgb<V, Bpp, Bgr, kOrder>(d + 16 * V::kLanes * Bpp * u, rgb);
    }
}

// The whole blocks of one row; returns the pixels they cover.
template <class V, class Math, int Bpp, bool Bgr, Order kOrder>
size_t Yuy2Blocks(const Math& m, size_t n, const uint8_t* s, uint8_t* d) {
    constexpr size_t kStep = 16 * V::kLanes;
    // The wide path takes two groups per step, whose stages interleave; the
    // 128-bit one has too few registers for that.
    constexpr int kUnits = V::kLanes == 2 ? 2 : 1;
    size_t x = 0;
    for (; x + kUnits * kStep <= n; x += kUnits * kStep)
        Yuy2Block<V, Math, Bpp, Bgr, kOrder, kUnits>(m, s + 2 * x, d + Bpp * x);
    for (; x + kStep <= n; x += kStep)
        Yuy2Block<V, Math, Bpp, Bgr, kOrder>(m, s + 2 * x, d + Bpp * x);
    return x;
}

template <class V, template <class> class MathT, int Bpp, bool Bgr, class Record>
void Yuy2ToRgb(const Record& record, uint32_t width, uint32_t height, const uint8_t* src,
               int32_t ss, uint8_t* dst, int32_t ds) {
    const MathT<V> m(record);
    const MathT<V128> m128(record);
    constexpr size_t kGroup = Bpp == 4 ? 16 : 32;
    const size_t n = size_t{width / kGroup} * kGroup;
    // As for YV12: two lanes writing 32-bit pixels keep 8 consecutive pixels
    // per register, stored whole when the row starts aligned to 32 bytes.
    constexpr bool kRuns = V::kLanes == 2 && Bpp == 4;
    for (uint32_t row = 0; row < height; ++row) {
        const uint8_t* s = src + ptrdiff_t{row} * ss;
        uint8_t* d = dst + ptrdiff_t{row} * ds;
        size_t x;
        if constexpr (!kRuns)
            x = Yuy2Blocks<V, MathT<V>, Bpp, Bgr, Order::kLanes>(m, n, s, d);
        else if (reinterpret_cast<uintptr_t>(d) % 32 == 0)
            x = Yuy2Blocks<V, MathT<V>, Bpp, Bgr, Order::kRuns32>(m, n, s, d);
        else
            x = Yuy2Blocks<V, MathT<V>, Bpp, Bgr, Order::kRuns>(m, n, s, d);
        // A wide path may leave one 16-pixel group over.
        if (x < n)
            Yuy2Block<V128, MathT<V128>, Bpp, Bgr, Order::kLanes>(m128, s + 2 * x, d + Bpp * x);
    }
    _mm_sfence();
}

template <class V, bool Camera, bool Bgr, int Bpp>
void Yuy2Rgb(uint32_t width, uint32_t height, const uint8_t* src, int32_t ss, uint8_t* dst,
             int32_t ds, int32_t matrix) {
    const Tables& t = GetTables();
    if constexpr (Camera) {
        Yuy2ToRgb<V, CameraMath, Bpp, Bgr>(t.camera_rgb[matrix], width, height, src, ss, dst, ds);
    } else {
        Yuy2ToRgb<V, StandardBytesMath, Bpp, Bgr>(t.standard[matrix], width, height, src, ss, dst,
                                                  ds);
    }
}

template <class V>
void FillYuy2Rgb(Kernels& k) {
    k.yuy2_rgb[0][0][0] = &Yuy2Rgb<V, false, false, 3>;
    k.yuy2_rgb[0][0][1] = &Yuy2Rgb<V, false, false, 4>;
    k.yuy2_rgb[0][1][0] = &Yuy2Rgb<V, false, true, 3>;
    k.yuy2_rgb[0][1][1] = &Yuy2Rgb<V, false, true, 4>;
    k.yuy2_rgb[1][0][0] = &Yuy2Rgb<V, true, false, 3>;
    k.yuy2_rgb[1][0][1] = &Yuy2Rgb<V, true, false, 4>;
    k.yuy2_rgb[1][1][0] = &Yuy2Rgb<V, true, true, 3>;
    k.yuy2_rgb[1][1][1] = &Yuy2Rgb<V, true, true, 4>;
}
#endif

// ---- YV12 to YV12: luma of both rows per pixel; each output chroma sample
// from the top-left luma of its block.  Gives the 8 (per lane) chroma words.
template <class V, class Math>
inline void ReencodeBlock(const Math& m, const uint8_t* y0, const uint8_t* y1, const uint8_t* cb,
                          const uint8_t* cr, uint8_t* dy0, uint8_t* dy1,
                          typename V::R (&chroma)[2]) {
    using R = typename V::R;
    const ChromaTerms<V> c = m.chroma(V::chroma(cb), V::chroma(cr));
    const R c0lo = V::lo16(c.c[0], c.c[0]), c0hi = V::hi16(c.c[0], c.c[0]);
    const R z = V::zero();
    const R a = V::load(y0);
    const R ya[1] = {V::packus(m.one(0, V::lo8(a, z), c0lo), m.one(0, V::hi8(a, z), c0hi))};
    StreamLanes<V, 1>(dy0, ya);
    const R b = V::load(y1);
    const R yb[1] = {V::packus(m.one(0, V::lo8(b, z), c0lo), m.one(0, V::hi8(b, z), c0hi))};
    StreamLanes<V, 1>(dy1, yb);
    const R top_left = V::and_(a, V::set16(0x00FF));
    chroma[0] = m.one(1, top_left, c.c[1]);
    chroma[1] = m.one(2, top_left, c.c[2]);
}

template <class V, class Record>
void Yv12Reencode(const Record& record, uint32_t width, uint32_t height, const uint8_t* y,
                  const uint8_t* cb, const uint8_t* cr, int32_t ys, int32_t cbs, int32_t crs,
                  uint8_t* dy, uint8_t* dcb, uint8_t* dcr, int32_t dys, int32_t dcbs,
                  int32_t dcrs) {
    using Math = AffineMath<V, std::is_same_v<Record, ReencodeRecord>>;
    const Math m(record);
    const size_t n = size_t{width / 32} * 32;
    for (uint32_t k = 0; k < height / 2; ++k) {
        const uint8_t* y0 = y + ptrdiff_t{2 * k} * ys;
        const uint8_t* y1 = y0 + ys;
        const uint8_t* cbr = cb + ptrdiff_t{k} * cbs;
        const uint8_t* crr = cr + ptrdiff_t{k} * crs;
        uint8_t* d0 = dy + ptrdiff_t{2 * k} * dys;
        uint8_t* d1 = d0 + dys;
        uint8_t* dcbr = dcb + ptrdiff_t{k} * dcbs;
        uint8_t* dcrr = dcr + ptrdiff_t{k} * dcrs;
        for (size_t x = 0; x < n; x += 32) {
            typename V::R a[2];
            ReencodeBlock<V>(m, y0 + x, y1 + x, cbr + x / 2, crr + x / 2, d0 + x, d1 + x, a);
            if constexpr (V::kLanes == 1) {
                typename V::R b[2];
                ReencodeBlock<V>(m, y0 + x + 16, y1 + x + 16, cbr + x / 2 + 8, crr + x / 2 + 8,
                                 d0 + x + 16, d1 + x + 16, b);
                Stream(dcbr + x / 2, V::packus(a[0], b[0]));
                Stream(dcrr + x / 2, V::packus(a[1], b[1]));
            } else {
#if defined(__AVX2__)
                // [cb 0-7, cr 0-7 | cb 8-15, cr 8-15] -> [cb 0-15 | cr 0-15]
                const __m256i p = _mm256_permute4x64_epi64(V::packus(a[0], a[1]), 0xD8);
                Stream(dcbr + x / 2, V::template lane<0>(p));
                Stream(dcrr + x / 2, V::template lane<1>(p));
#endif
            }
        }
    }
    _mm_sfence();
}

template <class V>
void Yv12Sony(uint32_t width, uint32_t height, const uint8_t* y, const uint8_t* cb,
              const uint8_t* cr, int32_t ys, int32_t cbs, int32_t crs, uint8_t* dy, uint8_t* dcb,
              uint8_t* dcr, int32_t dys, int32_t dcbs, int32_t dcrs, int32_t matrix) {
    Yv12Reencode<V>(GetTables().camera_yuv[matrix], width, height, y, cb, cr, ys, cbs, crs, dy, dcb,
                    dcr, dys, dcbs, dcrs);
}

template <class V>
void Yv12Bt2020(uint32_t width, uint32_t height, const uint8_t* y, const uint8_t* cb,
                const uint8_t* cr, int32_t ys, int32_t cbs, int32_t crs, uint8_t* dy, uint8_t* dcb,
                uint8_t* dcr, int32_t dys, int32_t dcbs, int32_t dcrs, int32_t matrix) {
    Yv12Reencode<V>(GetTables().reencode[matrix], width, height, y, cb, cr, ys, cbs, crs, dy, dcb,
                    dcr, dys, dcbs, dcrs);
}

}  // namespace
}  // namespace vemx::ccvt
