// qb32-editor-host-test: opens the module's editor in a real window the way a
// host does (a parent window of the host's own, effEditGetRect, effEditOpen,
// effEditIdle, effEditClose), drags beam 1 with synthetic mouse events,
// checks the automation that reaches the host callback, saves a screenshot,
// and opens and closes the editor 100 times checking that nothing is left
// behind (no child window, no open file or GDI object more than before).
//
//   qb32-editor-host-test MODULE [SCREENSHOT]      (Linux: X11 under Xvfb,
//                                                   XTest for the mouse; PNG)
//   qb32-editor-host-test --no-display MODULE      (Linux without a display:
//                                                   the editor declines, the
//                                                   module works)
// On Windows the same program uses Win32 windows and posted mouse messages
// and writes a BMP. Prints one line per failed check and a closing
// "N passed, M failed"; the exit status is non-zero when anything failed.

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <dirent.h>
#include <dlfcn.h>
#include <png.h>
#include <stdlib.h>
#endif

#include "editor/Layout.h"
#include "plugin/vst/AEffect.h"

using namespace qb32::vst;

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const std::string& what) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAILED: %s\n", what.c_str());
    }
}

struct HostEvent {
    VstInt32 opcode, index;
    float value;
};
std::vector<HostEvent> events;

VstIntPtr QB32_VSTCALL hostCallback(AEffect*, VstInt32 opcode, VstInt32 index, VstIntPtr, void*, float opt) {
    if (opcode == audioMasterVersion) return vstVersion;
    events.push_back({opcode, index, opt});
    return 0;
}

VstIntPtr call(AEffect* e, VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
               float opt = 0.0f) {
    return e->dispatcher(e, opcode, index, value, ptr, opt);
}

EntryProc loadModule(const char* path) {
#if defined(_WIN32)
    HMODULE handle = LoadLibraryA(path);
    return handle == nullptr ? nullptr
                             : reinterpret_cast<EntryProc>(reinterpret_cast<void*>(GetProcAddress(handle, "VSTPluginMain")));
#else
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) std::printf("dlopen: %s\n", dlerror());
    return handle == nullptr ? nullptr : reinterpret_cast<EntryProc>(dlsym(handle, "VSTPluginMain"));
#endif
}

// Where the map puts a direction, in the editor's points (front in the
// middle, left halfway to the left edge, zenith on top).
void pixelFor(double elevation, double azimuth, int scale, int& x, int& y) {
    const auto& m = qb32::editor::layout::map;
    const double leftOfCentre = azimuth < 180.0 ? azimuth : azimuth - 360.0;
    x = static_cast<int>(std::lround((m.x + m.w / 2 - leftOfCentre * m.w / 360.0) * scale));
    y = static_cast<int>(std::lround((m.y + elevation * m.h / 180.0) * scale));
}

// The processing still works (with or without an editor).
void checkAudio(AEffect* e) {
    call(e, effSetSampleRate, 0, 0, nullptr, 44100.0f);
    call(e, effSetBlockSize, 0, 256);
    call(e, effMainsChanged, 0, 1);
    std::vector<std::vector<float>> in(32, std::vector<float>(256, 0.1f)), out(8, std::vector<float>(256, 9.0f));
    std::vector<float*> inputs, outputs;
    for (auto& c : in) inputs.push_back(c.data());
    for (auto& c : out) outputs.push_back(c.data());
    for (int block = 0; block < 8; ++block) e->processReplacing(e, inputs.data(), outputs.data(), 256);
    bool finite = true;
    for (auto& c : out)
        for (float v : c) finite = finite && std::isfinite(v) && std::fabs(v) < 10.0f;
    check(finite, "audio runs and writes every output");
}

