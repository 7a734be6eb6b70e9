#include "tools/render/PluginHost.h"

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qb32::tools {

namespace {

vst::VstIntPtr QB32_VSTCALL hostCallback(vst::AEffect*, vst::VstInt32 opcode, vst::VstInt32, vst::VstIntPtr,
                                         void*, float) {
    return opcode == vst::audioMasterVersion ? vst::vstVersion : 0;
}

}  // namespace

std::string PluginHost::defaultModulePath() { return QB32_MODULE_PATH; }

PluginHost::~PluginHost() { close(); }

void PluginHost::close() {
    if (instance != nullptr) {
        instance->dispatcher(instance, vst::effMainsChanged, 0, 0, nullptr, 0.0f);
        instance->dispatcher(instance, vst::effClose, 0, 0, nullptr, 0.0f);
        instance = nullptr;
    }
    if (handle != nullptr) {
        dlclose(handle);
        handle = nullptr;
    }
}

bool PluginHost::load(const std::string& modulePath, std::string& error) {
    close();
    handle = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        error = "cannot load the plug-in module '" + modulePath + "': " + (why ? why : "unknown error");
        return false;
    }
    void* entry = dlsym(handle, "VSTPluginMain");
    if (entry == nullptr) entry = dlsym(handle, "main");
    if (entry == nullptr) {
        error = "'" + modulePath + "' exports no VSTPluginMain: not a VST 2.4 module";
        close();
        return false;
    }
    vst::EntryProc main = nullptr;
    static_assert(sizeof main == sizeof entry);
    std::memcpy(&main, &entry, sizeof main);
    instance = main(hostCallback);
    if (instance == nullptr || instance->magic != vst::effectMagic) {
        instance = nullptr;
        error = "the plug-in module '" + modulePath + "' created no instance";
        close();
        return false;
    }
    if (instance->numInputs != pluginInputs || instance->numOutputs != pluginOutputs) {
        error = "the plug-in module '" + modulePath + "' has " + std::to_string(instance->numInputs) +
                " inputs and " + std::to_string(instance->numOutputs) + " outputs, not 32 and 8";
        close();
        return false;
    }
    instance->dispatcher(instance, vst::effOpen, 0, 0, nullptr, 0.0f);
    return true;
}

void PluginHost::start(int blockSize, int sampleRate_hz) {
    instance->dispatcher(instance, vst::effSetSampleRate, 0, 0, nullptr, static_cast<float>(sampleRate_hz));
    instance->dispatcher(instance, vst::effSetBlockSize, 0, blockSize, nullptr, 0.0f);
    instance->dispatcher(instance, vst::effMainsChanged, 0, 1, nullptr, 0.0f);
}

void PluginHost::selectProgram(int program) {
    instance->dispatcher(instance, vst::effSetProgram, 0, program, nullptr, 0.0f);
}

void PluginHost::setParameter(int index, float value) { instance->setParameter(instance, index, value); }

float PluginHost::getParameter(int index) { return instance->getParameter(instance, index); }

std::string PluginHost::parameterDisplay(int index) {
    char text[64] = {};
    instance->dispatcher(instance, vst::effGetParamDisplay, index, 0, text, 0.0f);
    text[sizeof text - 1] = '\0';
    return text;
}

void PluginHost::process(float** inputs, float** outputs, int frames) {
    instance->processReplacing(instance, inputs, outputs, frames);
}

bool probeModule(const std::string& modulePath, ModuleFacts& facts, std::string& error, int sampleRate_hz) {
    PluginHost host;
    if (!host.load(modulePath, error)) return false;

    // Pattern names: the Pattern parameter of beam 1 swept over its range.
    facts.patternNames.clear();
    const int pattern = parameterIndex(0, patternKind);
    const float saved = host.getParameter(pattern);
    constexpr int steps = 480;
    for (int k = 0; k <= steps; ++k) {
        host.setParameter(pattern, static_cast<float>(k) / steps);
        const std::string name = host.parameterDisplay(pattern);
        if (facts.patternNames.empty() || facts.patternNames.back() != name) facts.patternNames.push_back(name);
    }
    host.setParameter(pattern, saved);

    // Latency: the default beams are omnidirectional, so an impulse on every
    // capsule comes out of beam 1 at the module's delay.
    constexpr int frames = 4096;
    host.start(frames, sampleRate_hz);
    facts.sampleRate_hz = sampleRate_hz;
    std::vector<std::vector<float>> in(pluginInputs, std::vector<float>(frames, 0.0f));
    std::vector<std::vector<float>> out(pluginOutputs, std::vector<float>(frames, 0.0f));
    std::vector<float*> inPtr, outPtr;
    for (auto& c : in) inPtr.push_back(c.data());
    for (auto& c : out) outPtr.push_back(c.data());
    for (auto& c : in) c[0] = 1.0f;
    host.process(inPtr.data(), outPtr.data(), frames);
    const auto& beam = out[0];
    const auto peak = std::max_element(beam.begin(), beam.end(),
                                       [](float a, float b) { return std::fabs(a) < std::fabs(b); });
    if (!(std::fabs(*peak) > 0.1f)) {
        error = "the plug-in module '" + modulePath + "' does not pass an impulse";
        return false;
    }
    facts.latency_samples = static_cast<int>(peak - beam.begin());
    return true;
}

float elevationValue(int degrees) {
    degrees = std::clamp(degrees, 0, 180);
    if (degrees == 180) return 1.0f;
    return static_cast<float>((degrees + 0.5) / 180.0);
}

float azimuthValue(int degrees) {
    degrees %= 360;
    if (degrees < 0) degrees += 360;
    return static_cast<float>((degrees + 0.5) / 360.0);
}

float patternValue(int pattern, int patternCount) {
    return static_cast<float>((pattern + 0.5) / patternCount);
}

}  // namespace qb32::tools
