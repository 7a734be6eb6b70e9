#pragma once
// CQuorbix: the array front end, the processing chain of the 32-capsule array.
//
// Owns every signal stage and runs them in order for each block:
//   1. CEbf: 32 capsule signals -> 16 modal components (equalised per order).
//   2. per beam, low band: CMbf steers and filters the modal components.
//   3. per beam, high band: CQbHf forms it from the capsules along the same
//      per-sample direction; a delay line aligns it with the low band.
//   4. per beam: each band through its crossover stage (vkxShadowFilter), summed.
//   5. per beam: the sum through the post filter stage and the output delay.
// Output modes: 0 modal components 0..N-1; 1 full beams; 2 low band only;
// 3 the delayed high band alone.
//
// One latency for every beam: each crossover and post stage delays its filter
// to the stage's configured latency, so the output delay is computed from
// those configured latencies (never from the lengths of the filters a pattern
// loaded) and is never negative. A beam's output lags its input by
// modal + crossover + post latency + output delay, whatever its pattern:
// the total latency the engine sets (167 samples at 44.1 kHz, the same time
// at the other rates), plus the FIR equalisers' delay in equalisation mode 1
// (315 samples at 44.1 kHz).
//
// Shared modal filters (SharedModalFilters.h): beams at rest whose filter
// sets are used by enough beams form their low band from filters run once
// for all of them (filter, then steer) instead of their own (steer, then
// filter); both agree within rounding. Which beams share is decided only at
// fixed samples of the stream (every shareInterval samples since configure)
// and at calls that follow a change of a modal stage's settings, so the output
// does not depend on how the host cuts the stream. A beam shares once it has
// rested for as long as its filters reach back; it leaves when its direction
// or filters change (its own filters are rebuilt from the components' history
// first), and crossfades between shared sets run as the stage's own do.
//
// Joined crossovers (JoinedCrossovers.h): while a beam's two crossover
// stages each run one filter alone and the pair is complementary (as every
// pattern's is), they run as one FIR. Beams join only at the same fixed
// samples of the stream as the sharing decisions, and leave at the next call
// after either stage changed, so this too does not depend on call sizes.
//
// Calls of up to BeamLanes::maxFrames samples with every beam steady run
// the beams side by side (BeamLanes.h), with the same bits. Longer calls
// with every beam steady, its crossovers joined and its post filter alone
// run each of the two FIR stages of all beams as one (FirSideBySide.h),
// again with the same bits.
//
// Switching a beam on or off ramps its output, after every stage, linearly
// over beamRamp_ms (rampSamples at the configured rate), so nothing that
// reaches the output (low band, high band, their filters and delays) steps.
// Once a beam's ramp down ends its output is exact zeros and all its stages
// pause, their histories cleared. Switched on from there, it takes the
// direction and filters set while it was silent at once (no glide or
// crossfade from settings nobody heard), its stages run first for twice the
// beam's latency with the output held at zero (until everything reaching the
// output is formed from the input, not from the cleared histories), then the
// ramp up begins. clearSignalState starts every
// beam that is on again that way; applySettingsAtOnce (and an immediate
// setBeamActive) skips ramp and wait.
//
// States: constructed (no beams) -> configured (configure, then
// configureModalComponents; later configures repeat it) -> active (start;
// configure, latency setters, setDecompositionMatrix and setEqMode answer 5).
// The engine keeps process from running on a chain whose configure failed.
//
// Status codes: 0 ok; 2 unsupported streams; 5 active; 7 allocation failed;
// 8 a modal stage has no angle tracks for its high-band stage; 11 beam outside
// 0..N-1; 105 equalisation mode refused; stage statuses pass through.
//
// Real time: process, reset, start, stop, the filter loaders, setHfMode,
// setBeamActive and clearSignalState allocate nothing and never throw.
// configure, configureModalComponents, the latency setters, the delay
// recomputations and setDecompositionMatrix may allocate [set-up].

#include <cstdint>
#include <memory>

#include "engine/BeamLanes.h"
#include "engine/CEbf.h"
#include "engine/JoinedCrossovers.h"
#include "engine/SharedModalFilters.h"
#include "filters/CMbf.h"
#include "filters/CQbHf.h"
#include "filters/vkxShadowFilter.h"
#include "framework/CDelayLine.h"
#include "framework/FirSideBySide.h"
#include "framework/vkAudioClass.h"

namespace qb32 {

class CQuorbix : public vkAudioClass {
public:
    static constexpr int modalComponentSlots = 16;
    static constexpr int badAngleSources = 8;
    static constexpr int badBeam = 11;
    static constexpr int badEqMode = 105;
    static constexpr int beamRamp_ms = 10;
    // Samples between the decisions which beams share their modal filters.
    static constexpr int shareInterval = 512;
    // round(rate x 10 ms), at least 1: 441 samples at 44100 Hz.
    [[nodiscard]] static int rampSamplesFor(float sampleRate_hz) noexcept;

    CQuorbix() noexcept;
    ~CQuorbix() override;

