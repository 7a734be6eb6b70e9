#include "plugin/PluginEditor.h"

#include <new>

#include "editor/BeamMapView.h"
#include "editor/Layout.h"
#include "editor/PlatformWindow.h"
#include "patterns/CQbPattern.h"
#include "plugin/CQB32Vst.h"

namespace qb32 {

static_assert(editor::beamCount == beamCount && editor::parameterIndex(3, editor::BeamParameter::status) == 4 * 3 + statusKind,
              "the editor numbers the parameters as the plug-in does");

PluginEditor::PluginEditor(CQB32Vst& owner, editor::AudioTap& audioTap) noexcept : plugin(owner), tap(audioTap) {}

PluginEditor::~PluginEditor() { close(); }

int PluginEditor::scale() {
    if (chosenScale == 0) chosenScale = editor::PlatformWindow::preferredScale();
    return chosenScale;
}

bool PluginEditor::getRect(vst::ERect** answer) {
    const int s = view != nullptr ? view->scale() : scale();
    rect = {0, 0, static_cast<std::int16_t>(editor::layout::height * s), static_cast<std::int16_t>(editor::layout::width * s)};
    *answer = &rect;
    return true;
}

bool PluginEditor::openWithoutWindow(int s) {
    close();
    if (!tap.open()) return false;
    view.reset(new (std::nothrow) editor::BeamMapView(*this, s));
    if (view == nullptr) {
        tap.close();
        return false;
    }
    return true;
}

bool PluginEditor::open(void* parentWindow) {
    if (parentWindow == nullptr || !openWithoutWindow(scale())) return false;
    window = editor::PlatformWindow::open(parentWindow, *view);
    if (window == nullptr) {
        close();
        return false;
    }
    return true;
}

void PluginEditor::close() noexcept {
    window.reset();
    view.reset();
    tap.close();
}

void PluginEditor::idle() {
    if (window != nullptr) window->idle();
}

editor::BeamSettings PluginEditor::beamSettings(int beam) {
    return {plugin.getElevationDegrees(beam), plugin.getAzimuthDegrees(beam), plugin.getPatternIndex(beam),
            plugin.isBeamOn(beam)};
}

int PluginEditor::patternCount() { return plugin.getEngine().getPatternCount(); }

editor::PatternInfo PluginEditor::pattern(int index) {
    // Patterns are immutable for the engine's life: any thread may read them.
    const CQbPattern* p = plugin.getEngine().getPattern(index);
    if (p == nullptr) return {};
    const int variant = CQb32::defaultVariant(*p);
    const float* polar = p->polarResponse != nullptr ? p->polarResponse + variant * p->polarPointCount : nullptr;
    return {p->name, polar, polar != nullptr ? p->polarPointCount : 0};
}

double PluginEditor::sessionRate_hz() { return plugin.getSampleRate(); }

// Silent at rates the engine has no tables for; the window's header then
// shows the notice.
bool PluginEditor::engineSilentAtSessionRate() { return !CQb32::isRateSupported(plugin.getSampleRate()); }

void PluginEditor::beginEdit(int index) { plugin.beginEdit(index); }
void PluginEditor::performEdit(int index, float value) { plugin.setParameterAutomated(index, value); }
void PluginEditor::endEdit(int index) { plugin.endEdit(index); }

}  // namespace qb32
