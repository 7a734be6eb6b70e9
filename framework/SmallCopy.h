#pragma once
// Copies of a few samples without a library call. A small call (one to a few
// frames) makes many such copies in every stage, and a call into memcpy or
// memmove costs more than the copy itself; longer copies still go to the
// library. The overlap rules are memmove's: the whole source is read before
// the first sample is written for short copies.
//
// Real time: no allocation, no lock, never throws.

#include <cstddef>
#include <cstring>

namespace qb32 {

inline constexpr int smallCopyLimit = 16;

inline void moveSamples(float* dst, const float* src, int n) noexcept {
    if (n <= smallCopyLimit) {
        float v[smallCopyLimit];
        // Fixed-size copies the compiler keeps inline (a loop of n would be
        // turned back into a library call).
        if (n > 8) {
            std::memcpy(v, src, 8 * sizeof(float));
            std::memcpy(v + 8, src + n - 8, 8 * sizeof(float));
            std::memcpy(dst, v, 8 * sizeof(float));
            std::memcpy(dst + n - 8, v + 8, 8 * sizeof(float));
        } else if (n > 4) {
            std::memcpy(v, src, 4 * sizeof(float));
            std::memcpy(v + 4, src + n - 4, 4 * sizeof(float));
            std::memcpy(dst, v, 4 * sizeof(float));
            std::memcpy(dst + n - 4, v + 4, 4 * sizeof(float));
        } else if (n > 0) {
            for (int i = 0; i < n; ++i) v[i] = src[i];
            for (int i = 0; i < n; ++i) dst[i] = v[i];
        }
        return;
    }
    std::memmove(dst, src, sizeof(float) * static_cast<std::size_t>(n));
}

inline void zeroSamples(float* dst, int n) noexcept {
    if (n <= smallCopyLimit) {
        for (int i = 0; i < n; ++i) dst[i] = 0.0f;
        return;
    }
    std::memset(dst, 0, sizeof(float) * static_cast<std::size_t>(n));
}

}  // namespace qb32
