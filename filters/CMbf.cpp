#include "filters/CMbf.h"

#include <cmath>
#include <new>

#include "filters/SteeringTables.h"
#include "filters/vkxShadowFilter.h"
#include "framework/Primitives.h"
#include "framework/Simd.h"

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#endif

namespace qb32 {

namespace {

// The same crossfade as the FIR stages: the engine gives both one copy of the ramps.
constexpr int fadeTimeConstantMs = vkxShadowFilter::fadeTimeConstantMs;
// Keeps the per-block arena size within int (26 buffers of 8-aligned blocks).
constexpr int maxBlockFrames = 1 << 24;

int orderOfChannelCount(int channels) noexcept {
    switch (channels) {
        case 1: return 0;
        case 4: return 1;
        case 9: return 2;
        case 16: return 3;
        default: return -1;
    }
}

int wrapAzimuth(int degrees) noexcept { return ((degrees % 360) + 360) % 360; }

// sum[j] = sum over c of x[c][j] * factor[c], the channels of one order at a
// fixed direction, in one pass over the block (channels in order per sample).
// Separate multiplies and adds, never fused (the AVX2 form is compiled without
// FMA, so the compiler cannot contract them either): the gliding path forms
// the same sums that way, and a block at rest must give the bits a gliding
// block gives at the same angles.
void weightedSumBaseline(const float* const* x, const float* factor, int count, float* sum,
                         int frames) noexcept {
    for (int j = 0; j < frames; ++j) {
        float s = 0.0f;
        for (int c = 0; c < count; ++c) s += x[c][j] * factor[c];
        sum[j] = s;
    }
}

#if defined(__i386__) || defined(__x86_64__)
__attribute__((target("avx2"))) void weightedSumAvx2(const float* const* x, const float* factor,
                                                         int count, float* sum, int frames) noexcept {
    __m256 f[7];
    for (int c = 0; c < count; ++c) f[c] = _mm256_set1_ps(factor[c]);
    int j = 0;
    for (; j + 8 <= frames; j += 8) {
        __m256 s = _mm256_setzero_ps();
        for (int c = 0; c < count; ++c) s = _mm256_add_ps(s, _mm256_mul_ps(_mm256_loadu_ps(x[c] + j), f[c]));
        _mm256_storeu_ps(sum + j, s);
    }
    if (j < frames) {  // the last 1-7 samples in one masked vector, the same operations per lane
        const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(frames - j), lane);
        __m256 s = _mm256_setzero_ps();
        for (int c = 0; c < count; ++c) s = _mm256_add_ps(s, _mm256_mul_ps(_mm256_maskload_ps(x[c] + j, mask), f[c]));
        _mm256_maskstore_ps(sum + j, mask, s);
    }
    _mm256_zeroupper();
}
#endif

void weightedSum(const float* const* x, const float* factor, int count, float* sum, int frames) noexcept {
#if defined(__i386__) || defined(__x86_64__)
    if (simd::atLeast(simd::activeLevel(), simd::Level::avx2)) {
        weightedSumAvx2(x, factor, count, sum, frames);
        return;
    }
#endif
    weightedSumBaseline(x, factor, count, sum, frames);
}

// out[j] = sum over c < count, in order, of factor[c] * y[c][j]: one chain
// per sample, fused multiply-adds from AVX2 up (BeamLanes forms the same
// chain per beam), separate products and sums below.
void steerLanesBaseline(const float* const* y, const float* factor, int count, float* out, int frames) noexcept {
    for (int j = 0; j < frames; ++j) {
        float s = 0.0f;
        for (int c = 0; c < count; ++c) s += factor[c] * y[c][j];
        out[j] = s;
    }
}

#if defined(__i386__) || defined(__x86_64__)
__attribute__((target("avx2,fma"))) void steerLanesAvx2(const float* const* y, const float* factor, int count,
                                                        float* out, int frames) noexcept {
    __m256 f[16];
    for (int c = 0; c < count; ++c) f[c] = _mm256_set1_ps(factor[c]);
    int j = 0;
    for (; j + 16 <= frames; j += 16) {
        __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps();
        for (int c = 0; c < count; ++c) {
            s0 = _mm256_fmadd_ps(f[c], _mm256_loadu_ps(y[c] + j), s0);
            s1 = _mm256_fmadd_ps(f[c], _mm256_loadu_ps(y[c] + j + 8), s1);
        }
        _mm256_storeu_ps(out + j, s0);
        _mm256_storeu_ps(out + j + 8, s1);
    }
    for (; j < frames; j += 8) {
        const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(frames - j), lane);
        __m256 s = _mm256_setzero_ps();
        for (int c = 0; c < count; ++c) s = _mm256_fmadd_ps(f[c], _mm256_maskload_ps(y[c] + j, mask), s);
        _mm256_maskstore_ps(out + j, mask, s);
    }
    _mm256_zeroupper();
}
#endif

