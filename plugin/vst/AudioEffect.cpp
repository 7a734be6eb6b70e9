#include "plugin/vst/AudioEffect.h"

#include <array>
#include <cstring>

namespace qb32::vst {

void writeText(char* destination, std::size_t capacity, const char* text) noexcept {
    if (destination == nullptr || capacity == 0) return;
    std::size_t n = 0;
    if (text != nullptr)
        while (n + 1 < capacity && text[n] != '\0') ++n;
    std::memcpy(destination, text == nullptr ? "" : text, n);
    destination[n] = '\0';
}

namespace {

AudioEffect* instanceOf(AEffect* effect) noexcept {
    return effect == nullptr ? nullptr : static_cast<AudioEffect*>(effect->object);
}

// ---- static entries of the record ------------------------------------------

VstIntPtr QB32_VSTCALL dispatchEntry(AEffect* effect, VstInt32 opcode, VstInt32 index,
                                     VstIntPtr value, void* ptr, float opt) {
    AudioEffect* self = instanceOf(effect);
    if (self == nullptr) return 0;
    const VstIntPtr answer = self->dispatcher(opcode, index, value, ptr, opt);
    if (opcode != effClose) return answer;
    // The record lives inside the instance: after this the host holds nothing.
    effect->object = nullptr;
    delete self;
    return 1;
}

void QB32_VSTCALL processEntry(AEffect* effect, float** inputs, float** outputs,
                               VstInt32 frames) {
    if (AudioEffect* self = instanceOf(effect)) self->process(inputs, outputs, frames);
}

void QB32_VSTCALL processReplacingEntry(AEffect* effect, float** inputs, float** outputs,
                                        VstInt32 frames) {
    if (AudioEffect* self = instanceOf(effect)) self->processReplacing(inputs, outputs, frames);
}

void QB32_VSTCALL processDoubleReplacingEntry(AEffect* effect, double** inputs,
                                              double** outputs, VstInt32 frames) {
    if (AudioEffect* self = instanceOf(effect))
        self->processDoubleReplacing(inputs, outputs, frames);
}

void QB32_VSTCALL setParameterEntry(AEffect* effect, VstInt32 index, float value) {
    if (AudioEffect* self = instanceOf(effect)) self->setParameter(index, value);
}

float QB32_VSTCALL getParameterEntry(AEffect* effect, VstInt32 index) {
    AudioEffect* self = instanceOf(effect);
    return self == nullptr ? 0.0f : self->getParameter(index);
}

// ---- handlers of the basic opcodes -----------------------------------------

using Handler = VstIntPtr (*)(AudioEffect&, const DispatchCall&);
struct OpcodeHandler {
    Opcode opcode;
    Handler handler;
};

VstIntPtr answerZero(AudioEffect&, const DispatchCall&) { return 0; }

VstIntPtr onOpen(AudioEffect& e, const DispatchCall&) {
    e.open();
    return 0;
}
VstIntPtr onClose(AudioEffect& e, const DispatchCall&) {
    e.close();
    return 0;
}
VstIntPtr onSetProgram(AudioEffect& e, const DispatchCall& c) {
    // Values outside the int range would wrap: hand on only those that fit.
    if (c.value >= 0 && c.value <= INT32_MAX) e.setProgram(static_cast<VstInt32>(c.value));
    return 0;
}
VstIntPtr onGetProgram(AudioEffect& e, const DispatchCall&) { return e.getProgram(); }
VstIntPtr onSetProgramName(AudioEffect& e, const DispatchCall& c) {
    if (c.ptr != nullptr) e.setProgramName(static_cast<const char*>(c.ptr));
    return 0;
}
VstIntPtr onGetProgramName(AudioEffect& e, const DispatchCall& c) {
    if (c.ptr != nullptr) e.getProgramName(static_cast<char*>(c.ptr));
    return 0;
}
VstIntPtr onGetParamLabel(AudioEffect& e, const DispatchCall& c) {
    if (c.ptr != nullptr) e.getParameterLabel(c.index, static_cast<char*>(c.ptr));
    return 0;
}
VstIntPtr onGetParamDisplay(AudioEffect& e, const DispatchCall& c) {
    if (c.ptr != nullptr) e.getParameterDisplay(c.index, static_cast<char*>(c.ptr));
    return 0;
}
VstIntPtr onGetParamName(AudioEffect& e, const DispatchCall& c) {
    if (c.ptr != nullptr) e.getParameterName(c.index, static_cast<char*>(c.ptr));
    return 0;
}
VstIntPtr onSetSampleRate(AudioEffect& e, const DispatchCall& c) {
    e.setSampleRate(c.opt);
    return 0;
}
VstIntPtr onSetBlockSize(AudioEffect& e, const DispatchCall& c) {
    // A size beyond the int range reads as refused (-1), never as a wrapped size.
    e.setBlockSize(c.value >= INT32_MIN && c.value <= INT32_MAX ? static_cast<VstInt32>(c.value)
                                                                : -1);
    return 0;
}
VstIntPtr onMainsChanged(AudioEffect& e, const DispatchCall& c) {
    if (c.value != 0)
        e.resume();
    else
        e.suspend();
    return 0;
}
VstIntPtr onEditGetRect(AudioEffect& e, const DispatchCall& c) {
    return c.ptr != nullptr && e.editGetRect(static_cast<ERect**>(c.ptr)) ? 1 : 0;
}
VstIntPtr onEditOpen(AudioEffect& e, const DispatchCall& c) { return e.editOpen(c.ptr) ? 1 : 0; }
VstIntPtr onEditClose(AudioEffect& e, const DispatchCall&) {
    e.editClose();
    return 0;
}
VstIntPtr onEditIdle(AudioEffect& e, const DispatchCall&) {
    e.editIdle();
    return 0;
}
VstIntPtr onIdentify(AudioEffect&, const DispatchCall&) { return identifyAnswer; }
VstIntPtr onGetChunk(AudioEffect& e, const DispatchCall& c) {
    if (c.ptr == nullptr) return 0;
    return e.getChunk(static_cast<void**>(c.ptr), c.index != 0);
}
VstIntPtr onSetChunk(AudioEffect& e, const DispatchCall& c) {
    if (c.value < 0 || c.value > INT32_MAX) return 0;
    return e.setChunk(c.ptr, static_cast<VstInt32>(c.value), c.index != 0);
}

// One entry per basic opcode, in opcode order (checked below).
constexpr std::array<OpcodeHandler, effProcessEvents> basicHandlers{{
    {effOpen, onOpen},
    {effClose, onClose},
    {effSetProgram, onSetProgram},
    {effGetProgram, onGetProgram},
    {effSetProgramName, onSetProgramName},
    {effGetProgramName, onGetProgramName},
    {effGetParamLabel, onGetParamLabel},
    {effGetParamDisplay, onGetParamDisplay},
    {effGetParamName, onGetParamName},
    {effGetVu, answerZero},
    {effSetSampleRate, onSetSampleRate},
    {effSetBlockSize, onSetBlockSize},
    {effMainsChanged, onMainsChanged},
    {effEditGetRect, onEditGetRect},
    {effEditOpen, onEditOpen},
    {effEditClose, onEditClose},
    {effEditDraw, answerZero},
    {effEditMouse, answerZero},
    {effEditKey, answerZero},
    {effEditIdle, onEditIdle},
    {effEditTop, answerZero},
    {effEditSleep, answerZero},
    {effIdentify, onIdentify},
    {effGetChunk, onGetChunk},
    {effSetChunk, onSetChunk},
}};

constexpr bool inOpcodeOrder() {
    for (std::size_t i = 0; i < basicHandlers.size(); ++i)
        if (basicHandlers[i].opcode != static_cast<Opcode>(i)) return false;
    return true;
}
static_assert(inOpcodeOrder(), "basic handlers must be listed in opcode order");

}  // namespace

AudioEffect::AudioEffect(HostCallback host, VstInt32 programs, VstInt32 parameters) noexcept
    : hostCallback(host), programCount(programs), parameterCount(parameters), effectRecord{} {
    effectRecord.magic = effectMagic;
    effectRecord.dispatcher = dispatchEntry;
    effectRecord.process = processEntry;
    effectRecord.setParameter = setParameterEntry;
    effectRecord.getParameter = getParameterEntry;
    effectRecord.numPrograms = programs;
    effectRecord.numParams = parameters;
    effectRecord.numInputs = 1;
    effectRecord.numOutputs = 2;
    effectRecord.flags = effFlagsCanReplacing;
    effectRecord.ioRatio = 1.0f;
    effectRecord.object = this;
    effectRecord.uniqueID = frameDefaultUniqueId;
    effectRecord.version = 1;
    effectRecord.processReplacing = processReplacingEntry;
    effectRecord.processDoubleReplacing = processDoubleReplacingEntry;
}

AudioEffect::~AudioEffect() = default;

VstIntPtr AudioEffect::dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                                  float opt) {
    return dispatchBasic(opcode, DispatchCall{index, value, ptr, opt});
}

