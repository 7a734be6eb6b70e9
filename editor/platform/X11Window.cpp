// The beam map's X11 child window (see PlatformWindow.h). libX11 is reached
// only through the dynamic loader; its headers give the types.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <dlfcn.h>
#include <poll.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "editor/BeamMapView.h"
#include "editor/PlatformWindow.h"

namespace qb32::editor {

namespace {

// The few libX11 functions the window uses, resolved once per process.
struct X11Api {
    bool loaded = false;
    Display* (*openDisplay)(const char*) = nullptr;
    int (*closeDisplay)(Display*) = nullptr;
    int (*defaultScreen)(Display*) = nullptr;
    Visual* (*defaultVisual)(Display*, int) = nullptr;
    int (*defaultDepth)(Display*, int) = nullptr;
    Window (*createSimpleWindow)(Display*, Window, int, int, unsigned, unsigned, unsigned, unsigned long,
                                 unsigned long) = nullptr;
    int (*selectInput)(Display*, Window, long) = nullptr;
    int (*mapWindow)(Display*, Window) = nullptr;
    int (*destroyWindow)(Display*, Window) = nullptr;
    GC (*createGC)(Display*, Drawable, unsigned long, XGCValues*) = nullptr;
    int (*freeGC)(Display*, GC) = nullptr;
    XImage* (*createImage)(Display*, Visual*, unsigned, int, int, char*, unsigned, unsigned, int, int) = nullptr;
    int (*putImage)(Display*, Drawable, GC, XImage*, int, int, int, int, unsigned, unsigned) = nullptr;
    int (*pending)(Display*) = nullptr;
    int (*nextEvent)(Display*, XEvent*) = nullptr;
    int (*flush)(Display*) = nullptr;
    int (*sync)(Display*, Bool) = nullptr;
    XErrorHandler (*setErrorHandler)(XErrorHandler) = nullptr;
    Status (*getWindowAttributes)(Display*, Window, XWindowAttributes*) = nullptr;
    int (*setInputFocus)(Display*, Window, int, Time) = nullptr;
    int (*lookupString)(XKeyEvent*, char*, int, KeySym*, XComposeStatus*) = nullptr;
    char* (*resourceManagerString)(Display*) = nullptr;
    int (*connectionNumber)(Display*) = nullptr;
};

template <typename F>
bool resolve(void* library, const char* name, F& function) {
    function = reinterpret_cast<F>(dlsym(library, name));
    return function != nullptr;
}

const X11Api& api() {
    static const X11Api loadedApi = [] {
        X11Api a;
        void* library = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return a;
        a.loaded = resolve(library, "XOpenDisplay", a.openDisplay) && resolve(library, "XCloseDisplay", a.closeDisplay) &&
                   resolve(library, "XDefaultScreen", a.defaultScreen) &&
                   resolve(library, "XDefaultVisual", a.defaultVisual) &&
                   resolve(library, "XDefaultDepth", a.defaultDepth) &&
                   resolve(library, "XCreateSimpleWindow", a.createSimpleWindow) &&
                   resolve(library, "XSelectInput", a.selectInput) && resolve(library, "XMapWindow", a.mapWindow) &&
                   resolve(library, "XDestroyWindow", a.destroyWindow) && resolve(library, "XCreateGC", a.createGC) &&
                   resolve(library, "XFreeGC", a.freeGC) && resolve(library, "XCreateImage", a.createImage) &&
                   resolve(library, "XPutImage", a.putImage) && resolve(library, "XPending", a.pending) &&
                   resolve(library, "XNextEvent", a.nextEvent) && resolve(library, "XFlush", a.flush) &&
                   resolve(library, "XSync", a.sync) && resolve(library, "XSetErrorHandler", a.setErrorHandler) &&
                   resolve(library, "XGetWindowAttributes", a.getWindowAttributes) &&
                   resolve(library, "XSetInputFocus", a.setInputFocus) &&
                   resolve(library, "XLookupString", a.lookupString) &&
                   resolve(library, "XResourceManagerString", a.resourceManagerString) &&
                   resolve(library, "XConnectionNumber", a.connectionNumber);
        // libX11 stays loaded for the process: unloading it while other
        // libraries of the host may hold its thread keys is not safe.
        return a;
    }();
    return loadedApi;
}

// X errors on the editor's own connections are swallowed; others go to the
// handler that was installed before.
constexpr int maxConnections = 32;
std::array<std::atomic<Display*>, maxConnections> ownConnections{};
std::atomic<XErrorHandler> previousHandler{nullptr};
std::atomic<int> lastErrorCode{0};

int errorHandler(Display* display, XErrorEvent* event) {
    for (auto& own : ownConnections)
        if (own.load() == display) {
            lastErrorCode.store(event->error_code);
            return 0;
        }
    const XErrorHandler previous = previousHandler.load();
    return previous != nullptr ? previous(display, event) : 0;
}

// Installs the handler while it lives (and registers the connection).
class ErrorScope {
public:
    explicit ErrorScope(Display* d) : display(d) {
        for (auto& own : ownConnections) {
            Display* expected = nullptr;
            if (own.compare_exchange_strong(expected, display)) {
                slot = &own;
                break;
            }
        }
        const XErrorHandler old = api().setErrorHandler(errorHandler);
        restore = old != errorHandler;
        if (restore) previousHandler.store(old);
    }
    ~ErrorScope() {
        api().sync(display, False);
        if (restore) api().setErrorHandler(previousHandler.load());
        if (slot != nullptr) slot->store(nullptr);
    }
    ErrorScope(const ErrorScope&) = delete;
    ErrorScope& operator=(const ErrorScope&) = delete;

private:
    Display* display;
    std::atomic<Display*>* slot = nullptr;
    bool restore = false;
};

int scaleFromResources(const char* resources) {
    if (resources == nullptr) return 1;
    const char* at = std::strstr(resources, "Xft.dpi:");
    if (at == nullptr) return 1;
    const double dpi = std::strtod(at + 8, nullptr);
    return dpi >= 144.0 ? 2 : 1;
}

using Clock = std::chrono::steady_clock;
constexpr auto framePeriod = std::chrono::milliseconds(33);
constexpr auto idleSilence = std::chrono::milliseconds(100);

class X11Window final : public PlatformWindow {
public:
    X11Window(Display* d, Window w, GC g, XImage* i, BeamMapView& v) : display(d), window(w), gc(g), image(i), view(v) {
        timer = std::thread([this] { timerLoop(); });
    }

