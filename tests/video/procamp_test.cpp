// Processing amplifier: control updates and their fixed-point terms, and the
// three layouts against the scalar model on both SIMD paths.
#include <gtest/gtest.h>

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
using vemx::procamp::ProcAmp;

struct Record {
    void* handle = vemx_procamp_new();
    ~Record() { vemx_procamp_release(handle); }
    const ProcAmp& amp() const { return *static_cast<ProcAmp*>(handle); }
    // brightness, cosine, sine, contrast
    std::vector<int> terms() const {
        const auto& t = amp().terms();
        return {t.brightness, t.cosine, t.sine, t.contrast};
    }
    ProcTerms model() const {
        const auto& t = amp().terms();
        return {t.brightness, t.cosine, t.sine, t.contrast};
    }
};
using T = std::vector<int>;

TEST(ProcampControls, DefaultsAndNeutralSlidersAgree) {
    Record fresh, sliders;
    ASSERT_NE(fresh.handle, nullptr);
    EXPECT_EQ(fresh.terms(), T({8160, 64, 0, 64}));
    const ProcAmp& p = fresh.amp();
    EXPECT_EQ(std::vector<double>({p.contrast(), p.brightness(), p.hue(), p.saturation(),
                                   p.chroma_cos(), p.chroma_sin()}),
              std::vector<double>({1.0, 0.5, 0.0, 1.0, 1.0, 0.0}));
    vemx_procamp_update1(sliders.handle, 128, 128, 128, 128);
    EXPECT_EQ(sliders.terms(), fresh.terms());
    EXPECT_EQ(sliders.amp().hue(), 0.0);
    vemx_procamp_release(nullptr);
}

TEST(ProcampControls, TermsAreTruncatedAfterAddingOneHalf) {
    Record r;
    // 0.25*255*64 + 0.5 = 4080.5; cos(pi/2)*0.5*64 + 0.5 ~ 0.5; 0.5*64 + 0.5; 1.25*64 + 0.5
    vemx_procamp_update(r.handle, 1.25, 0.25, std::numbers::pi / 2, 0.5);
    EXPECT_EQ(r.terms(), T({4080, 0, 32, 80}));
    // Negative: -0.7*64 + 0.5 = -44.3 truncates to -44, not round-to-nearest -45.
    vemx_procamp_update(r.handle, 1.25, 0.25, -std::numbers::pi / 2, 0.7);
    EXPECT_EQ(r.terms()[2], -44);
    // Sliders: contrast 0.5, brightness 255/256, hue -pi/2 at saturation 0.
    vemx_procamp_update1(r.handle, 0, 255, 0, 0);
    EXPECT_EQ(r.terms(), T({static_cast<int>(255.0 / 256 * 255 * 64 + 0.5), 0, 0, 32}));
    // Hue slider 0 at saturation 128: cos ~ 0, sin -1 -> -64 + 0.5 truncated = -63.
    vemx_procamp_update1(r.handle, 128, 128, 0, 128);
    EXPECT_EQ(r.terms(), T({8160, 0, -63, 64}));
    // Positions wrap modulo 256 (384 is neutral); saturation 255 is 1 + 127/128.
    vemx_procamp_update1(r.handle, 128, 128, 384, 255);
    EXPECT_EQ(r.terms(), T({8160, 128, 0, 64}));
}

TEST(ProcampControls, UnchangedValuesAreNotRecomputed) {
    Record r;
    vemx_procamp_update1(r.handle, 128, 128, 0, 128);
    // The slider remembered hue 2*pi*0/256 - pi = -pi: the same real hue and
    // saturation are no change, so the applied -pi/2 rotation stays.
    vemx_procamp_update(r.handle, 1.0, 0.5, -std::numbers::pi, 1.0);
    EXPECT_EQ(r.terms(), T({8160, 0, -63, 64}));
    // A new saturation recomputes both chroma terms from the real hue.
    vemx_procamp_update(r.handle, 1.0, 0.5, -std::numbers::pi, 0.5);
    EXPECT_EQ(r.terms(), T({8160, -31, 0, 64}));
    vemx_procamp_update(r.handle, 0.0, 0.5, -std::numbers::pi, 0.5);
    EXPECT_EQ(r.terms(), T({8160, -31, 0, 0}));
}

// Neutral, strong, a negative rotation, and extremes whose 16-bit sums wrap.
const double kSettings[][4] = {{1.0, 0.5, 0.0, 1.0}, {1.4, 0.3, 0.6, 1.7}, {0.6, 0.7, -1.3, 0.4},
                               {0.0, 0.5, 3.0, 0.0}, {7.5, 1.9, 2.2, 6.0}, {-2.0, -0.4, -2.5, 3.5}};
