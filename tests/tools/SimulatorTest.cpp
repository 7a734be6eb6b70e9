// The array simulator against closed forms: the rigid-sphere series in its
// limits, its convergence, the capsule FIRs against the series, and the
// streaming FFT convolution against a direct-form FIR.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

#include "tools/sim/ArraySimulator.h"

namespace qb32::tools {
namespace {

constexpr double pi = std::numbers::pi;

double db(double x) { return 20.0 * std::log10(x); }

// The capsule nearest to a direction and the angles of all capsules from it.
std::vector<double> cosAngles(const Direction& d) {
    std::vector<double> c;
    for (int q = 0; q < capsuleCount; ++q) c.push_back(dot(unitVector(d), capsuleVector(q)));
    return c;
}

TEST(RigidSphere, LowFrequencyPressureIsTheSameOnEveryCapsule) {
    const RigidSphere sphere;
    for (double f : {20.0, 50.0, 100.0}) {
        for (double c : cosAngles({37.0, 211.0})) {
            const auto p = sphere.pressure(f, c);
            EXPECT_NEAR(db(std::abs(p)), 0.0, 0.02) << f << " Hz";
            // The first-order term of a rigid sphere: phase 1.5 ka cos(gamma).
            EXPECT_NEAR(std::arg(p), 1.5 * sphere.ka(f) * c, 0.002) << f << " Hz";
        }
    }
}

TEST(RigidSphere, HighFrequencyFacingCapsuleGainsSixDecibelsAndTheBackIsShadowed) {
    const RigidSphere sphere;
    for (double f : {8000.0, 12000.0, 16000.0, 20000.0}) {
        const double facing = db(std::abs(sphere.pressure(f, 1.0)));
        EXPECT_NEAR(facing, 6.0, 0.5) << f << " Hz";
        // The back of the sphere, away from the antipode (where the creeping
        // waves meet in phase and form a bright spot), is in the shadow.
        double power = 0.0;
        int count = 0;
        for (double g = 120.0; g <= 170.0; g += 5.0, ++count) power += std::norm(sphere.pressure(f, std::cos(g * pi / 180.0)));
        EXPECT_LT(10.0 * std::log10(power / count), facing - 9.0) << f << " Hz";
    }
}

TEST(RigidSphere, SeriesHasConvergedAtTwentyKilohertz) {
    const RigidSphere sphere;
    const double ka = sphere.ka(20000.0);
    for (double g : {0.0, 60.0, 120.0, 180.0}) {
        const double c = std::cos(g * pi / 180.0);
        const auto used = sphere.pressure(20000.0, c);
        const auto longer = sphere.pressure(20000.0, c, RigidSphere::termCount(ka) + 30);
        EXPECT_LT(std::abs(used - longer), 1e-8) << g;
        // and fewer terms would not do: the series is truncated where it matters
        const auto shorter = sphere.pressure(20000.0, c, static_cast<int>(ka) - 2);
        EXPECT_GT(std::abs(shorter - longer), 1e-3) << g;
    }
}

// The response of the taps at any frequency, with the bulk delay removed.
std::complex<double> firResponse(const std::vector<double>& taps, int delay, double f, double rate) {
    std::complex<double> sum = 0.0;
    for (std::size_t n = 0; n < taps.size(); ++n)
        sum += taps[n] * std::polar(1.0, -2.0 * pi * f / rate * (static_cast<double>(n) - delay));
    return sum;
}

TEST(CapsuleFirs, MatchTheSeriesUpToTwentyKilohertz) {
    const RigidSphere sphere;
    for (double rate : {44100.0, 48000.0, 96000.0}) {
        const Direction source{70.0, 15.0};
        const CapsuleFirs firs = designCapsuleFirs(sphere, rate, source, defaultFirLength(rate));
        const auto c = cosAngles(source);
        for (int q : {0, 1, 8, 16, 24}) {
            for (double f : {97.0, 1013.0, 5021.0, 11003.0, 17011.0, 19993.0}) {
                const auto want = sphere.pressure(f, c[static_cast<std::size_t>(q)]);
                const auto got = firResponse(firs.taps[static_cast<std::size_t>(q)], firs.bulkDelay_samples, f, rate);
                EXPECT_NEAR(db(std::abs(got)), db(std::abs(want)), 0.05) << rate << " Hz rate, capsule " << q << ", " << f << " Hz";
                EXPECT_NEAR(std::arg(got / want) * 180.0 / pi, 0.0, 0.5) << rate << " " << q << " " << f;
            }
        }
    }
}

TEST(ArraySimulator, StreamingConvolutionEqualsTheDirectFormWithTheDelayRemoved) {
    const double rate = 48000.0;
    const std::vector<Direction> dirs = {{90.0, 0.0}, {30.0, 200.0}};
    ArraySimulator sim(rate, dirs);
    const RigidSphere sphere;
    std::vector<CapsuleFirs> firs;
    for (const auto& d : dirs) firs.push_back(designCapsuleFirs(sphere, rate, d, defaultFirLength(rate)));
    const int frames = 1500;  // not a multiple of the block
    std::mt19937 rng(7);
    std::normal_distribution<float> noise;
    std::vector<std::vector<float>> src(dirs.size(), std::vector<float>(frames));
    for (auto& s : src)
        for (auto& v : s) v = noise(rng);
    std::vector<std::vector<float>> out(capsuleCount);
    std::int64_t pos = 0;
    ASSERT_TRUE(simulate(
        sim, frames,
        [&](float* const* o, int n) {
            for (std::size_t s = 0; s < src.size(); ++s)
                for (int i = 0; i < n; ++i) o[s][i] = src[s][static_cast<std::size_t>(pos + i)];
            pos += n;
        },
        [&](const float* const* caps, int n) {
            for (int q = 0; q < capsuleCount; ++q) out[static_cast<std::size_t>(q)].insert(out[static_cast<std::size_t>(q)].end(), caps[q], caps[q] + n);
            return true;
        }));
    const int delay = sim.bulkDelay_samples();
    for (int q : {0, 5, 31}) {
        ASSERT_EQ(out[static_cast<std::size_t>(q)].size(), static_cast<std::size_t>(frames));
        for (int n = 0; n < frames; n += 7) {
            double want = 0.0;
            for (std::size_t s = 0; s < src.size(); ++s) {
                const auto& h = firs[s].taps[static_cast<std::size_t>(q)];
                for (int k = 0; k < static_cast<int>(h.size()); ++k) {
                    const int i = n + delay - k;
                    if (i >= 0 && i < frames) want += h[static_cast<std::size_t>(k)] * src[s][static_cast<std::size_t>(i)];
                }
            }
            EXPECT_NEAR(out[static_cast<std::size_t>(q)][static_cast<std::size_t>(n)], want, 1e-5) << q << " " << n;
        }
    }
}

}  // namespace
}  // namespace qb32::tools
