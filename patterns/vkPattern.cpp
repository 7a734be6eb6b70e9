#include "patterns/vkPattern.h"

#include "patterns/CQbPattern.h"

#include <cmath>

namespace qb32 {
namespace {

// (length - 1) / 2 in floating point; 0 for a missing filter.
float halfLength(std::int32_t length) noexcept {
    return length < 1 ? 0.0f : static_cast<float>(length - 1) / 2.0f;
}

}  // namespace

vkPattern::vkPattern() noexcept
    : orderCount(0),
      modalFilterLength(0),
      postFilterLength(0),
      variantCount(0),
      polarPointCount(0),
      patternCode(0),
      name{},
      designSampleRate(0.0f),
      flag(1),
      label{},
      modalFilters(nullptr),
      modalFilterLengths(nullptr),
      wngDb(nullptr),
      beamwidthDeg(nullptr),
      polarResponse(nullptr),
      postFilters(nullptr),
      postFilterLengths(nullptr) {}

float vkPattern::latency() const noexcept {
    return halfLength(modalFilterLength) + halfLength(postFilterLength);
}

void vkPattern::copyText(char (&destination)[16], const char* source) noexcept {
    std::size_t i = 0;
    if (source != nullptr)
        for (; i + 1 < sizeof destination && source[i] != '\0'; ++i) destination[i] = source[i];
    for (; i < sizeof destination; ++i) destination[i] = '\0';
}

CQbPattern::CQbPattern() noexcept
    : crossoverLength(0), hfMode(1), lowBandFilter(nullptr), highBandFilter(nullptr) {}

float CQbPattern::latency() const noexcept {
    return vkPattern::latency() + halfLength(crossoverLength);
}

const float* modalFilterTaps(const vkPattern& pattern, int variant, int order) noexcept {
    if (pattern.modalFilters == nullptr || variant < 0 || variant >= pattern.variantCount ||
        order < 0 || order >= pattern.orderCount)
        return nullptr;
    return pattern.modalFilters +
           (static_cast<std::ptrdiff_t>(variant) * pattern.orderCount + order) * pattern.modalFilterLength;
}

const std::int32_t* modalFilterLengthRow(const vkPattern& pattern, int variant) noexcept {
    if (pattern.modalFilterLengths == nullptr || variant < 0 || variant >= pattern.variantCount)
        return nullptr;
    return pattern.modalFilterLengths + static_cast<std::ptrdiff_t>(variant) * pattern.orderCount;
}

const float* postFilterTaps(const vkPattern& pattern, int variant) noexcept {
    if (pattern.postFilters == nullptr || pattern.postFilterLengths == nullptr || variant < 0 ||
        variant >= pattern.variantCount)
        return nullptr;
    return pattern.postFilters + static_cast<std::ptrdiff_t>(variant) * pattern.postFilterLength;
}

int postFilterTapCount(const vkPattern& pattern, int variant) noexcept {
    if (postFilterTaps(pattern, variant) == nullptr) return 0;
    return pattern.postFilterLengths[variant];
}

int defaultVariant(const vkPattern& pattern) noexcept {
    if (pattern.wngDb != nullptr)
        for (int v = 0; v < pattern.variantCount; ++v)
            if (pattern.wngDb[v] == 0) return v;
    return pattern.variantCount > 0 ? pattern.variantCount - 1 : 0;
}

int patternIndexForValue(float value, int patternCount) noexcept {
    if (patternCount < 1) return -1;
    const double scaled = static_cast<double>(value) * patternCount;
    if (!(scaled > 0.0)) return 0;  // negative, zero or NaN
    if (scaled >= patternCount - 1) return patternCount - 1;
    return static_cast<int>(scaled);
}

}  // namespace qb32
