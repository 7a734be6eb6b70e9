#pragma once
// CrossfadeSlots: the filter-switching machinery shared by CMbf and
// vkxShadowFilter.
//
// Three filter banks, each with up to `maxLanes` lanes (an FIR state in a
// buffer sized once for the longest allowed filter, followed by a delay line).
// A lane's delay makes a centred (linear-phase) filter of any length arrive
// trunc(latency) samples late, so swapping sets never moves the signal.
//
// Slots: `current` (the set heard now), `next` (a newly loaded set running
// beside it), `pending` (the latest set loaded while a crossfade runs; a later
// load overwrites it). The first load after setLatency goes straight to
// `current`. A set in `next` runs `fadeStartDelay` samples before an
// exponential crossfade of `crossfadeLength`
// samples (five time constants) hands over to it; at the handover `pending`, if
// any, becomes `next` and starts running from the very next sample, also in
// the middle of a block. A load takes a bank no other slot holds.
//
// `fadeStartDelay` is the time until the new set's output is fully formed:
// per lane max(length, delay + length - 1) (a pass-through lane: its delay),
// the largest over the lanes. For the longest allowed filter this is its
// length; a shorter filter sits behind a longer delay, which must fill too
// before the fade may blend its output in.
//
// Identical sets (direct form): a `next` set with the same filters as
// `current` gives, once its history is full, the same output bit for bit.
// From then on it is not run: its output is a copy of the current one, and
// at the handover the current bank simply carries on. The output is the one
// of running both.
//
// Block-size independence: the fade start, every ramp index and the handover
// are counted in samples, so the output does not depend on how the stream is
// cut into blocks (given the same loads at the same samples).
//
// Convolution::partitioned (the modal beamformer): a bank's filters run as one
// PartitionedConvolver whose lanes are summed before a single inverse
// transform; each lane's delay line moves in front of its filter (the same
// samples meet the same taps); lanes with an all-zero filter are skipped
// (laneInUse tells the owner which inputs are read). Every set cuts the stream
// into partitions at the same samples (counted from configure or the last
// clearHistories), so a set gives the same bits whenever it was loaded, once
// its history is full. Within single-precision rounding of the direct form,
// same latency; the direct form (FIR primitive, then delay line) is used
// instead when convolution::partitionedEnabled() is off at load time or the
// latency is beyond the convolver's reach. A partitioned bank keeps a copy of
// its effective filters (filtersOf) for an owner that filters elsewhere.
//
// External sets (processExternal): the owner may compute a set's output
// itself (the engine's shared modal filters) while the slots keep the
// switching, the ramps and the stream phase. The bank's own convolver and
// delay lines then fall behind (`stale`) until restoreStale rebuilds them
// from the lanes' recent inputs, which the owner kept.
//
// Status: configure and setLatency answer 0 or status::allocationFailed (7);
// configure leaves nothing allocated on failure. Every other member is
// noexcept, allocation-free and lock-free (the delay lines are grown by
// setLatency, so a load never allocates).

#include <cstdint>

#include "framework/CDelayLine.h"
#include "framework/PartitionedConvolver.h"
#include "framework/Primitives.h"

namespace qb32 {

// The crossfade ramps of one rate and time constant: fadeOut[i] =
// exp(-i / tau), fadeIn = 1 - fadeOut, tau = rate * ms / 1000; length
// trunc(trunc(rate) * ms * 5 / 1000), 0 for a rate that is not a positive
// finite number. Read-only once built, so the stages of one owner can share
// one copy (shareRamps).
class FadeRamps {
public:
    FadeRamps() noexcept = default;
    ~FadeRamps() { release(); }
    FadeRamps(const FadeRamps&) = delete;
    FadeRamps& operator=(const FadeRamps&) = delete;
    // [set-up] false when memory is short (nothing held then).
    bool build(float sampleRate, int fadeTimeConstantMs) noexcept;
    void release() noexcept;
    [[nodiscard]] bool matches(float sampleRate, int fadeTimeConstantMs) const noexcept {
        return built && rate == sampleRate && ms == fadeTimeConstantMs;
    }
    const float* fadeIn = nullptr;
    const float* fadeOut = nullptr;
    int length = 0;

private:
    float* memory = nullptr;
    float rate = 0.0f;
    int ms = 0;
    bool built = false;
};

class CrossfadeSlots {
public:
    static constexpr int bankCount = 3;
    static constexpr int maxLanes = 4;
    enum class Slot { current = 0, next = 1, pending = 2 };
    // What a lane without a filter contributes: nothing, or its input delayed.
    enum class MissingFilter { silent, passThrough };
    // How a bank's lanes are convolved (see above).
    enum class Convolution { direct, partitioned };

    CrossfadeSlots() noexcept = default;
    ~CrossfadeSlots();
    CrossfadeSlots(const CrossfadeSlots&) = delete;
    CrossfadeSlots& operator=(const CrossfadeSlots&) = delete;

