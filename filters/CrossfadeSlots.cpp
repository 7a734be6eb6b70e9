#include "filters/CrossfadeSlots.h"

#include <cmath>
#include <cstring>
#include <new>

#include "framework/Status.h"

namespace qb32 {

namespace {
// Longest ramp we agree to build (about 6.7 hours at 44.1 kHz).
constexpr double maxFadeLength = 1 << 30;
}  // namespace

bool FadeRamps::build(float sampleRate, int fadeTimeConstantMs) noexcept {
    release();
    // Five time constants; a rate that is not a positive number gets no ramp.
    double samples = 0.0;
    if (std::isfinite(sampleRate) && sampleRate > 0.0f)
        samples = std::floor(std::floor(static_cast<double>(sampleRate)) * fadeTimeConstantMs * 5.0 / 1000.0);
    if (samples > maxFadeLength) return false;
    rate = sampleRate;
    ms = fadeTimeConstantMs;
    if (samples >= 1.0) {
        const int n = static_cast<int>(samples);
        memory = vecAlloc(2 * n);
        if (memory == nullptr) return false;
        float* out = memory;
        float* in = memory + n;
        const auto divisor = static_cast<float>(-static_cast<double>(sampleRate) * fadeTimeConstantMs / 1000.0);
        vecRamp(out, n, 0.0f, 1.0f);
        vecDivConstInPlace(divisor, out, n);
        vecExpInPlace(out, n);
        vecSubFromConst(out, 1.0f, in, n);
        fadeOut = out;
        fadeIn = in;
        length = n;
    }
    built = true;
    return true;
}

void FadeRamps::release() noexcept {
    vecFree(memory);
    memory = nullptr;
    fadeIn = fadeOut = nullptr;
    length = 0;
    built = false;
}

CrossfadeSlots::~CrossfadeSlots() { release(); }

void CrossfadeSlots::release() noexcept {
    stateChanges.bump();
    for (auto& bank : lanes)
        for (Lane& lane : bank) {
            delete lane.delay;
            vecFree(lane.firBuffer);
            lane = Lane{};
        }
    for (int b = 0; b < bankCount; ++b) {
        convolvers[b].release();
        bankPartitioned[b] = false;
        stale[b] = false;
        bankFilters[b] = BankFilters{};
    }
    vecFree(filterCopies);
    filterCopies = nullptr;
    restoreReach = 0;
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
    scratch = nullptr;
    ownRamps.release();
    ramps = nullptr;
    lanesPerBank = frameCapacity = 0;
    firBufferBytes = allowedTaps = 0;
    storageReady = false;
    emptySlots();
}

void CrossfadeSlots::emptySlots() noexcept {
    for (SlotState& s : slots) s = SlotState{};
    samplesSinceLoad = fadeDone = 0;
    nextSameAsCurrent = mirroring = false;
}

int CrossfadeSlots::configure(int laneCountPerBank, int blockFrames, float sampleRate,
                              int fadeTimeConstantMs, MissingFilter missing,
                              Convolution convolution, const FadeRamps* shared) noexcept {
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
    if (ok) {
        if (shared != nullptr && shared->matches(sampleRate, fadeTimeConstantMs)) {
            ramps = shared;
        } else {
            ok = ownRamps.build(sampleRate, fadeTimeConstantMs);
            ramps = &ownRamps;
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

int CrossfadeSlots::restoreSamplesFor(float latency) noexcept {
    const int taps = maxTapsFor(latency);
    if (!PartitionedConvolver::supports(taps)) return 0;
    return static_cast<int>(latency) + PartitionedConvolver::restoreSamplesFor(taps);
}

int CrossfadeSlots::maxTapsFor(float latency) noexcept {
    return 2 * static_cast<int>(latency) + 1;
}

int CrossfadeSlots::setLatency(float latency) noexcept {
    stateChanges.bump();
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
    vecFree(filterCopies);
    filterCopies = nullptr;
    restoreReach = 0;
    for (int b = 0; b < bankCount; ++b) {
        convolvers[b].release();
        bankPartitioned[b] = false;
        stale[b] = false;
        bankFilters[b] = BankFilters{};
        if (ok && convolutionKind == Convolution::partitioned && lanesPerBank > 0 &&
            PartitionedConvolver::supports(allowedTaps))
            ok = convolvers[b].configure(lanesPerBank, allowedTaps, PartitionedConvolver::Outputs::sum) ==
                 status::ok;
    }
    if (ok && convolvers[0].isConfigured()) {
        filterCopies = vecAlloc(bankCount * lanesPerBank * allowedTaps);
        ok = filterCopies != nullptr;
        restoreReach = restoreSamplesFor(latency);
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

// A bank no other slot holds (a pending load reuses the pending bank).
int CrossfadeSlots::freeBank(Slot target) const noexcept {
    for (int b = 0; b < bankCount; ++b) {
        bool taken = false;
        for (int s = 0; s < 3; ++s)
            if (s != static_cast<int>(target) && slots[s].bank == b) taken = true;
        if (!taken) return b;
    }
    return 0;
}

CrossfadeSlots::Slot CrossfadeSlots::load(const int* lengths, const float* const* taps,
                                          int laneCount) noexcept {
    settingsChanges.bump();
    Slot target = Slot::pending;
    if (!occupied(Slot::current))
        target = Slot::current;
    else if (!occupied(Slot::next))
        target = Slot::next;
    const int bank = freeBank(target);
    SlotState& set = slot(target);
    set.fadeStartDelay = 0;
    const int latencySamples = (allowedTaps - 1) / 2;
    const bool partitioned = convolvers[bank].isConfigured() && convolution::partitionedEnabled() &&
                             missingFilter == MissingFilter::silent;
    bankPartitioned[bank] = partitioned;
    stale[bank] = false;
    bankFilters[bank] = BankFilters{};
    int laneLengths[maxLanes] = {};
    int laneDelays[maxLanes] = {};
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
        laneDelays[l] = delay;
        lane.delay->resize(delay);  // within capacity: clears, never allocates
    }
    // A convolver lane delays its input instead of its output (the same
    // samples meet the same taps), so a short filter stays in the direct-form
    // head. It cuts the stream where every other set of this block does.
    static constexpr int noDelays[maxLanes] = {};
    if (partitioned) {
        convolvers[bank].load(laneLengths, laneTaps, noDelays, streamPhase);
        recordFilters(bank, laneLengths, laneTaps, laneDelays, laneCount);
    }
    set.laneCount = laneCount;
    set.bank = bank;
    if (target == Slot::next)
        nextSameAsCurrent = !partitioned && !bankPartitioned[slot(Slot::current).bank] &&
                            slot(Slot::current).laneCount == laneCount &&
                            sameDirectSets(slot(Slot::current).bank, bank, laneCount);
    return target;
}

void CrossfadeSlots::recordFilters(int bank, const int* lengths, const float* const* taps, const int* delays,
                                   int laneCount) noexcept {
    BankFilters& f = bankFilters[bank];
    f = BankFilters{};
    f.laneCount = laneCount;
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a over lengths, delays and tap bits
    auto mix = [&h](std::uint32_t v) {
        for (int k = 0; k < 4; ++k) {
            h ^= (v >> (8 * k)) & 0xffu;
            h *= 1099511628211ull;
        }
    };
    for (int l = 0; l < laneCount && l < lanesPerBank; ++l) {
        f.lengths[l] = lengths[l] > 0 ? lengths[l] : 0;
        f.delays[l] = delays[l];
        mix(static_cast<std::uint32_t>(f.lengths[l]));
        mix(static_cast<std::uint32_t>(f.delays[l]));
        if (f.lengths[l] == 0) continue;
        float* copy = filterCopies + (bank * lanesPerBank + l) * allowedTaps;
        std::memcpy(copy, taps[l], sizeof(float) * static_cast<std::size_t>(f.lengths[l]));
        f.taps[l] = copy;
        for (int i = 0; i < f.lengths[l]; ++i) {
            std::uint32_t bits;
            std::memcpy(&bits, copy + i, sizeof bits);
            mix(bits);
            if (copy[i] != 0.0f) f.usedLanes |= 1u << l;
        }
    }
    f.hash = h;
}

bool CrossfadeSlots::sameFilters(const BankFilters& a, const BankFilters& b) noexcept {
    if (a.hash != b.hash || a.laneCount != b.laneCount) return false;
    for (int l = 0; l < a.laneCount && l < maxLanes; ++l) {
        if (a.lengths[l] != b.lengths[l] || a.delays[l] != b.delays[l]) return false;
        if (a.lengths[l] > 0 &&
            std::memcmp(a.taps[l], b.taps[l], sizeof(float) * static_cast<std::size_t>(a.lengths[l])) != 0)
            return false;
    }
    return true;
}

// Two direct-form banks with the same filters behind the same delays.
bool CrossfadeSlots::sameDirectSets(int bankA, int bankB, int laneCount) const noexcept {
    if (bankA < 0 || bankB < 0) return false;
    for (int l = 0; l < laneCount && l < lanesPerBank; ++l) {
        const Lane& a = lanes[bankA][l];
        const Lane& b = lanes[bankB][l];
        if ((a.fir == nullptr) != (b.fir == nullptr)) return false;
        if (a.delay->getLength() != b.delay->getLength()) return false;
        if (a.fir == nullptr) continue;
        const int n = firTapCount(a.fir);
        if (n != firTapCount(b.fir) ||
            std::memcmp(firReversedTaps(a.fir), firReversedTaps(b.fir), sizeof(float) * static_cast<std::size_t>(n)) != 0)
            return false;
    }
    return true;
}

void CrossfadeSlots::restartConvolver(int bank) noexcept {
    if (bank >= 0 && bankPartitioned[bank]) {
        convolvers[bank].clear(streamPhase);
        stale[bank] = false;
    }
}

void CrossfadeSlots::commitNewest() noexcept {
    settingsChanges.bump();  // which set is heard; no set's history changes
    if (occupied(Slot::pending)) {
        slot(Slot::current) = slot(Slot::pending);
        restartConvolver(slot(Slot::current).bank);  // never ran: starts on today's grid
    } else if (occupied(Slot::next)) {
        // A next set with the current filters and a full history has the
        // current set's state: the current bank carries on (it alone is up
        // to date when the next one was not run).
        const int keep = slot(Slot::current).bank;
        const bool same = nextSameAsCurrent && samplesSinceLoad >= slot(Slot::next).fadeStartDelay;
        slot(Slot::current) = slot(Slot::next);
        if (same) slot(Slot::current).bank = keep;
    }
    slot(Slot::next) = SlotState{-1, 0, 0};
    slot(Slot::pending) = SlotState{-1, 0, 0};
    samplesSinceLoad = fadeDone = 0;
    nextSameAsCurrent = mirroring = false;
}

void CrossfadeSlots::runAny(const SlotState& set, const float* const* laneInputs, int offset, float* dst,
                            int frames) noexcept {
    if (external == nullptr) {
        runSet(set, laneInputs, offset, dst, frames);
        return;
    }
    if (set.laneCount <= 0 || set.bank < 0) {
        vecZero(dst, frames);
        return;
    }
    external->run(set.bank, offset, dst, frames);
    stale[set.bank] = true;
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
    external = nullptr;
    processSets(laneInputs, out, frames);
}

void CrossfadeSlots::processExternal(ExternalSource& source, float* out, int frames) noexcept {
    external = &source;
    processSets(nullptr, out, frames);
    external = nullptr;
}

void CrossfadeSlots::processSets(const float* const* laneInputs, float* out, int frames) noexcept {
    blockPhase = streamPhase;
    streamPhase = (streamPhase + frames) % PartitionedConvolver::partitionSamples;
    float* oldSet = slotOutput[0];
    float* newSet = slotOutput[1];
    if (occupied(Slot::current))
        runAny(slot(Slot::current), laneInputs, 0, oldSet, frames);
    else
        vecZero(oldSet, frames);
    if (!occupied(Slot::next)) {
        vecCopy(oldSet, out, frames);
        return;
    }
    // Identical filters with a full history give the current set's bits.
    mirroring = external == nullptr && nextSameAsCurrent && samplesSinceLoad >= slot(Slot::next).fadeStartDelay;
    if (mirroring)
        vecCopy(oldSet, newSet, frames);
    else
        runAny(slot(Slot::next), laneInputs, 0, newSet, frames);
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
        runAny(slot(Slot::next), laneInputs, from, newSet + from, frames - from);
        samplesSinceLoad = frames - from;
    }
    mirroring = false;
}

int CrossfadeSlots::mix(const float* oldSet, const float* newSet, float* out, int from,
                        int frames) noexcept {
    const int delay = slot(Slot::next).fadeStartDelay;
    const int fadeLength = ramps != nullptr ? ramps->length : 0;
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
    const float* fo = ramps->fadeOut + fadeDone;
    const float* fi = ramps->fadeIn + fadeDone;
    for (int t = 0; t < fade; ++t) y[pre + t] = o[pre + t] * fo[t] + n[pre + t] * fi[t];
    if (newFrom < span) vecCopy(n + newFrom, y + newFrom, span - newFrom);
    fadeDone += fade;
    if (fadeDone < fadeLength) return frames;
    // A copied next set hands over by letting the current bank carry on.
    const int keep = slot(Slot::current).bank;
    slot(Slot::current) = slot(Slot::next);
    if (mirroring) slot(Slot::current).bank = keep;
    mirroring = false;
    slot(Slot::next) = occupied(Slot::pending) ? slot(Slot::pending) : SlotState{-1, 0, 0};
    slot(Slot::pending) = SlotState{-1, 0, 0};
    samplesSinceLoad = fadeDone = 0;
    const SlotState& now = slot(Slot::current);
    const SlotState& following = slot(Slot::next);
    nextSameAsCurrent = following.bank >= 0 && !bankPartitioned[following.bank] && !bankPartitioned[now.bank] &&
                        following.laneCount == now.laneCount &&
                        sameDirectSets(now.bank, following.bank, following.laneCount);
    // The former pending set starts running at the handover sample (a set
    // run elsewhere is rebuilt when it is next run here).
    if (occupied(Slot::next) && bankPartitioned[following.bank]) {
        if (external != nullptr)
            stale[following.bank] = true;
        else
            convolvers[following.bank].clear((blockPhase + from + newFrom) % PartitionedConvolver::partitionSamples);
    }
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

void CrossfadeSlots::restoreStale(const float* const* recentEnd) noexcept {
    for (int b = 0; b < bankCount; ++b) {
        if (!stale[b]) continue;
        stale[b] = false;
        if (!bankPartitioned[b]) continue;
        const float* ends[maxLanes] = {};
        for (int l = 0; l < lanesPerBank && l < bankFilters[b].laneCount; ++l) {
            if (!convolvers[b].laneUsed(l)) continue;
            CDelayLine& delay = *lanes[b][l].delay;
            const int d = delay.getLength();
            if (d > 0) delay.setRecentInputs(recentEnd[l] - d);
            ends[l] = recentEnd[l] - d;
        }
        convolvers[b].restore(ends, streamPhase);
    }
}

void CrossfadeSlots::clearBank(int bank, int laneCount) noexcept {
    stale[bank] = false;
    if (bankPartitioned[bank]) convolvers[bank].clear(streamPhase);
    for (int l = 0; l < laneCount && l < lanesPerBank; ++l) {
        Lane& lane = lanes[bank][l];
        if (lane.fir != nullptr) firSetDelayLine(lane.fir, nullptr);
        lane.delay->clear();
    }
}

void CrossfadeSlots::clearHistories() noexcept {
    stateChanges.bump();
    streamPhase = 0;
    for (const SlotState& s : slots)
        if (s.bank >= 0) clearBank(s.bank, s.laneCount);
}

}  // namespace qb32
