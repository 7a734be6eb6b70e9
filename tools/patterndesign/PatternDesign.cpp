#include "tools/patterndesign/PatternDesign.h"

#include <cmath>
#include <cstdio>
#include <numbers>
#include <map>

#include <Eigen/Dense>
#include <stdexcept>

#include "framework/SampleRates.h"

namespace qb32::design {
namespace {

// At 44100 Hz: 126 free taps, centre tap 125, 4096 grid intervals; at other
// rates the same time span and the same grid spacing in Hz (RateLengths).
constexpr double flatStart_hz = 2000.0;
constexpr double flatEnd_hz = 20000.0;
constexpr double transitionWeight = 1.0;
constexpr double flatWeight = 25.0;
constexpr double topWeight = 0.02;
// Extra points at the listed frequencies below 2 kHz pin the fit to them.
constexpr double knotWeight = 200.0;

// Knots of the target curve: the listed points up to 1500 Hz, then the flat
// value at 2 kHz.
constexpr int knotCount = 10;

struct Knots {
    std::array<double, knotCount> x{};
    std::array<double, knotCount> y{};
    std::array<double, knotCount> slope{};
};

Knots makeKnots(const PatternEntry& pattern, int order) {
    Knots k;
    for (int i = 0; i < knotCount; ++i) {
        k.x[i] = targetFrequencies_hz[i];
        k.y[i] = pattern.target[order][i];
    }
    k.y[knotCount - 1] = pattern.target[order][flatColumn];
    // Fritsch-Carlson slopes; zero at both ends (even in f at 0 Hz, flat from 2 kHz).
    std::array<double, knotCount - 1> secant{};
    for (int i = 0; i + 1 < knotCount; ++i) secant[i] = (k.y[i + 1] - k.y[i]) / (k.x[i + 1] - k.x[i]);
    k.slope[0] = 0.0;
    k.slope[knotCount - 1] = 0.0;
    for (int i = 1; i + 1 < knotCount; ++i) {
        const double a = secant[i - 1];
        const double b = secant[i];
        if (a * b <= 0.0) {
            k.slope[i] = 0.0;
        } else {
            // Weighted harmonic mean (Fritsch-Butland form for uneven spacing).
            const double h0 = k.x[i] - k.x[i - 1];
            const double h1 = k.x[i + 1] - k.x[i];
            const double w1 = 2.0 * h1 + h0;
            const double w2 = h1 + 2.0 * h0;
            k.slope[i] = (w1 + w2) / (w1 / a + w2 / b);
        }
    }
    return k;
}

double evalKnots(const Knots& k, double f) {
    f = std::fabs(f);
    if (f >= k.x[knotCount - 1]) return k.y[knotCount - 1];
    int i = 0;
    while (f > k.x[i + 1]) ++i;
    const double h = k.x[i + 1] - k.x[i];
    const double t = (f - k.x[i]) / h;
    const double t2 = t * t;
    const double t3 = t2 * t;
    return (2 * t3 - 3 * t2 + 1) * k.y[i] + (t3 - 2 * t2 + t) * h * k.slope[i] +
           (-2 * t3 + 3 * t2) * k.y[i + 1] + (t3 - t2) * h * k.slope[i + 1];
}

// Fit points: the uniform grid, then the listed frequencies 0..1500 Hz again.
constexpr int pinnedCount = 9;

double gridFrequency(int i, int gridIntervals, double sampleRate_hz) {
    if (i > gridIntervals) return targetFrequencies_hz[i - gridIntervals - 1];
    return sampleRate_hz * 0.5 * i / gridIntervals;
}

double gridWeight(double f) {
    if (f < flatStart_hz) return transitionWeight;
    if (f <= flatEnd_hz) return flatWeight;
    return topWeight;
}

// Cosine basis of the zero-phase amplitude: 1 for the centre tap, 2 cos(w k)
// for the pair of taps k away from it. Stored basis function by basis
// function (values[k * points + i]); every sum below runs over the grid
// points in increasing order, one sum per coefficient, so the arithmetic is
// that of a plain row-by-row accumulation whatever the loop nesting.
struct Basis {
    int halfTapCount = 0;
    int gridIntervals = 0;
    int points = 0;
    double sampleRate_hz = 0.0;
    std::vector<double> values;  // [halfTapCount][points]
    std::vector<double> weights;
    std::vector<double> cholesky;  // lower factor of the normal matrix
    double smallestPivot = 0.0, largestPivot = 0.0;
};

// In-place Cholesky factor of the n x n normal matrix g (lower triangle):
// g = L L^T, fixed summation order. Throws when g is not positive definite;
// the pivots' range goes to *smallest and *largest when asked.
void choleskyInPlace(std::vector<double>& g, int n, const char* what, double* smallest = nullptr,
                     double* largest = nullptr) {
    const auto at = [n](int i, int j) { return static_cast<std::size_t>(i) * n + j; };
    for (int j = 0; j < n; ++j) {
        double d = g[at(j, j)];
        for (int k = 0; k < j; ++k) d -= g[at(j, k)] * g[at(j, k)];
        if (!(d > 0.0)) throw std::runtime_error(std::string(what) + ": normal matrix not positive definite");
        const double djj = std::sqrt(d);
        if (smallest != nullptr) *smallest = std::fmin(*smallest, djj);
        if (largest != nullptr) *largest = std::fmax(*largest, djj);
        g[at(j, j)] = djj;
        for (int i = j + 1; i < n; ++i) {
            double v = g[at(i, j)];
            for (int k = 0; k < j; ++k) v -= g[at(i, k)] * g[at(j, k)];
            g[at(i, j)] = v / djj;
        }
    }
}

// Solves L L^T x = rhs in place with the factor of choleskyInPlace.
void choleskySolve(const std::vector<double>& l, int n, std::vector<double>& rhs) {
    const auto at = [n](int i, int j) { return static_cast<std::size_t>(i) * n + j; };
    for (int i = 0; i < n; ++i) {  // L y = rhs
        double v = rhs[i];
        for (int k = 0; k < i; ++k) v -= l[at(i, k)] * rhs[k];
        rhs[i] = v / l[at(i, i)];
    }
    for (int i = n - 1; i >= 0; --i) {  // L^T x = y
        double v = rhs[i];
        for (int k = i + 1; k < n; ++k) v -= l[at(k, i)] * rhs[k];
        rhs[i] = v / l[at(i, i)];
    }
}

Basis makeBasis(const RateLengths& rate) {
    Basis r;
    const int halfTapCount = (rate.modalTapCount + 1) / 2;
    r.halfTapCount = halfTapCount;
    r.gridIntervals = rate.gridIntervals;
    r.sampleRate_hz = rate.rate_hz;
    const int points = rate.gridIntervals + 1 + pinnedCount;
    r.points = points;
    const auto at = [points](int k, int i) { return static_cast<std::size_t>(k) * points + i; };
    r.values.resize(static_cast<std::size_t>(points) * halfTapCount);
    r.weights.resize(points);
    for (int i = 0; i < points; ++i) {
        const double f = gridFrequency(i, r.gridIntervals, r.sampleRate_hz);
        r.weights[i] = i > r.gridIntervals ? knotWeight : gridWeight(f);
        const double w = 2.0 * std::numbers::pi * f / r.sampleRate_hz;
        r.values[at(0, i)] = 1.0;
        for (int k = 1; k < halfTapCount; ++k) r.values[at(k, i)] = 2.0 * std::cos(w * k);
    }
    std::vector<double> g(static_cast<std::size_t>(halfTapCount) * halfTapCount, 0.0);
    if (rate.rate_hz == static_cast<int>(designSampleRate_hz)) {
        // Normal matrix, lower triangle: g[a][c] = sum_i (w_i v_a(i)) v_c(i),
        // summed point by point, four independent sums at a time (the
        // committed 44.1 kHz tables are these bits).
        std::vector<double> weighted(points);
        for (int a = 0; a < halfTapCount; ++a) {
            const double* va = &r.values[at(a, 0)];
            for (int i = 0; i < points; ++i) weighted[i] = r.weights[i] * va[i];
            int c = 0;
            for (; c + 3 <= a; c += 4) {
                const double* v0 = &r.values[at(c, 0)];
                const double* v1 = &r.values[at(c + 1, 0)];
                const double* v2 = &r.values[at(c + 2, 0)];
                const double* v3 = &r.values[at(c + 3, 0)];
                double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
                for (int i = 0; i < points; ++i) {
                    s0 += weighted[i] * v0[i];
                    s1 += weighted[i] * v1[i];
                    s2 += weighted[i] * v2[i];
                    s3 += weighted[i] * v3[i];
                }
                g[static_cast<std::size_t>(a) * halfTapCount + c] = s0;
                g[static_cast<std::size_t>(a) * halfTapCount + c + 1] = s1;
                g[static_cast<std::size_t>(a) * halfTapCount + c + 2] = s2;
                g[static_cast<std::size_t>(a) * halfTapCount + c + 3] = s3;
            }
            for (; c <= a; ++c) {
                const double* vc = &r.values[at(c, 0)];
                double s = 0.0;
                for (int i = 0; i < points; ++i) s += weighted[i] * vc[i];
                g[static_cast<std::size_t>(a) * halfTapCount + c] = s;
            }
        }
    } else {
        // The same matrix from the weighted cosine sums S_m = sum_i w_i
        // cos(m w_i), m = 0 .. 2 (H - 1): 2 cos(a w) 2 cos(c w) = 2 cos((a - c) w)
        // + 2 cos((a + c) w), so g[a][c] = 2 (S_{a-c} + S_{a+c}) for a, c >= 1,
        // g[a][0] = 2 S_a and g[0][0] = S_0. The longer filters of the higher
        // rates would otherwise cost points x H^2 / 2 products.
        const int sums = 2 * halfTapCount - 1;
        std::vector<double> cosineSum(sums, 0.0);
        for (int i = 0; i < points; ++i) {
            const double w = 2.0 * std::numbers::pi * gridFrequency(i, r.gridIntervals, r.sampleRate_hz) / r.sampleRate_hz;
            for (int m = 0; m < sums; ++m) cosineSum[m] += r.weights[i] * std::cos(w * m);
        }
        for (int a = 0; a < halfTapCount; ++a)
            for (int c = 0; c <= a; ++c)
                g[static_cast<std::size_t>(a) * halfTapCount + c] =
                    a == 0 ? cosineSum[0]
                    : c == 0 ? 2.0 * cosineSum[a]
                             : 2.0 * (cosineSum[a - c] + cosineSum[a + c]);
    }
    r.smallestPivot = INFINITY;
    r.largestPivot = 0.0;
    choleskyInPlace(g, halfTapCount, "modal fit", &r.smallestPivot, &r.largestPivot);
    r.cholesky = std::move(g);
    return r;
}

// One basis per rate, built on first use and kept.
const Basis& basis(const RateLengths& rate) {
    static std::map<int, Basis> cache;
    auto found = cache.find(rate.rate_hz);
    if (found == cache.end()) found = cache.emplace(rate.rate_hz, makeBasis(rate)).first;
    return found->second;
}

// Least-squares fit of a target sampled on the grid; returns the symmetric
// float taps.
template <class Target>
std::vector<float> fitSymmetric(const Basis& b, Target target) {
    const int halfTapCount = b.halfTapCount;
    const int points = b.points;
    std::vector<double> t(points);
    for (int i = 0; i < points; ++i)
        t[i] = b.weights[i] * target(gridFrequency(i, b.gridIntervals, b.sampleRate_hz));
    std::vector<double> rhs(halfTapCount, 0.0);
    int k = 0;
    for (; k + 4 <= halfTapCount; k += 4) {
        const double* v0 = &b.values[static_cast<std::size_t>(k) * points];
        const double* v1 = v0 + points;
        const double* v2 = v1 + points;
        const double* v3 = v2 + points;
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        for (int i = 0; i < points; ++i) {
            s0 += t[i] * v0[i];
            s1 += t[i] * v1[i];
            s2 += t[i] * v2[i];
            s3 += t[i] * v3[i];
        }
        rhs[k] = s0;
        rhs[k + 1] = s1;
        rhs[k + 2] = s2;
        rhs[k + 3] = s3;
    }
    for (; k < halfTapCount; ++k) {
        const double* v = &b.values[static_cast<std::size_t>(k) * points];
        double s = 0.0;
        for (int i = 0; i < points; ++i) s += t[i] * v[i];
        rhs[k] = s;
    }
    choleskySolve(b.cholesky, halfTapCount, rhs);
    const int centreTap = halfTapCount - 1;
    std::vector<float> taps(2 * halfTapCount - 1);
    for (int j = 0; j < halfTapCount; ++j) {
        const float v = static_cast<float>(rhs[j]);
        taps[centreTap + j] = v;
        taps[centreTap - j] = v;
    }
    return taps;
}

double legendre(int n, double x) {
    switch (n) {
        case 0: return 1.0;
        case 1: return x;
        case 2: return 0.5 * (3.0 * x * x - 1.0);
        default: return 0.5 * (5.0 * x * x * x - 3.0 * x);
    }
}

double besselI0(double x) {
    double sum = 1.0;
    double term = 1.0;
    for (int k = 1; k < 200; ++k) {
        const double q = x / (2.0 * k);
        term *= q * q;
        sum += term;
        if (term < 1e-17 * sum) break;
    }
    return sum;
}

double sinc(double x) {
    if (x == 0.0) return 1.0;
    return std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
}

double beamMagnitude(const std::array<double, orderCount>& a, double theta_deg) {
    const double x = std::cos(theta_deg * std::numbers::pi / 180.0);
    double s = 0.0;
    for (int n = 0; n < orderCount; ++n) s += a[n] * legendre(n, x);
    return std::fabs(s);
}

// Polar response and -3 dB width of the beam with Legendre weights a.
void polarOf(const std::array<double, orderCount>& a, float* polar, double& width_deg) {
    double peak = 0.0;
    for (int i = 0; i <= 3600; ++i) peak = std::fmax(peak, beamMagnitude(a, i * 0.05));
    for (int i = 0; i < polarPointCount; ++i)
        polar[i] = static_cast<float>(beamMagnitude(a, 5.0 * i) / peak);
    // Width of the lobe around the look direction: 360 when the look
    // direction is not a maximum (no such lobe) or the beam never falls 3 dB.
    const double limit = peak / std::sqrt(2.0);
    width_deg = 360.0;
    if (beamMagnitude(a, 0.0) < limit) return;
    for (int i = 1; i <= 18000; ++i) {
        const double theta = i * 0.01;
        if (beamMagnitude(a, theta) < limit) {
            width_deg = 2.0 * (theta - 0.005);
            return;
        }
    }
}

}  // namespace

double targetResponse(const PatternEntry& pattern, int order, double frequency_hz,
                      double frequencyScale) {
    if (!pattern.ordersUsed[order]) return 0.0;
    return evalKnots(makeKnots(pattern, order), frequency_hz * frequencyScale);
}

std::array<double, maxVariantCount> variantFrequencyScales() {
    const PatternEntry* card3 = nullptr;
    for (const PatternEntry& p : patternCatalogue())
        if (std::string(p.name) == "card3") card3 = &p;
    const Knots k = makeKnots(*card3, 2);
    std::array<double, maxVariantCount> s{};
    for (int v = 0; v < maxVariantCount; ++v) {
        if (card3->wngDb[v] == 0) {
            s[v] = 1.0;
            continue;
        }
        // order 2 of card3 rises monotonically from 0 Hz to 1 kHz: bisect 500 s in (0, 1000).
        double lo = 0.0;
        double hi = 2.0;
        for (int it = 0; it < 100; ++it) {
            const double mid = 0.5 * (lo + hi);
            if (evalKnots(k, 500.0 * mid) < card3Order2At500_hz[v]) lo = mid; else hi = mid;
        }
        s[v] = 0.5 * (lo + hi);
    }
    return s;
}

RateLengths rateLengths(int rate_hz) {
    RateLengths r;
    r.rate_hz = rate_hz;
    r.modalTapCount = sampleRates::scaledOddLength(modalTapCount, rate_hz);
    r.postTapCount = sampleRates::scaledOddLength(postTapCount, rate_hz);
    for (int i = 0; i < crossoverCount; ++i)
        r.crossoverLengths[i] = sampleRates::scaledOddLength(crossoverDesigns[i].length, rate_hz);
    r.gridIntervals = sampleRates::scaledSamples(referenceGridIntervals, rate_hz);
    return r;
}

NormalMatrixCondition normalMatrixCondition(int rate_hz) {
    const Basis& b = basis(rateLengths(rate_hz));
    const int n = b.halfTapCount;
    Eigen::MatrixXd lower = Eigen::MatrixXd::Zero(n, n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j) lower(i, j) = b.cholesky[static_cast<std::size_t>(i) * n + j];
    const Eigen::MatrixXd normal = lower * lower.transpose();
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(normal, Eigen::EigenvaluesOnly);
    const Eigen::VectorXd& eigenvalues = solver.eigenvalues();
    return {n, b.points, eigenvalues.minCoeff(), eigenvalues.maxCoeff()};
}

double zeroPhaseAmplitude(const float* taps, int length, double frequency_hz, double sampleRate_hz) {
    const int c = length / 2;
    const double w = 2.0 * std::numbers::pi * frequency_hz / sampleRate_hz;
    double s = taps[c];
    for (int k = 1; k <= c; ++k) s += (static_cast<double>(taps[c + k]) + taps[c - k]) * std::cos(w * k);
    return s;
}

std::vector<float> lowBandCrossover(int length, double crossover_hz, double sampleRate_hz) {
    const double beta = 0.1102 * (60.0 - 8.7);
    const double centre = (length - 1) / 2.0;
    const double w = 2.0 * crossover_hz / sampleRate_hz;
    std::vector<float> taps(length);
    for (int k = 0; k < length; ++k) {
        const double r = 2.0 * k / (length - 1) - 1.0;
        const double window = besselI0(beta * std::sqrt(std::fmax(0.0, 1.0 - r * r))) / besselI0(beta);
        taps[k] = static_cast<float>(w * sinc(w * (k - centre)) * window);
    }
    return taps;
}

std::vector<float> highBandCrossover(int length, double crossover_hz, double sampleRate_hz) {
    const double gain = std::pow(10.0, -6.0 / 20.0);
    const double beta = 0.1102 * (60.0 - 8.7);
    const double centre = (length - 1) / 2.0;
    const double w = 2.0 * crossover_hz / sampleRate_hz;
    std::vector<float> taps(length);
    for (int k = 0; k < length; ++k) {
        const double r = 2.0 * k / (length - 1) - 1.0;
        const double window = besselI0(beta * std::sqrt(std::fmax(0.0, 1.0 - r * r))) / besselI0(beta);
        const double low = w * sinc(w * (k - centre)) * window;
        const double impulse = (2 * k == length - 1) ? 1.0 : 0.0;
        taps[k] = static_cast<float>(gain * (impulse - low));
    }
    return taps;
}

double referencePostFilterResponse(double frequency_hz) {
    std::vector<float> taps(postTapCount);
    for (int k = 0; k < postTapCount; ++k) taps[k] = static_cast<float>(postFilterHalf[k <= 15 ? k : 30 - k]);
    const double f = std::fmin(frequency_hz, 0.5 * designSampleRate_hz);
    return zeroPhaseAmplitude(taps.data(), postTapCount, f, designSampleRate_hz);
}

std::vector<float> postFilterAt(int rate_hz) {
    std::vector<float> taps(postTapCount);
    if (rate_hz == static_cast<int>(designSampleRate_hz)) {
        for (int k = 0; k < postTapCount; ++k) taps[k] = static_cast<float>(postFilterHalf[k <= 15 ? k : 30 - k]);
        return taps;
    }
    // Weighted least squares on a grid of 5 Hz over 0..rate/2 (see the header).
    const int length = sampleRates::scaledOddLength(postTapCount, rate_hz);
    const int half = (length + 1) / 2;
    const int points = rate_hz / 10 + 1;
    std::vector<double> g(static_cast<std::size_t>(half) * half, 0.0), rhs(half, 0.0), basisRow(half);
    for (int i = 0; i < points; ++i) {
        const double f = 0.5 * rate_hz * i / (points - 1);
        const double weight = f <= postFlatEnd_hz ? 1.0 : f <= 0.5 * designSampleRate_hz ? postEdgeWeight : postTopWeight;
        const double target = referencePostFilterResponse(f);
        const double w = 2.0 * std::numbers::pi * f / rate_hz;
        basisRow[0] = 1.0;
        for (int k = 1; k < half; ++k) basisRow[k] = 2.0 * std::cos(w * k);
        for (int a = 0; a < half; ++a) {
            rhs[a] += weight * target * basisRow[a];
            for (int c = 0; c <= a; ++c) g[static_cast<std::size_t>(a) * half + c] += weight * basisRow[a] * basisRow[c];
        }
    }
    choleskyInPlace(g, half, "post filter");
    choleskySolve(g, half, rhs);
    taps.assign(length, 0.0f);
    for (int k = 0; k < half; ++k) taps[half - 1 + k] = taps[half - 1 - k] = static_cast<float>(rhs[k]);
    return taps;
}

DesignedCatalogue designCatalogue(int rate_hz) {
    const RateLengths rate = rateLengths(rate_hz);
    DesignedCatalogue out;
    out.sampleRate_hz = rate_hz;
    out.modalTapCount = rate.modalTapCount;
    out.variantFrequencyScale = variantFrequencyScales();
    const Basis& fitBasis = basis(rate);
    for (const PatternEntry& p : patternCatalogue()) {
        DesignedPattern d;
        d.variantCount = p.variantCount;
        const bool omni = std::string(p.name) == "omni";
        d.modalFilterLength = omni ? 1 : rate.modalTapCount;
        const int len = d.modalFilterLength;
        d.modalFilters.assign(static_cast<std::size_t>(p.variantCount) * orderCount * len, 0.0f);
        d.polarResponse.assign(static_cast<std::size_t>(p.variantCount) * polarPointCount, 0.0f);
        d.polarBeamwidthDeg.assign(p.variantCount, 0.0);
        for (int v = 0; v < p.variantCount; ++v) {
            const double scale = p.variantCount == 1 ? 1.0 : out.variantFrequencyScale[v];
            std::array<double, orderCount> a{};
            for (int n = 0; n < orderCount; ++n) {
                float* row = &d.modalFilters[(static_cast<std::size_t>(v) * orderCount + n) * len];
                if (!p.ordersUsed[n]) continue;
                if (omni) {
                    row[0] = static_cast<float>(omniTap);
                } else {
                    const Knots knots = makeKnots(p, n);
                    const std::vector<float> taps =
                        fitSymmetric(fitBasis, [&](double f) { return evalKnots(knots, f * scale); });
                    for (int k = 0; k < len; ++k) row[k] = taps[k];
                }
                // High-frequency weight: mean response over the flat band.
                double sum = 0.0;
                int count = 0;
                for (double f = flatStart_hz; f <= flatEnd_hz; f += 50.0, ++count)
                    sum += zeroPhaseAmplitude(row, len, f, rate_hz);
                a[n] = (sum / count) / std::sqrt(4.0 * std::numbers::pi / (2 * n + 1));
            }
            polarOf(a, &d.polarResponse[static_cast<std::size_t>(v) * polarPointCount],
                    d.polarBeamwidthDeg[v]);
        }
        out.patterns.push_back(std::move(d));
    }
    for (int i = 0; i < crossoverCount; ++i) {
        CrossoverPair c;
        c.length = rate.crossoverLengths[i];
        c.crossover_hz = crossoverDesigns[i].crossover_hz;
        c.lowBand = lowBandCrossover(c.length, c.crossover_hz, rate_hz);
        c.highBand = highBandCrossover(c.length, c.crossover_hz, rate_hz);
        out.crossovers.push_back(std::move(c));
    }
    out.postFilter = postFilterAt(rate_hz);
    return out;
}

namespace {

std::string literal(float value) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.9g", static_cast<double>(value));
    std::string text = buffer;
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text + "f";
}

void appendArray(std::string& out, const char* type, const std::string& name,
                 const std::string& extent, const std::vector<std::string>& values, int perLine) {
    out += "const " + std::string(type) + " " + name + "[" + extent + "] = {";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i % perLine == 0) out += "\n   ";
        out += " " + values[i] + (i + 1 < values.size() ? "," : "");
    }
    out += "\n};\n\n";
}

