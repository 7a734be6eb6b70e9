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
//     At other rates the design is the same with the same time span: 2
//     round(125 rate / 44100) + 1 taps (273 at 48 kHz, 1089 at 192 kHz), the
//     grid of the same spacing in Hz (round(4096 rate / 44100) intervals up to
//     rate / 2), the same target curves, knots and weights. Above 20 kHz the
//     target stays the flat value with the weight 0.02 it has between 20 and
//     22.05 kHz at 44.1 kHz: every frequency keeps some weight, so the normal
//     matrix stays well conditioned, while the fit spends nothing on a band
//     that the low-band crossover (60 dB stop band from 6-9 kHz up) removes
//     from the beam anyway. There the normal matrix is formed from the
//     weighted cosine sums (2 cos(a w) 2 cos(c w) = 2 cos((a-c) w) + 2 cos((a+c) w)):
//     the same matrix, rounded otherwise, in a time linear in the taps; at
//     44.1 kHz it is summed point by point, as the committed tables were.
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
// complementary high-pass whose pass-band gain is -6 dB. At other rates the
// same crossover frequencies and beta, lengths scaled to the same span
// (55, 41, 37 taps at 44.1 kHz; 59, 45, 41 at 48 kHz).
//
// Post filter: the 31 listed taps at 44.1 kHz. At other rates, 2 round(15
// rate / 44100) + 1 taps, the weighted least-squares linear-phase fit to the
// 44.1 kHz filter's own zero-phase response on a 5 Hz grid: weight 1 up to
// 20 kHz, 0.1 from 20 to 22.05 kHz (the 44.1 kHz filter's band edge), and
// above 22.05 kHz the 44.1 kHz filter's value at its Nyquist frequency held
// constant with weight 0.01. A symmetric filter's response has zero slope at
// Nyquist, so holding that value continues the reference smoothly; it adds no
// boost of its own above the audio band (the reference falls from 2.41 at
// 16 kHz to 1.21 at 22.05 kHz, and stays there), and the low weight leaves the
// taps to the audible band.
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
    int sampleRate_hz = 0;
    int modalTapCount = 0;                     // 251 at 44.1 kHz (omni: 1)
    std::vector<DesignedPattern> patterns;     // factory order
    std::vector<CrossoverPair> crossovers;     // the 6, 8 and 9 kHz pairs
    std::vector<float> postFilter;             // 31 taps at 44.1 kHz
    std::array<double, maxVariantCount> variantFrequencyScale{};
};

// The crossover pairs at 44.1 kHz; every pattern uses one of them.
struct CrossoverDesign {
    int length;
    double crossover_hz;
};
inline constexpr int crossoverCount = 3;
inline constexpr CrossoverDesign crossoverDesigns[crossoverCount] = {{55, 6000.0}, {41, 8000.0}, {37, 9000.0}};
inline constexpr int referenceGridIntervals = 4096;
inline constexpr double postFlatEnd_hz = 20000.0;
inline constexpr double postEdgeWeight = 0.1;
inline constexpr double postTopWeight = 0.01;

// Table lengths at one rate.
struct RateLengths {
    int rate_hz = 0;
    int modalTapCount = 0;
    int postTapCount = 0;
    std::array<int, crossoverCount> crossoverLengths{};
    int gridIntervals = 0;
};
RateLengths rateLengths(int rate_hz);

// The modal fit's normal matrix at one rate (rebuilt from its Cholesky
// factor): its extreme eigenvalues, whose ratio is its condition number.
struct NormalMatrixCondition {
    int unknowns = 0;
    int gridPoints = 0;
    double smallestEigenvalue = 0.0, largestEigenvalue = 0.0;
    [[nodiscard]] double conditionNumber() const { return largestEigenvalue / smallestEigenvalue; }
};
NormalMatrixCondition normalMatrixCondition(int rate_hz);

// Zero-phase amplitude of the 44.1 kHz post filter (the listed taps), held at
// its 22.05 kHz value above that frequency: the target of the other rates.
double referencePostFilterResponse(double frequency_hz);
// The post filter at a supported rate (the listed taps at 44.1 kHz).
std::vector<float> postFilterAt(int rate_hz);

// The smooth target of one order of a pattern with the frequency axis scaled
// by `frequencyScale` (1 for the 0 dB variant).
double targetResponse(const PatternEntry& pattern, int order, double frequency_hz,
                      double frequencyScale);

// Frequency scale of each white-noise-gain variant (index as in wngDb).
std::array<double, maxVariantCount> variantFrequencyScales();

// Zero-phase amplitude of a symmetric FIR of odd length at frequency_hz.
double zeroPhaseAmplitude(const float* taps, int length, double frequency_hz,
                          double sampleRate_hz = designSampleRate_hz);

std::vector<float> lowBandCrossover(int length, double crossover_hz, double sampleRate_hz = designSampleRate_hz);
std::vector<float> highBandCrossover(int length, double crossover_hz, double sampleRate_hz = designSampleRate_hz);

// The whole design at one of the supported rates; deterministic. The
// normal matrix of each rate is built once per process and kept.
DesignedCatalogue designCatalogue(int rate_hz = 44100);

// Generated C++ sources: file name (relative to patterns/tables/) and text.
// At 44.1 kHz one file per pattern plus SharedTables.cpp; at another rate one
// file, PatternTables<rate>.cpp, with every table of that rate and its
// PatternRateTables record.
struct TableSource {
    std::string fileName;
    std::string text;
};
std::vector<TableSource> tableSources(const DesignedCatalogue& catalogue);

}  // namespace qb32::design
