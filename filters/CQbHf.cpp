#include "filters/CQbHf.h"

#include <climits>
#include <cmath>
#include <new>

#include "filters/tables/RegionTables.h"
#include "framework/Primitives.h"

namespace qb32 {

namespace {

// Mode 1 regions are the capsules themselves: region c has the one vertex c.
constexpr std::int32_t capsuleIdentity[meshCapsuleCount] = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
    16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};

constexpr int maxVerticesPerRegion = 3;

// The tracks hold 0..180 and 0..359; anything else is clamped (elevation) or
// wrapped (azimuth) so that a faulty source cannot read outside the maps.
inline int mapIndex(int elevation_deg, int azimuth_deg) noexcept {
    if (elevation_deg < 0) elevation_deg = 0;
    if (elevation_deg > 180) elevation_deg = 180;
    if (static_cast<unsigned>(azimuth_deg) >= 360u) {
        azimuth_deg %= 360;
        if (azimuth_deg < 0) azimuth_deg += 360;
    }
    return elevation_deg * regionMapColumns + azimuth_deg;
}

}  // namespace

CQbHf::~CQbHf() {
    releaseBuffers();
    vecFree(switchRamp);
}

CQbHf::RegionSet CQbHf::regionSetOf(int newMode) noexcept {
    RegionSet set;
    if (newMode == 1) {
        set.regionMap = nearestCapsuleMap;
        set.regionVertices = capsuleIdentity;
        set.regionCount = meshCapsuleCount;
        set.verticesPerRegion = 1;
    } else if (newMode == 2) {
        set.regionMap = capsuleTriangleMap;
        set.regionVertices = triangleVertices;
        set.regionCount = meshTriangleCount;
        set.verticesPerRegion = 3;
    }
    if (set.verticesPerRegion > 0) set.gain = 1.0f / static_cast<float>(set.verticesPerRegion);
    return set;
}

void CQbHf::install(int newMode) noexcept {
    mode = newMode;
    // Mode 0 keeps the last tables: nothing reads them while the block is off.
    if (newMode != 0) regions = regionSetOf(newMode);
}

void CQbHf::releaseBuffers() noexcept {
    if (capsuleWeights != nullptr) {
        for (int c = 0; c < weightChannels; ++c) vecFree(capsuleWeights[c]);
        delete[] capsuleWeights;
    }
    capsuleWeights = nullptr;
    weightChannels = 0;
    vecFree(regionOfSample);
    regionOfSample = nullptr;
    delete[] activeCapsules;
    activeCapsules = nullptr;
    activeCapacity = 0;
    activeCount = 0;
    previousFrames = 0;
    steadyRegion = -1;
    blockFrames = 0;
}

int CQbHf::configure(const vkAudioInterface& in, const vkAudioInterface& out) {
    changes.bump();
    if (active) return status::blockActive;
    if (!isServableStreamPair(in, out)) return status::unsupportedStream;
    releaseBuffers();
    const int base = vkAudioClass::configure(in, out);
    if (base != status::ok) return base;

    const int frames = in.frameCount() > 0 ? in.frameCount() : 0;
    const int channels = in.channels > 0 ? in.channels : 0;
    if (frames > INT_MAX / static_cast<int>(sizeof(std::int32_t))) return status::allocationFailed;

    bool failed = false;
    if (frames > 0) {
        regionOfSample = static_cast<std::int32_t*>(
            byteAlloc(frames * static_cast<int>(sizeof(std::int32_t))));
        failed = regionOfSample == nullptr;
    }
    if (!failed && channels > 0) {
        activeCapsules = new (std::nothrow) int[static_cast<std::size_t>(channels)];
        activeCapacity = activeCapsules != nullptr ? channels : 0;
        failed = activeCapsules == nullptr;
    }
    if (!failed && channels > 0 && frames > 0) {
        capsuleWeights = new (std::nothrow) float*[static_cast<std::size_t>(channels)]();
        failed = capsuleWeights == nullptr;
        if (!failed) {
            weightChannels = channels;
            for (int c = 0; c < channels && !failed; ++c) {
                capsuleWeights[c] = vecAlloc(frames);
                failed = capsuleWeights[c] == nullptr;
            }
        }
    }
    if (failed) {
        releaseBuffers();
        return status::allocationFailed;
    }
    blockFrames = frames;
    CQbHf::reset();  // fresh buffers are uninitialised
    return buildSwitchRamp(in.sampleRate);
}

