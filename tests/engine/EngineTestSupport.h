#pragma once
// Helpers shared by the engine tests: an evaluation of the real spherical
// harmonics that shares no code with the table generator, and multichannel
// signal plumbing for running blocks through a processing block.

#include <cmath>
#include <numbers>
#include <vector>

#include "framework/vkAudioClass.h"

namespace qb32::testing {

// Y_k of component k = n^2 + n + m in the decomposition's convention, from the
// Cartesian forms of the orthonormal real harmonics: Condon-Shortley sign
// (-1)^m on odd |m|, and divided by sqrt(2) for m != 0 (the decomposition's
// harmonics are normalised so that c_m^2 Y^2 integrates to 1, c_m = sqrt(2)).
inline double harmonic(int k, double theta, double phi) {
    const double x = std::sin(theta) * std::cos(phi), y = std::sin(theta) * std::sin(phi),
                 z = std::cos(theta);
    const double pi = std::numbers::pi;
    double v = 0.0;
    switch (k) {
        case 0: v = 0.5 / std::sqrt(pi); break;
        case 1: v = -std::sqrt(3 / (4 * pi)) * y; break;
        case 2: v = std::sqrt(3 / (4 * pi)) * z; break;
        case 3: v = -std::sqrt(3 / (4 * pi)) * x; break;
        case 4: v = 0.5 * std::sqrt(15 / pi) * x * y; break;
        case 5: v = -0.5 * std::sqrt(15 / pi) * y * z; break;
        case 6: v = 0.25 * std::sqrt(5 / pi) * (3 * z * z - 1); break;
        case 7: v = -0.5 * std::sqrt(15 / pi) * x * z; break;
        case 8: v = 0.25 * std::sqrt(15 / pi) * (x * x - y * y); break;
        case 9: v = -0.25 * std::sqrt(35 / (2 * pi)) * y * (3 * x * x - y * y); break;
        case 10: v = 0.5 * std::sqrt(105 / pi) * x * y * z; break;
        case 11: v = -0.25 * std::sqrt(21 / (2 * pi)) * y * (5 * z * z - 1); break;
        case 12: v = 0.25 * std::sqrt(7 / pi) * (5 * z * z * z - 3 * z); break;
        case 13: v = -0.25 * std::sqrt(21 / (2 * pi)) * x * (5 * z * z - 1); break;
        case 14: v = 0.25 * std::sqrt(105 / pi) * (x * x - y * y) * z; break;
        case 15: v = -0.25 * std::sqrt(35 / (2 * pi)) * x * (x * x - 3 * y * y); break;
        default: return 0.0;
    }
    const bool zonal = k == 0 || k == 2 || k == 6 || k == 12;
    return zonal ? v : v / std::sqrt(2.0);
}

inline int orderOfComponent(int k) { return k < 1 ? 0 : k < 4 ? 1 : k < 9 ? 2 : 3; }

// channels x samples, with a pointer table for process().
struct Signal {
    Signal(int channels, int samples) : data(channels, std::vector<float>(samples, 0.0f)) {}
    std::vector<std::vector<float>> data;

    int channels() const { return static_cast<int>(data.size()); }
    int samples() const { return data.empty() ? 0 : static_cast<int>(data[0].size()); }
    std::vector<float*> at(int offset) {
        std::vector<float*> p;
        for (auto& c : data) p.push_back(c.data() + offset);
        return p;
    }
};

// Runs `in` through `block` in consecutive blocks of the given sizes (cycled),
// writing `outChannels` output channels.
inline Signal runBlocks(vkAudioClass& block, Signal& in, int outChannels, const std::vector<int>& sizes) {
    Signal out(outChannels, in.samples());
    int done = 0;
    for (std::size_t b = 0; done < in.samples(); ++b) {
        const int n = std::min(sizes[b % sizes.size()], in.samples() - done);
        auto ip = in.at(done);
        auto op = out.at(done);
        block.process(ip.data(), op.data(), n);
        done += n;
    }
    return out;
}

}  // namespace qb32::testing
