// vkxShadowFilter: fixed latency, filtering against a direct-form reference,
// crossfade timing and queueing, block-size independence, statuses, real time.

#include "filters/vkxShadowFilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "tests/filters/FilterTestSupport.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/Reference.h"
#include "tests/support/SimdLevels.h"

namespace qb32::testing {
namespace {

std::unique_ptr<vkxShadowFilter> makeStage(int block, float latency) {
    auto stage = std::make_unique<vkxShadowFilter>();
    EXPECT_EQ(stage->configure(stream(1, block), stream(1, block)), 0);
    EXPECT_EQ(stage->setLatency(latency), 0);
    return stage;
}

int load(vkxShadowFilter& stage, const Signal& taps) {
    const int lengths[1] = {static_cast<int>(taps.size())};
    const float* data[1] = {taps.empty() ? nullptr : taps.data()};
    return stage.loadFilter(lengths, data);
}

Signal symmetric(int length, std::uint32_t seed) {
    Signal taps = whiteNoise(static_cast<std::size_t>(length), seed);
    for (int i = 0; i < length / 2; ++i) taps[static_cast<std::size_t>(length - 1 - i)] = taps[static_cast<std::size_t>(i)];
    return taps;
}

// Runs x[begin, end) through the stage in blocks; `after` sees each block's start.
template <typename OnBlock>
void runBlocks(vkxShadowFilter& stage, const Signal& x, Signal& y, std::size_t begin, std::size_t end,
               int block, OnBlock after) {
    for (std::size_t t = begin; t < end; t += static_cast<std::size_t>(block)) {
        const int frames = static_cast<int>(std::min<std::size_t>(block, end - t));
        const float* in[1] = {x.data() + t};
        float* out[1] = {y.data() + t};
        ASSERT_EQ(stage.process(in, out, frames), 0);
        after(t, frames);
    }
}
void runBlocks(vkxShadowFilter& stage, const Signal& x, Signal& y, std::size_t begin, std::size_t end, int block) {
    runBlocks(stage, x, y, begin, end, block, [](std::size_t, int) {});
}

TEST(ShadowFilterLatency, EveryCentredFilterArrivesAfterTruncatedLatency) {
    for (const float latency : {62.0f, 27.9f}) {
        const int fixed = static_cast<int>(latency);
        auto stage = makeStage(50, latency);
        for (int length = -1; length <= 2 * fixed + 1; length += 2) {
            ASSERT_EQ(stage->setLatency(latency), 0);
            Signal taps(static_cast<std::size_t>(std::max(length, 0)), 0.0f);
            if (length > 0) taps[static_cast<std::size_t>(length / 2)] = 1.0f;  // else a pass-through
            ASSERT_EQ(load(*stage, taps), 0);
            const std::size_t samples = static_cast<std::size_t>(fixed) + 60;
            Signal x(samples), y(samples);
            for (std::size_t t = 0; t < samples; ++t) x[t] = t == 0 ? 1.0f : 0.0f;
            runBlocks(*stage, x, y, 0, samples, 50);
            for (std::size_t t = 0; t < samples; ++t)
                ASSERT_EQ(y[t], t == static_cast<std::size_t>(fixed) ? 1.0f : 0.0f)
                    << "latency " << latency << " length " << length << " t " << t;
        }
    }
}

TEST(ShadowFilterLatency, FullLengthFilterMatchesTheDirectForm) {
    // Latency 62 and 125 taps: no added delay, the output is the filtered input.
    const Signal taps = symmetric(125, 1);
    const Signal x = whiteNoise(3000, 2);
    auto stage = makeStage(512, 62.0f);
    ASSERT_EQ(load(*stage, taps), 0);
    Signal y(x.size());
    runBlocks(*stage, x, y, 0, x.size(), 512);
    const std::vector<double> reference = directFir(taps, x);
    double scale = 0.0;
    for (float h : taps) scale += std::abs(h);
    for (std::size_t t = 0; t < x.size(); ++t)
        ASSERT_NEAR(y[t], reference[t], firErrorBound(125) * scale + 1e-7) << t;
}

class ShadowFilterCrossfade : public ::testing::TestWithParam<int> {
protected:
    DirectFormFir exact;
};

TEST_P(ShadowFilterCrossfade, NewFilterTakesOverAfterItsLength) {
    const int block = GetParam(), fadeLength = 11025;
    const Signal oldTaps = symmetric(41, 1), newTaps = symmetric(125, 2);
    const std::size_t loadAt = static_cast<std::size_t>((1000 + block - 1) / block * block);
    const std::size_t samples = loadAt + 125 + fadeLength + 500;
    const Signal x = whiteNoise(samples, 3);
    auto reference = [&](const Signal& taps) {
        auto stage = makeStage(block, 62.0f);
        EXPECT_EQ(load(*stage, taps), 0);
        Signal y(samples);
        runBlocks(*stage, x, y, 0, samples, block);
        return y;
    };
    const Signal oldRef = reference(oldTaps), newRef = reference(newTaps);
    auto stage = makeStage(block, 62.0f);
    ASSERT_EQ(load(*stage, oldTaps), 0);
    Signal y(samples);
    runBlocks(*stage, x, y, 0, loadAt, block);
    ASSERT_EQ(load(*stage, newTaps), 0);
    runBlocks(*stage, x, y, loadAt, samples, block);
    expectCrossfade(y, oldRef, newRef, 0, loadAt + 125, fadeLength, samples);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, ShadowFilterCrossfade, ::testing::Values(512, 128, 13));

TEST(ShadowFilterCrossfadeQueue, OnlyTheLastOfSeveralLoadsDuringAFadeFollows) {
    DirectFormFir exact;
    const int block = 512, fadeLength = 11025;
    const Signal a = symmetric(31, 1), b = symmetric(125, 2), c = symmetric(55, 3), d = symmetric(41, 4);
    const std::size_t bAt = 1024, cAt = 2048, dAt = 5120;
    const std::size_t bEnd = bAt + 125 + fadeLength;
    const std::size_t handover = bEnd;  // d starts right after b's fade
    // d's 41 taps sit behind a 42-sample delay: formed after 42 + 40 samples.
    const std::size_t dFade = handover + 82;
    const std::size_t samples = dFade + fadeLength + 500;
    const Signal x = whiteNoise(samples, 5);
    auto reference = [&](const Signal& taps) {
        auto stage = makeStage(block, 62.0f);
        EXPECT_EQ(load(*stage, taps), 0);
        Signal y(samples);
        runBlocks(*stage, x, y, 0, samples, block);
        return y;
    };
    const Signal aRef = reference(a), bRef = reference(b), dRef = reference(d);
    auto stage = makeStage(block, 62.0f);
    ASSERT_EQ(load(*stage, a), 0);
    Signal y(samples);
    runBlocks(*stage, x, y, 0, samples, block, [&](std::size_t t, int frames) {
        const std::size_t next = t + static_cast<std::size_t>(frames);
        if (next == bAt) { EXPECT_EQ(load(*stage, b), 0); }
        if (next == cAt) { EXPECT_EQ(load(*stage, c), 0); }
        if (next == dAt) { EXPECT_EQ(load(*stage, d), 0); }
    });
    expectCrossfade(y, aRef, bRef, 0, bAt + 125, fadeLength, dFade);
    expectCrossfade(y, bRef, dRef, bEnd, dFade, fadeLength, samples);
}

// A filter loaded again (the same taps, as when a beam changes to a pattern
// with the same crossover) is not run beside itself once its history is full:
// the output must still be exactly that of running both, old x fadeOut + new
// x fadeIn with new == old, then the pending set behind it, for every block
// size and a commit in the middle of the copy.
TEST(ShadowFilterCrossfade, TheSameFilterLoadedAgainGivesTheBitsOfRunningBoth) {
    FadeRamps ramps;
    ASSERT_TRUE(ramps.build(44100.0f, vkxShadowFilter::fadeTimeConstantMs));
    const int fadeLength = ramps.length;
    const Signal a = symmetric(41, 11), b = symmetric(37, 12);
    // Latency 27: 41 taps behind 7 samples are formed after 47, 37 behind 9 after 45.
    const std::size_t again = 1000, pendingAt = 1300;
    const std::size_t firstFade = again + 47, handover = firstFade + static_cast<std::size_t>(fadeLength);
    const std::size_t secondFade = handover + 45;
    const std::size_t samples = secondFade + static_cast<std::size_t>(fadeLength) + 300;
    const Signal x = whiteNoise(samples, 13);
    auto alone = [&](const Signal& taps) {
        auto stage = makeStage(512, 27.0f);
        EXPECT_EQ(load(*stage, taps), 0);
        Signal y(samples);
        runBlocks(*stage, x, y, 0, samples, 512);
        return y;
    };
    const Signal aRef = alone(a), bRef = alone(b);
    auto mix = [&](float o, float n, std::size_t i) { return o * ramps.fadeOut[i] + n * ramps.fadeIn[i]; };
    for (int block : {512, 64, 13}) {
        SCOPED_TRACE(::testing::Message() << "block " << block);
        auto stage = makeStage(block, 27.0f);
        ASSERT_EQ(load(*stage, a), 0);
        Signal y(samples);
        std::size_t t = 0;
        auto runTo = [&](std::size_t end) {
            for (; t < end; t += std::min<std::size_t>(static_cast<std::size_t>(block), end - t)) {
                const int frames = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(block), end - t));
                const float* in[1] = {x.data() + t};
                float* out[1] = {y.data() + t};
                ASSERT_EQ(stage->process(in, out, frames), 0);
            }
        };
        runTo(again);
        ASSERT_EQ(load(*stage, a), 0);
        runTo(pendingAt);
        ASSERT_EQ(load(*stage, b), 0);
        runTo(samples);
        for (std::size_t k = 0; k < samples; ++k) {
            float expected = aRef[k];
            if (k >= firstFade && k < handover) expected = mix(aRef[k], aRef[k], k - firstFade);
            if (k >= secondFade && k < secondFade + static_cast<std::size_t>(fadeLength))
                expected = mix(aRef[k], bRef[k], k - secondFade);
            if (k >= secondFade + static_cast<std::size_t>(fadeLength)) expected = bRef[k];
            ASSERT_EQ(y[k], expected) << "sample " << k;
        }
    }
    // Committed while copying: the current bank carries on, the output is a's.
    auto stage = makeStage(64, 27.0f);
    ASSERT_EQ(load(*stage, a), 0);
    Signal y(samples);
    runBlocks(*stage, x, y, 0, 1024, 64);
    ASSERT_EQ(load(*stage, a), 0);
    runBlocks(*stage, x, y, 1024, 1536, 64);
    stage->settle();
    runBlocks(*stage, x, y, 1536, 4096, 64);
    for (std::size_t k = 1536; k < 4096; ++k) ASSERT_EQ(y[k], aRef[k]) << "sample " << k;
}

