// The programs as a user meets them: the shared command-line
// conventions, outputs that must never destroy data (the input itself,
// devices, pipes, interrupted runs), containers chosen by the extension, and
// qb32-sim's full-scale warning.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "tests/tools/ToolsTestSupport.h"

namespace qb32::tools {
namespace {

using namespace qb32::tools::testing;

const std::string renderTool = QB32_RENDER_PROGRAM, simTool = QB32_SIM_PROGRAM, patternsTool = QB32_PATTERNS_PROGRAM,
                  demoTool = QB32_DEMO_PROGRAM, editorShotTool = QB32_EDITOR_SHOT_PROGRAM,
                  equaliserTool = QB32_EQUALISER_RESPONSE_PROGRAM;

std::string nameOf(const std::string& program) { return program.substr(program.rfind('/') + 1); }

int lines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class ToolPrograms : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(dir.file("in.wav"),
                  simulateScene(44100.0, {{90.0, 0.0}}, 11025, [](int, int n) { return float(0.2 * sine(1000.0, 44100.0, n)); }),
                  44100);
        Channels mono(1, std::vector<float>(4800));
        for (int n = 0; n < 4800; ++n) mono[0][static_cast<std::size_t>(n)] = float(0.1 * sine(700.0, 48000.0, n));
        writeFile(dir.file("mono.wav"), mono, 48000);
    }
    TempDir dir;
};

TEST_F(ToolPrograms, EveryToolFollowsTheSharedConventions) {
    struct Case {
        std::string program;
        std::vector<std::string> arguments;
        int status;
        std::string out;  // expected at the start of stdout; "" = stdout empty
        std::string err;  // expected in stderr (then one line); "" = stderr empty
    };
    std::vector<Case> cases;
    for (const std::string& tool : {renderTool, simTool, patternsTool, demoTool, editorShotTool, equaliserTool}) {
        const std::string name = nameOf(tool);
        cases.push_back({tool, {"--version"}, 0, name + " " + QB32_VERSION_TEXT + "\n", ""});
        for (const char* help : {"--help", "-h"}) cases.push_back({tool, {"--bogus", help}, 0, "usage: " + name + " ", ""});
        cases.push_back({tool, {"--bogus"}, 2, "", name + ": unknown option '--bogus' (see --help)"});
        cases.push_back({tool, {"--quiet=yes"}, 2, "", name + ": --quiet takes no value"});
    }
    const std::string out = dir.file("out.wav");
    const std::string source = "elev=90,azim=0,signal=noise";
    // --name=VALUE reaches the option (its own message, not "unknown option").
    cases.push_back({renderTool, {dir.file("in.wav"), "--output=" + out, "--module=/nonexistent/qb32.so"}, 5, "", "cannot load"});
    cases.push_back({renderTool, {dir.file("in.wav"), "-o", out, "--split=yes"}, 2, "", "--split takes no value"});
    cases.push_back({simTool, {"-o", out, "--duration=1e9", "--source=" + source}, 2, "", "--duration 1e9 s is too long"});
    cases.push_back({simTool, {"-o", out, "--duration", "-2", "--source", source}, 2, "", "--duration needs a positive number"});
    cases.push_back({patternsTool, {"--output=" + dir.file("plots"), "--module=/x/qb32.so"}, 5, "", "cannot load"});
    cases.push_back({demoTool, {"-q", "--output=" + dir.file("demo"), "--module=/x/qb32.so"}, 5, "", "cannot load"});
    // "--" ends the options.
    cases.push_back({renderTool, {"-o", out, "--", "--help"}, 3, "", "cannot open '--help'"});
    for (const std::string& tool : {simTool, patternsTool, demoTool})
        cases.push_back({tool, {"--", "--help"}, 2, "", "unexpected argument '--help'"});
    // Results ("wrote ...") on stdout, nothing on stderr; -q: nothing at all.
    cases.push_back({renderTool, {dir.file("in.wav"), "-o", out}, 0, "beam ", ""});
    cases.push_back({renderTool, {"-q", dir.file("in.wav"), "-o", out}, 0, "", ""});
    cases.push_back({simTool, {"-o", out, "--duration", "0.1", "--source", source}, 0, "wrote " + out, ""});
    cases.push_back({simTool, {"--quiet", "-o", out, "--duration", "0.1", "--source", source}, 0, "", ""});
    cases.push_back({demoTool, {"-o", dir.file("demo")}, 0, "Three sources", ""});
    cases.push_back({editorShotTool, {"--scale", "3"}, 2, "", "--scale takes 1 or 2"});
    cases.push_back({editorShotTool, {"--seconds=0.2", "-o", dir.file("map.png")}, 0, "wrote " + dir.file("map.png"), ""});
    cases.push_back({editorShotTool, {"-q", "--seconds=0.2", "-o", dir.file("map.png")}, 0, "", ""});
    cases.push_back({editorShotTool, {"--seconds=0.2", "-o", dir.file("no/such/folder/map.png")}, 4, "", "map.png"});
    // The report tool writes no file: its result is stdout.
    cases.push_back({equaliserTool, {"--rate=96000"}, 0, "Equalisers of the modal decomposition at 96000 Hz\n", ""});
    cases.push_back({equaliserTool, {"--rate", "50000"}, 2, "", "--rate needs one of the plug-in's rates"});

    for (const auto& c : cases) {
        std::string shown = nameOf(c.program);
        for (const auto& a : c.arguments) shown += " " + a;
        const ProgramRun run = runProgram(c.program, c.arguments, dir);
        EXPECT_EQ(run.status, c.status) << shown << "\n" << run.err;
        if (c.out.empty()) {
            EXPECT_EQ(run.out, "") << shown;
        } else {
            EXPECT_EQ(run.out.rfind(c.out, 0), 0u) << shown << "\n" << run.out;
        }
        if (c.err.empty()) {
            EXPECT_EQ(run.err, "") << shown;
        } else {
            EXPECT_TRUE(contains(run.err, c.err)) << shown << "\n" << run.err;
            EXPECT_EQ(lines(run.err), 1) << shown << "\n" << run.err;
        }
        if (c.status == 0 && c.out.rfind("usage: ", 0) == 0) {
            // Every help names the conventions and the exit statuses.
            for (const char* part : {"-q, --quiet", "--version", "--name=VALUE", "-- ends the options", "exit status:",
                                     "\n  0   done", "\n  2   usage", "\n  4   output"})
                if (c.program != equaliserTool || std::string(part) != "\n  4   output") {
                    EXPECT_TRUE(contains(run.out, part)) << shown << ": no '" << part << "' in\n" << run.out;
                }
        }
        if (c.status == 0 && !c.out.empty() && c.out.rfind("usage", 0) != 0 && c.arguments[0] != "--version" &&
            c.program != equaliserTool) {
            EXPECT_TRUE(contains(run.out, "wrote ")) << shown << "\n" << run.out;
        }
    }
}

