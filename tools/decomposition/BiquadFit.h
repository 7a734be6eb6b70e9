#pragma once
// The decomposition's biquad equalisers at another sample rate.
//
// At 44100 Hz the two sets are the array's measured cascades, entered as
// given (engine/tables/BiquadEqualisers.cpp). At another rate each cascade is
// redesigned to answer like the 44.1 kHz one, magnitude and phase, from
// 20 Hz to 20 kHz:
//  1. Start: every section mapped through the inverse bilinear transform at
//     44.1 kHz and the forward one at the new rate (z^-1 -> (alpha + z^-1) /
//     (1 + alpha z^-1), alpha = (1 - K) / (1 + K), K = rate / 44100). The
//     low-frequency shelves and high-passes barely warp; the near-Nyquist
//     features of the 44.1 kHz sections (the poles at z = -0.8 and the zeros
//     near them) do, by several dB at 16 kHz.
//  2. Refinement: Levenberg-Marquardt on every coefficient of the cascade
//     (b0, b1, b2, a1, a2 per section, a0 = 1; first-order sections stay
//     first order; b0 of every section but the first is held, which removes
//     the gain that sections could pass between them; a section whose
//     numerator is b0 (1 - z^-1)^2, the double zero at DC of the closing
//     high-passes, keeps exactly that numerator, so that DC stays blocked
//     in front of the large low-frequency gains), minimising the
//     weighted sum over a log-frequency grid of |ln H(f) - ln H44(f)|^2: the
//     real part is the level error in nepers, the imaginary part the phase
//     error in radians, so dB and degrees weigh alike at every gain. Grid:
//     300 points from 20 Hz to 20 kHz, weight 1 up to 16 kHz and 0.25 above.
//     A step that would put a pole on or outside the unit circle is refused.
//     Marquardt's scaling by the diagonal of J^T J makes the steps independent
//     of the coefficients' very different sizes.
//     Above 20 kHz the level may not exceed the reference's at 22.05 kHz
//     (a one-sided penalty on 80 points up to the new Nyquist frequency, the
//     level only), so that ultrasonic content is lifted no more than at
//     44.1 kHz.
//  3. When the result misses the mark below, a second start matches every
//     pole and zero in Hz instead (z = exp(s /
//     rate), s = 44100 ln z44; a pole at z44 = -0.8 sits at 22.05 kHz and
//     becomes a conjugate pair there), the level set at 1 kHz. From each
//     start, while the worst error up to 16 kHz stays above 0.05 dB or 1
//     degree, up to two more sections (starting as pass-throughs) are added
//     and the fit repeated; the best result is kept, and pass-through
//     sections left over are dropped.
// Everything is plain double arithmetic in a fixed order plus Eigen's LDLT of
// the small normal matrix: deterministic for a given build.

#include <array>
#include <complex>
#include <string>
#include <vector>

namespace qb32::design {

struct BiquadSection {
    std::array<double, 3> b{};  // b0 b1 b2
    std::array<double, 3> a{};  // a0 a1 a2, a0 = 1 after normalisation
    int degree = 2;             // 1: b2 = a2 = 0 and they stay 0
    bool dcNotch = false;       // numerator b0 (1 - z^-1)^2, kept exactly so
};
using BiquadCascade = std::vector<BiquadSection>;

// The 44.1 kHz cascade of set 'A' or 'B', order 0..3, from the engine's table.
BiquadCascade referenceCascade(char set, int order);

// H(e^{j 2 pi f / rate}) of a cascade.
std::complex<double> cascadeResponse(const BiquadCascade& cascade, double frequency_hz, double sampleRate_hz);

// Step 1 above, from 44100 Hz to sampleRate_hz.
BiquadCascade bilinearRemap(const BiquadCascade& cascade, double sampleRate_hz);

struct CascadeDeviation {
    double worstDb16k = 0.0, worstDeg16k = 0.0;  // 20 Hz .. 16 kHz
    double worstDb20k = 0.0, worstDeg20k = 0.0;  // 20 Hz .. 20 kHz
};
// Against the 44.1 kHz cascade, on a 1/48-octave grid from 20 Hz to 20 kHz.
CascadeDeviation cascadeDeviation(const BiquadCascade& cascade, const BiquadCascade& reference,
                                  double sampleRate_hz);

struct CascadeFit {
    BiquadCascade cascade;
    CascadeDeviation start;     // of the bilinear mapping
    CascadeDeviation deviation; // of the result
    int iterations = 0;
};
// The cascade at a supported rate: the reference itself at 44100 Hz.
CascadeFit fitCascade(char set, int order, int sampleRate_hz);

// True when every pole of the cascade lies strictly inside the unit circle.
bool isStable(const BiquadCascade& cascade);

}  // namespace qb32::design
