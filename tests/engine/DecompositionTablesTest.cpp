// The decomposition's constant tables against their generator, their rule and
// the physical behaviour they are meant to have.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <string>

#include "engine/tables/CapsuleDirections.h"
#include "engine/tables/DecompositionTables.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/Reference.h"
#include "tools/decomposition/DecompositionDesign.h"

namespace qb32 {
namespace {

constexpr double fs = 44100.0;
using tables::capsuleDirections;
using tables::decompositionMatrix;

TEST(DecompositionTables, MatrixIsExactlyWhatTheGeneratorProduces) {
    const auto design = design::designDecompositionMatrix();
    for (int k = 0; k < 16; ++k)
        for (int q = 0; q < 32; ++q)
            ASSERT_EQ(std::memcmp(&design.matrix[k][q], &decompositionMatrix[k][q], sizeof(float)), 0)
                << "component " << k << " capsule " << q;
}

TEST(DecompositionTables, FirEqualisersAreExactlyWhatTheGeneratorProduces) {
    for (int n = 0; n < 4; ++n) {
        const auto taps = design::designFirEqualiser(n);
        ASSERT_EQ(static_cast<int>(taps.size()), tables::firEqualiserLengths[n]);
        EXPECT_EQ(std::memcmp(taps.data(), tables::firEqualisers[n], taps.size() * sizeof(float)), 0)
            << "order " << n;
        for (int i = tables::firEqualiserLengths[n]; i < tables::firEqualiserMaxLength; ++i)
            ASSERT_EQ(tables::firEqualisers[n][i], 0.0f) << "padding of order " << n;
    }
}

// Row norms from an independent evaluation of the harmonics: they must be the
// array's known quadrature errors, and the matrix must follow the rule.
TEST(DecompositionTables, MatrixFollowsTheRuleWithTheKnownRowNorms) {
    constexpr double listedNorm[16] = {1.00000, 1.00004, 0.99995, 1.00001, 1.00000, 1.00015,
                                       0.99977, 1.00007, 1.00000, 1.02773, 0.97222, 0.98177,
                                       0.98803, 1.03586, 1.02098, 0.97341};
    for (int k = 0; k < 16; ++k) {
        const double c2 = (k == 0 || k == 2 || k == 6 || k == 12) ? 1.0 : 2.0;
        double sum = 0.0;
        for (const auto& d : capsuleDirections) sum += c2 * std::pow(testing::harmonic(k, d.theta_rad, d.phi_rad), 2);
        const double g = 4.0 * std::numbers::pi / 32.0 * sum;
        EXPECT_NEAR(g, listedNorm[k], 0.6e-5) << "component " << k;
        for (int q = 0; q < 32; ++q) {
            const double exact = testing::harmonic(k, capsuleDirections[q].theta_rad, capsuleDirections[q].phi_rad) / (32.0 * g);
            EXPECT_NEAR(decompositionMatrix[k][q], exact, 1e-8) << "component " << k << " capsule " << q;
        }
    }
}

// The telling values of capsules 0 and 1, to the digits they are known to.
TEST(DecompositionTables, TellingColumnsOfCapsulesZeroAndOne) {
    const char* column0[16] = {"0.00881546", "0", "0.00544041", "-0.010088", "0", "0", "-0.00610391",
                               "-0.00803657", "0.0105387", "0", "0", "0", "-0.00994678", "0.00332767",
                               "0.0097303", "-0.0109267"};
    const char* column1[16] = {"0.00881546", "-0.00567619", "0.00000147", "-0.00918397", "0.010797",
                               "-0.00000122", "-0.00985824", "-0.00000198", "0.00539778", "-0.0126351",
                               "0.00000283", "0.00540836", "-0.00000341", "0.00829349", "0.00000135",
                               "0.00120392"};
    auto check = [](const char* text, float value, int k, int q) {
        const std::string s(text);
        const auto dot = s.find('.');
        const int decimals = dot == std::string::npos ? 8 : static_cast<int>(s.size() - dot - 1);
        const double tolerance = std::max(1e-8, 0.5 * std::pow(10.0, -decimals));
        EXPECT_NEAR(value, std::stod(s), tolerance) << "component " << k << " capsule " << q;
    };
    for (int k = 0; k < 16; ++k) {
        check(column0[k], decompositionMatrix[k][0], k, 0);
        check(column1[k], decompositionMatrix[k][1], k, 1);
    }
}

TEST(DecompositionTables, OmniRowIsUniformAndOtherRowsSumToZero) {
    const double omni = 1.0 / (32.0 * std::sqrt(4.0 * std::numbers::pi));
    for (int q = 0; q < 32; ++q) EXPECT_NEAR(decompositionMatrix[0][q], omni, 1e-9);
    for (int k = 1; k < 16; ++k) {
        double sum = 0.0;
        for (int q = 0; q < 32; ++q) sum += decompositionMatrix[k][q];
        EXPECT_NEAR(sum, 0.0, 3e-5) << "component " << k;
    }
}

TEST(DecompositionTables, CapsulesSitOnTheFaceCentresOfATruncatedIcosahedron) {
    // Adjacent pentagon and hexagon centres are 0.6524 rad apart, adjacent
    // hexagon centres 0.7297 rad: a pentagon capsule has five neighbours at the
    // first spacing, a hexagon capsule three (and three at the second).
    for (int a = 0; a < 32; ++a) {
        int near = 0, far = 0;
        for (int b = 0; b < 32; ++b) {
            if (a == b) continue;
            const auto& p = capsuleDirections[a];
            const auto& q = capsuleDirections[b];
            const double cosAngle = std::sin(p.theta_rad) * std::sin(q.theta_rad) * std::cos(p.phi_rad - q.phi_rad) +
                                    std::cos(p.theta_rad) * std::cos(q.theta_rad);
            const double angle = std::acos(std::clamp(cosAngle, -1.0, 1.0));
            if (std::fabs(angle - 0.6524) < 0.002) ++near;
            if (std::fabs(angle - 0.7297) < 0.002) ++far;
            EXPECT_GT(angle, 0.65) << "capsules " << a << " and " << b;
        }
        EXPECT_EQ(near, capsuleDirections[a].pentagon ? 5 : 3) << "capsule " << a;
        EXPECT_EQ(far, capsuleDirections[a].pentagon ? 0 : 3) << "capsule " << a;
    }
}

struct BiquadCase {
    char set;
    int order;
    double frequencyHz;
    double gainDb;
    double toleranceDb;
};

TEST(DecompositionTables, BiquadSetsHaveTheirEqualisationGains) {
    const BiquadCase cases[] = {
        {'A', 0, 20, -12.9, 0.1}, {'A', 0, 200, 0.0, 0.1},   {'A', 1, 200, 22, 0.5},
        {'A', 2, 200, 51, 0.5},   {'A', 3, 20, 37, 0.5},     {'A', 3, 200, 70, 0.5},
        {'A', 3, 1000, 43, 0.5},  {'A', 3, 4000, 11, 0.5},   {'B', 3, 20, 125, 0.6},
        {'B', 3, 200, 84, 0.5},
    };
    for (const auto& c : cases) {
        const double* coefficients = c.set == 'A' ? tables::biquadSetA[c.order] : tables::biquadSetB[c.order];
        const int sections = c.set == 'A' ? tables::biquadSetASections[c.order] : tables::biquadSetBSections[c.order];
        EXPECT_NEAR(testing::biquadCascadeGainDb(coefficients, sections, c.frequencyHz, fs), c.gainDb, c.toleranceDb)
            << "set " << c.set << " order " << c.order << " at " << c.frequencyHz << " Hz";
    }
}

TEST(DecompositionTables, BiquadSetsEndWithTheCommonHighPassAndPadWithZeros) {
    const double highPass[6] = {1, -2, 1, 1, -1.99395525, 0.993973494};
    for (int n = 0; n < 4; ++n) {
        const int a = tables::biquadSetASections[n], b = tables::biquadSetBSections[n];
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(tables::biquadSetA[n][6 * (a - 1) + i], highPass[i]) << "set A order " << n;
            EXPECT_EQ(tables::biquadSetB[n][6 * (b - 1) + i], highPass[i]) << "set B order " << n;
        }
        for (int i = 6 * a; i < 6 * tables::biquadSetASlots; ++i) EXPECT_EQ(tables::biquadSetA[n][i], 0.0);
    }
}

// Zero-phase amplitude measured from the committed taps at every listed frequency.
TEST(DecompositionTables, FirEqualisersMeetTheirAmplitudeTables) {
    constexpr double frequencies[12] = {0, 20, 50, 100, 150, 200, 300, 500, 1000, 2000, 4000, 8000};
    constexpr double amplitude[2][12] = {
        {-0.05713, -0.02403, 0.14367, 0.62326, 0.98742, 1.01754, 1.01171, 0.99619, 1.00327, 1.00183, 0.99934, 1.00051},
        {-0.00003, 0.00000, 0.00039, 0.00512, 0.02518, 0.07785, 0.33040, 0.93234, 1.00001, 1.00000, 1.00000, 1.00000}};
    constexpr double centreTap[2] = {0.9959918, 0.9842885};
    for (int n = 2; n <= 3; ++n) {
        const float* taps = tables::firEqualisers[n];
        const int length = tables::firEqualiserLengths[n];
        for (int i = 0; i < length; ++i) ASSERT_EQ(taps[i], taps[length - 1 - i]) << "order " << n << " tap " << i;
        EXPECT_NEAR(taps[(length - 1) / 2], centreTap[n - 2], 0.002);
        for (int i = 0; i < 12; ++i) {
            const double tolerance = frequencies[i] < 150 ? 0.02 : 0.01;
            EXPECT_NEAR(testing::zeroPhaseAmplitude(taps, length, frequencies[i], fs), amplitude[n - 2][i], tolerance)
                << "order " << n << " at " << frequencies[i] << " Hz";
        }
    }
    // Orders 0 and 1 pass everything unchanged.
    for (int n = 0; n < 2; ++n) {
        EXPECT_EQ(tables::firEqualiserLengths[n], 1);
        EXPECT_EQ(tables::firEqualisers[n][0], 1.0f);
    }
}

TEST(DecompositionTables, FirEqualisersAreFlatAboveTheirTransition) {
    // Order 2 within 0.2 dB from 200 Hz, order 3 within 0.01 dB from 1 kHz.
    for (int n = 2; n <= 3; ++n) {
        const double from = n == 2 ? 200.0 : 1000.0, limitDb = n == 2 ? 0.2 : 0.01;
        for (double f = from; f < fs / 2; f *= 1.01) {
            const double a = testing::zeroPhaseAmplitude(tables::firEqualisers[n], tables::firEqualiserLengths[n], f, fs);
            ASSERT_LT(std::fabs(20 * std::log10(a)), limitDb) << "order " << n << " at " << f << " Hz";
        }
    }
}

TEST(DecompositionTables, NormalisationFollowsItsRule) {
    constexpr double listed[16] = {3.544908, 2.894405, 2.046654, 2.894405, 2.241997, 2.241997,
                                   1.585331, 2.241997, 2.241997, 1.894833, 1.894833, 1.894833,
                                   1.339849, 1.894833, 1.894833, 1.894833};
    for (int k = 0; k < 16; ++k) {
        const int n = testing::orderOfComponent(k);
        const int m = k - n * n - n;
        const double rule = std::sqrt(4 * std::numbers::pi / (2 * n + 1)) * (m != 0 ? std::sqrt(2.0) : 1.0);
        EXPECT_EQ(tables::normalisationTable[0][k], 1.0f);
        EXPECT_EQ(tables::normalisationTable[1][k], static_cast<float>(rule)) << "component " << k;
        EXPECT_NEAR(tables::normalisationTable[1][k], listed[k], 1e-6);
    }
}

}  // namespace
}  // namespace qb32
