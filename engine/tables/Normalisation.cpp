// Gains of the optional per-component gain step (rule, no generator):
// row 0 is unity; row 1 is sqrt(4 pi / (2n + 1)) for m = 0 and sqrt(2) times
// that for m != 0, written as the float nearest to the double-precision value.
// tests/engine recomputes the rule and compares.
#include "engine/tables/DecompositionTables.h"

namespace qb32::tables {

const float normalisationTable[normalisationRowCount][modalComponentCount] = {
    {1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f,
     1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f},
    {3.5449077f, 2.89440502f, 2.04665342f, 2.89440502f,
     2.24199649f, 2.24199649f, 1.58533092f, 2.24199649f, 2.24199649f,
     1.89483287f, 1.89483287f, 1.89483287f, 1.33984917f, 1.89483287f, 1.89483287f, 1.89483287f},
};

}  // namespace qb32::tables
