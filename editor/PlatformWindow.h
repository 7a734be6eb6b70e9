#pragma once
// PlatformWindow: the beam map on screen, as a child of the host's window.
//
// The view draws into its pixel buffer; the platform window hands that
// buffer to the screen as it is and turns the platform's mouse, wheel and
// key events into the view's input calls. Frames are drawn about 30 times a
// second: from the host's idle calls, and from a timer of the window's own
// when the host calls idle rarely.
//
//  - Linux: an X11 child window. libX11 is loaded with the dynamic loader
//    when the first editor opens (never when the module loads), so hosts and
//    tools on machines without X11 still load the module. No libX11, no
//    display, a parent that is not a window, or a screen that is not 24-bit
//    TrueColor: open answers null. The window has its own connection to the
//    display; X errors on that connection are swallowed, never passed to the
//    host's handler. Its timer is a thread that serves events and frames
//    whenever the host has not called idle for 100 ms; the view is only ever
//    touched under the window's lock.
//  - Windows: a child window of the host's HWND drawn with SetDIBitsToDevice
//    (user32 and gdi32 only), its timer a WM_TIMER on the host's GUI thread.
//
// Threads: open, idle and destruction on the host's GUI thread. Destruction
// stops the timer, destroys the window and releases every resource it took.

#include <memory>

namespace qb32::editor {

class BeamMapView;

class PlatformWindow {
public:
    virtual ~PlatformWindow() = default;

    // A child of `parent` (an X11 Window id or an HWND) showing `view`; null
    // when none can be made.
    static std::unique_ptr<PlatformWindow> open(void* parent, BeamMapView& view);
    // 2 on a screen of 144 dots per inch or more, else 1 (also without a display).
    static int preferredScale();

    // [GUI thread] Serves pending events and draws a frame when one is due.
    virtual void idle() = 0;
};

}  // namespace qb32::editor
