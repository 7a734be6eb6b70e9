#include "tools/render/Renderer.h"

#include <soxr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "framework/SampleRates.h"
#include "tools/common/SoundFile.h"
#include "tools/common/TextParsing.h"

namespace qb32::tools {

namespace {

std::string joinNames(const std::vector<std::string>& names) {
    std::string all;
    for (const auto& n : names) all += (all.empty() ? "" : ", ") + n;
    return all;
}

bool findPattern(const std::string& name, const std::vector<std::string>& names, int& index, std::string& error) {
    const auto it = std::find(names.begin(), names.end(), lower(trim(name)));
    if (it == names.end()) {
        error = "unknown pattern '" + trim(name) + "' (valid: " + joinNames(names) + ")";
        return false;
    }
    index = static_cast<int>(it - names.begin());
    return true;
}

bool parseDegrees(const std::string& text, bool elevation, int& degrees, std::string& error) {
    double v = 0.0;
    if (!parseNumber(text, v)) {
        error = "'" + trim(text) + "' is not a number of degrees";
        return false;
    }
    if (elevation && (v < 0.0 || v > 180.0)) {
        error = "elevation " + trim(text) + " is outside 0..180 degrees";
        return false;
    }
    if (!elevation && std::fabs(v) > 1e6) {
        error = "azimuth " + trim(text) + " is out of range";
        return false;
    }
    degrees = static_cast<int>(std::lround(v));
    return true;
}

bool parseKind(const std::string& text, ParameterKind& kind) {
    const std::string t = lower(trim(text));
    if (t == "elev" || t == "elevation") kind = elevationKind;
    else if (t == "azim" || t == "azimuth") kind = azimuthKind;
    else if (t == "pattern") kind = patternKind;
    else if (t == "status") kind = statusKind;
    else return false;
    return true;
}

bool parseOnOff(const std::string& text, bool& on) {
    const std::string t = lower(trim(text));
    if (t == "on" || t == "1") on = true;
    else if (t == "off" || t == "0") on = false;
    else return false;
    return true;
}

double toDbfs(double amplitude) { return amplitude > 0.0 ? 20.0 * std::log10(amplitude) : -HUGE_VAL; }

// The sample a time falls on. Times past any file's length saturate rather
// than overflow the conversion (1e20 s would otherwise land on sample 0).
std::int64_t sampleAt(double time_s, double rate_hz) {
    const double sample = std::round(time_s * rate_hz);
    return sample < 9.0e18 ? static_cast<std::int64_t>(sample) : INT64_MAX;
}

// ---- resampling --------------------------------------------------------------------------

using Consumer = std::function<bool(float* const* data, std::int64_t frames)>;

class Resampler {
public:
    Resampler() = default;
    ~Resampler() {
        if (state != nullptr) soxr_delete(state);
    }
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    bool create(double from_hz, double to_hz, int channelCount, std::string& error) {
        soxr_error_t e = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        state = soxr_create(from_hz, to_hz, static_cast<unsigned>(channelCount), &e, &io, &quality, nullptr);
        if (state == nullptr || e != nullptr) {
            error = std::string("cannot set up the sample-rate converter: ") + (e ? e : "unknown error");
            return false;
        }
        out.resize(channelCount, capacity);
        in.resize(static_cast<std::size_t>(channelCount));
        return true;
    }

