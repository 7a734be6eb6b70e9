#pragma once
// Simulation of the 32-capsule array: a rigid sphere of radius 4.2 cm with
// the capsules at the directions of engine/tables/CapsuleDirections.h, hit by
// plane waves.
//
// RigidSphere: the exact scattering series of a rigid sphere. For a plane
// wave of unit amplitude arriving from direction d, the pressure on the
// surface at angle gamma from d is
//   p = sum_n (2n + 1) i^n b_n(ka) P_n(cos gamma),
//   b_n(x) = j_n(x) - j_n'(x) h_n(x) / h_n'(x) = -i / (x^2 h_n'(x)),
// with h_n = j_n - i y_n (the second form by the Wronskian). That is the
// e^{+i omega t} convention of signal processing; the pressure is referenced
// to the wave at the sphere's centre. At low frequency every point sees 1; at
// high frequency the point facing the wave sees about 2 (+6 dB, leading the
// centre by a/c) and the back of the sphere lies in a shadow (except a bright
// spot at the very antipode, where the creeping waves meet in phase). The
// series runs to n = ceil(ka + 4 (ka)^(1/3)) + 10, converged to better than
// 1e-8 up to 20 kHz (tested).
//
// CapsuleFirs: per capsule, the sphere's response to a plane wave from one
// direction as a linear-phase FIR: the response sampled on the FFT grid of
// the filter length, shifted by a bulk delay of half the length, inverse
// transformed and tapered at both ends (Tukey window, flat over the middle
// half). Error against the series: below 0.05 dB and 0.5 degrees up to
// 20 kHz (tested).
//
// ArraySimulator: any number of plane-wave sources with their own signals,
// convolved with their capsule FIRs by FFT (overlap-add) and summed, in
// blocks of blockSize() frames. The output is delayed by bulkDelay_samples();
// simulate() removes that delay, so capsule signals line up with the source
// signals as they pass the array's centre.
//
// Errors: none (invalid arguments are the caller's fault). Not real-time.

#include <complex>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace qb32::tools {

// Elevation is the polar angle from +z in degrees (0 zenith, 90 horizon,
// 180 nadir), azimuth counter-clockwise from +x: the plug-in's convention.
struct Direction {
    double elevation_deg = 90.0;
    double azimuth_deg = 0.0;
};

struct Vec3 {
    double x, y, z;
};
Vec3 unitVector(const Direction& d);
Vec3 capsuleVector(int capsule);
double dot(const Vec3& a, const Vec3& b);

inline constexpr double arrayRadius_m = 0.042;
inline constexpr double speedOfSound_mps = 343.0;
inline constexpr int capsuleCount = 32;

class RigidSphere {
public:
    explicit RigidSphere(double radius_m = arrayRadius_m, double c_mps = speedOfSound_mps);
    [[nodiscard]] double ka(double frequency_hz) const;
    [[nodiscard]] static int termCount(double ka);
    // Modal weights w_n = (2n + 1) i^n b_n(ka), n = 0..terms-1.
    void modalWeights(double frequency_hz, int terms, std::complex<double>* w) const;
    // Pressure at angle gamma from the arrival direction; terms < 0: termCount.
    [[nodiscard]] std::complex<double> pressure(double frequency_hz, double cosGamma,
                                                int terms = -1) const;

private:
    double radius_m;
    double c_mps;
};

struct CapsuleFirs {
    int length = 0;
    int bulkDelay_samples = 0;
    std::vector<std::vector<double>> taps;  // [capsule][length]
};

// FIR length for a sample rate: 256 taps up to 48 kHz, doubled per octave above.
int defaultFirLength(double sampleRate_hz);
CapsuleFirs designCapsuleFirs(const RigidSphere& sphere, double sampleRate_hz,
                              const Direction& source, int length);

class ArraySimulator {
public:
    ArraySimulator(double sampleRate_hz, const std::vector<Direction>& sources,
                   const RigidSphere& sphere = RigidSphere());
    ~ArraySimulator();
    ArraySimulator(const ArraySimulator&) = delete;
    ArraySimulator& operator=(const ArraySimulator&) = delete;

    [[nodiscard]] int blockSize() const noexcept { return block; }
    [[nodiscard]] int bulkDelay_samples() const noexcept { return delay; }
    [[nodiscard]] int sourceCount() const noexcept { return static_cast<int>(spectra.size()); }
    // One block: sourceCount() inputs of blockSize() samples in, 32 capsule
    // outputs of blockSize() samples out (delayed by bulkDelay_samples()).
    void process(const float* const* sources, float* const* capsules);
    void reset();

private:
    struct Fft;
    int block = 0;
    int delay = 0;
    std::unique_ptr<Fft> fft;
    // [source][capsule][bin] transfer functions of the zero-padded FIRs.
    std::vector<std::vector<std::vector<std::complex<double>>>> spectra;
    std::vector<std::vector<double>> overlap;  // [capsule][block]
    std::vector<std::vector<std::complex<double>>> sourceSpectra;
    std::vector<std::complex<double>> sum;
    std::vector<double> timeBuffer;
};

// Runs a simulator over `frames` frames with the bulk delay removed: `fill`
// writes the next blockSize() samples of every source (zeros past the end are
// supplied by simulate), `sink` receives the 32 capsule channels in pieces.
using SourceFill = std::function<void(float* const* sources, int frames)>;
using CapsuleSink = std::function<bool(const float* const* capsules, int frames)>;
bool simulate(ArraySimulator& sim, std::int64_t frames, const SourceFill& fill,
              const CapsuleSink& sink);

}  // namespace qb32::tools
