// Parameters, their texts, and the programs.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <string>

#include "tests/support/AllocationCounter.h"
#include "tests/plugin/PluginFixture.h"
#include "tests/support/Reference.h"

namespace qb32::testing {
namespace {

using namespace vst;

std::string display(PluginInstance& p, int index) {
    char text[64];
    std::memset(text, '#', sizeof text);
    p.call(effGetParamDisplay, index, 0, text);
    return text;
}

// Applies queued changes: one short callback.
void runOneBlock(PluginInstance& p) {
    HostBuffers b(16);
    b.run(p.effect, 16);
}

TEST(Parameters, DisplayWhatTheValueSelects) {
    struct Case {
        int index;
        float value;
        const char* text;
    };
    const Case cases[] = {
        {0, 0.5f, "90"},      {0, 0.25f, "45"},      {0, 0.0f, "0"},         {4, 1.0f, "180"},
        {1, 1.0f, "360"},     {9, 0.999f, "359"},    {9, 0.5f, "180"},       {2, 0.0f, "omni"},
        {2, 1.5f / 12, "super3"}, {6, 0.5f, "hyper1"}, {6, 7.5f / 12, "card3"}, {10, 0.75f, "card1"},
        {10, 0.84f, "dipole1"}, {30, 1.0f, "torus"}, {30, 0.9999f, "torus"}, {3, 0.5f, "on"},
        {3, 0.4999f, "off"},  {31, 1.0f, "on"},      {31, 0.0f, "off"},
    };
    PluginInstance p;
    for (const Case& c : cases) {
        p.set(c.index, c.value);
        // Shown at once, before any audio has run.
        EXPECT_EQ(display(p, c.index), c.text) << "index " << c.index << " value " << c.value;
        EXPECT_EQ(p.get(c.index), c.value);
    }
}

// Every pattern's range of values, checked near both ends against the
// catalogue's own numbering. (Exactly k/12 as a float may round below the
// boundary and select k - 1: the product is formed from the float as given.)
TEST(Parameters, PatternRangesFollowTheCatalogue) {
    PluginInstance p;
    const int count = p.plugin().getEngine().getPatternCount();
    ASSERT_EQ(count, 12);
    for (int k = 0; k < count; ++k) {
        for (double v : {(k + 0.001) / count, (k + 0.999) / count}) {
            p.set(2, static_cast<float>(v));
            EXPECT_EQ(p.plugin().getPatternIndex(0), k) << v;
        }
    }
}

// A host's automation menu and its controller pages: 32 different short
// names carrying beam and kind, the long labels, a category per beam with
// its four parameters, and ranges whose every announced step (value
// i / maxInteger, as a host sends it) selects exactly what the step means,
// read back through the display texts and the engine.
TEST(Parameters, NamesPropertiesAndStepsTellTheBeamsApart) {
    PluginInstance p;
    const char* kinds[] = {"Elevation", "Azimuth", "Pattern", "Status"};
    const char* shortKinds[] = {"Elev", "Azim", "Patt", "On"};
    const char* labels[] = {"degree", "degree", "", ""};
    const char* patternNames[] = {"omni", "super3", "super2", "super1", "hyper3", "hyper2",
                                  "hyper1", "card3", "card2", "card1", "dipole1", "torus"};
    std::set<std::string> names;
    int perCategory[9] = {};
    for (int index = 0; index < 32; ++index) {
        const int beam = index / 4, kind = index % 4;
        const std::string number = std::to_string(beam + 1);
        char name[64], label[64];
        std::memset(name, '#', sizeof name);
        p.call(effGetParamName, index, 0, name);
        p.call(effGetParamLabel, index, 0, label);
        EXPECT_LE(std::strlen(name), 8u) << name;
        EXPECT_EQ(name, number + " " + shortKinds[kind]);
        names.insert(name);
        EXPECT_STREQ(label, labels[kind]);

        VstParameterProperties props;
        std::memset(&props, '#', sizeof props);
        ASSERT_EQ(p.call(effGetParameterProperties, index, 0, &props), 1);
        EXPECT_EQ(std::string(props.label), "Beam " + number + " " + kinds[kind]);
        EXPECT_STREQ(props.shortLabel, name);
        EXPECT_EQ(std::string(props.categoryLabel), "Beam " + number);
        ASSERT_TRUE(props.flags & kVstParameterSupportsDisplayCategory);
        EXPECT_EQ(props.category, beam + 1);
        EXPECT_EQ(props.numParametersInCategory, 4);
        ++perCategory[props.category];
        EXPECT_TRUE(props.flags & kVstParameterSupportsDisplayIndex);
        EXPECT_EQ(props.displayIndex, index);
        EXPECT_EQ(props.reserved, 0);
        EXPECT_EQ(bool(props.flags & kVstParameterIsSwitch), kind == 3);
        ASSERT_TRUE(props.flags & kVstParameterUsesIntegerMinMax);
        const int steps[] = {180, 360, 11, 1};
        ASSERT_EQ(props.minInteger, 0);
        ASSERT_EQ(props.maxInteger, steps[kind]);
        for (int i = props.minInteger; i <= props.maxInteger; ++i) {
            p.set(index, static_cast<float>(i) / static_cast<float>(props.maxInteger));
            const std::string shown = display(p, index);
            switch (kind) {
                case 0: case 1: EXPECT_EQ(shown, std::to_string(i)) << name; break;
                case 2: EXPECT_EQ(shown, patternNames[i]) << name; break;
                default: EXPECT_EQ(shown, i == 1 ? "on" : "off") << name; break;
            }
        }
        if (props.flags & kVstParameterUsesFloatStep) {
            EXPECT_FLOAT_EQ(props.stepFloat * props.maxInteger, 1.0f) << name;
            EXPECT_GE(props.largeStepFloat, props.stepFloat) << name;
        }
    }
    EXPECT_EQ(names.size(), 32u);
    for (int c = 1; c <= 8; ++c) EXPECT_EQ(perCategory[c], 4) << c;
    VstParameterProperties untouched{};
    EXPECT_EQ(p.call(effGetParameterProperties, 32, 0, &untouched), 0);
    EXPECT_EQ(p.call(effGetParameterProperties, 0, 0, nullptr), 0);
    EXPECT_EQ(untouched.label[0], '\0');

    // The whole-degree steps reach the engine as those degrees.
    p.set(0, 113.0f / 180.0f);
    runOneBlock(p);
    EXPECT_EQ(p.plugin().getEngine().getElevation(0), 113.0f);
}

TEST(Parameters, OutOfRangeIndicesAnswerNothing) {
    PluginInstance p;
    for (int index : {-1, 32, 1000, std::numeric_limits<int>::min()}) {
        p.set(index, 0.3f);
        EXPECT_EQ(p.get(index), 0.0f);
        for (Opcode op : {effGetParamName, effGetParamLabel, effGetParamDisplay}) {
            char text[16];
            std::memset(text, '#', sizeof text);
            p.call(op, index, 0, text);
            EXPECT_STREQ(text, "") << "opcode " << op << " index " << index;
        }
    }
    for (int index = 0; index < 32; ++index) EXPECT_EQ(p.get(index), index % 4 == 0 ? 0.5f : index % 4 == 3 ? 1.0f : 0.0f);
}

// No text reaches past the host's buffer: 9 bytes for names, labels and
// displays, 24 for program names.
TEST(Parameters, TextsStayInsideTheHostsBuffers) {
    PluginInstance p;
    char longName[64];
    std::memset(longName, 'x', sizeof longName);
    longName[63] = '\0';
    p.call(effSetProgramName, 0, 0, longName);
    struct Text {
        Opcode opcode;
        int index;
        std::size_t bytes;
    };
    for (const Text& t : {Text{effGetParamName, 31, 9}, Text{effGetParamLabel, 0, 9},
                          Text{effGetParamDisplay, 2, 9}, Text{effGetParamDisplay, 0, 9},
                          Text{effGetProgramName, 0, 24}, Text{effGetProgramNameIndexed, 0, 24}}) {
        p.set(2, 10.0f / 12);  // "dipole1": the longest pattern name
        char buffer[64];
        std::memset(buffer, '#', sizeof buffer);
        p.call(t.opcode, t.index, 0, buffer);
        EXPECT_LT(std::strlen(buffer), t.bytes) << t.opcode;
        for (std::size_t i = t.bytes; i < sizeof buffer; ++i)
            ASSERT_EQ(buffer[i], '#') << "opcode " << t.opcode << " wrote byte " << i;
    }
}

TEST(Parameters, NonFiniteAndOutOfRangeValuesAreLimited) {
    struct Case {
        float value;
        float stored;
    };
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {{std::nanf(""), 0.0f}, {inf, 1.0f}, {-inf, 0.0f}, {1.5f, 1.0f},
                          {-0.25f, 0.0f}, {0.3f, 0.3f}};
    PluginInstance p;
    for (const Case& c : cases) {
        for (int kind = 0; kind < 4; ++kind) {
            p.set(kind, c.value);
            EXPECT_EQ(p.get(kind), c.stored) << "kind " << kind << " value " << c.value;
        }
        runOneBlock(p);
        const CQb32& engine = p.plugin().getEngine();
        EXPECT_NEAR(engine.getElevation(0), c.stored * 180.0f, 1e-4f);
        EXPECT_NEAR(engine.getAzimuth(0), c.stored * 360.0f, 1e-4f);
        EXPECT_FALSE(std::isnan(p.plugin().getElevationDegrees(0)));
    }
}

TEST(Parameters, TheEngineFollowsFromTheNextBlock) {
    PluginInstance p;
    p.set(4 * 5 + 0, 0.25f);    // beam 5 elevation 45
    p.set(4 * 5 + 1, 0.5f);     // azimuth 180
    p.set(4 * 5 + 2, 7.5f / 12);  // card3
    runOneBlock(p);
    const CQb32& engine = p.plugin().getEngine();
    EXPECT_EQ(engine.getElevation(5), 45.0f);
    EXPECT_EQ(engine.getAzimuth(5), 180.0f);
    EXPECT_EQ(engine.getBeamPatternIndex(5), 7);
    ASSERT_NE(engine.getBeamPattern(5), nullptr);
    EXPECT_EQ(engine.getBeamVariant(5), CQb32::defaultVariant(*engine.getBeamPattern(5)));
    EXPECT_EQ(engine.getElevation(4), 90.0f);  // its neighbours untouched
}

// Later changes win, in the order they arrived, even when many pile up
// between two blocks (beyond the queue: the whole program is resent).
TEST(Parameters, ManyChangesBetweenBlocksEndInTheLastOne) {
    for (int changes : {3, 5000}) {
        PluginInstance p;
        for (int i = 0; i < changes; ++i) p.set(1, static_cast<float>(i % 100) / 100.0f);
        p.set(1, 0.125f);
        runOneBlock(p);
        EXPECT_EQ(p.plugin().getEngine().getAzimuth(0), 45.0f) << changes;
    }
}

TEST(Parameters, SettingAValueAllocatesNothing) {
    PluginInstance p;
    AllocationScope scope;
    for (int i = 0; i < 2000; ++i) p.set(i % 32, static_cast<float>(i % 7) / 7.0f);
    p.call(effSetProgram, 0, 3);
    EXPECT_EQ(scope.allocations(), 0u);
}

TEST(Programs, NamesReadDefaultKUntilRenamed) {
    PluginInstance p;
    for (int k = 0; k < 8; ++k) {
        char name[24];
        EXPECT_EQ(p.call(effGetProgramNameIndexed, k, 0, name), 1);
        EXPECT_EQ(std::string(name), "default " + std::to_string(k + 1));
    }
    p.call(effSetProgram, 0, 3);
    char renamed[] = "Choir left";
    p.call(effSetProgramName, 0, 0, renamed);
    char name[24];
    p.call(effGetProgramName, 0, 0, name);
    EXPECT_STREQ(name, "Choir left");
    p.call(effGetProgramNameIndexed, 3, 0, name);
    EXPECT_STREQ(name, "Choir left");
    char thirty[] = "abcdefghijklmnopqrstuvwxyz0123";
    p.call(effSetProgramName, 0, 0, thirty);
    p.call(effGetProgramName, 0, 0, name);
    EXPECT_STREQ(name, "abcdefghijklmnopqrstuvw");
    char nothingSet = 'x';
    EXPECT_EQ(p.call(effGetProgramNameIndexed, 8, 0, &nothingSet), 0);
    EXPECT_EQ(nothingSet, 'x');
}

TEST(Programs, EachProgramKeepsItsOwnValues) {
    PluginInstance p;
    p.set(0, 0.1f);
    p.set(6, 0.5f);  // program 0: beam 1 hyper1
    p.call(effSetProgram, 0, 2);
    EXPECT_EQ(p.get(0), 0.5f);
    EXPECT_EQ(display(p, 6), "omni");
    p.set(0, 0.9f);
    p.call(effSetProgram, 0, 0);
    EXPECT_EQ(p.get(0), 0.1f);
    EXPECT_EQ(display(p, 0), "18");
    EXPECT_EQ(display(p, 6), "hyper1");
    runOneBlock(p);
    EXPECT_EQ(p.plugin().getEngine().getBeamPatternIndex(1), 6);
    p.call(effSetProgram, 0, 2);
    EXPECT_EQ(p.get(0), 0.9f);
    runOneBlock(p);
    EXPECT_EQ(p.plugin().getEngine().getElevation(0), 0.9f * 180.0f);
    EXPECT_EQ(p.plugin().getEngine().getBeamPatternIndex(1), 0);
}

// Selecting the current program again, or sending a parameter the value it
// has, changes no bit of the output (a pattern reloaded would crossfade the
// beam into itself).
TEST(Programs, SendingTheSameValuesAgainChangesNothing) {
    PluginInstance a, twin;
    for (PluginInstance* p : {&a, &twin}) p->set(6, 7.5f / 12);  // beam 1 card3
    const auto noise = whiteNoise(40 * 256 * 32, 4);
    for (int block = 0; block < 40; ++block) {
        if (block == 10) a.call(effSetProgram, 0, 0);
        if (block == 20) a.set(6, 7.5f / 12);
        HostBuffers x(256), y(256);
        for (int c = 0; c < 32; ++c)
            for (int i = 0; i < 256; ++i) x.in[c][i] = y.in[c][i] = noise[(block * 256 + i) * 32 + c];
        x.run(a.effect, 256);
        y.run(twin.effect, 256);
        for (int c = 0; c < 8; ++c) ASSERT_EQ(x.out[c], y.out[c]) << "block " << block << " beam " << c;
    }
}

TEST(DegreeText, FollowsTheDecimalRule) {
    struct Case {
        float degrees;
        const char* text;
    };
    const Case cases[] = {
        {0.0f, "0"},          {0.99f, "0"},         {-0.5f, "0"},          {7.9f, "7"},
        {100.0f, "100"},      {359.99f, "359"},     {-12.7f, "-12"},       {99999999.0f, "Huge!"},
        {12345678.0f, "12345678"}, {-1234567.0f, "-1234567"}, {-12345678.0f, "Huge!"},
        {1e9f, "Huge!"},      {std::nanf(""), "Huge!"}, {1000000.0f, "1000000"},
    };
    for (const Case& c : cases) {
        char text[16];
        std::memset(text, '#', sizeof text);
        writeDegrees(c.degrees, text);
        EXPECT_STREQ(text, c.text) << c.degrees;
        EXPECT_EQ(text[9], '#');
    }
}

}  // namespace
}  // namespace qb32::testing
