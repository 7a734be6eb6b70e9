#pragma once
// The array's layout for users, generated from the capsule directions the
// plug-in is built with (engine/tables/CapsuleDirections.h):
//
// - capsuleTableMarkdown(): per capsule its input channel (1..32), its number
//   (0..31), its elevation and azimuth in degrees in the plug-in's
//   conventions (elevation from the zenith: 0 up, 90 horizon, 180 down;
//   azimuth counter-clockwise seen from above, 0 in front of the array) and
//   the face it sits on; the README carries it.
// - capsuleLayoutSvg(): the capsules seen from above, the front (azimuth 0)
//   at the top and azimuth 90 to the left; the upper half of the sphere on
//   the left, the lower half seen through the sphere on the right, so both
//   keep the same orientation; dots labelled with their input channels.
//   docs/array/capsules.svg is this picture (qb32-gen-array-docs writes it).
//
// Plain text, deterministic; no errors.

#include <string>

namespace qb32::tools {

std::string capsuleTableMarkdown();
std::string capsuleLayoutSvg();

}  // namespace qb32::tools