void blockSizesAndInPlaceUseGiveTheSameOutput() {
    DirectFormFir exact;
    const std::size_t samples = 60 * 512;
    const Signal x = whiteNoise(samples, 8);
    std::mt19937 rng(9);
    std::vector<std::pair<std::size_t, Signal>> loads;
    for (std::size_t at = 0; at < samples; at += 512)
        if (at == 0 || rng() % 4 == 0) loads.emplace_back(at, whiteNoise(rng() % 56, rng()));
    // In place (y starts as a copy of x), pending sets also start inside a
    // block, after the output has been written over the input.
    auto run = [&](int block, bool inPlace) {
        auto stage = makeStage(block, 27.0f);
        Signal y = inPlace ? x : Signal(samples);
        std::size_t next = 0;
        for (std::size_t t = 0; t < samples; t += static_cast<std::size_t>(block)) {
            for (; next < loads.size() && loads[next].first == t; ++next) EXPECT_EQ(load(*stage, loads[next].second), 0);
            runBlocks(*stage, inPlace ? y : x, y, t, t + static_cast<std::size_t>(block), block);
        }
        return y;
    };
    const Signal reference = run(512, false);
    for (const auto& [block, inPlace] : {std::pair{1, false}, std::pair{64, false}, std::pair{64, true}}) {
        const Signal other = run(block, inPlace);
        for (std::size_t t = 0; t < samples; ++t)
            ASSERT_EQ(other[t], reference[t]) << "block " << block << (inPlace ? " in place" : "") << " t " << t;
    }
}

