#include "plugin/CQB32Vst.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>

#include "framework/Primitives.h"
#include "patterns/CQbPattern.h"

namespace qb32 {

namespace {

constexpr const char* effectName = "Quorbix ";
constexpr const char* vendorString = "Vantakor LLC";
constexpr const char* productString = "Quorbix QB32";
constexpr vst::VstInt32 uniqueId = vst::fourCharCode('Q', 'B', '3', '2');
constexpr float constructionRate_hz = CQb32::sampleRateHz;

// The one floating-point-mode guard of the audio path: flush-to-zero and
// denormals-are-zero (every exception masked, round to nearest) for the whole
// callback, so no filter ever computes with denormal numbers and the output
// does not depend on the host's mode; the host's own control state comes back
// exactly on every way out.
class FloatingPointModeScope {
public:
    FloatingPointModeScope() noexcept : saved(fpuEnterAudioMode()) {}
    ~FloatingPointModeScope() { fpuRestoreMode(saved); }
    FloatingPointModeScope(const FloatingPointModeScope&) = delete;
    FloatingPointModeScope& operator=(const FloatingPointModeScope&) = delete;

private:
    FpuSavedMode saved;
};

void writeSilence(float* const* outputs, int channels, int offset, int frames) noexcept {
    for (int c = 0; c < channels; ++c)
        if (outputs[c] != nullptr)
            std::memset(outputs[c] + offset, 0, static_cast<std::size_t>(frames) * sizeof(float));
}

// True when any sample is NaN or infinite (all exponent bits set). Written on
// the bit patterns so that the compiler vectorises it.
bool holdsNonFinite(const float* samples, int frames) noexcept {
    constexpr std::uint32_t exponentBits = 0x7f800000u;
    std::uint32_t found = 0;
    for (int i = 0; i < frames; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, samples + i, sizeof bits);
        found |= static_cast<std::uint32_t>((bits & exponentBits) == exponentBits);
    }
    return found != 0;
}

template <typename Pointer>
bool allPresent(Pointer* const* channels, int count) noexcept {
    for (int c = 0; c < count; ++c)
        if (channels[c] == nullptr) return false;
    return true;
}

}  // namespace

vst::AEffect* CQB32Vst::createInstance(vst::HostCallback host) noexcept {
    // A host that cannot tell its version is too old to be served.
    if (host == nullptr || host(nullptr, vst::audioMasterVersion, 0, 0, nullptr, 0.0f) == 0)
        return nullptr;
    auto* instance = new (std::nothrow) CQB32Vst(host);
    if (instance == nullptr) return nullptr;
    if (!instance->isComplete()) {
        delete instance;
        return nullptr;
    }
    return instance->getAeffect();
}

CQB32Vst::CQB32Vst(vst::HostCallback host) noexcept
    : AudioEffectX(host, qb32::programCount, qb32::parameterCount) {
    inputFormat = timeDomainStream(inputCount, constructionRate_hz, constructionBlock_samples);
    outputFormat = inputFormat;
    outputFormat.channels = outputCount;
    // Equalisation mode 0 and output mode 1 are the engine's own defaults;
    // they are set again only on an engine that configured, as an engine left
    // unusable by a failed configure has no stages to set them on.
    if (engine.configure(inputFormat, outputFormat) == 0) {
        engine.setEqualisationMode(0);
        engine.setOutputMode(1);
    }
    patternCount = engine.getPatternCount();

    programs.reset(new (std::nothrow) ProgramRecord[qb32::programCount]);
    if (programs != nullptr) {
        setProgram(0);
        // Nothing else can reach the instance yet: hand the program over now.
        applyPendingChanges();
        engine.applySettingsAtOnce();
    }
    setNumInputs(inputCount);
    setNumOutputs(outputCount);
    setUniqueID(uniqueId);
    setHasEditor(true);
    // The delay is in the record before the host first reads it; nothing has
    // played yet, so the resume of the interface has nothing to clear.
    refreshLatency();
}

CQB32Vst::~CQB32Vst() = default;

// ---- audio -------------------------------------------------------------------

