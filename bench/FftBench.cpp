// The transforms behind the partitioned convolutions: the 64-point one and
// the 128/256/512-point ones built from it, a forward and an inverse per
// iteration. Items are points, so rows of one run compare the cost per point
// (a transform of 64 m points costs at least log2(64 m) / 6 times the 64-point
// one per point).

#include <benchmark/benchmark.h>

#include <random>

#include "framework/Fft64.h"

namespace {

using namespace qb32;

void fftForwardInverse(benchmark::State& state) {
    const int m = static_cast<int>(state.range(0));
    alignas(32) static float re[512], im[512], spectrum[1024];
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (int i = 0; i < 512; ++i) re[i] = dist(rng), im[i] = dist(rng);
    for (auto _ : state) {
        if (m == 1) {
            fft64::forward(re, im);
            fft64::inverse(re, im);
            for (int i = 0; i < 64; ++i) re[i] *= 1.0f / 64.0f, im[i] *= 1.0f / 64.0f;
        } else {
            fft64::forwardBlocks(re, im, spectrum, m);
            fft64::inverseBlocks(spectrum, re, im, m);
            for (int i = 0; i < 64 * m; ++i) re[i] *= 1.0f / (64.0f * m), im[i] *= 1.0f / (64.0f * m);
        }
        benchmark::DoNotOptimize(re);
    }
    state.SetItemsProcessed(state.iterations() * 64 * m);
}

BENCHMARK(fftForwardInverse)->ArgName("blocks")->Arg(1)->Arg(2)->Arg(4)->Arg(8);

}  // namespace
