#pragma once
// AudioEffectX: the extended half of the VST 2.4 plug-in frame. Serves the
// extended dispatcher opcodes (25..79) through virtual operations with the
// interface's default answers, and hands the basic ones to AudioEffect.
//
// Defaults: 0 for every extended opcode (effGetParameterProperties: 0 and
// nothing written), except effGetVstVersion (2400),
// effGetCurrentMidiProgram (-1), effSetTotalSampleToProcess (the value,
// unchanged), and effGetSpeakerArrangement, which writes null arrangement
// pointers into both host destinations and answers 0.
//
// Threads and text buffers: as AudioEffect.

#include "plugin/vst/AudioEffect.h"

namespace qb32::vst {

class AudioEffectX : public AudioEffect {
public:
    using AudioEffect::AudioEffect;

    VstIntPtr dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                         float opt) override;

    // Operations of the extended opcodes, with the frame's defaults.
    [[nodiscard]] virtual bool canParameterBeAutomated(VstInt32 /*index*/) { return false; }
    virtual bool getProgramNameIndexed(VstInt32 /*category*/, VstInt32 /*index*/,
                                       char* /*text*/) {
        return false;
    }
    [[nodiscard]] virtual VstInt32 getPlugCategory() { return kPlugCategUnknown; }
    virtual bool getEffectName(char* /*text*/) { return false; }
    virtual bool getVendorString(char* /*text*/) { return false; }
    virtual bool getProductString(char* /*text*/) { return false; }
    [[nodiscard]] virtual VstInt32 getVendorVersion() { return 0; }
    virtual bool getParameterProperties(VstInt32 /*index*/, VstParameterProperties* /*properties*/) {
        return false;
    }
    [[nodiscard]] virtual VstInt32 canDo(const char* /*text*/) { return 0; }
    [[nodiscard]] virtual VstInt32 getVstVersion() { return vstVersion; }
    [[nodiscard]] virtual VstInt32 getCurrentMidiProgram() { return -1; }
    [[nodiscard]] virtual VstInt32 getTailSize() { return 0; }
    virtual bool setBypass(bool /*on*/) { return false; }
    virtual VstIntPtr setTotalSampleToProcess(VstIntPtr value) { return value; }
    // Both destinations point to an arrangement pointer; the frame offers none.
    virtual bool getSpeakerArrangement(void** input, void** output);
    virtual bool setSpeakerArrangement(void* /*input*/, void* /*output*/) { return false; }

protected:
    // Serves the extended opcodes (25..79); 0 for any other.
    VstIntPtr dispatchExtended(VstInt32 opcode, const DispatchCall& call);
};

}  // namespace qb32::vst
