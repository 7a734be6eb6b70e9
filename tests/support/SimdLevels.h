#pragma once
// Running a test body at every instruction-set level the machine can run.

#include <vector>

#include "framework/Simd.h"

namespace qb32::testing {

// portable first, then every faster level the CPU supports.
inline std::vector<simd::Level> runnableLevels() {
    std::vector<simd::Level> levels{simd::Level::portable};
    for (auto l : {simd::Level::sse2, simd::Level::avx2, simd::Level::avx512})
        if (static_cast<int>(l) <= static_cast<int>(simd::detectedLevel())) levels.push_back(l);
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

}  // namespace qb32::testing