    // Builds lanes per bank, block buffers of blockFrames and the ramps (or
    // uses `shared` when it matches the rate and time constant; it must then
    // outlive this block's configuration). Slots empty.
    int configure(int lanes, int blockFrames, float sampleRate, int fadeTimeConstantMs,
                  MissingFilter missing, Convolution convolution = Convolution::direct,
                  const FadeRamps* shared = nullptr) noexcept;
    void release() noexcept;

    // Sizes every FIR buffer for maxTapsFor(latency) taps and grows the delay
    // lines to trunc(latency); empties the slots. latency must be finite and
    // 0 <= latency <= maxLatency (the block checks it).
    int setLatency(float latency) noexcept;
    static constexpr float maxLatency = 1048576.0f;
    [[nodiscard]] static int maxTapsFor(float latency) noexcept;
    [[nodiscard]] int maxTaps() const noexcept { return allowedTaps; }
    // True once setLatency has succeeded since the last configure.
    [[nodiscard]] bool canLoad() const noexcept { return storageReady; }
    // True when `length` taps fit a bank buffer.
    [[nodiscard]] bool fits(int length) const noexcept;

    // Loads one filter per lane (lengths[l] <= 0: no filter), copies the taps.
    // The caller has checked every length with fits() and the tap pointers.
    // Answers the slot the set went to.
    Slot load(const int* lengths, const float* const* taps, int laneCount) noexcept;

    // start(): the newest loaded set becomes `current` at once, the others empty.
    void commitNewest() noexcept;

    // Runs the sets over frames samples of their lane inputs and writes the
    // output (old, crossfade or new), advancing the fade and handing over at
    // its end. out must not alias a lane input.
    void process(const float* const* laneInputs, float* out, int frames) noexcept;
    // Clears FIR histories and delay lines of every occupied set.
    void clearHistories() noexcept;

    // ---- sets computed by the owner ----------------------------------------
    // The output of the set in `bank` over `frames` samples from the block's
    // sample `offset`, written to dst.
    struct ExternalSource {
        virtual void run(int bank, int offset, float* dst, int frames) noexcept = 0;

    protected:
        ~ExternalSource() = default;
    };
    // process, with every set's output from `source` (only partitioned banks
    // may be run so: every occupied one must be). The banks fall behind.
    void processExternal(ExternalSource& source, float* out, int frames) noexcept;
    // The effective filters of a partitioned bank as loaded: per lane its
    // taps (a copy), its length (<= 0: none) and the delay in front of it,
    // with a hash of all of them for quick comparison.
    struct BankFilters {
        const float* taps[maxLanes] = {};
        int lengths[maxLanes] = {};
        int delays[maxLanes] = {};
        int laneCount = 0;
        unsigned usedLanes = 0;  // bit l: lane l has a tap other than zero
        std::uint64_t hash = 0;
    };
    [[nodiscard]] const BankFilters& filtersOf(int bank) const noexcept { return bankFilters[bank]; }
    // Same lengths, delays and taps.
    [[nodiscard]] static bool sameFilters(const BankFilters& a, const BankFilters& b) noexcept;
    [[nodiscard]] bool partitioned(int bank) const noexcept { return bank >= 0 && bankPartitioned[bank]; }
    // The banks of the occupied slots (current, next, pending), -1 for empty.
    void occupiedBanks(int* banks) const noexcept {
        for (int s = 0; s < 3; ++s) banks[s] = slots[s].bank;
    }
    // Samples of lane input a restore reads back from now (the longest
    // delay plus the convolver's restoreSamples).
    [[nodiscard]] int restoreSamples() const noexcept { return restoreReach; }
    // What restoreSamples() becomes after setLatency(latency) of a
    // partitioned block (0 when the convolvers cannot reach its filters).
    [[nodiscard]] static int restoreSamplesFor(float latency) noexcept;
    // Rebuilds every bank that fell behind from the lanes' inputs before the
    // next sample: recentEnd[l][-n] .. recentEnd[l][-1], n >= restoreSamples(),
    // the input of lane l in front of its delay line.
    void restoreStale(const float* const* recentEnd) noexcept;
    [[nodiscard]] bool anyStale() const noexcept { return stale[0] || stale[1] || stale[2]; }

    // For a caller that runs the set heard now itself, sample by sample (the
    // engine's beams side by side): valid while `current` is the only occupied
    // slot. A partitioned set gives its convolver; a direct one its lanes'
    // FIR states (null: no filter). Lane l's delay line comes before the
    // convolver and after a direct FIR, as in process.
    struct SteadySet {
        PartitionedConvolver* convolver = nullptr;
        FirState* fir[maxLanes] = {};
        CDelayLine* delay[maxLanes] = {};
        int laneCount = 0;
    };
    [[nodiscard]] bool steadySet(SteadySet& view) noexcept;
    // The bank of the set heard now while it runs alone, else -1: the same
    // bank with nothing loaded since means the same filters.
    [[nodiscard]] int steadyBank() const noexcept {
        return slots[1].bank < 0 && slots[2].bank < 0 ? slots[0].bank : -1;
    }
    [[nodiscard]] const PartitionedConvolver& convolverOf(int bank) const noexcept { return convolvers[bank]; }
    // Accounts for `frames` samples the caller ran on the steady set.
    void advanceSteady(int frames) noexcept {
        blockPhase = streamPhase;
        streamPhase = (streamPhase + frames) % PartitionedConvolver::partitionSamples;
    }
    // The same when the steady set ran elsewhere (its bank falls behind).
    void advanceExternal(int frames) noexcept {
        advanceSteady(frames);
        if (slots[0].bank >= 0) stale[slots[0].bank] = true;
    }

