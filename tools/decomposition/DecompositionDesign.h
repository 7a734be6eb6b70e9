#pragma once
// Design core of the decomposition tables (engine/tables/DecompositionMatrix.cpp
// and engine/tables/FirEqualisers.cpp). The program qb32-decomposition-tables
// writes the tables with it; tests/engine links it and checks that the
// committed tables are exactly what it produces.
//
// Decomposition matrix: for component k = (n, m) and capsule q,
//   M[k][q] = Y_k(theta_q, phi_q) / (32 g_k),
//   g_k = (4 pi / 32) sum_q c_m^2 Y_k(theta_q, phi_q)^2, c_m = sqrt(2) (m != 0) or 1,
// with Y_k the real spherical harmonic of realSphericalHarmonic below; g_k
// corrects the row for the grid's imperfect quadrature (it matters for order 3).
//
// FIR equalisers of orders 2 and 3: odd-length symmetric (type I) high-passes,
// the ideal high-pass (a unit impulse minus an ideal low-pass of cut-off fc)
// times a Kaiser window of shape beta over the whole length:
//   h[c + k] = delta[k] - I0(beta sqrt(1 - (k/c)^2)) / I0(beta) * sin(2 pi fc k / fs) / (pi k),
// c = (L - 1) / 2. The pair (fc, beta) of each order is fitted once to that
// order's zero-phase amplitude table (minimax of the error divided by its
// tolerance, 0.02 below 150 Hz and 0.01 from there up) and kept as constants
// here (firEqualiserDesign), so generating the taps is a closed formula. The
// centre tap is 1 - 2 fc / fs. Each mirrored pair is rounded once to float, so
// the taps are exactly symmetric. Plain double arithmetic in a fixed order:
// the same bits on every build. At the other rates the same (fc, beta) and a
// length of the same time span: the window, and so the response, keeps its
// shape in Hz.

#include <array>
#include <string>
#include <vector>

namespace qb32::design {

inline constexpr double equaliserSampleRate_hz = 44100.0;

// Real spherical harmonic of order n, degree m (|m| <= n):
// sqrt((2n+1)/(4 pi)) sqrt((n-|m|)!/(n+|m|)!) P_n^|m|(cos theta) T_m(phi),
// T_m = cos(m phi) for m > 0, 1 for m = 0, sin(|m| phi) for m < 0; P_n^m with
// the Condon-Shortley phase.
double realSphericalHarmonic(int n, int m, double theta_rad, double phi_rad);

struct DecompositionDesign {
    std::array<std::array<float, 32>, 16> matrix{};  // rounded entries
    std::array<std::array<double, 32>, 16> exact{};  // double-precision entries
    std::array<double, 16> rowNorm{};                // g_k
};

// From the capsule directions of engine/tables/CapsuleDirections.h.
DecompositionDesign designDecompositionMatrix();

struct AmplitudePoint {
    double frequency_hz;
    double amplitude;  // zero-phase amplitude to meet
    double tolerance;  // allowed absolute deviation
};

// The zero-phase amplitude table the equaliser of `order` (2 or 3) must meet
// at 44100 Hz; empty for other orders.
std::vector<AmplitudePoint> firEqualiserTargets(int order);

struct KaiserHighPass {
    double cutoff_hz = 0.0;
    double beta = 0.0;
};

// Double-precision taps of the Kaiser-windowed high-pass; `length` odd.
std::vector<double> kaiserHighPass(int length, const KaiserHighPass& design, double sampleRate_hz);

// Zero-phase amplitude of symmetric double taps at one frequency.
double zeroPhaseAmplitude(const std::vector<double>& taps, double frequency_hz, double sampleRate_hz);

// Largest |amplitude - target| / tolerance over the table.
double worstScaledError(const std::vector<double>& taps, const std::vector<AmplitudePoint>& targets,
                        double sampleRate_hz);

// Grid search for the (fc, beta) minimising worstScaledError, starting at `start`.
KaiserHighPass fitKaiserHighPass(int length, const std::vector<AmplitudePoint>& targets,
                                 double sampleRate_hz, KaiserHighPass start);

// The fitted design of order 2 or 3 (constants).
KaiserHighPass firEqualiserDesign(int order);

// Taps of the FIR equaliser of order 0..3 at a supported rate: the single
// tap 1.0 for orders 0 and 1; for orders 2 and 3 the same closed form (same
// cut-off and beta) over the length that spans the same time as 631 and 409
// taps at 44.1 kHz (687 and 445 at 48 kHz, 2743 and 1777 at 192 kHz).
std::vector<float> designFirEqualiser(int order, int sampleRate_hz = 44100);

// Source text of the two generated 44.1 kHz table files.
std::string decompositionMatrixSource(const DecompositionDesign& design);
std::string firEqualiserSource(const std::array<std::vector<float>, 4>& taps);

// Source text of the equaliser tables of another rate: both biquad sets
// (tools/decomposition/BiquadFit.h), the FIR equalisers and the
// DecompositionRateTables record, file Equalisers<rate>.cpp. Designs them.
std::string equaliserSource(int sampleRate_hz);

}  // namespace qb32::design
