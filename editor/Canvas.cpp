#include "editor/Canvas.h"

#include <algorithm>
#include <cmath>

namespace qb32::editor {

namespace {

float clamp01(double v) noexcept { return static_cast<float>(v < 0.0 ? 0.0 : (v > 1.0 ? 1.0 : v)); }

double segmentDistance(double px, double py, Point a, Point b) noexcept {
    const double dx = b.x - a.x, dy = b.y - a.y;
    const double len2 = dx * dx + dy * dy;
    double t = len2 > 0.0 ? ((px - a.x) * dx + (py - a.y) * dy) / len2 : 0.0;
    t = std::clamp(t, 0.0, 1.0);
    const double ex = a.x + t * dx - px, ey = a.y + t * dy - py;
    return std::sqrt(ex * ex + ey * ey);
}

// Signed distance from a rounded rectangle's edge (negative inside).
double roundedRectDistance(double px, double py, const Rect& r, double radius) noexcept {
    const double cx = r.x + r.w / 2, cy = r.y + r.h / 2;
    const double qx = std::fabs(px - cx) - (r.w / 2 - radius);
    const double qy = std::fabs(py - cy) - (r.h / 2 - radius);
    const double ox = std::max(qx, 0.0), oy = std::max(qy, 0.0);
    return std::sqrt(ox * ox + oy * oy) + std::min(std::max(qx, qy), 0.0) - radius;
}

// Decodes one character of printable ASCII or the degree sign; others as 0.
unsigned nextCharacter(std::string_view s, std::size_t& i) noexcept {
    const auto c0 = static_cast<unsigned char>(s[i++]);
    if (c0 < 0x80) return c0;
    unsigned code = 0;
    int more = 0;
    if ((c0 & 0xE0) == 0xC0) code = c0 & 0x1F, more = 1;
    else if ((c0 & 0xF0) == 0xE0) code = c0 & 0x0F, more = 2;
    else if ((c0 & 0xF8) == 0xF0) code = c0 & 0x07, more = 3;
    for (; more > 0 && i < s.size(); --more) code = (code << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
    return code;
}

const GlyphRecord* findGlyph(const FaceRecord& f, unsigned code) noexcept {
    const GlyphRecord* first = tables::fontGlyphs + f.firstGlyph;
    // Glyphs 32..126 are consecutive; the degree sign follows them.
    if (code >= 32 && code <= 126 && static_cast<int>(code - 32) < f.glyphCount && first[code - 32].code == code)
        return first + (code - 32);
    for (int i = 0; i < f.glyphCount; ++i)
        if (first[i].code == code) return first + i;
    return nullptr;
}

}  // namespace

void PixelBuffer::resize(int width, int height) {
    w = std::max(width, 0);
    h = std::max(height, 0);
    pixels.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0xff000000u);
}

Colour PixelBuffer::colourAt(int x, int y) const noexcept {
    const std::uint32_t p = at(x, y);
    return {static_cast<std::uint8_t>(p >> 16), static_cast<std::uint8_t>(p >> 8), static_cast<std::uint8_t>(p),
            static_cast<std::uint8_t>(p >> 24)};
}

void Canvas::setClip(const Rect& r) noexcept {
    clip = r;
    clipped_ = true;
}

void Canvas::resetClip() noexcept { clipped_ = false; }

Canvas::Bounds Canvas::clipped(double x0, double y0, double x1, double y1) const noexcept {
    double cx0 = 0, cy0 = 0, cx1 = buffer.width(), cy1 = buffer.height();
    if (clipped_) {
        cx0 = std::max(cx0, clip.x);
        cy0 = std::max(cy0, clip.y);
        cx1 = std::min(cx1, clip.x + clip.w);
        cy1 = std::min(cy1, clip.y + clip.h);
    }
    Bounds b{};
    b.x0 = static_cast<int>(std::floor(std::max(x0, cx0)));
    b.y0 = static_cast<int>(std::floor(std::max(y0, cy0)));
    b.x1 = static_cast<int>(std::ceil(std::min(x1, cx1)));
    b.y1 = static_cast<int>(std::ceil(std::min(y1, cy1)));
    if (b.x1 < b.x0) b.x1 = b.x0;
    if (b.y1 < b.y0) b.y1 = b.y0;
    return b;
}

void Canvas::blend(int x, int y, Colour c, float coverage) noexcept {
    if (x < 0 || y < 0 || x >= buffer.width() || y >= buffer.height() || coverage <= 0.0f) return;
    if (clipped_ && !clip.contains(x + 0.5, y + 0.5)) return;
    mix(buffer.data()[static_cast<std::size_t>(y) * buffer.width() + x], c, coverage);
}

void Canvas::mix(std::uint32_t& p, Colour c, float coverage) noexcept {
    const float a = std::min(coverage, 1.0f) * (c.a * (1.0f / 255.0f));
    if (a >= 1.0f) {
        p = 0xff000000u | static_cast<std::uint32_t>(c.r) << 16 | static_cast<std::uint32_t>(c.g) << 8 | c.b;
        return;
    }
    const float keep = 1.0f - a;
    const auto channel = [&](int shift, std::uint8_t v) {
        const float d = static_cast<float>((p >> shift) & 0xffu);
        return static_cast<std::uint32_t>(v * a + d * keep + 0.5f) << shift;
    };
    const float da = static_cast<float>(p >> 24);
    p = static_cast<std::uint32_t>(255.0f * a + da * keep + 0.5f) << 24 | channel(16, c.r) | channel(8, c.g) | channel(0, c.b);
}

// Coverage for every pixel of the bounds, which lie inside the buffer and
// the clip already: rows of spans, each pixel mixed directly.
template <typename Coverage>
void Canvas::paint(const Bounds& b, Colour c, Coverage&& coverage) noexcept {
    for (int y = b.y0; y < b.y1; ++y) {
        std::uint32_t* row = buffer.data() + static_cast<std::size_t>(y) * buffer.width();
        for (int x = b.x0; x < b.x1; ++x) {
            const float cover = coverage(x, y);
            if (cover > 0.0f) mix(row[x], c, cover);
        }
    }
}

void Canvas::fill(const Rect& r, Colour c) noexcept {
    const Bounds b = clipped(std::round(r.x), std::round(r.y), std::round(r.x + r.w), std::round(r.y + r.h));
    if (c.a == 255) {
        const std::uint32_t p = 0xff000000u | static_cast<std::uint32_t>(c.r) << 16 | static_cast<std::uint32_t>(c.g) << 8 | c.b;
        for (int y = b.y0; y < b.y1; ++y)
            std::fill_n(buffer.data() + static_cast<std::size_t>(y) * buffer.width() + b.x0, b.x1 - b.x0, p);
        return;
    }
    paint(b, c, [](int, int) { return 1.0f; });
}

void Canvas::fillRoundedRect(const Rect& r, double radius, Colour c) {
    const Bounds b = clipped(r.x - 1, r.y - 1, r.x + r.w + 1, r.y + r.h + 1);
    // Rows clear of the corners are one edge pixel, a solid span, one edge pixel.
    const double solidTop = r.y + radius + 1, solidBottom = r.y + r.h - radius - 1;
    paint(b, c, [&](int x, int y) {
        if (y >= solidTop && y + 1 <= solidBottom && x >= r.x + 1 && x + 1 <= r.x + r.w - 1) return 1.0f;
        return clamp01(0.5 - roundedRectDistance(x + 0.5, y + 0.5, r, radius));
    });
}

void Canvas::strokeRoundedRect(const Rect& r, double radius, double width, Colour c) {
    const double reach = width / 2 + 1;
    // Only the band along the outline is touched: the rows near the top and
    // bottom edges whole, the others at their two ends.
    const auto band = [&](double x0, double y0, double x1, double y1) {
        paint(clipped(x0, y0, x1, y1), c, [&](int x, int y) {
            const double d = roundedRectDistance(x + 0.5, y + 0.5, r, radius);
            return clamp01(width / 2 + 0.5 - std::fabs(d));
        });
    };
    const double inner = std::max(radius, 0.0) + reach;
    band(r.x - reach, r.y - reach, r.x + r.w + reach, r.y + inner);
    band(r.x - reach, r.y + r.h - inner, r.x + r.w + reach, r.y + r.h + reach);
    band(r.x - reach, r.y + inner, r.x + inner, r.y + r.h - inner);
    band(r.x + r.w - inner, r.y + inner, r.x + r.w + reach, r.y + r.h - inner);
}

void Canvas::fillCircle(Point centre, double radius, Colour c) noexcept {
    const Bounds b = clipped(centre.x - radius - 1, centre.y - radius - 1, centre.x + radius + 1, centre.y + radius + 1);
    paint(b, c, [&](int x, int y) { return clamp01(radius + 0.5 - std::hypot(x + 0.5 - centre.x, y + 0.5 - centre.y)); });
}

void Canvas::strokeCircle(Point centre, double radius, double width, Colour c) noexcept {
    const double reach = radius + width / 2 + 1;
    const Bounds b = clipped(centre.x - reach, centre.y - reach, centre.x + reach, centre.y + reach);
    paint(b, c, [&](int x, int y) {
        return clamp01(width / 2 + 0.5 - std::fabs(std::hypot(x + 0.5 - centre.x, y + 0.5 - centre.y) - radius));
    });
}

void Canvas::line(Point a, Point b, double width, Colour c) {
    const Point points[2] = {a, b};
    polyline(points, 2, width, c);
}

void Canvas::polyline(const Point* points, int count, double width, Colour c) {
    if (count < 2) return;
    const double reach = width / 2 + 1;
    double x0 = points[0].x, x1 = x0, y0 = points[0].y, y1 = y0;
    for (int i = 1; i < count; ++i) {
        x0 = std::min(x0, points[i].x), x1 = std::max(x1, points[i].x);
        y0 = std::min(y0, points[i].y), y1 = std::max(y1, points[i].y);
    }
    const Bounds b = clipped(x0 - reach, y0 - reach, x1 + reach, y1 + reach);
    const int w = b.x1 - b.x0, h = b.y1 - b.y0;
    if (w <= 0 || h <= 0) return;
    mask.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0.0f);
    // Each segment paints its own neighbourhood of the mask with the maximum.
    for (int i = 0; i + 1 < count; ++i) {
        const Point p = points[i], q = points[i + 1];
        const int sx0 = std::max(b.x0, static_cast<int>(std::floor(std::min(p.x, q.x) - reach)));
        const int sx1 = std::min(b.x1, static_cast<int>(std::ceil(std::max(p.x, q.x) + reach)));
        const int sy0 = std::max(b.y0, static_cast<int>(std::floor(std::min(p.y, q.y) - reach)));
        const int sy1 = std::min(b.y1, static_cast<int>(std::ceil(std::max(p.y, q.y) + reach)));
        for (int y = sy0; y < sy1; ++y)
            for (int x = sx0; x < sx1; ++x) {
                const float cover = clamp01(width / 2 + 0.5 - segmentDistance(x + 0.5, y + 0.5, p, q));
                float& m = mask[static_cast<std::size_t>(y - b.y0) * w + (x - b.x0)];
                m = std::max(m, cover);
            }
    }
    paint(b, c, [&](int x, int y) { return mask[static_cast<std::size_t>(y - b.y0) * w + (x - b.x0)]; });
}

