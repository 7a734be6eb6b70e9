// The whole engine: 32 capsules in, N beams out. The counter `rtf` is the
// real-time factor: seconds of audio processed per second of processing on
// one core. `EngineSetup` reports the cost and the heap a new engine takes.
//
// `impl` picks the implementation within one binary, so that every figure is
// also a ratio measured in the same run: 0 as built (partitioned convolution,
// SIMD as detected), 1 direct-form FIRs with SIMD (partitioned convolution
// switched off), 2 plain direct form (convolution off and the portable level:
// one output at a time with a double accumulator), 3 as built but with short
// calls kept off the side-by-side path (every beam through its own stages).

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "engine/BeamLanes.h"
#include "engine/CQb32.h"
#include "framework/PartitionedConvolver.h"
#include "framework/Simd.h"

namespace {

using namespace qb32;

constexpr int card3 = 7;
constexpr int card2 = 8;

// Holds the implementation choice for the lifetime of a benchmark (the
// convolution switch is read when filters load, the level while processing).
class Implementation {
public:
    explicit Implementation(int impl) : level(simd::activeLevel()) {
        convolution::setPartitionedEnabled(impl == 0 || impl == 3);
        beamLanes::setEnabled(impl != 3);
        if (impl == 2) simd::setActiveLevel(simd::Level::portable);
    }
    ~Implementation() {
        convolution::setPartitionedEnabled(true);
        beamLanes::setEnabled(true);
        simd::setActiveLevel(level);
    }

private:
    simd::Level level;
};

struct Rig {
    Rig(int beams, int block, int eq, int rate = 44100)
        : in(32, std::vector<float>(block)), out(beams, std::vector<float>(block)) {
        std::mt19937 rng(1);
        std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
        for (auto& c : in)
            for (auto& v : c) v = dist(rng);
        for (auto& c : in) inPtr.push_back(c.data());
        for (auto& c : out) outPtr.push_back(c.data());
        const auto r = static_cast<float>(rate);
        engine.configure(timeDomainStream(32, r, block), timeDomainStream(beams, r, block));
        engine.setEqualisationMode(eq);
        for (int b = 0; b < beams; ++b) {
            setPattern(b, card3);
            engine.setElevation(b, 30.0f + 10.0f * b);
            engine.setAzimuth(b, 45.0f * b);
        }
        engine.start();  // jump to the targets and commit the filters
        engine.stop();
    }
    void setPattern(int beam, int pattern) {
        engine.setControl(beam, CQb32::pattern, &pattern, 1, valueType::int32);
    }
    void block() { engine.process(inPtr.data(), outPtr.data(), static_cast<int>(in[0].size())); }

