#include "engine/ModalBiquadBank.h"

#include <cstring>
#include <new>

#include "framework/Primitives.h"
#include "framework/Simd.h"

#if defined(__i386__) || defined(__x86_64__)
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

// c: [section][5][groups], z: [section][2][groups].
[[gnu::always_inline]] inline void run(const Vec4* c, Vec4* z, int sections,
                                       const bool* active, float* const* channels, int count,
                                       int frames) noexcept {
    Vec4 b[chunk][groups];  // lane k of sample i is b[i][k / 4][k % 4]
    for (int start = 0; start < frames; start += chunk) {
        const int m = frames - start < chunk ? frames - start : chunk;
        for (int k = 0; k < lanes; ++k) {
            if (k < count && active[k]) {
                const float* x = channels[k] + start;
                for (int i = 0; i < m; ++i) b[i][k / 4][k % 4] = x[i];
            } else {
                for (int i = 0; i < m; ++i) b[i][k / 4][k % 4] = 0.0;
            }
        }
        for (int s = 0; s < sections; ++s) {
            const Vec4* cs = c + 5 * groups * s;
            Vec4 z0[groups], z1[groups];
            for (int g = 0; g < groups; ++g) {
                z0[g] = z[(2 * s) * groups + g];
                z1[g] = z[(2 * s + 1) * groups + g];
            }
            for (int i = 0; i < m; ++i) {
                for (int g = 0; g < groups; ++g) {
                    const Vec4 x = b[i][g];
                    const Vec4 y = cs[g] * x + z0[g];
                    z0[g] = cs[groups + g] * x + z1[g] - cs[3 * groups + g] * y;
                    z1[g] = cs[2 * groups + g] * x - cs[4 * groups + g] * y;
                    b[i][g] = y;
                }
            }
            for (int g = 0; g < groups; ++g) {
                z[(2 * s) * groups + g] = z0[g];
                z[(2 * s + 1) * groups + g] = z1[g];
            }
        }
        for (int k = 0; k < count && k < lanes; ++k) {
            if (!active[k]) continue;
            float* y = channels[k] + start;
            for (int i = 0; i < m; ++i) y[i] = static_cast<float>(b[i][k / 4][k % 4]);
        }
    }
}

void runBaseline(const Vec4* c, Vec4* z, int sections, const bool* active, float* const* channels,
                 int count, int frames) noexcept {
    run(c, z, sections, active, channels, count, frames);
}

#if QB32_BIQUAD_BANK_AVX2
// The same code with AVX registers; no fused multiply-add, so the same bits.
__attribute__((target("avx2"))) void runAvx2(const Vec4* c, Vec4* z, int sections, const bool* active,
                                             float* const* channels, int count, int frames) noexcept {
    run(c, z, sections, active, channels, count, frames);
}
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
    if (simd::activeLevel() == simd::Level::avx2) {
        runAvx2(reinterpret_cast<const Vec4*>(coefficients), reinterpret_cast<Vec4*>(history), sectionCount, laneActive, channels, count, frames);
        return;
    }
#endif
    runBaseline(reinterpret_cast<const Vec4*>(coefficients), reinterpret_cast<Vec4*>(history), sectionCount, laneActive, channels, count, frames);
}

}  // namespace qb32
