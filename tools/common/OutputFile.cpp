#include "tools/common/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/common/ExitStatus.h"

namespace qb32::tools {

namespace {

std::string systemError() { return std::strerror(errno); }

std::string directoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string fileNameOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string resolved(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

// ---- the registry of partial files, read by the signal handler -------------------------------

// State of a slot: free, being written (the handler skips it), armed.
enum : int { slotFree = 0, slotFilling = 1, slotArmed = 2 };
struct Slot {
    std::atomic<int> state{slotFree};
    char path[PATH_MAX];
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the slots' states");
Slot slots[PartialFiles::capacity];

extern "C" void removePartialFilesAndDie(int signal) {
    // Only async-signal-safe calls: unlink, signal, raise.
    for (auto& s : slots)
        if (s.state.load(std::memory_order_acquire) == slotArmed) ::unlink(s.path);
    ::signal(signal, SIG_DFL);
    // The signal stays blocked until the handler returns; then the default
    // action ends the process, and the parent sees the signal.
    ::raise(signal);
}

}  // namespace

void PartialFiles::armSignalHandlers() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT}) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = removePartialFilesAndDie;
        sigemptyset(&action.sa_mask);
        ::sigaction(sig, &action, nullptr);
    }
    ::signal(SIGXFSZ, SIG_IGN);
}

int PartialFiles::add(const std::string& path) noexcept {
    if (path.size() >= PATH_MAX) return -1;
    for (int i = 0; i < capacity; ++i) {
        int expected = slotFree;
        if (!slots[i].state.compare_exchange_strong(expected, slotFilling, std::memory_order_acq_rel)) continue;
        std::memcpy(slots[i].path, path.c_str(), path.size() + 1);
        slots[i].state.store(slotArmed, std::memory_order_release);
        return i;
    }
    return -1;
}

void PartialFiles::forget(int slot) noexcept {
    if (slot >= 0 && slot < capacity) slots[slot].state.store(slotFree, std::memory_order_release);
}

// ---- paths -----------------------------------------------------------------------------------------

OutputKind outputKind(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return OutputKind::missing;
    if (S_ISREG(st.st_mode)) return OutputKind::regular;
    if (S_ISDIR(st.st_mode)) return OutputKind::directory;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return OutputKind::pipe;
    return OutputKind::device;
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    if (sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino) return true;
    const std::string ra = resolved(a);
    return !ra.empty() && ra == resolved(b);
}

int checkOutputPath(const std::string& output, const std::vector<std::string>& inputs, std::string& error) {
    for (const auto& input : inputs) {
        if (!input.empty() && sameFile(output, input)) {
            error = "the output '" + output + "' is the input '" + input + "': choose another output file";
            return exitUsage;
        }
    }
    switch (outputKind(output)) {
        case OutputKind::directory:
            error = "cannot write '" + output + "': it is a directory";
            return exitOutput;
        case OutputKind::pipe:
            error = "cannot write '" + output + "': it is a pipe or a socket; sound files need a seekable output "
                    "(a file or a device)";
            return exitOutput;
        default: return exitOk;
    }
}

// ---- one output file -------------------------------------------------------------------------------

OutputFile::~OutputFile() { abort(); }

bool OutputFile::open(const std::string& path, std::string& error) {
    abort();
    shownPath = path;
    isDevice = false;
    const OutputKind kind = outputKind(path);
    if (kind == OutputKind::directory || kind == OutputKind::pipe) {
        checkOutputPath(path, {}, error);
        return false;
    }
    if (kind == OutputKind::device) {
        // Written in place: a device is never replaced nor removed.
        fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            error = "cannot write '" + path + "': " + systemError();
            return false;
        }
        isDevice = true;
        return true;
    }
    // A link keeps pointing at the new file: the file it names is replaced.
    finalPath = path;
    mode_t mode = 0;
    struct stat st {};
    if (kind == OutputKind::regular && ::stat(path.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
        struct stat link {};
        if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            const std::string target = resolved(path);
            if (!target.empty()) finalPath = target;
        }
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    // Beside the destination, so that the final rename stays on one file
    // system and is atomic.
    std::string pattern = directoryOf(finalPath) + "/." + fileNameOf(finalPath) + ".partial-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot write '" + path + "': " + systemError();
        return false;
    }
    partialPath = name.data();
    registration = PartialFiles::add(partialPath);
    ::fchmod(fd, mode);
    return true;
}

bool OutputFile::commit(std::string& error) {
    if (fd >= 0) {
        const int closed = ::close(fd);
        fd = -1;
        if (closed != 0) {
            error = "cannot write '" + shownPath + "': " + systemError();
            abort();
            return false;
        }
    }
    if (isDevice || partialPath.empty()) return true;
    if (std::rename(partialPath.c_str(), finalPath.c_str()) != 0) {
        error = "cannot write '" + shownPath + "': " + systemError();
        abort();
        return false;
    }
    // Forgotten only now: a signal between the rename and here unlinks a
    // name that no longer exists, which is harmless.
    PartialFiles::forget(registration);
    registration = -1;
    partialPath.clear();
    return true;
}

void OutputFile::abort() noexcept {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    if (!partialPath.empty()) {
        ::unlink(partialPath.c_str());
        partialPath.clear();
    }
    PartialFiles::forget(registration);
    registration = -1;
}

ScratchFile::ScratchFile(std::string path) : name(std::move(path)), registration(PartialFiles::add(name)) {}

ScratchFile::~ScratchFile() {
    ::unlink(name.c_str());
    PartialFiles::forget(registration);
}

bool writeTextFile(const std::string& path, const std::string& text, std::string& error) {
    OutputFile file;
    if (!file.open(path, error)) return false;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(file.descriptor(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = "cannot write '" + path + "': " + systemError();
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return file.commit(error);
}

}  // namespace qb32::tools
