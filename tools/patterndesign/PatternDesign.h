#pragma once
// Design of the constant tables of the twelve beam patterns: the modal
// filters of every variant, the crossover pairs, the post filter and the
// polar responses. The program qb32-design-patterns writes the result as C++
// sources into patterns/tables/; the pattern tests rerun designCatalogue()
// and compare it with the compiled tables value for value.
//
// Modal filters (251 taps, linear phase, delay 125):
//  1. Target curve. The catalogue lists each order's zero-phase response of
//     the 0 dB variant at 0, 50, ..., 1500 Hz and its flat value (the 4 kHz
//     column) from 2 kHz up. Those points are joined by a monotone
//     piecewise-cubic (Fritsch-Carlson) interpolant in |f|: it never
//     overshoots between points, has zero slope at 0 Hz (an even function
//     of frequency, as every cosine series is) and meets the flat value at
//     2 kHz with zero slope, so the curve is C1 everywhere.
//  2. Fit. The 126 free taps h[125..250] of the symmetric filter are the
//     weighted least-squares fit of A(f) = h[125] + 2 sum_k h[125+k]
//     cos(2 pi f k / fs) to the target on a uniform grid of 4096 intervals
//     from 0 to fs/2: weight 1 below 2 kHz, 25 from 2 to 20 kHz (the band
//     that must stay flat within 0.003) and 0.02 above 20 kHz, plus the
//     listed frequencies 0..1500 Hz once more with weight 200, which pins
//     the fit to the listed values (worst deviation there about 0.002, and
//     0.0036 at 2 kHz, where the listed value differs from the flat one).
//     The grid and weights are the same for every filter, so the normal matrix is
//     factored once (Cholesky, double precision, fixed summation order, well
//     conditioned because the cosine basis is nearly orthogonal on the grid).
//     Taps are rounded to float once, and the mirror half is a copy, so the
//     filters are exactly symmetric. Unused orders are all-zero.
//  3. White-noise-gain variants. A lower white-noise-gain limit tolerates more
//     noise amplification, so the hold-back of the higher orders (and the
//     level changes of orders 0 and 1 that preserve the pattern's shape)
//     moves down in frequency, and a higher limit moves it up. Variant v of
//     a five-variant pattern uses the 0 dB target on a scaled frequency axis,
//     T_v(f) = T_0dB(s_v f). The scale s_v of each limit is the same for all
//     patterns and orders; it is calibrated so that order 2 of "card3" at
//     500 Hz takes the catalogue's telling value for that limit (bisection
//     on the monotone part of that curve). s = 1 for the 0 dB variant.
//     Above the end of the scaled transition every variant has the same
//     flat high-frequency weights.
//
// Crossover pairs: lowBand is the Kaiser-windowed sinc (beta 5.65326, the
// Kaiser rule for 60 dB); highBand = 10^(-6/20) (unit impulse - lowBand), a
// complementary high-pass whose pass-band gain is -6 dB.
//
// Polar response (descriptive only): the beam formed by the variant's own
// high-frequency weights, a_n = (mean of order n's response from 2 to 20 kHz)
// / sqrt(4 pi / (2n + 1)), f(theta) = sum a_n P_n(cos theta), magnitude at
// 0, 5, ..., 360 degrees, normalised to a maximum of 1.

#include "tools/patterndesign/PatternCatalogue.h"

#include <array>
#include <string>
#include <vector>

namespace qb32::design {

struct DesignedPattern {
    int variantCount = 0;
    int modalFilterLength = 0;          // 251, or 1 for omni
    std::vector<float> modalFilters;    // [variant][order][modalFilterLength]
    std::vector<float> polarResponse;   // [variant][polarPointCount]
    std::vector<double> polarBeamwidthDeg;  // -3 dB width of polarResponse (check only)
};

struct CrossoverPair {
    int length = 0;
    double crossover_hz = 0.0;
    std::vector<float> lowBand;
    std::vector<float> highBand;
};

struct DesignedCatalogue {
    std::vector<DesignedPattern> patterns;     // factory order
    std::vector<CrossoverPair> crossovers;     // lengths 55, 41, 37
    std::vector<float> postFilter;             // 31 taps
    std::array<double, maxVariantCount> variantFrequencyScale{};
};

// The smooth target of one order of a pattern with the frequency axis scaled
// by `frequencyScale` (1 for the 0 dB variant).
double targetResponse(const PatternEntry& pattern, int order, double frequency_hz,
                      double frequencyScale);

// Frequency scale of each white-noise-gain variant (index as in wngDb).
std::array<double, maxVariantCount> variantFrequencyScales();

// Zero-phase amplitude of a symmetric FIR of odd length at frequency_hz.
double zeroPhaseAmplitude(const float* taps, int length, double frequency_hz);

std::vector<float> lowBandCrossover(int length, double crossover_hz);
std::vector<float> highBandCrossover(int length, double crossover_hz);

// The whole design; deterministic.
DesignedCatalogue designCatalogue();

// Generated C++ sources: file name (relative to patterns/tables/) and text.
struct TableSource {
    std::string fileName;
    std::string text;
};
std::vector<TableSource> tableSources(const DesignedCatalogue& catalogue);

}  // namespace qb32::design
