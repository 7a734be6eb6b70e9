// qb32-render: renders a 32-channel recording of the array into the eight
// beam signals through the shipped plug-in module, as a DAW would; or, with
// --check-order, checks whether the recording's channels match the array's
// layout. Options and exit statuses: --help (CommandLine.h, ExitStatus.h).

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/array/ChannelOrder.h"
#include "tools/common/CommandLine.h"
#include "tools/common/OutputFile.h"
#include "tools/common/SoundFile.h"
#include "tools/common/TextParsing.h"
#include "tools/render/Renderer.h"

using namespace qb32::tools;

namespace {

constexpr double checkSeconds = 60.0;

int renderMain(int argc, char** argv) {
    RenderOptions options;
    options.log = stderr;
    std::vector<std::string> beamTexts;
    std::string automationPath;
    bool checkOrder = false;
    CommandLine cli("qb32-render", "INPUT -o OUTPUT [options]\n       qb32-render INPUT --check-order [--channel-map MAP]",
                    "Renders a 32-channel recording of the array (WAV, RF64, W64, CAF, AIFF, ...; any length) into\n"
                    "the eight beams, through the plug-in module as a DAW drives it.",
                    {exitMismatch, exitUsage, exitInput, exitOutput, exitModule});
    cli.operands("INPUT", 1, [&](const std::string& v, std::string&) {
        options.input = v;
        return true;
    });
    cli.option("-o, --output", "FILE",
               "the 8 beams, one channel each; the extension picks the container:\n"
               ".wav (32-bit float, RF64 past 4 GB), .rf64, .w64, .caf, .aiff, .flac (24-bit)",
               [&](const std::string& v, std::string& e) {
                   if (v.empty()) return e = "-o needs a file name", false;
                   options.output = v;
                   return true;
               });
    cli.flag("--split", "one mono file per beam instead: FILE-beam1.wav ... FILE-beam8.wav", [&] { options.split = true; });
    cli.option("--program", "P", "start from program P (1..8; default 1)", [&](const std::string& v, std::string& e) {
        long long n = 0;
        if (!parseInteger(v, n) || n < 1 || n > qb32::programCount) return e = "--program needs a number 1..8", false;
        options.program = static_cast<int>(n - 1);
        return true;
    });
    cli.option("--beam", "N:SETTINGS", "beam N (1..8): elev=DEG,azim=DEG,pattern=NAME,on|off (any of them)",
               [&](const std::string& v, std::string&) {
                   beamTexts.push_back(v);
                   return true;
               });
    cli.option("--automation", "FILE",
               "CSV lines time_s,beam,parameter,value (parameter: elev, azim, pattern,\n"
               "status), applied on their exact sample",
               [&](const std::string& v, std::string&) {
                   automationPath = v;
                   return true;
               });
    cli.option("--channel-map", "MAP",
               "the input channel (1-based) of each capsule, capsule 0 first,\n"
               "e.g. 2,1,3-32: 32 distinct channels (the input may have more)",
               [&](const std::string& v, std::string& e) { return parseChannelMap(v, options.channelMap, e); });
    cli.flag("--check-order",
             "write nothing: check from the first minute whether the channels\n"
             "match the array's layout; suggest a --channel-map when they do not",
             [&] { checkOrder = true; });
    cli.option("--block", "FRAMES", "host block size (default 512)", [&](const std::string& v, std::string& e) {
        long long n = 0;
        if (!parseInteger(v, n) || n < 1 || n > 65536) return e = "--block needs a number of frames 1..65536", false;
        options.block_samples = static_cast<int>(n);
        return true;
    });
    cli.flag("--no-resample",
             "refuse files at rates the plug-in has no tables for (other than 44.1, 48, 88.2, 96, 176.4 and "
             "192 kHz) instead of converting them to 44100 Hz",
             [&] { options.resample = false; });
    cli.flag("--no-align", "keep the plug-in's latency in the output", [&] { options.align = false; });
    cli.option("--module", "PATH", "the plug-in module to load (default: the one built with this tool)",
               [&](const std::string& v, std::string&) {
                   options.modulePath = v;
                   return true;
               });
    cli.note("Capsule directions, the array's orientation and channel order: README, \"Tools\".");
    if (const auto status = cli.parse(argc, argv)) return *status;
    if (options.input.empty()) return cli.fail(exitUsage, "no input file (see --help)");

    std::string error;
    if (checkOrder) {
        if (!options.output.empty()) return cli.fail(exitUsage, "--check-order writes nothing: leave out -o");
        OrderCheck result;
        const int status = checkChannelOrder(options.input, options.channelMap, checkSeconds, result, error);
        if (status != exitOk) return cli.fail(status, error);
        std::fputs(formatOrderCheck(result, options.input).c_str(), stdout);
        if (result.verdict == OrderCheck::matches) return exitOk;
        cli.warn("the channels of '" + options.input + "' do not match the array's layout" +
                 (result.hint.empty() ? std::string() : ": " + result.hint));
        return exitMismatch;
    }
    if (options.output.empty()) return cli.fail(exitUsage, "no output file (-o FILE)");

    // Before anything is read: the outputs can be written and none of them
    // is an input.
    std::vector<std::string> outputs;
    std::string container;
    if (options.split)
        for (int b = 0; b < qb32::beamCount; ++b) outputs.push_back(splitFileName(options.output, b));
    else
        outputs.push_back(options.output);
    for (const auto& o : outputs) {
        if (!outputContainer(o, options.split ? 1 : qb32::beamCount, container, error)) return cli.fail(exitUsage, error);
        const int status = checkOutputPath(o, {options.input, automationPath, options.modulePath}, error);
        if (status != exitOk) return cli.fail(status, error);
    }

    ModuleFacts facts;
    if (!probeModule(options.modulePath, facts, error)) return cli.fail(exitModule, error);
    for (const auto& text : beamTexts) {
        int beam = 0;
        BeamRequest request;
        if (!parseBeamOption(text, facts.patternNames, beam, request, error)) return cli.fail(exitUsage, error);
        BeamRequest& r = options.beams[beam];
        if (request.elevation_deg) r.elevation_deg = request.elevation_deg;
        if (request.azimuth_deg) r.azimuth_deg = request.azimuth_deg;
        if (request.pattern) r.pattern = request.pattern;
        if (request.on) r.on = request.on;
    }
    if (!automationPath.empty() && !readAutomationFile(automationPath, facts.patternNames, options.automation, error))
        return cli.fail(exitInput, error);

    options.progress = !cli.quiet() && isatty(STDERR_FILENO);
    if (cli.quiet()) options.log = nullptr;
    RenderReport report;
    const int status = render(options, facts, report, error);
    if (status != exitOk) return cli.fail(status, error);
    if (report.ignoredEvents > 0)
        cli.warn(std::to_string(report.ignoredEvents) + " automation event" + (report.ignoredEvents == 1 ? "" : "s") +
                 " at or after the end of the input ignored");
    // FLAC holds integers: samples past full scale were clipped.
    std::string loud;
    double loudest_dbfs = 0.0;
    for (std::size_t b = 0; b < report.beams.size() && container == "FLAC"; ++b) {
        if (report.beams[b].peak_dbfs <= 0.0) continue;
        if (!loud.empty()) loud += ", ";
        loud += std::to_string(b + 1);
        loudest_dbfs = std::max(loudest_dbfs, report.beams[b].peak_dbfs);
    }
    if (!loud.empty()) {
        char peak[32];
        std::snprintf(peak, sizeof peak, "%+.1f dBFS", loudest_dbfs);
        cli.warn("beams " + loud + " peak above full scale (up to " + peak +
                 "): the 24-bit FLAC output clips them (.wav keeps floats)");
    }
    if (!cli.quiet()) std::fputs(formatSummary(report).c_str(), stdout);
    return exitOk;
}

}  // namespace

int main(int argc, char** argv) { return runTool("qb32-render", argc, argv, renderMain); }
