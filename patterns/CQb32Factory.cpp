#include "patterns/CQb32Factory.h"

#include "patterns/CQb32Patterns.h"
#include "patterns/tables/PatternTables.h"

#include <new>

namespace qb32 {
namespace {

constexpr int catalogueSize = 12;

CQbPattern* makePattern(int index, const tables::PatternRateTables& rate) noexcept {
    switch (index) {
        case 0: return new (std::nothrow) CQb32Omni(rate);
        case 1: return new (std::nothrow) CQb32Super3(rate);
        case 2: return new (std::nothrow) CQb32Super2(rate);
        case 3: return new (std::nothrow) CQb32Super1(rate);
        case 4: return new (std::nothrow) CQb32Hyper3(rate);
        case 5: return new (std::nothrow) CQb32Hyper2(rate);
        case 6: return new (std::nothrow) CQb32Hyper1(rate);
        case 7: return new (std::nothrow) CQb32Card3(rate);
        case 8: return new (std::nothrow) CQb32Card2(rate);
        case 9: return new (std::nothrow) CQb32Card1(rate);
        case 10: return new (std::nothrow) CQb32Dipole1(rate);
        case 11: return new (std::nothrow) CQb32Torus2(rate);
        default: return nullptr;
    }
}

}  // namespace

CQb32Factory::CQb32Factory(double sampleRate_hz) noexcept
    : patterns(nullptr),
      maxModalFilterLength(0),
      maxPostFilterLength(0),
      maxLatency(0.0f),
      patternCount(catalogueSize),
      maxCrossoverLength(0) {
    const tables::PatternRateTables* rate = tables::patternTablesForRate(sampleRate_hz);
    if (rate == nullptr) {
        patternCount = 0;
        return;
    }
    patterns = new (std::nothrow) CQbPattern*[catalogueSize];
    if (patterns == nullptr) {
        patternCount = 0;
        return;
    }
    // Every pattern is attempted even after a failure, so that the clean-up
    // below sees a fully initialised array.
    bool complete = true;
    for (int i = 0; i < catalogueSize; ++i) {
        patterns[i] = makePattern(i, *rate);
        complete = complete && patterns[i] != nullptr;
    }
    if (!complete) {
        for (int i = 0; i < catalogueSize; ++i) delete patterns[i];
        delete[] patterns;
        patterns = nullptr;
        patternCount = 0;
        return;
    }
    for (int i = 0; i < patternCount; ++i) {
        const CQbPattern& p = *patterns[i];
        if (p.modalFilterLength > maxModalFilterLength) maxModalFilterLength = p.modalFilterLength;
        if (p.postFilterLength > maxPostFilterLength) maxPostFilterLength = p.postFilterLength;
        if (p.crossoverLength > maxCrossoverLength) maxCrossoverLength = p.crossoverLength;
    }
    for (int i = 0; i < patternCount; ++i) {
        const float latency = patterns[i]->latency();
        if (latency > maxLatency) maxLatency = latency;
    }
}

CQb32Factory::~CQb32Factory() {
    if (patterns == nullptr) return;
    for (int i = 0; i < patternCount; ++i) delete patterns[i];
    delete[] patterns;
}

const CQbPattern* CQb32Factory::pattern(int index) const noexcept {
    if (patterns == nullptr || index < 0 || index >= patternCount) return nullptr;
    return patterns[index];
}

}  // namespace qb32
