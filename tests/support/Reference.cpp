#include "tests/support/Reference.h"

#include <cmath>
#include <numbers>
#include <random>

namespace qb32::testing {

std::vector<double> directFir(const std::vector<float>& taps, const std::vector<float>& x) {
    std::vector<double> y(x.size(), 0.0);
    for (std::size_t k = 0; k < x.size(); ++k) {
        double acc = 0.0;
        for (std::size_t j = 0; j < taps.size() && j <= k; ++j)
            acc += static_cast<double>(taps[j]) * static_cast<double>(x[k - j]);
        y[k] = acc;
    }
    return y;
}

std::complex<double> frequencyResponse(const float* taps, int length, double frequencyHz,
                                       double sampleRateHz) {
    const double w = 2.0 * std::numbers::pi * frequencyHz / sampleRateHz;
    std::complex<double> sum = 0.0;
    for (int k = 0; k < length; ++k) sum += static_cast<double>(taps[k]) * std::polar(1.0, -w * k);
    return sum;
}

double zeroPhaseAmplitude(const float* taps, int length, double frequencyHz, double sampleRateHz) {
    const double w = 2.0 * std::numbers::pi * frequencyHz / sampleRateHz;
    const double centre = (length - 1) / 2.0;
    double sum = 0.0;
    for (int k = 0; k < length; ++k) sum += static_cast<double>(taps[k]) * std::cos(w * (k - centre));
    return sum;
}

double biquadCascadeGainDb(const double* c, int sections, double frequencyHz, double sampleRateHz) {
    const double w = 2.0 * std::numbers::pi * frequencyHz / sampleRateHz;
    const std::complex<double> z1 = std::polar(1.0, -w);
    const std::complex<double> z2 = z1 * z1;
    std::complex<double> h = 1.0;
    for (int s = 0; s < sections; ++s) {
        const double* g = c + 6 * s;
        h *= (g[0] + g[1] * z1 + g[2] * z2) / (g[3] + g[4] * z1 + g[5] * z2);
    }
    return 20.0 * std::log10(std::abs(h));
}

std::vector<float> whiteNoise(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (auto& s : v) s = dist(rng);
    return v;
}

std::vector<int> randomBlockSizes(int n, int maxBlock, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> dist(1, maxBlock);
    std::vector<int> sizes;
    for (int done = 0; done < n;) {
        const int b = std::min(dist(rng), n - done);
        sizes.push_back(b);
        done += b;
    }
    return sizes;
}

}  // namespace qb32::testing