TEST(ShadowFilterBlocks, OutputDoesNotDependOnBlockSizeOrInPlaceUse) {
    testing::atEveryLevel(blockSizesAndInPlaceUseGiveTheSameOutput);
}

TEST(ShadowFilterStatus, EveryRefusalAnswersItsCode) {
    auto with = [](vkAudioInterface s, auto change) { change(s); return s; };
    struct ConfigureCase { const char* what; vkAudioInterface in, out; int expected; };
    const ConfigureCase cases[] = {
        {"frequency-domain output", stream(1, 64), with(stream(1, 64), [](auto& s) { s.domain = 1; }), 2},
        {"format flag clear", with(stream(1, 64), [](auto& s) { s.formatFlag = false; }), stream(1, 64), 2},
        {"rates differ", stream(1, 64), stream(1, 64, 48000.0f), 2},
        {"frame counts differ", stream(1, 64), stream(1, 65), 2},
        {"no input channel", stream(0, 64), stream(1, 64), 2},
        {"no frames", stream(1, 0), stream(1, 0), 2},
        {"two channels", stream(2, 64), stream(2, 64), 0},
    };
    for (const auto& c : cases) {
        vkxShadowFilter stage;
        EXPECT_EQ(stage.configure(c.in, c.out), c.expected) << c.what;
    }
    vkxShadowFilter stage;
    const Signal taps(126, 0.5f);
    EXPECT_EQ(load(stage, Signal(3, 1.0f)), shadowStatus::noChannel);
    EXPECT_EQ(stage.setLatency(-0.5f), shadowStatus::badLatency);
    EXPECT_EQ(stage.setLatency(std::nanf("")), shadowStatus::badLatency);
    EXPECT_EQ(stage.setLatency(62.0f), 0);  // kept for the next configure
    ASSERT_EQ(stage.configure(stream(1, 64), stream(1, 64)), 0);
    ASSERT_EQ(load(stage, Signal(125, 0.1f)), 0);  // sized by configure already
    EXPECT_EQ(load(stage, taps), shadowStatus::filterTooLong);  // 2 * 62 + 2 taps
    EXPECT_FALSE(stage.filterSlots().occupied(CrossfadeSlots::Slot::next));
    EXPECT_EQ(stage.loadFilter(nullptr, nullptr), shadowStatus::missingTaps);
    const int three[1] = {3};
    const float* none[1] = {nullptr};
    EXPECT_EQ(stage.loadFilter(three, none), shadowStatus::missingTaps);
    EXPECT_FALSE(stage.filterSlots().occupied(CrossfadeSlots::Slot::next));
    float in0[65] = {}, out0[65] = {};
    const float* in[1] = {in0};
    float* out[1] = {out0};
    EXPECT_EQ(stage.process(in, out, 65), status::unsupportedStream);
    EXPECT_EQ(stage.start(), 0);
    EXPECT_EQ(stage.setLatency(10.0f), status::blockActive);
    EXPECT_EQ(stage.configure(stream(1, 64), stream(1, 64)), status::blockActive);
    EXPECT_EQ(stage.stop(), 0);
    EXPECT_EQ(stage.setLatency(10.0f), 0);
}

