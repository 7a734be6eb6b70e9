#pragma once
// Helpers shared by the CMbf and vkxShadowFilter tests.

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include "framework/Simd.h"
#include "framework/vkAudioInterface.h"

namespace qb32::testing {

using Signal = std::vector<float>;
using Channels = std::vector<Signal>;

inline vkAudioInterface stream(int channels, int block, float rate = 44100.0f) {
    return timeDomainStream(channels, rate, block);
}

// Runs the FIR primitive on its plain direct-form path while alive, so that
// runs cut into different blocks can be compared bit for bit.
class DirectFormFir {
public:
    DirectFormFir() : previous(simd::activeLevel()) { simd::setActiveLevel(simd::Level::portable); }
    ~DirectFormFir() { simd::setActiveLevel(previous); }
    DirectFormFir(const DirectFormFir&) = delete;
    DirectFormFir& operator=(const DirectFormFir&) = delete;

private:
    simd::Level previous;
};

// Old-set weight i samples into a 50 ms exponential crossfade.
inline double fadeOutWeight(int i, double rateHz = 44100.0) { return std::exp(-i / (0.05 * rateHz)); }

// out holds exactly oldRef before `fadeStart` (and at it, where the old set
// still weighs 1), the exponential mix of the two for `length` samples, and
// exactly newRef from fadeStart + length up to `end`.
inline void expectCrossfade(const Signal& out, const Signal& oldRef, const Signal& newRef,
                            std::size_t from, std::size_t fadeStart, int length, std::size_t end) {
    for (std::size_t t = from; t <= fadeStart; ++t)
        ASSERT_EQ(out[t], oldRef[t]) << "old set expected at sample " << t;
    for (int i = 1; i < length; ++i) {
        const std::size_t t = fadeStart + static_cast<std::size_t>(i);
        const double w = fadeOutWeight(i);
        const double expected = oldRef[t] * w + newRef[t] * (1.0 - w);
        ASSERT_NEAR(out[t], expected, 2e-6 * (1.0 + std::abs(expected))) << "fade sample " << i << " of the fade from " << fadeStart;
    }
    for (std::size_t t = fadeStart + static_cast<std::size_t>(length); t < end; ++t)
        ASSERT_EQ(out[t], newRef[t]) << "new set expected at sample " << t;
}

}  // namespace qb32::testing
