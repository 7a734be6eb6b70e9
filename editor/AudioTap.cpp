#include "editor/AudioTap.h"

#include <cmath>
#include <cstring>
#include <new>

namespace qb32::editor {

namespace {
constexpr std::uint32_t mask = AudioTap::capacity_frames - 1;
static_assert((AudioTap::capacity_frames & (AudioTap::capacity_frames - 1)) == 0);

// Sum of squares in eight independent partial sums, which the compiler can
// keep in one vector register.
float meanSquare(const float* x, int frames) noexcept {
    float partial[8] = {};
    int i = 0;
    for (; i + 8 <= frames; i += 8)
        for (int j = 0; j < 8; ++j) partial[j] += x[i + j] * x[i + j];
    float sum = 0.0f;
    for (; i < frames; ++i) sum += x[i] * x[i];
    for (float p : partial) sum += p;
    return sum / static_cast<float>(frames);
}
}  // namespace

AudioTap::~AudioTap() = default;

bool AudioTap::open() {
    if (!ring) {
        ring.reset(new (std::nothrow) float[static_cast<std::size_t>(componentCount) * capacity_frames]);
        if (!ring) return false;
    }
    // The consumer empties the ring by catching up with the producer.
    readCount.store(writeCount.load(std::memory_order_acquire), std::memory_order_release);
    enabled.store(true, std::memory_order_release);
    return true;
}

void AudioTap::close() noexcept { enabled.store(false, std::memory_order_release); }

void AudioTap::capture(const float* const* components, const float* const* beamOutputs, int beams,
                       const int* elevations_deg, const int* azimuths_deg, int frames,
                       float sampleRate_hz) noexcept {
    if (!enabled.load(std::memory_order_acquire) || frames <= 0) return;
    if (components != nullptr) {
        const std::uint32_t w = writeCount.load(std::memory_order_relaxed);
        const std::uint32_t r = readCount.load(std::memory_order_acquire);
        if (w - r + static_cast<std::uint32_t>(frames) > static_cast<std::uint32_t>(capacity_frames)) {
            dropped.fetch_add(static_cast<std::uint32_t>(frames), std::memory_order_relaxed);
        } else {
            const int start = static_cast<int>(w & mask);
            const int first = frames < capacity_frames - start ? frames : capacity_frames - start;
            for (int k = 0; k < componentCount; ++k) {
                float* channel = ring.get() + static_cast<std::size_t>(k) * capacity_frames;
                std::memcpy(channel + start, components[k], static_cast<std::size_t>(first) * sizeof(float));
                if (first < frames)
                    std::memcpy(channel, components[k] + first, static_cast<std::size_t>(frames - first) * sizeof(float));
            }
            writeCount.store(w + static_cast<std::uint32_t>(frames), std::memory_order_release);
        }
    }
    if (beams > tapBeamCount) beams = tapBeamCount;
    const float release = sampleRate_hz > 0.0f
                              ? std::exp(-static_cast<float>(frames) / (static_cast<float>(levelRelease_s) * sampleRate_hz))
                              : 0.0f;
    for (int b = 0; b < beams; ++b) {
        if (beamOutputs != nullptr && beamOutputs[b] != nullptr) {
            const float rms = std::sqrt(meanSquare(beamOutputs[b], frames));
            const float held = heldLevel[b] * release;
            heldLevel[b] = rms > held ? rms : held;
            levels[b].store(heldLevel[b], std::memory_order_relaxed);
        }
        if (elevations_deg != nullptr) elevations[b].store(elevations_deg[b], std::memory_order_relaxed);
        if (azimuths_deg != nullptr) azimuths[b].store(azimuths_deg[b], std::memory_order_relaxed);
    }
    blocks.fetch_add(1, std::memory_order_release);
}

int AudioTap::available() const noexcept {
    return static_cast<int>(writeCount.load(std::memory_order_acquire) - readCount.load(std::memory_order_relaxed));
}

int AudioTap::pull(float* const* destination, int maxFrames) noexcept {
    if (!ring) return 0;
    const std::uint32_t r = readCount.load(std::memory_order_relaxed);
    const std::uint32_t w = writeCount.load(std::memory_order_acquire);
    int n = static_cast<int>(w - r);
    if (n > maxFrames) n = maxFrames;
    if (n <= 0) return 0;
    const int start = static_cast<int>(r & mask);
    const int first = n < capacity_frames - start ? n : capacity_frames - start;
    for (int k = 0; k < componentCount; ++k) {
        const float* channel = ring.get() + static_cast<std::size_t>(k) * capacity_frames;
        std::memcpy(destination[k], channel + start, static_cast<std::size_t>(first) * sizeof(float));
        if (first < n) std::memcpy(destination[k] + first, channel, static_cast<std::size_t>(n - first) * sizeof(float));
    }
    readCount.store(r + static_cast<std::uint32_t>(n), std::memory_order_release);
    return n;
}

TapBeam AudioTap::beam(int index) const noexcept {
    if (index < 0 || index >= tapBeamCount) return {};
    return {levels[index].load(std::memory_order_relaxed), elevations[index].load(std::memory_order_relaxed),
            azimuths[index].load(std::memory_order_relaxed)};
}

}  // namespace qb32::editor
