#pragma once
// Where the beam map's parts sit, in points at scale 1 (multiply by the
// scale, 1 or 2, for pixels). Host test programs use it to find the beams.

#include "editor/Canvas.h"

namespace qb32::editor::layout {

inline constexpr int width = 1000;
inline constexpr int height = 548;
inline constexpr Rect header{0, 0, 1000, 44};
inline constexpr Rect map{56, 56, 720, 360};
inline constexpr Rect legendBar{56, 472, 240, 10};
inline constexpr Rect panel{796, 56, 188, 476};
inline constexpr Rect patternBox{812, 116, 156, 26};
inline constexpr Rect statusBox{812, 168, 156, 26};
inline constexpr Rect elevationBox{812, 220, 156, 26};
inline constexpr Rect azimuthBox{812, 272, 156, 26};
inline constexpr Rect levelBar{812, 324, 156, 8};
inline constexpr Rect metersArea{812, 380, 156, 96};  // eight meters side by side
inline constexpr double meterPitch = 20;
inline constexpr double meterWidth = 12;
inline constexpr double menuItemHeight = 22;
inline constexpr double markerRadius = 9;
inline constexpr double grabRadius = 14;  // how near a click must be to a marker

constexpr Rect scaled(const Rect& r, int scale) noexcept {
    return {r.x * scale, r.y * scale, r.w * scale, r.h * scale};
}

}  // namespace qb32::editor::layout
