#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <new>
#include <numbers>
#include <vector>

#include "framework/ConvolutionKernels.h"
#include "framework/Fft64.h"
#include "framework/PartitionedConvolver.h"
#include "framework/Primitives.h"
#include "framework/Simd.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/Reference.h"
#include "tests/support/SimdLevels.h"

namespace qb32 {
namespace {

using testing::LevelGuard;
using testing::runnableLevels;

TEST(Fft64, ForwardAndInverseMatchADoubleDft) {
    for (auto level : runnableLevels()) {
        LevelGuard guard(level);
        alignas(32) float re[64], im[64];
        const auto a = testing::whiteNoise(64, 1), b = testing::whiteNoise(64, 2);
        for (int n = 0; n < 64; ++n) re[n] = a[n], im[n] = b[n];
        fft64::forward(re, im);
        double magnitude = 0.0;
        for (int n = 0; n < 64; ++n) magnitude += std::abs(a[n]) + std::abs(b[n]);
        for (int k = 0; k < 64; ++k) {
            std::complex<double> exact = 0.0;
            for (int n = 0; n < 64; ++n)
                exact += std::complex<double>(a[n], b[n]) * std::polar(1.0, -2.0 * std::numbers::pi * n * k / 64);
            ASSERT_LE(std::abs(exact - std::complex<double>(re[k], im[k])), 6 * 0x1p-24 * magnitude)
                << simd::levelName(level) << " bin " << k;
        }
        fft64::inverse(re, im);
        for (int n = 0; n < 64; ++n) {
            ASSERT_NEAR(re[n], 64.0 * a[n], 64 * 1e-5) << n;
            ASSERT_NEAR(im[n], 64.0 * b[n], 64 * 1e-5) << n;
        }
    }
}

// The larger transforms: every bin against a double DFT at its place in the
// block order, and the inverse back to the input times the size, for 128,
// 256 and 512 points at every level.
TEST(Fft64, BlockTransformsMatchADoubleDftAndInvert) {
    for (auto level : runnableLevels()) {
        LevelGuard guard(level);
        for (int m : {2, 4, 8}) {
            const int n = 64 * m;
            alignas(32) float re[512], im[512], spectrum[1024], backRe[512], backIm[512];
            const auto a = testing::whiteNoise(static_cast<std::size_t>(n), 7), b = testing::whiteNoise(static_cast<std::size_t>(n), 8);
            std::copy(a.begin(), a.end(), re);
            std::copy(b.begin(), b.end(), im);
            fft64::forwardBlocks(re, im, spectrum, m);
            double magnitude = 0.0;
            for (int t = 0; t < n; ++t) magnitude += std::abs(a[t]) + std::abs(b[t]);
            for (int k1 = 0; k1 < m; ++k1)
                for (int k2 = 0; k2 < 64; ++k2) {
                    const int k = m * k2 + k1;
                    std::complex<double> exact = 0.0;
                    for (int t = 0; t < n; ++t)
                        exact += std::complex<double>(a[t], b[t]) * std::polar(1.0, -2.0 * std::numbers::pi * t * k / n);
                    const std::complex<double> got(spectrum[128 * k1 + k2], spectrum[128 * k1 + 64 + k2]);
                    ASSERT_LE(std::abs(exact - got), 10 * 0x1p-24 * magnitude)
                        << simd::levelName(level) << " size " << n << " bin " << k;
                }
            fft64::inverseBlocks(spectrum, backRe, backIm, m);
            for (int t = 0; t < n; ++t) {
                ASSERT_NEAR(backRe[t], n * a[t], n * 2e-5) << n << " " << t;
                ASSERT_NEAR(backIm[t], n * b[t], n * 2e-5) << n << " " << t;
            }
        }
    }
}

// The convolver's own bound: relative to the filter's absolute sum (at least
// 1) times the largest input, which is what its frequency-domain part rounds
// against.
void expectNear(const std::vector<double>& exact, const float* y, int n, double filterAbsSum,
                double inputPeak, const char* what) {
    const double bound = 2e-7 * std::max(1.0, filterAbsSum) * inputPeak;
    for (int k = 0; k < n; ++k) ASSERT_NEAR(y[k], exact[k], bound) << what << " output " << k;
}

std::vector<float> effective(const std::vector<float>& taps, int delay) {
    std::vector<float> e(static_cast<std::size_t>(delay), 0.0f);
    e.insert(e.end(), taps.begin(), taps.end());
    return e;
}

double absSum(const std::vector<float>& v) {
    double s = 0.0;
    for (float x : v) s += std::abs(x);
    return s;
}

// The spectral sums against a double-precision sum, at every level: complex
// products bin by bin, and with `halves` the real and imaginary products of
// places 0 and 32 summed apart (two half spectra of real signals side by
// side). The sums of two boundaries at once give each one's bits alone.
TEST(ConvolutionKernels, SpectralSumsKeepTheHalfSpectraRealBinsApart) {
    constexpr int products = 5, floats = 128;
    alignas(32) float g[products][floats], u[products][floats], v[products][floats];
    for (int p = 0; p < products; ++p) {
        const auto a = testing::whiteNoise(floats, 10 + p), b = testing::whiteNoise(floats, 20 + p),
                   c = testing::whiteNoise(floats, 30 + p);
        std::copy(a.begin(), a.end(), g[p]);
        std::copy(b.begin(), b.end(), u[p]);
        std::copy(c.begin(), c.end(), v[p]);
    }
    const float* gp[products];
    const float* up[products];
    const float* vp[products];
    for (int p = 0; p < products; ++p) gp[p] = g[p], up[p] = u[p], vp[p] = v[p];
    testing::atEveryLevel([&] {
        for (bool halves : {false, true}) {
            alignas(32) float single[floats], pair[2][floats];
            float* pairOut[2] = {pair[0], pair[1]};
            convolutionKernels::spectralSum(single, gp, up, products, halves);
            convolutionKernels::spectralSumPair(pairOut, gp, up, vp, products, halves);
            for (int k = 0; k < 64; ++k) {
                std::complex<double> exact = 0.0;
                double magnitude = 0.0;
                for (int p = 0; p < products; ++p) {
                    const std::complex<double> x(g[p][k], g[p][64 + k]), y(u[p][k], u[p][64 + k]);
                    exact += halves && k % 32 == 0 ? std::complex<double>(x.real() * y.real(), x.imag() * y.imag())
                                                   : x * y;
                    magnitude += std::abs(x) * std::abs(y);
                }
                ASSERT_NEAR(single[k], exact.real(), 1e-6 * magnitude) << "halves " << halves << " place " << k;
                ASSERT_NEAR(single[64 + k], exact.imag(), 1e-6 * magnitude) << "halves " << halves << " place " << k;
                ASSERT_EQ(pair[0][k], single[k]) << k;
                ASSERT_EQ(pair[0][64 + k], single[64 + k]) << k;
            }
            alignas(32) float second[floats];
            convolutionKernels::spectralSum(second, gp, vp, products, halves);
            for (int k = 0; k < floats; ++k) ASSERT_EQ(pair[1][k], second[k]) << k;
        }
    });
}

struct LaneCase {
    const char* name;
    std::vector<int> lengths;
    std::vector<int> delays;
    std::vector<bool> zero;  // an all-zero filter in that lane
};

// Sum of up to four lanes (lengths and delays as the stages use them, lanes
// left out), random call sizes from single samples up, against the
// double-precision direct form of each effective filter, at every level.
TEST(PartitionedConvolver, SumOfLanesMatchesTheDirectFormForAnyCallSizes) {
    const std::vector<LaneCase> cases = {
        {"four 251-tap orders", {251, 251, 251, 251}, {0, 0, 0, 0}, {false, false, false, false}},
        {"orders 2 and 3 silent", {251, 251, 251, 251}, {0, 0, 0, 0}, {false, false, true, true}},
        {"only order 1", {251, 251, 251, 251}, {0, 0, 0, 0}, {true, false, true, true}},
        {"short filters behind delays", {1, 31, 125, 200}, {125, 110, 63, 25}, {false, false, false, false}},
        {"head only", {20, 32, 5, 1}, {0, 0, 10, 31}, {false, false, false, false}},
        {"three lanes", {251, 100, 7, 0}, {0, 75, 122, 0}, {false, false, false, false}},
    };
    const int samples = 1500;
    for (auto level : runnableLevels()) {
        LevelGuard guard(level);
        for (const auto& c : cases) {
            PartitionedConvolver conv;
            ASSERT_EQ(conv.configure(4, 251, PartitionedConvolver::Outputs::sum), 0);
            std::vector<std::vector<float>> taps(4), x(4);
            std::vector<double> exact(samples, 0.0);
            double filterAbs = 0.0;
            for (int l = 0; l < 4; ++l) {
                taps[l] = testing::whiteNoise(static_cast<std::size_t>(std::max(c.lengths[l], 0)), 10 + l);
                if (c.zero[l]) std::fill(taps[l].begin(), taps[l].end(), 0.0f);
                x[l] = testing::whiteNoise(samples, 20 + l);
                const auto e = effective(taps[l], c.delays[l]);
                const auto part = testing::directFir(e.empty() ? std::vector<float>{0.0f} : e, x[l]);
                for (int k = 0; k < samples; ++k) exact[k] += part[k];
                filterAbs += absSum(taps[l]);
            }
            const float* tapRows[4] = {taps[0].data(), taps[1].data(), taps[2].data(), taps[3].data()};
            conv.load(c.lengths.data(), tapRows, c.delays.data());
            for (int l = 0; l < 4; ++l) EXPECT_EQ(conv.laneUsed(l), !c.zero[l] && c.lengths[l] > 0) << c.name;

            std::vector<float> y(samples);
            int at = 0;
            for (int n : testing::randomBlockSizes(samples, 97, 5)) {
                const float* in[4] = {x[0].data() + at, x[1].data() + at, x[2].data() + at, x[3].data() + at};
                float* out[1] = {y.data() + at};
                conv.process(in, out, n);
                at += n;
            }
            expectNear(exact, y.data(), samples, filterAbs, 1.0, c.name);

            // The same stream in one call is the same bit for bit (boundaries
            // are fixed in the stream), and clear starts it over.
            conv.clear();
            std::vector<float> whole(samples);
            const float* in[4] = {x[0].data(), x[1].data(), x[2].data(), x[3].data()};
            float* out[1] = {whole.data()};
            conv.process(in, out, samples);
            for (int k = 0; k < samples; ++k) ASSERT_EQ(whole[k], y[k]) << c.name << " output " << k;
        }
    }
}

// A caller that forms the head itself (the engine's beams side by side) must
// get process's bits: each head lane one chain of FMAs from tap 0 over
// recentInputs and the new input, the lanes added in order, plus the tail
// pushSamples answers. Formed here in scalar code with std::fma, which the
// vector FMAs equal lane by lane.
TEST(PartitionedConvolver, HeadFormedOutsideGivesProcessBits) {
    if (!simd::atLeast(simd::detectedLevel(), simd::Level::avx2)) GTEST_SKIP() << "needs AVX2";
    LevelGuard guard(simd::Level::avx2);
    const std::vector<int> lengths = {251, 100, 0, 31}, delays = {0, 75, 0, 110};
    std::vector<std::vector<float>> taps(4), x(4);
    for (int l = 0; l < 4; ++l) {
        taps[l] = testing::whiteNoise(static_cast<std::size_t>(std::max(lengths[l], 1)), 40 + l);
        x[l] = testing::whiteNoise(700, 50 + l);
    }
    const float* tapRows[4] = {taps[0].data(), taps[1].data(), taps[2].data(), taps[3].data()};
    PartitionedConvolver reference, outside;
    for (PartitionedConvolver* c : {&reference, &outside}) {
        ASSERT_EQ(c->configure(4, 251, PartitionedConvolver::Outputs::sum), 0);
        c->load(lengths.data(), tapRows, delays.data(), 5);
    }
    constexpr int P = PartitionedConvolver::partitionSamples;
    for (int k = 0; k < 700; ++k) {
        const float* in[4] = {x[0].data() + k, x[1].data() + k, x[2].data() + k, x[3].data() + k};
        float expected = 0.0f;
        float* out[1] = {&expected};
        reference.process(in, out, 1);

        float sum = 0.0f;
        bool first = true;
        for (int l = 0; l < 4; ++l) {
            if (!outside.headUsed(l)) continue;
            const float* recent = outside.recentInputs(l);
            float acc = 0.0f;
            for (int i = 0; i < P; ++i)
                acc = std::fma(outside.headTaps(l)[i], i < P - 1 ? recent[i] : x[l][k], acc);
            sum = first ? acc : sum + acc;
            first = false;
        }
        float samples[4] = {x[0][k], x[1][k], x[2][k], x[3][k]};
        float tail = 0.0f;
        outside.pushSamples(samples, 1, 1, 1, &tail);
        ASSERT_EQ(sum + tail, expected) << "sample " << k;
    }
}

// A convolver restored from its lanes' recent inputs continues exactly as one
// that ran all along: the same outputs bit for bit from the next sample on,
// whatever it held before (nothing, or another stream) and at every phase of
// the partition grid, for lane sets with silent lanes, delays, and short and
// long filters, at every level.
TEST(PartitionedConvolver, RestoredFromRecentInputsContinuesAsIfItHadRun) {
    struct Case {
        const char* name;
        std::vector<int> lengths, delays;
        int maxTaps;
        int restoreAt;  // samples into the stream
    };
    const std::vector<Case> cases = {
        {"four orders", {251, 251, 251, 251}, {0, 0, 0, 0}, 251, 700},
        {"silent lane, delays", {251, 0, 100, 31}, {0, 0, 75, 110}, 251, 613},
        {"one tap far out", {1, 0, 0, 0}, {125, 0, 0, 0}, 251, 421},
        {"head only", {20, 32, 0, 0}, {0, 0, 0, 0}, 32, 97},
        {"long", {1089, 1089, 0, 0}, {0, 0, 0, 0}, 1089, 2333},
    };
    constexpr int samples = 4000;
    for (auto level : runnableLevels()) {
        LevelGuard guard(level);
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << c.name << ", " << simd::levelName(level));
            std::vector<std::vector<float>> taps(4), x(4);
            const float* rows[4];
            for (int l = 0; l < 4; ++l) {
                taps[l] = testing::whiteNoise(static_cast<std::size_t>(std::max(c.lengths[l], 1)), 60 + l);
                x[l] = testing::whiteNoise(samples, 70 + l);
                rows[l] = taps[l].data();
            }
            const int phase = 5;  // the grid as the owner counts it
            PartitionedConvolver all, restored;
            for (PartitionedConvolver* conv : {&all, &restored}) {
                ASSERT_EQ(conv->configure(4, c.maxTaps, PartitionedConvolver::Outputs::sum), 0);
                conv->load(c.lengths.data(), rows, c.delays.data(), phase);
            }
            // The restored one first runs on another stream, then takes the
            // state of the stream at restoreAt.
            std::vector<float> other = testing::whiteNoise(samples, 99), junk(samples);
            const float* otherIn[4] = {other.data(), other.data(), other.data(), other.data()};
            float* junkOut[1] = {junk.data()};
            restored.process(otherIn, junkOut, 301);
            std::vector<float> a(samples), b(samples);
            int at = 0;
            for (int n : testing::randomBlockSizes(samples, 200, 17)) {
                if (at < c.restoreAt && c.restoreAt < at + n) n = c.restoreAt - at;  // a call ends there
                if (at == c.restoreAt) {
                    ASSERT_GE(c.restoreAt, restored.restoreSamples());
                    const float* ends[4] = {x[0].data() + at, x[1].data() + at, x[2].data() + at, x[3].data() + at};
                    restored.restore(ends, (phase + at) % PartitionedConvolver::partitionSamples);
                }
                const float* in[4] = {x[0].data() + at, x[1].data() + at, x[2].data() + at, x[3].data() + at};
                float* outA[1] = {a.data() + at};
                float* outB[1] = {b.data() + at};
                all.process(in, outA, n);
                if (at >= c.restoreAt) restored.process(in, outB, n);
                at += n;
            }
            ASSERT_GE(at, samples - 200);
            for (int k = c.restoreAt; k < at; ++k) ASSERT_EQ(a[k], b[k]) << "sample " << k;
        }
    }
}