std::vector<std::string> floats(const float* data, std::size_t count) {
    std::vector<std::string> v;
    for (std::size_t i = 0; i < count; ++i) v.push_back(literal(data[i]));
    return v;
}

std::vector<std::string> ints(const std::int32_t* data, std::size_t count) {
    std::vector<std::string> v;
    for (std::size_t i = 0; i < count; ++i) v.push_back(std::to_string(data[i]));
    return v;
}

const char* const banner =
    "// Generated by tools/qb32-design-patterns from the pattern catalogue in\n"
    "// tools/patterndesign/PatternCatalogue.cpp (method: tools/patterndesign/PatternDesign.h).\n"
    "// Do not edit: change the catalogue or the design and rerun the program.\n"
    "#include \"patterns/tables/PatternTables.h\"\n\n"
    "namespace qb32::tables {\n\n";

}  // namespace

namespace {

// The 44.1 kHz tables: one file per pattern and the shared file, as the
// records of patterns/CQb32Patterns.cpp name them.
std::vector<TableSource> referenceRateSources(const DesignedCatalogue& catalogue) {
    std::vector<TableSource> files;
    const auto entries = patternCatalogue();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const PatternEntry& p = entries[i];
        const DesignedPattern& d = catalogue.patterns[i];
        const std::string prefix = p.tablePrefix;
        const std::string v = std::to_string(p.variantCount);
        std::string text = banner;
        appendArray(text, "float", prefix + "ModalFilters",
                    v + " * orderCount * " + (d.modalFilterLength == 1 ? "1" : "modalTapCount"),
                    floats(d.modalFilters.data(), d.modalFilters.size()), 6);
        appendArray(text, "float", prefix + "PolarResponse", v + " * polarPointCount",
                    floats(d.polarResponse.data(), d.polarResponse.size()), 6);
        appendArray(text, "std::int32_t", prefix + "BeamwidthDeg", v,
                    ints(p.beamwidthDeg.data(), p.variantCount), 8);
        text += "}  // namespace qb32::tables\n";
        std::string file = prefix;
        file[0] = static_cast<char>(file[0] - 'a' + 'A');
        files.push_back({file + "Tables.cpp", std::move(text)});
    }

