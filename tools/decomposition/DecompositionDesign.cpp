#include "tools/decomposition/DecompositionDesign.h"

#include <cmath>
#include <cstdio>
#include <algorithm>
#include <numbers>
#include <utility>

#include "engine/tables/CapsuleDirections.h"
#include "engine/tables/DecompositionTables.h"
#include "framework/SampleRates.h"
#include "tools/decomposition/BiquadFit.h"

namespace qb32::design {

namespace {

constexpr double pi = std::numbers::pi;

// P_n^m(x), m >= 0, with the Condon-Shortley phase, by the usual upward
// recursion in n from P_m^m = (-1)^m (2m-1)!! (1-x^2)^(m/2).
double associatedLegendre(int n, int m, double x) {
    const double s = std::sqrt(std::max(0.0, 1.0 - x * x));
    double pmm = 1.0;
    for (int i = 1; i <= m; ++i) pmm *= -(2.0 * i - 1.0) * s;
    if (n == m) return pmm;
    double pm1 = x * (2.0 * m + 1.0) * pmm;
    for (int l = m + 2; l <= n; ++l) {
        const double pl = ((2.0 * l - 1.0) * x * pm1 - (l + m - 1.0) * pmm) / (l - m);
        pmm = pm1;
        pm1 = pl;
    }
    return pm1;
}

double factorial(int n) {
    double f = 1.0;
    for (int i = 2; i <= n; ++i) f *= i;
    return f;
}

// Zeroth-order modified Bessel function of the first kind, by its power
// series (converges fast for the window's arguments, beta < 20).
double besselI0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 60; ++k) {
        const double r = x / (2.0 * k);
        term *= r * r;
        sum += term;
        if (term < 1e-17 * sum) break;
    }
    return sum;
}

void appendFloat(std::string& s, float v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9gf", static_cast<double>(v));
    // "1f" is not a float literal: keep a decimal point or exponent.
    std::string text(buf);
    if (text.find_first_of(".e") == std::string::npos) text.insert(text.size() - 1, ".0");
    s += text;
}

void appendRow(std::string& s, const float* values, int count, int perLine) {
    for (int i = 0; i < count; ++i) {
        if (i % perLine == 0) s += "\n     ";
        else s += ' ';
        appendFloat(s, values[i]);
        s += ',';
    }
}

// The rows of the FIR equalisers' initialiser, one per order.
void appendFirRows(std::string& s, const std::array<std::vector<float>, 4>& taps) {
    for (int n = 0; n < 4; ++n) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "\n    // order %d: %d taps", n, static_cast<int>(taps[n].size()));
        s += buf;
        s += "\n    {";
        appendRow(s, taps[n].data(), static_cast<int>(taps[n].size()), 6);
        s += "\n    },";
    }
}

}  // namespace

double realSphericalHarmonic(int n, int m, double theta_rad, double phi_rad) {
    const int am = m < 0 ? -m : m;
    const double norm = std::sqrt((2.0 * n + 1.0) / (4.0 * pi) * factorial(n - am) / factorial(n + am));
    const double azimuthal = m > 0 ? std::cos(m * phi_rad) : (m < 0 ? std::sin(am * phi_rad) : 1.0);
    return norm * associatedLegendre(n, am, std::cos(theta_rad)) * azimuthal;
}

DecompositionDesign designDecompositionMatrix() {
    DecompositionDesign d;
    constexpr int q = tables::capsuleCount;
    for (int k = 0; k < 16; ++k) {
        const int n = static_cast<int>(std::sqrt(static_cast<double>(k)) + 1e-9);
        const int m = k - n * n - n;
        const double cm2 = m != 0 ? 2.0 : 1.0;
        std::array<double, 32> y{};
        double sum = 0.0;
        for (int c = 0; c < q; ++c) {
            y[c] = realSphericalHarmonic(n, m, tables::capsuleDirections[c].theta_rad,
                                         tables::capsuleDirections[c].phi_rad);
            sum += cm2 * y[c] * y[c];
        }
        const double g = 4.0 * pi / q * sum;
        d.rowNorm[k] = g;
        for (int c = 0; c < q; ++c) {
            d.exact[k][c] = y[c] / (q * g);
            d.matrix[k][c] = static_cast<float>(d.exact[k][c]);
        }
    }
    return d;
}

std::vector<AmplitudePoint> firEqualiserTargets(int order) {
    static constexpr double frequencies_hz[12] = {0, 20, 50, 100, 150, 200, 300, 500, 1000, 2000, 4000, 8000};
    static constexpr double order2[12] = {-0.05713, -0.02403, 0.14367, 0.62326, 0.98742, 1.01754,
                                          1.01171,  0.99619,  1.00327, 1.00183, 0.99934, 1.00051};
    static constexpr double order3[12] = {-0.00003, 0.00000, 0.00039, 0.00512, 0.02518, 0.07785,
                                          0.33040,  0.93234, 1.00001, 1.00000, 1.00000, 1.00000};
    if (order != 2 && order != 3) return {};
    std::vector<AmplitudePoint> points;
    for (int i = 0; i < 12; ++i)
        points.push_back({frequencies_hz[i], (order == 2 ? order2 : order3)[i],
                          frequencies_hz[i] < 150.0 ? 0.02 : 0.01});
    return points;
}