void steerLanes(const float* const* y, const float* factor, int count, float* out, int frames) noexcept {
#if defined(__i386__) || defined(__x86_64__)
    if (simd::atLeast(simd::activeLevel(), simd::Level::avx2)) {
        steerLanesAvx2(y, factor, count, out, frames);
        return;
    }
#endif
    steerLanesBaseline(y, factor, count, out, frames);
}

int neighbour(int current, int direction, bool wraps) noexcept {
    return wraps ? wrapAzimuth(current + direction) : current + direction;
}

}  // namespace

CMbf::~CMbf() { releaseBuffers(); }

void CMbf::releaseBuffers() noexcept {
    vecFree(blockMemory);
    blockMemory = nullptr;
    for (float*& p : elevationFactors) p = nullptr;
    for (float*& p : azimuthFactors) p = nullptr;
    for (float*& p : orderSignals) p = nullptr;
    delete[] elevationTrack;
    delete[] azimuthTrack;
    elevationTrack = azimuthTrack = nullptr;
    vecFree(steeredHistory);
    steeredHistory = nullptr;
    slots.release();
    order = -1;
    restSamples = 0;
}

int CMbf::configure(const vkAudioInterface& in, const vkAudioInterface& out) {
    changes.bump();
    if (active) return status::blockActive;
    const int n = orderOfChannelCount(in.channels);
    if (!isServableStreamPair(in, out) || out.channels != 1 || n < 0 || in.frameCount() <= 0)
        return status::unsupportedStream;
    releaseBuffers();
    vkAudioClass::configure(in, out);
    // Whole samples per second for the glide's step accumulator; at least
    // one sample per degree.
    const double rate = std::nearbyint(static_cast<double>(input.sampleRate));
    glideRate_hz = rate >= glideDegreesPerSecond && rate <= 1e8 ? static_cast<int>(rate) : glideDegreesPerSecond;

    const int frames = input.frameCount();
    const int channels = (n + 1) * (n + 1);
    const int stride = (frames + 7) / 8 * 8;  // keeps every buffer 32-byte aligned
    bool ok = frames <= maxBlockFrames;
    if (ok) blockMemory = vecAlloc(stride * (channels + 2 * n + n + 1));
    ok = ok && blockMemory != nullptr;
    ok = ok && (elevationTrack = new (std::nothrow) int[frames]) != nullptr;
    ok = ok && (azimuthTrack = new (std::nothrow) int[frames]) != nullptr;
    ok = ok && slots.configure(n + 1, frames, input.sampleRate, fadeTimeConstantMs,
                                CrossfadeSlots::MissingFilter::silent,
                                CrossfadeSlots::Convolution::partitioned, sharedRamps) == status::ok;
    if (!ok) {
        releaseBuffers();
        return status::allocationFailed;
    }
    float* next = blockMemory;
    for (int k = 0; k < channels; ++k, next += stride) elevationFactors[k] = next;
    for (int r = 0; r < 2 * n; ++r, next += stride) azimuthFactors[r] = next;
    for (int o = 0; o <= n; ++o, next += stride) {
        orderSignals[o] = next;
        vecZero(next, frames);
    }
    for (int i = 0; i < frames; ++i) {
        elevationTrack[i] = elevation.current;
        azimuthTrack[i] = azimuth.current;
    }
    order = n;
    return setLatency(latency);
}