    std::string text = banner;
    std::vector<float> post;
    for (int v = 0; v < maxVariantCount; ++v) post.insert(post.end(), catalogue.postFilter.begin(), catalogue.postFilter.end());
    appendArray(text, "float", "postFilters", "maxVariantCount * postTapCount", floats(post.data(), post.size()), 6);
    const std::vector<std::int32_t> postLengths(maxVariantCount, postTapCount);
    appendArray(text, "std::int32_t", "postFilterLengths", "maxVariantCount", ints(postLengths.data(), postLengths.size()), 8);
    const std::vector<std::int32_t> fullLengths(maxVariantCount * orderCount, modalTapCount);
    appendArray(text, "std::int32_t", "modalFilterLengthsFull", "maxVariantCount * orderCount",
                ints(fullLengths.data(), fullLengths.size()), 8);
    const std::int32_t omniLengths[orderCount] = {1, 0, 0, 0};
    appendArray(text, "std::int32_t", "modalFilterLengthsOmni", "orderCount", ints(omniLengths, orderCount), 8);
    const std::int32_t wngSingle[1] = {0};
    appendArray(text, "std::int32_t", "wngDbSingle", "1", ints(wngSingle, 1), 8);
    std::vector<std::int32_t> wngFive;
    for (const PatternEntry& p : entries)
        if (p.variantCount == maxVariantCount) wngFive.assign(p.wngDb.begin(), p.wngDb.end());
    appendArray(text, "std::int32_t", "wngDbFive", "maxVariantCount", ints(wngFive.data(), wngFive.size()), 8);
    for (const CrossoverPair& c : catalogue.crossovers) {
        const std::string n = std::to_string(c.length);
        appendArray(text, "float", "lowBandFilter" + n, n, floats(c.lowBand.data(), c.lowBand.size()), 6);
        appendArray(text, "float", "highBandFilter" + n, n, floats(c.highBand.data(), c.highBand.size()), 6);
    }
    text += "}  // namespace qb32::tables\n";
    files.push_back({"SharedTables.cpp", std::move(text)});
    return files;
}

