#pragma once
// PluginHost: drives the shipped plug-in module the way a DAW does. It loads
// the module (qb32.so) with the dynamic loader, calls its exported entry
// point VSTPluginMain with a host callback that answers the version query
// with 2400, and from then on uses nothing but the effect record: the
// dispatcher, setParameter, getParameter and processReplacing.
//
// Parameter values: the helpers below turn degrees, pattern numbers and
// on/off into the normalised values the plug-in maps back (elevation
// v x 180, azimuth v x 360, both truncated to whole degrees by the engine, so
// the values aim at the middle of the wanted degree).
//
// Probe: a fresh instance measures the module's latency at a rate (an impulse
// on every capsule, the peak of the default omnidirectional beam) and lists
// the pattern names as the plug-in displays them, in parameter order.
//
// Errors: load() and probe() answer false with a one-line message.

#include <string>
#include <vector>

#include "plugin/Parameters.h"
#include "plugin/vst/AEffect.h"

namespace qb32::tools {

// The rate files at a rate the plug-in has no tables for are converted to.
inline constexpr int engineRate_hz = 44100;
inline constexpr int pluginInputs = 32;
inline constexpr int pluginOutputs = beamCount;

class PluginHost {
public:
    PluginHost() = default;
    ~PluginHost();
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    // The module built beside the tools (compiled in), for a default.
    static std::string defaultModulePath();

    bool load(const std::string& modulePath, std::string& error);
    // Host start-up: the sample rate, the block size, then switched on.
    void start(int blockSize_samples, int sampleRate_hz = engineRate_hz);
    void selectProgram(int program);  // 0..7
    void setParameter(int index, float value);
    [[nodiscard]] float getParameter(int index);
    [[nodiscard]] std::string parameterDisplay(int index);
    void process(float** inputs, float** outputs, int frames);
    [[nodiscard]] vst::AEffect* effect() const noexcept { return instance; }

private:
    void close();
    void* handle = nullptr;
    vst::AEffect* instance = nullptr;
};

struct ModuleFacts {
    int latency_samples = 0;                // at the rate probed
    int sampleRate_hz = engineRate_hz;      // the rate probed
    std::vector<std::string> patternNames;  // in parameter order
};
// Measures at one of the plug-in's rates (44100 by default).
bool probeModule(const std::string& modulePath, ModuleFacts& facts, std::string& error,
                 int sampleRate_hz = engineRate_hz);

// Normalised parameter values.
inline int parameterIndex(int beam, ParameterKind kind) { return beam * parametersPerBeam + kind; }
float elevationValue(int degrees);  // 0..180
float azimuthValue(int degrees);    // any; reduced to 0..359
float patternValue(int pattern, int patternCount);
inline float statusValue(bool on) { return on ? 1.0f : 0.0f; }

}  // namespace qb32::tools
