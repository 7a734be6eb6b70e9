#include "tools/common/SoundFile.h"

#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qb32::tools {

namespace {

std::string systemError() { return std::strerror(errno); }

// The directory part of a path ("." when there is none).
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

}  // namespace

// ---- reader -----------------------------------------------------------------------------

SoundFileReader::~SoundFileReader() {
    if (file != nullptr) sf_close(file);
}

bool SoundFileReader::open(const std::string& path) {
    if (file != nullptr) {
        sf_close(file);
        file = nullptr;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        message = "cannot open '" + path + "': " + systemError();
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        message = "cannot open '" + path + "': it is a directory";
        return false;
    }
    SF_INFO info{};
    file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        message = "cannot read '" + path + "': " + sf_strerror(nullptr);
        return false;
    }
    channelCount = info.channels;
    rate_hz = info.samplerate;
    frameCount = info.frames;
    return true;
}

std::int64_t SoundFileReader::read(float* const* planar, std::int64_t frames) {
    if (file == nullptr || frames <= 0) return 0;
    interleaved.resize(static_cast<std::size_t>(frames * channelCount));
    const sf_count_t got = sf_readf_float(file, interleaved.data(), frames);
    if (got < 0 || (got < frames && sf_error(file) != SF_ERR_NO_ERROR)) {
        message = std::string("read error: ") + sf_strerror(file);
        return 0;
    }
    for (int c = 0; c < channelCount; ++c) {
        float* dst = planar[c];
        const float* src = interleaved.data() + c;
        for (sf_count_t i = 0; i < got; ++i) dst[i] = src[i * channelCount];
    }
    return got;
}

// ---- writer -----------------------------------------------------------------------------

SoundFileWriter::~SoundFileWriter() { abort(); }

bool SoundFileWriter::fail(const std::string& what) {
    if (message.empty()) message = what;
    abort();
    return false;
}

bool SoundFileWriter::open(const std::string& path, int channels, int sampleRate_hz) {
    abort();
    message.clear();
    finalPath = path;
    channelCount = channels;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return fail("cannot write '" + path + "': it is a directory");

    // The temporary file sits beside the destination so that the final rename
    // stays on one file system and is atomic.
    std::string pattern = directoryOf(path) + "/." + fileNameOf(path) + ".partial-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) return fail("cannot write '" + path + "': " + systemError());
    tempPath = name.data();
    // mkstemp creates the file for the owner only; give it the usual rights.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);

    SF_INFO info{};
    info.channels = channels;
    info.samplerate = sampleRate_hz;
    info.format = SF_FORMAT_RF64 | SF_FORMAT_FLOAT;
    file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (file == nullptr) {
        ::close(fd);
        return fail("cannot write '" + path + "': " + sf_strerror(nullptr));
    }
    // Plain WAV unless the data outgrow 4 GB.
    sf_command(file, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    return true;
}

bool SoundFileWriter::write(const float* const* planar, std::int64_t frames) {
    if (file == nullptr) return fail("cannot write '" + finalPath + "': file is not open");
    if (frames <= 0) return true;
    interleaved.resize(static_cast<std::size_t>(frames * channelCount));
    for (int c = 0; c < channelCount; ++c) {
        const float* src = planar[c];
        float* dst = interleaved.data() + c;
        for (std::int64_t i = 0; i < frames; ++i) dst[i * channelCount] = src[i];
    }
    errno = 0;
    const sf_count_t put = sf_writef_float(file, interleaved.data(), frames);
    if (put != frames) {
        const std::string why = errno != 0 ? systemError() : std::string(sf_strerror(file));
        return fail("cannot write '" + finalPath + "': " + why);
    }
    return true;
}

bool SoundFileWriter::commit() {
    if (file == nullptr) return fail("cannot write '" + finalPath + "': file is not open");
    errno = 0;
    sf_write_sync(file);
    const int closed = sf_close(file);
    file = nullptr;
    if (closed != 0) {
        const std::string why = errno != 0 ? systemError() : std::string(sf_error_number(closed));
        return fail("cannot write '" + finalPath + "': " + why);
    }
    if (std::rename(tempPath.c_str(), finalPath.c_str()) != 0)
        return fail("cannot write '" + finalPath + "': " + systemError());
    tempPath.clear();
    return true;
}

void SoundFileWriter::abort() {
    if (file != nullptr) {
        sf_close(file);
        file = nullptr;
    }
    if (!tempPath.empty()) {
        ::unlink(tempPath.c_str());
        tempPath.clear();
    }
}

// ---- planar buffer ---------------------------------------------------------------------

void PlanarBuffer::resize(int channels, std::int64_t frames) {
    data.assign(static_cast<std::size_t>(channels), std::vector<float>(static_cast<std::size_t>(frames)));
    ptrs.clear();
    for (auto& c : data) ptrs.push_back(c.data());
    shifted.assign(ptrs.size(), nullptr);
    length = frames;
}

void PlanarBuffer::clear() {
    for (auto& c : data) std::fill(c.begin(), c.end(), 0.0f);
}

float** PlanarBuffer::pointersAt(std::int64_t offset) {
    for (std::size_t c = 0; c < ptrs.size(); ++c) shifted[c] = ptrs[c] + offset;
    return shifted.data();
}

}  // namespace qb32::tools