std::vector<double> kaiserHighPass(int length, const KaiserHighPass& p, double sampleRate_hz) {
    const int centre = (length - 1) / 2;
    const double band = 2.0 * p.cutoff_hz / sampleRate_hz;  // ideal low-pass: sin(pi band k) / (pi k)
    const double norm = besselI0(p.beta);
    std::vector<double> h(length);
    for (int i = 0; i < length; ++i) {
        const int k = i - centre;
        const double x = static_cast<double>(k) / centre;
        const double window = besselI0(p.beta * std::sqrt(std::max(0.0, 1.0 - x * x))) / norm;
        const double lowPass = k == 0 ? band : std::sin(pi * band * k) / (pi * k);
        h[i] = (k == 0 ? 1.0 : 0.0) - window * lowPass;
    }
    return h;
}

double zeroPhaseAmplitude(const std::vector<double>& taps, double frequency_hz, double sampleRate_hz) {
    const double omega = 2.0 * pi * frequency_hz / sampleRate_hz;
    const int centre = static_cast<int>(taps.size() - 1) / 2;
    double sum = taps[centre];
    for (int k = 1; k <= centre; ++k) sum += (taps[centre - k] + taps[centre + k]) * std::cos(k * omega);
    return sum;
}

double worstScaledError(const std::vector<double>& taps, const std::vector<AmplitudePoint>& targets,
                        double sampleRate_hz) {
    double worst = 0.0;
    for (const auto& p : targets) {
        const double e = std::fabs(zeroPhaseAmplitude(taps, p.frequency_hz, sampleRate_hz) - p.amplitude);
        worst = std::max(worst, e / p.tolerance);
    }
    return worst;
}

KaiserHighPass fitKaiserHighPass(int length, const std::vector<AmplitudePoint>& targets,
                                 double sampleRate_hz, KaiserHighPass start) {
    // Coordinate grid search, refined tenfold three times around the best point.
    KaiserHighPass best = start;
    double bestError = worstScaledError(kaiserHighPass(length, best, sampleRate_hz), targets, sampleRate_hz);
    double cutoffStep_hz = 1.0, betaStep = 0.25;
    for (int round = 0; round < 4; ++round) {
        const KaiserHighPass centre = best;
        for (int i = -10; i <= 10; ++i) {
            for (int j = -10; j <= 10; ++j) {
                const KaiserHighPass p{centre.cutoff_hz + i * cutoffStep_hz, std::max(0.0, centre.beta + j * betaStep)};
                const double e = worstScaledError(kaiserHighPass(length, p, sampleRate_hz), targets, sampleRate_hz);
                if (e < bestError) {
                    bestError = e;
                    best = p;
                }
            }
        }
        cutoffStep_hz /= 10.0;
        betaStep /= 10.0;
    }
    return best;
}

std::vector<float> roundTaps(const std::vector<double>& taps) {
    // Round each mirrored pair once, so the float taps stay exactly symmetric.
    const std::size_t n = taps.size();
    std::vector<float> out(n);
    for (std::size_t i = 0; i <= (n - 1) / 2; ++i) {
        const float t = static_cast<float>(taps[i]);
        out[i] = t;
        out[n - 1 - i] = t;
    }
    return out;
}

std::vector<float> designFirEqualiser(int order, int sampleRate_hz) {
    const int length = sampleRates::scaledOddLength(tables::firEqualiserLengths[order], sampleRate_hz);
    if (length == 1) return {1.0f};
    return roundTaps(kaiserHighPass(length, firEqualiserDesign(order), sampleRate_hz));
}

std::string decompositionMatrixSource(const DecompositionDesign& design) {
    std::string s =
        "// Generated by tools/decomposition (qb32-decomposition-tables) from the capsule\n"
        "// directions of engine/tables/CapsuleDirections.h. Do not edit: rerun the program.\n"
        "// M[k][q] = Y_k(theta_q, phi_q) / (32 g_k), evaluated in double and rounded to float.\n"
        "#include \"engine/tables/DecompositionTables.h\"\n\n"
        "namespace qb32::tables {\n\n"
        "const float decompositionMatrix[modalComponentCount][decompositionInputCount] = {";
    for (int k = 0; k < 16; ++k) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "\n    // component %d, g = %.8f", k, design.rowNorm[k]);
        s += buf;
        s += "\n    {";
        appendRow(s, design.matrix[k].data(), 32, 6);
        s += "\n    },";
    }
    s += "\n};\n\n}  // namespace qb32::tables\n";
    return s;
}

KaiserHighPass firEqualiserDesign(int order) {
    // Found by `qb32-decomposition-tables --fit` (fitKaiserHighPass from
    // {88 Hz, 2} and {346 Hz, 9}), rounded.
    if (order == 2) return {88.38, 2.2223};
    if (order == 3) return {346.439, 9.244};
    return {};
}