int CMbf::setLatency(float samples) noexcept {
    changes.bump();
    if (active) return status::blockActive;
    if (!(samples >= 0.0f) || samples > CrossfadeSlots::maxLatency) return mbfStatus::badLatency;
    latency = samples;
    restSamples = 0;
    if (order < 0) return status::ok;  // sized by the next configure
    // The steered history a rebuild of the stage's own filters reads.
    vecFree(steeredHistory);
    steeredHistory = nullptr;
    const int reach = CrossfadeSlots::restoreSamplesFor(samples);
    if (reach > 0 && (steeredHistory = vecAlloc(orderCount * reach)) == nullptr) return status::allocationFailed;
    return slots.setLatency(samples);
}

int CMbf::loadModalFilters(const int* lengths, const float* const* taps) noexcept {
    changes.bump();
    if (order < 3) return mbfStatus::tooFewOrders;
    if (lengths == nullptr) return mbfStatus::missingTaps;
    if (!slots.canLoad()) return status::allocationFailed;
    for (int n = 0; n < orderCount; ++n)
        if (!slots.fits(lengths[n])) return mbfStatus::filterTooLong;
    for (int n = 0; n < orderCount; ++n)
        if (lengths[n] > 0 && (taps == nullptr || taps[n] == nullptr)) return mbfStatus::missingTaps;
    if (slots.load(lengths, taps, orderCount) != CrossfadeSlots::Slot::pending)
        steeredOrders = orderCount - 1;
    return status::ok;
}

int CMbf::start() noexcept {
    settle();
    active = true;
    return status::ok;
}

void CMbf::settle() noexcept {
    changes.bump();
    slots.commitNewest();
    steeredOrders = slots.occupied(CrossfadeSlots::Slot::current)
                        ? slots.laneCount(CrossfadeSlots::Slot::current) - 1
                        : -1;
    // Jump to the targets; a step in progress is dropped, so the glide resumes
    // from the grid angle now reached.
    elevation.current = elevation.target;
    azimuth.current = azimuth.target;
    elevation.counter = azimuth.counter = 0;
    elevation.remainder = azimuth.remainder = 0;
    restSamples = 0;
}

int CMbf::stop() noexcept {
    active = false;
    reset();
    return status::ok;
}

void CMbf::reset() noexcept {
    changes.bump();
    restSamples = 0;
    slots.clearHistories();
}

void CMbf::setTargetElevation(int degrees) noexcept {
    changes.bump();
    elevation.target = degrees < 0 ? 0 : degrees > 180 ? 180 : degrees;
}

void CMbf::setTargetAzimuth(int degrees) noexcept {
    changes.bump();
    azimuth.target = wrapAzimuth(degrees);
}

void CMbf::setElevation(float degrees) noexcept {
    elevationDegrees = degrees;
    setTargetElevation(!(degrees > 0.0f) ? 0 : degrees >= 180.0f ? 180 : static_cast<int>(degrees));
}

void CMbf::setAzimuth(float degrees) noexcept {
    azimuthDegrees = degrees;
    // fmod keeps the fraction, so truncating afterwards equals trunc(degrees) mod 360.
    setTargetAzimuth(std::isfinite(degrees)
                         ? static_cast<int>(std::fmod(static_cast<double>(degrees), 360.0))
                         : 0);
}

