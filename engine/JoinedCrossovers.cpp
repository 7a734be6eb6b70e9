#include "engine/JoinedCrossovers.h"

#include <cmath>

namespace qb32 {

namespace {
// One unit of single-precision rounding per tap: with the gain rounded to
// float, the taps of the tables fit within a fraction of it at every rate.
constexpr double tapTolerance = 1.0 / (1 << 24);
}  // namespace

JoinedCrossovers::Counts JoinedCrossovers::countsOf(const vkxShadowFilter& low,
                                                    const vkxShadowFilter& high) noexcept {
    return {low.filterSlots().settingsChangeCount(), low.filterSlots().stateChangeCount(),
            high.filterSlots().settingsChangeCount(), high.filterSlots().stateChangeCount()};
}

bool JoinedCrossovers::couldJoin(vkxShadowFilter& low, vkxShadowFilter& high, float& gain) noexcept {
    const Counts now = countsOf(low, high);
    if (refused && refusedAt == now) return false;
    refused = false;
    FirState* lf = nullptr;
    FirState* hf = nullptr;
    CDelayLine* ld = nullptr;
    CDelayLine* hd = nullptr;
    // A crossfade ends inside process without a change of the counters, so
    // only a refusal of steady filters is remembered: those change only
    // through the stages' setters.
    if (!low.steadyFir(lf, ld) || !high.steadyFir(hf, hd)) return false;
    refused = true;
    refusedAt = now;
    const int n = firTapCount(lf);
    if (n != firTapCount(hf) || n % 2 == 0 || n > maxTaps || ld->getLength() != hd->getLength()) return false;
    // The taps are stored reversed; the relation is symmetric about the centre.
    const float* l = firReversedTaps(lf);
    const float* h = firReversedTaps(hf);
    const int c = (n - 1) / 2;
    double dh = 0.0, dd = 0.0;
    for (int i = 0; i < n; ++i) {
        const double d = (i == c ? 1.0 : 0.0) - static_cast<double>(l[i]);
        dh += d * static_cast<double>(h[i]);
        dd += d * d;
    }
    if (!(dd > 0.0)) return false;
    const auto fitted = static_cast<float>(dh / dd);
    if (!std::isfinite(fitted) || fitted == 0.0f) return false;
    for (int i = 0; i < n; ++i) {
        const double d = (i == c ? 1.0 : 0.0) - static_cast<double>(l[i]);
        if (!(std::fabs(static_cast<double>(h[i]) - static_cast<double>(fitted) * d) <= tapTolerance)) return false;
    }
    refused = false;
    gain = fitted;
    return true;
}

bool JoinedCrossovers::join(vkxShadowFilter& low, vkxShadowFilter& high) noexcept {
    float gain = 0.0f;
    if (joined() || !couldJoin(low, high, gain)) return false;
    lowStage = &low;
    highStage = &high;
    (void)low.steadyFir(lowFir, lowDelay);
    (void)high.steadyFir(highFir, highDelay);
    g = gain;
    centre = (firTapCount(lowFir) - 1) / 2;
    // d = low - g high, as process forms it (adding -(g x) is subtracting g x).
    rewriteLowHistory(-g);
    seen = countsOf(low, high);
    return true;
}

void JoinedCrossovers::rewriteLowHistory(float scale) noexcept {
    const int n = firTapCount(lowFir);
    float history[maxTaps];  // [0] unused, as firSetDelayLine reads it
    const float* lows = firRecentInputs(lowFir);
    const float* highs = firRecentInputs(highFir);
    for (int i = 0; i < n - 1; ++i) history[1 + i] = lows[i] + scale * highs[i];
    firSetDelayLine(lowFir, history);
}

bool JoinedCrossovers::stale() const noexcept {
    return joined() && !(countsOf(*lowStage, *highStage) == seen);
}

void JoinedCrossovers::leave() noexcept {
    if (!joined()) return;
    const Counts now = countsOf(*lowStage, *highStage);
    // Unless a state was replaced meanwhile, the FIR states joined on are
    // still the stages' own: the low one takes its inputs back.
    if (now.lowState == seen.lowState && now.highState == seen.highState) rewriteLowHistory(g);
    forget();
}

void JoinedCrossovers::forget() noexcept {
    g = 0.0f;
    lowStage = highStage = nullptr;
    lowFir = highFir = nullptr;
    lowDelay = highDelay = nullptr;
    refused = false;
}

void JoinedCrossovers::process(float* low, const float* high, float* out, float* scratch, int frames) noexcept {
    prepare(low, high, scratch, frames);
    firFilter(low, out, frames, lowFir);
    finish(out, scratch, frames);
}

void JoinedCrossovers::prepare(float* low, const float* high, float* scratch, int frames) noexcept {
    // The high band c samples back (the centre tap's input), times g.
    const int back = firTapCount(highFir) - 1 - centre;
    const float* recent = firRecentInputs(highFir);
    const int fromHistory = frames < centre ? frames : centre;
    for (int j = 0; j < fromHistory; ++j) scratch[j] = g * recent[back + j] + 0.0f;
    for (int j = fromHistory; j < frames; ++j) scratch[j] = g * high[j - centre] + 0.0f;
    firAppendInputs(high, frames, highFir);
    for (int j = 0; j < frames; ++j) low[j] = low[j] - g * high[j];
}

void JoinedCrossovers::finish(float* out, float* scratch, int frames) noexcept {
    lowDelay->process(out, out, frames);
    highDelay->process(scratch, scratch, frames);
    vecAddInPlace(scratch, out, frames);
    lowStage->advanceSteady(frames);
    highStage->advanceSteady(frames);
}

}  // namespace qb32
