#include "engine/SharedModalFilters.h"

#include <cstring>

#include "framework/ConvolutionKernels.h"
#include "framework/Fft64.h"
#include "framework/PartitionedConvolver.h"
#include "framework/Simd.h"
#include "framework/Status.h"

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#define QB32_SHARED_X86 1
#endif

namespace qb32 {

namespace {

constexpr int P = PartitionedConvolver::partitionSamples;
constexpr int N = 2 * P;
constexpr int spectrumFloats = 2 * N;
constexpr int slack = 8;  // floats a partial vector of the head reads past the newest sample

// The pairs x_a + i x_b transformed together, at both levels. The last two
// are mixed (orders differ): their spectra are split into half spectra.
struct Pair {
    int a, b, order, orderB;
};
constexpr Pair pairs[] = {{1, 2, 1, 1},   {4, 5, 2, 2},   {6, 7, 2, 2}, {9, 10, 3, 3},
                          {11, 12, 3, 3}, {13, 14, 3, 3}, {0, 3, 0, 1}, {8, 15, 2, 3}};
constexpr int firstMixed = 6;

constexpr int orderOf(int k) noexcept { return k < 1 ? 0 : k < 4 ? 1 : k < 9 ? 2 : 3; }

// Per component: its pair, and where its tail lies in the pair's last
// inverse transform (real part P.., imaginary part N + P..).
struct PairPlace {
    int pair, tailOffset;
};
constexpr PairPlace placeOf[16] = {{6, P},     {0, P},     {0, N + P}, {6, N + P}, {1, P},     {1, N + P},
                                   {2, P},     {2, N + P}, {7, P},     {3, P},     {3, N + P}, {4, P},
                                   {4, N + P}, {5, P},     {5, N + P}, {7, N + P}};

// A mixed pair's spectrum Z of x_a + i x_b becomes the half spectra of 2 x_a
// and 2 x_b: A(k) = Z(k) + conj Z(-k), B(k) = (Z(k) - conj Z(-k)) / i for
// k = 0..32. Each half takes 32 places: k = 1..31 as they are, the DC bin's
// real value in place 0's real part and the Nyquist bin's in its imaginary
// part (both are real). A in places 0..31, B in 32..63: from (re, im) into
// (ar | br, ai | bi).
[[gnu::always_inline]] inline void splitBins(const float* re, const float* im, int k0, int count, float* ar,
                                             float* ai) noexcept {
    float* br = ar + P;
    float* bi = ai + P;
    for (int k = k0; k < k0 + count; ++k) {
        ar[k] = re[k] + re[N - k];
        ai[k] = im[k] - im[N - k];
        br[k] = im[k] + im[N - k];
        bi[k] = re[N - k] - re[k];
    }
}

void splitEnds(const float* re, const float* im, float* ar, float* ai) noexcept {
    ar[0] = re[0] + re[0];
    ai[0] = re[P] + re[P];
    ar[P] = im[0] + im[0];
    ai[P] = im[P] + im[P];
}

#if QB32_SHARED_X86
// Eight places of the mirror image of a 64-bin array held as eight aligned
// vectors v: out[l] = v at (64 - 8d - l) mod 64 for group d (places 8d..).
// Place 64 - 8d sits in lane 0 of group (8 - d) mod 8, places 63 - 8d ..
// 57 - 8d in lanes 7..1 of group 7 - d.
__attribute__((target("avx2,fma"), always_inline)) inline __m256 mirrored(const __m256* v, int d) noexcept {
    const __m256i order = _mm256_setr_epi32(0, 7, 6, 5, 4, 3, 2, 1);
    return _mm256_permutevar8x32_ps(_mm256_blend_ps(v[7 - d], v[(8 - d) % 8], 0x01), order);
}

// The same operations eight bins at a time, from aligned loads only: the
// DC lane of group 0 gets A's and B's Nyquist values by a blend.
__attribute__((target("avx2,fma"))) void splitMixedAvx2(const float* re, const float* im, float* ar,
                                                        float* ai) noexcept {
    __m256 zr[8], zi[8];
    for (int d = 0; d < 8; ++d) {
        zr[d] = _mm256_load_ps(re + 8 * d);
        zi[d] = _mm256_load_ps(im + 8 * d);
    }
    for (int d = 0; d < 4; ++d) {
        const __m256 mr = mirrored(zr, d), mi = mirrored(zi, d);
        __m256 aImag = _mm256_sub_ps(zi[d], mi), bImag = _mm256_sub_ps(mr, zr[d]);
        if (d == 0) {
            aImag = _mm256_blend_ps(aImag, _mm256_add_ps(zr[4], zr[4]), 0x01);
            bImag = _mm256_blend_ps(bImag, _mm256_add_ps(zi[4], zi[4]), 0x01);
        }
        _mm256_store_ps(ar + 8 * d, _mm256_add_ps(zr[d], mr));
        _mm256_store_ps(ai + 8 * d, aImag);
        _mm256_store_ps(ar + P + 8 * d, _mm256_add_ps(zi[d], mi));
        _mm256_store_ps(ai + P + 8 * d, bImag);
    }
    _mm256_zeroupper();
}
#endif

// A mixed pair's transform: x_a + i x_b (64 samples each, from a and b)
// transformed, then split into the half spectra, into (outRe, outIm).
void transformMixed(const float* a, const float* b, float* outRe, float* outIm) noexcept {
    alignas(32) float re[N], im[N];
    fft64::forward(a, b, re, im);
#if QB32_SHARED_X86
    if (simd::atLeast(simd::activeLevel(), simd::Level::avx2)) {
        splitMixedAvx2(re, im, outRe, outIm);
        return;
    }
#endif
    splitEnds(re, im, outRe, outIm);
    splitBins(re, im, 1, P - 1, outRe, outIm);
}

// A filter's partition spectrum (64 bins of a real signal) as one half of a
// mixed pair's, times 1/2 for the doubled half spectra of transformMixed
// (exact).
void halfOf(const float* g, float* re, float* im) noexcept {
    re[0] = 0.5f * g[0];
    im[0] = 0.5f * g[P];
    for (int k = 1; k < P; ++k) {
        re[k] = 0.5f * g[k];
        im[k] = 0.5f * g[N + k];
    }
}

// Bins k0 .. k0 + count - 1 (k0 >= 1) of y_a + i y_b's spectrum and their
// mirrors N - k from the output half spectra Y_a = (ar, ai), Y_b = (br, bi).
[[gnu::always_inline]] inline void joinBins(const float* re, const float* im, int k0, int count, float* zr,
                                            float* zi) noexcept {
    for (int k = k0; k < k0 + count; ++k) {
        const float ar = re[k], ai = im[k], br = re[P + k], bi = im[P + k];
        zr[k] = ar - bi;
        zi[k] = ai + br;
        zr[N - k] = ar + bi;
        zi[N - k] = br - ai;
    }
}

#if QB32_SHARED_X86
// In place, from aligned loads and stores only: every place is read before
// any is written, the mirrors are assembled in registers (mirrored), and the
// DC and Nyquist places are blended in.
__attribute__((target("avx2,fma"))) void joinMixedAvx2(float* re, float* im) noexcept {
    __m256 ar[4], ai[4], br[4], bi[4];
    for (int d = 0; d < 4; ++d) {
        ar[d] = _mm256_load_ps(re + 8 * d);
        ai[d] = _mm256_load_ps(im + 8 * d);
        br[d] = _mm256_load_ps(re + P + 8 * d);
        bi[d] = _mm256_load_ps(im + P + 8 * d);
    }
    __m256 mr[5], mi[5];  // the mirror sums of bins 0..31; group 4 (the Nyquist lane) is blended over
    for (int d = 0; d < 4; ++d) {
        mr[d] = _mm256_add_ps(ar[d], bi[d]);
        mi[d] = _mm256_sub_ps(br[d], ai[d]);
    }
    mr[4] = mi[4] = _mm256_setzero_ps();
    for (int d = 0; d < 4; ++d) {
        __m256 zr = _mm256_sub_ps(ar[d], bi[d]), zi = _mm256_add_ps(ai[d], br[d]);
        if (d == 0) {
            zr = _mm256_blend_ps(zr, ar[0], 0x01);  // y_a's DC
            zi = _mm256_blend_ps(zi, br[0], 0x01);  // y_b's DC
        }
        _mm256_store_ps(re + 8 * d, zr);
        _mm256_store_ps(im + 8 * d, zi);
    }
    for (int d = 4; d < 8; ++d) {
        __m256 zr = mirrored(mr, d), zi = mirrored(mi, d);
        if (d == 4) {
            zr = _mm256_blend_ps(zr, ai[0], 0x01);  // y_a's Nyquist
            zi = _mm256_blend_ps(zi, bi[0], 0x01);  // y_b's Nyquist
        }
        _mm256_store_ps(re + 8 * d, zr);
        _mm256_store_ps(im + 8 * d, zi);
    }
    _mm256_zeroupper();
}
#endif

// After the spectral sum of a mixed pair (its DC and Nyquist places summed
// as two real bins each): the output half spectra Y_a, Y_b joined into the
// spectrum of y_a + i y_b for the inverse transform.
void joinMixed(float* work) noexcept {
    float* re = work;
    float* im = work + N;
#if QB32_SHARED_X86
    if (simd::atLeast(simd::activeLevel(), simd::Level::avx2)) {
        joinMixedAvx2(re, im);
        return;
    }
#endif
    float zr[N], zi[N];
    joinBins(re, im, 1, P - 1, zr, zi);
    zr[0] = re[0];
    zi[0] = re[P];
    zr[P] = im[0];
    zi[P] = im[P];
    std::memcpy(re, zr, sizeof zr);
    std::memcpy(im, zi, sizeof zi);
}

// The second level's spectra come in m blocks of 64 bins (fft64::forwardBlocks:
// block k1 holds bin m k2 + k1 at k2). The mirror -K of a bin of block 0 is
// in block 0 at 64 - k2, as in a 64-point spectrum; that of block k1 > 0 is
// in block m - k1 at 63 - k2. A mixed pair's half spectra: block 0 split as
// the first level splits (A in places 0..31, B in 32..63); block m/2, its own
// mirror, likewise with A(k2) at k2 and B(k2) at 32 + k2 for k2 < 32; for
// 0 < k1 < m/2, A of block k1's bins in block k1 and B of them in block
// m - k1. Each half meets its filter's values at the same bins, so the sums
// stay bin by bin. Again 2 x_a and 2 x_b.
constexpr int blockFloats = spectrumFloats;  // one block: re 64 | im 64

void splitMirrored(const float* r1, const float* i1, const float* r2, const float* i2, int count, float* ar,
                   float* ai, float* br, float* bi) noexcept {
    for (int k = 0; k < count; ++k) {
        const float mr = r2[N - 1 - k], mi = i2[N - 1 - k];
        ar[k] = r1[k] + mr;
        ai[k] = i1[k] - mi;
        br[k] = i1[k] + mi;
        bi[k] = mr - r1[k];
    }
}

void splitLongMixed(const float* z, float* out, int m) noexcept {
    splitEnds(z, z + N, out, out + N);
    splitBins(z, z + N, 1, P - 1, out, out + N);
    for (int k1 = 1; 2 * k1 <= m; ++k1) {
        const float* z1 = z + k1 * blockFloats;
        float* o1 = out + k1 * blockFloats;
        if (2 * k1 == m) {
            splitMirrored(z1, z1 + N, z1, z1 + N, P, o1, o1 + N, o1 + P, o1 + N + P);
        } else {
            const float* z2 = z + (m - k1) * blockFloats;
            float* o2 = out + (m - k1) * blockFloats;
            splitMirrored(z1, z1 + N, z2, z2 + N, N, o1, o1 + N, o2, o2 + N);
        }
    }
}

void joinMirrored(const float* ar, const float* ai, const float* br, const float* bi, int count, float* r1, float* i1,
                  float* r2, float* i2) noexcept {
    for (int k = 0; k < count; ++k) {
        r1[k] = ar[k] - bi[k];
        i1[k] = ai[k] + br[k];
        r2[N - 1 - k] = ar[k] + bi[k];
        i2[N - 1 - k] = br[k] - ai[k];
    }
}

// y (the summed half spectra, m blocks) joined into z, the spectrum of
// y_a + i y_b in the blocks' order.
void joinLongMixed(const float* y, float* z, int m) noexcept {
    joinBins(y, y + N, 1, P - 1, z, z + N);
    z[0] = y[0];
    z[N] = y[P];
    z[P] = y[N];
    z[N + P] = y[N + P];
    for (int k1 = 1; 2 * k1 <= m; ++k1) {
        const float* a = y + k1 * blockFloats;
        float* z1 = z + k1 * blockFloats;
        if (2 * k1 == m) {
            joinMirrored(a, a + N, a + P, a + N + P, P, z1, z1 + N, z1, z1 + N);
        } else {
            const float* b = y + (m - k1) * blockFloats;
            float* z2 = z + (m - k1) * blockFloats;
            joinMirrored(a, a + N, b, b + N, N, z1, z1 + N, z2, z2 + N);
        }
    }
}

// A real filter's partition spectrum (m blocks) as the A (half 0) or B
// (half 1) half of a mixed pair's, times 1/2.
void halfOfLong(const float* g, float* out, int half, int m) noexcept {
    halfOf(g, out + half * P, out + N + half * P);
    for (int k1 = 1; 2 * k1 <= m; ++k1) {
        const float* from = g + k1 * blockFloats;
        if (2 * k1 == m) {
            float* to = out + k1 * blockFloats + half * P;
            for (int k = 0; k < P; ++k) {
                to[k] = 0.5f * from[k];
                to[N + k] = 0.5f * from[N + k];
            }
        } else {
            float* to = out + (half == 0 ? k1 : m - k1) * blockFloats;
            for (int k = 0; k < blockFloats; ++k) to[k] = 0.5f * from[k];
        }
    }
}

constexpr int roundUp8(int n) noexcept { return (n + 7) / 8 * 8; }

constexpr int narrowLimit = 8;     // calls shorter than this form the heads across components
constexpr int batchLimit = 16;     // boundaries whose sums one call forms together (512 samples)
constexpr int rowSpan = 256;       // rows appended before the kept ones move to the front

// The second level's partitions for filters of maxTaps taps (0: none). Its
// larger transforms cost about what the shorter spectral sums save until the
// filters pass some 768 taps: from 176.4 kHz on it pays (bench: EngineRates),
// at 88.2 and 96 kHz (about 550 taps) neither 128 nor 256 measured faster.
constexpr int longPartitionFor(int maxTaps) noexcept { return maxTaps > 768 ? 256 : 0; }

#if QB32_SHARED_X86
// Heads across the 16 components for `frames` samples: out[j][k] = one chain
// of FMAs over the taps (columns[i][k] meets row j - 31 + i), as
// headsPlusTails forms it per component, plus the FFT part tails[j][k].
// Up to four samples side by side keep eight chains in flight.
__attribute__((target("avx2,fma"))) void headsAcross(const float* columns, const float* rowsEnd, int frames,
                                                     const float* tails, float* out) noexcept {
    constexpr int C = SharedModalFilters::componentCount;
    for (int j0 = 0; j0 < frames; j0 += 4) {
        const int m = frames - j0 < 4 ? frames - j0 : 4;
        __m256 lo[4], hi[4];
        for (int j = 0; j < 4; ++j) lo[j] = hi[j] = _mm256_setzero_ps();
        // rowsEnd - frames is the first new row; sample j's window starts 31 rows before it.
        const float* base = rowsEnd - (frames - j0) * C - (P - 1) * C;
        for (int i = 0; i < P; ++i) {
            const __m256 c0 = _mm256_load_ps(columns + i * C), c1 = _mm256_load_ps(columns + i * C + 8);
            for (int j = 0; j < 4; ++j) {
                if (j >= m) break;
                const float* r = base + (i + j) * C;
                lo[j] = _mm256_fmadd_ps(c0, _mm256_load_ps(r), lo[j]);
                hi[j] = _mm256_fmadd_ps(c1, _mm256_load_ps(r + 8), hi[j]);
            }
        }
        for (int j = 0; j < m; ++j) {
            float* o = out + (j0 + j) * C;
            const float* t = tails + (j0 + j) * C;
            _mm256_store_ps(o, _mm256_add_ps(lo[j], _mm256_load_ps(t)));
            _mm256_store_ps(o + 8, _mm256_add_ps(hi[j], _mm256_load_ps(t + 8)));
        }
    }
    _mm256_zeroupper();
}
#endif

}  // namespace

SharedModalFilters::~SharedModalFilters() { release(); }

void SharedModalFilters::release() noexcept {
    vecFree(memory);
    memory = nullptr;
    for (auto& h : history) h = nullptr;
    for (auto& e : ends) e = nullptr;
    spectraRing = nullptr;
    rows = nullptr;
    rowCapacity = rowPosition = 0;
    rowsValid = false;
    for (Set& s : sets) s = Set{};
    tapCapacity = partitions = keep = capacity = position = phase = newest = ringSlots = pendingTails = 0;
    delayLineValid = false;
    longSamples = longPartitions = longPhase = longNewest = 0;
    longDelayLineValid = false;
    longRing = longWork = longSpare = tailSums = nullptr;
}

int SharedModalFilters::configure(int blockFrames, int maxTaps, int historySamples) noexcept {
    static_assert(sizeof(pairs) / sizeof(pairs[0]) == channelCount && channelCount - firstMixed == mixedCount);
    release();
    if (blockFrames < 1 || !PartitionedConvolver::supports(maxTaps) || historySamples < 0 ||
        historySamples > (1 << 22) || blockFrames > (1 << 22))
        return status::allocationFailed;
    tapCapacity = roundUp8(maxTaps);
    longSamples = longPartitionFor(maxTaps);
    if (longSamples > 0 && (maxTaps <= longSamples || (maxTaps - 1) / longSamples > maxLongPartitions)) longSamples = 0;
    if (longSamples > 0) {
        partitions = longSamples / P - 1;
        longPartitions = (maxTaps - 1) / longSamples;
    } else {
        partitions = PartitionedConvolver::partitionsFor(maxTaps);
        longPartitions = 0;
    }
    ringSlots = partitions > 0 ? partitions + batchLimit - 1 : 0;
    // History: what the owner asks for, the head's window and a rebuild of
    // the delay lines (two partitions behind the oldest one and the phase).
    int wanted = historySamples;
    if (wanted < P * (partitions + 2)) wanted = P * (partitions + 2);
    if (wanted < longSamples * (longPartitions + 2)) wanted = longSamples * (longPartitions + 2);
    keep = roundUp8(wanted);
    // Room for several blocks before the kept history moves to the front:
    // each move copies all of it, for every component.
    const int span = blockFrames > 2048 ? 2 * roundUp8(blockFrames) : 4096;
    capacity = keep + span + slack;
    const long longFloats = 4L * longSamples;  // a spectrum of 2Q bins
    const long setFloats = orderCount * (static_cast<long>(tapCapacity) + P + static_cast<long>(partitions) * spectrumFloats +
                                         longPartitions * longFloats) +
                           mixedCount * (static_cast<long>(partitions) * spectrumFloats + longPartitions * longFloats) +
                           channelCount * (batchLimit + 1) * spectrumFloats + channelCount * longFloats +
                           componentCount * static_cast<long>(roundUp8(blockFrames));
    rowCapacity = (P - 1) + rowSpan;
    const long floats = componentCount * static_cast<long>(capacity) +
                        channelCount * static_cast<long>(ringSlots) * spectrumFloats +
                        channelCount * static_cast<long>(longPartitions) * longFloats +
                        2 * longFloats + componentCount * P + maxSets * (setFloats + P * componentCount) +
                        componentCount * static_cast<long>(rowCapacity);
    if (floats > (1L << 28)) return status::allocationFailed;
    memory = vecAlloc(static_cast<int>(floats));
    if (memory == nullptr) return status::allocationFailed;
    std::memset(memory, 0, sizeof(float) * static_cast<std::size_t>(floats));
    float* next = memory;
    for (auto& h : history) {
        h = next;
        next += capacity;
    }
    spectraRing = next;
    next += channelCount * ringSlots * spectrumFloats;
    longRing = next;
    next += channelCount * longPartitions * longFloats;
    longWork = next;
    next += longFloats;
    longSpare = next;
    next += longFloats;
    tailSums = next;
    next += componentCount * P;
    rows = next;
    next += componentCount * rowCapacity;
    for (Set& s : sets) {
        s.headColumns = next;
        next += P * componentCount;
        for (int n = 0; n < orderCount; ++n) {
            s.taps[n] = next;
            next += tapCapacity;
            s.headTaps[n] = next;
            next += P;
            s.spectra[n] = next;
            next += partitions * spectrumFloats;
        }
        for (auto& m : s.mixedSpectra) {
            m = next;
            next += partitions * spectrumFloats;
        }
        s.tailBlocks = next;
        next += (batchLimit + 1) * channelCount * spectrumFloats;
        pointTails(s, 0);
        for (int n = 0; n < orderCount; ++n) {
            s.longSpectra[n] = next;
            next += longPartitions * longFloats;
        }
        for (auto& l : s.longMixedSpectra) {
            l = next;
            next += longPartitions * longFloats;
        }
        for (auto& t : s.longTails) {
            t = next;
            next += longFloats;
        }
        for (auto& o : s.outputBuffers) {
            o = next;
            next += roundUp8(blockFrames);
        }
    }
    clear();
    return status::ok;
}

void SharedModalFilters::clear() noexcept {
    if (memory == nullptr) return;
    for (auto* h : history) std::memset(h, 0, sizeof(float) * static_cast<std::size_t>(capacity));
    position = keep;
    for (int k = 0; k < componentCount; ++k) ends[k] = history[k] + position;
    phase = newest = 0;
    rowsValid = false;
    std::memset(spectraRing, 0, sizeof(float) * static_cast<std::size_t>(channelCount * ringSlots * spectrumFloats));
    pendingTails = 0;
    delayLineValid = true;  // zeros throughout, like the history
    longPhase = longNewest = 0;
    std::memset(longRing, 0, sizeof(float) * static_cast<std::size_t>(channelCount * longPartitions * 4 * longSamples));
    longDelayLineValid = true;
    for (Set& s : sets) {
        for (auto* t : s.tails) std::memset(t, 0, sizeof(float) * spectrumFloats);
        for (auto* t : s.longTails) std::memset(t, 0, sizeof(float) * static_cast<std::size_t>(4 * longSamples));
    }
}

void SharedModalFilters::beginSets() noexcept {
    for (Set& s : sets) s.kept = false;
}

int SharedModalFilters::useSet(const CrossfadeSlots::BankFilters& filters) noexcept {
    if (memory == nullptr || filters.laneCount != orderCount) return -1;
    for (int i = 0; i < maxSets; ++i)
        if (sets[i].active && CrossfadeSlots::sameFilters(sets[i].filters, filters)) {
            sets[i].kept = true;
            return i;
        }
    int free = -1;
    for (int i = 0; i < maxSets && free < 0; ++i)
        if (!sets[i].active) free = i;
    for (int i = 0; i < maxSets && free < 0; ++i)
        if (!sets[i].kept) free = i;  // one nobody kept in this round
    if (free < 0) return -1;
    for (int n = 0; n < orderCount; ++n)
        if (filters.lengths[n] + filters.delays[n] > tapCapacity || filters.delays[n] < 0) return -1;
    Set& s = sets[free];
    s.filters = filters;
    for (int n = 0; n < orderCount; ++n) {
        s.filters.taps[n] = nullptr;
        if (filters.lengths[n] <= 0) continue;
        std::memcpy(s.taps[n], filters.taps[n], sizeof(float) * static_cast<std::size_t>(filters.lengths[n]));
        s.filters.taps[n] = s.taps[n];
    }
    s.kept = true;
    activate(s);
    return free;
}

void SharedModalFilters::endSets() noexcept {
    for (Set& s : sets)
        if (!s.kept) s.active = false;
}

int SharedModalFilters::activeSets() const noexcept {
    int n = 0;
    for (const Set& s : sets) n += s.active ? 1 : 0;
    return n;
}

// The filters' head taps and partition spectra, then the FFT part of the
// current partition from the shared delay line.
void SharedModalFilters::activate(Set& s) noexcept {
    const float scale = 1.0f / static_cast<float>(N);  // the inverse transform is unscaled
    for (int n = 0; n < orderCount; ++n) {
        const int length = s.filters.lengths[n];
        const int delay = s.filters.delays[n];
        auto tap = [&](int i) -> float {
            const int j = i - delay;
            return length > 0 && j >= 0 && j < length ? s.taps[n][j] : 0.0f;
        };
        bool any = false;
        for (int i = 0; i < length; ++i) any = any || s.taps[n][i] != 0.0f;
        s.orderUsed[n] = any;
        for (int i = 0; i < P; ++i) s.headTaps[n][i] = tap(P - 1 - i);
        for (int j = 0; j < partitions; ++j) {
            float* g = s.spectra[n] + j * spectrumFloats;
            bool used = false;
            for (int i = 0; i < N; ++i) {
                g[i] = i < P ? tap((j + 1) * P + i) : 0.0f;
                g[N + i] = 0.0f;
                used = used || g[i] != 0.0f;
            }
            s.partitionUsed[n][j] = any && used;
            if (!s.partitionUsed[n][j]) continue;
            fft64::forward(g, g + N);
            for (int i = 0; i < spectrumFloats; ++i) g[i] *= scale;
        }
    }
    // The mixed pairs' filters: the two orders' spectra as half spectra.
    for (int m = 0; m < mixedCount; ++m) {
        const Pair& pair = pairs[firstMixed + m];
        for (int j = 0; j < partitions; ++j) {
            const bool usedA = s.partitionUsed[pair.order][j], usedB = s.partitionUsed[pair.orderB][j];
            s.mixedUsed[m][j] = usedA || usedB;
            float* g = s.mixedSpectra[m] + j * spectrumFloats;
            std::memset(g, 0, sizeof(float) * spectrumFloats);
            if (usedA) halfOf(s.spectra[pair.order] + j * spectrumFloats, g, g + N);
            if (usedB) halfOf(s.spectra[pair.orderB] + j * spectrumFloats, g + P, g + N + P);
        }
    }
    // The second level: partitions of Q taps from tap Q on, transformed with
    // 2Q points (the taps, then zeros).
    const int q = longSamples;
    const float longScale = q > 0 ? 1.0f / static_cast<float>(2 * q) : 0.0f;
    for (int n = 0; n < orderCount; ++n) {
        const int length = s.filters.lengths[n];
        const int delay = s.filters.delays[n];
        for (int j = 0; j < longPartitions; ++j) {
            float* g = s.longSpectra[n] + j * 4 * q;
            float* taps = longWork;  // the partition's time signal, 2Q points
            bool used = false;
            for (int i = 0; i < 2 * q; ++i) {
                const int t = (j + 1) * q + i - delay;
                taps[i] = i < q && s.orderUsed[n] && t >= 0 && t < length ? s.taps[n][t] : 0.0f;
                used = used || taps[i] != 0.0f;
            }
            s.longUsed[n][j] = used;
            if (!used) continue;
            fft64::forwardBlocks(taps, nullptr, g, q / 32);
            for (int i = 0; i < 4 * q; ++i) g[i] *= longScale;
        }
    }
    for (int m = 0; m < mixedCount; ++m) {
        const Pair& pair = pairs[firstMixed + m];
        for (int j = 0; j < longPartitions; ++j) {
            const bool usedA = s.longUsed[pair.order][j], usedB = s.longUsed[pair.orderB][j];
            s.longMixedUsed[m][j] = usedA || usedB;
            float* g = s.longMixedSpectra[m] + j * 4 * q;
            std::memset(g, 0, sizeof(float) * static_cast<std::size_t>(4 * q));
            if (usedA) halfOfLong(s.longSpectra[pair.order] + j * 4 * q, g, 0, q / 32);
            if (usedB) halfOfLong(s.longSpectra[pair.orderB] + j * 4 * q, g, 1, q / 32);
        }
    }
    for (int k = 0; k < componentCount; ++k) {
        s.lanes[k] = s.orderUsed[orderOf(k)] ? s.outputBuffers[k] : nullptr;
        for (int i = 0; i < P; ++i) s.headColumns[i * componentCount + k] = s.lanes[k] ? s.headTaps[orderOf(k)][i] : 0.0f;
    }
    s.active = true;
    if (!delayLineValid) rebuildDelayLine();
    sumAndInvert(s);
    if (longSamples > 0) {
        if (!longDelayLineValid) rebuildLongDelayLine();
        longSumAndInvert(s);
    }
}

void SharedModalFilters::rebuildLongDelayLine() noexcept {
    const int q = longSamples;
    longNewest = longPartitions - 1;
    for (int i = 0; i < longPartitions; ++i)
        for (int c = 0; c < channelCount; ++c) {
            const int back = longPhase + q * i + 2 * q;
            longTransform(c, position - back, longRing + (c * longPartitions + longNewest - i) * 4 * q);
        }
    longDelayLineValid = true;
}

// Pair c's 2Q samples from history sample `start` on, transformed into
// `spectrum` (a mixed pair's split into its half spectra).
void SharedModalFilters::longTransform(int c, int start, float* spectrum) noexcept {
    const int m = longSamples / 32;
    const float* a = history[pairs[c].a] + start;
    const float* b = history[pairs[c].b] + start;
    if (c < firstMixed) {
        fft64::forwardBlocks(a, b, spectrum, m);
        return;
    }
    fft64::forwardBlocks(a, b, longSpare, m);
    splitLongMixed(longSpare, spectrum, m);
}

void SharedModalFilters::longSumAndInvert(Set& s) noexcept {
    const int q = longSamples;
    const int blocks = q / 32;  // 64-bin blocks in a spectrum of 2Q bins
    const float* g[maxLongPartitions];
    const float* u[maxLongPartitions];
    for (int c = 0; c < channelCount; ++c) {
        float* tails = s.longTails[c];
        const bool mixed = c >= firstMixed;
        const int n = pairs[c].order;
        int products = 0;
        for (int j = 0; j < longPartitions; ++j) {
            if (!(mixed ? s.longMixedUsed[c - firstMixed][j] : s.longUsed[n][j])) continue;
            int slot = longNewest - j;
            if (slot < 0) slot += longPartitions;
            g[products] = (mixed ? s.longMixedSpectra[c - firstMixed] : s.longSpectra[n]) + j * 4 * q;
            u[products++] = longRing + (c * longPartitions + slot) * 4 * q;
        }
        if (products == 0) {
            std::memset(tails, 0, sizeof(float) * static_cast<std::size_t>(4 * q));
            continue;
        }
        for (int b = 0; b < blocks; ++b) {
            const float* gb[maxLongPartitions];
            const float* ub[maxLongPartitions];
            for (int p = 0; p < products; ++p) {
                gb[p] = g[p] + 128 * b;
                ub[p] = u[p] + 128 * b;
            }
            convolutionKernels::spectralSum(longWork + 128 * b, gb, ub, products, mixed && b == 0);
        }
        float* spectrum = longWork;
        if (mixed) {
            joinLongMixed(longWork, longSpare, blocks);
            spectrum = longSpare;
        }
        fft64::inverseBlocks(spectrum, tails, tails + 2 * q, blocks);
    }
}

void SharedModalFilters::longBoundary() noexcept {
    longPhase = 0;
    bool any = false;
    for (const Set& s : sets) any = any || s.active;
    if (!any) {
        longDelayLineValid = false;  // rebuilt from the history when a set starts
        return;
    }
    const int q = longSamples;
    longNewest = longNewest + 1 == longPartitions ? 0 : longNewest + 1;
    for (int c = 0; c < channelCount; ++c)
        longTransform(c, position - 2 * q, longRing + (c * longPartitions + longNewest) * 4 * q);
    for (Set& s : sets)
        if (s.active) longSumAndInvert(s);
}

// Overlap-save: the last Q points of the 2Q-point result are the outputs of
// the Q samples after the boundary; a pair's first component in the real
// part, the second in the imaginary part.
const float* SharedModalFilters::longTail(const Set& s, int k) const noexcept {
    const int q = longSamples;
    return s.longTails[placeOf[k].pair] + (placeOf[k].tailOffset == P ? 0 : 2 * q) + q + longPhase;
}

// The delay line from the history, as the boundaries would have made it.
void SharedModalFilters::rebuildDelayLine() noexcept {
    newest = partitions > 0 ? partitions - 1 : 0;
    for (int i = 0; i < partitions; ++i)
        for (int c = 0; c < channelCount; ++c) {
            const int back = phase + P * i + N;
            transform(c, position - back, spectraRing + (c * ringSlots + newest - i) * spectrumFloats);
        }
    delayLineValid = true;
}

// Pair c's filter spectra of the partitions it uses, and those partitions.
int SharedModalFilters::channelSpectra(const Set& s, int c, const float** g, int* used) const noexcept {
    const bool mixed = c >= firstMixed;
    const float* spectra = mixed ? s.mixedSpectra[c - firstMixed] : s.spectra[pairs[c].order];
    const bool* usedFlags = mixed ? s.mixedUsed[c - firstMixed] : s.partitionUsed[pairs[c].order];
    int products = 0;
    for (int j = 0; j < partitions; ++j)
        if (usedFlags[j]) {
            g[products] = spectra + j * spectrumFloats;
            used[products++] = j;
        }
    return products;
}

void SharedModalFilters::sumAndInvert(Set& s) noexcept {
    const float* g[PartitionedConvolver::maxPartitions];
    const float* u[PartitionedConvolver::maxPartitions];
    int used[PartitionedConvolver::maxPartitions];
    for (int c = 0; c < channelCount; ++c) {
        float* work = s.tails[c];
        const int products = channelSpectra(s, c, g, used);
        if (products == 0) {
            std::memset(work, 0, sizeof(float) * spectrumFloats);
            continue;
        }
        for (int p = 0; p < products; ++p) u[p] = spectraRing + (c * ringSlots + ringSlot(used[p])) * spectrumFloats;
        convolutionKernels::spectralSum(work, g, u, products, c >= firstMixed);
        if (c >= firstMixed) joinMixed(work);
        fft64::inverse(work, work + N);
    }
}

void SharedModalFilters::boundary() noexcept {
    phase = 0;
    bool any = false;
    for (const Set& s : sets) any = any || s.active;
    if (!any || partitions == 0) {
        delayLineValid = partitions == 0;  // rebuilt from the history when a set starts
        return;
    }
    if (pendingTails > 0) {  // formed ahead by prepareBoundaries
        --pendingTails;
        for (Set& s : sets)
            if (s.active) pointTails(s, s.tailBlock == batchLimit ? 0 : s.tailBlock + 1);
        return;
    }
    transformPartition(position);
    for (Set& s : sets)
        if (s.active) sumAndInvert(s);
}

// The transforms of the partition that ends before history sample `end`,
// into the next ring slot.
void SharedModalFilters::transformPartition(int end) noexcept {
    newest = newest + 1 == ringSlots ? 0 : newest + 1;
    for (int c = 0; c < channelCount; ++c) transform(c, end - N, spectraRing + (c * ringSlots + newest) * spectrumFloats);
}

// Pair c's 2P samples from history sample `start` on, transformed into
// `spectrum` (a mixed pair's split into its half spectra).
void SharedModalFilters::transform(int c, int start, float* spectrum) noexcept {
    const float* a = history[pairs[c].a] + start;
    const float* b = history[pairs[c].b] + start;
    if (c >= firstMixed)
        transformMixed(a, b, spectrum, spectrum + N);
    else
        fft64::forward(a, b, spectrum, spectrum + N);
}

void SharedModalFilters::pointTails(Set& s, int block) noexcept {
    s.tailBlock = block;
    for (int c = 0; c < channelCount; ++c) s.tails[c] = s.tailBlocks + (block * channelCount + c) * spectrumFloats;
}

// The ring slot of the transform `back` boundaries before the newest.
int SharedModalFilters::ringSlot(int back) const noexcept {
    const int slot = newest - back;
    return slot < 0 ? slot + ringSlots : slot;
}

// Transforms every partition the next `frames` samples complete and forms the
// active sets' tails of all those boundaries, pair by pair; the boundaries
// then only move to the next block of tails. The components must be in the
// history already. Answers the number of boundaries formed ahead.
int SharedModalFilters::prepareBoundaries(int frames) noexcept {
    const int boundaries = (phase + frames) / P;
    bool any = false;
    for (const Set& s : sets) any = any || s.active;
    if (boundaries < 2 || !any || partitions == 0 || !delayLineValid) return 0;
    const int first = position + (P - phase);  // one past the first boundary's last sample
    for (int i = 0; i < boundaries; ++i) transformPartition(first + i * P);
    for (Set& s : sets)
        if (s.active) batchSums(s, boundaries);
    return boundaries;
}

// The tails of the last `boundaries` boundaries (newest is the last one's
// transform), boundary i into the i + 1-th block after the current one, pair
// by pair so that a pair's transforms stay in the cache from one boundary to
// the next. The same sums as sumAndInvert.
void SharedModalFilters::batchSums(Set& s, int boundaries) noexcept {
    constexpr int maxProducts = PartitionedConvolver::maxPartitions;
    const float* g[maxProducts];
    int used[maxProducts];  // the partitions that are used, in order
    const int backs = boundaries - 1 + partitions;
    const float* byBack[batchLimit + maxProducts];  // a pair's transform `back` boundaries before the newest
    const float* u[2][maxProducts];
    for (int c = 0; c < channelCount; ++c) {
        const int count = channelSpectra(s, c, g, used);
        const bool dense = count == partitions;  // every partition used: the lists are slices of byBack
        const float* ring = spectraRing + c * ringSlots * spectrumFloats;
        for (int back = 0; back < backs; ++back) byBack[back] = ring + ringSlot(back) * spectrumFloats;
        // Two boundaries at a time share each filter spectrum's loads.
        for (int i = 0; i < boundaries; i += 2) {
            const int take = boundaries - i >= 2 ? 2 : 1;
            float* work[2];
            const float* const* list[2];
            for (int t = 0; t < take; ++t) {
                int block = s.tailBlock + 1 + i + t;
                if (block > batchLimit) block -= batchLimit + 1;
                work[t] = s.tailBlocks + (block * channelCount + c) * spectrumFloats;
                const int back = boundaries - 1 - (i + t);  // counted from the newest
                if (dense) {
                    list[t] = byBack + back;
                } else {
                    for (int p = 0; p < count; ++p) u[t][p] = byBack[back + used[p]];
                    list[t] = u[t];
                }
            }
            if (count == 0) {
                for (int t = 0; t < take; ++t) std::memset(work[t], 0, sizeof(float) * spectrumFloats);
                continue;
            }
            const bool halves = c >= firstMixed;
            if (take == 2)
                convolutionKernels::spectralSumPair(work, g, list[0], list[1], count, halves);
            else
                convolutionKernels::spectralSum(work[0], g, list[0], count, halves);
            for (int t = 0; t < take; ++t) {
                if (halves) joinMixed(work[t]);
                fft64::inverse(work[t], work[t] + N);
            }
        }
    }
}

void SharedModalFilters::reserve(int frames, float** where) noexcept {
    makeRoom(frames);
    for (int k = 0; k < componentCount; ++k) where[k] = history[k] + position;
}

// Moves the kept history to the front when `frames` more samples would not
// fit, by a multiple of 8 samples so that every window stays 32-byte aligned.
void SharedModalFilters::makeRoom(int frames) noexcept {
    if (position + frames + slack <= capacity) return;
    int shift = position - keep;
    shift -= shift % 8;
    for (auto* h : history) std::memmove(h, h + shift, sizeof(float) * static_cast<std::size_t>(position - shift));
    position -= shift;
}

// The heads of a short piece with the components across the vector lanes.
void SharedModalFilters::narrowHeads(const float* const* components, int done, int n) noexcept {
#if QB32_SHARED_X86
    constexpr int C = componentCount;
    if (!rowsValid) {  // the 31 samples before the piece, from the histories
        for (int i = 0; i < P - 1; ++i)
            for (int k = 0; k < C; ++k) rows[i * C + k] = history[k][position - (P - 1) + i];
        rowPosition = P - 1;
        rowsValid = true;
    }
    if (rowPosition + n > rowCapacity) {
        std::memmove(rows, rows + (rowPosition - (P - 1)) * C, sizeof(float) * (P - 1) * C);
        rowPosition = P - 1;
    }
    for (int j = 0; j < n; ++j)
        for (int k = 0; k < C; ++k) rows[(rowPosition + j) * C + k] = components[k][done + j];
    rowPosition += n;
    alignas(32) float tails[narrowLimit * C];
    alignas(32) float out[narrowLimit * C];
    for (Set& s : sets) {
        if (!s.active) continue;
        if (n == 1 && longSamples == 0) {  // the common one-sample call, without the loops' set-up
            for (int k = 0; k < C; ++k) tails[k] = s.tails[placeOf[k].pair][placeOf[k].tailOffset + phase];
            headsAcross(s.headColumns, rows + rowPosition * C, 1, tails, out);
            for (int k = 0; k < C; ++k)
                if (s.lanes[k] != nullptr) s.outputBuffers[k][done] = out[k];
            continue;
        }
        for (int k = 0; k < C; ++k) {
            const float* first = s.tails[placeOf[k].pair] + placeOf[k].tailOffset + phase;
            if (longSamples == 0) {
                for (int j = 0; j < n; ++j) tails[j * C + k] = first[j];
            } else {
                const float* second = longTail(s, k);
                for (int j = 0; j < n; ++j) tails[j * C + k] = first[j] + second[j];
            }
        }
        headsAcross(s.headColumns, rows + rowPosition * C, n, tails, out);
        for (int k = 0; k < C; ++k)
            if (s.lanes[k] != nullptr)
                for (int j = 0; j < n; ++j) s.outputBuffers[k][done + j] = out[j * C + k];
    }
#else
    (void)components, (void)done, (void)n;
#endif
}

void SharedModalFilters::process(const float* const* components, int frames) noexcept {
    if (memory == nullptr || frames <= 0) return;
#if QB32_SHARED_X86
    const bool narrow = frames < narrowLimit && simd::atLeast(simd::activeLevel(), simd::Level::avx2);
#else
    const bool narrow = false;
#endif
    if (!narrow) rowsValid = false;
    int done = 0;
    int copiedUntil = 0;  // components before this one already in the history
    while (done < frames) {
        if (!narrow && pendingTails == 0 && phase + (frames - done) >= 2 * P) {
            const int limit = batchLimit * P + (P - 1) - phase;
            const int chunk = frames - done < limit ? frames - done : limit;
            makeRoom(chunk);
            if (components[0] + done != history[0] + position)
                for (int k = 0; k < componentCount; ++k)
                    std::memcpy(history[k] + position, components[k] + done, sizeof(float) * static_cast<std::size_t>(chunk));
            copiedUntil = done + chunk;
            pendingTails = prepareBoundaries(chunk);
        }
        const int n = frames - done < P - phase ? frames - done : P - phase;
        makeRoom(n);
        if (narrow) narrowHeads(components, done, n);
        // One-sample calls are common enough that sixteen library calls for
        // one float each show in their cost.
        // Components formed in place (reserve) are there already.
        if (done >= copiedUntil && components[0] + done != history[0] + position) {
            if (n == 1)
                for (int k = 0; k < componentCount; ++k) history[k][position] = components[k][done];
            else
                for (int k = 0; k < componentCount; ++k)
                    std::memcpy(history[k] + position, components[k] + done, sizeof(float) * static_cast<std::size_t>(n));
        }
        for (Set& s : sets) {
            if (narrow) break;
            if (!s.active) continue;
            // Every used component: its order's head, then the FFT part (a
            // pair's first component in the real part, the second in the
            // imaginary part of the pair's last inverse transform).
            const float* taps[componentCount];
            const float* windows[componentCount];
            const float* tails[componentCount];
            float* outs[componentCount];
            int lanes = 0;
            for (int k = 0; k < componentCount; ++k) {
                if (s.lanes[k] == nullptr) continue;
                taps[lanes] = s.headTaps[orderOf(k)];
                windows[lanes] = history[k] + position - (P - 1);
                tails[lanes] = s.tails[placeOf[k].pair] + placeOf[k].tailOffset + phase;
                if (longSamples > 0) {  // the first level's tail plus the second's, as narrowHeads adds them
                    float* sum = tailSums + k * P;
                    const float* second = longTail(s, k);
                    for (int j = 0; j < n; ++j) sum[j] = tails[lanes][j] + second[j];
                    tails[lanes] = sum;
                }
                outs[lanes++] = s.outputBuffers[k] + done;
            }
            convolutionKernels::headsPlusTails(taps, windows, tails, lanes, outs, n);
        }
        position += n;
        phase += n;
        longPhase += n;
        done += n;
        if (phase == P) boundary();
        if (longSamples > 0 && longPhase == longSamples) longBoundary();
    }
    for (int k = 0; k < componentCount; ++k) ends[k] = history[k] + position;
}

}  // namespace qb32
