#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "framework/FirSideBySide.h"
#include "framework/Primitives.h"
#include "framework/Simd.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/Reference.h"
#include "tests/support/SimdLevels.h"

namespace qb32 {
namespace {

using namespace primitiveStatus;

using testing::LevelGuard;
using testing::runnableLevels;

// |y - exact| <= firErrorBound(L) * sum |h x| for every output.
void expectWithinBound(const std::vector<float>& taps, const std::vector<float>& x,
                       const std::vector<float>& y, const std::string& what) {
    const auto exact = testing::directFir(taps, x);
    const int L = static_cast<int>(taps.size());
    for (std::size_t k = 0; k < x.size(); ++k) {
        double magnitude = 0.0;
        for (int j = 0; j < L && static_cast<std::size_t>(j) <= k; ++j)
            magnitude += std::abs(static_cast<double>(taps[j]) * x[k - j]);
        const double bound = firErrorBound(L) * magnitude + 1e-30;
        ASSERT_LE(std::abs(y[k] - exact[k]), bound) << what << " output " << k;
    }
}

// Random taps, random call sizes (single samples included), a reset in the
// middle: every path of every length against the double-precision direct form.
TEST(Fir, EveryPathMatchesTheDirectFormForAnyCallSizes) {
    for (auto level : runnableLevels()) {
        LevelGuard guard(level);
        for (int L : {1, 2, 7, 31, 41, 55, 63, 64, 251, 409, 631}) {
            const auto taps = testing::whiteNoise(L, 100 + L);
            const auto x = testing::whiteNoise(2500, 200 + L);
            FirState* st = nullptr;
            ASSERT_EQ(firInitAlloc(&st, taps.data(), L, nullptr), ok);
            std::vector<float> y(x.size());
            int at = 0;
            std::uint32_t seed = 7;
            for (int maxBlock : {1, 3, 700}) {
                for (int b : testing::randomBlockSizes(300, maxBlock, seed++)) {
                    ASSERT_EQ(firFilter(x.data() + at, y.data() + at, b, st), ok);
                    at += b;
                }
            }
            ASSERT_EQ(firFilter(x.data() + at, y.data() + at, static_cast<int>(x.size()) - at, st), ok);
            expectWithinBound(taps, x, y,
                              std::string(simd::levelName(level)) + " L=" + std::to_string(L));

            // After clearing the history the filter starts afresh, in place.
            ASSERT_EQ(firSetDelayLine(st, nullptr), ok);
            std::vector<float> again(x.begin(), x.begin() + 1000);
            for (int i = 0; i < 1000; i += 250) ASSERT_EQ(firFilterInPlace(again.data() + i, 250, st), ok);
            expectWithinBound(taps, std::vector<float>(x.begin(), x.begin() + 1000), again,
                              std::string(simd::levelName(level)) + " after reset L=" + std::to_string(L));
            firFree(st);
        }
    }
}

// Each output is the same sequence of operations whatever the call sizes, so
// a stream comes out bit for bit the same however it is cut into calls.
// The recent inputs and reversed taps a caller reads to form outputs
// itself: the direct sum over them is the filter's next output, and writing
// them into a fresh state with firSetDelayLine continues the stream exactly.
TEST(Fir, RecentInputsAndReversedTapsDescribeTheState) {
    const auto h = testing::whiteNoise(41, 3);
    const auto x = testing::whiteNoise(2000, 4);
    FirState* a = nullptr;
    FirState* b = nullptr;
    ASSERT_EQ(firInitAlloc(&a, h.data(), 41, nullptr), 0);
    ASSERT_EQ(firInitAlloc(&b, h.data(), 41, nullptr), 0);
    std::vector<float> ya(2000), yb(2000);
    ASSERT_EQ(firFilter(x.data(), ya.data(), 1300, a), 0);  // past a move of the work buffer
    ASSERT_EQ(firTapCount(a), 41);
    const float* recent = firRecentInputs(a);
    const float* reversed = firReversedTaps(a);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(recent[i], x[1300 - 40 + i]);
    for (int i = 0; i < 41; ++i) ASSERT_EQ(reversed[i], h[40 - i]);
    std::vector<float> dly(41);
    std::copy(recent, recent + 40, dly.begin() + 1);
    ASSERT_EQ(firSetDelayLine(b, dly.data()), 0);
    ASSERT_EQ(firFilter(x.data() + 1300, ya.data() + 1300, 700, a), 0);
    ASSERT_EQ(firFilter(x.data() + 1300, yb.data() + 1300, 700, b), 0);
    for (int k = 1300; k < 2000; ++k) ASSERT_EQ(yb[k], ya[k]) << k;
    firFree(a);
    firFree(b);
}

TEST(Fir, StreamOutputIsBitIdenticalForAnyCallSplit) {
    for (auto level : runnableLevels()) {
        LevelGuard guard(level);
        for (int L : {1, 31, 251}) {
            const auto taps = testing::whiteNoise(L, 300 + L);
            const auto x = testing::whiteNoise(3000, 400 + L);
            std::vector<float> whole(x.size()), split(x.size());
            FirState* a = nullptr;
            FirState* b = nullptr;
            ASSERT_EQ(firInitAlloc(&a, taps.data(), L, nullptr), ok);
            ASSERT_EQ(firInitAlloc(&b, taps.data(), L, nullptr), ok);
            ASSERT_EQ(firFilter(x.data(), whole.data(), 3000, a), ok);
            int at = 0;
            for (int n : testing::randomBlockSizes(3000, 45, 17 + L)) {
                ASSERT_EQ(firFilter(x.data() + at, split.data() + at, n, b), ok);
                at += n;
            }
            EXPECT_EQ(whole, split) << simd::levelName(level) << " L=" << L;
            firFree(a);
            firFree(b);
        }
    }
}

TEST(Fir, ImpulseReturnsTheTapsInOrderFromACallersBuffer) {
    const std::vector<float> taps{0.5f, -1.0f, 2.0f, 0.25f, 3.0f};
    int bytes = 0;
    ASSERT_EQ(firGetStateSize(5, &bytes), ok);
    // A buffer that is deliberately not 32-byte aligned must still work.
    std::vector<unsigned char> memory(static_cast<std::size_t>(bytes) + 64);
    FirState* st = nullptr;
    ASSERT_EQ(firInit(&st, taps.data(), 5, nullptr, memory.data() + 4), ok);
    float x[8] = {1, 0, 0, 0, 0, 0, 0, 0}, y[8];
    ASSERT_EQ(firFilter(x, y, 8, st), ok);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(y[i], taps[i]);
    EXPECT_EQ(y[5], 0.0f);
    EXPECT_EQ(firFree(st), ok) << "a state in the caller's buffer is left alone";
}

TEST(Fir, HistoryCanBePreloaded) {
    const std::vector<float> taps{1.0f, 10.0f, 100.0f};
    FirState* st = nullptr;
    const float dly[3] = {7.0f, 2.0f, 3.0f};  // oldest first; the oldest one no longer matters
    ASSERT_EQ(firInitAlloc(&st, taps.data(), 3, dly), ok);
    float x[2] = {1.0f, 0.0f}, y[2];
    ASSERT_EQ(firFilter(x, y, 2, st), ok);
    EXPECT_EQ(y[0], 1.0f + 10.0f * 3.0f + 100.0f * 2.0f);
    EXPECT_EQ(y[1], 10.0f * 1.0f + 100.0f * 3.0f);
    firFree(st);
}

TEST(Fir, BadArgumentsAreRefusedWithoutWriting) {
    const float taps[3] = {1, 2, 3};
    FirState* st = nullptr;
    int bytes = -1;
    EXPECT_EQ(firGetStateSize(0, &bytes), badTapCount);
    EXPECT_EQ(firGetStateSize(-3, &bytes), badTapCount);
    EXPECT_EQ(bytes, -1);
    unsigned char buffer[1024];
    EXPECT_EQ(firInit(&st, taps, 3, nullptr, nullptr), nullPointer);
    EXPECT_EQ(firInit(&st, nullptr, -1, nullptr, buffer), nullPointer);
    EXPECT_EQ(firInit(&st, taps, 0, nullptr, buffer), badTapCount);
    EXPECT_EQ(firInitAlloc(&st, taps, -1, nullptr), badTapCount);
    EXPECT_EQ(st, nullptr);
    {
        testing::AllocationFailureScope fail(1);
        EXPECT_EQ(firInitAlloc(&st, taps, 3, nullptr), outOfMemory);
    }
    ASSERT_EQ(firInitAlloc(&st, taps, 3, nullptr), ok);
    float x[4] = {1, 2, 3, 4}, y[4] = {-1, -1, -1, -1};
    EXPECT_EQ(firFilter(x, y, 0, st), badSize);
    EXPECT_EQ(firFilter(x, nullptr, 0, st), nullPointer);
    EXPECT_EQ(firFilter(x, y, 4, nullptr), nullPointer);
    EXPECT_EQ(y[0], -1.0f);

    BiquadState* bq = nullptr;
    const double unit[6] = {1, 0, 0, 1, 0, 0};
    ASSERT_EQ(biquadInitAlloc(&bq, unit, 1, nullptr), ok);
    auto* wrong = reinterpret_cast<FirState*>(bq);
    EXPECT_EQ(firFilter(x, y, 4, wrong), wrongStateKind);
    EXPECT_EQ(firSetDelayLine(wrong, nullptr), wrongStateKind);
    EXPECT_EQ(firFree(wrong), wrongStateKind);
    EXPECT_EQ(y[0], -1.0f);
    biquadFree(bq);
    firFree(st);
}

TEST(Fir, OneTapIsAGain) {
    const float g = -0.75f;
    FirState* st = nullptr;
    ASSERT_EQ(firInitAlloc(&st, &g, 1, nullptr), ok);
    auto x = testing::whiteNoise(100, 3);
    std::vector<float> y(100);
    ASSERT_EQ(firFilter(x.data(), y.data(), 100, st), ok);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(y[i], x[i] * g);
    firFree(st);
}

// Filters run side by side give each filter firFilter's bits, outputs and
// history alike, for any number of filters, lengths (odd, even, one tap,
// longer than a piece of outputs), call sizes and in place; anything not
// covered is declined untouched.
TEST(Fir, SideBySideGivesEachFiltersOwnBits) {
    if (!simd::atLeast(simd::detectedLevel(), simd::Level::avx2)) GTEST_SKIP() << "needs AVX2";
    constexpr int samples = 1400;
    FirSideBySide side;
    ASSERT_TRUE(side.configure(300));
    for (auto level : runnableLevels()) {
        if (!simd::atLeast(level, simd::Level::avx2)) continue;
        LevelGuard guard(level);
        for (int L : {1, 2, 31, 55, 240, 300}) {
            for (int count : {1, 3, 8}) {
                for (bool inPlace : {false, true}) {
                    SCOPED_TRACE(::testing::Message() << simd::levelName(level) << " L=" << L << " filters="
                                                      << count << (inPlace ? " in place" : ""));
                    std::vector<FirState*> own(count), joint(count);
                    std::vector<std::vector<float>> x(count), expected(count), y(count);
                    for (int f = 0; f < count; ++f) {
                        const auto taps = testing::whiteNoise(L, 500 + 10 * f + L);
                        const auto history = testing::whiteNoise(L, 600 + f);  // a stream already running
                        ASSERT_EQ(firInitAlloc(&own[f], taps.data(), L, history.data()), ok);
                        ASSERT_EQ(firInitAlloc(&joint[f], taps.data(), L, history.data()), ok);
                        x[f] = testing::whiteNoise(samples, 700 + f);
                        expected[f].resize(samples);
                        ASSERT_EQ(firFilter(x[f].data(), expected[f].data(), samples, own[f]), ok);
                        y[f] = inPlace ? x[f] : std::vector<float>(samples);
                    }
                    int at = 0;
                    for (int n : testing::randomBlockSizes(samples, 600, 31 + L + count)) {
                        std::vector<const float*> src(count);
                        std::vector<float*> dst(count);
                        for (int f = 0; f < count; ++f) {
                            src[f] = (inPlace ? y[f].data() : x[f].data()) + at;
                            dst[f] = y[f].data() + at;
                        }
                        ASSERT_TRUE(side.filter(joint.data(), count, src.data(), dst.data(), n));
                        at += n;
                    }
                    for (int f = 0; f < count; ++f) {
                        ASSERT_EQ(y[f], expected[f]) << "filter " << f;
                        // The histories went on alike: the next outputs agree too.
                        const auto more = testing::whiteNoise(40, 800 + f);
                        std::vector<float> a(40), b(40);
                        firFilter(more.data(), a.data(), 40, own[f]);
                        firFilter(more.data(), b.data(), 40, joint[f]);
                        ASSERT_EQ(a, b) << "filter " << f;
                        firFree(own[f]);
                        firFree(joint[f]);
                    }
                }
            }
        }
    }

    // Declined: lengths that differ, too long a filter, below AVX2.
    const auto taps = testing::whiteNoise(301, 1);
    FirState* states[2] = {};
    ASSERT_EQ(firInitAlloc(&states[0], taps.data(), 31, nullptr), ok);
    ASSERT_EQ(firInitAlloc(&states[1], taps.data(), 33, nullptr), ok);
    std::vector<float> in(64, 1.0f), out(64, -5.0f);
    const float* src[2] = {in.data(), in.data()};
    float* dst[2] = {out.data(), out.data()};
    EXPECT_FALSE(side.filter(states, 2, src, dst, 64));
    FirState* tooLong = nullptr;
    ASSERT_EQ(firInitAlloc(&tooLong, taps.data(), 301, nullptr), ok);
    EXPECT_FALSE(side.filter(&tooLong, 1, src, dst, 64));
    {
        LevelGuard guard(simd::Level::sse2);
        EXPECT_FALSE(side.filter(states, 1, src, dst, 64));
    }
    EXPECT_EQ(out, std::vector<float>(64, -5.0f));
    for (int i = 0; i < 30; ++i) EXPECT_EQ(firRecentInputs(states[0])[i], 0.0f);
    firFree(states[0]);
    firFree(states[1]);
    firFree(tooLong);
}

}  // namespace
}  // namespace qb32
