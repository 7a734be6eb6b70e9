#pragma once
// The signal-processing primitives: the one small library through which every
// stage does its arithmetic. Vector entries work on 32-bit floats; biquad
// coefficients and histories are 64-bit.
//
// Contract shared by all entries:
// - Every entry but the allocators and vecFree answers an int status (below).
// - Arguments are checked before any data is touched; on a failed check the
//   entry answers its status and writes nothing. Null pointers are tested
//   before lengths, so a null array with a bad length answers -8.
// - "InPlace" entries read and write the same array. firFilter's src and dst
//   must not overlap; every other two-array entry may be called with the same
//   array for src and dst.
// - Element-wise entries compute each element in at least double precision and
//   round once to float on store.
//
// FIR filters (firInit / firInitAlloc, firFilter): y[k] = sum_j h[j] x[k-j],
// with the history carrying the last inputs across calls, so consecutive calls
// on consecutive blocks equal one call on the joined block. The fast paths
// (SSE2 always, AVX2+FMA where the CPU has it, chosen at run time) accumulate in
// single precision with several partial sums; for every output k they stay
// within the bound
//     |y[k] - y_exact[k]| <= firErrorBound(L) * sum_j |h[j] x[k-j]|
// of the exact sum, with firErrorBound below.
//
// Biquad cascades: transposed direct form II in double precision, per sample
// and section: y = c0 x + z0; z0 = c1 x + z1 - c3 y; z1 = c2 x - c4 y.
//
// Real time: every entry except vecAlloc, byteAlloc, vecFree, firInitAlloc,
// firFree, biquadInitAlloc and biquadFree is allocation-free, lock-free and
// noexcept, and may run in the audio callback.

#include <cstdint>

