// qb32-patterns: measures every pattern of the plug-in on the simulated
// array and writes into a folder one SVG picture per pattern (the polar
// plots of both measured great circles) and README.md with the table.
// Options and exit statuses: --help (CommandLine.h, ExitStatus.h).
//
// The folder is always named with -o: the tool never picks a default, so it
// cannot rewrite docs/patterns of whatever checkout it runs in by accident.
// The plug-in runs at --rate R Hz (44100 by default; any rate it has tables
// for): at 44100 Hz the files are README.md and NAME.svg, at another rate
// RkHz.md and NAME-RkHz.svg beside them (48kHz.md, card3-48kHz.svg).

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "framework/SampleRates.h"
#include "tools/common/CommandLine.h"
#include "tools/common/OutputFile.h"
#include "tools/common/TextParsing.h"
#include "tools/patterns-plot/PatternMeasurement.h"
#include "tools/patterns-plot/PolarPlot.h"
#include "tools/render/PluginHost.h"

using namespace qb32::tools;

namespace {

int patternsMain(int argc, char** argv) {
    std::string folder;
    std::string modulePath = PluginHost::defaultModulePath();
    MeasurementSetup setup;
    CommandLine cli("qb32-patterns", "-o FOLDER [--look ELEV,AZIM] [--rate R] [--module PATH]",
                    "Measures every pattern through the plug-in module on the simulated array and writes one SVG\n"
                    "picture per pattern (polar plots of two great circles through the look direction) and\n"
                    "README.md with the directivity table into FOLDER (the project's own: docs/patterns).",
                    {exitUsage, exitOutput, exitModule});
    cli.option("-o, --output", "FOLDER", "where the pictures and README.md go (created if missing)",
               [&](const std::string& v, std::string& e) {
                   if (v.empty()) return e = "-o needs a folder", false;
                   folder = v;
                   return true;
               });
    cli.option("--look", "ELEV,AZIM", "the direction the beams are aimed at (default 90,0: the front)",
               [&](const std::string& v, std::string& e) {
                   const auto parts = split(v, ',');
                   if (parts.size() != 2 || !parseNumber(parts[0], setup.look.elevation_deg) ||
                       !parseNumber(parts[1], setup.look.azimuth_deg) || setup.look.elevation_deg < 0.0 ||
                       setup.look.elevation_deg > 180.0)
                       return e = "--look needs ELEV,AZIM in degrees (elevation 0..180)", false;
                   return true;
               });
    cli.option("--rate", "R",
               "the session rate the plug-in runs at (default 44100; 48000, 88200, 96000, 176400 or 192000)",
               [&](const std::string& v, std::string& e) {
                   double rate = 0.0;
                   if (!parseNumber(v, rate) || !qb32::sampleRates::isSupported(rate))
                       return e = "--rate needs one of the plug-in's rates: 44100, 48000, 88200, 96000, 176400, "
                                  "192000",
                              false;
                   setup.sampleRate_hz = static_cast<int>(rate);
                   return true;
               });
    cli.option("--module", "PATH", "the plug-in module to measure (default: the one built with this tool)",
               [&](const std::string& v, std::string&) {
                   modulePath = v;
                   return true;
               });
    if (const auto status = cli.parse(argc, argv)) return *status;
    if (folder.empty()) return cli.fail(exitUsage, "no output folder: give -o FOLDER (the project's plots live in docs/patterns)");
    if (outputKind(folder) != OutputKind::missing && outputKind(folder) != OutputKind::directory)
        return cli.fail(exitOutput, "cannot write into '" + folder + "': it is not a folder");

    const auto started = std::chrono::steady_clock::now();
    ModuleFacts facts;
    std::string error;
    if (!probeModule(modulePath, facts, error)) return cli.fail(exitModule, error);
    std::vector<PatternResult> results;
    if (!measurePatterns(modulePath, facts.patternNames, {}, setup, results, error)) return cli.fail(exitModule, error);

    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) return cli.fail(exitOutput, "cannot create '" + folder + "': " + ec.message());
    const bool reference = setup.sampleRate_hz == qb32::sampleRates::reference_hz;
    const std::string rateLabel = formatNumber(setup.sampleRate_hz / 1000.0) + "kHz";
    const std::string suffix = reference ? "" : "-" + rateLabel;
    const std::string look = "elevation " + formatNumber(setup.look.elevation_deg) + ", azimuth " +
                             formatNumber(setup.look.azimuth_deg);
    std::string md = "# Beam patterns, measured" +
                     (reference ? std::string() : " with the plug-in at " + formatNumber(setup.sampleRate_hz / 1000.0) + " kHz") +
                     "\n\n"
                     "Generated by `qb32-patterns -o docs/patterns" +
                     (reference ? std::string() : " --rate " + std::to_string(setup.sampleRate_hz)) +
                     "` (tools/patterns-plot/): plane waves on the simulated "
                     "array (rigid sphere, radius 4.2 cm, the 32 capsule directions) every " +
                     std::to_string(setup.circleStep_deg) +
                     " degrees on two great circles through the look direction (" + look +
                     "): sideways (for a look direction on the horizon, the horizontal plane) and upwards "
                     "(the vertical plane through the look direction); and " +
                     std::to_string(setup.spherePoints) +
                     " directions spread over the sphere, through the plug-in module, in octave bands. Each "
                     "picture shows both circles, the look direction at the top and angles counter-clockwise "
                     "from it (90 degrees to the left), as azimuth runs seen from above.\n\n"
                     "- directivity index: power at the pattern's maximum over the mean power on the sphere;\n"
                     "- front-to-back: power of the front hemisphere over that of the back hemisphere;\n"
                     "- worst deviation: largest difference from the theoretical pattern on both circles where "
                     "the theory lies above -15 dB (both normalised to their maxima).\n\n"
                     "Below about 2 kHz the patterns give up directivity on purpose, to limit the noise "
                     "gain of the higher orders. From 8 kHz up the high band takes over: the beams come from the "
                     "capsules nearest to the look direction, not from the pattern, so the 8 and 16 kHz columns "
                     "and the dotted 16 kHz curves stray from the theory and nulls fill in (the torus's null along "
                     "its axis and the dipole's at right angles most visibly).\n\n";
    if (reference) {  // the pages of the other rates measured into this folder
        std::string others;
        for (int rate : qb32::sampleRates::supported_hz) {
            const std::string label = formatNumber(rate / 1000.0);
            const std::string page = label + "kHz.md";
            if (rate == setup.sampleRate_hz || !std::filesystem::exists(folder + "/" + page)) continue;
            // Appended piece by piece: g++ 12 warns (-Wrestrict) on a
            // literal prepended to a temporary string.
            if (!others.empty()) others += ", ";
            others += '[';
            others += label;
            others += " kHz](";
            others += page;
            others += ')';
        }
        if (!others.empty()) md += "The same measurement with the plug-in at other session rates: " + others + ".\n\n";
    }
    md += patternTableMarkdown(results, setup);
    md += "\n";
    for (const auto& r : results) {
        const std::string name = r.name + suffix + ".svg";
        if (!writeTextFile(folder + "/" + name, polarPlotSvg(r, setup), error)) return cli.fail(exitOutput, error);
        md += "![" + r.name + "](" + name + ")\n\n" + r.name + ": " + highBandNote(r) + ".\n\n";
    }
    const std::string page = reference ? "README.md" : rateLabel + ".md";
    if (!writeTextFile(folder + "/" + page, md, error)) return cli.fail(exitOutput, error);
    if (!cli.quiet()) {
        std::fputs(patternTableMarkdown(results, setup).c_str(), stdout);
        std::printf("wrote %s/%s and %zu plots: %zu patterns measured in %.1f s\n", folder.c_str(), page.c_str(),
                    results.size(), results.size(),
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
    return exitOk;
}

}  // namespace

int main(int argc, char** argv) { return runTool("qb32-patterns", argc, argv, patternsMain); }
