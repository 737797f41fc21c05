// Processing amplifier: control updates and their fixed-point terms, and the
// three layouts against the scalar model on both SIMD paths.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <string>

#include "reference_model.h"
#include "simd_path.h"
#include "video/procamp.h"
#include "vemx/vemx_procamp.h"

namespace {

using namespace vemx_test::model;
using vemx::procamp::ProcAmp;

struct Record {
    void* handle = vemx_procamp_new();
    ~Record() { vemx_procamp_release(handle); }
    const vemx::procamp::Terms& terms() const { return static_cast<ProcAmp*>(handle)->terms(); }
    ProcTerms model() const { return {terms().brightness, terms().cosine, terms().sine, terms().contrast}; }
};

void ExpectTerms(const Record& r, int brightness, int cosine, int sine, int contrast) {
    EXPECT_EQ(r.terms().brightness, brightness);
    EXPECT_EQ(r.terms().cosine, cosine);
    EXPECT_EQ(r.terms().sine, sine);
    EXPECT_EQ(r.terms().contrast, contrast);
}

TEST(ProcampControls, DefaultsAndNeutralSlidersAgree) {
    Record fresh;
    ASSERT_NE(fresh.handle, nullptr);
    ExpectTerms(fresh, 8160, 64, 0, 64);
    const auto* p = static_cast<ProcAmp*>(fresh.handle);
    EXPECT_EQ(p->contrast(), 1.0);
    EXPECT_EQ(p->brightness(), 0.5);
    EXPECT_EQ(p->hue(), 0.0);
    EXPECT_EQ(p->saturation(), 1.0);
    EXPECT_EQ(p->chroma_cos(), 1.0);
    EXPECT_EQ(p->chroma_sin(), 0.0);

    Record sliders;
    vemx_procamp_update1(sliders.handle, 128, 128, 128, 128);
    ExpectTerms(sliders, 8160, 64, 0, 64);
    EXPECT_EQ(static_cast<ProcAmp*>(sliders.handle)->hue(), 0.0);
    vemx_procamp_release(nullptr);
}

TEST(ProcampControls, RealValuesGiveTruncatedTerms) {
    Record r;
    vemx_procamp_update(r.handle, 1.25, 0.25, std::numbers::pi / 2, 0.5);
    // 0.25*255*64 + 0.5 = 4080.5; cos(pi/2)*0.5*64 + 0.5 ~ 0.5; 0.5*64 + 0.5 = 32.5; 1.25*64 + 0.5 = 80.5
    ExpectTerms(r, 4080, 0, 32, 80);
    // Negative terms truncate toward zero after the + 0.5: -0.7*64 + 0.5 = -44.3 -> -44.
    vemx_procamp_update(r.handle, 1.25, 0.25, -std::numbers::pi / 2, 0.7);
    EXPECT_EQ(r.terms().sine, -44);
    EXPECT_NEAR(static_cast<ProcAmp*>(r.handle)->chroma_sin(), -0.7, 1e-12);
}

TEST(ProcampControls, SlidersMapOntoTheirRanges) {
    Record r;
    // contrast (0-128)/256 + 1 = 0.5, brightness 255/256, hue 0 = -pi/2, saturation 0
    vemx_procamp_update1(r.handle, 0, 255, 0, 0);
    ExpectTerms(r, static_cast<int>(255.0 / 256 * 255 * 64 + 0.5), 0, 0, 32);
    // Full hue turn at saturation 128: cos(-pi/2) ~ 0, sin = -1 -> -64 + 0.5 truncated = -63.
    vemx_procamp_update1(r.handle, 128, 128, 0, 128);
    ExpectTerms(r, 8160, 0, -63, 64);
    // Positions wrap modulo 256: 384 is the neutral rotation, at saturation 255 (~2.0).
    vemx_procamp_update1(r.handle, 128, 128, 384, 255);
    ExpectTerms(r, 8160, static_cast<int>((1.0 + 127.0 / 128) * 64 + 0.5), 0, 64);
}

TEST(ProcampControls, UnchangedValuesAreNotRecomputed) {
    Record r;
    vemx_procamp_update1(r.handle, 128, 128, 0, 128);
    ExpectTerms(r, 8160, 0, -63, 64);
    // The slider remembers hue 2*pi*0/256 - pi = -pi; the same real hue and
    // saturation are no change, so the applied -pi/2 rotation stays.
    vemx_procamp_update(r.handle, 1.0, 0.5, -std::numbers::pi, 1.0);
    ExpectTerms(r, 8160, 0, -63, 64);
    // A changed saturation recomputes both chroma terms from the real hue.
    vemx_procamp_update(r.handle, 1.0, 0.5, -std::numbers::pi, 0.5);
    ExpectTerms(r, 8160, -31, 0, 64);
    // Contrast alone: brightness stays.
    vemx_procamp_update(r.handle, 0.0, 0.5, -std::numbers::pi, 0.5);
    ExpectTerms(r, 8160, -31, 0, 0);
}

// Model of the three layouts, written from the traversal rules.
void ModelPlanar(const ProcTerms& t, uint32_t w, uint32_t h, bool pairs, const Plane& y, const Plane& u,
                 const Plane& v, Plane& dy, Plane& du, Plane& dv) {
    const uint32_t n = w / 32 * 32;
    const uint32_t rows = pairs ? h / 2 * 2 : h;
    for (uint32_t r = 0; r < rows; ++r) {
        for (uint32_t x = 0; x < n; ++x) dy.row(r)[x] = ProcLuma(t, y.row(r)[x]);
        if (pairs && r % 2) continue;
        const uint32_t c = pairs ? r / 2 : r;
        for (uint32_t x = 0; x < n / 2; ++x) {
            du.row(c)[x] = ProcU(t, u.row(c)[x], v.row(c)[x]);
            dv.row(c)[x] = ProcV(t, u.row(c)[x], v.row(c)[x]);
        }
    }
}

void ModelPacked(const ProcTerms& t, uint32_t w, uint32_t h, const Plane& src, Plane& dst) {
    const uint32_t n = w / 16 * 16;
    for (uint32_t r = 0; r < h; ++r)
        for (uint32_t x = 0; x < n; x += 2) {
            const uint8_t* s = src.row(r) + 2 * x;
            uint8_t* d = dst.row(r) + 2 * x;
            d[0] = ProcLuma(t, s[0]);
            d[1] = ProcU(t, s[1], s[3]);
            d[2] = ProcLuma(t, s[2]);
            d[3] = ProcV(t, s[1], s[3]);
        }
}

struct Setting {
    double contrast, brightness, hue, saturation;
};
// Neutral, strong, a negative rotation, and extremes whose 16-bit sums wrap.
const Setting kSettings[] = {{1.0, 0.5, 0.0, 1.0}, {1.4, 0.3, 0.6, 1.7}, {0.6, 0.7, -1.3, 0.4},
                             {0.0, 0.5, 3.0, 0.0}, {7.5, 1.9, 2.2, 6.0}, {-2.0, -0.4, -2.5, 3.5}};

struct Size {
    uint32_t w, h;
};
const Size kSizes[] = {{64, 4}, {40, 5}, {16, 2}, {32, 1}, {96, 3}, {512, 256}};

class Procamp : public vemx_test::SimdPathTest {};
VEMX_BOTH_SIMD_PATHS(Procamp);

TEST_P(Procamp, PlanarLayoutsMatchTheModel) {
    std::mt19937 rng(5);
    for (const Setting& st : kSettings) {
        Record rec;
        vemx_procamp_update(rec.handle, st.contrast, st.brightness, st.hue, st.saturation);
        for (Size s : kSizes) {
            for (bool pairs : {true, false}) {
                for (bool in_place : {false, true}) {
                    const uint32_t ch = pairs ? s.h / 2 + 1 : s.h + 1;
                    Plane y(s.w, s.h + 1, 16), u(s.w / 2, ch, 32), v(s.w / 2, ch, 48);
                    y.randomize(rng);
                    u.randomize(rng);
                    v.randomize(rng);
                    Plane wy(s.w, s.h + 1, 16), wu(s.w / 2, ch, 32), wv(s.w / 2, ch, 48);
                    Plane gy(s.w, s.h + 1, 16), gu(s.w / 2, ch, 32), gv(s.w / 2, ch, 48);
                    if (in_place) {
                        // Start from the source so untouched bytes are the source's.
                        std::memcpy(wy.data(), y.data(), y.bytes());
                        std::memcpy(wu.data(), u.data(), u.bytes());
                        std::memcpy(wv.data(), v.data(), v.bytes());
                    } else {
                        for (Plane* p : {&wy, &wu, &wv, &gy, &gu, &gv}) p->fill(0xA5);
                    }
                    ModelPlanar(rec.model(), s.w, s.h, pairs, y, u, v, wy, wu, wv);
                    Plane& oy = in_place ? y : gy;
                    Plane& ou = in_place ? u : gu;
                    Plane& ov = in_place ? v : gv;
                    (pairs ? vemx_procamp_adjust_yv12 : vemx_procamp_adjust_yuy2_p)(
                        rec.handle, s.w, s.h, y.data(), u.data(), v.data(), y.stride(), u.stride(), v.stride(),
                        oy.data(), ou.data(), ov.data(), oy.stride(), ou.stride(), ov.stride());
                    const std::string where = std::string(pairs ? "4:2:0 " : "4:2:2 ") + std::to_string(s.w) + "x" +
                                              std::to_string(s.h) + (in_place ? " in place" : "") + " contrast " +
                                              std::to_string(st.contrast);
                    ASSERT_TRUE(std::memcmp(wy.data(), oy.data(), wy.bytes()) == 0) << where << " Y";
                    ASSERT_TRUE(std::memcmp(wu.data(), ou.data(), wu.bytes()) == 0) << where << " U";
                    ASSERT_TRUE(std::memcmp(wv.data(), ov.data(), wv.bytes()) == 0) << where << " V";
                }
            }
        }
    }
}

TEST_P(Procamp, PackedLayoutMatchesTheModel) {
    std::mt19937 rng(9);
    for (const Setting& st : kSettings) {
        Record rec;
        vemx_procamp_update(rec.handle, st.contrast, st.brightness, st.hue, st.saturation);
        for (Size s : kSizes) {
            for (bool in_place : {false, true}) {
                Plane src(s.w * 2, s.h + 1, 16), want(s.w * 2, s.h + 1, 16), got(s.w * 2, s.h + 1, 16);
                src.randomize(rng);
                if (in_place) {
                    std::memcpy(want.data(), src.data(), src.bytes());
                } else {
                    want.fill(0xA5);
                    got.fill(0xA5);
                }
                ModelPacked(rec.model(), s.w, s.h, src, want);
                Plane& out = in_place ? src : got;
                vemx_procamp_adjust_yuy2(rec.handle, s.w, s.h, src.data(), src.stride(), out.data(), out.stride());
                ASSERT_TRUE(want == out) << s.w << "x" << s.h << (in_place ? " in place" : "") << ": "
                                         << want.first_difference(out);
            }
        }
    }
}

// Every (U, V) pair and every luma value in one 4:2:2 picture, per setting.
TEST_P(Procamp, EveryChromaPairAndLumaValue) {
    constexpr uint32_t w = 512, h = 256;
    Plane src(w * 2, h), want(w * 2, h), got(w * 2, h);
    for (uint32_t k = 0; k < h; ++k)
        for (uint32_t j = 0; j < w / 2; ++j) {
            uint8_t* p = src.row(k) + 4 * j;
            p[0] = static_cast<uint8_t>(j);
            p[1] = static_cast<uint8_t>(j);
            p[2] = static_cast<uint8_t>(k);
            p[3] = static_cast<uint8_t>(k);
        }
    for (const Setting& st : kSettings) {
        Record rec;
        vemx_procamp_update(rec.handle, st.contrast, st.brightness, st.hue, st.saturation);
        ModelPacked(rec.model(), w, h, src, want);
        vemx_procamp_adjust_yuy2(rec.handle, w, h, src.data(), src.stride(), got.data(), got.stride());
        ASSERT_TRUE(want == got) << "contrast " << st.contrast << ": " << want.first_difference(got);
    }
}

// Hand-worked pictures.
TEST_P(Procamp, KnownResults) {
    constexpr uint32_t w = 64, h = 2;
    Plane y(w, h), u(w / 2, 1), v(w / 2, 1), dy(w, h), du(w / 2, 1), dv(w / 2, 1);
    for (uint32_t x = 0; x < w; ++x) y.row(0)[x] = y.row(1)[x] = static_cast<uint8_t>(x * 4);
    for (uint32_t x = 0; x < w / 2; ++x) {
        u.row(0)[x] = static_cast<uint8_t>(x * 8);
        v.row(0)[x] = static_cast<uint8_t>(255 - x * 8);
    }
    auto adjust = [&](const Record& r) {
        vemx_procamp_adjust_yv12(r.handle, w, h, y.data(), u.data(), v.data(), y.stride(), u.stride(), v.stride(),
                                 dy.data(), du.data(), dv.data(), dy.stride(), du.stride(), dv.stride());
    };

    Record fresh;  // luma down by one (0 stays 0), chroma unchanged
    adjust(fresh);
    for (uint32_t x = 0; x < w; ++x) EXPECT_EQ(dy.row(1)[x], x == 0 ? 0 : x * 4 - 1) << x;
    EXPECT_TRUE(u == du);
    EXPECT_TRUE(v == dv);

    Record flat;  // contrast 0: the brightness term alone, 8160 >> 6
    vemx_procamp_update(flat.handle, 0.0, 0.5, 0.0, 1.0);
    adjust(flat);
    for (uint32_t x = 0; x < w; ++x) EXPECT_EQ(dy.row(0)[x], 127);

    Record grey;  // saturation slider 0: no colour left
    vemx_procamp_update1(grey.handle, 128, 128, 128, 0);
    adjust(grey);
    for (uint32_t x = 0; x < w / 2; ++x) {
        EXPECT_EQ(du.row(0)[x], 128);
        EXPECT_EQ(dv.row(0)[x], 128);
    }

    Record turned;  // hue slider 0: U' = (8192 - 63 (V-128)) >> 6, V' = (8192 + 63 (U-128)) >> 6
    vemx_procamp_update1(turned.handle, 128, 128, 0, 128);
    adjust(turned);
    for (uint32_t x = 0; x < w / 2; ++x) {
        const int cu = u.row(0)[x] - 128, cv = v.row(0)[x] - 128;
        EXPECT_EQ(du.row(0)[x], std::clamp((8192 - 63 * cv) >> 6, 0, 255));
        EXPECT_EQ(dv.row(0)[x], std::clamp((8192 + 63 * cu) >> 6, 0, 255));
    }
}

}  // namespace
