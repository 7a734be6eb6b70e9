#include "tools/array/CapsuleLayout.h"

#include <cmath>
#include <cstdio>
#include <numbers>

#include "engine/tables/CapsuleDirections.h"

namespace qb32::tools {

namespace {

constexpr double degrees = 180.0 / std::numbers::pi;

struct Degrees {
    double elevation, azimuth;
};

Degrees capsuleDegrees(int q) {
    const auto& c = tables::capsuleDirections[q];
    double azimuth = std::fmod(c.phi_rad * degrees, 360.0);
    if (azimuth < 0.0) azimuth += 360.0;
    if (azimuth >= 359.95) azimuth = 0.0;  // 6.2829 rad is the front, to the table's precision
    return {c.theta_rad * degrees, azimuth};
}

}  // namespace

std::string capsuleTableMarkdown() {
    std::string md = "| channel | capsule | elevation (deg) | azimuth (deg) | face |\n|---:|---:|---:|---:|---|\n";
    char line[128];
    for (int q = 0; q < tables::capsuleCount; ++q) {
        const Degrees d = capsuleDegrees(q);
        std::snprintf(line, sizeof line, "| %d | %d | %.1f | %.1f | %s |\n", q + 1, q, d.elevation, d.azimuth,
                      tables::capsuleDirections[q].pentagon ? "pentagon" : "hexagon");
        md += line;
    }
    return md;
}

std::string capsuleLayoutSvg() {
    constexpr double radius = 170.0, cy = 285.0;
    constexpr double centres[2] = {220.0, 640.0};
    std::string svg;
    char t[512];
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"860\" height=\"550\" viewBox=\"0 0 860 550\" "
           "font-family=\"sans-serif\" font-size=\"12\">\n<rect width=\"860\" height=\"550\" fill=\"white\"/>\n"
           "<text x=\"430\" y=\"24\" text-anchor=\"middle\" font-size=\"15\">The 32 capsules seen from above: "
           "numbers are input channels (capsule number + 1)</text>\n";
    const char* titles[2] = {"upper half (elevation 0 to 90)", "lower half, seen through the sphere (90 to 180)"};
    for (int panel = 0; panel < 2; ++panel) {
        const double cx = centres[panel];
        std::snprintf(t, sizeof t, "<text x=\"%.0f\" y=\"52\" text-anchor=\"middle\" font-size=\"13\">%s</text>\n", cx, titles[panel]);
        svg += t;
        // Rings every 30 degrees of elevation from the panel's pole.
        for (int ring = 1; ring <= 3; ++ring) {
            std::snprintf(t, sizeof t, "<circle cx=\"%.0f\" cy=\"%.0f\" r=\"%.1f\" fill=\"none\" stroke=\"%s\"/>\n", cx, cy,
                          radius * ring / 3.0, ring == 3 ? "#888" : "#ddd");
            svg += t;
        }
        for (int a = 0; a < 360; a += 45) {
            const double r = a * std::numbers::pi / 180.0;
            std::snprintf(t, sizeof t,
                          "<line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#eee\"/><text x=\"%.1f\" y=\"%.1f\" "
                          "text-anchor=\"middle\" fill=\"#888\">%d</text>\n",
                          cx, cy, cx - radius * std::sin(r), cy - radius * std::cos(r), cx - (radius + 16) * std::sin(r),
                          cy - (radius + 16) * std::cos(r) + 4, a);
            svg += t;
        }
        std::snprintf(t, sizeof t,
                      "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"middle\" fill=\"#555\">%s</text>\n"
                      "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"middle\" fill=\"#a00\">front (azimuth 0)</text>\n"
                      "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"middle\" fill=\"#555\">left (90)</text>\n",
                      cx, cy + 4, panel == 0 ? "zenith" : "nadir", cx, cy - radius - 34, cx - radius - 20, cy + 22);
        svg += t;
        for (int q = 0; q < tables::capsuleCount; ++q) {
            const Degrees d = capsuleDegrees(q);
            // Capsules within a degree of the horizon show in both halves.
            const bool shown = panel == 0 ? d.elevation < 91.0 : d.elevation > 89.0;
            if (!shown) continue;
            const double r = radius * (panel == 0 ? d.elevation : 180.0 - d.elevation) / 90.0;
            const double a = d.azimuth * std::numbers::pi / 180.0;
            const double x = cx - r * std::sin(a), y = cy - r * std::cos(a);
            const bool pentagon = tables::capsuleDirections[q].pentagon;
            std::snprintf(t, sizeof t,
                          "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"11\" fill=\"%s\" stroke=\"#333\"/><text x=\"%.1f\" y=\"%.1f\" "
                          "text-anchor=\"middle\" font-size=\"11\">%d</text>\n",
                          x, y, pentagon ? "#ffd8a8" : "#cfe3ff", x, y + 4, q + 1);
            svg += t;
        }
    }
    svg += "<text x=\"430\" y=\"512\" text-anchor=\"middle\" fill=\"#555\">Azimuth runs counter-clockwise seen from above "
           "(0 in front, 90 to the left); elevation is measured from the zenith.</text>\n"
           "<text x=\"430\" y=\"532\" text-anchor=\"middle\" fill=\"#555\">Orange: pentagon faces; blue: hexagon faces. "
           "Capsules on the horizon appear in both halves.</text>\n"
           "</svg>\n";
    return svg;
}

}  // namespace qb32::tools