    ~X11Window() override {
        stop.store(true);
        timer.join();
        const X11Api& x = api();
        {
            ErrorScope errors(display);
            image->data = nullptr;  // the view owns the pixels
            XDestroyImage(image);
            x.freeGC(display, gc);
            x.destroyWindow(display, window);
        }
        x.closeDisplay(display);
    }

    void idle() override {
        std::lock_guard<std::mutex> hold(lock);
        lastIdle = Clock::now();
        serve();
    }

private:
    void timerLoop() {
        const int fd = api().connectionNumber(display);
        while (!stop.load()) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, 20);
            std::lock_guard<std::mutex> hold(lock);
            if (Clock::now() - lastIdle >= idleSilence) serve();
        }
    }

    // Under the lock: every pending event, then a frame when one is due.
    void serve() {
        const X11Api& x = api();
        ErrorScope errors(display);
        bool exposed = false;
        while (x.pending(display) > 0) {
            XEvent e;
            x.nextEvent(display, &e);
            exposed |= handle(e);
        }
        // Measured from the end of the last frame, so a slow frame still
        // leaves the host's thread time between frames.
        if (Clock::now() - lastFrame >= framePeriod) {
            view.frame();
            lastFrame = Clock::now();
            exposed = true;
        }
        if (exposed) {
            x.putImage(display, window, gc, image, 0, 0, 0, 0, static_cast<unsigned>(view.width()),
                       static_cast<unsigned>(view.height()));
            x.flush(display);
        }
    }

