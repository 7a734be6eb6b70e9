// qb32-gen-region-tables: writes filters/tables/RegionTables.cpp.
// Usage: qb32-gen-region-tables <output.cpp>   (no argument: standard output)
#include <fstream>
#include <iostream>

#include "tools/regiontables/RegionTableGenerator.h"

int main(int argc, char** argv) {
    const qb32::regiontables::RegionTables tables = qb32::regiontables::generate();
    for (std::int32_t t : tables.capsuleTriangle) {
        if (t < 0) {
            std::cerr << "qb32-gen-region-tables: a grid direction lies in no triangle\n";
            return 1;
        }
    }
    if (argc < 2) {
        qb32::regiontables::writeSource(tables, std::cout);
        return std::cout ? 0 : 1;
    }
    std::ofstream file(argv[1], std::ios::binary);
    qb32::regiontables::writeSource(tables, file);
    file.close();
    if (!file) {
        std::cerr << "qb32-gen-region-tables: cannot write " << argv[1] << '\n';
        return 1;
    }
    return 0;
}
