#include "patterns/CQb32Factory.h"

#include "patterns/CQb32Patterns.h"

#include <new>

namespace qb32 {
namespace {

constexpr int catalogueSize = 12;

CQbPattern* makePattern(int index) noexcept {
    switch (index) {
        case 0: return new (std::nothrow) CQb32Omni();
        case 1: return new (std::nothrow) CQb32Super3();
        case 2: return new (std::nothrow) CQb32Super2();
        case 3: return new (std::nothrow) CQb32Super1();
        case 4: return new (std::nothrow) CQb32Hyper3();
        case 5: return new (std::nothrow) CQb32Hyper2();
        case 6: return new (std::nothrow) CQb32Hyper1();
        case 7: return new (std::nothrow) CQb32Card3();
        case 8: return new (std::nothrow) CQb32Card2();
        case 9: return new (std::nothrow) CQb32Card1();
        case 10: return new (std::nothrow) CQb32Dipole1();
        case 11: return new (std::nothrow) CQb32Torus2();
        default: return nullptr;
    }
}

}  // namespace

CQb32Factory::CQb32Factory() noexcept
    : patterns(nullptr),
      maxModalFilterLength(0),
      maxPostFilterLength(0),
      maxLatency(0.0f),
      patternCount(catalogueSize),
      maxCrossoverLength(0) {
    patterns = new (std::nothrow) CQbPattern*[catalogueSize];
    if (patterns == nullptr) {
        patternCount = 0;
        return;
    }
    // Every pattern is attempted even after a failure, so that the clean-up
    // below sees a fully initialised array.
    bool complete = true;
    for (int i = 0; i < catalogueSize; ++i) {
        patterns[i] = makePattern(i);
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
