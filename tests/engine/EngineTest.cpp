// End-to-end tests of the beamforming engine (CQb32 with its front end),
// on signals whose answer is known independently of the code under test.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "engine/CQb32.h"
#include "engine/CQuorbix.h"
#include "engine/tables/CapsuleDirections.h"
#include "engine/tables/DecompositionTables.h"
#include "framework/SampleRates.h"
#include "patterns/CQbPattern.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/Reference.h"
#include "tests/support/SimdLevels.h"

namespace qb32 {
namespace {

constexpr int capsules = 32;
constexpr double pi = std::numbers::pi;

struct Direction {
    double elevation_deg, azimuth_deg;
};

double cosAngle(Direction a, Direction b) {
    const double t1 = a.elevation_deg * pi / 180, p1 = a.azimuth_deg * pi / 180;
    const double t2 = b.elevation_deg * pi / 180, p2 = b.azimuth_deg * pi / 180;
    return std::sin(t1) * std::sin(t2) * std::cos(p1 - p2) + std::cos(t1) * std::cos(t2);
}

double legendre(int n, double x) {
    switch (n) {
        case 0: return 1.0;
        case 1: return x;
        case 2: return 0.5 * (3 * x * x - 1);
        default: return 0.5 * (5 * x * x * x - 3 * x);
    }
}

// The directivity f(gamma) = sum a_n P_n(cos gamma) of each catalogue entry.
double directivity(int pattern, double c) {
    static const double a[12][4] = {
        {1, 0, 0, 0},
        {0.175, 0.382, 0.318, 0.125},      // super3 (three decimals)
        {0.234, 0.467, 0.298, 0},          // super2
        {0.364, 0.636, 0, 0},              // super1
        {1.0 / 16, 3.0 / 16, 5.0 / 16, 7.0 / 16},
        {1.0 / 9, 3.0 / 9, 5.0 / 9, 0},
        {0.25, 0.75, 0, 0},
        {0.25, 0.45, 0.25, 0.05},          // card3
        {1.0 / 3, 0.5, 1.0 / 6, 0},        // card2
        {0.5, 0.5, 0, 0},                  // card1
        {0, 1, 0, 0},                      // dipole
        {2.0 / 3, 0, -2.0 / 3, 0},         // torus
    };
    double f = 0;
    for (int n = 0; n < 4; ++n) f += a[pattern][n] * legendre(n, c);
    return f;
}

// A sound field of orders 0..3 arriving from d: capsule q carries
// s(t) * sum_n (2n + 1) P_n(u_q . d), the plane-wave expansion with its radial
// terms set to 1. Its modal components are exactly 4 pi Y_k(d) / (4 pi) =
// Y_k(d) per unit signal, so a beam of directivity f at angle gamma from d
// outputs f(gamma) s(t) in the low band (with the shared filter gains).
std::vector<float> capsuleGains(Direction d) {
    std::vector<float> g(capsules);
    for (int q = 0; q < capsules; ++q) {
        const auto& u = tables::capsuleDirections[q];
        const Direction uq{u.theta_rad * 180 / pi, u.phi_rad * 180 / pi};
        const double c = cosAngle(uq, d);
        double sum = 0;
        for (int n = 0; n < 4; ++n) sum += (2 * n + 1) * legendre(n, c);
        g[q] = static_cast<float>(sum);
    }
    return g;
}

struct Buffers {
    Buffers(int inputs, int outputs, int samples)
        : in(inputs, std::vector<float>(samples, 0.0f)), out(outputs, std::vector<float>(samples, 0.0f)) {}
    std::vector<std::vector<float>> in, out;
    int samples() const { return static_cast<int>(in[0].size()); }
};

// Runs the whole signal through the engine in blocks of the given sizes.
void run(CQb32& engine, Buffers& b, const std::vector<int>& blocks) {
    int at = 0;
    for (int n : blocks) {
        std::vector<const float*> ip;
        std::vector<float*> op;
        for (auto& c : b.in) ip.push_back(c.data() + at);
        for (auto& c : b.out) op.push_back(c.data() + at);
        engine.process(ip.data(), op.data(), n);
        at += n;
    }
}

void run(CQb32& engine, Buffers& b, int block = 512) {
    std::vector<int> blocks;
    for (int at = 0; at < b.samples(); at += block) blocks.push_back(std::min(block, b.samples() - at));
    run(engine, b, blocks);
}

int configure(CQb32& engine, int beams, int block = 512) {
    return engine.configure(timeDomainStream(32, 44100.0f, block), timeDomainStream(beams, 44100.0f, block));
}

int setPattern(CQb32& engine, int beam, int pattern) {
    return engine.setControl(beam, CQb32::pattern, &pattern, 1, valueType::int32);
}

// Amplitude of a steady sinusoid of period 16 samples over [from, from + n).
double amplitude16(const std::vector<float>& y, int from, int n) {
    double a = 0, b = 0;
    for (int i = from; i < from + n; ++i) {
        a += y[i] * std::sin(2 * pi * i / 16);
        b += y[i] * std::cos(2 * pi * i / 16);
    }
    return 2.0 * std::hypot(a, b) / n;
}

double maxStep(const std::vector<float>& y, int from, int to) {
    double m = 0;
    for (int i = std::max(from, 1); i < to; ++i) m = std::max(m, std::abs(static_cast<double>(y[i]) - y[i - 1]));
    return m;
}

// ---- the beam pattern, measured ------------------------------------------------

// Every pattern's low band, measured on a directional field at 2756 Hz (where
// the modal filters have reached their flat weights), follows its directivity
// f(gamma) times the gain of the crossover and post filter, computed here from
// their taps.
TEST(Engine, LowBandFollowsEachPatternsDirectivity) {
    const Direction source{60, 30};
    const Direction looks[8] = {{60, 30}, {90, 0}, {120, 210}, {30, 100}, {0, 0}, {150, 300}, {90, 120}, {45, 350}};
    const double f = 44100.0 / 16;
    for (int pattern = 0; pattern < 12; ++pattern) {
        CQb32 engine;
        ASSERT_EQ(configure(engine, 8), 0);
        ASSERT_EQ(engine.setEqualisationMode(2), 0);
        ASSERT_EQ(engine.setOutputMode(2), 0);
        for (int b = 0; b < 8; ++b) {
            ASSERT_EQ(setPattern(engine, b, pattern), 0);
            engine.setElevation(b, static_cast<float>(looks[b].elevation_deg));
            engine.setAzimuth(b, static_cast<float>(looks[b].azimuth_deg));
        }
        ASSERT_EQ(engine.start(), 0) << "start jumps the steering to its targets";
        const CQbPattern& p = *engine.getPattern(pattern);
        const double gain = std::abs(testing::frequencyResponse(p.lowBandFilter, p.crossoverLength, f, 44100)) *
                            std::abs(testing::frequencyResponse(postFilterTaps(p, 0), 31, f, 44100));
        Buffers buf(32, 8, 2048);
        const auto g = capsuleGains(source);
        for (int q = 0; q < 32; ++q)
            for (int i = 0; i < 2048; ++i) buf.in[q][i] = g[q] * static_cast<float>(std::sin(2 * pi * i / 16));
        run(engine, buf);
        for (int b = 0; b < 8; ++b) {
            const double expected = std::abs(directivity(pattern, cosAngle(looks[b], source))) * gain;
            EXPECT_NEAR(amplitude16(buf.out[b], 1024, 1024), expected, 0.03 * gain)
                << p.name << " beam " << b;
        }
        engine.stop();
    }
}

// ---- latency -----------------------------------------------------------------------

// With no equaliser every filter of the chain is linear phase, so the response
// of a beam to an impulse on all capsules is symmetric about its latency,
// whatever the pattern: the same 167 samples for every beam. With equalisers,
// the high band alone (full beam minus low-band-only output) is symmetric
// about the latency: 167, or 482 in equalisation mode 1.
TEST(Engine, EveryPatternHasTheSameLatency) {
    for (int eq : {2, 0, 1}) {
        const int latency = eq == 1 ? 482 : 167;
        Buffers full(32, 12, 1024), low(32, 12, 1024);
        for (int mode : {1, 2}) {
            CQb32 engine;
            ASSERT_EQ(configure(engine, 12), 0);
            ASSERT_EQ(engine.setEqualisationMode(eq), 0);
            ASSERT_EQ(engine.setOutputMode(mode), 0);
            for (int b = 0; b < 12; ++b) {
                ASSERT_EQ(setPattern(engine, b, b), 0);
                engine.setElevation(b, 90);
                engine.setAzimuth(b, 0);
            }
            ASSERT_EQ(engine.start(), 0);
            EXPECT_EQ(engine.latencySamples(), latency);
            Buffers& buf = mode == 1 ? full : low;
            for (int q = 0; q < 32; ++q) buf.in[q][0] = 1.0f;
            run(engine, buf);
        }
        for (int b = 0; b < 12; ++b) {
            std::vector<float> h(1024);
            for (int i = 0; i < 1024; ++i) h[i] = eq == 2 ? full.out[b][i] : full.out[b][i] - low.out[b][i];
            double peak = 0, asym = 0;
            for (float v : h) peak = std::max(peak, std::abs(static_cast<double>(v)));
            for (int k = 1; k <= 120; ++k) asym = std::max(asym, std::abs(static_cast<double>(h[latency + k]) - h[latency - k]));
            ASSERT_GT(peak, 0.01) << "pattern " << b;
            EXPECT_LT(asym, 1e-4 * peak) << "eq " << eq << " pattern " << b;
        }
    }
}

// ---- every supported rate ------------------------------------------------------------

int configureAt(CQb32& engine, int beams, int rate, int block = 512) {
    const auto r = static_cast<float>(rate);
    return engine.configure(timeDomainStream(32, r, block), timeDomainStream(beams, r, block));
}

// Amplitudes of sinusoids of the given frequencies in y[from, from + n), by a
// least-squares fit of their sines and cosines together.
std::vector<double> amplitudes(const std::vector<float>& y, int from, int n, const std::vector<double>& cycles) {
    const int m = 2 * static_cast<int>(cycles.size());
    std::vector<double> g(m * m, 0.0), r(m, 0.0), basis(m);
    for (int i = from; i < from + n; ++i) {
        for (std::size_t k = 0; k < cycles.size(); ++k) {
            basis[2 * k] = std::sin(2 * pi * cycles[k] * i);
            basis[2 * k + 1] = std::cos(2 * pi * cycles[k] * i);
        }
        for (int a = 0; a < m; ++a) {
            r[a] += basis[a] * y[i];
            for (int b = 0; b < m; ++b) g[a * m + b] += basis[a] * basis[b];
        }
    }
    for (int c = 0; c < m; ++c)  // Gauss-Jordan; g is symmetric positive definite
        for (int a = 0; a < m; ++a) {
            if (a == c) continue;
            const double f = g[a * m + c] / g[c * m + c];
            for (int b = 0; b < m; ++b) g[a * m + b] -= f * g[c * m + b];
            r[a] -= f * r[c];
        }
    std::vector<double> out;
    for (std::size_t k = 0; k < cycles.size(); ++k)
        out.push_back(std::hypot(r[2 * k] / g[2 * k * m + 2 * k], r[2 * k + 1] / g[(2 * k + 1) * m + 2 * k + 1]));
    return out;
}

class EngineAtRate : public ::testing::TestWithParam<int> {};

// At every rate, every pattern's low band on the directional field: at
// 2756.25 Hz its directivity times the crossover and post filter gain (the
// 44.1 kHz test's tolerance), and at 700 Hz, where the white-noise-gain
// limits shape the beams, what the 44.1 kHz engine measures within the same
// tolerance.
TEST_P(EngineAtRate, LowBandFollowsEachPatternsDirectivity) {
    const int rate = GetParam();
    const Direction source{60, 30};
    const Direction looks[8] = {{60, 30}, {90, 0}, {120, 210}, {30, 100}, {0, 0}, {150, 300}, {90, 120}, {45, 350}};
    const double high = 44100.0 / 16, low = 700.0;
    const auto g = capsuleGains(source);
    for (int pattern = 0; pattern < 12; ++pattern) {
        std::vector<double> measured[2][8];
        double gain = 0.0;
        for (int which = 0; which < 2; ++which) {
            const int r = which == 0 ? 44100 : rate;
            CQb32 engine;
            ASSERT_EQ(configureAt(engine, 8, r), 0);
            ASSERT_EQ(engine.setEqualisationMode(2), 0);
            ASSERT_EQ(engine.setOutputMode(2), 0);
            for (int b = 0; b < 8; ++b) {
                ASSERT_EQ(setPattern(engine, b, pattern), 0);
                engine.setElevation(b, static_cast<float>(looks[b].elevation_deg));
                engine.setAzimuth(b, static_cast<float>(looks[b].azimuth_deg));
            }
            ASSERT_EQ(engine.start(), 0);
            const int n = sampleRates::scaledSamples(4096, r);
            Buffers buf(32, 8, n);
            for (int q = 0; q < 32; ++q)
                for (int i = 0; i < n; ++i)
                    buf.in[q][i] = g[q] * static_cast<float>(std::sin(2 * pi * high * i / r) +
                                                             std::sin(2 * pi * low * i / r));
            run(engine, buf);
            for (int b = 0; b < 8; ++b) measured[which][b] = amplitudes(buf.out[b], n / 2, n / 2, {high / r, low / r});
            if (which == 1) {
                // The crossover and post filter gains at this rate, from the taps.
                const CQbPattern& p = *engine.getBeamPattern(0);
                gain = std::abs(testing::frequencyResponse(p.lowBandFilter, p.crossoverLength, high, r)) *
                       std::abs(testing::frequencyResponse(postFilterTaps(p, 0), postFilterTapCount(p, 0), high, r));
            }
        }
        for (int b = 0; b < 8; ++b) {
            const double expected = std::abs(directivity(pattern, cosAngle(looks[b], source))) * gain;
            EXPECT_NEAR(measured[1][b][0], expected, 0.03 * gain) << "pattern " << pattern << " beam " << b;
            EXPECT_NEAR(measured[1][b][1], measured[0][b][1], 0.03 * gain) << "pattern " << pattern << " beam " << b;
        }
    }
}

// The latency at every rate: round(167 x rate / 44100) samples for every
// pattern in equalisation modes 0 and 2, plus the FIR equalisers' delay in
// mode 1; each beam's impulse response (its high band where equalisers run)
// symmetric about it.
TEST_P(EngineAtRate, EveryPatternHasTheSameLatencyInTime) {
    const int rate = GetParam();
    const auto& equalisers = *tables::decompositionTablesForRate(rate);
    for (int eq : {2, 0, 1}) {
        const int latency = sampleRates::scaledSamples(167, rate) +
                            (eq == 1 ? (equalisers.firEqualiserMaxLength - 1) / 2 : 0);
        const int n = 2 * latency + sampleRates::scaledSamples(256, rate);
        const int span = sampleRates::scaledSamples(120, rate);
        Buffers full(32, 12, n), low(32, 12, n);
        for (int mode : {1, 2}) {
            CQb32 engine;
            ASSERT_EQ(configureAt(engine, 12, rate), 0);
            ASSERT_EQ(engine.setEqualisationMode(eq), 0);
            ASSERT_EQ(engine.setOutputMode(mode), 0);
            for (int b = 0; b < 12; ++b) {
                ASSERT_EQ(setPattern(engine, b, b), 0);
                engine.setElevation(b, 90);
                engine.setAzimuth(b, 0);
            }
            ASSERT_EQ(engine.start(), 0);
            EXPECT_EQ(engine.latencySamples(), latency);
            Buffers& buf = mode == 1 ? full : low;
            for (int q = 0; q < 32; ++q) buf.in[q][0] = 1.0f;
            run(engine, buf);
        }
        for (int b = 0; b < 12; ++b) {
            std::vector<float> h(n);
            for (int i = 0; i < n; ++i) h[i] = eq == 2 ? full.out[b][i] : full.out[b][i] - low.out[b][i];
            double peak = 0, asym = 0;
            for (float v : h) peak = std::max(peak, std::abs(static_cast<double>(v)));
            for (int k = 1; k <= span; ++k)
                asym = std::max(asym, std::abs(static_cast<double>(h[latency + k]) - h[latency - k]));
            ASSERT_GT(peak, 0.01) << "pattern " << b;
            EXPECT_LT(asym, 1e-4 * peak) << rate << " Hz, eq " << eq << ", pattern " << b;
        }
    }
    EXPECT_NEAR(sampleRates::scaledSamples(167, rate) / static_cast<double>(rate), 167.0 / 44100.0, 0.5 / rate);
}

// The on/off ramp is 10 ms at every rate (within half a sample).
TEST_P(EngineAtRate, TheOnOffRampLastsTenMilliseconds) {
    const int rate = GetParam();
    CQuorbix frontEnd;
    const auto r = static_cast<float>(rate);
    ASSERT_EQ(frontEnd.configure(timeDomainStream(32, r, 256), timeDomainStream(8, r, 256)), 0);
    EXPECT_NEAR(1000.0 * frontEnd.getRampSamples() / rate, 10.0, 500.0 / rate);
    EXPECT_EQ(CQuorbix::rampSamplesFor(44100.0f), 441);
}

INSTANTIATE_TEST_SUITE_P(Rates, EngineAtRate, ::testing::Values(48000, 88200, 96000, 176400, 192000),
                         [](const ::testing::TestParamInfo<int>& rate) { return std::to_string(rate.param); });

// ---- output modes ---------------------------------------------------------------------

TEST(Engine, OutputModeZeroGivesTheModalComponents) {
    CQb32 engine;
    ASSERT_EQ(configure(engine, 8), 0);
    ASSERT_EQ(engine.setEqualisationMode(2), 0);
    ASSERT_EQ(engine.setOutputMode(0), 0);
    Buffers buf(32, 8, 700);
    for (int q = 0; q < 32; ++q) buf.in[q] = testing::whiteNoise(700, 50 + q);
    run(engine, buf, 256);
    for (int k = 0; k < 8; ++k)
        for (int i = 0; i < 700; i += 7) {
            double expected = 0;
            for (int q = 0; q < 32; ++q) expected += tables::decompositionMatrix[k][q] * static_cast<double>(buf.in[q][i]);
            ASSERT_NEAR(buf.out[k][i], expected, 1e-6) << k << " " << i;
        }
}

TEST(Engine, OutputModeThreeGivesTheDelayedHighBand) {
    CQb32 engine;
    ASSERT_EQ(configure(engine, 2), 0);
    ASSERT_EQ(engine.setOutputMode(3), 0);
    ASSERT_EQ(setPattern(engine, 1, 7), 0);  // card3: capsule triangles
    engine.setElevation(1, 0);
    ASSERT_EQ(engine.start(), 0);
    Buffers buf(32, 2, 1500);
    for (int q = 0; q < 32; ++q) buf.in[q] = testing::whiteNoise(1500, 90 + q);
    run(engine, buf, 500);
    for (int i = 0; i < 1500; ++i) {
        const float zero = i >= 125 ? buf.in[0][i - 125] : 0.0f;
        ASSERT_EQ(buf.out[0][i], zero) << "omni at (90, 0): capsule 0 delayed 125 samples, sample " << i;
        const float tri = i >= 125 ? (buf.in[4][i - 125] + buf.in[28][i - 125] + buf.in[12][i - 125]) / 3.0f : 0.0f;
        ASSERT_NEAR(buf.out[1][i], tri, 1e-6) << i;
    }
}

// ---- changes while running ----------------------------------------------------------------

// A sequence of patterns in which every ordered pair of different patterns
// follows each other exactly once (an Eulerian circuit of the complete
// directed graph on the twelve patterns, found by Hierholzer's algorithm).
std::vector<int> everyPatternPair() {
    std::vector<std::vector<int>> next(12);
    for (int i = 0; i < 12; ++i)
        for (int j = 11; j >= 0; --j)
            if (j != i) next[i].push_back(j);
    std::vector<int> stack{0}, circuit;
    while (!stack.empty()) {
        const int v = stack.back();
        if (next[v].empty()) {
            circuit.push_back(v);
            stack.pop_back();
        } else {
            stack.push_back(next[v].back());
            next[v].pop_back();
        }
    }
    std::reverse(circuit.begin(), circuit.end());
    return circuit;  // 133 entries, 132 transitions
}

// A tone from the look direction (2756 Hz, where the low band carries the
// beam, and 12 kHz, where the capsule high band does); twelve beams share the
// 132 pattern changes between them. No output sample may step further than
// the steady tone of the old or the new pattern does: a click would.
class PatternChanges : public ::testing::TestWithParam<double> {};

TEST_P(PatternChanges, NeverClick) {
    const double periodSamples = 44100.0 / GetParam();
    const auto sequence = everyPatternPair();
    ASSERT_EQ(sequence.size(), 133u);
    CQb32 engine;
    ASSERT_EQ(configure(engine, 12), 0);
    for (int b = 0; b < 12; ++b) ASSERT_EQ(setPattern(engine, b, sequence[11 * b]), 0);
    ASSERT_EQ(engine.start(), 0);
    const auto g = capsuleGains({90, 0});
    const int segment = 12000;  // longer than a whole crossfade
    std::vector<double> steadyStep(12, 0.0);
    std::vector<float> last(12, 0.0f);
    for (int s = 0; s <= 11; ++s) {
        Buffers part(32, 12, segment);
        for (int q = 0; q < 32; ++q)
            for (int i = 0; i < segment; ++i)
                part.in[q][i] =
                    g[q] * 0.05f * static_cast<float>(std::sin(2 * pi * (s * segment + i) / periodSamples));
        run(engine, part, 512);
        for (int b = 0; b < 12; ++b) {
            const double now = maxStep(part.out[b], segment - 2000, segment);
            double during = maxStep(part.out[b], 1, segment);
            if (s > 0) {
                during = std::max(during, std::abs(static_cast<double>(part.out[b][0]) - last[b]));
                EXPECT_LE(during, 1.05 * std::max(steadyStep[b], now) + 1e-6)
                    << "beam " << b << ": pattern " << sequence[11 * b + s - 1] << " -> " << sequence[11 * b + s];
            }
            steadyStep[b] = now;
            last[b] = part.out[b][segment - 1];
            if (s < 11) {
                ASSERT_EQ(setPattern(engine, b, sequence[11 * b + s + 1]), 0);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Tones, PatternChanges, ::testing::Values(44100.0 / 16, 12000.0));

// A pattern change is complete after the 250 ms crossfade: from then on the
// beam gives exactly what a beam that always had the new pattern gives.
TEST(Engine, PatternChangeCompletesInAQuarterSecond) {
    CQb32 changed, fresh;
    for (CQb32* e : {&changed, &fresh}) {
        ASSERT_EQ(configure(*e, 1), 0);
        ASSERT_EQ(setPattern(*e, 0, e == &changed ? 9 : 7), 0);  // card1, card3
        e->setElevation(0, 60.0f);
        ASSERT_EQ(e->start(), 0);
    }
    ASSERT_EQ(setPattern(changed, 0, 7), 0);
    Buffers a(32, 1, 14000);
    for (int q = 0; q < 32; ++q) a.in[q] = testing::whiteNoise(14000, 300 + q);
    Buffers b = a;
    run(changed, a, 512);
    run(fresh, b, 512);
    const int done = 11025 + 251 + 167;  // crossfade, new filters filled, latency
    double differs = 0, level = 0;
    for (int i = 0; i < 14000; ++i) {
        level = std::max(level, std::abs(static_cast<double>(b.out[0][i])));
        if (i >= done) differs = std::max(differs, std::abs(static_cast<double>(a.out[0][i]) - b.out[0][i]));
    }
    EXPECT_LE(differs, 1e-6 * level) << "the change is over after about 256 ms";
    EXPECT_GT(std::abs(static_cast<double>(a.out[0][done - 2000]) - b.out[0][done - 2000]), 1e-4 * level)
        << "before that, the old pattern is still heard";
}

TEST(Engine, DirectionGlidesWithoutJumps) {
    CQb32 engine;
    ASSERT_EQ(configure(engine, 1), 0);
    ASSERT_EQ(setPattern(engine, 0, 7), 0);
    ASSERT_EQ(engine.start(), 0);
    Buffers buf(32, 1, 30000);
    const auto g = capsuleGains({90, 0});
    for (int q = 0; q < 32; ++q)
        for (int i = 0; i < 30000; ++i) buf.in[q][i] = g[q] * 0.05f * static_cast<float>(std::sin(2 * pi * i / 16));
    Buffers first(32, 1, 5000);
    for (int q = 0; q < 32; ++q) std::copy_n(buf.in[q].begin(), 5000, first.in[q].begin());
    run(engine, first);
    const double steady = maxStep(first.out[0], 3000, 5000);
    engine.setAzimuth(0, 200.0f);  // glides 160 degrees, across capsule regions
    engine.setElevation(0, 40.0f);
    Buffers rest(32, 1, 25000);
    for (int q = 0; q < 32; ++q) std::copy_n(buf.in[q].begin() + 5000, 25000, rest.in[q].begin());
    run(engine, rest);
    EXPECT_LE(maxStep(rest.out[0], 1, 25000), 1.05 * steady);
}

TEST(Engine, SwitchingABeamOffDecaysToExactZerosAndOnResumes) {
    CQb32 engine, untouched;
    for (CQb32* e : {&engine, &untouched}) {
        ASSERT_EQ(configure(*e, 2), 0);
        ASSERT_EQ(setPattern(*e, 0, 8), 0);
        ASSERT_EQ(setPattern(*e, 1, 8), 0);
        ASSERT_EQ(e->start(), 0);
    }
    const auto g = capsuleGains({90, 0});
    int clock = 0;
    auto segment = [&](int n) {
        Buffers a(32, 2, n);
        for (int q = 0; q < 32; ++q)
            for (int i = 0; i < n; ++i)
                a.in[q][i] = g[q] * 0.05f * static_cast<float>(std::sin(2 * pi * (clock + i) / 16));
        Buffers b = a;
        run(engine, a, 256);
        run(untouched, b, 256);
        clock += n;
        EXPECT_EQ(a.out[1], b.out[1]) << "the other beam is unaffected";
        return std::pair{a, b};
    };
    const auto [before, ref0] = segment(4096);
    const double steady = maxStep(before.out[0], 2000, 4096);
    ASSERT_EQ(engine.setBeamActive(0, false), 0);
    const auto [off, ref1] = segment(4096);
    EXPECT_LE(maxStep(off.out[0], 1, 4096), 1.05 * steady);
    for (int i = 1024; i < 4096; ++i) ASSERT_EQ(off.out[0][i], 0.0f) << i;
    ASSERT_EQ(engine.setBeamActive(0, true), 0);
    const auto [on, ref2] = segment(4096);
    EXPECT_LE(maxStep(on.out[0], 1, 4096), 1.05 * steady);
    EXPECT_NEAR(amplitude16(on.out[0], 2048, 2048), amplitude16(ref2.out[0], 2048, 2048), 1e-4)
        << "steering and filters unchanged";
}

// Settings given to a beam while it is silent are heard from its first
// sample on: no glide from the old direction, no crossfade from the old
// pattern. Compared with a twin that took the same settings at once.
TEST(Engine, ASilentBeamSwitchedOnStartsAtItsNewSettings) {
    CQb32 engine, twin;
    for (CQb32* e : {&engine, &twin}) {
        ASSERT_EQ(configure(*e, 1), 0);
        ASSERT_EQ(setPattern(*e, 0, 8), 0);
        e->applySettingsAtOnce();
    }
    const auto g = capsuleGains({60, 120});
    int clock = 0;
    auto segment = [&](int n) {
        Buffers a(32, 1, n);
        for (int q = 0; q < 32; ++q)
            for (int i = 0; i < n; ++i)
                a.in[q][i] = g[q] * 0.05f * static_cast<float>(std::sin(2 * pi * (clock + i) / 16));
        Buffers b = a;
        run(engine, a, 256);
        run(twin, b, 256);
        clock += n;
        return std::pair{a.out[0], b.out[0]};
    };
    segment(4096);
    ASSERT_EQ(engine.setBeamActive(0, false), 0);
    segment(4096);
    // Far from the old settings: gliding 120 degrees would take 0.27 s and a
    // crossfade 0.25 s.
    for (CQb32* e : {&engine, &twin}) {
        ASSERT_EQ(e->setElevation(0, 60.0f), 0);
        ASSERT_EQ(e->setAzimuth(0, 120.0f), 0);
        ASSERT_EQ(setPattern(*e, 0, 1), 0);
    }
    twin.applySettingsAtOnce();
    ASSERT_EQ(engine.setBeamActive(0, true), 0);
    const auto [on, ref] = segment(4096);
    // Refill (twice the latency) and the 10 ms ramp are over well within 1024 samples.
    const double a = amplitude16(on, 1024, 2048), r = amplitude16(ref, 1024, 2048);
    EXPECT_GT(r, 0.01);
    EXPECT_NEAR(a, r, 1e-4 * r);
}

// Energy of the Hann-windowed x between fromHz and toHz, leaving out
// skipFrom..skipTo, from its DFT bins (Goertzel, one-sided, Parseval-scaled).
double bandEnergy(const std::vector<double>& x, double fromHz, double toHz, double skipFrom, double skipTo) {
    const int n = static_cast<int>(x.size());
    double sum = 0;
    for (int k = 1; k < n / 2; ++k) {
        const double f = k * 44100.0 / n;
        if (f < fromHz || f > toHz || (f > skipFrom && f < skipTo)) continue;
        const double c = 2 * std::cos(2 * pi * k / n);
        double s1 = 0, s2 = 0;
        for (double v : x) {
            const double s0 = v + c * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        sum += s1 * s1 + s2 * s2 - c * s1 * s2;
    }
    return 2.0 * sum / n;
}

std::vector<double> hannWindowed(const std::vector<float>& y, int from, int n) {
    std::vector<double> w(n);
    for (int i = 0; i < n; ++i) w[i] = y[from + i] * 0.5 * (1 - std::cos(2 * pi * (i + 0.5) / n));
    return w;
}

// Switching a beam on or off adds no click: around each switch, the energy
// it adds above 12 kHz (away from the tone itself) stays 40 dB below the
// steady signal's, for every pattern, on a 2 kHz and a 12 kHz tone from the
// front and on noise with little of its own up there (below 5 kHz, like
// speech). The steady signal is a twin engine's that is never switched.
TEST(Engine, SwitchingABeamOnOrOffAddsNoClick) {
    constexpr int offAt = 16384, onAt = 24576, samples = 32768, window = 1024;
    const auto g = capsuleGains({90, 0});
    std::vector<float> lowNoise;
    {
        std::vector<float> taps(201);
        for (int i = 0; i < 201; ++i) {  // windowed sinc, 5 kHz
            const double t = i - 100.0, fc = 5000.0 / 44100.0;
            const double sinc = t == 0 ? 2 * fc : std::sin(2 * pi * fc * t) / (pi * t);
            taps[i] = static_cast<float>(sinc * (0.42 - 0.5 * std::cos(2 * pi * i / 200) + 0.08 * std::cos(4 * pi * i / 200)));
        }
        const auto filtered = testing::directFir(taps, testing::whiteNoise(samples, 77));
        for (double v : filtered) lowNoise.push_back(static_cast<float>(v));
    }
    struct Source {
        const char* name;
        double toneHz;  // 0: the noise
    };
    for (const Source source : {Source{"2 kHz", 2000}, Source{"12 kHz", 12000}, Source{"noise", 0}}) {
        for (int pattern = 0; pattern < 12; ++pattern) {
            SCOPED_TRACE(::testing::Message() << source.name << ", pattern " << pattern);
            CQb32 switched, steady;
            for (CQb32* e : {&switched, &steady}) {
                ASSERT_EQ(configure(*e, 1), 0);
                ASSERT_EQ(setPattern(*e, 0, pattern), 0);
                ASSERT_EQ(e->start(), 0);
            }
            Buffers a(32, 1, samples);
            for (int i = 0; i < samples; ++i) {
                const float v = source.toneHz > 0 ? 0.25f * static_cast<float>(std::sin(2 * pi * source.toneHz * i / 44100))
                                                  : lowNoise[i];
                for (int q = 0; q < 32; ++q) a.in[q][i] = g[q] * v;
            }
            Buffers b = a;
            run(steady, b, 512);
            std::vector<int> firstPart(offAt / 512, 512), secondPart((onAt - offAt) / 512, 512),
                thirdPart((samples - onAt) / 512, 512);
            int at = 0;
            auto runPart = [&](const std::vector<int>& blocks) {
                for (int n : blocks) {
                    std::vector<const float*> ip;
                    std::vector<float*> op{a.out[0].data() + at};
                    for (auto& c : a.in) ip.push_back(c.data() + at);
                    switched.process(ip.data(), op.data(), n);
                    at += n;
                }
            };
            runPart(firstPart);
            ASSERT_EQ(switched.setBeamActive(0, false), 0);
            runPart(secondPart);
            ASSERT_EQ(switched.setBeamActive(0, true), 0);
            runPart(thirdPart);
            for (int i = onAt - 2048; i < onAt; ++i) ASSERT_EQ(a.out[0][i], 0.0f) << "off: silent";
            // The band: above 12 kHz, 2 kHz clear of the tone.
            const double skipFrom = source.toneHz - 2000, skipTo = source.toneHz + 2000;
            // Windows of 23 ms centred from each switch to 23 ms after it,
            // wherever the ramp and anything that steps may fall.
            for (int switchAt : {offAt, onAt})
                for (int centre = switchAt; centre <= switchAt + window; centre += window / 4) {
                    const auto x = hannWindowed(a.out[0], centre - window / 2, window);
                    const auto y = hannWindowed(b.out[0], centre - window / 2, window);
                    double level = 0;
                    for (double v : y) level += v * v;
                    ASSERT_GT(level, 1e-6);
                    const double added = bandEnergy(x, 12000, 22050, skipFrom, skipTo) -
                                         bandEnergy(y, 12000, 22050, skipFrom, skipTo);
                    EXPECT_LE(added, 1e-4 * level) << "window centred on sample " << centre << ": "
                                                   << 10 * std::log10(std::max(added, 1e-30) / level) << " dB";
                }
        }
    }
}

// ---- streaming ---------------------------------------------------------------------------------

void blockSplitsGiveTheSameBits() {
    Buffers whole(32, 4, 6000), split(32, 4, 6000);
    for (int q = 0; q < 32; ++q) whole.in[q] = split.in[q] = testing::whiteNoise(6000, 500 + q);
    for (Buffers* b : {&whole, &split}) {
        CQb32 engine;
        ASSERT_EQ(configure(engine, 4, 1024), 0);
        for (int i = 0; i < 4; ++i) ASSERT_EQ(setPattern(engine, i, 2 * i + 1), 0);
        engine.setAzimuth(1, 40);
        engine.setElevation(2, 10);
        if (b == &whole) {
            run(engine, *b, 1000);
        } else {
            run(engine, *b, testing::randomBlockSizes(6000, 1024, 3));
        }
    }
    for (int i = 0; i < 4; ++i) EXPECT_EQ(whole.out[i], split.out[i]) << "beam " << i;
}

TEST(Engine, OutputDoesNotDependOnTheBlockSizes) {
    testing::atEveryLevel(blockSplitsGiveTheSameBits);
}

TEST(Engine, ReconfigurationRebuildsAWorkingChain) {
    Buffers reference(32, 4, 3000);
    for (int q = 0; q < 32; ++q) reference.in[q] = testing::whiteNoise(3000, 700 + q);
    Buffers again = reference;
    CQb32 fresh;
    ASSERT_EQ(configure(fresh, 4, 256), 0);
    run(fresh, reference, 256);

    CQb32 engine;
    struct Step {
        int beams, block;
    };
    for (Step s : {Step{8, 512}, Step{4, 512}, Step{16, 1}, Step{8, 4096}, Step{4, 256}}) {
        ASSERT_EQ(configure(engine, s.beams, s.block), 0);
        EXPECT_EQ(engine.getBeamCount(), s.beams);
        if (s.block == 1) {
            Buffers tiny(32, s.beams, 50);
            run(engine, tiny, 1);
        }
    }
    run(engine, again, 256);
    for (int b = 0; b < 4; ++b) EXPECT_EQ(again.out[b], reference.out[b]) << b;
}

TEST(Engine, LongerCallsThanTheConfiguredBlockAreSplit) {
    Buffers a(32, 1, 2000), b(32, 1, 2000);
    for (int q = 0; q < 32; ++q) a.in[q] = b.in[q] = testing::whiteNoise(2000, 900 + q);
    CQb32 e1, e2;
    ASSERT_EQ(configure(e1, 1, 128), 0);
    ASSERT_EQ(configure(e2, 1, 128), 0);
    run(e1, a, 2000);
    run(e2, b, 128);
    EXPECT_EQ(a.out[0], b.out[0]);
}

// ---- statuses and failures ------------------------------------------------------------------------

TEST(Engine, ConfigurationStatuses) {
    struct Case {
        int inChannels;
        float inRate;
        int inBlock;
        int outChannels;
        float outRate;
        int outBlock;
        int expected;
    };
    const Case cases[] = {
        {32, 44100, 512, 8, 44100, 512, 0},  {32, 48000, 512, 8, 48000, 512, 0},
        {32, 192000, 512, 8, 192000, 512, 0}, {32, 32000, 512, 8, 32000, 512, 2},
        {32, 44100.5f, 512, 8, 44100.5f, 512, 2}, {32, 48000, 512, 8, 44100, 512, 2},
        {32, 44100, 512, 17, 44100, 512, 2}, {32, 44100, 512, 0, 44100, 512, 2},
        {31, 44100, 512, 8, 44100, 512, 2},  {32, 44100, 512, 8, 44100, 256, 2},
        {32, 44100, 512, 16, 44100, 512, 0}, {32, 44100, 512, 1, 44100, 512, 0},
    };
    for (const auto& c : cases) {
        CQb32 engine;
        EXPECT_EQ(engine.configure(timeDomainStream(c.inChannels, c.inRate, c.inBlock),
                                   timeDomainStream(c.outChannels, c.outRate, c.outBlock)),
                  c.expected)
            << c.inChannels << " " << c.inRate << " " << c.outChannels << " " << c.outBlock;
    }
    CQb32 engine;
    auto freq = timeDomainStream(32, 44100, 512);
    freq.domain = 1;
    EXPECT_EQ(engine.configure(freq, timeDomainStream(8, 44100, 512)), 2);
    auto flag = timeDomainStream(32, 44100, 512);
    flag.formatFlag = false;
    EXPECT_EQ(engine.configure(flag, timeDomainStream(8, 44100, 512)), 2);
}

TEST(Engine, ControlStatusesAndReadBack) {
    CQb32 engine;
    ASSERT_EQ(configure(engine, 8), 0);
    int v = 0;
    EXPECT_EQ(engine.setControl(8, 0, &v, 1, valueType::int32), status::badChannel);
    EXPECT_EQ(engine.setControl(-1, 0, &v, 1, valueType::int32), status::badChannel);
    EXPECT_EQ(engine.setControl(0, 3, &v, 1, valueType::int32), status::badControl);
    EXPECT_EQ(engine.setControl(0, 0, &v, 1, 11), status::controlMismatch);
    EXPECT_EQ(engine.setControl(0, 0, &v, 2, valueType::int32), status::controlMismatch);
    EXPECT_EQ(engine.getControl(8, 0, &v, 1, valueType::int32), status::badChannel);
    EXPECT_EQ(engine.getControl(0, 5, &v, 1, valueType::int32), status::badControl);

    EXPECT_EQ(engine.setElevation(8, 10), CQb32::badBeam);
    EXPECT_EQ(engine.setAzimuth(-1, 10), CQb32::badBeam);
    EXPECT_EQ(engine.setBeamActive(9, true), CQb32::badBeam);
    EXPECT_EQ(engine.loadPatternVariant(8, 0), CQb32::badBeam);

    engine.setElevation(0, -10.0f);
    EXPECT_EQ(engine.getElevation(0), -10.0f);
    ASSERT_EQ(engine.getControl(0, 0, &v, 1, valueType::int32), 0);
    EXPECT_EQ(v, -10);
    engine.setElevation(0, 200.7f);
    ASSERT_EQ(engine.getControl(0, 0, &v, 1, valueType::int32), 0);
    EXPECT_EQ(v, 200);
    engine.setAzimuth(0, 360.0f);
    EXPECT_EQ(engine.getAzimuth(0), 360.0f);

    int p = 99;
    ASSERT_EQ(engine.setControl(1, 2, &p, 1, valueType::int32), 0);
    EXPECT_EQ(engine.getBeamPatternIndex(1), 11);
    EXPECT_EQ(engine.getBeamVariant(1), 0);
    p = 7;
    ASSERT_EQ(engine.setControl(1, 2, &p, 1, valueType::int32), 0);
    EXPECT_EQ(engine.getBeamVariant(1), 2);
    p = -1;
    EXPECT_EQ(engine.setControl(1, 2, &p, 1, valueType::int32), CQb32::badPattern);
    ASSERT_EQ(engine.getControl(1, 2, &v, 1, valueType::int32), 0);
    EXPECT_EQ(v, -1);

    EXPECT_EQ(engine.setEqualisationMode(3), CQb32::badEqualisationMode);
    EXPECT_EQ(configure(engine, 8), CQb32::badPattern) << "the refused mode is re-applied";
    EXPECT_EQ(engine.setEqualisationMode(0), 0);
    EXPECT_EQ(configure(engine, 8), 0);
    EXPECT_EQ(engine.setOutputMode(4), CQb32::badOutputMode);
    EXPECT_EQ(configure(engine, 8), CQb32::badOutputMode);
    EXPECT_EQ(engine.setOutputMode(1), 0);
    EXPECT_EQ(configure(engine, 8), 0);

    ASSERT_EQ(engine.start(), 0);
    EXPECT_EQ(configure(engine, 8), status::blockActive);
    engine.stop();
    EXPECT_EQ(configure(engine, 8), 0);
}

TEST(Engine, DefaultsAfterConfigure) {
    CQb32 engine;
    ASSERT_EQ(configure(engine, 8), 0);
    for (int b = 0; b < 8; ++b) {
        EXPECT_EQ(engine.getElevation(b), 90.0f);
        EXPECT_EQ(engine.getAzimuth(b), 0.0f);
        EXPECT_EQ(engine.getBeamPatternIndex(b), 0);
        EXPECT_EQ(engine.getBeamVariant(b), 0);
    }
    // The omni beam of a uniform low-frequency field is the field itself.
    Buffers buf(32, 8, 4096);
    for (int q = 0; q < 32; ++q)
        for (int i = 0; i < 4096; ++i) buf.in[q][i] = static_cast<float>(std::sin(2 * pi * i / 16));
    ASSERT_EQ(engine.setEqualisationMode(2), 0);
    run(engine, buf);
    for (int b = 0; b < 8; ++b) EXPECT_NEAR(amplitude16(buf.out[b], 2048, 2048), amplitude16(buf.out[0], 2048, 2048), 1e-6);
}

// An allocation refused anywhere in configure leaves an engine that answers
// every operation safely and writes silence until a configure succeeds.
TEST(Engine, FailedConfigurationWritesSilenceUntilAGoodOne) {
    Buffers buf(32, 4, 256);
    for (int q = 0; q < 32; ++q) buf.in[q] = testing::whiteNoise(256, q);
    CQb32 engine;
    ASSERT_EQ(configure(engine, 4), 0);
    bool refusedOnce = false;
    for (std::size_t n = 1;; n += 5) {
        int s = 0;
        {
            testing::AllocationFailureScope fail(n);
            s = configure(engine, 4);
            if (!fail.refusedAny()) break;
        }
        refusedOnce = true;
        EXPECT_NE(s, 0) << "allocation " << n;
        EXPECT_FALSE(engine.isUsable());
        engine.setEqualisationMode(1);
        engine.setEqualisationMode(0);
        engine.setOutputMode(3);
        engine.setOutputMode(1);
        int v = 5;
        engine.setControl(0, CQb32::pattern, &v, 1, valueType::int32);
        engine.setElevation(1, 20.0f);
        engine.setBeamActive(2, false);
        engine.clearSignalState();
        for (auto& o : buf.out) o.assign(256, 7.0f);
        run(engine, buf, 256);
        for (auto& o : buf.out) ASSERT_EQ(o, std::vector<float>(256, 0.0f)) << "allocation " << n;
    }
    EXPECT_TRUE(refusedOnce);
    ASSERT_EQ(configure(engine, 4), 0);
    run(engine, buf, 256);
    EXPECT_NE(buf.out[0], std::vector<float>(256, 0.0f));
}

TEST(Engine, FailedConstructionIsReportedByConfigure) {
    for (std::size_t n = 1; n < 40; ++n) {
        testing::AllocationFailureScope fail(n);
        CQb32 engine;
        if (!fail.refusedAny()) break;
        EXPECT_EQ(configure(engine, 8), status::allocationFailed) << n;
    }
}

TEST(Engine, NothingAllocatesOnTheAudioPathOrInControls) {
    CQb32 engine;
    ASSERT_EQ(configure(engine, 8), 0);
    Buffers buf(32, 8, 1024);
    for (int q = 0; q < 32; ++q) buf.in[q] = testing::whiteNoise(1024, q);
    run(engine, buf);
    std::vector<const float*> ip;
    std::vector<float*> op;
    for (auto& c : buf.in) ip.push_back(c.data());
    for (auto& c : buf.out) op.push_back(c.data());
    testing::AllocationScope scope;
    for (int b = 0; b < 8; ++b) {
        setPattern(engine, b, (b * 5) % 12);
        engine.setElevation(b, 10.0f * b);
        engine.setAzimuth(b, -30.0f * b);
        engine.setBeamActive(b, b % 2 == 0);
        int v = 0;
        engine.getControl(b, 0, &v, 1, valueType::int32);
    }
    engine.setOutputMode(3);
    engine.process(ip.data(), op.data(), 512);
    engine.setOutputMode(1);
    engine.process(ip.data(), op.data(), 1024);
    engine.setOutputMode(0);
    engine.process(ip.data(), op.data(), 100);
    engine.reset();
    engine.clearSignalState();
    // Ramps, waits and silence of switched beams; settings taken at once.
    engine.setOutputMode(1);
    for (int round = 0; round < 6; ++round) {
        for (int b = 0; b < 8; ++b) engine.setBeamActive(b, (b + round) % 3 != 0);
        engine.process(ip.data(), op.data(), round % 2 == 0 ? 1024 : 7);
    }
    engine.applySettingsAtOnce();
    engine.process(ip.data(), op.data(), 1024);
    EXPECT_EQ(scope.allocations(), 0u);
}

TEST(FrontEnd, Statuses) {
    CQuorbix frontEnd;
    const auto in = timeDomainStream(32, 44100.0f, 256);
    const auto out = timeDomainStream(8, 44100.0f, 256);
    auto other = timeDomainStream(8, 48000.0f, 256);
    EXPECT_EQ(frontEnd.configure(in, other), status::unsupportedStream);
    other = timeDomainStream(8, 44100.0f, 128);
    EXPECT_EQ(frontEnd.configure(in, other), status::unsupportedStream);
    ASSERT_EQ(frontEnd.configure(in, out), 0);
    ASSERT_EQ(frontEnd.configureModalComponents(16), 0);
    const float tap = 1.0f;
    EXPECT_EQ(frontEnd.setLowBandFilter(8, &tap, 1), CQuorbix::badBeam);
    EXPECT_EQ(frontEnd.setHighBandFilter(-1, &tap, 1), CQuorbix::badBeam);
    EXPECT_EQ(frontEnd.setPostFilter(8, &tap, 1), CQuorbix::badBeam);
    EXPECT_EQ(frontEnd.setHfMode(8, 1), CQuorbix::badBeam);
    EXPECT_EQ(frontEnd.setEqMode(1), CQuorbix::badEqMode) << "no FIR equalisers loaded yet";
    EXPECT_EQ(frontEnd.setEqMode(3), CQuorbix::badEqMode);
    EXPECT_EQ(frontEnd.setEqMode(2), 0);
    ASSERT_EQ(frontEnd.setModalLatency(125), 0);
    EXPECT_EQ(frontEnd.highBandDelayLength(0), 125);
    ASSERT_EQ(frontEnd.start(), 0);
    EXPECT_EQ(frontEnd.configure(in, out), status::blockActive);
    EXPECT_EQ(frontEnd.setModalLatency(10), status::blockActive);
    EXPECT_EQ(frontEnd.setCrossoverLatency(10), status::blockActive);
    EXPECT_EQ(frontEnd.setPostFilterLatency(10), status::blockActive);
    EXPECT_EQ(frontEnd.setEqMode(0), status::blockActive);
    EXPECT_EQ(frontEnd.setDecompositionMatrix(nullptr), status::blockActive);
    EXPECT_EQ(frontEnd.stop(), 0);
    // Reconfiguring to fewer beams releases the old stages first and repeats
    // the modal configuration by itself.
    ASSERT_EQ(frontEnd.configure(in, timeDomainStream(4, 44100.0f, 256)), 0);
    EXPECT_EQ(frontEnd.getBeamCount(), 4);
    EXPECT_EQ(frontEnd.getDecomposition().getComponentCount(), 16);
}

TEST(Engine, NegativeAzimuthSteersToTheEquivalentAngle) {
    Buffers a(32, 1, 3000), b(32, 1, 3000);
    for (int q = 0; q < 32; ++q) a.in[q] = b.in[q] = testing::whiteNoise(3000, 40 + q);
    for (auto [buf, azimuth] : {std::pair{&a, -90.0f}, std::pair{&b, 270.0f}}) {
        CQb32 engine;
        ASSERT_EQ(configure(engine, 1), 0);
        ASSERT_EQ(setPattern(engine, 0, 8), 0);
        engine.setAzimuth(0, azimuth);
        ASSERT_EQ(engine.start(), 0);
        run(engine, *buf);
    }
    EXPECT_EQ(a.out[0], b.out[0]);
}

}  // namespace
}  // namespace qb32
