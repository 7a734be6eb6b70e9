#include "engine/BeamLanes.h"

#include <atomic>
#include <cstring>

#include "framework/PartitionedConvolver.h"
#include "framework/Primitives.h"
#include "framework/Simd.h"

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#define QB32_LANES_X86 1
#endif

namespace qb32 {

namespace beamLanes {
namespace {
std::atomic<bool>& enabledFlag() noexcept {
    static std::atomic<bool> flag{true};
    return flag;
}
}  // namespace

bool enabled() noexcept { return enabledFlag().load(std::memory_order_relaxed); }
void setEnabled(bool on) noexcept { enabledFlag().store(on, std::memory_order_relaxed); }
}  // namespace beamLanes

namespace {

constexpr int W = BeamLanes::maxBeams;  // floats per row
constexpr int slackRows = 128;          // rows a ring fills before it moves its history to the front
constexpr int headHistory = PartitionedConvolver::partitionSamples - 1;

// Sources for the high band's unused capsules and silent lanes.
alignas(32) constexpr float zeros[BeamLanes::maxFrames] = {};
alignas(32) constexpr float negativeZeros[BeamLanes::maxFrames] = {
    -0.0f, -0.0f, -0.0f, -0.0f, -0.0f, -0.0f, -0.0f, -0.0f,
    -0.0f, -0.0f, -0.0f, -0.0f, -0.0f, -0.0f, -0.0f, -0.0f};

// The column of one beam in the last n rows before a ring's position.
void columnBefore(const float* rows, int position, int n, int beam, float* out) noexcept {
    for (int i = 0; i < n; ++i) out[i] = rows[(position - n + i) * W + beam];
}

}  // namespace

BeamLanes::~BeamLanes() { release(); }

void BeamLanes::release() noexcept {
    vecFree(memory);
    memory = nullptr;
    historyScratch = nullptr;
    forget();
    builtBeams = 0;
}

void BeamLanes::handBack() noexcept {
    if (behind) {
        for (int b = 0; b < builtBeams; ++b) {
            // An off beam's stages are paused and silent: the lanes never held them.
            if (!views[b].on) continue;
            const Built& was = built[b];
            vkxShadowFilter* stages[firKinds] = {builtStages[b].lowCrossover, builtStages[b].highCrossover,
                                                 builtStages[b].post};
            // A state changed meanwhile (cleared, resized, given new storage)
            // is the stage's own now: only untouched ones get the inputs back.
            for (int k = 0; k < firKinds; ++k) {
                if (stages[k]->filterSlots().stateChangeCount() == was.firState[k]) {
                    // firSetDelayLine takes the last n - 1 inputs from dly[1 ..].
                    FirState* fir = views[b].fir[k];
                    const int n = firTapCount(fir);
                    columnBefore(firRing[k].rows, firRing[k].position, n - 1, b, historyScratch + 1);
                    firSetDelayLine(fir, historyScratch);
                    stages[k]->advanceSteady(phaseBehind);
                }
                if (views[b].firDelay[k]->changeCount() == was.firDelay[k]) {
                    columnBefore(firDelayRing[k].rows, firDelayRing[k].position, firDelayLength[k][b], b,
                                 historyScratch);
                    views[b].firDelay[k]->setRecentInputs(historyScratch);
                }
            }
            const Ring& o = outputDelayRing;
            if (builtStages[b].outputDelay->changeCount() == was.outputDelay) {
                columnBefore(o.rows, o.position, o.history, b, historyScratch);
                builtStages[b].outputDelay->setRecentInputs(historyScratch);
            }
            const Ring& h = highBandDelayRing;
            if (builtStages[b].highBandDelay->changeCount() == was.highBandDelay) {
                columnBefore(h.rows, h.position, h.history, b, historyScratch);
                builtStages[b].highBandDelay->setRecentInputs(historyScratch);
            }
        }
    }
    forget();
}

void BeamLanes::forget() noexcept {
    behind = false;
    phaseBehind = 0;
    valid = false;
}

bool BeamLanes::configure(int crossoverTaps, int postTaps) {
    release();
    if (crossoverTaps < 1 || postTaps < 1 || crossoverTaps > (1 << 16) || postTaps > (1 << 16)) return false;
    firCapacity[0] = firCapacity[1] = crossoverTaps;
    firCapacity[2] = postTaps;
    // Each block below starts 32-byte aligned (rows of eight floats).
    int longest = crossoverTaps > postTaps ? crossoverTaps : postTaps;
    if (longest < maxDelay) longest = maxDelay;
    const int scratchRows = (longest + W - 1) / W;
    int rows = scratchRows + 16 + orderCount * headTaps + orderCount * (headHistory + slackRows) +
               2 * (maxDelay + slackRows);
    for (int k = 0; k < firKinds; ++k) rows += firCapacity[k] + (firCapacity[k] - 1 + slackRows) + (firCapacity[k] + slackRows);
    memory = vecAlloc(rows * W);
    if (memory == nullptr) return false;
    std::memset(memory, 0, sizeof(float) * static_cast<std::size_t>(rows) * W);
    float* next = memory;
    historyScratch = next;
    next += scratchRows * W;
    factorRows = next;
    next += 16 * W;
    headRows = next;
    next += orderCount * headTaps * W;
    for (Ring& r : modalRing) {
        r.rows = next;
        r.history = headHistory;
        r.capacity = headHistory + slackRows;
        next += r.capacity * W;
    }
    for (int k = 0; k < firKinds; ++k) {
        firRows[k] = next;
        next += firCapacity[k] * W;
        Ring& r = firRing[k];
        r.rows = next;
        r.history = firCapacity[k] - 1;
        r.capacity = r.history + slackRows;
        next += r.capacity * W;
        firDelayRing[k].rows = next;
        firDelayRing[k].capacity = firCapacity[k] + slackRows;
        next += firDelayRing[k].capacity * W;
    }
    for (Ring* r : {&highBandDelayRing, &outputDelayRing}) {
        r->rows = next;
        r->capacity = maxDelay + slackRows;
        next += r->capacity * W;
    }
    return true;
}

// ---- what the call finds -----------------------------------------------------

// Only the beams that are on are looked at: an off beam's lanes carry zeros.
bool BeamLanes::gather(const Beam* beams, int beamCount) noexcept {
    firstOn = -1;
    for (int b = 0; b < beamCount; ++b) {
        const Beam& beam = beams[b];
        View& v = views[b];
        v.on = beam.on;
        if (!v.on) continue;
        if (firstOn < 0) firstOn = b;
        v.sharedLanes = beam.sharedLanes;
        v.crossoverGain = beam.crossoverGain;
        if (v.sharedLanes != nullptr) {
            if (!beam.modal->atRest() || !beam.modal->oneSetAlone()) return false;
            beam.modal->restingFactors(v.factors);
            v.modalSet = CrossfadeSlots::SteadySet{};
            v.orders = orderCount - 1;
        } else {
            if (!beam.modal->restingView(v.factors, v.modalSet, v.orders)) return false;
            if (v.modalSet.laneCount > orderCount || v.orders < v.modalSet.laneCount - 1) return false;
        }
        if (!beam.highBand->steadyMix(beam.modal->getCurrentElevation(), beam.modal->getCurrentAzimuth(),
                                      v.capsules, v.capsuleCount, v.highGain) ||
            v.highGain == 0.0f)
            return false;
        // Every beam's high-band and output delays as long as the first's, with their storage.
        const CDelayLine* lines[2] = {beam.highBandDelay, beam.outputDelay};
        const CDelayLine* firstBeams[2] = {beams[firstOn].highBandDelay, beams[firstOn].outputDelay};
        for (int d = 0; d < 2; ++d)
            if (!lines[d]->hasStorage() || lines[d]->getLength() != firstBeams[d]->getLength() ||
                lines[d]->getLength() > maxDelay)
                return false;
        vkxShadowFilter* stages[firKinds] = {beam.lowCrossover, beam.highCrossover, beam.post};
        for (int k = 0; k < firKinds; ++k) {
            if (!stages[k]->steadyFir(v.fir[k], v.firDelay[k])) return false;
            if (firTapCount(v.fir[k]) > firCapacity[k]) return false;
            if (!v.firDelay[k]->hasStorage() || v.firDelay[k]->getLength() >= firCapacity[k]) return false;
        }
    }
    return true;
}

// The cheap per-call check that nothing has changed since the copies were
// built: the beams' on/off state, and the change counters of every stage an
// on beam's copies came from. Whatever a stage's setters do to it, and
// whoever calls them, moves its counter; the stages' own processing (the
// per-beam path) hands the copies back first. Off beams use no stage.
bool BeamLanes::unchanged(const Beam* beams, int beamCount, std::uint32_t stageChanges, bool asLastCall) noexcept {
    if (!valid || builtBeams != beamCount) return false;
    // No stage changed at all: only what the engine says per call can differ.
    const bool stagesStill = stageChanges == builtStageChanges;
    if (stagesStill && asLastCall) return true;
    for (int b = 0; b < beamCount; ++b) {
        const Beam& beam = beams[b];
        const Built& was = built[b];
        if (beam.on != was.on) return false;
        if (!beam.on) continue;
        if (stagesStill ? beam.sharedLanes != was.sharedLanes || beam.crossoverGain != was.crossoverGain
                        : !(was == recordOf(beam)))
            return false;
    }
    builtStageChanges = stageChanges;
    return true;
}

BeamLanes::Built BeamLanes::recordOf(const Beam& beam) noexcept {
    Built r;
    r.on = beam.on;
    r.sharedLanes = beam.sharedLanes;
    r.crossoverGain = beam.crossoverGain;
    r.modal = beam.modal->changeCount();
    r.highBand = beam.highBand->changeCount();
    const vkxShadowFilter* stages[firKinds] = {beam.lowCrossover, beam.highCrossover, beam.post};
    for (int k = 0; k < firKinds; ++k) {
        r.firSettings[k] = stages[k]->filterSlots().settingsChangeCount();
        r.firState[k] = stages[k]->filterSlots().stateChangeCount();
    }
    r.highBandDelay = beam.highBandDelay->changeCount();
    r.outputDelay = beam.outputDelay->changeCount();
    return r;
}

// Taps and recent inputs from the stages, interleaved by beam.
bool BeamLanes::build(const Beam* beams, int beamCount) noexcept {
    valid = false;
    for (int k = 0; k < firKinds; ++k) {
        int longest = 1;
        for (int b = 0; b < beamCount; ++b) {
            if (!views[b].on) continue;
            const int taps = firTapCount(views[b].fir[k]);
            if (taps > longest) longest = taps;
        }
        // Zeros in front of a shorter filter must keep its taps on the same
        // one of the two FMA chains (even / odd), so the padding is even.
        for (int b = 0; b < beamCount; ++b)
            if (views[b].on && (longest - firTapCount(views[b].fir[k])) % 2 != 0) return false;
        firLength[k] = longest;
        float* taps = firRows[k];
        Ring& ring = firRing[k];
        std::memset(taps, 0, sizeof(float) * static_cast<std::size_t>(longest) * W);
        std::memset(ring.rows, 0, sizeof(float) * static_cast<std::size_t>(ring.history) * W);
        ring.position = ring.history;
        for (int b = 0; b < beamCount; ++b) {
            if (!views[b].on) continue;  // zero taps, zero history: zeros
            const FirState* fir = views[b].fir[k];
            const int n = firTapCount(fir);
            const float* reversed = firReversedTaps(fir);
            const float* recent = firRecentInputs(fir);
            for (int i = 0; i < n; ++i) taps[(longest - n + i) * W + b] = reversed[i];
            for (int i = 0; i < n - 1; ++i) ring.rows[(ring.position - (n - 1) + i) * W + b] = recent[i];
        }
    }

    std::memset(factorRows, 0, sizeof(float) * 16 * W);
    std::memset(headRows, 0, sizeof(float) * orderCount * headTaps * W);
    for (Ring& ring : modalRing) {
        std::memset(ring.rows, 0, sizeof(float) * static_cast<std::size_t>(ring.history) * W);
        ring.position = ring.history;
    }
    anyModalDelay = false;
    anyShared = false;
    anyOwnModal = false;
    sharedSetCount = 0;
    std::memset(sharedComponentMask, 0, sizeof sharedComponentMask);
    for (int b = 0; b < W; ++b) {
        onMask[b] = b < beamCount && views[b].on ? ~0u : 0u;
        sharedMask[b] = 0u;
        for (int n = 0; n < orderCount; ++n) {
            headMask[n][b] = 0u;
            modalDelay[b][n] = nullptr;
        }
    }
    for (int b = 0; b < beamCount; ++b) {
        const View& v = views[b];
        const Beam& beam = beams[b];
        Built& was = built[b];
        builtStages[b] = beam;
        was = Built{};
        was.on = v.on;
        if (!v.on) continue;
        was = recordOf(beam);
        for (int k = 0; k < firKinds; ++k) was.firDelay[k] = v.firDelay[k]->changeCount();
        const PartitionedConvolver* convolver = v.modalSet.convolver;
        for (int k = 0; k < 16; ++k) factorRows[k * W + b] = v.factors[k];
        if (v.sharedLanes != nullptr) {
            anyShared = true;
            sharedMask[b] = ~0u;
            int set = 0;
            while (set < sharedSetCount && sharedSetLanes[set] != v.sharedLanes) ++set;
            if (set == sharedSetCount) sharedSetLanes[sharedSetCount++] = v.sharedLanes;
            for (int k = 0; k < 16; ++k) sharedComponentMask[set][k][b] = v.sharedLanes[k] != nullptr ? ~0u : 0u;
            continue;
        }
        anyOwnModal = true;
        for (int n = 0; n < v.modalSet.laneCount; ++n) {
            if (!convolver->laneUsed(n)) continue;
            CDelayLine* delay = v.modalSet.delay[n];
            if (delay != nullptr && !(delay->getLength() == 0 && delay->hasStorage())) {
                modalDelay[b][n] = delay;
                anyModalDelay = true;
            }
            if (!convolver->headUsed(n)) continue;
            headMask[n][b] = ~0u;
            const float* taps = convolver->headTaps(n);
            for (int i = 0; i < headTaps; ++i) headRows[(n * headTaps + i) * W + b] = taps[i];
            const float* recent = convolver->recentInputs(n);
            for (int i = 0; i < headHistory; ++i) modalRing[n].rows[i * W + b] = recent[i];
        }
    }
    for (int k = 0; k < firKinds; ++k) {
        Ring& r = firDelayRing[k];
        r.history = 0;
        // Lanes without a beam that is on take the first such beam's length,
        // so that they never make the lengths look different.
        const int reference = firstOn >= 0 ? views[firstOn].firDelay[k]->getLength() : 0;
        for (int b = 0; b < W; ++b) {
            firDelayLength[k][b] = b < beamCount && views[b].on ? views[b].firDelay[k]->getLength() : reference;
            if (firDelayLength[k][b] > r.history) r.history = firDelayLength[k][b];
        }
        anyFirDelay[k] = r.history > 0;
        uniformFirDelay[k] = true;
        for (int b = 0; b < W; ++b) uniformFirDelay[k] = uniformFirDelay[k] && firDelayLength[k][b] == r.history;
        r.position = r.history;
        std::memset(r.rows, 0, sizeof(float) * static_cast<std::size_t>(r.history) * W);
        for (int b = 0; b < beamCount; ++b) {
            if (!views[b].on) continue;
            const int d = firDelayLength[k][b];
            views[b].firDelay[k]->recentInputs(historyScratch);
            for (int i = 0; i < d; ++i) r.rows[(r.position - d + i) * W + b] = historyScratch[i];
        }
    }
    anyJoined = false;
    allJoined = firstOn >= 0;
    uniformCentre = true;
    for (int b = 0; b < W; ++b) {
        const bool on = b < beamCount && views[b].on;
        const bool joined = on && views[b].crossoverGain != 0.0f;
        joinedMask[b] = joined ? ~0u : 0u;
        joinGain[b] = joined ? views[b].crossoverGain : 0.0f;
        joinCentre[b] = joined ? (firTapCount(views[b].fir[1]) - 1) / 2 : 0;
        anyJoined = anyJoined || joined;
        if (on && !joined) allJoined = false;
    }
    // Lanes not joined read the first joined lane's centre, so that they
    // never make the centres look different.
    int reference = 0;
    for (int b = W - 1; b >= 0; --b)
        if (joinedMask[b] != 0u) reference = joinCentre[b];
    for (int b = 0; b < W; ++b) {
        if (joinedMask[b] == 0u) joinCentre[b] = reference;
        uniformCentre = uniformCentre && joinCentre[b] == reference;
    }
    for (int b = 0; b < W; ++b) {
        const bool on = b < beamCount && views[b].on;
        const View& v = views[b];
        for (int c = 0; c < 3; ++c)
            highBandCapsule[c][b] = !on ? (c == 0 ? readZeros : readNegativeZeros)
                                        : c < v.capsuleCount ? v.capsules[c] : readNegativeZeros;
        highBandGain[b] = on ? v.highGain : 1.0f;
    }
    Ring* delayRings[2] = {&highBandDelayRing, &outputDelayRing};
    for (int d = 0; d < 2; ++d) {
        Ring& r = *delayRings[d];
        r.history = firstOn < 0 ? 0
                    : d == 0    ? beams[firstOn].highBandDelay->getLength()
                                : beams[firstOn].outputDelay->getLength();
        r.position = r.history;
        std::memset(r.rows, 0, sizeof(float) * static_cast<std::size_t>(r.history) * W);
        for (int b = 0; b < beamCount; ++b) {
            if (!views[b].on) continue;  // paused and silent: its lane stays zero
            (d == 0 ? beams[b].highBandDelay : beams[b].outputDelay)->recentInputs(historyScratch);
            for (int i = 0; i < r.history; ++i) r.rows[i * W + b] = historyScratch[i];
        }
    }
    builtBeams = beamCount;
    valid = true;
    return true;
}

// ---- the samples ----------------------------------------------------------------
// Stage by stage over the call's samples: the chains of different samples
// are independent, so they overlap.

#if QB32_LANES_X86

namespace {

#define QB32_LANES_AVX2 __attribute__((target("avx2,fma"), always_inline)) inline

// Room for n more rows, moving the kept history to the front when the ring
// would overflow; answers the row the first of them goes to.
QB32_LANES_AVX2 float* reserveRows(int& position, float* rows, int history, int capacity, int n) noexcept {
    if (position + n > capacity) {
        std::memmove(rows, rows + (position - history) * W, sizeof(float) * static_cast<std::size_t>(history) * W);
        position = history;
    }
    return rows + position * W;
}

// A vector of eight floats just written one by one: loaded one by one, since
// a vector load of separate recent stores waits for them to retire.
QB32_LANES_AVX2 __m256 fromScalars(const float* p) noexcept {
    return _mm256_setr_ps(p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7]);
}

// Two chains of FMAs, even and odd taps, added at the end: the FIR kernel's
// operations for one output, here for eight beams at once.
QB32_LANES_AVX2 __m256 firLanes(const float* taps, int length, const float* window) noexcept {
    __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps();
    int i = 0;
    for (; i + 2 <= length; i += 2) {
        a0 = _mm256_fmadd_ps(_mm256_load_ps(taps + i * W), _mm256_load_ps(window + i * W), a0);
        a1 = _mm256_fmadd_ps(_mm256_load_ps(taps + (i + 1) * W), _mm256_load_ps(window + (i + 1) * W), a1);
    }
    if (i < length) a0 = _mm256_fmadd_ps(_mm256_load_ps(taps + i * W), _mm256_load_ps(window + i * W), a0);
    return _mm256_add_ps(a0, a1);
}

}  // namespace