// The drag's automation: begin-edit of elevation and azimuth, automates of
// both, end-edit of both, the last values those of the drop point.
void checkDragEvents(const std::vector<HostEvent>& seen, double wantElevation, double wantAzimuth, double tolerance) {
    std::vector<HostEvent> edits;
    for (const HostEvent& h : seen)
        if (h.opcode == audioMasterBeginEdit || h.opcode == audioMasterEndEdit || h.opcode == audioMasterAutomate)
            edits.push_back(h);
    check(edits.size() >= 6, "the drag reached the host (" + std::to_string(edits.size()) + " requests)");
    if (edits.size() < 6) return;
    const std::size_t n = edits.size();
    check(edits[0].opcode == audioMasterBeginEdit && edits[1].opcode == audioMasterBeginEdit, "begin-edit first");
    check(edits[n - 2].opcode == audioMasterEndEdit && edits[n - 1].opcode == audioMasterEndEdit, "end-edit last");
    bool automates = true, indices = true;
    for (std::size_t i = 2; i + 2 < n; ++i) automates = automates && edits[i].opcode == audioMasterAutomate;
    for (std::size_t i = 0; i < n; ++i) indices = indices && edits[i].index == static_cast<VstInt32>(i % 2);
    check(automates, "automates between begin and end");
    check(indices, "elevation (0) and azimuth (1) of beam 1, in turn");
    const double elevation = edits[n - 4].value * 180.0, azimuth = edits[n - 3].value * 360.0;
    check(std::fabs(elevation - wantElevation) <= tolerance,
          "dropped at elevation " + std::to_string(elevation) + ", want " + std::to_string(wantElevation));
    check(std::fabs(azimuth - wantAzimuth) <= tolerance,
          "dropped at azimuth " + std::to_string(azimuth) + ", want " + std::to_string(wantAzimuth));
}

// ---- the platform's host window -----------------------------------------------------------

#if defined(_WIN32)

LRESULT CALLBACK parentProcedure(HWND h, UINT m, WPARAM w, LPARAM l) { return DefWindowProcW(h, m, w, l); }

class HostWindow {
public:
    HostWindow(int width, int height) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = parentProcedure;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"Qb32TestHostWindow";
        RegisterClassW(&wc);
        RECT r{0, 0, width, height};
        AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
        window = CreateWindowW(L"Qb32TestHostWindow", L"qb32 editor host test", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                               r.right - r.left, r.bottom - r.top, nullptr, nullptr, wc.hInstance, nullptr);
    }
    ~HostWindow() { DestroyWindow(window); }
    [[nodiscard]] bool ok() const { return window != nullptr; }
    [[nodiscard]] void* parent() const { return window; }
    void pump(AEffect* e, int milliseconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        do {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            if (e != nullptr) call(e, effEditIdle);
            Sleep(5);
        } while (std::chrono::steady_clock::now() < end);
    }
    [[nodiscard]] int children() const {
        int n = 0;
        for (HWND c = GetWindow(window, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) ++n;
        return n;
    }
    void press(int x, int y) { post(WM_LBUTTONDOWN, MK_LBUTTON, x, y); }
    void move(int x, int y) { post(WM_MOUSEMOVE, MK_LBUTTON, x, y); }
    void release(int x, int y) { post(WM_LBUTTONUP, 0, x, y); }
    // The editor's pixels as 0xAARRGGBB, copied from its window.
    bool capture(int width, int height, std::vector<std::uint32_t>& pixels) {
        HWND child = GetWindow(window, GW_CHILD);
        if (child == nullptr) return false;
        HDC source = GetDC(child);
        HDC memory = CreateCompatibleDC(source);
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        HGDIOBJ old = SelectObject(memory, bitmap);
        const bool ok = BitBlt(memory, 0, 0, width, height, source, 0, 0, SRCCOPY) != 0;
        GdiFlush();
        pixels.assign(static_cast<const std::uint32_t*>(bits), static_cast<const std::uint32_t*>(bits) + width * height);
        SelectObject(memory, old);
        DeleteObject(bitmap);
        DeleteDC(memory);
        ReleaseDC(child, source);
        return ok;
    }
    static long resourcesInUse() {
        return static_cast<long>(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS) +
                                 GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS));
    }

private:
    void post(UINT message, WPARAM w, int x, int y) {
        HWND child = GetWindow(window, GW_CHILD);
        if (child != nullptr) PostMessageW(child, message, w, MAKELPARAM(x, y));
    }
    HWND window = nullptr;
};

bool writePicture(const std::string& path, const std::vector<std::uint32_t>& pixels, int width, int height) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const std::uint32_t imageBytes = static_cast<std::uint32_t>(width * height * 4);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4d42;
    file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    file.bfSize = file.bfOffBits + imageBytes;
    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = -height;
    info.biPlanes = 1;
    info.biBitCount = 32;
    info.biCompression = BI_RGB;
    bool ok = std::fwrite(&file, sizeof file, 1, f) == 1 && std::fwrite(&info, sizeof info, 1, f) == 1 &&
              std::fwrite(pixels.data(), imageBytes, 1, f) == 1;
    return std::fclose(f) == 0 && ok;
}

