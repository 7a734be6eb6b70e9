#pragma once
// Writes a picture as an 8-bit RGB PNG file (libpng), for the tools that
// save screenshots of the editor. Pixels are 0xAARRGGBB words, row by row;
// alpha is dropped (the editor's pixels are opaque).
// Errors: answers false with a one-line message.

#include <cstdint>
#include <string>

namespace qb32::tools {

bool writePng(const std::string& path, const std::uint32_t* pixels, int width, int height, std::string& error);

}  // namespace qb32::tools
