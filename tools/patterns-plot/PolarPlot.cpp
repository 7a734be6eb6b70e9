#include "tools/patterns-plot/PolarPlot.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <numbers>

namespace qb32::tools {

namespace {

constexpr double pi = std::numbers::pi;
constexpr double floor_db = -30.0, radius = 150.0, centreY = 250.0;
constexpr double centresX[2] = {200.0, 600.0};

__attribute__((format(printf, 2, 3))) void appendf(std::string& out, const char* format, ...) {
    char buf[512];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    out += buf;
}

// Page position of a level at an angle from the look direction:
// counter-clockwise from the top.
void position(double cx, double angle_deg, double level_db, double& x, double& y) {
    const double r = radius * (std::max(level_db, floor_db) - floor_db) / -floor_db;
    const double a = angle_deg * pi / 180.0;
    x = cx - r * std::sin(a);
    y = centreY - r * std::cos(a);
}

std::string directionLabel(const Direction& d) {
    char text[64];
    std::snprintf(text, sizeof text, "elev %.0f, azim %.0f", d.elevation_deg, std::fmod(std::round(d.azimuth_deg) + 360.0, 360.0));
    return text;
}

int bandIndex(const PatternResult& r, double hz) {
    const auto it = std::find(r.bandCentres_hz.begin(), r.bandCentres_hz.end(), hz);
    return it == r.bandCentres_hz.end() ? -1 : static_cast<int>(it - r.bandCentres_hz.begin());
}

std::string levelText(double db) {
    if (db <= floor_db) return "below -30 dB";
    char text[32];
    const double rounded = std::round(db);
    std::snprintf(text, sizeof text, "%.0f dB", rounded == 0.0 ? 0.0 : rounded);
    return text;
}

// The measured level at a circle point in a band: the higher of both circles.
double levelAt(const PatternResult& r, int band, std::size_t point) {
    return std::max(r.horizontal_db[static_cast<std::size_t>(band)][point], r.vertical_db[static_cast<std::size_t>(band)][point]);
}

}  // namespace

std::string highBandNote(const PatternResult& r) {
    std::string note = "above 8 kHz the beam comes from the capsules nearest the look direction";
    if (r.name == "torus") note += ": the torus's null along its axis fills in";
    else if (r.name == "dipole1") note += ": the dipole's null at right angles fills in";
    else if (r.name == "omni") note += ": the omni turns directional";
    else note += ": the pattern strays from the theory and its nulls fill in";
    // The measured level where the theory is deepest (a null), at 4 and 16 kHz.
    const int mid = bandIndex(r, 4000.0), high = bandIndex(r, 16000.0);
    if (mid >= 0 && high >= 0 && !r.theory_db.empty()) {
        const auto null = static_cast<std::size_t>(std::min_element(r.theory_db.begin(), r.theory_db.end()) - r.theory_db.begin());
        if (r.theory_db[null] <= -20.0) {
            char text[160];
            std::snprintf(text, sizeof text, " (at the theory's null, %g degrees from the look direction: %s at 4 kHz, %s at 16 kHz)",
                          static_cast<double>(null) * 360.0 / static_cast<double>(r.theory_db.size()),
                          levelText(levelAt(r, mid, null)).c_str(), levelText(levelAt(r, high, null)).c_str());
            note += text;
        }
    }
    return note;
}

std::string polarPlotSvg(const PatternResult& r, const MeasurementSetup& setup) {
    const MeasurementDirections dirs = measurementDirections(setup);
    std::string svg;
    appendf(svg, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"800\" height=\"540\" viewBox=\"0 0 800 540\" "
                 "font-family=\"sans-serif\" font-size=\"11\">\n<rect width=\"800\" height=\"540\" fill=\"white\"/>\n");
    appendf(svg, "<text x=\"400\" y=\"20\" text-anchor=\"middle\" font-size=\"15\">%s aimed at elevation %g, azimuth %g: "
                 "measured through the plug-in on the simulated array</text>\n",
            r.name.c_str(), setup.look.elevation_deg, setup.look.azimuth_deg);
    const bool onHorizon = std::fabs(setup.look.elevation_deg - 90.0) < 1e-9;
    const char* circleNames[2] = {"sideways", "upward"};
    const char* circleTitles[2] = {
        onHorizon ? "horizontal plane, seen from above" : "great circle through the look direction, sideways",
        onHorizon ? "vertical plane through the look direction" : "great circle through the look direction, upwards"};
    const int starts[2] = {dirs.horizontalStart, dirs.verticalStart};
    const int quarter = static_cast<int>(std::lround(90.0 / setup.circleStep_deg)) % std::max(1, dirs.circlePoints);

    struct Shown {
        double hz;
        const char* colour;
        const char* dash;
    } shown[] = {{250.0, "#1f77b4", ""}, {1000.0, "#2ca02c", ""}, {4000.0, "#ff7f0e", ""}, {16000.0, "#d62728", "2 2"}};

    for (int c = 0; c < 2; ++c) {
        const double cx = centresX[c];
        appendf(svg, "<text x=\"%.0f\" y=\"50\" text-anchor=\"middle\" font-size=\"13\">%s</text>\n", cx, circleTitles[c]);
        appendf(svg, "<text x=\"%.0f\" y=\"68\" text-anchor=\"middle\" fill=\"#555\">0 = the look direction</text>\n", cx);
        for (int ring = 0; ring < 3; ++ring) {
            const double rr = radius * (3 - ring) / 3.0;
            appendf(svg, "<circle cx=\"%.0f\" cy=\"%.0f\" r=\"%.1f\" fill=\"none\" stroke=\"#ccc\"/>\n", cx, centreY, rr);
            appendf(svg, "<text x=\"%.0f\" y=\"%.1f\" fill=\"#888\">%d dB</text>\n", cx + 3, centreY - rr + 11, -10 * ring);
        }
        for (int a = 0; a < 360; a += 30) {
            double x = 0, y = 0, lx = 0, ly = 0;
            position(cx, a, 0.0, x, y);
            appendf(svg, "<line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#eee\"/>\n", cx, centreY, x, y);
            const double labelRadius = radius + 12.0;
            lx = cx - labelRadius * std::sin(a * pi / 180.0);
            ly = centreY - labelRadius * std::cos(a * pi / 180.0) + 4.0;
            appendf(svg, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" fill=\"#888\">%d</text>\n", lx, ly, a);
        }
        // The directions at 90 and 270 degrees, so the plot says which way it runs.
        if (!dirs.all.empty() && dirs.circlePoints > 0) {
            const Direction left = dirs.all[static_cast<std::size_t>(starts[c] + quarter)];
            const Direction right = dirs.all[static_cast<std::size_t>(starts[c] + (dirs.circlePoints - quarter) % dirs.circlePoints)];
            appendf(svg, "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"middle\" fill=\"#555\">90 (left) = %s; 270 (right) = %s</text>\n",
                    cx, centreY + radius + 36, directionLabel(left).c_str(), directionLabel(right).c_str());
        }
        auto path = [&](const std::vector<double>& db, const char* colour, const char* dash, const std::string& band) {
            if (db.empty()) return;
            appendf(svg, "<path data-circle=\"%s\" data-band=\"%s\" d=\"", circleNames[c], band.c_str());
            for (std::size_t i = 0; i <= db.size(); ++i) {
                double x = 0, y = 0;
                position(cx, static_cast<double>(i % db.size()) * setup.circleStep_deg, db[i % db.size()], x, y);
                appendf(svg, "%s%.1f,%.1f", i == 0 ? "M" : "L", x, y);
            }
            appendf(svg, "\" fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\"%s%s%s/>\n", colour,
                    *dash ? " stroke-dasharray=\"" : "", dash, *dash ? "\"" : "");
        };
        path(r.theory_db, "black", "5 3", "theory");
        for (const auto& s : shown) {
            const int b = bandIndex(r, s.hz);
            if (b < 0) continue;
            const auto& circle = c == 0 ? r.horizontal_db : r.vertical_db;
            path(circle[static_cast<std::size_t>(b)], s.colour, s.dash, bandLabel(s.hz));
        }
    }
    int legend = 0;
    appendf(svg, "<text x=\"20\" y=\"468\">theory (dashed)</text>\n");
    for (const auto& s : shown) {
        if (bandIndex(r, s.hz) < 0) continue;
        appendf(svg, "<text x=\"%d\" y=\"468\" fill=\"%s\">%s%s</text>\n", 130 + 80 * legend++, s.colour, bandLabel(s.hz).c_str(),
                *s.dash ? " (dotted)" : "");
    }
    appendf(svg, "<text x=\"20\" y=\"486\" fill=\"#555\">octave bands in dB; angles counter-clockwise from the look direction "
                 "(0 at the top, 90 to the left)</text>\n");
    // The note on the high band, on two lines.
    const std::string note = highBandNote(r);
    const auto colon = note.find(": ");
    appendf(svg, "<text x=\"20\" y=\"504\" fill=\"#a00\">%s</text>\n", note.substr(0, colon == std::string::npos ? note.size() : colon + 1).c_str());
    if (colon != std::string::npos)
        appendf(svg, "<text x=\"20\" y=\"522\" fill=\"#a00\">%s</text>\n", note.substr(colon + 2).c_str());
    svg += "</svg>\n";
    return svg;
}

}  // namespace qb32::tools
