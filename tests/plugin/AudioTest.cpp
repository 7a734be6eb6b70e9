// The audio callback and the stream configuration.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <xmmintrin.h>

#include "tests/support/AllocationCounter.h"
#include "tests/plugin/PluginFixture.h"
#include "tests/support/Reference.h"

namespace qb32::testing {
namespace {

using namespace vst;

constexpr unsigned flushToZeroBit = 0x8000u;
constexpr unsigned denormalsAreZeroBit = 0x40u;
constexpr unsigned underflowMaskBit = 0x800u;

TEST(Audio, ProcessorModeAfterTheCallback) {
    PluginInstance p;
    HostBuffers b(64);
    const unsigned original = _mm_getcsr();
    for (unsigned underflowMask : {0u, underflowMaskBit}) {
        _mm_setcsr((original & ~(flushToZeroBit | denormalsAreZeroBit | underflowMaskBit)) |
                   underflowMask);
        b.run(p.effect, 64);
        const unsigned after = _mm_getcsr();
        EXPECT_EQ(after & flushToZeroBit, 0u);
        EXPECT_EQ(after & denormalsAreZeroBit, denormalsAreZeroBit);
        EXPECT_EQ(after & underflowMaskBit, underflowMask);
    }
    _mm_setcsr(original);
}

TEST(Audio, EmptyCallsAndTheOtherEntriesLeaveOutputsAlone) {
    PluginInstance p;
    HostBuffers b(128);
    b.tone(0);
    b.fillOutputs(7.0f);
    for (int frames : {0, -1, std::numeric_limits<int>::min()}) b.run(p.effect, frames);
    p.effect->process(p.effect, b.inputs.data(), b.outputs.data(), 128);
    std::vector<double> din(128, 1.0), dout(128, 7.0);
    std::vector<double*> dins(32, din.data()), douts(8, dout.data());
    p.effect->processDoubleReplacing(p.effect, dins.data(), douts.data(), 128);
    for (const auto& c : b.out)
        for (float v : c) ASSERT_EQ(v, 7.0f);
    for (double v : dout) ASSERT_EQ(v, 7.0);
}

// One call of many frames equals the same signal in host blocks of random
// sizes, so a block longer than the engine's is processed in pieces, whole.
TEST(Audio, LongBlocksEqualTheSameSignalInSmallOnes) {
    constexpr int total = 3000;
    std::vector<std::vector<float>> reference;
    for (int pass = 0; pass < 2; ++pass) {
        PluginInstance p;
        p.call(effSetBlockSize, 0, 512);
        p.set(2, 7.5f / 12);  // beam 0 card3
        p.set(5, 0.3f);       // beam 1 elsewhere
        std::vector<std::vector<float>> out(8, std::vector<float>(total));
        const auto noise = whiteNoise(total * 32, 7);
        const std::vector<int> sizes =
            pass == 0 ? std::vector<int>{total} : randomBlockSizes(total, 512, 3);
        int start = 0;
        for (int n : sizes) {
            HostBuffers b(n);
            for (int c = 0; c < 32; ++c)
                for (int i = 0; i < n; ++i) b.in[c][i] = noise[(start + i) * 32 + c];
            b.run(p.effect, n);
            for (int c = 0; c < 8; ++c)
                for (int i = 0; i < n; ++i) out[c][start + i] = b.out[c][i];
            start += n;
        }
        if (pass == 0) {
            reference = out;
            continue;
        }
        for (int c = 0; c < 8; ++c)
            for (int i = 0; i < total; ++i)
                ASSERT_NEAR(out[c][i], reference[c][i], 1e-6f) << "channel " << c << " sample " << i;
    }
}

TEST(Audio, RefusedRatesAndSizesKeepTheEngineRunning) {
    PluginInstance p;
    p.call(effSetBlockSize, 0, 256);
    const CQb32& engine = p.plugin().getEngine();
    ASSERT_EQ(engine.inputFormat().blockLength, 256);
    const float inf = std::numeric_limits<float>::infinity();
    for (float rate : {0.0f, -44100.0f, std::nanf(""), inf, -inf})
        p.call(effSetSampleRate, 0, 0, nullptr, rate);
    EXPECT_EQ(p.plugin().getSampleRate(), 44100.0f);  // refused before the descriptors
    for (VstIntPtr size : {VstIntPtr{0}, VstIntPtr{-8}, VstIntPtr{CQB32Vst::maxBlockSize_samples + 1},
                           VstIntPtr{1} << 40})
        p.call(effSetBlockSize, 0, size);
    EXPECT_EQ(engine.inputFormat().blockLength, 256);
    EXPECT_EQ(p.plugin().getBlockSize(), 256);

    HostBuffers b(400);
    double energy = 0.0;
    for (int block = 0; block < 4; ++block) {
        b.tone(block * 400);
        b.run(p.effect, 400);
        energy += b.energy(0);
    }
    EXPECT_TRUE(b.outputsFinite());
    EXPECT_GT(energy, 1.0);
}

// A rate without tables: the engine refuses it and keeps its configuration
// (at its own rate), and the plug-in writes exact silence instead of running
// filters designed for another rate, until a supported rate comes; then the
// beams sound again with the program's settings, their latency in time.
TEST(Audio, AnUnsupportedRateGivesSilenceUntilASupportedOne) {
    PluginInstance p;
    p.set(2, 7.5f / 12);  // beam 0 card3
    p.set(4, 0.5f);       // beam 1 elevation 90
    p.set(5, 0.25f);      // azimuth 90
    const CQb32& engine = p.plugin().getEngine();
    HostBuffers b(400);
    auto energyOfBlocks = [&](int blocks) {
        double energy = 0.0;
        for (int block = 0; block < blocks; ++block) {
            b.tone(block * 400);
            b.fillOutputs(1.0f);
            b.run(p.effect, 400);
            for (int c = 0; c < 8; ++c) energy += b.energy(c);
        }
        return energy;
    };
    EXPECT_GT(energyOfBlocks(4), 1.0);
    for (float unsupported : {32000.0f, 44100.5f, 384000.0f}) {
        p.call(effSetSampleRate, 0, 0, nullptr, unsupported);
        EXPECT_FALSE(CQb32::isRateSupported(unsupported));
        EXPECT_EQ(engine.getSampleRate(), 44100.0f) << "the engine keeps its configuration";
        EXPECT_EQ(energyOfBlocks(4), 0.0) << unsupported;
        p.call(effSetBlockSize, 0, 128);  // a reconfiguration at that rate changes nothing
        EXPECT_EQ(energyOfBlocks(2), 0.0) << unsupported;
    }
    for (float rate : {96000.0f, 48000.0f}) {
        p.call(effSetSampleRate, 0, 0, nullptr, rate);
        EXPECT_EQ(engine.getSampleRate(), rate);
        EXPECT_EQ(engine.latencySamples(), rate == 48000.0f ? 182 : 364);
        EXPECT_GT(energyOfBlocks(8), 1.0) << rate;
        EXPECT_EQ(engine.getBeamPatternIndex(0), 7);
        EXPECT_EQ(engine.getElevation(1), 90.0f);
        EXPECT_EQ(engine.getAzimuth(1), 90.0f);
    }
}

TEST(Audio, ReconfigurationKeepsTheProgram) {
    PluginInstance p;
    p.set(8, 1.0f / 3);   // beam 2 elevation 60
    p.set(9, 0.25f);      // azimuth 90
    p.set(10, 8.5f / 12); // card2
    p.set(11, 0.0f);      // off
    p.call(effSetBlockSize, 0, 256);
    const CQb32& engine = p.plugin().getEngine();
    EXPECT_EQ(engine.inputFormat().blockLength, 256);
    EXPECT_EQ(engine.getElevation(2), 60.0f);
    EXPECT_EQ(engine.getAzimuth(2), 90.0f);
    EXPECT_EQ(engine.getBeamPatternIndex(2), 8);
    char text[16];
    p.call(effGetParamDisplay, 10, 0, text);
    EXPECT_STREQ(text, "card2");
    p.call(effGetParamDisplay, 11, 0, text);
    EXPECT_STREQ(text, "off");
    EXPECT_EQ(p.get(8), 1.0f / 3);

    // The switched-off beam stays silent while its neighbours sound.
    HostBuffers b(256);
    for (int block = 0; block < 20; ++block) {
        b.tone(block * 256);
        b.run(p.effect, 256);
    }
    EXPECT_EQ(b.energy(2), 0.0);
    EXPECT_GT(b.energy(3), 0.1);
}

// A configure that fails after validation leaves the engine unusable: the
// callback writes silence until a later configure succeeds.
TEST(Audio, SilenceWhileTheEngineIsUnusable) {
    PluginInstance p;
    const CQb32& engine = p.plugin().getEngine();
    bool broke = false;
    for (std::size_t n = 1; n < 400 && !broke; ++n) {
        {
            AllocationFailureScope failing(n);
            p.call(effSetBlockSize, 0, n % 2 == 0 ? 256 : 384);
        }
        broke = !engine.isUsable();
    }
    ASSERT_TRUE(broke);
    HostBuffers b(256);
    b.tone(0);
    b.fillOutputs(3.0f);
    b.run(p.effect, 256);
    for (const auto& c : b.out)
        for (float v : c) ASSERT_EQ(v, 0.0f);

    p.call(effSetBlockSize, 0, 512);
    ASSERT_TRUE(engine.isUsable());
    double energy = 0.0;
    for (int block = 0; block < 8; ++block) {
        b.tone(block * 256);
        b.run(p.effect, 256);
        energy += b.energy(0);
    }
    EXPECT_GT(energy, 1.0);
}

// NaN or infinity at the input must not silence the beams for good: within
// one second of finite input every beam is finite again and matches a twin
// instance that never saw the bad sample.
TEST(Audio, RecoversFromNonFiniteInput) {
    const float inf = std::numeric_limits<float>::infinity();
    for (float poison : {std::nanf(""), inf, -inf}) {
        PluginInstance p, twin;
        for (int beam = 0; beam < 8; ++beam) {
            p.set(4 * beam + 2, static_cast<float>(beam) / 8);
            twin.set(4 * beam + 2, static_cast<float>(beam) / 8);
        }
        HostBuffers b(512), t(512);
        constexpr int blocks = 2 + 1 + 86;  // warm-up, the bad block, one second
        for (int block = 0; block < blocks; ++block) {
            b.tone(block * 512, 700.0);
            t.tone(block * 512, 700.0);
            if (block == 2) b.in[5][100] = poison;
            b.run(p.effect, 512);
            t.run(twin.effect, 512);
            ASSERT_TRUE(b.outputsFinite()) << "block " << block;
        }
        for (int beam = 0; beam < 8; ++beam) {
            double peak = 0.0, error = 0.0;
            for (int i = 0; i < 512; ++i) {
                peak = std::max(peak, std::fabs(double(t.out[beam][i])));
                error = std::max(error, std::fabs(double(b.out[beam][i]) - t.out[beam][i]));
            }
            EXPECT_LE(error, 1e-3 * peak + 1e-6) << "beam " << beam << " peak " << peak;
        }
        EXPECT_GT(t.energy(0), 1.0);  // the omni beam carries the tone
    }
}

TEST(Audio, TheCallbackAllocatesNothing) {
    PluginInstance p;
    HostBuffers b(700);
    b.tone(0);
    b.run(p.effect, 700);
    AllocationScope scope;
    for (int block = 0; block < 10; ++block) {
        p.set(4 * (block % 8) + 2, static_cast<float>(block) / 10);  // a pattern load per block
        p.set(4 * (block % 8) + 0, static_cast<float>(block) / 10);
        b.run(p.effect, block % 2 == 0 ? 700 : 64);
    }
    EXPECT_EQ(scope.allocations(), 0u);
}

TEST(Audio, MissingChannelsGiveSilenceNotACrash) {
    PluginInstance p;
    HostBuffers b(64);
    b.tone(0);
    b.fillOutputs(2.0f);
    b.inputs[7] = nullptr;
    b.run(p.effect, 64);
    for (const auto& c : b.out)
        for (float v : c) ASSERT_EQ(v, 0.0f);
    p.effect->processReplacing(p.effect, nullptr, b.outputs.data(), 64);
    p.effect->processReplacing(p.effect, b.inputs.data(), nullptr, 64);
}

}  // namespace
}  // namespace qb32::testing
