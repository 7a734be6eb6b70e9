// qb32-decomposition-tables: writes engine/tables/DecompositionMatrix.cpp and
// engine/tables/FirEqualisers.cpp (44.1 kHz) and engine/tables/Equalisers<rate>.cpp
// (every other supported rate) from the design core.
// Usage: qb32-decomposition-tables [engine/tables directory] [--rate R]   (default: engine/tables, every rate)
//        qb32-decomposition-tables --fit   (refits the FIR equalisers' cut-off and beta)
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "framework/SampleRates.h"
#include "tools/decomposition/DecompositionDesign.h"

namespace {

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out) {
        std::fprintf(stderr, "qb32-decomposition-tables: cannot write %s\n", path.c_str());
        return false;
    }
    std::printf("wrote %s\n", path.c_str());
    return true;
}

}  // namespace

int fit() {
    using namespace qb32::design;
    const KaiserHighPass starts[2] = {{88.0, 2.0}, {346.0, 9.0}};
    for (int order = 2; order <= 3; ++order) {
        const int length = order == 2 ? 631 : 409;
        const auto targets = firEqualiserTargets(order);
        const KaiserHighPass p = fitKaiserHighPass(length, targets, equaliserSampleRate_hz, starts[order - 2]);
        const double e = worstScaledError(kaiserHighPass(length, p, equaliserSampleRate_hz), targets,
                                          equaliserSampleRate_hz);
        std::printf("order %d: cutoff %.4f Hz, beta %.4f, worst error / tolerance %.4f\n", order,
                    p.cutoff_hz, p.beta, e);
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--fit") return fit();
    std::string dir = "engine/tables";
    int only = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--rate" && i + 1 < argc) {
            only = std::atoi(argv[++i]);
            if (!qb32::sampleRates::isSupported(only)) {
                std::fprintf(stderr, "qb32-decomposition-tables: %d Hz is not a supported rate\n", only);
                return 2;
            }
        } else {
            dir = arg;
        }
    }
    bool ok = true;
    if (only == 0 || only == qb32::sampleRates::reference_hz) {
        const auto matrix = qb32::design::designDecompositionMatrix();
        std::array<std::vector<float>, 4> taps;
        for (int n = 0; n < 4; ++n) taps[n] = qb32::design::designFirEqualiser(n);
        ok = writeFile(dir + "/DecompositionMatrix.cpp", qb32::design::decompositionMatrixSource(matrix)) &&
             writeFile(dir + "/FirEqualisers.cpp", qb32::design::firEqualiserSource(taps));
    }
    for (int rate : qb32::sampleRates::supported_hz) {
        if (rate == qb32::sampleRates::reference_hz || (only != 0 && rate != only)) continue;
        ok = ok && writeFile(dir + "/Equalisers" + std::to_string(rate) + ".cpp", qb32::design::equaliserSource(rate));
    }
    return ok ? 0 : 1;
}