namespace qb32 {

// Primitive status codes (negative).
namespace primitiveStatus {
inline constexpr int ok = 0;
inline constexpr int badSize = -6;          // a length is 0 or negative
inline constexpr int nullPointer = -8;      // a required pointer is null
inline constexpr int outOfMemory = -9;
inline constexpr int divisionByZero = -10;  // biquad a0 or b0 = 0; division by 0
inline constexpr int wrongStateKind = -17;  // state is not of the expected kind
inline constexpr int badSectionCount = -25; // biquad sections <= 0
inline constexpr int badTapCount = -26;     // FIR taps <= 0
inline constexpr int noCpuFeature = -9998;  // processor lacks the control register feature
}  // namespace primitiveStatus

// Opaque filter states. Both begin with a 32-bit kind tag, so an entry can
// refuse a state of the wrong kind (-17).
struct FirState;
struct BiquadState;

// Relative error bound of every FIR path against the exact sum, per output:
// (L + 2) units of single-precision rounding, 2^-24 each.
constexpr double firErrorBound(int tapCount) noexcept {
    return (tapCount + 2) * 5.9604644775390625e-8;
}

inline constexpr std::uint32_t firStateTag = 0x46493031u;
inline constexpr std::uint32_t biquadStateTag = 0x49493138u;

// ---- vectors -------------------------------------------------------------
int vecCopy(const float* src, float* dst, int len) noexcept;
int vecCopyDouble(const double* src, double* dst, int len) noexcept;
int vecZero(float* dst, int len) noexcept;
int vecZeroAlt(float* dst, int len) noexcept;  // identical to vecZero
int vecAddInPlace(const float* src, float* srcDst, int len) noexcept;
int vecAdd(const float* src1, const float* src2, float* dst, int len) noexcept;
int vecMulInPlace(const float* src, float* srcDst, int len) noexcept;
int vecMul(const float* src1, const float* src2, float* dst, int len) noexcept;
int vecMulAdd(const float* src1, const float* src2, float* srcDst, int len) noexcept;
int vecSubFromConst(const float* src, float value, float* dst, int len) noexcept;
// value exactly 1 copies bit for bit; value exactly 0 writes zeros (even over inf/NaN).
int vecScale(const float* src, float value, float* dst, int len) noexcept;
int vecScaleInPlace(float value, float* srcDst, int len) noexcept;
int vecScaleAdd(const float* src, float value, float* srcDst, int len) noexcept;
// srcDst *= r with r = 1/value formed once as a float; value 0 answers -10.
int vecDivConstInPlace(float value, float* srcDst, int len) noexcept;
// dst[i] = offset + i * slope, per element (no running sum, no drift).
int vecRamp(float* dst, int len, float offset, float slope) noexcept;
// e^x: above 88.72284 gives +inf, below -87.33655 gives 0 or the subnormal result.
int vecExpInPlace(float* srcDst, int len) noexcept;

// ---- aligned memory ------------------------------------------------------
// 32-byte aligned, uninitialised; null when len <= 0 or memory is short.
float* vecAlloc(int len) noexcept;
void* byteAlloc(int bytes) noexcept;
void vecFree(void* block) noexcept;  // null is ignored

// ---- FIR -----------------------------------------------------------------
// Bytes firInit needs for L taps (the same for every L' <= L is not promised).
int firGetStateSize(int tapCount, int* bytes) noexcept;
// Builds a state inside `buffer` (of firGetStateSize bytes, 32-byte aligned);
// dly null clears the history, else L values are copied from it.
int firInit(FirState** state, const float* taps, int tapCount, const float* dly,
            void* buffer) noexcept;
int firInitAlloc(FirState** state, const float* taps, int tapCount, const float* dly) noexcept;
int firFree(FirState* state) noexcept;  // leaves a firInit state (caller's buffer) alone
int firSetDelayLine(FirState* state, const float* dly) noexcept;
int firFilter(const float* src, float* dst, int n, FirState* state) noexcept;
int firFilterInPlace(float* srcDst, int n, FirState* state) noexcept;
// For a caller that forms a state's outputs itself (several filters side by
// side, one per vector lane): the taps reversed and the last tapCount - 1
// inputs oldest first (firSetDelayLine writes them back). No checks: `state`
// must be a valid FIR state.
int firTapCount(const FirState* state) noexcept;
const float* firReversedTaps(const FirState* state) noexcept;
const float* firRecentInputs(const FirState* state) noexcept;
// Takes n inputs into the history as firFilter would, computing no output
// (for a caller that forms the outputs from other filters meanwhile).
int firAppendInputs(const float* src, int n, FirState* state) noexcept;

// ---- biquad cascade ------------------------------------------------------
// coefficients: S groups of b0 b1 b2 a0 a1 a2; a0 = 0 or b0 = 0 answers -10.
int biquadInitAlloc(BiquadState** state, const double* coefficients, int sections,
                    const double* dly) noexcept;
int biquadFree(BiquadState* state) noexcept;
int biquadSetDelayLine(BiquadState* state, const double* dly) noexcept;
int biquadFilterInPlace(float* srcDst, int n, BiquadState* state) noexcept;

// ---- processor floating-point mode ---------------------------------------
// x86 SSE MXCSR:
// Sets or clears denormals-are-zero (0x40).
int fpuSetDenormalsAreZero(int flag) noexcept;
// flag != 0: sets flush-to-zero (0x8000), masks underflow (0x800), and stores
// the previous underflow mask bit (0 or 0x800) in *savedMask when given.
// flag == 0: clears flush-to-zero; unmasks underflow again only when savedMask
// is given and holds 0.
int fpuSetFlushToZero(int flag, unsigned* savedMask) noexcept;

// The audio mode of the calling thread, entered and left as a pair around the
// audio callback. fpuEnterAudioMode saves the whole floating-point control
// state and switches to: flush-to-zero and denormals-are-zero on, every
// exception masked, round to nearest (so results never depend on the mode a
// host left behind). fpuRestoreMode writes the saved state back exactly,
// status flags included.
// - x86: the whole MXCSR. Denormals-are-zero is set only where the processor
//   has it (writing it elsewhere would fault); flush-to-zero alone then keeps
//   denormal results out, and denormal inputs are computed with exactly.
// - aarch64: FPCR (FZ on, RMode nearest, trap enables off) and FPSR.
// - Other targets: nothing is saved or changed (valid stays false); the
//   filters then compute with denormal numbers, exactly, at their speed.
struct FpuSavedMode {
    std::uint64_t control = 0;
    std::uint64_t status = 0;
    bool valid = false;
};
FpuSavedMode fpuEnterAudioMode() noexcept;
void fpuRestoreMode(const FpuSavedMode& saved) noexcept;

}  // namespace qb32
