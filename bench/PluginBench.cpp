// The whole plug-in through processReplacing beside the engine alone, in the
// same run, so the shell's share is a ratio: 8 beams, program 0 (omni beams)
// or eight "card3" beams, 512 and 64 frames, with or without one parameter
// change (an elevation) per block. Both rows process the same white noise with
// flush-to-zero and denormals-are-zero on, as the plug-in's callback does, and
// drive the engine through the same calls.

#include <benchmark/benchmark.h>

#include <cstdint>
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

// One callback after a flood of parameter changes, 512 frames, eight card3
// beams: 0 changes (a steady callback), 1, 32 (every parameter once), 1,023
// (what the former queue held) and 100,000 (a control surface, or a program
// load written at a high rate, between two callbacks). The changes cycle over
// the parameters: with `patterns` 1 over all 32 (directions and patterns to
// new values, status kept on), with 0 over the directions only (a fader
// sweep). Only the callback after the flood is timed; untimed callbacks then
// let glides and crossfades end, so every timed callback starts from the same
// steady state. The figure that matters is the ratio to the steady row.
void pluginFlood(benchmark::State& state) {
    constexpr int frames = 512, settleCallbacks = 48;  // 0.56 s: the longest glide and a crossfade
    const long changes = static_cast<long>(state.range(0));
    const bool patterns = state.range(1) != 0;
    Signals s(frames);
    AEffect* e = CQB32Vst::createInstance(host);
    e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, 44100.0f);
    e->dispatcher(e, effSetBlockSize, 0, frames, nullptr, 0.0f);
    e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);
    for (int b = 0; b < beams; ++b) e->setParameter(e, 4 * b + 2, (card3 + 0.5f) / 12.0f);
    auto callback = [&] { e->processReplacing(e, s.inputs.data(), s.outputs.data(), frames); };
    for (int c = 0; c < settleCallbacks; ++c) callback();
    std::uint32_t round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ++round;
        for (long k = 0; k < changes; ++k) {
            const int kind = static_cast<int>(patterns ? k % 4 : k % 2);
            const int beam = static_cast<int>((k / 4) % beams);
            const std::uint32_t mixed = (round * 0x9E3779B9u) ^ (static_cast<std::uint32_t>(k) * 2654435761u);
            const float moving = static_cast<float>((mixed * 2246822519u) >> 8) / 16777216.0f;
            e->setParameter(e, 4 * beam + kind, kind == 3 ? 1.0f : moving);
        }
        state.ResumeTiming();
        callback();
        benchmark::DoNotOptimize(s.out[0][0]);
        state.PauseTiming();
        for (int c = 0; c < settleCallbacks; ++c) callback();
        state.ResumeTiming();
    }
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
}
BENCHMARK(pluginFlood)
    ->ArgNames({"changes", "patterns"})
    ->ArgsProduct({{0, 1, 32, 1023, 100000}, {0, 1}})
    ->Iterations(150)
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
