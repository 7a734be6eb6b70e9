// qb32-design-patterns: designs the constant tables of the twelve beam
// patterns and writes them as C++ sources.
// Usage: qb32-design-patterns <output folder>   (normally patterns/tables)
#include "tools/patterndesign/PatternDesign.h"

#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder, e.g. patterns/tables>\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    const qb32::design::DesignedCatalogue catalogue = qb32::design::designCatalogue();
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
    return 0;
}
