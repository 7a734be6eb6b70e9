// The committed tables are exactly what the design program produces.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "patterns/CQb32Factory.h"
#include "tools/patterndesign/PatternDesign.h"

namespace qb32 {
namespace {

const design::DesignedCatalogue& designed() {
    static const design::DesignedCatalogue catalogue = design::designCatalogue();
    return catalogue;
}

bool sameBits(const float* a, const float* b, std::size_t n) { return std::memcmp(a, b, n * sizeof(float)) == 0; }

TEST(TableGenerator, ReproducesTheCompiledTables) {
    const CQb32Factory f;
    const auto& d = designed();
    ASSERT_EQ(static_cast<int>(d.patterns.size()), f.patternCount);
    for (int i = 0; i < f.patternCount; ++i) {
        const CQbPattern& p = *f.pattern(i);
        const design::DesignedPattern& q = d.patterns[i];
        ASSERT_EQ(q.variantCount, p.variantCount) << p.name;
        ASSERT_EQ(q.modalFilterLength, p.modalFilterLength) << p.name;
        EXPECT_TRUE(sameBits(p.modalFilters, q.modalFilters.data(), q.modalFilters.size())) << p.name;
        EXPECT_TRUE(sameBits(p.polarResponse, q.polarResponse.data(), q.polarResponse.size())) << p.name;
        for (const design::CrossoverPair& c : d.crossovers)
            if (c.length == p.crossoverLength) {
                EXPECT_TRUE(sameBits(p.lowBandFilter, c.lowBand.data(), c.length)) << p.name;
                EXPECT_TRUE(sameBits(p.highBandFilter, c.highBand.data(), c.length)) << p.name;
            }
        for (int v = 0; v < p.variantCount; ++v)
            EXPECT_TRUE(sameBits(postFilterTaps(p, v), d.postFilter.data(), 31)) << p.name;
    }
}

TEST(TableGenerator, ReproducesTheCommittedSourcesVerbatim) {
    for (const design::TableSource& source : design::tableSources(designed())) {
        std::ifstream in(std::string(QB32_SOURCE_DIR) + "/patterns/tables/" + source.fileName, std::ios::binary);
        ASSERT_TRUE(in) << source.fileName;
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_TRUE(text.str() == source.text) << source.fileName << " differs: rerun qb32-design-patterns";
    }
}

}  // namespace
}  // namespace qb32
