#pragma once
// BeamMapView: the beam map, drawn and operated without any window.
//
// It shows the whole sphere (MapGeometry.h) under the live energy map
// (EnergyMap.h) with its colour legend, a grid every 30 degrees, the 32
// capsules, and every beam as a numbered marker with its pattern's name and
// its -3 dB outline; beams that are off are hollow and dim. A beam is drawn
// where the engine's steering has got to (it glides with the audio), with a
// ring at its target while it is on its way. Beside the map, a panel for the
// selected beam (pattern menu, on/off, numeric elevation and azimuth, level
// meter) and a row of eight level meters; in the header, the session's rate
// and, when the engine is silent at that rate, a notice.
//
// Input, in the buffer's pixels: press on a marker selects the beam and
// drags it (begin-edit of elevation and azimuth, an automate of both for
// every move to the direction under the pointer, end-edit of both on
// release); the wheel on a marker or on the pattern box steps the pattern,
// on a numeric field steps it by one degree; a click on the pattern box opens
// the menu of the twelve patterns; on/off toggles the status; a click on a
// numeric field starts typing (digits, Backspace, Enter or Tab commits,
// Escape cancels, Up and Down step); a click on a meter selects its beam.
// Every change is one begin / perform / end through the EditorController.
//
// Frames: frame() drains the audio tap into the energy map, reads the
// parameters and the engine's directions, and redraws the buffer; a host
// change therefore shows at the next frame. The platform window calls it 20
// to 30 times a second.
//
// Scales: 1 and 2 (pixels per point); other values are read as the nearer.
//
// Threads: the editor's only. Construction allocates the buffer and the map;
// frame() allocates only the beams' outline paths (a few small vectors).

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "editor/Canvas.h"
#include "editor/EditorController.h"
#include "editor/EnergyMap.h"
#include "editor/MapGeometry.h"

namespace qb32::editor {

enum class Key { character, backspace, enter, escape, tab, up, down, other };

class BeamMapView {
public:
    BeamMapView(EditorController& controller, int scale);
    BeamMapView(const BeamMapView&) = delete;
    BeamMapView& operator=(const BeamMapView&) = delete;

    [[nodiscard]] int scale() const noexcept { return pixelScale; }
    [[nodiscard]] int width() const noexcept;
    [[nodiscard]] int height() const noexcept;

    void frame();
    [[nodiscard]] const PixelBuffer& pixels() const noexcept { return buffer; }

    void mouseDown(double x, double y);
    void mouseMove(double x, double y);
    void mouseUp(double x, double y);
    void wheel(double x, double y, int steps);  // positive: away from the user
    void key(Key k, char character = 0);

    [[nodiscard]] int selectedBeam() const noexcept { return selected; }
    [[nodiscard]] bool menuOpen() const noexcept { return menuShown; }
    [[nodiscard]] const MapProjection& projection() const noexcept { return mapProjection; }
    // Where a beam's marker is drawn now (its engine direction, or its
    // target while no audio runs).
    [[nodiscard]] Direction shownDirection(int beam) const noexcept { return shown[static_cast<std::size_t>(beam)]; }
    [[nodiscard]] const EnergyMap& energy() const noexcept { return energyMap; }
    // The colour the map uses for beam b.
    [[nodiscard]] static Colour beamColour(int beam) noexcept;

private:
    enum class Field { none, elevation, azimuth };

    void readState();
    void drawAll();
    void drawHeader(Canvas& c);
    void drawEnergy();
    void drawGrid(Canvas& c);
    void drawBeams(Canvas& c);
    void drawLegend(Canvas& c);
    void drawPanel(Canvas& c);
    void drawMenu(Canvas& c);

    [[nodiscard]] Rect px(const Rect& points) const noexcept;
    [[nodiscard]] double pt(double points) const noexcept { return points * pixelScale; }
    [[nodiscard]] int beamAt(double x, double y) const noexcept;
    [[nodiscard]] int meterAt(double x, double y) const noexcept;
    [[nodiscard]] int menuItemAt(double x, double y) const noexcept;
    void dragTo(double x, double y);
    void setOnce(int index, float value);
    void stepPattern(int beam, int steps);
    void startTyping(Field f);
    void commitTyping();
    void cancelTyping();

    EditorController& host;
    int pixelScale;
    PixelBuffer buffer;
    std::unique_ptr<Canvas> canvas;
    EnergyMap energyMap;
    MapProjection mapProjection;
    std::array<float, 256 * 3> colourScale{};  // the map's colour for 0..255
    // Per map column and row: the energy grid's cell and the fraction into
    // it (the projection is fixed, so this is worked out once).
    struct Cell {
        int first, second;
        float fraction;
    };
    std::vector<Cell> columnCells, rowCells;

    std::array<BeamSettings, beamCount> settings{};
    std::array<TapBeam, beamCount> tapped{};
    std::array<Direction, beamCount> shown{};
    double rate_hz = 0.0;
    bool silentAtRate = false;
    bool audioRunning = false;
    std::uint32_t lastBlocks = 0;
    int quietFrames = 0;
    float displayTop_db = -20.0f;  // top of the colour scale, follows the loudest direction

    int selected = 0;
    int dragging = -1;
    Direction dragLast{};
    bool menuShown = false;
    Field typing = Field::none;
    char typed[12] = {};
    std::array<float*, EnergyMap::componentCount> pullBuffers{};
    std::unique_ptr<float[]> pullMemory;
    static constexpr int pullChunk = 1024;
};

}  // namespace qb32::editor
