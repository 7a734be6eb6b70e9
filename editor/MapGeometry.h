#pragma once
// The beam map's geometry: directions on the sphere, the map projection both
// ways, and the -3 dB outline of a beam.
//
// Directions follow the plug-in's convention: elevation is the polar angle
// from the array's +z axis in degrees (0 zenith, 90 horizon, 180 nadir),
// azimuth counter-clockwise from +x seen from above (0 front, 90 left).
//
// Projection (equirectangular, as seen from inside the array looking out):
// azimuth 0 at the map's horizontal centre, increasing to the left (90, left
// of the array, halfway to the left edge), the seam (180, behind) at both
// edges; elevation 0 on the top edge, 180 on the bottom one. Pixel x of
// azimuth a: left + width (1/2 - w(a)/360) with w(a) in [-180, 180); pixel y:
// top + height e/180. directionAt inverts it (azimuth answered in [0, 360),
// elevation clamped to 0..180).
//
// Outline: a beam of an axially symmetric pattern is down 3 dB on circles of
// the sphere around its look direction. halfPowerRadii finds every angle
// where the pattern's polar response crosses 1/sqrt(2) of its maximum (one
// for a cardioid, two for a dipole or a torus). circleOnMap traces such a
// circle point by point and cuts it at the seam, closing each piece onto the
// map edge there, so circles around a pole or across the back of the array
// come out right.
//
// Real time: none of this runs on the audio thread.

#include <vector>

#include "editor/Canvas.h"

namespace qb32::editor {

struct Direction {
    double elevation_deg = 90.0;
    double azimuth_deg = 0.0;
};

struct Vector3 {
    double x, y, z;
};
Vector3 unitVector(const Direction& d) noexcept;
Direction directionOf(const Vector3& v) noexcept;  // v need not be unit length
// Great-circle angle between two directions, degrees.
double angleBetween_deg(const Direction& a, const Direction& b) noexcept;
// Azimuth reduced to [0, 360).
double wrapAzimuth_deg(double azimuth) noexcept;

class MapProjection {
public:
    MapProjection() = default;
    explicit MapProjection(const Rect& area) noexcept : map(area) {}
    [[nodiscard]] const Rect& area() const noexcept { return map; }
    [[nodiscard]] Point pixelOf(const Direction& d) const noexcept;
    [[nodiscard]] Direction directionAt(Point p) const noexcept;

private:
    Rect map{};
};

// Angles in degrees (0..180) from the look direction where a polar response
// sampled every 360/(points - 1) degrees from 0 to 360 crosses 1/sqrt(2) of
// its maximum; linear interpolation between samples. The two halves of the
// great circle are averaged (the patterns are symmetric about their axis).
std::vector<double> halfPowerRadii(const float* polar, int points);

using Polyline = std::vector<Point>;
// The circle of angular radius `radius_deg` around `centre`, `steps` points,
// as map polylines cut at the seam.
std::vector<Polyline> circleOnMap(const Direction& centre, double radius_deg, const MapProjection& projection,
                                  int steps = 180);

}  // namespace qb32::editor
