#pragma once
// Channel order of array recordings: channel maps, and a check of whether a
// recording's channels sit where the array's layout says they should.
//
// Channel maps: "--channel-map 2,1,3-32" names, capsule by capsule (capsule 0
// first), the input channel (1-based) that carries it; "a-b" stands for the
// run a, a+1, ..., b (or downwards). A map names 32 distinct channels.
//
// The check (checkChannelOrder): on a rigid sphere of radius a, the pressure
// at frequencies with ka up to about 2 is a smooth function of direction,
// made almost entirely of spherical harmonics of orders 0 to 3, whatever the
// sound field (one source, many, reverberation). Channels in the wrong place
// break that smoothness. Between 1 and 2.5 kHz (ka 0.77 to 1.9) the check
// accumulates the capsules' cross-spectral matrix, each frequency bin
// normalised by its power, and measures the part of the capsule signals that
// orders 0..3 at the capsule directions cannot explain, relative to the part
// that differs between capsules (the residual ratio). For the right order this
// is what the field's orders 4 and up leave, about 1 % in a diffuse field (the
// rigid-sphere model predicts it: OrderCheck::expected); a pair of swapped capsules
// raises it several-fold. The verdict compares the ratio with a threshold of
// four times the diffuse-field prediction plus 2 % for capsule mismatch and
// noise. When it does not match, a search over cyclic shifts of the channels
// and then pair swaps (taken greedily while they help) looks for an order that
// does, and names it.
//
// What it cannot see: an order that differs from the right one by a rotation
// or a reflection of the whole layout (the sound field then just looks
// rotated), nor the array's orientation. The direction the band's sound
// mainly arrives from is reported, so a recording of a source at a known
// place tells the orientation.
//
// Errors: one-line messages; exitInput when the recording cannot tell
// (no sound in the band, or every channel the same). Not real-time.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/sim/ArraySimulator.h"

namespace qb32::tools {

// map[capsule] = input channel index (0-based).
bool parseChannelMap(const std::string& text, std::vector<int>& map, std::string& error);
// "2,1,3-32": 1-based, runs of three or more shortened.
std::string formatChannelMap(const std::vector<int>& map);

struct OrderCheck {
    enum Verdict { matches, mismatch };
    Verdict verdict = matches;
    double residual = 0.0;   // the residual ratio of the recording, in the given order
    double expected = 0.0;   // the same for a diffuse field in the right order (rigid-sphere model)
    double threshold = 0.0;  // above it the order does not match
    double low_hz = 0.0, high_hz = 0.0;
    double analysed_s = 0.0;
    // When the order does not match and a consistent one was found: the map
    // (input channels, 0-based, capsule by capsule) and its description.
    std::vector<int> suggestedMap;
    double suggestedResidual = 0.0;
    std::string hint;
    // The channels (1-based input channels) the geometry fits worst, worst first.
    std::vector<int> suspects;
    // Where the band's sound mainly comes from, and how directional the field
    // is (1: one plane wave, 0: diffuse).
    Direction dominant;
    double directionality = 0.0;
};

// Accumulates the statistics of a recording in the check's band.
class SpatialCovariance {
public:
    explicit SpatialCovariance(double sampleRate_hz);
    ~SpatialCovariance();
    SpatialCovariance(const SpatialCovariance&) = delete;
    SpatialCovariance& operator=(const SpatialCovariance&) = delete;
    // 32 capsule channels, in capsule order.
    void add(const float* const* capsules, std::int64_t frames);
    [[nodiscard]] double seconds() const;

    struct State;
    // The statistics so far (frames still batched are added first).
    [[nodiscard]] const State& state() const;

private:
    std::unique_ptr<State> data;
};

// The verdict on accumulated statistics; false (with a message) when the
// recording cannot tell.
bool judgeChannelOrder(const SpatialCovariance& statistics, const std::vector<int>& inputMap, OrderCheck& result,
                       std::string& error);

// Reads up to `maxSeconds` of the recording (through `map` when not empty)
// and judges it. Answers exitOk, or exitInput / exitUsage with a message.
int checkChannelOrder(const std::string& path, const std::vector<int>& map, double maxSeconds, OrderCheck& result,
                      std::string& error);

// The report for the user: verdict, figures, hint, dominant direction.
std::string formatOrderCheck(const OrderCheck& result, const std::string& path);

}  // namespace qb32::tools
