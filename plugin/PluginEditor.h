#pragma once
// PluginEditor: the plug-in's side of the beam map. It answers the editor
// opcodes for CQB32Vst (the window's size, open, close, idle), keeps the map
// view and its platform window while the editor is open, and implements the
// EditorController the view talks to: it reads the parameters' per-beam
// state and the pattern catalogue, and sends the view's edits to the host as
// begin-edit, automate (setParameterAutomated) and end-edit.
//
// States: closed (no view, no window, the audio tap closed, so the audio
// callback does nothing for the editor) -> open (view, window and tap) ->
// closed. open without a window (no display, no X11 library, an invalid
// parent) answers false and leaves everything closed. openWithoutWindow is
// the same editor with no window at all, for tests and the screenshot tool.
//
// Threads: every operation on the host's GUI thread. The audio tap belongs to
// the plug-in object; only the audio callback writes it.

#include <memory>

#include "editor/AudioTap.h"
#include "editor/EditorController.h"
#include "plugin/vst/AEffect.h"

namespace qb32 {

namespace editor {
class BeamMapView;
class PlatformWindow;
}  // namespace editor

class CQB32Vst;

class PluginEditor final : public editor::EditorController {
public:
    PluginEditor(CQB32Vst& plugin, editor::AudioTap& tap) noexcept;
    ~PluginEditor() override;
    PluginEditor(const PluginEditor&) = delete;
    PluginEditor& operator=(const PluginEditor&) = delete;

    bool getRect(vst::ERect** rect);
    bool open(void* parentWindow);
    bool openWithoutWindow(int scale);
    void close() noexcept;
    void idle();
    [[nodiscard]] bool isOpen() const noexcept { return view != nullptr; }
    [[nodiscard]] editor::BeamMapView* mapView() noexcept { return view.get(); }

    // EditorController
    editor::BeamSettings beamSettings(int beam) override;
    int patternCount() override;
    editor::PatternInfo pattern(int index) override;
    double sessionRate_hz() override;
    bool engineSilentAtSessionRate() override;
    editor::AudioTap* audioTap() override { return &tap; }
    void beginEdit(int index) override;
    void performEdit(int index, float value) override;
    void endEdit(int index) override;

private:
    int scale();

    CQB32Vst& plugin;
    editor::AudioTap& tap;
    vst::ERect rect{};
    int chosenScale = 0;
    std::unique_ptr<editor::BeamMapView> view;
    std::unique_ptr<editor::PlatformWindow> window;
};

}  // namespace qb32
