#pragma once
// CQB32Vst: the plug-in object, one per instance. It owns the beamforming
// engine and the two stream descriptors it hands the engine, the eight program
// records, and the per-beam state the host reads back. It publishes the effect
// record (32 inputs, 8 outputs, 32 parameters, 8 programs, processReplacing,
// uniqueID QB32, no editor, no chunks, initial delay 0), answers the
// dispatcher, maps the 32 parameters (index = 4 x beam + kind) onto the
// engine's beams, and runs the engine from the audio callback.
//
// Threads: the host may call any entry on any thread. Parameter and program
// changes are stored at once (records and per-beam state are atomics, so
// getParameter and the display texts show them before any audio has run) and
// queued; the engine receives them in arrival order between two callbacks,
// at the start of the next block. When the queue overflows, the next block
// resends the whole current program instead. Sample-rate and block-size
// changes and resume wait for a running callback to end, then act on the
// engine at once (EngineGate); a callback arriving meanwhile writes silence.
//
// Audio: every callback runs with flush-to-zero and denormals-are-zero on
// (flush-to-zero and the underflow mask are restored on return;
// denormals-are-zero stays on). Blocks longer than the engine's configured
// block are processed in pieces; zero or negative frame counts do nothing.
// While the engine is unusable (its last configure failed past validation)
// the outputs are silent. An output block holding NaN or infinity is replaced
// by silence and the engine's signal state is cleared, so non-finite input
// cannot silence the plug-in for good.
//
// Refused settings: non-finite, zero or negative sample rates, and block sizes
// outside 1..maxBlockSize_samples leave the engine as it is. A positive rate
// the engine has no tables for (CQb32::isRateSupported: 44.1, 48, 88.2, 96,
// 176.4 and 192 kHz are) is taken as the session's rate, the engine refuses
// it and keeps its configuration, and the callback writes silence until a
// supported rate arrives: never filters designed for another rate. Parameter values
// are limited to 0..1 (NaN reads as 0) before they are stored or mapped.
// Without memory for its program records an instance is incomplete, and the
// entry point answers null rather than hand it to the host.
//
// Real time: processReplacing, setParameter, getParameter, setProgram and the
// text operations allocate nothing, take no lock and never throw. Only
// construction and the reconfiguring operations allocate (inside the engine).

#include <atomic>
#include <memory>

#include "engine/CQb32.h"
#include "framework/vkAudioInterface.h"
#include "plugin/EngineGate.h"
#include "plugin/ParameterQueue.h"
#include "plugin/Parameters.h"
#include "plugin/vst/AudioEffectX.h"

namespace qb32 {

class CQB32Vst final : public vst::AudioEffectX {
public:
    static constexpr int inputCount = CQb32::inputChannels;
    static constexpr int outputCount = beamCount;
    static constexpr int constructionBlock_samples = 512;
    static constexpr int maxBlockSize_samples = 65536;

    explicit CQB32Vst(vst::HostCallback host) noexcept;
    ~CQB32Vst() override;

    // The entry point's work: asks the host's VST version (null host or answer
    // 0: no instance), creates the instance and answers its effect record, or
    // null when anything could not be created.
    static vst::AEffect* createInstance(vst::HostCallback host) noexcept;

    // False when the program records could not be created; such an instance
    // must not be handed to a host.
    [[nodiscard]] bool isComplete() const noexcept { return programs != nullptr; }

    // Audio callback and stream configuration.
    void processReplacing(float** inputs, float** outputs, vst::VstInt32 frames) noexcept override;  // [audio thread]
    void setSampleRate(float rate) override;           // [any thread]
    void setBlockSize(vst::VstInt32 frames) override;  // [any thread]
    void resume() override;                            // [any thread]

    // Parameters and programs.
    void setParameter(vst::VstInt32 index, float value) override;  // [any thread]
    [[nodiscard]] float getParameter(vst::VstInt32 index) override;  // [any thread]
    void setProgram(vst::VstInt32 program) override;               // [any thread]
    void setProgramName(const char* name) override;                // [any thread]
    void getProgramName(char* text) override;                      // [any thread]
    void getParameterLabel(vst::VstInt32 index, char* text) override;    // [any thread]
    void getParameterDisplay(vst::VstInt32 index, char* text) override;  // [any thread]
    void getParameterName(vst::VstInt32 index, char* text) override;     // [any thread]
    [[nodiscard]] bool canParameterBeAutomated(vst::VstInt32 index) override;  // [any thread]
    bool getProgramNameIndexed(vst::VstInt32 category, vst::VstInt32 index,
                               char* text) override;  // [any thread]

    // Identity: constants only. [any thread]
    bool getEffectName(char* text) override;
    bool getVendorString(char* text) override;
    bool getProductString(char* text) override;
    [[nodiscard]] vst::VstInt32 getVendorVersion() override { return 1; }
    [[nodiscard]] vst::VstInt32 getPlugCategory() override { return vst::kPlugCategEffect; }

    // Read access for tests and benchmarks. [any thread]
    [[nodiscard]] float getElevationDegrees(int beam) const noexcept;
    [[nodiscard]] float getAzimuthDegrees(int beam) const noexcept;
    [[nodiscard]] int getPatternIndex(int beam) const noexcept;
    [[nodiscard]] bool isBeamOn(int beam) const noexcept;
    [[nodiscard]] float getSampleRate() const noexcept { return sampleRate; }
    [[nodiscard]] vst::VstInt32 getBlockSize() const noexcept { return blockSize; }
    // The engine, for inspection while no callback runs.
    [[nodiscard]] const CQb32& getEngine() const noexcept { return engine; }

private:
    // Updates the per-beam state the host reads back.
    void showSetting(int index, float value) noexcept;
    // Sends one setting to the engine. [engine owner]
    void applyToEngine(int index, float value) noexcept;
    // Sends all 32 values of the current program. [engine owner]
    void sendCurrentProgram() noexcept;
    // Applies queued changes, or the whole program after an overflow. [engine owner]
    void applyPendingChanges() noexcept;
    void enqueue(int index, float value) noexcept;
    // configure with the descriptors; the program again on success. [control holder]
    void reconfigure() noexcept;
    void runEngine(float** inputs, float** outputs, int frames) noexcept;  // [audio thread]

    CQb32 engine;
    vkAudioInterface inputFormat;
    vkAudioInterface outputFormat;
    std::atomic<bool> beamOn[beamCount];
    std::atomic<float> elevationDegrees[beamCount];
    std::atomic<float> azimuthDegrees[beamCount];
    std::atomic<int> patternIndex[beamCount];
    int patternCount = 0;
    std::unique_ptr<ProgramRecord[]> programs;  // programCount records; null if they could not be made

    EngineGate gate;
    ParameterQueue pendingChanges;
    std::atomic<bool> resendProgram{false};
};

}  // namespace qb32
