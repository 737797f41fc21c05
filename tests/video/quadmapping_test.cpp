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
using Homography = std::array<double, 8>;

// h0..h7 with h8 = 1: u = (h0 x + h1 y + h2) / (h6 x + h7 y + 1), v likewise
// with h3..h5.  Gauss-Jordan elimination with partial pivoting.
Homography Solve(const Quad& from, const Quad& to) {
    double m[8][9] = {};
    for (int i = 0; i < 4; ++i) {
        const double x = from[2 * i], y = from[2 * i + 1], u = to[2 * i], v = to[2 * i + 1];
        const double rows[2][9] = {{x, y, 1, 0, 0, 0, -x * u, -y * u, u},
                                   {0, 0, 0, x, y, 1, -x * v, -y * v, v}};
        std::copy(&rows[0][0], &rows[0][0] + 18, m[2 * i]);
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
    Homography h;
    for (int i = 0; i < 8; ++i) h[i] = m[i][8] / m[i][i];
    return h;
}

std::array<double, 2> Apply(const Homography& h, double x, double y) {
    const double w = h[6] * x + h[7] * y + 1;
    return {(h[0] * x + h[1] * y + h[2]) / w, (h[3] * x + h[4] * y + h[5]) / w};
}

// Corners on an ellipse, one per quarter turn give or take 0.55 rad: convex
// and far from degenerate.
Quad RandomConvexQuad(std::mt19937& rng) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double start = unit(rng) * 2 * std::numbers::pi;
    const double cx = 200 + 1500 * unit(rng), cy = 200 + 700 * unit(rng);
    const double rx = 50 + 500 * unit(rng), ry = 50 + 300 * unit(rng);
    Quad q;
    for (int i = 0; i < 4; ++i) {
        const double a = start + i * std::numbers::pi / 2 + 1.1 * (unit(rng) - 0.5);
        q[2 * i] = static_cast<float>(cx + rx * std::cos(a));
        q[2 * i + 1] = static_cast<float>(cy + ry * std::sin(a));
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
    return std::fabs(std::ranges::max(q, {}, [](float v) { return std::fabs(v); }));
}

const Quad kSquare = {0, 0, 2, 0, 2, 2, 0, 2};

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
        const Homography ab = Solve(a, b), ba = Solve(b, a);
        // The corners, then random convex combinations of them (inside).
        for (int k = 0; k < 14; ++k) {
            double w[4] = {}, sum = 0, x = 0, y = 0;
            for (int i = 0; i < 4; ++i) sum += w[i] = k < 4 ? (i == k) : 0.05 + unit(rng);
            for (int i = 0; i < 4; ++i) x += w[i] / sum * a[2 * i], y += w[i] / sum * a[2 * i + 1];
            const auto want_b = Apply(ab, x, y), want_a = Apply(ba, want_b[0], want_b[1]);
            const Point got_b = Map(h, true, x, y), got_a = Map(h, false, want_b[0], want_b[1]);
            for (int i = 0; i < 2; ++i) {
                EXPECT_NEAR(got_b[i], want_b[i], 1e-3 * Extent(b));
                EXPECT_NEAR(got_a[i], want_a[i], 1e-3 * Extent(a));
            }
        }
    }
    vemx_quadmapping_release(h);
}

TEST(QuadMapping, DegenerateQuadsAndUninitialisedObjectsGiveNonFiniteResults) {
    const Quad collinear = {0, 0, 1, 1, 2, 2, 0, 3};  // corners 0..2 on one line
    void* h = vemx_quadmapping_new();
    const Point fresh = Map(h, true, 1, 1);
    EXPECT_TRUE(std::isnan(fresh[0]) && std::isnan(fresh[1]));
    for (const bool degenerate_a : {true, false}) {
        SCOPED_TRACE(degenerate_a);
        vemx_quadmapping_init(h, (degenerate_a ? collinear : kSquare).data(),
                              (degenerate_a ? kSquare : collinear).data());
        for (const bool a2b : {true, false}) {
            const Point p = Map(h, a2b, 0.5, 0.5);
            EXPECT_FALSE(std::isfinite(p[0]) && std::isfinite(p[1]));
        }
    }
    vemx_quadmapping_release(h);
}