    // Answers whether the window must be painted again.
    bool handle(XEvent& e) {
        switch (e.type) {
        case Expose: return true;
        case ButtonPress:
            if (e.xbutton.button == Button1) {
                api().setInputFocus(display, window, RevertToParent, CurrentTime);
                view.mouseDown(e.xbutton.x, e.xbutton.y);
            } else if (e.xbutton.button == Button4 || e.xbutton.button == Button5) {
                view.wheel(e.xbutton.x, e.xbutton.y, e.xbutton.button == Button4 ? 1 : -1);
            }
            return repaintNow();
        case ButtonRelease:
            if (e.xbutton.button == Button1) view.mouseUp(e.xbutton.x, e.xbutton.y);
            return repaintNow();
        case MotionNotify: view.mouseMove(e.xmotion.x, e.xmotion.y); return false;
        case KeyPress: {
            char text[8] = {};
            KeySym symbol = 0;
            const int n = api().lookupString(&e.xkey, text, sizeof text, &symbol, nullptr);
            Key k = Key::other;
            switch (symbol) {
            case XK_Return:
            case XK_KP_Enter: k = Key::enter; break;
            case XK_Escape: k = Key::escape; break;
            case XK_BackSpace: k = Key::backspace; break;
            case XK_Tab: k = Key::tab; break;
            case XK_Up: k = Key::up; break;
            case XK_Down: k = Key::down; break;
            default: k = n == 1 ? Key::character : Key::other;
            }
            view.key(k, n == 1 ? text[0] : 0);
            return repaintNow();
        }
        default: return false;
        }
    }

    // Input shows at once: the next serve draws a frame.
    bool repaintNow() {
        lastFrame = Clock::time_point{};
        return false;
    }

    Display* display;
    Window window;
    GC gc;
    XImage* image;
    BeamMapView& view;
    std::mutex lock;
    std::atomic<bool> stop{false};
    Clock::time_point lastIdle{};
    Clock::time_point lastFrame{};
    std::thread timer;
};

}  // namespace

int PlatformWindow::preferredScale() {
    const X11Api& x = api();
    if (!x.loaded) return 1;
    Display* display = x.openDisplay(nullptr);
    if (display == nullptr) return 1;
    const int scale = scaleFromResources(x.resourceManagerString(display));
    x.closeDisplay(display);
    return scale;
}

std::unique_ptr<PlatformWindow> PlatformWindow::open(void* parent, BeamMapView& view) {
    const X11Api& x = api();
    if (!x.loaded || parent == nullptr) return nullptr;
    Display* display = x.openDisplay(nullptr);
    if (display == nullptr) return nullptr;
    const int screen = x.defaultScreen(display);
    Visual* visual = x.defaultVisual(display, screen);
    const int depth = x.defaultDepth(display, screen);
    const auto parentWindow = static_cast<Window>(reinterpret_cast<std::uintptr_t>(parent));
    Window window = 0;
    GC gc = nullptr;
    XImage* image = nullptr;
    bool ok = false;
    {
        ErrorScope errors(display);
        lastErrorCode.store(0);
        XWindowAttributes attributes{};
        const bool trueColour = visual != nullptr && visual->c_class == TrueColor && depth >= 24 &&
                                visual->red_mask == 0xff0000 && visual->green_mask == 0xff00 && visual->blue_mask == 0xff;
        if (trueColour && x.getWindowAttributes(display, parentWindow, &attributes) != 0) {
            window = x.createSimpleWindow(display, parentWindow, 0, 0, static_cast<unsigned>(view.width()),
                                          static_cast<unsigned>(view.height()), 0, 0, 0);
            x.selectInput(display, window,
                          ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask |
                              StructureNotifyMask);
            gc = x.createGC(display, window, 0, nullptr);
            image = x.createImage(display, visual, static_cast<unsigned>(depth), ZPixmap, 0,
                                  reinterpret_cast<char*>(const_cast<std::uint32_t*>(view.pixels().data())),
                                  static_cast<unsigned>(view.width()), static_cast<unsigned>(view.height()), 32,
                                  view.width() * 4);
            x.mapWindow(display, window);
            x.sync(display, False);
            ok = window != 0 && gc != nullptr && image != nullptr && lastErrorCode.load() == 0;
        }
        if (!ok) {
            if (image != nullptr) {
                image->data = nullptr;
                XDestroyImage(image);
            }
            if (gc != nullptr) x.freeGC(display, gc);
            if (window != 0) x.destroyWindow(display, window);
        }
    }
    if (!ok) {
        x.closeDisplay(display);
        return nullptr;
    }
    // The first idle draws the first frame (no frame has been drawn yet).
    auto opened = std::make_unique<X11Window>(display, window, gc, image, view);
    opened->idle();
    return opened;
}

}  // namespace qb32::editor
