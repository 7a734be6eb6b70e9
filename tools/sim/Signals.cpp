#include "tools/sim/Signals.h"

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "tools/common/SoundFile.h"
#include "tools/common/TextParsing.h"

namespace qb32::tools {

namespace {

constexpr double twoPi = 2.0 * std::numbers::pi;

class Noise final : public SignalSource {
public:
    Noise(double gain, unsigned seed) : scale(0.1 * gain), engine(seed) {}
    bool fill(float* out, int frames) override {
        for (int i = 0; i < frames; ++i) out[i] = static_cast<float>(scale * normal(engine));
        return true;
    }

private:
    double scale;
    std::mt19937 engine;
    std::normal_distribution<double> normal;
};

// White noise through Paul Kellet's economy pink filter (within 0.5 dB of
// -3 dB per octave above 10 Hz at 44.1 to 48 kHz).
class Pink final : public SignalSource {
public:
    Pink(double gain, unsigned seed) : scale(0.1 * gain / 3.3), engine(seed) {}
    bool fill(float* out, int frames) override {
        for (int i = 0; i < frames; ++i) {
            const double w = normal(engine);
            b0 = 0.99765 * b0 + w * 0.0990460;
            b1 = 0.96300 * b1 + w * 0.2965164;
            b2 = 0.57000 * b2 + w * 1.0526913;
            out[i] = static_cast<float>(scale * (b0 + b1 + b2 + w * 0.1848));
        }
        return true;
    }

private:
    double scale;
    double b0 = 0.0, b1 = 0.0, b2 = 0.0;
    std::mt19937 engine;
    std::normal_distribution<double> normal;
};

class Bursts final : public SignalSource {
public:
    Bursts(double perSecond, double frequency_hz, double rate_hz, double gain)
        : period(std::max<std::int64_t>(1, std::llround(rate_hz / perSecond))), step(twoPi * frequency_hz / rate_hz),
          decay(std::exp(-1.0 / (0.012 * rate_hz))), length(static_cast<std::int64_t>(0.05 * rate_hz)), amplitude(0.5 * gain) {}
    bool fill(float* out, int frames) override {
        for (int i = 0; i < frames; ++i, ++n) {
            const std::int64_t k = n % period;
            out[i] = k < length ? static_cast<float>(amplitude * std::pow(decay, static_cast<double>(k)) *
                                                     std::sin(step * static_cast<double>(k)))
                                : 0.0f;
        }
        return true;
    }

private:
    std::int64_t period;
    double step, decay;
    std::int64_t length;
    double amplitude;
    std::int64_t n = 0;
};

class Sine final : public SignalSource {
public:
    Sine(double frequency_hz, double rate_hz, double gain) : step(twoPi * frequency_hz / rate_hz), amplitude(0.25 * gain) {}
    bool fill(float* out, int frames) override {
        for (int i = 0; i < frames; ++i, ++n) out[i] = static_cast<float>(amplitude * std::sin(step * static_cast<double>(n)));
        return true;
    }

private:
    double step, amplitude;
    std::int64_t n = 0;
};

class Sweep final : public SignalSource {
public:
    Sweep(double f1, double f2, double rate_hz, std::int64_t total, double gain)
        : amplitude(0.25 * gain), rate(rate_hz), start(f1),
          duration_s(std::max<double>(1.0, static_cast<double>(total)) / rate_hz),
          logRatio(std::log(f2 / f1)) {}
    bool fill(float* out, int frames) override {
        // Phase of an exponential sweep: 2 pi f1 T / ln(f2/f1) (e^{t ln(f2/f1) / T} - 1).
        for (int i = 0; i < frames; ++i, ++n) {
            const double t = static_cast<double>(n) / rate;
            const double phase = twoPi * start * duration_s / logRatio * (std::exp(t * logRatio / duration_s) - 1.0);
            out[i] = static_cast<float>(amplitude * std::sin(phase));
        }
        return true;
    }

private:
    double amplitude, rate, start, duration_s, logRatio;
    std::int64_t n = 0;
};

class Clicks final : public SignalSource {
public:
    Clicks(double perSecond, double rate_hz, double gain)
        : period(std::max<std::int64_t>(1, std::llround(rate_hz / perSecond))), amplitude(0.5 * gain) {}
    bool fill(float* out, int frames) override {
        for (int i = 0; i < frames; ++i, ++n) out[i] = (n % period == period / 2) ? static_cast<float>(amplitude) : 0.0f;
        return true;
    }

private:
    std::int64_t period;
    double amplitude;
    std::int64_t n = 0;
};

class FileSignal final : public SignalSource {
public:
    FileSignal(double gain) : scale(static_cast<float>(gain)) {}
    bool open(const std::string& path, double rate_hz, std::string& error) {
        if (!reader.open(path)) {
            error = reader.error();
            return false;
        }
        if (reader.channels() != 1) {
            error = "source file '" + path + "' has " + std::to_string(reader.channels()) +
                    " channels; a source must be mono";
            return false;
        }
        if (reader.sampleRate_hz() != rate_hz) {
            error = "source file '" + path + "' is at " + formatNumber(reader.sampleRate_hz()) +
                    " Hz; the simulation runs at " + formatNumber(rate_hz) + " Hz (use --rate)";
            return false;
        }
        return true;
    }
    bool fill(float* out, int frames) override {
        float* ptr[1] = {out};
        std::int64_t got = ended ? 0 : reader.read(ptr, frames);
        if (got == 0 && !reader.error().empty()) {
            message = reader.error();
            return false;
        }
        if (got < frames) ended = true;
        for (std::int64_t i = 0; i < got; ++i) out[i] *= scale;
        for (std::int64_t i = got; i < frames; ++i) out[i] = 0.0f;
        return true;
    }
    [[nodiscard]] std::int64_t naturalLength() const override { return reader.frames(); }

private:
    SoundFileReader reader;
    float scale;
    bool ended = false;
};

}  // namespace

std::unique_ptr<SignalSource> parseSignal(const std::string& text, double rate_hz,
                                          std::int64_t totalFrames, double gain_db, unsigned seed,
                                          std::string& error) {
    const double gain = std::pow(10.0, gain_db / 20.0);
    const auto colon = text.find(':');
    const std::string kind = text.substr(0, colon);
    const std::string rest = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    std::vector<std::string> args = rest.empty() ? std::vector<std::string>() : split(rest, ':');
    std::vector<double> values;
    if (kind != "file") {
        for (const auto& a : args) {
            double v = 0.0;
            if (!parseNumber(a, v) || !(v > 0.0)) {
                error = "signal '" + text + "': '" + a + "' is not a positive number";
                return nullptr;
            }
            values.push_back(v);
        }
    }
    const double nyquist = rate_hz / 2.0;
    auto tooMany = [&](std::size_t n) {
        if (values.size() <= n) return false;
        error = "signal '" + text + "': too many values";
        return true;
    };
    if (kind == "noise" && !tooMany(0)) return std::make_unique<Noise>(gain, seed);
    if (kind == "pink" && !tooMany(0)) return std::make_unique<Pink>(gain, seed);
    if (kind == "bursts" && !tooMany(2)) {
        const double f = values.size() > 1 ? values[1] : 1500.0;
        if (f >= nyquist) {
            error = "signal '" + text + "': frequency at or above half the sample rate";
            return nullptr;
        }
        return std::make_unique<Bursts>(values.empty() ? 4.0 : values[0], f, rate_hz, gain);
    }
    if (kind == "sine" && !tooMany(1)) {
        const double f = values.empty() ? 1000.0 : values[0];
        if (f >= nyquist) {
            error = "signal '" + text + "': frequency at or above half the sample rate";
            return nullptr;
        }
        return std::make_unique<Sine>(f, rate_hz, gain);
    }
    if (kind == "sweep" && !tooMany(2)) {
        const double f1 = values.size() > 0 ? values[0] : 50.0;
        const double f2 = values.size() > 1 ? values[1] : std::min(16000.0, 0.9 * nyquist);
        if (f2 >= nyquist || f1 >= nyquist || f1 == f2) {
            error = "signal '" + text + "': sweep limits must differ and lie below half the sample rate";
            return nullptr;
        }
        return std::make_unique<Sweep>(f1, f2, rate_hz, totalFrames, gain);
    }
    if (kind == "clicks" && !tooMany(1)) return std::make_unique<Clicks>(values.empty() ? 4.0 : values[0], rate_hz, gain);
    if (kind == "file") {
        if (rest.empty()) {
            error = "signal '" + text + "': file: needs a path";
            return nullptr;
        }
        auto f = std::make_unique<FileSignal>(gain);
        if (!f->open(rest, rate_hz, error)) return nullptr;
        return f;
    }
    if (error.empty())
        error = "unknown signal '" + text + "' (valid: noise, pink, sine:F, sweep:F1:F2, clicks:R, bursts:R:F, file:PATH)";
    return nullptr;
}

}  // namespace qb32::tools
