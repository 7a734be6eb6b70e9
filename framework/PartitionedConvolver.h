#pragma once
// PartitionedConvolver: up to four FIR filters at once, with no added latency,
// by a direct-form head and FFT partitions for the rest of each filter.
//
// Each lane l has an input x_l and an effective filter e_l: delays[l] zeros,
// then lengths[l] taps (a filter followed by an integer delay, in one). With
// Outputs::sum the block computes y = sum_l e_l * x_l (one output); with
// Outputs::perLane it computes y_l = e_0 * x_l for up to two lanes that share
// lane 0's filter (one output per lane).
//
// How: the taps [0, P) (P = partitionSamples = 32) run in direct form, output
// by output. The rest is cut into partitions of P taps, convolved by 64-point
// FFTs (framework/Fft64.h). Partition j >= 1 only needs inputs at least P
// samples old, so at each partition boundary of the stream (every P samples,
// counted from the last load or clear) the contribution of all partitions to
// the next P outputs is computed at once from inputs already known. Two real
// lanes ride in one complex transform (x_a + i x_b against e_a - i e_b: the
// real part of the product's inverse is e_a * x_a + e_b * x_b), and the lanes
// are summed in the frequency domain, so one inverse transform serves all of
// them. Lanes whose effective filter is all zeros are left out entirely (their
// input is never read), and so are all-zero partitions.
//
// Streaming: the partition boundaries are fixed in the stream, and every
// output is formed by the same operations in the same order whatever the call
// sizes, so a stream's output does not depend on how it is cut into calls.
// A call that completes two or more partitions from a boundary on makes all
// their input transforms first and then forms their sums two boundaries at a
// time, each filter spectrum loaded once for both (the sums read the filter
// spectra and transforms from the first-level cache at most half as often).
//
// Accuracy: within single-precision rounding of the direct form: every output
// is within 2e-7 * max(1, sum of |taps| over the lanes) * (largest |input|)
// of the exact sum (tested against a double-precision direct form; the 1
// covers a lone tap in a partition, whose transform rounds against the whole
// window of inputs). Once a lane's
// input has been zero for its filter length plus two partitions, its
// contribution is exactly zero again.
//
// Status: configure answers 0 or status::allocationFailed (7); load, clear
// and process have no failure. The caller checks lengths[l] + delays[l] <=
// the configured maxTaps.
//
// Real time: load, clear and process allocate nothing, take no lock and never
// throw (load transforms the filter: a few microseconds). configure and
// release allocate and free [set-up].

namespace qb32 {

// Whether the stages use the partitioned convolution for long filters (the
// default) or the direct-form FIR primitive. For benchmarks and tests that
// compare both in one run; read when a filter set is loaded, so set it before
// configuring the blocks it should apply to. [set-up]
namespace convolution {
bool partitionedEnabled() noexcept;
void setPartitionedEnabled(bool on) noexcept;
}  // namespace convolution

class PartitionedConvolver {
public:
    static constexpr int partitionSamples = 32;
    static constexpr int maxLanes = 4;
    enum class Outputs { sum, perLane };

    PartitionedConvolver() noexcept = default;
    ~PartitionedConvolver();
    PartitionedConvolver(const PartitionedConvolver&) = delete;
    PartitionedConvolver& operator=(const PartitionedConvolver&) = delete;

    // lanes 1..4 (perLane: 1 or 2); maxTaps >= 1 bounds delay + length and
    // must be supported (else 7 as well).
    int configure(int lanes, int maxTaps, Outputs outputs) noexcept;
    static constexpr int maxPartitions = 128;  // 4128 taps: the 2743-tap equaliser at 192 kHz
    [[nodiscard]] static constexpr bool supports(int maxTaps) noexcept {
        return maxTaps >= 1 && maxTaps <= partitionSamples * (maxPartitions + 1);
    }
    // Partitions past the head for filters of up to maxTaps taps, and the
    // recent inputs restore() then needs.
    [[nodiscard]] static constexpr int partitionsFor(int maxTaps) noexcept {
        return maxTaps > partitionSamples ? (maxTaps - 1) / partitionSamples : 0;
    }
    [[nodiscard]] static constexpr int restoreSamplesFor(int maxTaps) noexcept {
        return partitionSamples * (partitionsFor(maxTaps) + 2);
    }
    void release() noexcept;
    [[nodiscard]] bool isConfigured() const noexcept { return memory != nullptr; }

