#include "engine/CQb32.h"

#include <new>

#include "engine/CQuorbix.h"
#include "engine/tables/DecompositionTables.h"
#include "framework/Primitives.h"
#include "framework/SampleRates.h"
#include "patterns/CQb32Factory.h"
#include "patterns/CQbPattern.h"

namespace qb32 {

namespace {

constexpr int modalComponents = tables::modalComponentCount;

const ControlDeclaration engineControls[] = {
    {"theta", 1, valueType::int32},
    {"phi", 1, valueType::int32},
    {"pattern", 1, valueType::int32},
};

}  // namespace

CQb32::CQb32() noexcept {
    tag = engineTag;
    const int declared = declareControls(engineControls, 3);
    factory = new (std::nothrow) CQb32Factory;
    patternCount = factory != nullptr ? factory->patternCount : 0;
    activeFactory = factory;
    equalisers = tables::decompositionTablesForRate(sampleRateHz);
    frontEnd = new (std::nothrow) CQuorbix;
    constructed = declared == status::ok && factory != nullptr && patternCount > 0 &&
                  frontEnd != nullptr && frontEnd->hasDecomposition();
}

CQb32::~CQb32() {
    delete frontEnd;
    delete rateFactory;
    delete factory;
}

bool CQb32::isRateSupported(double sampleRate_hz) noexcept { return sampleRates::isSupported(sampleRate_hz); }

float CQb32::getSampleRate() const noexcept { return usable ? input.sampleRate : 0.0f; }

bool CQb32::validBeam(int beam) const noexcept {
    return usable && beam >= 0 && beam < output.channels;
}

bool CQb32::running() const noexcept { return frontEnd != nullptr && frontEnd->isActive(); }

// ---- configuration -------------------------------------------------------------

int CQb32::configure(const vkAudioInterface& in, const vkAudioInterface& out) {
    if (running()) return status::blockActive;
    if (in.domain != vkAudioInterface::timeDomain || !in.formatFlag ||
        !isRateSupported(in.sampleRate) || in.channels != inputChannels)
        return status::unsupportedStream;
    if (out.domain != vkAudioInterface::timeDomain || !out.formatFlag ||
        out.sampleRate != in.sampleRate || out.channels < 1 || out.channels > maxBeams)
        return status::unsupportedStream;
    if (in.frameCount() != out.frameCount()) return status::unsupportedStream;
    // Past validation the chain is rebuilt: until that succeeds, process
    // writes silence instead of touching a half-built chain.
    usable = false;
    if (!constructed) return status::allocationFailed;
    if (int s = selectRate(in.sampleRate)) return s;
    const int s = configureChain(in, out);
    usable = s == status::ok;
    return s;
}

// The pattern factory and the equalisers of the rate; a factory for another
// rate than 44.1 kHz is made here (and kept while the rate stays).
int CQb32::selectRate(float sampleRate_hz) {
    equalisers = tables::decompositionTablesForRate(sampleRate_hz);
    if (equalisers == nullptr) return status::unsupportedStream;
    if (sampleRate_hz == sampleRateHz) {
        activeFactory = factory;
        return status::ok;
    }
    if (rateFactory == nullptr || rateFactory->patternCount == 0 ||
        rateFactory->pattern(0)->designSampleRate != sampleRate_hz) {
        activeFactory = nullptr;
        delete rateFactory;
        rateFactory = new (std::nothrow) CQb32Factory(sampleRate_hz);
        if (rateFactory == nullptr || rateFactory->patternCount != patternCount) return status::allocationFailed;
    }
    activeFactory = rateFactory;
    return status::ok;
}

int CQb32::configureChain(const vkAudioInterface& in, const vkAudioInterface& out) {
    vkAudioClass::configure(in, out);
    const int beams = out.channels;
    for (int i = 0; i < maxBeams; ++i) {
        beamPattern[i] = nullptr;
        beamPatternIndex[i] = 0;
        beamVariant[i] = 0;
    }
    if (int s = frontEnd->configure(in, out)) return s;
    if (int s = frontEnd->configureModalComponents(modalComponents)) return s;
    if (int s = loadDecompositionMatrix()) return s;
    if (int s = loadFirEqualisers()) return s;
    if (int s = loadIirEqualisers(eqMode)) return s;
    if (running()) return status::blockActive;
    frontEnd->getDecomposition().resetNormalisation();
    if (int s = setEqualisationMode(eqMode)) return s;
    const CQb32Factory& f = *activeFactory;
    if (int s = frontEnd->setModalLatency(static_cast<float>((f.maxModalFilterLength - 1) >> 1))) return s;
    if (int s = frontEnd->setCrossoverLatency(static_cast<float>((f.maxCrossoverLength - 1) >> 1))) return s;
    if (int s = frontEnd->setPostFilterLatency(static_cast<float>((f.maxPostFilterLength - 1) >> 1))) return s;
    if (running()) return status::blockActive;
    // Every beam's latency is the same time at every rate; the output delay
    // fills each beam up to it.
    const int rate_hz = static_cast<int>(in.sampleRate);
    frontEnd->setTotalLatency(static_cast<float>(sampleRates::scaledSamples(referenceLatency_samples, rate_hz)));
    frontEnd->resizeOutputDelays();
    // The beam operations below check `usable`; the chain is complete now.
    usable = true;
    if (int s = setOutputMode(outputMode)) return s;
    for (int i = 0; i < beams; ++i) {
        frontEnd->setBeamActive(i, true, true);
        const int elevation = 90, azimuth = 0, pattern0 = 0;
        setControl(i, theta, &elevation, 1, valueType::int32);
        setControl(i, phi, &azimuth, 1, valueType::int32);
        setControl(i, pattern, &pattern0, 1, valueType::int32);
    }
    return status::ok;
}

int CQb32::loadDecompositionMatrix() {
    const float* rows[modalComponents];
    for (int k = 0; k < modalComponents; ++k) rows[k] = tables::decompositionMatrix[k];
    return frontEnd->setDecompositionMatrix(rows);
}

int CQb32::loadFirEqualisers() {
    if (running()) return status::blockActive;
    frontEnd->resizeHighBandDelays();
    return frontEnd->getDecomposition().setFirEqualisers(equalisers->firEqualisers, equalisers->firEqualiserLengths);
}

int CQb32::loadIirEqualisers(int type) {
    const double* const* taps = nullptr;
    const std::int32_t* sections = nullptr;
    if (type == 0) {
        taps = equalisers->biquadSetA;
        sections = equalisers->biquadSetASections;
    } else if (type == 1) {
        taps = equalisers->biquadSetB;
        sections = equalisers->biquadSetBSections;
    } else if (type == 2) {
        return frontEnd->setEqMode(2);
    } else {
        return badEqualisationType;
    }
    if (!running())
        if (int s = frontEnd->getDecomposition().setBiquadEqualisers(taps, sections)) return s;
    return frontEnd->setEqMode(type);
}

// The mode is recorded before any check: a refused mode is what the next
// configure re-applies (and fails on) until a valid one is set.
int CQb32::setEqualisationMode(int mode) {
    eqMode = mode;
    if (!constructed) return status::allocationFailed;
    if (int s = frontEnd->setEqMode(mode)) return s;
    return loadIirEqualisers(mode);
}

int CQb32::setOutputMode(int mode) noexcept {
    outputMode = mode;
    if (!constructed) return status::allocationFailed;
    if (frontEnd->getOutputMode() == 3 && mode != 3) {
        // Leaving the high-band-only mode: every high-band stage starts again
        // from its beam's region in the mode its pattern asks for.
        int combined = 0;
        for (int i = 0; i < frontEnd->getBeamCount(); ++i)
            if (CQbHf* hf = frontEnd->highBandStage(i))
                combined |= hf->setMode(beamPattern[i] != nullptr ? beamPattern[i]->hfMode : 0);
        if (combined != 0) return combined;
    }
    if (static_cast<unsigned>(mode) > 3u) return badOutputMode;
    frontEnd->setOutputMode(mode);
    return status::ok;
}

// ---- processing -------------------------------------------------------------------

int CQb32::process(const float* const* in, float* const* out, int frames) noexcept {
    if (frames <= 0) return status::ok;
    if (!usable) {
        for (int i = 0; i < output.channels; ++i) vecZero(out[i], frames);
        return status::ok;
    }
    // Never hand the chain more than one configured block at a time.
    const int block = input.frameCount();
    if (frames <= block) {  // one piece: the caller's arrays as they are
        frontEnd->process(in, out, frames);
        return status::ok;
    }
    float* pieceOut[maxBeams];
    const float* pieceIn[inputChannels];
    for (int done = 0; done < frames;) {
        const int n = frames - done < block ? frames - done : block;
        for (int c = 0; c < inputChannels; ++c) pieceIn[c] = in[c] + done;
        for (int i = 0; i < output.channels; ++i) pieceOut[i] = out[i] + done;
        frontEnd->process(pieceIn, pieceOut, n);
        done += n;
    }
    return status::ok;
}

std::uint64_t CQb32::sideBySideCalls() const noexcept {
    return frontEnd != nullptr ? frontEnd->sideBySideCalls() : 0;
}

void CQb32::reset() noexcept {
    if (frontEnd != nullptr) frontEnd->reset();
}

int CQb32::stop() noexcept { return frontEnd != nullptr ? frontEnd->stop() : status::ok; }

int CQb32::start() noexcept {
    if (!usable) return status::allocationFailed;
    return frontEnd->start();
}

void CQb32::clearSignalState() noexcept {
    if (usable) frontEnd->clearSignalState();
}

void CQb32::applySettingsAtOnce() noexcept {
    if (usable) frontEnd->applySettingsAtOnce();
}

// ---- beam operations ------------------------------------------------------------------

int CQb32::setElevation(int beam, float degrees) noexcept {
    if (!validBeam(beam)) return badBeam;
    frontEnd->modalStage(beam)->setElevation(degrees);
    return status::ok;
}

int CQb32::setAzimuth(int beam, float degrees) noexcept {
    if (!validBeam(beam)) return badBeam;
    frontEnd->modalStage(beam)->setAzimuth(degrees);
    return status::ok;
}

float CQb32::getElevation(int beam) const noexcept {
    return validBeam(beam) ? frontEnd->modalStage(beam)->getElevationDegrees() : 0.0f;
}

int CQb32::getCurrentElevation(int beam) const noexcept {
    return validBeam(beam) ? frontEnd->modalStage(beam)->getCurrentElevation() : 0;
}

int CQb32::getCurrentAzimuth(int beam) const noexcept {
    return validBeam(beam) ? frontEnd->modalStage(beam)->getCurrentAzimuth() : 0;
}

const float* const* CQb32::modalComponentData() const noexcept {
    return usable && frontEnd != nullptr ? frontEnd->modalComponentData() : nullptr;
}

float CQb32::getAzimuth(int beam) const noexcept {
    return validBeam(beam) ? frontEnd->modalStage(beam)->getAzimuthDegrees() : 0.0f;
}

int CQb32::setPattern(int beam, int index) noexcept {
    if (!validBeam(beam)) return badBeam;
    beamPatternIndex[beam] = index;
    beamPattern[beam] = activeFactory->pattern(index);
    return beamPattern[beam] != nullptr ? status::ok : badPattern;
}

int CQb32::loadPatternVariant(int beam, int variant) noexcept {
    if (!validBeam(beam)) return badBeam;
    const CQbPattern* p = beamPattern[beam];
    if (p == nullptr) return badPattern;
    beamVariant[beam] = variant;
    for (int n = 0; n < 4; ++n) filterTables[n] = modalFilterTaps(*p, variant, n);
    const std::int32_t* lengths = modalFilterLengthRow(*p, variant);
    if (int s = frontEnd->modalStage(beam)->loadModalFilters(lengths, filterTables)) return s;
    if (int s = frontEnd->setHfMode(beam, p->hfMode)) return s;
    if (int s = frontEnd->setLowBandFilter(beam, p->lowBandFilter, p->crossoverLength)) return s;
    if (int s = frontEnd->setHighBandFilter(beam, p->highBandFilter, p->crossoverLength)) return s;
    if (int s = frontEnd->setPostFilter(beam, postFilterTaps(*p, variant), postFilterTapCount(*p, variant)))
        return s;
    return status::ok;
}

int CQb32::setBeamActive(int beam, bool on) noexcept {
    if (!validBeam(beam)) return badBeam;
    frontEnd->setBeamActive(beam, on);
    return status::ok;
}

// ---- typed controls ---------------------------------------------------------------------

int CQb32::setControl(int channel, int control, const void* value, int count, int type) noexcept {
    if (channel < 0 || channel >= output.channels) return status::badChannel;
    if (control < theta || control > pattern) return status::badControl;
    int v = 0;
    if (int s = copyControlValue(type, control, count, value, &v)) return s;
    switch (control) {
        case theta:
            setElevation(channel, static_cast<float>(v));
            return status::ok;
        case phi:
            setAzimuth(channel, static_cast<float>(v));
            return status::ok;
        default: {
            if (v > patternCount - 1) v = patternCount - 1;
            if (int s = setPattern(channel, v)) return s;
            loadPatternVariant(channel, defaultVariant(*beamPattern[channel]));
            return status::ok;
        }
    }
}

int CQb32::getControl(int channel, int control, void* value, int count, int type) noexcept {
    if (channel < 0 || channel >= output.channels) return status::badChannel;
    int v = 0;
    switch (control) {
        case theta: v = static_cast<int>(getElevation(channel)); break;
        case phi: v = static_cast<int>(getAzimuth(channel)); break;
        case pattern: v = beamPatternIndex[channel]; break;
        default: return status::badControl;
    }
    return copyControlValue(type, control, count, &v, value);
}

// ---- read access ---------------------------------------------------------------------------

int CQb32::getPatternCount() const noexcept { return patternCount; }

const CQbPattern* CQb32::getPattern(int index) const noexcept {
    return factory != nullptr ? factory->pattern(index) : nullptr;
}

const CQbPattern* CQb32::getBeamPattern(int beam) const noexcept {
    return beam >= 0 && beam < maxBeams ? beamPattern[beam] : nullptr;
}

int CQb32::getBeamPatternIndex(int beam) const noexcept {
    return beam >= 0 && beam < maxBeams ? beamPatternIndex[beam] : 0;
}

int CQb32::getBeamVariant(int beam) const noexcept {
    return beam >= 0 && beam < maxBeams ? beamVariant[beam] : 0;
}

int CQb32::getBeamCount() const noexcept { return usable ? output.channels : 0; }

bool CQb32::isUsable() const noexcept { return usable; }

int CQb32::latencySamples() const noexcept {
    return usable && output.channels > 0 ? frontEnd->beamLatency(0) : 0;
}

int CQb32::defaultVariant(const CQbPattern& p) noexcept { return qb32::defaultVariant(p); }

}  // namespace qb32
