// Vector, memory, biquad and floating-point-mode primitives. The FIR entries
// live in PrimitivesFir.cpp.

#include "framework/Primitives.h"
#include "framework/SmallCopy.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <xmmintrin.h>
#define QB32_X86 1
#endif

namespace qb32 {
namespace {

using namespace primitiveStatus;

constexpr std::size_t alignment = 32;

// Shared argument checks: null pointers first, then the length.
template <typename... P>
int check(int len, P... pointers) noexcept {
    const bool anyNull = (... || (pointers == nullptr));
    if (anyNull) return nullPointer;
    return len <= 0 ? badSize : ok;
}

inline float round1(double v) noexcept { return static_cast<float>(v); }

}  // namespace

// ---- vectors -------------------------------------------------------------

int vecCopy(const float* src, float* dst, int len) noexcept {
    if (int s = check(len, src, dst)) return s;
    moveSamples(dst, src, len);
    return ok;
}

int vecCopyDouble(const double* src, double* dst, int len) noexcept {
    if (int s = check(len, src, dst)) return s;
    std::memmove(dst, src, static_cast<std::size_t>(len) * sizeof(double));
    return ok;
}

int vecZero(float* dst, int len) noexcept {
    if (int s = check(len, dst)) return s;
    zeroSamples(dst, len);
    return ok;
}

int vecZeroAlt(float* dst, int len) noexcept { return vecZero(dst, len); }

int vecAddInPlace(const float* src, float* srcDst, int len) noexcept {
    if (int s = check(len, src, srcDst)) return s;
    for (int i = 0; i < len; ++i)
        srcDst[i] = round1(static_cast<double>(srcDst[i]) + static_cast<double>(src[i]));
    return ok;
}

int vecAdd(const float* src1, const float* src2, float* dst, int len) noexcept {
    if (int s = check(len, src1, src2, dst)) return s;
    for (int i = 0; i < len; ++i)
        dst[i] = round1(static_cast<double>(src1[i]) + static_cast<double>(src2[i]));
    return ok;
}

int vecMulInPlace(const float* src, float* srcDst, int len) noexcept {
    if (int s = check(len, src, srcDst)) return s;
    for (int i = 0; i < len; ++i)
        srcDst[i] = round1(static_cast<double>(srcDst[i]) * static_cast<double>(src[i]));
    return ok;
}

int vecMul(const float* src1, const float* src2, float* dst, int len) noexcept {
    if (int s = check(len, src1, src2, dst)) return s;
    for (int i = 0; i < len; ++i)
        dst[i] = round1(static_cast<double>(src1[i]) * static_cast<double>(src2[i]));
    return ok;
}

int vecMulAdd(const float* src1, const float* src2, float* srcDst, int len) noexcept {
    if (int s = check(len, src1, src2, srcDst)) return s;
    for (int i = 0; i < len; ++i)
        srcDst[i] = round1(static_cast<double>(srcDst[i]) +
                           static_cast<double>(src1[i]) * static_cast<double>(src2[i]));
    return ok;
}

int vecSubFromConst(const float* src, float value, float* dst, int len) noexcept {
    if (int s = check(len, src, dst)) return s;
    const double v = value;
    for (int i = 0; i < len; ++i) dst[i] = round1(v - static_cast<double>(src[i]));
    return ok;
}

int vecScale(const float* src, float value, float* dst, int len) noexcept {
    if (int s = check(len, src, dst)) return s;
    if (value == 1.0f) return vecCopy(src, dst, len);
    if (value == 0.0f) return vecZero(dst, len);
    const double v = value;
    for (int i = 0; i < len; ++i) dst[i] = round1(static_cast<double>(src[i]) * v);
    return ok;
}

int vecScaleInPlace(float value, float* srcDst, int len) noexcept {
    if (int s = check(len, srcDst)) return s;
    if (value == 1.0f) return ok;
    if (value == 0.0f) return vecZero(srcDst, len);
    const double v = value;
    for (int i = 0; i < len; ++i) srcDst[i] = round1(static_cast<double>(srcDst[i]) * v);
    return ok;
}

int vecScaleAdd(const float* src, float value, float* srcDst, int len) noexcept {
    if (int s = check(len, src, srcDst)) return s;
    const double v = value;
    for (int i = 0; i < len; ++i)
        srcDst[i] = round1(static_cast<double>(srcDst[i]) + static_cast<double>(src[i]) * v);
    return ok;
}

int vecDivConstInPlace(float value, float* srcDst, int len) noexcept {
    if (int s = check(len, srcDst)) return s;
    if (value == 0.0f) return divisionByZero;
    const float r = 1.0f / value;
    const double v = r;
    for (int i = 0; i < len; ++i) srcDst[i] = round1(static_cast<double>(srcDst[i]) * v);
    return ok;
}

int vecRamp(float* dst, int len, float offset, float slope) noexcept {
    if (int s = check(len, dst)) return s;
    const double o = offset;
    const double k = slope;
    for (int i = 0; i < len; ++i) dst[i] = round1(o + static_cast<double>(i) * k);
    return ok;
}

int vecExpInPlace(float* srcDst, int len) noexcept {
    if (int s = check(len, srcDst)) return s;
    // The largest input whose exponential is still finite in single precision.
    constexpr float overflowThreshold = std::bit_cast<float>(0x42B17218u);  // 88.72284
    for (int i = 0; i < len; ++i) {
        const float x = srcDst[i];
        if (x > overflowThreshold)
            srcDst[i] = std::numeric_limits<float>::infinity();
        else
            srcDst[i] = round1(std::exp(static_cast<double>(x)));
    }
    return ok;
}

// ---- aligned memory ------------------------------------------------------

void* byteAlloc(int bytes) noexcept {
    if (bytes <= 0) return nullptr;
    return ::operator new(static_cast<std::size_t>(bytes), std::align_val_t{alignment},
                          std::nothrow);
}

float* vecAlloc(int len) noexcept {
    if (len <= 0 || static_cast<std::size_t>(len) > std::numeric_limits<int>::max() / sizeof(float))
        return nullptr;
    return static_cast<float*>(byteAlloc(len * static_cast<int>(sizeof(float))));
}

void vecFree(void* block) noexcept {
    if (block != nullptr) ::operator delete(block, std::align_val_t{alignment});
}

// ---- biquad cascade ------------------------------------------------------

struct BiquadState {
    std::uint32_t tag;
    int sections;
    bool ownsMemory;
    double* coefficients;  // 5 per section: b0/a0 b1/a0 b2/a0 a1/a0 a2/a0
    double* history;       // 2 per section: z0 z1
};

namespace {

bool isBiquad(const BiquadState* s) noexcept {
    std::uint32_t tag;
    std::memcpy(&tag, s, sizeof tag);
    return tag == biquadStateTag;
}

}  // namespace

int biquadInitAlloc(BiquadState** state, const double* coefficients, int sections,
                    const double* dly) noexcept {
    if (state == nullptr || coefficients == nullptr) return nullPointer;
    if (sections <= 0) return badSectionCount;
    for (int s = 0; s < sections; ++s) {
        const double* g = coefficients + 6 * s;
        if (g[3] == 0.0 || g[0] == 0.0) return divisionByZero;
    }
    const std::size_t bytes = sizeof(BiquadState) + 7 * sizeof(double) * static_cast<std::size_t>(sections);
    if (bytes > static_cast<std::size_t>(std::numeric_limits<int>::max())) return outOfMemory;
    auto* memory = static_cast<unsigned char*>(byteAlloc(static_cast<int>(bytes)));
    if (memory == nullptr) return outOfMemory;
    auto* st = new (memory) BiquadState{};
    st->tag = biquadStateTag;
    st->sections = sections;
    st->ownsMemory = true;
    st->coefficients = reinterpret_cast<double*>(memory + sizeof(BiquadState));
    st->history = st->coefficients + 5 * sections;
    for (int s = 0; s < sections; ++s) {
        const double* g = coefficients + 6 * s;
        double* c = st->coefficients + 5 * s;
        c[0] = g[0] / g[3];
        c[1] = g[1] / g[3];
        c[2] = g[2] / g[3];
        c[3] = g[4] / g[3];
        c[4] = g[5] / g[3];
    }
    if (dly != nullptr)
        std::memcpy(st->history, dly, sizeof(double) * 2 * static_cast<std::size_t>(sections));
    else
        std::memset(st->history, 0, sizeof(double) * 2 * static_cast<std::size_t>(sections));
    *state = st;
    return ok;
}

int biquadFree(BiquadState* state) noexcept {
    if (state == nullptr) return nullPointer;
    if (!isBiquad(state)) return wrongStateKind;
    state->tag = 0;
    vecFree(state);
    return ok;
}

int biquadSetDelayLine(BiquadState* state, const double* dly) noexcept {
    if (state == nullptr) return nullPointer;
    if (!isBiquad(state)) return wrongStateKind;
    const std::size_t bytes = sizeof(double) * 2 * static_cast<std::size_t>(state->sections);
    if (dly != nullptr)
        std::memcpy(state->history, dly, bytes);
    else
        std::memset(state->history, 0, bytes);
    return ok;
}

int biquadFilterInPlace(float* srcDst, int n, BiquadState* state) noexcept {
    if (srcDst == nullptr || state == nullptr) return nullPointer;
    if (n <= 0) return badSize;
    if (!isBiquad(state)) return wrongStateKind;
    const int sections = state->sections;
    const double* c = state->coefficients;
    double* z = state->history;
    // Section by section over the block: each section sees exactly the input
    // sequence it would see sample by sample, and the history stays in
    // registers. Intermediate signals stay in double precision, in chunks.
    constexpr int chunk = 256;
    double buffer[chunk];
    for (int start = 0; start < n; start += chunk) {
        const int m = n - start < chunk ? n - start : chunk;
        for (int i = 0; i < m; ++i) buffer[i] = srcDst[start + i];
        for (int s = 0; s < sections; ++s) {
            const double c0 = c[5 * s], c1 = c[5 * s + 1], c2 = c[5 * s + 2];
            const double c3 = c[5 * s + 3], c4 = c[5 * s + 4];
            double z0 = z[2 * s], z1 = z[2 * s + 1];
            for (int i = 0; i < m; ++i) {
                const double x = buffer[i];
                const double y = c0 * x + z0;
                z0 = c1 * x + z1 - c3 * y;
                z1 = c2 * x - c4 * y;
                buffer[i] = y;
            }
            z[2 * s] = z0;
            z[2 * s + 1] = z1;
        }
        for (int i = 0; i < m; ++i) srcDst[start + i] = static_cast<float>(buffer[i]);
    }
    return ok;
}

// ---- processor floating-point mode ---------------------------------------

namespace {

constexpr unsigned denormalsAreZeroBit = 0x40;
constexpr unsigned underflowMaskBit = 0x800;
constexpr unsigned flushToZeroBit = 0x8000;

#if QB32_X86
bool hasSse() noexcept {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    return (d & bit_SSE) != 0;
}

// Denormals-are-zero exists when bit 6 of the MXCSR mask that FXSAVE reports
// is set (absent on the earliest SSE2 processors).
bool hasDenormalsAreZero() noexcept {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || (d & bit_FXSAVE) == 0 || (d & bit_SSE) == 0)
        return false;
    alignas(16) unsigned char area[512] = {};
    __asm__ __volatile__("fxsave %0" : "=m"(area));
    std::uint32_t mask;
    std::memcpy(&mask, area + 28, sizeof mask);
    if (mask == 0) mask = 0xFFBF;  // processors that report no mask support no DAZ
    return (mask & denormalsAreZeroBit) != 0;
}

// Read once when the module loads: the audio callback never runs the
// detection, nor a guarded first-use initialisation.
const bool processorHasSse = hasSse();
const bool processorHasDenormalsAreZero = hasDenormalsAreZero();
#endif

}  // namespace

