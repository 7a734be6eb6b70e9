#include "engine/ModalBiquadBank.h"

#include <cstring>
#include <new>

#include "framework/Primitives.h"
#include "framework/Simd.h"

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#define QB32_BIQUAD_BANK_AVX2 1
#endif

namespace qb32 {

namespace {

constexpr int lanes = CModalBiquadBank::laneCount;
constexpr int groups = lanes / 4;
constexpr int chunk = 64;

// Four doubles as one value: one AVX register, or two SSE registers. The
// coefficient and history arrays are written as doubles and read as vectors.
typedef double Vec4 __attribute__((vector_size(32), may_alias));

bool validCascade(const double* c, int sections) noexcept {
    if (c == nullptr || sections <= 0) return false;
    for (int s = 0; s < sections; ++s)
        if (c[6 * s] == 0.0 || c[6 * s + 3] == 0.0) return false;
    return true;
}

// Lane k of sample i is b[i][k / 4][k % 4].
typedef Vec4 Chunk[chunk][groups];

[[gnu::always_inline]] inline void gather(Chunk& b, const bool* active, float* const* channels, int count,
                                          int start, int m) noexcept {
    for (int k = 0; k < lanes; ++k) {
        if (k < count && active[k]) {
            const float* x = channels[k] + start;
            for (int i = 0; i < m; ++i) b[i][k / 4][k % 4] = x[i];
        } else {
            for (int i = 0; i < m; ++i) b[i][k / 4][k % 4] = 0.0;
        }
    }
}

[[gnu::always_inline]] inline void scatter(const Chunk& b, const bool* active, float* const* channels,
                                           int count, int start, int m) noexcept {
    for (int k = 0; k < count && k < lanes; ++k) {
        if (!active[k]) continue;
        float* y = channels[k] + start;
        for (int i = 0; i < m; ++i) y[i] = static_cast<float>(b[i][k / 4][k % 4]);
    }
}

// One section, one group of four lanes, in place (xy: input, then output):
// transposed direct form II. cs: the section's five coefficient rows, z0 / z1
// its two state vectors.
[[gnu::always_inline]] inline void sectionStep(const Vec4* cs, int g, Vec4& z0, Vec4& z1, Vec4& xy) noexcept {
    const Vec4 x = xy;
    xy = cs[g] * x + z0;
    z0 = cs[groups + g] * x + z1 - cs[3 * groups + g] * xy;
    z1 = cs[2 * groups + g] * x - cs[4 * groups + g] * xy;
}

// c: [section][5][groups], z: [section][2][groups]. A group's sections past
// its longest lane's are pass-throughs (they change no bit) and are skipped:
// the groups needing section s are those with groupSections[g] > s, the last
// ones (groupSections does not decrease). The first group is a constant of
// each instance, so the state stays in registers.
template <int G0, typename Step>
[[gnu::always_inline]] inline void sectionFrom(const Vec4* cs, Vec4* zs, Chunk& b, int m, Step step) noexcept {
    Vec4 z0[groups], z1[groups];
    for (int g = G0; g < groups; ++g) {
        z0[g] = zs[g];
        z1[g] = zs[groups + g];
    }
    for (int i = 0; i < m; ++i)
        for (int g = G0; g < groups; ++g) step(cs, g, z0[g], z1[g], b[i][g]);
    for (int g = G0; g < groups; ++g) {
        zs[g] = z0[g];
        zs[groups + g] = z1[g];
    }
}

template <typename Step>
[[gnu::always_inline]] inline void sectionsWith(const Vec4* c, Vec4* z, int sectionCount, const int* groupSections,
                                                Chunk& b, int m, Step step) noexcept {
    for (int s = 0; s < sectionCount; ++s) {
        const Vec4* cs = c + 5 * groups * s;
        Vec4* zs = z + 2 * groups * s;
        int g0 = 0;
        while (g0 < groups && groupSections[g0] <= s) ++g0;
        switch (g0) {
            case 0: sectionFrom<0>(cs, zs, b, m, step); break;
            case 1: sectionFrom<1>(cs, zs, b, m, step); break;
            case 2: sectionFrom<2>(cs, zs, b, m, step); break;
            case 3: sectionFrom<3>(cs, zs, b, m, step); break;
            default: break;
        }
    }
}

struct SeparateStep {
    [[gnu::always_inline]] inline void operator()(const Vec4* cs, int g, Vec4& z0, Vec4& z1, Vec4& xy) const noexcept {
        sectionStep(cs, g, z0, z1, xy);
    }
};

[[gnu::always_inline]] inline void sections(const Vec4* c, Vec4* z, int sectionCount, const int* groupSections,
                                            Chunk& b, int m) noexcept {
    sectionsWith(c, z, sectionCount, groupSections, b, m, SeparateStep{});
}

void runBaseline(const Vec4* c, Vec4* z, int sectionCount, const int* groupSections, const bool* active,
                 float* const* channels, int count, int frames) noexcept {
    Chunk b;
    for (int start = 0; start < frames; start += chunk) {
        const int m = frames - start < chunk ? frames - start : chunk;
        gather(b, active, channels, count, start, m);
        sections(c, z, sectionCount, groupSections, b, m);
        scatter(b, active, channels, count, start, m);
    }
}

#if QB32_BIQUAD_BANK_AVX2
// The same recursion with AVX registers and fused multiply-adds:
//   y = c0 x + z0;  z0 = (c1 x + z1) - c3 y;  z1 = c2 x - c4 y,
// each line one rounding fewer than the separate form (double precision
// throughout, the output rounded to float once). Channels move in and out of
// the lane layout four samples by four lanes at a time (a 4 x 4 transpose,
// converted to double on the way in and rounded to float on the way out).
#define QB32_BIQUAD_FMA __attribute__((target("avx2,fma"), always_inline)) inline
QB32_BIQUAD_FMA void sectionStepFma(const Vec4* cs, int g, Vec4& z0, Vec4& z1, Vec4& xy) noexcept {
    const __m256d x = reinterpret_cast<const __m256d&>(xy);
    const __m256d y = _mm256_fmadd_pd(reinterpret_cast<const __m256d&>(cs[g]), x, reinterpret_cast<const __m256d&>(z0));
    const __m256d a = _mm256_fmadd_pd(reinterpret_cast<const __m256d&>(cs[groups + g]), x,
                                      reinterpret_cast<const __m256d&>(z1));
    const __m256d newZ0 = _mm256_fnmadd_pd(reinterpret_cast<const __m256d&>(cs[3 * groups + g]), y, a);
    const __m256d newZ1 = _mm256_fnmadd_pd(reinterpret_cast<const __m256d&>(cs[4 * groups + g]), y,
                                           _mm256_mul_pd(reinterpret_cast<const __m256d&>(cs[2 * groups + g]), x));
    reinterpret_cast<__m256d&>(xy) = y;
    reinterpret_cast<__m256d&>(z0) = newZ0;
    reinterpret_cast<__m256d&>(z1) = newZ1;
}

template <int G0>
QB32_BIQUAD_FMA void sectionFromFma(const Vec4* cs, Vec4* zs, Chunk& b, int m) noexcept {
    Vec4 z0[groups], z1[groups];
    for (int g = G0; g < groups; ++g) {
        z0[g] = zs[g];
        z1[g] = zs[groups + g];
    }
    for (int i = 0; i < m; ++i)
        for (int g = G0; g < groups; ++g) sectionStepFma(cs, g, z0[g], z1[g], b[i][g]);
    for (int g = G0; g < groups; ++g) {
        zs[g] = z0[g];
        zs[groups + g] = z1[g];
    }
}

QB32_BIQUAD_FMA void sectionsFma(const Vec4* c, Vec4* z, int sectionCount, const int* groupSections, Chunk& b,
                                 int m) noexcept {
    for (int s = 0; s < sectionCount; ++s) {
        const Vec4* cs = c + 5 * groups * s;
        Vec4* zs = z + 2 * groups * s;
        int g0 = 0;
        while (g0 < groups && groupSections[g0] <= s) ++g0;
        switch (g0) {
            case 0: sectionFromFma<0>(cs, zs, b, m); break;
            case 1: sectionFromFma<1>(cs, zs, b, m); break;
            case 2: sectionFromFma<2>(cs, zs, b, m); break;
            case 3: sectionFromFma<3>(cs, zs, b, m); break;
            default: break;
        }
    }
}

__attribute__((target("avx2,fma"))) void runAvx2(const Vec4* c, Vec4* z, int sectionCount, const int* groupSections,
                                                 const bool* active, float* const* channels, int count,
                                                 int frames) noexcept {
    if (frames == 1) {
        // One sample: the same operations with the lanes in registers from
        // section to section (a lane that is off reads zero, as below).
        Vec4 x[groups];
        for (int g = 0; g < groups; ++g) {
            float in[4];
            for (int j = 0; j < 4; ++j) {
                const int k = 4 * g + j;
                in[j] = k < count && active[k] ? channels[k][0] : 0.0f;
            }
            const __m256d v = _mm256_cvtps_pd(_mm_setr_ps(in[0], in[1], in[2], in[3]));
            std::memcpy(&x[g], &v, sizeof v);
        }
        for (int s = 0; s < sectionCount; ++s) {
            const Vec4* cs = c + 5 * groups * s;
            Vec4* zs = z + 2 * groups * s;
            for (int g = 0; g < groups; ++g)
                if (s < groupSections[g]) sectionStepFma(cs, g, zs[g], zs[groups + g], x[g]);
        }
        for (int g = 0; g < groups; ++g) {
            __m256d v;
            std::memcpy(&v, &x[g], sizeof v);
            alignas(16) float r[4];
            _mm_store_ps(r, _mm256_cvtpd_ps(v));
            for (int j = 0; j < 4; ++j) {
                const int k = 4 * g + j;
                if (k < count && active[k]) channels[k][0] = r[j];
            }
        }
        _mm256_zeroupper();
        return;
    }
    Chunk b;
    alignas(32) static constexpr float silence[chunk] = {};
    alignas(32) float discard[chunk];
    const float* source[lanes];
    float* target[lanes];
    for (int k = 0; k < lanes; ++k) {
        const bool on = k < count && active[k];
        source[k] = on ? channels[k] : nullptr;
        target[k] = on ? channels[k] : nullptr;
    }
    for (int start = 0; start < frames; start += chunk) {
        const int m = frames - start < chunk ? frames - start : chunk;
        const int whole = m & ~3;
        for (int g = 0; g < groups; ++g) {
            const float* x[4];
            for (int j = 0; j < 4; ++j) x[j] = source[4 * g + j] ? source[4 * g + j] + start : silence;
            for (int i = 0; i < whole; i += 4) {
                __m128 r0 = _mm_loadu_ps(x[0] + i), r1 = _mm_loadu_ps(x[1] + i);
                __m128 r2 = _mm_loadu_ps(x[2] + i), r3 = _mm_loadu_ps(x[3] + i);
                _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
                _mm256_store_pd(reinterpret_cast<double*>(&b[i][g]), _mm256_cvtps_pd(r0));
                _mm256_store_pd(reinterpret_cast<double*>(&b[i + 1][g]), _mm256_cvtps_pd(r1));
                _mm256_store_pd(reinterpret_cast<double*>(&b[i + 2][g]), _mm256_cvtps_pd(r2));
                _mm256_store_pd(reinterpret_cast<double*>(&b[i + 3][g]), _mm256_cvtps_pd(r3));
            }
            // The last 1-3 samples: one vector each, built in registers (four
            // scalar stores read back as one vector would wait for them).
            for (int i = whole; i < m; ++i)
                _mm256_store_pd(reinterpret_cast<double*>(&b[i][g]),
                                _mm256_cvtps_pd(_mm_setr_ps(x[0][i], x[1][i], x[2][i], x[3][i])));
        }
        sectionsFma(c, z, sectionCount, groupSections, b, m);
        for (int g = 0; g < groups; ++g) {
            float* y[4];
            bool any = false;
            for (int j = 0; j < 4; ++j) {
                any = any || target[4 * g + j] != nullptr;
                y[j] = target[4 * g + j] ? target[4 * g + j] + start : discard;
            }
            if (!any) continue;
            for (int i = 0; i < whole; i += 4) {
                __m128 r0 = _mm256_cvtpd_ps(_mm256_load_pd(reinterpret_cast<const double*>(&b[i][g])));
                __m128 r1 = _mm256_cvtpd_ps(_mm256_load_pd(reinterpret_cast<const double*>(&b[i + 1][g])));
                __m128 r2 = _mm256_cvtpd_ps(_mm256_load_pd(reinterpret_cast<const double*>(&b[i + 2][g])));
                __m128 r3 = _mm256_cvtpd_ps(_mm256_load_pd(reinterpret_cast<const double*>(&b[i + 3][g])));
                _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
                _mm_storeu_ps(y[0] + i, r0);
                _mm_storeu_ps(y[1] + i, r1);
                _mm_storeu_ps(y[2] + i, r2);
                _mm_storeu_ps(y[3] + i, r3);
            }
            for (int i = whole; i < m; ++i) {
                alignas(16) float r[4];
                _mm_store_ps(r, _mm256_cvtpd_ps(_mm256_load_pd(reinterpret_cast<const double*>(&b[i][g]))));
                for (int j = 0; j < 4; ++j) y[j][i] = r[j];
            }
        }
    }
    _mm256_zeroupper();
}
#undef QB32_BIQUAD_FMA
#endif

}  // namespace

CModalBiquadBank* CModalBiquadBank::create(const double* const* coefficients, const int* sections) noexcept {
    auto* bank = new (std::nothrow) CModalBiquadBank;
    if (bank == nullptr) return nullptr;
    int longest = 0;
    for (int k = 0; k < lanes; ++k) {
        bank->laneActive[k] = coefficients != nullptr && sections != nullptr &&
                              validCascade(coefficients[k], sections[k]);
        if (bank->laneActive[k] && sections[k] > longest) longest = sections[k];
    }
    bank->sectionCount = longest;
    if (longest == 0) return bank;
    // Per group of four lanes, the sections its longest cascade needs; the
    // groups sorted so that those needing section s are the last ones.
    for (int g = 0; g < groups; ++g) {
        int most = 0;
        for (int k = 4 * g; k < 4 * g + 4; ++k)
            if (bank->laneActive[k] && sections[k] > most) most = sections[k];
        bank->groupSections[g] = most;
    }
    for (int g = 1; g < groups; ++g)
        if (bank->groupSections[g] < bank->groupSections[g - 1]) bank->groupSections[g] = bank->groupSections[g - 1];

    const long doubles = 7L * longest * lanes;
    if (doubles * static_cast<long>(sizeof(double)) > 0x7fffffffL) {
        delete bank;
        return nullptr;
    }
    bank->memory = byteAlloc(static_cast<int>(doubles * sizeof(double)));
    if (bank->memory == nullptr) {
        delete bank;
        return nullptr;
    }
    bank->coefficients = static_cast<double*>(bank->memory);
    bank->history = bank->coefficients + 5L * longest * lanes;
    for (int s = 0; s < longest; ++s) {
        for (int k = 0; k < lanes; ++k) {
            double c[5] = {1.0, 0.0, 0.0, 0.0, 0.0};  // pass-through section
            if (bank->laneActive[k] && s < sections[k]) {
                const double* g = coefficients[k] + 6 * s;
                c[0] = g[0] / g[3];
                c[1] = g[1] / g[3];
                c[2] = g[2] / g[3];
                c[3] = g[4] / g[3];
                c[4] = g[5] / g[3];
            }
            for (int j = 0; j < 5; ++j) bank->coefficients[(5L * s + j) * lanes + k] = c[j];
        }
    }
    bank->clear();
    return bank;
}

CModalBiquadBank::~CModalBiquadBank() { vecFree(memory); }

void CModalBiquadBank::clear() noexcept {
    if (history != nullptr) std::memset(history, 0, sizeof(double) * 2 * sectionCount * lanes);
}

void CModalBiquadBank::process(float* const* channels, int count, int frames) noexcept {
    if (sectionCount == 0 || frames <= 0 || channels == nullptr) return;
#if QB32_BIQUAD_BANK_AVX2
    if (simd::atLeast(simd::activeLevel(), simd::Level::avx2)) {
        runAvx2(reinterpret_cast<const Vec4*>(coefficients), reinterpret_cast<Vec4*>(history), sectionCount,
                groupSections, laneActive, channels, count, frames);
        return;
    }
#endif
    runBaseline(reinterpret_cast<const Vec4*>(coefficients), reinterpret_cast<Vec4*>(history), sectionCount,
                groupSections, laneActive, channels, count, frames);
}

}  // namespace qb32
