#pragma once
// JoinedCrossovers: a beam's two crossover filters run as one.
//
// The crossover pair of every pattern is complementary: the high band's filter
// is h = g (delta_c - l), with l the low band's filter, c its centre tap and
// g the high band's gain (-6 dB). The sum the beam needs is then
//     l * low + h * high  =  l * (low - g high)  +  g high[t - c],
// one FIR instead of two. While both crossover stages run one direct-form
// filter alone (no crossfade, nothing waiting) and the two form such a pair,
// the beam may join them: the low stage's FIR runs on d = low - g high (its
// history holds d meanwhile), the high stage's FIR only keeps its inputs,
// and the high stage's output is g high[t - c] + 0 (the + 0 as the
// side-by-side path forms it). Both stages' delay lines run as before and the
// two are summed behind them as before, so joining or leaving needs nothing
// of them: each output still pairs two values formed at the same sample.
//
// A pair counts as complementary when replacing h by g (delta_c - l), g
// rounded to float, moves no tap by more than 2^-24: no output then moves by
// more than the FIR's own rounding bound (firErrorBound). Taps of up to
// maxTaps.
//
// Joining turns the low stage's history into d, leaving turns it back
// (low = d + g high), both from the two stages' own histories, so either
// form continues as if it had run all along, within rounding. Leaving skips
// that when a stage's state was replaced meanwhile (cleared, new storage):
// the stage's own state wins.
//
// States: apart -> join -> joined -> leave (the owner calls it once either
// stage's settings or state changed: stale()) -> apart. forget() drops a join
// without touching the stages (before they are destroyed).
//
// Real time: everything here allocates nothing, takes no lock and never
// throws. The owner must hand back any copies of the stages' histories it
// keeps elsewhere (BeamLanes) before join and leave.

#include <cstdint>

#include "filters/vkxShadowFilter.h"
#include "framework/CDelayLine.h"
#include "framework/Primitives.h"

namespace qb32 {

class JoinedCrossovers {
public:
    static constexpr int maxTaps = 1023;

    // Whether the stages as they stand form a complementary pair (and its
    // gain). Reads their taps only. Remembers the refusal of a steady pair:
    // while neither stage changes, asking again answers false at once.
    [[nodiscard]] bool couldJoin(vkxShadowFilter& low, vkxShadowFilter& high, float& gain) noexcept;
    // Joins the stages if couldJoin; false (nothing touched) otherwise.
    bool join(vkxShadowFilter& low, vkxShadowFilter& high) noexcept;
    [[nodiscard]] bool joined() const noexcept { return g != 0.0f; }
    [[nodiscard]] float gain() const noexcept { return g; }
    // Either stage's settings or state changed since the join.
    [[nodiscard]] bool stale() const noexcept;
    void leave() noexcept;
    void forget() noexcept;

    // One block of the crossover sum into out. `low` is overwritten (with d);
    // scratch holds `frames` floats. Only while joined.
    void process(float* low, const float* high, float* out, float* scratch, int frames) noexcept;
    // process in three steps, for a caller that runs the low FIRs of
    // several beams side by side (FirSideBySide.h): prepare (d into low,
    // the high band's part into scratch), firFilter(low, out, frames,
    // lowFilter()), finish (the delays and the sum into out).
    void prepare(float* low, const float* high, float* scratch, int frames) noexcept;
    [[nodiscard]] FirState* lowFilter() const noexcept { return lowFir; }
    void finish(float* out, float* scratch, int frames) noexcept;

private:
    struct Counts {
        std::uint32_t lowSettings = 0, lowState = 0, highSettings = 0, highState = 0;
        bool operator==(const Counts&) const noexcept = default;
    };
    static Counts countsOf(const vkxShadowFilter& low, const vkxShadowFilter& high) noexcept;
    // The low FIR's history becomes itself + scale high (the high FIR's,
    // sample by sample): scale -g forms d, +g takes it back.
    void rewriteLowHistory(float scale) noexcept;

    vkxShadowFilter* lowStage = nullptr;
    vkxShadowFilter* highStage = nullptr;
    FirState* lowFir = nullptr;
    FirState* highFir = nullptr;
    CDelayLine* lowDelay = nullptr;
    CDelayLine* highDelay = nullptr;
    float g = 0.0f;  // 0: apart
    int centre = 0;
    Counts seen;
    bool refused = false;  // couldJoin answered false for the stages at `refusedAt`
    Counts refusedAt;
};

}  // namespace qb32
