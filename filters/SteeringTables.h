#pragma once
// The two steering tables of the modal beamformer, computed once when the
// library is loaded from their closed rule (double precision, rounded once to
// float) and shared read-only by every CMbf.
//
// Direction convention: elevation is the polar angle from +z in whole degrees
// (0 zenith, 90 horizon, 180 nadir); azimuth runs 0..359 degrees around z.
// Modal channel k = n*n + n + m for order n = 0..3, degree m = -n..n.
//
// elevationFactorTable[k][theta] = sqrt((n-|m|)!/(n+|m|)!) * P_n^|m|(cos theta),
//   P_n^m the associated Legendre function with the Condon-Shortley phase
//   (P_1^1(x) = -sqrt(1 - x^2)); rows of +m and -m are equal.
// azimuthFactorTable[2(j-1)][phi] = 2 sin(j phi), [2(j-1)+1][phi] = 2 cos(j phi),
//   j = 1..3.
//
// Steering factor of channel k at (theta, phi): elevationFactorTable[k][theta]
// times 1 (m = 0), row 2(m-1)+1 (m > 0) or row 2(|m|-1) (m < 0) of the azimuth
// table. Summed over m against real spherical harmonics of a plane wave this
// gives sqrt((2n+1)/(4 pi)) P_n(cos gamma), gamma the angle to the look
// direction (addition theorem).
//
// Real time: plain arrays, read only after load; no lazy initialisation, so
// reading them never takes a guard or a lock.

namespace qb32 {

inline constexpr int steeringChannels = 16;
inline constexpr int elevationColumns = 181;
inline constexpr int azimuthRows = 6;
inline constexpr int azimuthColumns = 360;

extern const float (&elevationFactorTable)[steeringChannels][elevationColumns];
extern const float (&azimuthFactorTable)[azimuthRows][azimuthColumns];

// Row of azimuthFactorTable that multiplies channel degree m (m != 0).
constexpr int azimuthRowOfDegree(int m) noexcept { return m > 0 ? 2 * (m - 1) + 1 : 2 * (-m - 1); }

}  // namespace qb32
