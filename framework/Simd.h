#pragma once
// Run-time choice of the instruction set used by the primitives' fast paths.
//
// The module runs on any x86 CPU with SSE2 (32- and 64-bit) and uses AVX2+FMA
// where the CPU has them, and AVX-512 (F, VL, DQ, BW, with the OS saving the
// register state) for the hottest kernels where the CPU has that too; the
// levels are ordered, and a stage without a kernel for the active level uses
// its best lower one (`level >= Level::avx2` selects the AVX2 kernels). The
// level is detected once; tests may lower it to exercise every path the
// machine can run. On non-x86 targets only the portable level exists.

namespace qb32::simd {

enum class Level { portable = 0, sse2 = 1, avx2 = 2, avx512 = 3 };

// True when `level` (the active one by default) includes `wanted`.
[[nodiscard]] inline bool atLeast(Level level, Level wanted) noexcept {
    return static_cast<int>(level) >= static_cast<int>(wanted);
}

// The level the CPU supports.
Level detectedLevel() noexcept;
// The level in use (detectedLevel unless lowered).
Level activeLevel() noexcept;
// Uses `level`, clamped to what the CPU supports; answers the level in use.
// Not for the audio thread: call it before processing starts (tests, tools).
Level setActiveLevel(Level level) noexcept;

const char* levelName(Level level) noexcept;

}  // namespace qb32::simd
