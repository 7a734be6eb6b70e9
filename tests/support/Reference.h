#pragma once
// Independent reference computations for tests: plain double-precision
// formulas that share no code with the module.

#include <complex>
#include <cstdint>
#include <vector>

namespace qb32::testing {

// Direct-form FIR over a whole signal, double accumulation, zero history.
std::vector<double> directFir(const std::vector<float>& taps, const std::vector<float>& x);

// Frequency response sum_k h[k] e^{-j 2 pi f k / fs} of a tap array.
std::complex<double> frequencyResponse(const float* taps, int length, double frequencyHz,
                                       double sampleRateHz);

// Zero-phase amplitude of a linear-phase FIR: the response with its delay of
// (length - 1) / 2 samples removed, real part.
double zeroPhaseAmplitude(const float* taps, int length, double frequencyHz,
                          double sampleRateHz);

// Magnitude in dB of a biquad cascade (groups of b0 b1 b2 a0 a1 a2) at f.
double biquadCascadeGainDb(const double* coefficients, int sections, double frequencyHz,
                           double sampleRateHz);

// Deterministic white noise in [-1, 1).
std::vector<float> whiteNoise(std::size_t n, std::uint32_t seed);

// A random split of n samples into blocks of 1..maxBlock (deterministic).
std::vector<int> randomBlockSizes(int n, int maxBlock, std::uint32_t seed);

}  // namespace qb32::testing