int CQbHf::buildSwitchRamp(float sampleRate_hz) {
    vecFree(switchRamp);
    switchRamp = nullptr;
    switchRampLength = 0;
    if (!(sampleRate_hz > 0.0f)) return status::ok;  // no ramp: process answers notReady
    const double length = std::trunc(static_cast<double>(sampleRate_hz) * fadeMilliseconds / 1000.0);
    if (length < 1.0) return status::ok;
    if (length > static_cast<double>(INT_MAX)) return status::allocationFailed;
    const int rampLength = static_cast<int>(length);
    switchRamp = vecAlloc(rampLength);
    if (switchRamp == nullptr) return status::allocationFailed;
    // switchRamp[j] = 10^(-2j/(L-1)): 0 dB at j = 0 down to -40 dB at j = L-1,
    // a straight line in decibels. Each level is computed from its index, so
    // the line does not drift over 11025 steps.
    const float ln10Over20 = static_cast<float>(std::log(10.0) / 20.0);
    for (int j = 1; j < rampLength; ++j) {
        const auto level_db = static_cast<float>(-40.0 * j / (rampLength - 1));
        switchRamp[j] = std::exp(level_db * ln10Over20);
    }
    switchRamp[0] = 1.0f;
    switchRampLength = rampLength;
    return status::ok;
}

void CQbHf::reset() noexcept {
    changes.bump();
    for (int c = 0; c < weightChannels; ++c) vecZero(capsuleWeights[c], blockFrames);
    for (int i = 0; i < blockFrames; ++i) regionOfSample[i] = 0;
    fadeCounter = 0;
    activeCount = 0;
    currentRegion = -1;
    previousFrames = 0;
    steadyRegion = -1;
    // With no region left there is nothing to cross from: a requested mode
    // change takes effect at once.
    if (requestedMode != mode) install(requestedMode);
}

int CQbHf::stop() noexcept {
    active = false;
    reset();
    return status::ok;
}

int CQbHf::setMode(int newMode) noexcept {
    changes.bump();
    if (newMode < 0 || newMode > 2) return unknownMode;
    if (newMode != 0 && input.channels != meshCapsuleCount) return needs32Inputs;
    install(newMode);
    requestedMode = newMode;
    return stop();
}

int CQbHf::changeMode(int newMode) noexcept {
    changes.bump();
    if (newMode < 0 || newMode > 2) return unknownMode;
    if (newMode == requestedMode) return status::ok;
    if (newMode == 0 || mode == 0) return setMode(newMode);
    if (input.channels != meshCapsuleCount) return needs32Inputs;
    requestedMode = newMode;
    // Without a region in use there is nothing to fade from.
    if (currentRegion < 0) install(newMode);
    return status::ok;
}

const float* CQbHf::capsuleWeightsOf(int capsule) const noexcept {
    return capsule >= 0 && capsule < weightChannels ? capsuleWeights[capsule] : nullptr;
}

bool CQbHf::ready() const noexcept {
    return elevationSource != nullptr && azimuthSource != nullptr && switchRamp != nullptr &&
           input.channels == meshCapsuleCount && weightChannels == meshCapsuleCount &&
           regionOfSample != nullptr && activeCapsules != nullptr && regions.regionMap != nullptr;
}

void CQbHf::listCapsule(int capsule) noexcept {
    // Searched from the end: the capsules of the region just added are the
    // likeliest duplicates.
    for (int i = activeCount - 1; i >= 0; --i)
        if (activeCapsules[i] == capsule) return;
    if (activeCount < activeCapacity) activeCapsules[activeCount++] = capsule;
}

void CQbHf::listRegion(const RegionSet& set, int region) noexcept {
    for (int v = 0; v < set.verticesPerRegion; ++v)
        listCapsule(set.regionVertices[region + v * set.regionCount]);
}

void CQbHf::sortActiveCapsules() noexcept {
    for (int i = 1; i < activeCount; ++i) {
        const int c = activeCapsules[i];
        int j = i;
        for (; j > 0 && activeCapsules[j - 1] > c; --j) activeCapsules[j] = activeCapsules[j - 1];
        activeCapsules[j] = c;
    }
}

