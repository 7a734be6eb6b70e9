// The records of the pattern tables per rate: 44.1 kHz points at the tables
// of the other files of this folder; the other rates' records are generated
// with their tables (PatternTables<rate>.cpp).
#include "framework/SampleRates.h"
#include "patterns/tables/PatternTables.h"

namespace qb32::tables {

extern const PatternRateTables patternTables48000;
extern const PatternRateTables patternTables88200;
extern const PatternRateTables patternTables96000;
extern const PatternRateTables patternTables176400;
extern const PatternRateTables patternTables192000;

namespace {

const PatternRateTables patternTables44100 = {
    44100,
    modalTapCount,
    postTapCount,
    {omniModalFilters, super3ModalFilters, super2ModalFilters, super1ModalFilters, hyper3ModalFilters,
     hyper2ModalFilters, hyper1ModalFilters, card3ModalFilters, card2ModalFilters, card1ModalFilters,
     dipole1ModalFilters, torusModalFilters},
    modalFilterLengthsFull,
    postFilters,
    postFilterLengths,
    {55, 41, 37},
    {lowBandFilter55, lowBandFilter41, lowBandFilter37},
    {highBandFilter55, highBandFilter41, highBandFilter37},
};

// In the order of sampleRates::supported_hz.
const PatternRateTables* const byRate[sampleRates::count] = {
    &patternTables44100, &patternTables48000,  &patternTables88200,
    &patternTables96000, &patternTables176400, &patternTables192000,
};

}  // namespace

const PatternRateTables* patternTablesForRate(double sampleRate_hz) noexcept {
    const int i = sampleRates::indexOf(sampleRate_hz);
    return i >= 0 ? byRate[i] : nullptr;
}

}  // namespace qb32::tables
