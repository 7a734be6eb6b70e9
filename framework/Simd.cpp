#include "framework/Simd.h"

#include <atomic>

#if defined(__i386__) || defined(__x86_64__) || defined(_M_IX86) || defined(_M_X64)
#define QB32_X86 1
#endif

namespace qb32::simd {
namespace {

Level detect() noexcept {
#if QB32_X86
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("sse2")) return Level::portable;
    // AVX2 and FMA must both be present; the OS must also save the YMM state,
    // which __builtin_cpu_supports checks through XGETBV on current compilers.
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) return Level::sse2;
    // Likewise for the ZMM and mask registers (libgcc checks XCR0).
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw"))
        return Level::avx512;
    return Level::avx2;
#else
    return Level::portable;
#endif
}

std::atomic<int>& activeSlot() noexcept {
    static std::atomic<int> slot{static_cast<int>(detect())};
    return slot;
}

}  // namespace

Level detectedLevel() noexcept {
    static const Level level = detect();
    return level;
}

Level activeLevel() noexcept {
    return static_cast<Level>(activeSlot().load(std::memory_order_relaxed));
}

Level setActiveLevel(Level level) noexcept {
    const Level cpu = detectedLevel();
    const Level chosen = static_cast<int>(level) > static_cast<int>(cpu) ? cpu : level;
    activeSlot().store(static_cast<int>(chosen), std::memory_order_relaxed);
    return chosen;
}

const char* levelName(Level level) noexcept {
    switch (level) {
        case Level::portable: return "portable";
        case Level::sse2: return "sse2";
        case Level::avx2: return "avx2";
        case Level::avx512: return "avx512";
    }
    return "unknown";
}

}  // namespace qb32::simd
