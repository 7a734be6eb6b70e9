// FIR filter primitives.
//
// Layout of a state (one contiguous, 32-byte aligned block):
//   header | reversed taps (L floats, 32-byte aligned) | work buffer
// The work buffer holds the last L - 1 inputs followed by room for `chunk`
// new ones. A call copies its input into the room, computes every output from
// contiguous memory (the window of output k is work[k .. k + L - 1], which
// meets the reversed taps element by element), and when the room is used up,
// moves the last L - 1 inputs back to the front. So a call of any size,
// one sample included, costs the same per output, and in-place calls are
// safe because the input is copied before any output is written. Each
// output is the same sequence of operations whatever the call sizes, so the
// output of a stream does not depend on how it is cut into calls.
//
// Paths: portable (one output at a time, double accumulator: the direct form
// itself), SSE2 (16 outputs at a time in four accumulators, one chain per
// output) and AVX2+FMA (two chains per output, even and odd taps; 32
// outputs per pass, 64 with AVX-512VL's registers), one broadcast tap per
// step. All paths meet firErrorBound.

#include <cstddef>
#include <cstring>
#include <limits>
#include <new>

#include "framework/Primitives.h"
#include "framework/Simd.h"
#include "framework/SmallCopy.h"

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#define QB32_X86 1
#endif

namespace qb32 {

struct FirState {
    std::uint32_t tag;
    int tapCount;
    int position;      // where the next input goes in `work`; >= tapCount - 1
    int workCapacity;  // samples `work` holds
    bool ownsMemory;
    float* reversedTaps;
    float* work;
};

namespace {

using namespace primitiveStatus;

constexpr int chunk = 512;
constexpr int slack = 8;  // samples readable behind the input by a partial vector
constexpr std::size_t alignBytes = 32;

constexpr std::size_t roundUp(std::size_t v) noexcept {
    return (v + alignBytes - 1) / alignBytes * alignBytes;
}

constexpr std::size_t headerBytes = roundUp(sizeof(FirState));

std::size_t stateBytes(int tapCount) noexcept {
    const std::size_t taps = roundUp(sizeof(float) * static_cast<std::size_t>(tapCount));
    const std::size_t work =
        roundUp(sizeof(float) * (static_cast<std::size_t>(tapCount) - 1 + chunk + slack));
    // Slack so that a buffer that is not 32-byte aligned can still be used.
    return headerBytes + taps + work + alignBytes;
}

bool isFir(const FirState* s) noexcept {
    std::uint32_t tag;
    std::memcpy(&tag, s, sizeof tag);
    return tag == firStateTag;
}

void loadHistory(FirState* st, const float* dly) noexcept {
    const int history = st->tapCount - 1;
    if (dly != nullptr && history > 0)
        std::memcpy(st->work, dly + 1, sizeof(float) * static_cast<std::size_t>(history));
    else if (history > 0)
        std::memset(st->work, 0, sizeof(float) * static_cast<std::size_t>(history));
    st->position = history;
}

FirState* build(void* buffer, const float* taps, int tapCount, const float* dly) noexcept {
    auto address = reinterpret_cast<std::uintptr_t>(buffer);
    auto* base = reinterpret_cast<unsigned char*>((address + alignBytes - 1) / alignBytes * alignBytes);
    auto* st = new (base) FirState{};
    st->tag = firStateTag;
    st->tapCount = tapCount;
    st->ownsMemory = false;
    st->reversedTaps = reinterpret_cast<float*>(base + headerBytes);
    st->work = reinterpret_cast<float*>(
        base + headerBytes + roundUp(sizeof(float) * static_cast<std::size_t>(tapCount)));
    st->workCapacity = tapCount - 1 + chunk;
    for (int i = 0; i < tapCount; ++i) st->reversedTaps[i] = taps[tapCount - 1 - i];
    std::memset(st->work, 0, sizeof(float) * static_cast<std::size_t>(st->workCapacity + slack));
    loadHistory(st, dly);
    return st;
}

// ---- kernels: out[t] = sum_i h[i] * x[t + i], t < count -------------------

void kernelPortable(const float* h, int taps, const float* x, float* out, int count) noexcept {
    for (int t = 0; t < count; ++t) {
        double acc = 0.0;
        for (int i = 0; i < taps; ++i)
            acc += static_cast<double>(h[i]) * static_cast<double>(x[t + i]);
        out[t] = static_cast<float>(acc);
    }
}

#if QB32_X86

// Every output is accumulated tap by tap in one vector lane, in the same
// order whichever group it falls in, so a stream gives bit-identical output
// for any split into calls. A tail shorter than one vector is computed in a
// full vector whose surplus lanes read the slack behind the input (finite
// stale samples) and are discarded.

void kernelSse2(const float* h, int taps, const float* x, float* out, int count) noexcept {
    int t = 0;
    for (; t + 16 <= count; t += 16) {
        __m128 a0 = _mm_setzero_ps(), a1 = _mm_setzero_ps();
        __m128 a2 = _mm_setzero_ps(), a3 = _mm_setzero_ps();
        const float* xt = x + t;
        for (int i = 0; i < taps; ++i) {
            const __m128 c = _mm_set1_ps(h[i]);
            a0 = _mm_add_ps(a0, _mm_mul_ps(c, _mm_loadu_ps(xt + i)));
            a1 = _mm_add_ps(a1, _mm_mul_ps(c, _mm_loadu_ps(xt + i + 4)));
            a2 = _mm_add_ps(a2, _mm_mul_ps(c, _mm_loadu_ps(xt + i + 8)));
            a3 = _mm_add_ps(a3, _mm_mul_ps(c, _mm_loadu_ps(xt + i + 12)));
        }
        _mm_storeu_ps(out + t, a0);
        _mm_storeu_ps(out + t + 4, a1);
        _mm_storeu_ps(out + t + 8, a2);
        _mm_storeu_ps(out + t + 12, a3);
    }
    for (; t < count; t += 4) {
        __m128 a0 = _mm_setzero_ps();
        for (int i = 0; i < taps; ++i)
            a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_set1_ps(h[i]), _mm_loadu_ps(x + t + i)));
        if (t + 4 <= count) {
            _mm_storeu_ps(out + t, a0);
        } else {
            alignas(16) float lanes[4];
            _mm_store_ps(lanes, a0);
            for (int k = 0; t + k < count; ++k) out[t + k] = lanes[k];
        }
    }
}