__attribute__((target("avx2,fma"))) void BeamLanes::runSamples(int beamCount,
                                                               const float* const* capsules,
                                                               const float* const* components,
                                                               float* const* out, int frames) noexcept {
    constexpr int F = maxFrames;
    const __m256 onLanes = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(onMask)));

    alignas(32) float band[firKinds][F][W];
    if (anyOwnModal) {
    // Steering: each order's channels weighted and summed in order, then the
    // delay lines in front of shorter modal filters.
    alignas(32) float steered[orderCount][F][W];
    for (int j = 0; j < frames; ++j)
        for (int n = 0, k = 0; n < orderCount; ++n) {
            __m256 s = _mm256_setzero_ps();
            for (int c = 0; c <= 2 * n; ++c, ++k)
                s = _mm256_add_ps(s, _mm256_mul_ps(_mm256_set1_ps(components[k][j]), _mm256_load_ps(factorRows + k * W)));
            _mm256_store_ps(steered[n][j], s);
        }
    if (anyModalDelay)
        for (int b = 0; b < beamCount; ++b)
            for (int n = 0; n < orderCount; ++n)
                if (CDelayLine* delay = modalDelay[b][n])
                    for (int j = 0; j < frames; ++j) steered[n][j][b] = delay->step(steered[n][j][b]);

    // Modal filters: the heads side by side; each beam's convolver keeps its
    // own history and answers the FFT part.
    const float* windows[orderCount];
    for (int n = 0; n < orderCount; ++n) {
        Ring& r = modalRing[n];
        const __m256 mask = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(headMask[n])));
        float* row = reserveRows(r.position, r.rows, r.history, r.capacity, frames);
        for (int j = 0; j < frames; ++j) _mm256_store_ps(row + j * W, _mm256_and_ps(_mm256_load_ps(steered[n][j]), mask));
        windows[n] = row - r.history * W;
        r.position += frames;
    }
    alignas(32) float tails[F][W];  // off beams' lanes stay zero
    for (int j = 0; j < frames; ++j) _mm256_store_ps(tails[j], _mm256_setzero_ps());
    for (int b = 0; b < beamCount; ++b)
        if (views[b].on && views[b].sharedLanes == nullptr)
            views[b].modalSet.convolver->pushSamples(&steered[0][0][b], F * W, W, frames, &tails[0][b]);
    for (int j = 0; j < frames; ++j) {
        __m256 acc[orderCount];
        for (auto& a : acc) a = _mm256_setzero_ps();
        for (int i = 0; i < headTaps; ++i)
            for (int n = 0; n < orderCount; ++n)
                acc[n] = _mm256_fmadd_ps(_mm256_load_ps(headRows + (n * headTaps + i) * W),
                                         _mm256_load_ps(windows[n] + (i + j) * W), acc[n]);
        const __m256 low = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(acc[0], acc[1]), acc[2]), acc[3]);
        _mm256_store_ps(band[0][j], _mm256_and_ps(_mm256_add_ps(low, fromScalars(tails[j])), onLanes));
    }
    } else {
        for (int j = 0; j < frames; ++j) _mm256_store_ps(band[0][j], _mm256_setzero_ps());
    }
    if (anyShared) {
        // Shared filters: per beam, the steering sum of its set's outputs,
        // components in order, each a fused multiply-add; a component the
        // set lacks leaves the sum as it is.
        // Each set's outputs meet all its beams' factors at once.
        const __m256 sharedLanes = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(sharedMask)));
        for (int j = 0; j < frames; ++j) {
            __m256 acc = _mm256_setzero_ps();
            for (int set = 0; set < sharedSetCount; ++set) {
                const float* const* y = sharedSetLanes[set];
                for (int k = 0; k < 16; ++k) {
                    if (y[k] == nullptr) continue;
                    const __m256 use = _mm256_castsi256_ps(
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sharedComponentMask[set][k])));
                    const __m256 x = _mm256_broadcast_ss(y[k] + j);
                    acc = _mm256_blendv_ps(acc, _mm256_fmadd_ps(_mm256_load_ps(factorRows + k * W), x, acc), use);
                }
            }
            _mm256_store_ps(band[0][j], _mm256_blendv_ps(_mm256_load_ps(band[0][j]), acc, sharedLanes));
        }
    }

    // High band: the steady region's capsules summed in ascending order and
    // scaled as the per-beam mix does (x * 1 is exact, and a float product
    // equals the double one rounded once), then its alignment delay.
    const float* sources[3][W];
    for (int c = 0; c < 3; ++c)
        for (int b = 0; b < W; ++b) {
            const int capsule = highBandCapsule[c][b];
            sources[c][b] = capsule >= 0 ? capsules[capsule] : capsule == readZeros ? zeros : negativeZeros;
        }
    const __m256 gains = _mm256_loadu_ps(highBandGain);
    {
        Ring& r = highBandDelayRing;
        float* row = reserveRows(r.position, r.rows, r.history, r.capacity, frames);
        for (int j = 0; j < frames; ++j) {
            __m256 x[3];
            for (int c = 0; c < 3; ++c)
                x[c] = _mm256_setr_ps(sources[c][0][j], sources[c][1][j], sources[c][2][j], sources[c][3][j],
                                      sources[c][4][j], sources[c][5][j], sources[c][6][j], sources[c][7][j]);
            const __m256 h = _mm256_mul_ps(_mm256_add_ps(_mm256_add_ps(x[0], x[1]), x[2]), gains);
            _mm256_store_ps(row + j * W, h);
            _mm256_store_ps(band[1][j], _mm256_and_ps(_mm256_load_ps(row + (j - r.history) * W), onLanes));
        }
        r.position += frames;
    }

    // Joined crossovers: the low stage filters low - g high.
    const __m256 joined = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(joinedMask)));
    const __m256 gain = _mm256_loadu_ps(joinGain);
    if (anyJoined)
        for (int j = 0; j < frames; ++j) {
            const __m256 low = _mm256_load_ps(band[0][j]);
            const __m256 d = _mm256_sub_ps(low, _mm256_mul_ps(gain, _mm256_load_ps(band[1][j])));
            _mm256_store_ps(band[0][j], _mm256_blendv_ps(low, d, joined));
        }

    // Crossovers, their sum, the post filter (their histories stay in the
    // rings until handBack writes them back), the output delay.
    alignas(32) float filtered[firKinds][F][W];
    for (int k = 0; k < firKinds; ++k) {
        if (k == 2)
            for (int j = 0; j < frames; ++j)
                _mm256_store_ps(band[2][j], _mm256_add_ps(_mm256_load_ps(filtered[0][j]), _mm256_load_ps(filtered[1][j])));
        Ring& r = firRing[k];
        float* row = reserveRows(r.position, r.rows, r.history, r.capacity, frames);
        for (int j = 0; j < frames; ++j) _mm256_store_ps(row + j * W, _mm256_load_ps(band[k][j]));
        const float* window = row - (firLength[k] - 1) * W;
        if (k == 1 && anyJoined) {
            // Joined: the high stage gives g high[t - c] + 0.
            for (int j = 0; j < frames; ++j) {
                const float* now = row + j * W;
                const __m256 x = uniformCentre ? _mm256_load_ps(now - joinCentre[0] * W)
                                               : _mm256_setr_ps(now[0 - joinCentre[0] * W], now[1 - joinCentre[1] * W],
                                                                now[2 - joinCentre[2] * W], now[3 - joinCentre[3] * W],
                                                                now[4 - joinCentre[4] * W], now[5 - joinCentre[5] * W],
                                                                now[6 - joinCentre[6] * W], now[7 - joinCentre[7] * W]);
                const __m256 centreTap = _mm256_add_ps(_mm256_mul_ps(gain, x), _mm256_setzero_ps());
                const __m256 y = allJoined ? centreTap
                                           : _mm256_blendv_ps(firLanes(firRows[k], firLength[k], window + j * W),
                                                              centreTap, joined);
                _mm256_store_ps(filtered[k][j], y);
            }
        } else {
            for (int j = 0; j < frames; ++j)
                _mm256_store_ps(filtered[k][j], firLanes(firRows[k], firLength[k], window + j * W));
        }
        r.position += frames;
        if (!anyFirDelay[k]) continue;
        // The delay lines behind the filters (a shorter filter's, to the
        // stage's latency), each lane its own length.
        Ring& d = firDelayRing[k];
        float* delayRow = reserveRows(d.position, d.rows, d.history, d.capacity, frames);
        for (int j = 0; j < frames; ++j) _mm256_store_ps(delayRow + j * W, _mm256_load_ps(filtered[k][j]));
        d.position += frames;
        const int* length = firDelayLength[k];
        for (int j = 0; j < frames; ++j) {
            const float* now = delayRow + j * W;
            const __m256 delayed =
                uniformFirDelay[k]
                    ? _mm256_load_ps(now - d.history * W)
                    : _mm256_setr_ps(now[0 - length[0] * W], now[1 - length[1] * W], now[2 - length[2] * W],
                                     now[3 - length[3] * W], now[4 - length[4] * W], now[5 - length[5] * W],
                                     now[6 - length[6] * W], now[7 - length[7] * W]);
            _mm256_store_ps(filtered[k][j], delayed);
        }
    }
    {
        Ring& r = outputDelayRing;
        float* row = reserveRows(r.position, r.rows, r.history, r.capacity, frames);
        for (int j = 0; j < frames; ++j)
            _mm256_store_ps(row + j * W, _mm256_load_ps(filtered[2][j]));
        r.position += frames;
        const float* delayed = row - r.history * W;
        if (frames == 1) {  // one float per beam: no loop to set up
            for (int b = 0; b < beamCount; ++b) out[b][0] = views[b].on ? delayed[b] : 0.0f;
        } else {
            for (int b = 0; b < beamCount; ++b) {
                if (views[b].on)
                    for (int j = 0; j < frames; ++j) out[b][j] = delayed[j * W + b];
                else
                    for (int j = 0; j < frames; ++j) out[b][j] = 0.0f;
            }
        }
    }
    _mm256_zeroupper();
}

