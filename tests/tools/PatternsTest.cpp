// Patterns measured through the shipped module on the simulated array,
// against the theoretical directivities.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>

#include "tools/patterns-plot/PatternMeasurement.h"
#include "tools/render/PluginHost.h"

namespace qb32::tools {
namespace {

constexpr double pi = std::numbers::pi;

class Patterns : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        ASSERT_TRUE(probeModule(PluginHost::defaultModulePath(), facts, error)) << error;
    }
    static int index(const std::string& name) {
        for (std::size_t i = 0; i < facts.patternNames.size(); ++i)
            if (facts.patternNames[i] == name) return static_cast<int>(i);
        ADD_FAILURE() << name;
        return 0;
    }
    static inline ModuleFacts facts;
};

double magnitudeAt(const std::vector<float>& x, double f) {
    std::complex<double> sum = 0.0;
    for (std::size_t n = 0; n < x.size(); ++n) sum += double(x[n]) * std::polar(1.0, -2.0 * pi * f * n / engineRate_hz);
    return std::abs(sum);
}

TEST_F(Patterns, Card1AtTwoKilohertzFollowsTheCardioidDownToMinus15Decibels) {
    MeasurementSetup setup;
    setup.look = {60.0, 135.0};  // off the horizon, between capsules
    setup.spherePoints = 0;
    setup.segment_samples = 2048;
    const MeasurementDirections dirs = measurementDirections(setup);
    std::vector<double> level(dirs.all.size());
    std::string error;
    ASSERT_TRUE(measureResponses(PluginHost::defaultModulePath(), static_cast<int>(facts.patternNames.size()),
                                 {index("card1")}, setup, dirs,
                                 [&](int, int k, const std::vector<float>& r) { level[static_cast<std::size_t>(k)] = magnitudeAt(r, 2000.0); },
                                 error))
        << error;
    const double onAxis = level[static_cast<std::size_t>(dirs.horizontalStart)];
    int checked = 0;
    for (int start : {dirs.horizontalStart, dirs.verticalStart}) {
        for (int i = 0; i < dirs.circlePoints; ++i) {
            const double angle = dirs.circleAngles_deg[static_cast<std::size_t>(i)] * pi / 180.0;
            const double theory_db = 20.0 * std::log10((1.0 + std::cos(angle)) / 2.0);
            if (theory_db < -15.0) continue;
            const double measured_db = 20.0 * std::log10(level[static_cast<std::size_t>(start + i)] / onAxis);
            EXPECT_NEAR(measured_db, theory_db, 1.0) << "circle from " << start << ", " << dirs.circleAngles_deg[static_cast<std::size_t>(i)] << " degrees";
            ++checked;
        }
    }
    EXPECT_GT(checked, 100);
}

TEST_F(Patterns, DirectivityIndexAndFrontToBackMatchTheTheoryInTheMidBands) {
    MeasurementSetup setup;
    setup.circleStep_deg = 15;
    setup.spherePoints = 160;
    setup.segment_samples = 2048;
    setup.bandCentres_hz = {1000.0, 2000.0, 4000.0};
    std::vector<PatternResult> results;
    std::string error;
    ASSERT_TRUE(measurePatterns(PluginHost::defaultModulePath(), facts.patternNames,
                                {index("omni"), index("card1"), index("hyper1"), index("super1"), index("card2")}, setup,
                                results, error))
        << error;
    ASSERT_EQ(results.size(), 5u);
    // Independent figures: omni 0 dB; cardioid 4.77 dB and 8.45 dB;
    // first-order hypercardioid 6.02 dB (the most directive first order).
    EXPECT_NEAR(results[0].theoryDirectivityIndex_db, 0.0, 1e-9);
    EXPECT_NEAR(results[1].theoryDirectivityIndex_db, 10.0 * std::log10(3.0), 0.01);
    EXPECT_NEAR(results[1].theoryFrontToBack_db, 10.0 * std::log10(7.0), 0.01);
    EXPECT_NEAR(results[2].theoryDirectivityIndex_db, 10.0 * std::log10(4.0), 0.01);
    for (const auto& r : results) {
        for (std::size_t b = 0; b < setup.bandCentres_hz.size(); ++b) {
            EXPECT_NEAR(r.directivityIndex_db[b], r.theoryDirectivityIndex_db, 0.5) << r.name << " " << setup.bandCentres_hz[b];
            EXPECT_NEAR(r.frontToBack_db[b], r.theoryFrontToBack_db, 1.0) << r.name << " " << setup.bandCentres_hz[b];
            EXPECT_LT(r.worstDeviation_db[b], 1.5) << r.name << " " << setup.bandCentres_hz[b];
        }
    }
}

}  // namespace
}  // namespace qb32::tools
