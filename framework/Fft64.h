#pragma once
// A 64-point complex FFT in split form (real parts in one array, imaginary
// parts in another), the transform behind the partitioned convolution
// (framework/PartitionedConvolver.h).
//
// forward: X[k] = sum_n x[n] e^{-2 pi i n k / 64}, natural order in and out.
// inverse: x[n] = sum_k X[k] e^{+2 pi i n k / 64}, unscaled (a forward and an
//          inverse multiply by 64).
// Both work in place on 64 floats per array; the arrays must be 32-byte
// aligned. The transform is computed as 8 x 8 (eight-point DFTs down the
// columns of the 8 x 8 matrix x[8 r + c], twiddles, a transpose, eight-point
// DFTs again), eight complex values per vector operation. AVX2 where the CPU
// has it (simd::activeLevel; with AVX-512VL's 32 registers where it has that
// too), else the same code in SSE2 pairs.
//
// Accuracy: single precision throughout; each output is within about
// 6 * 2^-24 * sum |x| of the exact transform (tested against a double DFT).
//
// Real time: no allocation, no lock, noexcept.

namespace qb32::fft64 {

inline constexpr int size = 64;

void forward(float* re, float* im) noexcept;
void inverse(float* re, float* im) noexcept;
// Out of place: reads re/im (im null: all zeros), writes outRe/outIm (all
// four 32-byte aligned; the outputs may be the inputs).
void forward(const float* re, const float* im, float* outRe, float* outIm) noexcept;

// Transforms of 64 m points (m = 2, 4 or 8: 128, 256, 512) built from the
// 64-point one (an m-point DFT across blocks of 64, twiddles, a 64-point
// transform per block). The spectrum comes in m blocks of (re 64 | im 64),
// block k1 holding bin m k2 + k1 at k2: an order that products of two
// spectra, bin by bin, do not mind. forwardBlocks reads re / im in natural
// order (im null: zeros); inverseBlocks takes such a spectrum (overwritten)
// and writes re / im in natural order, unscaled (a forward and an inverse
// multiply by 64 m). Every array 32-byte aligned. Each output is within
// about 2^-24 * log2(64 m) * sum |x| of the exact transform.
void forwardBlocks(const float* re, const float* im, float* spectrum, int m) noexcept;
void inverseBlocks(float* spectrum, float* re, float* im, int m) noexcept;

}  // namespace qb32::fft64