void CQB32Vst::processReplacing(float** inputs, float** outputs, vst::VstInt32 frames) noexcept {
    if (frames <= 0 || outputs == nullptr) return;
    FloatingPointModeScope floatingPointMode;
    if (inputs == nullptr || !allPresent(inputs, inputCount) || !allPresent(outputs, outputCount)) {
        writeSilence(outputs, outputCount, 0, frames);
        return;
    }
    // A reconfiguration holds or is about to take the engine: stay out of its way.
    if (!gate.tryEnterAudio()) {
        writeSilence(outputs, outputCount, 0, frames);
        return;
    }
    applyPendingChanges();
    signalSinceClear.store(true, std::memory_order_relaxed);
    // An engine built for another rate than the session's (the session's is
    // not supported) must not be heard: silence until a supported rate comes.
    if (engine.isUsable() && engine.getSampleRate() == sessionRate.load(std::memory_order_relaxed))
        runEngine(inputs, outputs, frames);
    else
        writeSilence(outputs, outputCount, 0, frames);
    gate.leaveAudio();
}

void CQB32Vst::runEngine(float** inputs, float** outputs, int frames) noexcept {
    // The engine never takes more than the block it was configured for.
    const int piece = engine.inputFormat().frameCount();
    if (piece <= 0) {
        writeSilence(outputs, outputCount, 0, frames);
        return;
    }
    const float* in[inputCount];
    float* out[outputCount];
    for (int offset = 0; offset < frames; offset += piece) {
        const int n = frames - offset < piece ? frames - offset : piece;
        for (int c = 0; c < inputCount; ++c) in[c] = inputs[c] + offset;
        for (int c = 0; c < outputCount; ++c) out[c] = outputs[c] + offset;
        engine.process(in, out, n);
        bool nonFinite = false;
        for (int c = 0; c < outputCount && !nonFinite; ++c) nonFinite = holdsNonFinite(out[c], n);
        if (nonFinite) {
            // NaN or infinity got into the filters; without a clear it would
            // circulate in their histories for good.
            writeSilence(out, outputCount, 0, n);
            engine.clearSignalState();
        }
        feedEditor(out, n);
    }
}

void CQB32Vst::feedEditor(float* const* outputs, int frames) noexcept {
    if (!editorTap.isOpen()) return;
    int elevations[outputCount];
    int azimuths[outputCount];
    for (int b = 0; b < outputCount; ++b) {
        elevations[b] = engine.getCurrentElevation(b);
        azimuths[b] = engine.getCurrentAzimuth(b);
    }
    editorTap.capture(engine.modalComponentData(), outputs, outputCount, elevations, azimuths, frames,
                       sessionRate.load(std::memory_order_relaxed));
}

void CQB32Vst::setSampleRate(float rate) {
    if (!std::isfinite(rate) || rate <= 0.0f) return;
    bool latencyMoved = false;
    {
        ControlMutexScope serialised(controlMutex);
        sampleRate = rate;
        sessionRate.store(rate, std::memory_order_relaxed);
        inputFormat.sampleRate = rate;
        inputFormat.blockLength = inputFormat.frameCount();
        outputFormat.sampleRate = rate;
        outputFormat.blockLength = inputFormat.frameCount();
        latencyMoved = reconfigureIfChanged();
    }
    if (latencyMoved) tellHostLatencyMoved();
}

void CQB32Vst::setBlockSize(vst::VstInt32 frames) {
    if (frames <= 0 || frames > maxBlockSize_samples) return;
    bool latencyMoved = false;
    {
        ControlMutexScope serialised(controlMutex);
        blockSize = frames;
        inputFormat.blockLength = frames;
        outputFormat.blockLength = frames;
        latencyMoved = reconfigureIfChanged();
    }
    if (latencyMoved) tellHostLatencyMoved();
}

int CQB32Vst::setEqualisationMode(int mode) {
    int result = 0;
    bool latencyMoved = false;
    {
        ControlMutexScope serialised(controlMutex);
        ControlScope hold(gate);
        result = engine.setEqualisationMode(mode);
        latencyMoved = refreshLatency();
    }
    if (latencyMoved) tellHostLatencyMoved();
    return result;
}

// Clears the signal history (a seek then plays no stale tail) when audio has
// run since it was last cleared; every setting stays.
void CQB32Vst::resume() {
    ControlMutexScope serialised(controlMutex);
    if (!signalSinceClear.load(std::memory_order_acquire)) return;
    ControlScope hold(gate);
    engine.clearSignalState();
    signalSinceClear.store(false, std::memory_order_release);
}

