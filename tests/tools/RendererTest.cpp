// The renderer's core, driving the shipped module: output independent of the
// host block size, automation on its exact sample (against a hand-driven
// instance), alignment at native and converted rates, the beam level at 48 and
// 96 kHz against 44.1 kHz, and the beams' directivity on
// the simulated array.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "tests/tools/ToolsTestSupport.h"
#include "tools/render/Renderer.h"

namespace qb32::tools {
namespace {

using namespace qb32::tools::testing;

class Renderer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        ASSERT_TRUE(probeModule(PluginHost::defaultModulePath(), facts, error)) << error;
    }
    static int pattern(const std::string& name) {
        const auto it = std::find(facts.patternNames.begin(), facts.patternNames.end(), name);
        EXPECT_NE(it, facts.patternNames.end()) << name;
        return static_cast<int>(it - facts.patternNames.begin());
    }
    Channels run(RenderOptions options) {
        if (options.output.empty()) options.output = dir.file("out.wav");
        RenderReport report;
        std::string error;
        EXPECT_EQ(render(options, facts, report, error), exitOk) << error;
        return readFile(options.output);
    }
    RenderOptions optionsFor(const std::string& input) {
        RenderOptions o;
        o.input = input;
        return o;
    }
    static inline ModuleFacts facts;
    TempDir dir;
};

TEST_F(Renderer, ProbeFindsTheCatalogueAndOneLatency) {
    EXPECT_EQ(facts.patternNames.size(), 12u);
    EXPECT_EQ(facts.patternNames.front(), "omni");
    EXPECT_EQ(facts.patternNames.back(), "torus");
    EXPECT_EQ(facts.latency_samples, 167);
}

TEST_F(Renderer, OutputDoesNotDependOnTheHostBlockSize) {
    const std::string input = dir.file("in.wav");
    writeFile(input, simulateScene(44100.0, {{90.0, 0.0}, {40.0, 250.0}}, 9000,
                                   [](int s, int n) { return float(0.2 * sine(s ? 2300.0 : 700.0, 44100.0, n)); }),
              44100);
    RenderOptions o = optionsFor(input);
    o.beams[0].pattern = pattern("card2");
    o.beams[1].elevation_deg = 40;
    o.beams[1].azimuth_deg = 250;
    std::string error;
    ASSERT_TRUE(parseAutomation("0.0311,1,azim,75\n0.0702,2,pattern,hyper3\n0.1,3,status,off\n", "a.csv",
                                facts.patternNames, o.automation, error))
        << error;
    o.block_samples = 512;
    const Channels reference = run(o);
    for (int block : {97, 4096, 1}) {
        o.block_samples = block;
        o.output = dir.file("out" + std::to_string(block) + ".wav");
        const Channels other = run(o);
        ASSERT_EQ(other.size(), reference.size());
        for (std::size_t c = 0; c < other.size(); ++c) EXPECT_EQ(other[c], reference[c]) << "block " << block << ", beam " << c + 1;
    }
}

TEST_F(Renderer, AutomationLandsOnItsSample) {
    const int frames = 6000, change = 3001;
    const Channels capsules = simulateScene(44100.0, {{90.0, 30.0}}, frames,
                                            [](int, int n) { return float(0.3 * sine(1500.0, 44100.0, n)); });
    const std::string input = dir.file("in.wav");
    writeFile(input, capsules, 44100);
    RenderOptions o = optionsFor(input);
    o.align = false;
    std::string error;
    ASSERT_TRUE(parseAutomation("time_s,beam,parameter,value\n" + std::to_string((change + 0.2) / 44100.0) + ",1,azim,90\n",
                                "a.csv", facts.patternNames, o.automation, error));
    const Channels rendered = run(o);

    // The same change made by hand between two calls of a fresh instance.
    auto byHand = [&](int at) {
        PluginHost host;
        EXPECT_TRUE(host.load(PluginHost::defaultModulePath(), error)) << error;
        host.start(8192);
        Channels in = capsules, out(beamCount, std::vector<float>(frames));
        std::vector<float*> ip, op;
        for (auto& c : in) ip.push_back(c.data());
        for (auto& c : out) op.push_back(c.data());
        host.process(ip.data(), op.data(), at);
        host.setParameter(parameterIndex(0, azimuthKind), azimuthValue(90));
        for (auto& p : ip) p += at;
        for (auto& p : op) p += at;
        host.process(ip.data(), op.data(), frames - at);
        return out;
    };
    EXPECT_EQ(rendered[0], byHand(change)[0]);
    EXPECT_NE(rendered[0], byHand(change + 1)[0]);  // one sample later is another output
    EXPECT_EQ(rendered[1], byHand(change)[1]);      // other beams untouched
}

