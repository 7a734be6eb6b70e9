#pragma once
// Shared set-up of the tools' tests: a scratch folder, simulated array
// recordings written as files, and files read back whole.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tools/common/SoundFile.h"
#include "tools/sim/ArraySimulator.h"

namespace qb32::tools::testing {

using Channels = std::vector<std::vector<float>>;

// A folder removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qb32-tools-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    [[nodiscard]] std::string file(const std::string& name) const { return path + "/" + name; }
    // Every entry of the folder (temporary files included).
    [[nodiscard]] std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(path)) names.push_back(e.path().filename().string());
        return names;
    }
    std::string path;
};

inline void writeFile(const std::string& path, const Channels& channels, int rate) {
    SoundFileWriter w;
    ASSERT_TRUE(w.open(path, static_cast<int>(channels.size()), rate)) << w.error();
    std::vector<const float*> ptr;
    for (const auto& c : channels) ptr.push_back(c.data());
    ASSERT_TRUE(w.write(ptr.data(), static_cast<std::int64_t>(channels[0].size()))) << w.error();
    ASSERT_TRUE(w.commit()) << w.error();
}

inline Channels readFile(const std::string& path, int* rate = nullptr) {
    SoundFileReader r;
    EXPECT_TRUE(r.open(path)) << r.error();
    Channels channels(static_cast<std::size_t>(r.channels()), std::vector<float>(static_cast<std::size_t>(r.frames())));
    std::vector<float*> ptr;
    for (auto& c : channels) ptr.push_back(c.data());
    EXPECT_EQ(r.read(ptr.data(), r.frames()), r.frames());
    if (rate != nullptr) *rate = static_cast<int>(r.sampleRate_hz());
    return channels;
}

// The 32 capsule signals of plane waves from `directions`, source s
// producing signal(s, n) at sample n.
inline Channels simulateScene(double rate, const std::vector<Direction>& directions, int frames,
                              const std::function<float(int source, int n)>& signal) {
    ArraySimulator sim(rate, directions);
    Channels out(capsuleCount);
    int pos = 0;
    simulate(
        sim, frames,
        [&](float* const* s, int n) {
            for (int k = 0; k < sim.sourceCount(); ++k)
                for (int i = 0; i < n; ++i) s[k][i] = signal(k, pos + i);
            pos += n;
        },
        [&](const float* const* c, int n) {
            for (int q = 0; q < capsuleCount; ++q)
                out[static_cast<std::size_t>(q)].insert(out[static_cast<std::size_t>(q)].end(), c[q], c[q] + n);
            return true;
        });
    return out;
}

inline double rmsDb(const std::vector<float>& x, std::size_t from, std::size_t to) {
    double s = 0.0;
    for (std::size_t i = from; i < to; ++i) s += double(x[i]) * x[i];
    return 10.0 * std::log10(s / static_cast<double>(to - from) + 1e-300);
}

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Starts a program with `arguments` (no shell), in `directory` when given,
// its standard output and error going to the named files, its input from
// /dev/null; answers its process id.
inline pid_t startProgram(const std::string& program, const std::vector<std::string>& arguments, const std::string& directory,
                          const std::string& outFile, const std::string& errFile) {
    std::vector<std::string> all{program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!directory.empty() && ::chdir(directory.c_str()) != 0) ::_exit(126);
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    return pid;
}

// How a program ended and what it printed.
struct ProgramRun {
    int status = -1;  // exit status, or -1 when a signal ended it
    int signal = 0;
    std::string out, err;
};

inline ProgramRun waitProgram(pid_t pid, const std::string& outFile, const std::string& errFile) {
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    ProgramRun run;
    if (WIFEXITED(raw)) run.status = WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) run.signal = WTERMSIG(raw);
    run.out = readText(outFile);
    run.err = readText(errFile);
    std::remove(outFile.c_str());
    std::remove(errFile.c_str());
    return run;
}

// Runs a program to its end; the captured streams live beside `scratch`
// (a folder), not in it.
inline ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments, const TempDir& scratch,
                             const std::string& directory = "") {
    const std::string base = scratch.path + ".run";
    return waitProgram(startProgram(program, arguments, directory, base + ".out", base + ".err"), base + ".out", base + ".err");
}

inline double sine(double f, double rate, int n) { return std::sin(2.0 * 3.141592653589793 * f * n / rate); }

}  // namespace qb32::tools::testing
