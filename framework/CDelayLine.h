#pragma once
// CDelayLine: delays one channel by a whole number of samples.
//
// The alignment element of the whole chain: a circular buffer of length + 1
// samples in which each input is stored before the output is read, so
// dst[k] = src[k - length], with zeros before the first sample since the last
// clear or resize. Works in place (src == dst).
//
// States: constructed (capacity 1024, length 0, history zero) -> resize (any
// number of times; clears the history) -> process per block.
// resize answers 0, or 1 when a larger buffer cannot be allocated; the line
// then holds no buffer and process writes silence until a resize succeeds.
// A negative length is taken as 0.
//
// Real time: process and clear never allocate. resize allocates only when the
// new length exceeds the capacity; the buffer never shrinks.

#include <cstdint>

#include "framework/ChangeCounter.h"

namespace qb32 {

class CDelayLine {
public:
    static constexpr int defaultCapacity = 1024;
    static constexpr int resizeFailed = 1;

    CDelayLine() noexcept;
    CDelayLine(const CDelayLine&) = delete;
    CDelayLine& operator=(const CDelayLine&) = delete;
    virtual ~CDelayLine();

    int resize(int newLength) noexcept;
    void process(const float* src, float* dst, int n) noexcept;
    // One sample: the same as process on a block of one.
    float step(float x) noexcept {
        if (buffer == nullptr) return 0.0f;
        if (length == 0) return x;
        buffer[writeIndex] = x;
        writeIndex = writeIndex == length ? 0 : writeIndex + 1;
        return buffer[writeIndex];
    }
    // writeIndex = 0 and the length + 1 samples in use zeroed; length unchanged.
    void clear() noexcept;
    // The `length` stored inputs still to come out, oldest first (zeros
    // without storage), and replacing them: for a caller that delays
    // several lines side by side and hands the state back.
    void recentInputs(float* out) const noexcept;
    void setRecentInputs(const float* in) noexcept;

    // Counts resize, clear and setRecentInputs since construction: a caller
    // that keeps a copy of the line's state can tell it was changed meanwhile.
    [[nodiscard]] std::uint32_t changeCount() const noexcept { return changes.value(); }
    // Every later change also counts into *sum (ChangeCounter.h).
    void countChangesInto(std::uint32_t* sum) noexcept { changes.countAlsoInto(sum); }

    [[nodiscard]] int getLength() const noexcept { return length; }
    [[nodiscard]] int getCapacity() const noexcept { return capacity; }
    [[nodiscard]] bool hasStorage() const noexcept { return buffer != nullptr; }

private:
    int writeIndex = 0;
    int capacity = defaultCapacity;
    int length = 0;
    float* buffer = nullptr;
    ChangeCounter changes;
};

}  // namespace qb32