TEST_F(Renderer, AlignedOutputLinesUpWithTheCapsulesAndKeepsTheLength) {
    // 44.1 and 48 kHz run natively; 32 kHz is converted to 44.1 kHz and back.
    for (int rate : {44100, 48000, 32000}) {
        const int pluginRate = rate == 32000 ? engineRate_hz : rate;
        ModuleFacts atRate;
        std::string error;
        ASSERT_TRUE(probeModule(PluginHost::defaultModulePath(), atRate, error, pluginRate)) << error;
        const int frames = 5000, click = 1800;
        Channels in(32, std::vector<float>(frames, 0.0f));
        for (auto& c : in) c[click] = 0.5f;
        const std::string input = dir.file("click" + std::to_string(rate) + ".wav");
        writeFile(input, in, rate);
        for (bool align : {true, false}) {
            RenderOptions o = optionsFor(input);
            o.align = align;
            const Channels out = run(o);
            ASSERT_EQ(out[0].size(), static_cast<std::size_t>(frames));
            const auto peak = std::max_element(out[0].begin(), out[0].end(),
                                               [](float a, float b) { return std::fabs(a) < std::fabs(b); }) -
                              out[0].begin();
            const double latency = align ? 0.0 : atRate.latency_samples * static_cast<double>(rate) / pluginRate;
            // After conversion the click is band-limited and falls between samples.
            const double tolerance = rate == pluginRate ? 0.0 : align ? 1.0 : 3.0;
            EXPECT_NEAR(static_cast<double>(peak), click + latency, tolerance) << rate << " " << align;
        }
    }
}

TEST_F(Renderer, OtherRatesKeepTheBeamLevel) {
    // One source, rendered from 44.1, 48 and 96 kHz simulations of the same scene
    // (the plug-in at each rate natively).
    const Direction source{75.0, 20.0};
    double level[3] = {};
    int i = 0;
    for (int rate : {44100, 48000, 96000}) {
        const int frames = rate * 6 / 10;
        const std::string input = dir.file("scene" + std::to_string(rate) + ".wav");
        writeFile(input, simulateScene(rate, {source}, frames,
                                       [&](int, int n) { return float(0.25 * sine(1000.0, rate, n) + 0.1 * sine(5000.0, rate, n)); }),
                  rate);
        RenderOptions o = optionsFor(input);
        o.beams[0] = BeamRequest{75, 20, pattern("card1"), true};
        const Channels out = run(o);
        level[i++] = rmsDb(out[0], static_cast<std::size_t>(rate * 4 / 10), static_cast<std::size_t>(frames - rate / 50));
    }
    EXPECT_NEAR(level[1], level[0], 0.1);
    EXPECT_NEAR(level[2], level[0], 0.1);
}

TEST_F(Renderer, BeamAimedAtASourceIsTenDecibelsAboveTheOppositeBeam) {
    const Direction source{70.0, 40.0};
    const char* patterns[] = {"card1", "card2", "card3", "super3"};
    for (double f : {1000.0, 2000.0, 4000.0}) {
        const int frames = 22050;
        const std::string input = dir.file("dir.wav");
        writeFile(input, simulateScene(44100.0, {source}, frames, [&](int, int n) { return float(0.3 * sine(f, 44100.0, n)); }),
                  44100);
        RenderOptions o = optionsFor(input);
        for (int p = 0; p < 4; ++p) {
            o.beams[2 * p] = BeamRequest{70, 40, pattern(patterns[p]), true};
            o.beams[2 * p + 1] = BeamRequest{110, 220, pattern(patterns[p]), true};
        }
        const Channels out = run(o);
        for (int p = 0; p < 4; ++p) {
            const double at = rmsDb(out[static_cast<std::size_t>(2 * p)], 16000, 22000);
            const double away = rmsDb(out[static_cast<std::size_t>(2 * p + 1)], 16000, 22000);
            EXPECT_GT(at - away, 10.0) << patterns[p] << " at " << f << " Hz";
        }
    }
}

TEST_F(Renderer, RequestedBeamsHoldFromTheFirstSample) {
    // A beam aimed away from a tone: the plug-in starts omnidirectional at
    // the horizon and would glide and crossfade for half a second; the
    // pre-roll keeps that out of the output.
    const std::string input = dir.file("in.wav");
    writeFile(input, simulateScene(44100.0, {{70.0, 40.0}}, 8000, [](int, int n) { return float(0.3 * sine(2000.0, 44100.0, n)); }),
              44100);
    RenderOptions o = optionsFor(input);
    o.beams[0] = BeamRequest{110, 220, pattern("card2"), true};
    const Channels out = run(o);
    EXPECT_NEAR(rmsDb(out[0], 600, 2600), rmsDb(out[0], 5600, 7600), 0.5);
    EXPECT_LT(rmsDb(out[0], 600, 2600), rmsDb(out[1], 600, 2600) - 10.0);  // beam 2: omni
}

