#pragma once
// AudioTap: what the audio thread hands the editor, and nothing else.
//
//  - the 16 modal components of every block, into a lock-free
//    single-producer single-consumer ring (one array per component, so the
//    copy is 16 plain block copies);
//  - per beam, its output level (RMS with a 300 ms release, held on the
//    audio side so no block's level is lost between two frames) and the
//    direction its steering has reached while gliding, through atomics;
//  - a count of the blocks seen, so the editor knows whether audio runs.
//
// States: closed (the audio thread checks one atomic flag and does nothing
// else) -> open (the editor opened: the ring exists and is emptied) ->
// closed. The ring is allocated on the first open, on the editor's thread,
// and kept until the tap is destroyed, so a block that is still being copied
// when the editor closes writes into memory that stays valid.
//
// Real time: capture() and the other [audio thread] calls allocate nothing,
// take no lock, make no system call and cost at most 16 copies of the block
// plus one pass over the beam outputs. A block that does not fit into the
// ring (the editor has not drained it for `capacity_frames` samples) is
// dropped and counted, never waited for.

#include <atomic>
#include <cstdint>
#include <memory>

namespace qb32::editor {

inline constexpr int tapBeamCount = 8;

struct TapBeam {
    float level = 0.0f;  // RMS, linear, with the release
    int elevation_deg = 90;
    int azimuth_deg = 0;
};

class AudioTap {
public:
    static constexpr int componentCount = 16;
    static constexpr int capacity_frames = 8192;  // a power of two
    static constexpr double levelRelease_s = 0.3;

    AudioTap() noexcept = default;
    ~AudioTap();
    AudioTap(const AudioTap&) = delete;
    AudioTap& operator=(const AudioTap&) = delete;

    // [editor thread] open answers false when the ring cannot be allocated.
    bool open();
    void close() noexcept;
    [[nodiscard]] bool isOpen() const noexcept { return enabled.load(std::memory_order_acquire); }

    // [audio thread] One block: the components, the beam outputs and the
    // beams' current directions (null arrays: that part is skipped).
    void capture(const float* const* components, const float* const* beamOutputs, int beams,
                 const int* elevations_deg, const int* azimuths_deg, int frames, float sampleRate_hz) noexcept;

    // [editor thread] Moves up to `maxFrames` of the oldest frames into
    // destination[0..15]; answers how many.
    int pull(float* const* destination, int maxFrames) noexcept;
    [[nodiscard]] int available() const noexcept;
    [[nodiscard]] TapBeam beam(int index) const noexcept;
    [[nodiscard]] std::uint32_t blocksSeen() const noexcept { return blocks.load(std::memory_order_acquire); }
    [[nodiscard]] std::uint32_t framesDropped() const noexcept { return dropped.load(std::memory_order_relaxed); }

private:
    std::unique_ptr<float[]> ring;  // [component][capacity_frames]
    std::atomic<bool> enabled{false};
    std::atomic<std::uint32_t> writeCount{0};  // frames ever written, modulo 2^32
    std::atomic<std::uint32_t> readCount{0};   // frames ever read, modulo 2^32
    std::atomic<std::uint32_t> blocks{0};
    std::atomic<std::uint32_t> dropped{0};
    std::atomic<float> levels[tapBeamCount] = {};
    std::atomic<int> elevations[tapBeamCount] = {};
    std::atomic<int> azimuths[tapBeamCount] = {};
    float heldLevel[tapBeamCount] = {};  // [audio thread] only
};

}  // namespace qb32::editor
