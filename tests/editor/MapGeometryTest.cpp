// The map projection both ways, the -3 dB outlines and where the view draws
// a beam, across the seam behind the array and at the poles.
#include <gtest/gtest.h>

#include <cmath>

#include "editor/Layout.h"
#include "editor/MapGeometry.h"
#include "tests/editor/EditorTestSupport.h"

namespace qb32::editor {
namespace {

const Rect mapArea{56, 56, 720, 360};

double azimuthDifference(double a, double b) {
    const double d = std::fmod(std::fabs(a - b), 360.0);
    return std::min(d, 360.0 - d);
}

// The map as the issue describes it, written independently: front (0) in the
// middle, left (90) halfway to the left edge, behind (180) at the edges.
Point expectedPixel(double elevation, double azimuth) {
    const double a = std::fmod(std::fmod(azimuth, 360.0) + 360.0, 360.0);
    const double leftOfCentre = a < 180.0 ? a : a - 360.0;  // degrees towards the left edge
    return {mapArea.x + mapArea.w / 2 - leftOfCentre * mapArea.w / 360.0, mapArea.y + elevation * mapArea.h / 180.0};
}

TEST(MapProjection, DirectionsAndPixelsBothWays) {
    const MapProjection projection(mapArea);
    const struct {
        double elevation, azimuth;
    } cases[] = {{90, 0},    {90, 90},   {90, 270},  {45, 179.9}, {45, 180.1}, {135, 359.95},
                 {0.0, 77},  {180, 200}, {2, 181},   {178, 179},  {60, 0.02},  {120, 359.98},
                 {30, -90},  {150, 450}, {90, 180}};
    for (const auto& c : cases) {
        const Point p = projection.pixelOf({c.elevation, c.azimuth});
        const Point want = expectedPixel(c.elevation, c.azimuth);
        EXPECT_NEAR(p.y, want.y, 1e-9) << c.elevation << "/" << c.azimuth;
        // At the seam both edges are the same direction.
        const double dx = std::fabs(p.x - want.x);
        EXPECT_TRUE(dx < 1e-9 || std::fabs(dx - mapArea.w) < 1e-9) << c.elevation << "/" << c.azimuth << " x " << p.x;
        const Direction back = projection.directionAt(p);
        EXPECT_NEAR(back.elevation_deg, c.elevation, 1e-9);
        if (c.elevation > 0.0 && c.elevation < 180.0) {
            EXPECT_LT(azimuthDifference(back.azimuth_deg, c.azimuth), 1e-9);
        }
        EXPECT_GE(back.azimuth_deg, 0.0);
        EXPECT_LT(back.azimuth_deg, 360.0);
    }
    // Just either side of the seam the directions are 0.2 degrees apart and
    // the pixels a whole map apart.
    const double left = projection.pixelOf({90, 179.9}).x, right = projection.pixelOf({90, 180.1}).x;
    EXPECT_NEAR(right - left, mapArea.w * (1 - 0.2 / 360.0), 1e-9);
    // Pixel -> direction -> pixel over the whole map, edges included.
    for (double y = mapArea.y; y <= mapArea.y + mapArea.h; y += 7.5)
        for (double x = mapArea.x; x < mapArea.x + mapArea.w; x += 9.25) {
            const Point q = projection.pixelOf(projection.directionAt({x, y}));
            EXPECT_NEAR(q.y, y, 1e-9);
            EXPECT_TRUE(std::fabs(q.x - x) < 1e-9 || std::fabs(std::fabs(q.x - x) - mapArea.w) < 1e-9) << x << "," << y;
        }
}

// Every point of a traced circle lies at its radius from the centre, the
// pieces are continuous except at the seam, where they meet the map edges.
TEST(MapProjection, CirclesOnTheSphereAcrossTheSeamAndAroundThePoles) {
    const MapProjection projection(mapArea);
    const struct {
        Direction centre;
        double radius;
        int pieces;        // after cutting at the seam
        bool spansWidth;   // encloses a pole: runs from edge to edge
    } cases[] = {{{90, 0}, 30, 1, false},    {{90, 180}, 30, 2, false}, {{10, 30}, 25, 1, true},
                 {{170, 250}, 20, 1, true},  {{45, 170}, 40, 2, false}, {{0, 0}, 60, 1, true},
                 {{90, 90}, 135, 1, false}, {{90, 0}, 150, 2, false}};
    for (const auto& c : cases) {
        const auto pieces = circleOnMap(c.centre, c.radius, projection, 360);
        EXPECT_EQ(static_cast<int>(pieces.size()), c.pieces) << c.centre.elevation_deg << "/" << c.centre.azimuth_deg;
        double minX = 1e9, maxX = -1e9;
        for (const Polyline& piece : pieces) {
            for (std::size_t i = 0; i < piece.size(); ++i) {
                const Point& p = piece[i];
                minX = std::min(minX, p.x), maxX = std::max(maxX, p.x);
                const bool onEdge = std::fabs(p.x - mapArea.x) < 1e-6 || std::fabs(p.x - mapArea.x - mapArea.w) < 1e-6;
                if (!onEdge) {
                    EXPECT_NEAR(angleBetween_deg(projection.directionAt(p), c.centre), c.radius, 1e-6);
                }
                if (i > 0) { EXPECT_LT(std::fabs(p.x - piece[i - 1].x), mapArea.w / 4) << "a jump inside a piece";
                }
            }
        }
        if (c.spansWidth) {
            EXPECT_NEAR(minX, mapArea.x, 1e-6);
            EXPECT_NEAR(maxX, mapArea.x + mapArea.w, 1e-6);
        }
    }
}

// The outline radii from each pattern's polar response give its catalogued
// beam width; the torus and the dipole have two rings.
TEST(BeamOutline, HalfPowerRadiiMatchTheCataloguedWidths) {
    const CQb32Factory factory;
    for (int i = 0; i < factory.patternCount; ++i) {
        const CQbPattern& p = *factory.pattern(i);
        const int v = defaultVariant(p);
        const auto radii = halfPowerRadii(p.polarResponse + v * p.polarPointCount, p.polarPointCount);
        const std::string name = p.name;
        if (name == "omni") {
            EXPECT_TRUE(radii.empty());
            continue;
        }
        const std::size_t rings = name == "torus" || name == "dipole1" ? 2u : 1u;
        ASSERT_EQ(radii.size(), rings) << name;
        if (name == "torus") {
            // Nothing on the axis, most at right angles: the rings lie
            // symmetric about 90 degrees.
            EXPECT_NEAR(radii[0] + radii[1], 180.0, 2.0) << name;
            continue;
        }
        EXPECT_NEAR(2.0 * radii[0], p.beamwidthDeg[v], 2.5) << name;
        if (rings == 2) {
            EXPECT_NEAR(radii[1], 180.0 - radii[0], 1.0) << name;
        }
    }
}

// Where the view draws: the marker of a beam is centred on the pixel of its
// direction; the outline crosses the beam's meridian at the catalogued
// width; a beam that is off is hollow.
TEST(BeamMapView, DrawsEachBeamWhereItsDirectionMaps) {
    testing::FakeController host;
    BeamMapView view(host, 1);
    const Colour colour = BeamMapView::beamColour(0);
    auto isBeam = [&](Colour c) { return c.r == colour.r && c.g == colour.g && c.b == colour.b; };
    const Direction directions[] = {{90, 0}, {60, 170}, {120, 190}, {8, 45}, {175, 300}, {90, 179.5}, {30, 181}};
    for (const Direction& d : directions) {
        host.beams[0] = {d.elevation_deg, d.azimuth_deg, 0, true};  // omni: no outline
        view.frame();
        const Point want = view.projection().pixelOf(d);
        double sx = 0, sy = 0, n = 0;
        const PixelBuffer& px = view.pixels();
        for (int y = 0; y < px.height(); ++y)
            for (int x = 0; x < px.width(); ++x)
                if (isBeam(px.colourAt(x, y)) && std::hypot(x + 0.5 - want.x, y + 0.5 - want.y) < 40) sx += x + 0.5, sy += y + 0.5, ++n;
        ASSERT_GT(n, 50) << d.elevation_deg << "/" << d.azimuth_deg;
        EXPECT_NEAR(sx / n, want.x, 1.0) << d.elevation_deg << "/" << d.azimuth_deg;
        EXPECT_NEAR(sy / n, want.y, 1.5) << d.elevation_deg << "/" << d.azimuth_deg;
    }
    // The same beam off: hollow (no solid fill inside), with a dim ring.
    host.beams[0] = {90, 0, 0, false};
    view.frame();
    const Point c = view.projection().pixelOf({90, 0});
    int solid = 0;
    for (int y = -6; y <= 6; ++y)
        for (int x = -6; x <= 6; ++x) solid += isBeam(view.pixels().colourAt(static_cast<int>(c.x) + x, static_cast<int>(c.y) + y));
    EXPECT_EQ(solid, 0);
    const Colour ring = view.pixels().colourAt(static_cast<int>(c.x), static_cast<int>(c.y - layout::markerRadius + 1.5));
    EXPECT_GT(ring.r, 110);  // part beam colour (red), part dark background
    EXPECT_LT(ring.r, colour.r);
}

TEST(BeamMapView, OutlineWidthIsThePatternsWidth) {
    testing::FakeController host;
    BeamMapView view(host, 1);
    const Colour colour = BeamMapView::beamColour(0);
    const char* names[] = {"card1", "card3", "hyper2", "super3", "dipole1"};
    for (const char* name : names) {
        int index = 0;
        while (std::string(host.factory.pattern(index)->name) != name) ++index;
        const CQbPattern& p = *host.factory.pattern(index);
        host.beams[0] = {90, 0, index, true};
        view.frame();
        // Walk the beam's meridian (the map's centre column) from the top and
        // collect the rows where the outline's own colour is.
        const int x = static_cast<int>(view.projection().pixelOf({90, 0}).x);
        std::vector<double> hits;
        for (int y = static_cast<int>(mapArea.y); y < static_cast<int>(mapArea.y + mapArea.h); ++y) {
            const Colour c = view.pixels().colourAt(x, y);
            if (c.r == colour.r && c.g == colour.g && c.b == colour.b) {
                const double e = view.projection().directionAt({x + 0.5, y + 0.5}).elevation_deg;
                if (std::fabs(e - 90.0) > 15.0) hits.push_back(e);  // not the marker
            }
        }
        ASSERT_FALSE(hits.empty()) << name;
        // The outline nearest the axis on either side.
        double above = 0, below = 180;
        for (double e : hits) {
            if (e < 90.0) {
                above = std::max(above, e);
            } else {
                below = std::min(below, e);
            }
        }
        EXPECT_NEAR(below - above, p.beamwidthDeg[defaultVariant(p)], 3.0) << name;
    }
}

}  // namespace
}  // namespace qb32::editor

namespace qb32::editor {
namespace {

// The header names the session's rate, and says so when the engine is
// silent at it.
TEST(BeamMapView, HeaderShowsTheRateAndTheSilentNotice) {
    testing::FakeController host;
    BeamMapView view(host, 1);
    auto header = [&] {
        view.frame();
        std::vector<std::uint32_t> pixels;
        for (int y = 0; y < 44; ++y)
            for (int x = 0; x < view.width(); ++x) pixels.push_back(view.pixels().at(x, y));
        return pixels;
    };
    auto amber = [&](const std::vector<std::uint32_t>& pixels) {
        int n = 0;
        for (std::uint32_t p : pixels) n += ((p >> 16) & 0xff) > 230 && ((p >> 8) & 0xff) > 160 && ((p >> 8) & 0xff) < 190 && (p & 0xff) < 90;
        return n;
    };
    const auto at44100 = header();
    EXPECT_EQ(amber(at44100), 0);
    EXPECT_EQ(header(), at44100) << "the same state draws the same header";
    host.rate_hz = 48000.0;
    const auto at48000 = header();
    EXPECT_NE(at48000, at44100);
    host.silent = true;
    EXPECT_GT(amber(header()), 500);
}

}  // namespace
}  // namespace qb32::editor