    // Change counters for a caller that keeps copies of the steady set (the
    // beams side by side): loads and commitNewest change the settings;
    // configure, release, setLatency and clearHistories replace the sets'
    // state (their FIR histories and, but for clearHistories, storage).
    [[nodiscard]] std::uint32_t settingsChangeCount() const noexcept { return settingsChanges.value(); }
    [[nodiscard]] std::uint32_t stateChangeCount() const noexcept { return stateChanges.value(); }
    // Every later change of either kind also counts into *sum (ChangeCounter.h).
    void countChangesInto(std::uint32_t* sum) noexcept {
        settingsChanges.countAlsoInto(sum);
        stateChanges.countAlsoInto(sum);
    }

    // True when some occupied set reads the input of `lane` (all three slots:
    // a pending set may start running in the middle of the next block).
    [[nodiscard]] bool laneInUse(int lane) const noexcept;

    [[nodiscard]] bool occupied(Slot s) const noexcept { return slot(s).bank >= 0; }
    [[nodiscard]] int laneCount(Slot s) const noexcept { return slot(s).laneCount; }
    [[nodiscard]] int fadeStartDelay(Slot s) const noexcept { return slot(s).fadeStartDelay; }
    [[nodiscard]] int crossfadeLength() const noexcept { return ramps != nullptr ? ramps->length : 0; }
    [[nodiscard]] int sinceLoad() const noexcept { return samplesSinceLoad; }
    [[nodiscard]] int fadePosition() const noexcept { return fadeDone; }

private:
    struct SlotState {
        int bank = -1;
        int laneCount = -1;
        int fadeStartDelay = 0;
    };
    struct Lane {
        FirState* fir = nullptr;   // none: the lane has no filter
        void* firBuffer = nullptr;
        CDelayLine* delay = nullptr;
    };

    [[nodiscard]] const SlotState& slot(Slot s) const noexcept { return slots[static_cast<int>(s)]; }
    SlotState& slot(Slot s) noexcept { return slots[static_cast<int>(s)]; }
    void emptySlots() noexcept;
    void runSet(const SlotState& set, const float* const* laneInputs, int offset, float* dst,
                int frames) noexcept;
    void runAny(const SlotState& set, const float* const* laneInputs, int offset, float* dst,
                int frames) noexcept;
    void processSets(const float* const* laneInputs, float* out, int frames) noexcept;
    // Writes out[from, frames) from the old/new slot outputs; answers the
    // sample where a handover happened, or frames.
    int mix(const float* oldSet, const float* newSet, float* out, int from, int frames) noexcept;
    void clearBank(int bank, int lanes) noexcept;
    [[nodiscard]] bool sameDirectSets(int bankA, int bankB, int lanes) const noexcept;
    [[nodiscard]] int freeBank(Slot target) const noexcept;
    void recordFilters(int bank, const int* lengths, const float* const* taps, const int* delays,
                       int laneCount) noexcept;

    MissingFilter missingFilter = MissingFilter::silent;
    Convolution convolutionKind = Convolution::direct;
    PartitionedConvolver convolvers[bankCount];
    bool bankPartitioned[bankCount] = {};  // the set in this bank runs in its convolver
    bool stale[bankCount] = {};            // its convolver and delays fell behind (external runs)
    float* delayedInputs[maxLanes] = {};   // a convolver lane's input behind its delay line
    BankFilters bankFilters[bankCount];
    float* filterCopies = nullptr;         // [bank][lane][allowedTaps], partitioned only
    int restoreReach = 0;
    int streamPhase = 0;  // samples processed since the last clear, modulo the partition length
    int blockPhase = 0;   // streamPhase at the start of the block in process
    void restartConvolver(int bank) noexcept;
    int lanesPerBank = 0;
    int frameCapacity = 0;
    Lane lanes[bankCount][maxLanes];
    int firBufferBytes = 0;
    int allowedTaps = 0;
    bool storageReady = false;

    SlotState slots[3];
    // `next` holds the same direct-form filters as `current` (checked at load
    // and at each handover), and is not run once its history is full.
    bool nextSameAsCurrent = false;
    bool mirroring = false;  // this block's `next` output is a copy of `current`'s
    ExternalSource* external = nullptr;  // set during processExternal
    float* slotOutput[2] = {nullptr, nullptr};
    float* scratch = nullptr;
    FadeRamps ownRamps;
    const FadeRamps* ramps = nullptr;
    int samplesSinceLoad = 0;
    int fadeDone = 0;
    ChangeCounter settingsChanges;
    ChangeCounter stateChanges;
};

}  // namespace qb32
