// qb32-sim: simulates the 32-capsule array (a rigid sphere of radius 4.2 cm)
// hit by plane waves from any directions and writes the 32 capsule signals.
// The capsule signals line up with the sources as they pass the array's
// centre. Options and exit statuses: --help (CommandLine.h, ExitStatus.h).
//
// Full scale: the peak of the capsule signals is measured as they are
// written; past 0 dBFS a warning says by how much (a float file keeps the
// values, but integer conversions and most players clip). --normalize runs
// the simulation twice, the first time only to measure the peak, and scales
// the written signals so that it lies at -1 dBFS (the sources are seeded and
// files are reread, so both runs produce the same signals).

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tools/common/CommandLine.h"
#include "tools/common/OutputFile.h"
#include "tools/common/SoundFile.h"
#include "tools/common/TextParsing.h"
#include "tools/sim/ArraySimulator.h"
#include "tools/sim/Signals.h"

using namespace qb32::tools;

namespace {

constexpr double maxDuration_s = 86400.0;
constexpr double normalizedPeak_dbfs = -1.0;

struct SourceRequest {
    Direction direction;
    std::string signal;
    double gain_db = 0.0;
};

// The path of a "file:PATH" signal; empty for generators.
std::string signalFile(const std::string& signal) { return signal.rfind("file:", 0) == 0 ? signal.substr(5) : std::string(); }

bool parseSource(const std::string& text, SourceRequest& request, std::string& error) {
    bool haveElevation = false, haveAzimuth = false;
    for (const std::string& item : split(text, ',')) {
        const auto eq = item.find('=');
        const std::string key = trim(item.substr(0, eq));
        const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        double v = 0.0;
        if (key == "signal" && eq != std::string::npos) {
            request.signal = trim(value);
        } else if ((key == "elev" || key == "azim" || key == "gain") && parseNumber(value, v)) {
            if (key == "elev") {
                if (v < 0.0 || v > 180.0) {
                    error = "--source '" + text + "': elevation must lie in 0..180 degrees";
                    return false;
                }
                request.direction.elevation_deg = v;
                haveElevation = true;
            } else if (key == "azim") {
                request.direction.azimuth_deg = v;
                haveAzimuth = true;
            } else {
                request.gain_db = v;
            }
        } else {
            error = "--source '" + text + "': cannot read '" + item +
                    "' (expected elev=DEG, azim=DEG, signal=SIGNAL, gain=DB)";
            return false;
        }
    }
    if (!haveElevation || !haveAzimuth || request.signal.empty()) {
        error = "--source '" + text + "': needs elev=, azim= and signal=";
        return false;
    }
    return true;
}

int simMain(int argc, char** argv) {
    std::string output;
    double rate_hz = 48000.0;
    double duration_s = -1.0;
    bool normalize = false;
    std::vector<SourceRequest> requested;
    CommandLine cli("qb32-sim", "-o OUT.wav [--rate HZ] [--duration SECONDS] [--normalize]\n"
                                "                --source elev=DEG,azim=DEG,signal=SIGNAL[,gain=DB] [--source ...]",
                    "Simulates the array (a rigid sphere of 4.2 cm radius with the 32 capsules) in a sound field of\n"
                    "plane waves and writes the 32 capsule signals (32-bit float).",
                    {exitUsage, exitInput, exitOutput});
    cli.option("-o, --output", "FILE", "the 32 capsule signals; .wav (RF64 past 4 GB), .rf64, .w64, .caf or .aiff",
               [&](const std::string& v, std::string& e) {
                   if (v.empty()) return e = "-o needs a file name", false;
                   output = v;
                   return true;
               });
    cli.option("--rate", "HZ", "sample rate (default 48000)", [&](const std::string& v, std::string& e) {
        double r = 0.0;
        if (!parseNumber(v, r) || r < 8000.0 || r > 384000.0 || r != std::floor(r))
            return e = "--rate needs a whole number of Hz between 8000 and 384000", false;
        rate_hz = r;
        return true;
    });
    cli.option("--duration", "SECONDS", "length (default: the longest file source, else 5 s; at most a day)",
               [&](const std::string& v, std::string& e) {
                   if (!parseNumber(v, duration_s) || !(duration_s > 0.0))
                       return e = "--duration needs a positive number of seconds", false;
                   if (duration_s > maxDuration_s)
                       return e = "--duration " + trim(v) + " s is too long (at most 86400 s, one day)", false;
                   return true;
               });
    cli.option("--source", "DESCRIPTION",
               "a plane wave: elev=DEG,azim=DEG,signal=SIGNAL[,gain=DB] (repeat for more)",
               [&](const std::string& v, std::string& e) {
                   SourceRequest request;
                   if (!parseSource(v, request, e)) return false;
                   requested.push_back(request);
                   return true;
               });
    cli.flag("--normalize", "scale the capsule signals so that their peak lies at -1 dBFS", [&] { normalize = true; });
    cli.note("signals: noise | pink | sine:F | sweep:F1:F2 | clicks:PER_SECOND | bursts:PER_SECOND:F | file:MONO.wav\n"
             "Directions: elevation from the zenith (0 up, 90 horizon, 180 down), azimuth counter-clockwise\n"
             "seen from above, 0 in front of the array (README, \"Tools\").");
    if (const auto status = cli.parse(argc, argv)) return *status;
    if (output.empty()) return cli.fail(exitUsage, "no output file (-o FILE)");
    if (requested.empty()) return cli.fail(exitUsage, "no --source (see --help)");

    // Before anything is read: the output can be written and is no source file.
    std::string error, container;
    std::vector<std::string> inputs;
    for (const auto& r : requested) inputs.push_back(signalFile(r.signal));
    if (!outputContainer(output, capsuleCount, container, error)) return cli.fail(exitUsage, error);
    if (const int status = checkOutputPath(output, inputs, error); status != exitOk) return cli.fail(status, error);

    // A file source sets the default duration: the longest file.
    std::int64_t frames = duration_s > 0.0 ? static_cast<std::int64_t>(duration_s * rate_hz + 0.5) : -1;
    std::vector<Direction> directions;
    // Generated signals (a sweep spans its whole length) get one length for
    // every run over the sources: --normalize's measuring run and the written one.
    const std::int64_t generatorFrames = frames > 0 ? frames : static_cast<std::int64_t>(5.0 * rate_hz);
    auto makeSources = [&](std::vector<std::unique_ptr<SignalSource>>& sources) -> int {
        sources.clear();
        for (std::size_t s = 0; s < requested.size(); ++s) {
            auto source = parseSignal(requested[s].signal, rate_hz, generatorFrames, requested[s].gain_db,
                                      1234u + static_cast<unsigned>(s), error);
            if (!source) return signalFile(requested[s].signal).empty() ? exitUsage : exitInput;
            if (!signalFile(requested[s].signal).empty() && source->naturalLength() == 0) {
                error = "source file '" + signalFile(requested[s].signal) + "' holds no audio (0 frames)";
                return exitInput;
            }
            sources.push_back(std::move(source));
        }
        return exitOk;
    };
    std::vector<std::unique_ptr<SignalSource>> sources;
    if (const int status = makeSources(sources); status != exitOk) return cli.fail(status, error);
    for (std::size_t s = 0; s < requested.size(); ++s) {
        if (duration_s <= 0.0) frames = std::max(frames, sources[s]->naturalLength());
        directions.push_back(requested[s].direction);
    }
    if (frames <= 0) frames = static_cast<std::int64_t>(5.0 * rate_hz);

    ArraySimulator sim(rate_hz, directions);
    std::string sourceError;
    auto fill = [&](float* const* out, int n) {
        for (std::size_t s = 0; s < sources.size(); ++s)
            if (!sources[s]->fill(out[s], n) && sourceError.empty()) sourceError = sources[s]->error();
    };
    double scale = 1.0;
    if (normalize) {
        double peak = 0.0;
        simulate(sim, frames, fill, [&](const float* const* capsules, int n) {
            for (int c = 0; c < capsuleCount; ++c)
                for (int i = 0; i < n; ++i) peak = std::max(peak, static_cast<double>(std::fabs(capsules[c][i])));
            return sourceError.empty();
        });
        if (!sourceError.empty()) return cli.fail(exitInput, sourceError);
        if (peak > 0.0) scale = std::pow(10.0, normalizedPeak_dbfs / 20.0) / peak;
        if (const int status = makeSources(sources); status != exitOk) return cli.fail(status, error);
        sim.reset();
    }

    SoundFileWriter writer;
    if (!writer.open(output, capsuleCount, static_cast<int>(rate_hz))) return cli.fail(exitOutput, writer.error());
    std::vector<std::vector<float>> scaled(capsuleCount);
    std::vector<const float*> scaledPtr(capsuleCount);
    double peak = 0.0;
    const bool ok = simulate(sim, frames, fill, [&](const float* const* capsules, int n) {
        if (!sourceError.empty()) return false;
        for (int c = 0; c < capsuleCount; ++c) {
            auto& s = scaled[static_cast<std::size_t>(c)];
            s.resize(static_cast<std::size_t>(n));
            for (int i = 0; i < n; ++i) {
                s[static_cast<std::size_t>(i)] = static_cast<float>(capsules[c][i] * scale);
                peak = std::max(peak, static_cast<double>(std::fabs(s[static_cast<std::size_t>(i)])));
            }
            scaledPtr[static_cast<std::size_t>(c)] = s.data();
        }
        return writer.write(scaledPtr.data(), n);
    });
    if (!sourceError.empty()) return cli.fail(exitInput, sourceError);
    if (!ok || !writer.commit()) return cli.fail(exitOutput, writer.error());
    if (peak > 1.0) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "the capsule signals peak at %+.1f dBFS, above full scale (the float file keeps them, but "
                      "integer formats and most players clip): lower the gains or use --normalize",
                      20.0 * std::log10(peak));
        cli.warn(text);
    }
    if (!cli.quiet())
        std::printf("wrote %s: 32 capsules, %s Hz, %.2f s, %zu source%s, peak %.1f dBFS%s\n", output.c_str(),
                    formatNumber(rate_hz).c_str(), static_cast<double>(frames) / rate_hz, requested.size(),
                    requested.size() == 1 ? "" : "s", peak > 0.0 ? 20.0 * std::log10(peak) : -HUGE_VAL,
                    normalize ? " (normalized)" : "");
    return exitOk;
}

}  // namespace

int main(int argc, char** argv) { return runTool("qb32-sim", argc, argv, simMain); }