// AVX2+FMA: each output is two chains of FMAs, the even taps and the odd taps
// in order, added at the end. A call of one sample then waits on half the
// filter's FMA latencies (the crossover and post filters are 31 to 55 taps),
// and a long call keeps as many independent chains in flight as the
// registers hold. (Four chains measured no faster for small calls and cost
// the long ones a third more loads.)
// Every output gets these operations in this order whichever group or call
// it falls in.
#define QB32_FIR_AVX2 __attribute__((target("avx2,fma"), always_inline)) inline

constexpr int firChains = 2;

template <int G>
QB32_FIR_AVX2 void chainsAvx2(const float* h, int taps, const float* x, __m256* y) noexcept {
    __m256 a[firChains][G];
    for (auto& chain : a)
        for (auto& v : chain) v = _mm256_setzero_ps();
    int i = 0;
    for (; i + firChains <= taps; i += firChains)
        for (int c = 0; c < firChains; ++c) {
            const __m256 tap = _mm256_broadcast_ss(h + i + c);
            for (int g = 0; g < G; ++g) a[c][g] = _mm256_fmadd_ps(tap, _mm256_loadu_ps(x + i + c + 8 * g), a[c][g]);
        }
    // The last taps, fewer than the chains; constant chain indices keep the
    // sums in registers.
    for (int c = 0; c + 1 < firChains; ++c) {
        if (i + c >= taps) break;
        const __m256 tap = _mm256_broadcast_ss(h + i + c);
        for (int g = 0; g < G; ++g) a[c][g] = _mm256_fmadd_ps(tap, _mm256_loadu_ps(x + i + c + 8 * g), a[c][g]);
    }
    for (int g = 0; g < G; ++g)
        y[g] = _mm256_add_ps(a[0][g], a[1][g]);
}

template <int G>
QB32_FIR_AVX2 void groupAvx2(const float* h, int taps, const float* x, float* out) noexcept {
    __m256 y[G];
    chainsAvx2<G>(h, taps, x, y);
    for (int g = 0; g < G; ++g) _mm256_storeu_ps(out + 8 * g, y[g]);
}

// Eight outputs and fewer: a partial vector's surplus lanes read the slack
// behind the input (finite stale samples) and are discarded.
QB32_FIR_AVX2 void tailAvx2(const float* h, int taps, const float* x, float* out, int count) noexcept {
    for (int t = 0; t < count; t += 8) {
        if (t + 8 <= count) {
            groupAvx2<1>(h, taps, x + t, out + t);
        } else {
            alignas(32) float lanes[8];
            groupAvx2<1>(h, taps, x + t, lanes);
            for (int k = 0; t + k < count; ++k) out[t + k] = lanes[k];
        }
    }
}

__attribute__((target("avx2,fma"))) void kernelAvx2(const float* h, int taps, const float* x,
                                                     float* out, int count) noexcept {
    int t = 0;
    for (; t + 32 <= count; t += 32) groupAvx2<4>(h, taps, x + t, out + t);
    for (; t + 16 <= count; t += 16) groupAvx2<2>(h, taps, x + t, out + t);
    tailAvx2(h, taps, x + t, out + t, count - t);
    _mm256_zeroupper();
}

