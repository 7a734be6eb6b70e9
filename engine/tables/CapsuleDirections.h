#pragma once
// Directions of the 32 capsules of the spherical array, numbered as the input
// channels 0..31.
//
// Convention (the one every direction-dependent table of the system uses):
// theta is the polar angle from the array's +z axis (0 zenith, pi/2 horizon,
// pi nadir) and phi the azimuth around z, counter-clockwise from +x, both in
// radians. The capsules sit on the face centres of a truncated icosahedron:
// 12 pentagon centres (icosahedron vertex directions) and 20 hexagon centres
// (dodecahedron vertex directions). The values are the array's measured
// directions to four decimals, not the ideal polyhedron: the decomposition
// matrix is built from exactly these numbers.
//
// Plain constexpr data so that table generators in tools/ and test simulators
// can use it without linking the engine.

namespace qb32::tables {

inline constexpr int capsuleCount = 32;

struct CapsuleDirection {
    double theta_rad;
    double phi_rad;
    bool pentagon;  // pentagon face centre (else hexagon)
};

inline constexpr CapsuleDirection capsuleDirections[capsuleCount] = {
    {1.2065, 0.0000, false}, {1.5707, 0.5536, true},  {1.9357, 0.0000, false},
    {1.5707, 5.7294, true},  {0.5538, 6.2829, true},  {0.9553, 0.7854, false},
    {1.5708, 1.2065, false}, {2.1863, 0.7854, false}, {2.5878, 0.0002, true},
    {2.1863, 5.4978, false}, {1.5708, 5.0773, false}, {0.9553, 5.4978, false},
    {0.3649, 1.5708, false}, {1.0170, 1.5709, true},  {2.1244, 1.5709, true},
    {2.7767, 1.5708, false}, {1.2059, 3.1416, false}, {1.5707, 3.6954, true},
    {1.9357, 3.1416, false}, {1.5707, 2.5878, true},  {0.5538, 3.1413, true},
    {0.9553, 3.9270, false}, {1.5708, 4.3475, false}, {2.1863, 3.9270, false},
    {2.5878, 3.1418, true},  {2.1863, 2.3562, false}, {1.5708, 1.9357, false},
    {0.9553, 2.3562, false}, {0.3649, 4.7124, false}, {1.0169, 4.7124, true},
    {2.1244, 4.7125, true},  {2.7767, 4.7124, false},
};

}  // namespace qb32::tables
