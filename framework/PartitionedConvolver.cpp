#include "framework/PartitionedConvolver.h"

#include <atomic>
#include <cstring>

#include "framework/ConvolutionKernels.h"
#include "framework/Fft64.h"
#include "framework/Primitives.h"
#include "framework/Simd.h"
#include "framework/Status.h"

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#define QB32_X86 1
#endif

namespace qb32 {

namespace convolution {
namespace {
std::atomic<bool>& enabledFlag() noexcept {
    static std::atomic<bool> flag{true};
    return flag;
}
}  // namespace

bool partitionedEnabled() noexcept { return enabledFlag().load(std::memory_order_relaxed); }
void setPartitionedEnabled(bool on) noexcept { enabledFlag().store(on, std::memory_order_relaxed); }
}  // namespace convolution

namespace {

constexpr int P = PartitionedConvolver::partitionSamples;
constexpr int N = fft64::size;          // 2 P
constexpr int spectrumFloats = 2 * N;   // re | im
// A call that completes several partitions transforms them all first, then
// forms their sums two boundaries at a time (each filter spectrum loaded once
// for both), then the outputs: at most batchLimit partitions in one go.
constexpr int batchLimit = 8;
// The partition before the current one, the current one (or a batch of
// them), and the slack a partial vector reads.
constexpr int historyFloats = (batchLimit + 1) * P + 8;

typedef float v8 __attribute__((vector_size(32)));

[[gnu::always_inline]] inline void load(v8& v, const float* p) noexcept { std::memcpy(&v, p, sizeof v); }
[[gnu::always_inline]] inline void store(float* p, const v8& v) noexcept { std::memcpy(p, &v, sizeof v); }

// ---- head: out[s] = sum_l sum_{i<P} taps[l][i] * windows[l][s + i], s < count ----
// Every output is accumulated lane by lane, tap by tap, in one vector lane,
// in the same order whichever group it falls in. A group shorter than one
// vector reads up to 7 samples past the window (the history's slack) into
// lanes that are discarded.

[[gnu::always_inline]] inline void headGeneric(const float* const* taps, const float* const* windows,
                                               int lanes, float* out, int count) noexcept {
    for (int t = 0; t < count; t += 8) {
        v8 acc = {};
        for (int l = 0; l < lanes; ++l) {
            const float* h = taps[l];
            const float* w = windows[l] + t;
            for (int i = 0; i < P; ++i) {
                v8 x;
                load(x, w + i);
                acc = acc + h[i] * x;
            }
        }
        if (t + 8 <= count) {
            store(out + t, acc);
        } else {
            alignas(32) float lanesOut[8];
            store(lanesOut, acc);
            for (int k = 0; t + k < count; ++k) out[t + k] = lanesOut[k];
        }
    }
}

// Separate lanes, each its own chain, plus the FFT part.
void headsPlusTailsGeneric(const float* const* taps, const float* const* windows, const float* const* tails,
                           int lanes, float* const* outs, int count) noexcept {
    for (int l = 0; l < lanes; ++l) {
        const float* h = taps[l];
        for (int t = 0; t < count; t += 8) {
            v8 acc = {};
            const float* w = windows[l] + t;
            for (int i = 0; i < P; ++i) {
                v8 x;
                load(x, w + i);
                acc = acc + h[i] * x;
            }
            alignas(32) float lanesOut[8];
            store(lanesOut, acc);
            for (int k = 0; k < 8 && t + k < count; ++k) outs[l][t + k] = lanesOut[k] + tails[l][t + k];
        }
    }
}

// ---- spectra: acc = sum_p g[p] * u[p] over the 64 bins (split re | im) ----
// Eight bins at a time with the sums in registers across all products.

[[gnu::always_inline]] inline void spectralSumGeneric(float* acc, const float* const* g, const float* const* u,
                                                      int products) noexcept {
    for (int k = 0; k < N; k += 8) {
        v8 ar = {}, ai = {};
        for (int p = 0; p < products; ++p) {
            v8 gr, gi, ur, ui;
            load(gr, g[p] + k);
            load(gi, g[p] + N + k);
            load(ur, u[p] + k);
            load(ui, u[p] + N + k);
            ar = ar + (gr * ur - gi * ui);
            ai = ai + (gr * ui + gi * ur);
        }
        store(acc + k, ar);
        store(acc + N + k, ai);
    }
}

void headBaseline(const float* const* taps, const float* const* windows, int lanes, float* out,
                  int count) noexcept {
    headGeneric(taps, windows, lanes, out, count);
}

void spectralSumBaseline(float* acc, const float* const* g, const float* const* u, int products) noexcept {
    spectralSumGeneric(acc, g, u, products);
}

// Places 0 and 32 of half spectra: the real and imaginary products apart.
void realBinsBaseline(float* acc, const float* const* g, const float* const* u, int products) noexcept {
    for (int k = 0; k < N; k += N / 2) {
        float re = 0.0f, im = 0.0f;
        for (int p = 0; p < products; ++p) {
            re += g[p][k] * u[p][k];
            im += g[p][N + k] * u[p][N + k];
        }
        acc[k] = re;
        acc[N + k] = im;
    }
}

#if QB32_X86

// The x86 heads: each output sums every lane in its own chain of FMAs, tap
// by tap, and adds the lane sums at the end in lane order. The independent
// chains keep the FMA units busy where one chain per output would wait on
// the latency of each FMA; every output still gets the same operations in
// the same order whichever group or call it falls in.
#define QB32_AVX2 __attribute__((target("avx2,fma"), always_inline)) inline
#define QB32_AVX512 __attribute__((target("avx2,fma,avx512f,avx512vl"), always_inline)) inline

template <int Lanes, int Groups>
QB32_AVX2 void headGroupsAvx2(const float* const* taps, const float* const* windows,
                                                  float* out, int t) noexcept {
    __m256 acc[Lanes][Groups];
    for (int l = 0; l < Lanes; ++l)
        for (int g = 0; g < Groups; ++g) acc[l][g] = _mm256_setzero_ps();
    for (int i = 0; i < P; ++i)
        for (int l = 0; l < Lanes; ++l) {
            const __m256 c = _mm256_broadcast_ss(taps[l] + i);
            const float* w = windows[l] + t + i;
            for (int g = 0; g < Groups; ++g) acc[l][g] = _mm256_fmadd_ps(c, _mm256_loadu_ps(w + 8 * g), acc[l][g]);
        }
    for (int g = 0; g < Groups; ++g) {
        __m256 sum = acc[0][g];
        for (int l = 1; l < Lanes; ++l) sum = _mm256_add_ps(sum, acc[l][g]);
        _mm256_storeu_ps(out + 8 * g, sum);
    }
}

template <int Lanes>
QB32_AVX2 void headLanesAvx2(const float* const* taps, const float* const* windows,
                                                 float* out, int count) noexcept {
    int t = 0;
    for (; t + 16 <= count; t += 16) headGroupsAvx2<Lanes, 2>(taps, windows, out + t, t);
    for (; t < count; t += 8) {
        if (t + 8 <= count) {
            headGroupsAvx2<Lanes, 1>(taps, windows, out + t, t);
        } else {  // a partial vector: surplus lanes read the history's slack
            alignas(32) float lanesOut[8];
            headGroupsAvx2<Lanes, 1>(taps, windows, lanesOut, t);
            for (int k = 0; t + k < count; ++k) out[t + k] = lanesOut[k];
        }
    }
}

__attribute__((target("avx2,fma"))) void headAvx2(const float* const* taps, const float* const* windows,
                                                  int lanes, float* out, int count) noexcept {
    switch (lanes) {
        case 1: headLanesAvx2<1>(taps, windows, out, count); break;
        case 2: headLanesAvx2<2>(taps, windows, out, count); break;
        case 3: headLanesAvx2<3>(taps, windows, out, count); break;
        case 4: headLanesAvx2<4>(taps, windows, out, count); break;
        default: std::memset(out, 0, sizeof(float) * static_cast<std::size_t>(count)); break;
    }
    _mm256_zeroupper();
}

// With AVX-512VL's 32 registers: the eight-float chains of the AVX2 head for
// 32 outputs at once (each broadcast tap meets four windows), the AVX2 head
// for the rest of a call. Sixteen-float registers were slower here: nearly
// every sliding window load then splits across two cache lines.
template <int Lanes>
QB32_AVX512 void headLanesAvx512(const float* const* taps, const float* const* windows, float* out,
                                 int count) noexcept {
    int t = 0;
    for (; t + 32 <= count; t += 32) headGroupsAvx2<Lanes, 4>(taps, windows, out + t, t);
    if (t == count) return;
    const float* shifted[PartitionedConvolver::maxLanes];
    for (int l = 0; l < Lanes; ++l) shifted[l] = windows[l] + t;
    headLanesAvx2<Lanes>(taps, shifted, out + t, count - t);
}

__attribute__((target("avx2,fma,avx512f,avx512vl"))) void headAvx512(const float* const* taps,
                                                                     const float* const* windows, int lanes,
                                                                     float* out, int count) noexcept {
    switch (lanes) {
        case 1: headLanesAvx512<1>(taps, windows, out, count); break;
        case 2: headLanesAvx512<2>(taps, windows, out, count); break;
        case 3: headLanesAvx512<3>(taps, windows, out, count); break;
        case 4: headLanesAvx512<4>(taps, windows, out, count); break;
        default: std::memset(out, 0, sizeof(float) * static_cast<std::size_t>(count)); break;
    }
    _mm256_zeroupper();
}

// Separate lanes: L lanes x G groups of eight outputs, each output one
// chain of FMAs over the taps, then its tail added.
// Lanes with one set of taps (the components of one order) share each
// tap's broadcast.
template <int L, int G>
QB32_AVX2 void separateGroupsAvx2(const float* const* taps, const float* const* windows, const float* const* tails,
                                  float* const* outs, int t) noexcept {
    __m256 acc[L][G];
    for (int l = 0; l < L; ++l)
        for (int g = 0; g < G; ++g) acc[l][g] = _mm256_setzero_ps();
    bool oneTapRow = true;
    for (int l = 1; l < L; ++l) oneTapRow = oneTapRow && taps[l] == taps[0];
    if (oneTapRow) {
        for (int i = 0; i < P; ++i) {
            const __m256 c = _mm256_broadcast_ss(taps[0] + i);
            for (int l = 0; l < L; ++l) {
                const float* w = windows[l] + t + i;
                for (int g = 0; g < G; ++g) acc[l][g] = _mm256_fmadd_ps(c, _mm256_loadu_ps(w + 8 * g), acc[l][g]);
            }
        }
    } else {
        for (int i = 0; i < P; ++i)
            for (int l = 0; l < L; ++l) {
                const __m256 c = _mm256_broadcast_ss(taps[l] + i);
                const float* w = windows[l] + t + i;
                for (int g = 0; g < G; ++g) acc[l][g] = _mm256_fmadd_ps(c, _mm256_loadu_ps(w + 8 * g), acc[l][g]);
            }
    }
    for (int l = 0; l < L; ++l)
        for (int g = 0; g < G; ++g)
            _mm256_storeu_ps(outs[l] + t + 8 * g, _mm256_add_ps(acc[l][g], _mm256_loadu_ps(tails[l] + t + 8 * g)));
}

// The last 1-7 outputs: a full vector whose surplus lanes read the window's
// slack; the sums go through a buffer.
template <int L>
QB32_AVX2 void separatePartialAvx2(const float* const* taps, const float* const* windows, const float* const* tails,
                                   float* const* outs, int t, int count) noexcept {
    __m256 acc[L];
    for (int l = 0; l < L; ++l) acc[l] = _mm256_setzero_ps();
    for (int i = 0; i < P; ++i)
        for (int l = 0; l < L; ++l)
            acc[l] = _mm256_fmadd_ps(_mm256_broadcast_ss(taps[l] + i), _mm256_loadu_ps(windows[l] + t + i), acc[l]);
    for (int l = 0; l < L; ++l) {
        alignas(32) float lanesOut[8];
        _mm256_store_ps(lanesOut, acc[l]);
        for (int k = 0; t + k < count; ++k) outs[l][t + k] = lanesOut[k] + tails[l][t + k];
    }
}

template <int L>
QB32_AVX2 void separateLanesAvx2(const float* const* taps, const float* const* windows, const float* const* tails,
                                 float* const* outs, int count) noexcept {
    int t = 0;
    if constexpr (L <= 2)
        for (; t + 32 <= count; t += 32) separateGroupsAvx2<L, 4>(taps, windows, tails, outs, t);
    if constexpr (L <= 4)
        for (; t + 16 <= count; t += 16) separateGroupsAvx2<L, 2>(taps, windows, tails, outs, t);
    for (; t + 8 <= count; t += 8) separateGroupsAvx2<L, 1>(taps, windows, tails, outs, t);
    if (t < count) separatePartialAvx2<L>(taps, windows, tails, outs, t, count);
}

__attribute__((target("avx2,fma"))) void headsPlusTailsAvx2(const float* const* taps, const float* const* windows,
                                                            const float* const* tails, int lanes,
                                                            float* const* outs, int count) noexcept {
    // Lanes with the same taps together, up to eight: with the groups of
    // eight outputs, about eight independent chains hide the FMA latency.
    for (int l = 0; l < lanes;) {
        int run = 1;
        while (l + run < lanes && run < 8 && taps[l + run] == taps[l]) ++run;
        const int take = run;
        const float* const* tp = taps + l;
        const float* const* wp = windows + l;
        const float* const* tl = tails + l;
        float* const* op = outs + l;
        switch (take) {
            case 1: separateLanesAvx2<1>(tp, wp, tl, op, count); break;
            case 2: separateLanesAvx2<2>(tp, wp, tl, op, count); break;
            case 3: separateLanesAvx2<3>(tp, wp, tl, op, count); break;
            case 4: separateLanesAvx2<4>(tp, wp, tl, op, count); break;
            case 5: separateLanesAvx2<5>(tp, wp, tl, op, count); break;
            case 6: separateLanesAvx2<6>(tp, wp, tl, op, count); break;
            case 7: separateLanesAvx2<7>(tp, wp, tl, op, count); break;
            default: separateLanesAvx2<8>(tp, wp, tl, op, count); break;
        }
        l += take;
    }
    _mm256_zeroupper();
}

#undef QB32_AVX2
#undef QB32_AVX512

// Lane 0 of a group that starts a half spectrum: the two real bins' sums.
__attribute__((target("avx2,fma"), always_inline)) inline __m256 realBinLane(__m256 combined, __m256 apart) noexcept {
    return _mm256_blend_ps(combined, apart, 0x01);
}

__attribute__((target("avx2,fma"))) void spectralSumAvx2(float* acc, const float* const* g,
                                                         const float* const* u, int products, bool halves) noexcept {
    // Two groups of eight bins, the two products of each real and imaginary
    // part in separate sums: eight independent chains hide the FMA latency.
    for (int k = 0; k < N; k += 16) {
        __m256 rp0 = _mm256_setzero_ps(), rm0 = _mm256_setzero_ps(), ia0 = _mm256_setzero_ps(),
               ib0 = _mm256_setzero_ps();
        __m256 rp1 = _mm256_setzero_ps(), rm1 = _mm256_setzero_ps(), ia1 = _mm256_setzero_ps(),
               ib1 = _mm256_setzero_ps();
        for (int p = 0; p < products; ++p) {
            const float* gp = g[p] + k;
            const float* up = u[p] + k;
            const __m256 gr0 = _mm256_load_ps(gp), gi0 = _mm256_load_ps(gp + N);
            const __m256 ur0 = _mm256_load_ps(up), ui0 = _mm256_load_ps(up + N);
            const __m256 gr1 = _mm256_load_ps(gp + 8), gi1 = _mm256_load_ps(gp + N + 8);
            const __m256 ur1 = _mm256_load_ps(up + 8), ui1 = _mm256_load_ps(up + N + 8);
            rp0 = _mm256_fmadd_ps(gr0, ur0, rp0);
            rm0 = _mm256_fmadd_ps(gi0, ui0, rm0);
            ia0 = _mm256_fmadd_ps(gr0, ui0, ia0);
            ib0 = _mm256_fmadd_ps(gi0, ur0, ib0);
            rp1 = _mm256_fmadd_ps(gr1, ur1, rp1);
            rm1 = _mm256_fmadd_ps(gi1, ui1, rm1);
            ia1 = _mm256_fmadd_ps(gr1, ui1, ia1);
            ib1 = _mm256_fmadd_ps(gi1, ur1, ib1);
        }
        __m256 re0 = _mm256_sub_ps(rp0, rm0), im0 = _mm256_add_ps(ia0, ib0);
        if (halves && k % (N / 2) == 0) {
            re0 = realBinLane(re0, rp0);
            im0 = realBinLane(im0, rm0);
        }
        _mm256_store_ps(acc + k, re0);
        _mm256_store_ps(acc + N + k, im0);
        _mm256_store_ps(acc + k + 8, _mm256_sub_ps(rp1, rm1));
        _mm256_store_ps(acc + N + k + 8, _mm256_add_ps(ia1, ib1));
    }
    _mm256_zeroupper();
}

// Two sums over the same filter spectra (two boundaries of one channel):
// each g[p] is loaded once for both. Each bin gets exactly the operations of
// spectralSumAvx2, in the same order.
__attribute__((target("avx2,fma"))) void spectralSumPairAvx2(float* const* acc, const float* const* g,
                                                             const float* const* u, const float* const* u1,
                                                             int products, bool halves) noexcept {
    for (int k = 0; k < N; k += 8) {
        __m256 rp0 = _mm256_setzero_ps(), rm0 = _mm256_setzero_ps(), ia0 = _mm256_setzero_ps(),
               ib0 = _mm256_setzero_ps();
        __m256 rp1 = _mm256_setzero_ps(), rm1 = _mm256_setzero_ps(), ia1 = _mm256_setzero_ps(),
               ib1 = _mm256_setzero_ps();
        for (int p = 0; p < products; ++p) {
            const __m256 gr = _mm256_load_ps(g[p] + k), gi = _mm256_load_ps(g[p] + N + k);
            const __m256 ur0 = _mm256_load_ps(u[p] + k), ui0 = _mm256_load_ps(u[p] + N + k);
            const __m256 ur1 = _mm256_load_ps(u1[p] + k), ui1 = _mm256_load_ps(u1[p] + N + k);
            rp0 = _mm256_fmadd_ps(gr, ur0, rp0);
            rm0 = _mm256_fmadd_ps(gi, ui0, rm0);
            ia0 = _mm256_fmadd_ps(gr, ui0, ia0);
            ib0 = _mm256_fmadd_ps(gi, ur0, ib0);
            rp1 = _mm256_fmadd_ps(gr, ur1, rp1);
            rm1 = _mm256_fmadd_ps(gi, ui1, rm1);
            ia1 = _mm256_fmadd_ps(gr, ui1, ia1);
            ib1 = _mm256_fmadd_ps(gi, ur1, ib1);
        }
        __m256 re0 = _mm256_sub_ps(rp0, rm0), im0 = _mm256_add_ps(ia0, ib0);
        __m256 re1 = _mm256_sub_ps(rp1, rm1), im1 = _mm256_add_ps(ia1, ib1);
        if (halves && k % (N / 2) == 0) {
            re0 = realBinLane(re0, rp0);
            im0 = realBinLane(im0, rm0);
            re1 = realBinLane(re1, rp1);
            im1 = realBinLane(im1, rm1);
        }
        _mm256_store_ps(acc[0] + k, re0);
        _mm256_store_ps(acc[0] + N + k, im0);
        _mm256_store_ps(acc[1] + k, re1);
        _mm256_store_ps(acc[1] + N + k, im1);
    }
    _mm256_zeroupper();
}

#endif  // QB32_X86

bool useAvx2() noexcept {
#if QB32_X86
    return simd::atLeast(simd::activeLevel(), simd::Level::avx2);
#else
    return false;
#endif
}

void head(const float* const* taps, const float* const* windows, int lanes, float* out, int count) noexcept {
#if QB32_X86
    switch (simd::activeLevel()) {
        case simd::Level::avx512: headAvx512(taps, windows, lanes, out, count); return;
        case simd::Level::avx2: headAvx2(taps, windows, lanes, out, count); return;
        default: break;
    }
#endif
    headBaseline(taps, windows, lanes, out, count);
}

void spectralSumAny(float* acc, const float* const* g, const float* const* u, int products,
                    bool halves = false) noexcept {
#if QB32_X86
    if (useAvx2()) {
        spectralSumAvx2(acc, g, u, products, halves);
        return;
    }
#endif
    spectralSumBaseline(acc, g, u, products);
    if (halves) realBinsBaseline(acc, g, u, products);
}

// One partition of samples, a fixed-size copy the compiler keeps inline.
void copyPartition(float* to, const float* from) noexcept {
    for (int i = 0; i < P; i += 8) {
        v8 v;
        load(v, from + i);
        store(to + i, v);
    }
}

bool anyNonZero(const float* v, int n) noexcept {
    for (int i = 0; i < n; ++i)
        if (v[i] != 0.0f) return true;
    return false;
}

}  // namespace

namespace convolutionKernels {
void headsPlusTails(const float* const* taps, const float* const* windows, const float* const* tails, int lanes,
                    float* const* outs, int count) noexcept {
#if QB32_X86
    if (useAvx2()) {
        headsPlusTailsAvx2(taps, windows, tails, lanes, outs, count);
        return;
    }
#endif
    headsPlusTailsGeneric(taps, windows, tails, lanes, outs, count);
}
void spectralSum(float* acc, const float* const* g, const float* const* u, int products, bool halves) noexcept {
    spectralSumAny(acc, g, u, products, halves);
}
void spectralSumPair(float* const* acc, const float* const* g, const float* const* u0, const float* const* u1,
                     int products, bool halves) noexcept {
#if QB32_X86
    if (useAvx2()) {
        spectralSumPairAvx2(acc, g, u0, u1, products, halves);
        return;
    }
#endif
    spectralSumAny(acc[0], g, u0, products, halves);
    spectralSumAny(acc[1], g, u1, products, halves);
}
}  // namespace convolutionKernels

PartitionedConvolver::~PartitionedConvolver() { release(); }

void PartitionedConvolver::release() noexcept {
    vecFree(memory);
    memory = nullptr;
    for (auto& p : headTapRows) p = nullptr;
    for (auto& p : history) p = nullptr;
    spectra = inputSpectra = work = nullptr;
    tail[0] = tail[1] = nullptr;
    laneCount = partitions = channels = 0;
    for (bool& u : used) u = false;
    for (bool& u : headLaneUsed) u = false;
}

int PartitionedConvolver::configure(int lanes, int maxTaps, Outputs outputs) noexcept {
    release();
    const int laneLimit = outputs == Outputs::perLane ? 2 : maxLanes;
    if (lanes < 1 || lanes > laneLimit || maxTaps < 1) return status::allocationFailed;
    const int parts = partitionsFor(maxTaps);
    if (parts > maxPartitions) return status::allocationFailed;
    // The ring keeps a batch's transforms beside the ones its first sum reads.
    const int slots = parts > 0 ? parts + batchLimit - 1 : 0;
    const int batchFloats = parts > 0 ? batchLimit * spectrumFloats : 0;
    const int floats = lanes * P + lanes * historyFloats + 2 * parts * spectrumFloats +
                       2 * slots * spectrumFloats + spectrumFloats + batchFloats;
    memory = vecAlloc(floats);
    if (memory == nullptr) return status::allocationFailed;
    std::memset(memory, 0, sizeof(float) * static_cast<std::size_t>(floats));
    float* next = memory;
    for (int l = 0; l < lanes; ++l, next += P) headTapRows[l] = next;
    for (int l = 0; l < lanes; ++l, next += historyFloats) history[l] = next;
    spectra = next;
    next += 2 * parts * spectrumFloats;
    inputSpectra = next;
    next += 2 * slots * spectrumFloats;
    work = next;
    next += spectrumFloats;
    batchWork = batchFloats > 0 ? next : nullptr;
    next += batchFloats;
    ringSlots = slots;
    tail[0] = work + P;
    tail[1] = work + N + P;
    outputMode = outputs;
    laneCount = lanes;
    partitions = parts;
    channels = 0;
    phase = newest = 0;
    return status::ok;
}

bool PartitionedConvolver::laneUsed(int lane) const noexcept {
    return lane >= 0 && lane < laneCount && used[lane];
}

void PartitionedConvolver::load(const int* lengths, const float* const* taps, const int* delays,
                                int startPhase) noexcept {
    if (memory == nullptr) return;
    const int maxTaps = P * (partitions + 1);
    // Tap i of lane l's effective filter: delays[l] zeros, then the taps.
    auto tap = [&](int l, int i) -> float {
        const int j = i - (delays[l] > 0 ? delays[l] : 0);
        return lengths[l] > 0 && j >= 0 && j < lengths[l] ? taps[l][j] : 0.0f;
    };
    int usedLanes[maxLanes];
    int usedCount = 0;
    for (int l = 0; l < laneCount; ++l) {
        bool any = false;
        bool anyHead = false;
        for (int i = 0; i < maxTaps; ++i) {
            const float v = tap(l, i);
            if (v != 0.0f) {
                any = true;
                if (i < P) anyHead = true;
            }
        }
        for (int i = 0; i < P; ++i) headTapRows[l][i] = tap(l, P - 1 - i);
        used[l] = any;
        headLaneUsed[l] = anyHead;
        if (any) usedLanes[usedCount++] = l;
    }

    // Channels: pairs of lanes in one complex transform.
    channels = 0;
    if (outputMode == Outputs::perLane) {
        // The lanes share lane 0's filter (the caller passes one filter twice).
        if (used[0]) {
            channelLane[0][0] = 0;
            channelLane[0][1] = laneCount > 1 ? 1 : -1;
            channels = 1;
        }
    } else {
        for (int u = 0; u < usedCount; u += 2) {
            channelLane[channels][0] = usedLanes[u];
            channelLane[channels][1] = u + 1 < usedCount ? usedLanes[u + 1] : -1;
            ++channels;
        }
    }
    const float scale = 1.0f / static_cast<float>(N);  // the inverse transform is unscaled
    for (int c = 0; c < channels; ++c) {
        const int a = channelLane[c][0];
        const int b = channelLane[c][1];
        for (int j = 0; j < partitions; ++j) {
            float* g = spectra + (c * partitions + j) * spectrumFloats;
            const int first = (j + 1) * P;
            for (int n = 0; n < N; ++n) {
                float re = 0.0f, im = 0.0f;
                if (n < P) {
                    if (outputMode == Outputs::perLane) {
                        re = tap(a, first + n);  // both lanes share the filter
                    } else {
                        re = tap(a, first + n);
                        if (b >= 0) im = -tap(b, first + n);
                    }
                }
                g[n] = re;
                g[N + n] = im;
            }
            partitionUsed[c][j] = anyNonZero(g, N) || anyNonZero(g + N, N);
            if (!partitionUsed[c][j]) continue;
            fft64::forward(g, g + N);
            for (int n = 0; n < spectrumFloats; ++n) g[n] *= scale;
        }
    }
    clear(startPhase);
}

void PartitionedConvolver::clear(int startPhase) noexcept {
    if (memory == nullptr) return;
    for (int l = 0; l < laneCount; ++l) std::memset(history[l], 0, sizeof(float) * historyFloats);
    std::memset(inputSpectra, 0, sizeof(float) * static_cast<std::size_t>(2 * ringSlots * spectrumFloats));
    std::memset(work, 0, sizeof(float) * spectrumFloats);
    phase = startPhase > 0 && startPhase < P ? startPhase : 0;
    newest = 0;
    ++resets;
}

void PartitionedConvolver::restore(const float* const* recentEnd, int startPhase) noexcept {
    if (memory == nullptr) return;
    ++resets;
    phase = startPhase > 0 && startPhase < P ? startPhase : 0;
    // The partition before the last boundary, then the current one so far.
    for (int l = 0; l < laneCount; ++l) {
        std::memset(history[l], 0, sizeof(float) * historyFloats);
        if (!used[l]) continue;
        const float* from = recentEnd[l] - (P + phase);
        for (int i = 0; i < P + phase; ++i) history[l][i] = from[i];
    }
    std::memset(work, 0, sizeof(float) * spectrumFloats);
    if (partitions == 0 || channels == 0) {
        newest = 0;
        return;
    }
    // Ring slot newest - i holds the transform made at the boundary i
    // partitions before the last one: the 2P inputs before it.
    newest = partitions - 1;
    alignas(32) float window[2][N];
    for (int i = 0; i < partitions; ++i) {
        const int back = phase + P * i + N;
        for (int c = 0; c < channels; ++c) {
            const int a = channelLane[c][0];
            const int b = channelLane[c][1];
            for (int n = 0; n < N; ++n) window[0][n] = recentEnd[a][n - back];
            if (b >= 0)
                for (int n = 0; n < N; ++n) window[1][n] = recentEnd[b][n - back];
            float* u = inputSpectra + (c * ringSlots + newest - i) * spectrumFloats;
            fft64::forward(window[0], b >= 0 ? window[1] : nullptr, u, u + N);
        }
    }
    sumAndInvert();
}

void PartitionedConvolver::boundary() noexcept {
    phase = 0;
    if (partitions == 0 || channels == 0) {
        shiftHistories();
        return;
    }
    newest = newest + 1 == ringSlots ? 0 : newest + 1;
    transformPartition(0, newest);
    sumAndInvert();
    shiftHistories();
}

// The transform of the 2P inputs that end `offset` samples into the current
// partition's place in the histories, into ring slot `slot`.
void PartitionedConvolver::transformPartition(int offset, int slot) noexcept {
    for (int c = 0; c < channels; ++c) {
        float* u = inputSpectra + (c * ringSlots + slot) * spectrumFloats;
        const int a = channelLane[c][0];
        const int b = channelLane[c][1];
        fft64::forward(history[a] + offset, b >= 0 ? history[b] + offset : nullptr, u, u + N);
    }
}

// The frequency-domain products of every partition with its input transform,
// summed, and the inverse transform: the FFT part of the next P outputs.
void PartitionedConvolver::sumAndInvert() noexcept {
    const float* g[2 * maxPartitions];
    const float* u[2 * maxPartitions];
    const int products = gatherProducts(newest, g, u, nullptr);
    spectralSumAny(work, g, u, products);
    fft64::inverse(work, work + N);
    // Overlap-save: the last P points of each 64-point circular convolution.
    // tail[0] and tail[1] point at the last P points of `work`'s real and
    // imaginary parts (overlap-save).
}

// The products of the boundary whose input transform is in ring slot
// `latest`: every used partition with the transform it meets, channel by
// channel, partition by partition. With `next`, those of the boundary after
// it as well (the same filter spectra, each transform one slot on).
int PartitionedConvolver::gatherProducts(int latest, const float** g, const float** u,
                                         const float** next) const noexcept {
    int products = 0;
    for (int c = 0; c < channels; ++c) {
        const float* ring = inputSpectra + c * ringSlots * spectrumFloats;
        for (int j = 0; j < partitions; ++j) {
            if (!partitionUsed[c][j]) continue;
            int slot = latest - j;
            if (slot < 0) slot += ringSlots;
            g[products] = spectra + (c * partitions + j) * spectrumFloats;
            u[products] = ring + slot * spectrumFloats;
            if (next != nullptr) next[products] = ring + (slot + 1 == ringSlots ? 0 : slot + 1) * spectrumFloats;
            ++products;
        }
    }
    return products;
}

// The partition just completed moves to the front; the next one fills in behind it.
void PartitionedConvolver::shiftHistories() noexcept {
    for (int l = 0; l < laneCount; ++l)
        if (used[l]) copyPartition(history[l], history[l] + P);
}

void PartitionedConvolver::process(const float* const* in, float* const* out, int frames) noexcept {
    if (memory == nullptr) return;
    int done = 0;
    while (done < frames) {
        if (phase == 0 && batchWork != nullptr && channels > 0 && frames - done >= 2 * P) {
            done += processBatch(in, out, done, frames - done);
            continue;
        }
        const int n = frames - done < P - phase ? frames - done : P - phase;
        for (int l = 0; l < laneCount; ++l)
            if (used[l]) {
                float* to = history[l] + P + phase;
                const float* from = in[l] + done;
                for (int i = 0; i < n; ++i) to[i] = from[i];
            }
        emit(out, done, n, phase, tail[0] + phase, tail[1] + phase);
        phase += n;
        done += n;
        if (phase == P) boundary();
    }
}

// Outputs done .. done + n - 1, whose inputs sit `offset` samples into the
// current partition's place in the histories, plus the FFT parts tailRe (and
// tailIm, the second lane's, for perLane).
void PartitionedConvolver::emit(float* const* out, int done, int n, int offset, const float* tailRe,
                                const float* tailIm) noexcept {
    const int outputs = outputMode == Outputs::perLane ? laneCount : 1;
    const float* tails[2] = {tailRe, tailIm};
    // Window of the first output: its input and the P - 1 before it.
    const float* windows[maxLanes];
    const float* tapRows[maxLanes];
    if (outputMode == Outputs::sum) {
        int lanes = 0;
        for (int l = 0; l < laneCount; ++l)
            if (headLaneUsed[l]) {
                windows[lanes] = history[l] + offset + 1;
                tapRows[lanes++] = headTapRows[l];
            }
        float* y = out[0] + done;
        head(tapRows, windows, lanes, y, n);
        for (int s = 0; s < n; ++s) y[s] += tailRe[s];
    } else if (outputs == 2 && used[0] && used[1] && headLaneUsed[0] && headLaneUsed[1]) {
        // Both lanes at once, each output its head's chain plus its tail
        // (the operations of the one-lane head followed by the add).
        const float* taps2[2] = {headTapRows[0], headTapRows[1]};
        const float* windows2[2] = {history[0] + offset + 1, history[1] + offset + 1};
        float* outs2[2] = {out[0] + done, out[1] + done};
        convolutionKernels::headsPlusTails(taps2, windows2, tails, 2, outs2, n);
    } else {
        for (int o = 0; o < outputs; ++o) {
            float* y = out[o] + done;
            if (!used[o]) {
                std::memset(y, 0, sizeof(float) * static_cast<std::size_t>(n));
                continue;
            }
            const float* t = tails[o];
            if (!headLaneUsed[o]) {  // no head (leading zeros): the zero head plus the tail, in one pass
                for (int s = 0; s < n; ++s) y[s] = 0.0f + t[s];
                continue;
            }
            windows[0] = history[o] + offset + 1;
            tapRows[0] = headTapRows[o];
            head(tapRows, windows, 1, y, n);
            for (int s = 0; s < n; ++s) y[s] += t[s];
        }
    }
}

// Whole partitions from a boundary on, at least two: the inputs go behind
// the previous partition in the histories, every boundary's transform is
// made, the sums are formed two boundaries at a time and inverted, then the
// outputs follow partition by partition. Each output gets the operations of
// the partition-by-partition path, in the same order. Answers the samples done.
int PartitionedConvolver::processBatch(const float* const* in, float* const* out, int done, int frames) noexcept {
    const int count = frames / P < batchLimit ? frames / P : batchLimit;
    for (int l = 0; l < laneCount; ++l)
        if (used[l]) std::memcpy(history[l] + P, in[l] + done, sizeof(float) * static_cast<std::size_t>(count * P));
    int slot = newest;
    int slots[batchLimit];
    for (int q = 0; q < count; ++q) {
        slot = slot + 1 == ringSlots ? 0 : slot + 1;
        slots[q] = slot;
        transformPartition(q * P, slot);
    }
    const float* g[2 * maxPartitions];
    const float* u0[2 * maxPartitions];
    const float* u1[2 * maxPartitions];
    for (int q = 0; q < count; q += 2) {
        float* acc[2] = {batchWork + q * spectrumFloats, batchWork + (q + 1) * spectrumFloats};
        const bool pair = q + 1 < count;
        const int products = gatherProducts(slots[q], g, u0, pair ? u1 : nullptr);
        if (pair) {
            convolutionKernels::spectralSumPair(acc, g, u0, u1, products);
            fft64::inverse(acc[1], acc[1] + N);
        } else {
            spectralSumAny(acc[0], g, u0, products);
        }
        fft64::inverse(acc[0], acc[0] + N);
    }
    for (int q = 0; q < count; ++q) {
        const float* before = q == 0 ? work : batchWork + (q - 1) * spectrumFloats;
        emit(out, done + q * P, P, q * P, before + P, before + N + P);
    }
    std::memcpy(work, batchWork + (count - 1) * spectrumFloats, sizeof(float) * spectrumFloats);
    newest = slot;
    for (int l = 0; l < laneCount; ++l)
        if (used[l]) copyPartition(history[l], history[l] + count * P);
    return count * P;
}

}  // namespace qb32
