// libFuzzer target of the plug-in shell: one instance per input, driven by a
// random sequence of dispatcher calls (random opcodes and arguments; a real
// buffer of the documented size wherever the interface passes one),
// setParameter with any float, program changes, reconfigurations and audio
// callbacks of random frame counts. Any sanitizer report, and any non-finite
// output sample, is a finding.

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "plugin/CQB32Vst.h"

using namespace qb32;
using namespace qb32::vst;

namespace {

constexpr int maxFrames = 2048;

VstIntPtr QB32_VSTCALL host(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? vstVersion : 0;
}

float anyFloat(FuzzedDataProvider& data) {
    switch (data.ConsumeIntegralInRange(0, 5)) {
    case 0: return std::numeric_limits<float>::quiet_NaN();
    case 1: return std::numeric_limits<float>::infinity();
    case 2: return -std::numeric_limits<float>::infinity();
    case 3: return data.ConsumeFloatingPointInRange(-0.5f, 1.5f);
    default: return data.ConsumeFloatingPoint<float>();
    }
}

struct Audio {
    std::array<std::vector<float>, CQB32Vst::inputCount> in;
    std::array<std::vector<float>, CQB32Vst::outputCount> out;
    std::array<float*, CQB32Vst::inputCount> inputs{};
    std::array<float*, CQB32Vst::outputCount> outputs{};
    Audio() {
        for (int c = 0; c < CQB32Vst::inputCount; ++c) {
            in[c].assign(maxFrames, 0.0f);
            inputs[c] = in[c].data();
        }
        for (int c = 0; c < CQB32Vst::outputCount; ++c) {
            out[c].assign(maxFrames, 0.0f);
            outputs[c] = out[c].data();
        }
    }
};

void fillInput(FuzzedDataProvider& data, Audio& audio, int frames) {
    const int kind = data.ConsumeIntegralInRange(0, 3);
    const float level = data.ConsumeFloatingPointInRange(-2.0f, 2.0f);
    for (int c = 0; c < CQB32Vst::inputCount; ++c)
        for (int i = 0; i < frames; ++i)
            audio.in[c][i] = kind == 0   ? 0.0f
                             : kind == 1 ? level * std::sin(0.05f * static_cast<float>(i + c))
                             : kind == 2 ? level * static_cast<float>((i * 7919 + c * 104729) % 2001 - 1000) / 1000.0f
                                         : level;
    if (data.ConsumeBool()) {  // an occasional bad sample
        const int c = data.ConsumeIntegralInRange(0, CQB32Vst::inputCount - 1);
        const int i = data.ConsumeIntegralInRange(0, frames > 0 ? frames - 1 : 0);
        if (frames > 0) audio.in[c][i] = anyFloat(data);
    }
}

void dispatch(FuzzedDataProvider& data, AEffect* e) {
    const auto opcode = data.ConsumeIntegralInRange<VstInt32>(-2, opcodeCount + 2);
    const auto index = data.ConsumeBool() ? data.ConsumeIntegralInRange<VstInt32>(-2, 40)
                                          : data.ConsumeIntegral<VstInt32>();
    VstIntPtr value = data.ConsumeBool() ? data.ConsumeIntegralInRange<VstIntPtr>(-2, 600)
                                         : data.ConsumeIntegral<VstIntPtr>();
    const float opt = anyFloat(data);
    // One buffer covers every text and structure the interface passes; texts
    // the host hands in are terminated.
    alignas(16) char buffer[256];
    const std::string text = data.ConsumeRandomLengthString(sizeof buffer - 1);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    void* arrangementIn = buffer;
    void* arrangementOut = buffer;
    void* chunk = nullptr;
    void* ptr = buffer;
    switch (opcode) {
    case effClose: return;  // closed at the end of the input
    case effSetBlockSize:
        if (data.ConsumeBool()) value = data.ConsumeIntegralInRange<VstIntPtr>(-4, 4096);
        break;
    case effGetChunk: ptr = &chunk; break;
    case effSetChunk: value = static_cast<VstIntPtr>(text.size()); break;
    case effGetSpeakerArrangement:
    case effSetSpeakerArrangement:
        value = reinterpret_cast<VstIntPtr>(&arrangementIn);
        ptr = &arrangementOut;
        break;
    default: break;
    }
    if (data.ConsumeIntegralInRange(0, 15) == 0) ptr = nullptr;
    e->dispatcher(e, opcode, index, value, ptr, opt);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    static Audio audio;
    FuzzedDataProvider data(bytes, size);
    AEffect* e = CQB32Vst::createInstance(host);
    if (e == nullptr) return 0;
    int steps = 0;
    while (data.remaining_bytes() > 0 && ++steps < 200) {
        switch (data.ConsumeIntegralInRange(0, 8)) {
        case 0: dispatch(data, e); break;
        case 1:
        case 2: e->setParameter(e, data.ConsumeIntegralInRange(-2, 34), anyFloat(data)); break;
        case 3: (void)e->getParameter(e, data.ConsumeIntegralInRange(-2, 34)); break;
        case 4: e->dispatcher(e, effSetProgram, 0, data.ConsumeIntegralInRange(-2, 9), nullptr, 0.0f); break;
        case 5: e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, data.ConsumeBool() ? 44100.0f : anyFloat(data)); break;
        case 6: e->dispatcher(e, effSetBlockSize, 0, data.ConsumeIntegralInRange(-4, maxFrames), nullptr, 0.0f); break;
        default: {
            const int frames = data.ConsumeIntegralInRange(-4, maxFrames);
            fillInput(data, audio, frames > 0 ? frames : 0);
            if (data.ConsumeIntegralInRange(0, 7) == 0)
                e->process(e, audio.inputs.data(), audio.outputs.data(), frames);
            e->processReplacing(e, audio.inputs.data(), audio.outputs.data(), frames);
            for (int c = 0; c < CQB32Vst::outputCount; ++c)
                for (int i = 0; i < frames; ++i)
                    if (!std::isfinite(audio.out[c][i])) __builtin_trap();
            break;
        }
        }
    }
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
    return 0;
}
