#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "framework/Primitives.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/Reference.h"

#if defined(__i386__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace qb32 {
namespace {

using namespace primitiveStatus;
constexpr float sentinel = 12345.0f;

// Every vector entry, called with (dst, len) or a null pointer: each bad call
// must answer its status and leave the destination untouched.
struct VectorEntry {
    const char* name;
    std::function<int(const float* a, const float* b, float* dst, int len)> call;
};

std::vector<VectorEntry> vectorEntries() {
    return {
        {"vecCopy", [](const float* a, const float*, float* d, int n) { return vecCopy(a, d, n); }},
        {"vecZero", [](const float*, const float*, float* d, int n) { return vecZero(d, n); }},
        {"vecZeroAlt", [](const float*, const float*, float* d, int n) { return vecZeroAlt(d, n); }},
        {"vecAddInPlace", [](const float* a, const float*, float* d, int n) { return vecAddInPlace(a, d, n); }},
        {"vecAdd", [](const float* a, const float* b, float* d, int n) { return vecAdd(a, b, d, n); }},
        {"vecMulInPlace", [](const float* a, const float*, float* d, int n) { return vecMulInPlace(a, d, n); }},
        {"vecMul", [](const float* a, const float* b, float* d, int n) { return vecMul(a, b, d, n); }},
        {"vecMulAdd", [](const float* a, const float* b, float* d, int n) { return vecMulAdd(a, b, d, n); }},
        {"vecSubFromConst", [](const float* a, const float*, float* d, int n) { return vecSubFromConst(a, 2.0f, d, n); }},
        {"vecScale", [](const float* a, const float*, float* d, int n) { return vecScale(a, 3.0f, d, n); }},
        {"vecScaleInPlace", [](const float*, const float*, float* d, int n) { return vecScaleInPlace(3.0f, d, n); }},
        {"vecScaleAdd", [](const float* a, const float*, float* d, int n) { return vecScaleAdd(a, 3.0f, d, n); }},
        {"vecDivConstInPlace", [](const float*, const float*, float* d, int n) { return vecDivConstInPlace(4.0f, d, n); }},
        {"vecRamp", [](const float*, const float*, float* d, int n) { return vecRamp(d, n, 1.0f, 0.5f); }},
        {"vecExpInPlace", [](const float*, const float*, float* d, int n) { return vecExpInPlace(d, n); }},
    };
}

TEST(Primitives, BadArgumentsAnswerTheirStatusAndWriteNothing) {
    const float src[4] = {1, 2, 3, 4};
    for (const auto& e : vectorEntries()) {
        for (int len : {0, -1, -1000}) {
            float dst[4] = {sentinel, sentinel, sentinel, sentinel};
            EXPECT_EQ(e.call(src, src, dst, len), badSize) << e.name << " len " << len;
            EXPECT_EQ(dst[0], sentinel) << e.name;
        }
        // A null destination with a bad length: the null test comes first.
        EXPECT_EQ(e.call(src, src, nullptr, -1), nullPointer) << e.name;
        EXPECT_EQ(e.call(src, src, nullptr, 4), nullPointer) << e.name;
    }
    // Null sources, for the entries that read one.
    float dst[4] = {sentinel, sentinel, sentinel, sentinel};
    EXPECT_EQ(vecCopy(nullptr, dst, 4), nullPointer);
    EXPECT_EQ(vecAdd(src, nullptr, dst, 4), nullPointer);
    EXPECT_EQ(vecMulAdd(nullptr, src, dst, 4), nullPointer);
    EXPECT_EQ(vecScaleAdd(nullptr, 1.0f, dst, 4), nullPointer);
    double d[2] = {1, 2};
    EXPECT_EQ(vecCopyDouble(nullptr, d, 2), nullPointer);
    EXPECT_EQ(vecCopyDouble(d, d + 1, 0), badSize);
    EXPECT_EQ(dst[0], sentinel);
}

TEST(Primitives, ElementWiseResultsRoundOnceFromDouble) {
    const auto a = testing::whiteNoise(37, 1);
    const auto b = testing::whiteNoise(37, 2);
    std::vector<float> c = testing::whiteNoise(37, 3), out(37);
    ASSERT_EQ(vecMulAdd(a.data(), b.data(), c.data(), 37), ok);
    const auto c0 = testing::whiteNoise(37, 3);
    for (int i = 0; i < 37; ++i) {
        const double exact = static_cast<double>(c0[i]) + static_cast<double>(a[i]) * b[i];
        EXPECT_EQ(c[i], static_cast<float>(exact)) << i;
    }
    ASSERT_EQ(vecSubFromConst(a.data(), 0.25f, out.data(), 37), ok);
    for (int i = 0; i < 37; ++i) EXPECT_EQ(out[i], static_cast<float>(0.25 - a[i]));
}

TEST(Primitives, ScaleByExactlyZeroOrOne) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    float src[4] = {inf, nan, -0.0f, 1e-40f};
    float dst[4];
    ASSERT_EQ(vecScale(src, 0.0f, dst, 4), ok);
    for (float v : dst) EXPECT_EQ(std::bit_cast<std::uint32_t>(v), 0u);
    ASSERT_EQ(vecScale(src, 1.0f, dst, 4), ok);
    EXPECT_EQ(std::memcmp(src, dst, sizeof src), 0) << "value 1 copies bit for bit";
    float inPlace[4] = {inf, nan, 1.0f, 2.0f};
    ASSERT_EQ(vecScaleInPlace(0.0f, inPlace, 4), ok);
    for (float v : inPlace) EXPECT_EQ(v, 0.0f);
}

