#pragma once
// YUY2 to RGB, one row at a time; needs byte shuffles.
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "video/ccvt.h"
#include "video/ccvt_math.h"
#include "video/ccvt_store.h"

namespace vemx::ccvt {
namespace {

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
        if constexpr (kOrder == Order::kLanes && V::kLanes == 4) {
#if defined(__AVX512BW__)
            // Pixels 0-7 of each lane, then 8-15: the even or the odd 16-byte
            // pieces of two whole loads.
            // (The selector must be a literal for clang.)
            const R a = V::load(p), b = V::load(p + 64);
            src[h] = h % 2 ? _mm512_shuffle_i64x2(a, b, 0xDD) : _mm512_shuffle_i64x2(a, b, 0x88);
#endif
        } else if constexpr (kOrder == Order::kLanes) {
            src[h] = V::load_lanes(p + 16 * (h % 2), 32);
        } else if constexpr (V::kLanes == 2) {
            // Quads of pixels 0-3, 8-11 in lane 0 and 4-7, 12-15 in lane 1:
            // the in-lane interleaving then leaves 8 consecutive pixels per
            // register.
            src[h] = _mm256_permute4x64_epi64(V::load(p + 32 * (h % 2)), 0xD8);
        } else {
#if defined(__AVX512BW__)
            // The same with four lanes: quads 0, 4 in lane 0, 1, 5 in lane 1,
            // ... so that each register leaves 16 consecutive pixels.
            src[h] = _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 4, 1, 5, 2, 6, 3, 7),
                                              V::load(p + 64 * (h % 2)));
#endif
        }
    }
    if constexpr (std::is_same_v<Math, StandardBytesMath<V>>) {
        if constexpr (V::kLanes >= 2) {
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
    constexpr int kUnits = V::kLanes >= 2 ? 2 : 1;
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
    // As for YV12: wide registers writing 32-bit pixels keep 4 * kLanes
    // consecutive pixels each, stored whole when the row starts aligned to
    // the register's size.
    constexpr bool kRuns = V::kLanes >= 2 && Bpp == 4;
    for (uint32_t row = 0; row < height; ++row) {
        const uint8_t* s = src + ptrdiff_t{row} * ss;
        uint8_t* d = dst + ptrdiff_t{row} * ds;
        size_t x;
        if constexpr (!kRuns)
            x = Yuy2Blocks<V, MathT<V>, Bpp, Bgr, Order::kLanes>(m, n, s, d);
        else if (reinterpret_cast<uintptr_t>(d) % V::kBytes == 0)
            x = Yuy2Blocks<V, MathT<V>, Bpp, Bgr, Order::kRunsWhole>(m, n, s, d);
        else
            x = Yuy2Blocks<V, MathT<V>, Bpp, Bgr, Order::kRuns>(m, n, s, d);
        // A wide path may leave 16-pixel groups over.
        for (; x < n; x += 16)
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

}  // namespace
}  // namespace vemx::ccvt