// Runs the fade in progress from sample d until it ends or the block does:
// one ramp value per sample, the fading-in capsules on the ramp, the
// fading-out ones on its complement (scaled to the current gain when the fade
// crosses from one mode's table to the other's).
void CQbHf::runFade(int& d, int frames) noexcept {
    const RegionSet& inSet = regions;
    const RegionSet& outSet = fadingOutSet;
    float* inWeights[maxVerticesPerRegion] = {};
    float* outWeights[maxVerticesPerRegion] = {};
    for (int v = 0; v < inSet.verticesPerRegion; ++v)
        inWeights[v] = capsuleWeights[inSet.regionVertices[fadingInRegion + v * inSet.regionCount]];
    for (int v = 0; v < outSet.verticesPerRegion; ++v)
        outWeights[v] = capsuleWeights[outSet.regionVertices[fadingOutRegion + v * outSet.regionCount]];

    while (d < frames && fadeCounter > 0) {
        --fadeCounter;
        const float g = switchRamp[fadeCounter];
        const float fallingWeight = (1.0f - g) * fadingOutScale;
        for (int v = 0; v < inSet.verticesPerRegion; ++v) inWeights[v][d] += g;
        for (int v = 0; v < outSet.verticesPerRegion; ++v) outWeights[v][d] += fallingWeight;
        ++d;
    }
    for (int v = 0; v < maxVerticesPerRegion; ++v) {
        if (v < inSet.verticesPerRegion)
            listCapsule(inSet.regionVertices[fadingInRegion + v * inSet.regionCount]);
        if (v < outSet.verticesPerRegion)
            listCapsule(outSet.regionVertices[fadingOutRegion + v * outSet.regionCount]);
    }
}

int CQbHf::process(const float* const* in, float* const* out, int frames) noexcept {
    if (mode == 0) return status::ok;
    if (!ready()) return notReady;
    if (frames <= 0) return status::ok;
    if (frames > blockFrames) return status::unsupportedStream;

    // A mode change asked for while running takes effect at the first sample
    // with no fade under way, as a fade from the old mode's region: here when
    // the block starts so, else where the fade ends (below).
    bool crossing = false;
    if (requestedMode != mode && fadeCounter <= 0) {
        const RegionSet previous = regions;
        install(requestedMode);
        if (currentRegion >= 0) {
            fadingOutSet = previous;
            fadingOutScale = previous.gain / regions.gain;
            crossing = true;
        }
    }

    // The tracks hold whole degrees and mostly stand still: a block whose
    // direction does not move needs one region lookup, and a moving one a
    // lookup only where the direction changes.
    const int firstElevation = elevationSource[0], firstAzimuth = azimuthSource[0];
    int moved = 0;
    for (int i = 1; i < frames; ++i)
        moved |= (elevationSource[i] ^ firstElevation) | (azimuthSource[i] ^ firstAzimuth);
    const std::int32_t firstRegion = regions.regionMap[mapIndex(firstElevation, firstAzimuth)];

    if (currentRegion < 0) {
        currentRegion = firstRegion;
    } else if (crossing) {
        fadingOutRegion = currentRegion;
        fadingInRegion = currentRegion = firstRegion;
        fadeCounter = switchRampLength;
    }
    if (moved == 0 && fadeCounter <= 0 && firstRegion == currentRegion) {
        mixSteady(in, out[0], frames);
        return status::ok;
    }

    int lastElevation = firstElevation, lastAzimuth = firstAzimuth;
    std::int32_t region = firstRegion;
    for (int i = 0; i < frames; ++i) {
        const int e = elevationSource[i], a = azimuthSource[i];
        if (e != lastElevation || a != lastAzimuth) {
            region = regions.regionMap[mapIndex(e, a)];
            lastElevation = e;
            lastAzimuth = a;
        }
        regionOfSample[i] = region;
    }
    if (fadeCounter <= 0) {
        int same = 0;
        while (same < frames && regionOfSample[same] == currentRegion) ++same;
        if (same == frames) {
            mixSteady(in, out[0], frames);
            return status::ok;
        }
    }

    // Only the capsules used in the previous block have non-zero weights.
    for (int i = 0; i < activeCount; ++i) vecZero(capsuleWeights[activeCapsules[i]], previousFrames);
    activeCount = 0;
    steadyRegion = -1;

    int d = 0;
    if (fadeCounter > 0)
        runFade(d, frames);
    else
        listRegion(regions, currentRegion);

    // Weights before `gainFrom` are in units of the gain the block started
    // with, from there on in the gain of a mode installed in the block.
    const float startGain = regions.gain;
    int gainFrom = 0;
    while (d < frames) {
        if (fadeCounter <= 0 && requestedMode != mode) {
            // A mode change waited for the fade to end: it crosses over from
            // this very sample, wherever the block boundaries fall.
            const RegionSet previous = regions;
            install(requestedMode);
            for (int i = d; i < frames; ++i)  // the regions of the new mode's map
                regionOfSample[i] = regions.regionMap[mapIndex(elevationSource[i], azimuthSource[i])];
            fadingOutSet = previous;
            fadingOutScale = previous.gain / regions.gain;
            fadingOutRegion = currentRegion;
            fadingInRegion = currentRegion = regionOfSample[d];
            fadeCounter = switchRampLength;
            gainFrom = d;
            runFade(d, frames);
        } else if (regionOfSample[d] == currentRegion) {
            int end = d + 1;
            while (end < frames && regionOfSample[end] == currentRegion) ++end;
            for (int v = 0; v < regions.verticesPerRegion; ++v) {
                float* w = capsuleWeights[regions.regionVertices[currentRegion + v * regions.regionCount]];
                for (int i = d; i < end; ++i) w[i] = 1.0f;
            }
            d = end;
        } else {
            fadingOutSet = regions;
            fadingOutScale = 1.0f;
            fadingOutRegion = currentRegion;
            fadingInRegion = currentRegion = regionOfSample[d];
            fadeCounter = switchRampLength;
            runFade(d, frames);
        }
    }

    // Mix in ascending capsule order: each sample then sums its non-zero
    // terms in the same order however the stream was cut into blocks, so the
    // output does not depend on the block sizes even in its rounding.
    sortActiveCapsules();
    const int first = activeCapsules[0];
    vecMul(capsuleWeights[first], in[first], out[0], frames);
    for (int i = 1; i < activeCount; ++i) {
        const int c = activeCapsules[i];
        vecMulAdd(in[c], capsuleWeights[c], out[0], frames);
    }
    if (gainFrom > 0) vecScaleInPlace(startGain, out[0], gainFrom);
    vecScaleInPlace(regions.gain, out[0] + gainFrom, frames - gainFrom);
    previousFrames = frames;
    return status::ok;
}

