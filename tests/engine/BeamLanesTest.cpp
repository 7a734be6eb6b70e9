// Calls of a few samples run the beams side by side in vector lanes. Their
// output must be the per-beam path's, bit for bit, whatever happens around
// them: the same stream and the same calls with the path switched on and off,
// through random automation that leaves and re-enters it; and steady streams
// in single samples against long blocks. Each at every instruction-set level
// the machine runs (the side-by-side path from AVX2 up).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "engine/BeamLanes.h"
#include "engine/CQb32.h"
#include "engine/CQuorbix.h"
#include "patterns/CQbPattern.h"
#include "framework/SampleRates.h"
#include "framework/Simd.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/Reference.h"
#include "tests/support/SimdLevels.h"

namespace qb32 {
namespace {

struct Event {
    int at;
    int beam;
    int kind;  // 0 elevation, 1 azimuth, 2 pattern, 3 on/off, 4 clear, 5 output mode 3 for a while
    int value;
};

struct Stream {
    Stream(int beams, int samples) : in(32), out(beams, std::vector<float>(samples, 0.0f)) {
        for (int q = 0; q < 32; ++q) in[q] = testing::whiteNoise(samples, 900 + q);
    }
    // One call of n samples from `at`.
    void call(CQb32& engine, int at, int n) {
        const float* ip[32];
        float* op[16];
        for (std::size_t c = 0; c < in.size(); ++c) ip[c] = in[c].data() + at;
        for (std::size_t c = 0; c < out.size(); ++c) op[c] = out[c].data() + at;
        engine.process(ip, op, n);
    }
    std::vector<std::vector<float>> in, out;
};

void setPattern(CQb32& engine, int beam, int pattern) {
    engine.setControl(beam, CQb32::pattern, &pattern, 1, valueType::int32);
}

void apply(CQb32& engine, const Event& e) {
    switch (e.kind) {
        case 0: engine.setElevation(e.beam, static_cast<float>(e.value)); break;
        case 1: engine.setAzimuth(e.beam, static_cast<float>(e.value)); break;
        case 2: setPattern(engine, e.beam, e.value); break;
        case 3: engine.setBeamActive(e.beam, e.value != 0); break;
        case 4: engine.clearSignalState(); break;
        default: engine.setOutputMode(e.value); break;
    }
}

// Events far enough apart that most segments reach a steady state (pattern
// crossfades take 250 ms, glides one degree per 100 samples at 44.1 kHz);
// at other rates the same times.
std::vector<Event> automation(int beams, int samples, std::uint32_t seed, int rate = 44100) {
    std::mt19937 rng(seed);
    std::vector<Event> events;
    int outputMode = 1;
    const auto scaled = [rate](int n) { return sampleRates::scaledSamples(n, rate); };
    for (int at = scaled(1500); at < samples - scaled(2000);) {
        Event e{at, static_cast<int>(rng() % beams), static_cast<int>(rng() % 6), 0};
        switch (e.kind) {
            case 0: e.value = 60 + static_cast<int>(rng() % 60); break;
            case 1: e.value = static_cast<int>(rng() % 60) - 30; break;
            case 2: e.value = static_cast<int>(rng() % 12); break;
            case 3: e.value = static_cast<int>(rng() % 3 != 0); break;
            case 4: break;
            default: outputMode = outputMode == 1 ? 3 : 1; e.value = outputMode; break;
        }
        events.push_back(e);
        at += scaled(4000 + static_cast<int>(rng() % 20000));
    }
    if (outputMode != 1) events.push_back({samples - scaled(1000), 0, 5, 1});
    return events;
}

// Runs `stream` through a fresh engine, cutting it at every event and, in
// between, into calls of `sizes` (cycled). Patterns: the catalogue shuffled
// over the beams, or one pattern for all (`onePattern`, card3: the beams
// then share their modal filters between the events).
std::uint64_t render(Stream& stream, int beams, int eqMode, const std::vector<Event>& events,
                     const std::vector<int>& sizes, int rate = 44100, bool onePattern = false,
                     int* sharedCalls = nullptr) {
    CQb32 engine;
    const auto r = static_cast<float>(rate);
    EXPECT_EQ(engine.configure(timeDomainStream(32, r, 512), timeDomainStream(beams, r, 512)), 0);
    EXPECT_EQ(engine.setEqualisationMode(eqMode), 0);
    for (int b = 0; b < beams; ++b) {
        setPattern(engine, b, onePattern ? 7 : (5 * b + 7) % 12);  // card3 first, then the catalogue shuffled
        engine.setElevation(b, 90.0f - 5.0f * b);
        engine.setAzimuth(b, 10.0f * b);
    }
    engine.start();  // at the targets, the filters committed
    engine.stop();
    const int samples = static_cast<int>(stream.in[0].size());
    std::size_t next = 0, size = 0;
    for (int at = 0; at < samples;) {
        while (next < events.size() && events[next].at == at) apply(engine, events[next++]);
        const int stop = next < events.size() ? events[next].at : samples;
        const int n = std::min(sizes[size++ % sizes.size()], stop - at);
        stream.call(engine, at, n);
        if (sharedCalls != nullptr && engine.getFrontEnd()->sharedSetCount() > 0) ++*sharedCalls;
        at += n;
    }
    return engine.sideBySideCalls();
}

std::vector<int> smallCalls(std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<int> sizes(4000);
    for (int& s : sizes) s = rng() % 20 == 0 ? 17 + static_cast<int>(rng() % 700) : 1 + static_cast<int>(rng() % 16);
    return sizes;
}

void expectSameBits(const Stream& a, const Stream& b) {
    for (std::size_t beam = 0; beam < a.out.size(); ++beam) {
        const auto& x = a.out[beam];
        const auto& y = b.out[beam];
        const auto differ = std::mismatch(x.begin(), x.end(), y.begin(), [](float p, float q) {
            return std::memcmp(&p, &q, sizeof p) == 0;
        });
        EXPECT_TRUE(differ.first == x.end()) << "beam " << beam << " first differs at sample "
                                             << (differ.first - x.begin());
    }
}

bool lanesAvailable() { return simd::atLeast(simd::activeLevel(), simd::Level::avx2); }

struct Variant {
    int eqMode, beams;
    bool onePattern;
};
constexpr Variant variants[] = {{0, 8, false}, {0, 5, false}, {1, 8, false}, {1, 5, false}, {0, 8, true}};

void tinyCallsGiveThePerBeamBits() {
    if (!lanesAvailable()) GTEST_SKIP() << "side-by-side path needs AVX2";
    const int samples = 120000;
    for (const Variant& v : variants) {
        {
            const int eqMode = v.eqMode, beams = v.beams;
            const auto events = automation(beams, samples, 40 + beams + eqMode);
            const auto sizes = smallCalls(7 + eqMode);
            Stream perBeam(beams, samples), sideBySide(beams, samples);
            beamLanes::setEnabled(false);
            const std::uint64_t off = render(perBeam, beams, eqMode, events, sizes, 44100, v.onePattern);
            beamLanes::setEnabled(true);
            int sharedCalls = 0;
            const std::uint64_t on =
                render(sideBySide, beams, eqMode, events, sizes, 44100, v.onePattern, &sharedCalls);
            SCOPED_TRACE(::testing::Message() << "eq " << eqMode << ", " << beams << " beams"
                                              << (v.onePattern ? ", one pattern" : ""));
            if (v.onePattern) {
                EXPECT_GT(sharedCalls, 1000) << "the beams shared their modal filters";
            }
            // The comparison means something only if the path was taken, often.
            EXPECT_EQ(off, 0u);
            EXPECT_GT(on, 500u);
            expectSameBits(perBeam, sideBySide);
        }
    }
}

TEST(BeamLanes, TinyCallsGiveThePerBeamBitsThroughRandomAutomation) {
    if (!lanesAvailable()) GTEST_SKIP() << "side-by-side path needs AVX2";
    testing::atEveryLevel(tinyCallsGiveThePerBeamBits, simd::Level::avx2);
}

// The whole engine must not depend on the host's block sizes, through the
// same automation: long blocks against mostly tiny calls, both paths in play.
void tinyCallsGiveTheBitsOfLongBlocks() {
    const int samples = 120000;
    for (const Variant& v : variants) {
        const int eqMode = v.eqMode, beams = v.beams;
        const auto events = automation(beams, samples, 60 + eqMode + beams);
        Stream blocks(beams, samples), tiny(beams, samples);
        render(blocks, beams, eqMode, events, {512}, 44100, v.onePattern);
        render(tiny, beams, eqMode, events, smallCalls(11 + eqMode + beams), 44100, v.onePattern);
        SCOPED_TRACE(::testing::Message() << "eq " << eqMode << ", " << beams << " beams"
                                          << (v.onePattern ? ", one pattern" : ""));
        expectSameBits(blocks, tiny);
    }
}

TEST(BeamLanes, TinyCallsGiveTheBitsOfLongBlocksThroughRandomAutomation) {
    testing::atEveryLevel(tinyCallsGiveTheBitsOfLongBlocks);
}

// Every beam of the catalogue at once, each in its own lane, with single
// samples: the patterns differ in their used orders, their modal delays
// (omni) and their crossover lengths (55, 41 and 37 taps).
void singleSamplesForEveryPattern() {
    if (!lanesAvailable()) GTEST_SKIP() << "side-by-side path needs AVX2";
    const int samples = 40000;
    for (int first : {0, 8}) {
        Stream blocks(8, samples), single(8, samples);
        std::vector<Event> events;
        for (int b = 0; b < 8; ++b) events.push_back({1, b, 2, (first + b) % 12});
        const std::uint64_t blockLanes = render(blocks, 8, 0, events, {1, 511});
        const std::uint64_t singleLanes = render(single, 8, 0, events, {1});
        EXPECT_GT(singleLanes, static_cast<std::uint64_t>(samples) / 2);
        EXPECT_LT(blockLanes, 100u);
        expectSameBits(blocks, single);
    }
}

TEST(BeamLanes, SingleSamplesForEveryPatternSideBySide) {
    if (!lanesAvailable()) GTEST_SKIP() << "side-by-side path needs AVX2";
    testing::atEveryLevel(singleSamplesForEveryPattern, simd::Level::avx2);
}

// Every setter of every stage the side-by-side path copies from, called on
// the stage itself rather than through the engine (as an engine operation
// that does not tell the lanes would): from the next call on the output is
// the per-beam path's, bit for bit.
void stagesChangedBehindTheLanesBack() {
    if (!lanesAvailable()) GTEST_SKIP() << "side-by-side path needs AVX2";
    using Poke = void (*)(CQb32&, CQuorbix&);
    struct Case {
        const char* what;
        Poke poke;
    };
    static const auto otherTaps = [](CQb32& e, int pattern, const float** taps) {
        const CQbPattern* p = e.getPattern(pattern);
        for (int n = 0; n < 4; ++n) taps[n] = modalFilterTaps(*p, 0, n);
        return p;
    };
    const Case cases[] = {
        {"modal target azimuth", [](CQb32&, CQuorbix& f) { f.modalStage(2)->setTargetAzimuth(45); }},
        {"modal elevation", [](CQb32&, CQuorbix& f) { f.modalStage(0)->setElevation(100.0f); }},
        {"modal filters", [](CQb32& e, CQuorbix& f) {
             const float* taps[4];
             const CQbPattern* p = otherTaps(e, 9, taps);
             f.modalStage(1)->loadModalFilters(modalFilterLengthRow(*p, 0), taps);
         }},
        {"modal filters settled", [](CQb32& e, CQuorbix& f) {
             const float* taps[4];
             const CQbPattern* p = otherTaps(e, 4, taps);
             f.modalStage(5)->loadModalFilters(modalFilterLengthRow(*p, 0), taps);
             f.modalStage(5)->settle();
         }},
        {"modal reset", [](CQb32&, CQuorbix& f) { f.modalStage(3)->reset(); }},
        {"high band mode", [](CQb32&, CQuorbix& f) {
             CQbHf& hf = *f.highBandStage(3);
             hf.changeMode(hf.getMode() == 1 ? 2 : 1);
         }},
        {"high band reset", [](CQb32&, CQuorbix& f) { f.highBandStage(6)->reset(); }},
        {"low crossover filter", [](CQb32& e, CQuorbix& f) {
             const CQbPattern* p = e.getPattern(10);
             const float* taps[1] = {p->lowBandFilter};
             const int lengths[1] = {p->crossoverLength};
             f.lowCrossoverStage(0)->loadFilter(lengths, taps);
             f.lowCrossoverStage(0)->settle();
         }},
        {"high crossover reset", [](CQb32&, CQuorbix& f) { f.highCrossoverStage(4)->reset(); }},
        {"post filter", [](CQb32& e, CQuorbix& f) {
             const CQbPattern* p = e.getPattern(0);
             const float* taps[1] = {postFilterTaps(*p, 0)};
             const int lengths[1] = {postFilterTapCount(*p, 0)};
             f.postStage(7)->loadFilter(lengths, taps);
             f.postStage(7)->settle();
         }},
        {"post reset", [](CQb32&, CQuorbix& f) { f.postStage(2)->reset(); }},
        {"post latency", [](CQb32& e, CQuorbix& f) {
             const CQbPattern* p = e.getPattern(7);
             const float* taps[1] = {postFilterTaps(*p, 2)};
             const int lengths[1] = {postFilterTapCount(*p, 2)};
             f.postStage(1)->setLatency(f.postStage(1)->getLatency());  // new storage
             f.postStage(1)->loadFilter(lengths, taps);
         }},
        {"high band delay clear", [](CQb32&, CQuorbix& f) { f.highBandDelayLine(5)->clear(); }},
        {"high band delay resize", [](CQb32&, CQuorbix& f) {
             f.highBandDelayLine(0)->resize(f.highBandDelayLine(0)->getLength());
         }},
        {"output delay clear", [](CQb32&, CQuorbix& f) { f.outputDelayLine(6)->clear(); }},
        {"every output delay longer", [](CQb32&, CQuorbix& f) {
             for (int b = 0; b < 8; ++b) f.outputDelayLine(b)->resize(f.outputDelayLine(b)->getLength() + 3);
         }},
    };
    constexpr int samples = 9000, pokeAt = 4000;
    const auto sizes = smallCalls(5);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Stream perBeam(8, samples), sideBySide(8, samples);
        std::uint64_t servedBefore = 0;
        for (Stream* stream : {&perBeam, &sideBySide}) {
            beamLanes::setEnabled(stream == &sideBySide);
            CQb32 engine;
            ASSERT_EQ(engine.configure(timeDomainStream(32, 44100.0f, 512), timeDomainStream(8, 44100.0f, 512)), 0);
            for (int b = 0; b < 8; ++b) setPattern(engine, b, (7 * b + 2) % 12);
            engine.start();
            engine.stop();
            std::size_t next = 0;
            for (int at = 0; at < samples;) {
                if (at == pokeAt) {
                    servedBefore = engine.sideBySideCalls();
                    c.poke(engine, *engine.getFrontEnd());
                }
                const int limit = at < pokeAt ? pokeAt : samples;
                const int n = std::min(sizes[next++ % sizes.size()], limit - at);
                stream->call(engine, at, n);
                at += n;
            }
        }
        beamLanes::setEnabled(true);
        EXPECT_GT(servedBefore, 100u) << "the lanes held the stages when they were changed";
        expectSameBits(perBeam, sideBySide);
    }
}

TEST(BeamLanes, StagesChangedBehindTheLanesBackAreSeen) {
    if (!lanesAvailable()) GTEST_SKIP() << "side-by-side path needs AVX2";
    testing::atEveryLevel(stagesChangedBehindTheLanesBack, simd::Level::avx2);
}

// At other rates (48 kHz; 192 kHz, whose high-band delay in equalisation
// mode 1, 1915 samples, is the longest), with their longer
// filters and the on/off ramp, glides and fades in the same times: the
// side-by-side path gives the per-beam bits, and tiny calls give the bits of
// long blocks.
class BeamLanesAtRate : public ::testing::TestWithParam<int> {};

TEST_P(BeamLanesAtRate, TinyCallsGiveThePerBeamAndTheLongBlockBits) {
    if (!lanesAvailable()) GTEST_SKIP() << "side-by-side path needs AVX2";
    const int rate = GetParam();
    // Automation over the first 20000 samples' time, then a steady stretch
    // in which every beam comes to rest (glides of up to 60 degrees).
    const int samples = sampleRates::scaledSamples(45000, rate);
    for (int eqMode : {0, 1}) {
        const auto events = automation(8, sampleRates::scaledSamples(20000, rate), 80 + eqMode, rate);
        const auto sizes = smallCalls(21 + eqMode);
        Stream perBeam(8, samples), sideBySide(8, samples), blocks(8, samples);
        beamLanes::setEnabled(false);
        const std::uint64_t off = render(perBeam, 8, eqMode, events, sizes, rate);
        beamLanes::setEnabled(true);
        const std::uint64_t on = render(sideBySide, 8, eqMode, events, sizes, rate);
        render(blocks, 8, eqMode, events, {512}, rate);
        SCOPED_TRACE(::testing::Message() << rate << " Hz, eq " << eqMode);
        EXPECT_EQ(off, 0u);
        EXPECT_GT(on, 100u);
        expectSameBits(perBeam, sideBySide);
        expectSameBits(blocks, sideBySide);
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, BeamLanesAtRate, ::testing::Values(48000, 192000),
                         [](const ::testing::TestParamInfo<int>& rate) { return std::to_string(rate.param); });

void moreBeamsThanLanes() {
    const int samples = 4000;
    Stream blocks(12, samples), tiny(12, samples);
    render(blocks, 12, 0, {}, {512});
    EXPECT_EQ(render(tiny, 12, 0, {}, {3}), 0u);
    expectSameBits(blocks, tiny);
}

TEST(BeamLanes, MoreBeamsThanLanesTakeThePerBeamPath) {
    testing::atEveryLevel(moreBeamsThanLanes);
}

TEST(BeamLanes, NothingAllocatesInTinyCallsOrWhenLeavingThem) {
    Stream s(8, 4096);
    CQb32 engine;
    ASSERT_EQ(engine.configure(timeDomainStream(32, 44100.0f, 512), timeDomainStream(8, 44100.0f, 512)), 0);
    for (int b = 0; b < 8; ++b) setPattern(engine, b, b);
    engine.start();
    engine.stop();
    s.call(engine, 0, 512);
    testing::AllocationScope scope;
    int at = 512;
    for (int i = 0; i < 200; ++i, at += 3) s.call(engine, at, 3);
    setPattern(engine, 2, 9);  // leaves the path: the crossfade runs per beam
    s.call(engine, at, 512);
    engine.clearSignalState();
    for (int i = 0; i < 100; ++i, at += 1) s.call(engine, at, 1);
    EXPECT_EQ(scope.allocations(), 0u);
    EXPECT_GT(engine.sideBySideCalls(), 0u);
}

}  // namespace
}  // namespace qb32