// Two components through one shared (long, delayed) equaliser, each to its own
// output, in place, as the decomposition runs them.
TEST(PartitionedConvolver, PerLaneOutputsFilterEachLaneInPlace) {
    for (auto level : runnableLevels()) {
        LevelGuard guard(level);
        for (int lanes : {1, 2}) {
            const int length = 409, delay = 111, samples = 2000;
            const auto taps = testing::whiteNoise(length, 3);
            PartitionedConvolver conv;
            ASSERT_EQ(conv.configure(lanes, 631, PartitionedConvolver::Outputs::perLane), 0);
            const int lengths[2] = {length, length};
            const int delays[2] = {delay, delay};
            const float* rows[2] = {taps.data(), taps.data()};
            conv.load(lengths, rows, delays);
            std::vector<std::vector<float>> x = {testing::whiteNoise(samples, 30), testing::whiteNoise(samples, 31)};
            auto y = x;
            int at = 0;
            for (int n : testing::randomBlockSizes(samples, 300, 9)) {
                float* io[2] = {y[0].data() + at, y[1].data() + at};
                conv.process(io, io, n);
                at += n;
            }
            for (int l = 0; l < lanes; ++l) {
                const auto exact = testing::directFir(effective(taps, delay), x[l]);
                expectNear(exact, y[l].data(), samples, absSum(taps), 1.0, "per lane");
            }
            // Calls of a few samples never complete two partitions at once:
            // the same bits as the calls above, which did.
            conv.clear();
            auto z = x;
            for (int at2 = 0; at2 < samples; at2 += 7) {
                float* io[2] = {z[0].data() + at2, z[1].data() + at2};
                conv.process(io, io, std::min(7, samples - at2));
            }
            for (int l = 0; l < lanes; ++l)
                for (int k = 0; k < samples; ++k) ASSERT_EQ(z[l][k], y[l][k]) << "lane " << l << " output " << k;
        }
    }
}

