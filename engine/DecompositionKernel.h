#pragma once
// The matrix product of the modal decomposition:
//   out[k][i] = sum_j rows[k][j] * in[j][i],  k < outputs, j < inputs, i < frames.
//
// decomposeTiled is the one CEbf uses: it walks the block in tiles of
// decompositionTile samples and keeps every output's partial sums of the tile
// in a small local array (L1 cache / registers) while the inputs stream past
// once, instead of re-reading and re-writing each output once per input. Each
// sample's sum is formed in the same order (j = 0, 1, ...) whatever the tile
// or block boundaries, so splitting a stream into blocks changes no bit.
//
// decomposeByPasses is the plain form kept as the benchmark's reference: one
// vecScale / vecScaleAdd pass over the block per (output, input) pair.
//
// Real time: both allocate nothing, take no lock and never throw.
// outputs <= 16; in and out must not overlap.

namespace qb32 {

inline constexpr int decompositionTile = 64;
inline constexpr int decompositionMaxOutputs = 16;

void decomposeTiled(const float* const* rows, int outputs, const float* const* in, int inputs,
                    float* const* out, int frames) noexcept;

void decomposeByPasses(const float* const* rows, int outputs, const float* const* in, int inputs,
                       float* const* out, int frames) noexcept;

}  // namespace qb32