// Another rate: every table of that rate in one file, in a namespace of its
// own (internal linkage), and the record that points at them. The omni tap,
// the polar responses, beam widths and white-noise-gain limits do not depend
// on the rate and stay those of 44.1 kHz.
TableSource otherRateSource(const DesignedCatalogue& catalogue) {
    const std::string rate = std::to_string(catalogue.sampleRate_hz);
    const std::string ns = "at" + rate;
    const RateLengths lengths = rateLengths(catalogue.sampleRate_hz);
    std::string text =
        "// Generated by tools/qb32-design-patterns at " + rate +
        " Hz from the pattern catalogue in\n"
        "// tools/patterndesign/PatternCatalogue.cpp (method: tools/patterndesign/PatternDesign.h).\n"
        "// Do not edit: change the catalogue or the design and rerun the program.\n"
        "#include \"patterns/tables/PatternTables.h\"\n\n"
        "namespace qb32::tables {\n\n"
        "namespace " + ns + " {\n\n";
    const std::string taps = std::to_string(lengths.modalTapCount);
    const auto entries = patternCatalogue();
    std::string filterNames;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const PatternEntry& p = entries[i];
        const DesignedPattern& d = catalogue.patterns[i];
        if (d.modalFilterLength == 1) {
            filterNames += "omniModalFilters";
        } else {
            const std::string name = std::string(p.tablePrefix) + "ModalFilters";
            appendArray(text, "float", name, std::to_string(p.variantCount) + " * orderCount * " + taps,
                        floats(d.modalFilters.data(), d.modalFilters.size()), 6);
            filterNames += ns + "::" + name;
        }
        if (i + 1 < entries.size()) filterNames += ", ";
    }
    const std::string postTaps = std::to_string(lengths.postTapCount);
    std::vector<float> post;
    for (int v = 0; v < maxVariantCount; ++v) post.insert(post.end(), catalogue.postFilter.begin(), catalogue.postFilter.end());
    appendArray(text, "float", "postFilters", "maxVariantCount * " + postTaps, floats(post.data(), post.size()), 6);
    const std::vector<std::int32_t> postLengths(maxVariantCount, lengths.postTapCount);
    appendArray(text, "std::int32_t", "postFilterLengths", "maxVariantCount", ints(postLengths.data(), postLengths.size()), 8);
    const std::vector<std::int32_t> fullLengths(maxVariantCount * orderCount, lengths.modalTapCount);
    appendArray(text, "std::int32_t", "modalFilterLengthsFull", "maxVariantCount * orderCount",
                ints(fullLengths.data(), fullLengths.size()), 8);
    std::string lows, highs, counts;
    for (std::size_t c = 0; c < catalogue.crossovers.size(); ++c) {
        const CrossoverPair& pair = catalogue.crossovers[c];
        const std::string n = std::to_string(pair.length);
        appendArray(text, "float", "lowBandFilter" + n, n, floats(pair.lowBand.data(), pair.lowBand.size()), 6);
        appendArray(text, "float", "highBandFilter" + n, n, floats(pair.highBand.data(), pair.highBand.size()), 6);
        const std::string sep = c + 1 < catalogue.crossovers.size() ? ", " : "";
        lows += ns + "::lowBandFilter" + n + sep;
        highs += ns + "::highBandFilter" + n + sep;
        counts += n + sep;
    }
    text += "}  // namespace " + ns + "\n\n";
    text += "extern const PatternRateTables patternTables" + rate + ";\n";
    text += "const PatternRateTables patternTables" + rate + " = {\n";
    text += "    " + rate + ",\n";
    text += "    " + taps + ",\n";
    text += "    " + postTaps + ",\n";
    text += "    {" + filterNames + "},\n";
    text += "    " + ns + "::modalFilterLengthsFull,\n";
    text += "    " + ns + "::postFilters,\n";
    text += "    " + ns + "::postFilterLengths,\n";
    text += "    {" + counts + "},\n";
    text += "    {" + lows + "},\n";
    text += "    {" + highs + "},\n";
    text += "};\n\n}  // namespace qb32::tables\n";
    return {"PatternTables" + rate + ".cpp", std::move(text)};
}

}  // namespace

std::vector<TableSource> tableSources(const DesignedCatalogue& catalogue) {
    if (catalogue.sampleRate_hz == static_cast<int>(designSampleRate_hz)) return referenceRateSources(catalogue);
    return {otherRateSource(catalogue)};
}

}  // namespace qb32::design
