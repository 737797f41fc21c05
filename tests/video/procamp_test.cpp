// Processing amplifier: control updates and their fixed-point terms, and the
// three layouts against the scalar model on every SIMD path.
#include <gtest/gtest.h>

#include <array>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "reference_model.h"
#include "simd_path.h"
#include "vemx/vemx_procamp.h"
#include "video/procamp.h"

namespace {

using namespace vemx_test::model;
using std::numbers::pi;
using T = std::array<int, 4>;  // brightness, cosine, sine, contrast

struct Record {
    void* handle = vemx_procamp_new();
    ~Record() { vemx_procamp_release(handle); }
    const vemx::procamp::ProcAmp& amp() const {
        return *static_cast<vemx::procamp::ProcAmp*>(handle);
    }
    T terms() const {
        const auto& t = amp().terms();
        return {t.brightness, t.cosine, t.sine, t.contrast};
    }
    Record& set(double contrast, double brightness, double hue, double saturation) {
        return vemx_procamp_update(handle, contrast, brightness, hue, saturation), *this;
    }
    Record& sliders(int contrast, int brightness, int hue, int saturation) {
        return vemx_procamp_update1(handle, contrast, brightness, hue, saturation), *this;
    }
};

TEST(ProcampControls, TermsFromDefaultsSlidersAndRealValues) {
    Record r, neutral;
    ASSERT_NE(r.handle, nullptr);
    EXPECT_EQ(r.terms(), (T{8160, 64, 0, 64}));
    const auto& p = r.amp();
    EXPECT_EQ(std::vector<double>({p.contrast(), p.brightness(), p.hue(), p.saturation(),
                                   p.chroma_cos(), p.chroma_sin()}),
              std::vector<double>({1.0, 0.5, 0.0, 1.0, 1.0, 0.0}));
    EXPECT_EQ(neutral.sliders(128, 128, 128, 128).terms(), r.terms());
    EXPECT_EQ(neutral.amp().hue(), 0.0);
    vemx_procamp_release(nullptr);

    // Truncated after adding one half: 0.25*255*64 + 0.5 = 4080.5; cos(pi/2)*0.5*64 + 0.5 ~ 0.5.
    EXPECT_EQ(r.set(1.25, 0.25, pi / 2, 0.5).terms(), (T{4080, 0, 32, 80}));
    // -0.7*64 + 0.5 = -44.3 truncates to -44, not round-to-nearest -45.
    EXPECT_EQ(r.set(1.25, 0.25, -pi / 2, 0.7).terms()[2], -44);
    // Sliders: contrast 0.5, brightness 255/256, hue -pi/2 at saturation 0.
    EXPECT_EQ(r.sliders(0, 255, 0, 0).terms(),
              (T{static_cast<int>(255.0 / 256 * 255 * 64 + 0.5), 0, 0, 32}));
    // Positions wrap modulo 256 (384 is neutral); saturation 255 is 1 + 127/128.
    EXPECT_EQ(r.sliders(128, 128, 384, 255).terms(), (T{8160, 128, 0, 64}));
    // Hue slider 0 at saturation 128: cos ~ 0, sin -1 -> -64 + 0.5 truncated = -63.
    EXPECT_EQ(r.sliders(128, 128, 0, 128).terms(), (T{8160, 0, -63, 64}));

    // The slider remembered hue -pi: the same real hue and saturation are no
    // change, so the applied -pi/2 rotation stays.
    EXPECT_EQ(r.set(1.0, 0.5, -pi, 1.0).terms(), (T{8160, 0, -63, 64}));
    // A new saturation recomputes both chroma terms from the real hue.
    EXPECT_EQ(r.set(1.0, 0.5, -pi, 0.5).terms(), (T{8160, -31, 0, 64}));
    EXPECT_EQ(r.set(0.0, 0.5, -pi, 0.5).terms(), (T{8160, -31, 0, 0}));
}

// Neutral, strong, a negative rotation, and extremes whose 16-bit sums wrap.
const double kSettings[][4] = {{1.0, 0.5, 0.0, 1.0}, {1.4, 0.3, 0.6, 1.7}, {0.6, 0.7, -1.3, 0.4},
                               {0.0, 0.5, 3.0, 0.0}, {7.5, 1.9, 2.2, 6.0}, {-2.0, -0.4, -2.5, 3.5}};
const uint32_t kSizes[][2] = {{64, 4}, {56, 5}, {16, 2}, {32, 1}, {96, 3}, {512, 256}};

class Procamp : public vemx_test::SimdPathTest {};
VEMX_ALL_SIMD_PATHS(Procamp);

// Random pictures in every layout, out of place and in place; untouched
// bytes must keep what was there (0xA5, or the source when in place).
TEST_P(Procamp, EveryLayoutMatchesTheModel) {
    std::mt19937 rng(5);
    for (const auto& st : kSettings) {
        Record rec;
        const auto [bright, cosine, sine, contrast] = rec.set(st[0], st[1], st[2], st[3]).terms();
        const ProcTerms t{bright, cosine, sine, contrast};
        auto proc = [&t](int c, int y, int u, int v, int) {
            return c ? (c == 1 ? ProcU : ProcV)(t, u, v) : ProcLuma(t, y);
        };
        for (const auto [w, h] : kSizes) {
            for (int layout = 0; layout < 3; ++layout) {  // 4:2:0, planar 4:2:2, packed 4:2:2
                const bool packed = layout == 2, pairs = layout == 0;
                const uint32_t ch = pairs ? h / 2 + 1 : h + 1;
                for (bool in_place : {false, true}) {
                    std::vector<Plane> src, want, got;
                    for (uint32_t i = 0; i < (packed ? 1 : 3); ++i) {
                        const uint32_t pw = packed ? w * 2 : i ? w / 2 : w, ph = i ? ch : h + 1;
                        const size_t pad = 16 * (src.size() + 1);
                        src.emplace_back(pw, ph, pad).randomize(rng);
                        want.emplace_back(pw, ph, pad).fill(0xA5);
                        got.emplace_back(pw, ph, pad).fill(0xA5);
                        if (in_place) want.back().copy_from(src.back());
                    }
                    std::vector<Plane>& out = in_place ? src : got;
                    if (packed) {
                        for (uint32_t r = 0; r < h; ++r)
                            for (uint32_t x = 0; x < w / 16 * 16; x += 2) {
                                const uint8_t* p = src[0].row(r) + 2 * x;
                                const uint8_t q[4] = {ProcLuma(t, p[0]), ProcU(t, p[1], p[3]),
                                                      ProcLuma(t, p[2]), ProcV(t, p[1], p[3])};
                                std::copy(q, q + 4, want[0].row(r) + 2 * x);
                            }
                        vemx_procamp_adjust_yuy2(rec.handle, w, h, src[0].data(), src[0].stride(),
                                                 out[0].data(), out[0].stride());
                    } else {
                        Yv12ToYv12(src[0], src[1], src[2], w, h, want[0], want[1], want[2], proc, 0,
                                   pairs ? 2 : 1);
                        (pairs ? vemx_procamp_adjust_yv12 : vemx_procamp_adjust_yuy2_p)(
                            rec.handle, w, h, src[0].data(), src[1].data(), src[2].data(),
                            src[0].stride(), src[1].stride(), src[2].stride(), out[0].data(),
                            out[1].data(), out[2].data(), out[0].stride(), out[1].stride(),
                            out[2].stride());
                    }
                    for (size_t p = 0; p < want.size(); ++p)
                        ASSERT_TRUE(want[p] == out[p])
                            << "layout " << layout << " " << w << "x" << h
                            << (in_place ? " in place" : "") << " contrast " << st[0] << " plane "
                            << p << ": " << want[p].first_difference(out[p]);
                }
            }
        }
    }
}

// Hand-worked values.
TEST_P(Procamp, KnownResults) {
    constexpr uint32_t w = 64, h = 2;
    Plane y(w, h), u(w / 2, 1), v(w / 2, 1), dy(w, h), du(w / 2, 1), dv(w / 2, 1);
    for (uint32_t x = 0; x < w; ++x) y.row(0)[x] = y.row(1)[x] = static_cast<uint8_t>(x * 4);
    for (uint32_t x = 0; x < w / 2; ++x)
        u.row(0)[x] = static_cast<uint8_t>(x * 8), v.row(0)[x] = static_cast<uint8_t>(255 - x * 8);
    auto adjust = [&](const Record& r) {
        vemx_procamp_adjust_yv12(r.handle, w, h, y.data(), u.data(), v.data(), y.stride(),
                                 u.stride(), v.stride(), dy.data(), du.data(), dv.data(),
                                 dy.stride(), du.stride(), dv.stride());
    };
    Record fresh, flat, grey, turned;
    adjust(fresh);  // luma down by one (0 stays 0), chroma unchanged
    for (uint32_t x = 0; x < w; ++x) EXPECT_EQ(dy.row(1)[x], x == 0 ? 0 : x * 4 - 1) << x;
    EXPECT_TRUE(u == du && v == dv);

    adjust(flat.set(0.0, 0.5, 0.0, 1.0));  // contrast 0: 8160 >> 6 = 127
    for (uint32_t x = 0; x < w; ++x) EXPECT_EQ(dy.row(0)[x], 127);

    adjust(grey.sliders(128, 128, 128, 0));  // saturation slider 0: no colour
    for (uint32_t x = 0; x < w / 2; ++x)
        EXPECT_TRUE(du.row(0)[x] == 128 && dv.row(0)[x] == 128) << x;

    adjust(turned.sliders(128, 128, 0, 128));  // hue slider 0: cos 0, sin -63
    for (uint32_t x = 0; x < w / 2; ++x) {
        const int cu = u.row(0)[x] - 128, cv = v.row(0)[x] - 128;
        EXPECT_EQ(du.row(0)[x], std::clamp((8192 - 63 * cv) >> 6, 0, 255));
        EXPECT_EQ(dv.row(0)[x], std::clamp((8192 + 63 * cu) >> 6, 0, 255));
    }
}

}  // namespace
