#pragma once
// CQb32: the beamforming engine, the top-level processing block one plug-in
// instance owns.
//
// It takes the 32 capsule signals of the spherical array and produces up to 16
// beam signals (the plug-in configures 8). It owns the pattern catalogue
// (CQb32Factory) and the array front end (CQuorbix), which owns every signal
// stage. The engine computes no samples itself: it validates and applies the
// stream configuration, builds the chain, loads the decomposition matrix and
// equalisers, turns beam control (direction, pattern, on/off, output and
// equalisation mode) into settings of the per-beam stages, and sets the
// latency budget that aligns the beams.
//
// Streams: input at one of the supported rates exactly (44100, 48000, 88200,
// 96000, 176400, 192000 Hz: framework/SampleRates.h), 32 channels, time
// domain; output the same rate and frame count, 1..16 channels (one per
// beam). Anything else: 2, and the engine keeps the configuration it had (at
// its own rate, getSampleRate(): an owner whose stream runs at another rate
// must not use it). Every rate has its own constant tables (patterns,
// equalisers) designed for it; the engine holds one pattern factory for
// 44.1 kHz (names, getPattern) and one for the rate it runs at.
//
// States: constructed (no beams; process writes silence) -> configured
// (every beam active at elevation 90, azimuth 0, pattern 0 "omni" with its
// default variant) -> reconfigured any number of times while not running.
// A configure that fails after validation leaves the engine unusable: process
// writes silence on every output until a later configure succeeds. Allocation
// failures during construction make every configure answer 7.
//
// Latency: every beam, whatever its pattern, comes out delayed by the same
// number of samples, latencySamples(): round(167 x rate / 44100) in
// equalisation modes 0 and 2 (167, 182, 334, 364, 668, 727 samples, 3.8 ms),
// plus the FIR equalisers' delay in mode 1 (315 at 44.1 kHz: 482 in all;
// 525, 964, 1050, 1928, 2098 at the other rates).
//
// On and off: a beam switched on or off ramps its whole output over 10 ms;
// switched on from silence, it first refills its stages with the output held
// at zero; off, it is exact zeros once its ramp has ended (CQuorbix.h).
//
// Status codes: 0 ok; 2 unsupported stream; 5 running; 7 allocation failed;
// 8 pattern index outside the catalogue, equalisation type outside 0..2;
// 11 channel outside 0..N-1; 12 control other than 0..2; 15 control type or
// count mismatch; 101 beam outside 0..N-1; 102 output mode above 3;
// 105 equalisation mode above 2, or mode 1 without FIR equalisers.
//
// Real time: process, reset, start, stop, clearSignalState,
// applySettingsAtOnce and every control operation (setElevation, setAzimuth,
// setPattern, loadPatternVariant, setBeamActive, setOutputMode, setControl,
// getControl) allocate nothing, take no lock and never throw. configure and setEqualisationMode may allocate. The engine
// takes no lock: its owner keeps configure from overlapping anything else,
// and control operations from overlapping process.

#include <cstdint>

#include "framework/vkAudioClass.h"

namespace qb32 {

class CQb32Factory;
class CQbPattern;
class CQuorbix;
namespace tables {
struct DecompositionRateTables;
}

class CQb32 : public vkAudioClass {
public:
    static constexpr int engineTag = 10200;
    static constexpr int inputChannels = 32;
    static constexpr int maxBeams = 16;
    static constexpr float sampleRateHz = 44100.0f;  // the rate the engine is constructed for
    // The beams' latency at 44.1 kHz, in equalisation modes 0 and 2: the
    // modal, crossover and post-filter stages' (125 + 27 + 15).
    static constexpr int referenceLatency_samples = 167;

    // Engine-specific status codes.
    static constexpr int badPattern = 8;           // pattern index outside the catalogue
    static constexpr int badEqualisationType = 8;  // biquad set other than 0..2
    static constexpr int badBeam = 101;
    static constexpr int badOutputMode = 102;
    static constexpr int badEqualisationMode = 105;

    // Controls of the control table: one row per control, channel = beam.
    enum Control { theta = 0, phi = 1, pattern = 2 };

    CQb32() noexcept;
    ~CQb32() override;

    int configure(const vkAudioInterface& in, const vkAudioInterface& out) override;
    int process(const float* const* in, float* const* out, int frames) noexcept override;
    void reset() noexcept override;
    int stop() noexcept override;
    int start() noexcept override;
    int setControl(int channel, int control, const void* value, int count,
                   int type) noexcept override;
    int getControl(int channel, int control, void* value, int count, int type) noexcept override;

