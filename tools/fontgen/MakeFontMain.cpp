// qb32-make-font [FILE]: renders the editor's text faces and writes the
// table source (default editor/tables/FontTables.cpp, run from the project's
// top folder).
#include <cstdio>
#include <fstream>
#include <string>

#include "tools/fontgen/FontDesign.h"

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : "editor/tables/FontTables.cpp";
    std::string error;
    const std::string text = qb32::fontgen::fontTableSource(error);
    if (text.empty()) {
        std::fprintf(stderr, "qb32-make-font: %s\n", error.c_str());
        return 1;
    }
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out.flush()) {
        std::fprintf(stderr, "qb32-make-font: cannot write %s\n", path.c_str());
        return 1;
    }
    return 0;
}
