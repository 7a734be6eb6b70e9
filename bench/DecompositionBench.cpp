// Modal decomposition: CEbf::process in the three equalisation modes, and the
// matrix product alone in its tiled form against the plain one (one
// vecScale / vecScaleAdd pass over the block per output and input) in the
// same run. Counter `realTime` = seconds of 44.1 kHz audio per second of
// processing on one core.

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "engine/CEbf.h"
#include "engine/DecompositionKernel.h"
#include "engine/tables/DecompositionTables.h"

namespace {

using namespace qb32;

constexpr double sampleRate_hz = 44100.0;

struct Channels {
    Channels(int count, int frames) : data(count, std::vector<float>(frames)) {
        std::mt19937 rng(7);
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        for (auto& c : data) {
            for (auto& v : c) v = dist(rng);
            pointers.push_back(c.data());
        }
    }
    std::vector<std::vector<float>> data;
    std::vector<float*> pointers;
};

void setRealTime(benchmark::State& state, int frames) {
    state.counters["realTime"] = benchmark::Counter(static_cast<double>(state.iterations()) * frames / sampleRate_hz,
                                                    benchmark::Counter::kIsRate);
}

void decompositionProcess(benchmark::State& state) {
    const int mode = static_cast<int>(state.range(0));
    const int frames = static_cast<int>(state.range(1));
    CEbf ebf;
    const auto in = timeDomainStream(32, static_cast<float>(sampleRate_hz), frames);
    const auto out = timeDomainStream(16, static_cast<float>(sampleRate_hz), frames);
    const float* rows[16];
    for (int k = 0; k < 16; ++k) rows[k] = tables::decompositionMatrix[k];
    const double* biquads[4];
    for (int n = 0; n < 4; ++n) biquads[n] = mode == 1 ? tables::biquadSetB[n] : tables::biquadSetA[n];
    const float* firs[4];
    for (int n = 0; n < 4; ++n) firs[n] = tables::firEqualisers[n];
    if (ebf.configure(in, out) != 0 || ebf.setDecompositionMatrix(rows) != 0 ||
        ebf.setBiquadEqualisers(biquads, mode == 1 ? tables::biquadSetBSections : tables::biquadSetASections) != 0 ||
        ebf.setFirEqualisers(firs) != 0) {
        state.SkipWithError("set-up failed");
        return;
    }
    ebf.setEqMode(mode);
    Channels x(32, frames), y(16, frames);
    for (auto _ : state) {
        ebf.process(x.pointers.data(), y.pointers.data(), frames);
        benchmark::DoNotOptimize(y.pointers[15][frames - 1]);
    }
    setRealTime(state, frames);
}
BENCHMARK(decompositionProcess)->ArgNames({"mode", "frames"})->ArgsProduct({{0, 1, 2}, {512}});

template <bool tiled>
void decompositionMatrix(benchmark::State& state) {
    const int frames = static_cast<int>(state.range(0));
    const float* rows[16];
    for (int k = 0; k < 16; ++k) rows[k] = tables::decompositionMatrix[k];
    Channels x(32, frames), y(16, frames);
    for (auto _ : state) {
        if (tiled) decomposeTiled(rows, 16, x.pointers.data(), 32, y.pointers.data(), frames);
        else decomposeByPasses(rows, 16, x.pointers.data(), 32, y.pointers.data(), frames);
        benchmark::DoNotOptimize(y.pointers[15][frames - 1]);
    }
    setRealTime(state, frames);
}
BENCHMARK(decompositionMatrix<true>)->Name("decompositionMatrixTiled")->Arg(64)->Arg(512)->Arg(4096);
BENCHMARK(decompositionMatrix<false>)->Name("decompositionMatrixByPasses")->Arg(64)->Arg(512)->Arg(4096);

}  // namespace
