// The editor's costs. editorAudioPath: the plug-in's callback with the
// editor closed and open (its audio tap copying the modal components, the
// beams' levels and directions each block), eight "card3" beams, white
// noise, 512 and 64 frames; the two rows of one run give the open editor's
// share of the callback as a ratio. A thread of its own drains the tap every
// 10 ms, as the editor's would (the benchmark runs faster than real time, so
// some blocks are dropped; a dropped block costs less than a copied one). editorFrame: one frame
// of the beam map (draining 1/25 s of audio into the energy map, the grid,
// and the whole picture) at scale 1 and 2.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "editor/BeamMapView.h"
#include "plugin/CQB32Vst.h"

namespace {

using namespace qb32;
using namespace qb32::vst;

VstIntPtr QB32_VSTCALL host(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? vstVersion : 0;
}

struct Audio {
    explicit Audio(int frames) : in(32, std::vector<float>(static_cast<std::size_t>(frames))), out(8, std::vector<float>(static_cast<std::size_t>(frames))) {
        std::mt19937 rng(1);
        std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
        for (auto& c : in)
            for (auto& v : c) v = dist(rng);
        for (auto& c : in) inputs.push_back(c.data());
        for (auto& c : out) outputs.push_back(c.data());
    }
    std::vector<std::vector<float>> in, out;
    std::vector<float*> inputs, outputs;
};

AEffect* makePlugin(int frames) {
    AEffect* e = CQB32Vst::createInstance(host);
    e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, 44100.0f);
    e->dispatcher(e, effSetBlockSize, 0, frames, nullptr, 0.0f);
    e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);
    for (int b = 0; b < 8; ++b) {
        e->setParameter(e, 4 * b + 2, 7.5f / 12.0f);  // card3
        e->setParameter(e, 4 * b + 1, (45.0f * b + 0.5f) / 360.0f);
    }
    return e;
}

// Args: frames, editor open (0/1).
void editorAudioPath(benchmark::State& state) {
    const int frames = static_cast<int>(state.range(0));
    const bool open = state.range(1) != 0;
    Audio audio(frames);
    AEffect* e = makePlugin(frames);
    auto& plugin = *static_cast<CQB32Vst*>(e->object);
    if (open) plugin.editorSide().openWithoutWindow(1);
    editor::AudioTap& tap = *plugin.editorSide().audioTap();
    std::vector<std::vector<float>> drain(16, std::vector<float>(editor::AudioTap::capacity_frames));
    std::vector<float*> drainTo;
    for (auto& d : drain) drainTo.push_back(d.data());
    // The editor's side, on its own thread as in a host: empties the ring
    // every 10 ms (the editor draws every 33).
    std::atomic<bool> stop{false};
    std::thread consumer([&] {
        while (!stop.load()) {
            if (open) tap.pull(drainTo.data(), editor::AudioTap::capacity_frames);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    for (auto _ : state) {
        e->processReplacing(e, audio.inputs.data(), audio.outputs.data(), frames);
        benchmark::DoNotOptimize(audio.out[0][0]);
    }
    stop.store(true);
    consumer.join();
    state.counters["dropped"] = static_cast<double>(tap.framesDropped());
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
    state.counters["rtf"] = benchmark::Counter(static_cast<double>(frames) / 44100.0 * state.iterations(),
                                               benchmark::Counter::kIsRate);
}
BENCHMARK(editorAudioPath)->ArgNames({"frames", "editor"})->Args({512, 0})->Args({512, 1})->Args({64, 0})->Args({64, 1});

// The tap's own work in one callback (16 component copies, eight levels and
// directions), for 512 and 64 frames: beside editorAudioPath's closed rows
// it is the open editor's share of the callback without the noise of two
// whole-plug-in measurements. The ring is emptied by reopening it (no
// allocation after the first open), so every block is really copied.
void editorTapCapture(benchmark::State& state) {
    const int frames = static_cast<int>(state.range(0));
    Audio components(frames), beams(frames);
    editor::AudioTap tap;
    tap.open();
    const int elevations[8] = {90, 90, 90, 90, 90, 90, 90, 90};
    const int azimuths[8] = {0, 45, 90, 135, 180, 225, 270, 315};
    for (auto _ : state) {
        tap.open();
        tap.capture(components.inputs.data(), beams.inputs.data(), 8, elevations, azimuths, frames, 44100.0f);
        benchmark::ClobberMemory();
    }
    state.counters["dropped"] = static_cast<double>(tap.framesDropped());
}
BENCHMARK(editorTapCapture)->ArgName("frames")->Arg(512)->Arg(64);

void editorFrame(benchmark::State& state) {
    const int scale = static_cast<int>(state.range(0));
    const int frames = 1764;  // 1/25 s
    Audio audio(frames);
    AEffect* e = makePlugin(frames);
    auto& plugin = *static_cast<CQB32Vst*>(e->object);
    plugin.editorSide().openWithoutWindow(scale);
    editor::BeamMapView& view = *plugin.editorSide().mapView();
    for (auto _ : state) {
        state.PauseTiming();
        e->processReplacing(e, audio.inputs.data(), audio.outputs.data(), frames);
        state.ResumeTiming();
        view.frame();
        benchmark::DoNotOptimize(view.pixels().data()[0]);
    }
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
}
BENCHMARK(editorFrame)->ArgName("scale")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace
