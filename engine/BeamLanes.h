#pragma once
// BeamLanes: the engine's path for short calls, with the beams side by side.
//
// A call of a few samples is dominated by fixed work per beam and stage, and
// by chains of dependent multiply-adds that leave seven of a vector's eight
// lanes idle. This path runs up to eight beams in the lanes of one vector,
// stage by stage over the call's samples: the steering sums, the modal
// filters' direct-form heads, the high band, the crossover and post filters
// and every delay line. It keeps, for each beam, the exact operations and
// order of the per-beam path (the same steering sums, the same FMA chains
// over the same taps, the same sums and scalings), so the output is
// bit-identical whichever path a call takes.
//
// State: the per-beam stages own it. The modal convolvers take every sample
// as it is formed (they answer the FFT part of the low band). The FIR
// histories and the delay lines (high band, crossover and post lanes,
// output) are kept here meanwhile, as their recent inputs interleaved by
// beam, and written back by invalidate(), which the engine calls before
// anything else touches them (the per-beam path, a load, a clear, a resize)
// and which run() calls itself before rebuilding. The copies, with the taps,
// are rebuilt whenever a call finds the modal stage or the high band changed
// (they can be set directly) or the previous call went the per-beam way.
//
// Covered: output mode 1 at the AVX2 or AVX-512 level (beamLanes::enabled),
// at most `maxBeams` beams and `maxFrames` frames, every beam steady (fully
// on or fully off, direction at rest, one filter set in every stage, the
// high band steady), every beam's high-band and output delays alike and at
// most `maxDelay`. Anything else: run() answers false, the stages up to date,
// and the caller takes the per-beam path.
//
// Real time: run and invalidate allocate nothing, take no lock and never
// throw. configure allocates [set-up].

#include <cstdint>

#include "filters/CMbf.h"
#include "filters/CQbHf.h"
#include "filters/vkxShadowFilter.h"
#include "framework/CDelayLine.h"

namespace qb32 {

// Whether short calls may run side by side (the default). For tests and
// benchmarks that compare both paths in one run.
namespace beamLanes {
bool enabled() noexcept;
void setEnabled(bool on) noexcept;
}  // namespace beamLanes

class BeamLanes {
public:
    static constexpr int maxBeams = 8;
    static constexpr int maxFrames = 16;
    // The longest high-band and output delays run side by side (the high
    // band's delay in equalisation mode 1 at 192 kHz is 1915 samples).
    static constexpr int maxDelay = 2048;

    // The stages of one beam, as the engine owns them.
    struct Beam {
        bool on = false;  // fully on (gain 1); else fully off (gain 0)
        CMbf* modal = nullptr;
        CQbHf* highBand = nullptr;
        CDelayLine* highBandDelay = nullptr;
        vkxShadowFilter* lowCrossover = nullptr;
        vkxShadowFilter* highCrossover = nullptr;
        vkxShadowFilter* post = nullptr;
        CDelayLine* outputDelay = nullptr;
    };

    BeamLanes() noexcept = default;
    ~BeamLanes();
    BeamLanes(const BeamLanes&) = delete;
    BeamLanes& operator=(const BeamLanes&) = delete;

    // Sizes the copies for filters of up to crossoverTaps / postTaps taps.
    // Answers false when the memory cannot be had (run then always declines).
    bool configure(int crossoverTaps, int postTaps);
    // Brings the stages up to date and drops the copies: called before
    // anything else runs, reads or changes the beams' crossover and post
    // filters or their delay lines, and whenever a call takes the per-beam
    // path.
    void invalidate() noexcept;

    // Beams' outputs for `frames` samples from the capsules and the modal
    // components already formed for this call; false (nothing touched) when
    // the call is not covered.
    bool run(const Beam* beams, int beamCount, const float* const* capsules,
             const float* const* components, float* const* out, int frames) noexcept;
    // Calls run has served since construction (a statistic for tests and benchmarks).
    [[nodiscard]] std::uint64_t callsServed() const noexcept { return served; }

private:
    // Recent inputs of one kind of filter, eight beams to a row, oldest row
    // first; `position` is the row the next input goes to.
    struct Ring {
        float* rows = nullptr;
        int history = 0;   // rows kept behind the newest (the longest filter - 1)
        int capacity = 0;  // rows in all
        int position = 0;
    };
    // Per-beam stage views gathered for the call.
    struct View {
        bool on;
        float factors[16];
        int orders;
        CrossfadeSlots::SteadySet modalSet;
        const int* capsules;
        int capsuleCount;
        float highGain;
        FirState* fir[3];
        CDelayLine* firDelay[3];
    };
    static constexpr int firKinds = 3;  // low crossover, high crossover, post
    static constexpr int headTaps = 32;
    static constexpr int orderCount = 4;

    bool gather(const Beam* beams, int beamCount) noexcept;
    bool unchanged(const Beam* beams, int beamCount) const noexcept;
    bool build(const Beam* beams, int beamCount) noexcept;
    void runSamples(int beamCount, const float* const* capsules,
                    const float* const* components, float* const* out, int frames) noexcept;
    void release() noexcept;

    bool valid = false;
    std::uint64_t served = 0;
    bool behind = false;  // the FIR states and delay lines lack inputs the rings hold
    int phaseBehind = 0;     // samples (mod 32) the FIR stages' slots have not counted
    float* memory = nullptr;
    float* historyScratch = nullptr;
    Beam builtStages[maxBeams] = {};
    View views[maxBeams] = {};
    // What the copies were built from, as far as it can change behind the
    // engine's back (see unchanged()): the modal set's bank (a bank holds the
    // same filters until a load, and a load ends the steady state), its
    // convolver's resets and the high band's region.
    struct Built {
        bool on;
        int modalBank;
        unsigned generation;
        int region;
        const std::int32_t* regionTable;
    } built[maxBeams] = {};
    int builtBeams = 0;

    // Taps, eight beams to a row: steering factors [16], modal heads
    // [4][32], and each FIR kind's reversed taps right-aligned in
    // firLength[kind] rows (zeros in front of shorter filters).
    float* factorRows = nullptr;
    float* headRows = nullptr;
    float* firRows[firKinds] = {};
    int firLength[firKinds] = {};
    int firCapacity[firKinds] = {};
    Ring modalRing[orderCount];
    Ring firRing[firKinds];
    // The beams' high-band and output delay lines (one length for every
    // beam): history = the delay.
    Ring highBandDelayRing;
    Ring outputDelayRing;
    // Per lane, the high band's capsules and gain. Missing capsules read -0
    // (adding -0 changes no value), silent lanes zeros.
    static constexpr int readZeros = -1;
    static constexpr int readNegativeZeros = -2;
    int highBandCapsule[3][maxBeams] = {};
    float highBandGain[maxBeams] = {};
    // The delay lines behind each FIR kind (lengths per beam; history = the
    // longest), and whether any is longer than 0 / all are alike.
    Ring firDelayRing[3];
    int firDelayLength[3][maxBeams] = {};
    bool anyFirDelay[3] = {};
    bool uniformFirDelay[3] = {};
    // Per lane: a mask of all ones where a beam's order is formed by a head.
    std::uint32_t headMask[orderCount][maxBeams] = {};
    std::uint32_t onMask[maxBeams] = {};
    CDelayLine* modalDelay[maxBeams][orderCount] = {};
    bool anyModalDelay = false;
};

}  // namespace qb32