TEST_F(ToolPrograms, PatternsWithoutAnOutputFolderAsksForOneAndWritesNothing) {
    const ProgramRun run = runProgram(patternsTool, {}, dir, dir.path);
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(contains(run.err, "qb32-patterns: no output folder: give -o FOLDER")) << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("docs")));
}

// ---- outputs that must not destroy data -------------------------------------------------------------------

TEST_F(ToolPrograms, AnOutputThatIsAnInputIsRefusedBeforeAnythingIsRead) {
    std::filesystem::create_directory(dir.file("sub"));
    std::filesystem::create_symlink(dir.file("in.wav"), dir.file("link.wav"));
    std::filesystem::create_hard_link(dir.file("in.wav"), dir.file("hard.wav"));
    std::filesystem::create_symlink(dir.file("mono.wav"), dir.file("mono-link.wav"));
    std::filesystem::copy_file(dir.file("in.wav"), dir.file("take-beam3.wav"));
    std::ofstream(dir.file("moves.wav")) << "time_s,beam,parameter,value\n0.1,1,elev,45\n";
    std::ofstream(dir.file("notes.wav")) << "not a sound file\n";
    const std::string in = dir.file("in.wav");
    const std::string mono = "elev=90,azim=0,signal=file:";
    struct Case {
        std::string program;
        std::vector<std::string> arguments;
        std::string input;  // the file that must stay as it was
        std::string directory = "";
    } cases[] = {
        {renderTool, {in, "-o", in}, "in.wav"},
        {renderTool, {in, "-o", dir.path + "/./in.wav"}, "in.wav"},
        {renderTool, {in, "-o", dir.path + "/sub/../in.wav"}, "in.wav"},
        {renderTool, {"in.wav", "-o", "./in.wav"}, "in.wav", dir.path},
        {renderTool, {in, "-o", dir.file("link.wav")}, "in.wav"},
        {renderTool, {dir.file("link.wav"), "-o", in}, "in.wav"},
        {renderTool, {in, "-o", dir.file("hard.wav")}, "in.wav"},
        {renderTool, {dir.file("take-beam3.wav"), "--split", "-o", dir.file("take.wav")}, "take-beam3.wav"},
        {renderTool, {in, "--automation", dir.file("moves.wav"), "-o", dir.file("moves.wav")}, "moves.wav"},
        // Not a sound file: the refusal comes before any attempt to read it.
        {renderTool, {dir.file("notes.wav"), "-o", dir.file("notes.wav")}, "notes.wav"},
        {simTool, {"-o", dir.file("mono.wav"), "--source", mono + dir.file("mono.wav")}, "mono.wav"},
        {simTool, {"-o", dir.file("mono-link.wav"), "--source", mono + "mono.wav"}, "mono.wav", dir.path},
    };
    const auto before = dir.entries();
    for (const auto& c : cases) {
        std::string shown = nameOf(c.program);
        for (const auto& a : c.arguments) shown += " " + a;
        const std::string original = readText(dir.file(c.input));
        const ProgramRun run = runProgram(c.program, c.arguments, dir, c.directory);
        EXPECT_EQ(run.status, 2) << shown << "\n" << run.err;
        EXPECT_TRUE(contains(run.err, "is the input")) << shown << "\n" << run.err;
        EXPECT_EQ(lines(run.err), 1) << run.err;
        EXPECT_TRUE(readText(dir.file(c.input)) == original) << shown << ": the input changed";
        EXPECT_EQ(dir.entries().size(), before.size()) << shown;
    }
}

