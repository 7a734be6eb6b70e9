#include "engine/DecompositionKernel.h"

#include "framework/Primitives.h"

namespace qb32 {

namespace {

// One tile of n <= decompositionTile samples starting at `offset`. With n a
// compile-time constant for full tiles, the inner loops vectorise cleanly.
template <int N>
inline void tile(const float* const* rows, int outputs, const float* const* in, int inputs,
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

}  // namespace

void decomposeTiled(const float* const* rows, int outputs, const float* const* in, int inputs,
                    float* const* out, int frames) noexcept {
    if (outputs <= 0 || inputs <= 0 || frames <= 0) return;
    if (outputs > decompositionMaxOutputs) outputs = decompositionMaxOutputs;
    int offset = 0;
    for (; offset + decompositionTile <= frames; offset += decompositionTile)
        tile<decompositionTile>(rows, outputs, in, inputs, out, offset, decompositionTile);
    if (offset < frames) tile<0>(rows, outputs, in, inputs, out, offset, frames - offset);
}

void decomposeByPasses(const float* const* rows, int outputs, const float* const* in, int inputs,
                       float* const* out, int frames) noexcept {
    for (int k = 0; k < outputs; ++k) {
        vecScale(in[0], rows[k][0], out[k], frames);
        for (int j = 1; j < inputs; ++j) vecScaleAdd(in[j], rows[k][j], out[k], frames);
    }
}

}  // namespace qb32
