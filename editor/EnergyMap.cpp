#include "editor/EnergyMap.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace qb32::editor {

namespace {

constexpr double pi = std::numbers::pi;

// Real spherical harmonics of orders 0..3 with the decomposition's
// normalisation: sqrt((2n+1)/4pi) sqrt((n-|m|)!/(n+|m|)!) P_n^|m|(cos t) T_m(p),
// Condon-Shortley phase, T_m = cos(m p), 1, sin(|m| p).
std::array<double, 16> harmonics(const Direction& d) noexcept {
    const double t = d.elevation_deg * pi / 180.0, p = d.azimuth_deg * pi / 180.0;
    const double x = std::cos(t), s = std::sin(t);
    double legendre[4][4] = {};  // [n][m]
    for (int m = 0; m <= 3; ++m) {
        double pmm = 1.0;
        for (int i = 1; i <= m; ++i) pmm *= -(2.0 * i - 1.0) * s;
        legendre[m][m] = pmm;
        if (m + 1 <= 3) legendre[m + 1][m] = x * (2.0 * m + 1.0) * pmm;
        for (int n = m + 2; n <= 3; ++n)
            legendre[n][m] = ((2.0 * n - 1.0) * x * legendre[n - 1][m] - (n + m - 1.0) * legendre[n - 2][m]) / (n - m);
    }
    std::array<double, 16> y{};
    for (int n = 0; n <= 3; ++n)
        for (int m = -n; m <= n; ++m) {
            const int am = m < 0 ? -m : m;
            double ratio = 1.0;  // (n-|m|)!/(n+|m|)!
            for (int i = n - am + 1; i <= n + am; ++i) ratio /= i;
            const double azimuthFactor = m > 0 ? std::cos(m * p) : (m < 0 ? std::sin(am * p) : 1.0);
            y[static_cast<std::size_t>(n * n + n + m)] =
                std::sqrt((2.0 * n + 1.0) / (4.0 * pi) * ratio) * legendre[n][am] * azimuthFactor;
        }
    return y;
}

// Second-order sections of the Bilinear-transformed prototypes (the usual
// cookbook forms), normalised by a0.
void designSection(double* out, bool highPass, double f_hz, double q, double rate_hz) {
    const double w = 2.0 * pi * std::min(f_hz, 0.45 * rate_hz) / rate_hz;
    const double alpha = std::sin(w) / (2.0 * q), c = std::cos(w);
    const double a0 = 1.0 + alpha;
    const double b0 = highPass ? (1.0 + c) / 2.0 : (1.0 - c) / 2.0;
    const double b1 = highPass ? -(1.0 + c) : 1.0 - c;
    out[0] = b0 / a0;
    out[1] = b1 / a0;
    out[2] = b0 / a0;
    out[3] = -2.0 * c / a0;
    out[4] = (1.0 - alpha) / a0;
}

// Q of the two sections of a fourth-order Butterworth filter.
constexpr double butterworthQ[2] = {0.54119610014619701, 1.3065629648763766};

}  // namespace

std::array<double, EnergyMap::componentCount> EnergyMap::steeringVector(const Direction& d) noexcept {
    std::array<double, 16> y = harmonics(d);
    for (int n = 0; n <= 3; ++n)
        for (int m = -n; m <= n; ++m) y[static_cast<std::size_t>(n * n + n + m)] *= (m == 0 ? 1.0 : 2.0) * 4.0 * pi / 16.0;
    return y;
}

EnergyMap::EnergyMap(double sampleRate_hz)
    : filterState(componentCount * sections * 2, 0.0),
      steering(static_cast<std::size_t>(rows) * columns * componentCount),
      grid_db(static_cast<std::size_t>(rows) * columns, floor_db),
      scratch(componentCount) {
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) {
            const auto y = steeringVector({static_cast<double>(r * gridStep_deg), static_cast<double>(c * gridStep_deg)});
            float* out = &steering[(static_cast<std::size_t>(r) * columns + c) * componentCount];
            for (int k = 0; k < componentCount; ++k) out[k] = static_cast<float>(y[static_cast<std::size_t>(k)]);
        }
    setSampleRate(sampleRate_hz);
}

void EnergyMap::setSampleRate(double sampleRate_hz) {
    rate_hz = sampleRate_hz > 0.0 ? sampleRate_hz : 44100.0;
    double coefficients[5];
    for (int i = 0; i < sections; ++i) {
        const bool highPass = i < 2;
        designSection(coefficients, highPass, highPass ? lowEdge_hz : highEdge_hz, butterworthQ[i % 2], rate_hz);
        band[static_cast<std::size_t>(i)] = {coefficients[0], coefficients[1], coefficients[2], coefficients[3], coefficients[4]};
    }
    reset();
}

void EnergyMap::reset() {
    std::fill(filterState.begin(), filterState.end(), 0.0);
    accumulated.fill(0.0);
    averaged.fill(0.0);
    accumulatedFrames = 0;
    anyAverage = false;
    std::fill(grid_db.begin(), grid_db.end(), floor_db);
    peak_db = floor_db;
    peakIndex = 0;
}

