#include "filters/SteeringTables.h"

#include <cmath>
#include <numbers>

namespace qb32 {
namespace {

struct SteeringTables {
    float elevation[steeringChannels][elevationColumns];
    float azimuth[azimuthRows][azimuthColumns];
};

// P_n^m(x) with the Condon-Shortley phase, m >= 0, by the standard upward
// recurrence in n.
double associatedLegendre(int n, int m, double x) {
    double pmm = 1.0;  // P_m^m = (-1)^m (2m-1)!! (1-x^2)^(m/2)
    const double s = std::sqrt((1.0 - x) * (1.0 + x));
    for (int i = 1; i <= m; ++i) pmm *= -(2.0 * i - 1.0) * s;
    if (n == m) return pmm;
    double pnm1 = pmm;                         // P_{n-2}^m while iterating
    double pn = x * (2.0 * m + 1.0) * pmm;     // P_{m+1}^m
    for (int l = m + 2; l <= n; ++l) {
        const double next = ((2.0 * l - 1.0) * x * pn - (l + m - 1.0) * pnm1) / (l - m);
        pnm1 = pn;
        pn = next;
    }
    return pn;
}

double factorial(int k) {
    double f = 1.0;
    for (int i = 2; i <= k; ++i) f *= i;
    return f;
}

SteeringTables build() {
    SteeringTables t{};
    constexpr double degree = std::numbers::pi / 180.0;
    for (int n = 0; n <= 3; ++n)
        for (int m = -n; m <= n; ++m) {
            const int k = n * n + n + m;
            const int a = m < 0 ? -m : m;
            const double norm = std::sqrt(factorial(n - a) / factorial(n + a));
            for (int theta = 0; theta < elevationColumns; ++theta)
                t.elevation[k][theta] =
                    static_cast<float>(norm * associatedLegendre(n, a, std::cos(theta * degree)));
        }
    for (int j = 1; j <= 3; ++j)
        for (int phi = 0; phi < azimuthColumns; ++phi) {
            t.azimuth[2 * (j - 1)][phi] = static_cast<float>(2.0 * std::sin(j * phi * degree));
            t.azimuth[2 * (j - 1) + 1][phi] = static_cast<float>(2.0 * std::cos(j * phi * degree));
        }
    return t;
}

// Filled by the library's static initialisation, before any block can run.
const SteeringTables tables = build();

}  // namespace

const float (&elevationFactorTable)[steeringChannels][elevationColumns] = tables.elevation;
const float (&azimuthFactorTable)[azimuthRows][azimuthColumns] = tables.azimuth;

}  // namespace qb32
