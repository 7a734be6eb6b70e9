#pragma once
// Shared set-up of the shell's tests: a host callback, an instance created
// through the entry point's path, and host-sized audio buffers.

#include <cmath>
#include <cstddef>
#include <vector>

#include "plugin/CQB32Vst.h"

namespace qb32::testing {

inline vst::VstIntPtr QB32_VSTCALL modernHost(vst::AEffect*, vst::VstInt32 opcode, vst::VstInt32,
                                              vst::VstIntPtr, void*, float) {
    return opcode == vst::audioMasterVersion ? vst::vstVersion : 0;
}

// Owns one instance for a test and closes it through the dispatcher.
class PluginInstance {
public:
    PluginInstance() : effect(CQB32Vst::createInstance(modernHost)) {}
    ~PluginInstance() {
        if (effect != nullptr) effect->dispatcher(effect, vst::effClose, 0, 0, nullptr, 0.0f);
    }
    PluginInstance(const PluginInstance&) = delete;
    PluginInstance& operator=(const PluginInstance&) = delete;

    vst::VstIntPtr call(vst::VstInt32 opcode, vst::VstInt32 index = 0, vst::VstIntPtr value = 0,
                        void* ptr = nullptr, float opt = 0.0f) {
        return effect->dispatcher(effect, opcode, index, value, ptr, opt);
    }
    void set(int index, float value) { effect->setParameter(effect, index, value); }
    float get(int index) { return effect->getParameter(effect, index); }
    CQB32Vst& plugin() { return *static_cast<CQB32Vst*>(effect->object); }

    vst::AEffect* effect;
};

// 32 input and 8 output channels of `frames` samples, with the pointer arrays a
// host hands over.
struct HostBuffers {
    explicit HostBuffers(int frames)
        : in(CQB32Vst::inputCount, std::vector<float>(static_cast<std::size_t>(frames))),
          out(CQB32Vst::outputCount, std::vector<float>(static_cast<std::size_t>(frames))) {
        for (auto& c : in) inputs.push_back(c.data());
        for (auto& c : out) outputs.push_back(c.data());
    }
    // Every capsule carries the same tone (an omnidirectional beam passes it).
    void tone(int firstSample, double frequencyHz = 500.0, float amplitude = 0.25f) {
        for (auto& c : in)
            for (std::size_t i = 0; i < c.size(); ++i)
                c[i] = amplitude * static_cast<float>(std::sin(
                                       2.0 * 3.141592653589793 * frequencyHz *
                                       static_cast<double>(firstSample + static_cast<int>(i)) /
                                       44100.0));
    }
    void fillOutputs(float v) {
        for (auto& c : out) c.assign(c.size(), v);
    }
    void run(vst::AEffect* e, int frames) {
        e->processReplacing(e, inputs.data(), outputs.data(), frames);
    }
    bool outputsFinite() const {
        for (const auto& c : out)
            for (float v : c)
                if (!std::isfinite(v)) return false;
        return true;
    }
    double energy(int channel) const {
        double sum = 0.0;
        for (float v : out[static_cast<std::size_t>(channel)]) sum += double(v) * v;
        return sum;
    }

    std::vector<std::vector<float>> in, out;
    std::vector<float*> inputs, outputs;
};

}  // namespace qb32::testing
