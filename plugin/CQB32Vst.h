#pragma once
// CQB32Vst: the plug-in object, one per instance. It owns the beamforming
// engine and the two stream descriptors it hands the engine, the eight program
// records, and the per-beam state the host reads back. It publishes the effect
// record (32 inputs, 8 outputs, 32 parameters, 8 programs, processReplacing,
// uniqueID QB32, an editor, no chunks, initial delay = the engine's
// latency), answers the dispatcher, maps the 32 parameters (index =
// 4 x beam + kind) onto the engine's beams, and runs the engine from the
// audio callback.
//
// Streams: a sample rate or block size the engine already has leaves it
// alone. A new one rebuilds it, and every beam takes the current program at
// once (direction, pattern, on/off from the first sample: no glide,
// crossfade or ramp from the engine's defaults). resume clears the signal
// history when audio has run since it was last cleared, keeping every
// setting. Latency: initialDelay holds the engine's latency from
// construction on and is read again after every successful configure and
// equalisation change; a change is announced with audioMasterIOChanged to a
// host that answers canDo "acceptIOChanges" with 1 (outside every lock, as
// the host may call back).
//
// Editor: the beam map (PluginEditor, editor/). While it is open the audio
// callback copies each block's modal components, the beams' levels and their
// gliding directions into the editor's audio tap (bounded copies, no
// allocation, no lock); while it is closed the callback checks one atomic
// flag. The editor changes parameters only as the host does, through
// setParameter (setParameterAutomated, with begin-edit and end-edit).
//
// Threads: the host may call any entry on any thread. Parameter and program
// changes are stored at once in the program records (atomics; getParameter
// and the display texts, which are worked out from the current program, show
// them before any audio has run) and marked (ParameterQueue). At the start
// of the next block the engine receives each changed parameter once, with
// the current program's value, in the order the latest changes arrived: at
// most 32 changes per block however many the host sent. A value set while
// another thread switches programs lands in the program that was current
// when it was stored; the engine only ever receives the current program's
// values. Reconfiguring host threads are serialised among themselves, and
// when they must change the engine wait for a running callback to end, then
// act on it at once (EngineGate); a callback arriving meanwhile writes
// silence.
//
// Audio: every callback runs with flush-to-zero and denormals-are-zero on,
// every floating-point exception masked and rounding to nearest; the host's
// whole control state (MXCSR on x86, FPCR and FPSR on aarch64) is saved on
// entry and restored exactly on every way out. Blocks longer than the
// engine's configured block are processed in pieces; zero or negative frame
// counts do nothing. While the engine is unusable (its last configure failed
// past validation) the outputs are silent. An output block holding NaN or
// infinity is replaced by silence and the engine's signal state is cleared,
// so non-finite input cannot silence the plug-in for good.
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
#include "editor/AudioTap.h"
#include "plugin/ParameterQueue.h"
#include "plugin/PluginEditor.h"
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
    // The engine's equalisation mode (0..2; not a host parameter): its
    // status. The reported latency follows. [any thread]
    int setEqualisationMode(int mode);

    // Parameters and programs.
    void setParameter(vst::VstInt32 index, float value) override;  // [any thread]
    [[nodiscard]] float getParameter(vst::VstInt32 index) override;  // [any thread]
    void setProgram(vst::VstInt32 program) override;               // [any thread]
    void setProgramName(const char* name) override;                // [any thread]
    void getProgramName(char* text) override;                      // [any thread]
    void getParameterLabel(vst::VstInt32 index, char* text) override;    // [any thread]
    void getParameterDisplay(vst::VstInt32 index, char* text) override;  // [any thread]
    void getParameterName(vst::VstInt32 index, char* text) override;     // [any thread]
    bool getParameterProperties(vst::VstInt32 index,
                                vst::VstParameterProperties* properties) override;  // [any thread]
    [[nodiscard]] bool canParameterBeAutomated(vst::VstInt32 index) override;  // [any thread]
    bool getProgramNameIndexed(vst::VstInt32 category, vst::VstInt32 index,
                               char* text) override;  // [any thread]

    // Editor. [GUI thread]
    bool editGetRect(vst::ERect** rect) override;
    bool editOpen(void* parentWindow) override;
    void editClose() override;
    void editIdle() override;
    [[nodiscard]] PluginEditor& editorSide() noexcept { return editorGlue; }

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
    [[nodiscard]] float getSampleRate() const noexcept { return sessionRate.load(std::memory_order_relaxed); }
    [[nodiscard]] vst::VstInt32 getBlockSize() const noexcept { return blockSize; }
    // The engine, for inspection while no callback runs.
    [[nodiscard]] const CQb32& getEngine() const noexcept { return engine; }

private:
    // The current program's value of a parameter (0 without programs).
    [[nodiscard]] float currentValue(int index) const noexcept;
    // Sends one setting to the engine. [engine owner]
    void applyToEngine(int index, float value) noexcept;
    // Sends all 32 values of the current program. [engine owner]
    void sendCurrentProgram() noexcept;
    // Applies the parameters changed since the last block. [engine owner]
    void applyPendingChanges() noexcept;
    // configure with the descriptors unless the engine has them already;
    // true when the latency moved. [control mutex]
    bool reconfigureIfChanged() noexcept;
    // configure with the descriptors; the program again on success, taking
    // effect at once. [control holder]
    void reconfigure() noexcept;
    // initialDelay = the engine's latency; true when it moved. [control holder]
    bool refreshLatency() noexcept;
    // audioMasterIOChanged, if the host says it accepts it. [no lock held]
    void tellHostLatencyMoved();
    void runEngine(float** inputs, float** outputs, int frames) noexcept;  // [audio thread]
    // Hands one processed piece to the open editor's tap. [audio thread]
    void feedEditor(float* const* outputs, int frames) noexcept;

    CQb32 engine;
    vkAudioInterface inputFormat;
    vkAudioInterface outputFormat;
    int patternCount = 0;
    std::unique_ptr<ProgramRecord[]> programs;  // programCount records; null if they could not be made

    EngineGate gate;
    // One reconfiguring host thread at a time (never taken by the audio thread).
    ControlMutex controlMutex;
    ParameterQueue pendingChanges;
    std::atomic<bool> signalSinceClear{false};  // audio has run since the last clear
    // The host's latest valid rate, for the audio thread and the editor (the
    // frame's own field is written by reconfiguring threads only).
    std::atomic<float> sessionRate{CQb32::sampleRateHz};

    editor::AudioTap editorTap;
    PluginEditor editorGlue{*this, editorTap};
};

}  // namespace qb32