    int configure(const vkAudioInterface& in, const vkAudioInterface& out) override;
    // in = 32 capsule channels, out = N beam channels, frames <= B.
    int process(const float* const* in, float* const* out, int frames) noexcept override;
    int stop() noexcept override;
    int start() noexcept override;

    int configureModalComponents(int count);
    int setModalLatency(float samples);
    int setCrossoverLatency(float samples);
    int setPostFilterLatency(float samples);
    int setDecompositionMatrix(const float* const* rows);
    int setLowBandFilter(int beam, const float* taps, int length) noexcept;
    int setHighBandFilter(int beam, const float* taps, int length) noexcept;
    int setPostFilter(int beam, const float* taps, int length) noexcept;
    // Same mode: nothing; between modes 1 and 2 the high band crosses over
    // without a click; to or from 0 the stage is switched at once.
    int setHfMode(int beam, int mode) noexcept;
    int setEqMode(int mode);
    void resizeHighBandDelays();
    void resizeOutputDelays();
    // Clears every filter history and delay line; settings stay.
    void clearSignalState() noexcept;
    // Every beam takes the settings it has been given at once: direction at
    // its target without glide, the newest filters of every stage without
    // crossfade, the high band on its region without fade, on or off
    // without ramp (off: silent from the next sample). Signal histories of
    // beams that are on stay as they are.
    void applySettingsAtOnce() noexcept;

    // Fields the engine writes directly.
    void setOutputMode(int mode) noexcept;
    [[nodiscard]] int getOutputMode() const noexcept { return outputMode; }
    void setTotalLatency(float samples) noexcept { totalLatency = samples; }
    // Switching ramps (see above) unless `immediate`.
    void setBeamActive(int beam, bool on, bool immediate = false) noexcept;
    [[nodiscard]] bool isBeamActive(int beam) const noexcept;
    [[nodiscard]] int getRampSamples() const noexcept { return rampSamples; }

    [[nodiscard]] int getBeamCount() const noexcept { return beamCount; }
    [[nodiscard]] CEbf& getDecomposition() noexcept { return *decomposition; }
    [[nodiscard]] bool hasDecomposition() const noexcept { return decomposition != nullptr; }
    // The modal components of the last processed block (modalComponentSlots
    // arrays of that block's frames); valid until the next process.
    [[nodiscard]] const float* const* modalComponentData() const noexcept { return currentComponents; }
    // A beam's stages (null outside 0..N-1).
    [[nodiscard]] CMbf* modalStage(int beam) noexcept;
    [[nodiscard]] CQbHf* highBandStage(int beam) noexcept;
    [[nodiscard]] vkxShadowFilter* lowCrossoverStage(int beam) noexcept;
    [[nodiscard]] vkxShadowFilter* highCrossoverStage(int beam) noexcept;
    [[nodiscard]] vkxShadowFilter* postStage(int beam) noexcept;
    [[nodiscard]] CDelayLine* highBandDelayLine(int beam) noexcept;
    [[nodiscard]] CDelayLine* outputDelayLine(int beam) noexcept;
    // Delay of a beam's output behind its input, in samples.
    [[nodiscard]] int beamLatency(int beam) const noexcept;
    [[nodiscard]] int highBandDelayLength(int beam) const noexcept;
    [[nodiscard]] int outputDelayLength(int beam) const noexcept;
    // Calls served with the beams side by side (BeamLanes), since construction.
    [[nodiscard]] std::uint64_t sideBySideCalls() const noexcept { return lanes.callsServed(); }
    // Whether a beam's modal stage runs on the shared filters now, and how
    // many filter sets run shared (statistics for tests and benchmarks).
    [[nodiscard]] bool isBeamShared(int beam) const noexcept;
    [[nodiscard]] int sharedSetCount() const noexcept { return sharedFilters.activeSets(); }
    // Whether beams may share their modal filters (the default). For tests
    // and benchmarks that compare both ways in one run; read at every
    // decision. [set-up]
    static void setSharingEnabled(bool on) noexcept;
    [[nodiscard]] static bool sharingEnabled() noexcept;
    // Whether a beam's crossovers run joined now; and whether beams may join
    // them (the default; read at every decision, for tests and benchmarks).
    [[nodiscard]] bool isBeamJoined(int beam) const noexcept;
    static void setJoiningEnabled(bool on) noexcept;
    [[nodiscard]] static bool joiningEnabled() noexcept;

private:
    int allocateStages();
    void releaseStages() noexcept;
    int highBandDelayFor(int beam) const noexcept;
    int outputDelayFor(int beam) const noexcept;
    void runBeam(int beam, const float* const* in, const float* const* components, float* out,
                 int frames) noexcept;
    void runPiece(const float* const* in, float* const* out, int offset, int frames) noexcept;
    [[nodiscard]] bool stagesRun(int beam) const noexcept;
    // Fully on (ramp done, no warm-up left), or off and silent.
    [[nodiscard]] bool beamSteady(int beam) const noexcept;
    void decideSharing() noexcept;
    void formBlockComponents() noexcept;
    [[nodiscard]] bool sharingSettled(bool allowed) const noexcept;
    void decideJoins() noexcept;
    void leaveChangedJoins() noexcept;
    void leaveSharing(int beam) noexcept;
    void forgetSharedLanes(int beam) noexcept;  // not shared, no shared lanes
    [[nodiscard]] bool settingsChanged() const noexcept;
    void recordSettings() noexcept;
    void applyBeamGain(int beam, float* out, int frames) noexcept;
    void clearBeam(int beam) noexcept;
    // The beam's stages take their newest settings without glide, crossfade or fade.
    void settleBeam(int beam) noexcept;
    [[nodiscard]] int warmupFor(int beam) const noexcept;
    bool runBeamLanes(const float* const* in, const float* const* components, float* const* out,
                      int frames) noexcept;
    int configureBeamLanes();
    void formBands(int beam, const float* const* in, const float* const* components, int frames) noexcept;
    bool runBeamsSideBySide(const float* const* in, const float* const* components, float* const* out,
                            int frames) noexcept;

