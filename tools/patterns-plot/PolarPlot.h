#pragma once
// The polar plots of a measured pattern, as one SVG picture: both great
// circles of the measurement (PatternMeasurement.h) side by side, the theory
// dashed, the octave bands of 250 Hz, 1 kHz and 4 kHz solid and 16 kHz
// dotted, on a dB scale from -30 to 0.
//
// Orientation: the look direction at the top and angles counter-clockwise
// from it (90 degrees to the left), as azimuth runs seen from above; each
// circle's 90 and 270 degree points are labelled with their directions
// (elevation, azimuth), and the title names the look direction.
//
// The high band: from 8 kHz up the plug-in forms a beam from the capsules
// nearest the look direction instead of the pattern, so the 16 kHz curve
// strays from the theory and nulls fill in. Each plot says so, with the
// deepest point on the circles at 4 and 16 kHz.
//
// Plain SVG, a few kilobytes; each curve carries data-circle and data-band
// attributes.

#include <string>

#include "tools/patterns-plot/PatternMeasurement.h"

namespace qb32::tools {

std::string polarPlotSvg(const PatternResult& result, const MeasurementSetup& setup);

// The one-line note on the high band for a pattern, for the plot and the
// table's README: e.g. "above 8 kHz the nulls fill in (deepest point -31 dB
// at 4 kHz, -9 dB at 16 kHz)".
std::string highBandNote(const PatternResult& result);

}  // namespace qb32::tools
