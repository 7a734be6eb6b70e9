// The capsule table and picture that users read: the README and docs/array
// carry exactly what the generator makes from the plug-in's capsule
// directions, and the table's angles are those directions in the plug-in's
// conventions (elevation from +z, azimuth counter-clockwise from +x).

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <sstream>

#include "tests/tools/ToolsTestSupport.h"
#include "tools/array/CapsuleLayout.h"

namespace qb32::tools {
namespace {

using namespace qb32::tools::testing;

TEST(ArrayDocs, ReadmeAndPictureMatchTheGeneratorAndTheCapsuleDirections) {
    const std::string table = capsuleTableMarkdown();
    EXPECT_NE(readText(std::string(QB32_SOURCE_DIR) + "/README.md").find(table), std::string::npos)
        << "README.md lacks the capsule table; qb32-gen-array-docs prints it";
    EXPECT_EQ(readText(std::string(QB32_SOURCE_DIR) + "/docs/array/capsules.svg"), capsuleLayoutSvg())
        << "docs/array/capsules.svg is stale: rerun qb32-gen-array-docs docs/array";

    std::istringstream rows(table);
    std::string row;
    std::getline(rows, row);
    std::getline(rows, row);
    int count = 0;
    while (std::getline(rows, row)) {
        int channel = 0, capsule = 0;
        double elevation = 0.0, azimuth = 0.0;
        ASSERT_EQ(std::sscanf(row.c_str(), "| %d | %d | %lf | %lf |", &channel, &capsule, &elevation, &azimuth), 4) << row;
        EXPECT_EQ(channel, capsule + 1);
        EXPECT_EQ(capsule, count++);
        const Vec3 v = capsuleVector(capsule);
        const double toDegrees = 180.0 / std::numbers::pi;
        EXPECT_NEAR(elevation, std::acos(v.z) * toDegrees, 0.051) << row;
        // Azimuth is undefined at the poles; no capsule sits there.
        const double want = std::fmod(std::atan2(v.y, v.x) * toDegrees + 360.0, 360.0);
        EXPECT_NEAR(std::remainder(azimuth - want, 360.0), 0.0, 0.051) << row;
    }
    EXPECT_EQ(count, 32);
}

}  // namespace
}  // namespace qb32::tools
