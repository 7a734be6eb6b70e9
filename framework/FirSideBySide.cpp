#include "framework/FirSideBySide.h"

#include "framework/Simd.h"

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#define QB32_X86 1
#endif

namespace qb32 {

namespace {

constexpr int W = FirSideBySide::maxFilters;  // filters per vector

#if QB32_X86

#define QB32_SIDE_AVX2 __attribute__((target("avx2,fma"), always_inline)) inline

// Rows r[0..7] (one per filter, eight samples each) become eight rows of
// one sample each (eight filters).
QB32_SIDE_AVX2 void transpose8(__m256* r) noexcept {
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const __m256 s0 = _mm256_shuffle_ps(t0, t2, 0x44), s1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 s2 = _mm256_shuffle_ps(t1, t3, 0x44), s3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 s4 = _mm256_shuffle_ps(t4, t6, 0x44), s5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 s6 = _mm256_shuffle_ps(t5, t7, 0x44), s7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    r[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
    r[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
    r[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
    r[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
    r[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
    r[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
    r[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
    r[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}

// M outputs in a row: out row t = sum over taps i of taps row i * inputs
// row t + i, two chains per output (even and odd taps) added at the end.
// An input row read for tap i + 1 of output t is the one of tap i of output
// t + 1, so the compiler loads it once for both.
template <int M>
QB32_SIDE_AVX2 void outputsAvx2(const float* h, int length, const float* x, float* y) noexcept {
    __m256 a0[M], a1[M];
    for (int j = 0; j < M; ++j) a0[j] = a1[j] = _mm256_setzero_ps();
    int i = 0;
    for (; i + 2 <= length; i += 2) {
        const __m256 h0 = _mm256_load_ps(h + i * W), h1 = _mm256_load_ps(h + (i + 1) * W);
        for (int j = 0; j < M; ++j) {
            a0[j] = _mm256_fmadd_ps(h0, _mm256_load_ps(x + (i + j) * W), a0[j]);
            a1[j] = _mm256_fmadd_ps(h1, _mm256_load_ps(x + (i + j + 1) * W), a1[j]);
        }
    }
    if (i < length) {
        const __m256 h0 = _mm256_load_ps(h + i * W);
        for (int j = 0; j < M; ++j) a0[j] = _mm256_fmadd_ps(h0, _mm256_load_ps(x + (i + j) * W), a0[j]);
    }
    for (int j = 0; j < M; ++j) _mm256_store_ps(y + j * W, _mm256_add_ps(a0[j], a1[j]));
}

// to[j][f] = from[f][j] for j < n: eight rows of eight at a time.
QB32_SIDE_AVX2 void interleave(const float* const* from, int n, float* to) noexcept {
    int j = 0;
    for (; j + 8 <= n; j += 8) {
        __m256 r[W];
        for (int f = 0; f < W; ++f) r[f] = _mm256_loadu_ps(from[f] + j);
        transpose8(r);
        for (int k = 0; k < 8; ++k) _mm256_store_ps(to + (j + k) * W, r[k]);
    }
    for (; j < n; ++j)
        for (int f = 0; f < W; ++f) to[j * W + f] = from[f][j];
}

__attribute__((target("avx2,fma"))) void interleaveAvx2(const float* const* from, int n, float* to) noexcept {
    interleave(from, n, to);
    _mm256_zeroupper();
}

// One piece: its inputs behind the history rows already in x, the outputs
// through y into dst.
__attribute__((target("avx2,fma"))) void pieceAvx2(const float* h, int length, const float* const* src,
                                                   float* x, float* y, float* const* dst, int n) noexcept {
    interleave(src, n, x + (length - 1) * W);
    int t = 0;
    for (; t + 4 <= n; t += 4) outputsAvx2<4>(h, length, x + t * W, y + t * W);
    for (; t < n; ++t) outputsAvx2<1>(h, length, x + t * W, y + t * W);
    int j = 0;
    for (; j + 8 <= n; j += 8) {
        __m256 r[W];
        for (int k = 0; k < 8; ++k) r[k] = _mm256_load_ps(y + (j + k) * W);
        transpose8(r);
        for (int f = 0; f < W; ++f) _mm256_storeu_ps(dst[f] + j, r[f]);
    }
    for (; j < n; ++j)
        for (int f = 0; f < W; ++f) dst[f][j] = y[j * W + f];
    _mm256_zeroupper();
}

#undef QB32_SIDE_AVX2

#endif  // QB32_X86

}  // namespace

FirSideBySide::~FirSideBySide() { release(); }

void FirSideBySide::release() noexcept {
    vecFree(memory);
    memory = taps = inputs = outputs = zeros = discard = nullptr;
    tapLimit = 0;
}

bool FirSideBySide::configure(int maxTaps) noexcept {
    release();
    if (maxTaps < 1) return false;
    // Taps, the inputs of a piece with the history before them, its
    // outputs, and the zeros read and the outputs discarded in the lanes of
    // absent filters.
    const int zeroCount = maxTaps > piece ? maxTaps : piece;
    const int floats = W * maxTaps + W * (maxTaps + piece) + W * piece + zeroCount + piece;
    memory = vecAlloc(floats);
    if (memory == nullptr) return false;
    vecZero(memory, floats);
    taps = memory;
    inputs = taps + W * maxTaps;
    outputs = inputs + W * (maxTaps + piece);
    zeros = outputs + W * piece;
    discard = zeros + zeroCount;
    tapLimit = maxTaps;
    return true;
}

bool FirSideBySide::filter(FirState* const* states, int count, const float* const* src, float* const* dst,
                           int n) noexcept {
#if QB32_X86
    if (memory == nullptr || count < 1 || count > W || n < 1 ||
        !simd::atLeast(simd::activeLevel(), simd::Level::avx2))
        return false;
    const int length = firTapCount(states[0]);
    if (length > tapLimit) return false;
    for (int f = 1; f < count; ++f)
        if (firTapCount(states[f]) != length) return false;

    const float* rows[W];
    for (int f = 0; f < W; ++f) rows[f] = f < count ? firReversedTaps(states[f]) : zeros;
    interleaveAvx2(rows, length, taps);
    for (int done = 0; done < n;) {
        const int m = n - done < piece ? n - done : piece;
        const float* in[W];
        float* out[W];
        for (int f = 0; f < W; ++f) {
            in[f] = f < count ? src[f] + done : zeros;
            out[f] = f < count ? dst[f] + done : discard;
            rows[f] = f < count ? firRecentInputs(states[f]) : zeros;
        }
        // The history rows are copied before the inputs join the history,
        // which may move it.
        interleaveAvx2(rows, length - 1, inputs);
        for (int f = 0; f < count; ++f) firAppendInputs(in[f], m, states[f]);
        // Reads every input of the piece before it writes an output (src may be dst).
        pieceAvx2(taps, length, in, inputs, outputs, out, m);
        done += m;
    }
    return true;
#else
    (void)states;
    (void)count;
    (void)src;
    (void)dst;
    (void)n;
    return false;
#endif
}

}  // namespace qb32