bool CQB32Vst::reconfigureIfChanged() noexcept {
    // The host repeats its settings (at transport start, after a settings
    // page): an engine already built for these streams is left alone.
    if (engine.isUsable() && inputFormat.matches(engine.inputFormat()) &&
        outputFormat.matches(engine.outputFormat()))
        return false;
    ControlScope hold(gate);
    reconfigure();
    return refreshLatency();
}

void CQB32Vst::reconfigure() noexcept {
    if (engine.configure(inputFormat, outputFormat) != 0) return;
    signalSinceClear.store(false, std::memory_order_release);
    // configure put every beam back to its defaults; the records hold every
    // change so far, so the program alone brings the engine up to date, and
    // every beam takes it from the first sample.
    pendingChanges.takeAll();
    sendCurrentProgram();
    engine.applySettingsAtOnce();
}

bool CQB32Vst::refreshLatency() noexcept {
    if (!engine.isUsable()) return false;
    std::atomic_ref<vst::VstInt32> reported(effectRecord.initialDelay);
    const vst::VstInt32 latency = engine.latencySamples();
    if (reported.load(std::memory_order_relaxed) == latency) return false;
    reported.store(latency, std::memory_order_relaxed);
    return true;
}

void CQB32Vst::tellHostLatencyMoved() {
    if (hostCallback == nullptr) return;
    static constexpr char acceptIOChanges[] = "acceptIOChanges";
    if (hostCallback(getAeffect(), vst::audioMasterCanDo, 0, 0, const_cast<char*>(acceptIOChanges), 0.0f) == 1)
        hostCallback(getAeffect(), vst::audioMasterIOChanged, 0, 0, nullptr, 0.0f);
}

// ---- parameters --------------------------------------------------------------

void CQB32Vst::setParameter(vst::VstInt32 index, float value) {
    if (programs == nullptr || !isParameterIndex(index)) return;
    programs[currentProgram.load(std::memory_order_acquire)].value(index).store(
        sanitiseParameterValue(value), std::memory_order_relaxed);
    pendingChanges.mark(index);
}

float CQB32Vst::getParameter(vst::VstInt32 index) {
    return isParameterIndex(index) ? currentValue(index) : 0.0f;
}

float CQB32Vst::currentValue(int index) const noexcept {
    if (programs == nullptr) return 0.0f;
    return programs[currentProgram.load(std::memory_order_acquire)].get(index);
}

void CQB32Vst::applyToEngine(int index, float value) noexcept {
    const int beam = beamOf(index);
    // After a failed configure the engine may have fewer beams (or none).
    if (!engine.isUsable() || beam >= engine.getBeamCount()) return;
    switch (kindOf(index)) {
    case elevationKind: engine.setElevation(beam, elevationDegreesFor(value)); break;
    case azimuthKind: engine.setAzimuth(beam, azimuthDegreesFor(value)); break;
    case patternKind: {
        const int pattern = patternIndexFor(value, patternCount);
        // The pattern the beam has already: a reload would only crossfade the
        // beam into itself (a program selected again, a repeated value).
        if (engine.getBeamPatternIndex(beam) == pattern && engine.getBeamPattern(beam) != nullptr) break;
        if (engine.setPattern(beam, pattern) == 0)
            if (const CQbPattern* loaded = engine.getBeamPattern(beam))
                engine.loadPatternVariant(beam, CQb32::defaultVariant(*loaded));
        break;
    }
    case statusKind: engine.setBeamActive(beam, statusFor(value)); break;
    }
}

void CQB32Vst::applyPendingChanges() noexcept {
    int changed[qb32::parameterCount];
    const int count = pendingChanges.take(changed);
    for (int k = 0; k < count; ++k) applyToEngine(changed[k], currentValue(changed[k]));
}

void CQB32Vst::sendCurrentProgram() noexcept {
    if (programs == nullptr) return;
    for (int index = 0; index < parameterCount; ++index) applyToEngine(index, currentValue(index));
}

// ---- programs ----------------------------------------------------------------

