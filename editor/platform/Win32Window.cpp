// The beam map's Win32 child window (see PlatformWindow.h): user32 for the
// window, its timer and its input, gdi32 for SetDIBitsToDevice.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>

#include "editor/BeamMapView.h"
#include "editor/PlatformWindow.h"

namespace qb32::editor {

namespace {

constexpr wchar_t className[] = L"Qb32BeamMapWindow";
constexpr UINT_PTR frameTimer = 1;
constexpr UINT framePeriod_ms = 33;
std::atomic<int> openWindows{0};

HINSTANCE moduleInstance() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&moduleInstance), &module);
    return module;
}

class Win32Window final : public PlatformWindow {
public:
    explicit Win32Window(BeamMapView& v) : view(v) {
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = view.width();
        info.bmiHeader.biHeight = -view.height();  // top row first
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
    }

    ~Win32Window() override {
        if (window != nullptr) {
            KillTimer(window, frameTimer);
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            DestroyWindow(window);
        }
        if (registered && openWindows.fetch_sub(1) == 1) UnregisterClassW(className, moduleInstance());
    }

    bool create(HWND parent) {
        const HINSTANCE instance = moduleInstance();
        if (openWindows.fetch_add(1) == 0) {
            WNDCLASSEXW wc{};
            wc.cbSize = sizeof wc;
            wc.style = CS_DBLCLKS;
            wc.lpfnWndProc = procedure;
            wc.hInstance = instance;
            wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
            wc.lpszClassName = className;
            RegisterClassExW(&wc);
        }
        registered = true;
        window = CreateWindowExW(0, className, L"Quorbix QB32", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0, 0,
                                 view.width(), view.height(), parent, nullptr, instance, this);
        if (window == nullptr) return false;
        SetTimer(window, frameTimer, framePeriod_ms, nullptr);
        return true;
    }

    void idle() override {
        if (GetTickCount() - lastFrame >= framePeriod_ms) drawFrame();
    }

private:
    void drawFrame() {
        view.frame();
        lastFrame = GetTickCount();
        InvalidateRect(window, nullptr, FALSE);
    }

    void paint() {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        SetDIBitsToDevice(dc, 0, 0, static_cast<DWORD>(view.width()), static_cast<DWORD>(view.height()), 0, 0, 0,
                          static_cast<UINT>(view.height()), view.pixels().data(), &info, DIB_RGB_COLORS);
        EndPaint(window, &ps);
    }

    LRESULT handle(UINT message, WPARAM w, LPARAM l) {
        const double x = static_cast<short>(LOWORD(l)), y = static_cast<short>(HIWORD(l));
        switch (message) {
        case WM_PAINT: paint(); return 0;
        case WM_ERASEBKGND: return 1;
        case WM_TIMER:
            // Measured from the end of the last frame, so that a slow frame
            // never leaves a timer message waiting and the host's loop idle.
            if (w == frameTimer && GetTickCount() - lastFrame >= framePeriod_ms) drawFrame();
            return 0;
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK:
            SetFocus(window);
            SetCapture(window);
            view.mouseDown(x, y);
            drawFrame();
            return 0;
        case WM_MOUSEMOVE: view.mouseMove(x, y); return 0;
        case WM_LBUTTONUP:
            if (GetCapture() == window) ReleaseCapture();
            view.mouseUp(x, y);
            drawFrame();
            return 0;
        case WM_MOUSEWHEEL: {
            POINT p{static_cast<short>(LOWORD(l)), static_cast<short>(HIWORD(l))};
            ScreenToClient(window, &p);
            view.wheel(p.x, p.y, GET_WHEEL_DELTA_WPARAM(w) / WHEEL_DELTA);
            drawFrame();
            return 0;
        }
        case WM_GETDLGCODE: return DLGC_WANTALLKEYS | DLGC_WANTCHARS;
        case WM_KEYDOWN: {
            Key k = Key::other;
            switch (w) {
            case VK_RETURN: k = Key::enter; break;
            case VK_ESCAPE: k = Key::escape; break;
            case VK_BACK: k = Key::backspace; break;
            case VK_TAB: k = Key::tab; break;
            case VK_UP: k = Key::up; break;
            case VK_DOWN: k = Key::down; break;
            default: return 0;  // characters arrive as WM_CHAR
            }
            view.key(k);
            drawFrame();
            return 0;
        }
        case WM_CHAR:
            if (w >= 32 && w < 127) {
                view.key(Key::character, static_cast<char>(w));
                drawFrame();
            }
            return 0;
        default: return DefWindowProcW(window, message, w, l);
        }
    }

    static LRESULT CALLBACK procedure(HWND hwnd, UINT message, WPARAM w, LPARAM l) {
        if (message == WM_NCCREATE) {
            auto* create = reinterpret_cast<CREATESTRUCTW*>(l);
            auto* self = static_cast<Win32Window*>(create->lpCreateParams);
            self->window = hwnd;
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        }
        auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        return self != nullptr ? self->handle(message, w, l) : DefWindowProcW(hwnd, message, w, l);
    }

    BeamMapView& view;
    HWND window = nullptr;
    bool registered = false;
    BITMAPINFO info{};
    DWORD lastFrame = 0;
};

}  // namespace

int PlatformWindow::preferredScale() {
    HDC screen = GetDC(nullptr);
    if (screen == nullptr) return 1;
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return dpi >= 144 ? 2 : 1;
}

std::unique_ptr<PlatformWindow> PlatformWindow::open(void* parent, BeamMapView& view) {
    if (parent == nullptr || !IsWindow(static_cast<HWND>(parent))) return nullptr;
    view.frame();
    auto window = std::make_unique<Win32Window>(view);
    if (!window->create(static_cast<HWND>(parent))) return nullptr;
    return window;
}

}  // namespace qb32::editor