#else

class HostWindow {
public:
    HostWindow(int width, int height) {
        // A virtual display that has only just started may need a moment.
        for (int attempt = 0; attempt < 50 && display == nullptr; ++attempt) {
            display = XOpenDisplay(nullptr);
            if (display == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (display == nullptr) return;
        window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, static_cast<unsigned>(width),
                                     static_cast<unsigned>(height), 0, 0, 0x202020);
        XSelectInput(display, window, StructureNotifyMask);
        XMapWindow(display, window);
        XSync(display, False);
        for (;;) {
            XEvent e;
            XNextEvent(display, &e);
            if (e.type == MapNotify) break;
        }
    }
    ~HostWindow() {
        if (display == nullptr) return;
        XDestroyWindow(display, window);
        XCloseDisplay(display);
    }
    [[nodiscard]] bool ok() const { return display != nullptr; }
    [[nodiscard]] void* parent() const { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(window)); }
    void pump(AEffect* e, int milliseconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        do {
            while (XPending(display) > 0) {
                XEvent ev;
                XNextEvent(display, &ev);
            }
            if (e != nullptr) call(e, effEditIdle);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } while (std::chrono::steady_clock::now() < end);
    }
    [[nodiscard]] int children() const {
        Window root = 0, parentOf = 0, *list = nullptr;
        unsigned count = 0;
        XQueryTree(display, window, &root, &parentOf, &list, &count);
        if (list != nullptr) XFree(list);
        return static_cast<int>(count);
    }
    void press(int x, int y) {
        move(x, y);
        XTestFakeButtonEvent(display, 1, True, 0);
        XFlush(display);
    }
    void move(int x, int y) {
        int rx = 0, ry = 0;
        Window child = 0;
        XTranslateCoordinates(display, window, DefaultRootWindow(display), x, y, &rx, &ry, &child);
        XTestFakeMotionEvent(display, -1, rx, ry, 0);
        XFlush(display);
    }
    void release(int x, int y) {
        move(x, y);
        XTestFakeButtonEvent(display, 1, False, 0);
        XFlush(display);
    }
    bool capture(int width, int height, std::vector<std::uint32_t>& pixels) {
        XImage* image = XGetImage(display, window, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height),
                                  AllPlanes, ZPixmap);
        if (image == nullptr) return false;
        pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                pixels[static_cast<std::size_t>(y) * width + x] = 0xff000000u | static_cast<std::uint32_t>(XGetPixel(image, x, y));
        XDestroyImage(image);
        return true;
    }
    // Open file descriptors: each display connection is one.
    static long resourcesInUse() {
        long n = 0;
        if (DIR* d = opendir("/proc/self/fd")) {
            while (readdir(d) != nullptr) ++n;
            closedir(d);
        }
        return n;
    }

private:
    Display* display = nullptr;
    Window window = 0;
};

bool writePicture(const std::string& path, const std::vector<std::uint32_t>& pixels, int width, int height) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<png_byte> row(static_cast<std::size_t>(width) * 3);
    bool ok = false;
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, f);
        png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const std::uint32_t p = pixels[static_cast<std::size_t>(y) * width + x];
                row[static_cast<std::size_t>(x) * 3] = static_cast<png_byte>(p >> 16);
                row[static_cast<std::size_t>(x) * 3 + 1] = static_cast<png_byte>(p >> 8);
                row[static_cast<std::size_t>(x) * 3 + 2] = static_cast<png_byte>(p);
            }
            png_write_row(png, row.data());
        }
        png_write_end(png, nullptr);
        ok = true;
    }
    png_destroy_write_struct(&png, &info);
    return std::fclose(f) == 0 && ok;
}

#endif

