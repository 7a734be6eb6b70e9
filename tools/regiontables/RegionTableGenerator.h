#pragma once
// Generator core of the high-band region tables (filters/tables/RegionTables.cpp).
//
// Geometry: the 32 capsules of the rigid sphere sit at the face centres of a
// truncated icosahedron. Directions are (theta, phi): theta is the polar angle
// from +z (0 zenith, 90 horizon, 180 nadir), phi the azimuth around z, and the
// unit vector is (sin theta cos phi, sin theta sin phi, cos theta). The capsule
// directions are the array's measured table (radians, four decimals); the 60
// triangles over them are the capsule mesh the high band interpolates on.
//
// Tables, on the grid of whole degrees theta 0..180 (rows) x phi 0..360
// (columns; column 360 is the direction of column 0 and is never read):
// - nearestCapsule: the capsule of largest dot product with the direction.
//   Ties within nearestTieTolerance go to the lowest capsule number (the
//   zenith row, equally near 12 and 28, is capsule 12).
// - capsuleTriangle: the lowest-numbered triangle that contains the direction,
//   where "contains" means the direction lies on the inner side of each of the
//   triangle's three edge great circles or within edgeTolerance of it (sine of
//   the angular distance, 0.001 rad = 0.057 deg). Directions on an edge or a
//   vertex thus go to the lowest-numbered triangle that touches them; the
//   tolerance absorbs the four-decimal rounding of the capsule table, so that
//   points lying on the mesh's symmetry edges (the zenith, the phi = 0
//   meridian, the horizon) are treated alike.
// - triangleVertices: 3 rows x 60 columns, row v = vertex v of each triangle.
//
// Used by the qb32-gen-region-tables tool and by the test that compares the
// committed tables with a fresh run.

#include <array>
#include <cstdint>
#include <iosfwd>
#include <vector>

namespace qb32::regiontables {

inline constexpr int capsuleCount = 32;
inline constexpr int triangleCount = 60;
inline constexpr int rows = 181;
inline constexpr int columns = 361;
inline constexpr double edgeTolerance = 1e-3;
inline constexpr double nearestTieTolerance = 1e-12;

struct Direction {
    double theta_rad;
    double phi_rad;
};

using Vec3 = std::array<double, 3>;

// The capsule table, capsule c at index c.
const std::array<Direction, capsuleCount>& capsuleDirections();
// The mesh, triangle t = capsules of its vertices 0, 1, 2 (as listed, not oriented).
const std::array<std::array<int, 3>, triangleCount>& meshTriangles();

Vec3 unitVector(double theta_rad, double phi_rad);

struct RegionTables {
    std::vector<std::int32_t> nearestCapsule;    // rows * columns
    std::vector<std::int32_t> capsuleTriangle;   // rows * columns
    std::vector<std::int32_t> triangleVertices;  // 3 * triangleCount
};

// Nearest capsule and containing triangle of one direction (-1 if no triangle
// contains it, which the mesh never allows).
int nearestCapsule(const Vec3& direction);
int containingTriangle(const Vec3& direction);

RegionTables generate();

// The C++ source of filters/tables/RegionTables.cpp, one grid row per line.
void writeSource(const RegionTables& tables, std::ostream& out);

}  // namespace qb32::regiontables
