// The engine's output bits at 44100 Hz, frozen: a long automated stream
// (directions gliding on both axes, pattern changes with their crossfades,
// changes arriving while a crossfade runs, every beam on throughout) in both
// equalisation modes that process the capsules, cut into blocks of several
// kinds (full blocks, short calls that take the side-by-side path, random
// sizes), hashed per scenario. The expected hashes were taken from the engine
// before it learnt other sample rates; any change of the 44.1 kHz arithmetic
// shows here. A few samples are kept beside each hash to tell, on failure,
// whether a difference is a rounding drift or a different signal.
//
// The bits depend on the instruction-set level (the FIR and convolution
// kernels accumulate differently), so each level has its own hashes; a level
// the machine that recorded them could not run is skipped with a note.

#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/CQb32.h"
#include "framework/Simd.h"
#include "tests/support/SimdLevels.h"

namespace qb32 {
namespace {

constexpr int beams = 8;
constexpr int capsules = 32;
constexpr int streamSamples = 66150;  // 1.5 s

// Deterministic input, the same on every platform: xorshift noise per capsule
// plus a low tone common to all capsules (so the low orders carry more than
// noise).
std::vector<std::vector<float>> capsuleSignals() {
    std::vector<std::vector<float>> in(capsules, std::vector<float>(streamSamples));
    for (int q = 0; q < capsules; ++q) {
        std::uint32_t x = 0x9e3779b9u * static_cast<std::uint32_t>(q + 1);
        for (int t = 0; t < streamSamples; ++t) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            const float noise = static_cast<float>(static_cast<std::int32_t>(x)) * (1.0f / 2147483648.0f);
            const float tone = static_cast<float>((t % 147) - 73) * (1.0f / 146.0f);  // 300 Hz saw
            in[q][t] = 0.25f * noise + 0.1f * tone;
        }
    }
    return in;
}

struct Event {
    int at;
    int beam;
    int kind;  // 0 elevation, 1 azimuth, 2 pattern
    float value;
};

// Automation from a fixed linear congruential sequence: moves of up to 30
// degrees (glides of up to 3000 samples) and pattern changes, then a quiet
// last part in which every beam comes to rest (short calls then take the
// side-by-side path).
constexpr int automationEnd = 45000;

std::vector<Event> automation() {
    std::uint32_t s = 12345u;
    auto next = [&s](std::uint32_t n) {
        s = s * 1664525u + 1013904223u;
        return (s >> 8) % n;
    };
    float elevation[beams], azimuth[beams];
    for (int b = 0; b < beams; ++b) {
        elevation[b] = 20.0f + 20.0f * static_cast<float>(b);
        azimuth[b] = 45.0f * static_cast<float>(b) + 0.5f;
    }
    std::vector<Event> events;
    for (int at = 400; at < automationEnd; at += 900 + static_cast<int>(next(3200))) {
        const int kind = static_cast<int>(next(3));
        const int beam = static_cast<int>(next(beams));
        const float move = static_cast<float>(static_cast<int>(next(601)) - 300) * 0.1f;  // -30..30
        float value = 0.0f;
        if (kind == 0) {
            elevation[beam] = std::min(180.9f, std::max(0.0f, elevation[beam] + move));
            value = elevation[beam];
        } else if (kind == 1) {
            azimuth[beam] += move;
            if (azimuth[beam] < 0.0f) azimuth[beam] += 360.0f;
            if (azimuth[beam] >= 360.0f) azimuth[beam] -= 360.0f;
            value = azimuth[beam];
        } else {
            value = static_cast<float>(next(12));
        }
        events.push_back({at, beam, kind, value});
    }
    return events;
}

struct Scenario {
    const char* name;
    int eqMode;
    int configuredBlock;
    int blocks;  // 0: full blocks; 1: random 1..configured; 2: calls of 1..16 with some long ones
};

constexpr Scenario scenarios[] = {
    {"eq0 blocks 512", 0, 512, 0},
    {"eq1 random blocks", 1, 512, 1},
    {"eq0 short calls", 0, 256, 2},
};

struct Outcome {
    std::uint64_t hash = 0;
    float samples[4] = {};
    std::uint64_t sideBySideCalls = 0;
};

Outcome run(const Scenario& scenario, const std::vector<std::vector<float>>& in) {
    CQb32 engine;
    EXPECT_EQ(engine.configure(timeDomainStream(capsules, 44100.0f, scenario.configuredBlock),
                               timeDomainStream(beams, 44100.0f, scenario.configuredBlock)),
              0);
    EXPECT_EQ(engine.setEqualisationMode(scenario.eqMode), 0);
    for (int b = 0; b < beams; ++b) {
        int pattern = (5 * b + 3) % 12;
        engine.setControl(b, CQb32::pattern, &pattern, 1, valueType::int32);
        engine.setElevation(b, 20.0f + 20.0f * static_cast<float>(b));
        engine.setAzimuth(b, 45.0f * static_cast<float>(b) + 0.5f);
    }
    const std::vector<Event> events = automation();
    std::uint32_t s = 777u;
    auto nextSize = [&]() {
        s = s * 1664525u + 1013904223u;
        const int r = static_cast<int>((s >> 8) % 1000u);
        switch (scenario.blocks) {
            case 0: return scenario.configuredBlock;
            case 1: return 1 + r % scenario.configuredBlock;
            default: return r < 900 ? 1 + r % 16 : 17 + r % (scenario.configuredBlock - 16);
        }
    };

    std::vector<std::vector<float>> out(beams, std::vector<float>(streamSamples));
    std::size_t e = 0;
    for (int at = 0; at < streamSamples;) {
        for (; e < events.size() && events[e].at <= at; ++e) {
            const Event& ev = events[e];
            if (ev.kind == 0) engine.setElevation(ev.beam, ev.value);
            else if (ev.kind == 1) engine.setAzimuth(ev.beam, ev.value);
            else {
                int pattern = static_cast<int>(ev.value);
                engine.setControl(ev.beam, CQb32::pattern, &pattern, 1, valueType::int32);
            }
        }
        int n = std::min(nextSize(), streamSamples - at);
        if (e < events.size() && events[e].at < at + n) n = events[e].at - at;
        const float* ip[capsules];
        float* op[beams];
        for (int q = 0; q < capsules; ++q) ip[q] = in[q].data() + at;
        for (int b = 0; b < beams; ++b) op[b] = out[b].data() + at;
        engine.process(ip, op, n);
        at += n;
    }

    Outcome o;
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a, 64 bits
    for (const auto& beam : out)
        for (float v : beam) {
            std::uint32_t bits;
            std::memcpy(&bits, &v, sizeof bits);
            for (int k = 0; k < 4; ++k) {
                h ^= (bits >> (8 * k)) & 0xffu;
                h *= 1099511628211ull;
            }
        }
    o.hash = h;
    o.sideBySideCalls = engine.sideBySideCalls();
    o.samples[0] = out[0][20000];
    o.samples[1] = out[3][33333];
    o.samples[2] = out[5][50000];
    o.samples[3] = out[7][streamSamples - 1];
    return o;
}

struct Expected {
    simd::Level level;
    int scenario;
    std::uint64_t hash;
    float samples[4];
};

// Recorded on an AVX2 machine (no AVX-512). Every level since each beam's
// complementary crossover pair runs as one FIR (the joined form within the
// rounding bounds of JoinedCrossovers.* and the direct-form bounds of
// FastPath.*). Equalisation mode 1 (scenario 1) since the FIR equalisers of
// components with an alignment delay take one partition of it in front of
// their taps (the convolvers' bounds of CEbf.*).
constexpr Expected expected[] = {
    {simd::Level::portable, 0, 0xad1366f87ee8aac4ull, {0.0454817973, 0.0662269667, -0.197553903, 0.0482060798}},
    {simd::Level::portable, 1, 0x6422bc9da6f19e59ull, {-0.0514087491, -0.012490863, 0.11033038, -0.160934016}},
    {simd::Level::portable, 2, 0xad1366f87ee8aac4ull, {0.0454817973, 0.0662269667, -0.197553903, 0.0482060798}},
    {simd::Level::sse2, 0, 0xbbdc6e79f90900f6ull, {0.0454818048, 0.0662269667, -0.197553888, 0.0482060798}},
    {simd::Level::sse2, 1, 0x8b8faf441c2a048cull, {-0.0514087491, -0.0124908639, 0.110330358, -0.160933986}},
    {simd::Level::sse2, 2, 0xbbdc6e79f90900f6ull, {0.0454818048, 0.0662269667, -0.197553888, 0.0482060798}},
    // AVX2: the decomposition's matrix product and biquads use fused
    // multiply-adds.
    {simd::Level::avx2, 0, 0xacf3feaa5e0ef894ull, {0.0454817526, 0.0662269667, -0.197554007, 0.0482060686}},
    {simd::Level::avx2, 1, 0xdecc270597f58c4eull, {-0.0514120124, -0.012490835, 0.110319331, -0.160933673}},
    {simd::Level::avx2, 2, 0xacf3feaa5e0ef894ull, {0.0454817526, 0.0662269667, -0.197554007, 0.0482060686}},
};

TEST(GoldenOutput, BitsAt44100HzAreThoseOfTheRecordedEngine) {
    const auto in = capsuleSignals();
    for (simd::Level level : testing::runnableLevels()) {
        testing::LevelGuard guard(level);
        for (int sc = 0; sc < static_cast<int>(std::size(scenarios)); ++sc) {
            const Outcome o = run(scenarios[sc], in);
            const Expected* want = nullptr;
            for (const Expected& x : expected)
                if (x.level == level && x.scenario == sc) want = &x;
            char got[200];
            std::snprintf(got, sizeof got, "{simd::Level::%s, %d, 0x%llxull, {%.9g, %.9g, %.9g, %.9g}},",
                          simd::levelName(level), sc, static_cast<unsigned long long>(o.hash),
                          static_cast<double>(o.samples[0]), static_cast<double>(o.samples[1]),
                          static_cast<double>(o.samples[2]), static_cast<double>(o.samples[3]));
            if (want == nullptr) {
                std::printf("no recorded bits for %s: %s\n", scenarios[sc].name, got);
                continue;
            }
            // The short calls must have met the side-by-side path where it exists.
            if (scenarios[sc].blocks == 2 && simd::atLeast(level, simd::Level::avx2)) {
                EXPECT_GT(o.sideBySideCalls, 100u) << scenarios[sc].name;
            }
            EXPECT_EQ(o.hash, want->hash) << scenarios[sc].name << " at level " << simd::levelName(level)
                                          << "; this run: " << got;
            for (int k = 0; k < 4; ++k)
                EXPECT_EQ(o.samples[k], want->samples[k]) << scenarios[sc].name << " sample " << k;
        }
    }
}

}  // namespace
}  // namespace qb32
