#include "tools/patterndesign/PatternDesign.h"

#include <cmath>
#include <cstdio>
#include <numbers>
#include <stdexcept>

namespace qb32::design {
namespace {

constexpr int halfTapCount = (modalTapCount + 1) / 2;  // 126 free taps
constexpr int centreTap = modalTapCount / 2;           // 125
constexpr int gridIntervals = 4096;
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
constexpr int fitPointCount = gridIntervals + 1 + pinnedCount;

double gridFrequency(int i) {
    if (i > gridIntervals) return targetFrequencies_hz[i - gridIntervals - 1];
    return designSampleRate_hz * 0.5 * i / gridIntervals;
}

double gridWeight(double f) {
    if (f < flatStart_hz) return transitionWeight;
    if (f <= flatEnd_hz) return flatWeight;
    return topWeight;
}

// Cosine basis of the zero-phase amplitude: 1 for the centre tap, 2 cos(w k)
// for the pair of taps k away from it.
struct Basis {
    std::vector<double> values;  // [grid point][halfTapCount]
    std::vector<double> weights;
    std::vector<double> cholesky;  // lower factor of the normal matrix
};

const Basis& basis() {
    static const Basis b = [] {
        Basis r;
        const int points = fitPointCount;
        r.values.resize(static_cast<std::size_t>(points) * halfTapCount);
        r.weights.resize(points);
        for (int i = 0; i < points; ++i) {
            const double f = gridFrequency(i);
            r.weights[i] = i > gridIntervals ? knotWeight : gridWeight(f);
            const double w = 2.0 * std::numbers::pi * f / designSampleRate_hz;
            r.values[static_cast<std::size_t>(i) * halfTapCount] = 1.0;
            for (int k = 1; k < halfTapCount; ++k)
                r.values[static_cast<std::size_t>(i) * halfTapCount + k] = 2.0 * std::cos(w * k);
        }
        std::vector<double> g(static_cast<std::size_t>(halfTapCount) * halfTapCount, 0.0);
        for (int a = 0; a < halfTapCount; ++a)
            for (int c = 0; c <= a; ++c) {
                double s = 0.0;
                for (int i = 0; i < points; ++i)
                    s += r.weights[i] * r.values[static_cast<std::size_t>(i) * halfTapCount + a] *
                         r.values[static_cast<std::size_t>(i) * halfTapCount + c];
                g[static_cast<std::size_t>(a) * halfTapCount + c] = s;
            }
        // In-place Cholesky: g = L L^T.
        for (int j = 0; j < halfTapCount; ++j) {
            double d = g[static_cast<std::size_t>(j) * halfTapCount + j];
            for (int k = 0; k < j; ++k) {
                const double l = g[static_cast<std::size_t>(j) * halfTapCount + k];
                d -= l * l;
            }
            if (!(d > 0.0)) throw std::runtime_error("normal matrix not positive definite");
            const double djj = std::sqrt(d);
            g[static_cast<std::size_t>(j) * halfTapCount + j] = djj;
            for (int i = j + 1; i < halfTapCount; ++i) {
                double s = g[static_cast<std::size_t>(i) * halfTapCount + j];
                for (int k = 0; k < j; ++k)
                    s -= g[static_cast<std::size_t>(i) * halfTapCount + k] *
                         g[static_cast<std::size_t>(j) * halfTapCount + k];
                g[static_cast<std::size_t>(i) * halfTapCount + j] = s / djj;
            }
        }
        r.cholesky = std::move(g);
        return r;
    }();
    return b;
}

// Least-squares fit of a target sampled on the grid; returns 251 float taps.
template <class Target>
std::vector<float> fitSymmetric(Target target) {
    const Basis& b = basis();
    const int points = fitPointCount;
    std::vector<double> rhs(halfTapCount, 0.0);
    for (int i = 0; i < points; ++i) {
        const double t = b.weights[i] * target(gridFrequency(i));
        const double* row = &b.values[static_cast<std::size_t>(i) * halfTapCount];
        for (int k = 0; k < halfTapCount; ++k) rhs[k] += t * row[k];
    }
    const std::vector<double>& l = b.cholesky;
    for (int i = 0; i < halfTapCount; ++i) {  // L y = rhs
        double s = rhs[i];
        for (int k = 0; k < i; ++k) s -= l[static_cast<std::size_t>(i) * halfTapCount + k] * rhs[k];
        rhs[i] = s / l[static_cast<std::size_t>(i) * halfTapCount + i];
    }
    for (int i = halfTapCount - 1; i >= 0; --i) {  // L^T x = y
        double s = rhs[i];
        for (int k = i + 1; k < halfTapCount; ++k)
            s -= l[static_cast<std::size_t>(k) * halfTapCount + i] * rhs[k];
        rhs[i] = s / l[static_cast<std::size_t>(i) * halfTapCount + i];
    }
    std::vector<float> taps(modalTapCount);
    for (int k = 0; k < halfTapCount; ++k) {
        const float v = static_cast<float>(rhs[k]);
        taps[centreTap + k] = v;
        taps[centreTap - k] = v;
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

double zeroPhaseAmplitude(const float* taps, int length, double frequency_hz) {
    const int c = length / 2;
    const double w = 2.0 * std::numbers::pi * frequency_hz / designSampleRate_hz;
    double s = taps[c];
    for (int k = 1; k <= c; ++k) s += (static_cast<double>(taps[c + k]) + taps[c - k]) * std::cos(w * k);
    return s;
}

std::vector<float> lowBandCrossover(int length, double crossover_hz) {
    const double beta = 0.1102 * (60.0 - 8.7);
    const double centre = (length - 1) / 2.0;
    const double w = 2.0 * crossover_hz / designSampleRate_hz;
    std::vector<float> taps(length);
    for (int k = 0; k < length; ++k) {
        const double r = 2.0 * k / (length - 1) - 1.0;
        const double window = besselI0(beta * std::sqrt(std::fmax(0.0, 1.0 - r * r))) / besselI0(beta);
        taps[k] = static_cast<float>(w * sinc(w * (k - centre)) * window);
    }
    return taps;
}

std::vector<float> highBandCrossover(int length, double crossover_hz) {
    const double gain = std::pow(10.0, -6.0 / 20.0);
    const double beta = 0.1102 * (60.0 - 8.7);
    const double centre = (length - 1) / 2.0;
    const double w = 2.0 * crossover_hz / designSampleRate_hz;
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

DesignedCatalogue designCatalogue() {
    DesignedCatalogue out;
    out.variantFrequencyScale = variantFrequencyScales();
    for (const PatternEntry& p : patternCatalogue()) {
        DesignedPattern d;
        d.variantCount = p.variantCount;
        const bool omni = std::string(p.name) == "omni";
        d.modalFilterLength = omni ? 1 : modalTapCount;
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
                        fitSymmetric([&](double f) { return evalKnots(knots, f * scale); });
                    for (int k = 0; k < len; ++k) row[k] = taps[k];
                }
                // High-frequency weight: mean response over the flat band.
                double sum = 0.0;
                int count = 0;
                for (double f = flatStart_hz; f <= flatEnd_hz; f += 50.0, ++count)
                    sum += zeroPhaseAmplitude(row, len, f);
                a[n] = (sum / count) / std::sqrt(4.0 * std::numbers::pi / (2 * n + 1));
            }
            polarOf(a, &d.polarResponse[static_cast<std::size_t>(v) * polarPointCount],
                    d.polarBeamwidthDeg[v]);
        }
        out.patterns.push_back(std::move(d));
    }
    for (auto [length, fc] : {std::pair{55, 6000.0}, std::pair{41, 8000.0}, std::pair{37, 9000.0}}) {
        CrossoverPair c;
        c.length = length;
        c.crossover_hz = fc;
        c.lowBand = lowBandCrossover(length, fc);
        c.highBand = highBandCrossover(length, fc);
        out.crossovers.push_back(std::move(c));
    }
    out.postFilter.resize(postTapCount);
    for (int k = 0; k < postTapCount; ++k)
        out.postFilter[k] = static_cast<float>(postFilterHalf[k <= 15 ? k : 30 - k]);
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

std::vector<TableSource> tableSources(const DesignedCatalogue& catalogue) {
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

}  // namespace qb32::design
