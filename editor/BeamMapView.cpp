#include "editor/BeamMapView.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "editor/Layout.h"
#include "engine/tables/CapsuleDirections.h"

namespace qb32::editor {

namespace {

constexpr Colour background = rgb(0x16191f);
constexpr Colour panelFill = rgb(0x1f242b);
constexpr Colour panelEdge = rgb(0x2d333c);
constexpr Colour boxFill = rgb(0x2a3039);
constexpr Colour boxEdge = rgb(0x3a414c);
constexpr Colour textMain = rgb(0xe6e9ee);
constexpr Colour textSecond = rgb(0x9aa3ad);
constexpr Colour textDim = rgb(0x6b737d);
constexpr Colour accent = rgb(0x4dabf7);
constexpr Colour shadow = rgb(0x0b0d10, 150);
constexpr Colour noticeFill = rgb(0xf5b041);

constexpr Colour beamColours[beamCount] = {rgb(0xff6b6b), rgb(0x4dabf7), rgb(0xffd43b), rgb(0xf783ac),
                                           rgb(0xff922b), rgb(0x63e6be), rgb(0xb197fc), rgb(0xe9ecef)};

// The colour scale: a perceptually uniform ramp from dark violet through
// blue and green to yellow (lightness rising evenly), nine anchors joined
// linearly.
constexpr std::uint8_t scaleAnchors[9][3] = {{68, 1, 84},    {71, 44, 122},  {59, 81, 139},
                                             {44, 113, 142}, {33, 144, 141}, {39, 173, 129},
                                             {92, 200, 99},  {170, 220, 50}, {253, 231, 37}};

constexpr double pi = 3.14159265358979323846;
constexpr float displayRange_db = 24.0f;
constexpr float displayFloor_db = -66.0f;  // the scale's top never sinks below this
constexpr double meterRange_db = 60.0;

double baselineIn(const Rect& box, FaceStyle style, int scale) {
    const FaceRecord& f = Canvas::face(style, scale);
    return box.y + box.h / 2 + (f.ascent - f.descent) / 2.0 - 0.5 * scale;
}

void shadowedText(Canvas& c, double x, double y, const char* text, FaceStyle style, int scale, Colour colour) {
    c.text(x + scale, y + scale, text, style, scale, shadow);
    c.text(x, y, text, style, scale, colour);
}

float levelDb(float rms) { return rms > 1e-9f ? 20.0f * std::log10(rms) : -180.0f; }

}  // namespace

Colour BeamMapView::beamColour(int beam) noexcept { return beamColours[static_cast<std::size_t>(beam) % beamCount]; }

BeamMapView::BeamMapView(EditorController& controller, int scale)
    : host(controller), pixelScale(scale >= 2 ? 2 : 1), energyMap(44100.0) {
    buffer.resize(width(), height());
    canvas = std::make_unique<Canvas>(buffer);
    mapProjection = MapProjection(px(layout::map));
    for (int i = 0; i < 256; ++i) {
        const double t = i / 255.0 * 8.0;
        const int a = std::min(static_cast<int>(t), 7);
        const double f = t - a;
        for (int ch = 0; ch < 3; ++ch)
            colourScale[static_cast<std::size_t>(i) * 3 + ch] =
                static_cast<float>(scaleAnchors[a][ch] + f * (scaleAnchors[a + 1][ch] - scaleAnchors[a][ch]));
    }
    const Rect m = px(layout::map);
    for (int i = 0; i < static_cast<int>(m.w); ++i) {
        const double c = mapProjection.directionAt({m.x + i + 0.5, m.y}).azimuth_deg / EnergyMap::gridStep_deg;
        const int c0 = static_cast<int>(c);
        columnCells.push_back({c0 % EnergyMap::columns, (c0 + 1) % EnergyMap::columns, static_cast<float>(c - c0)});
    }
    for (int j = 0; j < static_cast<int>(m.h); ++j) {
        const double r = (j + 0.5) / m.h * 180.0 / EnergyMap::gridStep_deg;
        const int r0 = std::min(static_cast<int>(r), EnergyMap::rows - 2);
        rowCells.push_back({r0, r0 + 1, static_cast<float>(r - r0)});
    }
    pullMemory = std::make_unique<float[]>(static_cast<std::size_t>(EnergyMap::componentCount) * pullChunk);
    for (int k = 0; k < EnergyMap::componentCount; ++k)
        pullBuffers[static_cast<std::size_t>(k)] = pullMemory.get() + static_cast<std::size_t>(k) * pullChunk;
    readState();
}

int BeamMapView::width() const noexcept { return layout::width * pixelScale; }
int BeamMapView::height() const noexcept { return layout::height * pixelScale; }

Rect BeamMapView::px(const Rect& points) const noexcept { return layout::scaled(points, pixelScale); }

// ---- state -------------------------------------------------------------------------------------

void BeamMapView::frame() {
    if (AudioTap* tap = host.audioTap()) {
        for (;;) {
            const int n = tap->pull(pullBuffers.data(), pullChunk);
            if (n > 0) energyMap.addFrames(pullBuffers.data(), n);
            if (n < pullChunk) break;
        }
        energyMap.publish();
    }
    readState();
    drawAll();
}

void BeamMapView::readState() {
    const double rate = host.sessionRate_hz();
    if (rate != rate_hz && rate > 0.0) {
        rate_hz = rate;
        energyMap.setSampleRate(rate);
    }
    silentAtRate = host.engineSilentAtSessionRate();
    AudioTap* tap = host.audioTap();
    if (tap != nullptr) {
        const std::uint32_t blocks = tap->blocksSeen();
        if (blocks != lastBlocks) {
            audioRunning = true;
            quietFrames = 0;
        } else if (++quietFrames > 5) {
            audioRunning = false;
        }
        lastBlocks = blocks;
    } else {
        audioRunning = false;
    }
    for (int b = 0; b < beamCount; ++b) {
        const auto i = static_cast<std::size_t>(b);
        settings[i] = host.beamSettings(b);
        tapped[i] = tap != nullptr ? tap->beam(b) : TapBeam{};
        // An off beam's steering rests, so only a beam that is on glides.
        if (audioRunning && settings[i].on)
            shown[i] = {static_cast<double>(tapped[i].elevation_deg), static_cast<double>(tapped[i].azimuth_deg)};
        else
            shown[i] = {settings[i].elevation_deg, settings[i].azimuth_deg};
    }
}

// ---- drawing -----------------------------------------------------------------------------------

void BeamMapView::drawAll() {
    Canvas& c = *canvas;
    c.resetClip();
    c.fill({0, 0, static_cast<double>(width()), static_cast<double>(height())}, background);
    drawHeader(c);
    drawEnergy();
    drawGrid(c);
    drawBeams(c);
    drawLegend(c);
    drawPanel(c);
    if (menuShown) drawMenu(c);
    c.text(pt(56), pt(536), "Drag a beam to aim it. Scroll on a beam to step its pattern. Click a meter to select a beam.",
           FaceStyle::small, pixelScale, textDim);
}

void BeamMapView::drawHeader(Canvas& c) {
    const double base = pt(29);
    const double titleWidth = c.text(pt(20), base, "Quorbix QB32", FaceStyle::bold, pixelScale, textMain);
    c.text(pt(20) + titleWidth + pt(10), base, "beam map", FaceStyle::body, pixelScale, textSecond);
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.0f Hz", rate_hz);
    const double rateWidth = Canvas::textWidth(rate, FaceStyle::body, pixelScale);
    const double rateX = pt(984) - rateWidth;
    c.text(rateX, base, rate, FaceStyle::body, pixelScale, textMain);
    const char* label = "session rate";
    const double labelWidth = Canvas::textWidth(label, FaceStyle::small, pixelScale);
    c.text(rateX - pt(8) - labelWidth, base, label, FaceStyle::small, pixelScale, textSecond);
    // The place for the notice that the engine is silent at this rate.
    if (silentAtRate) {
        const char* notice = "Silent at this rate: use 44.1, 48, 88.2, 96, 176.4 or 192 kHz";
        const double w = Canvas::textWidth(notice, FaceStyle::small, pixelScale) + pt(20);
        const Rect box{rateX - pt(8) - labelWidth - pt(14) - w, pt(13), w, pt(22)};
        c.fillRoundedRect(box, pt(5), noticeFill);
        c.text(box.x + pt(10), baselineIn(box, FaceStyle::small, pixelScale), notice, FaceStyle::small, pixelScale,
               rgb(0x1a1a1a));
    }
    c.fill({0, pt(44), static_cast<double>(width()), static_cast<double>(pixelScale)}, panelEdge);
}

void BeamMapView::drawEnergy() {
    const Rect m = px(layout::map);
    const int x0 = static_cast<int>(m.x), y0 = static_cast<int>(m.y);
    const int w = static_cast<int>(m.w), h = static_cast<int>(m.h);
    // The scale's top follows the loudest direction: up at once, down slowly.
    // Before any sound has come in the scale stays where it is.
    const float loudest = energyMap.loudest_db();
    if (loudest > EnergyMap::floor_db) {
        const float target = std::max(std::ceil(loudest / 3.0f) * 3.0f, displayFloor_db);
        displayTop_db = target > displayTop_db ? target : std::max(target, displayTop_db - 0.5f);
    }
    const float top = std::round(displayTop_db / 3.0f) * 3.0f;
    const float bottom = top - displayRange_db;
    // Bilinear in the grid, then the colour scale: a table of the 256
    // colours as finished pixels.
    std::uint32_t colours[256];
    for (int k = 0; k < 256; ++k) {
        const auto r = static_cast<std::uint32_t>(colourScale[static_cast<std::size_t>(k) * 3] + 0.5f);
        const auto g = static_cast<std::uint32_t>(colourScale[static_cast<std::size_t>(k) * 3 + 1] + 0.5f);
        const auto b = static_cast<std::uint32_t>(colourScale[static_cast<std::size_t>(k) * 3 + 2] + 0.5f);
        colours[k] = 0xff000000u | r << 16 | g << 8 | b;
    }
    const float toIndex = 255.0f / (top - bottom);
    const float* grid = energyMap.grid();
    std::uint32_t* pixels = buffer.data();
    const int stride = buffer.width();
    for (int j = 0; j < h; ++j) {
        const Cell& row = rowCells[static_cast<std::size_t>(j)];
        const float* upper = grid + static_cast<std::size_t>(row.first) * EnergyMap::columns;
        const float* lower = grid + static_cast<std::size_t>(row.second) * EnergyMap::columns;
        std::uint32_t* out = pixels + static_cast<std::size_t>(y0 + j) * stride + x0;
        for (int i = 0; i < w; ++i) {
            const Cell& column = columnCells[static_cast<std::size_t>(i)];
            const float a = upper[column.first] + column.fraction * (upper[column.second] - upper[column.first]);
            const float b = lower[column.first] + column.fraction * (lower[column.second] - lower[column.first]);
            float t = (a + row.fraction * (b - a) - bottom) * toIndex;
            t = t < 0.0f ? 0.0f : (t > 255.0f ? 255.0f : t);
            out[i] = colours[static_cast<int>(t + 0.5f)];
        }
    }
}

void BeamMapView::drawGrid(Canvas& c) {
    const Rect m = px(layout::map);
    c.setClip(m);
    for (int a = -150; a <= 180; a += 30) {
        const double x = m.x + m.w * (0.5 - a / 360.0);
        c.line({x, m.y}, {x, m.y + m.h}, pixelScale, rgb(0xffffff, a == 0 ? 70 : 34));
    }
    for (int e = 30; e < 180; e += 30) {
        const double y = m.y + m.h * e / 180.0;
        c.line({m.x, y}, {m.x + m.w, y}, pixelScale, rgb(0xffffff, e == 90 ? 70 : 34));
    }
    for (const auto& capsule : qb32::tables::capsuleDirections) {
        const Point p = mapProjection.pixelOf({capsule.theta_rad * 180.0 / pi, capsule.phi_rad * 180.0 / pi});
        c.strokeCircle(p, pt(2.5), pixelScale, rgb(0xffffff, 150));
    }
    c.resetClip();
    c.strokeRoundedRect(m, 0, pixelScale, rgb(0xffffff, 60));
    char label[16];
    for (int a = -180; a <= 180; a += 30) {
        const double x = m.x + m.w * (0.5 - a / 360.0);
        std::snprintf(label, sizeof label, "%d\xc2\xb0", static_cast<int>(wrapAzimuth_deg(a)));
        const double tw = Canvas::textWidth(label, FaceStyle::small, pixelScale);
        c.text(x - tw / 2, m.y + m.h + pt(15), label, FaceStyle::small, pixelScale, textSecond);
    }
    const struct {
        int azimuth;
        const char* word;
    } words[] = {{180, "back"}, {90, "left"}, {0, "front"}, {-90, "right"}, {-180, "back"}};
    for (const auto& wd : words) {
        const double x = m.x + m.w * (0.5 - wd.azimuth / 360.0);
        const double tw = Canvas::textWidth(wd.word, FaceStyle::small, pixelScale);
        c.text(x - tw / 2, m.y + m.h + pt(30), wd.word, FaceStyle::small, pixelScale, textDim);
    }
    for (int e = 0; e <= 180; e += 30) {
        std::snprintf(label, sizeof label, "%d\xc2\xb0", e);
        const double tw = Canvas::textWidth(label, FaceStyle::small, pixelScale);
        c.text(m.x - pt(6) - tw, m.y + m.h * e / 180.0 + pt(4), label, FaceStyle::small, pixelScale, textSecond);
    }
}

void BeamMapView::drawBeams(Canvas& c) {
    const Rect m = px(layout::map);
    const int patterns = host.patternCount();
    // Off beams first, then the beams that are on, the selected one last.
    int order[beamCount];
    int n = 0;
    for (int pass = 0; pass < 3; ++pass)
        for (int b = 0; b < beamCount; ++b) {
            const bool on = settings[static_cast<std::size_t>(b)].on;
            const int rank = b == selected ? 2 : (on ? 1 : 0);
            if (rank == pass) order[n++] = b;
        }
    for (int b : order) {
        const auto i = static_cast<std::size_t>(b);
        const BeamSettings& s = settings[i];
        const Colour colour = beamColour(b);
        const PatternInfo info = s.pattern >= 0 && s.pattern < patterns ? host.pattern(s.pattern) : PatternInfo{};
        c.setClip(m);
        for (double radius : halfPowerRadii(info.polar, info.polarPoints))
            for (const Polyline& piece : circleOnMap(shown[i], radius, mapProjection)) {
                const int count = static_cast<int>(piece.size());
                if (s.on) {
                    c.polyline(piece.data(), count, pt(3.5), shadow);
                    c.polyline(piece.data(), count, pt(2), colour);
                } else {
                    c.polyline(piece.data(), count, pt(1.5), colour.withAlpha(0.4f));
                }
            }
        const Point p = mapProjection.pixelOf(shown[i]);
        const Direction target{s.elevation_deg, s.azimuth_deg};
        if (angleBetween_deg(target, shown[i]) > 0.75) {
            const Point q = mapProjection.pixelOf(target);
            c.strokeCircle(q, pt(6), pt(1.5), colour.withAlpha(0.85f));
        }
        c.resetClip();
        const double r = pt(layout::markerRadius);
        char number[16];
        std::snprintf(number, sizeof number, "%d", b + 1);
        const double nw = Canvas::textWidth(number, FaceStyle::bold, pixelScale);
        const Rect marker{p.x - r, p.y - r, 2 * r, 2 * r};
        if (s.on) {
            c.fillCircle(p, r + pt(1.5), shadow);
            c.fillCircle(p, r, colour);
            c.text(p.x - nw / 2, baselineIn(marker, FaceStyle::bold, pixelScale), number, FaceStyle::bold, pixelScale,
                   rgb(0x111418));
        } else {
            c.fillCircle(p, r, background.withAlpha(0.55f));
            c.strokeCircle(p, r - pt(1), pt(2), colour.withAlpha(0.5f));
            c.text(p.x - nw / 2, baselineIn(marker, FaceStyle::bold, pixelScale), number, FaceStyle::bold, pixelScale,
                   colour.withAlpha(0.6f));
        }
        if (b == selected) c.strokeCircle(p, r + pt(4), pt(1.5), rgb(0xffffff, 230));
        // Off beams are named only while selected, so parked beams stay quiet.
        if (!s.on && b != selected) continue;
        char name[40];
        std::snprintf(name, sizeof name, s.on ? "%s" : "%s (off)", info.name != nullptr ? info.name : "");
        const double tw = Canvas::textWidth(name, FaceStyle::small, pixelScale);
        double tx = p.x + r + pt(9);
        if (tx + tw > m.x + m.w) tx = p.x - r - pt(9) - tw;
        shadowedText(c, tx, p.y + pt(4), name, FaceStyle::small, pixelScale, s.on ? textMain : textSecond);
    }
}

void BeamMapView::drawLegend(Canvas& c) {
    const Rect bar = px(layout::legendBar);
    for (int i = 0; i < static_cast<int>(bar.w); ++i) {
        const auto index = static_cast<std::size_t>(std::lround(i / (bar.w - 1) * 255.0)) * 3;
        const Colour col{static_cast<std::uint8_t>(colourScale[index] + 0.5f),
                         static_cast<std::uint8_t>(colourScale[index + 1] + 0.5f),
                         static_cast<std::uint8_t>(colourScale[index + 2] + 0.5f), 255};
        c.fill({bar.x + i, bar.y, 1, bar.h}, col);
    }
    const float top = std::round(displayTop_db / 3.0f) * 3.0f;
    char label[16];
    for (int k = 0; k <= 4; ++k) {
        const double x = bar.x + bar.w * k / 4.0;
        std::snprintf(label, sizeof label, "%.0f", top - displayRange_db + 6.0f * k);
        const double tw = Canvas::textWidth(label, FaceStyle::small, pixelScale);
        c.fill({x - pixelScale / 2.0, bar.y + bar.h, static_cast<double>(pixelScale), pt(3)}, textSecond);
        c.text(x - tw / 2, bar.y + bar.h + pt(15), label, FaceStyle::small, pixelScale, textSecond);
    }
    const double x = bar.x + bar.w + pt(14);
    c.text(x, bar.y + pt(9), "Sound energy, 200 Hz to 8 kHz, dB re full scale", FaceStyle::small, pixelScale, textSecond);
    char loudest[80];
    if (energyMap.loudest_db() > EnergyMap::floor_db + 1.0f) {
        const Direction d = energyMap.loudest();
        std::snprintf(loudest, sizeof loudest, "loudest: %.0f dB at elevation %.0f\xc2\xb0, azimuth %.0f\xc2\xb0",
                      static_cast<double>(energyMap.loudest_db()), d.elevation_deg, d.azimuth_deg);
    } else {
        std::snprintf(loudest, sizeof loudest, "%s", audioRunning ? "no sound" : "waiting for audio");
    }
    c.text(x, bar.y + pt(25), loudest, FaceStyle::small, pixelScale, textDim);
}

void BeamMapView::drawPanel(Canvas& c) {
    const Rect panel = px(layout::panel);
    c.fillRoundedRect(panel, pt(8), panelFill);
    c.strokeRoundedRect(panel, pt(8), pixelScale, panelEdge);
    const auto i = static_cast<std::size_t>(selected);
    const BeamSettings& s = settings[i];
    const Colour colour = beamColour(selected);
    const double left = pt(812);

    c.fillCircle({left + pt(6), pt(80)}, pt(6), colour);
    char heading[24];
    std::snprintf(heading, sizeof heading, "Beam %d", selected + 1);
    c.text(left + pt(20), pt(85), heading, FaceStyle::bold, pixelScale, textMain);

    auto fieldLabel = [&](double y, const char* text) { c.text(left, pt(y), text, FaceStyle::small, pixelScale, textSecond); };
    auto box = [&](const Rect& r, bool focused) {
        c.fillRoundedRect(r, pt(5), boxFill);
        c.strokeRoundedRect(r, pt(5), pixelScale, focused ? accent : boxEdge);
    };

    fieldLabel(110, "Pattern");
    const Rect patternBox = px(layout::patternBox);
    box(patternBox, menuShown);
    const int patterns = host.patternCount();
    const PatternInfo info = s.pattern >= 0 && s.pattern < patterns ? host.pattern(s.pattern) : PatternInfo{};
    c.text(patternBox.x + pt(10), baselineIn(patternBox, FaceStyle::body, pixelScale), info.name ? info.name : "",
           FaceStyle::body, pixelScale, textMain);
    const Point arrow{patternBox.x + patternBox.w - pt(16), patternBox.y + patternBox.h / 2};
    c.line({arrow.x - pt(4), arrow.y - pt(2)}, {arrow.x, arrow.y + pt(2)}, pt(1.5), textSecond);
    c.line({arrow.x, arrow.y + pt(2)}, {arrow.x + pt(4), arrow.y - pt(2)}, pt(1.5), textSecond);

    fieldLabel(162, "Status");
    const Rect status = px(layout::statusBox);
    box(status, false);
    const Rect half{s.on ? status.x : status.x + status.w / 2, status.y, status.w / 2, status.h};
    c.fillRoundedRect({half.x + pt(2), half.y + pt(2), half.w - pt(4), half.h - pt(4)}, pt(4),
                      s.on ? colour.withAlpha(0.85f) : rgb(0x4a525e));
    const char* onText = "On";
    const char* offText = "Off";
    const double onW = Canvas::textWidth(onText, FaceStyle::body, pixelScale);
    const double offW = Canvas::textWidth(offText, FaceStyle::body, pixelScale);
    const double statusBase = baselineIn(status, FaceStyle::body, pixelScale);
    c.text(status.x + status.w / 4 - onW / 2, statusBase, onText, FaceStyle::body, pixelScale, s.on ? rgb(0x111418) : textDim);
    c.text(status.x + 3 * status.w / 4 - offW / 2, statusBase, offText, FaceStyle::body, pixelScale, s.on ? textDim : textMain);

    auto numeric = [&](const Rect& points, Field f, const char* label, double labelY, double degrees) {
        fieldLabel(labelY, label);
        const Rect r = px(points);
        box(r, typing == f);
        char text[24];
        if (typing == f)
            std::snprintf(text, sizeof text, "%s", typed);
        else
            std::snprintf(text, sizeof text, "%d\xc2\xb0", static_cast<int>(degrees));
        const double base = baselineIn(r, FaceStyle::body, pixelScale);
        const double w = c.text(r.x + pt(10), base, text, FaceStyle::body, pixelScale, textMain);
        if (typing == f) c.fill({r.x + pt(11) + w, r.y + pt(6), static_cast<double>(pixelScale), r.h - pt(12)}, accent);
    };
    numeric(layout::elevationBox, Field::elevation, "Elevation (0\xc2\xb0 up, 180\xc2\xb0 down)", 214, s.elevation_deg);
    numeric(layout::azimuthBox, Field::azimuth, "Azimuth (90\xc2\xb0 left)", 266, s.azimuth_deg);

    fieldLabel(318, "Level");
    const float selectedDb = levelDb(tapped[i].level);
    char level[24];
    if (audioRunning && selectedDb > -meterRange_db)
        std::snprintf(level, sizeof level, "%.1f dB", static_cast<double>(selectedDb));
    else
        std::snprintf(level, sizeof level, "-inf dB");
    const double lw = Canvas::textWidth(level, FaceStyle::small, pixelScale);
    c.text(left + pt(156) - lw, pt(318), level, FaceStyle::small, pixelScale, textMain);
    const Rect bar = px(layout::levelBar);
    c.fillRoundedRect(bar, pt(3), boxFill);
    auto fraction = [&](float db) { return std::clamp((db + meterRange_db) / meterRange_db, 0.0, 1.0); };
    const double f = audioRunning ? fraction(selectedDb) : 0.0;
    if (f > 0.0) c.fillRoundedRect({bar.x, bar.y, bar.w * f, bar.h}, pt(3), s.on ? colour : textDim);

    fieldLabel(370, "All beams");
    const Rect meters = px(layout::metersArea);
    for (int b = 0; b < beamCount; ++b) {
        const auto k = static_cast<std::size_t>(b);
        const Rect track{meters.x + pt(layout::meterPitch * b), meters.y, pt(layout::meterWidth), meters.h};
        c.fillRoundedRect(track, pt(3), boxFill);
        const double mf = audioRunning ? fraction(levelDb(tapped[k].level)) : 0.0;
        if (mf > 0.0)
            c.fillRoundedRect({track.x, track.y + track.h * (1 - mf), track.w, track.h * mf}, pt(3),
                              settings[k].on ? beamColour(b) : textDim);
        if (b == selected) c.strokeRoundedRect(track, pt(3), pixelScale, rgb(0xffffff, 200));
        char number[16];
        std::snprintf(number, sizeof number, "%d", b + 1);
        const double nw = Canvas::textWidth(number, FaceStyle::small, pixelScale);
        c.text(track.x + track.w / 2 - nw / 2, meters.y + meters.h + pt(15), number, FaceStyle::small, pixelScale,
               b == selected ? textMain : textSecond);
    }
    c.text(left, pt(515), "meters: -60 to 0 dB FS", FaceStyle::small, pixelScale, textDim);
}

void BeamMapView::drawMenu(Canvas& c) {
    const Rect anchor = px(layout::patternBox);
    const int count = host.patternCount();
    const Rect menu{anchor.x, anchor.y + anchor.h + pt(2), anchor.w, pt(layout::menuItemHeight) * count + pt(8)};
    c.fillRoundedRect({menu.x + pt(2), menu.y + pt(3), menu.w, menu.h}, pt(6), shadow);
    c.fillRoundedRect(menu, pt(6), rgb(0x2f3640));
    c.strokeRoundedRect(menu, pt(6), pixelScale, boxEdge);
    const int current = settings[static_cast<std::size_t>(selected)].pattern;
    for (int p = 0; p < count; ++p) {
        const Rect item{menu.x + pt(4), menu.y + pt(4) + pt(layout::menuItemHeight) * p, menu.w - pt(8),
                        pt(layout::menuItemHeight)};
        if (p == current) c.fillRoundedRect(item, pt(4), accent.withAlpha(0.35f));
        const PatternInfo info = host.pattern(p);
        c.text(item.x + pt(8), baselineIn(item, FaceStyle::body, pixelScale), info.name ? info.name : "",
               FaceStyle::body, pixelScale, textMain);
    }
}

// ---- input -------------------------------------------------------------------------------------

int BeamMapView::beamAt(double x, double y) const noexcept {
    const double reach = pt(layout::grabRadius);
    int best = -1;
    double bestDistance = reach;
    for (int b = 0; b < beamCount; ++b) {
        const Point p = mapProjection.pixelOf(shown[static_cast<std::size_t>(b)]);
        double d = std::hypot(p.x - x, p.y - y);
        if (b == selected) d -= 0.5;  // the selected beam wins a tie
        if (d <= bestDistance) best = b, bestDistance = d;
    }
    return best;
}

int BeamMapView::meterAt(double x, double y) const noexcept {
    const Rect meters = px(layout::metersArea);
    if (y < meters.y || y > meters.y + meters.h + pt(20) || x < meters.x) return -1;
    const int b = static_cast<int>((x - meters.x) / pt(layout::meterPitch));
    return b < beamCount ? b : -1;
}

int BeamMapView::menuItemAt(double x, double y) const noexcept {
    const Rect anchor = px(layout::patternBox);
    const double top = anchor.y + anchor.h + pt(2) + pt(4);
    if (x < anchor.x || x >= anchor.x + anchor.w || y < top) return -1;
    const int item = static_cast<int>((y - top) / pt(layout::menuItemHeight));
    return item < host.patternCount() ? item : -1;
}

void BeamMapView::setOnce(int index, float value) {
    host.beginEdit(index);
    host.performEdit(index, value);
    host.endEdit(index);
}

void BeamMapView::mouseDown(double x, double y) {
    if (menuShown) {
        menuShown = false;
        const int item = menuItemAt(x, y);
        if (item >= 0) {
            const int count = host.patternCount();
            setOnce(parameterIndex(selected, BeamParameter::pattern), (item + 0.5f) / static_cast<float>(count));
            settings[static_cast<std::size_t>(selected)].pattern = item;
        }
        return;
    }
    const bool onElevation = px(layout::elevationBox).contains(x, y);
    const bool onAzimuth = px(layout::azimuthBox).contains(x, y);
    if (typing != Field::none && !(typing == Field::elevation && onElevation) && !(typing == Field::azimuth && onAzimuth))
        commitTyping();
    const int beam = beamAt(x, y);
    if (beam >= 0) {
        selected = beam;
        dragging = beam;
        dragLast = {settings[static_cast<std::size_t>(beam)].elevation_deg, settings[static_cast<std::size_t>(beam)].azimuth_deg};
        host.beginEdit(parameterIndex(beam, BeamParameter::elevation));
        host.beginEdit(parameterIndex(beam, BeamParameter::azimuth));
        return;
    }
    if (px(layout::patternBox).contains(x, y)) {
        menuShown = true;
    } else if (px(layout::statusBox).contains(x, y)) {
        const bool on = settings[static_cast<std::size_t>(selected)].on;
        setOnce(parameterIndex(selected, BeamParameter::status), on ? 0.0f : 1.0f);
        settings[static_cast<std::size_t>(selected)].on = !on;
    } else if (onElevation) {
        if (typing != Field::elevation) startTyping(Field::elevation);
    } else if (onAzimuth) {
        if (typing != Field::azimuth) startTyping(Field::azimuth);
    } else if (const int meter = meterAt(x, y); meter >= 0) {
        selected = meter;
    }
}

void BeamMapView::dragTo(double x, double y) {
    const Rect m = mapProjection.area();
    const Point p{std::clamp(x, m.x, m.x + m.w - 1e-6), std::clamp(y, m.y, m.y + m.h)};
    const Direction d = mapProjection.directionAt(p);
    if (d.elevation_deg == dragLast.elevation_deg && d.azimuth_deg == dragLast.azimuth_deg) return;
    dragLast = d;
    host.performEdit(parameterIndex(dragging, BeamParameter::elevation), static_cast<float>(d.elevation_deg / 180.0));
    host.performEdit(parameterIndex(dragging, BeamParameter::azimuth), static_cast<float>(d.azimuth_deg / 360.0));
    BeamSettings& s = settings[static_cast<std::size_t>(dragging)];
    s.elevation_deg = d.elevation_deg;
    s.azimuth_deg = d.azimuth_deg;
}

void BeamMapView::mouseMove(double x, double y) {
    if (dragging >= 0) dragTo(x, y);
}

void BeamMapView::mouseUp(double x, double y) {
    if (dragging < 0) return;
    dragTo(x, y);
    host.endEdit(parameterIndex(dragging, BeamParameter::elevation));
    host.endEdit(parameterIndex(dragging, BeamParameter::azimuth));
    dragging = -1;
}

void BeamMapView::stepPattern(int beam, int steps) {
    const int count = host.patternCount();
    if (count <= 0) return;
    BeamSettings& s = settings[static_cast<std::size_t>(beam)];
    const int next = std::clamp(s.pattern + steps, 0, count - 1);
    if (next == s.pattern) return;
    setOnce(parameterIndex(beam, BeamParameter::pattern), (next + 0.5f) / static_cast<float>(count));
    s.pattern = next;
}

namespace {
float elevationValue(double degrees) {
    const double d = std::clamp(std::floor(degrees), 0.0, 180.0);
    return d >= 180.0 ? 1.0f : static_cast<float>((d + 0.5) / 180.0);
}
float azimuthValue(double degrees) {
    return static_cast<float>((std::floor(wrapAzimuth_deg(std::floor(degrees))) + 0.5) / 360.0);
}
}  // namespace

void BeamMapView::wheel(double x, double y, int steps) {
    if (steps == 0 || dragging >= 0) return;
    const auto i = static_cast<std::size_t>(selected);
    if (const int beam = beamAt(x, y); beam >= 0) {
        stepPattern(beam, steps);
    } else if (px(layout::patternBox).contains(x, y)) {
        stepPattern(selected, steps);
    } else if (px(layout::elevationBox).contains(x, y) && typing == Field::none) {
        const double e = std::clamp(std::floor(settings[i].elevation_deg) + steps, 0.0, 180.0);
        setOnce(parameterIndex(selected, BeamParameter::elevation), elevationValue(e));
        settings[i].elevation_deg = e;
    } else if (px(layout::azimuthBox).contains(x, y) && typing == Field::none) {
        const double a = wrapAzimuth_deg(std::floor(settings[i].azimuth_deg) + steps);
        setOnce(parameterIndex(selected, BeamParameter::azimuth), azimuthValue(a));
        settings[i].azimuth_deg = a;
    }
}

void BeamMapView::startTyping(Field f) {
    if (typing != Field::none) commitTyping();
    typing = f;
    const BeamSettings& s = settings[static_cast<std::size_t>(selected)];
    std::snprintf(typed, sizeof typed, "%d", static_cast<int>(f == Field::elevation ? s.elevation_deg : s.azimuth_deg));
}

void BeamMapView::cancelTyping() { typing = Field::none; }

void BeamMapView::commitTyping() {
    const Field f = typing;
    typing = Field::none;
    char* end = nullptr;
    const double v = std::strtod(typed, &end);
    if (end == typed || !std::isfinite(v)) return;
    BeamSettings& s = settings[static_cast<std::size_t>(selected)];
    if (f == Field::elevation) {
        setOnce(parameterIndex(selected, BeamParameter::elevation), elevationValue(v));
        s.elevation_deg = std::clamp(std::floor(v), 0.0, 180.0);
    } else if (f == Field::azimuth) {
        setOnce(parameterIndex(selected, BeamParameter::azimuth), azimuthValue(v));
        s.azimuth_deg = wrapAzimuth_deg(std::floor(v));
    }
}

void BeamMapView::key(Key k, char character) {
    if (typing == Field::none) {
        if (k == Key::character && character >= '1' && character <= '8') selected = character - '1';
        if (k == Key::escape) menuShown = false;
        return;
    }
    const std::size_t length = std::strlen(typed);
    switch (k) {
    case Key::character:
        if (((character >= '0' && character <= '9') || character == '-' || character == '.') && length + 1 < 8) {
            typed[length] = character;
            typed[length + 1] = '\0';
        }
        break;
    case Key::backspace:
        if (length > 0) typed[length - 1] = '\0';
        break;
    case Key::enter: commitTyping(); break;
    case Key::tab: {
        const Field next = typing == Field::elevation ? Field::azimuth : Field::elevation;
        commitTyping();
        startTyping(next);
        break;
    }
    case Key::escape: cancelTyping(); break;
    case Key::up:
    case Key::down: {
        const double v = std::strtod(typed, nullptr) + (k == Key::up ? 1.0 : -1.0);
        std::snprintf(typed, sizeof typed, "%d", static_cast<int>(v));
        break;
    }
    case Key::other: break;
    }
}

}  // namespace qb32::editor
