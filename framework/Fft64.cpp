// 64-point FFT as 8 x 8: with x viewed as the matrix A[r][c] = x[8 r + c],
//   B[k1][c]  = sum_r A[r][c] W8^(r k1)        (eight-point DFTs down the columns)
//   B[k1][c] *= W64^(c k1)                      (twiddles)
//   X[k1 + 8 k2] = sum_c B[k1][c] W8^(c k2)     (after a transpose, down the columns again)
// A row of the matrix is one vector of eight floats, so every step works on
// eight complex values at once and the output lands in natural order.
// The inverse is the forward transform with real and imaginary parts swapped
// on the way in and out (swap(DFT(swap(X))) is the unscaled inverse DFT).
//
// The code is written once with the compiler's generic vectors
// (Fft64Kernel.inc) and compiled three times: for the SSE2 baseline (each
// eight-float vector becomes two SSE registers) with separate roundings, and
// for AVX2 and for AVX2 with the 32 registers of AVX-512VL with the products
// that meet a sum fused.

#include "framework/Fft64.h"

#include <cmath>
#include <cstring>

#include "framework/Simd.h"

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#define QB32_X86 1
#endif

namespace qb32::fft64 {
namespace {

typedef float v8 __attribute__((vector_size(32)));
typedef int v8i __attribute__((vector_size(32)));

struct Twiddles {
    alignas(32) float re[8][8];
    alignas(32) float im[8][8];
};

Twiddles makeTwiddles() noexcept {
    Twiddles t{};
    const double step = -2.0 * 3.14159265358979323846 / size;
    for (int k1 = 0; k1 < 8; ++k1)
        for (int c = 0; c < 8; ++c) {
            t.re[k1][c] = static_cast<float>(std::cos(step * c * k1));
            t.im[k1][c] = static_cast<float>(std::sin(step * c * k1));
        }
    return t;
}

// Built when the library is loaded; read-only afterwards.
const Twiddles twiddles = makeTwiddles();

// W_{64m}^(n2 k1) for the transforms of 64 m points: [k1][n2] real parts,
// then imaginary parts, for m = 2, 4, 8.
struct BlockTwiddles {
    alignas(32) float re[8 * 64];
    alignas(32) float im[8 * 64];
};

BlockTwiddles makeBlockTwiddles(int m) noexcept {
    BlockTwiddles t{};
    const double step = -2.0 * 3.14159265358979323846 / (64.0 * m);
    for (int k1 = 0; k1 < m; ++k1)
        for (int n2 = 0; n2 < 64; ++n2) {
            t.re[64 * k1 + n2] = static_cast<float>(std::cos(step * n2 * k1));
            t.im[64 * k1 + n2] = static_cast<float>(std::sin(step * n2 * k1));
        }
    return t;
}

const BlockTwiddles blockTwiddles[3] = {makeBlockTwiddles(2), makeBlockTwiddles(4), makeBlockTwiddles(8)};

int twiddleIndex(int m) noexcept { return m == 2 ? 0 : m == 4 ? 1 : 2; }

// By reference: eight-float vectors passed by value would change the calling
// convention between the baseline and the AVX2 build.
[[gnu::always_inline]] inline void load(v8& v, const float* p) noexcept { std::memcpy(&v, p, sizeof v); }

[[gnu::always_inline]] inline void store(float* p, const v8& v) noexcept { std::memcpy(p, &v, sizeof v); }

// Two-source lane shuffles with constant indices: GCC spells them
// __builtin_shuffle with an index vector, clang __builtin_shufflevector.
#if defined(__clang__)
#define QB32_SHUFFLE(a, b, i0, i1, i2, i3, i4, i5, i6, i7) \
    __builtin_shufflevector(a, b, i0, i1, i2, i3, i4, i5, i6, i7)
#else
#define QB32_SHUFFLE(a, b, i0, i1, i2, i3, i4, i5, i6, i7) \
    __builtin_shuffle(a, b, v8i{i0, i1, i2, i3, i4, i5, i6, i7})
#endif

[[gnu::always_inline]] inline void transpose8(v8* m) noexcept {
    v8 t[8], u[8];
#pragma GCC unroll 8
    for (int i = 0; i < 8; i += 2) {
        t[i] = QB32_SHUFFLE(m[i], m[i + 1], 0, 8, 1, 9, 4, 12, 5, 13);
        t[i + 1] = QB32_SHUFFLE(m[i], m[i + 1], 2, 10, 3, 11, 6, 14, 7, 15);
    }
#pragma GCC unroll 8
    for (int i = 0; i < 8; i += 4) {
        u[i] = QB32_SHUFFLE(t[i], t[i + 2], 0, 1, 8, 9, 4, 5, 12, 13);
        u[i + 1] = QB32_SHUFFLE(t[i], t[i + 2], 2, 3, 10, 11, 6, 7, 14, 15);
        u[i + 2] = QB32_SHUFFLE(t[i + 1], t[i + 3], 0, 1, 8, 9, 4, 5, 12, 13);
        u[i + 3] = QB32_SHUFFLE(t[i + 1], t[i + 3], 2, 3, 10, 11, 6, 7, 14, 15);
    }
#pragma GCC unroll 8
    for (int i = 0; i < 4; ++i) {
        m[i] = QB32_SHUFFLE(u[i], u[i + 4], 0, 1, 2, 3, 8, 9, 10, 11);
        m[i + 4] = QB32_SHUFFLE(u[i], u[i + 4], 4, 5, 6, 7, 12, 13, 14, 15);
    }
}

#undef QB32_SHUFFLE

// The transform twice over (framework/Fft64Kernel.inc): products and sums
// rounded separately for the baseline, and fused where they meet for the
// AVX2 and AVX-512 builds.
namespace separate {
#define QB32_FFT_INLINE [[gnu::always_inline]] inline
#define QB32_MUL_ADD(a, b, c) ((a) * (b) + (c))
#define QB32_NEG_MUL_ADD(a, b, c) ((c) - (a) * (b))
#define QB32_MUL_SUB(a, b, c) ((a) * (b) - (c))
#include "framework/Fft64Kernel.inc"
#undef QB32_FFT_INLINE
#undef QB32_MUL_ADD
#undef QB32_NEG_MUL_ADD
#undef QB32_MUL_SUB
}  // namespace separate

#if QB32_X86
namespace fused {
#define QB32_FFT_INLINE [[gnu::always_inline]] inline __attribute__((target("avx2,fma")))
#define QB32_MUL_ADD(a, b, c) ((v8)_mm256_fmadd_ps((__m256)(a), (__m256)(b), (__m256)(c)))
#define QB32_NEG_MUL_ADD(a, b, c) ((v8)_mm256_fnmadd_ps((__m256)(a), (__m256)(b), (__m256)(c)))
#define QB32_MUL_SUB(a, b, c) ((v8)_mm256_fmsub_ps((__m256)(a), (__m256)(b), (__m256)(c)))
#include "framework/Fft64Kernel.inc"
#undef QB32_FFT_INLINE
#undef QB32_MUL_ADD
#undef QB32_NEG_MUL_ADD
#undef QB32_MUL_SUB
}  // namespace fused
#endif

void transformBaseline(const float* re, const float* im, float* outRe, float* outIm) noexcept {
    separate::transform(re, im, outRe, outIm);
}

#if QB32_X86
__attribute__((target("avx2,fma"))) void transformAvx2(const float* re, const float* im, float* outRe,
                                                        float* outIm) noexcept {
    fused::transform(re, im, outRe, outIm);
}

// The same eight-float code with the 32 vector registers of AVX-512VL: the
// sixteen rows and the temporaries of an eight-point DFT fit without spills.
__attribute__((target("avx2,fma,avx512f,avx512vl"))) void transformAvx512(const float* re, const float* im,
                                                                          float* outRe, float* outIm) noexcept {
    fused::transform(re, im, outRe, outIm);
}
#endif

template <int M>
void blocksBaseline(bool inverse, const float* re, const float* im, float* spectrum, float* outRe, float* outIm,
                    const BlockTwiddles& tw) noexcept {
    if (inverse)
        separate::inverseBlocksM<M>(spectrum, outRe, outIm, tw.re, tw.im);
    else
        separate::forwardBlocksM<M>(re, im, spectrum, tw.re, tw.im);
}

#if QB32_X86
template <int M>
__attribute__((target("avx2,fma"))) void blocksAvx2(bool inverse, const float* re, const float* im, float* spectrum,
                                                    float* outRe, float* outIm, const BlockTwiddles& tw) noexcept {
    if (inverse)
        fused::inverseBlocksM<M>(spectrum, outRe, outIm, tw.re, tw.im);
    else
        fused::forwardBlocksM<M>(re, im, spectrum, tw.re, tw.im);
}
#endif

void runBlocks(bool inverse, const float* re, const float* im, float* spectrum, float* outRe, float* outIm,
               int m) noexcept {
    const BlockTwiddles& tw = blockTwiddles[twiddleIndex(m)];
#if QB32_X86
    if (simd::atLeast(simd::activeLevel(), simd::Level::avx2)) {
        switch (m) {
            case 2: blocksAvx2<2>(inverse, re, im, spectrum, outRe, outIm, tw); return;
            case 4: blocksAvx2<4>(inverse, re, im, spectrum, outRe, outIm, tw); return;
            default: blocksAvx2<8>(inverse, re, im, spectrum, outRe, outIm, tw); return;
        }
    }
#endif
    switch (m) {
        case 2: blocksBaseline<2>(inverse, re, im, spectrum, outRe, outIm, tw); return;
        case 4: blocksBaseline<4>(inverse, re, im, spectrum, outRe, outIm, tw); return;
        default: blocksBaseline<8>(inverse, re, im, spectrum, outRe, outIm, tw); return;
    }
}

void run(const float* re, const float* im, float* outRe, float* outIm) noexcept {
#if QB32_X86
    switch (simd::activeLevel()) {
        case simd::Level::avx512: transformAvx512(re, im, outRe, outIm); return;
        case simd::Level::avx2: transformAvx2(re, im, outRe, outIm); return;
        default: break;
    }
#endif
    transformBaseline(re, im, outRe, outIm);
}

}  // namespace

void forward(float* re, float* im) noexcept { run(re, im, re, im); }

void forward(const float* re, const float* im, float* outRe, float* outIm) noexcept {
    run(re, im, outRe, outIm);
}

void inverse(float* re, float* im) noexcept { run(im, re, im, re); }

void forwardBlocks(const float* re, const float* im, float* spectrum, int m) noexcept {
    runBlocks(false, re, im, spectrum, nullptr, nullptr, m);
}

void inverseBlocks(float* spectrum, float* re, float* im, int m) noexcept {
    runBlocks(true, nullptr, nullptr, spectrum, re, im, m);
}

}  // namespace qb32::fft64
