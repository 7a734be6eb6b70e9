// qb32-equaliser-response: prints the measured responses of the decomposition's
// equalisers at one of the plug-in's rates (--rate, 44100 by default), from
// the committed tables (engine/tables):
// - biquad sets A and B, gain in dB per order at 20, 50, 100, 200, 500 Hz,
//   1 and 4 kHz, evaluated from the coefficients;
// - the FIR equalisers of orders 2 and 3, zero-phase amplitude from the taps at
//   every frequency of their amplitude table, beside the target and the
//   deviation. The targets are in Hz, so they hold at every rate.
#include <cmath>
#include <complex>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

#include "engine/tables/DecompositionTables.h"
#include "framework/SampleRates.h"
#include "tools/common/CommandLine.h"
#include "tools/common/TextParsing.h"
#include "tools/decomposition/DecompositionDesign.h"

namespace {

double cascadeGainDb(const double* coefficients, int sections, double frequency_hz, double rate_hz) {
    const double omega = 2.0 * std::numbers::pi * frequency_hz / rate_hz;
    const std::complex<double> z1 = std::polar(1.0, -omega), z2 = z1 * z1;
    std::complex<double> h = 1.0;
    for (int s = 0; s < sections; ++s) {
        const double* g = coefficients + 6 * s;
        h *= (g[0] + g[1] * z1 + g[2] * z2) / (g[3] + g[4] * z1 + g[5] * z2);
    }
    return 20.0 * std::log10(std::abs(h));
}

void printBiquadSet(const char* name, const double* const* orders, const std::int32_t* sections, double rate_hz) {
    static constexpr double frequencies_hz[] = {20, 50, 100, 200, 500, 1000, 4000};
    std::printf("Biquad set %s: gain in dB\n  order sections", name);
    for (double f : frequencies_hz) std::printf(" %8.0f Hz", f);
    std::printf("\n");
    for (int n = 0; n < qb32::tables::modalOrderCount; ++n) {
        std::printf("  %5d %8d", n, sections[n]);
        for (double f : frequencies_hz) std::printf(" %11.2f", cascadeGainDb(orders[n], sections[n], f, rate_hz));
        std::printf("\n");
    }
    std::printf("\n");
}

void printFir(const qb32::tables::DecompositionRateTables& tables, int order) {
    const int length = tables.firEqualiserLengths[order];
    const double rate_hz = tables.sampleRate_hz;
    std::vector<double> taps(tables.firEqualisers[order], tables.firEqualisers[order] + length);
    std::printf("FIR equaliser of order %d (%d taps, centre tap %.7f): zero-phase amplitude\n", order,
                length, taps[(length - 1) / 2]);
    std::printf("  %8s %10s %10s %10s %9s %9s\n", "Hz", "target", "measured", "deviation", "dB", "allowed");
    for (const auto& p : qb32::design::firEqualiserTargets(order)) {
        const double a = qb32::design::zeroPhaseAmplitude(taps, p.frequency_hz, rate_hz);
        std::printf("  %8.0f %10.5f %10.5f %+10.6f %9.2f %9.2f\n", p.frequency_hz, p.amplitude, a,
                    a - p.amplitude, 20.0 * std::log10(std::fabs(a)), p.tolerance);
    }
    std::printf("\n");
}

int equaliserResponseMain(int argc, char** argv) {
    using namespace qb32::tools;
    double rate_hz = 44100.0;
    CommandLine cli("qb32-equaliser-response", "[--rate R]",
                    "Prints the responses of the modal decomposition's equalisers (biquad sets A and B,\n"
                    "the FIR equalisers of orders 2 and 3 against their amplitude tables) at one rate.",
                    {exitUsage});
    cli.option("--rate", "R", "the session rate (default 44100; 48000, 88200, 96000, 176400 or 192000)",
               [&](const std::string& v, std::string& e) {
                   if (!parseNumber(v, rate_hz) || !qb32::sampleRates::isSupported(rate_hz))
                       return e = "--rate needs one of the plug-in's rates: 44100, 48000, 88200, 96000, 176400, "
                                  "192000",
                              false;
                   return true;
               });
    if (const auto status = cli.parse(argc, argv)) return *status;
    const auto* tables = qb32::tables::decompositionTablesForRate(rate_hz);
    if (tables == nullptr) return cli.fail(exitInternal, "no equaliser tables for " + formatNumber(rate_hz) + " Hz");
    std::printf("Equalisers of the modal decomposition at %.0f Hz\n\n", rate_hz);
    printBiquadSet("A (equalisation mode 0)", tables->biquadSetA, tables->biquadSetASections, rate_hz);
    printBiquadSet("B (equalisation mode 1)", tables->biquadSetB, tables->biquadSetBSections, rate_hz);
    printFir(*tables, 2);
    printFir(*tables, 3);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return qb32::tools::runTool("qb32-equaliser-response", argc, argv, equaliserResponseMain);
}
