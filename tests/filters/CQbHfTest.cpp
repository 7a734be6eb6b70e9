// CQbHf, the high-band capsule beam: region choice, region fades across
// blocks, mode changes while running, block-size independence, statuses and
// real-time behaviour.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <vector>

#include "filters/CMbf.h"
#include "filters/CQbHf.h"
#include "filters/tables/RegionTables.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/Reference.h"
#include "tests/support/SimdLevels.h"

namespace qb32 {
namespace {

constexpr int capsules = 32;
constexpr int maxBlock = 512;
constexpr float rate_hz = 44100.0f;

struct Direction {
    int theta_deg;
    int phi_deg;
};

// A beam stage with the fixed track buffers of its CMbf, and a signal to feed.
struct Rig {
    CQbHf hf;
    std::array<int, maxBlock> elevationTrack{};
    std::array<int, maxBlock> azimuthTrack{};
    std::vector<std::vector<float>> inputs;  // 32 capsule signals
    std::vector<int> elevation, azimuth;     // per sample of the whole run
    std::vector<std::vector<float>> weights; // per capsule, per sample (captured)
    std::size_t blockAllocations = 0;        // made by beforeBlock and process

    explicit Rig(int samples, int mode = 1) {
        EXPECT_EQ(hf.configure(timeDomainStream(capsules, rate_hz, maxBlock),
                               timeDomainStream(1, rate_hz, maxBlock)), 0);
        EXPECT_EQ(hf.setMode(mode), 0);
        EXPECT_EQ(hf.start(), 0);
        hf.setElevationSource(elevationTrack.data());
        hf.setAzimuthSource(azimuthTrack.data());
        for (int c = 0; c < capsules; ++c)
            inputs.push_back(testing::whiteNoise(static_cast<std::size_t>(samples), 100u + static_cast<unsigned>(c)));
        elevation.assign(static_cast<std::size_t>(samples), 90);
        azimuth.assign(static_cast<std::size_t>(samples), 0);
    }

    void look(int from, Direction d) {
        std::fill(elevation.begin() + from, elevation.end(), d.theta_deg);
        std::fill(azimuth.begin() + from, azimuth.end(), d.phi_deg);
    }

    // Runs the whole signal in the given blocks (repeated as needed); calls
    // beforeBlock(offset) ahead of each block.
    std::vector<float> run(const std::vector<int>& blocks,
                           const std::function<void(int)>& beforeBlock = {}) {
        const int n = static_cast<int>(elevation.size());
        std::vector<float> out(static_cast<std::size_t>(n), 0.0f);
        weights.assign(capsules, std::vector<float>(static_cast<std::size_t>(n), 0.0f));
        int offset = 0;
        for (std::size_t b = 0; offset < n; ++b) {
            const int frames = std::min(blocks[b % blocks.size()], n - offset);
            std::copy_n(elevation.begin() + offset, frames, elevationTrack.begin());
            std::copy_n(azimuth.begin() + offset, frames, azimuthTrack.begin());
            std::array<const float*, capsules> in{};
            for (int c = 0; c < capsules; ++c) in[static_cast<std::size_t>(c)] = inputs[static_cast<std::size_t>(c)].data() + offset;
            float* o = out.data() + offset;
            int result = 0;
            {
                testing::AllocationScope scope;
                if (beforeBlock) beforeBlock(offset);
                result = hf.process(in.data(), &o, frames);
                blockAllocations += scope.allocations();
            }
            EXPECT_EQ(result, 0);
            for (int c = 0; c < capsules; ++c)
                std::copy_n(hf.capsuleWeightsOf(c), frames, weights[static_cast<std::size_t>(c)].begin() + offset);
            offset += frames;
        }
        return out;
    }

