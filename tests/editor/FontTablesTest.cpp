// The committed glyph tables are what the generator renders, and the text
// drawn from them lands where its metrics say.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "editor/Canvas.h"
#include "tools/fontgen/FontDesign.h"

namespace qb32::editor {
namespace {

TEST(FontTables, TheGeneratorReproducesTheCommittedSource) {
    std::string error;
    const std::string generated = fontgen::fontTableSource(error);
    ASSERT_FALSE(generated.empty()) << error;
    std::ifstream in(std::string(QB32_SOURCE_DIR) + "/editor/tables/FontTables.cpp", std::ios::binary);
    ASSERT_TRUE(in);
    std::stringstream committed;
    committed << in.rdbuf();
    EXPECT_TRUE(committed.str() == generated) << "editor/tables/FontTables.cpp differs: rerun qb32-make-font";
}

TEST(FontTables, TextCoversWhatItsWidthSays) {
    for (int scale : {1, 2})
        for (FaceStyle style : {FaceStyle::small, FaceStyle::body, FaceStyle::bold}) {
            PixelBuffer buffer;
            buffer.resize(400, 80);
            Canvas canvas(buffer);
            canvas.fill({0, 0, 400, 80}, rgb(0x000000));
            const char* text = "Elevation 90\xc2\xb0";
            const double advance = canvas.text(10, 50, text, style, scale, rgb(0xffffff));
            EXPECT_EQ(advance, Canvas::textWidth(text, style, scale));
            int left = 400, right = -1, top = 80, bottom = -1;
            for (int y = 0; y < 80; ++y)
                for (int x = 0; x < 400; ++x)
                    if (buffer.colourAt(x, y).r > 0) left = std::min(left, x), right = std::max(right, x), top = std::min(top, y), bottom = std::max(bottom, y);
            const FaceRecord& face = Canvas::face(style, scale);
            EXPECT_GE(left, 10);
            EXPECT_LE(right, 10 + advance);
            EXPECT_GT(right - left, advance * 0.8);
            EXPECT_GE(top, 50 - face.ascent);       // capitals and the degree sign stay under the ascent
            EXPECT_LT(bottom, 50);                  // nothing in this text goes below the baseline
            EXPECT_GT(50 - top, face.pixelSize / 2);
        }
}

}  // namespace
}  // namespace qb32::editor
