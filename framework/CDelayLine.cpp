#include "framework/CDelayLine.h"

#include "framework/Primitives.h"

namespace qb32 {

CDelayLine::CDelayLine() noexcept : buffer(vecAlloc(defaultCapacity + 1)) {
    if (buffer != nullptr) vecZero(buffer, defaultCapacity + 1);
}

CDelayLine::~CDelayLine() { vecFree(buffer); }

int CDelayLine::resize(int newLength) noexcept {
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
    const int size = length + 1;
    int w = writeIndex;
    for (int k = 0; k < n; ++k) {
        buffer[w] = src[k];
        w = w + 1 == size ? 0 : w + 1;
        dst[k] = buffer[w];
    }
    writeIndex = w;
}

void CDelayLine::clear() noexcept {
    writeIndex = 0;
    if (buffer != nullptr) vecZero(buffer, length + 1);
}

}  // namespace qb32
