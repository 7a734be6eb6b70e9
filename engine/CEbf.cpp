#include "engine/CEbf.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <new>

#include "engine/DecompositionKernel.h"
#include "engine/tables/DecompositionTables.h"

namespace qb32 {

namespace {

constexpr int orderOf(int k) noexcept { return k < 1 ? 0 : k < 4 ? 1 : k < 9 ? 2 : 3; }

// Components of one order share their FIR equaliser, so they go through the
// convolvers two at a time: (first, second), second -1 for a single one.
struct ComponentPair {
    int first, second;
};
constexpr ComponentPair firPairs[] = {{0, -1}, {1, 2},  {3, -1},  {4, 5},   {6, 7},
                                      {8, -1}, {9, 10}, {11, 12}, {13, 14}, {15, -1}};
static_assert(std::size(firPairs) == 10);

void fillGains(float* gains, int row) noexcept {
    for (int k = 0; k < CEbf::maxComponents; ++k) gains[k] = tables::normalisationTable[row][k];
}

}  // namespace

CEbf::CEbf() noexcept {
    componentGains = vecAlloc(maxComponents);
    if (componentGains != nullptr) fillGains(componentGains, 0);
}

CEbf::~CEbf() {
    for (int k = 0; k < maxComponents; ++k) {
        delete alignmentDelays[k];
        if (firStates[k] != nullptr) firFree(firStates[k]);
    }
    delete biquadBank;
    delete[] firConvolvers;
    freeMatrix();
    vecFree(componentGains);
}

void CEbf::freeMatrix() noexcept {
    for (float*& row : matrixRows) {
        vecFree(row);
        row = nullptr;
    }
    vecFree(matrixTransposed);
    matrixTransposed = nullptr;
    matrixColumns = 0;
}

int CEbf::configure(const vkAudioInterface& in, const vkAudioInterface& out) {
    if (active) return status::blockActive;
    if (!isServableStreamPair(in, out)) return status::unsupportedStream;
    orderIndex = -1;
    switch (out.channels) {
        case 1: orderIndex = 0; break;
        case 4: orderIndex = 1; break;
        case 9: orderIndex = 2; break;
        case 16: orderIndex = 3; break;
        default: return status::unsupportedStream;
    }
    componentCount = (orderIndex + 1) * (orderIndex + 1);
    return vkAudioClass::configure(in, out);
}

bool CEbf::hasDecompositionMatrix() const noexcept {
    if (matrixColumns <= 0 || matrixColumns != input.channels || componentCount <= 0) return false;
    for (int k = 0; k < componentCount; ++k)
        if (matrixRows[k] == nullptr) return false;
    return true;
}

int CEbf::process(const float* const* in, float* const* out, int frames) noexcept {
    if (frames <= 0 || out == nullptr) return status::ok;
    const int count = componentCount;
    if (in == nullptr || !hasDecompositionMatrix()) {
        for (int k = 0; k < count; ++k) vecZero(out[k], frames);
        return status::ok;
    }

    // Read the between-block settings once.
    const int mode = eqMode;
    const int gainRow = normalisation;

    decomposeTiled(matrixRows, matrixTransposed, count, in, input.channels, out, frames);
    if (mode == eqNone) return status::ok;

    if (biquadBank != nullptr) biquadBank->process(out, count, frames);

    if (mode == eqBiquadsAndFir) {
        if (firConvolvers != nullptr && count == maxComponents) {
            for (int p = 0; p < firPairCount; ++p) {
                const ComponentPair pair = firPairs[p];
                // A one-tap equaliser (orders 0 and 1) is a gain: the
                // direct form's product, exact for the gain of 1 they have.
                if (firSingleTap[p] != 0.0f) {
                    vecScaleInPlace(firSingleTap[p], out[pair.first], frames);
                    if (pair.second >= 0) vecScaleInPlace(firSingleTap[p], out[pair.second], frames);
                    continue;
                }
                float* io[2] = {out[pair.first], pair.second >= 0 ? out[pair.second] : nullptr};
                firConvolvers[p].process(io, io, frames);
            }
        } else {
            for (int k = 0; k < count; ++k)
                if (firStates[k] != nullptr) firFilterInPlace(out[k], frames, firStates[k]);
        }
        for (int k = 0; k < count; ++k)
            if (alignmentDelays[k] != nullptr) alignmentDelays[k]->process(out[k], out[k], frames);
    }

    if (gainRow != 0 && componentGains != nullptr)
        for (int k = 0; k < count; ++k) vecScaleInPlace(componentGains[k], out[k], frames);
    return status::ok;
}

void CEbf::reset() noexcept {
    if (biquadBank != nullptr) biquadBank->clear();
    if (firConvolvers != nullptr)
        for (int p = 0; p < firPairCount; ++p) firConvolvers[p].clear();
    for (int k = 0; k < componentCount; ++k) {
        if (firStates[k] != nullptr) firSetDelayLine(firStates[k], nullptr);
        if (alignmentDelays[k] != nullptr) alignmentDelays[k]->clear();
    }
}

int CEbf::stop() noexcept {
    active = false;
    reset();
    return status::ok;
}

int CEbf::setDecompositionMatrix(const float* const* rows) {
    if (active) return status::blockActive;
    if (orderIndex != maxOrder || rows == nullptr) return matrixRefused;
    if (input.channels != matrixInputs) return inputNotThirtyTwo;
    for (int k = 0; k < componentCount; ++k)
        if (rows[k] == nullptr) return matrixRefused;

    float* fresh[maxComponents] = {};
    float* transposed = vecAlloc(input.channels * decompositionMaxOutputs);
    for (int k = 0; k < componentCount; ++k) {
        fresh[k] = vecAlloc(input.channels);
        if (fresh[k] == nullptr || transposed == nullptr) {
            for (float* row : fresh) vecFree(row);
            vecFree(transposed);
            return status::allocationFailed;
        }
        vecCopy(rows[k], fresh[k], input.channels);
    }
    freeMatrix();
    for (int k = 0; k < maxComponents; ++k) matrixRows[k] = fresh[k];
    transposeMatrix(matrixRows, componentCount, input.channels, transposed);
    matrixTransposed = transposed;
    matrixColumns = input.channels;
    return status::ok;
}

int CEbf::setBiquadEqualisers(const double* const* taps, const std::int32_t* sections) {
    if (active) return status::blockActive;
    if (orderIndex != maxOrder || taps == nullptr || sections == nullptr) return equalisersRefused;

    // Every component of order n gets the cascade of order n. Coefficients the
    // cascade refuses (b0 or a0 = 0, no sections) leave those components
    // without one.
    const double* laneTaps[maxComponents];
    int laneSections[maxComponents];
    for (int k = 0; k < maxComponents; ++k) {
        laneTaps[k] = taps[orderOf(k)];
        laneSections[k] = sections[orderOf(k)];
    }
    CModalBiquadBank* fresh = CModalBiquadBank::create(laneTaps, laneSections);
    if (fresh == nullptr) return status::allocationFailed;
    delete biquadBank;
    biquadBank = fresh;
    return status::ok;
}

namespace {

struct FirEqualiserSet {
    FirState* filters[CEbf::maxComponents] = {};
    CDelayLine* delays[CEbf::maxComponents] = {};

