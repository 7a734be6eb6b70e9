#include "engine/DecompositionKernel.h"

#include <cstring>

#include "framework/Primitives.h"
#include "framework/Simd.h"

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#define QB32_DECOMPOSITION_AVX2 1
#endif

namespace qb32 {

namespace {

// Eight floats as one value: the compiler maps it to one AVX register, or to
// two SSE registers in the baseline build.
typedef float Vec8 __attribute__((vector_size(32)));

// R outputs x 16 samples of partial sums, held in registers while all inputs
// stream past.
template <int R>
[[gnu::always_inline]] inline void registerBlock(const float* const* rows, int k0, const float* const* in,
                                                 int inputs, float* const* out, int offset) noexcept {
    Vec8 lo[R], hi[R], x0, x1;
    {
        std::memcpy(&x0, in[0] + offset, sizeof x0);
        std::memcpy(&x1, in[0] + offset + 8, sizeof x1);
        for (int r = 0; r < R; ++r) {
            const float m = rows[k0 + r][0];
            lo[r] = m * x0;
            hi[r] = m * x1;
        }
    }
    for (int j = 1; j < inputs; ++j) {
        std::memcpy(&x0, in[j] + offset, sizeof x0);
        std::memcpy(&x1, in[j] + offset + 8, sizeof x1);
        for (int r = 0; r < R; ++r) {
            const float m = rows[k0 + r][j];
            lo[r] += m * x0;
            hi[r] += m * x1;
        }
    }
    for (int r = 0; r < R; ++r) {
        std::memcpy(out[k0 + r] + offset, &lo[r], sizeof lo[r]);
        std::memcpy(out[k0 + r] + offset + 8, &hi[r], sizeof hi[r]);
    }
}

// A tail of fewer than 16 samples, one sample at a time with the outputs
// across the vector lanes: out[k][i] for all k from the columns
// (columns[16 * j + k] = rows[k][j]). Each output's sum is the same
// multiply-then-add sequence over j = 0, 1, ... as in registerBlock, so the
// bits do not depend on whether a sample falls in a full tile or a tail, and
// a one-sample call costs one pass over the matrix instead of a whole tile.
// Four samples at a time keep eight independent sums in flight.
template <int S>
[[gnu::always_inline]] inline void narrowSamples(const float* columns, int outputs, const float* const* in,
                                                 int inputs, float* const* out, int at) noexcept {
    Vec8 lo[S], hi[S], c0, c1;
    std::memcpy(&c0, columns, sizeof c0);
    std::memcpy(&c1, columns + 8, sizeof c1);
    for (int s = 0; s < S; ++s) {
        const float x = in[0][at + s];
        lo[s] = c0 * x;
        hi[s] = c1 * x;
    }
    for (int j = 1; j < inputs; ++j) {
        std::memcpy(&c0, columns + decompositionMaxOutputs * j, sizeof c0);
        std::memcpy(&c1, columns + decompositionMaxOutputs * j + 8, sizeof c1);
        for (int s = 0; s < S; ++s) {
            const float x = in[j][at + s];
            lo[s] += c0 * x;
            hi[s] += c1 * x;
        }
    }
    for (int s = 0; s < S; ++s) {
        alignas(32) float lanes[decompositionMaxOutputs];
        std::memcpy(lanes, &lo[s], sizeof lo[s]);
        std::memcpy(lanes + 8, &hi[s], sizeof hi[s]);
        for (int k = 0; k < outputs; ++k) out[k][at + s] = lanes[k];
    }
}

[[gnu::always_inline]] inline void narrowTail(const float* columns, int outputs, const float* const* in,
                                              int inputs, float* const* out, int offset, int n) noexcept {
    int i = 0;
    for (; i + 4 <= n; i += 4) narrowSamples<4>(columns, outputs, in, inputs, out, offset + i);
    for (; i < n; ++i) narrowSamples<1>(columns, outputs, in, inputs, out, offset + i);
}

[[gnu::always_inline]] inline void allTiles(const float* const* rows, const float* columns, int outputs,
                                            const float* const* in, int inputs, float* const* out,
                                            int frames) noexcept {
    constexpr int R = 4, W = 16;
    int offset = 0;
    for (; offset + W <= frames; offset += W) {
        int k = 0;
        for (; k + R <= outputs; k += R) registerBlock<R>(rows, k, in, inputs, out, offset);
        for (; k < outputs; ++k) registerBlock<1>(rows, k, in, inputs, out, offset);
    }
    if (offset < frames) narrowTail(columns, outputs, in, inputs, out, offset, frames - offset);
}

void allTilesBaseline(const float* const* rows, const float* columns, int outputs, const float* const* in,
                      int inputs, float* const* out, int frames) noexcept {
    allTiles(rows, columns, outputs, in, inputs, out, frames);
}

#if QB32_DECOMPOSITION_AVX2
// The same structure with AVX2 registers and fused multiply-adds: each
// output is the first product followed by one FMA per further input, in
// input order, in the tiles and in the tails alike.
#define QB32_DECOMPOSITION_FMA __attribute__((target("avx2,fma"), always_inline)) inline

template <int R>
QB32_DECOMPOSITION_FMA void registerBlockFma(const float* const* rows, int k0, const float* const* in, int inputs,
                                             float* const* out, int offset) noexcept {
    __m256 lo[R], hi[R];
    {
        const __m256 x0 = _mm256_loadu_ps(in[0] + offset), x1 = _mm256_loadu_ps(in[0] + offset + 8);
        for (int r = 0; r < R; ++r) {
            const __m256 m = _mm256_broadcast_ss(rows[k0 + r]);
            lo[r] = _mm256_mul_ps(m, x0);
            hi[r] = _mm256_mul_ps(m, x1);
        }
    }
    for (int j = 1; j < inputs; ++j) {
        const __m256 x0 = _mm256_loadu_ps(in[j] + offset), x1 = _mm256_loadu_ps(in[j] + offset + 8);
        for (int r = 0; r < R; ++r) {
            const __m256 m = _mm256_broadcast_ss(rows[k0 + r] + j);
            lo[r] = _mm256_fmadd_ps(m, x0, lo[r]);
            hi[r] = _mm256_fmadd_ps(m, x1, hi[r]);
        }
    }
    for (int r = 0; r < R; ++r) {
        _mm256_storeu_ps(out[k0 + r] + offset, lo[r]);
        _mm256_storeu_ps(out[k0 + r] + offset + 8, hi[r]);
    }
}

template <int S>
QB32_DECOMPOSITION_FMA void narrowSamplesFma(const float* columns, int outputs, const float* const* in, int inputs,
                                             float* const* out, int at) noexcept {
    __m256 lo[S], hi[S];
    {
        const __m256 c0 = _mm256_loadu_ps(columns), c1 = _mm256_loadu_ps(columns + 8);
        for (int s = 0; s < S; ++s) {
            const __m256 x = _mm256_set1_ps(in[0][at + s]);
            lo[s] = _mm256_mul_ps(c0, x);
            hi[s] = _mm256_mul_ps(c1, x);
        }
    }
    for (int j = 1; j < inputs; ++j) {
        const __m256 c0 = _mm256_loadu_ps(columns + decompositionMaxOutputs * j);
        const __m256 c1 = _mm256_loadu_ps(columns + decompositionMaxOutputs * j + 8);
        for (int s = 0; s < S; ++s) {
            const __m256 x = _mm256_set1_ps(in[j][at + s]);
            lo[s] = _mm256_fmadd_ps(c0, x, lo[s]);
            hi[s] = _mm256_fmadd_ps(c1, x, hi[s]);
        }
    }
    for (int s = 0; s < S; ++s) {
        alignas(32) float lanes[decompositionMaxOutputs];
        _mm256_store_ps(lanes, lo[s]);
        _mm256_store_ps(lanes + 8, hi[s]);
        for (int k = 0; k < outputs; ++k) out[k][at + s] = lanes[k];
    }
}

__attribute__((target("avx2,fma"))) void allTilesAvx2(const float* const* rows, const float* columns,
                                                      int outputs, const float* const* in, int inputs,
                                                      float* const* out, int frames) noexcept {
    constexpr int R = 4, W = 16;
    int offset = 0;
    for (; offset + W <= frames; offset += W) {
        int k = 0;
        for (; k + R <= outputs; k += R) registerBlockFma<R>(rows, k, in, inputs, out, offset);
        for (; k < outputs; ++k) registerBlockFma<1>(rows, k, in, inputs, out, offset);
    }
    int i = offset;
    for (; i + 4 <= frames; i += 4) narrowSamplesFma<4>(columns, outputs, in, inputs, out, i);
    for (; i < frames; ++i) narrowSamplesFma<1>(columns, outputs, in, inputs, out, i);
    _mm256_zeroupper();
}
#undef QB32_DECOMPOSITION_FMA
#endif

}  // namespace

void transposeMatrix(const float* const* rows, int outputs, int inputs, float* columns) noexcept {
    for (int j = 0; j < inputs; ++j)
        for (int k = 0; k < decompositionMaxOutputs; ++k)
            columns[decompositionMaxOutputs * j + k] = k < outputs ? rows[k][j] : 0.0f;
}

void decomposeTiled(const float* const* rows, const float* columns, int outputs, const float* const* in,
                    int inputs, float* const* out, int frames) noexcept {
    if (outputs <= 0 || inputs <= 0 || frames <= 0) return;
    if (outputs > decompositionMaxOutputs) outputs = decompositionMaxOutputs;
    if (inputs > decompositionMaxInputs) inputs = decompositionMaxInputs;
    // Without a cached transpose, a tail builds one on the stack.
    alignas(32) float local[decompositionMaxInputs * decompositionMaxOutputs];
    if (columns == nullptr && frames % 16 != 0) {
        transposeMatrix(rows, outputs, inputs, local);
        columns = local;
    }
#if QB32_DECOMPOSITION_AVX2
    if (simd::atLeast(simd::activeLevel(), simd::Level::avx2)) {
        allTilesAvx2(rows, columns, outputs, in, inputs, out, frames);
        return;
    }
#endif
    allTilesBaseline(rows, columns, outputs, in, inputs, out, frames);
}

void decomposeTiled(const float* const* rows, int outputs, const float* const* in, int inputs,
                    float* const* out, int frames) noexcept {
    decomposeTiled(rows, nullptr, outputs, in, inputs, out, frames);
}

void decomposeByPasses(const float* const* rows, int outputs, const float* const* in, int inputs,
                       float* const* out, int frames) noexcept {
    for (int k = 0; k < outputs; ++k) {
        vecScale(in[0], rows[k][0], out[k], frames);
        for (int j = 1; j < inputs; ++j) vecScaleAdd(in[j], rows[k][j], out[k], frames);
    }
}

}  // namespace qb32
