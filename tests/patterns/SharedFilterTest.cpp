// Crossover pairs, post filter and polar responses of the patterns.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>

#include "patterns/CQb32Factory.h"
#include "tests/support/Reference.h"

namespace qb32 {
namespace {

constexpr double fs = 44100.0;

double besselI0(double x) {  // power series, independent of the design code
    double sum = 0.0, term = 1.0;
    for (int k = 1; term > 1e-20; ++k) {
        sum += term;
        term *= (x * x / 4.0) / (static_cast<double>(k) * k);
    }
    return sum;
}

TEST(Crossover, PairsFollowTheKaiserDesignAndAreComplementary) {
    const CQb32Factory f;
    const struct { int length; double hz; double highCentre; } pairs[] = {
        {55, 6000, 0.3648098}, {41, 8000, 0.3193506}, {37, 9000, 0.2966210}};
    for (const auto& c : pairs) {
        SCOPED_TRACE(c.length);
        const float* low = nullptr;
        const float* high = nullptr;
        for (int i = 0; i < f.patternCount; ++i) {
            const CQbPattern& p = *f.pattern(i);
            if (p.crossoverLength != c.length) continue;
            if (low == nullptr) { low = p.lowBandFilter; high = p.highBandFilter; }
            EXPECT_EQ(p.lowBandFilter, low) << p.name;  // one shared pair per length
            EXPECT_EQ(p.highBandFilter, high) << p.name;
        }
        ASSERT_NE(low, nullptr);
        const int L = c.length, centre = (L - 1) / 2;
        const double w = 2.0 * c.hz / fs, beta = 0.1102 * (60.0 - 8.7);
        for (int k = 0; k < L; ++k) {
            const double x = w * (k - centre);
            const double sinc = x == 0.0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
            const double r = 2.0 * k / (L - 1) - 1.0;
            const double expected = w * sinc * besselI0(beta * std::sqrt(std::fmax(0.0, 1.0 - r * r))) / besselI0(beta);
            EXPECT_NEAR(low[k], expected, 1e-7) << k;
            EXPECT_EQ(low[k], low[L - 1 - k]);
            EXPECT_EQ(high[k], high[L - 1 - k]);
            if (k != centre) {
                EXPECT_NEAR(high[k], -0.5 * low[k], 0.0004) << k;
            }
            EXPECT_NEAR(low[k] + 2.0 * high[k], k == centre ? 1.0 : 0.0, 0.002) << k;
        }
        EXPECT_NEAR(low[centre], w, 1e-7);
        EXPECT_NEAR(high[centre], c.highCentre, 1e-7);
        // Unit gain below, -6 dB at and half gain above the crossover.
        EXPECT_NEAR(testing::zeroPhaseAmplitude(low, L, 0.0, fs), 1.0, 0.001);
        EXPECT_NEAR(testing::zeroPhaseAmplitude(low, L, c.hz, fs), 0.5, 0.002);
        EXPECT_NEAR(testing::zeroPhaseAmplitude(high, L, 0.0, fs), 0.0, 0.001);
        EXPECT_NEAR(testing::zeroPhaseAmplitude(high, L, 20000.0, fs), 0.5, 0.003);
        EXPECT_LT(std::fabs(testing::zeroPhaseAmplitude(low, L, 20000.0, fs)), 0.002);
    }
}

TEST(PostFilter, EveryVariantHoldsTheListedTaps) {
    const double half[16] = {0.00048992, 0.00006341, -0.00034514, -0.00021972, 0.00590628, -0.00315917,
                             -0.0053999, 0.00141821, 0.02187066, 0.00010871, -0.00807204, -0.07772549,
                             0.115047, -0.2599897, -0.180536, 1.782485};
    const CQb32Factory f;
    for (int i = 0; i < f.patternCount; ++i) {
        const CQbPattern& p = *f.pattern(i);
        for (int v = 0; v < p.variantCount; ++v) {
            const float* h = postFilterTaps(p, v);
            ASSERT_EQ(postFilterTapCount(p, v), 31);
            for (int k = 0; k < 31; ++k) ASSERT_EQ(h[k], static_cast<float>(half[k <= 15 ? k : 30 - k])) << p.name << k;
        }
    }
    const float* h = postFilterTaps(*f.pattern(0), 0);
    const struct { double hz, gain, tolerance; } gains[] = {
        {0, 1.0, 0.002}, {2000, 1.07, 0.01}, {4000, 1.32, 0.01}, {8000, 1.77, 0.01}, {16000, 2.41, 0.01}};
    for (const auto& g : gains) EXPECT_NEAR(testing::zeroPhaseAmplitude(h, 31, g.hz, fs), g.gain, g.tolerance) << g.hz;
}

// -3 dB half-width of a sampled polar response, linear between the 5-degree points.
double halfWidthDeg(const float* polar) {
    const double limit = 1.0 / std::sqrt(2.0);
    if (polar[0] < limit) return 180.0;
    for (int i = 1; i <= 36; ++i)
        if (polar[i] < limit) return 5.0 * (i - 1) + 5.0 * (polar[i - 1] - limit) / (polar[i - 1] - polar[i]);
    return 180.0;
}

TEST(PolarResponse, IsNormalisedSymmetricAndShowsThePatternsShape) {
    const CQb32Factory f;
    for (int i = 0; i < f.patternCount; ++i) {
        const CQbPattern& p = *f.pattern(i);
        for (int v = 0; v < p.variantCount; ++v) {
            const float* polar = p.polarResponse + v * p.polarPointCount;
            float peak = 0.0f;
            for (int k = 0; k < 73; ++k) {
                peak = std::fmax(peak, polar[k]);
                EXPECT_EQ(polar[k], polar[72 - k]) << p.name;
            }
            EXPECT_NEAR(peak, 1.0f, 1e-6) << p.name;
        }
        // The loaded variant's lobe agrees with the listed beam width.
        const int v = defaultVariant(p);
        const double width = 2.0 * halfWidthDeg(p.polarResponse + v * p.polarPointCount);
        EXPECT_NEAR(width, p.beamwidthDeg[v], 3.0) << p.name;
    }
    // Points: 0 degrees is index 0, 90 is 18, 180 is 36.
    const struct { int pattern; int point; double value, tolerance; } tells[] = {
        {9, 18, 0.5007, 0.02}, {9, 36, 0.0035, 0.02}, {10, 18, 0.0001, 0.02}, {10, 36, 1.0, 0.02},
        {6, 36, 0.4989, 0.02}, {11, 18, 1.0, 0.02},
        // An exact third-order cardioid has a null at the back; the listed
        // 0.0206 lies just beyond 0.02 of it.
        {7, 36, 0.0206, 0.021}};
    for (const auto& t : tells) {
        const CQbPattern& p = *f.pattern(t.pattern);
        EXPECT_NEAR(p.polarResponse[defaultVariant(p) * 73 + t.point], t.value, t.tolerance) << p.name;
    }
    for (int k = 0; k < 73; ++k) EXPECT_GE(f.pattern(0)->polarResponse[k], 0.9997f);
}

}  // namespace
}  // namespace qb32
