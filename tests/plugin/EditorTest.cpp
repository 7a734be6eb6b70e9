// The editor through the plug-in: what a user's gestures send to the host,
// in what order and with what values; the map following host changes and
// the engine's glides; and the audio path with the editor open.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "editor/BeamMapView.h"
#include "editor/Layout.h"
#include "tests/plugin/PluginFixture.h"
#include "tests/support/AllocationCounter.h"

namespace qb32 {
namespace {

using namespace qb32::vst;

struct HostEvent {
    VstInt32 opcode, index;
    float value;
};
std::vector<HostEvent> hostEvents;

VstIntPtr QB32_VSTCALL recordingHost(AEffect*, VstInt32 opcode, VstInt32 index, VstIntPtr, void*, float opt) {
    if (opcode == audioMasterVersion) return vstVersion;
    hostEvents.push_back({opcode, index, opt});
    return 0;
}

class EditorHost {
public:
    EditorHost() : effect(CQB32Vst::createInstance(recordingHost)) {
        call(effSetSampleRate, 0, 0, nullptr, 44100.0f);
        call(effSetBlockSize, 0, 512);
        call(effMainsChanged, 0, 1);
        hostEvents.clear();
    }
    ~EditorHost() { call(effClose); }
    EditorHost(const EditorHost&) = delete;
    EditorHost& operator=(const EditorHost&) = delete;
    VstIntPtr call(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr, float opt = 0.0f) {
        return effect->dispatcher(effect, opcode, index, value, ptr, opt);
    }
    CQB32Vst& plugin() { return *static_cast<CQB32Vst*>(effect->object); }
    editor::BeamMapView& openView() {
        EXPECT_TRUE(plugin().editorSide().openWithoutWindow(1));
        editor::BeamMapView& view = *plugin().editorSide().mapView();
        view.frame();
        return view;
    }
    AEffect* effect;
};

// The map's pixel of a direction, from the map's description: front in the
// middle, left (90) halfway to the left edge, zenith on top.
editor::Point pixelFor(double elevation, double azimuth) {
    const editor::Rect& m = editor::layout::map;
    const double leftOfCentre = azimuth < 180.0 ? azimuth : azimuth - 360.0;
    return {m.x + m.w / 2 - leftOfCentre * m.w / 360.0, m.y + elevation * m.h / 180.0};
}

editor::Point centreOf(const editor::Rect& r) { return {r.x + r.w / 2, r.y + r.h / 2}; }

TEST(EditorGlue, ADragSendsBeginAutomateEndInOrder) {
    const struct {
        double elevation, azimuth;  // where the drag ends
    } targets[] = {{45, 90}, {120, 300}, {80, 179.5}, {100, 180.5}, {0, 30}, {180, 200}, {90, 0.25}};
    for (const auto& t : targets) {
        EditorHost host;
        editor::BeamMapView& view = host.openView();
        const editor::Point from = pixelFor(90, 0);  // beam 1 starts at the horizon, in front
        const editor::Point to = pixelFor(t.elevation, t.azimuth);
        hostEvents.clear();
        view.mouseDown(from.x, from.y);
        view.mouseMove((from.x + to.x) / 2, (from.y + to.y) / 2 + 3);
        view.mouseUp(to.x, to.y);

        ASSERT_GE(hostEvents.size(), 6u);
        const std::size_t n = hostEvents.size();
        EXPECT_EQ(hostEvents[0].opcode, audioMasterBeginEdit);
        EXPECT_EQ(hostEvents[1].opcode, audioMasterBeginEdit);
        EXPECT_EQ(hostEvents[n - 2].opcode, audioMasterEndEdit);
        EXPECT_EQ(hostEvents[n - 1].opcode, audioMasterEndEdit);
        for (std::size_t i = 2; i + 2 < n; ++i) EXPECT_EQ(hostEvents[i].opcode, audioMasterAutomate) << i;
        for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(hostEvents[i].index, static_cast<VstInt32>(i % 2)) << i;
        // The last automation carries the values of the drop point.
        const double azimuth = std::fmod(t.azimuth + 360.0, 360.0);
        EXPECT_NEAR(hostEvents[n - 4].value, t.elevation / 180.0, 1e-6) << t.elevation << "/" << t.azimuth;
        EXPECT_NEAR(hostEvents[n - 3].value, azimuth / 360.0, 1e-6) << t.elevation << "/" << t.azimuth;
        EXPECT_EQ(host.effect->getParameter(host.effect, 0), hostEvents[n - 4].value);
        EXPECT_EQ(host.effect->getParameter(host.effect, 1), hostEvents[n - 3].value);
    }
}

TEST(EditorGlue, EveryPanelEditIsOneGesture) {
    using editor::layout::azimuthBox;
    using editor::layout::elevationBox;
    using editor::layout::patternBox;
    using editor::layout::statusBox;
    struct Case {
        const char* what;
        void (*act)(editor::BeamMapView&);
        VstInt32 index;
        float value;
        const char* display;
    };
    const Case cases[] = {
        {"wheel on a marker", [](editor::BeamMapView& v) { const auto p = pixelFor(90, 0); v.wheel(p.x, p.y, 2); },
         2, 2.5f / 12.0f, "super2"},
        {"pattern menu", [](editor::BeamMapView& v) {
             const auto p = centreOf(patternBox);
             v.mouseDown(p.x, p.y);
             v.mouseUp(p.x, p.y);
             const double itemY = patternBox.y + patternBox.h + 2 + 4 + editor::layout::menuItemHeight * 7.5;
             v.mouseDown(p.x, itemY);
             v.mouseUp(p.x, itemY);
         },
         2, 7.5f / 12.0f, "card3"},
        {"on/off", [](editor::BeamMapView& v) { const auto p = centreOf(statusBox); v.mouseDown(p.x, p.y); v.mouseUp(p.x, p.y); },
         3, 0.0f, "off"},
        {"typed elevation", [](editor::BeamMapView& v) {
             const auto p = centreOf(elevationBox);
             v.mouseDown(p.x, p.y);
             v.mouseUp(p.x, p.y);
             for (int i = 0; i < 3; ++i) v.key(editor::Key::backspace);
             v.key(editor::Key::character, '4');
             v.key(editor::Key::character, '5');
             v.key(editor::Key::enter);
         },
         0, 45.5f / 180.0f, "45"},
        {"typed azimuth", [](editor::BeamMapView& v) {
             const auto p = centreOf(azimuthBox);
             v.mouseDown(p.x, p.y);
             v.mouseUp(p.x, p.y);
             v.key(editor::Key::backspace);
             for (char c : {'-', '9', '0'}) v.key(editor::Key::character, c);
             v.key(editor::Key::enter);
         },
         1, 270.5f / 360.0f, "270"},
        {"wheel on the elevation field", [](editor::BeamMapView& v) { const auto p = centreOf(elevationBox); v.wheel(p.x, p.y, -3); },
         0, 87.5f / 180.0f, "87"},
    };
    for (const Case& c : cases) {
        EditorHost host;
        editor::BeamMapView& view = host.openView();
        hostEvents.clear();
        c.act(view);
        ASSERT_EQ(hostEvents.size(), 3u) << c.what;
        EXPECT_EQ(hostEvents[0].opcode, audioMasterBeginEdit) << c.what;
        EXPECT_EQ(hostEvents[1].opcode, audioMasterAutomate) << c.what;
        EXPECT_EQ(hostEvents[2].opcode, audioMasterEndEdit) << c.what;
        for (const HostEvent& e : hostEvents) EXPECT_EQ(e.index, c.index) << c.what;
        EXPECT_FLOAT_EQ(hostEvents[1].value, c.value) << c.what;
        char display[16] = {};
        host.call(effGetParamDisplay, c.index, 0, display);
        EXPECT_STREQ(display, c.display) << c.what;
    }
}

TEST(EditorGlue, TheMapFollowsTheHostAndTheEngine) {
    EditorHost host;
    editor::BeamMapView& view = host.openView();
    // Without audio the map shows the parameters as the host sets them.
    host.effect->setParameter(host.effect, 4 * 2 + 0, 0.25f);
    host.effect->setParameter(host.effect, 4 * 2 + 1, 0.5f);
    view.frame();
    EXPECT_FLOAT_EQ(static_cast<float>(view.shownDirection(2).elevation_deg), 45.0f);
    EXPECT_FLOAT_EQ(static_cast<float>(view.shownDirection(2).azimuth_deg), 180.0f);
    // With audio it shows where the steering has got to on its glide (one
    // degree per 100 samples), not where it is going.
    testing::HostBuffers audio(512);
    audio.run(host.effect, 512);
    host.effect->setParameter(host.effect, 1, 90.5f / 360.0f);
    for (int block = 1; block <= 12; ++block) {
        audio.run(host.effect, 512);
        view.frame();
        const int engineAzimuth = host.plugin().getEngine().getCurrentAzimuth(0);
        EXPECT_EQ(view.shownDirection(0).azimuth_deg, engineAzimuth);
        EXPECT_NEAR(engineAzimuth, std::min(90, block * 512 / 100), 1);
    }
    for (int block = 0; block < 20; ++block) audio.run(host.effect, 512);
    view.frame();
    EXPECT_EQ(view.shownDirection(0).azimuth_deg, 90.0);
}

TEST(EditorGlue, TheAudioPathIsUnchangedAndAllocationFreeWithTheEditorOpen) {
    EditorHost closed, open;
    editor::BeamMapView& view = open.openView();
    for (EditorHost* h : {&closed, &open})
        for (int b = 0; b < 8; ++b) {
            h->effect->setParameter(h->effect, 4 * b + 2, 7.5f / 12.0f);
            h->effect->setParameter(h->effect, 4 * b + 1, (45.0f * b + 0.5f) / 360.0f);
        }
    testing::HostBuffers a(512), b(512);
    std::mt19937 rng(1);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    for (int block = 0; block < 40; ++block) {
        for (std::size_t c = 0; c < a.in.size(); ++c)
            for (std::size_t i = 0; i < a.in[c].size(); ++i) b.in[c][i] = a.in[c][i] = noise(rng);
        a.run(closed.effect, 512);
        testing::AllocationScope scope;
        b.run(open.effect, 512);
        EXPECT_EQ(scope.allocations(), 0u) << "block " << block;
        for (std::size_t c = 0; c < a.out.size(); ++c) ASSERT_EQ(a.out[c], b.out[c]) << "block " << block;
        if (block % 4 == 3) view.frame();
    }
    EXPECT_GT(view.energy().loudest_db(), -60.0f);
}

TEST(EditorGlue, OpeningAndClosingLeavesNothingBehind) {
    EditorHost host;
    EXPECT_NE(host.effect->flags & effFlagsHasEditor, 0);
    ERect* rect = nullptr;
    EXPECT_EQ(host.call(effEditGetRect, 0, 0, &rect), 1);
    ASSERT_NE(rect, nullptr);
    const int scale = (rect->right - rect->left) / editor::layout::width;
    EXPECT_TRUE(scale == 1 || scale == 2);
    EXPECT_EQ(rect->bottom - rect->top, editor::layout::height * scale);
    EXPECT_EQ(host.call(effEditOpen, 0, 0, nullptr), 0);  // no parent window
    std::size_t firstCycle = 0;
    for (int cycle = 0; cycle < 100; ++cycle) {
        testing::AllocationScope scope;
        ASSERT_TRUE(host.plugin().editorSide().openWithoutWindow(1 + cycle % 2));
        host.plugin().editorSide().mapView()->frame();
        host.call(effEditIdle);
        host.call(effEditClose);
        EXPECT_FALSE(host.plugin().editorSide().isOpen());
        if (cycle == 1) firstCycle = scope.allocations();
        // Every cycle after the first (which makes the audio tap's ring) asks
        // the same of the heap; what it keeps, LeakSanitizer would report.
        if (cycle > 1 && cycle % 2 == 1) {
            EXPECT_EQ(scope.allocations(), firstCycle);
        }
    }
}

TEST(EditorGlue, TheTapDropsWhatTheEditorCannotTakeAndCarriesOn) {
    EditorHost host;
    editor::BeamMapView& view = host.openView();
    testing::HostBuffers audio(512);
    audio.tone(0, 1000.0, 0.1f);
    editor::AudioTap& tap = *host.plugin().editorSide().audioTap();
    for (int block = 0; block < 2 * editor::AudioTap::capacity_frames / 512; ++block) audio.run(host.effect, 512);
    EXPECT_GT(tap.framesDropped(), 0u);
    EXPECT_EQ(tap.available(), editor::AudioTap::capacity_frames);
    view.frame();
    EXPECT_EQ(tap.available(), 0);
    EXPECT_GT(view.energy().loudest_db(), -60.0f);
    host.call(effEditClose);
    const auto dropped = tap.framesDropped();
    for (int block = 0; block < 40; ++block) audio.run(host.effect, 512);
    EXPECT_EQ(tap.framesDropped(), dropped) << "a closed tap takes nothing";
}

}  // namespace
}  // namespace qb32
