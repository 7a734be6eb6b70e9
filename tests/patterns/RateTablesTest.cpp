// The pattern tables at every supported rate, measured from their taps with
// the test support's own evaluations (no design code): each rate's filters
// must answer like the 44.1 kHz ones over the audio band, span the same time,
// and the factory of each rate must publish lengths that scale with it.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>

#include "framework/SampleRates.h"
#include "patterns/CQb32Factory.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/Reference.h"
#include "tools/patterndesign/PatternCatalogue.h"

namespace qb32 {
namespace {

constexpr double referenceRate = 44100.0;

// Zero-phase amplitude of a symmetric filter, with cos(k w) from the
// Chebyshev recurrence (many long filters at many frequencies; agrees with
// the test support's direct sum to about 1e-12).
double amplitude(const float* taps, int length, double f, double rate) {
    const int c = (length - 1) / 2;
    const double w = 2.0 * std::numbers::pi * f / rate, twoCos = 2.0 * std::cos(w);
    double previous = 1.0, current = std::cos(w), sum = taps[c];
    for (int k = 1; k <= c; ++k) {
        sum += (static_cast<double>(taps[c - k]) + taps[c + k]) * current;
        const double next = twoCos * current - previous;
        previous = current;
        current = next;
    }
    return sum;
}

// Largest |A_rate(f) - A_44.1(f)| of two linear-phase filters over 0..top Hz
// in 20 Hz steps (zero-phase amplitudes, delays removed).
double worstDifference(const float* taps, int length, double rate, const float* reference, int referenceLength,
                       double top_hz) {
    double worst = 0.0;
    for (double f = 0.0; f <= top_hz; f += 20.0)
        worst = std::fmax(worst, std::fabs(amplitude(taps, length, f, rate) -
                                           amplitude(reference, referenceLength, f, referenceRate)));
    return worst;
}

class EveryRate : public ::testing::TestWithParam<int> {
protected:
    const CQb32Factory reference;
};

TEST_P(EveryRate, TheFactoryPublishesLengthsThatSpanTheSameTimes) {
    const int rate = GetParam();
    const CQb32Factory f(rate);
    ASSERT_EQ(f.patternCount, 12);
    // Half-lengths 125, 15 and 27 samples at 44.1 kHz, each the same time
    // within half a sample at this rate.
    const struct { int length, referenceLength; } spans[] = {
        {f.maxModalFilterLength, 251}, {f.maxPostFilterLength, 31}, {f.maxCrossoverLength, 55}};
    for (const auto& s : spans) {
        EXPECT_EQ(s.length % 2, 1);
        EXPECT_NEAR((s.length - 1) / 2 / static_cast<double>(rate), (s.referenceLength - 1) / 2 / referenceRate,
                    0.5 / rate);
    }
    for (int i = 0; i < 12; ++i) {
        const CQbPattern& p = *f.pattern(i);
        const CQbPattern& q = *reference.pattern(i);
        SCOPED_TRACE(p.name);
        EXPECT_STREQ(p.name, q.name);
        EXPECT_EQ(p.designSampleRate, static_cast<float>(rate));
        EXPECT_EQ(p.variantCount, q.variantCount);
        EXPECT_EQ(p.hfMode, q.hfMode);
        EXPECT_EQ(p.patternCode, q.patternCode);
        // The pattern's latency is the same time (within a sample over the three stages).
        EXPECT_NEAR(p.latency() / rate, q.latency() / referenceRate, 1.5 / rate);
    }
}

TEST_P(EveryRate, EveryModalFilterAnswersLikeItsReferenceRateSelf) {
    const int rate = GetParam();
    const CQb32Factory f(rate);
    const auto targets = design::patternCatalogue();
    double worstAll = 0.0;
    for (int i = 0; i < 12; ++i) {
        const CQbPattern& p = *f.pattern(i);
        const CQbPattern& q = *reference.pattern(i);
        const int L = p.modalFilterLength;
        for (int v = 0; v < p.variantCount; ++v)
            for (int n = 0; n < 4; ++n) {
                SCOPED_TRACE(std::string(p.name) + " variant " + std::to_string(v) + " order " + std::to_string(n));
                const float* h = modalFilterTaps(p, v, n);
                const float* g = modalFilterTaps(q, v, n);
                ASSERT_EQ(modalFilterLengthRow(p, v)[n], modalFilterLengthRow(q, v)[n] == 0 ? 0 : L);
                bool allZero = true;
                for (int k = 0; k < L; ++k) {
                    ASSERT_EQ(h[k], h[L - 1 - k]) << k;
                    allZero = allZero && h[k] == 0.0f;
                }
                if (!targets[i].ordersUsed[n]) {
                    EXPECT_TRUE(allZero);
                    continue;
                }
                const double worst = worstDifference(h, L, rate, g, q.modalFilterLength, 20000.0);
                worstAll = std::fmax(worstAll, worst);
                EXPECT_LT(worst, 0.002);
                if (v == defaultVariant(p))
                    for (std::size_t k = 0; k < design::targetFrequencies_hz.size(); ++k) {
                        const double freq = design::targetFrequencies_hz[k];
                        EXPECT_NEAR(testing::zeroPhaseAmplitude(h, L, freq, rate), targets[i].target[n][k],
                                    freq < 500.0 ? 0.03 : 0.01)
                            << freq << " Hz";
                    }
            }
    }
    RecordProperty("worstModalDifference", std::to_string(worstAll));
    std::printf("%d Hz: modal filters within %.5f of their 44.1 kHz responses up to 20 kHz\n", rate, worstAll);
}

double besselI0(double x) {  // power series, independent of the design code
    double sum = 0.0, term = 1.0;
    for (int k = 1; term > 1e-20; ++k) {
        sum += term;
        term *= (x * x / 4.0) / (static_cast<double>(k) * k);
    }
    return sum;
}

TEST_P(EveryRate, CrossoverPairsKeepTheirFrequencyAndShape) {
    const int rate = GetParam();
    const CQb32Factory f(rate);
    const double beta = 0.1102 * (60.0 - 8.7);
    for (int i = 0; i < 12; ++i) {
        const CQbPattern& p = *f.pattern(i);
        const CQbPattern& q = *reference.pattern(i);
        SCOPED_TRACE(p.name);
        const int L = p.crossoverLength, centre = (L - 1) / 2;
        const double fc = q.crossoverLength == 55 ? 6000.0 : q.crossoverLength == 41 ? 8000.0 : 9000.0;
        const double w = 2.0 * fc / rate;
        for (int k = 0; k < L; ++k) {
            const double x = w * (k - centre);
            const double sinc = x == 0.0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
            const double r = 2.0 * k / (L - 1) - 1.0;
            const double window = besselI0(beta * std::sqrt(std::fmax(0.0, 1.0 - r * r))) / besselI0(beta);
            ASSERT_NEAR(p.lowBandFilter[k], w * sinc * window, 1e-7) << k;
            ASSERT_NEAR(p.highBandFilter[k], std::pow(10.0, -0.3) * ((k == centre ? 1.0 : 0.0) - w * sinc * window),
                        1e-7)
                << k;
        }
        EXPECT_NEAR(testing::zeroPhaseAmplitude(p.lowBandFilter, L, fc, rate), 0.5, 0.002);
        EXPECT_LT(worstDifference(p.lowBandFilter, L, rate, q.lowBandFilter, q.crossoverLength, 20000.0), 0.01);
        EXPECT_LT(worstDifference(p.highBandFilter, L, rate, q.highBandFilter, q.crossoverLength, 20000.0), 0.01);
        // Low band + 2 x high band is a pure delay: the bands still add up.
        for (double freq = 0.0; freq < 20000.0; freq += 100.0)
            ASSERT_NEAR(testing::zeroPhaseAmplitude(p.lowBandFilter, L, freq, rate) +
                            2.0 * testing::zeroPhaseAmplitude(p.highBandFilter, L, freq, rate),
                        1.0, 0.003)
                << freq;
    }
}

TEST_P(EveryRate, ThePostFilterAnswersLikeTheListedTaps) {
    const int rate = GetParam();
    const CQb32Factory f(rate);
    const CQbPattern& p = *f.pattern(7);
    const CQbPattern& q = *reference.pattern(7);
    const int L = postFilterTapCount(p, 2);
    for (int k = 0; k < L; ++k) ASSERT_EQ(postFilterTaps(p, 2)[k], postFilterTaps(p, 2)[L - 1 - k]);
    double worstDb = 0.0;
    for (double freq = 0.0; freq <= 20000.0; freq += 10.0) {
        const double a = testing::zeroPhaseAmplitude(postFilterTaps(p, 2), L, freq, rate);
        const double b = testing::zeroPhaseAmplitude(postFilterTaps(q, 2), 31, freq, referenceRate);
        worstDb = std::fmax(worstDb, std::fabs(20.0 * std::log10(a / b)));
    }
    RecordProperty("postFilterWorstDb", std::to_string(worstDb));
    std::printf("%d Hz: post filter (%d taps) within %.3f dB of the listed taps up to 20 kHz\n", rate, L, worstDb);
    EXPECT_LT(worstDb, rate == 44100 ? 1e-9 : 0.02);
    // Above the audio band it adds no gain beyond the reference's at its band edge.
    for (double freq = 22050.0; freq < 0.5 * rate; freq += 100.0)
        EXPECT_LT(testing::zeroPhaseAmplitude(postFilterTaps(p, 2), L, freq, rate), 1.6) << freq;
}

INSTANTIATE_TEST_SUITE_P(Rates, EveryRate, ::testing::ValuesIn(sampleRates::supported_hz),
                         [](const ::testing::TestParamInfo<int>& rate) { return std::to_string(rate.param); });

TEST(RateFactory, ARateWithoutTablesGivesAnEmptyFactoryAndEachRateAllocatesOnlyItsPatterns) {
    for (double rate : {32000.0, 44100.5, 0.0, -48000.0, 384000.0, std::nan("")}) {
        const CQb32Factory f(rate);
        EXPECT_EQ(f.patternCount, 0) << rate;
        EXPECT_EQ(f.pattern(0), nullptr);
        EXPECT_EQ(f.maxLatency, 0.0f);
    }
    for (int rate : sampleRates::supported_hz) {
        const testing::AllocationScope scope;
        const CQb32Factory f(rate);
        EXPECT_EQ(scope.allocations(), 13u) << rate;
    }
}

}  // namespace
}  // namespace qb32
