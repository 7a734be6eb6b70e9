// The audio callback and the stream configuration.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
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

// The host's whole control register comes back exactly, whatever it held:
// every combination of flush-to-zero and denormals-are-zero, underflow masked
// or unmasked, each rounding mode, and a raised status flag; through the
// engine, the silence of a missing channel and a call of no frames. Inside,
// the callback flushes: tiny inputs whose products underflow give no
// subnormal output (and no trap, whatever the host unmasked).
TEST(Audio, TheHostsFloatingPointStateComesBackExactly) {
    constexpr unsigned otherMasks = 0x1F80u & ~underflowMaskBit;
    constexpr unsigned precisionFlag = 0x20u;
    PluginInstance p;
    HostBuffers b(64);
    for (auto& c : b.in)
        for (std::size_t i = 0; i < c.size(); ++i) c[i] = (i % 2 == 0 ? 3e-37f : -2e-37f) * (1.0f + i);
    const unsigned original = _mm_getcsr();
    for (int path = 0; path < 3; ++path)
        for (unsigned ftz : {0u, flushToZeroBit})
            for (unsigned daz : {0u, denormalsAreZeroBit})
                for (unsigned underflowMask : {0u, underflowMaskBit})
                    for (unsigned rounding : {0x0000u, 0x2000u, 0x4000u, 0x6000u}) {
                        const unsigned host = otherMasks | ftz | daz | underflowMask | rounding | precisionFlag;
                        float* seventh = b.inputs[7];
                        if (path == 1) b.inputs[7] = nullptr;
                        _mm_setcsr(host);
                        b.run(p.effect, path == 2 ? 0 : 64);
                        const unsigned after = _mm_getcsr();
                        _mm_setcsr(original);
                        b.inputs[7] = seventh;
                        EXPECT_EQ(after, host) << "path " << path;
                        for (const auto& c : b.out)
                            for (float v : c) ASSERT_NE(std::fpclassify(v), FP_SUBNORMAL) << std::hex << host;
                    }
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

// Hosts suspend and resume and repeat the block size and rate they already
// gave. Against a twin instance never re-activated, fed the same noise: a
// repeated setting changes no bit; after a resume or a new block size every
// beam agrees within -60 dB once 100 ms have passed, and the beam that is off
// is exact +0 throughout.
TEST(Audio, ReactivationKeepsTheBeamsWhereTheProgramPutsThem) {
    enum Sequence { suspendResume, sameBlock, sameRate, largerBlock, smallerBlock };
    for (Sequence sequence : {suspendResume, sameBlock, sameRate, largerBlock, smallerBlock}) {
        SCOPED_TRACE(::testing::Message() << "sequence " << sequence);
        PluginInstance a, twin;
        for (PluginInstance* p : {&a, &twin}) {
            p->call(effSetSampleRate, 0, 0, nullptr, 44100.0f);
            p->call(effSetBlockSize, 0, 512);
            p->call(effMainsChanged, 0, 1);
            p->set(0, 0.0f);              // beam 0 at the zenith,
            p->set(2, 7.5f / 12);         // card3
            p->set(7, 0.0f);              // beam 1 off
            p->set(8, 1.0f / 3);          // beam 2 at 60 / 200, hyper2
            p->set(9, 200.0f / 360);
            p->set(10, 5.5f / 12);
        }
        // Both settle first: glides, crossfades and the high band's region
        // fades of the twin end within a second.
        constexpr int settle = 90 * 512, after = 40 * 512;
        const auto noise = whiteNoise(static_cast<std::size_t>(settle + after) * 32, 21);
        int clock = 0;
        double peak[8] = {}, error[8] = {};
        bool identical = true, offSilent = true;
        auto run = [&](int frames, bool compare) {
            HostBuffers x(frames), y(frames);
            for (int c = 0; c < 32; ++c)
                for (int i = 0; i < frames; ++i) x.in[c][i] = y.in[c][i] = noise[(clock + i) * 32 + c];
            x.run(a.effect, frames);
            y.run(twin.effect, frames);
            for (int c = 0; c < 8; ++c)
                for (int i = 0; i < frames; ++i) {
                    const float u = x.out[c][i], v = y.out[c][i];
                    identical = identical && std::memcmp(&u, &v, sizeof u) == 0;
                    if (!compare) continue;
                    if (c == 1) offSilent = offSilent && u == 0.0f && !std::signbit(u);
                    if (clock + i < settle + 4410) continue;
                    peak[c] = std::max(peak[c], std::fabs(double(v)));
                    error[c] = std::max(error[c], std::fabs(double(u) - v));
                }
            clock += frames;
        };
        while (clock < settle) run(512, false);
        ASSERT_TRUE(identical);
        switch (sequence) {
            case suspendResume:
                a.call(effMainsChanged, 0, 0);
                a.call(effMainsChanged, 0, 1);
                break;
            case sameBlock: a.call(effSetBlockSize, 0, 512); break;
            case sameRate: a.call(effSetSampleRate, 0, 0, nullptr, 44100.0f); break;
            case largerBlock:
                a.call(effMainsChanged, 0, 0);
                a.call(effSetBlockSize, 0, 2048);
                a.call(effMainsChanged, 0, 1);
                break;
            case smallerBlock:
                a.call(effMainsChanged, 0, 0);
                a.call(effSetBlockSize, 0, 256);
                a.call(effMainsChanged, 0, 1);
                break;
        }
        while (clock < settle + after) run(256, true);
        EXPECT_TRUE(offSilent) << "the beam that is off";
        if (sequence == sameBlock || sequence == sameRate) {
            EXPECT_TRUE(identical) << "untouched";
        }
        for (int c : {0, 2, 3}) {
            ASSERT_GT(peak[c], 0.01) << "beam " << c;
            EXPECT_LE(error[c], 1e-3 * peak[c]) << "beam " << c;
        }
    }
}

// What the effect record reports is the delay an impulse takes through the
// beams, from construction on and after every change of it; a host that
// accepts it hears of each change, one that does not is not asked to.
TEST(Audio, TheReportedDelayIsTheMeasuredOne) {
    static int ioChanged = 0;
    static VstIntPtr canDoAnswer = 0;
    auto host = [](AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void* ptr, float) -> VstIntPtr {
        if (opcode == audioMasterVersion) return vstVersion;
        if (opcode == audioMasterCanDo)
            return std::strcmp(static_cast<const char*>(ptr), "acceptIOChanges") == 0 ? canDoAnswer : 0;
        if (opcode == audioMasterIOChanged) ++ioChanged;
        return 0;
    };
    for (VstIntPtr answer : {VstIntPtr{1}, VstIntPtr{-1}}) {
        canDoAnswer = answer;
        ioChanged = 0;
        AEffect* e = CQB32Vst::createInstance(host);
        ASSERT_NE(e, nullptr);
        auto& plugin = *static_cast<CQB32Vst*>(e->object);
        // Silence, then an impulse on every capsule: the omnidirectional
        // beams' largest output sample is where the impulse comes out.
        auto measured = [&] {
            HostBuffers b(2048);
            for (int block = 0; block < 4; ++block) b.run(e, 2048);
            for (auto& c : b.in) c[0] = 1.0f;
            b.run(e, 2048);
            const auto& y = b.out[0];
            return static_cast<int>(std::max_element(y.begin(), y.end(), [](float p, float q) {
                                        return std::fabs(p) < std::fabs(q);
                                    }) - y.begin());
        };
        EXPECT_GT(e->initialDelay, 0);
        EXPECT_EQ(e->initialDelay, measured()) << "at construction";
        e->dispatcher(e, effSetBlockSize, 0, 2048, nullptr, 0.0f);
        EXPECT_EQ(e->initialDelay, measured()) << "after a new block size";
        const int modeZero = e->initialDelay;
        EXPECT_EQ(ioChanged, 0) << "the delay did not move";
        for (int mode : {1, 2, 0}) {
            ASSERT_EQ(plugin.setEqualisationMode(mode), 0);
            EXPECT_EQ(e->initialDelay, measured()) << "equalisation mode " << mode;
        }
        EXPECT_GT(modeZero, 0);
        EXPECT_EQ(ioChanged, answer == 1 ? 2 : 0) << "mode 1 moved it, mode 2 back";
        for (float rate : {48000.0f, 192000.0f, 44100.0f}) {
            e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, rate);
            EXPECT_EQ(e->initialDelay, measured()) << rate << " Hz";
        }
        EXPECT_EQ(ioChanged, answer == 1 ? 5 : 0) << "each new rate moved it";
        e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
    }
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
        p.set(4 * ((block + 3) % 8) + 3, block % 3 == 0 ? 0.0f : 1.0f);  // a beam off or on
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
