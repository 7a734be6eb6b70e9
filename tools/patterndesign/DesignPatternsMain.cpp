// qb32-design-patterns: designs the constant tables of the twelve beam
// patterns and writes them as C++ sources, for every supported rate or one.
// Usage: qb32-design-patterns <output folder> [--rate R]   (folder normally patterns/tables)
#include "tools/patterndesign/PatternDesign.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "framework/SampleRates.h"

int main(int argc, char** argv) {
    std::vector<int> rates(std::begin(qb32::sampleRates::supported_hz), std::end(qb32::sampleRates::supported_hz));
    if (argc == 4 && std::string(argv[2]) == "--rate") {
        const int rate = std::atoi(argv[3]);
        if (!qb32::sampleRates::isSupported(rate)) {
            std::fprintf(stderr, "%s: %s Hz is not one of the supported rates\n", argv[0], argv[3]);
            return 2;
        }
        rates = {rate};
    } else if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder, e.g. patterns/tables> [--rate R]\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    for (int rate : rates) {
        const qb32::design::DesignedCatalogue catalogue = qb32::design::designCatalogue(rate);
        const auto condition = qb32::design::normalMatrixCondition(rate);
        std::printf("%d Hz: %d taps, normal matrix %d x %d on %d points, eigenvalues %.4g .. %.4g, condition %.1f\n",
                    rate, catalogue.modalTapCount, condition.unknowns, condition.unknowns, condition.gridPoints,
                    condition.smallestEigenvalue, condition.largestEigenvalue, condition.conditionNumber());
        for (const qb32::design::TableSource& source : qb32::design::tableSources(catalogue)) {
            const std::string path = folder + "/" + source.fileName;
            std::ofstream out(path, std::ios::binary);
            out << source.text;
            if (!out) {
                std::fprintf(stderr, "cannot write %s\n", path.c_str());
                return 1;
            }
            std::printf("wrote %s\n", path.c_str());
        }
    }
    return 0;
}