    // Feeds `frames` frames (null: end of input, flushes) and hands every
    // produced piece to `consume`.
    bool push(float* const* data, std::int64_t frames, const Consumer& consume) {
        std::int64_t done = 0;
        while (true) {
            std::size_t used = 0, produced = 0;
            soxr_error_t e;
            if (data != nullptr) {
                for (std::size_t c = 0; c < in.size(); ++c) in[c] = data[c] + done;
                e = soxr_process(state, in.data(), static_cast<std::size_t>(frames - done), &used,
                                 out.pointers(), capacity, &produced);
            } else {
                e = soxr_process(state, nullptr, 0, nullptr, out.pointers(), capacity, &produced);
            }
            if (e != nullptr) return false;
            done += static_cast<std::int64_t>(used);
            if (produced > 0 && !consume(out.pointers(), static_cast<std::int64_t>(produced))) return false;
            if (data != nullptr && done >= frames && produced < capacity) return true;
            if (data == nullptr && produced == 0) return true;
        }
    }

private:
    static constexpr std::size_t capacity = 8192;
    soxr_t state = nullptr;
    PlanarBuffer out;
    std::vector<const float*> in;
};

// ---- the stage after the plug-in ------------------------------------------------------------

class OutputStage {
public:
    bool open(const RenderOptions& options, int rate_hz, std::string& error, std::vector<std::string>& names) {
        const int files = options.split ? beamCount : 1;
        writers.resize(static_cast<std::size_t>(files));
        for (int f = 0; f < files; ++f) {
            const std::string name = options.split ? splitFileName(options.output, f) : options.output;
            auto& w = writers[static_cast<std::size_t>(f)];
            w = std::make_unique<SoundFileWriter>();
            if (!w->open(name, options.split ? 1 : beamCount, rate_hz)) {
                error = w->error();
                return false;
            }
            names.push_back(name);
        }
        sumSquares.assign(beamCount, 0.0);
        peaks.assign(beamCount, 0.0);
        return true;
    }

    void setDrop(std::int64_t frames) { toDrop = frames; }
    void useResampler(std::unique_ptr<Resampler> r) { back = std::move(r); }
    void setLimit(std::int64_t frames) { limit = frames; }

    // Plug-in output at the plug-in's rate.
    bool push(float* const* beams, std::int64_t frames) {
        const std::int64_t skip = std::min(toDrop, frames);
        toDrop -= skip;
        frames -= skip;
        if (frames <= 0) return true;
        for (int c = 0; c < beamCount; ++c) shifted[static_cast<std::size_t>(c)] = beams[c] + skip;
        if (back) return back->push(shifted.data(), frames, [this](float* const* d, std::int64_t n) { return write(d, n); });
        return write(shifted.data(), frames);
    }

    // End of the stream: flush the resampler, pad or cut to `limit` frames, commit.
    bool finish(std::string& error) {
        if (back && !back->push(nullptr, 0, [this](float* const* d, std::int64_t n) { return write(d, n); }))
            return failed(error);
        PlanarBuffer silence(beamCount, 4096);
        while (written < limit)
            if (!write(silence.pointers(), std::min<std::int64_t>(4096, limit - written))) return failed(error);
        for (auto& w : writers)
            if (!w->commit()) {
                error = w->error();
                return false;
            }
        return true;
    }

    bool failed(std::string& error) {
        for (auto& w : writers)
            if (!w->error().empty()) {
                error = w->error();
                return false;
            }
        error = "sample-rate conversion failed";
        return false;
    }

    [[nodiscard]] std::int64_t framesWritten() const { return written; }
    std::vector<double> sumSquares, peaks;

private:
    bool write(float* const* data, std::int64_t frames) {
        frames = std::min(frames, limit - written);
        if (frames <= 0) return true;
        for (int c = 0; c < beamCount; ++c) {
            double s = 0.0, p = peaks[static_cast<std::size_t>(c)];
            for (std::int64_t i = 0; i < frames; ++i) {
                const double v = data[c][i];
                s += v * v;
                p = std::max(p, std::fabs(v));
            }
            sumSquares[static_cast<std::size_t>(c)] += s;
            peaks[static_cast<std::size_t>(c)] = p;
        }
        if (writers.size() == 1) {
            if (!writers[0]->write(data, frames)) return false;
        } else {
            for (int c = 0; c < beamCount; ++c)
                if (!writers[static_cast<std::size_t>(c)]->write(&data[c], frames)) return false;
        }
        written += frames;
        return true;
    }

    std::vector<std::unique_ptr<SoundFileWriter>> writers;
    std::unique_ptr<Resampler> back;
    std::vector<float*> shifted = std::vector<float*>(beamCount);
    std::int64_t toDrop = 0;
    std::int64_t limit = INT64_MAX;
    std::int64_t written = 0;
};

// ---- the plug-in, driven as a host ------------------------------------------------------------

class HostStage {
public:
    HostStage(PluginHost& h, int block, std::vector<AutomationEvent> sorted, int rate_hz)
        : host(h), blockSize(block), events(std::move(sorted)) {
        for (auto& e : events) eventSamples.push_back(sampleAt(e.time_s, rate_hz));
    }

