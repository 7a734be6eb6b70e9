#include "tools/array/ChannelOrder.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numeric>
#include <numbers>

#include <Eigen/Dense>
#include <unsupported/Eigen/FFT>

#include "tools/common/ExitStatus.h"
#include "tools/common/SoundFile.h"
#include "tools/common/TextParsing.h"

namespace qb32::tools {

namespace {

constexpr double pi = std::numbers::pi;
constexpr int maxOrder = 3;
constexpr double bandLow_hz = 1000.0, bandHigh_hz = 2500.0;
// The verdict's margin over the diffuse-field prediction: a factor for
// fields less even than a diffuse one, and a floor for capsule mismatch and
// self-noise (random capsule gains of 1 dB standard deviation leave about
// 1.5 %).
constexpr double thresholdFactor = 4.0, thresholdFloor = 0.02;
// A reordering explains the recording when it leaves at most half the
// residual (and fits): capsule mismatch alone is not helped by reordering.
constexpr double explainsFactor = 2.0;

using Matrix = Eigen::MatrixXd;
using ComplexMatrix = Eigen::MatrixXcd;

int fftLength(double rate_hz) {
    int n = 1024;
    while (rate_hz / n > 48.0) n *= 2;  // bins no wider than 48 Hz
    return n;
}

// Real spherical harmonics of orders 0..maxOrder at the capsules (any
// normalisation: only the space they span matters).
Matrix harmonicsAtCapsules() {
    Matrix y(capsuleCount, (maxOrder + 1) * (maxOrder + 1));
    for (int q = 0; q < capsuleCount; ++q) {
        const Vec3 v = capsuleVector(q);
        const double theta = std::acos(std::clamp(v.z, -1.0, 1.0));
        const double phi = std::atan2(v.y, v.x);
        int column = 0;
        for (int n = 0; n <= maxOrder; ++n)
            for (int m = -n; m <= n; ++m) {
                const double p = std::assoc_legendre(static_cast<unsigned>(n), static_cast<unsigned>(std::abs(m)), std::cos(theta));
                y(q, column++) = p * (m < 0 ? std::sin(-m * phi) : std::cos(m * phi));
            }
    }
    return y;
}

// The projector onto what orders 0..3 cannot explain: I - Y (Y'Y)^-1 Y'.
const Matrix& residualProjector() {
    static const Matrix q = [] {
        const Matrix y = harmonicsAtCapsules();
        const Matrix p = y * (y.transpose() * y).ldlt().solve(y.transpose());
        return Matrix(Matrix::Identity(capsuleCount, capsuleCount) - p);
    }();
    return q;
}

// The part that differs between capsules: trace(M) - 1'M1 / 32.
double spatialPart(const Matrix& m) { return m.trace() - m.sum() / capsuleCount; }

// Residual ratio of M with capsule q read from position order[q].
double residualRatio(const Matrix& m, const std::vector<int>& order, double spatial) {
    const Matrix& q = residualProjector();
    double sum = 0.0;
    for (int i = 0; i < capsuleCount; ++i)
        for (int j = 0; j < capsuleCount; ++j) sum += q(i, j) * m(order[static_cast<std::size_t>(i)], order[static_cast<std::size_t>(j)]);
    return sum / spatial;
}

std::vector<double> legendreValues(double x, int count) {
    std::vector<double> p(static_cast<std::size_t>(count));
    if (count > 0) p[0] = 1.0;
    if (count > 1) p[1] = x;
    for (int n = 1; n + 1 < count; ++n)
        p[static_cast<std::size_t>(n + 1)] = ((2.0 * n + 1.0) * x * p[static_cast<std::size_t>(n)] - n * p[static_cast<std::size_t>(n - 1)]) / (n + 1.0);
    return p;
}

Direction directionOf(const Vec3& v) {
    const double n = std::sqrt(dot(v, v));
    double azimuth = std::atan2(v.y, v.x) * 180.0 / pi;
    if (azimuth < 0.0) azimuth += 360.0;
    return {std::acos(std::clamp(v.z / n, -1.0, 1.0)) * 180.0 / pi, azimuth};
}

// Sum over q of (sum over r of Im A(q, r)) times the capsule direction: along
// the arrival direction for a plane wave (the facing capsules lead).
Vec3 leadVector(const ComplexMatrix& a) {
    Vec3 v{0.0, 0.0, 0.0};
    for (int q = 0; q < capsuleCount; ++q) {
        double s = 0.0;
        for (int r = 0; r < capsuleCount; ++r) s += a(q, r).imag();
        const Vec3 x = capsuleVector(q);
        v = {v.x + s * x.x, v.y + s * x.y, v.z + s * x.z};
    }
    return v;
}

}  // namespace

// ---- channel maps ------------------------------------------------------------------------------------

bool parseChannelMap(const std::string& text, std::vector<int>& map, std::string& error) {
    std::vector<int> channels;
    for (const std::string& item : split(text, ',')) {
        const std::string t = trim(item);
        const auto dash = t.find('-', 1);
        long long first = 0, last = 0;
        const bool run = dash != std::string::npos;
        if (run ? !(parseInteger(t.substr(0, dash), first) && parseInteger(t.substr(dash + 1), last))
                : !parseInteger(t, first)) {
            error = "'" + t + "' is not a channel number (1..N) nor a run a-b";
            return false;
        }
        if (!run) last = first;
        if (first < 1 || last < 1 || first > 4096 || last > 4096) {
            error = "channel " + std::to_string(first < 1 || first > 4096 ? first : last) + " does not exist (channels count from 1)";
            return false;
        }
        for (long long c = first;; c += first <= last ? 1 : -1) {
            channels.push_back(static_cast<int>(c - 1));
            if (c == last || channels.size() > capsuleCount) break;
        }
    }
    if (channels.size() != capsuleCount) {
        error = "names " + std::string(channels.size() > capsuleCount ? "more than 32" : std::to_string(channels.size())) +
                " channels; it needs 32 distinct channels, one per capsule (capsule 0 first)";
        return false;
    }
    std::vector<int> seen(4096, -1);
    for (std::size_t q = 0; q < channels.size(); ++q) {
        int& first = seen[static_cast<std::size_t>(channels[q])];
        if (first >= 0) {
            error = "channel " + std::to_string(channels[q] + 1) + " is named twice (for capsules " + std::to_string(first) +
                    " and " + std::to_string(q) + "); it needs 32 distinct channels";
            return false;
        }
        first = static_cast<int>(q);
    }
    map = channels;
    return true;
}

std::string formatChannelMap(const std::vector<int>& map) {
    std::string text;
    for (std::size_t i = 0; i < map.size();) {
        std::size_t j = i;
        while (j + 1 < map.size() && map[j + 1] == map[j] + 1) ++j;
        if (!text.empty()) text += ",";
        if (j - i >= 2) {
            text += std::to_string(map[i] + 1) + "-" + std::to_string(map[j] + 1);
        } else {
            for (std::size_t k = i; k <= j; ++k) {
                if (k > i) text += ',';
                text += std::to_string(map[k] + 1);
            }
        }
        i = j + 1;
    }
    return text;
}

// ---- statistics -----------------------------------------------------------------------------------------

struct SpatialCovariance::State {
    double rate_hz = 0.0;
    int length = 0, hop = 0;
    int firstBin = 0, lastBin = 0;
    std::vector<double> window;
    Eigen::FFT<double> fft;
    std::vector<std::vector<double>> pending;  // [capsule][length]: samples awaiting a frame
    int filled = 0;
    std::int64_t frames = 0;
    std::vector<ComplexMatrix> perBin;  // sum of X X^H over the frames
    // The spectra of the last frames, per bin, added to perBin as one
    // matrix product when full.
    static constexpr int batch = 64;
    std::vector<ComplexMatrix> recent;  // [bin]: capsules x batch
    int recentCount = 0;
    void flush() {
        for (std::size_t k = 0; k < perBin.size(); ++k) {
            const auto block = recent[k].leftCols(recentCount);
            perBin[k].noalias() += block * block.adjoint();
        }
        recentCount = 0;
    }
    std::vector<double> timeBuffer;
    std::vector<std::vector<std::complex<double>>> spectra;  // [capsule][bin]
};

SpatialCovariance::SpatialCovariance(double rate_hz) : data(std::make_unique<State>()) {
    State& s = *data;
    s.rate_hz = rate_hz;
    s.length = fftLength(rate_hz);
    s.hop = s.length / 2;
    s.firstBin = static_cast<int>(std::ceil(bandLow_hz * s.length / rate_hz));
    s.lastBin = static_cast<int>(std::floor(bandHigh_hz * s.length / rate_hz));
    s.window.resize(static_cast<std::size_t>(s.length));
    for (int n = 0; n < s.length; ++n) s.window[static_cast<std::size_t>(n)] = 0.5 - 0.5 * std::cos(2.0 * pi * n / s.length);
    s.fft.SetFlag(Eigen::FFT<double>::HalfSpectrum);
    s.pending.assign(capsuleCount, std::vector<double>(static_cast<std::size_t>(s.length)));
    s.perBin.assign(static_cast<std::size_t>(s.lastBin - s.firstBin + 1), ComplexMatrix::Zero(capsuleCount, capsuleCount));
    s.recent.assign(s.perBin.size(), ComplexMatrix::Zero(capsuleCount, State::batch));
    s.timeBuffer.resize(static_cast<std::size_t>(s.length));
    s.spectra.assign(capsuleCount, std::vector<std::complex<double>>(static_cast<std::size_t>(s.length / 2 + 1)));
}

SpatialCovariance::~SpatialCovariance() = default;

double SpatialCovariance::seconds() const { return static_cast<double>(data->frames) / data->rate_hz; }

const SpatialCovariance::State& SpatialCovariance::state() const {
    if (data->recentCount > 0) data->flush();
    return *data;
}

void SpatialCovariance::add(const float* const* capsules, std::int64_t frames) {
    State& s = *data;
    std::int64_t pos = 0;
    while (pos < frames) {
        const int n = static_cast<int>(std::min<std::int64_t>(s.length - s.filled, frames - pos));
        for (int q = 0; q < capsuleCount; ++q)
            for (int i = 0; i < n; ++i) s.pending[static_cast<std::size_t>(q)][static_cast<std::size_t>(s.filled + i)] = capsules[q][pos + i];
        s.filled += n;
        pos += n;
        s.frames += n;
        if (s.filled < s.length) break;
        for (int q = 0; q < capsuleCount; ++q) {
            auto& p = s.pending[static_cast<std::size_t>(q)];
            for (int i = 0; i < s.length; ++i) s.timeBuffer[static_cast<std::size_t>(i)] = p[static_cast<std::size_t>(i)] * s.window[static_cast<std::size_t>(i)];
            s.fft.fwd(s.spectra[static_cast<std::size_t>(q)].data(), s.timeBuffer.data(), s.length);
            std::copy(p.begin() + s.hop, p.end(), p.begin());
        }
        s.filled = s.length - s.hop;
        for (int k = s.firstBin; k <= s.lastBin; ++k)
            for (int q = 0; q < capsuleCount; ++q)
                s.recent[static_cast<std::size_t>(k - s.firstBin)](q, s.recentCount) = s.spectra[static_cast<std::size_t>(q)][static_cast<std::size_t>(k)];
        if (++s.recentCount == State::batch) s.flush();
    }
}

// ---- the verdict -------------------------------------------------------------------------------------------

namespace {

// Sum over bins of each bin's matrix over its power (its trace).
ComplexMatrix normalisedSum(const std::vector<ComplexMatrix>& perBin, double& power) {
    ComplexMatrix a = ComplexMatrix::Zero(capsuleCount, capsuleCount);
    power = 0.0;
    for (const auto& c : perBin) {
        const double t = c.trace().real();
        power += t;
        if (t > 1e-30) a += c / t;
    }
    return a;
}

// The diffuse-field matrix of the rigid sphere over the same bins:
// G(q, r) = sum_n (2n + 1) |b_n(ka)|^2 P_n(cos angle(q, r)).
Matrix diffuseModel(double rate_hz, int length, int firstBin, int lastBin) {
    const RigidSphere sphere;
    Matrix m = Matrix::Zero(capsuleCount, capsuleCount);
    for (int k = firstBin; k <= lastBin; ++k) {
        const double f = k * rate_hz / length;
        const int terms = RigidSphere::termCount(sphere.ka(f));
        std::vector<std::complex<double>> w(static_cast<std::size_t>(terms));
        sphere.modalWeights(f, terms, w.data());
        Matrix g(capsuleCount, capsuleCount);
        for (int q = 0; q < capsuleCount; ++q)
            for (int r = 0; r < capsuleCount; ++r) {
                const auto p = legendreValues(dot(capsuleVector(q), capsuleVector(r)), terms);
                double sum = 0.0;
                for (int n = 0; n < terms; ++n) sum += std::norm(w[static_cast<std::size_t>(n)]) / (2.0 * n + 1.0) * p[static_cast<std::size_t>(n)];
                g(q, r) = sum;
            }
        m += g / g.trace();
    }
    return m;
}

// The lead vector of one plane wave from `d` over the same bins.
Vec3 planeWaveLead(const Direction& d, double rate_hz, int length, int firstBin, int lastBin) {
    const RigidSphere sphere;
    ComplexMatrix a = ComplexMatrix::Zero(capsuleCount, capsuleCount);
    Eigen::VectorXcd p(capsuleCount);
    for (int k = firstBin; k <= lastBin; ++k) {
        const double f = k * rate_hz / length;
        for (int q = 0; q < capsuleCount; ++q) p(q) = sphere.pressure(f, dot(unitVector(d), capsuleVector(q)));
        a += p * p.adjoint() / p.squaredNorm();
    }
    return leadVector(a);
}

std::string describe(const std::vector<int>& order, const std::vector<int>& inputMap) {
    auto channel = [&](int position) { return (inputMap.empty() ? position : inputMap[static_cast<std::size_t>(position)]) + 1; };
    std::vector<int> moved;
    for (int q = 0; q < capsuleCount; ++q)
        if (order[static_cast<std::size_t>(q)] != q) moved.push_back(q);
    if (moved.size() == 2)
        return "capsules " + std::to_string(moved[0]) + " and " + std::to_string(moved[1]) + " look swapped (channels " +
               std::to_string(channel(moved[0])) + " and " + std::to_string(channel(moved[1])) + ")";
    const int shift = (order[0] + capsuleCount) % capsuleCount;
    bool cyclic = shift != 0;
    for (int q = 0; q < capsuleCount && cyclic; ++q) cyclic = order[static_cast<std::size_t>(q)] == (q + shift) % capsuleCount;
    if (cyclic) {
        const int by = shift <= capsuleCount / 2 ? shift : shift - capsuleCount;
        const int size = std::abs(by);
        return "the channels look shifted: each capsule is " + std::to_string(size) + " channel" + (size == 1 ? "" : "s") +
               (by < 0 ? " earlier" : " later") + " than it should be (capsule 0 is on channel " +
               std::to_string(channel(order[0])) + ", capsule 1 on channel " + std::to_string(channel(order[1])) + ", ...)";
    }
    return std::to_string(moved.size()) + " capsules look out of place";
}

}  // namespace

bool judgeChannelOrder(const SpatialCovariance& statistics, const std::vector<int>& inputMap, OrderCheck& result,
                       std::string& error) {
    const SpatialCovariance::State& s = statistics.state();
    result = OrderCheck{};
    result.low_hz = s.firstBin * s.rate_hz / s.length;
    result.high_hz = s.lastBin * s.rate_hz / s.length;
    result.analysed_s = statistics.seconds();
    double power = 0.0;
    const ComplexMatrix a = normalisedSum(s.perBin, power);
    const Matrix m = a.real();
    const double spatial = spatialPart(m);
    if (!(power > 1e-20) || m.trace() < 0.5) {
        error = "the recording holds no sound between " + formatNumber(std::round(result.low_hz)) + " and " +
                formatNumber(std::round(result.high_hz)) + " Hz: the channel order cannot be told";
        return false;
    }
    if (spatial < 1e-4 * m.trace()) {
        error = "every channel carries the same signal: this is not a recording of the array";
        return false;
    }
    const Matrix model = diffuseModel(s.rate_hz, s.length, s.firstBin, s.lastBin);
    std::vector<int> identity(capsuleCount);
    std::iota(identity.begin(), identity.end(), 0);
    result.expected = residualRatio(model, identity, spatialPart(model));
    result.threshold = thresholdFactor * result.expected + thresholdFloor;
    result.residual = residualRatio(m, identity, spatial);

    // Suspects: the leave-one-out error of each capsule against the fit of
    // the others, r_q / (1 - h_qq), relative to the mean.
    const Matrix& q = residualProjector();
    const Matrix r = q * m * q;
    std::vector<std::pair<double, int>> scores;
    for (int c = 0; c < capsuleCount; ++c) scores.emplace_back(r(c, c) / (q(c, c) * q(c, c)), c);
    std::sort(scores.rbegin(), scores.rend());
    for (int i = 0; i < 4; ++i) {
        const int c = scores[static_cast<std::size_t>(i)].second;
        result.suspects.push_back((inputMap.empty() ? c : inputMap[static_cast<std::size_t>(c)]) + 1);
    }

    // Reorderings, simplest first: one pair swapped, the channels shifted
    // (one dropped or added at an end of the patch), then pair swaps taken
    // greedily while they help. A reordering that leaves at most half the
    // residual and fits the threshold explains the recording, even when the
    // given order stays below the threshold (a swap of capsules the sound
    // field barely tells apart).
    auto explains = [&](double ratio) {
        return ratio <= result.threshold && ratio * explainsFactor <= result.residual;
    };
    std::vector<int> found;
    double foundRatio = result.residual;
    auto consider = [&](const std::vector<int>& order) {
        const double ratio = residualRatio(m, order, spatial);
        if (found.empty() && explains(ratio)) found = order, foundRatio = ratio;
    };
    std::vector<int> bestSwap = identity;
    double bestSwapRatio = result.residual;
    for (int i = 0; i < capsuleCount; ++i)
        for (int j = i + 1; j < capsuleCount; ++j) {
            std::vector<int> o = identity;
            std::swap(o[static_cast<std::size_t>(i)], o[static_cast<std::size_t>(j)]);
            const double ratio = residualRatio(m, o, spatial);
            if (ratio < bestSwapRatio) bestSwapRatio = ratio, bestSwap = o;
        }
    consider(bestSwap);
    // Shifts by 1, -1, 2, -2, ...: the smallest that explains.
    std::vector<int> bestShift = identity;
    double bestShiftRatio = result.residual;
    for (int k = 1; k <= capsuleCount / 2; ++k)
        for (int shift : {k, capsuleCount - k}) {
            std::vector<int> o(capsuleCount);
            for (int c = 0; c < capsuleCount; ++c) o[static_cast<std::size_t>(c)] = (c + shift) % capsuleCount;
            const double ratio = residualRatio(m, o, spatial);
            if (ratio < bestShiftRatio) bestShiftRatio = ratio, bestShift = o;
            consider(o);
        }
    for (const auto& start : {bestSwap, bestShift}) {
        if (!found.empty() || result.residual <= result.threshold) break;
        std::vector<int> order = start;
        double ratio = residualRatio(m, order, spatial);
        for (int step = 0; step < capsuleCount && ratio > result.threshold; ++step) {
            std::vector<int> stepBest;
            double stepRatio = ratio;
            for (int i = 0; i < capsuleCount; ++i)
                for (int j = i + 1; j < capsuleCount; ++j) {
                    std::vector<int> o = order;
                    std::swap(o[static_cast<std::size_t>(i)], o[static_cast<std::size_t>(j)]);
                    const double r2 = residualRatio(m, o, spatial);
                    if (r2 < stepRatio) stepRatio = r2, stepBest = o;
                }
            if (stepBest.empty() || stepRatio > 0.9 * ratio) break;
            order = stepBest;
            ratio = stepRatio;
        }
        consider(order);
    }
    result.verdict = result.residual > result.threshold || !found.empty() ? OrderCheck::mismatch : OrderCheck::matches;
    if (!found.empty()) {
        result.suggestedResidual = foundRatio;
        for (int c = 0; c < capsuleCount; ++c) {
            const int position = found[static_cast<std::size_t>(c)];
            result.suggestedMap.push_back(inputMap.empty() ? position : inputMap[static_cast<std::size_t>(position)]);
        }
        result.hint = describe(found, inputMap);
    }

    // Direction: the lead of the facing capsules, and how it compares with
    // a single plane wave from there.
    const Vec3 lead = leadVector(a);
    if (dot(lead, lead) > 0.0) {
        result.dominant = directionOf(lead);
        const Vec3 d = unitVector(result.dominant);
        const double plane = dot(planeWaveLead(result.dominant, s.rate_hz, s.length, s.firstBin, s.lastBin), d);
        result.directionality = plane > 0.0 ? std::clamp(dot(lead, d) / plane, 0.0, 1.0) : 0.0;
    }
    return true;
}

int checkChannelOrder(const std::string& path, const std::vector<int>& map, double maxSeconds, OrderCheck& result,
                      std::string& error) {
    SoundFileReader reader;
    if (!reader.open(path)) {
        error = reader.error();
        return exitInput;
    }
    if (reader.frames() == 0) {
        error = "'" + path + "' holds no audio (0 frames)";
        return exitInput;
    }
    if (map.empty() && reader.channels() != capsuleCount) {
        error = "'" + path + "' has " + std::to_string(reader.channels()) +
                " channels; the array has 32 capsules, one per channel (or give --channel-map)";
        return exitInput;
    }
    for (int c : map)
        if (c >= reader.channels()) {
            error = "the channel map names channel " + std::to_string(c + 1) + " but '" + path + "' has " +
                    std::to_string(reader.channels());
            return exitInput;
        }
    constexpr std::int64_t chunk = 8192;
    PlanarBuffer in(reader.channels(), chunk);
    std::vector<const float*> capsules(capsuleCount);
    for (int c = 0; c < capsuleCount; ++c) capsules[static_cast<std::size_t>(c)] = in.pointers()[map.empty() ? c : map[static_cast<std::size_t>(c)]];
    SpatialCovariance statistics(reader.sampleRate_hz());
    const auto limit = static_cast<std::int64_t>(maxSeconds * reader.sampleRate_hz());
    std::int64_t done = 0;
    while (done < limit) {
        const std::int64_t n = reader.read(in.pointers(), std::min(chunk, limit - done));
        if (n == 0) {
            if (!reader.error().empty()) {
                error = "'" + path + "': " + reader.error();
                return exitInput;
            }
            break;
        }
        statistics.add(capsules.data(), n);
        done += n;
    }
    if (!judgeChannelOrder(statistics, map, result, error)) {
        error = "'" + path + "': " + error;
        return exitInput;
    }
    return exitOk;
}

std::string formatOrderCheck(const OrderCheck& r, const std::string& path) {
    char line[512];
    std::string text;
    std::snprintf(line, sizeof line, "%s: %.1f s analysed, %.0f to %.0f Hz\n", path.c_str(), r.analysed_s, r.low_hz, r.high_hz);
    text += line;
    std::snprintf(line, sizeof line,
                  "residual beyond the third order: %.1f %% of the differences between capsules "
                  "(right order: about %.1f %% in a diffuse field; mismatch above %.1f %%)\n",
                  100.0 * r.residual, 100.0 * r.expected, 100.0 * r.threshold);
    text += line;
    if (r.verdict == OrderCheck::matches) {
        text += "channel order: matches the layout\n";
    } else {
        text += "channel order: DOES NOT MATCH the layout\n";
        if (!r.suggestedMap.empty()) {
            std::snprintf(line, sizeof line, "likely: %s; with --channel-map %s the residual is %.1f %%\n",
                          r.hint.c_str(), formatChannelMap(r.suggestedMap).c_str(), 100.0 * r.suggestedResidual);
            text += line;
        } else {
            text += "no simple reordering fits; the geometry fits these channels worst:";
            for (int c : r.suspects) {
                text += ' ';
                text += std::to_string(c);
            }
            text += "\n";
        }
    }
    if (r.directionality >= 0.5) {
        std::snprintf(line, sizeof line,
                      "most of the sound in the band arrives from elevation %.0f, azimuth %.0f degrees "
                      "(directionality %.2f): compare with where the main source was to check the orientation\n",
                      r.dominant.elevation_deg, r.dominant.azimuth_deg, r.directionality);
    } else {
        std::snprintf(line, sizeof line, "the sound in the band is diffuse (directionality %.2f): no main direction\n",
                      r.directionality);
    }
    text += line;
    text += "(an order that differs by a rotation or a mirror image of the whole layout cannot be told from the sound)\n";
    return text;
}

}  // namespace qb32::tools