    int outputMode = 1;
    // Every change of the beams' stages also counts here (ChangeCounter.h);
    // declared before the stages, which count into it until they are gone.
    std::uint32_t stageChanges = 0;
    std::uint32_t seenStageChanges = 0;  // at the end of the last call
    // At the last look for joins to leave: a change made during a call (a beam
    // cleared) is seen at the start of the next one.
    std::uint32_t joinsCheckedAt = 0;
    std::unique_ptr<CEbf> decomposition;
    int beamCount = 0;       // N once every stage of every beam exists, else 0
    int allocatedBeams = 0;  // N of the arrays being built or held
    int blockFrames = 0; // B
    int modalComponentCount = 0;

    std::unique_ptr<CMbf[]> modalStages;
    std::unique_ptr<CQbHf[]> highBandStages;
    std::unique_ptr<CDelayLine[]> highBandDelays;
    std::unique_ptr<CDelayLine[]> outputDelays;
    std::unique_ptr<vkxShadowFilter[]> lowCrossovers;
    std::unique_ptr<vkxShadowFilter[]> highCrossovers;
    std::unique_ptr<vkxShadowFilter[]> postStages;
    std::unique_ptr<JoinedCrossovers[]> joins;  // per beam; points into the crossover stages

    // Per beam: half-lengths of the filters last loaded (descriptive), the
    // on/off request, whether its stages are cleared and paused, where its
    // ramp stands (0 .. rampSamples) and the samples its output still waits.
    std::unique_ptr<float[]> crossoverLatency;
    std::unique_ptr<float[]> postLatency;
    std::unique_ptr<bool[]> beamActive;
    std::unique_ptr<bool[]> beamSilent;
    std::unique_ptr<int[]> beamRamp;
    std::unique_ptr<int[]> beamWarmup;
    int rampSamples = 1;
    float totalLatency = 0.0f;
    float modalStageLatency = 0.0f;
    float crossoverStageLatency = 0.0f;
    float postStageLatency = 0.0f;

    float* modalComponents[modalComponentSlots] = {};
    // Where this call's components are: the buffers above, or the shared
    // filters' history they were formed in.
    const float* currentComponents[modalComponentSlots] = {};
    std::unique_ptr<float*[]> lowBand;
    std::unique_ptr<float*[]> highBand;
    float* scratch = nullptr;
    // Per beam: the high band's part of its joined crossovers while the
    // beams' FIRs run side by side.
    std::unique_ptr<float*[]> crossoverScratch;
    FirSideBySide sideBySide;
    BeamLanes lanes;
    BeamLanes::Beam laneBeams[BeamLanes::maxBeams];  // stage pointers, set by configure
    // Whether laneBeams' shared sets and joins are those of the last call the
    // lanes served, with no stage changed since (stageChanges then).
    bool laneBeamsCurrent = false;
    std::uint32_t laneBeamsChanges = 0;

    // One set of crossfade ramps for every stage of this rate.
    FadeRamps fadeRamps;
    // Shared modal filters, and per beam: whether its modal stage uses them,
    // and each of its banks' set outputs (null: that bank is not shared).
    SharedModalFilters sharedFilters;
    std::unique_ptr<bool[]> beamShared;
    std::unique_ptr<const float* const*[]> beamBankLanes;  // [beam][bank]
    std::unique_ptr<std::uint32_t[]> seenChanges;         // modal stages' change counts after the last call
    std::uint64_t streamPosition = 0;  // samples since configure
    bool sharingDue = true;            // decide at the next call
    // Beams the sharing decisions consider; an engine with more leaves every
    // beam on its own filters.
    static constexpr int maxSharingBeams = 16;
    // What the last sharing decision rested on (sharingSettled).
    struct {
        bool valid = false;
        bool allowed = false;
        std::uint32_t changes = 0;
        bool run[maxSharingBeams] = {};
        int banks[maxSharingBeams][CrossfadeSlots::bankCount] = {};
    } settled;
};

}  // namespace qb32