int CMbf::glide(GlideAxis& axis, const float* table, int columns, int rows, bool wraps, int rate_hz,
                float* const* factors, int* track, int frames) noexcept {
    int i = 0;
    while (i < frames) {
        if (axis.counter == 0) {
            if (axis.current == axis.target) {  // at rest for the rest of the block
                axis.remainder = 0;
                for (int r = 0; r < rows; ++r) {
                    const float value = table[r * columns + axis.current];
                    for (int j = i; j < frames; ++j) factors[r][j] = value;
                }
                for (int j = i; j < frames; ++j) track[j] = axis.current;
                return i;
            }
            int direction = axis.target > axis.current ? 1 : -1;
            const int distance = axis.target - axis.current;
            if (wraps && (distance > 180 || distance < -180)) direction = -direction;
            axis.direction = direction;
            const int to = neighbour(axis.current, direction, wraps);
            // This step's length: the samples the exact accumulator of
            // rate / 441 passes in one degree (at 44.1 kHz always 100).
            const int accumulated = axis.remainder + rate_hz;
            const int length = accumulated / glideDegreesPerSecond;
            axis.remainder = accumulated - length * glideDegreesPerSecond;
            const float stepSlope = 1.0f / static_cast<float>(length);
            for (int r = 0; r < rows; ++r) {
                axis.base[r] = table[r * columns + axis.current];
                axis.slope[r] = (table[r * columns + to] - axis.base[r]) * stepSlope;
                axis.accumulator[r] = 0.0f;
            }
            axis.counter = length;
        }
        const int run = axis.counter < frames - i ? axis.counter : frames - i;
        // Rows innermost: their running sums are independent, so the adds
        // overlap instead of waiting on one another (same sums, same order).
        float sum[16], base[16], slope[16];
        for (int r = 0; r < rows; ++r) {
            sum[r] = axis.accumulator[r];
            base[r] = axis.base[r];
            slope[r] = axis.slope[r];
        }
        for (int j = i; j < i + run; ++j)
            for (int r = 0; r < rows; ++r) {
                sum[r] += slope[r];
                factors[r][j] = base[r] + sum[r];
            }
        for (int r = 0; r < rows; ++r) axis.accumulator[r] = sum[r];
        for (int j = i; j < i + run; ++j) track[j] = axis.current;
        i += run;
        axis.counter -= run;
        if (axis.counter == 0) {  // the step ends exactly on the next grid column
            axis.current = neighbour(axis.current, axis.direction, wraps);
            for (int r = 0; r < rows; ++r) factors[r][i - 1] = table[r * columns + axis.current];
            track[i - 1] = axis.current;
        }
    }
    return frames;
}

void CMbf::steer(const float* const* in, int frames) noexcept {
    // A reconfiguration to fewer inputs leaves steeredOrders as it was; never
    // steer past the configured order.
    const int orders = steeredOrders < order ? steeredOrders : order;
    const bool atRest = elevation.counter == 0 && elevation.current == elevation.target &&
                        azimuth.counter == 0 && azimuth.current == azimuth.target;
    if (atRest) {
        restSamples += frames;
        for (int j = 0; j < frames; ++j) {
            elevationTrack[j] = elevation.current;
            azimuthTrack[j] = azimuth.current;
        }
        float factors[orderCount * orderCount];
        restingFactors(factors);
        for (int n = 0; n <= orders; ++n) {
            if (!slots.laneInUse(n)) continue;  // all-zero filters in every set: never read
            weightedSum(in + n * n, factors + n * n, 2 * n + 1, orderSignals[n], frames);
        }
        return;
    }
    const int elevationRests = glide(elevation, &elevationFactorTable[0][0], elevationColumns,
                                     (order + 1) * (order + 1), false, glideRate_hz, elevationFactors,
                                     elevationTrack, frames);
    const int azimuthRests = glide(azimuth, &azimuthFactorTable[0][0], azimuthColumns, 2 * order, true,
                                   glideRate_hz, azimuthFactors, azimuthTrack, frames);
    // Samples at the end of the block that both axes spent at rest (a step
    // ending on the block's last sample counts from the next block).
    const int restsFrom = elevationRests > azimuthRests ? elevationRests : azimuthRests;
    restSamples = restsFrom < frames ? frames - restsFrom : 0;
    for (int n = 0; n <= orders; ++n) {
        if (!slots.laneInUse(n)) continue;
        float* sum = orderSignals[n];
        vecZero(sum, frames);
        for (int m = -n; m <= n; ++m) {
            const int k = n * n + n + m;
            const float* x = in[k];
            const float* e = elevationFactors[k];
            if (m == 0) {
                for (int j = 0; j < frames; ++j) sum[j] += x[j] * e[j];
            } else {
                const float* a = azimuthFactors[azimuthRowOfDegree(m)];
                for (int j = 0; j < frames; ++j) sum[j] += x[j] * (e[j] * a[j]);
            }
        }
    }
}

