#pragma once
// SharedModalFilters: modal filter sets run once for every beam that uses them.
//
// A beam at rest forms its low band as sum_n h_n * (sum_m w_nm x_nm): steer,
// then filter each order. The same is sum_nm w_nm (h_n * x_nm): filter each
// component with its order's filter, then steer. The second form shares the
// filtering between beams with the same filter set; each beam then only
// weights and sums the filtered components (CMbf::processShared). A set
// costs (N+1)^2 filtered components instead of N+1 filtered orders per beam,
// so it pays from about N+2 beams on (the engine decides, CQuorbix.h).
//
// Structure: the partitioned convolution of framework/PartitionedConvolver.h
// with the inputs shared. The 16 components keep one time-domain history
// and, while any set runs, one frequency-domain delay line: at each partition
// boundary (every P = 32 samples, fixed in the stream since configure or
// clear) the last 2P samples of each pair of components are transformed
// together (x_a + i x_b). A set multiplies those spectra by its filters'
// partition spectra, sums over the partitions and transforms back once per
// pair: the real part is component a filtered, the imaginary part component
// b. Six pairs hold two components of one order, whose filter is the same.
// The four leftover components (one per order) form two mixed pairs, orders
// 0 with 1 and 2 with 3: their spectrum is split into the two components'
// half spectra (bins 0..32 of a real signal, 32 complex values with the
// Nyquist bin beside the DC bin), each meets its own order's filter, and the
// two halves are joined again before the inverse transform. Eight transforms
// each way and eight spectral sums per boundary, where the leftovers alone
// would take ten, half of each spent on zeros. A 32-tap direct
// form head per component gives the rest, output by output, so there is no
// added latency and no dependence on call sizes. Set output k holds component
// k through the filter of its order (delays in front included); components of
// orders the set does not use are not computed (null lanes).
//
// Sets: up to maxSets at once, each identified by its filters' contents
// (CrossfadeSlots::BankFilters, copied on activation). A set activated in the
// middle of the stream gives the outputs of one that ran all along from its
// first sample (its only state is computed from the shared delay line).
//
// Long filters (more than 768 taps: at 176.4 and 192 kHz) take a second
// level of partitions: taps 32 .. 256 as above, beyond that partitions of
// Q = 256 taps transformed with 2Q = 512 points (fft64::forwardBlocks) every
// Q samples, by the same pairs of components. Still no added latency: a
// partition that begins Q taps in only needs inputs at least Q samples old.
// Q is a multiple of P and both count from the same sample, so every second-
// level boundary is also a first-level one. Fewer, longer partitions read far
// less of the delay lines per sample, which is what bounds the spectral sums
// of long filters. Each output's FFT part is the first level's tail plus the
// second level's, added in that order in every path.
//
// Calls that complete two or more partitions transform all of them first,
// then form each pair's spectral sums for every boundary of the call one after
// the other, then the heads. A pair's delay line and its order's spectra are
// then fetched into the cache once per call instead of once per boundary,
// which is what bounds the spectral sums of a 512-sample block (the ring keeps
// batchLimit - 1 transforms more for it). Every output gets the same
// operations either way.
//
// Calls of fewer than 8 samples (at the AVX2 level) form the heads with the
// components across vector lanes instead of samples: the same chain of
// operations per output, so the same bits, without 7 of 8 lanes discarded.
//
// Accuracy: each output is within 2e-7 x max(1, sum of |taps|) x (largest
// |input|) of the exact sum, the convolver's bound.
//
// States: unconfigured -> configure -> (beginSets, useSet..., endSets)* and
// process per call; clear zeroes the histories. Status: configure answers 0
// or 7 (allocation failed: nothing held).
//
// Real time: process, clear and the set calls allocate nothing, take no lock
// and never throw (activating a set transforms its filters: a few
// microseconds). configure and release allocate and free [set-up].

#include <cstdint>

#include "filters/CrossfadeSlots.h"

namespace qb32 {

class SharedModalFilters {
public:
    static constexpr int componentCount = 16;
    static constexpr int orderCount = 4;
    static constexpr int maxSets = 4;

    SharedModalFilters() noexcept = default;
    ~SharedModalFilters();
    SharedModalFilters(const SharedModalFilters&) = delete;
    SharedModalFilters& operator=(const SharedModalFilters&) = delete;

    // Calls of up to blockFrames samples, effective filters (delay + taps) of
    // up to maxTaps taps, and recentEnd() reaching historySamples back.
    int configure(int blockFrames, int maxTaps, int historySamples) noexcept;
    void release() noexcept;
    [[nodiscard]] bool isConfigured() const noexcept { return memory != nullptr; }
    void clear() noexcept;

    // A new choice of sets: every useSet between beginSets and endSets keeps
    // (or activates) a set; endSets drops the others. useSet answers the
    // set's index, or -1 when all maxSets are taken by other sets.
    void beginSets() noexcept;
    int useSet(const CrossfadeSlots::BankFilters& filters) noexcept;
    void endSets() noexcept;
    [[nodiscard]] int activeSets() const noexcept;

