// High-band capsule beam (CQbHf): one beam at 512-sample blocks, modes 1 and
// 2, with the direction steady and with a region fade under way in (nearly)
// every block. The naive reference in the same run weights and mixes all 32
// capsules every block, which is what the active-capsule list avoids.
// Counter xRealTime = seconds of 44.1 kHz audio processed per second.

#include <benchmark/benchmark.h>

#include <array>
#include <random>
#include <vector>

#include "filters/CQbHf.h"
#include "filters/tables/RegionTables.h"
#include "framework/Primitives.h"

namespace {

using namespace qb32;

constexpr int block = 512;
constexpr int capsules = 32;
constexpr float rate_hz = 44100.0f;

struct Signals {
    std::vector<std::vector<float>> data;
    std::array<const float*, capsules> in{};
    std::vector<float> out = std::vector<float>(block);
    std::array<int, block> elevation{};
    std::array<int, block> azimuth{};

    explicit Signals(bool fading) : data(capsules, std::vector<float>(block)) {
        std::mt19937 rng(5);
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        for (int c = 0; c < capsules; ++c) {
            for (float& v : data[static_cast<std::size_t>(c)]) v = dist(rng);
            in[static_cast<std::size_t>(c)] = data[static_cast<std::size_t>(c)].data();
        }
        // Fading: half of each block looks elsewhere, so a new fade starts as
        // soon as the previous one ends.
        for (int i = 0; i < block; ++i) {
            const bool other = fading && i >= block / 2;
            elevation[static_cast<std::size_t>(i)] = other ? 10 : 90;
            azimuth[static_cast<std::size_t>(i)] = other ? 200 : 0;
        }
    }
};

void report(benchmark::State& state) {
    const auto samples = static_cast<double>(state.iterations()) * block;
    state.SetItemsProcessed(static_cast<std::int64_t>(samples));
    state.counters["xRealTime"] = benchmark::Counter(samples / rate_hz, benchmark::Counter::kIsRate);
}

void highBand(benchmark::State& state) {
    const int mode = static_cast<int>(state.range(0));
    const bool fading = state.range(1) != 0;
    Signals s(fading);
    CQbHf hf;
    hf.configure(timeDomainStream(capsules, rate_hz, block), timeDomainStream(1, rate_hz, block));
    hf.setMode(mode);
    hf.start();
    hf.setElevationSource(s.elevation.data());
    hf.setAzimuthSource(s.azimuth.data());
    float* out = s.out.data();
    int fadingBlocks = 0;
    for (auto _ : state) {
        hf.process(s.in.data(), &out, block);
        fadingBlocks += hf.isFading() ? 1 : 0;
        benchmark::DoNotOptimize(out);
    }
    state.counters["fadingShare"] = static_cast<double>(fadingBlocks) / static_cast<double>(state.iterations());
    report(state);
}

// Naive reference: every block clears and writes the weights of all 32
// capsules and mixes all 32 inputs.
void highBandAllCapsules(benchmark::State& state) {
    const int mode = static_cast<int>(state.range(0));
    Signals s(false);
    std::vector<std::vector<float>> weights(capsules, std::vector<float>(block));
    float* out = s.out.data();
    const float gain = mode == 1 ? 1.0f : 1.0f / 3.0f;
    for (auto _ : state) {
        for (auto& w : weights) vecZero(w.data(), block);
        for (int i = 0; i < block; ++i) {
            const int index = s.elevation[static_cast<std::size_t>(i)] * regionMapColumns + s.azimuth[static_cast<std::size_t>(i)];
            if (mode == 1) {
                weights[static_cast<std::size_t>(nearestCapsuleMap[index])][static_cast<std::size_t>(i)] = 1.0f;
            } else {
                const int t = capsuleTriangleMap[index];
                for (int v = 0; v < 3; ++v)
                    weights[static_cast<std::size_t>(triangleVertices[t + v * meshTriangleCount])][static_cast<std::size_t>(i)] = 1.0f;
            }
        }
        vecMul(weights[0].data(), s.in[0], out, block);
        for (int c = 1; c < capsules; ++c) vecMulAdd(s.in[static_cast<std::size_t>(c)], weights[static_cast<std::size_t>(c)].data(), out, block);
        vecScaleInPlace(gain, out, block);
        benchmark::DoNotOptimize(out);
    }
    report(state);
}

BENCHMARK(highBand)->ArgNames({"mode", "fading"})->Args({1, 0})->Args({1, 1})->Args({2, 0})->Args({2, 1});
BENCHMARK(highBandAllCapsules)->ArgNames({"mode"})->Arg(1)->Arg(2);

}  // namespace
