#include <gtest/gtest.h>

#include <vector>

#include "framework/CDelayLine.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/Reference.h"

namespace qb32 {
namespace {

TEST(DelayLine, DelaysAcrossCallsAndWorksInPlace) {
    CDelayLine line;
    ASSERT_EQ(line.resize(3), 0);
    float a[5] = {1, 2, 3, 4, 5}, out[5];
    line.process(a, out, 5);
    EXPECT_EQ(std::vector<float>(out, out + 5), (std::vector<float>{0, 0, 0, 1, 2}));
    float b[2] = {6, 7};
    line.process(b, b, 2);
    EXPECT_EQ(b[0], 3.0f);
    EXPECT_EQ(b[1], 4.0f);
}

TEST(DelayLine, EveryLengthAndBlockSplitGivesThePureDelay) {
    const auto x = testing::whiteNoise(3000, 11);
    for (bool inPlace : {true, false})
        for (int length : {0, 1, 2, 125, 315, 1024, 1500}) {
            CDelayLine line;
            ASSERT_EQ(line.resize(length), 0);
            std::vector<float> y = x;
            int at = 0;
            // Long blocks and runs of very short ones (those take the per-sample path).
            auto blocks = testing::randomBlockSizes(1500, 300, static_cast<std::uint32_t>(length));
            for (int b : testing::randomBlockSizes(1500, 20, static_cast<std::uint32_t>(length) + 1)) blocks.push_back(b);
            for (int b : blocks) {
                line.process(inPlace ? y.data() + at : x.data() + at, y.data() + at, b);
                at += b;
            }
            for (int k = 0; k < 3000; ++k)
                ASSERT_EQ(y[k], k >= length ? x[k - length] : 0.0f) << inPlace << " " << length << " " << k;
        }
}

// The stored inputs read out and written into another line of the same
// length: both lines go on with the same output, from any write position.
TEST(DelayLine, RecentInputsHandTheStateOver) {
    const auto x = testing::whiteNoise(800, 12);
    for (int length : {0, 1, 7, 125}) {
        for (int start : {0, 3, 200, 333}) {
            CDelayLine a, b;
            ASSERT_EQ(a.resize(length), 0);
            ASSERT_EQ(b.resize(length), 0);
            std::vector<float> ya(800), yb(800);
            a.process(x.data(), ya.data(), start);
            std::vector<float> stored(static_cast<std::size_t>(length) + 1);
            a.recentInputs(stored.data());
            for (int i = 0; i < length; ++i)
                ASSERT_EQ(stored[i], start - length + i >= 0 ? x[start - length + i] : 0.0f) << length << " " << i;
            b.setRecentInputs(stored.data());
            a.process(x.data() + start, ya.data() + start, 800 - start);
            b.process(x.data() + start, yb.data() + start, 800 - start);
            for (int k = start; k < 800; ++k) ASSERT_EQ(yb[k], ya[k]) << length << " " << start << " " << k;
        }
    }
}

TEST(DelayLine, ResizeGrowsOnlyWhenNeededAndClearsTheHistory) {
    CDelayLine line;
    EXPECT_EQ(line.getCapacity(), 1024);
    ASSERT_EQ(line.resize(2000), 0);
    EXPECT_EQ(line.getCapacity(), 2000);
    {
        testing::AllocationScope scope;
        ASSERT_EQ(line.resize(10), 0);
        ASSERT_EQ(line.resize(1999), 0);
        EXPECT_EQ(scope.allocations(), 0u) << "a shorter length reuses the buffer";
    }
    EXPECT_EQ(line.getCapacity(), 2000);

    ASSERT_EQ(line.resize(5), 0);
    std::vector<float> ones(20, 1.0f), out(20);
    line.process(ones.data(), out.data(), 20);
    ASSERT_EQ(line.resize(5), 0);
    line.process(ones.data(), out.data(), 20);
    for (int k = 0; k < 5; ++k) EXPECT_EQ(out[k], 0.0f);
    EXPECT_EQ(out[5], 1.0f);

    line.clear();
    line.process(ones.data(), out.data(), 6);
    EXPECT_EQ(out[4], 0.0f);
    EXPECT_EQ(out[5], 1.0f);
    line.process(ones.data(), out.data(), 0);
}

TEST(DelayLine, FailedGrowthReportsAndOutputsSilence) {
    CDelayLine line;
    {
        testing::AllocationFailureScope fail(1);
        EXPECT_EQ(line.resize(5000), CDelayLine::resizeFailed);
    }
    EXPECT_FALSE(line.hasStorage());
    std::vector<float> x(8, 1.0f);
    line.process(x.data(), x.data(), 8);
    EXPECT_EQ(x, std::vector<float>(8, 0.0f));
    ASSERT_EQ(line.resize(3), 0) << "a later resize recovers";
    EXPECT_TRUE(line.hasStorage());
}

}  // namespace
}  // namespace qb32
