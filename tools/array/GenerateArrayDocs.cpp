// qb32-gen-array-docs: writes FOLDER/capsules.svg (the capsule layout picture,
// docs/array/ in the project) and prints the capsule table for the README.
// Usage: qb32-gen-array-docs FOLDER
#include <cstdio>
#include <string>

#include "tools/array/CapsuleLayout.h"
#include "tools/common/OutputFile.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: qb32-gen-array-docs FOLDER\n", stderr);
        return 2;
    }
    std::string error;
    if (!qb32::tools::writeTextFile(std::string(argv[1]) + "/capsules.svg", qb32::tools::capsuleLayoutSvg(), error)) {
        std::fprintf(stderr, "qb32-gen-array-docs: %s\n", error.c_str());
        return 4;
    }
    std::fputs(qb32::tools::capsuleTableMarkdown().c_str(), stdout);
    return 0;
}
