#include "filters/CrossfadeSlots.h"

#include <cmath>
#include <new>

#include "framework/Status.h"

namespace qb32 {

namespace {
// Longest ramp we agree to build (about 6.7 hours at 44.1 kHz).
constexpr double maxFadeLength = 1 << 30;
}  // namespace

CrossfadeSlots::~CrossfadeSlots() { release(); }

void CrossfadeSlots::release() noexcept {
    ++stateChanges;
    for (auto& bank : lanes)
        for (Lane& lane : bank) {
            delete lane.delay;
            vecFree(lane.firBuffer);
            lane = Lane{};
        }
    for (int b = 0; b < bankCount; ++b) {
        convolvers[b].release();
        bankPartitioned[b] = false;
    }
    for (float*& buffer : slotOutput) {
        vecFree(buffer);
        buffer = nullptr;
    }
    for (float*& buffer : delayedInputs) {
        vecFree(buffer);
        buffer = nullptr;
    }
    streamPhase = 0;
    vecFree(scratch);
    vecFree(fadeIn);
    vecFree(fadeOut);
    scratch = fadeIn = fadeOut = nullptr;
    lanesPerBank = frameCapacity = fadeLength = 0;
    firBufferBytes = allowedTaps = 0;
    storageReady = false;
    emptySlots();
}

void CrossfadeSlots::emptySlots() noexcept {
    for (SlotState& s : slots) s = SlotState{};
    samplesSinceLoad = fadeDone = 0;
}

int CrossfadeSlots::configure(int laneCountPerBank, int blockFrames, float sampleRate,
                              int fadeTimeConstantMs, MissingFilter missing,
                              Convolution convolution) noexcept {
    release();
    missingFilter = missing;
    convolutionKind = convolution;
    if (laneCountPerBank < 1 || laneCountPerBank > maxLanes || blockFrames < 1)
        return status::allocationFailed;
    bool ok = true;
    for (auto& bank : lanes)
        for (int l = 0; l < laneCountPerBank; ++l) {
            bank[l].delay = new (std::nothrow) CDelayLine;
            ok = ok && bank[l].delay != nullptr && bank[l].delay->hasStorage();
        }
    for (float*& buffer : slotOutput) ok = ok && (buffer = vecAlloc(blockFrames)) != nullptr;
    if (convolution == Convolution::partitioned)
        for (int l = 0; l < laneCountPerBank; ++l)
            ok = ok && (delayedInputs[l] = vecAlloc(blockFrames)) != nullptr;
    ok = ok && (scratch = vecAlloc(blockFrames)) != nullptr;

    // Five time constants; a rate that is not a positive number gets no ramp.
    double length = 0.0;
    if (std::isfinite(sampleRate) && sampleRate > 0.0f)
        length = std::floor(std::floor(static_cast<double>(sampleRate)) * fadeTimeConstantMs * 5.0 / 1000.0);
    if (length > maxFadeLength) ok = false;
    if (ok && length >= 1.0) {
        fadeLength = static_cast<int>(length);
        fadeOut = vecAlloc(fadeLength);
        fadeIn = vecAlloc(fadeLength);
        ok = fadeOut != nullptr && fadeIn != nullptr;
        if (ok) {
            const auto divisor =
                static_cast<float>(-static_cast<double>(sampleRate) * fadeTimeConstantMs / 1000.0);
            vecRamp(fadeOut, fadeLength, 0.0f, 1.0f);
            vecDivConstInPlace(divisor, fadeOut, fadeLength);
            vecExpInPlace(fadeOut, fadeLength);
            vecSubFromConst(fadeOut, 1.0f, fadeIn, fadeLength);
        }
    }
    if (!ok) {
        release();
        return status::allocationFailed;
    }
    lanesPerBank = laneCountPerBank;
    frameCapacity = blockFrames;
    return status::ok;
}

int CrossfadeSlots::maxTapsFor(float latency) noexcept {
    return 2 * static_cast<int>(latency) + 1;
}

int CrossfadeSlots::setLatency(float latency) noexcept {
    ++stateChanges;
    emptySlots();
    storageReady = false;
    allowedTaps = maxTapsFor(latency);
    int bytes = 0;
    if (firGetStateSize(allowedTaps, &bytes) != primitiveStatus::ok) return status::allocationFailed;
    firBufferBytes = bytes;
    const int longestDelay = static_cast<int>(latency);
    bool ok = true;
    for (auto& bank : lanes)
        for (int l = 0; l < lanesPerBank; ++l) {
            Lane& lane = bank[l];
            vecFree(lane.firBuffer);
            lane.fir = nullptr;
            lane.firBuffer = byteAlloc(bytes);
            // Grown here once, so that a load only shortens and clears it.
            const bool delayOk = lane.delay->resize(longestDelay) == 0;
            ok = ok && lane.firBuffer != nullptr && delayOk;
        }
    // The convolvers reach a few thousand taps; longer filters run in direct form.
    for (int b = 0; b < bankCount; ++b) {
        convolvers[b].release();
        bankPartitioned[b] = false;
        if (ok && convolutionKind == Convolution::partitioned && lanesPerBank > 0 &&
            PartitionedConvolver::supports(allowedTaps))
            ok = convolvers[b].configure(lanesPerBank, allowedTaps, PartitionedConvolver::Outputs::sum) ==
                 status::ok;
    }
    if (!ok || lanesPerBank == 0) return status::allocationFailed;
    storageReady = true;
    return status::ok;
}

bool CrossfadeSlots::fits(int length) const noexcept {
    if (length <= 0) return true;
    if (length > allowedTaps) return false;
    int bytes = 0;
    return firGetStateSize(length, &bytes) == primitiveStatus::ok && bytes <= firBufferBytes;
}

CrossfadeSlots::Slot CrossfadeSlots::load(const int* lengths, const float* const* taps,
                                          int laneCount) noexcept {
    ++settingsChanges;
    Slot target = Slot::pending;
    int bank = 0;
    if (!occupied(Slot::current)) {
        target = Slot::current;
    } else if (!occupied(Slot::next)) {
        target = Slot::next;
        bank = (slot(Slot::current).bank + 1) % bankCount;
    } else {
        bank = (slot(Slot::next).bank + 1) % bankCount;  // a later pending load overwrites
    }
    SlotState& set = slot(target);
    set.fadeStartDelay = 0;
    const int latencySamples = (allowedTaps - 1) / 2;
    const bool partitioned = convolvers[bank].isConfigured() && convolution::partitionedEnabled() &&
                             missingFilter == MissingFilter::silent;
    bankPartitioned[bank] = partitioned;
    int laneLengths[maxLanes] = {};
    const float* laneTaps[maxLanes] = {};
    for (int l = 0; l < laneCount; ++l) {
        Lane& lane = lanes[bank][l];
        lane.fir = nullptr;
        int delay = latencySamples;
        if (lengths[l] > 0) {
            FirState* state = nullptr;
            if (!partitioned &&
                firInit(&state, taps[l], lengths[l], nullptr, lane.firBuffer) == primitiveStatus::ok)
                lane.fir = state;
            // Centred filters arrive after (length - 1) / 2; the delay tops that up.
            delay = latencySamples - ((lengths[l] - 1) >> 1);
            laneLengths[l] = lengths[l];
            laneTaps[l] = taps[l];
            const int formed = delay + lengths[l] - 1;
            const int ready = formed > lengths[l] ? formed : lengths[l];
            if (ready > set.fadeStartDelay) set.fadeStartDelay = ready;
        } else if (missingFilter == MissingFilter::passThrough && delay > set.fadeStartDelay) {
            set.fadeStartDelay = delay;
        }
        lane.delay->resize(delay);  // within capacity: clears, never allocates
    }
    // A convolver lane delays its input instead of its output (the same
    // samples meet the same taps), so a short filter stays in the direct-form
    // head. It cuts the stream where every other set of this block does.
    static constexpr int noDelays[maxLanes] = {};
    if (partitioned) convolvers[bank].load(laneLengths, laneTaps, noDelays, streamPhase);
    set.laneCount = laneCount;
    set.bank = bank;
    return target;
}

void CrossfadeSlots::restartConvolver(int bank) noexcept {
    if (bank >= 0 && bankPartitioned[bank]) convolvers[bank].clear(streamPhase);
}

void CrossfadeSlots::commitNewest() noexcept {
    ++settingsChanges;  // which set is heard; no set's history changes
    if (occupied(Slot::pending)) {
        slot(Slot::current) = slot(Slot::pending);
        restartConvolver(slot(Slot::current).bank);  // never ran: starts on today's grid
    } else if (occupied(Slot::next)) {
        slot(Slot::current) = slot(Slot::next);
    }
    slot(Slot::next) = SlotState{-1, 0, 0};
    slot(Slot::pending) = SlotState{-1, 0, 0};
    samplesSinceLoad = fadeDone = 0;
}

void CrossfadeSlots::runSet(const SlotState& set, const float* const* laneInputs, int offset,
                            float* dst, int frames) noexcept {
    if (set.laneCount <= 0) {
        vecZero(dst, frames);
        return;
    }
    if (bankPartitioned[set.bank]) {
        PartitionedConvolver& convolver = convolvers[set.bank];
        const float* inputs[maxLanes] = {};
        for (int l = 0; l < set.laneCount && l < lanesPerBank; ++l) {
            if (!convolver.laneUsed(l)) continue;
            CDelayLine& delay = *lanes[set.bank][l].delay;
            inputs[l] = laneInputs[l] + offset;
            if (delay.getLength() > 0) {
                delay.process(inputs[l], delayedInputs[l], frames);
                inputs[l] = delayedInputs[l];
            }
        }
        float* outputs[1] = {dst};
        convolver.process(inputs, outputs, frames);
        return;
    }
    for (int l = 0; l < set.laneCount; ++l) {
        Lane& lane = lanes[set.bank][l];
        const float* input = laneInputs[l] + offset;
        const float* src = scratch;
        if (lane.fir != nullptr) {
            firFilter(input, scratch, frames, lane.fir);
        } else if (missingFilter == MissingFilter::passThrough) {
            src = input;
        } else if (l == 0) {
            vecZero(scratch, frames);  // lane 0 always defines the slot output
        } else {
            continue;
        }
        if (l == 0) {
            lane.delay->process(src, dst, frames);
        } else {
            lane.delay->process(src, scratch, frames);
            vecAddInPlace(scratch, dst, frames);
        }
    }
}

void CrossfadeSlots::process(const float* const* laneInputs, float* out, int frames) noexcept {
    blockPhase = streamPhase;
    streamPhase = (streamPhase + frames) % PartitionedConvolver::partitionSamples;
    float* oldSet = slotOutput[0];
    float* newSet = slotOutput[1];
    if (occupied(Slot::current))
        runSet(slot(Slot::current), laneInputs, 0, oldSet, frames);
    else
        vecZero(oldSet, frames);
    if (!occupied(Slot::next)) {
        vecCopy(oldSet, out, frames);
        return;
    }
    runSet(slot(Slot::next), laneInputs, 0, newSet, frames);
    samplesSinceLoad += frames;
    int from = 0;
    // At most two handovers per block: next, then the pending set behind it.
    while ((from = mix(oldSet, newSet, out, from, frames)) < frames) {
        // The set just handed over is now `current`; its output is newSet.
        // The old set's buffer is free for the set now in `next`, which
        // starts running at the handover sample.
        float* freed = oldSet;
        oldSet = newSet;
        newSet = freed;
        if (!occupied(Slot::next)) return;  // out[from, frames) already holds oldSet
        runSet(slot(Slot::next), laneInputs, from, newSet + from, frames - from);
        samplesSinceLoad = frames - from;
    }
}

int CrossfadeSlots::mix(const float* oldSet, const float* newSet, float* out, int from,
                        int frames) noexcept {
    const int delay = slot(Slot::next).fadeStartDelay;
    const int span = frames - from;  // samples of this block the next set has run
    if (!occupied(Slot::next) || samplesSinceLoad <= delay) {
        vecCopy(oldSet + from, out + from, span);
        return frames;
    }
    // `pre` samples of the span come before the fade's first sample.
    const int before = samplesSinceLoad - span;
    const int pre = delay > before ? delay - before : 0;
    int fade = 0;
    int newFrom = span;
    if (samplesSinceLoad - delay > fadeLength) {
        fade = fadeLength - fadeDone;
        newFrom = pre + fade;
    } else {
        fade = samplesSinceLoad - fadeDone - delay;
    }
    const float* o = oldSet + from;
    const float* n = newSet + from;
    float* y = out + from;
    if (pre > 0) vecCopy(o, y, pre);
    const float* fo = fadeOut + fadeDone;
    const float* fi = fadeIn + fadeDone;
    for (int t = 0; t < fade; ++t) y[pre + t] = o[pre + t] * fo[t] + n[pre + t] * fi[t];
    if (newFrom < span) vecCopy(n + newFrom, y + newFrom, span - newFrom);
    fadeDone += fade;
    if (fadeDone < fadeLength) return frames;
    slot(Slot::current) = slot(Slot::next);
    slot(Slot::next) = occupied(Slot::pending) ? slot(Slot::pending) : SlotState{-1, 0, 0};
    slot(Slot::pending) = SlotState{-1, 0, 0};
    samplesSinceLoad = fadeDone = 0;
    // The former pending set starts running at the handover sample.
    if (occupied(Slot::next) && bankPartitioned[slot(Slot::next).bank])
        convolvers[slot(Slot::next).bank].clear((blockPhase + from + newFrom) %
                                                PartitionedConvolver::partitionSamples);
    return from + newFrom;
}

bool CrossfadeSlots::steadySet(SteadySet& view) noexcept {
    if (steadyBank() < 0) return false;
    const SlotState& set = slot(Slot::current);
    view.laneCount = set.laneCount < lanesPerBank ? set.laneCount : lanesPerBank;
    view.convolver = bankPartitioned[set.bank] ? &convolvers[set.bank] : nullptr;
    for (int l = 0; l < maxLanes; ++l) {
        const bool in = l < view.laneCount;
        view.fir[l] = in ? lanes[set.bank][l].fir : nullptr;
        view.delay[l] = in ? lanes[set.bank][l].delay : nullptr;
    }
    return true;
}

bool CrossfadeSlots::laneInUse(int lane) const noexcept {
    if (lane < 0 || lane >= lanesPerBank) return false;
    for (const SlotState& s : slots) {
        if (s.bank < 0 || lane >= s.laneCount) continue;
        if (!bankPartitioned[s.bank] || convolvers[s.bank].laneUsed(lane)) return true;
    }
    return false;
}

void CrossfadeSlots::clearBank(int bank, int laneCount) noexcept {
    if (bankPartitioned[bank]) convolvers[bank].clear(streamPhase);
    for (int l = 0; l < laneCount && l < lanesPerBank; ++l) {
        Lane& lane = lanes[bank][l];
        if (lane.fir != nullptr) firSetDelayLine(lane.fir, nullptr);
        lane.delay->clear();
    }
}

void CrossfadeSlots::clearHistories() noexcept {
    ++stateChanges;
    streamPhase = 0;
    for (const SlotState& s : slots)
        if (s.bank >= 0) clearBank(s.bank, s.laneCount);
}

}  // namespace qb32
