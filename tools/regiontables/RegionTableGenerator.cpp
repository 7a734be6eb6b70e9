#include "tools/regiontables/RegionTableGenerator.h"

#include "engine/tables/CapsuleDirections.h"

#include <cmath>
#include <numbers>
#include <ostream>

namespace qb32::regiontables {

namespace {

double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

Vec3 normalised(const Vec3& v) {
    const double length = std::sqrt(dot(v, v));
    return {v[0] / length, v[1] / length, v[2] / length};
}

Vec3 capsuleVector(int capsule) {
    const Direction& d = capsuleDirections()[static_cast<std::size_t>(capsule)];
    return unitVector(d.theta_rad, d.phi_rad);
}

// A triangle as three inward edge normals (unit length) and its centre.
struct OrientedTriangle {
    std::array<Vec3, 3> edgeNormals;
    Vec3 centre;
};

std::array<OrientedTriangle, triangleCount> orientedTriangles() {
    std::array<OrientedTriangle, triangleCount> result{};
    for (int t = 0; t < triangleCount; ++t) {
        const auto& corners = meshTriangles()[static_cast<std::size_t>(t)];
        Vec3 a = capsuleVector(corners[0]);
        Vec3 b = capsuleVector(corners[1]);
        const Vec3 c = capsuleVector(corners[2]);
        // The listed vertex order is not consistently oriented: make a, b, c
        // counter-clockwise seen from outside so the edge normals point inward.
        if (dot(cross(a, b), c) < 0.0) std::swap(a, b);
        OrientedTriangle& o = result[static_cast<std::size_t>(t)];
        o.edgeNormals = {normalised(cross(a, b)), normalised(cross(b, c)), normalised(cross(c, a))};
        o.centre = normalised({a[0] + b[0] + c[0], a[1] + b[1] + c[1], a[2] + b[2] + c[2]});
    }
    return result;
}

void writeTable(std::ostream& out, const char* declaration, const std::vector<std::int32_t>& values,
                int perLine) {
    out << declaration << " = {\n";
    for (std::size_t i = 0; i < values.size(); ++i) {
        out << values[i] << ',';
        if ((i + 1) % static_cast<std::size_t>(perLine) == 0 || i + 1 == values.size()) out << '\n';
    }
    out << "};\n";
}

}  // namespace

// The array's one capsule table (engine/tables/CapsuleDirections.h), the
// same numbers the decomposition matrix is built from.
const std::array<Direction, capsuleCount>& capsuleDirections() {
    static const std::array<Direction, capsuleCount> directions = [] {
        static_assert(tables::capsuleCount == capsuleCount);
        std::array<Direction, capsuleCount> d{};
        for (int c = 0; c < capsuleCount; ++c)
            d[static_cast<std::size_t>(c)] = {tables::capsuleDirections[c].theta_rad,
                                              tables::capsuleDirections[c].phi_rad};
        return d;
    }();
    return directions;
}

const std::array<std::array<int, 3>, triangleCount>& meshTriangles() {
    static const std::array<std::array<int, 3>, triangleCount> triangles = {{
        {15, 8, 7},   {16, 18, 19}, {21, 17, 22}, {4, 28, 12},  {16, 20, 27}, {13, 26, 6},
        {21, 16, 20}, {15, 7, 14},  {9, 2, 8},    {9, 2, 3},    {27, 19, 26}, {7, 6, 1},
        {18, 24, 25}, {24, 25, 15}, {27, 13, 26}, {29, 11, 10}, {0, 1, 2},    {10, 30, 9},
        {1, 5, 0},    {14, 25, 26}, {22, 29, 10}, {20, 21, 28}, {23, 22, 30}, {24, 15, 31},
        {20, 28, 12}, {11, 0, 4},   {6, 7, 14},   {1, 2, 7},    {16, 18, 17}, {29, 21, 22},
        {14, 25, 15}, {28, 29, 11}, {28, 4, 11},  {3, 10, 9},   {25, 26, 19}, {24, 23, 31},
        {21, 17, 16}, {10, 22, 30}, {12, 13, 5},  {13, 5, 6},   {20, 27, 12}, {23, 22, 17},
        {0, 4, 5},    {4, 12, 5},   {2, 3, 0},    {12, 27, 13}, {8, 31, 9},   {24, 18, 23},
        {30, 31, 9},  {29, 21, 28}, {2, 8, 7},    {0, 11, 3},   {11, 3, 10},  {19, 18, 25},
        {8, 15, 31},  {26, 14, 6},  {23, 30, 31}, {17, 18, 23}, {16, 19, 27}, {1, 5, 6},
    }};
    return triangles;
}

Vec3 unitVector(double theta_rad, double phi_rad) {
    return {std::sin(theta_rad) * std::cos(phi_rad), std::sin(theta_rad) * std::sin(phi_rad),
            std::cos(theta_rad)};
}

int nearestCapsule(const Vec3& direction) {
    int best = 0;
    double bestDot = dot(direction, capsuleVector(0));
    for (int c = 1; c < capsuleCount; ++c) {
        const double d = dot(direction, capsuleVector(c));
        if (d > bestDot + nearestTieTolerance) {
            best = c;
            bestDot = d;
        }
    }
    return best;
}

int containingTriangle(const Vec3& direction) {
    static const std::array<OrientedTriangle, triangleCount> triangles = orientedTriangles();
    for (int t = 0; t < triangleCount; ++t) {
        const OrientedTriangle& o = triangles[static_cast<std::size_t>(t)];
        if (dot(direction, o.centre) <= 0.0) continue;
        bool inside = true;
        for (const Vec3& n : o.edgeNormals) inside = inside && dot(direction, n) >= -edgeTolerance;
        if (inside) return t;
    }
    return -1;
}

RegionTables generate() {
    RegionTables tables;
    tables.nearestCapsule.resize(static_cast<std::size_t>(rows * columns));
    tables.capsuleTriangle.resize(static_cast<std::size_t>(rows * columns));
    constexpr double degree = std::numbers::pi / 180.0;
    for (int theta = 0; theta < rows; ++theta) {
        for (int phi = 0; phi < columns; ++phi) {
            const Vec3 p = unitVector(theta * degree, phi * degree);
            const auto index = static_cast<std::size_t>(theta * columns + phi);
            tables.nearestCapsule[index] = nearestCapsule(p);
            tables.capsuleTriangle[index] = containingTriangle(p);
        }
    }
    tables.triangleVertices.resize(static_cast<std::size_t>(3 * triangleCount));
    for (int t = 0; t < triangleCount; ++t)
        for (int v = 0; v < 3; ++v)
            tables.triangleVertices[static_cast<std::size_t>(v * triangleCount + t)] =
                meshTriangles()[static_cast<std::size_t>(t)][static_cast<std::size_t>(v)];
    return tables;
}

void writeSource(const RegionTables& tables, std::ostream& out) {
    out << "// Generated by tools/regiontables (qb32-gen-region-tables) from the 32 capsule "
           "directions and the 60-triangle capsule mesh; do not edit.\n"
           "#include \"filters/tables/RegionTables.h\"\n\n"
           "namespace qb32 {\n\n"
           "// Row theta = 0..180, column phi = 0..360 (whole degrees).\n";
    writeTable(out, "const std::int32_t nearestCapsuleMap[regionMapRows * regionMapColumns]",
               tables.nearestCapsule, columns);
    out << '\n';
    writeTable(out, "const std::int32_t capsuleTriangleMap[regionMapRows * regionMapColumns]",
               tables.capsuleTriangle, columns);
    out << "\n// Row v = vertex v, column t = triangle t.\n";
    writeTable(out, "const std::int32_t triangleVertices[3 * meshTriangleCount]",
               tables.triangleVertices, triangleCount);
    out << "\n}  // namespace qb32\n";
}

}  // namespace qb32::regiontables