    void release() noexcept {
        for (int k = 0; k < CEbf::maxComponents; ++k) {
            if (filters[k] != nullptr) firFree(filters[k]);
            delete delays[k];
            filters[k] = nullptr;
            delays[k] = nullptr;
        }
    }
};

}  // namespace

int CEbf::setFirEqualisers(const float* const* taps) {
    return setFirEqualisers(taps, tables::firEqualiserLengths);
}

int CEbf::setFirEqualisers(const float* const* taps, const std::int32_t* lengths) {
    if (active) return status::blockActive;
    if (orderIndex != maxOrder || taps == nullptr || lengths == nullptr) return equalisersRefused;
    // The latency of the FIR path is the group delay of the longest
    // (linear-phase) equaliser; shorter ones are padded up to it by their
    // alignment delay.
    int longest = 0;
    for (int n = 0; n <= maxOrder; ++n) {
        if (lengths[n] < 1 || lengths[n] % 2 == 0 || lengths[n] > maxFirEqualiserLength) return equalisersRefused;
        if (lengths[n] > longest) longest = lengths[n];
    }

    // With the partitioned convolvers, a component whose alignment delay is
    // at least one partition takes that partition of it into its equaliser:
    // P zeros in front of the taps. The convolver then forms everything by
    // transforms, with no direct-form head to run, and the delay line behind
    // it is P shorter: the same latency. The direct form (which runs when the
    // block is configured below order 3) gets the same zeros.
    const bool partitioned = convolution::partitionedEnabled();
    constexpr int P = PartitionedConvolver::partitionSamples;
    FirEqualiserSet fresh;
    std::int32_t delayLengths[maxComponents] = {};
    std::int32_t leadingZeros[maxComponents] = {};
    std::unique_ptr<float[]> padded(new (std::nothrow) float[static_cast<std::size_t>(longest + P)]);
    if (padded == nullptr) return status::allocationFailed;
    for (int k = 0; k < maxComponents; ++k) {
        const int n = orderOf(k);
        const int length = lengths[n];
        delayLengths[k] = (longest - length) >> 1;
        if (partitioned && length > 1 && taps[n] != nullptr && delayLengths[k] >= P) leadingZeros[k] = P;
        const int zeros = leadingZeros[k];
        if (taps[n] != nullptr) {
            std::fill(padded.get(), padded.get() + zeros, 0.0f);
            std::copy(taps[n], taps[n] + length, padded.get() + zeros);
        }
        const int result = firInitAlloc(&fresh.filters[k], taps[n] != nullptr ? padded.get() : nullptr, zeros + length,
                                        nullptr);
        if (result != primitiveStatus::ok) fresh.filters[k] = nullptr;
        fresh.delays[k] = new (std::nothrow) CDelayLine;
        const bool delayReady = fresh.delays[k] != nullptr && fresh.delays[k]->hasStorage() &&
                                fresh.delays[k]->resize(delayLengths[k] - zeros) == 0;
        if (result == primitiveStatus::outOfMemory || !delayReady) {
            fresh.release();
            return status::allocationFailed;
        }
        // Other refusals (no taps for this order) leave the component without
        // its FIR equaliser; the front end then refuses equalisation mode 1.
    }

    // The convolvers, when enabled: built completely before anything is swapped.
    PartitionedConvolver* convolvers = nullptr;
    float singleTaps[firPairCount] = {};
    if (partitioned) {
        convolvers = new (std::nothrow) PartitionedConvolver[firPairCount];
        bool built = convolvers != nullptr;
        for (int p = 0; built && p < firPairCount; ++p) {
            const ComponentPair pair = firPairs[p];
            const int n = orderOf(pair.first);
            const int length = lengths[n];
            singleTaps[p] = 0.0f;
            if (taps[n] == nullptr || fresh.filters[pair.first] == nullptr) continue;  // no equaliser: silent
            if (length == 1 && taps[n][0] != 0.0f) {
                singleTaps[p] = taps[n][0];
                continue;
            }
            const int delay = leadingZeros[pair.first];  // the same for both components of an order
            built = convolvers[p].configure(pair.second >= 0 ? 2 : 1, delay + length,
                                            PartitionedConvolver::Outputs::perLane) == status::ok;
            if (!built) break;
            const int laneLengths[2] = {length, length};
            const float* rows[2] = {taps[n], taps[n]};
            const int delays[2] = {delay, delay};
            convolvers[p].load(laneLengths, rows, delays);
        }
        if (!built) {
            delete[] convolvers;
            fresh.release();
            return status::allocationFailed;
        }
    }
    delete[] firConvolvers;
    firConvolvers = convolvers;
    for (int p = 0; p < firPairCount; ++p) firSingleTap[p] = singleTaps[p];

    for (int k = 0; k < maxComponents; ++k) {
        if (firStates[k] != nullptr) firFree(firStates[k]);
        delete alignmentDelays[k];
        firStates[k] = fresh.filters[k];
        alignmentDelays[k] = fresh.delays[k];
        alignmentDelayLengths[k] = delayLengths[k];
    }
    firLatency = static_cast<float>((longest - 1) >> 1);
    return status::ok;
}

int CEbf::resetNormalisation() {
    if (active) return status::blockActive;
    normalisation = 0;
    if (componentGains != nullptr) fillGains(componentGains, 0);
    return status::ok;
}

int CEbf::selectNormalisation(int row) {
    if (active) return status::blockActive;
    if (row < 0 || row >= tables::normalisationRowCount) return badNormalisation;
    if (componentGains == nullptr) {
        componentGains = vecAlloc(maxComponents);
        if (componentGains == nullptr) return status::allocationFailed;
    }
    normalisation = row;
    fillGains(componentGains, row);
    return status::ok;
}

bool CEbf::hasBiquadEqualiser(int k) const noexcept {
    return biquadBank != nullptr && biquadBank->hasLane(k);
}

bool CEbf::hasFirEqualiser(int k) const noexcept {
    return k >= 0 && k < maxComponents && firStates[k] != nullptr;
}

bool CEbf::hasAlignmentDelay(int k) const noexcept {
    return k >= 0 && k < maxComponents && alignmentDelays[k] != nullptr;
}

int CEbf::getAlignmentDelayLength(int k) const noexcept {
    return k >= 0 && k < maxComponents ? alignmentDelayLengths[k] : 0;
}

}  // namespace qb32