int finish() {
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    bool noDisplay = false;
    int first = 1;
    if (argc > 1 && std::strcmp(argv[1], "--no-display") == 0) noDisplay = true, first = 2;
    if (argc <= first) {
        std::printf("usage: %s [--no-display] MODULE [SCREENSHOT]\n", argv[0]);
        return 2;
    }
    const EntryProc entry = loadModule(argv[first]);
    check(entry != nullptr, "module loaded");
    if (entry == nullptr) return finish();
    const std::string screenshot = argc > first + 1 ? argv[first + 1] : "";
    AEffect* e = entry(hostCallback);
    check(e != nullptr, "instance created");
    if (e == nullptr) return finish();
    check((e->flags & effFlagsHasEditor) != 0, "the record announces an editor");
    ERect* rect = nullptr;
    check(call(e, effEditGetRect, 0, 0, &rect) == 1 && rect != nullptr, "effEditGetRect answers a size");
    const int width = rect != nullptr ? rect->right - rect->left : 0, height = rect != nullptr ? rect->bottom - rect->top : 0;
    const int scale = width / qb32::editor::layout::width;
    check((scale == 1 || scale == 2) && height == qb32::editor::layout::height * scale, "the size is the map's at scale 1 or 2");

#if !defined(_WIN32)
    if (noDisplay) {
        unsetenv("DISPLAY");
        check(call(e, effEditOpen, 0, 0, reinterpret_cast<void*>(std::uintptr_t{0x200001})) == 0,
              "without a display effEditOpen answers 0");
        call(e, effEditIdle);
        call(e, effEditClose);
        checkAudio(e);
        call(e, effClose);
        return finish();
    }
#else
    check(!noDisplay, "--no-display is for X11 hosts");
#endif
    HostWindow host(width, height);
    check(host.ok(), "the host's window exists (a display is needed)");
    if (!host.ok()) return finish();
    check(call(e, effEditOpen, 0, 0, host.parent()) == 1, "effEditOpen answers 1 in a real window");
    host.pump(e, 400);
    check(host.children() == 1, "the editor is one child window of the host's");

    // Drag beam 1 from the front to up-left (elevation 45, azimuth 90).
    int fromX = 0, fromY = 0, toX = 0, toY = 0, midX = 0, midY = 0;
    pixelFor(90, 0, scale, fromX, fromY);
    pixelFor(45, 90, scale, toX, toY);
    pixelFor(70, 40, scale, midX, midY);
    events.clear();
    host.move(fromX, fromY);
    host.pump(e, 60);
    host.press(fromX, fromY);
    host.pump(e, 60);
    host.move(midX, midY);
    host.pump(e, 60);
    host.move(toX, toY);
    host.pump(e, 60);
    host.release(toX, toY);
    host.pump(e, 300);
    checkDragEvents(events, 45.0, 90.0, 1.5 * 180.0 / (qb32::editor::layout::map.h * scale));

    std::vector<std::uint32_t> pixels;
    check(host.capture(width, height, pixels), "the window's pixels can be read");
    if (!pixels.empty()) {
        // Beam 1's marker (its own colour, coral) now sits at the drop point.
        int coral = 0;
        for (int dy = -5; dy <= 5; ++dy)
            for (int dx = -5; dx <= 5; ++dx) {
                const std::uint32_t p = pixels[static_cast<std::size_t>(toY + dy) * width + (toX + dx)];
                const int r = static_cast<int>((p >> 16) & 0xff), g = static_cast<int>((p >> 8) & 0xff), b = static_cast<int>(p & 0xff);
                coral += r > 200 && g > 80 && g < 140 && b > 80 && b < 140;
            }
        check(coral > 20, "the screen shows beam 1 where it was dropped (" + std::to_string(coral) + " pixels)");
        if (!screenshot.empty()) check(writePicture(screenshot, pixels, width, height), "screenshot written to " + screenshot);
    }
    call(e, effEditClose);
    host.pump(nullptr, 50);
    check(host.children() == 0, "effEditClose removes the window");

    // Open and close 100 times: nothing may stay behind.
    const long before = HostWindow::resourcesInUse();
    bool allOpened = true, allClosed = true;
    for (int cycle = 0; cycle < 100; ++cycle) {
        allOpened = call(e, effEditOpen, 0, 0, host.parent()) == 1 && allOpened;
        host.pump(e, 5);
        call(e, effEditClose);
        allClosed = host.children() == 0 && allClosed;
    }
    host.pump(nullptr, 50);
    const long after = HostWindow::resourcesInUse();
    check(allOpened, "100 opens all answer 1");
    check(allClosed, "100 closes each remove the window");
    check(after <= before, "100 open/close cycles keep no resource (" + std::to_string(before) + " before, " +
                               std::to_string(after) + " after)");
    checkAudio(e);
    check(call(e, effClose) == 1, "effClose with the editor closed");
    return finish();
}
