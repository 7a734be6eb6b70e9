#pragma once
// vkAudioInterface: the description of one stream a processing block receives
// or produces. A small value class copied field by field; every block keeps its
// own copies of the two descriptors it was configured with.
//
// domain 0 is the time domain (blocks of `blockLength` samples per channel);
// domain 1 is the frequency domain (frames of real-FFT bins). No block of this
// system accepts a frequency-domain stream or a clear `formatFlag`, but the
// descriptor keeps the fields so that descriptors compare exactly.
//
// Real time: every member is noexcept and allocation-free.

#include <cstdint>

namespace qb32 {

class vkAudioInterface {
public:
    static constexpr std::int32_t timeDomain = 0;
    static constexpr std::int32_t frequencyDomain = 1;

    vkAudioInterface() noexcept = default;
    vkAudioInterface(const vkAudioInterface&) noexcept = default;
    vkAudioInterface& operator=(const vkAudioInterface&) noexcept = default;
    virtual ~vkAudioInterface() = default;

    // Frames one call carries: blockLength in the time domain, otherwise the
    // bin count of a real FFT, (fftLength >> 1) + 1.
    [[nodiscard]] std::int32_t frameCount() const noexcept {
        return domain == timeDomain ? blockLength : (fftLength >> 1) + 1;
    }

    // Equal channels, flag, domain and (exactly equal) sample rate; then equal
    // blockLength in the time domain, or equal fftLength/frameAux1/frameAux2 in
    // the frequency domain.
    [[nodiscard]] bool matches(const vkAudioInterface& other) const noexcept {
        if (channels != other.channels || formatFlag != other.formatFlag ||
            domain != other.domain || sampleRate != other.sampleRate)
            return false;
        if (domain == timeDomain) return blockLength == other.blockLength;
        return fftLength == other.fftLength && frameAux1 == other.frameAux1 &&
               frameAux2 == other.frameAux2;
    }

    std::int32_t domain = timeDomain;
    std::int32_t channels = 0;
    bool formatFlag = true;
    float sampleRate = 0.0f;
    std::int32_t blockLength = 0;
    std::int32_t fftLength = 0;
    std::int32_t frameAux1 = 0;
    std::int32_t frameAux2 = 0;
};

// A time-domain descriptor in one line, for the common case.
inline vkAudioInterface timeDomainStream(std::int32_t channels, float sampleRate,
                                         std::int32_t blockLength) noexcept {
    vkAudioInterface d;
    d.channels = channels;
    d.sampleRate = sampleRate;
    d.blockLength = blockLength;
    return d;
}

// A channel buffer handed to the checked processing operations: one float
// array per channel, described by `format`.
struct vkAudioBuffer {
    float* const* data = nullptr;
    const vkAudioInterface* format = nullptr;
};

}  // namespace qb32
