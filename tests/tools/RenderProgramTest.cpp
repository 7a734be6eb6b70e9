// The qb32-render program on bad input: every case gives its one-line
// message, its exit status, and leaves no output file (nor a temporary one).

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/tools/ToolsTestSupport.h"

namespace qb32::tools {
namespace {

using namespace qb32::tools::testing;

struct Outcome {
    int status;
    std::string stderrText;
};

Outcome runRender(const TempDir& dir, const std::string& arguments, const std::string& limits = "") {
    const std::string errFile = dir.path + "/../" + dir.path.substr(dir.path.rfind('/') + 1) + ".stderr";
    const std::string command = "bash -c '" + limits + "exec \"" QB32_RENDER_PROGRAM "\" " + arguments + "' 2>" + errFile +
                                " >/dev/null";
    const int raw = std::system(command.c_str());
    std::ifstream in(errFile);
    std::stringstream text;
    text << in.rdbuf();
    std::remove(errFile.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, text.str()};
}

class RenderProgram : public ::testing::Test {
protected:
    void SetUp() override {
        const Channels scene = simulateScene(44100.0, {{90.0, 0.0}}, 22050,
                                             [](int, int n) { return float(0.2 * sine(1000.0, 44100.0, n)); });
        writeFile(dir.file("good.wav"), scene, 44100);
        Channels at48(32, std::vector<float>(4800, 0.0f));
        writeFile(dir.file("at48k.wav"), at48, 48000);
        writeFile(dir.file("at32k.wav"), Channels(32, std::vector<float>(3200, 0.0f)), 32000);
        writeFile(dir.file("stereo.wav"), Channels(2, std::vector<float>(1000, 0.0f)), 44100);
        std::ofstream(dir.file("notes.txt")) << "not a sound file\n";
        std::ofstream(dir.file("auto.csv")) << "time_s,beam,parameter,value\n0.1,1,elev,45\n0.2,1,pattern,card9\n";
        std::ofstream(dir.file("forever.csv")) << "inf,1,elev,45\n";
        writeFile(dir.file("empty.wav"), Channels(32, std::vector<float>()), 44100);
    }
    TempDir dir;
};

TEST_F(RenderProgram, BadInputGivesItsMessageItsStatusAndNoOutputFile) {
    const std::string good = dir.file("good.wav");
    const std::string out = dir.file("out.wav");
    struct Case {
        std::string arguments;
        int status;
        std::string message;
        std::string limits = "";
    } cases[] = {
        {dir.file("missing.wav") + " -o " + out, 3, "cannot open '" + dir.file("missing.wav") + "': No such file or directory"},
        {dir.file("notes.txt") + " -o " + out, 3, "cannot read '" + dir.file("notes.txt") + "'"},
        {dir.file("stereo.wav") + " -o " + out, 3, "has 2 channels; the array has 32 capsules"},
        {dir.file("at32k.wav") + " --no-resample -o " + out, 3,
         "is at 32000 Hz; the plug-in runs at 44.1, 48, 88.2, 96, 176.4 and 192 kHz"},
        {good + " -o " + out + " --beam 1:elev=45,azim", 2, "--beam '1:elev=45,azim': cannot read 'azim'"},
        {good + " -o " + out + " --beam 9:elev=45", 2, "N = 1..8"},
        {good + " -o " + out + " --beam 1:pattern=wide", 2,
         "unknown pattern 'wide' (valid: omni, super3, super2, super1, hyper3, hyper2, hyper1, card3, card2, card1, dipole1, torus)"},
        {good + " -o " + out + " --automation " + dir.file("auto.csv"), 3, dir.file("auto.csv") + ":3: unknown pattern 'card9'"},
        {good + " -o " + out + " --automation " + dir.file("none.csv"), 3, "cannot open automation file"},
        {good + " -o " + dir.file("no/such/folder/out.wav"), 4, "cannot write '" + dir.file("no/such/folder/out.wav") + "'"},
        {good + " -o " + dir.path, 4, "it is a directory"},
        // A file-size limit makes the writes fail part-way, as a full disk does.
        {good + " -o " + out, 4, "cannot write '" + out + "': File too large", "ulimit -f 64; trap \"\" XFSZ; "},
        {good + " -o " + out + " --split", 4, "cannot write '" + dir.file("out-beam1.wav") + "': File too large",
         "ulimit -f 16; trap \"\" XFSZ; "},
        {good + " -o " + out + " --module " + dir.file("notes.txt"), 5, "cannot load the plug-in module"},
        {good + " -o " + out + " --block 0", 2, "--block needs"},
        {good + " --colour", 2, "unknown option '--colour'"},
        {dir.file("empty.wav") + " -o " + out, 3, "'" + dir.file("empty.wav") + "' holds no audio (0 frames)"},
        {good + " -o " + out + " --automation " + dir.file("forever.csv"), 3, "forever.csv:1: time 'inf' is not a finite number"},
        {good + " -o " + out + " --channel-map 1-31", 2, "--channel-map: names 31 channels; it needs 32 distinct channels"},
        {dir.file("stereo.wav") + " -o " + out + " --channel-map 2,1,3-32", 3, "the channel map names channel 3 but"},
        {good + " -o " + out + " --check-order", 2, "--check-order writes nothing: leave out -o"},
        {good + " -o " + dir.file("out.ogg"), 2, "unknown output format '.ogg'"},
        {good, 2, "no output file"},
    };
    const auto before = dir.entries();
    for (const auto& c : cases) {
        const Outcome o = runRender(dir, c.arguments, c.limits);
        EXPECT_EQ(o.status, c.status) << c.arguments << "\n" << o.stderrText;
        EXPECT_EQ(o.stderrText.rfind("qb32-render: ", 0), 0u) << o.stderrText;
        EXPECT_NE(o.stderrText.find(c.message), std::string::npos) << c.arguments << "\n" << o.stderrText;
        EXPECT_EQ(std::count(o.stderrText.begin(), o.stderrText.end(), '\n'), 1) << o.stderrText;
        EXPECT_EQ(dir.entries().size(), before.size()) << c.arguments << ": a file was left behind";
    }
}

TEST_F(RenderProgram, GoodInputWritesTheFileAndTheSummary) {
    // 48 kHz runs natively (also with --no-resample); 32 kHz is converted.
    for (const char* file : {"at48k.wav", "at32k.wav"}) {
        const bool native = std::string(file) == "at48k.wav";
        const Outcome o = runRender(dir, dir.file(file) + " -o " + dir.file("out.wav") + " --beam 2:pattern=card1,off" +
                                             (native ? " --no-resample" : ""));
        EXPECT_EQ(o.status, 0) << o.stderrText;
        EXPECT_EQ(o.stderrText.find("converting it to 44100 Hz") != std::string::npos, !native) << o.stderrText;
        int rate = 0;
        const Channels out = readFile(dir.file("out.wav"), &rate);
        EXPECT_EQ(out.size(), 8u);
        EXPECT_EQ(rate, native ? 48000 : 32000);
        EXPECT_EQ(out[0].size(), native ? 4800u : 3200u);
    }
}

}  // namespace
}  // namespace qb32::tools
