#include "tools/common/SoundFile.h"
#include "tools/common/TextParsing.h"

#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qb32::tools {

namespace {

std::string systemError() { return std::strerror(errno); }

// ".wav" for "dir/take.WAV"; empty without an extension.
std::string extensionOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    if (dot == 0 || (slash != std::string::npos && dot == slash + 1)) return {};  // ".hidden"
    return lower(path.substr(dot));
}

struct Container {
    const char* extensions[3];
    const char* name;
    int format;
    int maxChannels;
    std::int64_t maxBytes;  // of sample data; 0: no limit
};
// FLAC stores integers (24 bits here) and at most 8 channels; AIFF counts
// its bytes in 32 bits.
constexpr std::int64_t fourGigabytes = (std::int64_t{1} << 32) - 65536;
const Container containers[] = {
    {{".wav", ".wave", ""}, "WAV", SF_FORMAT_RF64 | SF_FORMAT_FLOAT, 1024, 0},
    {{".rf64", "", ""}, "RF64", SF_FORMAT_RF64 | SF_FORMAT_FLOAT, 1024, 0},
    {{".w64", "", ""}, "W64", SF_FORMAT_W64 | SF_FORMAT_FLOAT, 1024, 0},
    {{".caf", "", ""}, "CAF", SF_FORMAT_CAF | SF_FORMAT_FLOAT, 1024, 0},
    {{".aif", ".aiff", ".aifc"}, "AIFF", SF_FORMAT_AIFF | SF_FORMAT_FLOAT, 1024, fourGigabytes},
    {{".flac", "", ""}, "FLAC", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 8, 0},
};

const Container* containerFor(const std::string& path, int channels, std::string& error) {
    const std::string extension = extensionOf(path);
    if (extension.empty()) return &containers[0];
    for (const auto& c : containers) {
        bool match = false;
        for (const char* e : c.extensions) match = match || (*e != '\0' && extension == e);
        if (!match) continue;
        if (channels > c.maxChannels) {
            error = "cannot write '" + path + "': " + c.name + " holds at most " + std::to_string(c.maxChannels) +
                    " channels, not " + std::to_string(channels) + " (use .wav, .rf64, .w64, .caf or .aiff)";
            return nullptr;
        }
        return &c;
    }
    error = "cannot write '" + path + "': unknown output format '" + extension +
            "' (use .wav, .rf64, .w64, .caf, .aiff, or .flac for up to 8 channels)";
    return nullptr;
}

}  // namespace

bool outputContainer(const std::string& path, int channels, std::string& name, std::string& error) {
    const Container* c = containerFor(path, channels, error);
    if (c == nullptr) return false;
    name = c->name;
    return true;
}

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
    format = info.format;
    return true;
}

std::string SoundFileReader::container() const {
    switch (format & SF_FORMAT_TYPEMASK) {
        case SF_FORMAT_WAV: return "WAV";
        case SF_FORMAT_RF64: return "RF64";
        case SF_FORMAT_W64: return "W64";
        case SF_FORMAT_CAF: return "CAF";
        case SF_FORMAT_AIFF: return "AIFF";
        case SF_FORMAT_FLAC: return "FLAC";
        default: return "other";
    }
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
    std::string why;
    const Container* container = containerFor(path, channels, why);
    if (container == nullptr) return fail(why);
    if (!output.open(path, why)) return fail(why);
    bytesLeft = container->maxBytes > 0 ? container->maxBytes : INT64_MAX;

    SF_INFO info{};
    info.channels = channels;
    info.samplerate = sampleRate_hz;
    info.format = container->format;
    // The descriptor stays the OutputFile's: it closes it (and reports a
    // failing close) on commit.
    file = sf_open_fd(output.descriptor(), SFM_WRITE, &info, SF_FALSE);
    if (file == nullptr) return fail("cannot write '" + path + "': " + sf_strerror(nullptr));
    // Plain WAV unless the data outgrow 4 GB.
    if (extensionOf(path) != ".rf64") sf_command(file, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    // Integer containers clip samples beyond full scale instead of wrapping them.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    return true;
}

bool SoundFileWriter::write(const float* const* planar, std::int64_t frames) {
    if (file == nullptr) return fail("cannot write '" + finalPath + "': file is not open");
    if (frames <= 0) return true;
    const std::int64_t bytes = frames * channelCount * static_cast<std::int64_t>(sizeof(float));
    if (bytes > bytesLeft)
        return fail("cannot write '" + finalPath + "': AIFF holds at most 4 GB (use .wav, .w64 or .caf for longer files)");
    bytesLeft -= bytes;
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
    std::string why;
    if (!output.commit(why)) return fail(why);
    return true;
}

void SoundFileWriter::abort() {
    if (file != nullptr) {
        sf_close(file);
        file = nullptr;
    }
    output.abort();
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
