// qb32-render: renders a 32-channel recording of the array into the eight
// beam signals through the shipped plug-in module, as a DAW would.
//
//   qb32-render INPUT -o OUTPUT.wav [--split] [--program P]
//               [--beam N:elev=DEG,azim=DEG,pattern=NAME[,off]]...
//               [--automation FILE.csv] [--block FRAMES]
//               [--no-resample] [--no-align] [--module PATH] [--quiet]
//
// Exit status: 0 done; 2 bad command line (option, --beam, pattern name);
// 3 bad input (file missing or unreadable, channel count, sample rate with
// --no-resample, automation file); 4 output failed (unwritable, disk full);
// 5 the plug-in module cannot be loaded. A failed run leaves no output file.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/common/TextParsing.h"
#include "tools/render/Renderer.h"

using namespace qb32::tools;

namespace {

const char* usage =
    "usage: qb32-render INPUT -o OUTPUT.wav [options]\n"
    "  INPUT                 32-channel recording of the array (WAV, RF64, W64, FLAC, CAF, ...)\n"
    "  -o, --output FILE     8-channel 32-bit float WAV, one channel per beam (RF64 past 4 GB)\n"
    "  --split               one mono file per beam instead: FILE-beam1.wav ... FILE-beam8.wav\n"
    "  --program P           start from program P (1..8; default 1)\n"
    "  --beam N:SETTINGS     beam N (1..8): elev=DEG,azim=DEG,pattern=NAME,on|off (any of them)\n"
    "  --automation FILE     CSV lines time_s,beam,parameter,value (parameter: elev, azim,\n"
    "                        pattern, status), applied on their exact sample\n"
    "  --block FRAMES        host block size (default 512)\n"
    "  --no-resample         refuse files at rates the plug-in has no tables for (other than 44.1, 48,\n"
    "                        88.2, 96, 176.4, 192 kHz) instead of converting them to 44100 Hz\n"
    "  --no-align            keep the plug-in's latency in the output\n"
    "  --module PATH         the plug-in module to load (default: the one built with this tool)\n"
    "  --quiet               no progress bar, no summary\n";

int fail(int status, const std::string& message) {
    std::fprintf(stderr, "qb32-render: %s\n", message.c_str());
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    RenderOptions options;
    options.log = stderr;
    std::vector<std::string> beamTexts;
    std::string automationPath;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string v;
        auto value = [&]() {
            if (i + 1 >= argc) return false;
            v = argv[++i];
            return true;
        };
        long long n = 0;
        if (arg == "-h" || arg == "--help") {
            std::fputs(usage, stdout);
            return exitOk;
        } else if (arg == "-o" || arg == "--output") {
            if (!value() || v.empty()) return fail(exitUsage, arg + " needs a file name");
            options.output = v;
        } else if (arg == "--split") {
            options.split = true;
        } else if (arg == "--program") {
            if (!value() || !parseInteger(v, n) || n < 1 || n > qb32::programCount)
                return fail(exitUsage, "--program needs a number 1..8");
            options.program = static_cast<int>(n - 1);
        } else if (arg == "--beam") {
            if (!value()) return fail(exitUsage, "--beam needs N:SETTINGS");
            beamTexts.push_back(v);
        } else if (arg == "--automation") {
            if (!value()) return fail(exitUsage, "--automation needs a file name");
            automationPath = v;
        } else if (arg == "--block") {
            if (!value() || !parseInteger(v, n) || n < 1 || n > 65536)
                return fail(exitUsage, "--block needs a number of frames 1..65536");
            options.block_samples = static_cast<int>(n);
        } else if (arg == "--no-resample") {
            options.resample = false;
        } else if (arg == "--no-align") {
            options.align = false;
        } else if (arg == "--module") {
            if (!value()) return fail(exitUsage, "--module needs a path");
            options.modulePath = v;
        } else if (arg == "--quiet") {
            quiet = true;
        } else if (!arg.empty() && arg[0] == '-') {
            return fail(exitUsage, "unknown option '" + arg + "' (see --help)");
        } else if (options.input.empty()) {
            options.input = arg;
        } else {
            return fail(exitUsage, "more than one input file ('" + options.input + "', '" + arg + "')");
        }
    }
    if (options.input.empty()) return fail(exitUsage, std::string("no input file\n") + usage);
    if (options.output.empty()) return fail(exitUsage, "no output file (-o FILE)");

    ModuleFacts facts;
    std::string error;
    if (!probeModule(options.modulePath, facts, error)) return fail(exitModule, error);
    for (const auto& text : beamTexts) {
        int beam = 0;
        BeamRequest request;
        if (!parseBeamOption(text, facts.patternNames, beam, request, error)) return fail(exitUsage, error);
        BeamRequest& r = options.beams[beam];
        if (request.elevation_deg) r.elevation_deg = request.elevation_deg;
        if (request.azimuth_deg) r.azimuth_deg = request.azimuth_deg;
        if (request.pattern) r.pattern = request.pattern;
        if (request.on) r.on = request.on;
    }
    if (!automationPath.empty() && !readAutomationFile(automationPath, facts.patternNames, options.automation, error))
        return fail(exitInput, error);

    options.progress = !quiet && isatty(STDERR_FILENO);
    if (quiet) options.log = nullptr;
    RenderReport report;
    const int status = render(options, facts, report, error);
    if (status != exitOk) return fail(status, error);
    if (report.ignoredEvents > 0)
        std::fprintf(stderr, "qb32-render: %d automation event%s after the end of the input ignored\n",
                     report.ignoredEvents, report.ignoredEvents == 1 ? "" : "s");
    if (!quiet) std::fputs(formatSummary(report).c_str(), stdout);
    return exitOk;
}