    CQb32 engine;
    std::vector<std::vector<float>> in, out;
    std::vector<const float*> inPtr;
    std::vector<float*> outPtr;
};

void report(benchmark::State& state, int block, double rate = 44100.0) {
    state.counters["rtf"] = benchmark::Counter(static_cast<double>(block) / rate * state.iterations(),
                                               benchmark::Counter::kIsRate);
}

// Eight (or N) "card3" beams in steady state.
void EngineSteady(benchmark::State& state) {
    const int beams = static_cast<int>(state.range(0));
    const int block = static_cast<int>(state.range(1));
    const int eq = static_cast<int>(state.range(2));
    const Implementation impl(static_cast<int>(state.range(3)));
    Rig rig(beams, block, eq);
    for (int i = 0; i < 20; ++i) rig.block();
    for (auto _ : state) rig.block();
    report(state, block);
}
BENCHMARK(EngineSteady)
    ->ArgNames({"beams", "block", "eq", "impl"})
    ->Args({8, 512, 0, 0})
    ->Args({8, 512, 0, 1})
    ->Args({8, 512, 0, 2})
    ->Args({8, 512, 1, 0})
    ->Args({8, 512, 1, 1})
    ->Args({8, 512, 1, 2})
    ->Args({8, 64, 0, 0})
    ->Args({8, 64, 0, 1})
    ->Args({8, 64, 0, 2})
    ->Args({1, 512, 0, 0})
    ->Args({4, 512, 0, 0})
    ->Args({16, 512, 0, 0})
    ->Args({8, 32, 0, 0})
    ->Args({8, 128, 0, 0})
    ->Args({8, 2048, 0, 0});

// Calls of `frames` samples into an engine configured for 512-sample blocks
// (hosts that split their buffers, or automation splitting a block).
void EngineCallSizes(benchmark::State& state) {
    const int frames = static_cast<int>(state.range(0));
    const Implementation impl(static_cast<int>(state.range(1)));
    Rig rig(8, 512, 0);
    std::vector<float*> outPtr = rig.outPtr;
    for (int i = 0; i < 20; ++i) rig.engine.process(rig.inPtr.data(), outPtr.data(), frames);
    for (auto _ : state) rig.engine.process(rig.inPtr.data(), outPtr.data(), frames);
    report(state, frames);
}
BENCHMARK(EngineCallSizes)
    ->ArgNames({"frames", "impl"})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({3, 0})
    ->Args({4, 0})
    ->Args({5, 0})
    ->Args({6, 0})
    ->Args({7, 0})
    ->Args({8, 0})
    ->Args({16, 0})
    ->Args({17, 0})
    ->Args({32, 0})
    ->Args({33, 0})
    ->Args({64, 0})
    ->Args({100, 0})
    ->Args({511, 0})
    ->Args({1, 1})
    ->Args({7, 1})
    ->Args({33, 1})
    ->Args({100, 1})
    ->Args({1, 3})
    ->Args({2, 3})
    ->Args({4, 3})
    ->Args({8, 3})
    ->Args({16, 3});

// A mixed session: eight beams, each with another pattern (every family
// and order but omni, torus and dipole), steady, 512-sample blocks.
void EngineMixed(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    Rig rig(8, 512, 0, rate);
    static constexpr int patterns[8] = {7, 1, 4, 8, 2, 5, 9, 3};  // card3 super3 hyper3 card2 super2 hyper2 card1 super1
    for (int b = 0; b < 8; ++b) rig.setPattern(b, patterns[b]);
    rig.engine.start();
    rig.engine.stop();
    for (int i = 0; i < 20; ++i) rig.block();
    for (auto _ : state) rig.block();
    report(state, 512, rate);
}
BENCHMARK(EngineMixed)->ArgNames({"rate"})->Arg(44100)->Arg(96000)->Arg(192000);

// Every beam crossfading to a new pattern at once, all the time: each block
// lies inside a crossfade (a new load whenever one ends).
void EngineCrossfading(benchmark::State& state) {
    const int block = static_cast<int>(state.range(0));
    const Implementation impl(static_cast<int>(state.range(1)));
    Rig rig(8, block, 0);
    const int blocksPerFade = (11025 + 251) / block + 1;
    int counter = 0;
    bool flip = false;
    for (auto _ : state) {
        if (counter-- == 0) {
            state.PauseTiming();
            flip = !flip;
            for (int b = 0; b < 8; ++b) rig.setPattern(b, flip ? card2 : card3);
            counter = blocksPerFade;
            state.ResumeTiming();
        }
        rig.block();
    }
    report(state, block);
}
BENCHMARK(EngineCrossfading)->ArgNames({"block", "impl"})->Args({512, 0})->Args({512, 1})->Args({512, 2});

// Eight "card3" beams in steady state, 512-sample blocks, at each session
// rate (the 44.1 kHz row in the same run); rtf in seconds of audio at that
// rate per second of processing.
void EngineRates(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    const int eq = static_cast<int>(state.range(1));
    Rig rig(8, 512, eq, rate);
    for (int i = 0; i < 20; ++i) rig.block();
    for (auto _ : state) rig.block();
    report(state, 512, rate);
}
BENCHMARK(EngineRates)
    ->ArgNames({"rate", "eq"})
    ->Args({44100, 0})
    ->Args({48000, 0})
    ->Args({88200, 0})
    ->Args({96000, 0})
    ->Args({176400, 0})
    ->Args({192000, 0})
    ->Args({44100, 1})
    ->Args({48000, 1})
    ->Args({96000, 1})
    ->Args({192000, 1});

// A change of session rate: configure of a running engine (8 beams, 512)
// from 44.1 kHz to the rate given and back, the program's eight beams
// loaded again as the shell does; the time of one change.
void EngineRateChange(benchmark::State& state) {
    const auto rate = static_cast<float>(state.range(0));
    CQb32 engine;
    engine.configure(timeDomainStream(32, 44100.0f, 512), timeDomainStream(8, 44100.0f, 512));
    bool there = false;
    for (auto _ : state) {
        there = !there;
        const float r = there ? rate : 44100.0f;
        engine.configure(timeDomainStream(32, r, 512), timeDomainStream(8, r, 512));
        for (int b = 0; b < 8; ++b) {
            int pattern = card3;
            engine.setControl(b, CQb32::pattern, &pattern, 1, valueType::int32);
        }
    }
}
BENCHMARK(EngineRateChange)->ArgNames({"rate"})->Arg(48000)->Arg(192000)->Unit(benchmark::kMillisecond);

// Construction plus first configuration, and the heap one engine holds, at
// 44.1 kHz (the host's first configuration) or another rate.
void EngineSetup(benchmark::State& state) {
    const auto rate = static_cast<float>(state.range(0));
    std::size_t heap = 0;
    for (auto _ : state) {
        const auto before = mallinfo2();
        auto engine = std::make_unique<CQb32>();
        engine->configure(timeDomainStream(32, rate, 512), timeDomainStream(8, rate, 512));
        const auto after = mallinfo2();
        heap = (after.uordblks + after.hblkhd) - (before.uordblks + before.hblkhd);
        benchmark::DoNotOptimize(engine.get());
    }
    state.counters["heap_kib"] = static_cast<double>(heap) / 1024.0;
}
BENCHMARK(EngineSetup)->ArgNames({"rate"})->Arg(44100)->Arg(192000)->Unit(benchmark::kMillisecond);

}  // namespace
