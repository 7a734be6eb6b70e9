// The records of the decomposition's equalisers per rate: 44.1 kHz points at
// the tables of the other files of this folder; the other rates' records are
// generated with their tables (Equalisers<rate>.cpp).
#include "engine/tables/DecompositionTables.h"
#include "framework/SampleRates.h"

namespace qb32::tables {

extern const DecompositionRateTables decompositionTables48000;
extern const DecompositionRateTables decompositionTables88200;
extern const DecompositionRateTables decompositionTables96000;
extern const DecompositionRateTables decompositionTables176400;
extern const DecompositionRateTables decompositionTables192000;

namespace {

const DecompositionRateTables decompositionTables44100 = {
    44100,
    {biquadSetA[0], biquadSetA[1], biquadSetA[2], biquadSetA[3]},
    biquadSetASections,
    {biquadSetB[0], biquadSetB[1], biquadSetB[2], biquadSetB[3]},
    biquadSetBSections,
    {firEqualisers[0], firEqualisers[1], firEqualisers[2], firEqualisers[3]},
    firEqualiserLengths,
    firEqualiserMaxLength,
};

// In the order of sampleRates::supported_hz.
const DecompositionRateTables* const byRate[sampleRates::count] = {
    &decompositionTables44100, &decompositionTables48000,  &decompositionTables88200,
    &decompositionTables96000, &decompositionTables176400, &decompositionTables192000,
};

}  // namespace

const DecompositionRateTables* decompositionTablesForRate(double sampleRate_hz) noexcept {
    const int i = sampleRates::indexOf(sampleRate_hz);
    return i >= 0 ? byRate[i] : nullptr;
}

}  // namespace qb32::tables
