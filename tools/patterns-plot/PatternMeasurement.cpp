#include "tools/patterns-plot/PatternMeasurement.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <numbers>

#include <unsupported/Eigen/FFT>

#include "framework/SampleRates.h"
#include "tools/render/PluginHost.h"

namespace qb32::tools {

namespace {

constexpr double pi = std::numbers::pi;

Direction directionOf(const Vec3& v) {
    const double z = std::clamp(v.z, -1.0, 1.0);
    double azimuth = std::atan2(v.y, v.x) * 180.0 / pi;
    if (azimuth < 0.0) azimuth += 360.0;
    return {std::acos(z) * 180.0 / pi, azimuth};
}

Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

Vec3 normalised(const Vec3& v) {
    const double n = std::sqrt(dot(v, v));
    return {v.x / n, v.y / n, v.z / n};
}

double powerDb(double p) { return 10.0 * std::log10(std::max(p, 1e-30)); }

}  // namespace

std::string bandLabel(double hz) {
    char text[32];
    if (hz >= 1000.0) std::snprintf(text, sizeof text, "%g kHz", hz / 1000.0);
    else std::snprintf(text, sizeof text, "%g Hz", hz);
    return text;
}

MeasurementDirections measurementDirections(const MeasurementSetup& setup) {
    MeasurementDirections m;
    const Vec3 look = unitVector(setup.look);
    // The horizontal circle runs through the look direction and the horizon
    // (at the poles: through +x); the vertical one at right angles to it.
    Vec3 side = cross({0.0, 0.0, 1.0}, look);
    if (dot(side, side) < 1e-12) side = {0.0, 1.0, 0.0};
    side = normalised(side);
    const Vec3 up = normalised(cross(look, side));
    m.circlePoints = 360 / setup.circleStep_deg;
    for (int i = 0; i < m.circlePoints; ++i) m.circleAngles_deg.push_back(i * setup.circleStep_deg);
    for (const Vec3& axis : {side, up}) {
        (dot(axis, side) > 0.5 ? m.horizontalStart : m.verticalStart) = static_cast<int>(m.all.size());
        for (double a : m.circleAngles_deg) {
            const double r = a * pi / 180.0;
            m.all.push_back(directionOf({std::cos(r) * look.x + std::sin(r) * axis.x, std::cos(r) * look.y + std::sin(r) * axis.y,
                                         std::cos(r) * look.z + std::sin(r) * axis.z}));
        }
    }
    m.sphereStart = static_cast<int>(m.all.size());
    const double golden = pi * (3.0 - std::sqrt(5.0));
    for (int i = 0; i < setup.spherePoints; ++i) {
        const double z = 1.0 - (2.0 * i + 1.0) / setup.spherePoints;
        const double r = std::sqrt(1.0 - z * z);
        m.all.push_back(directionOf({r * std::cos(golden * i), r * std::sin(golden * i), z}));
    }
    return m;
}

int segmentFor(const MeasurementSetup& setup) {
    int t = setup.segment_samples;
    while (static_cast<double>(t) / setup.sampleRate_hz < setup.segment_samples / 44100.0) t *= 2;
    return t;
}

bool measureResponses(const std::string& modulePath, int patternCount, const std::vector<int>& patterns,
                      const MeasurementSetup& setup, const MeasurementDirections& directions,
                      const ResponseSink& take, std::string& error) {
    const int T = segmentFor(setup);
    const int rate = setup.sampleRate_hz;
    PluginHost host;
    if (!host.load(modulePath, error)) return false;
    host.start(T, rate);
    const int elevation = static_cast<int>(std::lround(setup.look.elevation_deg));
    const int azimuth = ((static_cast<int>(std::lround(setup.look.azimuth_deg)) % 360) + 360) % 360;
    for (int b = 0; b < beamCount; ++b) {
        const bool used = b < static_cast<int>(patterns.size());
        if (used) {
            host.setParameter(parameterIndex(b, patternKind), patternValue(patterns[static_cast<std::size_t>(b)], patternCount));
            host.setParameter(parameterIndex(b, elevationKind), elevationValue(elevation));
            host.setParameter(parameterIndex(b, azimuthKind), azimuthValue(azimuth));
        }
        host.setParameter(parameterIndex(b, statusKind), statusValue(used));
    }
    std::vector<std::vector<float>> in(pluginInputs, std::vector<float>(static_cast<std::size_t>(T)));
    std::vector<std::vector<float>> out(pluginOutputs, std::vector<float>(static_cast<std::size_t>(T)));
    std::vector<float*> ip, op;
    for (auto& c : in) ip.push_back(c.data());
    for (auto& c : out) op.push_back(c.data());

    // Silence until the pattern crossfades (250 ms and the longest filter)
    // and the glide to the look direction (441 degrees per second) are over.
    const int glide = std::abs(elevation - 90) + azimuth;
    const int warmUp = sampleRates::scaledSamples(24576 + 100 * glide, rate) + glide;
    for (int done = 0; done < warmUp; done += T) host.process(ip.data(), op.data(), T);

    const RigidSphere sphere;
    for (std::size_t k = 0; k < directions.all.size(); ++k) {
        const CapsuleFirs firs = designCapsuleFirs(sphere, rate, directions.all[k], defaultFirLength(rate));
        for (int q = 0; q < pluginInputs; ++q) {
            auto& c = in[static_cast<std::size_t>(q)];
            std::fill(c.begin(), c.end(), 0.0f);
            const auto& h = firs.taps[static_cast<std::size_t>(q)];
            for (std::size_t n = 0; n < h.size() && n < c.size(); ++n) c[n] = static_cast<float>(h[n]);
        }
        host.process(ip.data(), op.data(), T);
        for (std::size_t s = 0; s < patterns.size(); ++s) take(static_cast<int>(s), static_cast<int>(k), out[s]);
    }
    return true;
}

// ---- theory -----------------------------------------------------------------------------------

std::vector<double> theoreticalCoefficients(const std::string& name) {
    if (name == "omni") return {1.0};
    if (name == "dipole1") return {0.0, 1.0};
    if (name == "card1") return {0.5, 0.5};
    if (name == "card2") return {1.0 / 3.0, 0.5, 1.0 / 6.0};
    if (name == "card3") return {0.25, 0.45, 0.25, 0.05};
    if (name == "hyper1") return {0.25, 0.75};
    if (name == "hyper2") return {1.0 / 9.0, 3.0 / 9.0, 5.0 / 9.0};
    if (name == "hyper3") return {1.0 / 16.0, 3.0 / 16.0, 5.0 / 16.0, 7.0 / 16.0};
    if (name == "super1") return {0.364, 0.636};
    if (name == "super2") return {0.234, 0.467, 0.298};
    if (name == "super3") return {0.175, 0.382, 0.318, 0.125};
    if (name == "torus") return {2.0 / 3.0, 0.0, -2.0 / 3.0};
    return {};
}

double theoreticalDirectivity(const std::vector<double>& a, double x) {
    double p0 = 1.0, p1 = x, sum = 0.0;
    for (std::size_t n = 0; n < a.size(); ++n) {
        const double p = n == 0 ? p0 : p1;
        sum += a[n] * p;
        if (n >= 1) {
            const double next = ((2.0 * n + 1.0) * x * p1 - n * p0) / (n + 1.0);
            p0 = p1;
            p1 = next;
        }
    }
    return sum;
}

double theoreticalDirectivityIndex_db(const std::vector<double>& a) {
    double peak = 0.0;
    for (int i = 0; i <= 1800; ++i) peak = std::max(peak, std::pow(theoreticalDirectivity(a, std::cos(i * pi / 1800.0)), 2));
    double mean = 0.0;  // the mean of f^2 over the sphere: sum a_n^2 / (2n + 1)
    for (std::size_t n = 0; n < a.size(); ++n) mean += a[n] * a[n] / (2.0 * n + 1.0);
    return 10.0 * std::log10(peak / mean);
}

double theoreticalFrontToBack_db(const std::vector<double>& a) {
    double front = 0.0, back = 0.0;
    constexpr int steps = 4000;
    for (int i = 0; i < steps; ++i) {
        const double x = (i + 0.5) / steps;
        front += std::pow(theoreticalDirectivity(a, x), 2);
        back += std::pow(theoreticalDirectivity(a, -x), 2);
    }
    return 10.0 * std::log10(front / back);
}

// ---- measurement and analysis --------------------------------------------------------------------

bool measurePatterns(const std::string& modulePath, const std::vector<std::string>& names,
                     const std::vector<int>& selection, const MeasurementSetup& setup,
                     std::vector<PatternResult>& results, std::string& error) {
    std::vector<int> chosen = selection;
    if (chosen.empty())
        for (std::size_t p = 0; p < names.size(); ++p) chosen.push_back(static_cast<int>(p));
    const MeasurementDirections dirs = measurementDirections(setup);
    const int T = segmentFor(setup);
    const double rate = setup.sampleRate_hz;
    const std::size_t bands = setup.bandCentres_hz.size();
    // Bins of each band.
    std::vector<std::pair<int, int>> binRange;
    for (double fc : setup.bandCentres_hz) {
        const int lo = static_cast<int>(std::ceil(fc / std::sqrt(2.0) * T / rate));
        const int hi = std::min(T / 2, static_cast<int>(std::floor(fc * std::sqrt(2.0) * T / rate)));
        binRange.emplace_back(lo, hi);
    }
    results.clear();
    Eigen::FFT<double> fft;
    fft.SetFlag(Eigen::FFT<double>::HalfSpectrum);
    std::vector<double> segment(static_cast<std::size_t>(T));
    std::vector<std::complex<double>> spectrum(static_cast<std::size_t>(T / 2 + 1));

    for (std::size_t first = 0; first < chosen.size(); first += beamCount) {
        const std::vector<int> pass(chosen.begin() + static_cast<std::ptrdiff_t>(first),
                                    chosen.begin() + static_cast<std::ptrdiff_t>(std::min(chosen.size(), first + beamCount)));
        // power[slot][direction][band]
        std::vector<std::vector<std::vector<double>>> power(
            pass.size(), std::vector<std::vector<double>>(dirs.all.size(), std::vector<double>(bands)));
        const bool ok = measureResponses(
            modulePath, static_cast<int>(names.size()), pass, setup, dirs,
            [&](int slot, int k, const std::vector<float>& response) {
                for (int n = 0; n < T; ++n) segment[static_cast<std::size_t>(n)] = response[static_cast<std::size_t>(n)];
                fft.fwd(spectrum.data(), segment.data(), T);
                for (std::size_t b = 0; b < bands; ++b) {
                    double sum = 0.0;
                    for (int i = binRange[b].first; i <= binRange[b].second; ++i) sum += std::norm(spectrum[static_cast<std::size_t>(i)]);
                    power[static_cast<std::size_t>(slot)][static_cast<std::size_t>(k)][b] = sum;
                }
            },
            error);
        if (!ok) return false;

        const Vec3 look = unitVector(setup.look);
        for (std::size_t s = 0; s < pass.size(); ++s) {
            PatternResult r;
            r.name = names[static_cast<std::size_t>(pass[s])];
            r.bandCentres_hz = setup.bandCentres_hz;
            const std::vector<double> a = theoreticalCoefficients(r.name);
            double theoryPeak = 1e-30;
            for (double angle : dirs.circleAngles_deg)
                theoryPeak = std::max(theoryPeak, std::fabs(theoreticalDirectivity(a, std::cos(angle * pi / 180.0))));
            for (double angle : dirs.circleAngles_deg)
                r.theory_db.push_back(20.0 * std::log10(std::max(1e-6, std::fabs(theoreticalDirectivity(a, std::cos(angle * pi / 180.0))) / theoryPeak)));
            r.theoryDirectivityIndex_db = a.empty() ? 0.0 : theoreticalDirectivityIndex_db(a);
            r.theoryFrontToBack_db = a.empty() ? 0.0 : theoreticalFrontToBack_db(a);
            const auto& p = power[s];
            for (std::size_t b = 0; b < bands; ++b) {
                double peak = 1e-30;
                for (int i = 0; i < 2 * dirs.circlePoints; ++i) peak = std::max(peak, p[static_cast<std::size_t>(dirs.horizontalStart + i)][b]);
                std::vector<double> h, v;
                double worst = 0.0;
                for (int i = 0; i < dirs.circlePoints; ++i) {
                    h.push_back(powerDb(p[static_cast<std::size_t>(dirs.horizontalStart + i)][b] / peak));
                    v.push_back(powerDb(p[static_cast<std::size_t>(dirs.verticalStart + i)][b] / peak));
                    if (!a.empty() && r.theory_db[static_cast<std::size_t>(i)] >= -15.0)
                        worst = std::max({worst, std::fabs(h.back() - r.theory_db[static_cast<std::size_t>(i)]),
                                          std::fabs(v.back() - r.theory_db[static_cast<std::size_t>(i)])});
                }
                double mean = 0.0, front = 0.0, back = 0.0;
                for (std::size_t k = static_cast<std::size_t>(dirs.sphereStart); k < dirs.all.size(); ++k) {
                    mean += p[k][b];
                    (dot(unitVector(dirs.all[k]), look) >= 0.0 ? front : back) += p[k][b];
                }
                mean /= static_cast<double>(setup.spherePoints);
                r.horizontal_db.push_back(h);
                r.vertical_db.push_back(v);
                r.directivityIndex_db.push_back(powerDb(peak / mean));
                r.frontToBack_db.push_back(powerDb(front / back));
                r.worstDeviation_db.push_back(worst);
            }
            results.push_back(std::move(r));
        }
    }
    return true;
}

// ---- output ---------------------------------------------------------------------------------------

std::string patternTableMarkdown(const std::vector<PatternResult>& results, const MeasurementSetup& setup) {
    std::string md = "| pattern | quantity (dB) |";
    for (double hz : setup.bandCentres_hz) {
        md += " ";
        md += bandLabel(hz);
        md += " |";
    }
    md += " theory |\n|---|---|";
    for (std::size_t i = 0; i < setup.bandCentres_hz.size(); ++i) md += "---:|";
    md += "---:|\n";
    char text[32];
    auto row = [&](const PatternResult& r, const char* quantity, const std::vector<double>& values, const std::string& theory) {
        md += "| " + r.name + " | " + quantity + " |";
        for (double v : values) {
            std::snprintf(text, sizeof text, " %.1f |", v);
            md += text;
        }
        md += " " + theory + " |\n";
    };
    auto number = [&](double v) {
        std::snprintf(text, sizeof text, "%.1f", v);
        return std::string(text);
    };
    for (const auto& r : results) {
        row(r, "directivity index", r.directivityIndex_db, number(r.theoryDirectivityIndex_db));
        row(r, "front-to-back", r.frontToBack_db, number(r.theoryFrontToBack_db));
        row(r, "worst deviation", r.worstDeviation_db, "0");
    }
    return md;
}

}  // namespace qb32::tools
