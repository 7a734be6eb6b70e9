#pragma once
// Source signals for the array simulator, generated in blocks:
//   noise            white Gaussian noise, RMS -20 dBFS (seeded, reproducible)
//   pink             pink noise (-3 dB per octave), RMS about -20 dBFS (seeded)
//   sine:F           sine of F Hz, peak -12 dBFS (F default 1000)
//   sweep:F1:F2      exponential sweep from F1 to F2 Hz over the whole
//                    duration, peak -12 dBFS (default 50 to 16000)
//   clicks:R         R single-sample clicks per second of -6 dBFS (default 4)
//   bursts:R:F       R tone bursts per second, F Hz (default 4, 1500), each a
//                    50 ms decaying sine of peak -6 dBFS
//   file:PATH        a mono sound file at the simulation's rate; silence after its end
// parseSignal turns such a text into a generator, or answers null with a
// one-line message. Not real-time (files are read through libsndfile).

#include <cstdint>
#include <memory>
#include <string>

namespace qb32::tools {

class SignalSource {
public:
    virtual ~SignalSource() = default;
    // Writes the next `frames` samples; false on a read error (see error()).
    virtual bool fill(float* out, int frames) = 0;
    [[nodiscard]] const std::string& error() const noexcept { return message; }
    // Length of a file source in frames; -1 for generators (any length).
    [[nodiscard]] virtual std::int64_t naturalLength() const { return -1; }

protected:
    std::string message;
};

// `gain_db` scales the signal; `seed` makes noise sources differ.
std::unique_ptr<SignalSource> parseSignal(const std::string& text, double sampleRate_hz,
                                          std::int64_t totalFrames, double gain_db,
                                          unsigned seed, std::string& error);

}  // namespace qb32::tools