#else

void BeamLanes::runSamples(int, const float* const*, const float* const*, float* const*, int) noexcept {}

#endif  // QB32_LANES_X86

bool BeamLanes::run(const Beam* beams, int beamCount, const float* const* capsules,
                    const float* const* components, float* const* out, int frames,
                    const std::uint32_t* stageChanges, bool asLastCall) noexcept {
#if QB32_LANES_X86
    if (memory == nullptr || frames < 1 || frames > maxFrames || beamCount < 1 || beamCount > maxBeams ||
        !simd::atLeast(simd::activeLevel(), simd::Level::avx2) || !beamLanes::enabled()) {
        handBack();
        return false;
    }
    if (!unchanged(beams, beamCount, *stageChanges, asLastCall)) {
        handBack();  // the stages up to date before the copies are rebuilt from them
        if (!gather(beams, beamCount) || !build(beams, beamCount)) return false;
        builtStageChanges = *stageChanges;  // read after handBack, whose write-backs count
    }
    runSamples(beamCount, capsules, components, out, frames);
    for (int b = 0; b < beamCount; ++b) {
        if (!views[b].on) continue;
        if (views[b].sharedLanes != nullptr)
            beams[b].modal->advanceShared(frames);
        else
            beams[b].modal->advanceResting(frames);
    }
    behind = true;
    ++served;
    phaseBehind = (phaseBehind + frames) % PartitionedConvolver::partitionSamples;
    return true;
#else
    (void)beams, (void)beamCount, (void)capsules, (void)components, (void)out, (void)frames, (void)stageChanges,
        (void)asLastCall;
    return false;
#endif
}

}  // namespace qb32