TEST_F(Renderer, SplitWritesOneMonoFilePerBeamEqualToTheChannels) {
    const std::string input = dir.file("in.wav");
    writeFile(input, simulateScene(44100.0, {{30.0, 100.0}}, 3000, [](int, int n) { return float(0.2 * sine(900.0, 44100.0, n)); }),
              44100);
    RenderOptions o = optionsFor(input);
    o.beams[3] = BeamRequest{30, 100, pattern("hyper2"), true};
    const Channels joined = run(o);
    o.split = true;
    o.output = dir.file("split.wav");
    RenderReport report;
    std::string error;
    ASSERT_EQ(render(o, facts, report, error), exitOk) << error;
    ASSERT_EQ(report.outputs.size(), 8u);
    for (int b = 0; b < beamCount; ++b) {
        EXPECT_EQ(report.outputs[static_cast<std::size_t>(b)], dir.file("split-beam" + std::to_string(b + 1) + ".wav"));
        const Channels mono = readFile(report.outputs[static_cast<std::size_t>(b)]);
        ASSERT_EQ(mono.size(), 1u);
        EXPECT_EQ(mono[0], joined[static_cast<std::size_t>(b)]);
    }
}

TEST_F(Renderer, AutomationAtOrPastTheEndIsIgnoredHoweverFarAway) {
    const int frames = 4000;
    const std::string input = dir.file("in.wav");
    writeFile(input, simulateScene(44100.0, {{60.0, 200.0}}, frames, [](int, int n) { return float(0.3 * sine(1200.0, 44100.0, n)); }),
              44100);
    const Channels plain = run(optionsFor(input));
    // At the end, far past it, and past what a 64-bit sample count holds.
    for (const char* time : {"0.0907029478", "1e6", "1e15", "1e20", "1e300", "1.7e308"}) {
        RenderOptions o = optionsFor(input);
        std::string error;
        ASSERT_TRUE(parseAutomation(std::string(time) + ",1,azim,180\n" + time + ",1,pattern,dipole1\n", "a.csv", facts.patternNames,
                                    o.automation, error))
            << error;
        RenderReport report;
        o.output = dir.file("late.wav");
        ASSERT_EQ(render(o, facts, report, error), exitOk) << error;
        EXPECT_EQ(report.ignoredEvents, 2) << time;
        EXPECT_TRUE(readFile(o.output) == plain) << time << ": an event was applied";
    }
}

TEST_F(Renderer, ChannelMapPicksTheCapsulesFromAnyChannels) {
    const int frames = 3000;
    const Channels capsules = simulateScene(44100.0, {{45.0, 300.0}}, frames, [](int, int n) { return float(0.3 * sine(2500.0, 44100.0, n)); });
    writeFile(dir.file("in.wav"), capsules, 44100);
    // 34 channels: a timecode track, the capsules in reverse, a click track.
    Channels patched(34, std::vector<float>(frames, 0.25f));
    for (int q = 0; q < 32; ++q) patched[static_cast<std::size_t>(32 - q)] = capsules[static_cast<std::size_t>(q)];
    writeFile(dir.file("patched.wav"), patched, 44100);
    RenderOptions o = optionsFor(dir.file("patched.wav"));
    for (int q = 0; q < 32; ++q) o.channelMap.push_back(32 - q);
    o.beams[0] = BeamRequest{45, 300, pattern("hyper3"), true};
    RenderOptions reference = optionsFor(dir.file("in.wav"));
    reference.beams[0] = o.beams[0];
    reference.output = dir.file("reference.wav");
    EXPECT_TRUE(run(o) == run(reference));
}

TEST_F(Renderer, TheLastProgressLineShowsTheRunsOwnSpeed) {
    const std::string input = dir.file("in.wav");
    writeFile(input, Channels(32, std::vector<float>(30000, 0.01f)), 44100);
    RenderOptions o = optionsFor(input);
    o.output = dir.file("out.wav");
    o.progress = true;
    std::FILE* log = std::tmpfile();
    ASSERT_NE(log, nullptr);
    o.log = log;
    RenderReport report;
    std::string error;
    ASSERT_EQ(render(o, facts, report, error), exitOk) << error;
    std::rewind(log);
    std::string text;
    for (int ch; (ch = std::fgetc(log)) != EOF;) text += static_cast<char>(ch);
    std::fclose(log);
    const std::string lastLine = text.substr(text.rfind('\r') + 1);
    EXPECT_EQ(lastLine.rfind("[########################################] 100%", 0), 0u) << lastLine;
    const std::string summary = formatSummary(report);
    const auto speedOf = [](const std::string& s) {
        const auto end = s.find("x real time");
        return s.substr(s.rfind(' ', end) + 1, end - s.rfind(' ', end) - 1);
    };
    EXPECT_EQ(speedOf(lastLine), speedOf(summary)) << lastLine << "\n" << summary;
}

