#include "engine/CQuorbix.h"

#include <atomic>
#include <cmath>
#include <new>

#include "framework/Primitives.h"

namespace qb32 {

namespace {

// A copy of a descriptor with another channel count.
vkAudioInterface withChannels(const vkAudioInterface& d, int channels) noexcept {
    vkAudioInterface copy = d;
    copy.channels = channels;
    return copy;
}

// Value-initialised: pointer and number arrays start as null / zero, so a
// configuration that fails half-way can always be released.
template <typename T>
std::unique_ptr<T[]> makeArray(int n) noexcept {
    return std::unique_ptr<T[]>(new (std::nothrow) T[static_cast<std::size_t>(n)]());
}

int truncated(float v) noexcept { return static_cast<int>(v); }

// The stages' crossfade time constant (CMbf and vkxShadowFilter alike).
constexpr int fadeTimeConstantMs = vkxShadowFilter::fadeTimeConstantMs;

std::atomic<bool>& sharingFlag() noexcept {
    static std::atomic<bool> flag{true};
    return flag;
}

std::atomic<bool>& joiningFlag() noexcept {
    static std::atomic<bool> flag{true};
    return flag;
}

}  // namespace

void CQuorbix::setSharingEnabled(bool on) noexcept { sharingFlag().store(on, std::memory_order_relaxed); }
bool CQuorbix::sharingEnabled() noexcept { return sharingFlag().load(std::memory_order_relaxed); }
void CQuorbix::setJoiningEnabled(bool on) noexcept { joiningFlag().store(on, std::memory_order_relaxed); }
bool CQuorbix::joiningEnabled() noexcept { return joiningFlag().load(std::memory_order_relaxed); }

bool CQuorbix::isBeamJoined(int beam) const noexcept {
    return beam >= 0 && beam < beamCount && joins[beam].joined();
}

CQuorbix::CQuorbix() noexcept : decomposition(new (std::nothrow) CEbf) {}

int CQuorbix::rampSamplesFor(float sampleRate_hz) noexcept {
    const double samples = std::nearbyint(static_cast<double>(sampleRate_hz) * beamRamp_ms / 1000.0);
    return samples >= 1.0 && samples <= 1e7 ? static_cast<int>(samples) : 1;
}

CQuorbix::~CQuorbix() { releaseStages(); }

// ---- configuration ---------------------------------------------------------

int CQuorbix::configure(const vkAudioInterface& in, const vkAudioInterface& out) {
    if (active) return status::blockActive;
    if (!isServableStreamPair(in, out)) return status::unsupportedStream;
    if (!decomposition) return status::allocationFailed;
    releaseStages();
    vkAudioClass::configure(in, out);
    allocatedBeams = out.channels > 0 ? out.channels : 0;
    blockFrames = out.frameCount();
    rampSamples = rampSamplesFor(out.sampleRate);
    streamPosition = 0;
    sharingDue = true;
    if (!fadeRamps.build(out.sampleRate, fadeTimeConstantMs)) return status::allocationFailed;
    if (int s = allocateStages()) return s;
    beamCount = allocatedBeams;  // from here on every beam has all its stages
    const vkAudioInterface mono = withChannels(output, 1);
    for (int i = 0; i < beamCount; ++i) {
        modalStages[i].shareFadeRamps(&fadeRamps);
        lowCrossovers[i].shareFadeRamps(&fadeRamps);
        highCrossovers[i].shareFadeRamps(&fadeRamps);
        postStages[i].shareFadeRamps(&fadeRamps);
    }
    for (int i = 0; i < beamCount; ++i) {
        if (int s = lowCrossovers[i].configure(mono, mono)) return s;
        if (int s = highCrossovers[i].configure(mono, mono)) return s;
        if (int s = postStages[i].configure(mono, mono)) return s;
    }
    if (int s = configureBeamLanes()) return s;
    if (modalComponentCount >= 1) return configureModalComponents(modalComponentCount);
    return status::ok;
}

// Sized for the longest filters the crossover and post stages accept now.
int CQuorbix::configureBeamLanes() {
    laneBeamsCurrent = false;
    for (int i = 0; i < beamCount && i < BeamLanes::maxBeams; ++i) {
        BeamLanes::Beam& b = laneBeams[i];
        b.modal = &modalStages[i];
        b.highBand = &highBandStages[i];
        b.highBandDelay = &highBandDelays[i];
        b.lowCrossover = &lowCrossovers[i];
        b.highCrossover = &highCrossovers[i];
        b.post = &postStages[i];
        b.outputDelay = &outputDelays[i];
    }
    if (beamCount >= 1) {
        const int crossoverTaps = lowCrossovers[0].filterSlots().maxTaps();
        const int postTaps = postStages[0].filterSlots().maxTaps();
        if (!lanes.configure(crossoverTaps, postTaps) ||
            !sideBySide.configure(crossoverTaps > postTaps ? crossoverTaps : postTaps))
            return status::allocationFailed;
    }
    return status::ok;
}

int CQuorbix::allocateStages() {
    const int n = allocatedBeams;
    const int b = blockFrames;
    if (n >= 1) {
        lowBand = makeArray<float*>(n);
        highBand = makeArray<float*>(n);
        crossoverScratch = makeArray<float*>(n);
        if (!lowBand || !highBand || !crossoverScratch) return status::allocationFailed;
        for (int i = 0; i < n && b >= 1; ++i) {
            lowBand[i] = vecAlloc(b);
            highBand[i] = vecAlloc(b);
            crossoverScratch[i] = vecAlloc(b);
            if (!lowBand[i] || !highBand[i] || !crossoverScratch[i]) return status::allocationFailed;
        }
        beamActive = makeArray<bool>(n);
        beamSilent = makeArray<bool>(n);
        beamRamp = makeArray<int>(n);
        beamWarmup = makeArray<int>(n);
        if (b >= 1 && (scratch = vecAlloc(b)) == nullptr) return status::allocationFailed;
        highBandDelays = makeArray<CDelayLine>(n);
        outputDelays = makeArray<CDelayLine>(n);
        crossoverLatency = makeArray<float>(n);
        postLatency = makeArray<float>(n);
        if (!beamActive || !beamSilent || !beamRamp || !beamWarmup || !highBandDelays || !outputDelays ||
            !crossoverLatency || !postLatency)
            return status::allocationFailed;
        for (int i = 0; i < n; ++i) {
            beamActive[i] = false;
            beamSilent[i] = true;
            beamRamp[i] = beamWarmup[i] = 0;
            if (highBandDelays[i].resize(0) != 0 || outputDelays[i].resize(0) != 0)
                return status::allocationFailed;
            crossoverLatency[i] = postLatency[i] = 0.0f;
        }
        totalLatency = 0.0f;
        modalStages = makeArray<CMbf>(n);
        highBandStages = makeArray<CQbHf>(n);
        lowCrossovers = makeArray<vkxShadowFilter>(n);
        highCrossovers = makeArray<vkxShadowFilter>(n);
        postStages = makeArray<vkxShadowFilter>(n);
        beamShared = makeArray<bool>(n);
        beamBankLanes = makeArray<const float* const*>(n * CrossfadeSlots::bankCount);
        seenChanges = makeArray<std::uint32_t>(n);
        joins = makeArray<JoinedCrossovers>(n);
        if (!modalStages || !highBandStages || !lowCrossovers || !highCrossovers || !postStages || !beamShared ||
            !beamBankLanes || !seenChanges || !joins)
            return status::allocationFailed;
        for (int i = 0; i < n; ++i) {
            modalStages[i].countChangesInto(&stageChanges);
            highBandStages[i].countChangesInto(&stageChanges);
            lowCrossovers[i].countChangesInto(&stageChanges);
            highCrossovers[i].countChangesInto(&stageChanges);
            postStages[i].countChangesInto(&stageChanges);
            highBandDelays[i].countChangesInto(&stageChanges);
            outputDelays[i].countChangesInto(&stageChanges);
        }
        ++stageChanges;  // new stages: nothing seen of them yet
        settled.valid = false;
    }
    for (auto& component : modalComponents) {
        if (b >= 1) {
            component = vecAlloc(b);
            if (component == nullptr) return status::allocationFailed;
            vecZero(component, b);
        }
    }
    return status::ok;
}

void CQuorbix::releaseStages() noexcept {
    lanes.forget();  // the copies refer to the stages released here
    beamCount = 0;
    joins.reset();
    modalStages.reset();
    highBandStages.reset();
    highBandDelays.reset();
    outputDelays.reset();
    lowCrossovers.reset();
    highCrossovers.reset();
    postStages.reset();
    crossoverLatency.reset();
    postLatency.reset();
    beamActive.reset();
    beamSilent.reset();
    beamRamp.reset();
    beamWarmup.reset();
    beamShared.reset();
    beamBankLanes.reset();
    seenChanges.reset();
    sharedFilters.release();
    if (lowBand)
        for (int i = 0; i < allocatedBeams; ++i) vecFree(lowBand[i]);
    if (highBand)
        for (int i = 0; i < allocatedBeams; ++i) vecFree(highBand[i]);
    if (crossoverScratch)
        for (int i = 0; i < allocatedBeams; ++i) vecFree(crossoverScratch[i]);
    lowBand.reset();
    highBand.reset();
    crossoverScratch.reset();
    vecFree(scratch);
    scratch = nullptr;
    for (auto& component : modalComponents) {
        vecFree(component);
        component = nullptr;
    }
    formBlockComponents();
    allocatedBeams = 0;
}

int CQuorbix::configureModalComponents(int count) {
    if (!decomposition) return status::allocationFailed;
    modalComponentCount = count;
    const vkAudioInterface components = withChannels(input, count);
    if (int s = decomposition->configure(input, components)) return s;
    const vkAudioInterface mono = withChannels(output, 1);
    for (int i = 0; i < beamCount; ++i)
        if (int s = modalStages[i].configure(components, mono)) return s;
    for (int i = 0; i < beamCount; ++i) {
        CQbHf& hf = highBandStages[i];
        if (int s = hf.configure(input, mono)) return s;
        if (hf.isActive()) return status::blockActive;
        const int* elevationTrack = modalStages[i].elevationTrackData();
        const int* azimuthTrack = modalStages[i].azimuthTrackData();
        if (elevationTrack == nullptr || azimuthTrack == nullptr) return badAngleSources;
        hf.setElevationSource(elevationTrack);
        hf.setAzimuthSource(azimuthTrack);
    }
    return status::ok;
}

// ---- latencies and delays ----------------------------------------------------

int CQuorbix::setModalLatency(float samples) {
    if (active) return status::blockActive;
    for (int i = 0; i < beamCount; ++i) {
        if (int s = modalStages[i].setLatency(samples)) return s;
        beamShared[i] = false;
    }
    modalStageLatency = samples;
    resizeHighBandDelays();
    resizeOutputDelays();
    // The shared filters reach as far as the stages' and keep the history
    // the stages rebuild their own filters from.
    sharedFilters.release();
    sharingDue = true;
    if (beamCount >= 1 && modalStages[0].filterSlots().restoreSamples() > 0 &&
        sharedFilters.configure(blockFrames, modalStages[0].filterSlots().maxTaps(),
                                modalStages[0].componentHistoryNeeded()) != status::ok)
        return status::allocationFailed;
    return status::ok;
}

int CQuorbix::setCrossoverLatency(float samples) {
    if (active) return status::blockActive;
    for (int i = 0; i < beamCount; ++i) {
        if (int s = lowCrossovers[i].setLatency(samples)) return s;
        if (int s = highCrossovers[i].setLatency(samples)) return s;
    }
    crossoverStageLatency = samples;
    resizeOutputDelays();
    if (int s = configureBeamLanes()) return s;
    return status::ok;
}

int CQuorbix::setPostFilterLatency(float samples) {
    if (active) return status::blockActive;
    for (int i = 0; i < beamCount; ++i)
        if (int s = postStages[i].setLatency(samples)) return s;
    postStageLatency = samples;
    resizeOutputDelays();
    if (int s = configureBeamLanes()) return s;
    return status::ok;
}

int CQuorbix::highBandDelayFor(int beam) const noexcept {
    float fir = 0.0f;
    if (decomposition && decomposition->getEqMode() == CEbf::eqBiquadsAndFir)
        fir = decomposition->getFirLatency();
    return truncated(modalStages[beam].getLatency() + fir);
}

// The output delay fills every beam up to the latency budget from the
// latencies the stages are configured for. Every stage delays whatever filter
// it holds to that latency, so this delay, and with it the beam's latency,
// does not depend on the pattern; it is never negative.
int CQuorbix::outputDelayFor(int beam) const noexcept {
    const int delay = truncated(totalLatency) - truncated(modalStages[beam].getLatency()) -
                      truncated(crossoverStageLatency) - truncated(postStageLatency);
    return delay > 0 ? delay : 0;
}

void CQuorbix::resizeHighBandDelays() {
    for (int i = 0; i < beamCount; ++i) {
        highBandDelays[i].clear();
        highBandDelays[i].resize(highBandDelayFor(i));
    }
}

void CQuorbix::resizeOutputDelays() {
    for (int i = 0; i < beamCount; ++i) {
        outputDelays[i].clear();
        outputDelays[i].resize(outputDelayFor(i));
    }
}

int CQuorbix::highBandDelayLength(int beam) const noexcept {
    return beam >= 0 && beam < beamCount ? highBandDelays[beam].getLength() : 0;
}

int CQuorbix::outputDelayLength(int beam) const noexcept {
    return beam >= 0 && beam < beamCount ? outputDelays[beam].getLength() : 0;
}

int CQuorbix::beamLatency(int beam) const noexcept {
    if (beam < 0 || beam >= beamCount) return 0;
    return highBandDelays[beam].getLength() + truncated(lowCrossovers[beam].getLatency()) +
           truncated(postStages[beam].getLatency()) + outputDelays[beam].getLength();
}

int CQuorbix::setEqMode(int mode) {
    if (active) return status::blockActive;
    if (static_cast<unsigned>(mode) > 2u) {
        resizeHighBandDelays();
        return badEqMode;
    }
    if (mode == CEbf::eqBiquadsAndFir) {
        for (int k = 0; k < decomposition->getComponentCount(); ++k) {
            if (!decomposition->hasFirEqualiser(k) || !decomposition->hasAlignmentDelay(k)) {
                resizeHighBandDelays();
                return badEqMode;
            }
        }
    }
    decomposition->setEqMode(mode);
    resizeHighBandDelays();
    return status::ok;
}

// The components are read from the block buffers until a call forms them
// elsewhere (zeros there after a clear).
void CQuorbix::formBlockComponents() noexcept {
    for (int k = 0; k < modalComponentSlots; ++k) currentComponents[k] = modalComponents[k];
}

// ---- tables and filters --------------------------------------------------------

int CQuorbix::setDecompositionMatrix(const float* const* rows) {
    if (active) return status::blockActive;
    const int frames = input.frameCount();
    for (auto* component : modalComponents)
        if (component != nullptr && frames > 0) vecZero(component, frames);
    formBlockComponents();
    return decomposition->setDecompositionMatrix(rows);
}

int CQuorbix::setLowBandFilter(int beam, const float* taps, int length) noexcept {
    if (beam < 0 || beam >= beamCount) return badBeam;
    const int lengths[1] = {length};
    const float* const tapRows[1] = {taps};
    if (int s = lowCrossovers[beam].loadFilter(lengths, tapRows)) return s;
    crossoverLatency[beam] = static_cast<float>(length - 1) * 0.5f;
    return status::ok;
}

int CQuorbix::setHighBandFilter(int beam, const float* taps, int length) noexcept {
    if (beam < 0 || beam >= beamCount) return badBeam;
    const int lengths[1] = {length};
    const float* const tapRows[1] = {taps};
    if (int s = highCrossovers[beam].loadFilter(lengths, tapRows)) return s;
    crossoverLatency[beam] = static_cast<float>(length - 1) * 0.5f;
    return status::ok;
}

int CQuorbix::setPostFilter(int beam, const float* taps, int length) noexcept {
    if (beam < 0 || beam >= beamCount) return badBeam;
    const int lengths[1] = {length};
    const float* const tapRows[1] = {taps};
    if (int s = postStages[beam].loadFilter(lengths, tapRows)) return s;
    postLatency[beam] = static_cast<float>(length - 1) * 0.5f;
    return status::ok;
}

int CQuorbix::setHfMode(int beam, int mode) noexcept {
    if (beam < 0 || beam >= beamCount) return badBeam;
    return highBandStages[beam].changeMode(mode);
}

void CQuorbix::setBeamActive(int beam, bool on, bool immediate) noexcept {
    if (beam < 0 || beam >= beamCount) return;
    laneBeamsCurrent = false;
    beamActive[beam] = on;
    if (immediate) {
        beamWarmup[beam] = 0;
        beamRamp[beam] = on ? rampSamples : 0;
        beamSilent[beam] = !on;
        if (!on) clearBeam(beam);
        return;
    }
    // From silence the stages start on cleared histories: the output waits
    // until everything that reaches it is formed from the input. Whatever was
    // set while the beam was silent (direction, pattern) takes effect at
    // once: nobody heard the old settings, so there is nothing to glide or
    // crossfade from.
    if (on && beamRamp[beam] == 0 && beamSilent[beam]) {
        settleBeam(beam);
        beamWarmup[beam] = warmupFor(beam);
    }
}

void CQuorbix::setOutputMode(int mode) noexcept {
    if (mode == outputMode) return;
    sharingDue = true;
    for (int i = 0; i < beamCount; ++i) {
        // In mode 0 the stages pause while the components go on: the beams
        // run their own filters, and rest anew when they run again.
        if (mode == 0) leaveSharing(i);
        if (outputMode == 0) modalStages[i].interruptRest();
    }
    if (mode == 0) {  // nobody reads the sets until beams share again
        sharedFilters.beginSets();
        sharedFilters.endSets();
    }
    outputMode = mode;
}

bool CQuorbix::isBeamShared(int beam) const noexcept {
    return beam >= 0 && beam < beamCount && beamShared[beam];
}

void CQuorbix::leaveSharing(int i) noexcept {
    if (beamShared[i]) modalStages[i].resumeOwnFilters(sharedFilters.recentEnd());
    forgetSharedLanes(i);
}

void CQuorbix::forgetSharedLanes(int i) noexcept {
    laneBeamsCurrent = false;
    beamShared[i] = false;
    for (int b = 0; b < CrossfadeSlots::bankCount; ++b) beamBankLanes[i * CrossfadeSlots::bankCount + b] = nullptr;
}

void CQuorbix::settleBeam(int i) noexcept {
    modalStages[i].settle();
    highBandStages[i].reset();  // its region from the next sample's direction, no fade
    lowCrossovers[i].settle();
    highCrossovers[i].settle();
    postStages[i].settle();
}

int CQuorbix::warmupFor(int beam) const noexcept { return 2 * beamLatency(beam); }

void CQuorbix::applySettingsAtOnce() noexcept {
    for (int i = 0; i < beamCount; ++i) {
        settleBeam(i);
        setBeamActive(i, beamActive[i], true);
    }
}

bool CQuorbix::isBeamActive(int beam) const noexcept {
    return beam >= 0 && beam < beamCount && beamActive[beam];
}

CMbf* CQuorbix::modalStage(int beam) noexcept {
    return beam >= 0 && beam < beamCount ? &modalStages[beam] : nullptr;
}

CQbHf* CQuorbix::highBandStage(int beam) noexcept {
    return beam >= 0 && beam < beamCount ? &highBandStages[beam] : nullptr;
}

vkxShadowFilter* CQuorbix::lowCrossoverStage(int beam) noexcept {
    return beam >= 0 && beam < beamCount ? &lowCrossovers[beam] : nullptr;
}

vkxShadowFilter* CQuorbix::highCrossoverStage(int beam) noexcept {
    return beam >= 0 && beam < beamCount ? &highCrossovers[beam] : nullptr;
}

vkxShadowFilter* CQuorbix::postStage(int beam) noexcept {
    return beam >= 0 && beam < beamCount ? &postStages[beam] : nullptr;
}

CDelayLine* CQuorbix::highBandDelayLine(int beam) noexcept {
    return beam >= 0 && beam < beamCount ? &highBandDelays[beam] : nullptr;
}

CDelayLine* CQuorbix::outputDelayLine(int beam) noexcept {
    return beam >= 0 && beam < beamCount ? &outputDelays[beam] : nullptr;
}

// ---- running ---------------------------------------------------------------------

int CQuorbix::start() noexcept {
    if (int s = decomposition->start()) return s;
    for (int i = 0; i < beamCount; ++i) {
        if (int s = modalStages[i].start()) return s;
        if (int s = highBandStages[i].start()) return s;
        if (int s = lowCrossovers[i].start()) return s;
        if (int s = highCrossovers[i].start()) return s;
        if (int s = postStages[i].start()) return s;
    }
    active = true;
    return status::ok;
}

int CQuorbix::stop() noexcept {
    active = false;
    const int s = decomposition ? decomposition->stop() : status::ok;
    sharedFilters.clear();
    sharingDue = true;
    for (int i = 0; i < beamCount; ++i) {
        modalStages[i].stop();
        highBandStages[i].stop();
        highBandDelays[i].clear();
        outputDelays[i].clear();
        lowCrossovers[i].stop();
        highCrossovers[i].stop();
        postStages[i].stop();
    }
    return s;
}

// Its stages' histories cleared: what the modal stage has fallen behind on
// is gone with the rest, so it leaves the shared filters as it is.
void CQuorbix::clearBeam(int i) noexcept {
    forgetSharedLanes(i);
    modalStages[i].reset();
    highBandStages[i].reset();
    highBandDelays[i].clear();
    lowCrossovers[i].reset();
    highCrossovers[i].reset();
    postStages[i].reset();
    outputDelays[i].clear();
}

// A beam that is on starts again as if switched on from silence.
void CQuorbix::clearSignalState() noexcept {
    if (decomposition) decomposition->reset();
    sharedFilters.clear();
    sharingDue = true;
    const int frames = input.frameCount();
    for (auto* component : modalComponents)
        if (component != nullptr && frames > 0) vecZero(component, frames);
    formBlockComponents();
    for (int i = 0; i < beamCount; ++i) {
        clearBeam(i);
        beamRamp[i] = 0;
        beamSilent[i] = !beamActive[i];
        beamWarmup[i] = beamActive[i] ? warmupFor(i) : 0;
    }
}

// The beam's gain over the first n samples of its output y, sample by
// sample: zeros while it warms up, then a linear ramp of rampSamples up (on)
// or down (off). A beam at full gain is left untouched.
void CQuorbix::applyBeamGain(int i, float* y, int n) noexcept {
    const bool on = beamActive[i];
    int position = beamRamp[i];
    int warmup = beamWarmup[i];
    if (on && warmup == 0 && position == rampSamples) return;
    const auto full = static_cast<float>(rampSamples);
    for (int k = 0; k < n; ++k) {
        if (on && warmup > 0) {
            --warmup;
            y[k] = 0.0f;
            continue;
        }
        position += on ? (position < rampSamples ? 1 : 0) : -1;
        // +0 at gain 0 (never -0 from a negative sample): the silence of an
        // off beam has the same bits wherever a block ends.
        if (position < rampSamples)
            y[k] = position > 0 ? y[k] * (static_cast<float>(position) / full) : 0.0f;
    }
    beamRamp[i] = position;
    beamWarmup[i] = warmup;
}

// One beam's output in modes 1 to 3. An off beam whose ramp has ended is
// silent and its stages pause, cleared (glides and crossfades wait); while
// it ramps down its stages run for the rest of the ramp only, so where a
// block ends never changes what they have done.
void CQuorbix::runBeam(int i, const float* const* in, const float* const* components, float* y,
                       int frames) noexcept {
    const bool on = beamActive[i];
    if (!on && beamRamp[i] == 0) {
        if (!beamSilent[i]) {
            clearBeam(i);
            beamSilent[i] = true;
        }
        vecZero(y, frames);
        return;
    }
    beamSilent[i] = false;
    const int n = on || frames < beamRamp[i] ? frames : beamRamp[i];
    float* low = lowBand[i];
    float* high = highBand[i];
    formBands(i, in, components, n);
    if (outputMode == 3) {
        vecCopy(high, y, n);
    } else {
        if (joins[i].joined()) {
            joins[i].process(low, high, y, scratch, n);
        } else {
            lowCrossovers[i].process(&low, &y, n);
            highCrossovers[i].process(&high, &scratch, n);
            vecAddInPlace(scratch, y, n);
        }
        postStages[i].process(&y, &scratch, n);
        outputDelays[i].process(scratch, y, n);
    }
    applyBeamGain(i, y, n);
    if (n < frames) vecZero(y + n, frames - n);
    if (!on && beamRamp[i] == 0) {
        clearBeam(i);
        beamSilent[i] = true;
    }
}

// The beam's low band (into lowBand) and its delayed high band (into
// highBand) for the next `frames` samples.
void CQuorbix::formBands(int i, const float* const* in, const float* const* components, int frames) noexcept {
    float* low = lowBand[i];
    float* high = highBand[i];
    if (beamShared[i])
        modalStages[i].processShared(&beamBankLanes[i * CrossfadeSlots::bankCount], low, frames);
    else
        modalStages[i].process(components, &low, frames);
    if (outputMode == 2) {
        vecZero(high, frames);
    } else {
        highBandStages[i].process(in, &high, frames);
        highBandDelays[i].process(high, high, frames);
    }
}

// runBeam for every beam, with the low crossover FIRs of all beams run as
// one and then their post FIRs. Every beam must be steady (fully on, or off
// and silent), and every beam that is on must have its crossovers joined and
// its post filter running alone. The same bits as runBeam: the FIRs run
// side by side give each beam firFilter's bits.
bool CQuorbix::runBeamsSideBySide(const float* const* in, const float* const* components, float* const* out,
                                  int frames) noexcept {
    constexpr int most = FirSideBySide::maxFilters;
    if ((outputMode != 1 && outputMode != 2) || beamCount > most || !crossoverScratch) return false;
    int running[most];
    FirState* posts[most];
    CDelayLine* postDelays[most];
    int count = 0;
    for (int i = 0; i < beamCount; ++i) {
        if (!beamSteady(i)) return false;
        if (!beamActive[i]) continue;
        if (!joins[i].joined() || !postStages[i].steadyFir(posts[count], postDelays[count])) return false;
        running[count++] = i;
    }
    if (count < 2) return false;

    FirState* firs[most];
    const float* src[most];
    float* dst[most];
    // Beams whose filters have one length run together (the patterns'
    // crossover pairs come in three lengths); the rest one by one.
    auto filterAll = [&]() {
        bool done[most] = {};
        for (int c = 0; c < count; ++c) {
            if (done[c]) continue;
            FirState* groupFirs[most];
            const float* groupSrc[most];
            float* groupDst[most];
            int members = 0;
            const int length = firTapCount(firs[c]);
            for (int d = c; d < count; ++d) {
                if (done[d] || firTapCount(firs[d]) != length) continue;
                done[d] = true;
                groupFirs[members] = firs[d];
                groupSrc[members] = src[d];
                groupDst[members++] = dst[d];
            }
            if (members < 2 || !sideBySide.filter(groupFirs, members, groupSrc, groupDst, frames))
                for (int m = 0; m < members; ++m) firFilter(groupSrc[m], groupDst[m], frames, groupFirs[m]);
        }
    };
    for (int c = 0; c < count; ++c) {
        const int i = running[c];
        formBands(i, in, components, frames);
        joins[i].prepare(lowBand[i], highBand[i], crossoverScratch[i], frames);
        firs[c] = joins[i].lowFilter();
        src[c] = lowBand[i];
        dst[c] = out[i];
    }
    filterAll();
    // The crossover sums, then the post filters into the free low-band
    // buffers, their delays, and the output delays.
    for (int c = 0; c < count; ++c) {
        const int i = running[c];
        joins[i].finish(out[i], crossoverScratch[i], frames);
        firs[c] = posts[c];
        src[c] = out[i];
        dst[c] = lowBand[i];
    }
    filterAll();
    for (int c = 0; c < count; ++c) {
        const int i = running[c];
        postDelays[c]->process(lowBand[i], lowBand[i], frames);
        postStages[i].advanceSteady(frames);
        outputDelays[i].process(lowBand[i], out[i], frames);
    }
    for (int i = 0; i < beamCount; ++i)
        if (!beamActive[i]) vecZero(out[i], frames);
    return true;
}

// Every beam must be steady: fully on, or off and silent.
bool CQuorbix::runBeamLanes(const float* const* in, const float* const* components, float* const* out,
                            int frames) noexcept {
    if (beamCount > BeamLanes::maxBeams) return false;
    // The beams' shared sets and joins as the last call served here found
    // them, unless anything that moves them happened since.
    const bool reuse = laneBeamsCurrent && laneBeamsChanges == stageChanges;
    bool switched = false;
    for (int i = 0; i < beamCount; ++i) {
        const bool on = beamActive[i];
        if (!beamSteady(i)) return false;
        switched = switched || laneBeams[i].on != on;
        laneBeams[i].on = on;
        if (reuse) continue;
        laneBeams[i].sharedLanes = nullptr;
        laneBeams[i].crossoverGain = joins[i].gain();
        if (on && beamShared[i]) {
            // The one set heard (the lanes decline anything else).
            int banks[3];
            modalStages[i].occupiedBanks(banks);
            laneBeams[i].sharedLanes = banks[0] >= 0 ? beamBankLanes[i * CrossfadeSlots::bankCount + banks[0]] : nullptr;
            if (laneBeams[i].sharedLanes == nullptr) return false;
        }
    }
    laneBeamsCurrent = lanes.run(laneBeams, beamCount, in, components, out, frames, &stageChanges, reuse && !switched);
    laneBeamsChanges = stageChanges;
    return laneBeamsCurrent;
}

// Beams whose crossover stages changed since they joined run them apart
// again, before anything of this call runs.
void CQuorbix::leaveChangedJoins() noexcept {
    bool handedBack = false;
    for (int i = 0; i < beamCount; ++i) {
        if (!joins[i].stale()) continue;
        if (!handedBack) lanes.handBack();  // the histories are the stages' own first
        handedBack = true;
        laneBeamsCurrent = false;
        joins[i].leave();
    }
    joinsCheckedAt = stageChanges;
}

// Beams whose stages run and whose crossovers have become a steady
// complementary pair join them.
void CQuorbix::decideJoins() noexcept {
    if (!joiningEnabled()) return;
    bool handedBack = false;
    for (int i = 0; i < beamCount; ++i) {
        float gain = 0.0f;
        if (joins[i].joined() || !stagesRun(i) || !joins[i].couldJoin(lowCrossovers[i], highCrossovers[i], gain))
            continue;
        if (!handedBack) lanes.handBack();
        handedBack = true;
        laneBeamsCurrent = false;
        joins[i].join(lowCrossovers[i], highCrossovers[i]);
    }
}

// The beam's stages run in the next call: on, or ramping down.
bool CQuorbix::stagesRun(int i) const noexcept { return beamActive[i] || beamRamp[i] > 0; }

bool CQuorbix::beamSteady(int i) const noexcept {
    return beamActive[i] ? beamRamp[i] == rampSamples && beamWarmup[i] == 0 : beamRamp[i] == 0 && beamSilent[i];
}

bool CQuorbix::settingsChanged() const noexcept {
    if (stageChanges == seenStageChanges) return false;
    for (int i = 0; i < beamCount; ++i)
        if (modalStages[i].changeCount() != seenChanges[i]) return true;
    return false;
}

void CQuorbix::recordSettings() noexcept {
    if (stageChanges == seenStageChanges) return;
    seenStageChanges = stageChanges;
    for (int i = 0; i < beamCount; ++i) seenChanges[i] = modalStages[i].changeCount();
}

// Which beams form their low band from the shared filters until the next
// decision. A filter set is shared when the beams that could use it make it
// worth its cost: u beams of a set with filters on o orders (c components)
// run o u filtered orders on their own, c shared; shared when o u > c. A beam
// shares when every set it runs (crossfades: two or three) is shared.
void CQuorbix::decideSharing() noexcept {
    constexpr int banksPerBeam = CrossfadeSlots::bankCount;
    constexpr int maxUses = maxSharingBeams * banksPerBeam;
    const CrossfadeSlots::BankFilters* use[maxUses];
    int users[maxUses];
    int uses = 0;
    int useOf[maxSharingBeams][banksPerBeam];
    bool wants[maxSharingBeams] = {};
    const bool allowed =
        sharingEnabled() && outputMode != 0 && sharedFilters.isConfigured() && beamCount <= maxSharingBeams;
    if (sharingSettled(allowed)) return;
    for (int i = 0; i < beamCount && i < maxSharingBeams; ++i) {
        for (int& u : useOf[i]) u = -1;
        CMbf& modal = modalStages[i];
        wants[i] = allowed && stagesRun(i) && modal.canShare(modal.componentHistoryNeeded());
        if (!wants[i]) continue;
        int banks[banksPerBeam];
        modal.occupiedBanks(banks);
        for (int b = 0; b < banksPerBeam; ++b) {
            if (banks[b] < 0) continue;
            const CrossfadeSlots::BankFilters& f = modal.filterSlots().filtersOf(banks[b]);
            int u = 0;
            while (u < uses && !CrossfadeSlots::sameFilters(*use[u], f)) ++u;
            if (u == uses) use[uses++] = &f;
            useOf[i][b] = u;
        }
    }
    // Users are counted among the beams that would share; a beam dropped
    // because one of its sets is not shared lowers the others' counts. Rounds
    // only drop beams, so a few settle it (were they to stop early, sharing
    // would stay exact, only save less).
    constexpr int rounds = 4;
    for (int round = 0; round < rounds; ++round) {
        for (int u = 0; u < uses; ++u) users[u] = 0;
        for (int i = 0; i < beamCount && i < maxSharingBeams; ++i)
            if (wants[i])
                for (int u : useOf[i])
                    if (u >= 0) ++users[u];
        bool changed = false;
        for (int i = 0; i < beamCount && i < maxSharingBeams; ++i) {
            if (!wants[i]) continue;
            for (int u : useOf[i]) {
                if (u < 0) continue;
                // A set pays when its users, on their own filters, would
                // filter more signals (one per order each) than the set does
                // (one per component).
                int orders = 0, components = 0;
                for (int n = 0; n < SharedModalFilters::orderCount; ++n)
                    if (use[u]->usedLanes & (1u << n)) {
                        ++orders;
                        components += 2 * n + 1;
                    }
                if (orders * users[u] <= components) {
                    wants[i] = false;
                    changed = true;
                    break;
                }
            }
        }
        if (!changed) break;
    }
    sharedFilters.beginSets();
    int setOfUse[maxUses];
    for (int u = 0; u < uses; ++u) setOfUse[u] = -2;  // not asked for yet
    for (int i = 0; i < beamCount && i < maxSharingBeams; ++i) {
        if (!wants[i]) continue;
        for (int u : useOf[i]) {
            if (u < 0) continue;
            if (setOfUse[u] == -2) setOfUse[u] = sharedFilters.useSet(*use[u]);
            if (setOfUse[u] < 0) wants[i] = false;
        }
    }
    sharedFilters.endSets();
    for (int i = 0; i < beamCount; ++i) {
        if (i >= maxSharingBeams || !wants[i]) {
            leaveSharing(i);
            continue;
        }
        beamShared[i] = true;
        int banks[banksPerBeam];
        modalStages[i].occupiedBanks(banks);
        for (int b = 0; b < banksPerBeam; ++b) beamBankLanes[i * banksPerBeam + b] = nullptr;
        for (int slot = 0; slot < banksPerBeam; ++slot)
            if (banks[slot] >= 0)
                beamBankLanes[i * banksPerBeam + banks[slot]] = sharedFilters.outputs(setOfUse[useOf[i][slot]]);
    }
    laneBeamsCurrent = false;
    // What this decision rested on (after its own changes to the stages).
    settled.valid = beamCount <= maxSharingBeams;
    settled.changes = stageChanges;
    settled.allowed = allowed;
    for (int i = 0; i < beamCount && i < maxSharingBeams; ++i) {
        settled.run[i] = stagesRun(i);
        modalStages[i].occupiedBanks(settled.banks[i]);
    }
}

// A decision would find what the last one did: no stage changed, the same
// beams run and every one of them shares with the same banks occupied (a
// beam not sharing yet may have rested long enough meanwhile; a crossfade
// may have ended). The stages' filters then are the ones compared last time.
bool CQuorbix::sharingSettled(bool allowed) const noexcept {
    if (!settled.valid || settled.changes != stageChanges || settled.allowed != allowed || beamCount > maxSharingBeams)
        return false;
    for (int i = 0; i < beamCount; ++i) {
        const bool run = stagesRun(i);
        if (run != settled.run[i]) return false;
        if (!run) continue;
        if (!beamShared[i]) return false;
        int banks[CrossfadeSlots::bankCount];
        modalStages[i].occupiedBanks(banks);
        for (int b = 0; b < CrossfadeSlots::bankCount; ++b)
            if (banks[b] != settled.banks[i][b]) return false;
    }
    return true;
}

void CQuorbix::runPiece(const float* const* in, float* const* out, int offset, int frames) noexcept {
    // A piece that starts the call (every short call) reads the caller's
    // arrays as they are; a later piece needs them moved on.
    const float* capsuleArray[64];
    const float* componentArray[modalComponentSlots];
    float* outputArray[64];
    const float* const* capsules = in;
    const float* const* components = currentComponents;
    float* const* outputs = out;
    if (offset > 0) {
        const int inputs = input.channels < 64 ? input.channels : 64;
        for (int c = 0; c < inputs; ++c) capsuleArray[c] = in[c] + offset;
        for (int k = 0; k < modalComponentSlots; ++k) componentArray[k] = currentComponents[k] + offset;
        for (int i = 0; i < beamCount && i < 64; ++i) outputArray[i] = out[i] + offset;
        capsules = capsuleArray;
        components = componentArray;
        outputs = outputArray;
    }
    if (outputMode == 1 && frames <= BeamLanes::maxFrames && beamCount <= 64 &&
        runBeamLanes(capsules, components, outputs, frames))
        return;
    lanes.handBack();  // the per-beam stages take over from here
    laneBeamsCurrent = false;  // their crossfades may end in this call
    if (runBeamsSideBySide(capsules, components, outputs, frames)) return;
    for (int i = 0; i < beamCount; ++i) runBeam(i, capsules, components, out[i] + offset, frames);
}

int CQuorbix::process(const float* const* in, float* const* out, int frames) noexcept {
    if (frames <= 0) return status::ok;
    // With shared filters the components are formed straight into their
    // history, which then copies nothing.
    float* formed[modalComponentSlots];
    if (sharedFilters.isConfigured()) {
        sharedFilters.reserve(frames, formed);
    } else {
        for (int k = 0; k < modalComponentSlots; ++k) formed[k] = modalComponents[k];
    }
    decomposition->process(in, formed, frames);
    for (int k = 0; k < modalComponentSlots; ++k) currentComponents[k] = formed[k];
    if (outputMode == 0) {
        sharedFilters.process(currentComponents, frames);
        streamPosition += static_cast<std::uint64_t>(frames);
        for (int i = 0; i < beamCount; ++i) vecCopy(currentComponents[i], out[i], frames);
        return status::ok;
    }
    // Decisions at fixed samples of the stream, and after settings changed
    // between calls: the same wherever the host cuts the stream.
    if (settingsChanged()) sharingDue = true;
    if (stageChanges != joinsCheckedAt) leaveChangedJoins();
    const float* components[modalComponentSlots];
    for (int done = 0; done < frames;) {
        const int intoInterval = static_cast<int>(streamPosition % shareInterval);
        if (sharingDue || intoInterval == 0) {
            decideSharing();
            decideJoins();
        }
        sharingDue = false;
        const int n = frames - done < shareInterval - intoInterval ? frames - done : shareInterval - intoInterval;
        for (int k = 0; k < modalComponentSlots; ++k) components[k] = currentComponents[k] + done;
        sharedFilters.process(components, n);
        runPiece(in, out, done, n);
        streamPosition += static_cast<std::uint64_t>(n);
        done += n;
    }
    recordSettings();
    return status::ok;
}

}  // namespace qb32
