// Host threads against the audio thread. Run under ThreadSanitizer by the
// tsan preset; the checks themselves hold in every build.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "tests/plugin/PluginFixture.h"
#include "plugin/EngineGate.h"
#include "plugin/ParameterQueue.h"
#include "plugin/Parameters.h"

namespace qb32::testing {
namespace {

using namespace vst;

// Each parameter is taken once, in the order of its latest mark: a table of
// mark sequences against the order worked out by hand.
TEST(Threads, QueueTakesEachParameterOnceInTheOrderOfItsLatestMark) {
    struct Case {
        std::vector<int> marks;
        std::vector<int> taken;
    };
    std::vector<int> flood;
    for (int i = 0; i < 100000; ++i) flood.push_back((i * 7) % 32);
    const Case cases[] = {
        {{}, {}},
        {{5}, {5}},
        {{5, 3, 5, 7, 3}, {5, 7, 3}},
        {{31, 0, 31, 31, 0, 2}, {31, 0, 2}},
        {flood, {}},  // below: the last 32 marks, oldest first
    };
    for (const Case& c : cases) {
        ParameterQueue queue;
        for (int index : c.marks) queue.mark(index);
        std::vector<int> expected = c.taken;
        if (c.marks.size() == flood.size()) expected.assign(flood.end() - 32, flood.end());
        int out[32];
        const int n = queue.take(out);
        EXPECT_EQ(std::vector<int>(out, out + n), expected) << c.marks.size() << " marks";
        EXPECT_EQ(queue.take(out), 0) << "taken once";
    }
    ParameterQueue queue;
    for (int index : {-1, 32, 1000}) queue.mark(index);
    queue.mark(4);
    queue.takeAll();
    int out[32];
    EXPECT_EQ(queue.take(out), 0);
}

// Producers store values and mark them while the taker applies what it
// takes: no parameter twice in one take, and once the producers stop, one
// more take leaves every parameter at the last value its producer stored.
TEST(Threads, QueueLosesNoLatestValueUnderManyProducers) {
    ParameterQueue queue;
    std::atomic<float> stored[32];
    for (auto& v : stored) v.store(-1.0f);
    constexpr int producers = 4, perProducer = 20000;
    std::atomic<int> running{producers};
    std::vector<std::thread> threads;
    for (int t = 0; t < producers; ++t)
        threads.emplace_back([&, t] {
            // Producer t owns the parameters t, t + 4, ...: its last value is known.
            for (int i = 0; i < perProducer; ++i) {
                const int index = t + 4 * (i % 8);
                stored[index].store(static_cast<float>(i), std::memory_order_relaxed);
                queue.mark(index);
            }
            running.fetch_sub(1);
        });
    float applied[32];
    for (float& v : applied) v = -1.0f;
    bool once = true;
    auto takeAndApply = [&] {
        int out[32];
        const int n = queue.take(out);
        bool seen[32] = {};
        for (int k = 0; k < n; ++k) {
            once = once && !seen[out[k]];
            seen[out[k]] = true;
            applied[out[k]] = stored[out[k]].load(std::memory_order_relaxed);
        }
    };
    while (running.load() > 0) takeAndApply();
    for (auto& t : threads) t.join();
    takeAndApply();
    EXPECT_TRUE(once);
    for (int index = 0; index < 32; ++index) {
        const int last = perProducer - 8 + index / 4;  // the producer's last round
        EXPECT_EQ(applied[index], static_cast<float>(last)) << index;
    }
}

TEST(Threads, GateKeepsAudioOutWhileControlHoldsIt) {
    EngineGate gate;
    gate.enterControl();
    EXPECT_FALSE(gate.tryEnterAudio());
    gate.leaveControl();
    ASSERT_TRUE(gate.tryEnterAudio());
    // A control holder arriving now waits for the callback to leave.
    std::atomic<bool> entered{false};
    std::thread control([&] {
        gate.enterControl();
        entered.store(true);
        gate.leaveControl();
    });
    EXPECT_FALSE(gate.tryEnterAudio());  // one callback at a time
    EXPECT_FALSE(entered.load());
    gate.leaveAudio();
    control.join();
    EXPECT_TRUE(entered.load());
}

// Two host threads change parameters, programs and the block size while a
// third runs the callback: every block is finite, and once the threads stop,
// one more block brings the engine exactly to the current program.
TEST(Threads, ParameterProgramAndBlockSizeChangesDuringAudio) {
    PluginInstance p;
    std::atomic<bool> stop{false};
    std::atomic<int> audioBlocks{0};
    std::atomic<bool> allFinite{true};

    std::thread audio([&] {
        HostBuffers b(512);
        int start = 0;
        while (!stop.load()) {
            b.tone(start);
            const int frames = 64 + (start / 64) % 449;
            b.run(p.effect, frames);
            start += frames;
            for (int c = 0; c < 8; ++c)
                for (int i = 0; i < frames; ++i)
                    if (!std::isfinite(b.out[c][i])) allFinite.store(false);
            audioBlocks.fetch_add(1);
        }
    });
    std::thread automation([&] {
        std::mt19937 random(11);
        std::uniform_int_distribution<int> index(0, 31);
        std::uniform_real_distribution<float> value(0.0f, 1.0f);
        while (!stop.load()) p.set(index(random), value(random));
    });
    std::thread host([&] {
        for (int round = 0; round < 12; ++round) {
            p.call(effSetProgram, 0, round % 8);
            p.call(effSetBlockSize, 0, round % 2 == 0 ? 256 : 512);
            p.call(effSetSampleRate, 0, 0, nullptr, 44100.0f);
            char name[] = "busy";
            p.call(effSetProgramName, 0, 0, name);
            while (audioBlocks.load() < 4 * (round + 1)) std::this_thread::yield();
        }
        stop.store(true);
    });
    host.join();
    automation.join();
    audio.join();
    EXPECT_TRUE(allFinite.load());

    HostBuffers b(64);
    b.run(p.effect, 64);
    const CQb32& engine = p.plugin().getEngine();
    for (int beam = 0; beam < 8; ++beam) {
        // Through the shell's own mapping: a value within 1e-4 degrees of a
        // whole degree lands on it, so the bare product would differ there.
        EXPECT_EQ(engine.getElevation(beam), elevationDegreesFor(p.get(4 * beam))) << beam;
        EXPECT_EQ(engine.getAzimuth(beam), azimuthDegreesFor(p.get(4 * beam + 1))) << beam;
        EXPECT_EQ(engine.getBeamPatternIndex(beam), p.plugin().getPatternIndex(beam)) << beam;
    }
}

// The host changes the session rate (supported ones and one without tables)
// while the callback runs: every block is finite, a block at a rate without
// tables is silent, and afterwards the engine runs at the last rate with the
// program's settings and a latency of the same time.
TEST(Threads, RateChangesDuringAudio) {
    PluginInstance p;
    p.set(2, 7.5f / 12);   // beam 0 card3
    p.set(12, 0.25f);      // beam 3 elevation 45
    p.set(13, 0.5f);       // azimuth 180
    std::atomic<bool> stop{false};
    std::atomic<int> audioBlocks{0};
    std::atomic<bool> allFinite{true};
    std::thread audio([&] {
        HostBuffers b(512);
        int start = 0;
        while (!stop.load()) {
            b.tone(start);
            b.run(p.effect, 512);
            start += 512;
            for (int c = 0; c < 8; ++c)
                for (int i = 0; i < 512; ++i)
                    if (!std::isfinite(b.out[c][i])) allFinite.store(false);
            audioBlocks.fetch_add(1);
        }
    });
    const float rates[] = {48000.0f, 96000.0f, 32000.0f, 192000.0f, 88200.0f, 44100.0f, 176400.0f, 48000.0f};
    for (int round = 0; round < 8; ++round) {
        p.call(effSetSampleRate, 0, 0, nullptr, rates[round]);
        const int until = audioBlocks.load() + 3;
        while (audioBlocks.load() < until) std::this_thread::yield();
    }
    stop.store(true);
    audio.join();
    EXPECT_TRUE(allFinite.load());
    const CQb32& engine = p.plugin().getEngine();
    EXPECT_EQ(engine.getSampleRate(), 48000.0f);
    EXPECT_EQ(engine.latencySamples(), 182);
    EXPECT_EQ(engine.getBeamPatternIndex(0), 7);
    EXPECT_EQ(engine.getElevation(3), 45.0f);
    EXPECT_EQ(engine.getAzimuth(3), 180.0f);
}

}  // namespace
}  // namespace qb32::testing
