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
// denormals-are-zero for the whole callback, so no filter ever computes with
// denormal numbers; on return flush-to-zero goes off and the underflow mask
// is restored (denormals-are-zero stays on).
class FloatingPointModeScope {
public:
    FloatingPointModeScope() noexcept {
        fpuSetFlushToZero(1, &savedUnderflowMask);
        fpuSetDenormalsAreZero(1);
    }
    ~FloatingPointModeScope() { fpuSetFlushToZero(0, &savedUnderflowMask); }
    FloatingPointModeScope(const FloatingPointModeScope&) = delete;
    FloatingPointModeScope& operator=(const FloatingPointModeScope&) = delete;

private:
    unsigned savedUnderflowMask = 0;
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
    for (int beam = 0; beam < beamCount; ++beam) {
        beamOn[beam].store(true, std::memory_order_relaxed);
        elevationDegrees[beam].store(90.0f, std::memory_order_relaxed);
        azimuthDegrees[beam].store(0.0f, std::memory_order_relaxed);
        patternIndex[beam].store(0, std::memory_order_relaxed);
    }
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
    }
    setNumInputs(inputCount);
    setNumOutputs(outputCount);
    setUniqueID(uniqueId);
    resume();
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
    // An engine built for another rate than the session's (the session's is
    // not supported) must not be heard: silence until a supported rate comes.
    if (engine.isUsable() && engine.getSampleRate() == sampleRate)
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
    }
}

void CQB32Vst::setSampleRate(float rate) {
    if (!std::isfinite(rate) || rate <= 0.0f) return;
    ControlScope hold(gate);
    sampleRate = rate;
    inputFormat.sampleRate = rate;
    inputFormat.blockLength = inputFormat.frameCount();
    outputFormat.sampleRate = rate;
    outputFormat.blockLength = inputFormat.frameCount();
    reconfigure();
}

void CQB32Vst::setBlockSize(vst::VstInt32 frames) {
    if (frames <= 0 || frames > maxBlockSize_samples) return;
    ControlScope hold(gate);
    blockSize = frames;
    inputFormat.blockLength = frames;
    outputFormat.blockLength = frames;
    reconfigure();
}

void CQB32Vst::resume() {
    ControlScope hold(gate);
    if (engine.isUsable()) engine.reset();
}

void CQB32Vst::reconfigure() noexcept {
    if (engine.configure(inputFormat, outputFormat) != 0) return;
    // configure put every beam back to its defaults; the records hold every
    // queued change already, so the program alone brings the engine up to date.
    ParameterChange stale;
    while (pendingChanges.pop(stale)) {
    }
    resendProgram.store(false, std::memory_order_relaxed);
    sendCurrentProgram();
}

// ---- parameters --------------------------------------------------------------

void CQB32Vst::setParameter(vst::VstInt32 index, float value) {
    if (programs == nullptr || !isParameterIndex(index)) return;
    const float v = sanitiseParameterValue(value);
    programs[currentProgram.load(std::memory_order_acquire)].value(index).store(
        v, std::memory_order_relaxed);
    showSetting(index, v);
    enqueue(index, v);
}

float CQB32Vst::getParameter(vst::VstInt32 index) {
    if (programs == nullptr || !isParameterIndex(index)) return 0.0f;
    return programs[currentProgram.load(std::memory_order_acquire)].get(index);
}

void CQB32Vst::showSetting(int index, float value) noexcept {
    const int beam = beamOf(index);
    switch (kindOf(index)) {
    case elevationKind:
        elevationDegrees[beam].store(elevationDegreesFor(value), std::memory_order_relaxed);
        break;
    case azimuthKind:
        azimuthDegrees[beam].store(azimuthDegreesFor(value), std::memory_order_relaxed);
        break;
    case patternKind:
        patternIndex[beam].store(patternIndexFor(value, patternCount), std::memory_order_relaxed);
        break;
    case statusKind: beamOn[beam].store(statusFor(value), std::memory_order_relaxed); break;
    }
}

void CQB32Vst::enqueue(int index, float value) noexcept {
    if (!pendingChanges.push(ParameterChange{index, value}))
        resendProgram.store(true, std::memory_order_release);
}

void CQB32Vst::applyToEngine(int index, float value) noexcept {
    const int beam = beamOf(index);
    // After a failed configure the engine may have fewer beams (or none).
    if (!engine.isUsable() || beam >= engine.getBeamCount()) return;
    switch (kindOf(index)) {
    case elevationKind: engine.setElevation(beam, elevationDegreesFor(value)); break;
    case azimuthKind: engine.setAzimuth(beam, azimuthDegreesFor(value)); break;
    case patternKind:
        if (engine.setPattern(beam, patternIndexFor(value, patternCount)) == 0)
            if (const CQbPattern* pattern = engine.getBeamPattern(beam))
                engine.loadPatternVariant(beam, CQb32::defaultVariant(*pattern));
        break;
    case statusKind: engine.setBeamActive(beam, statusFor(value)); break;
    }
}

void CQB32Vst::applyPendingChanges() noexcept {
    ParameterChange change;
    // Bounded, so that producers pushing without pause cannot hold the block up.
    for (std::size_t n = 0; n < ParameterQueue::capacity && pendingChanges.pop(change); ++n)
        applyToEngine(change.index, change.value);
    if (resendProgram.exchange(false, std::memory_order_acq_rel)) sendCurrentProgram();
}

void CQB32Vst::sendCurrentProgram() noexcept {
    if (programs == nullptr) return;
    const ProgramRecord& program = programs[currentProgram.load(std::memory_order_acquire)];
    for (int index = 0; index < parameterCount; ++index) applyToEngine(index, program.get(index));
}

// ---- programs ----------------------------------------------------------------

void CQB32Vst::setProgram(vst::VstInt32 program) {
    if (programs == nullptr || program < 0 || program >= programCount) return;
    currentProgram.store(program, std::memory_order_release);
    const ProgramRecord& record = programs[program];
    for (int index = 0; index < parameterCount; ++index) {
        const float v = record.get(index);
        showSetting(index, v);
        enqueue(index, v);
    }
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

// ---- per-beam state ------------------------------------------------------------

float CQB32Vst::getElevationDegrees(int beam) const noexcept {
    return beam >= 0 && beam < beamCount ? elevationDegrees[beam].load(std::memory_order_relaxed)
                                         : 0.0f;
}
float CQB32Vst::getAzimuthDegrees(int beam) const noexcept {
    return beam >= 0 && beam < beamCount ? azimuthDegrees[beam].load(std::memory_order_relaxed)
                                         : 0.0f;
}
int CQB32Vst::getPatternIndex(int beam) const noexcept {
    return beam >= 0 && beam < beamCount ? patternIndex[beam].load(std::memory_order_relaxed) : 0;
}
bool CQB32Vst::isBeamOn(int beam) const noexcept {
    return beam >= 0 && beam < beamCount && beamOn[beam].load(std::memory_order_relaxed);
}

}  // namespace qb32
