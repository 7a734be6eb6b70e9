// Region tables of the high-band beam: equal to a fresh generator run, and
// checked against the geometry with computations of their own (great-circle
// distances from the angles; barycentric coordinates by Gaussian elimination).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <set>

#include "filters/tables/RegionTables.h"
#include "tools/regiontables/RegionTableGenerator.h"

namespace qb32 {
namespace {

namespace gen = regiontables;
constexpr double degree = std::numbers::pi / 180.0;

int nearestAt(int theta, int phi) { return nearestCapsuleMap[theta * regionMapColumns + phi]; }
int triangleAt(int theta, int phi) { return capsuleTriangleMap[theta * regionMapColumns + phi]; }
int vertexOf(int triangle, int v) { return triangleVertices[v * meshTriangleCount + triangle]; }

TEST(RegionTables, EqualAFreshGeneratorRun) {
    const gen::RegionTables fresh = gen::generate();
    ASSERT_EQ(fresh.nearestCapsule.size(), static_cast<std::size_t>(regionMapRows * regionMapColumns));
    EXPECT_TRUE(std::equal(fresh.nearestCapsule.begin(), fresh.nearestCapsule.end(), nearestCapsuleMap));
    EXPECT_TRUE(std::equal(fresh.capsuleTriangle.begin(), fresh.capsuleTriangle.end(), capsuleTriangleMap));
    EXPECT_TRUE(std::equal(fresh.triangleVertices.begin(), fresh.triangleVertices.end(), triangleVertices));
}

TEST(RegionTables, TellingValues) {
    for (int phi = 0; phi < 360; ++phi) {
        ASSERT_EQ(nearestAt(0, phi), 12) << phi;
        ASSERT_EQ(nearestAt(180, phi), 15) << phi;
        ASSERT_EQ(triangleAt(0, phi), 3) << phi;
        ASSERT_EQ(triangleAt(180, phi), 23) << phi;
    }
    struct Case { int theta, phi, nearest, triangle; };
    for (const Case c : {Case{90, 0, 0, 16}, Case{90, 45, 1, 11}, Case{45, 0, 4, 25}}) {
        EXPECT_EQ(nearestAt(c.theta, c.phi), c.nearest) << c.theta << '/' << c.phi;
        EXPECT_EQ(triangleAt(c.theta, c.phi), c.triangle) << c.theta << '/' << c.phi;
    }
    EXPECT_EQ(nearestAt(90, 90), 6);
    const std::array<int, 3> t3 = {vertexOf(3, 0), vertexOf(3, 1), vertexOf(3, 2)};
    EXPECT_EQ(t3, (std::array<int, 3>{4, 28, 12}));
}

// Whole-degree centres of the capsules, as the array's data sheet lists them.
constexpr std::array<std::array<int, 2>, 32> capsuleCentres_deg = {{
    {69, 0},    {90, 32},   {111, 0},   {90, 328},  {32, 0},    {55, 45},   {90, 69},
    {125, 45},  {148, 0},   {125, 315}, {90, 291},  {55, 315},  {21, 90},   {58, 90},
    {122, 90},  {159, 90},  {69, 180},  {90, 212},  {111, 180}, {90, 148},  {32, 180},
    {55, 225},  {90, 249},  {125, 225}, {148, 180}, {125, 135}, {90, 111},  {55, 135},
    {21, 270},  {58, 270},  {122, 270}, {159, 270},
}};

TEST(RegionTables, EveryCapsuleCentreMapsToItsCapsule) {
    for (int c = 0; c < 32; ++c) {
        const auto [theta, phi] = capsuleCentres_deg[static_cast<std::size_t>(c)];
        // The embedded geometry agrees with the listed centres.
        const gen::Direction d = gen::capsuleDirections()[static_cast<std::size_t>(c)];
        EXPECT_EQ(std::lround(d.theta_rad / degree), theta) << c;
        EXPECT_EQ(std::lround(d.phi_rad / degree) % 360, phi) << c;

        EXPECT_EQ(nearestAt(theta, phi), c);
        const int t = triangleAt(theta, phi);
        EXPECT_TRUE(vertexOf(t, 0) == c || vertexOf(t, 1) == c || vertexOf(t, 2) == c)
            << "capsule " << c << " centre lies in triangle " << t;
    }
}

TEST(RegionTables, MeshIsAClosedTriangulationOfAllCapsules) {
    // 60 triangles over 32 vertices with every edge shared by exactly two
    // triangles: a closed surface (Euler: 32 - 90 + 60 = 2).
    std::set<std::pair<int, int>> edges;
    std::array<int, 32> uses{};
    for (int t = 0; t < meshTriangleCount; ++t) {
        for (int v = 0; v < 3; ++v) {
            const int a = vertexOf(t, v), b = vertexOf(t, (v + 1) % 3);
            ASSERT_TRUE(a >= 0 && a < 32);
            ++uses[static_cast<std::size_t>(a)];
            edges.insert({std::min(a, b), std::max(a, b)});
        }
    }
    EXPECT_EQ(edges.size(), 90u);
    for (int c = 0; c < 32; ++c) EXPECT_GE(uses[static_cast<std::size_t>(c)], 5) << c;
}

// Great-circle distance from the angles (spherical law of cosines form).
double angleBetween(double theta1, double phi1, double theta2, double phi2) {
    const double c = std::cos(theta1) * std::cos(theta2) +
                     std::sin(theta1) * std::sin(theta2) * std::cos(phi1 - phi2);
    return std::acos(std::clamp(c, -1.0, 1.0));
}

TEST(RegionTables, NearestCapsuleIsNearest) {
    for (int theta = 0; theta <= 180; theta += 2) {
        for (int phi = 1; phi < 360; phi += 3) {
            double best = 10.0;
            for (const gen::Direction& d : gen::capsuleDirections())
                best = std::min(best, angleBetween(theta * degree, phi * degree, d.theta_rad, d.phi_rad));
            const gen::Direction listed =
                gen::capsuleDirections()[static_cast<std::size_t>(nearestAt(theta, phi))];
            const double distance = angleBetween(theta * degree, phi * degree, listed.theta_rad, listed.phi_rad);
            ASSERT_LE(distance, best + 1e-9) << theta << '/' << phi;
        }
    }
}

// x = u a + v b + w c solved for (u, v, w) by Gaussian elimination with
// partial pivoting: a direction lies in the spherical triangle when all three
// are non-negative.
std::array<double, 3> barycentric(const std::array<std::array<double, 3>, 3>& corners,
                                  const std::array<double, 3>& x) {
    double m[3][4];
    for (int r = 0; r < 3; ++r) {
        for (int k = 0; k < 3; ++k) m[r][k] = corners[static_cast<std::size_t>(k)][static_cast<std::size_t>(r)];
        m[r][3] = x[static_cast<std::size_t>(r)];
    }
    for (int col = 0; col < 3; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 3; ++r)
            if (std::fabs(m[r][col]) > std::fabs(m[pivot][col])) pivot = r;
        for (int k = 0; k < 4; ++k) std::swap(m[col][k], m[pivot][k]);
        for (int r = 0; r < 3; ++r) {
            if (r == col) continue;
            const double f = m[r][col] / m[col][col];
            for (int k = col; k < 4; ++k) m[r][k] -= f * m[col][k];
        }
    }
    return {m[0][3] / m[0][0], m[1][3] / m[1][1], m[2][3] / m[2][2]};
}

TEST(RegionTables, EveryGridPointLiesInItsTriangleAndNoLowerOneHoldsItClearly) {
    std::array<std::array<std::array<double, 3>, 3>, meshTriangleCount> corners{};
    for (int t = 0; t < meshTriangleCount; ++t) {
        for (int v = 0; v < 3; ++v) {
            const gen::Direction d = gen::capsuleDirections()[static_cast<std::size_t>(vertexOf(t, v))];
            corners[static_cast<std::size_t>(t)][static_cast<std::size_t>(v)] = {
                std::sin(d.theta_rad) * std::cos(d.phi_rad), std::sin(d.theta_rad) * std::sin(d.phi_rad),
                std::cos(d.theta_rad)};
        }
    }
    // Points on an edge belong to either side; 0.005 in barycentric terms is
    // about 0.1 degree, which covers the tables' edge tolerance.
    constexpr double onEdge = 5e-3;
    for (int theta = 0; theta <= 180; ++theta) {
        for (int phi = 0; phi < 360; ++phi) {
            const std::array<double, 3> x = {std::sin(theta * degree) * std::cos(phi * degree),
                                             std::sin(theta * degree) * std::sin(phi * degree),
                                             std::cos(theta * degree)};
            const int t = triangleAt(theta, phi);
            ASSERT_TRUE(t >= 0 && t < meshTriangleCount) << theta << '/' << phi;
            const auto w = barycentric(corners[static_cast<std::size_t>(t)], x);
            ASSERT_TRUE(w[0] >= -onEdge && w[1] >= -onEdge && w[2] >= -onEdge)
                << theta << '/' << phi << " not in triangle " << t;
            // Where two triangles share a point the lower number wins, so no
            // lower-numbered triangle may hold it well inside.
            for (int lower = 0; lower < t; ++lower) {
                const auto u = barycentric(corners[static_cast<std::size_t>(lower)], x);
                ASSERT_FALSE(u[0] > onEdge && u[1] > onEdge && u[2] > onEdge)
                    << theta << '/' << phi << " is inside triangle " << lower << ", listed " << t;
            }
        }
    }
}

}  // namespace
}  // namespace qb32
