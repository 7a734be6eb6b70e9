// Platforms without a window system the editor knows: no window opens.
#include "editor/PlatformWindow.h"

namespace qb32::editor {

int PlatformWindow::preferredScale() { return 1; }
std::unique_ptr<PlatformWindow> PlatformWindow::open(void*, BeamMapView&) { return nullptr; }

}  // namespace qb32::editor
