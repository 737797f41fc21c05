#pragma once
// The arithmetic of the colour conversion kernels, written once over the lane
// types of ccvt_vector.h and instantiated by each instruction-set file.
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

}  // namespace
}  // namespace vemx::ccvt