bool CMbf::restingView(float* factors, CrossfadeSlots::SteadySet& set, int& orders) noexcept {
    if (order != 3 || input.frameCount() <= 0) return false;
    if (!atRest() || !slots.steadySet(set) || set.convolver == nullptr) return false;
    orders = steeredOrders < order ? steeredOrders : order;
    restingFactors(factors);
    return true;
}

bool CMbf::canShare(std::int64_t samples) const noexcept {
    if (order != 3 || input.frameCount() <= 0 || !atRest() || restSamples < samples) return false;
    int banks[3];
    slots.occupiedBanks(banks);
    if (banks[0] < 0) return false;
    for (int b : banks)
        if (b >= 0 && !slots.partitioned(b)) return false;
    return true;
}

void CMbf::restingFactors(float* factors) const noexcept {
    for (int n = 0; n < orderCount; ++n)
        for (int m = -n; m <= n; ++m) {
            const int k = n * n + n + m;
            float factor = elevationFactorTable[k][elevation.current];
            if (m != 0) factor = factor * azimuthFactorTable[azimuthRowOfDegree(m)][azimuth.current];
            factors[k] = factor;
        }
}

// A set's output from the shared filters: the steering sum of the filtered
// components the set uses.
struct CMbf::SharedSource final : CrossfadeSlots::ExternalSource {
    const float* const* const* bankLanes = nullptr;
    float factors[16] = {};
    void run(int bank, int offset, float* dst, int frames) noexcept override {
        const float* const* lanes = bankLanes[bank];
        const float* y[16];
        float f[16];
        int count = 0;
        for (int k = 0; lanes != nullptr && k < 16; ++k)
            if (lanes[k] != nullptr) {
                y[count] = lanes[k] + offset;
                f[count++] = factors[k];
            }
        if (count == 0)
            vecZero(dst, frames);
        else
            steerLanes(y, f, count, dst, frames);
    }
};

int CMbf::processShared(const float* const* const* bankLanes, float* out, int frames) noexcept {
    if (order < 0 || input.frameCount() <= 0) return mbfStatus::notConfigured;
    if (frames > input.frameCount() || bankLanes == nullptr || out == nullptr) return status::unsupportedStream;
    if (frames <= 0) return status::ok;
    for (int j = 0; j < frames; ++j) {
        elevationTrack[j] = elevation.current;
        azimuthTrack[j] = azimuth.current;
    }
    SharedSource source;
    source.bankLanes = bankLanes;
    restingFactors(source.factors);
    slots.processExternal(source, out, frames);
    restSamples += frames;
    return status::ok;
}

void CMbf::resumeOwnFilters(const float* const* componentEnd) noexcept {
    if (!slots.anyStale() || steeredHistory == nullptr || order != 3) return;
    changes.bump();
    const int n = slots.restoreSamples();
    float factors[16];
    restingFactors(factors);
    const float* ends[orderCount] = {};
    for (int o = 0; o < orderCount; ++o) {
        float* row = steeredHistory + o * n;
        const float* x[7];
        for (int c = 0; c <= 2 * o; ++c) x[c] = componentEnd[o * o + c] - n;
        // The sums process forms at rest, sample for sample.
        weightedSum(x, factors + o * o, 2 * o + 1, row, n);
        ends[o] = row + n;
    }
    slots.restoreStale(ends);
}

int CMbf::process(const float* const* in, float* const* out, int frames) noexcept {
    if (order < 0 || input.frameCount() <= 0) return mbfStatus::notConfigured;
    if (frames > input.frameCount() || in == nullptr || out == nullptr || out[0] == nullptr)
        return status::unsupportedStream;
    if (frames <= 0) return status::ok;
    steer(in, frames);
    slots.process(orderSignals, out[0], frames);
    return status::ok;
}

}  // namespace qb32
