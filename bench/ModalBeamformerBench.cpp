// Modal beamformer (CMbf: 16 inputs, 251-tap filters on all four orders,
// latency 125) and crossfading FIR stage (vkxShadowFilter: 41 taps, latency
// 27), at 512-sample blocks: steady, and with a crossfade under way in every
// block (two filter sets running), each with the direction at rest and
// gliding. The naive reference in the same run is the plain per-sample form:
// table-factor steering and four direct-form FIRs with double accumulation.
// Counter xRealTime = seconds of 44.1 kHz audio processed per second.

#include <benchmark/benchmark.h>

#include <array>
#include <vector>

#include "filters/CMbf.h"
#include "filters/SteeringTables.h"
#include "filters/vkxShadowFilter.h"

namespace {

using namespace qb32;

constexpr int block = 512;
constexpr int channels = 16;
constexpr int modalTaps = 251;
constexpr float rate_hz = 44100.0f;

std::vector<float> noise(std::size_t n, unsigned seed) {
    std::vector<float> v(n);
    unsigned s = seed * 2654435761u + 1u;
    for (float& x : v) {
        s = s * 1664525u + 1013904223u;
        x = static_cast<float>(s >> 8) / 8388608.0f - 1.0f;
    }
    return v;
}

struct Inputs {
    std::vector<std::vector<float>> data;
    std::array<const float*, channels> in{};
    std::vector<float> out = std::vector<float>(block);
    Inputs() {
        for (int k = 0; k < channels; ++k) data.push_back(noise(block, 10u + static_cast<unsigned>(k)));
        for (int k = 0; k < channels; ++k) in[static_cast<std::size_t>(k)] = data[static_cast<std::size_t>(k)].data();
    }
};

struct FilterSet {
    std::array<std::vector<float>, 4> taps;
    std::array<int, 4> lengths{};
    std::array<const float*, 4> pointers{};
    explicit FilterSet(unsigned seed) {
        for (int n = 0; n < 4; ++n) {
            taps[static_cast<std::size_t>(n)] = noise(modalTaps, seed + static_cast<unsigned>(n));
            lengths[static_cast<std::size_t>(n)] = modalTaps;
            pointers[static_cast<std::size_t>(n)] = taps[static_cast<std::size_t>(n)].data();
        }
    }
};

void report(benchmark::State& state) {
    const auto samples = static_cast<double>(state.iterations()) * block;
    state.SetItemsProcessed(static_cast<std::int64_t>(samples));
    state.counters["xRealTime"] = benchmark::Counter(samples / rate_hz, benchmark::Counter::kIsRate);
}

// Keeps both axes gliding: a new far target whenever one is reached.
void keepGliding(CMbf& mbf) {
    if (mbf.getCurrentElevation() == mbf.getTargetElevation())
        mbf.setTargetElevation(mbf.getTargetElevation() < 90 ? 180 : 0);
    if (mbf.getCurrentAzimuth() == mbf.getTargetAzimuth()) mbf.setTargetAzimuth(mbf.getTargetAzimuth() + 170);
}

// range(0): 1 = crossfade in every block; range(1): 1 = gliding direction.
void modalBeamformer(benchmark::State& state) {
    const bool fading = state.range(0) != 0;
    const bool gliding = state.range(1) != 0;
    Inputs s;
    const FilterSet a(100), b(200);
    CMbf mbf;
    mbf.configure(timeDomainStream(channels, rate_hz, block), timeDomainStream(1, rate_hz, block));
    mbf.setLatency(125.0f);
    mbf.loadModalFilters(a.lengths.data(), a.pointers.data());
    if (fading) mbf.loadModalFilters(b.lengths.data(), b.pointers.data());
    float* out[1] = {s.out.data()};
    int count = 0;
    for (auto _ : state) {
        // Loading every 8th block keeps a set in `next` (or `pending`) all the
        // time, so two sets always run; the load is part of the measured cost.
        if (fading && ++count % 8 == 0) {
            const FilterSet& set = (count / 8) % 2 ? a : b;
            mbf.loadModalFilters(set.lengths.data(), set.pointers.data());
        }
        if (gliding) keepGliding(mbf);
        mbf.process(s.in.data(), out, block);
        benchmark::DoNotOptimize(s.out.data());
    }
    report(state);
}
BENCHMARK(modalBeamformer)->ArgNames({"fade", "glide"})->Args({0, 0})->Args({0, 1})->Args({1, 0})->Args({1, 1});

// The same work written plainly, per sample: steering with the table factors
// (direction at rest) and four direct-form FIRs with double accumulation.
void modalBeamformerNaive(benchmark::State& state) {
    Inputs s;
    const FilterSet a(100);
    std::array<std::vector<float>, 4> history;
    for (auto& h : history) h.assign(modalTaps, 0.0f);
    float factor[channels];
    for (int k = 0; k < channels; ++k) {
        const int n = k < 1 ? 0 : k < 4 ? 1 : k < 9 ? 2 : 3;
        const int m = k - n * n - n;
        factor[k] = elevationFactorTable[k][90] * (m == 0 ? 1.0f : azimuthFactorTable[azimuthRowOfDegree(m)][0]);
    }
    int position = 0;
    for (auto _ : state) {
        for (int i = 0; i < block; ++i) {
            double y = 0.0;
            for (int n = 0; n < 4; ++n) {
                float sum = 0.0f;
                for (int k = n * n; k < (n + 1) * (n + 1); ++k) sum += s.in[static_cast<std::size_t>(k)][i] * factor[k];
                auto& h = history[static_cast<std::size_t>(n)];
                h[static_cast<std::size_t>(position)] = sum;
                const auto& taps = a.taps[static_cast<std::size_t>(n)];
                double acc = 0.0;
                for (int j = 0; j < modalTaps; ++j) {
                    int p = position - j;
                    if (p < 0) p += modalTaps;
                    acc += static_cast<double>(taps[static_cast<std::size_t>(j)]) * h[static_cast<std::size_t>(p)];
                }
                y += acc;
            }
            s.out[static_cast<std::size_t>(i)] = static_cast<float>(y);
            position = position + 1 == modalTaps ? 0 : position + 1;
        }
        benchmark::DoNotOptimize(s.out.data());
    }
    report(state);
}
BENCHMARK(modalBeamformerNaive);

// range(0): 1 = crossfade in every block.
void shadowFilter(benchmark::State& state) {
    const bool fading = state.range(0) != 0;
    const std::vector<float> x = noise(block, 7), a = noise(41, 8), b = noise(41, 9);
    std::vector<float> y(block);
    vkxShadowFilter stage;
    stage.configure(timeDomainStream(1, rate_hz, block), timeDomainStream(1, rate_hz, block));
    stage.setLatency(27.0f);
    const int lengths[1] = {41};
    const float* first[1] = {a.data()};
    const float* second[1] = {b.data()};
    stage.loadFilter(lengths, first);
    if (fading) stage.loadFilter(lengths, second);
    const float* in[1] = {x.data()};
    float* out[1] = {y.data()};
    int count = 0;
    for (auto _ : state) {
        if (fading && ++count % 8 == 0) stage.loadFilter(lengths, (count / 8) % 2 ? first : second);
        stage.process(in, out, block);
        benchmark::DoNotOptimize(y.data());
    }
    report(state);
}
BENCHMARK(shadowFilter)->ArgName("fade")->Arg(0)->Arg(1);

void shadowFilterNaive(benchmark::State& state) {
    const std::vector<float> x = noise(block, 7), a = noise(41, 8);
    std::vector<float> y(block), history(41, 0.0f);
    int position = 0;
    for (auto _ : state) {
        for (int i = 0; i < block; ++i) {
            history[static_cast<std::size_t>(position)] = x[static_cast<std::size_t>(i)];
            double acc = 0.0;
            for (int j = 0; j < 41; ++j) {
                int p = position - j;
                if (p < 0) p += 41;
                acc += static_cast<double>(a[static_cast<std::size_t>(j)]) * history[static_cast<std::size_t>(p)];
            }
            y[static_cast<std::size_t>(i)] = static_cast<float>(acc);
            position = position + 1 == 41 ? 0 : position + 1;
        }
        benchmark::DoNotOptimize(y.data());
    }
    report(state);
}
BENCHMARK(shadowFilterNaive);

}  // namespace
