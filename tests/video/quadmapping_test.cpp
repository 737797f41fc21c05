// Quad mapping against an independent homography: the 8-unknown linear
// system solved in double precision.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>

#include "vemx/vemx_quadmapping.h"

namespace {

using Quad = std::array<float, 8>;

// h0..h7 with h8 = 1: u = (h0 x + h1 y + h2) / (h6 x + h7 y + 1), v likewise
// with h3..h5.  Gaussian elimination with partial pivoting.
std::array<double, 8> SolveHomography(const Quad& from, const Quad& to) {
    double m[8][9] = {};
    for (int i = 0; i < 4; ++i) {
        const double x = from[2 * i], y = from[2 * i + 1], u = to[2 * i], v = to[2 * i + 1];
        double* r = m[2 * i];
        r[0] = x, r[1] = y, r[2] = 1, r[6] = -x * u, r[7] = -y * u, r[8] = u;
        r = m[2 * i + 1];
        r[3] = x, r[4] = y, r[5] = 1, r[6] = -x * v, r[7] = -y * v, r[8] = v;
    }
    for (int c = 0; c < 8; ++c) {
        int pivot = c;
        for (int r = c + 1; r < 8; ++r)
            if (std::fabs(m[r][c]) > std::fabs(m[pivot][c])) pivot = r;
        std::swap(m[c], m[pivot]);
        for (int r = 0; r < 8; ++r) {
            if (r == c) continue;
            const double f = m[r][c] / m[c][c];
            for (int k = c; k < 9; ++k) m[r][k] -= f * m[c][k];
        }
    }
    std::array<double, 8> h;
    for (int i = 0; i < 8; ++i) h[i] = m[i][8] / m[i][i];
    return h;
}

std::array<double, 2> Apply(const std::array<double, 8>& h, double x, double y) {
    const double w = h[6] * x + h[7] * y + 1;
    return {(h[0] * x + h[1] * y + h[2]) / w, (h[3] * x + h[4] * y + h[5]) / w};
}

// Corners on an ellipse in angular order, at least 0.4 rad apart, so the
// quadrilateral is convex and far from degenerate.
Quad RandomConvexQuad(std::mt19937& rng) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::array<double, 4> angle;
    for (;;) {
        for (auto& a : angle) a = unit(rng) * 2 * std::numbers::pi;
        std::sort(angle.begin(), angle.end());
        bool spaced = angle[0] + 2 * std::numbers::pi - angle[3] > 0.4;
        for (int i = 1; i < 4; ++i) spaced = spaced && angle[i] - angle[i - 1] > 0.4;
        if (spaced) break;
    }
    const double cx = 200 + 1500 * unit(rng), cy = 200 + 700 * unit(rng);
    const double rx = 50 + 500 * unit(rng), ry = 50 + 300 * unit(rng);
    Quad q;
    for (int i = 0; i < 4; ++i) {
        q[2 * i] = static_cast<float>(cx + rx * std::cos(angle[i]));
        q[2 * i + 1] = static_cast<float>(cy + ry * std::sin(angle[i]));
    }
    return q;
}

class Mapping {
public:
    Mapping() : handle_(vemx_quadmapping_new()) {}
    ~Mapping() { vemx_quadmapping_release(handle_); }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    void Init(const Quad& a, const Quad& b) { EXPECT_EQ(vemx_quadmapping_init(handle_, a.data(), b.data()), 0); }
    std::array<float, 2> A2B(float x, float y) {
        const float p[2] = {x, y};
        std::array<float, 2> r;
        EXPECT_EQ(vemx_quadmapping_A2B(handle_, p, r.data()), 0);
        return r;
    }
    std::array<float, 2> B2A(float x, float y) {
        const float p[2] = {x, y};
        std::array<float, 2> r;
        EXPECT_EQ(vemx_quadmapping_B2A(handle_, p, r.data()), 0);
        return r;
    }
    void* handle() const { return handle_; }

private:
    void* handle_;
};

double Extent(const Quad& q) {
    double m = 0;
    for (float v : q) m = std::max(m, static_cast<double>(std::fabs(v)));
    return m;
}

const Quad kUnit = {0, 0, 1, 0, 1, 1, 0, 1};

}  // namespace

