// The effect record, the entry point and the dispatcher's answers.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "tests/support/AllocationCounter.h"
#include "tests/plugin/PluginFixture.h"

namespace qb32::testing {
namespace {

using namespace vst;

// Field offsets of the interface's record, worked out by hand for both
// pointer sizes: the host reads these addresses whatever our struct says.
TEST(EffectRecord, FieldsSitWhereHostsReadThem) {
    constexpr bool wide = sizeof(void*) == 8;
    struct Field {
        std::size_t actual, narrow, wideOffset;
    };
    const Field fields[] = {
        {offsetof(AEffect, magic), 0, 0},
        {offsetof(AEffect, dispatcher), 4, 8},
        {offsetof(AEffect, process), 8, 16},
        {offsetof(AEffect, setParameter), 12, 24},
        {offsetof(AEffect, getParameter), 16, 32},
        {offsetof(AEffect, numPrograms), 20, 40},
        {offsetof(AEffect, numParams), 24, 44},
        {offsetof(AEffect, numInputs), 28, 48},
        {offsetof(AEffect, numOutputs), 32, 52},
        {offsetof(AEffect, flags), 36, 56},
        {offsetof(AEffect, reserved1), 40, 64},
        {offsetof(AEffect, reserved2), 44, 72},
        {offsetof(AEffect, initialDelay), 48, 80},
        {offsetof(AEffect, realQualities), 52, 84},
        {offsetof(AEffect, offQualities), 56, 88},
        {offsetof(AEffect, ioRatio), 60, 92},
        {offsetof(AEffect, object), 64, 96},
        {offsetof(AEffect, user), 68, 104},
        {offsetof(AEffect, uniqueID), 72, 112},
        {offsetof(AEffect, version), 76, 116},
        {offsetof(AEffect, processReplacing), 80, 120},
        {offsetof(AEffect, processDoubleReplacing), 84, 128},
        {offsetof(AEffect, future), 88, 136},
        {sizeof(AEffect), 144, 192},
    };
    for (std::size_t i = 0; i < std::size(fields); ++i)
        EXPECT_EQ(fields[i].actual, wide ? fields[i].wideOffset : fields[i].narrow) << "field " << i;
}

TEST(EffectRecord, PublishesThePluginsValues) {
    PluginInstance p;
    ASSERT_NE(p.effect, nullptr);
    const AEffect& e = *p.effect;
    EXPECT_EQ(e.magic, 0x56737450);  // 'VstP'
    EXPECT_EQ(e.numPrograms, 8);
    EXPECT_EQ(e.numParams, 32);
    EXPECT_EQ(e.numInputs, 32);
    EXPECT_EQ(e.numOutputs, 8);
    EXPECT_EQ(e.flags, 17);  // processReplacing and an editor
    EXPECT_EQ(e.initialDelay, p.plugin().getEngine().latencySamples());
    EXPECT_GT(e.initialDelay, 0);
    EXPECT_EQ(e.realQualities, 0);
    EXPECT_EQ(e.offQualities, 0);
    EXPECT_EQ(e.ioRatio, 1.0f);
    EXPECT_EQ(e.user, nullptr);
    EXPECT_EQ(e.uniqueID, ('Q' << 24) | ('B' << 16) | ('3' << 8) | '2');
    EXPECT_EQ(e.version, 1);
    EXPECT_EQ(e.object, static_cast<void*>(&p.plugin()));
}

TEST(Entry, RefusesHostsThatCannotBeServed) {
    EXPECT_EQ(CQB32Vst::createInstance(nullptr), nullptr);
    auto ancientHost = [](AEffect*, VstInt32, VstInt32, VstIntPtr, void*, float) -> VstIntPtr {
        return 0;
    };
    EXPECT_EQ(CQB32Vst::createInstance(ancientHost), nullptr);
}

TEST(Entry, AsksTheHostForItsVersionOnly) {
    static int requests, versionRequests;
    requests = versionRequests = 0;
    auto countingHost = [](AEffect* effect, VstInt32 opcode, VstInt32, VstIntPtr, void*,
                           float) -> VstIntPtr {
        ++requests;
        if (opcode == audioMasterVersion && effect == nullptr) ++versionRequests;
        return vstVersion;
    };
    AEffect* e = CQB32Vst::createInstance(countingHost);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(requests, 1);
    EXPECT_EQ(versionRequests, 1);
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
}

// The shell's own allocations on the creation path: the instance (the first)
// and the program records (the last). Refusing either gives no instance.
TEST(Entry, NoInstanceWithoutMemoryForItOrItsPrograms) {
    std::size_t allocations = 0;
    {
        AllocationScope counting;
        AEffect* e = CQB32Vst::createInstance(modernHost);
        allocations = counting.allocations();
        ASSERT_NE(e, nullptr);
        e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
    }
    for (std::size_t n : {std::size_t{1}, allocations}) {
        AllocationFailureScope failing(n);
        EXPECT_EQ(CQB32Vst::createInstance(modernHost), nullptr) << "allocation " << n;
        EXPECT_TRUE(failing.refusedAny());
    }
    // One more allocation is enough: a complete instance.
    AllocationFailureScope failing(allocations + 1);
    AEffect* e = CQB32Vst::createInstance(modernHost);
    ASSERT_NE(e, nullptr);
    char name[24];
    e->dispatcher(e, effGetProgramName, 0, 0, name, 0.0f);
    EXPECT_STREQ(name, "default 1");
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
}

TEST(Dispatcher, AnswersEveryOpcodeAsTheInterfaceExpects) {
    PluginInstance p;
    struct Expectation {
        Opcode opcode;
        VstInt32 index;
        VstIntPtr value;
        VstIntPtr answer;
    };
    const Expectation table[] = {
        {effOpen, 0, 0, 0},
        {effGetProgram, 0, 0, 0},
        {effIdentify, 0, 0, 1316373862},
        {effGetChunk, 0, 0, 0},
        {effSetChunk, 0, 0, 0},
        {effProcessEvents, 0, 0, 0},
        {effCanBeAutomated, 0, 0, 1},
        {effCanBeAutomated, 31, 0, 1},
        {effCanBeAutomated, 32, 0, 0},
        {effCanBeAutomated, -1, 0, 0},
        {effString2Parameter, 0, 0, 0},
        {effGetProgramNameIndexed, 7, 0, 1},
        {effGetProgramNameIndexed, 8, 0, 0},
        {effGetProgramNameIndexed, -1, 0, 0},
        {effGetInputProperties, 0, 0, 0},
        {effGetOutputProperties, 0, 0, 0},
        {effGetPlugCategory, 0, 0, 1},
        {effSetSpeakerArrangement, 0, 0, 0},
        {effSetBypass, 0, 1, 0},
        {effGetVendorVersion, 0, 0, 1},
        {effVendorSpecific, 0, 0, 0},
        {effGetTailSize, 0, 0, 0},
        {effGetParameterProperties, 0, 0, 1},
        {effGetParameterProperties, 32, 0, 0},
        {effGetVstVersion, 0, 0, 2400},
        {effGetCurrentMidiProgram, 0, 0, -1},
        {effBeginSetProgram, 0, 0, 0},
        {effEndSetProgram, 0, 0, 0},
        {effShellGetNextPlugin, 0, 0, 0},
        {effStartProcess, 0, 0, 0},
        {effStopProcess, 0, 0, 0},
        {effSetTotalSampleToProcess, 0, 123456, 123456},
        {effSetProcessPrecision, 0, 1, 0},
        {effGetNumMidiInputChannels, 0, 0, 0},
        {effGetNumMidiOutputChannels, 0, 0, 0},
        {effEditGetRect, 0, 0, 1},
        {effEditOpen, 0, 0, 0},  // the buffer is no window
        {effEditIdle, 0, 0, 0},
        {static_cast<Opcode>(80), 0, 0, 0},
        {static_cast<Opcode>(-1), 0, 0, 0},
        {static_cast<Opcode>(100000), 0, 0, 0},
    };
    for (const Expectation& x : table) {
        char buffer[256] = {};
        EXPECT_EQ(p.call(x.opcode, x.index, x.value, buffer), x.answer)
            << "opcode " << x.opcode << " index " << x.index;
    }
}

TEST(Dispatcher, WritesTheIdentityStrings) {
    PluginInstance p;
    struct Identity {
        Opcode opcode;
        const char* text;
    };
    for (const Identity& id : {Identity{effGetEffectName, "Quorbix "},
                               Identity{effGetVendorString, "Vantakor LLC"},
                               Identity{effGetProductString, "Quorbix QB32"}}) {
        char buffer[64];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(p.call(id.opcode, 0, 0, buffer), 1);
        EXPECT_STREQ(buffer, id.text);
        // A null pointer is no buffer: nothing written, answer 0.
        EXPECT_EQ(p.call(id.opcode, 0, 0, nullptr), 0);
    }
}

TEST(Dispatcher, CanDoNothing) {
    PluginInstance p;
    for (const char* what : {"receiveVstMidiEvent", "sendVstEvents", "bypass", ""}) {
        std::string text = what;
        EXPECT_EQ(p.call(effCanDo, 0, 0, text.data()), 0) << what;
    }
}

TEST(Dispatcher, SpeakerArrangementIsLeftNull) {
    PluginInstance p;
    int dummy = 0;
    void* input = &dummy;
    void* output = &dummy;
    EXPECT_EQ(p.call(effGetSpeakerArrangement, 0, reinterpret_cast<VstIntPtr>(&input), &output), 0);
    EXPECT_EQ(input, nullptr);
    EXPECT_EQ(output, nullptr);
}

TEST(Dispatcher, ProgramOutsideTheBankIsIgnored) {
    PluginInstance p;
    p.call(effSetProgram, 0, 3);
    for (VstIntPtr value : {VstIntPtr{8}, VstIntPtr{-1}, VstIntPtr{1} << 40}) {
        p.call(effSetProgram, 0, value);
        EXPECT_EQ(p.call(effGetProgram), 3);
    }
}

TEST(Dispatcher, CloseAnswersOneAndReleasesTheInstance) {
    // The sanitizer build reports a leak if the instance survives effClose.
    AEffect* e = CQB32Vst::createInstance(modernHost);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f), 1);
}

TEST(Dispatcher, MainsChangedAndSuspendAnswerZero) {
    PluginInstance p;
    EXPECT_EQ(p.call(effMainsChanged, 0, 1), 0);
    EXPECT_EQ(p.call(effMainsChanged, 0, 0), 0);
}

}  // namespace
}  // namespace qb32::testing