const uint32_t kSizes[][2] = {{64, 4}, {40, 5}, {16, 2}, {32, 1}, {96, 3}, {512, 256}};

class Procamp : public vemx_test::SimdPathTest {};
VEMX_SSE2_AND_AVX2_PATHS(Procamp);

// Random pictures in every layout, out of place and in place; untouched
// bytes must keep what was there (0xA5, or the source when in place).
TEST_P(Procamp, EveryLayoutMatchesTheModel) {
    std::mt19937 rng(5);
    for (const auto& st : kSettings) {
        Record rec;
        vemx_procamp_update(rec.handle, st[0], st[1], st[2], st[3]);
        const ProcTerms t = rec.model();
        for (const auto& size : kSizes) {
            const uint32_t w = size[0], h = size[1];
            for (int layout = 0; layout < 3; ++layout) {  // 4:2:0, planar 4:2:2, packed 4:2:2
                for (bool in_place : {false, true}) {
                    const bool packed = layout == 2, pairs = layout == 0;
                    const uint32_t ch = pairs ? h / 2 + 1 : h + 1;
                    std::vector<Plane> src, want, got;
                    for (auto [pw, ph] :
                         packed ? std::vector<std::pair<uint32_t, uint32_t>>{{w * 2, h + 1}}
                                : std::vector<std::pair<uint32_t, uint32_t>>{
                                      {w, h + 1}, {w / 2, ch}, {w / 2, ch}}) {
                        src.emplace_back(pw, ph, 16 * (src.size() + 1));
                        want.emplace_back(pw, ph, 16 * (want.size() + 1));
                        got.emplace_back(pw, ph, 16 * (got.size() + 1));
                        src.back().randomize(rng);
                        if (in_place)
                            want.back().copy_from(src.back());
                        else
                            want.back().fill(0xA5), got.back().fill(0xA5);
                    }
                    std::vector<Plane>& out = in_place ? src : got;
                    if (packed) {
                        for (uint32_t r = 0; r < h; ++r)
                            for (uint32_t x = 0; x < w / 16 * 16; x += 2) {
                                const uint8_t* s = src[0].row(r) + 2 * x;
                                uint8_t* d = want[0].row(r) + 2 * x;
                                d[0] = ProcLuma(t, s[0]), d[1] = ProcU(t, s[1], s[3]);
                                d[2] = ProcLuma(t, s[2]), d[3] = ProcV(t, s[1], s[3]);
                            }
                        vemx_procamp_adjust_yuy2(rec.handle, w, h, src[0].data(), src[0].stride(),
                                                 out[0].data(), out[0].stride());
                    } else {
                        for (uint32_t r = 0; r < (pairs ? h / 2 * 2 : h); ++r)
                            for (uint32_t x = 0; x < w / 32 * 32; ++x) {
                                want[0].row(r)[x] = ProcLuma(t, src[0].row(r)[x]);
                                if (pairs && r % 2) continue;
                                const uint32_t c = pairs ? r / 2 : r;
                                if (x % 2) continue;
                                const int u = src[1].row(c)[x / 2], v = src[2].row(c)[x / 2];
                                want[1].row(c)[x / 2] = ProcU(t, u, v);
                                want[2].row(c)[x / 2] = ProcV(t, u, v);
                            }
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

    vemx_procamp_update(flat.handle, 0.0, 0.5, 0.0, 1.0);  // contrast 0: 8160 >> 6 = 127
    adjust(flat);
    for (uint32_t x = 0; x < w; ++x) EXPECT_EQ(dy.row(0)[x], 127);

    vemx_procamp_update1(grey.handle, 128, 128, 128, 0);  // saturation slider 0: no colour
    adjust(grey);
    for (uint32_t x = 0; x < w / 2; ++x)
        EXPECT_TRUE(du.row(0)[x] == 128 && dv.row(0)[x] == 128) << x;

    vemx_procamp_update1(turned.handle, 128, 128, 0, 128);  // hue slider 0: cos 0, sin -63
    adjust(turned);
    for (uint32_t x = 0; x < w / 2; ++x) {
        const int cu = u.row(0)[x] - 128, cv = v.row(0)[x] - 128;
        EXPECT_EQ(du.row(0)[x], std::clamp((8192 - 63 * cv) >> 6, 0, 255));
        EXPECT_EQ(dv.row(0)[x], std::clamp((8192 + 63 * cu) >> 6, 0, 255));
    }
}

}  // namespace
