// The channel-order check on simulated recordings (right order, swapped
// pairs, shifted channels, a rotated array, mismatched capsules), against the
// rigid-sphere prediction; channel maps; and the check from the command line.

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "tests/tools/ToolsTestSupport.h"
#include "tools/array/ChannelOrder.h"

namespace qb32::tools {
namespace {

using namespace qb32::tools::testing;

constexpr double rate = 48000.0;

// Independent noise from each direction.
Channels noiseScene(const std::vector<Direction>& directions, int frames, unsigned seed) {
    std::vector<std::vector<float>> signals(directions.size(), std::vector<float>(static_cast<std::size_t>(frames)));
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    for (auto& s : signals)
        for (auto& v : s) v = noise(rng);
    return simulateScene(rate, directions, frames,
                         [&](int s, int n) { return signals[static_cast<std::size_t>(s)][static_cast<std::size_t>(n)]; });
}

// Nearly uniform directions: a diffuse field when each carries its own noise.
std::vector<Direction> lattice(int count) {
    std::vector<Direction> d;
    const double golden = std::numbers::pi * (3.0 - std::sqrt(5.0));
    for (int i = 0; i < count; ++i) {
        const double z = 1.0 - (2.0 * i + 1.0) / count;
        d.push_back({std::acos(z) * 180.0 / std::numbers::pi, std::fmod(golden * i, 2.0 * std::numbers::pi) * 180.0 / std::numbers::pi});
    }
    return d;
}

// The recording's channel c carries capsule order[c].
OrderCheck judge(const Channels& capsules, const std::vector<int>& order) {
    SpatialCovariance statistics(rate);
    std::vector<const float*> channels;
    for (int c = 0; c < 32; ++c) channels.push_back(capsules[static_cast<std::size_t>(order[static_cast<std::size_t>(c)])].data());
    statistics.add(channels.data(), static_cast<std::int64_t>(capsules[0].size()));
    OrderCheck result;
    std::string error;
    EXPECT_TRUE(judgeChannelOrder(statistics, {}, result, error)) << error;
    return result;
}

std::vector<int> identity() {
    std::vector<int> o(32);
    for (int c = 0; c < 32; ++c) o[static_cast<std::size_t>(c)] = c;
    return o;
}
std::vector<int> swapped(int a, int b) {
    auto o = identity();
    std::swap(o[static_cast<std::size_t>(a)], o[static_cast<std::size_t>(b)]);
    return o;
}
std::vector<int> shifted(int by) {
    std::vector<int> o(32);
    for (int c = 0; c < 32; ++c) o[static_cast<std::size_t>(c)] = ((c + by) % 32 + 32) % 32;
    return o;
}

// The suggested map undoes the disorder: it reads capsule q from the channel
// that carries it.
void expectUndoes(const OrderCheck& r, const std::vector<int>& order, const std::string& what) {
    ASSERT_EQ(r.suggestedMap.size(), 32u) << what;
    for (int q = 0; q < 32; ++q) EXPECT_EQ(order[static_cast<std::size_t>(r.suggestedMap[static_cast<std::size_t>(q)])], q) << what << ", capsule " << q;
}

TEST(ChannelOrder, DiffuseFieldLeavesThePredictedResidualAndShowsEverySwap) {
    const Channels diffuse = noiseScene(lattice(48), 24000, 3);
    const OrderCheck right = judge(diffuse, identity());
    // The residual of the simulated field against the rigid-sphere model's
    // diffuse-field figure, computed from the modal series alone.
    EXPECT_NEAR(right.residual, right.expected, 0.2 * right.expected);
    EXPECT_GT(right.expected, 1e-4);
    EXPECT_EQ(right.verdict, OrderCheck::matches);
    for (auto [a, b] : std::vector<std::pair<int, int>>{{0, 1}, {12, 13}, {4, 11}, {30, 31}, {0, 16}, {7, 25}}) {
        const std::string what = "swap " + std::to_string(a) + "-" + std::to_string(b);
        const OrderCheck r = judge(diffuse, swapped(a, b));
        EXPECT_EQ(r.verdict, OrderCheck::mismatch) << what;
        EXPECT_EQ(r.hint, "capsules " + std::to_string(a) + " and " + std::to_string(b) + " look swapped (channels " +
                              std::to_string(a + 1) + " and " + std::to_string(b + 1) + ")");
        expectUndoes(r, swapped(a, b), what);
    }
}

TEST(ChannelOrder, RecordingsInTheRightOrderSwappedShiftedOrFromARotatedArray) {
    const Direction one{70.0, 40.0};
    const std::vector<Direction> three{{90.0, 0.0}, {50.0, 120.0}, {120.0, 240.0}};
    // The same scenes recorded by an array turned 90 degrees clockwise seen
    // from above: every source appears 90 degrees further round.
    auto turned = [](std::vector<Direction> d) {
        for (auto& x : d) x.azimuth_deg += 90.0;
        return d;
    };
    const Channels oneScene = noiseScene({one}, 48000, 5), threeScene = noiseScene(three, 48000, 6),
                   oneTurned = noiseScene(turned({one}), 48000, 5);
    struct Case {
        const char* what;
        const Channels& scene;
        std::vector<int> order;
        OrderCheck::Verdict verdict;
        std::string hint;
        bool undo;
    } cases[] = {
        {"one source", oneScene, identity(), OrderCheck::matches, "", false},
        {"three sources", threeScene, identity(), OrderCheck::matches, "", false},
        {"turned array", oneTurned, identity(), OrderCheck::matches, "", false},
        // Capsules 16..31 are capsules 0..15 turned half-way round: this
        // relabelling is a rotation of the whole layout and cannot be told.
        {"half-turn numbering", threeScene, shifted(16), OrderCheck::matches, "", false},
        {"one source, 0-1 swapped", oneScene, swapped(0, 1), OrderCheck::mismatch, "capsules 0 and 1 look swapped", true},
        {"one source, 4-11 swapped", oneScene, swapped(4, 11), OrderCheck::mismatch, "capsules 4 and 11 look swapped", true},
        {"three sources, 0-5 swapped", threeScene, swapped(0, 5), OrderCheck::mismatch, "capsules 0 and 5 look swapped", true},
        {"three sources, 12-13 swapped", threeScene, swapped(12, 13), OrderCheck::mismatch, "capsules 12 and 13 look swapped", true},
        {"one source, shifted by 1", oneScene, shifted(1), OrderCheck::mismatch, "each capsule is 1 channel earlier than it should be (capsule 0 is on channel 32,", true},
        {"three sources, shifted by -1", threeScene, shifted(-1), OrderCheck::mismatch, "each capsule is 1 channel later than it should be (capsule 0 is on channel 2,", true},
        {"turned array, shifted by 1", oneTurned, shifted(1), OrderCheck::mismatch, "1 channel earlier", true},
    };
    for (const auto& c : cases) {
        const OrderCheck r = judge(c.scene, c.order);
        EXPECT_EQ(r.verdict, c.verdict) << c.what << ": residual " << r.residual << ", threshold " << r.threshold;
        EXPECT_NE(r.hint.find(c.hint), std::string::npos) << c.what << ": '" << r.hint << "'";
        if (c.undo) expectUndoes(r, c.order, c.what);
    }
    // The main direction: the source, or where the turned array hears it.
    const OrderCheck direct = judge(oneScene, identity()), seen = judge(oneTurned, identity());
    for (const auto& [r, want] : {std::pair{direct, one}, std::pair{seen, Direction{70.0, 130.0}}}) {
        EXPECT_GT(r.directionality, 0.9);
        EXPECT_LT(std::acos(std::clamp(dot(unitVector(r.dominant), unitVector(want)), -1.0, 1.0)) * 180.0 / std::numbers::pi, 3.0)
            << r.dominant.elevation_deg << ", " << r.dominant.azimuth_deg;
    }
    EXPECT_LT(judge(threeScene, identity()).directionality, 0.5);
}

TEST(ChannelOrder, CapsuleMismatchAloneIsNoReorderingOfTheChannels) {
    // Capsule gains off by 1 dB (standard deviation) and a little self-noise.
    for (const auto& directions : {lattice(48), std::vector<Direction>{{70.0, 40.0}}}) {
        Channels c = noiseScene(directions, 24000, 8);
        std::mt19937 rng(9);
        std::normal_distribution<double> gain_db(0.0, 1.0);
        std::normal_distribution<float> noise(0.0f, 3e-4f);
        for (auto& channel : c) {
            const auto g = static_cast<float>(std::pow(10.0, gain_db(rng) / 20.0));
            for (auto& v : channel) v = v * g + noise(rng);
        }
        const OrderCheck r = judge(c, identity());
        EXPECT_EQ(r.verdict, OrderCheck::matches) << directions.size() << " sources: residual " << r.residual << ", hint " << r.hint;
        EXPECT_GT(r.residual, 3.0 * r.expected);  // the mismatch does show
    }
}

TEST(ChannelOrder, ChannelMapsNameThirtyTwoDistinctChannels) {
    struct Case {
        const char* text;
        std::string error;  // empty: accepted
        std::vector<int> first;
    } cases[] = {
        {"1-32", "", {0, 1, 2}},
        {"32-1", "", {31, 30, 29}},
        {" 2, 1 ,3-32", "", {1, 0, 2}},
        {"3-34", "", {2, 3, 4}},  // a longer input may carry other channels
        {"1-31", "names 31 channels; it needs 32 distinct channels", {}},
        {"1-32,5", "names more than 32 channels", {}},
        {"1,1,3-32", "channel 1 is named twice (for capsules 0 and 1)", {}},
        {"0,2-32", "channel 0 does not exist", {}},
        {"1-x,3-32", "'1-x' is not a channel number", {}},
        {"", "'' is not a channel number", {}},
    };
    for (const auto& c : cases) {
        std::vector<int> map;
        std::string error;
        const bool ok = parseChannelMap(c.text, map, error);
        EXPECT_EQ(ok, c.error.empty()) << c.text << ": " << error;
        if (!ok) {
            EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
            continue;
        }
        ASSERT_EQ(map.size(), 32u);
        for (std::size_t i = 0; i < c.first.size(); ++i) EXPECT_EQ(map[i], c.first[i]) << c.text;
        std::vector<int> again;
        ASSERT_TRUE(parseChannelMap(formatChannelMap(map), again, error)) << formatChannelMap(map);
        EXPECT_EQ(again, map) << formatChannelMap(map);
    }
}

TEST(ChannelOrder, CheckFromTheCommandLineNamesTheSwapAndItsRemedy) {
    TempDir dir;
    const Channels scene = noiseScene(lattice(24), 24000, 4);
    Channels patched = scene;
    std::swap(patched[6], patched[20]);  // capsules 6 and 20 on each other's channels
    writeFile(dir.file("right.wav"), scene, 48000);
    writeFile(dir.file("patched.wav"), patched, 48000);
    const ProgramRun good = runProgram(QB32_RENDER_PROGRAM, {dir.file("right.wav"), "--check-order"}, dir);
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_NE(good.out.find("channel order: matches the layout"), std::string::npos) << good.out;
    EXPECT_EQ(good.err, "");

    const ProgramRun bad = runProgram(QB32_RENDER_PROGRAM, {dir.file("patched.wav"), "--check-order"}, dir);
    EXPECT_EQ(bad.status, 1) << bad.err;
    EXPECT_NE(bad.out.find("channel order: DOES NOT MATCH the layout"), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("capsules 6 and 20 look swapped (channels 7 and 21); with --channel-map 1-6,21,8-20,7,22-32"),
              std::string::npos)
        << bad.out;
    EXPECT_EQ(bad.err, "qb32-render: warning: the channels of '" + dir.file("patched.wav") +
                           "' do not match the array's layout: capsules 6 and 20 look swapped (channels 7 and 21)\n");

    const ProgramRun mapped = runProgram(QB32_RENDER_PROGRAM, {dir.file("patched.wav"), "--check-order", "--channel-map", "1-6,21,8-20,7,22-32"}, dir);
    EXPECT_EQ(mapped.status, 0) << mapped.out << mapped.err;
    // And the map renders the patched recording exactly as the right one.
    ASSERT_EQ(runProgram(QB32_RENDER_PROGRAM, {dir.file("right.wav"), "-q", "-o", dir.file("a.wav")}, dir).status, 0);
    ASSERT_EQ(runProgram(QB32_RENDER_PROGRAM, {dir.file("patched.wav"), "-q", "--channel-map=1-6,21,8-20,7,22-32", "-o", dir.file("b.wav")}, dir).status, 0);
    EXPECT_TRUE(readFile(dir.file("a.wav")) == readFile(dir.file("b.wav")));
}

}  // namespace
}  // namespace qb32::tools