int fpuSetDenormalsAreZero(int flag) noexcept {
#if QB32_X86
    if (!processorHasDenormalsAreZero) return noCpuFeature;
    unsigned csr = _mm_getcsr();
    csr = flag != 0 ? (csr | denormalsAreZeroBit) : (csr & ~denormalsAreZeroBit);
    _mm_setcsr(csr);
    return ok;
#else
    (void)flag;
    return noCpuFeature;
#endif
}

int fpuSetFlushToZero(int flag, unsigned* savedMask) noexcept {
#if QB32_X86
    if (!processorHasSse) return noCpuFeature;
    unsigned csr = _mm_getcsr();
    if (flag != 0) {
        if (savedMask != nullptr) *savedMask = csr & underflowMaskBit;
        csr |= flushToZeroBit | underflowMaskBit;
    } else {
        csr &= ~flushToZeroBit;
        if (savedMask != nullptr && *savedMask == 0) csr &= ~underflowMaskBit;
    }
    _mm_setcsr(csr);
    return ok;
#else
    (void)flag;
    (void)savedMask;
    return noCpuFeature;
#endif
}

// Every exception masked (0x1F80), round to nearest (rounding bits 0),
// flush-to-zero and, where present, denormals-are-zero; status flags clear.
FpuSavedMode fpuEnterAudioMode() noexcept {
    FpuSavedMode saved;
#if QB32_X86
    if (!processorHasSse) return saved;
    saved.control = _mm_getcsr();
    saved.valid = true;
    constexpr unsigned allExceptionMasks = 0x1F80;
    _mm_setcsr(allExceptionMasks | flushToZeroBit | (processorHasDenormalsAreZero ? denormalsAreZeroBit : 0u));
#elif defined(__aarch64__)
    std::uint64_t fpcr, fpsr;
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(fpcr));
    __asm__ __volatile__("mrs %0, fpsr" : "=r"(fpsr));
    saved.control = fpcr;
    saved.status = fpsr;
    saved.valid = true;
    constexpr std::uint64_t flushToZero = 1u << 24;
    constexpr std::uint64_t roundingMode = 3u << 22;
    constexpr std::uint64_t trapEnables = 0x9F00;  // IDE, IXE, UFE, OFE, DZE, IOE
    const std::uint64_t audio = (fpcr | flushToZero) & ~(roundingMode | trapEnables);
    __asm__ __volatile__("msr fpcr, %0" : : "r"(audio));
#endif
    return saved;
}

void fpuRestoreMode(const FpuSavedMode& saved) noexcept {
    if (!saved.valid) return;
#if QB32_X86
    _mm_setcsr(static_cast<unsigned>(saved.control));
#elif defined(__aarch64__)
    __asm__ __volatile__("msr fpcr, %0" : : "r"(saved.control));
    __asm__ __volatile__("msr fpsr, %0" : : "r"(saved.status));
#endif
}

}  // namespace qb32