TEST(Primitives, DivisionByConstant) {
    float v[3] = {1.0f, 2.0f, -8.0f};
    EXPECT_EQ(vecDivConstInPlace(0.0f, v, 3), divisionByZero);
    EXPECT_EQ(v[0], 1.0f);
    ASSERT_EQ(vecDivConstInPlace(4.0f, v, 3), ok);
    EXPECT_EQ(v[0], 0.25f);
    EXPECT_EQ(v[2], -2.0f);
}

TEST(Primitives, RampDoesNotDrift) {
    std::vector<float> r(100000);
    ASSERT_EQ(vecRamp(r.data(), 100000, -3.0f, 0.1f), ok);
    for (int i : {0, 1, 999, 99999})
        EXPECT_EQ(r[i], static_cast<float>(-3.0 + i * static_cast<double>(0.1f))) << i;
}

TEST(Primitives, ExponentialLimits) {
    float v[6] = {88.8f, 88.72283f, -110.0f, -87.0f, -100.0f, 0.0f};
    v[5] = std::numeric_limits<float>::quiet_NaN();
    ASSERT_EQ(vecExpInPlace(v, 6), ok);
    EXPECT_EQ(v[0], std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isfinite(v[1]));
    EXPECT_EQ(v[2], 0.0f);
    EXPECT_NEAR(v[3], std::exp(-87.0), 1e-44);
    EXPECT_EQ(v[4], static_cast<float>(std::exp(-100.0))) << "the exact subnormal result";
    EXPECT_GT(v[4], 0.0f);
    EXPECT_TRUE(std::isnan(v[5]));
}

TEST(Primitives, AllocatorsAlignAndRefuseBadSizes) {
    for (int len : {1, 3, 17, 1000}) {
        float* p = vecAlloc(len);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 32, 0u);
        vecFree(p);
        void* b = byteAlloc(len);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b) % 32, 0u);
        vecFree(b);
    }
    EXPECT_EQ(vecAlloc(0), nullptr);
    EXPECT_EQ(vecAlloc(-5), nullptr);
    EXPECT_EQ(byteAlloc(0), nullptr);
    vecFree(nullptr);
    {
        testing::AllocationFailureScope fail(1);
        EXPECT_EQ(vecAlloc(16), nullptr);
    }
}

// ---- biquads ---------------------------------------------------------------