TEST_F(ToolPrograms, DevicesAreWrittenInPlacePipesRefusedLinksKept) {
    ASSERT_EQ(::mkfifo(dir.file("pipe.wav").c_str(), 0644), 0);
    writeFile(dir.file("old.wav"), Channels(2, std::vector<float>(10, 0.5f)), 44100);
    std::filesystem::create_symlink(dir.file("old.wav"), dir.file("to-old.wav"));
    auto identity = [](const std::string& path) {
        struct stat st {};
        ::lstat(path.c_str(), &st);
        return std::make_tuple(st.st_mode & S_IFMT, st.st_ino, st.st_rdev);
    };
    const std::string in = dir.file("in.wav"), source = "elev=90,azim=0,signal=noise";
    struct Case {
        std::string program;
        std::vector<std::string> arguments;
        std::string target;
        int status;
        std::string message;
    } cases[] = {
        {renderTool, {in, "-q", "-o", "/dev/null"}, "/dev/null", 0, ""},
        {renderTool, {in, "-q", "-o", "/dev/full"}, "/dev/full", 4, "cannot write '/dev/full'"},
        {renderTool, {in, "-q", "-o", dir.file("pipe.wav")}, dir.file("pipe.wav"), 4, "it is a pipe"},
        {renderTool, {in, "-q", "-o", dir.file("to-old.wav")}, dir.file("to-old.wav"), 0, ""},
        {simTool, {"-q", "-o", "/dev/null", "--duration", "0.1", "--source", source}, "/dev/null", 0, ""},
        {simTool, {"-q", "-o", "/dev/full", "--duration", "0.1", "--source", source}, "/dev/full", 4, "cannot write '/dev/full'"},
        {simTool, {"-q", "-o", dir.file("pipe.wav"), "--duration", "0.1", "--source", source}, dir.file("pipe.wav"), 4,
         "it is a pipe"},
    };
    for (const auto& c : cases) {
        std::string shown = nameOf(c.program);
        for (const auto& a : c.arguments) shown += " " + a;
        const auto before = identity(c.target);
        const auto entries = dir.entries().size();
        const ProgramRun run = runProgram(c.program, c.arguments, dir);
        EXPECT_EQ(run.status, c.status) << shown << "\n" << run.err;
        if (!c.message.empty()) {
            EXPECT_TRUE(contains(run.err, c.message)) << shown << "\n" << run.err;
        }
        EXPECT_EQ(identity(c.target), before) << shown << ": the target was replaced";
        EXPECT_EQ(dir.entries().size(), entries) << shown << ": a file was left behind";
    }
    // Through the link: the file it names now holds the 8 beams.
    EXPECT_EQ(readFile(dir.file("old.wav")).size(), 8u);
}

