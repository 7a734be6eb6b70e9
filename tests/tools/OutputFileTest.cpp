// Output files on every way out of a tool: signals, abort, exceptions,
// ordinary errors and a file-size limit leave no partial file behind, and a
// committed file survives a later signal.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "tests/tools/ToolsTestSupport.h"
#include "tools/common/CommandLine.h"
#include "tools/common/OutputFile.h"

namespace qb32::tools {
namespace {

using namespace qb32::tools::testing;

// A tool that opens an 8-channel output, writes a second of it, then leaves
// the way `leave` says; its exit status is the process's.
[[noreturn]] void toolThatLeaves(const std::string& path, const std::function<int(SoundFileWriter&)>& leave) {
    char name[] = "qb32-test";
    char* argv[] = {name, nullptr};
    std::exit(runTool("qb32-test", 1, argv, [&](int, char**) {
        SoundFileWriter writer;
        if (!writer.open(path, 8, 44100)) return 99;
        PlanarBuffer block(8, 44100);
        block.clear();
        if (!writer.write(block.pointers(), 44100)) return 98;
        return leave(writer);
    }));
}

TEST(OutputFiles, EveryWayOutRemovesThePartialFile) {
    struct Way {
        const char* name;
        std::function<int(SoundFileWriter&)> leave;
        std::function<bool(int)> ended;
        const char* message;
        bool outputStays;
    } ways[] = {
        {"SIGINT", [](SoundFileWriter&) { return std::raise(SIGINT); }, ::testing::KilledBySignal(SIGINT), "", false},
        {"SIGTERM", [](SoundFileWriter&) { return std::raise(SIGTERM); }, ::testing::KilledBySignal(SIGTERM), "", false},
        {"SIGHUP", [](SoundFileWriter&) { return std::raise(SIGHUP); }, ::testing::KilledBySignal(SIGHUP), "", false},
        {"abort", [](SoundFileWriter&) -> int { std::abort(); }, ::testing::KilledBySignal(SIGABRT), "", false},
        {"exception", [](SoundFileWriter&) -> int { throw std::runtime_error("a fault"); }, ::testing::ExitedWithCode(70),
         "qb32-test: internal failure: a fault", false},
        {"out of memory", [](SoundFileWriter&) -> int { throw std::bad_alloc(); }, ::testing::ExitedWithCode(70),
         "qb32-test: out of memory", false},
        {"error return", [](SoundFileWriter&) { return 4; }, ::testing::ExitedWithCode(4), "", false},
        {"file-size limit",
         [](SoundFileWriter& w) {
             const rlimit limit{1 << 20, 1 << 20};
             ::setrlimit(RLIMIT_FSIZE, &limit);
             PlanarBuffer block(8, 44100);
             block.clear();
             for (int i = 0; i < 4; ++i)
                 if (!w.write(block.pointers(), 44100)) {
                     std::fprintf(stderr, "%s\n", w.error().c_str());
                     return 4;
                 }
             return 0;
         },
         ::testing::ExitedWithCode(4), "File too large", false},
        {"signal after commit", [](SoundFileWriter& w) { return w.commit() ? std::raise(SIGTERM) : 97; },
         ::testing::KilledBySignal(SIGTERM), "", true},
    };
    for (const auto& way : ways) {
        TempDir dir;
        const std::string path = dir.file("out.wav");
        EXPECT_EXIT(toolThatLeaves(path, way.leave), way.ended, way.message) << way.name;
        const auto left = dir.entries();
        if (way.outputStays) {
            ASSERT_EQ(left.size(), 1u) << way.name;
            EXPECT_EQ(left[0], "out.wav");
            EXPECT_EQ(readFile(path).size(), 8u);
        } else {
            EXPECT_TRUE(left.empty()) << way.name << ": left " << left[0];
        }
    }
}

}  // namespace
}  // namespace qb32::tools