// The same chains inlined with AVX-512VL's 32 registers: 64 outputs
// (16 chains) per pass over the taps.
__attribute__((target("avx2,fma,avx512f,avx512vl"))) void kernelAvx512(const float* h, int taps, const float* x,
                                                                        float* out, int count) noexcept {
    int t = 0;
    for (; t + 64 <= count; t += 64) groupAvx2<8>(h, taps, x + t, out + t);
    for (; t + 32 <= count; t += 32) groupAvx2<4>(h, taps, x + t, out + t);
    for (; t + 16 <= count; t += 16) groupAvx2<2>(h, taps, x + t, out + t);
    tailAvx2(h, taps, x + t, out + t, count - t);
    _mm256_zeroupper();
}

#undef QB32_FIR_AVX2

#endif  // QB32_X86

void runKernel(const float* h, int taps, const float* x, float* out, int count) noexcept {
#if QB32_X86
    switch (simd::activeLevel()) {
        case simd::Level::avx512: kernelAvx512(h, taps, x, out, count); return;
        case simd::Level::avx2: kernelAvx2(h, taps, x, out, count); return;
        case simd::Level::sse2: kernelSse2(h, taps, x, out, count); return;
        case simd::Level::portable: break;
    }
#endif
    kernelPortable(h, taps, x, out, count);
}

// dst null: the inputs only join the history.
void filter(const float* src, float* dst, int n, FirState* st) noexcept {
    const int history = st->tapCount - 1;
    int done = 0;
    while (done < n) {
        if (st->position == st->workCapacity) {
            if (history > 0)
                std::memmove(st->work, st->work + st->position - history,
                             sizeof(float) * static_cast<std::size_t>(history));
            st->position = history;
        }
        const int room = st->workCapacity - st->position;
        const int piece = n - done < room ? n - done : room;
        moveSamples(st->work + st->position, src + done, piece);
        if (dst != nullptr)
            runKernel(st->reversedTaps, st->tapCount, st->work + st->position - history, dst + done, piece);
        st->position += piece;
        done += piece;
    }
}

}  // namespace

int firGetStateSize(int tapCount, int* bytes) noexcept {
    if (bytes == nullptr) return nullPointer;
    if (tapCount <= 0) return badTapCount;
    const std::size_t size = stateBytes(tapCount);
    if (size > static_cast<std::size_t>(std::numeric_limits<int>::max())) return outOfMemory;
    *bytes = static_cast<int>(size);
    return ok;
}

int firInit(FirState** state, const float* taps, int tapCount, const float* dly,
            void* buffer) noexcept {
    if (state == nullptr || taps == nullptr || buffer == nullptr) return nullPointer;
    if (tapCount <= 0) return badTapCount;
    *state = build(buffer, taps, tapCount, dly);
    return ok;
}

int firInitAlloc(FirState** state, const float* taps, int tapCount, const float* dly) noexcept {
    if (state == nullptr || taps == nullptr) return nullPointer;
    if (tapCount <= 0) return badTapCount;
    int bytes = 0;
    if (firGetStateSize(tapCount, &bytes) != ok) return outOfMemory;
    void* memory = byteAlloc(bytes);
    if (memory == nullptr) return outOfMemory;
    FirState* st = build(memory, taps, tapCount, dly);
    st->ownsMemory = true;
    *state = st;
    return ok;
}

int firFree(FirState* state) noexcept {
    if (state == nullptr) return nullPointer;
    if (!isFir(state)) return wrongStateKind;
    if (state->ownsMemory) {
        state->tag = 0;
        vecFree(state);
    }
    return ok;
}

int firSetDelayLine(FirState* state, const float* dly) noexcept {
    if (state == nullptr) return nullPointer;
    if (!isFir(state)) return wrongStateKind;
    loadHistory(state, dly);
    return ok;
}

int firFilter(const float* src, float* dst, int n, FirState* state) noexcept {
    if (src == nullptr || dst == nullptr || state == nullptr) return nullPointer;
    if (n <= 0) return badSize;
    if (!isFir(state)) return wrongStateKind;
    filter(src, dst, n, state);
    return ok;
}

int firAppendInputs(const float* src, int n, FirState* state) noexcept {
    if (src == nullptr || state == nullptr) return nullPointer;
    if (n <= 0) return badSize;
    if (!isFir(state)) return wrongStateKind;
    filter(src, nullptr, n, state);
    return ok;
}

int firFilterInPlace(float* srcDst, int n, FirState* state) noexcept {
    return firFilter(srcDst, srcDst, n, state);
}

int firTapCount(const FirState* state) noexcept { return state->tapCount; }

const float* firReversedTaps(const FirState* state) noexcept { return state->reversedTaps; }

const float* firRecentInputs(const FirState* state) noexcept {
    return state->work + state->position - (state->tapCount - 1);
}

}  // namespace qb32
