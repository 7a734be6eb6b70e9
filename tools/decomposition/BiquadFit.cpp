#include "tools/decomposition/BiquadFit.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include <Eigen/Dense>

#include "engine/tables/DecompositionTables.h"

namespace qb32::design {

namespace {

constexpr double referenceRate_hz = 44100.0;
constexpr double pi = std::numbers::pi;
constexpr int gridPoints = 300;
constexpr double gridLow_hz = 20.0, gridHigh_hz = 20000.0;
constexpr double strictBand_hz = 16000.0;
constexpr double upperBandWeight = 0.25;
constexpr int maxIterations = 300;
constexpr double addSectionDb = 0.05, addSectionDeg = 1.0;
constexpr int maxExtraSections = 2;
constexpr int capPoints = 80;
constexpr double convergedFraction = 1e-12;
constexpr double capWeight = 1.0;

bool firstOrder(const BiquadSection& s) { return s.degree == 1; }

BiquadSection normalised(BiquadSection s) {
    const double a0 = s.a[0];
    for (double& v : s.b) v /= a0;
    for (double& v : s.a) v /= a0;
    return s;
}

std::vector<double> logGrid(int points, double low, double high) {
    std::vector<double> f(points);
    for (int i = 0; i < points; ++i) f[i] = low * std::pow(high / low, static_cast<double>(i) / (points - 1));
    return f;
}

// Fit points (20 Hz to 20 kHz: level and phase against the reference) and
// cap points (above 20 kHz: the level only, and only where it exceeds the
// cap).
struct Problem {
    std::vector<double> frequencies;
    std::vector<double> weights;
    std::vector<std::complex<double>> logTarget;  // cap points: (ln cap, 0)
    std::vector<bool> cap;
    double rate = 0.0;
    // Smallest D(1) a section may have: a quarter of the smallest among the
    // reference's sections mapped to the rate. No pole may come nearer to
    // z = 1 than the reference's own low-frequency poles go.
    double dcFloor = 0.0;
};

// ln H(f) - ln H44(f) at every fit point (principal branch of the ratio);
// max(0, ln |H(f)| - ln cap) at every cap point.
std::vector<std::complex<double>> residuals(const BiquadCascade& c, const Problem& p) {
    std::vector<std::complex<double>> r(p.frequencies.size());
    for (std::size_t i = 0; i < r.size(); ++i) {
        const std::complex<double> v = std::log(cascadeResponse(c, p.frequencies[i], p.rate)) - p.logTarget[i];
        r[i] = p.cap[i] ? std::complex<double>(std::fmax(0.0, v.real()), 0.0)
                        : std::complex<double>(v.real(), std::remainder(v.imag(), 2.0 * pi));
    }
    return r;
}

double cost(const std::vector<std::complex<double>>& r, const Problem& p) {
    double s = 0.0;
    for (std::size_t i = 0; i < r.size(); ++i) s += p.weights[i] * std::norm(r[i]);
    return s;
}

// The unknowns of one section, in a form whose steps are well scaled:
//  numerator: b0 (first section only; the others keep theirs), P = N(1) and
//  M = N(-1) (N(z) = b0 + b1 z^-1 + b2 z^-2; first order: P only);
//  denominator: u = ln D(1), w = ln D(-1) (first order: u only). A pole near
//  z = 1 makes D(1) tiny, so its position moves in relative steps; D(1) > 0
//  and D(-1) > 0 hold by construction, and with a2 < 1 (e^u + e^w < 4) every
//  pole lies inside the unit circle.
struct SectionUnknowns {
    bool first;
    int degree;
    bool notch;  // numerator b0 (1 - q)^2: only b0 (first section) is free
    double b0, P, M, u, w;
};

SectionUnknowns unknownsOf(const BiquadSection& s, bool first) {
    SectionUnknowns x{first, s.degree, s.dcNotch && s.degree == 2, s.b[0], 0, 0, 0, 0};
    x.P = s.b[0] + s.b[1] + s.b[2];
    x.M = s.b[0] - s.b[1] + s.b[2];
    x.u = std::log(s.a[0] + s.a[1] + s.a[2]);
    x.w = s.degree == 2 ? std::log(s.a[0] - s.a[1] + s.a[2]) : 0.0;
    return x;
}

BiquadSection sectionOf(const SectionUnknowns& x) {
    BiquadSection s;
    s.degree = x.degree;
    s.dcNotch = x.notch;
    s.b[0] = x.b0;
    s.a[0] = 1.0;
    if (x.notch) {
        s.b[1] = -2.0 * x.b0;
        s.b[2] = x.b0;
        s.a[1] = 0.5 * (std::exp(x.u) - std::exp(x.w));
        s.a[2] = 0.5 * (std::exp(x.u) + std::exp(x.w)) - 1.0;
    } else if (x.degree == 1) {
        s.b[1] = x.P - x.b0;
        s.a[1] = std::exp(x.u) - 1.0;
    } else {
        s.b[1] = 0.5 * (x.P - x.M);
        s.b[2] = 0.5 * (x.P + x.M) - x.b0;
        s.a[1] = 0.5 * (std::exp(x.u) - std::exp(x.w));
        s.a[2] = 0.5 * (std::exp(x.u) + std::exp(x.w)) - 1.0;
    }
    return s;
}

int unknownCount(const SectionUnknowns& x) {
    return (x.first ? 1 : 0) + (x.notch ? 2 : x.degree == 1 ? 2 : 4);
}

double* unknown(SectionUnknowns& x, int i) {
    double* order1[] = {&x.P, &x.u};
    double* order2[] = {&x.P, &x.M, &x.u, &x.w};
    if (x.first) {
        if (i == 0) return &x.b0;
        --i;
    }
    if (x.notch) return i == 0 ? &x.u : &x.w;
    return x.degree == 1 ? order1[i] : order2[i];
}

// d ln H / d unknown i of section x at q = e^{-j w} (q2 = q^2), given 1 / N
// and 1 / D of the section there.
std::complex<double> derivative(const SectionUnknowns& x, int i, std::complex<double> q, std::complex<double> q2,
                                std::complex<double> inverseNum, std::complex<double> inverseDen) {
    if (x.first) {
        if (i == 0) return x.notch ? 1.0 / x.b0 : (x.degree == 1 ? 1.0 - q : 1.0 - q2) * inverseNum;
        --i;
    }
    if (x.notch) i += 2;  // only u and w
    if (x.degree == 1) {
        if (i == 0) return q * inverseNum;                   // P
        return -std::exp(x.u) * q * inverseDen;              // u
    }
    switch (i) {
        case 0: return 0.5 * (q + q2) * inverseNum;                     // P
        case 1: return 0.5 * (q2 - q) * inverseNum;                     // M
        case 2: return -0.5 * std::exp(x.u) * (q + q2) * inverseDen;    // u
        default: return -0.5 * std::exp(x.w) * (q2 - q) * inverseDen;   // w
    }
}

bool admissible(const std::vector<SectionUnknowns>& xs, double dcFloor) {
    for (const SectionUnknowns& x : xs) {
        if (!std::isfinite(x.u) || !std::isfinite(x.w) || std::exp(x.u) < dcFloor) return false;
        if (x.degree == 1 ? std::exp(x.u) >= 2.0 : std::exp(x.u) + std::exp(x.w) >= 4.0) return false;
        if (x.first && x.b0 == 0.0) return false;
    }
    return true;
}

BiquadCascade cascadeOf(const std::vector<SectionUnknowns>& xs) {
    BiquadCascade c;
    for (const SectionUnknowns& x : xs) c.push_back(sectionOf(x));
    return c;
}

// Levenberg-Marquardt on the unknowns above; answers the iterations run.
int refine(BiquadCascade& c, const Problem& p) {
    std::vector<SectionUnknowns> xs;
    for (std::size_t s = 0; s < c.size(); ++s) xs.push_back(unknownsOf(normalised(c[s]), s == 0));
    int n = 0;
    for (const SectionUnknowns& x : xs) n += unknownCount(x);
    const int m = static_cast<int>(p.frequencies.size());
    BiquadCascade current = cascadeOf(xs);
    std::vector<std::complex<double>> r = residuals(current, p);
    double currentCost = cost(r, p);
    double lambda = 1e-3;
    int iteration = 0;
    int quiet = 0;
    std::vector<std::complex<double>> row(n);
    for (; iteration < maxIterations && lambda < 1e12 && quiet < 8; ++iteration) {
        std::vector<double> normal(static_cast<std::size_t>(n) * n, 0.0), gradient(n, 0.0);
        for (int i = 0; i < m; ++i) {
            if (p.cap[i] && !(r[i].real() > 0.0)) continue;  // a cap point below its cap: no residual
            const std::complex<double> q = std::polar(1.0, -2.0 * pi * p.frequencies[i] / p.rate), q2 = q * q;
            int u = 0;
            for (std::size_t s = 0; s < xs.size(); ++s) {
                const BiquadSection& sec = current[s];
                const std::complex<double> inverseNum = 1.0 / (sec.b[0] + sec.b[1] * q + sec.b[2] * q2);
                const std::complex<double> inverseDen = 1.0 / (sec.a[0] + sec.a[1] * q + sec.a[2] * q2);
                for (int k = 0; k < unknownCount(xs[s]); ++k)
                    row[u++] = derivative(xs[s], k, q, q2, inverseNum, inverseDen);
            }
            if (p.cap[i])  // the level only
                for (auto& d : row) d = std::complex<double>(d.real(), 0.0);
            const double w = p.weights[i];
            for (int a = 0; a < n; ++a) {
                const double ra = w * row[a].real(), ia = w * row[a].imag();
                gradient[a] += ra * r[i].real() + ia * r[i].imag();
                double* line = &normal[static_cast<std::size_t>(a) * n];
                for (int b = 0; b <= a; ++b) line[b] += ra * row[b].real() + ia * row[b].imag();
            }
        }
        Eigen::MatrixXd jtj(n, n);
        Eigen::VectorXd jtr(n);
        for (int a = 0; a < n; ++a) {
            jtr(a) = gradient[a];
            for (int b = 0; b <= a; ++b) jtj(a, b) = jtj(b, a) = normal[static_cast<std::size_t>(a) * n + b];
        }
        bool accepted = false;
        while (!accepted && lambda < 1e12) {
            Eigen::MatrixXd a = jtj;
            for (int k = 0; k < n; ++k) a(k, k) += lambda * jtj(k, k);
            const Eigen::VectorXd step = a.ldlt().solve(-jtr);
            std::vector<SectionUnknowns> trial = xs;
            int u = 0;
            for (auto& x : trial)
                for (int k = 0; k < unknownCount(x); ++k) *unknown(x, k) += step(u++);
            if (admissible(trial, p.dcFloor)) {
                const BiquadCascade trialCascade = cascadeOf(trial);
                const auto trialResiduals = residuals(trialCascade, p);
                const double trialCost = cost(trialResiduals, p);
                if (trialCost < currentCost) {
                    quiet = currentCost - trialCost < convergedFraction * currentCost ? quiet + 1 : 0;
                    xs = trial;
                    current = trialCascade;
                    r = trialResiduals;
                    currentCost = trialCost;
                    lambda = std::fmax(lambda / 3.0, 1e-12);
                    accepted = true;
                    continue;
                }
            }
            lambda *= 4.0;
        }
    }
    c = current;
    return iteration;
}

// Roots of c0 + c1 q + c2 q^2 as values of z = 1 / q (the zeros or poles of
// a section), with the gain c0: c0 prod (1 - r q).
std::vector<std::complex<double>> rootsInZ(const std::array<double, 3>& c, int degree) {
    if (degree == 1 || c[2] == 0.0) {
        if (c[1] == 0.0) return {};
        return {std::complex<double>(-c[1] / c[0], 0.0)};
    }
    // z^2 c0 + z c1 + c2 = 0
    const std::complex<double> d = std::sqrt(std::complex<double>(c[1] * c[1] - 4.0 * c[0] * c[2], 0.0));
    return {(-c[1] + d) / (2.0 * c[0]), (-c[1] - d) / (2.0 * c[0])};
}

// A root at 44.1 kHz moved to the new rate by z = exp(s / rate), s = ln(root)
// x 44100: the same frequency and bandwidth in Hz. A negative real root sits
// at 22.05 kHz; at the new rate that frequency is no longer the Nyquist
// frequency, so it becomes a conjugate pair there.
void matchRoot(std::complex<double> root, double k, std::vector<std::complex<double>>& out) {
    if (std::abs(root) < 1e-300) {
        out.push_back(0.0);
        return;
    }
    const std::complex<double> s = std::log(root);  // per 44.1 kHz sample
    const std::complex<double> moved = std::exp(s / k);
    if (root.imag() == 0.0 && root.real() < 0.0) {
        out.push_back(moved);
        out.push_back(std::conj(moved));
    } else {
        out.push_back(moved);
    }
}

// Groups roots into factors of at most degree 2: pairs of roots exactly at
// z = 1 first (the double zeros at DC, kept exact: dcNotch), then conjugate
// pairs together, the other real roots two by two (largest first). Each
// factor as (1, c1, c2) in q.
std::vector<BiquadSection> factors(std::vector<std::complex<double>> roots) {
    std::vector<std::complex<double>> complexRoots, realRoots;
    int atDc = 0;
    for (const auto& r : roots) {
        if (r == std::complex<double>(1.0, 0.0)) ++atDc;
        else (std::fabs(r.imag()) > 1e-12 * std::fmax(1.0, std::abs(r)) ? complexRoots : realRoots).push_back(r);
    }
    std::vector<BiquadSection> out;
    for (; atDc >= 2; atDc -= 2) out.push_back({{1.0, -2.0, 1.0}, {}, 2, true});
    if (atDc == 1) realRoots.push_back(1.0);
    for (const auto& r : complexRoots)
        if (r.imag() > 0.0) out.push_back({{1.0, -2.0 * r.real(), std::norm(r)}, {}, 2, false});
    std::sort(realRoots.begin(), realRoots.end(), [](auto a, auto b) { return a.real() > b.real(); });
    for (std::size_t i = 0; i < realRoots.size(); i += 2) {
        if (i + 1 < realRoots.size()) {
            const double a = realRoots[i].real(), b = realRoots[i + 1].real();
            out.push_back({{1.0, -(a + b), a * b}, {}, 2, false});
        } else {
            out.push_back({{1.0, -realRoots[i].real(), 0.0}, {}, 1, false});
        }
    }
    return out;
}

// Every pole and zero moved by matchRoot, regrouped into sections (poles
// nearest the unit circle first, each with the zeros nearest to them), and
// the level set to the reference's at 1 kHz.
BiquadCascade matchedRemap(const BiquadCascade& cascade, double sampleRate_hz) {
    const double k = sampleRate_hz / referenceRate_hz;
    std::vector<std::complex<double>> zeros, poles;
    for (const BiquadSection& s : cascade) {
        for (const auto& r : rootsInZ(s.b, s.degree)) matchRoot(r, k, zeros);
        for (const auto& r : rootsInZ(s.a, s.degree)) matchRoot(r, k, poles);
    }
    std::vector<BiquadSection> numerators = factors(zeros), denominators = factors(poles);
    auto rootRadius = [](const BiquadSection& f) {  // of the factor's roots, the largest
        return f.degree == 1 ? std::fabs(f.b[1]) : std::sqrt(std::fabs(f.b[2]));
    };
    std::sort(denominators.begin(), denominators.end(),
              [&](const auto& a, const auto& b) { return rootRadius(a) > rootRadius(b); });
    BiquadCascade out;
    for (const BiquadSection& d : denominators) {
        BiquadSection s;
        s.a = d.b;
        s.b = {1.0, 0.0, 0.0};
        s.degree = d.degree;
        // The zero factor whose roots lie nearest to this factor's poles.
        std::size_t best = numerators.size();
        double distance = INFINITY;
        for (std::size_t i = 0; i < numerators.size(); ++i) {
            if (numerators[i].degree > d.degree) continue;
            const double e = std::fabs(numerators[i].b[1] - d.b[1]) + std::fabs(numerators[i].b[2] - d.b[2]);
            if (e < distance) {
                distance = e;
                best = i;
            }
        }
        if (best < numerators.size()) {
            s.b = numerators[best].b;
            s.dcNotch = numerators[best].dcNotch;
            numerators.erase(numerators.begin() + static_cast<std::ptrdiff_t>(best));
        }
        out.push_back(s);
    }
    for (const BiquadSection& n : numerators) out.push_back({n.b, {1.0, 0.0, 0.0}, n.degree, n.dcNotch});
    const double gain = std::abs(cascadeResponse(cascade, 1000.0, referenceRate_hz)) /
                        std::abs(cascadeResponse(out, 1000.0, sampleRate_hz));
    for (double& v : out.front().b) v *= gain;
    return out;
}

}  // namespace

BiquadCascade referenceCascade(char set, int order) {
    const double* c = set == 'A' ? tables::biquadSetA[order] : tables::biquadSetB[order];
    const int sections = set == 'A' ? tables::biquadSetASections[order] : tables::biquadSetBSections[order];
    BiquadCascade cascade(sections);
    for (int s = 0; s < sections; ++s)
        for (int k = 0; k < 3; ++k) {
            cascade[s].b[k] = c[6 * s + k];
            cascade[s].a[k] = c[6 * s + 3 + k];
        }
    for (BiquadSection& s : cascade) {
        s.degree = s.b[2] == 0.0 && s.a[2] == 0.0 ? 1 : 2;
        s.dcNotch = s.degree == 2 && s.b[1] == -2.0 * s.b[0] && s.b[2] == s.b[0];
    }
    return cascade;
}

std::complex<double> cascadeResponse(const BiquadCascade& cascade, double frequency_hz, double sampleRate_hz) {
    const std::complex<double> q = std::polar(1.0, -2.0 * pi * frequency_hz / sampleRate_hz), q2 = q * q;
    std::complex<double> h = 1.0;
    for (const BiquadSection& s : cascade)
        h *= (s.b[0] + s.b[1] * q + s.b[2] * q2) / (s.a[0] + s.a[1] * q + s.a[2] * q2);
    return h;
}

BiquadCascade bilinearRemap(const BiquadCascade& cascade, double sampleRate_hz) {
    const double k = sampleRate_hz / referenceRate_hz;
    const double alpha = (1.0 - k) / (1.0 + k);
    BiquadCascade out;
    for (const BiquadSection& s : cascade) {
        // Substitute z^-1 -> (alpha + q) / (1 + alpha q) and clear the
        // denominators (1 + alpha q)^degree.
        BiquadSection t;
        t.degree = s.degree;
        if (firstOrder(s)) {
            // c0 (1 + alpha q) + c1 (alpha + q)
            auto map = [alpha](const std::array<double, 3>& c) {
                return std::array<double, 3>{c[0] + c[1] * alpha, c[0] * alpha + c[1], 0.0};
            };
            t.b = map(s.b);
            t.a = map(s.a);
        } else {
            // c0 (1 + alpha q)^2 + c1 (alpha + q)(1 + alpha q) + c2 (alpha + q)^2
            auto map = [alpha](const std::array<double, 3>& c) {
                return std::array<double, 3>{c[0] + c[1] * alpha + c[2] * alpha * alpha,
                                             2.0 * c[0] * alpha + c[1] * (1.0 + alpha * alpha) + 2.0 * c[2] * alpha,
                                             c[0] * alpha * alpha + c[1] * alpha + c[2]};
            };
            t.b = map(s.b);
            t.a = map(s.a);
        }
        t = normalised(t);
        if (s.dcNotch) {  // (1 - q)^2 maps to (1 - alpha)^2 (1 - q)^2: kept exact
            t.dcNotch = true;
            t.b = {t.b[0], -2.0 * t.b[0], t.b[0]};
        }
        out.push_back(t);
    }
    return out;
}

bool isStable(const BiquadCascade& cascade) {
    for (const BiquadSection& s : cascade) {
        const double a1 = s.a[1] / s.a[0], a2 = s.a[2] / s.a[0];
        // Both roots of z^2 + a1 z + a2 inside the unit circle (Jury).
        if (!(std::fabs(a2) < 1.0 && std::fabs(a1) < 1.0 + a2)) return false;
    }
    return true;
}

CascadeDeviation cascadeDeviation(const BiquadCascade& cascade, const BiquadCascade& reference,
                                  double sampleRate_hz) {
    CascadeDeviation d;
    for (double f = gridLow_hz; f <= gridHigh_hz * 1.0001; f *= std::pow(2.0, 1.0 / 48.0)) {
        const std::complex<double> ratio =
            cascadeResponse(cascade, f, sampleRate_hz) / cascadeResponse(reference, f, referenceRate_hz);
        const double db = std::fabs(20.0 * std::log10(std::abs(ratio)));
        const double deg = std::fabs(std::arg(ratio)) * 180.0 / pi;
        d.worstDb20k = std::fmax(d.worstDb20k, db);
        d.worstDeg20k = std::fmax(d.worstDeg20k, deg);
        if (f <= strictBand_hz) {
            d.worstDb16k = std::fmax(d.worstDb16k, db);
            d.worstDeg16k = std::fmax(d.worstDeg16k, deg);
        }
    }
    return d;
}

CascadeFit fitCascade(char set, int order, int sampleRate_hz) {
    const BiquadCascade reference = referenceCascade(set, order);
    CascadeFit fit;
    if (sampleRate_hz == static_cast<int>(referenceRate_hz)) {
        fit.cascade = reference;
        return fit;
    }
    Problem p;
    p.rate = sampleRate_hz;
    p.dcFloor = INFINITY;
    for (const BiquadSection& s : bilinearRemap(reference, sampleRate_hz))
        p.dcFloor = std::fmin(p.dcFloor, 0.25 * (s.a[0] + s.a[1] + s.a[2]));
    p.frequencies = logGrid(gridPoints, gridLow_hz, gridHigh_hz);
    for (double f : p.frequencies) {
        p.weights.push_back(f <= strictBand_hz ? 1.0 : upperBandWeight);
        p.logTarget.push_back(std::log(cascadeResponse(reference, f, referenceRate_hz)));
        p.cap.push_back(false);
    }
    // Above 20 kHz: never more gain than the reference has at its own
    // Nyquist frequency (its largest above 20 kHz, a smooth maximum), so
    // that ultrasonic content is not lifted beyond what 44.1 kHz lifts.
    const double capLevel = std::log(std::abs(cascadeResponse(reference, 0.5 * referenceRate_hz, referenceRate_hz)));
    for (double f : logGrid(capPoints, gridHigh_hz, 0.499 * sampleRate_hz)) {
        p.frequencies.push_back(f);
        p.weights.push_back(capWeight);
        p.logTarget.push_back({capLevel, 0.0});
        p.cap.push_back(true);
    }
    // Two starts; from each, up to two more sections while the result misses
    // the mark; the best result kept (level and phase errors weighed as
    // 0.05 dB against 1 degree).
    auto score = [](const CascadeDeviation& d) { return d.worstDb16k / addSectionDb + d.worstDeg16k / addSectionDeg; };
    bool first = true;
    for (int start = 0; start < 2; ++start) {
        BiquadCascade c = start == 0 ? bilinearRemap(reference, sampleRate_hz) : matchedRemap(reference, sampleRate_hz);
        const CascadeDeviation before = cascadeDeviation(c, reference, sampleRate_hz);
        for (int extra = 0; extra <= maxExtraSections; ++extra) {
            if (extra > 0) c.push_back({{1.0, 0.0, 0.0}, {1.0, 0.0, 0.0}, 2, false});
            fit.iterations += refine(c, p);
            const CascadeDeviation after = cascadeDeviation(c, reference, sampleRate_hz);
            if (first || score(after) < score(fit.deviation)) {
                fit.cascade = c;
                fit.start = before;
                fit.deviation = after;
                first = false;
            }
            if (after.worstDb16k <= addSectionDb && after.worstDeg16k <= addSectionDeg) break;
        }
        // A first start that meets the mark needs no second.
        if (fit.deviation.worstDb16k <= addSectionDb && fit.deviation.worstDeg16k <= addSectionDeg) break;
    }
    // Sections the fit left as pass-throughs do nothing but cost time.
    BiquadCascade kept;
    for (const BiquadSection& s : fit.cascade)
        if (!(s.b == std::array<double, 3>{1.0, 0.0, 0.0} && s.a == std::array<double, 3>{1.0, 0.0, 0.0}))
            kept.push_back(s);
    if (!kept.empty()) fit.cascade = kept;
    return fit;
}

}  // namespace qb32::design
