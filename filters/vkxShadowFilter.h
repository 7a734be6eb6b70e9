#pragma once
// vkxShadowFilter: an FIR stage whose filter can be swapped while audio runs.
//
// Filters input channel 0 into output channel 0 at a fixed latency of
// trunc(latency) samples: a filter of length n is followed by a delay of
// trunc(latency) - (n - 1) / 2, so a linear-phase filter of any allowed length
// (at most 2 trunc(latency) + 1 taps) arrives equally late. A length <= 0
// loads a pass-through (the input delayed by trunc(latency)).
// A new filter runs beside the old one for its length in samples, then takes
// over through a crossfade of five `fadeTimeConstantMs` time constants
// (250 ms); a load during a crossfade waits as the pending set, the latest
// load winning (CrossfadeSlots.h).
//
// States: unconfigured -> configure (slots empty; sized for the latency last
// set) -> setLatency (empties the slots) -> loadFilter (also while running)
// -> start (settle: the newest filter takes over at once; active) -> stop.
// With no filter loaded since the last setLatency, process writes silence.
//
// Status codes: 2 unsupported stream (also frameCount <= 0, or more frames
// than configured in process), 5 active, 7 allocation failed, and below.
//
// process may run in place (in[0] == out[0]).
//
// Real time: process, loadFilter, reset, start and stop allocate nothing,
// take no lock and never throw. loadFilter must not overlap process.

#include "filters/CrossfadeSlots.h"
#include "framework/vkAudioClass.h"

namespace qb32 {

namespace shadowStatus {
inline constexpr int badLatency = 8;        // setLatency: negative, NaN or above 2^20
inline constexpr int noChannel = 101;       // loadFilter: not configured with an input channel
inline constexpr int filterTooLong = 102;   // more than 2 trunc(latency) + 1 taps
inline constexpr int missingTaps = 103;     // lengths null, or taps null for a positive length
}  // namespace shadowStatus

class vkxShadowFilter : public vkAudioClass {
public:
    static constexpr int fadeTimeConstantMs = 50;

    vkxShadowFilter() noexcept = default;
    ~vkxShadowFilter() override;

    int configure(const vkAudioInterface& in, const vkAudioInterface& out) override;
    int process(const float* const* in, float* const* out, int frames) noexcept override;
    void reset() noexcept override;  // clears filter histories and delays
    int stop() noexcept override;    // active = false, then reset
    int start() noexcept override;   // settle, then active
    // The newest loaded filter takes over at once, without crossfade.
    void settle() noexcept { slots.commitNewest(); }

    int setLatency(float samples) noexcept;  // may allocate: set-up only
    [[nodiscard]] float getLatency() const noexcept { return latency; }
    // One filter for channel 0: lengths[0] taps at taps[0], copied.
    int loadFilter(const int* lengths, const float* const* taps) noexcept;

    // Channels filtered by process: 0 until a filter is loaded, then 1.
    [[nodiscard]] int getActiveChannels() const noexcept;
    [[nodiscard]] const CrossfadeSlots& filterSlots() const noexcept { return slots; }
    // For the engine's path that runs the beams side by side: when one FIR
    // runs alone (no crossfade, nothing waiting), its state and the delay
    // line behind it; the caller then forms the block itself and calls
    // advanceSteady(frames) instead of process. False otherwise.
    [[nodiscard]] bool steadyFir(FirState*& fir, CDelayLine*& delay) noexcept;
    void advanceSteady(int frames) noexcept { slots.advanceSteady(frames); }
    // Every later change of the slots also counts into *sum (ChangeCounter.h).
    void countChangesInto(std::uint32_t* sum) noexcept { slots.countChangesInto(sum); }
    // Ramps shared with other stages of the same rate (used by configure
    // when they match; they must outlive this stage's configuration).
    void shareFadeRamps(const FadeRamps* ramps) noexcept { sharedRamps = ramps; }

private:
    const FadeRamps* sharedRamps = nullptr;
    float latency = 0.0f;
    bool configured = false;
    float* inputCopy = nullptr;  // one block: lets process run in place
    CrossfadeSlots slots;
};

}  // namespace qb32
