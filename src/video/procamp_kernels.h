#pragma once
// Processing amplifier kernels over the lane types of ccvt_vector.h.
#include <cstddef>
#include <cstdint>

#include "video/ccvt_vector.h"
#include "video/procamp.h"

namespace vemx::procamp {
namespace {

using ccvt::Narrower;
using ccvt::Stream;
using ccvt::StreamPieces;
using ccvt::StreamLanes;
using ccvt::V128;

// Products and sums are kept modulo 2^16, so the -128 of every sample can
// be taken out of the multiply and gathered with the other constants into
// one word per output: (y - 128) * c + b == y * c + (b - 128 * c).
template <class V>
class ProcMath {
public:
    using R = typename V::R;
    explicit ProcMath(const Terms& t)
        : contrast_(V::set16(t.contrast)), luma_k_(V::set16(Wrap16(t.brightness - 128 * t.contrast))),
          cos_(V::set16(t.cosine)), sin_(V::set16(t.sine)),
          // U' takes +sin * V, V' takes -sin * U: for interleaved U,V words.
          sin_alt_(Alternate(t.sine, -t.sine)), u_k_(V::set16(Wrap16(8192 - 128 * (t.cosine + t.sine)))),
          v_k_(V::set16(Wrap16(8192 - 128 * (t.cosine - t.sine)))),
          pair_k_(Alternate(8192 - 128 * (t.cosine + t.sine), 8192 - 128 * (t.cosine - t.sine))) {}

    R luma(R y) const { return V::sra6(V::add(V::mul(y, contrast_), luma_k_)); }
    // u, v are the raw chroma words.
    R u_out(R u, R v) const { return V::sra6(V::add(V::add(V::mul(u, cos_), V::mul(v, sin_)), u_k_)); }
    R v_out(R u, R v) const { return V::sra6(V::add(V::sub(V::mul(v, cos_), V::mul(u, sin_)), v_k_)); }
    // Interleaved U,V words in, U',V' words out; swapped holds V,U.
    R chroma_pairs(R uv, R swapped) const {
        return V::sra6(V::add(V::add(V::mul(uv, cos_), V::mul(swapped, sin_alt_)), pair_k_));
    }

private:
    static int16_t Wrap16(int v) { return static_cast<int16_t>(v); }
    static R Alternate(int even, int odd) {
        const int16_t e = Wrap16(even), o = Wrap16(odd);
        return V::broadcast(_mm_setr_epi16(e, o, e, o, e, o, e, o));
    }

    R contrast_, luma_k_, cos_, sin_, sin_alt_, u_k_, v_k_, pair_k_;
};

// V::kBytes luma samples.
template <class V>
inline void LumaBlock(const ProcMath<V>& m, const uint8_t* s, uint8_t* d) {
    using R = typename V::R;
    const R z = V::zero();
    const R a = V::load(s);
    const R out[1] = {V::packus(m.luma(V::lo8(a, z)), m.luma(V::hi8(a, z)))};
    StreamLanes<V, 1>(d, out);
}

// Luma samples per step of the planar layouts: 32 (16 of each chroma plane),
// or a whole register where that is more.
template <class V>
inline constexpr size_t kStep = V::kBytes > 32 ? V::kBytes : 32;

// kStep / 2 samples of each chroma plane.
template <class V>
inline void ChromaBlock(const ProcMath<V>& m, const uint8_t* su, const uint8_t* sv, uint8_t* du, uint8_t* dv) {
    if constexpr (V::kLanes == 1) {
        const __m128i z = _mm_setzero_si128();
        const __m128i a = V::load(su), b = V::load(sv);
        const __m128i ulo = V::lo8(a, z), uhi = V::hi8(a, z), vlo = V::lo8(b, z), vhi = V::hi8(b, z);
        const __m128i u = V::packus(m.u_out(ulo, vlo), m.u_out(uhi, vhi));
        const __m128i v = V::packus(m.v_out(ulo, vlo), m.v_out(uhi, vhi));
        Stream(du, u);
        Stream(dv, v);
    } else if constexpr (V::kLanes == 2) {
#if defined(__AVX2__)
        const __m256i u = V::chroma(su), v = V::chroma(sv);
        // [u 0-7, v 0-7 | u 8-15, v 8-15] -> [u 0-15 | v 0-15]
        const __m256i p = _mm256_permute4x64_epi64(V::packus(m.u_out(u, v), m.v_out(u, v)), 0xD8);
        Stream(du, V::template lane<0>(p));
        Stream(dv, V::template lane<1>(p));
#endif
    } else {
#if defined(__AVX512BW__)
        const __m512i u = V::chroma(su), v = V::chroma(sv);
        // [u 0-7, v 0-7 | u 8-15, v 8-15 | ...] -> [u 0-31 | v 0-31]
        const __m512i p = _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7),
                                                   V::packus(m.u_out(u, v), m.v_out(u, v)));
        StreamPieces<ccvt::V256>(du, _mm512_castsi512_si256(p));
        StreamPieces<ccvt::V256>(dv, _mm512_extracti64x4_epi64(p, 1));
#endif
    }
}

// V::kBytes bytes of Y0 U Y1 V.
template <class V>
inline void PackedBlock(const ProcMath<V>& m, const uint8_t* s, uint8_t* d) {
    using R = typename V::R;
    const R a = V::load(s);
    const R z = V::zero(), k255 = V::set16(255);
    const R uv = V::srl8(a);
    const R y = V::min16(V::max16(m.luma(V::and_(a, k255)), z), k255);
    const R c = V::min16(V::max16(m.chroma_pairs(uv, V::swap_pairs(uv)), z), k255);
    const R out[1] = {V::or_(y, V::sll8(c))};
    StreamLanes<V, 1>(d, out);
}

template <class V>
void Yv12(const Terms& t, uint32_t width, uint32_t height, const uint8_t* sy, const uint8_t* su,
          const uint8_t* sv, int32_t sys, int32_t sus, int32_t svs, uint8_t* dy, uint8_t* du, uint8_t* dv,
          int32_t dys, int32_t dus, int32_t dvs) {
    const ProcMath<V> m(t);
    const ProcMath<typename Narrower<V>::type> tail(t);
    const size_t n = size_t{width / 32} * 32;
    // A 32-sample group left over by a wider step goes through the narrower type.
    const size_t wide = n / kStep<V> * kStep<V>;
    for (uint32_t k = 0; k < height / 2; ++k) {
        const uint8_t* y0 = sy + ptrdiff_t{2 * k} * sys;
        const uint8_t* y1 = y0 + sys;
        uint8_t* d0 = dy + ptrdiff_t{2 * k} * dys;
        uint8_t* d1 = d0 + dys;
        const uint8_t* u = su + ptrdiff_t{k} * sus;
        const uint8_t* v = sv + ptrdiff_t{k} * svs;
        uint8_t* ou = du + ptrdiff_t{k} * dus;
        uint8_t* ov = dv + ptrdiff_t{k} * dvs;
        const auto run = [&]<class W>(const ProcMath<W>& mw, size_t from, size_t to) {
            for (size_t x = from; x < to; x += kStep<W>) {
                for (size_t o = 0; o < kStep<W>; o += W::kBytes) {
                    LumaBlock<W>(mw, y0 + x + o, d0 + x + o);
                    LumaBlock<W>(mw, y1 + x + o, d1 + x + o);
                }
                ChromaBlock<W>(mw, u + x / 2, v + x / 2, ou + x / 2, ov + x / 2);
            }
        };
        run(m, 0, wide);
        run(tail, wide, n);
    }
    _mm_sfence();
}

template <class V>
void Planar422(const Terms& t, uint32_t width, uint32_t height, const uint8_t* sy, const uint8_t* su,
               const uint8_t* sv, int32_t sys, int32_t sus, int32_t svs, uint8_t* dy, uint8_t* du, uint8_t* dv,
               int32_t dys, int32_t dus, int32_t dvs) {
    const ProcMath<V> m(t);
    const ProcMath<typename Narrower<V>::type> tail(t);
    const size_t n = size_t{width / 32} * 32;
    const size_t wide = n / kStep<V> * kStep<V>;
    for (uint32_t row = 0; row < height; ++row) {
        const uint8_t* y = sy + ptrdiff_t{row} * sys;
        uint8_t* d = dy + ptrdiff_t{row} * dys;
        const uint8_t* u = su + ptrdiff_t{row} * sus;
        const uint8_t* v = sv + ptrdiff_t{row} * svs;
        uint8_t* ou = du + ptrdiff_t{row} * dus;
        uint8_t* ov = dv + ptrdiff_t{row} * dvs;
        const auto run = [&]<class W>(const ProcMath<W>& mw, size_t from, size_t to) {
            for (size_t x = from; x < to; x += kStep<W>) {
                for (size_t o = 0; o < kStep<W>; o += W::kBytes) LumaBlock<W>(mw, y + x + o, d + x + o);
                ChromaBlock<W>(mw, u + x / 2, v + x / 2, ou + x / 2, ov + x / 2);
            }
        };
        run(m, 0, wide);
        run(tail, wide, n);
    }
    _mm_sfence();
}

template <class V>
void Yuy2(const Terms& t, uint32_t width, uint32_t height, const uint8_t* src, int32_t ss, uint8_t* dst,
          int32_t ds) {
    using Tail = typename Narrower<V>::type;
    const ProcMath<V> m(t);
    const ProcMath<Tail> tail(t);
    const size_t bytes = size_t{width / 16} * 32;
    const size_t wide = bytes / V::kBytes * V::kBytes;
    for (uint32_t row = 0; row < height; ++row) {
        const uint8_t* s = src + ptrdiff_t{row} * ss;
        uint8_t* d = dst + ptrdiff_t{row} * ds;
        for (size_t o = 0; o < wide; o += V::kBytes) PackedBlock<V>(m, s + o, d + o);
        for (size_t o = wide; o < bytes; o += Tail::kBytes) PackedBlock<Tail>(tail, s + o, d + o);
    }
    _mm_sfence();
}

template <class V>
void Fill(Kernels& k) {
    k.yv12 = &Yv12<V>;
    k.yuy2 = &Yuy2<V>;
    k.planar422 = &Planar422<V>;
}

}  // namespace
}  // namespace vemx::procamp