std::string firEqualiserSource(const std::array<std::vector<float>, 4>& taps) {
    std::string s =
        "// Generated by tools/decomposition (qb32-decomposition-tables): Kaiser-windowed\n"
        "// ideal high-passes whose cut-off and beta were fitted to the zero-phase amplitude\n"
        "// tables (tools/decomposition/DecompositionDesign.cpp). Do not edit: rerun the program.\n"
        "#include \"engine/tables/DecompositionTables.h\"\n\n"
        "namespace qb32::tables {\n\n"
        "const float firEqualisers[modalOrderCount][firEqualiserMaxLength] = {";
    appendFirRows(s, taps);
    s += "\n};\n\n}  // namespace qb32::tables\n";
    return s;
}

namespace {

void appendDouble(std::string& s, double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    std::string text(buf);
    if (text.find_first_of(".en") == std::string::npos) text += ".0";
    s += text;
}

}  // namespace

std::string equaliserSource(int sampleRate_hz) {
    const std::string rate = std::to_string(sampleRate_hz);
    const std::string ns = "at" + rate;
    std::string s =
        "// Generated by tools/decomposition (qb32-decomposition-tables) for " + rate +
        " Hz: the biquad\n"
        "// cascades fitted to the 44.1 kHz ones (tools/decomposition/BiquadFit.h) and the FIR\n"
        "// equalisers of the same design over the same time span. Do not edit: rerun the program.\n"
        "#include \"engine/tables/DecompositionTables.h\"\n\n"
        "namespace qb32::tables {\n\n"
        "namespace " + ns + " {\n";
    std::string setPointers[2], setCounts[2];
    for (int set = 0; set < 2; ++set) {
        const char name = set == 0 ? 'A' : 'B';
        std::array<CascadeFit, 4> fits;
        std::size_t slots = 0;
        for (int n = 0; n < 4; ++n) {
            fits[n] = fitCascade(name, n, sampleRate_hz);
            slots = std::max(slots, fits[n].cascade.size());
        }
        const std::string array = std::string("biquadSet") + name;
        s += "\n// Set " + std::string(1, name) + ": per order the sections b0 b1 b2 a0 a1 a2, zero-padded.\n";
        s += "const double " + array + "[modalOrderCount][" + std::to_string(slots) + " * biquadCoefficientsPerSection] = {";
        for (int n = 0; n < 4; ++n) {
            char note[160];
            std::snprintf(note, sizeof note,
                          "\n    // order %d: %zu sections; against 44.1 kHz %.4f dB, %.3f deg to 16 kHz, %.4f dB, %.3f deg to 20 kHz",
                          n, fits[n].cascade.size(), fits[n].deviation.worstDb16k, fits[n].deviation.worstDeg16k,
                          fits[n].deviation.worstDb20k, fits[n].deviation.worstDeg20k);
            s += note;
            s += "\n    {";
            for (std::size_t k = 0; k < slots; ++k) {
                s += "\n     ";
                for (int c = 0; c < 6; ++c) {
                    double v = 0.0;
                    if (k < fits[n].cascade.size()) v = c < 3 ? fits[n].cascade[k].b[c] : fits[n].cascade[k].a[c - 3];
                    appendDouble(s, v);
                    s += c < 5 ? ", " : ",";
                }
            }
            s += "\n    },";
            setPointers[set] += ns + "::" + array + "[" + std::to_string(n) + "]" + (n < 3 ? ", " : "");
            setCounts[set] += std::to_string(fits[n].cascade.size()) + (n < 3 ? ", " : "");
        }
        s += "\n};\nconst std::int32_t " + array + "Sections[modalOrderCount] = {" + setCounts[set] + "};\n";
    }
    std::array<std::vector<float>, 4> taps;
    std::size_t longest = 0;
    std::string lengths, firPointers;
    for (int n = 0; n < 4; ++n) {
        taps[n] = designFirEqualiser(n, sampleRate_hz);
        longest = std::max(longest, taps[n].size());
        lengths += std::to_string(taps[n].size()) + (n < 3 ? ", " : "");
        firPointers += ns + "::firEqualisers[" + std::to_string(n) + "]" + (n < 3 ? ", " : "");
    }
    s += "\nconst std::int32_t firEqualiserLengths[modalOrderCount] = {" + lengths + "};\n";
    s += "const float firEqualisers[modalOrderCount][" + std::to_string(longest) + "] = {";
    appendFirRows(s, taps);
    s += "\n};\n\n}  // namespace " + ns + "\n\n";
    s += "extern const DecompositionRateTables decompositionTables" + rate + ";\n";
    s += "const DecompositionRateTables decompositionTables" + rate + " = {\n";
    s += "    " + rate + ",\n";
    s += "    {" + setPointers[0] + "},\n";
    s += "    " + ns + "::biquadSetASections,\n";
    s += "    {" + setPointers[1] + "},\n";
    s += "    " + ns + "::biquadSetBSections,\n";
    s += "    {" + firPointers + "},\n";
    s += "    " + ns + "::firEqualiserLengths,\n";
    s += "    " + std::to_string(longest) + ",\n";
    s += "};\n\n}  // namespace qb32::tables\n";
    return s;
}

}  // namespace qb32::design
