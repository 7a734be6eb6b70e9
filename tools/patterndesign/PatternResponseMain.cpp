// qb32-pattern-response: for every pattern and the variant the plug-in loads,
// prints the zero-phase response measured from the compiled modal filter taps
// at the catalogue's frequencies beside the target, the worst deviation at
// those frequencies, and the worst deviation from the flat weight between
// 2 and 20 kHz. Exit status 1 when a deviation exceeds its tolerance (0.01
// from 500 Hz up, 0.03 below, 0.003 in the flat band).
// Usage: qb32-pattern-response [--rate R]   (any supported rate; default 44100)
#include "patterns/CQb32Factory.h"
#include "tools/patterndesign/PatternDesign.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "framework/SampleRates.h"

int main(int argc, char** argv) {
    using namespace qb32::design;
    int rate = 44100;
    if (argc == 3 && std::string(argv[1]) == "--rate") {
        rate = std::atoi(argv[2]);
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: %s [--rate R]\n", argv[0]);
        return 2;
    }
    if (!qb32::sampleRates::isSupported(rate)) {
        std::fprintf(stderr, "%d Hz is not one of the supported rates\n", rate);
        return 2;
    }
    const qb32::CQb32Factory factory(rate);
    double worstAll = 0.0, worstFlatAll = 0.0;
    const auto catalogue = patternCatalogue();
    if (factory.patternCount != static_cast<int>(catalogue.size())) {
        std::fprintf(stderr, "factory holds %d patterns\n", factory.patternCount);
        return 1;
    }
    bool ok = true;
    for (int i = 0; i < factory.patternCount; ++i) {
        const qb32::CQbPattern& p = *factory.pattern(i);
        const PatternEntry& entry = catalogue[i];
        const int v = qb32::defaultVariant(p);
        std::printf("%s (variant %d, %d dB, %d taps at %d Hz)\n", p.name, v, p.wngDb[v], p.modalFilterLength, rate);
        std::printf("  order         ");
        for (double f : targetFrequencies_hz) std::printf(" %8.0f", f);
        std::printf("   worst    flat\n");
        for (int n = 0; n < p.orderCount; ++n) {
            const float* taps = qb32::modalFilterTaps(p, v, n);
            const int length = p.modalFilterLength;
            double worst = 0.0;
            std::string measured = "  " + std::to_string(n) + " measured    ";
            std::string target = "    target      ";
            for (std::size_t k = 0; k < targetFrequencies_hz.size(); ++k) {
                const double f = targetFrequencies_hz[k];
                const double a = zeroPhaseAmplitude(taps, length, f, rate);
                const double e = std::fabs(a - entry.target[n][k]);
                const double tolerance = f < 500.0 ? 0.03 : 0.01;
                ok = ok && e <= tolerance;
                worst = std::fmax(worst, e);
                char cell[32];
                std::snprintf(cell, sizeof cell, " %8.4f", a);
                measured += cell;
                std::snprintf(cell, sizeof cell, " %8.4f", entry.target[n][k]);
                target += cell;
            }
            double flat = 0.0;
            for (double f = 2000.0; f <= 20000.0; f += 10.0)
                flat = std::fmax(flat, std::fabs(zeroPhaseAmplitude(taps, length, f, rate) -
                                                 entry.target[n][flatColumn]));
            ok = ok && flat <= 0.003;
            worstAll = std::fmax(worstAll, worst);
            worstFlatAll = std::fmax(worstFlatAll, flat);
            std::printf("%s   %.4f  %.4f\n%s\n", measured.c_str(), worst, flat, target.c_str());
        }
    }
    std::printf("worst deviation at the listed frequencies %.4f, from the flat weight between 2 and 20 kHz %.4f\n",
                worstAll, worstFlatAll);
    std::printf(ok ? "all within tolerance\n" : "OUT OF TOLERANCE\n");
    return ok ? 0 : 1;
}
