#pragma once
// Canvas: the editor's drawing, the same on every platform. It draws into a
// PixelBuffer that the platform window then hands to the screen as it is.
//
// Pixels: 32 bits, 0xAARRGGBB in a uint32 (in memory B, G, R, A on the
// little-endian targets), premultiplied alpha. The editor paints an opaque
// background first, so every finished pixel is opaque and the buffer can go
// straight to an X11 TrueColor image or a 32-bit Windows DIB.
//
// Coordinates: continuous, in pixels; pixel (i, j) covers [i, i+1) x [j, j+1)
// and its centre is (i + 0.5, j + 0.5). Everything is anti-aliased by exact
// distance: a pixel's coverage is how far its centre lies inside the shape's
// edge, clamped to 0..1 (a one-pixel ramp). Strokes of a polyline are drawn
// as one shape (coverage is the maximum over segments), so joints and
// crossings are not painted twice.
//
// Text: glyphs of FontTables.h, placed on whole pixels, UTF-8 strings of
// printable ASCII and the degree sign; other characters are skipped.
//
// Threads: one canvas, one thread (the editor's). Drawing allocates only when
// a stroke needs a larger scratch mask than any before it.

#include <cstdint>
#include <string_view>
#include <vector>

#include "editor/FontTables.h"

namespace qb32::editor {

struct Colour {
    std::uint8_t r = 0, g = 0, b = 0, a = 255;
    [[nodiscard]] constexpr Colour withAlpha(float alpha) const noexcept {
        return {r, g, b, static_cast<std::uint8_t>(alpha * a + 0.5f)};
    }
};
constexpr Colour rgb(std::uint32_t hex, std::uint8_t alpha = 255) noexcept {
    return {static_cast<std::uint8_t>(hex >> 16), static_cast<std::uint8_t>(hex >> 8),
            static_cast<std::uint8_t>(hex), alpha};
}

struct Point {
    double x = 0.0, y = 0.0;
};

struct Rect {
    double x = 0.0, y = 0.0, w = 0.0, h = 0.0;
    [[nodiscard]] bool contains(double px, double py) const noexcept {
        return px >= x && px < x + w && py >= y && py < y + h;
    }
};

class PixelBuffer {
public:
    void resize(int width, int height);  // allocates; contents undefined
    [[nodiscard]] int width() const noexcept { return w; }
    [[nodiscard]] int height() const noexcept { return h; }
    [[nodiscard]] std::uint32_t* data() noexcept { return pixels.data(); }
    [[nodiscard]] const std::uint32_t* data() const noexcept { return pixels.data(); }
    [[nodiscard]] std::uint32_t at(int x, int y) const noexcept { return pixels[static_cast<std::size_t>(y) * w + x]; }
    [[nodiscard]] Colour colourAt(int x, int y) const noexcept;

private:
    int w = 0, h = 0;
    std::vector<std::uint32_t> pixels;
};

class Canvas {
public:
    explicit Canvas(PixelBuffer& target) noexcept : buffer(target) {}

    // Clip rectangle in whole pixels; everything outside stays untouched.
    void setClip(const Rect& r) noexcept;
    void resetClip() noexcept;

    void fill(const Rect& r, Colour c) noexcept;  // r on whole pixels (rounded)
    void fillRoundedRect(const Rect& r, double radius, Colour c);
    void strokeRoundedRect(const Rect& r, double radius, double width, Colour c);
    void fillCircle(Point centre, double radius, Colour c) noexcept;
    void strokeCircle(Point centre, double radius, double width, Colour c) noexcept;
    void line(Point a, Point b, double width, Colour c);
    void polyline(const Point* points, int count, double width, Colour c);

    // Text with its baseline at y; answers the advance in pixels.
    double text(double x, double y, std::string_view utf8, FaceStyle style, int scale, Colour c) noexcept;
    [[nodiscard]] static double textWidth(std::string_view utf8, FaceStyle style, int scale) noexcept;
    [[nodiscard]] static const FaceRecord& face(FaceStyle style, int scale) noexcept;

    // One pixel blended with coverage 0..1.
    void blend(int x, int y, Colour c, float coverage) noexcept;

private:
    struct Bounds {
        int x0, y0, x1, y1;  // half-open
    };
    Bounds clipped(double x0, double y0, double x1, double y1) const noexcept;
    static void mix(std::uint32_t& pixel, Colour c, float coverage) noexcept;
    template <typename Coverage>
    void paint(const Bounds& b, Colour c, Coverage&& coverage) noexcept;

    PixelBuffer& buffer;
    Rect clip{};
    bool clipped_ = false;
    std::vector<float> mask;  // scratch coverage of a stroke
};

}  // namespace qb32::editor