    // Builds the filters (lengths[l] <= 0: a silent lane) and clears the state
    // as clear(startPhase) does.
    void load(const int* lengths, const float* const* taps, const int* delays,
              int startPhase = 0) noexcept;
    // Histories to zero; the next partition boundary comes after
    // P - startPhase samples (0 <= startPhase < P). An owner that starts
    // several convolvers at different samples of one stream passes the
    // stream position modulo P, so that all of them cut the stream at the
    // same samples and give the same bits once their histories are full.
    void clear(int startPhase = 0) noexcept;
    // The state the convolver would have reached by running on the lanes'
    // recent inputs since long enough, with the next input at `phase`
    // (0 <= phase < P) of its partition grid: recentEnd[l][-n] ..
    // recentEnd[l][-1] are lane l's last n inputs, oldest first, n at least
    // restoreSamples(). Lanes not used are not read. The outputs that follow
    // are those of a convolver that has run all along, bit for bit (the same
    // transforms of the same windows, the same sums). For an owner that
    // stopped running it for a while and kept the inputs elsewhere.
    void restore(const float* const* recentEnd, int phase) noexcept;
    [[nodiscard]] int restoreSamples() const noexcept { return partitionSamples * (partitions + 2); }

    // in[l] for every lane in use; out[0] (sum) or out[0], out[1] (perLane).
    // in and out may be the same arrays.
    void process(const float* const* in, float* const* out, int frames) noexcept;

    // False for a lane whose effective filter is all zeros (its input is not read).
    [[nodiscard]] bool laneUsed(int lane) const noexcept;

    // For a caller that forms the heads of several convolvers side by side
    // (one convolver per vector lane) in Outputs::sum mode. The next output is
    //   y = (sum over the head lanes l, in lane order, of h_l) + its tail
    //   h_l = one chain of FMAs over i = 0 .. P-1 of headTaps(l)[i] * w_l[i]
    // where w_l is recentInputs(l) followed by the new input x[l], and the
    // tail is what pushSamples answers for that sample: the operations, in
    // the order, of process at the AVX2 and AVX-512 levels.
    [[nodiscard]] const float* headTaps(int lane) const noexcept { return headTapRows[lane]; }
    [[nodiscard]] bool headUsed(int lane) const noexcept { return headLaneUsed[lane]; }
    // The P - 1 inputs of `lane` before the next one, oldest first.
    [[nodiscard]] const float* recentInputs(int lane) const noexcept { return history[lane] + phase + 1; }
    // Stores the next n inputs of every used lane (input j of lane l at
    // samples[l * laneStride + j * sampleStride]), advancing sample by sample
    // (at a partition boundary: the transforms), and writes the FFT part of
    // each of those samples' outputs to tails[j * sampleStride].
    void pushSamples(const float* samples, int laneStride, int sampleStride, int n, float* tails) noexcept {
        for (int j = 0; j < n; ++j) {
            for (int l = 0; l < laneCount; ++l)
                if (used[l]) history[l][partitionSamples + phase] = samples[l * laneStride + j * sampleStride];
            tails[j * sampleStride] = tail[0][phase];
            if (++phase == partitionSamples) boundary();
        }
    }
    // Changes whenever load or clear resets the state.
    [[nodiscard]] unsigned generation() const noexcept { return resets; }

private:
    void boundary() noexcept;
    void transformPartition(int offset, int slot) noexcept;
    int gatherProducts(int latest, const float** g, const float** u, const float** next) const noexcept;
    void sumAndInvert() noexcept;
    void shiftHistories() noexcept;
    void emit(float* const* out, int done, int n, int offset, const float* tailRe, const float* tailIm) noexcept;
    int processBatch(const float* const* in, float* const* out, int done, int frames) noexcept;

    Outputs outputMode = Outputs::sum;
    int laneCount = 0;
    int partitions = 0;  // FFT partitions behind the head
    float* memory = nullptr;
    float* headTapRows[maxLanes] = {};  // reversed first P taps per lane
    float* history[maxLanes] = {};   // previous and current partition of each lane's input
    float* spectra = nullptr;        // [channel][partition][re 64 | im 64]
    float* inputSpectra = nullptr;   // ring of the latest input transforms: [channel][ringSlots][re | im]
    float* work = nullptr;           // re 64 | im 64: the last inverse transform
    float* batchWork = nullptr;      // a batch's inverse transforms, one per boundary (null: no partitions)
    int ringSlots = 0;               // partitions, plus room for a batch's newer transforms
    float* tail[2] = {};             // in `work`: FFT part of the current partition's outputs
    bool partitionUsed[2][maxPartitions] = {};
    int channelLane[2][2] = {{-1, -1}, {-1, -1}};
    int channels = 0;
    bool headLaneUsed[maxLanes] = {};
    bool used[maxLanes] = {};
    int phase = 0;   // samples of the current partition done
    int newest = 0;  // ring slot of the latest input transform
    unsigned resets = 0;
};

}  // namespace qb32
