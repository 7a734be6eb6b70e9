// 64-point FFT as 8 x 8: with x viewed as the matrix A[r][c] = x[8 r + c],
//   B[k1][c]  = sum_r A[r][c] W8^(r k1)        (eight-point DFTs down the columns)
//   B[k1][c] *= W64^(c k1)                      (twiddles)
//   X[k1 + 8 k2] = sum_c B[k1][c] W8^(c k2)     (after a transpose, down the columns again)
// A row of the matrix is one vector of eight floats, so every step works on
// eight complex values at once and the output lands in natural order.
// The inverse is the forward transform with real and imaginary parts swapped
// on the way in and out (swap(DFT(swap(X))) is the unscaled inverse DFT).
//
// The code is written once with the compiler's generic vectors and compiled
// three times: for the SSE2 baseline (each eight-float vector becomes two SSE
// registers), for AVX2, and for AVX2 with the 32 registers of AVX-512VL.

#include "framework/Fft64.h"

#include <cmath>
#include <cstring>

#include "framework/Simd.h"

#if defined(__i386__) || defined(__x86_64__)
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

// By reference: eight-float vectors passed by value would change the calling
// convention between the baseline and the AVX2 build.
[[gnu::always_inline]] inline void load(v8& v, const float* p) noexcept { std::memcpy(&v, p, sizeof v); }

[[gnu::always_inline]] inline void store(float* p, const v8& v) noexcept { std::memcpy(p, &v, sizeof v); }

// Eight-point DFT of x[0..7] (each a vector of independent lanes), natural order.
[[gnu::always_inline]] inline void dft8(v8* re, v8* im) noexcept {
    const float s = 0.70710678118654752f;
    // Even samples: E = DFT4(x0, x2, x4, x6).
    const v8 a0r = re[0] + re[4], a0i = im[0] + im[4];
    const v8 a1r = re[0] - re[4], a1i = im[0] - im[4];
    const v8 a2r = re[2] + re[6], a2i = im[2] + im[6];
    const v8 a3r = re[2] - re[6], a3i = im[2] - im[6];
    const v8 e0r = a0r + a2r, e0i = a0i + a2i;
    const v8 e2r = a0r - a2r, e2i = a0i - a2i;
    const v8 e1r = a1r + a3i, e1i = a1i - a3r;
    const v8 e3r = a1r - a3i, e3i = a1i + a3r;
    // Odd samples: O = DFT4(x1, x3, x5, x7).
    const v8 b0r = re[1] + re[5], b0i = im[1] + im[5];
    const v8 b1r = re[1] - re[5], b1i = im[1] - im[5];
    const v8 b2r = re[3] + re[7], b2i = im[3] + im[7];
    const v8 b3r = re[3] - re[7], b3i = im[3] - im[7];
    const v8 o0r = b0r + b2r, o0i = b0i + b2i;
    const v8 o2r = b0r - b2r, o2i = b0i - b2i;
    const v8 o1r = b1r + b3i, o1i = b1i - b3r;
    const v8 o3r = b1r - b3i, o3i = b1i + b3r;
    // W8^k O[k]: W8 = (1 - i) / sqrt 2, W8^2 = -i, W8^3 = -(1 + i) / sqrt 2.
    const v8 w1r = (o1r + o1i) * s, w1i = (o1i - o1r) * s;
    const v8 w2r = o2i, w2i = -o2r;
    const v8 w3r = (o3i - o3r) * s, w3i = -(o3r + o3i) * s;
    re[0] = e0r + o0r; im[0] = e0i + o0i;
    re[4] = e0r - o0r; im[4] = e0i - o0i;
    re[1] = e1r + w1r; im[1] = e1i + w1i;
    re[5] = e1r - w1r; im[5] = e1i - w1i;
    re[2] = e2r + w2r; im[2] = e2i + w2i;
    re[6] = e2r - w2r; im[6] = e2i - w2i;
    re[3] = e3r + w3r; im[3] = e3i + w3i;
    re[7] = e3r - w3r; im[7] = e3i - w3i;
}

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
    for (int i = 0; i < 8; i += 2) {
        t[i] = QB32_SHUFFLE(m[i], m[i + 1], 0, 8, 1, 9, 4, 12, 5, 13);
        t[i + 1] = QB32_SHUFFLE(m[i], m[i + 1], 2, 10, 3, 11, 6, 14, 7, 15);
    }
    for (int i = 0; i < 8; i += 4) {
        u[i] = QB32_SHUFFLE(t[i], t[i + 2], 0, 1, 8, 9, 4, 5, 12, 13);
        u[i + 1] = QB32_SHUFFLE(t[i], t[i + 2], 2, 3, 10, 11, 6, 7, 14, 15);
        u[i + 2] = QB32_SHUFFLE(t[i + 1], t[i + 3], 0, 1, 8, 9, 4, 5, 12, 13);
        u[i + 3] = QB32_SHUFFLE(t[i + 1], t[i + 3], 2, 3, 10, 11, 6, 7, 14, 15);
    }
    for (int i = 0; i < 4; ++i) {
        m[i] = QB32_SHUFFLE(u[i], u[i + 4], 0, 1, 2, 3, 8, 9, 10, 11);
        m[i + 4] = QB32_SHUFFLE(u[i], u[i + 4], 4, 5, 6, 7, 12, 13, 14, 15);
    }
}

#undef QB32_SHUFFLE

[[gnu::always_inline]] inline void transform(const float* re, const float* im, float* outRe,
                                             float* outIm) noexcept {
    v8 r[8], i[8];
    for (int k = 0; k < 8; ++k) {
        load(r[k], re + 8 * k);
        if (im != nullptr) load(i[k], im + 8 * k);
        else i[k] = v8{};
    }
    dft8(r, i);
    for (int k = 1; k < 8; ++k) {
        v8 wr, wi;
        load(wr, twiddles.re[k]);
        load(wi, twiddles.im[k]);
        const v8 xr = r[k];
        r[k] = xr * wr - i[k] * wi;
        i[k] = xr * wi + i[k] * wr;
    }
    transpose8(r);
    transpose8(i);
    dft8(r, i);
    for (int k = 0; k < 8; ++k) {
        store(outRe + 8 * k, r[k]);
        store(outIm + 8 * k, i[k]);
    }
}

void transformBaseline(const float* re, const float* im, float* outRe, float* outIm) noexcept {
    transform(re, im, outRe, outIm);
}

#if QB32_X86
__attribute__((target("avx2,fma"))) void transformAvx2(const float* re, const float* im, float* outRe,
                                                        float* outIm) noexcept {
    transform(re, im, outRe, outIm);
}

// The same eight-float code with the 32 vector registers of AVX-512VL: the
// sixteen rows and the temporaries of an eight-point DFT fit without spills.
__attribute__((target("avx2,fma,avx512f,avx512vl"))) void transformAvx512(const float* re, const float* im,
                                                                          float* outRe, float* outIm) noexcept {
    transform(re, im, outRe, outIm);
}
#endif

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

}  // namespace qb32::fft64
