#include "editor/MapGeometry.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace qb32::editor {

namespace {
constexpr double degree = std::numbers::pi / 180.0;
}

Vector3 unitVector(const Direction& d) noexcept {
    const double t = d.elevation_deg * degree, p = d.azimuth_deg * degree;
    return {std::sin(t) * std::cos(p), std::sin(t) * std::sin(p), std::cos(t)};
}

Direction directionOf(const Vector3& v) noexcept {
    const double r = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    if (r == 0.0) return {};
    const double z = std::clamp(v.z / r, -1.0, 1.0);
    return {std::acos(z) / degree, wrapAzimuth_deg(std::atan2(v.y, v.x) / degree)};
}

double angleBetween_deg(const Direction& a, const Direction& b) noexcept {
    const Vector3 u = unitVector(a), v = unitVector(b);
    // atan2 of |u x v| and u . v stays accurate for small angles.
    const double cx = u.y * v.z - u.z * v.y, cy = u.z * v.x - u.x * v.z, cz = u.x * v.y - u.y * v.x;
    return std::atan2(std::sqrt(cx * cx + cy * cy + cz * cz), u.x * v.x + u.y * v.y + u.z * v.z) / degree;
}

double wrapAzimuth_deg(double azimuth) noexcept {
    double a = std::fmod(azimuth, 360.0);
    if (a < 0.0) a += 360.0;
    return a >= 360.0 ? 0.0 : a;
}

Point MapProjection::pixelOf(const Direction& d) const noexcept {
    double a = wrapAzimuth_deg(d.azimuth_deg);
    if (a >= 180.0) a -= 360.0;  // [-180, 180)
    const double e = std::clamp(d.elevation_deg, 0.0, 180.0);
    return {map.x + map.w * (0.5 - a / 360.0), map.y + map.h * e / 180.0};
}

Direction MapProjection::directionAt(Point p) const noexcept {
    const double a = (0.5 - (p.x - map.x) / map.w) * 360.0;
    const double e = (p.y - map.y) / map.h * 180.0;
    return {std::clamp(e, 0.0, 180.0), wrapAzimuth_deg(a)};
}

std::vector<double> halfPowerRadii(const float* polar, int points) {
    std::vector<double> radii;
    if (polar == nullptr || points < 3) return radii;
    const int last = points - 1;  // the sample at 360 repeats the one at 0
    const double step = 360.0 / last;
    const int half = last / 2;
    std::vector<double> r(static_cast<std::size_t>(half) + 1);
    double peak = 0.0;
    for (int i = 0; i <= half; ++i) {
        r[static_cast<std::size_t>(i)] = 0.5 * (std::fabs(polar[i]) + std::fabs(polar[last - i]));
        peak = std::max(peak, r[static_cast<std::size_t>(i)]);
    }
    if (peak <= 0.0) return radii;
    const double level = peak / std::sqrt(2.0);
    for (int i = 0; i < half; ++i) {
        const double a = r[static_cast<std::size_t>(i)] - level, b = r[static_cast<std::size_t>(i) + 1] - level;
        if ((a < 0.0) != (b < 0.0)) radii.push_back((i + a / (a - b)) * step);
    }
    return radii;
}

std::vector<Polyline> circleOnMap(const Direction& centre, double radius_deg, const MapProjection& projection,
                                  int steps) {
    std::vector<Polyline> pieces;
    const Vector3 c = unitVector(centre);
    // Two unit vectors perpendicular to the centre.
    Vector3 u = std::fabs(c.z) < 0.9 ? Vector3{-c.y, c.x, 0.0} : Vector3{1.0, 0.0, 0.0};
    const double dotCu = u.x * c.x + u.y * c.y + u.z * c.z;
    u = {u.x - dotCu * c.x, u.y - dotCu * c.y, u.z - dotCu * c.z};
    const double un = std::sqrt(u.x * u.x + u.y * u.y + u.z * u.z);
    u = {u.x / un, u.y / un, u.z / un};
    const Vector3 v{c.y * u.z - c.z * u.y, c.z * u.x - c.x * u.z, c.x * u.y - c.y * u.x};
    const double cr = std::cos(radius_deg * degree), sr = std::sin(radius_deg * degree);
    const Rect& map = projection.area();

    Polyline current;
    Point previous{};
    for (int i = 0; i <= steps; ++i) {
        const double t = 2.0 * std::numbers::pi * i / steps;
        const double ct = std::cos(t), st = std::sin(t);
        const Vector3 p{cr * c.x + sr * (ct * u.x + st * v.x), cr * c.y + sr * (ct * u.y + st * v.y),
                        cr * c.z + sr * (ct * u.z + st * v.z)};
        const Point q = projection.pixelOf(directionOf(p));
        if (i > 0 && std::fabs(q.x - previous.x) > map.w / 2) {
            // Across the seam: close this piece on the edge it leaves by and
            // start the next on the opposite edge, at the interpolated height.
            const bool leavesRight = q.x < previous.x;
            const double edgeOut = leavesRight ? map.x + map.w : map.x;
            const double edgeIn = leavesRight ? map.x : map.x + map.w;
            const double unwrapped = q.x + (leavesRight ? map.w : -map.w);
            const double f = (edgeOut - previous.x) / (unwrapped - previous.x);
            const double y = previous.y + f * (q.y - previous.y);
            current.push_back({edgeOut, y});
            if (current.size() >= 2) pieces.push_back(std::move(current));
            current.clear();
            current.push_back({edgeIn, y});
        }
        current.push_back(q);
        previous = q;
    }
    if (current.size() >= 2) pieces.push_back(std::move(current));
    // A circle that never crossed the seam closes on itself; one that did
    // joins its last piece to its first.
    if (pieces.size() >= 2) {
        Polyline& first = pieces.front();
        Polyline& lastPiece = pieces.back();
        const Point a = lastPiece.back(), b = first.front();
        if (std::fabs(a.x - b.x) < 1e-9 && std::fabs(a.y - b.y) < 1e-9) {
            lastPiece.insert(lastPiece.end(), first.begin() + 1, first.end());
            pieces.erase(pieces.begin());
        }
    }
    return pieces;
}

}  // namespace qb32::editor
