#pragma once
// The twelve patterns of the 32-capsule array, in factory order. Each class
// only fills its record in the constructor and points it at the constant
// tables of patterns/tables/ (shared by every object; nothing is copied).
//
//  index class         name      variants  crossover       hfMode latency
//  0     CQb32Omni     "omni"     1        55 taps, 6 kHz  1      42
//  1     CQb32Super3   "super3"   5 (WNG)  41 taps, 8 kHz  2      160
//  2     CQb32Super2   "super2"   5 (WNG)  41, 8 kHz       2      160
//  3     CQb32Super1   "super1"   1        37 taps, 9 kHz  2      158
//  4     CQb32Hyper3   "hyper3"   5 (WNG)  41, 8 kHz       2      160
//  5     CQb32Hyper2   "hyper2"   5 (WNG)  41, 8 kHz       2      160
//  6     CQb32Hyper1   "hyper1"   1        37, 9 kHz       2      158
//  7     CQb32Card3    "card3"    5 (WNG)  41, 8 kHz       2      160
//  8     CQb32Card2    "card2"    5 (WNG)  41, 8 kHz       2      160
//  9     CQb32Card1    "card1"    1        37, 9 kHz       1      158
//  10    CQb32Dipole1  "dipole1"  1        41, 8 kHz       1      160
//  11    CQb32Torus2   "torus"    1        41, 8 kHz       1      160
//
// Five-variant patterns have white-noise-gain limits -12, -6, 0, 6, 12 dB;
// the 0 dB variant (index 2) is the one the plug-in loads.
//
// Each constructor takes the tables of one rate (patterns/tables/
// PatternTables.h): the lengths above are those at 44.1 kHz; at another rate
// the filters span the same time (273-tap modal filters at 48 kHz, ...), so
// latencies in samples scale with the rate.

#include "patterns/CQbPattern.h"

namespace qb32 {

namespace tables {
struct PatternRateTables;
}

class CQb32Omni : public CQbPattern { public: explicit CQb32Omni(const tables::PatternRateTables& rate) noexcept; };
class CQb32Super3 : public CQbPattern { public: explicit CQb32Super3(const tables::PatternRateTables& rate) noexcept; };
class CQb32Super2 : public CQbPattern { public: explicit CQb32Super2(const tables::PatternRateTables& rate) noexcept; };
class CQb32Super1 : public CQbPattern { public: explicit CQb32Super1(const tables::PatternRateTables& rate) noexcept; };
class CQb32Hyper3 : public CQbPattern { public: explicit CQb32Hyper3(const tables::PatternRateTables& rate) noexcept; };
class CQb32Hyper2 : public CQbPattern { public: explicit CQb32Hyper2(const tables::PatternRateTables& rate) noexcept; };
class CQb32Hyper1 : public CQbPattern { public: explicit CQb32Hyper1(const tables::PatternRateTables& rate) noexcept; };
class CQb32Card3 : public CQbPattern { public: explicit CQb32Card3(const tables::PatternRateTables& rate) noexcept; };
class CQb32Card2 : public CQbPattern { public: explicit CQb32Card2(const tables::PatternRateTables& rate) noexcept; };
class CQb32Card1 : public CQbPattern { public: explicit CQb32Card1(const tables::PatternRateTables& rate) noexcept; };
class CQb32Dipole1 : public CQbPattern { public: explicit CQb32Dipole1(const tables::PatternRateTables& rate) noexcept; };
class CQb32Torus2 : public CQbPattern { public: explicit CQb32Torus2(const tables::PatternRateTables& rate) noexcept; };

}  // namespace qb32
