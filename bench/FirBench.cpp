// FIR primitive: the fast paths against the plain direct form (the portable
// path: one output at a time, double accumulator) in the same run. Every
// figure is samples per second; the ratio is read across rows of one run.

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "framework/Primitives.h"
#include "framework/Simd.h"

namespace {

using namespace qb32;

void firBench(benchmark::State& state, simd::Level level) {
    const int taps = static_cast<int>(state.range(0));
    const int call = static_cast<int>(state.range(1));
    const simd::Level previous = simd::activeLevel();
    if (simd::setActiveLevel(level) != level) {
        state.SkipWithError("level not supported by this CPU");
        return;
    }
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> h(taps), x(4096), y(4096);
    for (auto& v : h) v = dist(rng);
    for (auto& v : x) v = dist(rng);
    FirState* st = nullptr;
    firInitAlloc(&st, h.data(), taps, nullptr);
    const int total = 4096 / call * call;
    for (auto _ : state) {
        for (int at = 0; at < total; at += call) firFilter(x.data() + at, y.data() + at, call, st);
        benchmark::DoNotOptimize(y.data());
    }
    state.SetItemsProcessed(state.iterations() * total);
    firFree(st);
    simd::setActiveLevel(previous);
}

void args(benchmark::internal::Benchmark* b) {
    for (int taps : {31, 41, 55, 251, 409, 631})
        for (int call : {1, 64, 512, 4096}) b->Args({taps, call});
}

BENCHMARK_CAPTURE(firBench, direct, simd::Level::portable)->Apply(args);
BENCHMARK_CAPTURE(firBench, sse2, simd::Level::sse2)->Apply(args);
BENCHMARK_CAPTURE(firBench, avx2, simd::Level::avx2)->Apply(args);

}  // namespace
