#pragma once
// The renderer's core: turns a 32-channel recording of the array into the
// eight beam signals by driving the shipped plug-in module as a host does
// (PluginHost), in blocks, with constant memory whatever the file's length.
//
// Pipeline: sound file (libsndfile) -> plug-in at the file's rate when it has
// tables for it (44.1, 48, 88.2, 96, 176.4, 192 kHz; [else libsoxr to
// 44100 Hz]) -> plug-in in
// host blocks, split at every automation event so that each change lands on
// its sample -> [latency removed: the module's at its rate] -> [libsoxr back
// to the file's rate] ->
// one 8-channel float WAV, or 8 mono files (--split), written to temporary
// files and renamed only when everything succeeded.
//
// Start: the requested beam settings are reached during a pre-roll of
// silence that is not written, so the output carries them from its first
// sample (a host starting playback would hear the glides and crossfades).
//
// Alignment (default): the module's constant latency is dropped at the
// start and its tail flushed with silence at the end, so the output has the
// input's length and beam samples line up with the capsule samples. Without
// alignment the output is the plug-in's raw output, same length.
//
// Channel map: capsule q is read from input channel channelMap[q] (0-based);
// without a map the input must have exactly 32 channels, with one it may
// have more (the map picks 32 of them).
//
// Refused inputs: a wrong channel count, an empty file (no audio: nothing
// is written), a rate it cannot take.
//
// Automation times: an event at or past the end of the input (however far:
// times saturate instead of overflowing) is not applied and is counted in
// RenderReport::ignoredEvents.
//
// Status: render() answers an exit status (ExitStatus) and, unless it is
// ok, a one-line message. Nothing here throws.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/ExitStatus.h"
#include "tools/render/PluginHost.h"

namespace qb32::tools {

// Settings of one beam given on the command line; unset fields keep the
// program's values.
struct BeamRequest {
    std::optional<int> elevation_deg;
    std::optional<int> azimuth_deg;
    std::optional<int> pattern;
    std::optional<bool> on;
};

struct AutomationEvent {
    double time_s = 0.0;
    int beam = 0;  // 0..7
    ParameterKind kind = elevationKind;
    float value = 0.0f;  // normalised parameter value
    int line = 0;        // in the automation file
};

struct RenderOptions {
    std::string input;
    std::string output;
    std::vector<int> channelMap;  // [capsule] = input channel, 0-based; empty: the input's order
    bool split = false;
    int program = 0;  // 0..7
    BeamRequest beams[beamCount];
    std::vector<AutomationEvent> automation;
    bool resample = true;
    bool align = true;
    int block_samples = 512;
    std::string modulePath = PluginHost::defaultModulePath();
    std::FILE* log = nullptr;  // notes and progress; null: silent
    bool progress = false;     // draw a progress bar on `log`
};

struct BeamReport {
    std::string elevation, azimuth, pattern, status;  // as the plug-in displays them, at the end
    bool automated = false;
    double rms_dbfs = 0.0;
    double peak_dbfs = 0.0;
};

struct RenderReport {
    std::int64_t frames = 0;
    double sampleRate_hz = 0.0;  // the file's
    int pluginRate_hz = 0;       // the rate the plug-in ran at
    bool resampled = false;
    int latency_samples = 0;
    double wall_s = 0.0;
    std::vector<BeamReport> beams;
    std::vector<std::string> outputs;
    int ignoredEvents = 0;  // automation past the end of the input
};

// "N:elev=DEG,azim=DEG,pattern=NAME[,off]" (N = 1..8; any subset of the keys;
// "on"/"off" flags). Degrees are rounded to whole degrees.
bool parseBeamOption(const std::string& text, const std::vector<std::string>& patternNames, int& beam,
                     BeamRequest& request, std::string& error);
// CSV "time_s,beam,parameter,value"; time a finite number of seconds >= 0;
// parameter elev, azim, pattern or status;
// a header line, blank lines and lines starting with '#' are skipped.
// Errors name the file and line: "auto.csv:3: ...".
bool parseAutomation(const std::string& text, const std::string& fileName,
                     const std::vector<std::string>& patternNames, std::vector<AutomationEvent>& events,
                     std::string& error);
bool readAutomationFile(const std::string& path, const std::vector<std::string>& patternNames,
                        std::vector<AutomationEvent>& events, std::string& error);

// The file names of --split: "out.wav" -> "out-beam1.wav" ... "out-beam8.wav".
std::string splitFileName(const std::string& output, int beam);

int render(const RenderOptions& options, const ModuleFacts& facts, RenderReport& report, std::string& error);

// The summary table: per beam direction, pattern, status, RMS and peak in
// dBFS; then rates, latency and the real-time factor.
std::string formatSummary(const RenderReport& report);

}  // namespace qb32::tools
