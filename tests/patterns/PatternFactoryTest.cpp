#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "patterns/CQb32Factory.h"
#include "patterns/CQb32Patterns.h"
#include "tests/support/AllocationCounter.h"

namespace qb32 {
namespace {

struct Expected {
    const char* name;
    const char* label;
    int variants;
    int crossoverLength;
    int hfMode;
    int code;  // third byte of patternCode
    float latency;
    int beamwidthDeg[5];
};

// Factory order, as the "Pattern" parameter numbers them.
const Expected catalogue[12] = {
    {"omni", "", 1, 55, 1, 10, 42.0f, {360}},
    {"super3", "WNG", 5, 41, 2, 43, 160.0f, {66, 66, 66, 67, 70}},
    {"super2", "WNG", 5, 41, 2, 42, 160.0f, {80, 80, 80, 80, 81}},
    {"super1", "", 1, 37, 2, 41, 158.0f, {115}},
    {"hyper3", "WNG", 5, 41, 2, 33, 160.0f, {48, 48, 50, 53, 61}},
    {"hyper2", "WNG", 5, 41, 2, 32, 160.0f, {65, 65, 65, 65, 69}},
    {"hyper1", "", 1, 37, 2, 31, 158.0f, {105}},
    {"card3", "WNG", 5, 41, 2, 23, 160.0f, {78, 78, 78, 78, 79}},
    {"card2", "WNG", 5, 41, 2, 22, 160.0f, {94, 94, 94, 94, 95}},
    {"card1", "", 1, 37, 1, 21, 158.0f, {131}},
    {"dipole1", "", 1, 41, 1, 51, 160.0f, {90}},
    {"torus", "", 1, 41, 1, 60, 160.0f, {360}},
};

TEST(PatternFactory, PublishesTheMaximaTheEngineSizesItsLatenciesFrom) {
    const CQb32Factory f;
    EXPECT_EQ(f.patternCount, 12);
    EXPECT_EQ(f.maxModalFilterLength, 251);
    EXPECT_EQ(f.maxPostFilterLength, 31);
    EXPECT_EQ(f.maxCrossoverLength, 55);
    EXPECT_EQ(f.maxLatency, 160.0f);
    // The engine's fixed stage latencies follow from the maxima.
    EXPECT_EQ((f.maxModalFilterLength - 1) >> 1, 125);
    EXPECT_EQ((f.maxCrossoverLength - 1) >> 1, 27);
    EXPECT_EQ((f.maxPostFilterLength - 1) >> 1, 15);
}

TEST(PatternFactory, EveryPatternCarriesItsCatalogueRecord) {
    const CQb32Factory f;
    ASSERT_EQ(f.patternCount, 12);
    for (int i = 0; i < 12; ++i) {
        const Expected& e = catalogue[i];
        SCOPED_TRACE(e.name);
        const CQbPattern* p = f.pattern(i);
        ASSERT_NE(p, nullptr);
        EXPECT_STREQ(p->name, e.name);
        EXPECT_STREQ(p->label, e.label);
        EXPECT_EQ(p->variantCount, e.variants);
        EXPECT_EQ(p->crossoverLength, e.crossoverLength);
        EXPECT_EQ(p->hfMode, e.hfMode);
        EXPECT_EQ(p->patternCode, (10u << 24) | (static_cast<std::uint32_t>(e.code) << 16) | 1u);
        EXPECT_EQ(p->latency(), e.latency);
        EXPECT_LE(p->latency(), 160.0f);
        EXPECT_EQ(p->orderCount, 4);
        EXPECT_EQ(p->postFilterLength, 31);
        EXPECT_EQ(p->polarPointCount, 73);
        EXPECT_EQ(p->designSampleRate, 44100.0f);
        EXPECT_EQ(p->flag, 1);
        const bool omni = i == 0;
        EXPECT_EQ(p->modalFilterLength, omni ? 1 : 251);
        for (int v = 0; v < p->variantCount; ++v) {
            EXPECT_EQ(p->wngDb[v], e.variants == 1 ? 0 : -12 + 6 * v);
            EXPECT_EQ(p->beamwidthDeg[v], e.beamwidthDeg[v]);
            EXPECT_EQ(p->postFilterLengths[v], 31);
            for (int n = 0; n < 4; ++n)
                EXPECT_EQ(p->modalFilterLengths[v * 4 + n], omni ? (n == 0 ? 1 : 0) : 251);
        }
    }
}

TEST(PatternFactory, SelectsTheZeroDecibelVariantByDefault) {
    const CQb32Factory f;
    for (int i = 0; i < f.patternCount; ++i) {
        const CQbPattern& p = *f.pattern(i);
        const int v = defaultVariant(p);
        EXPECT_EQ(v, p.variantCount == 1 ? 0 : 2) << p.name;
        EXPECT_EQ(p.wngDb[v], 0) << p.name;
    }
    // Without a 0 dB variant (or without the table) the last variant is taken.
    vkPattern q;
    const std::int32_t limits[3] = {-6, 6, 12};
    q.variantCount = 3;
    EXPECT_EQ(defaultVariant(q), 2);
    q.wngDb = limits;
    EXPECT_EQ(defaultVariant(q), 2);
    q.variantCount = 0;
    EXPECT_EQ(defaultVariant(q), 0);
}

TEST(PatternFactory, ParameterValuesSelectPatternsByTruncation) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct { float value; int index; } cases[] = {
        {0.0f, 0}, {0.0833f, 0}, {0.0834f, 1}, {0.5f, 6}, {0.999f, 11}, {1.0f, 11},
        {1.5f, 11}, {-0.25f, 0}, {nan, 0}};
    for (const auto& c : cases) EXPECT_EQ(patternIndexForValue(c.value, 12), c.index) << c.value;
    EXPECT_EQ(patternIndexForValue(0.5f, 0), -1);
}

TEST(PatternFactory, ReadersAnswerNullOutsideThePattern) {
    const CQb32Factory f;
    EXPECT_EQ(f.pattern(-1), nullptr);
    EXPECT_EQ(f.pattern(12), nullptr);
    const CQbPattern& card3 = *f.pattern(7);
    EXPECT_EQ(modalFilterTaps(card3, 4, 3), card3.modalFilters + (4 * 4 + 3) * 251);
    EXPECT_EQ(modalFilterLengthRow(card3, 3), card3.modalFilterLengths + 12);
    EXPECT_EQ(postFilterTaps(card3, 1), card3.postFilters + 31);
    EXPECT_EQ(postFilterTapCount(card3, 1), 31);
    for (int v : {-1, 5}) {
        EXPECT_EQ(modalFilterTaps(card3, v, 0), nullptr);
        EXPECT_EQ(modalFilterLengthRow(card3, v), nullptr);
        EXPECT_EQ(postFilterTaps(card3, v), nullptr);
        EXPECT_EQ(postFilterTapCount(card3, v), 0);
    }
    EXPECT_EQ(modalFilterTaps(card3, 0, 4), nullptr);
    EXPECT_EQ(modalFilterTaps(card3, 0, -1), nullptr);
    const vkPattern empty;
    EXPECT_EQ(postFilterTaps(empty, 0), nullptr);
    EXPECT_EQ(modalFilterTaps(empty, 0, 0), nullptr);
}

TEST(PatternRecord, StartsEmptyAndComputesItsLatencyFromTheLengths) {
    CQbPattern p;
    EXPECT_EQ(p.variantCount, 0);
    EXPECT_EQ(p.patternCode, 0u);
    EXPECT_EQ(p.designSampleRate, 0.0f);
    EXPECT_EQ(p.flag, 1);
    EXPECT_EQ(p.hfMode, 1);
    EXPECT_EQ(p.name[0], '\0');
    EXPECT_EQ(p.label[0], '\0');
    EXPECT_EQ(p.modalFilters, nullptr);
    EXPECT_EQ(p.lowBandFilter, nullptr);
    EXPECT_EQ(p.latency(), 0.0f);
    const struct { int modal, post, crossover; float latency; } cases[] = {
        {251, 31, 41, 160.0f}, {1, 31, 55, 42.0f}, {0, 0, 0, 0.0f}, {-5, 2, 1, 0.5f}, {4, 0, -3, 1.5f}};
    for (const auto& c : cases) {
        p.modalFilterLength = c.modal;
        p.postFilterLength = c.post;
        p.crossoverLength = c.crossover;
        EXPECT_EQ(p.latency(), c.latency) << c.modal << " " << c.post << " " << c.crossover;
        EXPECT_EQ(p.vkPattern::latency(), c.latency - (c.crossover < 1 ? 0.0f : (c.crossover - 1) / 2.0f));
    }
}

TEST(PatternRecord, NamesAreCutToFifteenCharacters) {
    vkPattern p;
    vkPattern::copyText(p.name, "a-name-longer-than-sixteen");
    EXPECT_EQ(std::string(p.name), "a-name-longer-t");
    vkPattern::copyText(p.label, nullptr);
    EXPECT_EQ(p.label[0], '\0');
}

TEST(PatternFactory, ASecondFactoryAllocatesOnlyThePatternsAndTheArray) {
    const CQb32Factory first;
    const testing::AllocationScope scope;
    const CQb32Factory second;
    EXPECT_EQ(scope.allocations(), 13u);
    ASSERT_EQ(second.patternCount, 12);
    for (int i = 0; i < 12; ++i) {
        const CQbPattern& a = *first.pattern(i);
        const CQbPattern& b = *second.pattern(i);
        EXPECT_NE(&a, &b);
        EXPECT_EQ(a.modalFilters, b.modalFilters);
        EXPECT_EQ(a.polarResponse, b.polarResponse);
        EXPECT_EQ(a.postFilters, b.postFilters);
        EXPECT_EQ(a.lowBandFilter, b.lowBandFilter);
        EXPECT_EQ(a.highBandFilter, b.highBandFilter);
    }
}

TEST(PatternFactory, AnyFailedAllocationLeavesAnEmptyFactory) {
    for (std::size_t failing = 1; failing <= 13; ++failing) {
        const testing::AllocationFailureScope refuse(failing);
        const CQb32Factory f;
        EXPECT_TRUE(refuse.refusedAny());
        EXPECT_EQ(f.patternCount, 0) << failing;
        EXPECT_EQ(f.patterns, nullptr) << failing;
        EXPECT_EQ(f.pattern(0), nullptr);
        EXPECT_EQ(f.maxModalFilterLength, 0);
        EXPECT_EQ(f.maxLatency, 0.0f);
    }
    const testing::AllocationFailureScope refuse(14);
    const CQb32Factory f;
    EXPECT_FALSE(refuse.refusedAny());
    EXPECT_EQ(f.patternCount, 12);
}

}  // namespace
}  // namespace qb32
