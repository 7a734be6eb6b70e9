#include "tools/sim/ArraySimulator.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include <unsupported/Eigen/FFT>

#include "engine/tables/CapsuleDirections.h"

namespace qb32::tools {

namespace {

constexpr double pi = std::numbers::pi;

// Legendre polynomials P_0..P_{count-1} at x.
void legendre(double x, int count, double* p) {
    if (count > 0) p[0] = 1.0;
    if (count > 1) p[1] = x;
    for (int n = 1; n + 1 < count; ++n)
        p[n + 1] = ((2.0 * n + 1.0) * x * p[n] - n * p[n - 1]) / (n + 1.0);
}

}  // namespace

Vec3 unitVector(const Direction& d) {
    const double t = d.elevation_deg * pi / 180.0;
    const double f = d.azimuth_deg * pi / 180.0;
    return {std::sin(t) * std::cos(f), std::sin(t) * std::sin(f), std::cos(t)};
}

Vec3 capsuleVector(int capsule) {
    const auto& c = tables::capsuleDirections[capsule];
    return {std::sin(c.theta_rad) * std::cos(c.phi_rad), std::sin(c.theta_rad) * std::sin(c.phi_rad),
            std::cos(c.theta_rad)};
}

double dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// ---- rigid sphere ----------------------------------------------------------------------

RigidSphere::RigidSphere(double radius, double c) : radius_m(radius), c_mps(c) {}

double RigidSphere::ka(double frequency_hz) const {
    return 2.0 * pi * frequency_hz * radius_m / c_mps;
}

// Wiscombe's rule for scattering series, ka + 4 (ka)^(1/3), plus ten terms of margin.
int RigidSphere::termCount(double kaValue) {
    return static_cast<int>(std::ceil(kaValue + 4.0 * std::cbrt(kaValue))) + 10;
}

void RigidSphere::modalWeights(double frequency_hz, int terms, std::complex<double>* w) const {
    const double x = ka(frequency_hz);
    if (!(x > 0.0)) {  // the limit at 0 Hz: only the omnidirectional term, 1
        for (int n = 0; n < terms; ++n) w[n] = n == 0 ? 1.0 : 0.0;
        return;
    }
    const std::complex<double> i(0.0, 1.0);
    // h_n = j_n - i y_n and its derivative h_n' = h_{n-1} - (n + 1) / x h_n
    // (h_0' = -h_1).
    auto h = [&](int n) {
        return std::complex<double>(std::sph_bessel(static_cast<unsigned>(n), x),
                                    -std::sph_neumann(static_cast<unsigned>(n), x));
    };
    std::complex<double> previous = h(0);
    std::complex<double> iPower = 1.0;
    for (int n = 0; n < terms; ++n) {
        const std::complex<double> current = n == 0 ? previous : h(n);
        const std::complex<double> derivative =
            n == 0 ? -h(1) : previous - (n + 1.0) / x * current;
        const std::complex<double> b = -i / (x * x * derivative);
        // Huge h_n' (high orders at low ka) means a vanishing term.
        w[n] = std::isfinite(b.real()) && std::isfinite(b.imag()) ? (2.0 * n + 1.0) * iPower * b
                                                                    : std::complex<double>(0.0);
        previous = current;
        iPower *= i;
    }
}

std::complex<double> RigidSphere::pressure(double frequency_hz, double cosGamma, int terms) const {
    if (terms < 0) terms = termCount(ka(frequency_hz));
    std::vector<std::complex<double>> w(static_cast<std::size_t>(terms));
    std::vector<double> p(static_cast<std::size_t>(terms));
    modalWeights(frequency_hz, terms, w.data());
    legendre(cosGamma, terms, p.data());
    std::complex<double> sum = 0.0;
    for (int n = 0; n < terms; ++n) sum += w[static_cast<std::size_t>(n)] * p[static_cast<std::size_t>(n)];
    return sum;
}

// ---- capsule FIRs ----------------------------------------------------------------------

int defaultFirLength(double sampleRate_hz) {
    int length = 256;
    for (double rate = 48000.0; rate < sampleRate_hz; rate *= 2.0) length *= 2;
    return length;
}

CapsuleFirs designCapsuleFirs(const RigidSphere& sphere, double sampleRate_hz,
                              const Direction& source, int length) {
    CapsuleFirs firs;
    firs.length = length;
    firs.bulkDelay_samples = length / 2;
    const int bins = length / 2 + 1;
    const Vec3 d = unitVector(source);
    const int maxTerms = RigidSphere::termCount(sphere.ka(sampleRate_hz / 2.0));

    std::vector<std::complex<double>> weights(static_cast<std::size_t>(bins * maxTerms));
    std::vector<int> terms(static_cast<std::size_t>(bins));
    for (int k = 0; k < bins; ++k) {
        const double f = k * sampleRate_hz / length;
        terms[static_cast<std::size_t>(k)] = RigidSphere::termCount(sphere.ka(f));
        sphere.modalWeights(f, terms[static_cast<std::size_t>(k)], &weights[static_cast<std::size_t>(k * maxTerms)]);
    }

    Eigen::FFT<double> fft;
    fft.SetFlag(Eigen::FFT<double>::HalfSpectrum);
    std::vector<std::complex<double>> spectrum(static_cast<std::size_t>(bins));
    std::vector<double> legendreValues(static_cast<std::size_t>(maxTerms));
    firs.taps.assign(capsuleCount, std::vector<double>(static_cast<std::size_t>(length)));
    for (int c = 0; c < capsuleCount; ++c) {
        legendre(dot(d, capsuleVector(c)), maxTerms, legendreValues.data());
        for (int k = 0; k < bins; ++k) {
            std::complex<double> p = 0.0;
            const auto* w = &weights[static_cast<std::size_t>(k * maxTerms)];
            for (int n = 0; n < terms[static_cast<std::size_t>(k)]; ++n) p += w[n] * legendreValues[static_cast<std::size_t>(n)];
            // Bulk delay of length / 2 samples: a factor (-1)^k on the grid.
            spectrum[static_cast<std::size_t>(k)] = (k % 2 == 0) ? p : -p;
        }
        // A real filter has a real value at Nyquist.
        spectrum.back() = spectrum.back().real();
        auto& h = firs.taps[static_cast<std::size_t>(c)];
        fft.inv(h.data(), spectrum.data(), length);
        // Tukey taper about the bulk delay: flat within a quarter length of it,
        // raised-cosine ends reaching zero at tap 0.
        const int flat = length / 4;
        for (int n = 0; n < length; ++n) {
            const int m = std::abs(n - firs.bulkDelay_samples);
            if (m > flat) h[static_cast<std::size_t>(n)] *= 0.5 * (1.0 + std::cos(pi * (m - flat) / flat));
        }
    }
    return firs;
}

// ---- simulator --------------------------------------------------------------------------

struct ArraySimulator::Fft {
    Eigen::FFT<double> engine;
};

ArraySimulator::ArraySimulator(double sampleRate_hz, const std::vector<Direction>& sources,
                               const RigidSphere& sphere)
    : fft(std::make_unique<Fft>()) {
    const int length = defaultFirLength(sampleRate_hz);
    block = length;
    const int size = 2 * block;
    const int bins = block + 1;
    fft->engine.SetFlag(Eigen::FFT<double>::HalfSpectrum);
    std::vector<double> padded(static_cast<std::size_t>(size));
    for (const Direction& d : sources) {
        const CapsuleFirs firs = designCapsuleFirs(sphere, sampleRate_hz, d, length);
        delay = firs.bulkDelay_samples;
        std::vector<std::vector<std::complex<double>>> perCapsule;
        for (const auto& h : firs.taps) {
            std::fill(padded.begin(), padded.end(), 0.0);
            std::copy(h.begin(), h.end(), padded.begin());
            std::vector<std::complex<double>> s(static_cast<std::size_t>(bins));
            fft->engine.fwd(s.data(), padded.data(), size);
            perCapsule.push_back(std::move(s));
        }
        spectra.push_back(std::move(perCapsule));
    }
    if (sources.empty()) delay = length / 2;
    overlap.assign(capsuleCount, std::vector<double>(static_cast<std::size_t>(block)));
    sourceSpectra.assign(sources.size(), std::vector<std::complex<double>>(static_cast<std::size_t>(bins)));
    sum.resize(static_cast<std::size_t>(bins));
    timeBuffer.resize(static_cast<std::size_t>(size));
}

ArraySimulator::~ArraySimulator() = default;

void ArraySimulator::reset() {
    for (auto& o : overlap) std::fill(o.begin(), o.end(), 0.0);
}

void ArraySimulator::process(const float* const* sources, float* const* capsules) {
    const int size = 2 * block;
    for (std::size_t s = 0; s < spectra.size(); ++s) {
        std::fill(timeBuffer.begin(), timeBuffer.end(), 0.0);
        for (int n = 0; n < block; ++n) timeBuffer[static_cast<std::size_t>(n)] = sources[s][n];
        fft->engine.fwd(sourceSpectra[s].data(), timeBuffer.data(), size);
    }
    for (int c = 0; c < capsuleCount; ++c) {
        std::fill(sum.begin(), sum.end(), std::complex<double>(0.0));
        for (std::size_t s = 0; s < spectra.size(); ++s) {
            const auto& h = spectra[s][static_cast<std::size_t>(c)];
            const auto& x = sourceSpectra[s];
            for (std::size_t k = 0; k < sum.size(); ++k) sum[k] += x[k] * h[k];
        }
        fft->engine.inv(timeBuffer.data(), sum.data(), size);
        auto& o = overlap[static_cast<std::size_t>(c)];
        for (int n = 0; n < block; ++n) {
            capsules[c][n] = static_cast<float>(timeBuffer[static_cast<std::size_t>(n)] + o[static_cast<std::size_t>(n)]);
            o[static_cast<std::size_t>(n)] = timeBuffer[static_cast<std::size_t>(n + block)];
        }
    }
}

bool simulate(ArraySimulator& sim, std::int64_t frames, const SourceFill& fill,
              const CapsuleSink& sink) {
    const int block = sim.blockSize();
    std::vector<std::vector<float>> in(static_cast<std::size_t>(sim.sourceCount()),
                                       std::vector<float>(static_cast<std::size_t>(block)));
    std::vector<std::vector<float>> out(capsuleCount, std::vector<float>(static_cast<std::size_t>(block)));
    std::vector<float*> inPtr, outPtr;
    for (auto& c : in) inPtr.push_back(c.data());
    for (auto& c : out) outPtr.push_back(c.data());
    std::vector<const float*> shifted(capsuleCount);

    std::int64_t fed = 0;
    std::int64_t toSkip = sim.bulkDelay_samples();
    std::int64_t delivered = 0;
    while (delivered < frames) {
        for (auto& c : in) std::fill(c.begin(), c.end(), 0.0f);
        const std::int64_t n = std::min<std::int64_t>(block, frames - fed);
        if (n > 0) {
            fill(inPtr.data(), static_cast<int>(n));
            fed += n;
        }
        sim.process(inPtr.data(), outPtr.data());
        std::int64_t start = std::min<std::int64_t>(toSkip, block);
        toSkip -= start;
        const std::int64_t count = std::min<std::int64_t>(block - start, frames - delivered);
        if (count <= 0) continue;
        for (int c = 0; c < capsuleCount; ++c) shifted[static_cast<std::size_t>(c)] = outPtr[static_cast<std::size_t>(c)] + start;
        if (!sink(shifted.data(), static_cast<int>(count))) return false;
        delivered += count;
    }
    return true;
}

}  // namespace qb32::tools
