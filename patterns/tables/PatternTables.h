#pragma once
// Constant tables of the twelve beam patterns. The definitions are generated
// by tools/qb32-design-patterns (design method in
// tools/patterndesign/PatternDesign.h) into the other files of this folder;
// the pattern tests rerun the design and compare it with these arrays.
//
// Layouts (V = variants of the pattern, 5 or 1):
//   <pattern>ModalFilters   [V][orderCount][modalTapCount] ("omni": [1][4][1]),
//                           symmetric about tap 125; unused orders all zero
//   <pattern>PolarResponse  [V][polarPointCount], 0..360 degrees in 5-degree steps
//   <pattern>BeamwidthDeg   [V]
// Shared by every pattern (one copy in the module, read-only):
//   postFilters [maxVariantCount][postTapCount] (the same 31 taps in each row),
//   postFilterLengths, modalFilterLengthsFull (251 for every order),
//   modalFilterLengthsOmni {1, 0, 0, 0}, wngDbSingle {0},
//   wngDbFive {-12, -6, 0, 6, 12}, and one crossover pair per length:
//   lowBandFilterL / highBandFilterL for L = 55 (6 kHz), 41 (8 kHz), 37 (9 kHz).
//
// Every supported rate has one PatternRateTables record (RateTables.cpp for
// 44.1 kHz, PatternTables<rate>.cpp, generated, for the others): the same
// design at that rate with lengths that span the same time (modal filters
// 2 round(125 rate / 44100) + 1 taps, post filter 2 round(15 rate / 44100) + 1,
// crossover pairs likewise). The omni tap, polar responses, beam widths and
// white-noise-gain limits do not depend on the rate: every record shares the
// 44.1 kHz ones.

#include <cstdint>

namespace qb32::tables {

inline constexpr int orderCount = 4;
inline constexpr int modalTapCount = 251;
inline constexpr int postTapCount = 31;
inline constexpr int polarPointCount = 73;
inline constexpr int maxVariantCount = 5;

extern const float omniModalFilters[1 * orderCount * 1];
extern const float super3ModalFilters[5 * orderCount * modalTapCount];
extern const float super2ModalFilters[5 * orderCount * modalTapCount];
extern const float super1ModalFilters[1 * orderCount * modalTapCount];
extern const float hyper3ModalFilters[5 * orderCount * modalTapCount];
extern const float hyper2ModalFilters[5 * orderCount * modalTapCount];
extern const float hyper1ModalFilters[1 * orderCount * modalTapCount];
extern const float card3ModalFilters[5 * orderCount * modalTapCount];
extern const float card2ModalFilters[5 * orderCount * modalTapCount];
extern const float card1ModalFilters[1 * orderCount * modalTapCount];
extern const float dipole1ModalFilters[1 * orderCount * modalTapCount];
extern const float torusModalFilters[1 * orderCount * modalTapCount];

extern const float omniPolarResponse[1 * polarPointCount];
extern const float super3PolarResponse[5 * polarPointCount];
extern const float super2PolarResponse[5 * polarPointCount];
extern const float super1PolarResponse[1 * polarPointCount];
extern const float hyper3PolarResponse[5 * polarPointCount];
extern const float hyper2PolarResponse[5 * polarPointCount];
extern const float hyper1PolarResponse[1 * polarPointCount];
extern const float card3PolarResponse[5 * polarPointCount];
extern const float card2PolarResponse[5 * polarPointCount];
extern const float card1PolarResponse[1 * polarPointCount];
extern const float dipole1PolarResponse[1 * polarPointCount];
extern const float torusPolarResponse[1 * polarPointCount];

extern const std::int32_t omniBeamwidthDeg[1];
extern const std::int32_t super3BeamwidthDeg[5];
extern const std::int32_t super2BeamwidthDeg[5];
extern const std::int32_t super1BeamwidthDeg[1];
extern const std::int32_t hyper3BeamwidthDeg[5];
extern const std::int32_t hyper2BeamwidthDeg[5];
extern const std::int32_t hyper1BeamwidthDeg[1];
extern const std::int32_t card3BeamwidthDeg[5];
extern const std::int32_t card2BeamwidthDeg[5];
extern const std::int32_t card1BeamwidthDeg[1];
extern const std::int32_t dipole1BeamwidthDeg[1];
extern const std::int32_t torusBeamwidthDeg[1];

extern const float postFilters[maxVariantCount * postTapCount];
extern const std::int32_t postFilterLengths[maxVariantCount];
extern const std::int32_t modalFilterLengthsFull[maxVariantCount * orderCount];
extern const std::int32_t modalFilterLengthsOmni[orderCount];
extern const std::int32_t wngDbSingle[1];
extern const std::int32_t wngDbFive[maxVariantCount];

extern const float lowBandFilter55[55];
extern const float highBandFilter55[55];
extern const float lowBandFilter41[41];
extern const float highBandFilter41[41];
extern const float lowBandFilter37[37];
extern const float highBandFilter37[37];

inline constexpr int patternCount = 12;
inline constexpr int crossoverPairCount = 3;  // 6 kHz (omni), 8 kHz, 9 kHz (first-order patterns)

struct PatternRateTables {
    std::int32_t sampleRate_hz;
    std::int32_t modalTapCount;  // of every pattern but omni
    std::int32_t postTapCount;
    const float* modalFilters[patternCount];       // factory order; omni [1][4][1]
    const std::int32_t* modalFilterLengthsFull;    // [maxVariantCount][orderCount], all modalTapCount
    const float* postFilters;                      // [maxVariantCount][postTapCount]
    const std::int32_t* postFilterLengths;         // [maxVariantCount]
    std::int32_t crossoverLengths[crossoverPairCount];
    const float* lowBandFilters[crossoverPairCount];
    const float* highBandFilters[crossoverPairCount];
};

// The record of one supported rate (exact match), else null.
const PatternRateTables* patternTablesForRate(double sampleRate_hz) noexcept;

}  // namespace qb32::tables
