#pragma once
// The catalogue of the twelve beam patterns as the designer states it: names,
// identification words, crossover settings, white-noise-gain limits, beam
// widths, high-frequency modal weights and the measured target responses of
// the 0 dB variant of every pattern. These are the inputs of the pattern
// design (PatternDesign.h); nothing here is computed.
//
// Conventions: frequencies in Hz at a 44100 Hz design rate; a modal filter's
// response is its real zero-phase amplitude (delay removed). Order n of a
// pattern with Legendre directivity coefficients a_n has the high-frequency
// weight c_n = a_n sqrt(4 pi / (2n + 1)).

#include <array>
#include <cstdint>
#include <span>

namespace qb32::design {

inline constexpr double designSampleRate_hz = 44100.0;
inline constexpr int orderCount = 4;
inline constexpr int modalTapCount = 251;
inline constexpr int postTapCount = 31;
inline constexpr int polarPointCount = 73;
inline constexpr int maxVariantCount = 5;

// Frequencies of the target table columns.
inline constexpr std::array<double, 12> targetFrequencies_hz = {
    0, 50, 100, 200, 300, 500, 750, 1000, 1500, 2000, 4000, 8000};
// Column of targetFrequencies_hz whose value is the flat response from 2 kHz up.
inline constexpr int flatColumn = 10;

struct PatternEntry {
    const char* className;
    const char* name;
    const char* label;                 // "WNG" or empty
    const char* tablePrefix;           // identifier prefix of its generated tables
    int variantCount;                  // 1 or 5
    int crossoverLength;               // taps of both crossover filters
    double crossover_hz;
    int hfMode;
    std::uint32_t patternCode;
    std::array<std::int32_t, maxVariantCount> wngDb;        // first variantCount used
    std::array<std::int32_t, maxVariantCount> beamwidthDeg; // first variantCount used
    std::array<bool, orderCount> ordersUsed;
    // Target response of the loaded (0 dB) variant, per order, at targetFrequencies_hz.
    std::array<std::array<double, 12>, orderCount> target;
};

// The twelve patterns in factory order (omni first, torus last).
std::span<const PatternEntry> patternCatalogue();

// The single tap of the omnidirectional pattern (0.1 % under sqrt(4 pi)).
inline constexpr double omniTap = 3.540889;

// Post filter taps 0..15 (the rest mirror about tap 15).
inline constexpr std::array<double, 16> postFilterHalf = {
    0.00048992, 0.00006341, -0.00034514, -0.00021972, 0.00590628, -0.00315917,
    -0.0053999, 0.00141821, 0.02187066, 0.00010871, -0.00807204, -0.07772549,
    0.115047,  -0.2599897, -0.180536,   1.782485};

// Telling values of the variants the plug-in does not load: order 2 of
// "card3" at 500 Hz for each white-noise-gain limit (-12, -6, 0, +6, +12 dB).
inline constexpr double card3Order2At500_hz[maxVariantCount] = {0.366, 0.329, 0.266, 0.240, 0.184};

}  // namespace qb32::design
