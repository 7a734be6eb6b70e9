// qb32-editor-shot: a picture of the editor playing the demo scene, made
// without any window: the three sources of the demo (a sweep in front, pink
// noise up to the left, tone bursts down to the right behind) on the
// simulated array at 44100 Hz, through the plug-in with beams on two of them
// (the bursts are left for the user to find on the map), the beam map drawn
// off-screen after a few seconds of audio and written as a PNG.
//
//   qb32-editor-shot [-o FILE.png] [--scale 1|2] [--seconds S]

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "editor/BeamMapView.h"
#include "patterns/CQbPattern.h"
#include "plugin/CQB32Vst.h"
#include "tools/common/CommandLine.h"
#include "tools/common/PngFile.h"
#include "tools/common/TextParsing.h"
#include "tools/sim/ArraySimulator.h"
#include "tools/sim/Signals.h"

using namespace qb32;

namespace {

constexpr int rate_hz = 44100;
constexpr int block_samples = 512;

vst::VstIntPtr QB32_VSTCALL host(vst::AEffect*, vst::VstInt32 opcode, vst::VstInt32, vst::VstIntPtr, void*, float) {
    return opcode == vst::audioMasterVersion ? vst::vstVersion : 0;
}

struct Source {
    const char* signal;
    double gain_db;  // so that the three spots show at similar levels
    tools::Direction direction;
};
const Source sources[] = {
    {"sweep:200:6000", -8.0, {90.0, 0.0}},
    {"pink", 3.0, {50.0, 120.0}},
    {"bursts:6:2500", -4.0, {120.0, 240.0}},
};

struct BeamSetting {
    int elevation, azimuth;
    const char* pattern;
    bool on;
};
// Beams 1 and 2 on the sweep and the noise; the others off, parked low.
const BeamSetting beamSettings[beamCount] = {
    {90, 0, "card3", true},      {50, 120, "hyper2", true},  {165, 150, "omni", false},
    {165, 300, "omni", false},   {165, 210, "omni", false},  {165, 60, "omni", false},
    {165, 90, "omni", false},    {165, 30, "omni", false},
};

int patternNumber(CQB32Vst& plugin, const char* name) {
    const CQb32& engine = plugin.getEngine();
    for (int p = 0; p < engine.getPatternCount(); ++p)
        if (std::string(engine.getPattern(p)->name) == name) return p;
    return 0;
}

}  // namespace

int editorShotMain(int argc, char** argv) {
    using namespace qb32::tools;
    std::string output = "docs/editor.png";
    int scale = 1;
    double seconds = 3.0;
    CommandLine cli("qb32-editor-shot", "[-o FILE.png] [--scale 1|2] [--seconds S]",
                    "Draws the plug-in's beam map without any window while the demo scene plays through the\n"
                    "plug-in (a sweep in front, pink noise up to the left, tone bursts behind to the right),\n"
                    "and writes it as a PNG.",
                    {exitUsage, exitOutput});
    cli.option("-o, --output", "FILE.png", "the picture (default docs/editor.png)", [&](const std::string& v, std::string& e) {
        if (v.empty()) return e = "-o needs a file name", false;
        output = v;
        return true;
    });
    cli.option("--scale", "1|2", "pixels per point (default 1)", [&](const std::string& v, std::string& e) {
        long long n = 0;
        if (!parseInteger(v, n) || (n != 1 && n != 2)) return e = "--scale takes 1 or 2", false;
        scale = static_cast<int>(n);
        return true;
    });
    cli.option("--seconds", "S", "audio played before the picture (default 3)", [&](const std::string& v, std::string& e) {
        if (!parseNumber(v, seconds) || !(seconds > 0.0) || seconds > 600.0)
            return e = "--seconds needs a number of seconds above 0, at most 600", false;
        return true;
    });
    if (const auto status = cli.parse(argc, argv)) return *status;
    auto plugin = std::make_unique<CQB32Vst>(host);
    plugin->dispatcher(vst::effSetSampleRate, 0, 0, nullptr, static_cast<float>(rate_hz));
    plugin->dispatcher(vst::effSetBlockSize, 0, block_samples, nullptr, 0.0f);
    plugin->dispatcher(vst::effMainsChanged, 0, 1, nullptr, 0.0f);
    const int patterns = plugin->getEngine().getPatternCount();
    for (int b = 0; b < beamCount; ++b) {
        const BeamSetting& s = beamSettings[b];
        plugin->setParameter(4 * b + elevationKind, (s.elevation + 0.5f) / 180.0f);
        plugin->setParameter(4 * b + azimuthKind, (s.azimuth + 0.5f) / 360.0f);
        plugin->setParameter(4 * b + patternKind, (patternNumber(*plugin, s.pattern) + 0.5f) / static_cast<float>(patterns));
        plugin->setParameter(4 * b + statusKind, s.on ? 1.0f : 0.0f);
    }
    PluginEditor& editorSide = plugin->editorSide();
    if (!editorSide.openWithoutWindow(scale)) return cli.fail(exitInternal, "the editor does not open");
    editor::BeamMapView& view = *editorSide.mapView();

    const auto frames = static_cast<std::int64_t>(seconds * rate_hz);
    std::vector<tools::Direction> directions;
    std::vector<std::unique_ptr<tools::SignalSource>> signals;
    std::string error;
    for (const Source& s : sources) {
        directions.push_back(s.direction);
        signals.push_back(tools::parseSignal(s.signal, rate_hz, frames, s.gain_db, 1234u + static_cast<unsigned>(signals.size()), error));
        if (!signals.back()) return cli.fail(exitInternal, error);
    }
    tools::ArraySimulator sim(rate_hz, directions);
    std::vector<std::vector<float>> out(beamCount, std::vector<float>(block_samples));
    std::vector<float*> outputs;
    for (auto& o : out) outputs.push_back(o.data());
    std::int64_t sinceFrame = 0;
    const bool ok = tools::simulate(
        sim, frames,
        [&](float* const* s, int n) {
            for (std::size_t i = 0; i < signals.size(); ++i) signals[i]->fill(s[i], n);
        },
        [&](const float* const* capsules, int n) {
            for (int offset = 0; offset < n; offset += block_samples) {
                const int piece = std::min(block_samples, n - offset);
                float* in[CQB32Vst::inputCount];
                for (int c = 0; c < CQB32Vst::inputCount; ++c) in[c] = const_cast<float*>(capsules[c]) + offset;
                plugin->processReplacing(in, outputs.data(), piece);
                sinceFrame += piece;
                if (sinceFrame >= rate_hz / 25) {  // the window's frame rate
                    view.frame();
                    sinceFrame = 0;
                }
            }
            return true;
        });
    if (!ok) return cli.fail(exitInternal, "the simulation failed");
    view.frame();
    if (!tools::writePng(output, view.pixels().data(), view.width(), view.height(), error))
        return cli.fail(exitOutput, error);
    if (!cli.quiet())
        std::printf("wrote %s (%d x %d), loudest direction elevation %.0f, azimuth %.0f\n",
                    output.c_str(), view.width(), view.height(), view.energy().loudest().elevation_deg,
                    view.energy().loudest().azimuth_deg);
    return 0;
}

int main(int argc, char** argv) { return qb32::tools::runTool("qb32-editor-shot", argc, argv, editorShotMain); }
