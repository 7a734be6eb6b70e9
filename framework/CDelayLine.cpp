#include "framework/CDelayLine.h"

#include <cstring>

#include "framework/Primitives.h"
#include "framework/SmallCopy.h"

namespace qb32 {

CDelayLine::CDelayLine() noexcept : buffer(vecAlloc(defaultCapacity + 1)) {
    if (buffer != nullptr) vecZero(buffer, defaultCapacity + 1);
}

CDelayLine::~CDelayLine() { vecFree(buffer); }

int CDelayLine::resize(int newLength) noexcept {
    changes.bump();
    if (newLength < 0) newLength = 0;
    if (newLength > capacity || buffer == nullptr) {
        vecFree(buffer);
        buffer = nullptr;
        if (newLength > capacity) capacity = newLength;
        length = newLength;
        writeIndex = 0;
        buffer = vecAlloc(capacity + 1);
        if (buffer == nullptr) return resizeFailed;
    }
    length = newLength;
    writeIndex = 0;
    vecZero(buffer, newLength + 1);
    return 0;
}

void CDelayLine::process(const float* src, float* dst, int n) noexcept {
    if (buffer == nullptr) {  // a failed resize left no storage: output silence
        vecZero(dst, n);
        return;
    }
    if (length == 0) {
        if (src != dst) vecCopy(src, dst, n);
        return;
    }
    // Per sample: buffer[w] = src[k], advance w, dst[k] = buffer[w]. A few
    // samples go exactly so (cheaper than setting up copies). In runs
    // where neither index wraps that is two copies: the output reads the old
    // buffer[w + 1 ..], then the inputs land at buffer[w ..]. In place, the
    // inputs of a run are saved first.
    const int size = length + 1;
    int w = writeIndex;
    if (n <= smallCopyLimit) {
        for (int k = 0; k < n; ++k) {
            buffer[w] = src[k];
            w = w + 1 == size ? 0 : w + 1;
            dst[k] = buffer[w];
        }
        writeIndex = w;
        return;
    }
    constexpr int shortDelay = 256;
    if (n > length && length <= shortDelay) {
        // Short delay, longer block: the output is the stored `length` inputs
        // followed by the block's own first n - length; the block's last
        // `length` inputs are stored, in order, at buffer[1 ..] (w = 0).
        float old[shortDelay];
        const int first = w + 1 == size ? 0 : w + 1;  // oldest stored input
        const int run = size - first < length ? size - first : length;
        std::memcpy(old, buffer + first, sizeof(float) * static_cast<std::size_t>(run));
        std::memcpy(old + run, buffer, sizeof(float) * static_cast<std::size_t>(length - run));
        std::memcpy(buffer + 1, src + (n - length), sizeof(float) * static_cast<std::size_t>(length));
        std::memmove(dst + length, src, sizeof(float) * static_cast<std::size_t>(n - length));
        std::memcpy(dst, old, sizeof(float) * static_cast<std::size_t>(length));
        writeIndex = 0;
        return;
    }
    constexpr int piece = 128;
    float saved[piece];
    for (int k = 0; k < n;) {
        const int r = w + 1 == size ? 0 : w + 1;
        int m = n - k;
        if (m > size - w) m = size - w;
        if (m > size - r) m = size - r;
        if (src == dst && m > piece) m = piece;
        const float* input = src + k;
        if (src == dst) {
            std::memcpy(saved, input, sizeof(float) * static_cast<std::size_t>(m));
            input = saved;
        }
        std::memcpy(dst + k, buffer + r, sizeof(float) * static_cast<std::size_t>(m));
        std::memmove(buffer + w, input, sizeof(float) * static_cast<std::size_t>(m));
        w += m;
        if (w == size) w = 0;
        k += m;
    }
    writeIndex = w;
}

void CDelayLine::recentInputs(float* out) const noexcept {
    if (buffer == nullptr) {
        for (int i = 0; i < length; ++i) out[i] = 0.0f;
        return;
    }
    const int size = length + 1;
    int r = writeIndex;
    for (int i = 0; i < length; ++i) {
        r = r + 1 == size ? 0 : r + 1;
        out[i] = buffer[r];
    }
}

void CDelayLine::setRecentInputs(const float* in) noexcept {
    changes.bump();
    if (buffer == nullptr) return;
    // With writeIndex 0 the next outputs are buffer[1], buffer[2], ...
    for (int i = 0; i < length; ++i) buffer[1 + i] = in[i];
    writeIndex = 0;
}

void CDelayLine::clear() noexcept {
    changes.bump();
    writeIndex = 0;
    if (buffer != nullptr) vecZero(buffer, length + 1);
}

}  // namespace qb32
