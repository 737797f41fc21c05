#pragma once
// Scalar model of the conversions, written from the arithmetic rules:
// 16-bit signed lanes that keep the low 16 bits of every product and sum, an
// arithmetic shift right by 6, a clamp to 0..255 after the shift.  It shares
// no code with the library; its coefficients are the published integers.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>

namespace vemx_test::model {

inline int Shift6(long v) { return static_cast<int16_t>(static_cast<uint16_t>(v)) >> 6; }
inline uint8_t Clamp(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

struct Standard {
    int y_offset, y_gain, cr_to_r, cb_to_g, cr_to_g, cb_to_b;
};
inline constexpr Standard kStandard[7] = {
    {0, 64, 90, -22, -46, 113}, {16, 75, 102, -25, -52, 129}, {16, 75, 115, -14, -34, 135},
    {0, 64, 90, -22, -46, 113}, {0, 64, 101, -12, -30, 119},  {16, 75, 107, -12, -42, 137},
    {0, 64, 94, -11, -37, 120}};

// Output offsets, then rows of gains on Y, Cb-128, Cr-128.
struct Affine {
    int offset[3];
    int m[3][3];
};
inline constexpr Affine kCameraRgb6 = {{-953, -1200, -206}, {{62, -5, 136}, {66, -7, -62}, {59, 142, 22}}};
inline constexpr Affine kCameraYuv6 = {{130, 8217, 8185}, {{57, -9, -26}, {0, 74, 18}, {0, 8, 89}}};
// BT.2020 to BT.709 full range; its offsets (0, 128, 128) are added after the shift.
inline constexpr Affine kReencode4 = {{0, 128, 128}, {{64, 1, -5}, {0, 64, 3}, {0, 0, 64}}};
inline constexpr Affine kZero = {};

struct Rgb {
    uint8_t r, g, b;
};

inline Rgb StandardPixel(int y, int cb, int cr, int matrix) {
    const Standard& s = kStandard[matrix];
    const long t = static_cast<long>(y - s.y_offset) * s.y_gain;
    const int u = cb - 128, v = cr - 128;
    return {Clamp(Shift6(t + v * s.cr_to_r)), Clamp(Shift6(t + u * s.cb_to_g + v * s.cr_to_g)),
            Clamp(Shift6(t + u * s.cb_to_b))};
}

inline long Sum(const Affine& a, int c, int y, int cb, int cr) {
    return static_cast<long>(y) * a.m[c][0] + (cb - 128) * a.m[c][1] + (cr - 128) * a.m[c][2];
}
inline uint8_t SonyYuvChannel(int c, int y, int cb, int cr, int matrix) {
    const Affine& a = matrix == 6 ? kCameraYuv6 : kZero;
    return Clamp(Shift6(Sum(a, c, y, cb, cr) + a.offset[c]));
}
inline uint8_t ReencodeChannel(int c, int y, int cb, int cr, int matrix) {
    const Affine& a = matrix == 4 ? kReencode4 : kZero;
    return Clamp(Shift6(Sum(a, c, y, cb, cr)) + a.offset[c]);
}
inline Rgb CameraPixel(int y, int cb, int cr, int matrix) {
    const Affine& a = matrix == 6 ? kCameraRgb6 : kZero;
    auto ch = [&](int c) { return Clamp(Shift6(Sum(a, c, y, cb, cr) + a.offset[c])); };
    return {ch(0), ch(1), ch(2)};
}

// One plane in 64-byte aligned, zeroed memory with a positive stride.
class Plane {
public:
    Plane(size_t width, size_t height, size_t padding = 16)
        : width_(width), height_(height), stride_((width + 15) / 16 * 16 + padding),
          data_(static_cast<uint8_t*>(std::aligned_alloc(64, (stride_ * height + 63) / 64 * 64 + 64))) {
        fill(0);
    }
    uint8_t* data() const { return data_.get(); }
    uint8_t* row(size_t y) const { return data() + y * stride_; }
    int32_t stride() const { return static_cast<int32_t>(stride_); }
    size_t height() const { return height_; }
    size_t bytes() const { return stride_ * height_; }
    void fill(uint8_t v) { std::memset(data(), v, bytes()); }
    void randomize(std::mt19937& rng) {
        for (size_t i = 0; i < bytes(); ++i) data()[i] = static_cast<uint8_t>(rng());
    }
    void copy_from(const Plane& o) { std::memcpy(data(), o.data(), std::min(bytes(), o.bytes())); }
    bool operator==(const Plane& o) const { return bytes() == o.bytes() && std::memcmp(data(), o.data(), bytes()) == 0; }
    // The same bytes within the width of every row, padding aside.
    bool same_pixels(const Plane& o) const {
        for (size_t y = 0; y < height_; ++y)
            if (std::memcmp(row(y), o.row(y), width_) != 0) return false;
        return true;
    }
    std::string first_difference(const Plane& o) const {
        const auto d = std::mismatch(data(), data() + bytes(), o.data());
        const size_t i = d.first - data();
        return i == bytes() ? "none"
                            : "row " + std::to_string(i / stride_) + " byte " + std::to_string(i % stride_) + ": " +
                                  std::to_string(*d.first) + " != " + std::to_string(*d.second);
    }

private:
    struct Free {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    size_t width_, height_, stride_;
    std::unique_ptr<uint8_t, Free> data_;
};

// Destination rows as the caller addresses them: top row first, or the last
// row of the buffer first with a negative stride.
struct Target {
    uint8_t* base;
    int32_t stride;
    uint8_t* row(uint32_t y) const { return base + static_cast<ptrdiff_t>(y) * stride; }
};
inline Target Addressed(const Plane& p, bool flipped) {
    return flipped ? Target{p.row(p.height() - 1), -p.stride()} : Target{p.data(), p.stride()};
}

enum class Layout { Rgb24, Rgb32, Bgr24, Bgr32 };
inline int BytesPerPixel(Layout l) { return l == Layout::Rgb32 || l == Layout::Bgr32 ? 4 : 3; }

inline void PutPixel(uint8_t* p, Layout l, Rgb c) {
    const bool bgr = l == Layout::Bgr24 || l == Layout::Bgr32;
    p[0] = bgr ? c.b : c.r;
    p[1] = c.g;
    p[2] = bgr ? c.r : c.b;
    if (BytesPerPixel(l) == 4) p[3] = 0;
}

using PixelFn = Rgb (*)(int y, int cb, int cr, int matrix);

// YV12 to packed: row pairs, floor(width / 32) groups of 32.
inline void Yv12ToRgb(const Plane& y, const Plane& cb, const Plane& cr, uint32_t width, uint32_t height,
                      Target dst, Layout layout, PixelFn pixel, int matrix) {
    const int bpp = BytesPerPixel(layout);
    for (uint32_t r = 0; r < height / 2 * 2; ++r)
        for (uint32_t x = 0; x < width / 32 * 32; ++x)
            PutPixel(dst.row(r) + x * bpp, layout, pixel(y.row(r)[x], cb.row(r / 2)[x / 2], cr.row(r / 2)[x / 2], matrix));
}

// YUY2 to packed: every row, groups of 16 (32-bit) or 32 (24-bit) pixels.
inline void Yuy2ToRgb(const Plane& src, uint32_t width, uint32_t height, Target dst, Layout layout, PixelFn pixel,
                      int matrix) {
    const int bpp = BytesPerPixel(layout);
    const uint32_t group = bpp == 4 ? 16 : 32;
    for (uint32_t r = 0; r < height; ++r)
        for (uint32_t x = 0; x < width / group * group; ++x) {
            const uint8_t* pair = src.row(r) + (x / 2) * 4;
            PutPixel(dst.row(r) + x * bpp, layout, pixel(pair[(x % 2) * 2], pair[1], pair[3], matrix));
        }
}

// Planar to planar: luma per pixel, chroma from each block's top-left luma;
// `rows` luma rows share a chroma row (2 for 4:2:0, 1 for 4:2:2).
template <class Channel>
void Yv12ToYv12(const Plane& y, const Plane& cb, const Plane& cr, uint32_t width, uint32_t height, Plane& dy,
                Plane& dcb, Plane& dcr, Channel channel, int matrix, uint32_t rows = 2) {
    for (uint32_t r = 0; r < height / rows * rows; ++r)
        for (uint32_t x = 0; x < width / 32 * 32; ++x) {
            const int u = cb.row(r / rows)[x / 2], v = cr.row(r / rows)[x / 2];
            dy.row(r)[x] = channel(0, y.row(r)[x], u, v, matrix);
            if (r % rows == 0 && x % 2 == 0) {
                dcb.row(r / rows)[x / 2] = channel(1, y.row(r)[x], u, v, matrix);
                dcr.row(r / rows)[x / 2] = channel(2, y.row(r)[x], u, v, matrix);
            }
        }
}

// Processing amplifier terms and pixel rule.
struct ProcTerms {
    int brightness, cosine, sine, contrast;
};
inline uint8_t ProcLuma(const ProcTerms& t, int y) { return Clamp(Shift6(static_cast<long>(y - 128) * t.contrast + t.brightness)); }
inline uint8_t ProcU(const ProcTerms& t, int u, int v) {
    return Clamp(Shift6(static_cast<long>(u - 128) * t.cosine + (v - 128) * t.sine + 8192));
}
inline uint8_t ProcV(const ProcTerms& t, int u, int v) {
    return Clamp(Shift6(static_cast<long>(v - 128) * t.cosine - (u - 128) * t.sine + 8192));
}

}  // namespace vemx_test::model
