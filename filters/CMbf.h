#pragma once
// CMbf: the modal beamformer, the low band of one beam.
//
// Input: the (N+1)^2 modal components (1, 4, 9 or 16 channels; channel
// k = n*n + n + m). Output: one channel. Per block it
//  1. steers: weights each channel with the steering factor of the look
//     direction (SteeringTables.h) and sums each order over m. Direction
//     changes glide `glideDegreesPerSecond` (441) degrees per second on each
//     axis: one-degree steps of whole samples, their lengths taken from an
//     exact integer accumulator of rate / 441 (100 samples each at 44.1 kHz;
//     108 or 109 at 48 kHz, so that 90 degrees take 90 x rate / 441 samples
//     within one sample; the accumulator restarts whenever the axis comes to
//     rest). Factors are interpolated linearly sample by sample in single
//     precision; a step once begun runs to its end and its last sample is
//     exactly the next grid column. Azimuth takes the short way round
//     (exactly 180 degrees: upward when the target is larger, else downward)
//     and wraps 359 <-> 0.
//  2. filters each order with the current modal filter set (one FIR per
//     order), delays it to the fixed latency trunc(latency) and sums the
//     orders. A new set crossfades in over 250 ms (CrossfadeSlots.h).
//
// States: unconfigured -> configure (slots empty: silence) -> setLatency
// (empties the slots) -> loadModalFilters (also while running) -> start
// (settle, then active) -> stop. settle: the newest loaded set becomes the
// one heard, without crossfade, and the steering jumps to the target.
// configure and setLatency are refused while active.
//
// Status codes: 2 unsupported stream (also: in.channels not 1/4/9/16,
// frameCount <= 0, or process called with more frames than configured),
// 5 active, 6 process while not (successfully) configured, 7 allocation
// failed, and the codes below.
//
// Angles: targets are whole degrees; every setter clamps elevation to 0..180
// and reduces azimuth into 0..359 (so -90 steers to 270), whatever is passed.
// The per-sample angle tracks (read by the high-band stage) hold the grid
// angle reached after each sample of the last block.
//
// Real time: process, loadModalFilters, reset, start, stop and the angle
// setters allocate nothing, take no lock and never throw. One thread at a
// time: control writes must not overlap process.

#include <cstdint>

#include "filters/CrossfadeSlots.h"
#include "framework/ChangeCounter.h"
#include "framework/vkAudioClass.h"

namespace qb32 {

namespace mbfStatus {
inline constexpr int notConfigured = 6;     // process: no usable configuration
inline constexpr int badLatency = 19;       // setLatency: negative, NaN or above 2^20
inline constexpr int tooFewOrders = 101;    // loadModalFilters: fewer than 16 components
inline constexpr int filterTooLong = 102;   // a filter longer than 2 trunc(latency) + 1
inline constexpr int missingTaps = 103;     // lengths null, or taps null for a positive length
}  // namespace mbfStatus

class CMbf : public vkAudioClass {
public:
    static constexpr int orderCount = 4;
    static constexpr int glideDegreesPerSecond = 441;

    CMbf() noexcept = default;
    ~CMbf() override;

    int configure(const vkAudioInterface& in, const vkAudioInterface& out) override;
    int process(const float* const* in, float* const* out, int frames) noexcept override;
    void reset() noexcept override;  // filter histories; steering and fade untouched
    int stop() noexcept override;    // active = false, then reset
    int start() noexcept override;   // settle, then active
    void settle() noexcept;

    int setLatency(float samples) noexcept;  // may allocate: set-up only
    [[nodiscard]] float getLatency() const noexcept { return latency; }
    // One filter per order 0..3 (lengths[n] <= 0: that order is left out).
    int loadModalFilters(const int* lengths, const float* const* taps) noexcept;

    // Direction. The float forms keep the value for read-back and set the
    // target to its truncation (clamped / reduced as above; NaN counts as 0).
    void setElevation(float degrees) noexcept;
    void setAzimuth(float degrees) noexcept;
    void setTargetElevation(int degrees) noexcept;
    void setTargetAzimuth(int degrees) noexcept;
    [[nodiscard]] float getElevationDegrees() const noexcept { return elevationDegrees; }
    [[nodiscard]] float getAzimuthDegrees() const noexcept { return azimuthDegrees; }
    [[nodiscard]] int getTargetElevation() const noexcept { return elevation.target; }
    [[nodiscard]] int getTargetAzimuth() const noexcept { return azimuth.target; }
    [[nodiscard]] int getCurrentElevation() const noexcept { return elevation.current; }
    [[nodiscard]] int getCurrentAzimuth() const noexcept { return azimuth.current; }
    // Samples per second the glide counts its steps in (the configured rate,
    // rounded; 44100 before the first configure).
    [[nodiscard]] int getGlideRate() const noexcept { return glideRate_hz; }

    // Valid from a successful configure until the next configure or destruction.
    [[nodiscard]] const int* elevationTrackData() const noexcept { return elevationTrack; }
    [[nodiscard]] const int* azimuthTrackData() const noexcept { return azimuthTrack; }

    [[nodiscard]] const CrossfadeSlots& filterSlots() const noexcept { return slots; }

