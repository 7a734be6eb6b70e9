// The energy map against sound fields made from the standard library's
// spherical harmonics: plane waves peak at their own directions at their own
// level, and diffuse noise reads the same everywhere.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "editor/EnergyMap.h"
#include "tests/editor/EditorTestSupport.h"

namespace qb32::editor {
namespace {

constexpr double rate = 44100.0;
constexpr int frames = 16384;

struct Source {
    Direction direction;
    double rms;
};

// Modal components of uncorrelated white-noise plane waves: component k of a
// wave x(t) from s is x(t) Y_k(s).
std::vector<std::vector<float>> soundField(const std::vector<Source>& sources, unsigned seed) {
    std::vector<std::vector<float>> components(16, std::vector<float>(frames, 0.0f));
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    for (const Source& s : sources) {
        double y[16];
        for (int n = 0; n <= 3; ++n)
            for (int m = -n; m <= n; ++m)
                y[n * n + n + m] = testing::referenceHarmonic(n, m, s.direction.elevation_deg, s.direction.azimuth_deg);
        for (int i = 0; i < frames; ++i) {
            const double x = s.rms * noise(rng);
            for (int k = 0; k < 16; ++k) components[static_cast<std::size_t>(k)][static_cast<std::size_t>(i)] += static_cast<float>(x * y[k]);
        }
    }
    return components;
}

EnergyMap measured(const std::vector<std::vector<float>>& components) {
    EnergyMap map(rate);
    const float* channels[16];
    // In frames of a window's size, as the editor feeds it.
    for (int start = 0; start < frames; start += 2048) {
        for (int k = 0; k < 16; ++k) channels[k] = components[static_cast<std::size_t>(k)].data() + start;
        map.addFrames(channels, 2048);
        map.publish();
    }
    return map;
}

// White noise keeps the band's share of its power: 200 Hz - 8 kHz of 22.05 kHz.
double bandLevel_db(double rms) { return 10.0 * std::log10(rms * rms * (8000.0 - 200.0) / (rate / 2)); }

TEST(EnergyMap, APlaneWavePeaksAtItsDirectionAtItsLevel) {
    const Direction directions[] = {{90, 0}, {45, 100}, {12, 200}, {168, 359}, {120, 180}, {0, 0}, {180, 0}, {75, 271}};
    for (const Direction& d : directions) {
        const EnergyMap map = measured(soundField({{d, 0.1}}, 7));
        EXPECT_LE(angleBetween_deg(map.loudest(), d), 5.0) << d.elevation_deg << "/" << d.azimuth_deg;
        EXPECT_NEAR(map.powerAt_db(d), bandLevel_db(0.1), 1.0) << d.elevation_deg << "/" << d.azimuth_deg;
        // Elsewhere the map follows the order-3 beam of maximum directivity,
        // B(g) = sum (2n + 1) P_n(cos g) / 16: about 3 dB down 28 degrees off
        // axis, -12 dB straight behind.
        const Vector3 v = unitVector(d);
        const Direction opposite = directionOf({-v.x, -v.y, -v.z});
        const Direction offAxis = directionOf({v.x + 0.55 * (v.z > 0.9 || v.z < -0.9 ? 1.0 : -v.y), v.y + 0.55 * (v.z > 0.9 || v.z < -0.9 ? 0.0 : v.x), v.z});
        for (const Direction& e : {opposite, offAxis}) {
            const double g = angleBetween_deg(d, e) * std::numbers::pi / 180.0;
            double beam = 0.0;
            for (unsigned n = 0; n <= 3; ++n) beam += (2.0 * n + 1.0) * std::legendre(n, std::cos(g)) / 16.0;
            EXPECT_NEAR(map.powerAt_db(e) - map.powerAt_db(d), 20.0 * std::log10(std::fabs(beam)), 0.6)
                << d.elevation_deg << "/" << d.azimuth_deg << " at " << angleBetween_deg(d, e) << " degrees";
        }
    }
}

TEST(EnergyMap, TwoSourcesGiveTwoPeaks) {
    const struct {
        Direction a, b;
    } cases[] = {{{90, 30}, {60, 200}}, {{40, 350}, {130, 10}}, {{80, 140}, {100, 230}}, {{20, 90}, {150, 270}}};
    for (const auto& c : cases) {
        const EnergyMap map = measured(soundField({{c.a, 0.1}, {c.b, 0.07}}, 11));
        const auto peaks = map.peaks(9.0f, 2);
        ASSERT_EQ(peaks.size(), 2u) << c.a.elevation_deg << "/" << c.a.azimuth_deg << " loudest " << map.loudest().elevation_deg << "/" << map.loudest().azimuth_deg;
        for (const Direction& source : {c.a, c.b}) {
            const double nearest = std::min(angleBetween_deg(peaks[0], source), angleBetween_deg(peaks[1], source));
            EXPECT_LE(nearest, 5.0) << source.elevation_deg << "/" << source.azimuth_deg;
        }
        EXPECT_LE(angleBetween_deg(peaks[0], c.a), 5.0) << "the louder source is the loudest peak";
    }
}

TEST(EnergyMap, DiffuseNoiseIsFlat) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<Source> sources;
    for (int i = 0; i < 600; ++i)  // directions uniform over the sphere
        sources.push_back({{std::acos(1.0 - 2.0 * uniform(rng)) * 180.0 / std::numbers::pi, 360.0 * uniform(rng)}, 0.02});
    const EnergyMap map = measured(soundField(sources, 5));
    float lowest = 1e9f, highest = -1e9f;
    for (int r = 0; r < EnergyMap::rows; ++r)
        for (int c = 0; c < EnergyMap::columns; ++c) {
            lowest = std::min(lowest, map.power_db(r, c));
            highest = std::max(highest, map.power_db(r, c));
        }
    EXPECT_LT(highest - lowest, 3.0f);
    // Each direction hears every source through the beam: on average the
    // total power over the beam's directivity (16 for order 3).
    EXPECT_NEAR(0.5 * (highest + lowest), bandLevel_db(0.02 * std::sqrt(600.0 / 16.0)), 1.5);
}

TEST(EnergyMap, SilenceAndTheBandEdges) {
    // Silence stays at the floor; a tone far outside the band is rejected.
    EnergyMap map(rate);
    std::vector<std::vector<float>> components(16, std::vector<float>(frames, 0.0f));
    const float* channels[16];
    for (int k = 0; k < 16; ++k) channels[k] = components[static_cast<std::size_t>(k)].data();
    map.addFrames(channels, frames);
    map.publish();
    EXPECT_EQ(map.loudest_db(), EnergyMap::floor_db);
    const struct {
        double frequency_hz;
        double below_db;  // attenuation at least
    } tones[] = {{30.0, 40.0}, {18000.0, 20.0}, {1000.0, -0.5}};
    for (const auto& tone : tones) {
        EnergyMap m(rate);
        for (int i = 0; i < frames; ++i)
            components[0][static_cast<std::size_t>(i)] =
                static_cast<float>(std::sin(2.0 * std::numbers::pi * tone.frequency_hz * i / rate) / std::sqrt(4 * std::numbers::pi));
        m.addFrames(channels, frames);
        m.publish();
        // Component 0 alone: an omnidirectional field of RMS 1/sqrt(2).
        EXPECT_LT(m.loudest_db(), 10.0 * std::log10(0.5) - tone.below_db + 0.5) << tone.frequency_hz;
    }
}

}  // namespace
}  // namespace qb32::editor
