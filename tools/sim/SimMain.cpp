// qb32-sim: simulates the 32-capsule array (a rigid sphere of radius 4.2 cm)
// hit by plane waves from any directions and writes the 32 capsule signals.
//
//   qb32-sim -o scene.wav [--rate 48000] [--duration 5]
//            --source elev=90,azim=0,signal=noise[,gain=-6] [--source ...]
//
// Signals: noise, pink, sine:F, sweep:F1:F2, clicks:R, bursts:R:F, file:PATH
// (see Signals.h).
// The capsule signals line up with the sources as they pass the array's
// centre. Exit status: 0 done, 2 bad command line or source, 4 output failed.

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/common/SoundFile.h"
#include "tools/common/TextParsing.h"
#include "tools/sim/ArraySimulator.h"
#include "tools/sim/Signals.h"

using namespace qb32::tools;

namespace {

constexpr int exitUsage = 2;
constexpr int exitOutput = 4;

const char* usage =
    "usage: qb32-sim -o OUT.wav [--rate HZ] [--duration SECONDS]\n"
    "                --source elev=DEG,azim=DEG,signal=SIGNAL[,gain=DB] [--source ...]\n"
    "signals: noise | pink | sine:F | sweep:F1:F2 | clicks:PER_SECOND | bursts:PER_SECOND:F | file:MONO.wav\n";

int fail(int status, const std::string& message) {
    std::fprintf(stderr, "qb32-sim: %s\n", message.c_str());
    return status;
}

struct SourceSpec {
    Direction direction;
    std::string signal;
    double gain_db = 0.0;
};

bool parseSource(const std::string& text, SourceSpec& request, std::string& error) {
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

}  // namespace

int main(int argc, char** argv) {
    std::string output;
    double rate_hz = 48000.0;
    double duration_s = -1.0;
    std::vector<SourceSpec> requested;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "-h" || arg == "--help") {
            std::fputs(usage, stdout);
            return 0;
        } else if (arg == "-o" || arg == "--output") {
            if (!value(output)) return fail(exitUsage, arg + " needs a file name");
        } else if (arg == "--rate") {
            double r = 0.0;
            if (!value(v) || !parseNumber(v, r) || r < 8000.0 || r > 384000.0 || r != static_cast<int>(r))
                return fail(exitUsage, "--rate needs a whole number of Hz between 8000 and 384000");
            rate_hz = r;
        } else if (arg == "--duration") {
            if (!value(v) || !parseNumber(v, duration_s) || !(duration_s > 0.0) || duration_s > 86400.0)
                return fail(exitUsage, "--duration needs a positive number of seconds");
        } else if (arg == "--source") {
            SourceSpec request;
            std::string error;
            if (!value(v)) return fail(exitUsage, "--source needs a description");
            if (!parseSource(v, request, error)) return fail(exitUsage, error);
            requested.push_back(request);
        } else {
            return fail(exitUsage, "unknown option '" + arg + "'\n" + usage);
        }
    }
    if (output.empty()) return fail(exitUsage, std::string("no output file (-o)\n") + usage);
    if (requested.empty()) return fail(exitUsage, std::string("no --source\n") + usage);

    // A file source sets the default duration: the longest file.
    std::int64_t frames = duration_s > 0.0 ? static_cast<std::int64_t>(duration_s * rate_hz + 0.5) : -1;
    std::vector<std::unique_ptr<SignalSource>> sources;
    std::vector<Direction> directions;
    for (std::size_t s = 0; s < requested.size(); ++s) {
        std::string error;
        auto source = parseSignal(requested[s].signal, rate_hz, frames > 0 ? frames : static_cast<std::int64_t>(5.0 * rate_hz),
                                  requested[s].gain_db, 1234u + static_cast<unsigned>(s), error);
        if (!source) return fail(exitUsage, error);
        if (duration_s <= 0.0) frames = std::max(frames, source->naturalLength());
        sources.push_back(std::move(source));
        directions.push_back(requested[s].direction);
    }
    if (frames <= 0) frames = static_cast<std::int64_t>(5.0 * rate_hz);

    SoundFileWriter writer;
    if (!writer.open(output, capsuleCount, static_cast<int>(rate_hz))) return fail(exitOutput, writer.error());
    ArraySimulator sim(rate_hz, directions);
    std::string sourceError;
    const bool ok = simulate(
        sim, frames,
        [&](float* const* out, int n) {
            for (std::size_t s = 0; s < sources.size(); ++s)
                if (!sources[s]->fill(out[s], n) && sourceError.empty()) sourceError = sources[s]->error();
        },
        [&](const float* const* capsules, int n) { return sourceError.empty() && writer.write(capsules, n); });
    if (!sourceError.empty()) return fail(exitUsage, sourceError);
    if (!ok || !writer.commit()) return fail(exitOutput, writer.error());
    std::fprintf(stderr, "qb32-sim: wrote %s: 32 capsules, %s Hz, %.2f s, %zu source%s\n", output.c_str(),
                 formatNumber(rate_hz).c_str(), static_cast<double>(frames) / rate_hz, requested.size(),
                 requested.size() == 1 ? "" : "s");
    return 0;
}
