#include "filters/vkxShadowFilter.h"

#include "framework/Primitives.h"

namespace qb32 {

vkxShadowFilter::~vkxShadowFilter() { vecFree(inputCopy); }

int vkxShadowFilter::configure(const vkAudioInterface& in, const vkAudioInterface& out) {
    if (active) return status::blockActive;
    if (!isServableStreamPair(in, out) || in.channels < 1 || out.channels < 1 ||
        in.frameCount() <= 0)
        return status::unsupportedStream;
    configured = false;
    vecFree(inputCopy);
    vkAudioClass::configure(in, out);
    inputCopy = vecAlloc(input.frameCount());
    if (inputCopy == nullptr) {
        slots.release();
        return status::allocationFailed;
    }
    // A loaded filter only ever covers channel 0, so one lane per bank is all
    // the storage the stage can use.
    if (slots.configure(1, input.frameCount(), input.sampleRate, fadeTimeConstantMs,
                        CrossfadeSlots::MissingFilter::passThrough, CrossfadeSlots::Convolution::direct,
                        sharedRamps) != status::ok)
        return status::allocationFailed;
    configured = true;
    // Sized at once for the latency in force, so a load straight after
    // configure is served; the owner's setLatency resizes as usual.
    return slots.setLatency(latency);
}

int vkxShadowFilter::setLatency(float samples) noexcept {
    if (active) return status::blockActive;
    if (!(samples >= 0.0f) || samples > CrossfadeSlots::maxLatency) return shadowStatus::badLatency;
    latency = samples;
    if (!configured) return status::ok;  // sized by the next configure
    return slots.setLatency(samples);
}

int vkxShadowFilter::loadFilter(const int* lengths, const float* const* taps) noexcept {
    if (!configured || input.channels < 1) return shadowStatus::noChannel;
    if (lengths == nullptr) return shadowStatus::missingTaps;
    if (!slots.canLoad()) return status::allocationFailed;
    if (!slots.fits(lengths[0])) return shadowStatus::filterTooLong;
    if (lengths[0] > 0 && (taps == nullptr || taps[0] == nullptr)) return shadowStatus::missingTaps;
    slots.load(lengths, taps, 1);
    return status::ok;
}

int vkxShadowFilter::getActiveChannels() const noexcept {
    return slots.occupied(CrossfadeSlots::Slot::current) ? 1 : 0;
}

int vkxShadowFilter::start() noexcept {
    settle();
    active = true;
    return status::ok;
}

int vkxShadowFilter::stop() noexcept {
    active = false;
    reset();
    return status::ok;
}

void vkxShadowFilter::reset() noexcept { slots.clearHistories(); }

bool vkxShadowFilter::steadyFir(FirState*& fir, CDelayLine*& delay) noexcept {
    CrossfadeSlots::SteadySet set;
    if (!configured || getActiveChannels() == 0 || !slots.steadySet(set)) return false;
    if (set.convolver != nullptr || set.laneCount != 1 || set.fir[0] == nullptr) return false;
    fir = set.fir[0];
    delay = set.delay[0];
    return true;
}

int vkxShadowFilter::process(const float* const* in, float* const* out, int frames) noexcept {
    if (!configured) return status::unsupportedStream;
    if (frames > input.frameCount() || in == nullptr || out == nullptr || out[0] == nullptr)
        return status::unsupportedStream;
    if (frames <= 0) return status::ok;
    if (getActiveChannels() == 0) {  // nothing loaded: silence, never stale data
        vecZero(out[0], frames);
        return status::ok;
    }
    const float* source[1] = {in[0]};
    if (in[0] == out[0]) {  // a handover mid-block reads the input after out is written
        vecCopy(in[0], inputCopy, frames);
        source[0] = inputCopy;
    }
    slots.process(source, out[0], frames);
    return status::ok;
}

}  // namespace qb32