    // Direct beam operations.
    int setElevation(int beam, float degrees) noexcept;
    int setAzimuth(int beam, float degrees) noexcept;
    int setPattern(int beam, int index) noexcept;
    int loadPatternVariant(int beam, int variant) noexcept;
    int setBeamActive(int beam, bool on) noexcept;
    [[nodiscard]] float getElevation(int beam) const noexcept;
    [[nodiscard]] float getAzimuth(int beam) const noexcept;
    // Whole degrees a beam's steering has reached on its glide to the target
    // (the target once it has arrived); 0 for a beam outside 0..N-1.
    [[nodiscard]] int getCurrentElevation(int beam) const noexcept;
    [[nodiscard]] int getCurrentAzimuth(int beam) const noexcept;
    // The 16 modal components the last process call formed (one array per
    // component, as many frames as that call had), valid until the next
    // process; null while the engine is unusable. [audio thread]
    [[nodiscard]] const float* const* modalComponentData() const noexcept;

    // Clears the signal state of every stage (filter histories, delay lines)
    // while keeping every beam's direction, pattern and status; beams that
    // are on fade in again once their stages are refilled (CQuorbix.h).
    // `reset` does nothing. [engine owner]
    void clearSignalState() noexcept;
    // The settings given so far take effect at once: every beam at its
    // direction without glide, its pattern's filters without crossfade, on
    // or off without ramp (an off beam silent from the next sample). For an
    // owner that has just rebuilt the engine and sent it its settings.
    // [engine owner]
    void applySettingsAtOnce() noexcept;

    // Modes. setOutputMode: 0 modal components, 1 full beams, 2 low band only,
    // 3 high band only. setEqualisationMode: 0 biquads (set A), 1 biquads
    // (set B) then FIR equalisers, 2 none.
    int setOutputMode(int mode) noexcept;
    int setEqualisationMode(int mode);

    // Read access for the plug-in shell.
    [[nodiscard]] int getPatternCount() const noexcept;
    [[nodiscard]] const CQbPattern* getPattern(int index) const noexcept;  // null outside the catalogue
    [[nodiscard]] const CQbPattern* getBeamPattern(int beam) const noexcept;
    [[nodiscard]] int getBeamPatternIndex(int beam) const noexcept;
    [[nodiscard]] int getBeamVariant(int beam) const noexcept;
    [[nodiscard]] int getBeamCount() const noexcept;  // N, 0 until configured
    [[nodiscard]] bool isUsable() const noexcept;     // last configure succeeded
    [[nodiscard]] int latencySamples() const noexcept;
    // The rate the configuration in use runs at; 0 while not usable.
    [[nodiscard]] float getSampleRate() const noexcept;
    // Whether configure accepts streams at this rate (exact match).
    [[nodiscard]] static bool isRateSupported(double sampleRate_hz) noexcept;
    // Calls the front end served with the beams side by side (a statistic).
    [[nodiscard]] std::uint64_t sideBySideCalls() const noexcept;
    // The front end with its stages, for tests and tools that reach a stage
    // directly (null after a failed construction).
    [[nodiscard]] CQuorbix* getFrontEnd() noexcept { return frontEnd; }
    // The default variant of a pattern: the first whose white-noise-gain limit
    // is 0 dB, else the last.
    static int defaultVariant(const CQbPattern& pattern) noexcept;

private:
    [[nodiscard]] bool validBeam(int beam) const noexcept;
    [[nodiscard]] bool running() const noexcept;
    int loadDecompositionMatrix();
    int loadFirEqualisers();
    int loadIirEqualisers(int type);
    int configureChain(const vkAudioInterface& in, const vkAudioInterface& out);
    int selectRate(float sampleRate_hz);

    CQb32Factory* factory = nullptr;            // 44.1 kHz: names, getPattern
    CQb32Factory* rateFactory = nullptr;        // the configured rate's, when not 44.1 kHz
    const CQb32Factory* activeFactory = nullptr;  // the one the beams load from
    const tables::DecompositionRateTables* equalisers = nullptr;  // of the configured rate
    const CQbPattern* beamPattern[maxBeams] = {};
    CQuorbix* frontEnd = nullptr;
    const float* filterTables[4] = {};
    int eqMode = 0;
    int outputMode = 1;
    int beamPatternIndex[maxBeams] = {};
    int beamVariant[maxBeams] = {};
    int patternCount = 0;
    bool constructed = false;  // factory, front end and control table all exist
    bool usable = false;       // the last configure that passed validation succeeded
};

}  // namespace qb32