TEST(PartitionedConvolver, SilenceInGivesExactZerosAndProcessDoesNotAllocate) {
    PartitionedConvolver conv;
    ASSERT_EQ(conv.configure(4, 251, PartitionedConvolver::Outputs::sum), 0);
    const auto taps = testing::whiteNoise(251, 4);
    const int lengths[4] = {251, 251, 251, 251};
    const int delays[4] = {0, 0, 0, 0};
    const float* rows[4] = {taps.data(), taps.data(), taps.data(), taps.data()};
    std::vector<float> x(700, 0.0f), y(700, 1.0f);
    const auto noise = testing::whiteNoise(100, 5);
    std::copy(noise.begin(), noise.end(), x.begin());
    const float* in[4] = {x.data(), x.data(), x.data(), x.data()};
    float* out[1] = {y.data()};
    testing::AllocationScope scope;
    conv.load(lengths, rows, delays);
    for (int at = 0; at < 700; at += 7) {
        const float* i7[4] = {in[0] + at, in[1] + at, in[2] + at, in[3] + at};
        float* o7[1] = {out[0] + at};
        conv.process(i7, o7, 7);
    }
    EXPECT_EQ(scope.allocations(), 0u);
    // 100 samples of noise, then silence: the exact response ends at 350;
    // within two partitions after that the transforms only see zeros, and
    // every output is exactly zero.
    for (int k = 100 + 251 + 2 * PartitionedConvolver::partitionSamples; k < 700; ++k) ASSERT_EQ(y[k], 0.0f) << k;
}

TEST(PartitionedConvolver, ConfigureReportsAllocationFailure) {
    PartitionedConvolver conv;
    {
        testing::AllocationFailureScope fail(1);
        EXPECT_EQ(conv.configure(4, 251, PartitionedConvolver::Outputs::sum), 7);
    }
    EXPECT_FALSE(conv.isConfigured());
    EXPECT_EQ(conv.configure(4, 251, PartitionedConvolver::Outputs::sum), 0);
}

}  // namespace
}  // namespace qb32
