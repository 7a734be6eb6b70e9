#include "engine/DecompositionKernel.h"

#include <cstring>

#include "framework/Primitives.h"
#include "framework/Simd.h"

#if defined(__i386__) || defined(__x86_64__)
#define QB32_DECOMPOSITION_AVX2 1
#endif

namespace qb32 {

namespace {

// One tile of n <= decompositionTile samples starting at `offset`. With n a
// compile-time constant for full tiles, the inner loops vectorise cleanly.
template <int N>
[[gnu::always_inline]] inline void tile(const float* const* rows, int outputs, const float* const* in, int inputs,
                 float* const* out, int offset, int n) noexcept {
    const int count = N > 0 ? N : n;
    alignas(32) float acc[decompositionMaxOutputs][decompositionTile];
    {
        const float* x = in[0] + offset;
        for (int k = 0; k < outputs; ++k) {
            const float m = rows[k][0];
            for (int i = 0; i < count; ++i) acc[k][i] = m * x[i];
        }
    }
    for (int j = 1; j < inputs; ++j) {
        const float* x = in[j] + offset;
        for (int k = 0; k < outputs; ++k) {
            const float m = rows[k][j];
            float* a = acc[k];
            for (int i = 0; i < count; ++i) a[i] += m * x[i];
        }
    }
    for (int k = 0; k < outputs; ++k) {
        float* y = out[k] + offset;
        for (int i = 0; i < count; ++i) y[i] = acc[k][i];
    }
}

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

[[gnu::always_inline]] inline void allTiles(const float* const* rows, int outputs, const float* const* in,
                                            int inputs, float* const* out, int frames) noexcept {
    constexpr int R = 4, W = 16;
    int offset = 0;
    for (; offset + W <= frames; offset += W) {
        int k = 0;
        for (; k + R <= outputs; k += R) registerBlock<R>(rows, k, in, inputs, out, offset);
        for (; k < outputs; ++k) registerBlock<1>(rows, k, in, inputs, out, offset);
    }
    if (offset < frames) tile<0>(rows, outputs, in, inputs, out, offset, frames - offset);
}

void allTilesBaseline(const float* const* rows, int outputs, const float* const* in, int inputs,
                      float* const* out, int frames) noexcept {
    allTiles(rows, outputs, in, inputs, out, frames);
}

#if QB32_DECOMPOSITION_AVX2
// The same code with 8-wide vectors. Multiplies and adds stay separate (no
// fused multiply-add), so both versions give the same bits.
__attribute__((target("avx2"))) void allTilesAvx2(const float* const* rows, int outputs,
                                                  const float* const* in, int inputs, float* const* out,
                                                  int frames) noexcept {
    allTiles(rows, outputs, in, inputs, out, frames);
}
#endif

}  // namespace

void decomposeTiled(const float* const* rows, int outputs, const float* const* in, int inputs,
                    float* const* out, int frames) noexcept {
    if (outputs <= 0 || inputs <= 0 || frames <= 0) return;
    if (outputs > decompositionMaxOutputs) outputs = decompositionMaxOutputs;
#if QB32_DECOMPOSITION_AVX2
    if (simd::atLeast(simd::activeLevel(), simd::Level::avx2)) {
        allTilesAvx2(rows, outputs, in, inputs, out, frames);
        return;
    }
#endif
    allTilesBaseline(rows, outputs, in, inputs, out, frames);
}

void decomposeByPasses(const float* const* rows, int outputs, const float* const* in, int inputs,
                       float* const* out, int frames) noexcept {
    for (int k = 0; k < outputs; ++k) {
        vecScale(in[0], rows[k][0], out[k], frames);
        for (int j = 1; j < inputs; ++j) vecScaleAdd(in[j], rows[k][j], out[k], frames);
    }
}

}  // namespace qb32
