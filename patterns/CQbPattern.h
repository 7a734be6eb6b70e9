#pragma once
// CQbPattern: a pattern of the 32-capsule array. Adds to vkPattern the
// crossover pair that joins the modal low band with the capsule high band,
// and the mode of the high-frequency beam block used with the pattern.
//
// latency() = vkPattern::latency() + (crossoverLength - 1) / 2, the last term
// 0 when crossoverLength is below 1.
//
// Real time: immutable after construction; nothing allocates.

#include "patterns/vkPattern.h"

namespace qb32 {

class CQbPattern : public vkPattern {
public:
    CQbPattern() noexcept;
    float latency() const noexcept override;

    std::int32_t crossoverLength;  // taps of both crossover filters
    std::int32_t hfMode;           // 1, or 2 for the three-capsule high band
    const float* lowBandFilter;    // [crossoverLength], unit gain below the crossover
    const float* highBandFilter;   // [crossoverLength], gain 0.5 (-6 dB) above it
};

}  // namespace qb32
