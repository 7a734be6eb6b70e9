// A beam's complementary crossover pair may run as one FIR. The joined form
// must give the two filters' sum within rounding, join and leave without a
// step, leave alone pairs that are not complementary, and keep the output
// independent of how the host cuts the stream.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "engine/CQb32.h"
#include "engine/CQuorbix.h"
#include "framework/CDelayLine.h"
#include "framework/Primitives.h"
#include "framework/SampleRates.h"
#include "tests/support/Reference.h"

namespace qb32 {
namespace {

constexpr int beams = 8;

struct Engine {
    explicit Engine(float rate, int samples) : out(beams, std::vector<float>(samples, 0.0f)) {
        engine.configure(timeDomainStream(32, rate, 512), timeDomainStream(beams, rate, 512));
        for (int b = 0; b < beams; ++b) {
            const int pattern = (b * 5) % 12;
            engine.setControl(b, CQb32::pattern, &pattern, 1, valueType::int32);
            engine.setElevation(b, 20.0f + 15.0f * static_cast<float>(b));
            engine.setAzimuth(b, 40.0f * static_cast<float>(b));
        }
        engine.start();
    }
    void call(const std::vector<std::vector<float>>& in, int at, int n, bool joining) {
        const float* ip[32];
        float* op[beams];
        for (int c = 0; c < 32; ++c) ip[c] = in[c].data() + at;
        for (int b = 0; b < beams; ++b) op[b] = out[b].data() + at;
        CQuorbix::setJoiningEnabled(joining);
        engine.process(ip, op, n);
        CQuorbix::setJoiningEnabled(true);
    }
    int joinedBeams() {
        int n = 0;
        for (int b = 0; b < beams; ++b) n += engine.getFrontEnd()->isBeamJoined(b) ? 1 : 0;
        return n;
    }
    CQb32 engine;
    std::vector<std::vector<float>> out;
};

// Joined against apart through a pattern change (a crossfade: the beam
// leaves, then joins again) and a beam switched off and on, and joined in
// random call sizes against joined in blocks, at the lowest and highest rates.
TEST(JoinedCrossovers, MatchTheFiltersApartAndDoNotDependOnCallSizes) {
    for (const float rate : {44100.0f, 192000.0f}) {
        SCOPED_TRACE(rate);
        const int samples = static_cast<int>(rate * 0.8f);
        std::vector<std::vector<float>> in(32);
        for (int q = 0; q < 32; ++q) in[q] = testing::whiteNoise(samples, 300 + q);
        Engine joined(rate, samples), apart(rate, samples), cut(rate, samples);
        const int changeAt = samples / 4 / 512 * 512;
        // Beam 5 goes silent (its stages cleared inside a call), comes back,
        // then changes its pattern (it leaves its join).
        const int offAt = samples / 2 / 512 * 512, onAt = offAt + 4 * 512, againAt = onAt + 4 * 512;
        const auto onOff = [&](Engine& e, int at) {
            if (at == offAt) e.engine.setBeamActive(5, false);
            if (at == onAt) e.engine.setBeamActive(5, true);
            if (at == againAt) {
                const int pattern = 2;
                e.engine.setControl(5, CQb32::pattern, &pattern, 1, valueType::int32);
            }
        };
        int peakJoined = 0;
        bool leftAtChange = false;
        for (int at = 0; at < samples; at += 512) {
            if (at == changeAt)
                for (Engine* r : {&joined, &apart}) {
                    const int pattern = 7;
                    r->engine.setControl(3, CQb32::pattern, &pattern, 1, valueType::int32);
                }
            onOff(joined, at);
            onOff(apart, at);
            const int n = std::min(512, samples - at);
            joined.call(in, at, n, true);
            apart.call(in, at, n, false);
            peakJoined = std::max(peakJoined, joined.joinedBeams());
            if (at == changeAt) leftAtChange = !joined.engine.getFrontEnd()->isBeamJoined(3);
            EXPECT_EQ(apart.joinedBeams(), 0);
        }
        EXPECT_EQ(peakJoined, beams);
        EXPECT_TRUE(leftAtChange);
        EXPECT_EQ(joined.joinedBeams(), beams) << "beam 3 joins again once its crossfade is over";
        // Random call sizes, the same stream and change.
        std::uint32_t seed = 12345;
        for (int at = 0; at < samples;) {
            seed = seed * 1664525u + 1013904223u;
            int n = 1 + static_cast<int>((seed >> 8) % 40u);
            if ((seed >> 4) % 5u == 0u) n = 1 + static_cast<int>((seed >> 12) % 512u);
            for (const int mark : {changeAt, offAt, onAt, againAt})
                if (mark > at) n = std::min(n, mark - at);
            n = std::min(n, samples - at);
            onOff(cut, at);
            if (at == changeAt) {
                const int pattern = 7;
                cut.engine.setControl(3, CQb32::pattern, &pattern, 1, valueType::int32);
            }
            cut.call(in, at, n, true);
            at += n;
        }
        double peak = 0.0, worst = 0.0;
        for (int b = 0; b < beams; ++b)
            for (int t = 0; t < samples; ++t) {
                peak = std::max(peak, std::fabs(static_cast<double>(apart.out[b][t])));
                worst = std::max(worst, std::fabs(static_cast<double>(joined.out[b][t]) - apart.out[b][t]));
                ASSERT_EQ(cut.out[b][t], joined.out[b][t]) << "beam " << b << " sample " << t;
            }
        ASSERT_GT(peak, 0.01);
        // Rounding only: each form's FIRs are within (taps + 2) 2^-24 of the sum
        // of |tap x input| (2.6e-6 of it for 41 taps), and the bands entering
        // the crossovers are a few times the output. A wrong gain, centre or
        // history is off by orders of magnitude more.
        EXPECT_LT(worst, 1e-5 * peak) << "worst difference " << worst << " of a peak of " << peak;
    }
}

// Only a complementary pair joins, whatever its gain; the joined output
// stays within rounding of the filters run apart.
TEST(JoinedCrossovers, OnlyComplementaryPairsJoin) {
    struct Case {
        const char* name;
        float gain;      // the high filter is gain (delta_c - low) ...
        float nudge;     // ... plus this on its first tap
        int shorterBy;   // high filter this many taps shorter (its middle)
        bool joins;
    };
    const Case cases[] = {
        {"the pattern's own pair", 0.0f, 0.0f, 0, true},
        {"another gain", 0.3f, 0.0f, 0, true},
        {"a tap off by 1e-5", 0.0f, 1e-5f, 0, false},
        {"a shorter high filter", 0.0f, 0.0f, 2, false},
        {"a pass-through high stage", 0.0f, 0.0f, -1, false},
    };
    const int samples = 8192;
    std::vector<std::vector<float>> in(32);
    for (int q = 0; q < 32; ++q) in[q] = testing::whiteNoise(samples, 700 + q);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Engine joined(44100.0f, samples), apart(44100.0f, samples);
        for (Engine* e : {&joined, &apart}) {
            CQuorbix& f = *e->engine.getFrontEnd();
            FirState* fir = nullptr;
            CDelayLine* delay = nullptr;
            ASSERT_TRUE(f.lowCrossoverStage(2)->steadyFir(fir, delay));
            const int n = firTapCount(fir);
            std::vector<float> low(firReversedTaps(fir), firReversedTaps(fir) + n);
            std::reverse(low.begin(), low.end());
            ASSERT_TRUE(f.highCrossoverStage(2)->steadyFir(fir, delay));
            std::vector<float> high(firReversedTaps(fir), firReversedTaps(fir) + n);
            std::reverse(high.begin(), high.end());
            if (c.gain != 0.0f)
                for (int i = 0; i < n; ++i) high[i] = c.gain * ((i == (n - 1) / 2 ? 1.0f : 0.0f) - low[i]);
            high[0] += c.nudge;
            const int length = c.shorterBy < 0 ? 0 : n - c.shorterBy;
            const float* taps[1] = {high.data() + (c.shorterBy > 0 ? c.shorterBy / 2 : 0)};
            ASSERT_EQ(f.highCrossoverStage(2)->loadFilter(&length, taps), 0);
            f.highCrossoverStage(2)->settle();
        }
        for (int at = 0; at < samples; at += 512) {
            joined.call(in, at, 512, true);
            apart.call(in, at, 512, false);
        }
        EXPECT_EQ(joined.engine.getFrontEnd()->isBeamJoined(2), c.joins);
        double peak = 0.0, worst = 0.0;
        for (int t = 0; t < samples; ++t) {
            peak = std::max(peak, std::fabs(static_cast<double>(apart.out[2][t])));
            worst = std::max(worst, std::fabs(static_cast<double>(joined.out[2][t]) - apart.out[2][t]));
        }
        if (c.joins)
            EXPECT_LT(worst, 1e-5 * peak);
        else
            EXPECT_EQ(worst, 0.0);
    }
}

}  // namespace
}  // namespace qb32