TEST(Biquad, RefusesBadCoefficientsAndStates) {
    BiquadState* st = nullptr;
    const double unit[6] = {1, 0, 0, 1, 0, 0};
    const double zeroB0[6] = {0, 1, 0, 1, 0, 0};
    const double zeroA0[6] = {1, 0, 0, 0, 0, 0};
    EXPECT_EQ(biquadInitAlloc(&st, zeroB0, 1, nullptr), divisionByZero);
    EXPECT_EQ(biquadInitAlloc(&st, zeroA0, 1, nullptr), divisionByZero);
    EXPECT_EQ(biquadInitAlloc(&st, unit, 0, nullptr), badSectionCount);
    EXPECT_EQ(biquadInitAlloc(nullptr, unit, 1, nullptr), nullPointer);
    EXPECT_EQ(biquadInitAlloc(&st, nullptr, 0, nullptr), nullPointer);
    EXPECT_EQ(st, nullptr);

    FirState* fir = nullptr;
    const float tap = 1.0f;
    ASSERT_EQ(firInitAlloc(&fir, &tap, 1, nullptr), ok);
    auto* wrongKind = reinterpret_cast<BiquadState*>(fir);
    float x[2] = {sentinel, sentinel};
    EXPECT_EQ(biquadFilterInPlace(x, 2, wrongKind), wrongStateKind);
    EXPECT_EQ(biquadSetDelayLine(wrongKind, nullptr), wrongStateKind);
    EXPECT_EQ(biquadFree(wrongKind), wrongStateKind);
    EXPECT_EQ(x[0], sentinel);
    EXPECT_EQ(firFree(fir), ok);
}

TEST(Biquad, UnitSectionPassesTheSignal) {
    BiquadState* st = nullptr;
    const double unit[6] = {2, 0, 0, 2, 0, 0};
    ASSERT_EQ(biquadInitAlloc(&st, unit, 1, nullptr), ok);
    auto x = testing::whiteNoise(300, 4);
    const auto y0 = x;
    ASSERT_EQ(biquadFilterInPlace(x.data(), 300, st), ok);
    EXPECT_EQ(x, y0);
    biquadFree(st);
}

// A cascade against an independent per-sample transposed-direct-form-II
// computation, fed in random block sizes, and its measured response against
// the analytic one.
TEST(Biquad, CascadeMatchesReferenceAcrossBlocksAndResets) {
    const double c[12] = {0.5, -0.3, 0.1, 1.0, -1.2, 0.5, 1.0, -2.0, 1.0, 2.0, -3.9, 1.92};
    BiquadState* st = nullptr;
    ASSERT_EQ(biquadInitAlloc(&st, c, 2, nullptr), ok);
    const auto x = testing::whiteNoise(3000, 5);
    std::vector<float> y = x;
    int at = 0;
    for (int b : testing::randomBlockSizes(3000, 700, 9)) {
        ASSERT_EQ(biquadFilterInPlace(y.data() + at, b, st), ok);
        at += b;
    }
    double z[2][2] = {};
    for (int i = 0; i < 3000; ++i) {
        double v = x[i];
        for (int s = 0; s < 2; ++s) {
            const double* g = c + 6 * s;
            const double out = g[0] / g[3] * v + z[s][0];
            z[s][0] = g[1] / g[3] * v + z[s][1] - g[4] / g[3] * out;
            z[s][1] = g[2] / g[3] * v - g[5] / g[3] * out;
            v = out;
        }
        ASSERT_EQ(y[i], static_cast<float>(v)) << i;
    }
    // After a reset the impulse response starts afresh.
    ASSERT_EQ(biquadSetDelayLine(st, nullptr), ok);
    std::vector<float> h(8192, 0.0f);
    h[0] = 1.0f;
    ASSERT_EQ(biquadFilterInPlace(h.data(), 8192, st), ok);
    for (double f : {100.0, 1000.0, 5000.0}) {
        const auto measured = std::abs(testing::frequencyResponse(h.data(), 8192, f, 44100.0));
        EXPECT_NEAR(20 * std::log10(measured), testing::biquadCascadeGainDb(c, 2, f, 44100.0), 0.01) << f;
    }
    biquadFree(st);
}

