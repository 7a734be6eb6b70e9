#pragma once
// Sound-file reading and writing for the command-line tools, on libsndfile.
//
// SoundFileReader streams any format libsndfile reads (WAV, RF64, W64, FLAC,
// CAF, ...) in blocks, as planar 32-bit float channels (integer formats
// scaled to -1..1), so memory stays constant whatever the file's length.
//
// SoundFileWriter writes the container that the output's extension names
// (outputContainer()): .wav (or no extension) 32-bit float WAV, opened as
// RF64 with automatic downgrade so that it is plain WAV unless it grows past
// 4 GB; .rf64 always RF64; .w64 Sony Wave64 and .caf Core Audio, 32-bit
// float; .aif/.aiff 32-bit float AIFF-C, at most 4 GB; .flac 24-bit FLAC,
// at most 8 channels, samples beyond full scale clipped. Any other extension
// is refused. It writes through an OutputFile (OutputFile.h): a partial file
// renamed into place only by commit(), so an error, an abort(), a destruction
// without commit() or a fatal signal never leaves a partial output behind;
// devices are written directly, pipes refused.
//
// Errors: every operation answers false (or 0 frames) and leaves a one-line
// message in error(); no exceptions. Write errors (disk full, file-size
// limits) are sticky: once a write fails, commit() fails too.
//
// Not for real-time use: everything here makes system calls.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/OutputFile.h"

struct sf_private_tag;

namespace qb32::tools {

// The container for an output path: its name ("WAV", "FLAC", ...), or false
// with a one-line message naming the extensions that would work.
bool outputContainer(const std::string& path, int channels, std::string& name, std::string& error);

class SoundFileReader {
public:
    SoundFileReader() = default;
    ~SoundFileReader();
    SoundFileReader(const SoundFileReader&) = delete;
    SoundFileReader& operator=(const SoundFileReader&) = delete;

    bool open(const std::string& path);
    [[nodiscard]] int channels() const noexcept { return channelCount; }
    [[nodiscard]] double sampleRate_hz() const noexcept { return rate_hz; }
    [[nodiscard]] std::int64_t frames() const noexcept { return frameCount; }
    // "WAV", "RF64", "W64", "CAF", "AIFF", "FLAC", or "other".
    [[nodiscard]] std::string container() const;
    // Reads up to `frames` frames into `channels()` planar arrays; answers the
    // number read (0 at the end or on error; see error()).
    std::int64_t read(float* const* planar, std::int64_t frames);
    [[nodiscard]] const std::string& error() const noexcept { return message; }

private:
    sf_private_tag* file = nullptr;
    int channelCount = 0;
    double rate_hz = 0.0;
    std::int64_t frameCount = 0;
    int format = 0;
    std::vector<float> interleaved;
    std::string message;
};

class SoundFileWriter {
public:
    SoundFileWriter() = default;
    ~SoundFileWriter();  // aborts unless committed
    SoundFileWriter(const SoundFileWriter&) = delete;
    SoundFileWriter& operator=(const SoundFileWriter&) = delete;

    bool open(const std::string& path, int channels, int sampleRate_hz);
    bool write(const float* const* planar, std::int64_t frames);
    bool commit();  // closes the file and renames it into place
    void abort();   // closes and removes the partial file
    [[nodiscard]] const std::string& error() const noexcept { return message; }
    [[nodiscard]] const std::string& path() const noexcept { return finalPath; }

private:
    bool fail(const std::string& what);
    sf_private_tag* file = nullptr;
    int channelCount = 0;
    std::string finalPath;
    OutputFile output;
    std::int64_t bytesLeft = 0;  // before the container's size limit
    std::vector<float> interleaved;
    std::string message;
};

// A planar block of float audio: `channels` arrays of `frames` samples, with
// the pointer array the processing functions take.
struct PlanarBuffer {
    PlanarBuffer() = default;
    PlanarBuffer(int channels, std::int64_t frames) { resize(channels, frames); }
    void resize(int channels, std::int64_t frames);
    void clear();  // zero every sample
    [[nodiscard]] int channels() const noexcept { return static_cast<int>(data.size()); }
    [[nodiscard]] std::int64_t frames() const noexcept { return length; }
    float** pointers() noexcept { return ptrs.data(); }
    // Pointers advanced by `offset` frames.
    float** pointersAt(std::int64_t offset);

    std::vector<std::vector<float>> data;
    std::vector<float*> ptrs;
    std::vector<float*> shifted;
    std::int64_t length = 0;
};

}  // namespace qb32::tools
