#pragma once
// YV12 to YV12 re-encoding: the camera matrices and BT.2020 to BT.709.
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "video/ccvt.h"
#include "video/ccvt_math.h"
#include "video/ccvt_vector.h"

namespace vemx::ccvt {
namespace {

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

// n pixels (a multiple of 16 * kLanes, and of 32) of a pair of rows.
template <class V, class Math>
void ReencodeRows(const Math& m, size_t n, const uint8_t* y0, const uint8_t* y1, const uint8_t* cbr,
                  const uint8_t* crr, uint8_t* d0, uint8_t* d1, uint8_t* dcbr, uint8_t* dcrr) {
    constexpr size_t kStep = V::kLanes == 1 ? 32 : 16 * V::kLanes;
    for (size_t x = 0; x < n; x += kStep) {
        typename V::R a[2];
        ReencodeBlock<V>(m, y0 + x, y1 + x, cbr + x / 2, crr + x / 2, d0 + x, d1 + x, a);
        if constexpr (V::kLanes == 1) {
            typename V::R b[2];
            ReencodeBlock<V>(m, y0 + x + 16, y1 + x + 16, cbr + x / 2 + 8, crr + x / 2 + 8,
                             d0 + x + 16, d1 + x + 16, b);
            Stream(dcbr + x / 2, V::packus(a[0], b[0]));
            Stream(dcrr + x / 2, V::packus(a[1], b[1]));
        } else if constexpr (V::kLanes == 2) {
#if defined(__AVX2__)
            // [cb 0-7, cr 0-7 | cb 8-15, cr 8-15] -> [cb 0-15 | cr 0-15]
            const __m256i p = _mm256_permute4x64_epi64(V::packus(a[0], a[1]), 0xD8);
            Stream(dcbr + x / 2, V::template lane<0>(p));
            Stream(dcrr + x / 2, V::template lane<1>(p));
#endif
        } else {
#if defined(__AVX512BW__)
            // [cb 0-7, cr 0-7 | cb 8-15, cr 8-15 | ...] -> [cb 0-31 | cr 0-31]
            const __m512i p = _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7),
                                                       V::packus(a[0], a[1]));
            StreamPieces<V256>(dcbr + x / 2, _mm512_castsi512_si256(p));
            StreamPieces<V256>(dcrr + x / 2, _mm512_extracti64x4_epi64(p, 1));
#endif
        }
    }
}

template <class V, class Record>
void Yv12Reencode(const Record& record, uint32_t width, uint32_t height, const uint8_t* y,
                  const uint8_t* cb, const uint8_t* cr, int32_t ys, int32_t cbs, int32_t crs,
                  uint8_t* dy, uint8_t* dcb, uint8_t* dcr, int32_t dys, int32_t dcbs,
                  int32_t dcrs) {
    constexpr bool kReencode = std::is_same_v<Record, ReencodeRecord>;
    using Tail = typename Narrower<V>::type;
    const AffineMath<V, kReencode> m(record);
    const AffineMath<Tail, kReencode> tail(record);
    const size_t n = size_t{width / 32} * 32;
    // A 32-pixel group left over by a wider step goes through the narrower type.
    const size_t wide = V::kLanes == 4 ? n / 64 * 64 : n;
    for (uint32_t k = 0; k < height / 2; ++k) {
        const uint8_t* y0 = y + ptrdiff_t{2 * k} * ys;
        const uint8_t* y1 = y0 + ys;
        const uint8_t* cbr = cb + ptrdiff_t{k} * cbs;
        const uint8_t* crr = cr + ptrdiff_t{k} * crs;
        uint8_t* d0 = dy + ptrdiff_t{2 * k} * dys;
        uint8_t* d1 = d0 + dys;
        uint8_t* dcbr = dcb + ptrdiff_t{k} * dcbs;
        uint8_t* dcrr = dcr + ptrdiff_t{k} * dcrs;
        ReencodeRows<V>(m, wide, y0, y1, cbr, crr, d0, d1, dcbr, dcrr);
        if (wide < n) {
            const size_t h = wide / 2;
            ReencodeRows<Tail>(tail, n - wide, y0 + wide, y1 + wide, cbr + h, crr + h, d0 + wide,
                               d1 + wide, dcbr + h, dcrr + h);
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