// ---- processor floating-point mode -------------------------------------------

#if defined(__i386__) || defined(__x86_64__)
TEST(FloatingPointMode, FlushToZeroRoundTripRestoresTheUnderflowMask) {
    const unsigned before = _mm_getcsr();
    _mm_setcsr(before & ~0x8800u);  // flush-to-zero off, underflow unmasked
    const unsigned unmasked = _mm_getcsr();
    unsigned saved = 77;
    ASSERT_EQ(fpuSetFlushToZero(1, &saved), ok);
    EXPECT_EQ(saved, 0u);
    EXPECT_EQ(_mm_getcsr() & 0x8800u, 0x8800u);
    ASSERT_EQ(fpuSetFlushToZero(0, &saved), ok);
    EXPECT_EQ(_mm_getcsr(), unmasked);

    _mm_setcsr(unmasked | 0x800u);  // underflow masked before: stays masked
    ASSERT_EQ(fpuSetFlushToZero(1, &saved), ok);
    EXPECT_EQ(saved, 0x800u);
    ASSERT_EQ(fpuSetFlushToZero(0, &saved), ok);
    EXPECT_EQ(_mm_getcsr() & 0x8800u, 0x800u);

    ASSERT_EQ(fpuSetDenormalsAreZero(1), ok);
    EXPECT_NE(_mm_getcsr() & 0x40u, 0u);
    volatile float tiny = 1e-40f;
    volatile float product = tiny * 1.0f;
    EXPECT_EQ(product, 0.0f) << "denormal operands count as zero";
    ASSERT_EQ(fpuSetDenormalsAreZero(0), ok);
    EXPECT_EQ(_mm_getcsr() & 0x40u, 0u);
    _mm_setcsr(before);
}
#endif

TEST(Primitives, FilteringAndVectorEntriesDoNotAllocate) {
    FirState* fir = nullptr;
    std::vector<float> taps = testing::whiteNoise(251, 6);
    ASSERT_EQ(firInitAlloc(&fir, taps.data(), 251, nullptr), ok);
    BiquadState* bq = nullptr;
    const double c[6] = {1, 0.5, 0.2, 1, -0.5, 0.1};
    ASSERT_EQ(biquadInitAlloc(&bq, c, 1, nullptr), ok);
    std::vector<float> a(4096, 0.5f), b(4096, 0.25f);
    testing::AllocationScope scope;
    firFilter(a.data(), b.data(), 4096, fir);
    firFilterInPlace(a.data(), 1, fir);
    firSetDelayLine(fir, nullptr);
    biquadFilterInPlace(a.data(), 4096, bq);
    biquadSetDelayLine(bq, nullptr);
    vecMulAdd(a.data(), b.data(), a.data(), 4096);
    vecScaleAdd(a.data(), 0.5f, b.data(), 4096);
    vecExpInPlace(b.data(), 16);
    EXPECT_EQ(scope.allocations(), 0u);
    firFree(fir);
    biquadFree(bq);
}

// Copies of every short length (inline) and a few long ones (library), the
// source overlapping the destination from either side by every offset: the
// result is memmove's.
TEST(Primitives, CopyHasMemmoveSemanticsForEveryShortLength) {
    for (int n = 1; n <= 40; ++n)
        for (int shift = -n; shift <= n; ++shift) {
            std::vector<float> base(3 * 40 + 8), expected;
            for (std::size_t i = 0; i < base.size(); ++i) base[i] = static_cast<float>(i) + 0.5f;
            expected = base;
            const int from = 40, to = 40 + shift;
            std::memmove(expected.data() + to, expected.data() + from, sizeof(float) * static_cast<std::size_t>(n));
            ASSERT_EQ(vecCopy(base.data() + from, base.data() + to, n), 0);
            ASSERT_EQ(base, expected) << "length " << n << " shift " << shift;
        }
}

}  // namespace
}  // namespace qb32