// A block wholly inside one region with no fade: the region's capsules
// weigh 1 at every sample, so the mix is their plain sum, formed in the
// ascending capsule order and with the single roundings of the weighted path
// (x * 1 is exact, and a float sum or product rounded once from double equals
// the float operation), so a steady block gives the same bits either way.
// The weights are rewritten only when they differ from the last block's.
bool CQbHf::steadyMix(int elevation, int azimuth, const int*& capsules, int& count,
                      float& gain) const noexcept {
    if (mode == 0 || requestedMode != mode || fadeCounter > 0 || currentRegion < 0 || !ready())
        return false;
    if (steadyRegion != currentRegion || steadyVertices != regions.regionVertices) return false;
    if (activeCount < 1 || activeCount > 3) return false;
    if (regions.regionMap[mapIndex(elevation, azimuth)] != currentRegion) return false;
    capsules = activeCapsules;
    count = activeCount;
    gain = regions.gain;
    return true;
}

void CQbHf::mixSteady(const float* const* in, float* out, int frames) noexcept {
    if (steadyRegion != currentRegion || steadyVertices != regions.regionVertices ||
        frames > previousFrames) {
        for (int i = 0; i < activeCount; ++i) vecZero(capsuleWeights[activeCapsules[i]], previousFrames);
        activeCount = 0;
        listRegion(regions, currentRegion);
        sortActiveCapsules();
        for (int i = 0; i < activeCount; ++i) {
            float* w = capsuleWeights[activeCapsules[i]];
            for (int k = 0; k < frames; ++k) w[k] = 1.0f;
        }
        steadyRegion = currentRegion;
        steadyVertices = regions.regionVertices;
        previousFrames = frames;  // the extent of the ones, zeroed on leaving
    }
    const float* x0 = in[activeCapsules[0]];
    if (activeCount == 1) {
        vecScale(x0, regions.gain, out, frames);
        return;
    }
    const float* x1 = in[activeCapsules[1]];
    if (activeCount == 2) {
        for (int k = 0; k < frames; ++k) out[k] = x0[k] + x1[k];
    } else {
        const float* x2 = in[activeCapsules[2]];
        for (int k = 0; k < frames; ++k) out[k] = (x0[k] + x1[k]) + x2[k];
    }
    vecScaleInPlace(regions.gain, out, frames);
}

}  // namespace qb32