VstIntPtr AudioEffect::dispatchBasic(VstInt32 opcode, const DispatchCall& call) {
    if (opcode < 0 || opcode >= static_cast<VstInt32>(basicHandlers.size())) return 0;
    return basicHandlers[static_cast<std::size_t>(opcode)].handler(*this, call);
}

void AudioEffect::setProgram(VstInt32 program) {
    if (program >= 0 && program < programCount) currentProgram.store(program);
}

void AudioEffect::setParameterAutomated(VstInt32 index, float value) {
    setParameter(index, value);
    if (hostCallback != nullptr)
        hostCallback(&effectRecord, audioMasterAutomate, index, 0, nullptr, getParameter(index));
}

void AudioEffect::beginEdit(VstInt32 index) {
    if (hostCallback != nullptr) hostCallback(&effectRecord, audioMasterBeginEdit, index, 0, nullptr, 0.0f);
}

void AudioEffect::endEdit(VstInt32 index) {
    if (hostCallback != nullptr) hostCallback(&effectRecord, audioMasterEndEdit, index, 0, nullptr, 0.0f);
}

void AudioEffect::getProgramName(char* text) { writeText(text, maxProgramNameBytes, ""); }
void AudioEffect::getParameterLabel(VstInt32, char* text) {
    writeText(text, maxParameterTextBytes, "");
}
void AudioEffect::getParameterDisplay(VstInt32, char* text) {
    writeText(text, maxParameterTextBytes, "");
}
void AudioEffect::getParameterName(VstInt32, char* text) {
    writeText(text, maxParameterNameBytes, "");
}

}  // namespace qb32::vst
