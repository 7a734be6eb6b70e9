#pragma once
// Safe output files for the command-line tools.
//
// OutputFile: one output, written so that no run loses data.
// - A regular file (or a missing one) is written to a partial file beside
//   it, ".NAME.partial-XXXXXX", and renamed over it only by commit(), so the
//   old file stays whole until the new one is complete. A symbolic link is
//   followed: the file it names is replaced and the link stays. An existing
//   file keeps its permission bits.
// - A device (/dev/null, a disk) is opened and written directly, never
//   replaced; nothing is removed if the run fails.
// - A pipe or a socket is refused (sound files need a seekable output), as
//   is a directory.
// States: closed -> open (descriptor available) -> committed or aborted.
// abort() and the destructor remove the partial file.
//
// PartialFiles: every partial file is registered from its creation to its
// rename or removal. armSignalHandlers() (runTool calls it) makes SIGINT,
// SIGTERM, SIGHUP, SIGQUIT and SIGABRT remove the registered files (unlink
// of paths prepared beforehand: async-signal-safe) and then end the process
// by the same signal with its default action, so the exit status still tells
// the signal. Signals ignored at start (nohup) stay ignored. SIGXFSZ is
// ignored, so a write past a file-size limit fails with "File too large"
// and takes the ordinary error path instead of killing the tool.
//
// checkOutputPath(): the checks made before anything is read: the output is
// not one of the inputs (same file after resolving links, or the same device
// and inode), not a directory, not a pipe.
//
// Errors: one-line messages, no exceptions. Not for real-time use.

#include <string>
#include <vector>

namespace qb32::tools {

enum class OutputKind { missing, regular, directory, pipe, device };
OutputKind outputKind(const std::string& path);

// True when both paths name one existing file.
bool sameFile(const std::string& a, const std::string& b);

// Answers exitOk, or exitUsage (the output is an input) or exitOutput (a
// directory or a pipe) with a one-line message.
int checkOutputPath(const std::string& output, const std::vector<std::string>& inputs, std::string& error);

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool open(const std::string& path, std::string& error);
    // The open descriptor, owned here: commit() and abort() close it.
    [[nodiscard]] int descriptor() const noexcept { return fd; }
    bool commit(std::string& error);
    void abort() noexcept;

private:
    int fd = -1;
    int registration = -1;
    bool isDevice = false;
    std::string shownPath, finalPath, partialPath;
};

// A scratch file a tool writes and reads back: removed when it goes out of
// scope, and on a fatal signal.
class ScratchFile {
public:
    explicit ScratchFile(std::string path);
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    [[nodiscard]] const std::string& path() const noexcept { return name; }

private:
    std::string name;
    int registration;
};

// Writes a whole text file through an OutputFile.
bool writeTextFile(const std::string& path, const std::string& text, std::string& error);

class PartialFiles {
public:
    static void armSignalHandlers();
    // Registers a path for removal on a fatal signal; answers a slot (-1
    // when every slot is taken: the file is then only removed on the
    // ordinary paths).
    static int add(const std::string& path) noexcept;
    static void forget(int slot) noexcept;
    static constexpr int capacity = 64;
};

}  // namespace qb32::tools
