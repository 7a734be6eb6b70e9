#pragma once
// CQbHf: the high-band capsule beam of one beam.
//
// Forms the high band straight from the 32 capsule signals, following the
// beam's look direction sample by sample: mode 1 outputs the capsule nearest
// to it, mode 2 the mean of the three capsules of the mesh triangle holding
// it (regions of filters/tables/RegionTables.h). The direction is read from
// the whole-degree angle tracks of the same beam's CMbf (set through
// setElevationSource / setAzimuthSource), so both bands steer in step. When
// the direction enters another region the block fades from the old capsules
// to the new ones over 250 ms on a decibel-linear ramp (-40 dB .. 0 dB), one
// ramp value per sample across block boundaries; direction changes during a
// fade are ignored until it ends. Weights of all capsules add up to
// verticesPerRegion at every sample, so the level stays that of one region.
//
// States: unconfigured -> configure -> configured (mode as before, 0 at first)
// -> setMode 1/2 (needs a 32-channel input) -> angle sources linked ->
// process per block. Inside, the region logic is steady (weights 1 on the
// current region's capsules) or fading; reset, stop and setMode return it to
// "no region", so the next block starts on its first sample's region with no
// fade. changeMode switches between modes 1 and 2 while running, crossing from
// the old region's capsules to the new mode's region over the same fade.
//
// Statuses: 0 ok; 2 configure: unsupported streams, process: more frames than
// configured; 5 configure while active; 6 process with a mode set but not
// ready (angle sources missing, no ramp because the sample rate was <= 0, or
// no 32-channel configuration): out[0] is then left as it was; 7 configure:
// allocation failed; 101 unknown mode; 102 mode 1/2 without 32 inputs.
//
// Real time: process, reset, stop, start, setMode, changeMode and the source
// setters allocate nothing, take no lock and never throw. Only the capsules
// used in a block are cleared and mixed, so the cost does not grow with the
// number of inputs. Angles outside 0..180 / 0..359 are clamped / wrapped.

#include <cstdint>

#include "framework/ChangeCounter.h"
#include "framework/vkAudioClass.h"

namespace qb32 {

class CQbHf : public vkAudioClass {
public:
    static constexpr int notReady = 6;
    static constexpr int unknownMode = 101;
    static constexpr int needs32Inputs = 102;
    static constexpr int fadeMilliseconds = 250;

    CQbHf() noexcept = default;
    CQbHf(const CQbHf&) = delete;  // owns its buffers
    CQbHf& operator=(const CQbHf&) = delete;
    ~CQbHf() override;

    int configure(const vkAudioInterface& in, const vkAudioInterface& out) override;
    // in = the 32 capsule signals, out[0] = the high band. [audio thread]
    int process(const float* const* in, float* const* out, int frames) noexcept override;
    void reset() noexcept override;
    int stop() noexcept override;  // active = false, then reset

    // 0 off, 1 nearest capsule, 2 capsule triangle; ends in stop().
    int setMode(int mode) noexcept;
    // For use while audio runs: same mode does nothing; between 1 and 2 it
    // keeps running and fades to the new mode's region from the first sample
    // with no fade under way (in the middle of a block if a fade ends there);
    // from or to 0 it is setMode.
    int changeMode(int mode) noexcept;

    void setElevationSource(const int* elevationTrack) noexcept {
        changes.bump();
        elevationSource = elevationTrack;
    }
    void setAzimuthSource(const int* azimuthTrack) noexcept {
        changes.bump();
        azimuthSource = azimuthTrack;
    }
    // Counts every call that changes the stage from outside process
    // (configure, reset, stop, the mode and source setters).
    [[nodiscard]] std::uint32_t changeCount() const noexcept { return changes.value(); }
    // Every later change also counts into *sum (ChangeCounter.h).
    void countChangesInto(std::uint32_t* sum) noexcept { changes.countAlsoInto(sum); }

