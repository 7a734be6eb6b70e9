#pragma once
// EnergyMap: where the sound comes from, as the power of a steered beam in
// every direction of a grid over the whole sphere.
//
// Input: the 16 modal components the engine forms (component k = n^2 + n + m,
// orders 0..3, the decomposition's normalisation: a plane wave of amplitude x
// from direction s gives component k = x Y_k(s) in the band where the
// equalisers hold, with the real spherical harmonics Y_k of the decomposition
// matrix, whose azimuth factor is cos(m phi) or sin(|m| phi)).
//
// Method (steered-response power): each component is band-limited to
// 200 Hz - 8 kHz, where the decomposition is valid (fourth-order Butterworth
// high- and low-pass), and the 16 x 16 covariance C of the band-limited
// components is accumulated. Each published frame folds the samples since
// the last one into an exponential average with a time constant of
// `averagingTime_s`. The power towards direction d is y(d)^T C y(d) with
// y_k(d) = (4 pi / 16) c_m^2 Y_k(d), c_m^2 = 2 for m != 0, else 1: by the
// addition theorem y(d) . Y(s) = sum_n (2n + 1) P_n(cos gamma) / 16, the
// order-3 beam of maximum directivity, 1 towards the source. So a plane wave
// of RMS level x reads x^2 (its level in dB re full scale) at its own
// direction; its beam is 3 dB down about 28 degrees off axis. Diffuse sound
// reads the same in every direction.
//
// Grid: every `gridStep_deg` degrees in azimuth (0..358) and elevation
// (0..180); powerAt_db interpolates bilinearly between grid points (azimuth
// wrapping round). Powers are in dB, floored at `floor_db`.
//
// Threads: the editor's own; nothing here runs on the audio thread. The
// constructor allocates (the grid's steering vectors, 1 MB); the rest does not.

#include <array>
#include <vector>

#include "editor/MapGeometry.h"

namespace qb32::editor {

class EnergyMap {
public:
    static constexpr int componentCount = 16;
    static constexpr int gridStep_deg = 2;
    static constexpr int columns = 360 / gridStep_deg;
    static constexpr int rows = 180 / gridStep_deg + 1;
    static constexpr double lowEdge_hz = 200.0;
    static constexpr double highEdge_hz = 8000.0;
    static constexpr double averagingTime_s = 0.3;
    static constexpr float floor_db = -150.0f;

    explicit EnergyMap(double sampleRate_hz);

    // New session rate: the band filters are redesigned and cleared.
    void setSampleRate(double sampleRate_hz);
    // Forgets every sample and the average.
    void reset();

    // `frames` samples of the 16 components (one array per component).
    void addFrames(const float* const* components, int frames);
    // Folds the samples added since the last call into the average and
    // recomputes the grid. Nothing changes when no sample came in.
    void publish();

    [[nodiscard]] float power_db(int row, int column) const noexcept;
    // The grid itself, rows of `columns` powers in dB.
    [[nodiscard]] const float* grid() const noexcept { return grid_db.data(); }
    [[nodiscard]] float powerAt_db(const Direction& d) const noexcept;
    // The grid point of the highest power and that power.
    [[nodiscard]] Direction loudest() const noexcept;
    [[nodiscard]] float loudest_db() const noexcept { return peak_db; }
    // Local maxima of the grid at least `within_db` below the loudest, the
    // strongest first (for tests and labels).
    [[nodiscard]] std::vector<Direction> peaks(float within_db, int maxCount) const;
    // The steering vector of a direction (exposed for tests).
    static std::array<double, componentCount> steeringVector(const Direction& d) noexcept;

private:
    struct Biquad {
        double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    };
    static constexpr int sections = 4;  // two high-pass, two low-pass

    void computeGrid();

    double rate_hz = 0.0;
    std::array<Biquad, sections> band{};
    std::vector<double> filterState;  // [component][section][2]
    std::array<double, componentCount * componentCount> accumulated{};
    std::array<double, componentCount * componentCount> averaged{};
    long long accumulatedFrames = 0;
    bool anyAverage = false;
    std::vector<float> steering;  // [row][column][component]
    std::vector<float> grid_db;   // [row][column]
    float peak_db = floor_db;
    int peakIndex = 0;
    std::vector<float> scratch;   // one frame of band-limited components
};

}  // namespace qb32::editor
