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
// beam, and handed back by handBack(), which the engine calls before its
// per-beam path runs and which run() calls itself before rebuilding.
//
// Staleness: the copies, with the taps, are rebuilt whenever a call finds
// a beam switched on or off, or the change counter of any stage an on beam
// uses moved (CMbf, CQbHf, the three filter stages' slots, the delay lines):
// every setter of those stages moves it, whoever calls it. The owner counts
// every change of those stages into one total as well (ChangeCounter.h):
// while the total stands still the stages are not visited at all, which
// matters to calls of a sample or two, where those visits miss the cache.
// handBack gives each stage its inputs back only if its state has not been replaced
// meanwhile (cleared, resized, new storage): the stage's own state then
// wins. An off beam is silent and paused: its lanes carry zeros and its
// stages are never touched. Stages destroyed or rebuilt by a configure must
// be preceded by forget() (or configure), which drops the copies unwritten.
//
// Beams whose modal stage runs on shared filters (CQuorbix.h) take their low
// band as the steering sum of the shared set's outputs, formed as
// CMbf::processShared forms it (one chain of fused multiply-adds per sample,
// components in order). Beams whose crossovers run joined
// (JoinedCrossovers.h) filter low - g high with the low stage's taps and take
// g high[t - c] + 0 for the high stage's output, as JoinedCrossovers forms them.
//
// Covered: output mode 1 at the AVX2 or AVX-512 level (beamLanes::enabled),
// at most `maxBeams` beams and `maxFrames` frames, every beam steady (fully
// on or silent, direction at rest, one filter set in every stage, the
// high band steady), the high-band and output delays of the beams that are
// on alike and at most `maxDelay`. Anything else: run() answers false, the
// stages up to date, and the caller takes the per-beam path.
//
// Real time: run, handBack and forget allocate nothing, take no lock and never
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
        // The 16 outputs of the shared filter set that forms this beam's low
        // band (SharedModalFilters), or null: its modal stage runs its own.
        const float* const* sharedLanes = nullptr;
        // The gain g of the beam's joined crossovers, or 0: they run apart.
        float crossoverGain = 0.0f;
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
    // Brings the stages up to date and drops the copies: called before the
    // stages process on their own (the per-beam path).
    void handBack() noexcept;
    // Drops the copies without writing anything back: before the stages
    // are destroyed.
    void forget() noexcept;

    // Beams' outputs for `frames` samples from the capsules and the modal
    // components already formed for this call; false (nothing touched) when
    // the call is not covered.
    // *stageChanges is the total the beams' stages count their changes into.
    // asLastCall: the caller vouches that beams[] holds what it held in the
    // last call, which run accepted (the beams are then not compared again
    // while the total stands still).
    bool run(const Beam* beams, int beamCount, const float* const* capsules,
             const float* const* components, float* const* out, int frames,
             const std::uint32_t* stageChanges, bool asLastCall = false) noexcept;
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
        const float* const* sharedLanes;
        float crossoverGain;
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

    // What the copies were built from: the on/off state and the change
    // counters of the stages (the FIR delay lines' only for handBack).
    struct Built {
        bool on = false;
        const float* const* sharedLanes = nullptr;
        float crossoverGain = 0.0f;
        std::uint32_t modal = 0;
        std::uint32_t highBand = 0;
        std::uint32_t firSettings[3] = {};
        std::uint32_t firState[3] = {};
        std::uint32_t highBandDelay = 0;
        std::uint32_t outputDelay = 0;
        std::uint32_t firDelay[3] = {};
        bool operator==(const Built& o) const noexcept {
            for (int k = 0; k < 3; ++k)
                if (firSettings[k] != o.firSettings[k] || firState[k] != o.firState[k]) return false;
            return on == o.on && sharedLanes == o.sharedLanes && crossoverGain == o.crossoverGain &&
                   modal == o.modal && highBand == o.highBand &&
                   highBandDelay == o.highBandDelay && outputDelay == o.outputDelay;
        }
    };
    static Built recordOf(const Beam& beam) noexcept;

    bool gather(const Beam* beams, int beamCount) noexcept;
    bool unchanged(const Beam* beams, int beamCount, std::uint32_t stageChanges, bool asLastCall) noexcept;
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
    Built built[maxBeams] = {};
    int firstOn = -1;  // the first beam that is on, -1 when none is
    int builtBeams = 0;
    std::uint32_t builtStageChanges = 0;  // the owner's total when the copies were last found current

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
    // Beams on shared filters: their steering sums of the set's outputs
    // (component k's mask all ones where the set has it), in place of heads.
    bool anyShared = false;
    bool anyOwnModal = false;  // some beam that is on runs its own modal filters
    std::uint32_t sharedMask[maxBeams] = {};
    // The distinct sets, each with its outputs and, per component, the
    // lanes of its beams where the set has that component.
    int sharedSetCount = 0;
    const float* const* sharedSetLanes[maxBeams] = {};
    std::uint32_t sharedComponentMask[maxBeams][16][maxBeams] = {};
    std::uint32_t onMask[maxBeams] = {};
    // Beams with joined crossovers: their lanes, gains and centre taps
    // (c = (taps - 1) / 2), and whether every beam that is on is one.
    bool anyJoined = false;
    bool allJoined = false;
    bool uniformCentre = true;
    std::uint32_t joinedMask[maxBeams] = {};
    float joinGain[maxBeams] = {};
    int joinCentre[maxBeams] = {};
    CDelayLine* modalDelay[maxBeams][orderCount] = {};
    bool anyModalDelay = false;
};

}  // namespace qb32
