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
using Point = std::array<float, 2>;

// h0..h7 with h8 = 1: u = (h0 x + h1 y + h2) / (h6 x + h7 y + 1), v likewise
// with h3..h5.  Gauss-Jordan elimination with partial pivoting.
std::array<double, 8> SolveHomography(const Quad& from, const Quad& to) {
    double m[8][9] = {};
    for (int i = 0; i < 4; ++i) {
        const double x = from[2 * i], y = from[2 * i + 1], u = to[2 * i], v = to[2 * i + 1];
        const double ru[9] = {x, y, 1, 0, 0, 0, -x * u, -y * u, u},
                     rv[9] = {0, 0, 0, x, y, 1, -x * v, -y * v, v};
        std::copy(ru, ru + 9, m[2 * i]);
        std::copy(rv, rv + 9, m[2 * i + 1]);
    }
    for (int c = 0; c < 8; ++c) {
        int pivot = c;
        for (int r = c + 1; r < 8; ++r)
            if (std::fabs(m[r][c]) > std::fabs(m[pivot][c])) pivot = r;
        std::swap(m[c], m[pivot]);
        for (int r = 0; r < 8; ++r) {
            const double f = r == c ? 0 : m[r][c] / m[c][c];
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

// Corners on an ellipse in angular order, at least 0.4 rad apart: convex
// and far from degenerate.
Quad RandomConvexQuad(std::mt19937& rng) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::array<double, 4> angle;
    bool spaced = false;
    while (!spaced) {
        for (auto& a : angle) a = unit(rng) * 2 * std::numbers::pi;
        std::sort(angle.begin(), angle.end());
        spaced = angle[0] + 2 * std::numbers::pi - angle[3] > 0.4;
        for (int i = 1; i < 4; ++i) spaced = spaced && angle[i] - angle[i - 1] > 0.4;
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

Point Map(void* h, bool a2b, double x, double y) {
    const float p[2] = {static_cast<float>(x), static_cast<float>(y)};
    Point r;
    EXPECT_EQ(a2b ? vemx_quadmapping_A2B(h, p, r.data()) : vemx_quadmapping_B2A(h, p, r.data()), 0);
    return r;
}

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
    void* h = vemx_quadmapping_new();
    ASSERT_NE(h, nullptr);
    for (int trial = 0; trial < 200; ++trial) {
        SCOPED_TRACE(trial);
        const Quad a = RandomConvexQuad(rng), b = RandomConvexQuad(rng);
        ASSERT_EQ(vemx_quadmapping_init(h, a.data(), b.data()), 0);  // each init replaces the last
        const auto ab = SolveHomography(a, b), ba = SolveHomography(b, a);
        const double tol_b = 1e-3 * Extent(b), tol_a = 1e-3 * Extent(a);

        // The corners, then random convex combinations of them (inside).
        for (int k = 0; k < 14; ++k) {
            double x = a[2 * (k % 4)], y = a[2 * (k % 4) + 1];
            if (k >= 4) {
                double w[4], sum = 0;
                for (double& wi : w) sum += wi = 0.05 + unit(rng);
                x = y = 0;
                for (int i = 0; i < 4; ++i)
                    x += w[i] / sum * a[2 * i], y += w[i] / sum * a[2 * i + 1];
            }
            const auto want_b = Apply(ab, x, y);
            const Point got_b = Map(h, true, x, y);
            EXPECT_NEAR(got_b[0], want_b[0], tol_b);
            EXPECT_NEAR(got_b[1], want_b[1], tol_b);

            const auto want_a = Apply(ba, want_b[0], want_b[1]);
            const Point got_a = Map(h, false, want_b[0], want_b[1]);
            EXPECT_NEAR(got_a[0], want_a[0], tol_a);
            EXPECT_NEAR(got_a[1], want_a[1], tol_a);
        }
    }
    vemx_quadmapping_release(h);
}

TEST(QuadMapping, ScaleThenPerspectiveOnTheSameObject) {
    void* h = vemx_quadmapping_new();
    const Quad twice = {0, 0, 2, 0, 2, 2, 0, 2}, trapezoid = {0, 0, 4, 0, 3, 2, 1, 2};
    vemx_quadmapping_init(h, kUnit.data(), twice.data());
    EXPECT_EQ(Map(h, true, 0.5, 0.5), (Point{1, 1}));
    EXPECT_EQ(Map(h, false, 1, 1), (Point{0.5, 0.5}));

    // Re-init replaces both matrices.  The centre maps to (2, 4/3), not to
    // the bilinear (2, 1).
    vemx_quadmapping_init(h, kUnit.data(), trapezoid.data());
    Point p = Map(h, true, 0.5, 0.5);
    EXPECT_NEAR(p[0], 2.0f, 1e-5);
    EXPECT_NEAR(p[1], 4.0f / 3.0f, 1e-5);
    p = Map(h, false, 2.0, 4.0 / 3.0);
    EXPECT_NEAR(p[0], 0.5f, 1e-5);
    EXPECT_NEAR(p[1], 0.5f, 1e-5);
    vemx_quadmapping_release(h);
}

TEST(QuadMapping, DegenerateQuadsAndUninitialisedObjectsGiveNonFiniteResults) {
    const Quad collinear = {0, 0, 1, 1, 2, 2, 0, 3};  // corners 0..2 on one line
    const Quad square = {0, 0, 2, 0, 2, 2, 0, 2};
    void* h = vemx_quadmapping_new();
    const Point fresh = Map(h, true, 1, 1);
    EXPECT_TRUE(std::isnan(fresh[0]) && std::isnan(fresh[1]));
    for (const bool degenerate_a : {true, false}) {
        SCOPED_TRACE(degenerate_a);
        vemx_quadmapping_init(h, (degenerate_a ? collinear : square).data(),
                              (degenerate_a ? square : collinear).data());
        for (const bool a2b : {true, false}) {
            const Point p = Map(h, a2b, 0.5, 0.5);
            EXPECT_FALSE(std::isfinite(p[0]) && std::isfinite(p[1]));
        }
    }
    vemx_quadmapping_release(h);
}
