// qb32-equaliser-response: prints the measured responses of the decomposition's
// equalisers, from the committed tables (engine/tables):
// - biquad sets A and B, gain in dB per order at 20, 50, 100, 200, 500 Hz,
//   1 and 4 kHz, evaluated from the coefficients;
// - the FIR equalisers of orders 2 and 3, zero-phase amplitude from the taps at
//   every frequency of their amplitude table, beside the target and the deviation.
#include <cmath>
#include <complex>
#include <cstdio>
#include <numbers>
#include <vector>

#include "engine/tables/DecompositionTables.h"
#include "tools/decomposition/DecompositionDesign.h"

namespace {

using qb32::design::equaliserSampleRate_hz;

double cascadeGainDb(const double* coefficients, int sections, double frequency_hz) {
    const double omega = 2.0 * std::numbers::pi * frequency_hz / equaliserSampleRate_hz;
    const std::complex<double> z1 = std::polar(1.0, -omega), z2 = z1 * z1;
    std::complex<double> h = 1.0;
    for (int s = 0; s < sections; ++s) {
        const double* g = coefficients + 6 * s;
        h *= (g[0] + g[1] * z1 + g[2] * z2) / (g[3] + g[4] * z1 + g[5] * z2);
    }
    return 20.0 * std::log10(std::abs(h));
}

void printBiquadSet(const char* name, const double* const* orders, const std::int32_t* sections) {
    static constexpr double frequencies_hz[] = {20, 50, 100, 200, 500, 1000, 4000};
    std::printf("Biquad set %s: gain in dB\n  order sections", name);
    for (double f : frequencies_hz) std::printf(" %8.0f Hz", f);
    std::printf("\n");
    for (int n = 0; n < qb32::tables::modalOrderCount; ++n) {
        std::printf("  %5d %8d", n, sections[n]);
        for (double f : frequencies_hz) std::printf(" %11.2f", cascadeGainDb(orders[n], sections[n], f));
        std::printf("\n");
    }
    std::printf("\n");
}

void printFir(int order) {
    const int length = qb32::tables::firEqualiserLengths[order];
    std::vector<double> taps(qb32::tables::firEqualisers[order], qb32::tables::firEqualisers[order] + length);
    std::printf("FIR equaliser of order %d (%d taps, centre tap %.7f): zero-phase amplitude\n", order,
                length, taps[(length - 1) / 2]);
    std::printf("  %8s %10s %10s %10s %9s %9s\n", "Hz", "target", "measured", "deviation", "dB", "allowed");
    for (const auto& p : qb32::design::firEqualiserTargets(order)) {
        const double a = qb32::design::zeroPhaseAmplitude(taps, p.frequency_hz, equaliserSampleRate_hz);
        std::printf("  %8.0f %10.5f %10.5f %+10.6f %9.2f %9.2f\n", p.frequency_hz, p.amplitude, a,
                    a - p.amplitude, 20.0 * std::log10(std::fabs(a)), p.tolerance);
    }
    std::printf("\n");
}

}  // namespace

int main() {
    using namespace qb32::tables;
    const double* setA[modalOrderCount];
    const double* setB[modalOrderCount];
    for (int n = 0; n < modalOrderCount; ++n) {
        setA[n] = biquadSetA[n];
        setB[n] = biquadSetB[n];
    }
    std::printf("Equalisers of the modal decomposition at %.0f Hz\n\n", equaliserSampleRate_hz);
    printBiquadSet("A (equalisation mode 0)", setA, biquadSetASections);
    printBiquadSet("B (equalisation mode 1)", setB, biquadSetBSections);
    printFir(2);
    printFir(3);
    return 0;
}
