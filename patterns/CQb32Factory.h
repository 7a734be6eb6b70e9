#pragma once
// vkPatternFactory / CQb32Factory: the owner of the twelve patterns.
//
// The constructor builds the patterns once for one sample rate, in factory
// order (see CQb32Patterns.h), each in its own nothrow allocation, plus the
// array of 12 pointers, and computes the maxima the engine sizes its fixed
// latencies from: at 44100 Hz maxModalFilterLength 251, maxPostFilterLength
// 31, maxCrossoverLength 55, maxLatency 160.0; at another supported rate the
// lengths that span the same times (273, 33, 59 and 181.0 at 48 kHz). The
// tables themselves are static constant data, one copy per rate: a factory
// allocates 13 blocks, never a copy of a table.
//
// Failure: a rate without tables (sampleRates::isSupported false), or any
// failed allocation (every pattern already made is then deleted and the array
// freed), leaves the factory empty (patterns null, patternCount 0, maxima 0).
// Nothing throws.
//
// States: immutable after construction; pattern(i) may be read from any
// thread. Construction and destruction allocate and free, so they belong to
// set-up, never to the audio callback.

#include "patterns/CQbPattern.h"

#include <cstdint>

namespace qb32 {

class vkPatternFactory {
public:
    virtual ~vkPatternFactory() = default;
};

class CQb32Factory : public vkPatternFactory {
public:
    explicit CQb32Factory(double sampleRate_hz = 44100.0) noexcept;
    ~CQb32Factory() override;
    CQb32Factory(const CQb32Factory&) = delete;
    CQb32Factory& operator=(const CQb32Factory&) = delete;

    // patterns[index] for 0 <= index < patternCount, else null.
    const CQbPattern* pattern(int index) const noexcept;

    CQbPattern** patterns;             // owned array of patternCount owned patterns
    std::int32_t maxModalFilterLength;
    std::int32_t maxPostFilterLength;
    float maxLatency;
    std::int32_t patternCount;         // 12, or 0 after an allocation failure
    std::int32_t maxCrossoverLength;
};

}  // namespace qb32
