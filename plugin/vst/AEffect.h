#pragma once
// The VST 2.4 plug-in interface as this module speaks it: the effect record a
// host receives from the entry point, the shapes of the host callback and of
// the record's entries, every dispatcher opcode by name, and the constants the
// record and the answers use. Written from the interface's published facts;
// no third-party header is involved.
//
// Layout: the record's fields keep the interface's order and natural
// alignment, 144 bytes on 32-bit targets and 192 on 64-bit ones (asserted
// below for every target this is compiled for). On 32-bit Windows every entry
// uses the cdecl convention.
//
// Real time: types and constants only.

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define QB32_VSTCALL __cdecl
#else
#define QB32_VSTCALL
#endif

namespace qb32::vst {

using VstInt32 = std::int32_t;
using VstIntPtr = std::intptr_t;

struct AEffect;

// Host callback and dispatcher share one shape.
using HostCallback = VstIntPtr(QB32_VSTCALL*)(AEffect* effect, VstInt32 opcode, VstInt32 index,
                                              VstIntPtr value, void* ptr, float opt);
using DispatcherProc = HostCallback;
using ProcessProc = void(QB32_VSTCALL*)(AEffect* effect, float** inputs, float** outputs,
                                        VstInt32 sampleFrames);
using ProcessDoubleProc = void(QB32_VSTCALL*)(AEffect* effect, double** inputs, double** outputs,
                                              VstInt32 sampleFrames);
using SetParameterProc = void(QB32_VSTCALL*)(AEffect* effect, VstInt32 index, float value);
using GetParameterProc = float(QB32_VSTCALL*)(AEffect* effect, VstInt32 index);

// Four characters packed into a 32-bit integer, the first in the most
// significant byte, as the interface writes magic words and identifiers.
constexpr VstInt32 fourCharCode(char a, char b, char c, char d) noexcept {
    return static_cast<VstInt32>((static_cast<std::uint32_t>(static_cast<unsigned char>(a)) << 24) |
                                 (static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 16) |
                                 (static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 8) |
                                 static_cast<std::uint32_t>(static_cast<unsigned char>(d)));
}

struct AEffect {
    VstInt32 magic;
    DispatcherProc dispatcher;
    ProcessProc process;  // deprecated accumulating entry
    SetParameterProc setParameter;
    GetParameterProc getParameter;
    VstInt32 numPrograms;
    VstInt32 numParams;
    VstInt32 numInputs;
    VstInt32 numOutputs;
    VstInt32 flags;
    VstIntPtr reserved1;
    VstIntPtr reserved2;
    VstInt32 initialDelay;
    VstInt32 realQualities;
    VstInt32 offQualities;
    float ioRatio;
    void* object;
    void* user;
    VstInt32 uniqueID;
    VstInt32 version;
    ProcessProc processReplacing;
    ProcessDoubleProc processDoubleReplacing;
    char future[56];
};

static_assert(sizeof(void*) != 4 || sizeof(AEffect) == 144, "effect record must be 144 bytes");
static_assert(sizeof(void*) != 8 || sizeof(AEffect) == 192, "effect record must be 192 bytes");
static_assert(offsetof(AEffect, future) + 56 == sizeof(AEffect), "no tail padding");

inline constexpr VstInt32 effectMagic = fourCharCode('V', 's', 't', 'P');
inline constexpr VstInt32 identifyAnswer = fourCharCode('N', 'v', 'E', 'f');
inline constexpr VstInt32 frameDefaultUniqueId = fourCharCode('N', 'o', 'E', 'f');
inline constexpr VstInt32 vstVersion = 2400;

// Record flags.
enum EffectFlags : VstInt32 {
    effFlagsHasEditor = 1 << 0,
    effFlagsCanReplacing = 1 << 4,
    effFlagsProgramChunks = 1 << 5,
    effFlagsIsSynth = 1 << 8,
    effFlagsNoSoundInStop = 1 << 9,
    effFlagsCanDoubleReplacing = 1 << 12,
};

// Plug-in categories (effGetPlugCategory).
enum PlugCategory : VstInt32 { kPlugCategUnknown = 0, kPlugCategEffect = 1 };

// Host buffer sizes, terminator included, that the interface guarantees.
inline constexpr std::size_t maxProgramNameBytes = 24;
inline constexpr std::size_t maxParameterTextBytes = 9;  // labels and display texts
inline constexpr std::size_t maxParameterNameBytes = 9;  // eight characters and the NUL
inline constexpr std::size_t maxEffectNameBytes = 32;
inline constexpr std::size_t maxVendorStringBytes = 64;
inline constexpr std::size_t maxProductStringBytes = 64;

// Requests a plug-in may make of the host (the ones this module uses): the
// version at entry, the latency when it changes, and the editor's automation
// of the parameters it changes (begin, automate, end).
enum HostOpcode : VstInt32 {
    audioMasterAutomate = 0,
    audioMasterVersion = 1,
    audioMasterIOChanged = 13,  // numInputs, numOutputs or initialDelay changed
    audioMasterCanDo = 37,      // ptr: the capability's name; answers 1 when the host can
    audioMasterBeginEdit = 43,
    audioMasterEndEdit = 44,
};

// The editor's size as effEditGetRect hands it to the host, in pixels.
struct ERect {
    std::int16_t top, left, bottom, right;
};

// What effGetParameterProperties fills in (ptr points to one record). No
// pointers inside: 152 bytes on every target.
inline constexpr std::size_t maxPropertyLabelBytes = 64;
inline constexpr std::size_t maxPropertyShortLabelBytes = 8;
inline constexpr std::size_t maxPropertyCategoryLabelBytes = 24;

enum ParameterFlags : VstInt32 {
    kVstParameterIsSwitch = 1 << 0,
    kVstParameterUsesIntegerMinMax = 1 << 1,
    kVstParameterUsesFloatStep = 1 << 2,
    kVstParameterUsesIntStep = 1 << 3,
    kVstParameterSupportsDisplayIndex = 1 << 4,
    kVstParameterSupportsDisplayCategory = 1 << 5,
    kVstParameterCanRamp = 1 << 6,
};

struct VstParameterProperties {
    float stepFloat;
    float smallStepFloat;
    float largeStepFloat;
    char label[maxPropertyLabelBytes];
    VstInt32 flags;
    VstInt32 minInteger;
    VstInt32 maxInteger;
    VstInt32 stepInteger;
    VstInt32 largeStepInteger;
    char shortLabel[maxPropertyShortLabelBytes];
    std::int16_t displayIndex;
    std::int16_t category;  // 0: none, else the category's number from 1
    std::int16_t numParametersInCategory;
    std::int16_t reserved;
    char categoryLabel[maxPropertyCategoryLabelBytes];
    char future[16];
};

static_assert(sizeof(VstParameterProperties) == 152, "parameter properties must be 152 bytes");
static_assert(offsetof(VstParameterProperties, flags) == 76 &&
              offsetof(VstParameterProperties, shortLabel) == 96 &&
              offsetof(VstParameterProperties, displayIndex) == 104 &&
              offsetof(VstParameterProperties, categoryLabel) == 112);

// Every dispatcher opcode of the interface, 0..79. The basic set (0..24) is
// served by AudioEffect, the extended set (25..79) by AudioEffectX.
enum Opcode : VstInt32 {
    effOpen = 0,
    effClose,
    effSetProgram,
    effGetProgram,
    effSetProgramName,
    effGetProgramName,
    effGetParamLabel,
    effGetParamDisplay,
    effGetParamName,
    effGetVu,  // deprecated
    effSetSampleRate,
    effSetBlockSize,
    effMainsChanged,
    effEditGetRect,
    effEditOpen,
    effEditClose,
    effEditDraw,   // deprecated
    effEditMouse,  // deprecated
    effEditKey,    // deprecated
    effEditIdle,
    effEditTop,    // deprecated
    effEditSleep,  // deprecated
    effIdentify,   // deprecated
    effGetChunk,
    effSetChunk,
    // extended set
    effProcessEvents,
    effCanBeAutomated,
    effString2Parameter,
    effGetNumProgramCategories,  // deprecated
    effGetProgramNameIndexed,
    effCopyProgram,     // deprecated
    effConnectInput,    // deprecated
    effConnectOutput,   // deprecated
    effGetInputProperties,
    effGetOutputProperties,
    effGetPlugCategory,
    effGetCurrentPosition,    // deprecated
    effGetDestinationBuffer,  // deprecated
    effOfflineNotify,
    effOfflinePrepare,
    effOfflineRun,
    effProcessVarIo,
    effSetSpeakerArrangement,
    effSetBlockSizeAndSampleRate,  // deprecated
    effSetBypass,
    effGetEffectName,
    effGetErrorText,  // deprecated
    effGetVendorString,
    effGetProductString,
    effGetVendorVersion,
    effVendorSpecific,
    effCanDo,
    effGetTailSize,
    effIdle,             // deprecated
    effGetIcon,          // deprecated
    effSetViewPosition,  // deprecated
    effGetParameterProperties,
    effKeysRequired,  // deprecated
    effGetVstVersion,
    effEditKeyDown,
    effEditKeyUp,
    effSetEditKnob,
    effGetMidiProgramName,
    effGetCurrentMidiProgram,
    effGetMidiProgramCategory,
    effHasMidiProgramsChanged,
    effGetMidiKeyName,
    effBeginSetProgram,
    effEndSetProgram,
    effGetSpeakerArrangement,
    effShellGetNextPlugin,
    effStartProcess,
    effStopProcess,
    effSetTotalSampleToProcess,
    effSetPanLaw,
    effBeginLoadBank,
    effBeginLoadProgram,
    effSetProcessPrecision,
    effGetNumMidiInputChannels,
    effGetNumMidiOutputChannels,
    opcodeCount  // one past the last opcode
};

static_assert(effGetChunk == 23 && effSetChunk == 24 && effProcessEvents == 25);
static_assert(effGetProgramNameIndexed == 29 && effGetPlugCategory == 35);
static_assert(effGetEffectName == 45 && effCanDo == 51 && effGetVstVersion == 58);
static_assert(effGetSpeakerArrangement == 69 && effSetTotalSampleToProcess == 73);
static_assert(effGetNumMidiOutputChannels == 79 && opcodeCount == 80);

// The entry point every VST 2.4 module exports (also under the name "main").
using EntryProc = AEffect*(QB32_VSTCALL*)(HostCallback host);

}  // namespace qb32::vst
