#pragma once
// CEbf: the modal decomposition, first signal stage of the chain.
//
// Turns the 32 capsule signals into the spherical-harmonic components of the
// sound field up to order 3 (16 modal components, component k = n^2 + n + m),
// in three steps per block: a fixed matrix product (the decomposition), a
// per-order equalisation (biquad cascades; in equalisation mode 1 followed by
// linear-phase FIR equalisers and alignment delays that give every component
// the same latency, 315 samples at 44.1 kHz), and an optional per-component gain step
// behind the equalisers (equalisation mode 2 is the bare matrix product).
// The matrix and the filter coefficients are handed over by the engine
// (tables in engine/tables/DecompositionTables.h); the block keeps copies.
// The biquad cascades of all components run side by side in one
// CModalBiquadBank, with exactly the arithmetic of the biquad primitive.
// The FIR equalisers run as partitioned convolutions (no added latency; two
// components of one order share a transform), or in direct form when
// convolution::partitionedEnabled() was off when they were loaded; both agree
// within single-precision rounding. With the convolvers, a component whose
// alignment delay reaches one partition (32 samples) has that much of it
// moved in front of its equaliser's taps: its convolver then needs no
// direct-form head, and the latency is the same.
//
// States: constructed -> configured (out = 1, 4, 9 or 16 channels, i.e. order
// 0..3) -> loaded (matrix, biquads, FIR equalisers; loading requires order 3
// and an inactive block) -> active (start) -> stop clears the histories.
// Before a matrix is loaded (or when the input channel count no longer
// matches the loaded rows) process writes silence on every component.
//
// Status codes: 0 ok; 2 stream refused; 5 block active; 7 allocation failed
// (the loader then leaves everything as it was: new states are built first and
// swapped in only when all of them exist); 101 matrix refused (not order 3, or
// no rows given); 102 equalisers refused (not order 3, or no taps given);
// 103 input is not 32 channels; 104 normalisation row outside the table.
// (102 also for FIR equaliser lengths that are even, below 1 or too long.)
// A coefficient set the biquad or FIR constructor refuses for another reason
// (b0 = 0, no sections) leaves that component without the filter.
//
// Real time: process, reset, stop, setEqMode and the accessors allocate
// nothing, take no lock and never throw [audio thread]. configure, the loaders
// and selectNormalisation allocate and must not overlap process [set-up].

#include <cstdint>

#include "engine/ModalBiquadBank.h"
#include "framework/CDelayLine.h"
#include "framework/PartitionedConvolver.h"
#include "framework/Primitives.h"
#include "framework/vkAudioClass.h"

namespace qb32 {

class CEbf : public vkAudioClass {
public:
    static constexpr int maxComponents = 16;
    static constexpr int matrixInputs = 32;
    static constexpr int maxOrder = 3;
    static constexpr int maxFirEqualiserLength = 4095;

    static constexpr int matrixRefused = 101;
    static constexpr int equalisersRefused = 102;
    static constexpr int inputNotThirtyTwo = 103;
    static constexpr int badNormalisation = 104;

    // eqMode values.
    static constexpr int eqBiquads = 0;
    static constexpr int eqBiquadsAndFir = 1;
    static constexpr int eqNone = 2;

    CEbf() noexcept;
    ~CEbf() override;

    int configure(const vkAudioInterface& in, const vkAudioInterface& out) override;
    // out[k] for k < componentCount; in and out must not overlap.
    int process(const float* const* in, float* const* out, int frames) noexcept override;
    void reset() noexcept override;
    int stop() noexcept override;

    // rows[k] holds input.channels weights of component k; copied.
    int setDecompositionMatrix(const float* const* rows);
    // taps[n]: sections[n] groups b0 b1 b2 a0 a1 a2 for the components of order n.
    int setBiquadEqualisers(const double* const* taps, const std::int32_t* sections);
    // taps[n]: the FIR equaliser of order n, lengths[n] taps (odd, at most
    // maxFirEqualiserLength); every component then reaches the output of its
    // equaliser and alignment delay (longest - 1) / 2 samples late. Without
    // lengths: the 44.1 kHz lengths (tables::firEqualiserLengths).
    int setFirEqualisers(const float* const* taps, const std::int32_t* lengths);
    int setFirEqualisers(const float* const* taps);
    int resetNormalisation();
    // Gain step with row `row` of the normalisation table (0 switches it off).
    int selectNormalisation(int row);

    // Written between blocks by the front end, which checks the value.
    void setEqMode(int mode) noexcept { eqMode = mode; }
    [[nodiscard]] int getEqMode() const noexcept { return eqMode; }
    [[nodiscard]] int getOrderIndex() const noexcept { return orderIndex; }
    [[nodiscard]] int getComponentCount() const noexcept { return componentCount; }
    [[nodiscard]] int getNormalisation() const noexcept { return normalisation; }
    [[nodiscard]] float getFirLatency() const noexcept { return firLatency; }
    [[nodiscard]] bool hasDecompositionMatrix() const noexcept;
    [[nodiscard]] bool hasBiquadEqualiser(int k) const noexcept;
    [[nodiscard]] bool hasFirEqualiser(int k) const noexcept;
    [[nodiscard]] bool hasAlignmentDelay(int k) const noexcept;
    [[nodiscard]] int getAlignmentDelayLength(int k) const noexcept;

private:
    void freeMatrix() noexcept;

    std::int32_t orderIndex = -1;
    std::int32_t componentCount = 0;
    std::int32_t normalisation = 0;
    std::int32_t eqMode = eqBiquads;
    float* matrixRows[maxComponents] = {};
    std::int32_t matrixColumns = 0;  // weights per row; 0 while no matrix is loaded
    float* matrixTransposed = nullptr;  // the rows by columns, for calls shorter than a tile
    CModalBiquadBank* biquadBank = nullptr;  // the cascades of all components, run side by side
    FirState* firStates[maxComponents] = {};
    // The same equalisers as partitioned convolutions, one per pair of
    // components of one order (null: direct form).
    static constexpr int firPairCount = 10;
    PartitionedConvolver* firConvolvers = nullptr;
    float firSingleTap[firPairCount] = {};  // a pair's one-tap equaliser (0: none, a convolver runs)
    CDelayLine* alignmentDelays[maxComponents] = {};
    std::int32_t alignmentDelayLengths[maxComponents] = {};
    float firLatency = 0.0f;
    float* componentGains = nullptr;
};

}  // namespace qb32