TEST_F(ToolPrograms, ASignalRemovesThePartialFileAndEndsTheToolByThatSignal) {
    // A second of recording, of which half arrives: more than the renderer's
    // first reads, so its output holds beams when it starts waiting.
    writeFile(dir.file("second.wav"), Channels(32, std::vector<float>(44100, 0.1f)), 44100);
    for (const int sig : {SIGINT, SIGTERM}) {
        for (const std::string& tool : {simTool, renderTool}) {
            const std::string name = nameOf(tool) + " " + strsignal(sig);
            const std::string out = dir.file("out.wav");
            const std::string log = dir.path + ".signal";
            int feed = -1;
            pid_t pid = 0;
            if (tool == simTool) {
                pid = startProgram(tool, {"-o", out, "--duration", "3600", "--source", "elev=90,azim=0,signal=noise"}, "",
                                   log + ".out", log + ".err");
            } else {
                // The recording arrives through a pipe and stops half-way:
                // the renderer waits for the rest with its output open.
                ASSERT_EQ(::mkfifo(dir.file("live.wav").c_str(), 0644), 0);
                pid = startProgram(tool, {dir.file("live.wav"), "-o", out}, "", log + ".out", log + ".err");
                feed = ::open(dir.file("live.wav").c_str(), O_WRONLY);
                ASSERT_GE(feed, 0);
                const std::string whole = readText(dir.file("second.wav"));
                ASSERT_EQ(::write(feed, whole.data(), whole.size() / 2), static_cast<ssize_t>(whole.size() / 2));
            }
            // Wait (with a deadline) until the partial file holds data.
            auto partial = [&] {
                for (const auto& e : dir.entries())
                    if (e.rfind(".out.wav.partial-", 0) == 0 && std::filesystem::file_size(dir.file(e)) > 4096) return true;
                return false;
            };
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (!partial() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ASSERT_TRUE(partial()) << name << ": no partial file appeared";
            ::kill(pid, sig);
            const ProgramRun run = waitProgram(pid, log + ".out", log + ".err");
            if (feed >= 0) ::close(feed);
            std::filesystem::remove(dir.file("live.wav"));
            EXPECT_EQ(run.signal, sig) << name << ": status " << run.status << "\n" << run.err;
            for (const auto& e : dir.entries()) EXPECT_EQ(e.find("out.wav"), std::string::npos) << name << ": left " << e;
        }
    }
}

// ---- containers and levels --------------------------------------------------------------------------------

TEST_F(ToolPrograms, TheExtensionChoosesTheContainerOrIsRefused) {
    const std::string in = dir.file("in.wav");
    ASSERT_EQ(runProgram(renderTool, {in, "--quiet", "-o", dir.file("ref.wav")}, dir).status, 0);
    const Channels reference = readFile(dir.file("ref.wav"));
    struct Case {
        std::string program;
        std::vector<std::string> arguments;
        std::string file;
        int status;
        std::string container;  // or the message of the refusal
        double tolerance;       // of the samples against the WAV render
    } cases[] = {
        {renderTool, {in, "--quiet", "-o", dir.file("b.flac")}, "b.flac", 0, "FLAC", 1.5 / 8388608.0},
        {renderTool, {in, "--quiet", "-o", dir.file("b.w64")}, "b.w64", 0, "W64", 0.0},
        {renderTool, {in, "--quiet", "-o", dir.file("b.CAF")}, "b.CAF", 0, "CAF", 0.0},
        {renderTool, {in, "--quiet", "-o", dir.file("b.aiff")}, "b.aiff", 0, "AIFF", 0.0},
        {renderTool, {in, "--quiet", "-o", dir.file("b.rf64")}, "b.rf64", 0, "RF64", 0.0},
        {renderTool, {in, "--quiet", "-o", dir.file("b.mp3")}, "b.mp3", 2, "unknown output format '.mp3' (use .wav, .rf64", 0.0},
        {simTool, {"-q", "-o", dir.file("s.flac"), "--source", "elev=90,azim=0,signal=noise"}, "s.flac", 2,
         "FLAC holds at most 8 channels, not 32 (use .wav, .rf64, .w64, .caf or .aiff)", 0.0},
    };
    for (const auto& c : cases) {
        const ProgramRun run = runProgram(c.program, c.arguments, dir);
        ASSERT_EQ(run.status, c.status) << c.file << "\n" << run.err;
        if (c.status != 0) {
            EXPECT_TRUE(contains(run.err, c.container)) << run.err;
            EXPECT_FALSE(std::filesystem::exists(dir.file(c.file)));
            continue;
        }
        SoundFileReader reader;
        ASSERT_TRUE(reader.open(dir.file(c.file))) << reader.error();
        EXPECT_EQ(reader.container(), c.container) << c.file;
        const Channels got = readFile(dir.file(c.file));
        ASSERT_EQ(got.size(), reference.size()) << c.file;
        double worst = 0.0;
        for (std::size_t b = 0; b < got.size(); ++b)
            for (std::size_t i = 0; i < got[b].size(); ++i) worst = std::max(worst, double(std::fabs(got[b][i] - reference[b][i])));
        EXPECT_LE(worst, c.tolerance) << c.file;
    }
    // Beams past full scale: a float container keeps them, FLAC clips and says so.
    writeFile(dir.file("loud.wav"), Channels(32, std::vector<float>(4410, 1.5f)), 44100);
    EXPECT_EQ(runProgram(renderTool, {dir.file("loud.wav"), "--quiet", "-o", dir.file("loud.w64")}, dir).err, "");
    double peak = 0.0;
    for (const auto& beam : readFile(dir.file("loud.w64")))
        for (float v : beam) peak = std::max(peak, double(std::fabs(v)));
    char said[32];
    std::snprintf(said, sizeof said, "%+.1f dBFS", 20.0 * std::log10(peak));
    const ProgramRun clipped = runProgram(renderTool, {dir.file("loud.wav"), "--quiet", "-o", dir.file("loud.flac")}, dir);
    EXPECT_EQ(clipped.status, 0) << clipped.err;
    EXPECT_EQ(clipped.err, "qb32-render: warning: beams 1, 2, 3, 4, 5, 6, 7, 8 peak above full scale (up to " + std::string(said) +
                               "): the 24-bit FLAC output clips them (.wav keeps floats)\n");
    for (const auto& beam : readFile(dir.file("loud.flac")))
        for (float v : beam) ASSERT_LE(std::fabs(v), 1.0f);
}

TEST_F(ToolPrograms, SimWarnsPastFullScaleAndNormalizes) {
    const std::string loud = "elev=60,azim=30,signal=sine:900,gain=40";
    const ProgramRun plain = runProgram(simTool, {"-o", dir.file("loud.wav"), "--duration", "0.3", "--source", loud}, dir);
    ASSERT_EQ(plain.status, 0) << plain.err;
    const Channels raw = readFile(dir.file("loud.wav"));
    double peak = 0.0;
    for (const auto& c : raw)
        for (float v : c) peak = std::max(peak, double(std::fabs(v)));
    char said[32];
    std::snprintf(said, sizeof said, "%+.1f dBFS", 20.0 * std::log10(peak));
    EXPECT_TRUE(contains(plain.err, "qb32-sim: warning: the capsule signals peak at " + std::string(said))) << plain.err;
    EXPECT_GT(peak, 10.0);  // a sine peaking at -12 dBFS, 40 dB up, on a sphere that adds up to 6 dB

    const ProgramRun normal = runProgram(simTool, {"-o", dir.file("normal.wav"), "--duration", "0.3", "--normalize", "--source", loud}, dir);
    ASSERT_EQ(normal.status, 0) << normal.err;
    EXPECT_EQ(normal.err, "");
    const Channels scaled = readFile(dir.file("normal.wav"));
    double scaledPeak = 0.0;
    for (const auto& c : scaled)
        for (float v : c) scaledPeak = std::max(scaledPeak, double(std::fabs(v)));
    EXPECT_NEAR(20.0 * std::log10(scaledPeak), -1.0, 0.001);
    // The same signals, scaled: the second pass reproduced the first.
    const double factor = scaledPeak / peak;
    for (std::size_t q = 0; q < raw.size(); q += 5)
        for (std::size_t i = 0; i < raw[q].size(); i += 97) EXPECT_NEAR(scaled[q][i], raw[q][i] * factor, 1e-6) << q << " " << i;

    // A file source sets the length and a sweep spans it: the measuring pass
    // and the written one must generate the same sweep.
    const ProgramRun mixed = runProgram(simTool, {"-o", dir.file("mixed.wav"), "--normalize", "--source",
                                                  "elev=90,azim=0,signal=file:" + dir.file("mono.wav"), "--source",
                                                  "elev=0,azim=90,signal=sweep:100:15000,gain=20"}, dir);
    ASSERT_EQ(mixed.status, 0) << mixed.err;
    double mixedPeak = 0.0;
    for (const auto& c : readFile(dir.file("mixed.wav")))
        for (float v : c) mixedPeak = std::max(mixedPeak, double(std::fabs(v)));
    EXPECT_NEAR(20.0 * std::log10(mixedPeak), -1.0, 0.001);
}

}  // namespace
}  // namespace qb32::tools
