// The whole plug-in through processReplacing beside the engine alone, in the
// same run, so the shell's share is a ratio: 8 beams, program 0 (omni beams)
// or eight "card3" beams, 512 and 64 frames, with or without one parameter
// change (an elevation) per block. Both rows process the same white noise with
// flush-to-zero and denormals-are-zero on, as the plug-in's callback does, and
// drive the engine through the same calls.

#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "framework/Primitives.h"
#include "plugin/CQB32Vst.h"

namespace {

using namespace qb32;
using namespace qb32::vst;

constexpr int beams = 8;
constexpr int card3 = 7;

VstIntPtr QB32_VSTCALL host(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? vstVersion : 0;
}

struct Signals {
    explicit Signals(int frames) : in(32, std::vector<float>(frames)), out(beams, std::vector<float>(frames)) {
        std::mt19937 rng(1);
        std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
        for (auto& c : in)
            for (auto& v : c) v = dist(rng);
        for (auto& c : in) inputs.push_back(c.data());
        for (auto& c : out) outputs.push_back(c.data());
    }
    std::vector<std::vector<float>> in, out;
    std::vector<float*> inputs, outputs;
};

// Elevation values a change alternates between (whole degrees apart, so the
// steering really moves).
float changeValue(long block) { return block % 2 == 0 ? 0.40f : 0.45f; }

void report(benchmark::State& state, int frames) {
    state.counters["rtf"] = benchmark::Counter(static_cast<double>(frames) / 44100.0 * state.iterations(),
                                               benchmark::Counter::kIsRate);
}

// Args: frames, program (0: omni, 1: card3), parameter change per block (0/1).
void pluginEngineAlone(benchmark::State& state) {
    const int frames = static_cast<int>(state.range(0));
    const bool card3Program = state.range(1) != 0, change = state.range(2) != 0;
    Signals s(frames);
    // The same engine calls, in the same order, as the plug-in's construction,
    // effSetBlockSize and program make: the engine's steady state depends on
    // its history of pattern loads (see docs/PERFORMANCE.md).
    auto owned = std::make_unique<CQb32>();
    CQb32& engine = *owned;
    auto sendPattern = [&](int b, int pattern) {
        engine.setPattern(b, pattern);
        engine.loadPatternVariant(b, CQb32::defaultVariant(*engine.getBeamPattern(b)));
    };
    auto sendProgramZero = [&] {
        for (int b = 0; b < beams; ++b) {
            engine.setElevation(b, 90.0f);
            engine.setAzimuth(b, 0.0f);
            sendPattern(b, 0);
            engine.setBeamActive(b, true);
        }
    };
    engine.configure(timeDomainStream(32, 44100.0f, 512), timeDomainStream(beams, 44100.0f, 512));
    engine.setEqualisationMode(0);
    engine.setOutputMode(1);
    sendProgramZero();
    engine.configure(timeDomainStream(32, 44100.0f, frames), timeDomainStream(beams, 44100.0f, frames));
    sendProgramZero();
    if (card3Program)
        for (int b = 0; b < beams; ++b) sendPattern(b, card3);
    unsigned saved = 0;
    fpuSetFlushToZero(1, &saved);
    fpuSetDenormalsAreZero(1);
    long block = 0;
    for (auto _ : state) {
        if (change) engine.setElevation(static_cast<int>(block % beams), changeValue(block) * 180.0f);
        engine.process(s.inputs.data(), s.outputs.data(), frames);
        benchmark::DoNotOptimize(s.out[0][0]);
        ++block;
    }
    fpuSetFlushToZero(0, &saved);
    report(state, frames);
}

void pluginWhole(benchmark::State& state) {
    const int frames = static_cast<int>(state.range(0));
    const bool card3Program = state.range(1) != 0, change = state.range(2) != 0;
    Signals s(frames);
    AEffect* e = CQB32Vst::createInstance(host);
    e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, 44100.0f);
    e->dispatcher(e, effSetBlockSize, 0, frames, nullptr, 0.0f);
    e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);
    if (card3Program)
        for (int b = 0; b < beams; ++b) e->setParameter(e, 4 * b + 2, (card3 + 0.5f) / 12.0f);
    long block = 0;
    for (auto _ : state) {
        if (change) e->setParameter(e, 4 * static_cast<int>(block % beams), changeValue(block));
        e->processReplacing(e, s.inputs.data(), s.outputs.data(), frames);
        benchmark::DoNotOptimize(s.out[0][0]);
        ++block;
    }
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
    report(state, frames);
}

// A flood of parameter changes between two callbacks, 512 frames, eight
// beams: 0 changes (steady), 32 (every parameter once: busy automation),
// 1,023 (what the former queue held) and 100,000 (a control surface or a
// program load written at a high rate). The changes cycle over the
// parameters: with `patterns` 1 over all 32 (directions, patterns, status
// kept on), with 0 over the directions only (a fader sweep). Only the
// callback is timed; the ratio to the steady row is the figure that matters.
void pluginFlood(benchmark::State& state) {
    constexpr int frames = 512;
    const long changes = static_cast<long>(state.range(0));
    const bool patterns = state.range(1) != 0;
    Signals s(frames);
    AEffect* e = CQB32Vst::createInstance(host);
    e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, 44100.0f);
    e->dispatcher(e, effSetBlockSize, 0, frames, nullptr, 0.0f);
    e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);
    for (int b = 0; b < beams; ++b) e->setParameter(e, 4 * b + 2, (card3 + 0.5f) / 12.0f);
    for (int warm = 0; warm < 40; ++warm) e->processReplacing(e, s.inputs.data(), s.outputs.data(), frames);
    long change = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (long k = 0; k < changes; ++k, ++change) {
            const int kind = patterns ? static_cast<int>(change % 4) : static_cast<int>(change % 2);
            const int beam = static_cast<int>((change / 4) % beams);
            const float moving = static_cast<float>((change * 2654435761u) % 1000u) / 1000.0f;
            const float value = kind == 3 ? 1.0f : moving;
            e->setParameter(e, 4 * beam + kind, value);
        }
        state.ResumeTiming();
        e->processReplacing(e, s.inputs.data(), s.outputs.data(), frames);
        benchmark::DoNotOptimize(s.out[0][0]);
    }
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
    report(state, frames);
}
BENCHMARK(pluginFlood)
    ->ArgNames({"changes", "patterns"})
    ->ArgsProduct({{0, 32, 1023, 100000}, {0, 1}})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

void pluginArgs(benchmark::internal::Benchmark* b) {
    b->ArgNames({"frames", "card3", "change"});
    for (int frames : {512, 64})
        for (int program : {0, 1})
            for (int change : {0, 1}) b->Args({frames, program, change});
}

BENCHMARK(pluginEngineAlone)->Apply(pluginArgs);
BENCHMARK(pluginWhole)->Apply(pluginArgs);

}  // namespace