const FaceRecord& Canvas::face(FaceStyle style, int scale) noexcept {
    const int s = scale >= 2 ? 1 : 0;
    return tables::fontFaces[s * faceStyleCount + static_cast<int>(style)];
}

double Canvas::textWidth(std::string_view utf8, FaceStyle style, int scale) noexcept {
    const FaceRecord& f = face(style, scale);
    double width = 0;
    for (std::size_t i = 0; i < utf8.size();)
        if (const GlyphRecord* g = findGlyph(f, nextCharacter(utf8, i))) width += g->advance;
    return width;
}

double Canvas::text(double x, double y, std::string_view utf8, FaceStyle style, int scale, Colour c) noexcept {
    const FaceRecord& f = face(style, scale);
    int penX = static_cast<int>(std::lround(x));
    const int baseline = static_cast<int>(std::lround(y));
    const int start = penX;
    for (std::size_t i = 0; i < utf8.size();) {
        const GlyphRecord* g = findGlyph(f, nextCharacter(utf8, i));
        if (g == nullptr) continue;
        const std::uint8_t* cover = tables::fontCoverage + g->offset;
        for (int row = 0; row < g->height; ++row)
            for (int col = 0; col < g->width; ++col) {
                const std::uint8_t v = cover[row * g->width + col];
                if (v != 0) blend(penX + g->left + col, baseline - g->top + row, c, v / 255.0f);
            }
        penX += g->advance;
    }
    return penX - start;
}

}  // namespace qb32::editor
