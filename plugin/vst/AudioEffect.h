#pragma once
// AudioEffect: the basic half of the VST 2.4 plug-in frame. It owns the effect
// record that the host holds, fills the record's static entries, and turns
// each basic dispatcher opcode (0..24) into a call of a virtual operation
// whose result becomes the opcode's answer. A plug-in derives (through
// AudioEffectX) and overrides the operations it serves; every other opcode
// keeps the frame's default answer, 0 unless noted.
//
// States: none. The record is cleared and filled with the frame defaults at
// construction (magic, static entries, programs and parameters as given, one
// input, two outputs, flags effFlagsCanReplacing, ioRatio 1, uniqueID NoEf,
// version 1); the plug-in then publishes its own values. The instance lives
// until effClose, after which the static dispatcher entry deletes it.
//
// Host text buffers: every text the frame writes is bounded by the sizes the
// interface guarantees (AEffect.h); a null text pointer is answered with 0 and
// nothing is written.
//
// Threads: the frame itself keeps no shared state beyond `currentProgram`
// (atomic). Which operations may run on which thread is the plug-in's
// contract; the audio entries are noexcept.

#include <atomic>
#include <cstddef>

#include "plugin/vst/AEffect.h"

namespace qb32::vst {

// Bounded copy: at most capacity - 1 characters of text, then a NUL. Nothing is
// written for a null destination or a zero capacity; a null text reads as "".
void writeText(char* destination, std::size_t capacity, const char* text) noexcept;

// The arguments of one dispatcher call after the opcode.
struct DispatchCall {
    VstInt32 index;
    VstIntPtr value;
    void* ptr;
    float opt;
};

class AudioEffect {
public:
    AudioEffect(HostCallback host, VstInt32 programs, VstInt32 parameters) noexcept;
    virtual ~AudioEffect();
    AudioEffect(const AudioEffect&) = delete;
    AudioEffect& operator=(const AudioEffect&) = delete;

    [[nodiscard]] AEffect* getAeffect() noexcept { return &effectRecord; }
    [[nodiscard]] HostCallback getHostCallback() const noexcept { return hostCallback; }

    // Routes one opcode to its handler and answers for it. [any thread]
    virtual VstIntPtr dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                                 float opt);

    // Operations of the basic opcodes, with the frame's defaults.
    virtual void open() {}
    virtual void close() {}
    virtual void setProgram(VstInt32 program);
    [[nodiscard]] virtual VstInt32 getProgram() { return currentProgram.load(); }
    virtual void setProgramName(const char* /*name*/) {}
    virtual void getProgramName(char* text);
    virtual void getParameterLabel(VstInt32 index, char* text);
    virtual void getParameterDisplay(VstInt32 index, char* text);
    virtual void getParameterName(VstInt32 index, char* text);
    virtual void setSampleRate(float rate) { sampleRate = rate; }
    virtual void setBlockSize(VstInt32 frames) { blockSize = frames; }
    virtual void suspend() {}
    virtual void resume() {}
    virtual VstInt32 getChunk(void** /*data*/, bool /*isPreset*/) { return 0; }
    // Editor operations (effEditGetRect, effEditOpen, effEditClose,
    // effEditIdle); without an editor they answer false and do nothing.
    virtual bool editGetRect(ERect** /*rect*/) { return false; }
    virtual bool editOpen(void* /*parentWindow*/) { return false; }
    virtual void editClose() {}
    virtual void editIdle() {}
    virtual VstInt32 setChunk(void* /*data*/, VstInt32 /*bytes*/, bool /*isPreset*/) { return 0; }

    // Parameter and audio entries of the record.
    virtual void setParameter(VstInt32 /*index*/, float /*value*/) {}
    [[nodiscard]] virtual float getParameter(VstInt32 /*index*/) { return 0.0f; }
    virtual void process(float** /*inputs*/, float** /*outputs*/, VstInt32 /*frames*/) noexcept {}
    virtual void processReplacing(float** /*inputs*/, float** /*outputs*/,
                                  VstInt32 /*frames*/) noexcept {}
    virtual void processDoubleReplacing(double** /*inputs*/, double** /*outputs*/,
                                        VstInt32 /*frames*/) noexcept {}

    // An edit of the plug-in's own (its editor): setParameter, then the host
    // is told (audioMasterAutomate) so that it records the value. beginEdit
    // and endEdit bracket one gesture (audioMasterBeginEdit / EndEdit), so
    // hosts group its values into one undo step. [GUI thread]
    void setParameterAutomated(VstInt32 index, float value);
    void beginEdit(VstInt32 index);
    void endEdit(VstInt32 index);

protected:
    // Serves the basic opcodes (0..24); 0 for any other.
    VstIntPtr dispatchBasic(VstInt32 opcode, const DispatchCall& call);

    void setNumInputs(VstInt32 inputs) noexcept { effectRecord.numInputs = inputs; }
    void setNumOutputs(VstInt32 outputs) noexcept { effectRecord.numOutputs = outputs; }
    void setUniqueID(VstInt32 id) noexcept { effectRecord.uniqueID = id; }
    void setHasEditor(bool has) noexcept {
        effectRecord.flags = has ? (effectRecord.flags | effFlagsHasEditor) : (effectRecord.flags & ~effFlagsHasEditor);
    }

    HostCallback hostCallback;
    float sampleRate = 44100.0f;
    VstInt32 blockSize = 1024;
    VstInt32 programCount;
    VstInt32 parameterCount;
    std::atomic<VstInt32> currentProgram{0};
    AEffect effectRecord;
};

}  // namespace qb32::vst