void EnergyMap::addFrames(const float* const* components, int frames) {
    for (int i = 0; i < frames; ++i) {
        for (int k = 0; k < componentCount; ++k) {
            double v = components[k][i];
            double* state = &filterState[static_cast<std::size_t>(k) * sections * 2];
            // Transposed direct form II, section by section.
            for (int s = 0; s < sections; ++s) {
                const Biquad& q = band[static_cast<std::size_t>(s)];
                double* z = state + 2 * s;
                const double out = q.b0 * v + z[0];
                z[0] = q.b1 * v - q.a1 * out + z[1];
                z[1] = q.b2 * v - q.a2 * out;
                v = out;
            }
            scratch[static_cast<std::size_t>(k)] = static_cast<float>(v);
        }
        for (int k = 0; k < componentCount; ++k) {
            const double a = scratch[static_cast<std::size_t>(k)];
            double* row = &accumulated[static_cast<std::size_t>(k) * componentCount];
            for (int l = k; l < componentCount; ++l) row[l] += a * scratch[static_cast<std::size_t>(l)];
        }
    }
    accumulatedFrames += frames > 0 ? frames : 0;
}

void EnergyMap::publish() {
    if (accumulatedFrames <= 0) return;
    // The average of the exponential window over the new frames, folded in
    // with the weight those frames carry in it.
    const double keep = anyAverage ? std::exp(-static_cast<double>(accumulatedFrames) / (averagingTime_s * rate_hz)) : 0.0;
    const double scale = (1.0 - keep) / static_cast<double>(accumulatedFrames);
    for (int k = 0; k < componentCount; ++k)
        for (int l = k; l < componentCount; ++l) {
            const std::size_t i = static_cast<std::size_t>(k) * componentCount + l;
            averaged[i] = keep * averaged[i] + scale * accumulated[i];
            averaged[static_cast<std::size_t>(l) * componentCount + k] = averaged[i];
        }
    accumulated.fill(0.0);
    accumulatedFrames = 0;
    anyAverage = true;
    computeGrid();
}

void EnergyMap::computeGrid() {
    float c[componentCount * componentCount];
    for (int i = 0; i < componentCount * componentCount; ++i) c[i] = static_cast<float>(averaged[static_cast<std::size_t>(i)]);
    peak_db = floor_db;
    peakIndex = 0;
    const int points = rows * columns;
    for (int p = 0; p < points; ++p) {
        const float* y = &steering[static_cast<std::size_t>(p) * componentCount];
        float power = 0.0f;
        for (int k = 0; k < componentCount; ++k) {
            float t = 0.0f;
            const float* row = c + k * componentCount;
            for (int l = 0; l < componentCount; ++l) t += row[l] * y[l];
            power += y[k] * t;
        }
        const float db = power > 0.0f ? std::max(10.0f * std::log10(power), floor_db) : floor_db;
        grid_db[static_cast<std::size_t>(p)] = db;
        if (db > peak_db) peak_db = db, peakIndex = p;
    }
}

float EnergyMap::power_db(int row, int column) const noexcept {
    row = std::clamp(row, 0, rows - 1);
    column = ((column % columns) + columns) % columns;
    return grid_db[static_cast<std::size_t>(row) * columns + column];
}

float EnergyMap::powerAt_db(const Direction& d) const noexcept {
    const double r = std::clamp(d.elevation_deg, 0.0, 180.0) / gridStep_deg;
    const double c = wrapAzimuth_deg(d.azimuth_deg) / gridStep_deg;
    const int r0 = std::min(static_cast<int>(r), rows - 2), c0 = static_cast<int>(c);
    const float fr = static_cast<float>(r - r0), fc = static_cast<float>(c - c0);
    const float top = power_db(r0, c0) + fc * (power_db(r0, c0 + 1) - power_db(r0, c0));
    const float bottom = power_db(r0 + 1, c0) + fc * (power_db(r0 + 1, c0 + 1) - power_db(r0 + 1, c0));
    return top + fr * (bottom - top);
}

Direction EnergyMap::loudest() const noexcept {
    return {static_cast<double>((peakIndex / columns) * gridStep_deg), static_cast<double>((peakIndex % columns) * gridStep_deg)};
}

std::vector<Direction> EnergyMap::peaks(float within_db, int maxCount) const {
    struct Peak {
        float db;
        Direction d;
    };
    std::vector<Peak> found;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) {
            const float v = power_db(r, c);
            if (v < peak_db - within_db) continue;
            bool isMax = true;
            for (int dr = -1; dr <= 1 && isMax; ++dr)
                for (int dc = -1; dc <= 1 && isMax; ++dc) {
                    if (dr == 0 && dc == 0) continue;
                    const int rr = r + dr;
                    if (rr < 0 || rr >= rows) continue;
                    const float n = power_db(rr, c + dc);
                    // Ties count once: the first of equal neighbours wins.
                    isMax = v > n || (v == n && (dr > 0 || (dr == 0 && dc > 0)));
                }
            // The poles are one direction: keep a single grid point there.
            if (isMax && (r == 0 || r == rows - 1) && c != 0) {
                bool rowMax = true;
                for (int cc = 0; cc < columns && rowMax; ++cc) rowMax = power_db(r, cc) <= v;
                if (rowMax) continue;
            }
            if (isMax) found.push_back({v, {static_cast<double>(r * gridStep_deg), static_cast<double>(c * gridStep_deg)}});
        }
    std::sort(found.begin(), found.end(), [](const Peak& a, const Peak& b) { return a.db > b.db; });
    std::vector<Direction> out;
    for (const Peak& p : found) {
        if (static_cast<int>(out.size()) >= maxCount) break;
        out.push_back(p.d);
    }
    return out;
}

}  // namespace qb32::editor
