#pragma once
// The editor's text faces: anti-aliased glyph coverage of DejaVu Sans
// (regular and bold, from Debian's fonts-dejavu-core), rendered once by
// tools/fontgen (qb32-make-font) into the constant tables of
// editor/tables/FontTables.cpp. A test reruns the generator and compares.
//
// Faces: small, body and bold at scale 1 and at scale 2 (twice the pixel
// size, rendered at that size, not scaled up). Characters: printable ASCII
// (32..126) and the degree sign (176).
//
// Coverage: one byte per pixel, 0 (empty) .. 255 (covered), rows top to
// bottom. A glyph's bitmap sits `left` pixels right of the pen and its top
// row `top` pixels above the baseline; the pen then moves `advance` pixels.

#include <cstdint>

namespace qb32::editor {

enum class FaceStyle { small = 0, body = 1, bold = 2 };
inline constexpr int faceStyleCount = 3;
inline constexpr int faceScaleCount = 2;  // scale 1 and scale 2
inline constexpr int faceCount = faceStyleCount * faceScaleCount;

struct GlyphRecord {
    std::uint16_t code;
    std::uint8_t width, height;
    std::int8_t left, top;
    std::uint8_t advance;
    std::uint32_t offset;  // first coverage byte
};

struct FaceRecord {
    std::uint8_t pixelSize;
    std::uint8_t ascent;   // pixels above the baseline for a line
    std::uint8_t descent;  // pixels below it
    std::uint16_t firstGlyph;
    std::uint16_t glyphCount;
};

namespace tables {
// Faces in the order style-major within a scale: scale 1 small, body, bold,
// then scale 2 small, body, bold.
extern const FaceRecord fontFaces[faceCount];
extern const GlyphRecord fontGlyphs[];
extern const std::uint8_t fontCoverage[];
}  // namespace tables

}  // namespace qb32::editor
