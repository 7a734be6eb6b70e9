// The committed tables of every rate are exactly what the design program produces.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "framework/SampleRates.h"
#include "patterns/CQb32Factory.h"
#include "tests/support/Sanitizers.h"
#include "tools/patterndesign/PatternDesign.h"

namespace qb32 {
namespace {

const design::DesignedCatalogue& designed(int rate) {
    static std::map<int, design::DesignedCatalogue> catalogues;
    auto found = catalogues.find(rate);
    if (found == catalogues.end()) found = catalogues.emplace(rate, design::designCatalogue(rate)).first;
    return found->second;
}

bool sameBits(const float* a, const float* b, std::size_t n) { return std::memcmp(a, b, n * sizeof(float)) == 0; }

class TableGenerator : public ::testing::TestWithParam<int> {};

// One test per rate, so that each rate's design runs once: the compiled
// tables, the committed sources and the fit's conditioning.
TEST_P(TableGenerator, ReproducesTheCompiledTablesAndTheCommittedSources) {
    const int rate = GetParam();
    if (testing::underSanitizer && rate > 48000) GTEST_SKIP() << "44.1 and 48 kHz under the sanitizers";
    const CQb32Factory f(rate);
    const CQb32Factory reference;
    const auto& d = designed(rate);
    ASSERT_EQ(static_cast<int>(d.patterns.size()), f.patternCount);
    for (int i = 0; i < f.patternCount; ++i) {
        const CQbPattern& p = *f.pattern(i);
        const design::DesignedPattern& q = d.patterns[i];
        ASSERT_EQ(q.variantCount, p.variantCount) << p.name;
        ASSERT_EQ(q.modalFilterLength, p.modalFilterLength) << p.name;
        EXPECT_TRUE(sameBits(p.modalFilters, q.modalFilters.data(), q.modalFilters.size())) << p.name;
        // Polar responses are descriptive and shared: those of 44.1 kHz at every rate.
        EXPECT_EQ(p.polarResponse, reference.pattern(i)->polarResponse) << p.name;
        if (rate == sampleRates::reference_hz) {
            EXPECT_TRUE(sameBits(p.polarResponse, q.polarResponse.data(), q.polarResponse.size())) << p.name;
        }
        int pairs = 0;
        for (const design::CrossoverPair& c : d.crossovers)
            if (c.length == p.crossoverLength) {
                ++pairs;
                EXPECT_TRUE(sameBits(p.lowBandFilter, c.lowBand.data(), c.length)) << p.name;
                EXPECT_TRUE(sameBits(p.highBandFilter, c.highBand.data(), c.length)) << p.name;
            }
        EXPECT_EQ(pairs, 1) << p.name;
        ASSERT_EQ(static_cast<std::size_t>(postFilterTapCount(p, 0)), d.postFilter.size()) << p.name;
        for (int v = 0; v < p.variantCount; ++v)
            EXPECT_TRUE(sameBits(postFilterTaps(p, v), d.postFilter.data(), d.postFilter.size())) << p.name;
    }

    for (const design::TableSource& source : design::tableSources(d)) {
        std::ifstream in(std::string(QB32_SOURCE_DIR) + "/patterns/tables/" + source.fileName, std::ios::binary);
        ASSERT_TRUE(in) << source.fileName;
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_TRUE(text.str() == source.text) << source.fileName << " differs: rerun qb32-design-patterns";
    }

    // The modal fit's normal matrix: at 44.1 kHz its condition number is
    // about 1500; the longer filters of the higher rates may not make it much
    // worse (double precision then still gives the taps far below float
    // rounding).
    const auto condition = design::normalMatrixCondition(rate);
    EXPECT_EQ(condition.unknowns, (d.modalTapCount + 1) / 2);
    EXPECT_GT(condition.smallestEigenvalue, 0.0);
    EXPECT_LT(condition.conditionNumber(), 3000.0);
    RecordProperty("conditionNumber", std::to_string(condition.conditionNumber()));
}

INSTANTIATE_TEST_SUITE_P(Rates, TableGenerator, ::testing::ValuesIn(sampleRates::supported_hz),
                         [](const ::testing::TestParamInfo<int>& rate) { return std::to_string(rate.param); });

}  // namespace
}  // namespace qb32