TEST(ShadowFilterStatus, AllocationFailuresAnswerSeven) {
    int refusals = 0;
    for (std::size_t n = 1; n < 40; ++n) {
        vkxShadowFilter stage;
        int configured = 0, sized = 0;
        bool refused = false;
        {
            AllocationFailureScope fail(n);
            configured = stage.configure(stream(1, 64), stream(1, 64));
            if (configured == 0) sized = stage.setLatency(300.0f);
            refused = fail.refusedAny();
        }
        if (!refused) break;
        ++refusals;
        EXPECT_TRUE(configured == status::allocationFailed || sized == status::allocationFailed) << n;
        EXPECT_NE(load(stage, Signal(3, 1.0f)), 0);
        if (configured != 0) { ASSERT_EQ(stage.configure(stream(1, 64), stream(1, 64)), 0); }
        ASSERT_EQ(stage.setLatency(300.0f), 0);
        EXPECT_EQ(load(stage, Signal(3, 1.0f)), 0);
    }
    EXPECT_GT(refusals, 5);
}

TEST(ShadowFilterState, SilentWithoutFilterAndNothingStaleAfterStop) {
    auto stage = makeStage(256, 62.0f);
    const Signal x = whiteNoise(4096, 6);
    Signal y(4096, 1.0f);
    runBlocks(*stage, x, y, 0, 1024, 256);
    for (std::size_t t = 0; t < 1024; ++t) ASSERT_EQ(y[t], 0.0f);
    ASSERT_EQ(load(*stage, symmetric(125, 1)), 0);
    runBlocks(*stage, x, y, 1024, 2048, 256);
    ASSERT_EQ(load(*stage, symmetric(41, 2)), 0);  // crossfade under way
    runBlocks(*stage, x, y, 2048, 2560, 256);
    ASSERT_EQ(stage->stop(), 0);
    ASSERT_EQ(stage->start(), 0);  // the newest filter takes over at once
    EXPECT_FALSE(stage->filterSlots().occupied(CrossfadeSlots::Slot::next));
    const Signal silence(1024, 0.0f);
    runBlocks(*stage, silence, y, 0, 1024, 256);
    for (std::size_t t = 0; t < 1024; ++t) ASSERT_EQ(y[t], 0.0f) << t;
}

TEST(ShadowFilterRealTime, NothingAllocatesOnTheAudioPath) {
    auto stage = makeStage(512, 27.0f);
    const Signal x = whiteNoise(512, 3), taps = symmetric(55, 4), passThrough;
    Signal y(512);
    AllocationScope scope;
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(load(*stage, i % 3 == 2 ? passThrough : taps), 0);
        runBlocks(*stage, x, y, 0, 512, 512);
        if (i == 3) stage->reset();
    }
    stage->start();
    runBlocks(*stage, x, y, 0, 512, 512);
    stage->stop();
    EXPECT_EQ(scope.allocations(), 0u);
}

}  // namespace
}  // namespace qb32::testing