void CQB32Vst::setProgram(vst::VstInt32 program) {
    if (programs == nullptr || program < 0 || program >= programCount) return;
    currentProgram.store(program, std::memory_order_release);
    // Marked after the switch: whoever sees a mark reads the new program.
    for (int index = 0; index < parameterCount; ++index) pendingChanges.mark(index);
}

void CQB32Vst::setProgramName(const char* name) {
    if (programs != nullptr) programs[currentProgram.load(std::memory_order_acquire)].setName(name);
}

void CQB32Vst::getProgramName(char* text) {
    if (programs == nullptr) {
        vst::writeText(text, vst::maxProgramNameBytes, "");
        return;
    }
    const int program = currentProgram.load(std::memory_order_acquire);
    writeProgramName(programs[program], program, text);
}

bool CQB32Vst::getProgramNameIndexed(vst::VstInt32, vst::VstInt32 index, char* text) {
    if (programs == nullptr || index < 0 || index >= programCount) return false;
    writeProgramName(programs[index], index, text);
    return true;
}

// ---- texts -------------------------------------------------------------------

void CQB32Vst::getParameterName(vst::VstInt32 index, char* text) {
    writeParameterName(index, text);
}

bool CQB32Vst::getParameterProperties(vst::VstInt32 index, vst::VstParameterProperties* properties) {
    return properties != nullptr && writeParameterProperties(index, patternCount, *properties);
}

void CQB32Vst::getParameterLabel(vst::VstInt32 index, char* text) {
    writeParameterLabel(index, text);
}

void CQB32Vst::getParameterDisplay(vst::VstInt32 index, char* text) {
    if (!isParameterIndex(index)) {
        vst::writeText(text, vst::maxParameterTextBytes, "");
        return;
    }
    const int beam = beamOf(index);
    switch (kindOf(index)) {
    case elevationKind: writeDegrees(getElevationDegrees(beam), text); break;
    case azimuthKind: writeDegrees(getAzimuthDegrees(beam), text); break;
    case patternKind: {
        // Patterns are immutable for the engine's life: any thread may read them.
        const CQbPattern* pattern = engine.getPattern(getPatternIndex(beam));
        vst::writeText(text, vst::maxParameterTextBytes, pattern != nullptr ? pattern->name : "");
        break;
    }
    case statusKind: vst::writeText(text, vst::maxParameterTextBytes, isBeamOn(beam) ? "on" : "off");
    }
}

bool CQB32Vst::canParameterBeAutomated(vst::VstInt32 index) { return isParameterIndex(index); }

bool CQB32Vst::getEffectName(char* text) {
    vst::writeText(text, vst::maxEffectNameBytes, effectName);
    return true;
}

bool CQB32Vst::getVendorString(char* text) {
    vst::writeText(text, vst::maxVendorStringBytes, vendorString);
    return true;
}

bool CQB32Vst::getProductString(char* text) {
    vst::writeText(text, vst::maxProductStringBytes, productString);
    return true;
}

// ---- editor ------------------------------------------------------------------

bool CQB32Vst::editGetRect(vst::ERect** rect) { return editorGlue.getRect(rect); }
bool CQB32Vst::editOpen(void* parentWindow) { return editorGlue.open(parentWindow); }
void CQB32Vst::editClose() { editorGlue.close(); }
void CQB32Vst::editIdle() { editorGlue.idle(); }

// ---- per-beam state ------------------------------------------------------------

float CQB32Vst::getElevationDegrees(int beam) const noexcept {
    return beam >= 0 && beam < beamCount ? elevationDegreesFor(currentValue(4 * beam + elevationKind))
                                         : 0.0f;
}
float CQB32Vst::getAzimuthDegrees(int beam) const noexcept {
    return beam >= 0 && beam < beamCount ? azimuthDegreesFor(currentValue(4 * beam + azimuthKind)) : 0.0f;
}
int CQB32Vst::getPatternIndex(int beam) const noexcept {
    return beam >= 0 && beam < beamCount ? patternIndexFor(currentValue(4 * beam + patternKind), patternCount)
                                         : 0;
}
bool CQB32Vst::isBeamOn(int beam) const noexcept {
    return beam >= 0 && beam < beamCount && statusFor(currentValue(4 * beam + statusKind));
}

}  // namespace qb32
