#pragma once
// The session rates the chain is designed for, and the one rule that turns a
// length given at the reference rate into the same time at another rate.
//
// Every stage's data exist once per supported rate (constant tables), so a
// rate outside this list cannot be served: the engine refuses it. Lengths that
// are times (filter spans, latencies, delays) are given at 44100 Hz and scaled
// with scaledSamples(): round(n x rate / 44100), in exact integer arithmetic,
// so that 44100 Hz keeps every length as it is.
//
// Everything here is constexpr and noexcept; any thread.

#include <cstdint>

namespace qb32::sampleRates {

inline constexpr int reference_hz = 44100;
inline constexpr int count = 6;
inline constexpr int supported_hz[count] = {44100, 48000, 88200, 96000, 176400, 192000};

// Index of `rate_hz` in supported_hz (an exact match), -1 for any other value
// (NaN, fractions, rates not in the list).
[[nodiscard]] constexpr int indexOf(double rate_hz) noexcept {
    for (int i = 0; i < count; ++i)
        if (rate_hz == static_cast<double>(supported_hz[i])) return i;
    return -1;
}

[[nodiscard]] constexpr bool isSupported(double rate_hz) noexcept { return indexOf(rate_hz) >= 0; }

// round(samples x rate_hz / 44100), halves rounded up; samples >= 0.
[[nodiscard]] constexpr int scaledSamples(int samples, int rate_hz) noexcept {
    const std::int64_t twice = 2 * static_cast<std::int64_t>(samples) * rate_hz + reference_hz;
    return static_cast<int>(twice / (2 * static_cast<std::int64_t>(reference_hz)));
}

// The odd length whose centre lies scaledSamples((length - 1) / 2) samples
// in: a linear-phase filter of `length` taps at 44100 Hz spans the same time.
[[nodiscard]] constexpr int scaledOddLength(int length, int rate_hz) noexcept {
    return 2 * scaledSamples((length - 1) / 2, rate_hz) + 1;
}

static_assert(scaledOddLength(251, 48000) == 273 && scaledOddLength(251, 96000) == 545 &&
              scaledOddLength(251, 192000) == 1089 && scaledOddLength(251, 44100) == 251);
static_assert(scaledSamples(167, 48000) == 182 && scaledSamples(167, 96000) == 364 &&
              scaledSamples(167, 192000) == 727);

}  // namespace qb32::sampleRates