    // The next `frames` samples of the 16 components (frames <= blockFrames).
    void process(const float* const* components, int frames) noexcept;
    // Where the next `frames` samples of each component may be formed
    // (frames <= blockFrames): in the history itself, so that the process
    // that follows, given these pointers, copies nothing. Valid until then.
    void reserve(int frames, float** where) noexcept;
    // Set `set`'s 16 outputs of the last process call (null: not computed).
    [[nodiscard]] const float* const* outputs(int set) const noexcept { return sets[set].lanes; }
    // One past the newest sample of each component's history.
    [[nodiscard]] const float* const* recentEnd() const noexcept { return ends; }

private:
    static constexpr int channelCount = 8;  // six pairs of one order, two mixed
    static constexpr int mixedCount = 2;
    static constexpr int maxLongPartitions = 32;
    struct Set {
        bool active = false;
        bool kept = false;  // chosen in the current beginSets / endSets round
        CrossfadeSlots::BankFilters filters;
        bool orderUsed[orderCount] = {};
        float* taps[orderCount] = {};          // copies of the filters
        float* headTaps[orderCount] = {};      // first 32 effective taps, reversed
        float* spectra[orderCount] = {};       // [partition][re 64 | im 64], scaled by 1/64
        bool partitionUsed[orderCount][128] = {};
        float* mixedSpectra[mixedCount] = {};  // the mixed pairs' two half spectra, [partition][re 64 | im 64]
        bool mixedUsed[mixedCount][128] = {};
        float* tails[channelCount] = {};       // last inverse transform per pair (in tailBlocks)
        float* tailBlocks = nullptr;           // [batchLimit + 1][channelCount][spectrumFloats]
        int tailBlock = 0;                     // the block `tails` points into
        float* longSpectra[orderCount] = {};   // second level: [partition][m blocks of re 64 | im 64]
        bool longUsed[orderCount][maxLongPartitions] = {};
        float* longMixedSpectra[mixedCount] = {};  // the mixed pairs' half spectra, second level
        bool longMixedUsed[mixedCount][maxLongPartitions] = {};
        float* longTails[channelCount] = {};   // its last inverse transform per pair (re 2Q | im 2Q)
        float* headColumns = nullptr;          // [tap][component]: the heads across vector lanes
        float* outputBuffers[componentCount] = {};
        const float* lanes[componentCount] = {};
    };

    void activate(Set& set) noexcept;
    void rebuildDelayLine() noexcept;
    void boundary() noexcept;
    int channelSpectra(const Set& set, int c, const float** g, int* used) const noexcept;
    void sumAndInvert(Set& set) noexcept;
    void transformPartition(int end) noexcept;
    void transform(int c, int start, float* spectrum) noexcept;
    void pointTails(Set& set, int block) noexcept;
    [[nodiscard]] int ringSlot(int back) const noexcept;
    int prepareBoundaries(int frames) noexcept;
    void batchSums(Set& set, int boundaries) noexcept;
    void makeRoom(int frames) noexcept;
    void rebuildLongDelayLine() noexcept;
    void longBoundary() noexcept;
    void longTransform(int c, int start, float* spectrum) noexcept;
    void longSumAndInvert(Set& set) noexcept;
    // Where the second level's FFT part of component k's next output lies
    // (added to the first level's tail in every path, in the same order).
    [[nodiscard]] const float* longTail(const Set& set, int k) const noexcept;
    void narrowHeads(const float* const* components, int done, int frames) noexcept;

    float* memory = nullptr;
    int tapCapacity = 0;
    int partitions = 0;   // FFT partitions behind the head
    int keep = 0;         // history samples kept behind the newest
    int capacity = 0;     // samples per history buffer
    int position = 0;     // where the next sample goes
    int phase = 0;        // samples of the current partition done
    int newest = 0;       // ring slot of the latest transform
    int ringSlots = 0;    // transforms the ring holds: partitions + batchLimit - 1
    int pendingTails = 0; // boundaries of the current piece loop whose tails are formed ahead
    bool delayLineValid = false;
    float* history[componentCount] = {};
    const float* ends[componentCount] = {};
    float* spectraRing = nullptr;  // [channel][ring slot][re 64 | im 64]
    // Second level for long filters: partitions of Q = longSamples taps from
    // tap Q on (the first level then covers taps 32 .. Q), transformed at
    // boundaries every Q samples with 2Q points (0: none).
    int longSamples = 0;
    int longPartitions = 0;
    int longPhase = 0;
    int longNewest = 0;
    bool longDelayLineValid = false;
    float* longRing = nullptr;  // [channel][partition][2Q bins as blocks]
    float* longWork = nullptr;  // one spectrum of 2Q bins
    float* longSpare = nullptr; // another, for the mixed pairs' splitting and joining
    float* tailSums = nullptr;  // [component][P]
    // Short calls form the heads with the components across vector lanes,
    // from an interleaved copy of the recent samples (rows of 16), kept only
    // while calls stay short.
    float* rows = nullptr;
    int rowCapacity = 0;
    int rowPosition = 0;
    bool rowsValid = false;
    Set sets[maxSets];
};

}  // namespace qb32
