#pragma once
// Measures the plug-in's beam patterns on the simulated array: plane waves
// (the rigid-sphere capsule responses of tools/sim) from many directions go
// through the shipped module, beam by beam, and each beam's impulse response
// per direction is analysed.
//
// Method: up to eight patterns per pass, one per beam, all aimed at the look
// direction (unused beams off). After a warm-up of silence long enough for
// the pattern crossfades and the direction glide to finish, each direction
// gets one segment of `segment_samples`: its capsule impulse responses at the
// start, then silence; the beam's output over that segment is its impulse
// response for that direction (the plug-in's filters have decayed by more
// than 100 dB at the segment's end, so segments do not leak into each other).
//
// Directions: the look direction, two great circles through it every
// `circleStep_deg` (the "horizontal" one through the look direction and the
// horizon, the "vertical" one at right angles), and a Fibonacci lattice of
// `spherePoints` nearly uniform directions for the directivity index and the
// front-to-back ratio.
//
// Quantities per octave band (band power = sum of |H|^2 over the FFT bins of
// fc/sqrt2..fc sqrt2): directivity index at the pattern's maximum on the
// circles (power there over the mean power on the sphere), front-to-back
// ratio (power of the front hemisphere over the back one), and the worst
// deviation in dB from the theoretical pattern on both circles wherever the
// theory lies above -15 dB (both normalised to their maxima on the circles).
//
// Errors: measure() answers false with a one-line message (module not loaded).

#include <functional>
#include <string>
#include <vector>

#include "tools/sim/ArraySimulator.h"

namespace qb32::tools {

struct MeasurementSetup {
    int sampleRate_hz = 44100;  // the plug-in's rate (one of those it has tables for)
    Direction look{90.0, 0.0};
    int circleStep_deg = 5;
    int spherePoints = 256;
    int segment_samples = 4096;  // at 44.1 kHz; segmentFor() scales it
    std::vector<double> bandCentres_hz{250.0, 500.0, 1000.0, 2000.0, 4000.0, 8000.0, 16000.0};
};

// The directions measured, in order: look, horizontal circle, vertical
// circle, sphere. `angle_deg` is the angle from the look direction on a circle.
struct MeasurementDirections {
    std::vector<Direction> all;
    int horizontalStart = 0, verticalStart = 0, sphereStart = 0, circlePoints = 0;
    std::vector<double> circleAngles_deg;
};
MeasurementDirections measurementDirections(const MeasurementSetup& setup);

// The segment length at the setup's rate: segment_samples at 44.1 kHz, at
// other rates the next power of two that spans at least the same time.
int segmentFor(const MeasurementSetup& setup);

// Runs the module over every direction for the given patterns (indices of the
// Pattern parameter), calling `take(patternSlot, directionIndex, response)`
// with each beam's impulse response of segmentFor(setup) samples at the
// setup's rate.
using ResponseSink = std::function<void(int patternSlot, int direction, const std::vector<float>& response)>;
bool measureResponses(const std::string& modulePath, int patternCount, const std::vector<int>& patterns,
                      const MeasurementSetup& setup, const MeasurementDirections& directions,
                      const ResponseSink& take, std::string& error);

// The theoretical directivity f(theta) = sum a_n P_n(cos theta) of a
// catalogue pattern; empty coefficients for an unknown name.
std::vector<double> theoreticalCoefficients(const std::string& patternName);
double theoreticalDirectivity(const std::vector<double>& a, double cosTheta);
double theoreticalDirectivityIndex_db(const std::vector<double>& a);
double theoreticalFrontToBack_db(const std::vector<double>& a);

struct PatternResult {
    std::string name;
    std::vector<double> bandCentres_hz;
    // [band][point] in dB, normalised to the maximum over both circles.
    std::vector<std::vector<double>> horizontal_db, vertical_db;
    std::vector<double> theory_db;  // [point], the same on both circles
    std::vector<double> directivityIndex_db, frontToBack_db, worstDeviation_db;  // [band]
    double theoryDirectivityIndex_db = 0.0, theoryFrontToBack_db = 0.0;
};

// Measures the selected patterns (all when `selection` is empty); names as
// the plug-in shows them, in parameter order.
bool measurePatterns(const std::string& modulePath, const std::vector<std::string>& patternNames,
                     const std::vector<int>& selection, const MeasurementSetup& setup,
                     std::vector<PatternResult>& results, std::string& error);

// A band's name: "500 Hz", "2 kHz".
std::string bandLabel(double hz);

// The markdown table of every pattern's quantities per band.
std::string patternTableMarkdown(const std::vector<PatternResult>& results, const MeasurementSetup& setup);

}  // namespace qb32::tools
