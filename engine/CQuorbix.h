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
// Calls of up to BeamLanes::maxFrames samples with every beam steady run
// the beams side by side (BeamLanes.h), with the same bits.
//
// Switching a beam on or off ramps both bands over rampSamples() (10 ms at
// the configured rate, beamRamp_ms); once
// off, its modal and high-band stages pause and its output decays through
// the crossover, post filter and delay to exact zeros.
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
#include "filters/CMbf.h"
#include "filters/CQbHf.h"
#include "filters/vkxShadowFilter.h"
#include "framework/CDelayLine.h"
#include "framework/vkAudioClass.h"

namespace qb32 {

class CQuorbix : public vkAudioClass {
public:
    static constexpr int modalComponentSlots = 16;
    static constexpr int badAngleSources = 8;
    static constexpr int badBeam = 11;
    static constexpr int badEqMode = 105;
    static constexpr int beamRamp_ms = 10;
    // round(rate x 10 ms), at least 1: 441 samples at 44100 Hz.
    [[nodiscard]] static int rampSamplesFor(float sampleRate_hz) noexcept;
    [[nodiscard]] int rampSamples() const noexcept { return beamRampSamples; }

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

    // Fields the engine writes directly.
    void setOutputMode(int mode) noexcept { outputMode = mode; }
    [[nodiscard]] int getOutputMode() const noexcept { return outputMode; }
    void setTotalLatency(float samples) noexcept { totalLatency = samples; }
    // Switching ramps over rampSamples() unless `immediate` (configuration).
    void setBeamActive(int beam, bool on, bool immediate = false) noexcept;
    [[nodiscard]] bool isBeamActive(int beam) const noexcept;

    [[nodiscard]] int getBeamCount() const noexcept { return beamCount; }
    [[nodiscard]] CEbf& getDecomposition() noexcept { return *decomposition; }
    [[nodiscard]] bool hasDecomposition() const noexcept { return decomposition != nullptr; }
    [[nodiscard]] CMbf* modalStage(int beam) noexcept;
    [[nodiscard]] CQbHf* highBandStage(int beam) noexcept;
    // Delay of a beam's output behind its input, in samples.
    [[nodiscard]] int beamLatency(int beam) const noexcept;
    [[nodiscard]] int highBandDelayLength(int beam) const noexcept;
    [[nodiscard]] int outputDelayLength(int beam) const noexcept;
    // Calls served with the beams side by side (BeamLanes), since construction.
    [[nodiscard]] std::uint64_t sideBySideCalls() const noexcept { return lanes.callsServed(); }

private:
    int allocateStages();
    void releaseStages() noexcept;
    int highBandDelayFor(int beam) const noexcept;
    int outputDelayFor(int beam) const noexcept;
    void runBeamBands(int beam, const float* const* in, int frames) noexcept;
    bool runBeamLanes(const float* const* in, float* const* out, int frames) noexcept;
    int configureBeamLanes();

    int outputMode = 1;
    std::unique_ptr<CEbf> decomposition;
    int beamCount = 0;       // N once every stage of every beam exists, else 0
    int allocatedBeams = 0;  // N of the arrays being built or held
    int blockFrames = 0; // B
    int beamRampSamples = 441;  // set by configure from the rate
    int modalComponentCount = 0;

    std::unique_ptr<CMbf[]> modalStages;
    std::unique_ptr<CQbHf[]> highBandStages;
    std::unique_ptr<CDelayLine[]> highBandDelays;
    std::unique_ptr<CDelayLine[]> outputDelays;
    std::unique_ptr<vkxShadowFilter[]> lowCrossovers;
    std::unique_ptr<vkxShadowFilter[]> highCrossovers;
    std::unique_ptr<vkxShadowFilter[]> postStages;

    // Per beam: half-lengths of the filters last loaded (descriptive), the
    // on/off request and the gain of its on/off ramp.
    std::unique_ptr<float[]> crossoverLatency;
    std::unique_ptr<float[]> postLatency;
    std::unique_ptr<bool[]> beamActive;
    std::unique_ptr<float[]> beamGain;
    float totalLatency = 0.0f;
    float modalStageLatency = 0.0f;
    float crossoverStageLatency = 0.0f;
    float postStageLatency = 0.0f;

    float* modalComponents[modalComponentSlots] = {};
    std::unique_ptr<float*[]> lowBand;
    std::unique_ptr<float*[]> highBand;
    float* scratch = nullptr;
    BeamLanes lanes;
    BeamLanes::Beam laneBeams[BeamLanes::maxBeams];  // stage pointers, set by configure
};

}  // namespace qb32
