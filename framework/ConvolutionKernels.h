#pragma once
// The two kernels of the partitioned convolution, for blocks that arrange
// their own partitions around them (the engine's shared modal filters).
// Both pick the instruction-set level in force (simd::activeLevel).
//
// The head of lane l:
//   h_l(s) = one chain of products over i = 0 .. 31 of taps[l][i] * windows[l][s + i]
// for s < count: a 32-tap direct form with its taps reversed (taps[l][0]
// meets the oldest input), the same chain as the convolver's own head. Every output is formed by
// the same operations in the same order whatever `count` and wherever it
// falls in a call, so a stream's output does not depend on how it is cut.
// A group shorter than a vector reads up to 7 floats past windows[l][count +
// 31] into lanes that are discarded: the caller keeps them readable.
//
// spectralSum: acc = sum over p < products of g[p] * u[p], complex products
// of 64-bin spectra in split form (re 64 | im 64, 32-byte aligned), acc too.
// With `halves`, places 0 and 32 each hold two real bins (the DC bin in the
// real part, the Nyquist bin in the imaginary part: two half spectra of real
// signals side by side), and there the real parts' products and the
// imaginary parts' products are summed apart.
//
// Real time: no allocation, no lock, noexcept.

namespace qb32::convolutionKernels {

inline constexpr int headTaps = 32;

// Lanes filtered separately, each with its own FFT part added:
//   outs[l][s] = h_l(s) + tails[l][s], s < count,
// the same operations per output as the convolver's one-lane head followed
// by the add.
// The lanes' chains run side by side, so many short ones cost no more than
// their products (one lane alone waits on each product's latency).
void headsPlusTails(const float* const* taps, const float* const* windows, const float* const* tails, int lanes,
                    float* const* outs, int count) noexcept;
void spectralSum(float* acc, const float* const* g, const float* const* u, int products, bool halves = false) noexcept;
// Two such sums over the same g, acc[0] with u0 and acc[1] with u1, each bit
// for bit what spectralSum gives alone.
void spectralSumPair(float* const* acc, const float* const* g, const float* const* u0, const float* const* u1,
                     int products, bool halves = false) noexcept;

}  // namespace qb32::convolutionKernels
