#pragma once
// vkPattern: the read-only record of one beam pattern and its variants.
//
// A pattern computes nothing but its latency. For each variant it points at
// one linear-phase FIR per spherical-harmonic order (the weight of that order
// in the beam as a function of frequency) and at a short post filter, plus
// descriptive data (white-noise-gain limit, beam width, polar response). All
// tables are constant data shared by every pattern object; a pattern never
// owns or frees them, so copying a pattern copies pointers only.
//
// States: a pattern is filled by its constructor and immutable afterwards.
// The base constructor zeroes every count, code, pointer and the design rate,
// empties name and label, and sets flag to 1.
//
// latency() = (modalFilterLength - 1) / 2 + (postFilterLength - 1) / 2 in
// floating point, a term being 0 when its length is below 1.
//
// Real time: nothing here allocates; latency() and the readers below are
// noexcept and may run on any thread.

#include <cstdint>

namespace qb32 {

class vkPattern {
public:
    vkPattern() noexcept;
    virtual float latency() const noexcept;
    // Virtual so that the factory may delete any pattern through a base pointer.
    virtual ~vkPattern() = default;

    std::int32_t orderCount;        // orders spanned, counting order 0
    std::int32_t modalFilterLength; // row stride of modalFilters
    std::int32_t postFilterLength;  // row stride of postFilters
    std::int32_t variantCount;      // rows of every per-variant table
    std::int32_t polarPointCount;   // points per variant of polarResponse
    std::uint32_t patternCode;
    char name[16];                  // NUL-terminated, at most 15 characters
    float designSampleRate;         // Hz
    std::uint8_t flag;
    char label[16];                 // "WNG" when variants differ in white-noise-gain limit

    const float* modalFilters;              // [variant][order][modalFilterLength]
    const std::int32_t* modalFilterLengths; // [variant][order], 0 = order unused
    const std::int32_t* wngDb;              // [variant]
    const std::int32_t* beamwidthDeg;       // [variant]
    const float* polarResponse;             // [variant][polarPointCount]
    const float* postFilters;               // [variant][postFilterLength]
    const std::int32_t* postFilterLengths;  // [variant]

    // Bounded copy into name or label: at most 15 characters, the rest NUL.
    static void copyText(char (&destination)[16], const char* source) noexcept;
};

// Readers of one variant's tables; null (or 0) when the variant or order is
// out of range or the pattern has no such table.
const float* modalFilterTaps(const vkPattern& pattern, int variant, int order) noexcept;
const std::int32_t* modalFilterLengthRow(const vkPattern& pattern, int variant) noexcept;
const float* postFilterTaps(const vkPattern& pattern, int variant) noexcept;
int postFilterTapCount(const vkPattern& pattern, int variant) noexcept;

// The variant loaded when the pattern is selected: the first whose wngDb is
// 0, else the last one (0 when the pattern has no variants).
int defaultVariant(const vkPattern& pattern) noexcept;

// Pattern index selected by a parameter value in 0..1: trunc(value x
// patternCount), limited to 0..patternCount - 1 (NaN and negatives give 0);
// -1 when patternCount < 1.
int patternIndexForValue(float value, int patternCount) noexcept;

}  // namespace qb32
