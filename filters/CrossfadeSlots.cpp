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
    for (auto& bank : lanes)
        for (Lane& lane : bank) {
            delete lane.delay;
            vecFree(lane.firBuffer);
            lane = Lane{};
        }
    for (float*& buffer : slotOutput) {
        vecFree(buffer);
        buffer = nullptr;
    }
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
                              int fadeTimeConstantMs) noexcept {
    release();
    if (laneCountPerBank < 1 || laneCountPerBank > maxLanes || blockFrames < 1)
        return status::allocationFailed;
    bool ok = true;
    for (auto& bank : lanes)
        for (int l = 0; l < laneCountPerBank; ++l) {
            bank[l].delay = new (std::nothrow) CDelayLine;
            ok = ok && bank[l].delay != nullptr && bank[l].delay->hasStorage();
        }
    for (float*& buffer : slotOutput) ok = ok && (buffer = vecAlloc(blockFrames)) != nullptr;
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
    for (int l = 0; l < laneCount; ++l) {
        Lane& lane = lanes[bank][l];
        lane.fir = nullptr;
        int delay = latencySamples;
        if (lengths[l] > 0) {
            FirState* state = nullptr;
            if (firInit(&state, taps[l], lengths[l], nullptr, lane.firBuffer) == primitiveStatus::ok)
                lane.fir = state;
            // Centred filters arrive after (length - 1) / 2; the delay tops that up.
            delay = latencySamples - ((lengths[l] - 1) >> 1);
            if (lengths[l] > set.fadeStartDelay) set.fadeStartDelay = lengths[l];
        }
        lane.delay->resize(delay);  // within capacity: clears, never allocates
    }
    set.laneCount = laneCount;
    set.bank = bank;
    return target;
}

void CrossfadeSlots::commitNewest() noexcept {
    if (occupied(Slot::pending)) {
        slot(Slot::current) = slot(Slot::pending);
    } else if (occupied(Slot::next)) {
        slot(Slot::current) = slot(Slot::next);
    }
    slot(Slot::next) = SlotState{-1, 0, 0};
    slot(Slot::pending) = SlotState{-1, 0, 0};
    samplesSinceLoad = fadeDone = 0;
}

void CrossfadeSlots::runSet(const SlotState& set, const float* const* laneInputs, float* dst,
                            int frames, MissingFilter missing) noexcept {
    if (set.laneCount <= 0) {
        vecZero(dst, frames);
        return;
    }
    for (int l = 0; l < set.laneCount; ++l) {
        Lane& lane = lanes[set.bank][l];
        const float* src = scratch;
        if (lane.fir != nullptr) {
            firFilter(laneInputs[l], scratch, frames, lane.fir);
        } else if (missing == MissingFilter::passThrough) {
            src = laneInputs[l];
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

void CrossfadeSlots::run(const float* const* laneInputs, int frames, MissingFilter missing) noexcept {
    if (occupied(Slot::current))
        runSet(slot(Slot::current), laneInputs, slotOutput[0], frames, missing);
    else
        vecZero(slotOutput[0], frames);
    if (occupied(Slot::next)) {
        runSet(slot(Slot::next), laneInputs, slotOutput[1], frames, missing);
        samplesSinceLoad += frames;
    }
}

void CrossfadeSlots::mix(float* out, int frames) noexcept {
    const float* oldSet = slotOutput[0];
    const float* newSet = slotOutput[1];
    const int delay = slot(Slot::next).fadeStartDelay;
    if (!occupied(Slot::next) || samplesSinceLoad <= delay) {
        vecCopy(oldSet, out, frames);
        return;
    }
    // `pre` samples of this block come before the fade's first sample.
    const int before = samplesSinceLoad - frames;
    const int pre = delay > before ? delay - before : 0;
    int fade = 0;
    int newFrom = frames;
    if (samplesSinceLoad - delay > fadeLength) {
        fade = fadeLength - fadeDone;
        newFrom = pre + fade;
    } else {
        fade = samplesSinceLoad - fadeDone - delay;
    }
    if (pre > 0) vecCopy(oldSet, out, pre);
    const float* fo = fadeOut + fadeDone;
    const float* fi = fadeIn + fadeDone;
    for (int t = 0; t < fade; ++t) out[pre + t] = oldSet[pre + t] * fo[t] + newSet[pre + t] * fi[t];
    if (newFrom < frames) vecCopy(newSet + newFrom, out + newFrom, frames - newFrom);
    fadeDone += fade;
    if (fadeDone >= fadeLength) {  // handover
        slot(Slot::current) = slot(Slot::next);
        slot(Slot::next) = occupied(Slot::pending) ? slot(Slot::pending) : SlotState{-1, 0, 0};
        slot(Slot::pending) = SlotState{-1, 0, 0};
        samplesSinceLoad = fadeDone = 0;
    }
}

void CrossfadeSlots::clearBank(int bank, int laneCount) noexcept {
    for (int l = 0; l < laneCount && l < lanesPerBank; ++l) {
        Lane& lane = lanes[bank][l];
        if (lane.fir != nullptr) firSetDelayLine(lane.fir, nullptr);
        lane.delay->clear();
    }
}

void CrossfadeSlots::clearHistories() noexcept {
    for (const SlotState& s : slots)
        if (s.bank >= 0) clearBank(s.bank, s.laneCount);
}

}  // namespace qb32