    float weightSum(int i) const {
        float s = 0.0f;
        for (const auto& w : weights) s += w[static_cast<std::size_t>(i)];
        return s;
    }
};

std::vector<int> regionCapsules(int mode, Direction d) {
    const int index = d.theta_deg * regionMapColumns + d.phi_deg;
    if (mode == 1) return {nearestCapsuleMap[index]};
    const int t = capsuleTriangleMap[index];
    return {triangleVertices[t], triangleVertices[t + meshTriangleCount],
            triangleVertices[t + 2 * meshTriangleCount]};
}

TEST(CQbHf, SteadyDirectionOutputsItsRegion) {
    struct Case { int mode; Direction d; std::vector<int> expected; };
    const std::vector<Case> cases = {
        {1, {90, 0}, {0}},          {1, {0, 0}, {12}},          {1, {180, 77}, {15}},
        {1, {90, 90}, {6}},         {2, {0, 0}, {4, 28, 12}},   {2, {90, 0}, {0, 1, 2}},
        {2, {45, 0}, {11, 0, 4}},   {2, {180, 0}, {24, 15, 31}},
    };
    for (const Case& c : cases) {
        Rig rig(1500, c.mode);
        rig.look(0, c.d);
        const std::vector<float> out = rig.run({512, 100, 37});
        for (std::size_t i = 0; i < out.size(); ++i) {
            double mean = 0.0;
            for (int k : c.expected) mean += rig.inputs[static_cast<std::size_t>(k)][i];
            mean /= static_cast<double>(c.expected.size());
            if (c.mode == 1)
                ASSERT_EQ(out[i], rig.inputs[static_cast<std::size_t>(c.expected[0])][i]) << i;  // bit exact
            else
                ASSERT_NEAR(out[i], mean, 1e-6) << c.d.theta_deg << '/' << c.d.phi_deg << " sample " << i;
        }
    }
}

TEST(CQbHf, RampIsDecibelLinearOver250Milliseconds) {
    Rig rig(1);
    const int L = rig.hf.getSwitchRampLength();
    ASSERT_EQ(L, 11025);
    const float* ramp = rig.hf.getSwitchRamp();
    EXPECT_EQ(ramp[0], 1.0f);
    for (int j = 0; j < L; j += 7) {
        const double expected = std::pow(10.0, -2.0 * j / (L - 1));
        ASSERT_NEAR(ramp[j], expected, 2e-6 * expected) << j;
    }
    EXPECT_NEAR(ramp[L - 1], 0.01, 1e-8);

    CQbHf other;
    ASSERT_EQ(other.configure(timeDomainStream(32, 48000.0f, 64), timeDomainStream(1, 48000.0f, 64)), 0);
    EXPECT_EQ(other.getSwitchRampLength(), 12000);
}

// A region change at sample `start`: from there the new capsules follow the
// ramp for exactly L samples, the old ones its complement, and the weights
// add up to verticesPerRegion at every sample, whatever the block sizes.
TEST(CQbHf, RegionFadeFollowsTheRampAcrossBlocks) {
    struct Case { int mode; Direction from, to; std::vector<int> blocks; };
    const std::vector<Case> cases = {
        {1, {90, 0}, {90, 90}, {512}},
        {1, {90, 0}, {0, 0}, {1, 63, 200}},
        {2, {90, 0}, {0, 0}, {512}},
        {2, {90, 0}, {0, 0}, testing::randomBlockSizes(20000, maxBlock, 7)},
        {2, {90, 45}, {90, 0}, {64}},  // triangles 11 -> 16 share capsule 1
        // Steady blocks shorter and longer than the one before: the weights
        // a steady block leaves in place must still be right.
        {2, {45, 0}, {180, 0}, {200, 37, 512, 5, 100}},
    };
    constexpr int start = 300;
    for (const Case& c : cases) {
        Rig rig(start + 11025 + 700, c.mode);
        rig.look(0, c.from);
        rig.look(start, c.to);
        const int L = rig.hf.getSwitchRampLength();
        const float* ramp = rig.hf.getSwitchRamp();
        const float vertices = c.mode == 1 ? 1.0f : 3.0f;
        rig.run(c.blocks);

        const std::vector<int> before = regionCapsules(c.mode, c.from);
        const std::vector<int> after = regionCapsules(c.mode, c.to);
        auto in = [](const std::vector<int>& set, int k) { return std::find(set.begin(), set.end(), k) != set.end(); };
        for (int i = 0; i < static_cast<int>(rig.elevation.size()); ++i) {
            ASSERT_NEAR(rig.weightSum(i), vertices, 2e-6f) << "sample " << i;
            for (int k = 0; k < capsules; ++k) {
                const float w = rig.weights[static_cast<std::size_t>(k)][static_cast<std::size_t>(i)];
                float expected = 0.0f;
                if (i < start) {
                    expected = in(before, k) ? 1.0f : 0.0f;
                } else if (i >= start + L) {
                    expected = in(after, k) ? 1.0f : 0.0f;
                } else {
                    const float g = ramp[L - 1 - (i - start)];
                    if (in(after, k)) expected += g;
                    if (in(before, k)) expected += 1.0f - g;
                }
                ASSERT_NEAR(w, expected, 1e-6f) << "capsule " << k << " sample " << i;
            }
        }
    }
}

TEST(CQbHf, DirectionChangesDuringAFadeWaitForItsEnd) {
    constexpr int start = 100;
    Rig rig(start + 2 * 11025 + 500, 2);
    rig.look(start, {0, 0});              // triangle 3 (4, 28, 12)
    rig.look(start + 1000, {90, 90});     // elsewhere while fading...
    rig.look(start + 2000, {0, 0});       // ...and back: no second fade
    rig.look(start + 5000, {180, 0});     // triangle 23 (24, 15, 31), still during the fade
    rig.run({512});
    const int L = rig.hf.getSwitchRampLength();
    const float* ramp = rig.hf.getSwitchRamp();
    auto w = [&](int capsule, int i) { return rig.weights[static_cast<std::size_t>(capsule)][static_cast<std::size_t>(i)]; };
    for (int i = start; i < start + L; ++i) {
        ASSERT_NEAR(w(28, i), ramp[L - 1 - (i - start)], 1e-7f) << i;
        ASSERT_EQ(w(6, i), 0.0f) << i;   // the (90, 90) region never fades in
        ASSERT_EQ(w(31, i), 0.0f) << i;
    }
    // Then a fade from triangle 3 to triangle 23 starts right away.
    EXPECT_NEAR(w(31, start + L), ramp[L - 1], 1e-7f);
    EXPECT_NEAR(w(28, start + L), 1.0f - ramp[L - 1], 1e-6f);
    EXPECT_NEAR(w(31, start + 2 * L - 1), 1.0f, 1e-7f);
    EXPECT_EQ(w(28, start + 2 * L + 10), 0.0f);
}

void blockSizesGiveTheSameHighBand() {
    for (int mode : {1, 2}) {
        const int n = 40000;
        Rig reference(n, mode);
        // A wandering direction: one degree per 100 samples or jumps, as the
        // tracks of a gliding beam and of automation would give.
        std::uint32_t state = 12345u;
        int theta = 90, phi = 0;
        for (int i = 0; i < n; ++i) {
            state = state * 1664525u + 1013904223u;
            if (i % 100 == 0) {
                theta = std::clamp(theta + static_cast<int>((state >> 8) % 3) - 1, 0, 180);
                phi = (phi + static_cast<int>((state >> 12) % 3) + 359) % 360;
            }
            if ((state >> 20) % 4000 == 0) theta = static_cast<int>((state >> 4) % 181);
            reference.elevation[static_cast<std::size_t>(i)] = theta;
            reference.azimuth[static_cast<std::size_t>(i)] = phi;
        }
        const std::vector<float> expected = reference.run({512});
        for (const std::vector<int>& blocks : {std::vector<int>{1}, std::vector<int>{64},
                                               testing::randomBlockSizes(n, maxBlock, 3)}) {
            Rig rig(n, mode);
            rig.elevation = reference.elevation;
            rig.azimuth = reference.azimuth;
            EXPECT_EQ(rig.run(blocks), expected) << "mode " << mode << ", first block " << blocks[0];
        }
    }
}

TEST(CQbHf, OutputDoesNotDependOnBlockSizes) {
    testing::atEveryLevel(blockSizesGiveTheSameHighBand);
}

// Mode changes between 1 and 2 while running: no stop, a fade from the old
// region's capsules to the new mode's region, the level of a signal common
// to all capsules unchanged throughout.
TEST(CQbHf, ChangeModeWhileRunningCrossesWithoutAStep) {
    struct Case { int from, to; Direction d; };
    for (const Case c : {Case{1, 2, {90, 0}}, Case{2, 1, {90, 0}}, Case{1, 2, {30, 200}},
                         Case{2, 1, {123, 77}}}) {
        const int n = 3 * 512 + 11025 + 1000;
        Rig rig(n, c.from);
        rig.look(0, c.d);
        const std::vector<float> common = testing::whiteNoise(static_cast<std::size_t>(n), 9u);
        for (auto& s : rig.inputs) s = common;
        const int switchAt = 3 * 512;
        const std::vector<float> out = rig.run({512}, [&](int offset) {
            if (offset == switchAt) {
                ASSERT_EQ(rig.hf.changeMode(c.to), 0);
                EXPECT_TRUE(rig.hf.isActive());
            }
        });
        EXPECT_EQ(rig.hf.getMode(), c.to);
        const float vertices = c.to == 1 ? 1.0f : 3.0f;
        // The old set's weights count in the new mode's gain: x3 from mode 1
        // to mode 2, x1/3 the other way.
        const float outScale = c.to == 1 ? 1.0f / 3.0f : 3.0f;
        const float* ramp = rig.hf.getSwitchRamp();
        const int L = rig.hf.getSwitchRampLength();
        const std::vector<int> before = regionCapsules(c.from, c.d);
        const std::vector<int> after = regionCapsules(c.to, c.d);
        auto in = [](const std::vector<int>& set, int k) { return std::find(set.begin(), set.end(), k) != set.end(); };
        for (int i = 0; i < n; ++i) {
            ASSERT_NEAR(out[static_cast<std::size_t>(i)], common[static_cast<std::size_t>(i)], 2e-6f) << i;
            if (i < switchAt) continue;
            ASSERT_NEAR(rig.weightSum(i), vertices, 5e-6f) << i;
            const float g = i < switchAt + L ? ramp[L - 1 - (i - switchAt)] : 1.0f;
            for (int k = 0; k < capsules; ++k) {
                float expected = 0.0f;
                if (in(after, k)) expected += g;
                if (in(before, k)) expected += (1.0f - g) * outScale;
                ASSERT_NEAR(rig.weights[static_cast<std::size_t>(k)][static_cast<std::size_t>(i)], expected, 2e-6f)
                    << "capsule " << k << " sample " << i;
            }
        }
        // After the fade: exactly the new mode's steady output.
        for (int i = switchAt + L; i < n; ++i)
            for (int k = 0; k < capsules; ++k)
                ASSERT_EQ(rig.weights[static_cast<std::size_t>(k)][static_cast<std::size_t>(i)],
                          std::find(after.begin(), after.end(), k) != after.end() ? 1.0f : 0.0f);
    }
}

TEST(CQbHf, ChangeModeRules) {
    Rig rig(4000, 1);
    rig.look(0, {90, 0});
    rig.run({512});
    const int region = rig.hf.getCurrentRegion();
    // Same mode: nothing happens.
    EXPECT_EQ(rig.hf.changeMode(1), 0);
    EXPECT_TRUE(rig.hf.isActive());
    EXPECT_EQ(rig.hf.getCurrentRegion(), region);
    // Back and forth before a block runs: the request is withdrawn.
    EXPECT_EQ(rig.hf.changeMode(2), 0);
    EXPECT_EQ(rig.hf.getMode(), 1);
    EXPECT_EQ(rig.hf.getRequestedMode(), 2);
    EXPECT_EQ(rig.hf.changeMode(1), 0);
    EXPECT_EQ(rig.hf.getRequestedMode(), 1);
    // Bad modes change nothing.
    EXPECT_EQ(rig.hf.changeMode(3), CQbHf::unknownMode);
    EXPECT_EQ(rig.hf.changeMode(-1), CQbHf::unknownMode);
    EXPECT_EQ(rig.hf.getMode(), 1);
    // A pending change with no region to fade from (after reset) is immediate.
    EXPECT_EQ(rig.hf.changeMode(2), 0);
    rig.hf.reset();
    EXPECT_EQ(rig.hf.getMode(), 2);
    // To and from mode 0 it is setMode: it stops the block.
    EXPECT_EQ(rig.hf.changeMode(0), 0);
    EXPECT_FALSE(rig.hf.isActive());
    EXPECT_EQ(rig.hf.getMode(), 0);
    rig.hf.start();
    EXPECT_EQ(rig.hf.changeMode(2), 0);
    EXPECT_FALSE(rig.hf.isActive());
    EXPECT_EQ(rig.hf.getMode(), 2);
}

TEST(CQbHf, ChangeModeDuringARegionFadeWaitsForItsEnd) {
    const int n = 4 * 11025;
    Rig rig(n, 2);
    rig.look(0, {90, 0});
    rig.look(1000, {0, 0});  // region fade from sample 1000 to 12025
    int appliedAt = -1;
    rig.run({512}, [&](int offset) {
        if (offset == 2048) {
            EXPECT_EQ(rig.hf.changeMode(1), 0);
        }
        if (appliedAt < 0 && rig.hf.getMode() == 1) appliedAt = offset;
    });
    // The mode change begins its own fade on the first sample after the
    // region fade, 12025, in the middle of the block 11776..12287.
    ASSERT_GE(appliedAt, 0);
    EXPECT_EQ(appliedAt, 12288);  // the mode is seen changed before the block after it
    // From triangle 3 (4, 28, 12) to capsule 12, nearest the zenith; the
    // fading-out capsules carry one third each, in mode 1's gain.
    const float* ramp = rig.hf.getSwitchRamp();
    EXPECT_NEAR(rig.weights[4][12024], 1.0f, 1e-6f);
    EXPECT_NEAR(rig.weights[4][12025], (1.0f - ramp[11024]) / 3.0f, 1e-7f);
    EXPECT_NEAR(rig.weights[12][12025], ramp[11024] + (1.0f - ramp[11024]) / 3.0f, 1e-7f);
    EXPECT_NEAR(rig.weightSum(12025), 1.0f, 1e-6f);
    EXPECT_NEAR(rig.weightSum(12025 + 5000), 1.0f, 1e-6f);
}

// Where the fade that a mode change waits for ends inside a block, the
// change must not wait for the next block: the output would then depend on
// the host's block sizes (a 250 ms crossfade starting up to a block late).
TEST(CQbHf, ModeChangeAfterAFadeGivesTheSameOutputForAnyBlockSizes) {
    const int n = 3 * 11025;
    std::vector<std::vector<float>> outputs;
    for (const std::vector<int>& blocks : std::vector<std::vector<int>>{{512}, {1}, {37, 300, 5, 64}}) {
        Rig rig(n, 2);
        rig.look(0, {90, 0});
        rig.look(1000, {0, 0});
        outputs.push_back(rig.run(blocks, [&](int offset) {
            if (offset >= 1024 && rig.hf.getRequestedMode() == 2) {
                EXPECT_EQ(rig.hf.changeMode(1), 0);
            }
        }));
    }
    // Every run asks for the change during the region fade (by sample 1536),
    // so every run must cross over at 12025, where the fade ends.
    EXPECT_EQ(outputs[0], outputs[1]);
    EXPECT_EQ(outputs[0], outputs[2]);
}

TEST(CQbHf, OutOfRangeAnglesAreClampedAndWrapped) {
    struct Case { Direction raw, reduced; };
    for (const Case c : {Case{{-5, 0}, {0, 0}}, Case{{200, 10}, {180, 10}}, Case{{90, -1}, {90, 359}},
                         Case{{90, 360}, {90, 0}}, Case{{45, 1000}, {45, 280}}, Case{{90, -721}, {90, 359}}}) {
        Rig rig(600, 2);
        rig.look(0, c.raw);
        const std::vector<float> out = rig.run({512});
        const std::vector<int> expected = regionCapsules(2, c.reduced);
        for (int k : expected) EXPECT_EQ(rig.weights[static_cast<std::size_t>(k)][599], 1.0f) << c.raw.theta_deg << '/' << c.raw.phi_deg;
        EXPECT_NEAR(rig.weightSum(599), 3.0f, 1e-6f);
    }
}

TEST(CQbHf, Statuses) {
    const vkAudioInterface in32 = timeDomainStream(32, rate_hz, 64);
    const vkAudioInterface out1 = timeDomainStream(1, rate_hz, 64);
    auto frequency = in32;
    frequency.domain = vkAudioInterface::frequencyDomain;
    auto noFlag = out1;
    noFlag.formatFlag = false;
    struct ConfigureCase { const char* what; vkAudioInterface in, out; int expected; };
    const std::vector<ConfigureCase> configureCases = {
        {"time domain 32 -> 1", in32, out1, 0},
        {"frequency-domain input", frequency, out1, 2},
        {"format flag clear", in32, noFlag, 2},
        {"rates differ", in32, timeDomainStream(1, 48000.0f, 64), 2},
        {"rates differ slightly", in32, timeDomainStream(1, std::nextafter(rate_hz, 1e9f), 64), 2},
        {"frame counts differ", in32, timeDomainStream(1, rate_hz, 65), 2},
        {"16 channels", timeDomainStream(16, rate_hz, 64), out1, 0},
    };
    for (const auto& c : configureCases) {
        CQbHf hf;
        EXPECT_EQ(hf.configure(c.in, c.out), c.expected) << c.what;
    }

    CQbHf hf;
    ASSERT_EQ(hf.configure(in32, out1), 0);
    hf.start();
    EXPECT_EQ(hf.configure(in32, out1), status::blockActive);
    EXPECT_EQ(hf.setMode(7), CQbHf::unknownMode);
    EXPECT_TRUE(hf.isActive());  // refused: nothing changed
    EXPECT_EQ(hf.setMode(2), 0);
    EXPECT_FALSE(hf.isActive());  // setMode ends in stop

    // 16 inputs: modes 1 and 2 refused, mode kept.
    CQbHf narrow;
    ASSERT_EQ(narrow.configure(timeDomainStream(16, rate_hz, 64), out1), 0);
    EXPECT_EQ(narrow.setMode(2), CQbHf::needs32Inputs);
    EXPECT_EQ(narrow.changeMode(1), CQbHf::needs32Inputs);
    EXPECT_EQ(narrow.getMode(), 0);

    // process: mode 0 leaves the output alone; no sources, no ramp, too many
    // frames are refused with the output untouched.
    std::vector<std::vector<float>> signals(32, std::vector<float>(65, 0.5f));
    std::array<const float*, 32> inputs{};
    for (int c = 0; c < 32; ++c) inputs[static_cast<std::size_t>(c)] = signals[static_cast<std::size_t>(c)].data();
    std::vector<float> output(65, 7.0f);
    float* o = output.data();
    std::array<int, 65> track{};
    auto untouched = [&] { return std::all_of(output.begin(), output.end(), [](float v) { return v == 7.0f; }); };

    CQbHf off;
    ASSERT_EQ(off.configure(in32, out1), 0);
    off.setElevationSource(track.data());
    off.setAzimuthSource(track.data());
    EXPECT_EQ(off.process(inputs.data(), &o, 64), 0);
    EXPECT_TRUE(untouched());

    EXPECT_EQ(hf.process(inputs.data(), &o, 64), CQbHf::notReady);  // no angle sources
    EXPECT_TRUE(untouched());
    hf.setElevationSource(track.data());
    EXPECT_EQ(hf.process(inputs.data(), &o, 64), CQbHf::notReady);  // azimuth still missing
    hf.setAzimuthSource(track.data());
    EXPECT_EQ(hf.process(inputs.data(), &o, 65), status::unsupportedStream);
    EXPECT_TRUE(untouched());
    EXPECT_EQ(hf.process(inputs.data(), &o, 64), 0);
    EXPECT_FLOAT_EQ(output[0], 0.5f);
    EXPECT_EQ(output[64], 7.0f);

    // Reconfigured to 16 inputs with mode 2 still set: refused, nothing read.
    ASSERT_EQ(hf.configure(timeDomainStream(16, rate_hz, 64), out1), 0);
    EXPECT_EQ(hf.getMode(), 2);
    std::fill(output.begin(), output.end(), 7.0f);
    EXPECT_EQ(hf.process(inputs.data(), &o, 64), CQbHf::notReady);
    EXPECT_TRUE(untouched());

    CQbHf noRamp;  // sample rate 0: no ramp can be built
    ASSERT_EQ(noRamp.configure(timeDomainStream(32, 0.0f, 64), timeDomainStream(1, 0.0f, 64)), 0);
    EXPECT_EQ(noRamp.getSwitchRampLength(), 0);
    ASSERT_EQ(noRamp.setMode(1), 0);
    noRamp.setElevationSource(track.data());
    noRamp.setAzimuthSource(track.data());
    std::fill(output.begin(), output.end(), 7.0f);
    EXPECT_EQ(noRamp.process(inputs.data(), &o, 64), CQbHf::notReady);
    EXPECT_TRUE(untouched());
}

TEST(CQbHf, ConfigureReportsAllocationFailures) {
    int failures = 0;
    for (std::size_t n = 1; n < 64; ++n) {
        CQbHf hf;
        int result = 0;
        bool refused = false;
        {
            testing::AllocationFailureScope fail(n);
            result = hf.configure(timeDomainStream(32, rate_hz, 128), timeDomainStream(1, rate_hz, 128));
            refused = fail.refusedAny();
        }
        if (!refused) {
            EXPECT_EQ(result, 0);
            break;
        }
        ++failures;
        EXPECT_EQ(result, status::allocationFailed) << "allocation " << n;
        // Unusable but safe: processing refuses.
        std::array<int, 128> track{};
        hf.setElevationSource(track.data());
        hf.setAzimuthSource(track.data());
        if (hf.setMode(1) == 0) {
            std::vector<float> zeros(128, 0.0f), out(128, 3.0f);
            std::array<const float*, 32> in{};
            in.fill(zeros.data());
            float* o = out.data();
            EXPECT_EQ(hf.process(in.data(), &o, 128), CQbHf::notReady);
        }
    }
    EXPECT_GT(failures, 30);  // every buffer's allocation was refused once
}

// Linked to a real CMbf as the front end links them: the high band follows
// the gliding direction sample by sample, fading where the track first enters
// another capsule's region.
TEST(CQbHf, FollowsTheTracksOfItsModalBeamformer) {
    CMbf mbf;
    ASSERT_EQ(mbf.configure(timeDomainStream(16, rate_hz, maxBlock), timeDomainStream(1, rate_hz, maxBlock)), 0);
    mbf.setTargetElevation(90);
    mbf.setTargetAzimuth(0);
    ASSERT_EQ(mbf.start(), 0);
    CQbHf hf;
    ASSERT_EQ(hf.configure(timeDomainStream(32, rate_hz, maxBlock), timeDomainStream(1, rate_hz, maxBlock)), 0);
    ASSERT_EQ(hf.setMode(1), 0);
    hf.setElevationSource(mbf.elevationTrackData());
    hf.setAzimuthSource(mbf.azimuthTrackData());

    const int blocks = 80;
    std::vector<float> silence(maxBlock, 0.0f), low(maxBlock), high(maxBlock);
    std::array<const float*, 16> modal{};
    modal.fill(silence.data());
    std::vector<std::vector<float>> capsuleSignals;
    std::array<const float*, capsules> in{};
    for (int c = 0; c < capsules; ++c) {
        capsuleSignals.push_back(testing::whiteNoise(maxBlock, 40u + static_cast<unsigned>(c)));
        in[static_cast<std::size_t>(c)] = capsuleSignals.back().data();
    }
    std::vector<int> azimuthTrack;
    std::vector<float> weightOf1, weightOf6;
    for (int b = 0; b < blocks; ++b) {
        if (b == 1) mbf.setTargetAzimuth(90);
        float* lowOut = low.data();
        float* highOut = high.data();
        ASSERT_EQ(mbf.process(modal.data(), &lowOut, maxBlock), 0);
        ASSERT_EQ(hf.process(in.data(), &highOut, maxBlock), 0);
        azimuthTrack.insert(azimuthTrack.end(), mbf.azimuthTrackData(), mbf.azimuthTrackData() + maxBlock);
        weightOf1.insert(weightOf1.end(), hf.capsuleWeightsOf(1), hf.capsuleWeightsOf(1) + maxBlock);
        weightOf6.insert(weightOf6.end(), hf.capsuleWeightsOf(6), hf.capsuleWeightsOf(6) + maxBlock);
    }
    // Capsule 1 fades in from the first sample whose track angle is nearest
    // to it; capsule 6 from the first sample after that fade that is nearest
    // to capsule 6.
    auto nearest = [&](std::size_t i) { return nearestCapsuleMap[90 * regionMapColumns + azimuthTrack[i]]; };
    std::size_t enter1 = 0;
    while (nearest(enter1) != 1) ++enter1;
    const float* ramp = hf.getSwitchRamp();
    const auto L = static_cast<std::size_t>(hf.getSwitchRampLength());
    EXPECT_EQ(weightOf1[enter1 - 1], 0.0f);
    EXPECT_EQ(weightOf1[enter1], ramp[L - 1]);
    std::size_t enter6 = enter1 + L;
    while (nearest(enter6) != 6) ++enter6;
    EXPECT_EQ(weightOf6[enter6 - 1], 0.0f);
    EXPECT_EQ(weightOf6[enter6], ramp[L - 1]);
    // At the end the glide has arrived at 90 degrees and the fade is over:
    // the output is capsule 6 alone.
    EXPECT_EQ(mbf.getCurrentAzimuth(), 90);
    ASSERT_LT(enter6 + L, static_cast<std::size_t>(blocks - 1) * maxBlock);
    for (int i = 0; i < maxBlock; ++i) ASSERT_EQ(high[static_cast<std::size_t>(i)], capsuleSignals[6][static_cast<std::size_t>(i)]);
}

TEST(CQbHf, RealTimeOperationsDoNotAllocate) {
    Rig rig(3 * 11025, 2);
    rig.look(700, {0, 0});
    rig.look(20000, {90, 0});
    int failures = 0;
    rig.run({512}, [&](int offset) {
        if (offset == 5120) failures += rig.hf.changeMode(1) != 0;
        if (offset == 25600) failures += rig.hf.changeMode(2) != 0;
        if (offset == 30720) {
            rig.hf.reset();
            failures += rig.hf.setMode(2) != 0;
            failures += rig.hf.stop() != 0;
            failures += rig.hf.start() != 0;
        }
    });
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(rig.blockAllocations, 0u);
}

}  // namespace
}  // namespace qb32
