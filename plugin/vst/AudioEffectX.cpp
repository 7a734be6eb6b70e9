#include "plugin/vst/AudioEffectX.h"

#include <array>

namespace qb32::vst {

namespace {

using Handler = VstIntPtr (*)(AudioEffectX&, const DispatchCall&);
struct OpcodeHandler {
    Opcode opcode;
    Handler handler;
};

char* textOf(const DispatchCall& c) noexcept { return static_cast<char*>(c.ptr); }

VstIntPtr answerZero(AudioEffectX&, const DispatchCall&) { return 0; }

VstIntPtr onCanBeAutomated(AudioEffectX& e, const DispatchCall& c) {
    return e.canParameterBeAutomated(c.index) ? 1 : 0;
}
VstIntPtr onGetProgramNameIndexed(AudioEffectX& e, const DispatchCall& c) {
    if (c.ptr == nullptr) return 0;
    // The category travels in value; one beyond the int range names none.
    const VstInt32 category = c.value >= INT32_MIN && c.value <= INT32_MAX
                                  ? static_cast<VstInt32>(c.value)
                                  : -1;
    return e.getProgramNameIndexed(category, c.index, textOf(c)) ? 1 : 0;
}
VstIntPtr onGetPlugCategory(AudioEffectX& e, const DispatchCall&) { return e.getPlugCategory(); }
VstIntPtr onGetEffectName(AudioEffectX& e, const DispatchCall& c) {
    return c.ptr != nullptr && e.getEffectName(textOf(c)) ? 1 : 0;
}
VstIntPtr onGetVendorString(AudioEffectX& e, const DispatchCall& c) {
    return c.ptr != nullptr && e.getVendorString(textOf(c)) ? 1 : 0;
}
VstIntPtr onGetProductString(AudioEffectX& e, const DispatchCall& c) {
    return c.ptr != nullptr && e.getProductString(textOf(c)) ? 1 : 0;
}
VstIntPtr onGetVendorVersion(AudioEffectX& e, const DispatchCall&) {
    return e.getVendorVersion();
}
VstIntPtr onCanDo(AudioEffectX& e, const DispatchCall& c) {
    return c.ptr == nullptr ? 0 : e.canDo(static_cast<const char*>(c.ptr));
}
VstIntPtr onGetTailSize(AudioEffectX& e, const DispatchCall&) { return e.getTailSize(); }
VstIntPtr onSetBypass(AudioEffectX& e, const DispatchCall& c) {
    return e.setBypass(c.value != 0) ? 1 : 0;
}
VstIntPtr onGetParameterProperties(AudioEffectX& e, const DispatchCall& c) {
    if (c.ptr == nullptr) return 0;
    return e.getParameterProperties(c.index, static_cast<VstParameterProperties*>(c.ptr)) ? 1 : 0;
}
VstIntPtr onGetVstVersion(AudioEffectX& e, const DispatchCall&) { return e.getVstVersion(); }
VstIntPtr onGetCurrentMidiProgram(AudioEffectX& e, const DispatchCall&) {
    return e.getCurrentMidiProgram();
}
VstIntPtr onSetSpeakerArrangement(AudioEffectX& e, const DispatchCall& c) {
    // value carries the input arrangement's address, ptr the output's.
    return e.setSpeakerArrangement(reinterpret_cast<void*>(c.value), c.ptr) ? 1 : 0;
}
VstIntPtr onGetSpeakerArrangement(AudioEffectX& e, const DispatchCall& c) {
    // value and ptr each hold the address of a pointer the plug-in fills in.
    return e.getSpeakerArrangement(reinterpret_cast<void**>(c.value), static_cast<void**>(c.ptr))
               ? 1
               : 0;
}
VstIntPtr onSetTotalSampleToProcess(AudioEffectX& e, const DispatchCall& c) {
    return e.setTotalSampleToProcess(c.value);
}

// One entry per extended opcode, in opcode order (checked below).
constexpr std::array<OpcodeHandler, opcodeCount - effProcessEvents> extendedHandlers{{
    {effProcessEvents, answerZero},  // no MIDI
    {effCanBeAutomated, onCanBeAutomated},
    {effString2Parameter, answerZero},
    {effGetNumProgramCategories, answerZero},
    {effGetProgramNameIndexed, onGetProgramNameIndexed},
    {effCopyProgram, answerZero},
    {effConnectInput, answerZero},
    {effConnectOutput, answerZero},
    {effGetInputProperties, answerZero},
    {effGetOutputProperties, answerZero},
    {effGetPlugCategory, onGetPlugCategory},
    {effGetCurrentPosition, answerZero},
    {effGetDestinationBuffer, answerZero},
    {effOfflineNotify, answerZero},
    {effOfflinePrepare, answerZero},
    {effOfflineRun, answerZero},
    {effProcessVarIo, answerZero},
    {effSetSpeakerArrangement, onSetSpeakerArrangement},
    {effSetBlockSizeAndSampleRate, answerZero},
    {effSetBypass, onSetBypass},
    {effGetEffectName, onGetEffectName},
    {effGetErrorText, answerZero},
    {effGetVendorString, onGetVendorString},
    {effGetProductString, onGetProductString},
    {effGetVendorVersion, onGetVendorVersion},
    {effVendorSpecific, answerZero},
    {effCanDo, onCanDo},
    {effGetTailSize, onGetTailSize},
    {effIdle, answerZero},
    {effGetIcon, answerZero},
    {effSetViewPosition, answerZero},
    {effGetParameterProperties, onGetParameterProperties},
    {effKeysRequired, answerZero},
    {effGetVstVersion, onGetVstVersion},
    {effEditKeyDown, answerZero},  // keys go to the editor window itself
    {effEditKeyUp, answerZero},
    {effSetEditKnob, answerZero},
    {effGetMidiProgramName, answerZero},  // no MIDI programs
    {effGetCurrentMidiProgram, onGetCurrentMidiProgram},
    {effGetMidiProgramCategory, answerZero},
    {effHasMidiProgramsChanged, answerZero},
    {effGetMidiKeyName, answerZero},
    {effBeginSetProgram, answerZero},
    {effEndSetProgram, answerZero},
    {effGetSpeakerArrangement, onGetSpeakerArrangement},
    {effShellGetNextPlugin, answerZero},
    {effStartProcess, answerZero},
    {effStopProcess, answerZero},
    {effSetTotalSampleToProcess, onSetTotalSampleToProcess},
    {effSetPanLaw, answerZero},
    {effBeginLoadBank, answerZero},
    {effBeginLoadProgram, answerZero},
    {effSetProcessPrecision, answerZero},
    {effGetNumMidiInputChannels, answerZero},
    {effGetNumMidiOutputChannels, answerZero},
}};

constexpr bool inOpcodeOrder() {
    for (std::size_t i = 0; i < extendedHandlers.size(); ++i)
        if (extendedHandlers[i].opcode != static_cast<Opcode>(effProcessEvents + i)) return false;
    return true;
}
static_assert(inOpcodeOrder(), "extended handlers must be listed in opcode order");

}  // namespace

VstIntPtr AudioEffectX::dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                                   float opt) {
    const DispatchCall call{index, value, ptr, opt};
    if (opcode >= effProcessEvents) return dispatchExtended(opcode, call);
    return dispatchBasic(opcode, call);
}

VstIntPtr AudioEffectX::dispatchExtended(VstInt32 opcode, const DispatchCall& call) {
    if (opcode < effProcessEvents || opcode >= opcodeCount) return 0;
    return extendedHandlers[static_cast<std::size_t>(opcode - effProcessEvents)].handler(*this,
                                                                                         call);
}

bool AudioEffectX::getSpeakerArrangement(void** input, void** output) {
    if (input != nullptr) *input = nullptr;
    if (output != nullptr) *output = nullptr;
    return false;
}

}  // namespace qb32::vst