// ---- parsing --------------------------------------------------------------------------------

TEST_F(Renderer, BeamOptionsAreReadOrRefusedWithTheReason) {
    struct Case {
        const char* text;
        bool ok;
        const char* expect;  // error fragment, or "" for accepted ones
    } cases[] = {
        {"1:elev=45,azim=270,pattern=card3", true, ""},
        {"8:off", true, ""},
        {"2:azim=-90.4", true, ""},
        {"0:elev=45", false, "N = 1..8"},
        {"9:elev=45", false, "N = 1..8"},
        {"elev=45", false, "N = 1..8"},
        {"1:", false, "no settings"},
        {"1:elev=190", false, "outside 0..180"},
        {"1:elev=abc", false, "not a number"},
        {"1:elev=45x", false, "not a number"},
        {"1:pattern=card4", false, "unknown pattern 'card4' (valid: omni, super3"},
        {"1:colour=red", false, "cannot read 'colour=red'"},
    };
    for (const auto& c : cases) {
        int beam = -1;
        BeamRequest r;
        std::string error;
        EXPECT_EQ(parseBeamOption(c.text, facts.patternNames, beam, r, error), c.ok) << c.text;
        if (!c.ok) {
            EXPECT_NE(error.find(c.expect), std::string::npos) << c.text << ": " << error;
        }
    }
    int beam = -1;
    BeamRequest r;
    std::string error;
    ASSERT_TRUE(parseBeamOption("3:elev=44.6,azim=-90.4,pattern=torus,off", facts.patternNames, beam, r, error));
    EXPECT_EQ(beam, 2);
    EXPECT_EQ(*r.elevation_deg, 45);
    EXPECT_EQ(*r.azimuth_deg, -90);
    EXPECT_EQ(*r.pattern, 11);
    EXPECT_FALSE(*r.on);
}

TEST_F(Renderer, AutomationLinesAreReadOrRefusedWithTheirLineNumber) {
    struct Case {
        const char* text;
        const char* expect;
    } bad[] = {
        {"0.5,1,elev\n", "a.csv:1: expected time_s,beam,parameter,value"},
        {"# comment\n\n0.5,9,elev,45\n", "a.csv:3: beam '9'"},
        {"time_s,beam,parameter,value\n-1,1,elev,45\n", "a.csv:2: time '-1'"},
        {"0.5,1,gain,45\n", "a.csv:1: unknown parameter 'gain'"},
        {"0.5,1,pattern,cardioid\n", "a.csv:1: unknown pattern 'cardioid' (valid: omni"},
        {"0.5,1,status,maybe\n", "a.csv:1: status 'maybe'"},
        {"0.5,1,elev,north\n", "a.csv:1: 'north' is not a number"},
        {"inf,1,elev,45\n", "a.csv:1: time 'inf' is not a finite number of seconds"},
        {"1e400,1,elev,45\n", "a.csv:1: time '1e400' is not a finite number of seconds"},
        {"nan,1,elev,45\n", "a.csv:1: time 'nan' is not a finite number of seconds"},
    };
    for (const auto& c : bad) {
        std::vector<AutomationEvent> events;
        std::string error;
        EXPECT_FALSE(parseAutomation(c.text, "a.csv", facts.patternNames, events, error)) << c.text;
        EXPECT_NE(error.find(c.expect), std::string::npos) << error;
    }
    std::vector<AutomationEvent> events;
    std::string error;
    ASSERT_TRUE(parseAutomation("time_s,beam,parameter,value\n2,1,status,off\n1,2,pattern,card1\n1,2,elev,180\n",
                                "a.csv", facts.patternNames, events, error))
        << error;
    ASSERT_EQ(events.size(), 3u);  // sorted by time, equal times in file order
    EXPECT_EQ(events[0].line, 3);
    EXPECT_EQ(events[1].line, 4);
    EXPECT_EQ(events[2].line, 2);
    EXPECT_FLOAT_EQ(events[1].value, 1.0f);
}

}  // namespace
}  // namespace qb32::tools