    [[nodiscard]] int getMode() const noexcept { return mode; }
    [[nodiscard]] int getRequestedMode() const noexcept { return requestedMode; }
    [[nodiscard]] int getSwitchRampLength() const noexcept { return switchRampLength; }
    [[nodiscard]] const float* getSwitchRamp() const noexcept { return switchRamp; }
    [[nodiscard]] bool isFading() const noexcept { return fadeCounter > 0; }
    [[nodiscard]] int getCurrentRegion() const noexcept { return currentRegion; }
    // Weight of each capsule at each sample of the last block (valid until the
    // next process / reset), in units of the mode's gain.
    [[nodiscard]] const float* capsuleWeightsOf(int capsule) const noexcept;
    [[nodiscard]] int getActiveCapsuleCount() const noexcept { return activeCount; }

    // For the engine's path that runs the beams side by side: true when a
    // block whose direction stays at (elevation, azimuth) would be mixed
    // steadily from the region already in place (no fade, no mode change
    // waiting). Each output is then ((x[c0] + x[c1]) + x[c2]) over the
    // `count` capsules (1 to 3, ascending), scaled by `gain` as vecScale
    // scales; the caller forms it instead of calling process.
    [[nodiscard]] bool steadyMix(int elevation, int azimuth, const int*& capsules, int& count,
                                 float& gain) const noexcept;
    // Still mixing steadily from `region` of the table `vertices` (as
    // steadyMix found it), the direction unchanged: the same capsules.
    [[nodiscard]] bool stillSteady(int region, const std::int32_t* vertices) const noexcept {
        return mode != 0 && requestedMode == mode && fadeCounter <= 0 && currentRegion == region &&
               steadyRegion == region && steadyVertices == vertices;
    }
    [[nodiscard]] const std::int32_t* steadyTable() const noexcept { return steadyVertices; }

    // ---- implementation ------------------------------------------------
private:
    // Where the vertices of a region come from: one of the two region tables.
    struct RegionSet {
        const std::int32_t* regionMap = nullptr;
        const std::int32_t* regionVertices = nullptr;
        int regionCount = 0;  // row stride of regionVertices
        int verticesPerRegion = 0;
        float gain = 1.0f;
    };

    static RegionSet regionSetOf(int mode) noexcept;
    void install(int newMode) noexcept;
    void releaseBuffers() noexcept;
    int buildSwitchRamp(float sampleRate_hz);
    [[nodiscard]] bool ready() const noexcept;
    void listCapsule(int capsule) noexcept;
    void listRegion(const RegionSet& set, int region) noexcept;
    void runFade(int& d, int frames) noexcept;
    void sortActiveCapsules() noexcept;
    void mixSteady(const float* const* in, float* out, int frames) noexcept;

    int mode = 0;
    int requestedMode = 0;  // mode a changeMode asked for; equals mode when none is pending
    RegionSet regions;
    RegionSet fadingOutSet;          // table of fadingOutRegion (differs only across a mode change)
    float fadingOutScale = 1.0f;     // its gain relative to the current gain

    int switchRampLength = 0;
    float* switchRamp = nullptr;
    int fadeCounter = 0;
    int currentRegion = -1;
    int fadingOutRegion = -1;
    int fadingInRegion = -1;

    std::int32_t* regionOfSample = nullptr;
    float** capsuleWeights = nullptr;
    int weightChannels = 0;
    int* activeCapsules = nullptr;
    int activeCount = 0;
    int activeCapacity = 0;
    int previousFrames = 0;  // extent of the non-zero weights
    // Region whose capsules hold weight 1 over [0, previousFrames), all other
    // weights zero (a steady last block), else -1; and its table.
    int steadyRegion = -1;
    const std::int32_t* steadyVertices = nullptr;
    int blockFrames = 0;

    const int* elevationSource = nullptr;
    const int* azimuthSource = nullptr;
    ChangeCounter changes;
};

}  // namespace qb32
