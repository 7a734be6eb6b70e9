#pragma once
// The matrix product of the modal decomposition:
//   out[k][i] = sum_j rows[k][j] * in[j][i],  k < outputs, j < inputs, i < frames.
//
// decomposeTiled is the one CEbf uses: it walks the block 16 samples at a
// time and keeps the partial sums of 4 outputs x 16 samples in vector
// registers while all inputs stream past, instead of re-reading and
// re-writing each output once per input. A tail of fewer than 16 samples (a
// small call) goes one sample at a time with the 16 outputs across the vector
// lanes, reading the matrix by columns: `columns` is the transpose written by
// transposeMatrix (inputs x 16 floats, zero-padded outputs), cached by the
// caller; without it the tail transposes on the stack. AVX2 registers with
// fused multiply-adds are used where the CPU has them (simd::activeLevel),
// SSE2 with separate products and sums otherwise. Each sample's sum is formed
// in the same order (j = 0, 1, ...) whatever the block boundaries, so
// splitting a stream into blocks changes no bit (each level has its own bits,
// every one within the double-precision sum's rounding bound). About ten times faster than the plain
// form at 512-sample blocks (docs/PERFORMANCE.md).
//
// decomposeByPasses is the plain form kept as the benchmark's reference: one
// vecScale / vecScaleAdd pass over the block per (output, input) pair.
//
// Real time: both allocate nothing, take no lock and never throw.
// outputs <= 16, inputs <= 64; in and out must not overlap.

namespace qb32 {

inline constexpr int decompositionMaxOutputs = 16;
inline constexpr int decompositionMaxInputs = 64;

// columns[16 * j + k] = rows[k][j] for k < outputs, 0 above; columns holds
// inputs * 16 floats.
void transposeMatrix(const float* const* rows, int outputs, int inputs, float* columns) noexcept;

void decomposeTiled(const float* const* rows, const float* columns, int outputs, const float* const* in,
                    int inputs, float* const* out, int frames) noexcept;
void decomposeTiled(const float* const* rows, int outputs, const float* const* in, int inputs,
                    float* const* out, int frames) noexcept;

void decomposeByPasses(const float* const* rows, int outputs, const float* const* in, int inputs,
                       float* const* out, int frames) noexcept;

}  // namespace qb32
