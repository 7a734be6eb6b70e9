#include "tools/common/PngFile.h"

#include <png.h>

#include <cstdio>
#include <vector>

namespace qb32::tools {

bool writePng(const std::string& path, const std::uint32_t* pixels, int width, int height, std::string& error) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = "cannot write " + path;
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    bool ok = png != nullptr && info != nullptr;
    std::vector<png_byte> row(static_cast<std::size_t>(width) * 3);
    if (ok && setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, file);
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
    } else {
        ok = false;
    }
    png_destroy_write_struct(png != nullptr ? &png : nullptr, info != nullptr ? &info : nullptr);
    ok = std::fclose(file) == 0 && ok;
    if (!ok) error = "cannot write the picture " + path;
    return ok;
}

}  // namespace qb32::tools