TEST(QuadMapping, RandomConvexQuadsAgreeWithTheHomographyBothWays) {
    std::mt19937 rng(20261205);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int trial = 0; trial < 200; ++trial) {
        SCOPED_TRACE(trial);
        const Quad a = RandomConvexQuad(rng), b = RandomConvexQuad(rng);
        Mapping m;
        ASSERT_NE(m.handle(), nullptr);
        m.Init(a, b);

        const double tol_b = 1e-3 * Extent(b), tol_a = 1e-3 * Extent(a);
        for (int i = 0; i < 4; ++i) {
            const auto to_b = m.A2B(a[2 * i], a[2 * i + 1]);
            EXPECT_NEAR(to_b[0], b[2 * i], tol_b);
            EXPECT_NEAR(to_b[1], b[2 * i + 1], tol_b);
            const auto to_a = m.B2A(b[2 * i], b[2 * i + 1]);
            EXPECT_NEAR(to_a[0], a[2 * i], tol_a);
            EXPECT_NEAR(to_a[1], a[2 * i + 1], tol_a);
        }

        const auto ab = SolveHomography(a, b), ba = SolveHomography(b, a);
        for (int k = 0; k < 10; ++k) {
            // A random convex combination of the corners lies inside.
            double w[4], sum = 0;
            for (double& wi : w) sum += wi = 0.05 + unit(rng);
            double x = 0, y = 0;
            for (int i = 0; i < 4; ++i) x += w[i] / sum * a[2 * i], y += w[i] / sum * a[2 * i + 1];
            const auto want_b = Apply(ab, x, y);
            const auto got_b = m.A2B(static_cast<float>(x), static_cast<float>(y));
            EXPECT_NEAR(got_b[0], want_b[0], tol_b);
            EXPECT_NEAR(got_b[1], want_b[1], tol_b);

            const auto want_a = Apply(ba, want_b[0], want_b[1]);
            const auto got_a = m.B2A(static_cast<float>(want_b[0]), static_cast<float>(want_b[1]));
            EXPECT_NEAR(got_a[0], want_a[0], tol_a);
            EXPECT_NEAR(got_a[1], want_a[1], tol_a);
        }
    }
}

TEST(QuadMapping, ScaleAndPerspectiveCases) {
    Mapping m;
    m.Init(kUnit, {0, 0, 2, 0, 2, 2, 0, 2});
    auto p = m.A2B(0.5f, 0.5f);
    EXPECT_NEAR(p[0], 1.0f, 1e-6);
    EXPECT_NEAR(p[1], 1.0f, 1e-6);
    p = m.B2A(1.0f, 1.0f);
    EXPECT_NEAR(p[0], 0.5f, 1e-6);
    EXPECT_NEAR(p[1], 0.5f, 1e-6);

    // A trapezoid: the centre maps to (2, 4/3), not to the bilinear (2, 1).
    m.Init(kUnit, {0, 0, 4, 0, 3, 2, 1, 2});
    p = m.A2B(0.5f, 0.5f);
    EXPECT_NEAR(p[0], 2.0f, 1e-5);
    EXPECT_NEAR(p[1], 4.0f / 3.0f, 1e-5);
    p = m.B2A(2.0f, 4.0f / 3.0f);
    EXPECT_NEAR(p[0], 0.5f, 1e-5);
    EXPECT_NEAR(p[1], 0.5f, 1e-5);
}

TEST(QuadMapping, InitAgainReplacesBothDirections) {
    Mapping m;
    m.Init(kUnit, {0, 0, 4, 0, 3, 2, 1, 2});
    m.Init({10, 10, 20, 10, 20, 20, 10, 20}, {0, 0, 1, 0, 1, 1, 0, 1});
    auto p = m.A2B(15, 15);
    EXPECT_NEAR(p[0], 0.5f, 1e-5);
    EXPECT_NEAR(p[1], 0.5f, 1e-5);
    p = m.B2A(1, 0);
    EXPECT_NEAR(p[0], 20.0f, 1e-4);
    EXPECT_NEAR(p[1], 10.0f, 1e-4);
}

TEST(QuadMapping, DegenerateQuadsAndUninitialisedObjectsGiveNonFiniteResults) {
    const Quad collinear = {0, 0, 1, 1, 2, 2, 0, 3};  // corners 0..2 on one line
    const Quad square = {0, 0, 2, 0, 2, 2, 0, 2};
    for (const bool degenerate_a : {true, false}) {
        SCOPED_TRACE(degenerate_a);
        Mapping m;
        m.Init(degenerate_a ? collinear : square, degenerate_a ? square : collinear);
        const auto p = m.A2B(0.5f, 0.5f), q = m.B2A(0.5f, 0.5f);
        EXPECT_FALSE(std::isfinite(p[0]) && std::isfinite(p[1]));
        EXPECT_FALSE(std::isfinite(q[0]) && std::isfinite(q[1]));
    }

    Mapping fresh;
    const auto p = fresh.A2B(1, 1);
    EXPECT_TRUE(std::isnan(p[0]) && std::isnan(p[1]));
}

TEST(QuadMapping, ExtraReferenceKeepsTheObjectAlive) {
    void* h = vemx_quadmapping_new();
    ASSERT_NE(h, nullptr);
    vemx_quadmapping_add_ref(h);
    vemx_quadmapping_release(h);
    // Still alive: a use after free here would trip the sanitizer builds.
    EXPECT_EQ(vemx_quadmapping_init(h, kUnit.data(), kUnit.data()), 0);
    const float pt[2] = {0.25f, 0.75f};
    float out[2];
    EXPECT_EQ(vemx_quadmapping_A2B(h, pt, out), 0);
    EXPECT_NEAR(out[0], 0.25f, 1e-6);
    EXPECT_NEAR(out[1], 0.75f, 1e-6);
    vemx_quadmapping_release(h);
}