    // For the engine's path that runs the beams side by side: when the
    // direction is at rest and one partitioned filter set runs alone, the
    // steering factor of every channel (factors[16], k = n*n + n + m), the
    // set, and the highest order steered (orders above it, and lanes the set
    // does not read, are neither steered nor filtered). False otherwise.
    // The caller then forms the block exactly as process would and calls
    // advanceResting(frames) instead of process.
    [[nodiscard]] bool restingView(float* factors, CrossfadeSlots::SteadySet& set, int& orders) noexcept;
    [[nodiscard]] bool atRest() const noexcept {
        return elevation.counter == 0 && elevation.current == elevation.target && azimuth.counter == 0 &&
               azimuth.current == azimuth.target;
    }
    void advanceResting(int frames) noexcept {
        for (int j = 0; j < frames; ++j) {
            elevationTrack[j] = elevation.current;
            azimuthTrack[j] = azimuth.current;
        }
        slots.advanceSteady(frames);
        restSamples += frames;
    }
    // The same for a block whose one set was formed from shared filters
    // (the caller has checked atRest and that one set runs alone).
    void advanceShared(int frames) noexcept {
        for (int j = 0; j < frames; ++j) {
            elevationTrack[j] = elevation.current;
            azimuthTrack[j] = azimuth.current;
        }
        slots.advanceExternal(frames);
        restSamples += frames;
    }
    // One set runs alone (no crossfade, nothing waiting).
    [[nodiscard]] bool oneSetAlone() const noexcept { return slots.steadyBank() >= 0; }
    [[nodiscard]] int getSteeredOrders() const noexcept { return steeredOrders; }

    // ---- filtering shared with other beams ----------------------------------
    // The engine may form this stage's output from modal filters it runs once
    // for several beams: at rest, a set's output is the steering sum of the
    // components each filtered by the set (filter, then steer), which equals
    // this stage's own steer-then-filter output within rounding once the
    // direction has rested for as long as the filters reach back.
    //
    // At rest for at least `samples` samples, order 3, every occupied set in
    // a partitioned bank.
    [[nodiscard]] bool canShare(std::int64_t samples) const noexcept;
    // The banks of the occupied sets (current, next, pending; -1: empty).
    void occupiedBanks(int* banks) const noexcept { slots.occupiedBanks(banks); }
    // Steering factors at the angles reached (factors[16], k = n*n + n + m).
    void restingFactors(float* factors) const noexcept;
    // One block with every occupied set's output formed from shared filters:
    // bankLanes[bank][k] holds `frames` samples of component k through that
    // bank's set, null where the set has no filter for k's order. Fades and
    // handovers run as in process; the stage's own filters fall behind.
    // The same status rules as process; the stage must be at rest.
    int processShared(const float* const* const* bankLanes, float* out, int frames) noexcept;
    // Before process runs again after processShared: rebuilds the filters
    // that fell behind from the components before the next sample,
    // componentEnd[k][-n] .. componentEnd[k][-1] with n >= componentHistoryNeeded(),
    // steered at the angles reached (exact when the stage rested meanwhile).
    void resumeOwnFilters(const float* const* componentEnd) noexcept;
    [[nodiscard]] int componentHistoryNeeded() const noexcept { return slots.restoreSamples(); }
    // Ramps shared with other stages of the same rate (used by configure
    // when they match; they must outlive this stage's configuration).
    void shareFadeRamps(const FadeRamps* ramps) noexcept { sharedRamps = ramps; }
    // The steering has not rested meanwhile (for an owner that paused the
    // stage while the components went on).
    void interruptRest() noexcept {
        changes.bump();
        restSamples = 0;
    }
    // Counts every call that changes the stage from outside process
    // (configure, setLatency, loads, start, stop, settle, reset, the angle
    // setters): a caller keeping a view of the stage can tell it is stale.
    [[nodiscard]] std::uint32_t changeCount() const noexcept { return changes.value(); }
    // Every later change also counts into *sum (ChangeCounter.h).
    void countChangesInto(std::uint32_t* sum) noexcept { changes.countAlsoInto(sum); }

private:
    // One axis of the direction glide: its angles, the step in progress and,
    // per table row, the factor at the step's start, the sum of slopes so far
    // and the slope per sample.
    struct GlideAxis {
        int target = 0;
        int current = 0;
        int direction = 1;
        int counter = 0;  // samples left in the step in progress
        int remainder = 0;  // of the step-length accumulator, 0..440
        float base[16] = {};
        float accumulator[16] = {};
        float slope[16] = {};
    };
    // Answers the first sample from which the axis rests for the rest of
    // the block (frames when it is still gliding at the end).
    static int glide(GlideAxis& axis, const float* table, int columns, int rows, bool wraps, int rate_hz,
                     float* const* factors, int* track, int frames) noexcept;
    struct SharedSource;

    void releaseBuffers() noexcept;
    void steer(const float* const* in, int frames) noexcept;

    int order = -1;  // N
    int steeredOrders = -1;
    float latency = 0.0f;
    int glideRate_hz = 44100;
    float elevationDegrees = 90.0f;
    float azimuthDegrees = 0.0f;
    GlideAxis elevation{90, 90};
    GlideAxis azimuth{0, 0};

    float* blockMemory = nullptr;  // every per-block float buffer below
    float* elevationFactors[16] = {};
    float* azimuthFactors[6] = {};
    float* orderSignals[orderCount] = {};
    int* elevationTrack = nullptr;
    int* azimuthTrack = nullptr;
    CrossfadeSlots slots;
    ChangeCounter changes;
    std::int64_t restSamples = 0;
    float* steeredHistory = nullptr;  // orderCount rows of componentHistoryNeeded() samples
    const FadeRamps* sharedRamps = nullptr;
};

}  // namespace qb32