    // Runs the plug-in over `frames` frames at its rate, split into host
    // blocks and at every automation event; events apply while
    // `acceptEvents` (the input's own frames), so the alignment tail takes none.
    bool run(float* const* in, std::int64_t frames, bool acceptEvents, OutputStage& output) {
        if (out.frames() < frames) out.resize(beamCount, frames);
        std::int64_t pos = 0;
        while (pos < frames) {
            std::int64_t n = std::min<std::int64_t>(blockSize, frames - pos);
            if (acceptEvents) {
                while (next < events.size() && eventSamples[next] <= position) {
                    const auto& e = events[next++];
                    host.setParameter(parameterIndex(e.beam, e.kind), e.value);
                }
                if (next < events.size()) n = std::min(n, eventSamples[next] - position);
            }
            float* const* src = in;
            for (int c = 0; c < pluginInputs; ++c) inPtr[static_cast<std::size_t>(c)] = src[c] + pos;
            host.process(inPtr.data(), out.pointersAt(pos), static_cast<int>(n));
            pos += n;
            position += n;
        }
        return output.push(out.pointers(), frames);
    }

    [[nodiscard]] int pendingEvents() const { return static_cast<int>(events.size() - next); }

private:
    PluginHost& host;
    int blockSize;
    std::vector<AutomationEvent> events;
    std::vector<std::int64_t> eventSamples;
    std::size_t next = 0;
    std::int64_t position = 0;
    PlanarBuffer out;
    std::vector<float*> inPtr = std::vector<float*>(pluginInputs);
};

void drawProgress(std::FILE* log, std::int64_t done, std::int64_t total, double wall_s, double rate) {
    if (total <= 0) return;
    const double fraction = std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
    constexpr int width = 40;
    const int filled = static_cast<int>(fraction * width);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(width, '.');
    const double speed = wall_s > 0.0 ? static_cast<double>(done) / rate / wall_s : 0.0;
    std::fprintf(log, "\r[%s] %3d%%  %.1fx real time ", bar.c_str(), static_cast<int>(fraction * 100.0), speed);
    std::fflush(log);
}

}  // namespace

// ---- option parsing ----------------------------------------------------------------------------

bool parseBeamOption(const std::string& text, const std::vector<std::string>& patternNames, int& beam,
                     BeamRequest& request, std::string& error) {
    const std::string where = "--beam '" + text + "': ";
    const auto colon = text.find(':');
    long long n = 0;
    if (colon == std::string::npos || !parseInteger(text.substr(0, colon), n) || n < 1 || n > beamCount) {
        error = where + "expected N:elev=DEG,azim=DEG,pattern=NAME[,off] with N = 1..8";
        return false;
    }
    beam = static_cast<int>(n - 1);
    request = BeamRequest{};
    const std::string settings = text.substr(colon + 1);
    if (trim(settings).empty()) {
        error = where + "no settings after the beam number";
        return false;
    }
    for (const std::string& item : split(settings, ',')) {
        const auto eq = item.find('=');
        const std::string key = lower(trim(item.substr(0, eq)));
        const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        std::string why;
        bool on = true;
        int v = 0;
        if (eq == std::string::npos && parseOnOff(key, on) && (key == "on" || key == "off")) {
            request.on = on;
        } else if ((key == "elev" || key == "elevation") && eq != std::string::npos) {
            if (!parseDegrees(value, true, v, why)) return error = where + why, false;
            request.elevation_deg = v;
        } else if ((key == "azim" || key == "azimuth") && eq != std::string::npos) {
            if (!parseDegrees(value, false, v, why)) return error = where + why, false;
            request.azimuth_deg = v;
        } else if (key == "pattern" && eq != std::string::npos) {
            if (!findPattern(value, patternNames, v, why)) return error = where + why, false;
            request.pattern = v;
        } else if (key == "status" && eq != std::string::npos && parseOnOff(value, on)) {
            request.on = on;
        } else {
            error = where + "cannot read '" + item + "' (keys: elev=, azim=, pattern=, on, off)";
            return false;
        }
    }
    return true;
}

bool parseAutomation(const std::string& text, const std::string& fileName,
                     const std::vector<std::string>& patternNames, std::vector<AutomationEvent>& events,
                     std::string& error) {
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    bool first = true;
    while (std::getline(lines, line)) {
        ++number;
        const std::string t = trim(line);
        if (t.empty() || t[0] == '#') continue;
        const std::string where = fileName + ":" + std::to_string(number) + ": ";
        const auto fields = split(t, ',');
        if (first && lower(trim(fields[0])) == "time_s") {  // header
            first = false;
            continue;
        }
        first = false;
        if (fields.size() != 4) {
            error = where + "expected time_s,beam,parameter,value, found " + std::to_string(fields.size()) + " fields";
            return false;
        }
        AutomationEvent e;
        e.line = number;
        long long beam = 0;
        std::string why;
        if (!parseNumber(fields[0], e.time_s) || e.time_s < 0.0) {
            error = where + "time '" + trim(fields[0]) + "' is not a finite number of seconds >= 0";
            return false;
        }
        if (!parseInteger(fields[1], beam) || beam < 1 || beam > beamCount) {
            error = where + "beam '" + trim(fields[1]) + "' is not 1..8";
            return false;
        }
        e.beam = static_cast<int>(beam - 1);
        if (!parseKind(fields[2], e.kind)) {
            error = where + "unknown parameter '" + trim(fields[2]) + "' (valid: elev, azim, pattern, status)";
            return false;
        }
        int v = 0;
        bool on = true;
        switch (e.kind) {
            case elevationKind:
            case azimuthKind:
                if (!parseDegrees(fields[3], e.kind == elevationKind, v, why)) return error = where + why, false;
                e.value = e.kind == elevationKind ? elevationValue(v) : azimuthValue(v);
                break;
            case patternKind:
                if (!findPattern(fields[3], patternNames, v, why)) return error = where + why, false;
                e.value = patternValue(v, static_cast<int>(patternNames.size()));
                break;
            case statusKind:
                if (!parseOnOff(fields[3], on)) {
                    error = where + "status '" + trim(fields[3]) + "' is not on or off";
                    return false;
                }
                e.value = statusValue(on);
                break;
        }
        events.push_back(e);
    }
    // Equal times keep the file's order.
    std::stable_sort(events.begin(), events.end(),
                     [](const AutomationEvent& a, const AutomationEvent& b) { return a.time_s < b.time_s; });
    return true;
}

bool readAutomationFile(const std::string& path, const std::vector<std::string>& patternNames,
                        std::vector<AutomationEvent>& events, std::string& error) {
    std::ifstream file(path);
    if (!file) {
        error = "cannot open automation file '" + path + "'";
        return false;
    }
    std::stringstream all;
    all << file.rdbuf();
    if (file.bad()) {
        error = "cannot read automation file '" + path + "'";
        return false;
    }
    return parseAutomation(all.str(), path, patternNames, events, error);
}

std::string splitFileName(const std::string& output, int beam) {
    const auto slash = output.find_last_of('/');
    const auto dot = output.find_last_of('.');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    const std::string stem = hasExtension ? output.substr(0, dot) : output;
    const std::string extension = hasExtension ? output.substr(dot) : ".wav";
    return stem + "-beam" + std::to_string(beam + 1) + extension;
}

// ---- rendering ---------------------------------------------------------------------------------

int render(const RenderOptions& options, const ModuleFacts& facts, RenderReport& report, std::string& error) {
    const auto started = std::chrono::steady_clock::now();
    report = RenderReport{};
    SoundFileReader reader;
    if (!reader.open(options.input)) {
        error = reader.error();
        return exitInput;
    }
    if (options.channelMap.empty() && reader.channels() != pluginInputs) {
        error = "'" + options.input + "' has " + std::to_string(reader.channels()) +
                " channels; the array has 32 capsules, one per channel";
        return exitInput;
    }
    for (int c : options.channelMap)
        if (c >= reader.channels()) {
            error = "the channel map names channel " + std::to_string(c + 1) + " but '" + options.input + "' has " +
                    std::to_string(reader.channels());
            return exitInput;
        }
    if (reader.frames() == 0) {
        error = "'" + options.input + "' holds no audio (0 frames): nothing to render, nothing written";
        return exitInput;
    }
    const double rate = reader.sampleRate_hz();
    report.sampleRate_hz = rate;
    // The plug-in runs at the file's own rate when it has tables for it;
    // other rates are converted to 44100 Hz and back.
    const int pluginRate = sampleRates::isSupported(rate) ? static_cast<int>(rate) : engineRate_hz;
    report.pluginRate_hz = pluginRate;
    report.resampled = rate != pluginRate;
    if (report.resampled && !options.resample) {
        error = "'" + options.input + "' is at " + formatNumber(rate) +
                " Hz; the plug-in runs at 44.1, 48, 88.2, 96, 176.4 and 192 kHz (without --no-resample the file "
                "is converted to 44100 Hz)";
        return exitInput;
    }
    if (report.resampled && options.log != nullptr)
        std::fprintf(options.log, "qb32-render: the input is at %s Hz: converting it to 44100 Hz for the plug-in "
                                  "and the beams back to %s Hz (libsoxr, high quality)\n",
                     formatNumber(rate).c_str(), formatNumber(rate).c_str());
    ModuleFacts atRate = facts;
    if (facts.sampleRate_hz != pluginRate && !probeModule(options.modulePath, atRate, error, pluginRate))
        return exitModule;
    report.latency_samples = atRate.latency_samples;

    PluginHost host;
    if (!host.load(options.modulePath, error)) return exitModule;
    host.start(options.block_samples, pluginRate);
    host.selectProgram(options.program);
    const int patternCount = static_cast<int>(facts.patternNames.size());
    int glide_deg = 0;
    bool changed = false;
    for (int b = 0; b < beamCount; ++b) {
        const BeamRequest& r = options.beams[b];
        auto set = [&](ParameterKind kind, float value) {
            const int index = parameterIndex(b, kind);
            changed = changed || host.getParameter(index) != value;
            host.setParameter(index, value);
        };
        int glide = 0;
        if (r.elevation_deg) {
            glide += std::abs(*r.elevation_deg - static_cast<int>(host.getParameter(parameterIndex(b, elevationKind)) * 180.0f));
            set(elevationKind, elevationValue(*r.elevation_deg));
        }
        if (r.azimuth_deg) {
            glide += 360;  // whichever way round the glide goes
            set(azimuthKind, azimuthValue(*r.azimuth_deg));
        }
        glide_deg = std::max(glide_deg, glide);
        if (r.pattern) set(patternKind, patternValue(*r.pattern, patternCount));
        if (r.on) set(statusKind, statusValue(*r.on));
    }
    // Pre-roll: the plug-in glides to new directions (441 degrees per
    // second) and crossfades to new patterns (250 ms after the new filters
    // have filled). Running it on silence until that is over, and writing
    // nothing, makes the first output sample carry the requested beams; the
    // silence leaves every filter history at zero, as at a fresh start.
    if (changed) {
        const int preroll = sampleRates::scaledSamples(100 * glide_deg + 2 * 11025 + 2048, pluginRate) + glide_deg;
        PlanarBuffer silence(pluginInputs, options.block_samples), discard(pluginOutputs, options.block_samples);
        // The same length whatever the block size, so the output is too.
        for (int done = 0; done < preroll; done += options.block_samples)
            host.process(silence.pointers(), discard.pointers(), std::min(options.block_samples, preroll - done));
    }

    OutputStage output;
    if (!output.open(options, static_cast<int>(rate), error, report.outputs)) return exitOutput;
    if (options.align) output.setDrop(report.latency_samples);
    std::unique_ptr<Resampler> forth;
    if (report.resampled) {
        forth = std::make_unique<Resampler>();
        auto back = std::make_unique<Resampler>();
        if (!forth->create(rate, pluginRate, pluginInputs, error) ||
            !back->create(pluginRate, rate, beamCount, error))
            return exitInput;
        output.useResampler(std::move(back));
    }
    HostStage plugin(host, options.block_samples, options.automation, pluginRate);

    constexpr std::int64_t chunk = 8192;
    PlanarBuffer in(reader.channels(), chunk);
    // The capsules in the plug-in's order, through the channel map.
    std::vector<float*> capsules(pluginInputs);
    for (int q = 0; q < pluginInputs; ++q)
        capsules[static_cast<std::size_t>(q)] = in.pointers()[options.channelMap.empty() ? q : options.channelMap[static_cast<std::size_t>(q)]];
    std::int64_t read = 0;
    auto lastDrawn = started;
    auto toPlugin = [&](float* const* d, std::int64_t n) { return plugin.run(d, n, true, output); };
    while (true) {
        const std::int64_t n = reader.read(in.pointers(), chunk);
        if (n == 0) {
            if (!reader.error().empty()) {
                error = "'" + options.input + "': " + reader.error();
                return exitInput;
            }
            break;
        }
        read += n;
        const bool ok = forth ? forth->push(capsules.data(), n, toPlugin) : toPlugin(capsules.data(), n);
        if (!ok) return output.failed(error), exitOutput;
        const auto now = std::chrono::steady_clock::now();
        if (options.progress && options.log != nullptr && now - lastDrawn > std::chrono::milliseconds(200)) {
            drawProgress(options.log, read, reader.frames(), std::chrono::duration<double>(now - started).count(), rate);
            lastDrawn = now;
        }
    }
    output.setLimit(read);
    if (forth && !forth->push(nullptr, 0, toPlugin)) return output.failed(error), exitOutput;
    report.ignoredEvents = plugin.pendingEvents();
    if (options.align) {  // the tail that the latency holds back
        PlanarBuffer silence(pluginInputs, report.latency_samples);
        if (!plugin.run(silence.pointers(), report.latency_samples, false, output)) return output.failed(error), exitOutput;
    }
    if (!output.finish(error)) return exitOutput;

    report.frames = read;
    report.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // The last progress line shows the run's own speed, the summary's figure.
    if (options.progress && options.log != nullptr) {
        drawProgress(options.log, read, read, report.wall_s, rate);
        std::fputc('\n', options.log);
    }
    std::vector<bool> automated(beamCount, false);
    for (const auto& e : options.automation) automated[static_cast<std::size_t>(e.beam)] = true;
    for (int b = 0; b < beamCount; ++b) {
        BeamReport r;
        r.elevation = host.parameterDisplay(parameterIndex(b, elevationKind));
        r.azimuth = host.parameterDisplay(parameterIndex(b, azimuthKind));
        r.pattern = host.parameterDisplay(parameterIndex(b, patternKind));
        r.status = host.parameterDisplay(parameterIndex(b, statusKind));
        r.automated = automated[static_cast<std::size_t>(b)];
        const double frames = static_cast<double>(std::max<std::int64_t>(1, read));
        r.rms_dbfs = 10.0 * std::log10(output.sumSquares[static_cast<std::size_t>(b)] / frames);
        r.peak_dbfs = toDbfs(output.peaks[static_cast<std::size_t>(b)]);
        report.beams.push_back(r);
    }
    return exitOk;
}

std::string formatSummary(const RenderReport& report) {
    auto level = [](double db) {
        char text[32];
        if (!std::isfinite(db) || db < -200.0) return std::string("-inf");
        std::snprintf(text, sizeof text, "%.1f", db);
        return std::string(text);
    };
    std::string s;
    char line[160];
    std::snprintf(line, sizeof line, "%-5s %9s %8s  %-8s %-6s %9s %10s\n", "beam", "elevation", "azimuth", "pattern",
                  "status", "RMS dBFS", "peak dBFS");
    s += line;
    bool anyAutomated = false;
    for (std::size_t b = 0; b < report.beams.size(); ++b) {
        const auto& r = report.beams[b];
        anyAutomated = anyAutomated || r.automated;
        std::snprintf(line, sizeof line, "%-5s %9s %8s  %-8s %-6s %9s %10s\n",
                      (std::to_string(b + 1) + (r.automated ? "*" : "")).c_str(), r.elevation.c_str(),
                      r.azimuth.c_str(), r.pattern.c_str(), r.status.c_str(), level(r.rms_dbfs).c_str(),
                      level(r.peak_dbfs).c_str());
        s += line;
    }
    if (anyAutomated) s += "* automated: the settings shown are those at the end\n";
    const double audio_s = report.sampleRate_hz > 0.0 ? static_cast<double>(report.frames) / report.sampleRate_hz : 0.0;
    std::snprintf(line, sizeof line, "%.2f s of audio at %s Hz%s in %.2f s: %.1fx real time\n", audio_s,
                  formatNumber(report.sampleRate_hz).c_str(), report.resampled ? " (converted to 44100 Hz and back)" : "",
                  report.wall_s, report.wall_s > 0.0 ? audio_s / report.wall_s : 0.0);
    s += line;
    for (const auto& o : report.outputs) s += "wrote " + o + "\n";
    return s;
}

}  // namespace qb32::tools
