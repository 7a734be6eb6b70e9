#pragma once
// Running a test body at every instruction-set level the machine can run:
// the bit-equality tests hold at each level, not only at the best one.

#include <gtest/gtest.h>

#include <vector>

#include "framework/Simd.h"

namespace qb32::testing {

// portable first, then every faster level the CPU supports (from `lowest`).
inline std::vector<simd::Level> runnableLevels(simd::Level lowest = simd::Level::portable) {
    std::vector<simd::Level> levels;
    for (auto l : {simd::Level::portable, simd::Level::sse2, simd::Level::avx2, simd::Level::avx512})
        if (simd::atLeast(l, lowest) && simd::atLeast(simd::detectedLevel(), l)) levels.push_back(l);
    return levels;
}

// Uses one level while it lives, then restores the previous one.
class LevelGuard {
public:
    explicit LevelGuard(simd::Level l) : previous(simd::activeLevel()) { simd::setActiveLevel(l); }
    ~LevelGuard() { simd::setActiveLevel(previous); }
    LevelGuard(const LevelGuard&) = delete;
    LevelGuard& operator=(const LevelGuard&) = delete;

private:
    simd::Level previous;
};

// body() once per runnable level from `lowest`, the level in force and named
// in every failure it reports.
template <typename Body>
void atEveryLevel(Body body, simd::Level lowest = simd::Level::portable) {
    for (simd::Level level : runnableLevels(lowest)) {
        LevelGuard guard(level);
        SCOPED_TRACE(::testing::Message() << "level " << simd::levelName(level));
        body();
    }
}

}  // namespace qb32::testing
