#pragma once
// Renders the editor's text faces with FreeType and writes them as the C++
// source editor/tables/FontTables.cpp (layout in editor/FontTables.h).
//
// Faces: DejaVu Sans at 11, 13 pixels and DejaVu Sans Bold at 14 pixels for
// scale 1; 22, 26 and 28 pixels for scale 2. Glyphs: 32..126 and 176 (the
// degree sign), rendered with FreeType's light hinting (vertical only), which
// keeps the shapes' proportions and sharpens horizontal stems. Advances are
// rounded to whole pixels so that text lands on the pixel grid.
//
// Errors: fontTableSource answers an empty text and a one-line message when
// FreeType or a font file is missing.

#include <string>

namespace qb32::fontgen {

inline constexpr const char* regularFontPath = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
inline constexpr const char* boldFontPath = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";

std::string fontTableSource(std::string& error);

}  // namespace qb32::fontgen
