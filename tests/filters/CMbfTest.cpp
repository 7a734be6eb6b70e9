// CMbf: steering tables, direction glide, steering physics, filter-set
// crossfades, fixed latency, block-size independence, statuses, real time.

#include "filters/CMbf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "filters/SteeringTables.h"
#include "tests/filters/FilterTestSupport.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/Reference.h"
#include "tests/support/SimdLevels.h"

namespace qb32::testing {
namespace {

constexpr double pi = std::numbers::pi;
constexpr double degree = pi / 180.0;

std::unique_ptr<CMbf> makeMbf(int block, float latency, int channels = 16) {
    auto mbf = std::make_unique<CMbf>();
    EXPECT_EQ(mbf->configure(stream(channels, block), stream(1, block)), 0);
    EXPECT_EQ(mbf->setLatency(latency), 0);
    return mbf;
}

// Loads one filter per order; an empty vector leaves the order out.
int load(CMbf& mbf, const std::array<Signal, 4>& set) {
    int lengths[4];
    const float* taps[4];
    for (int n = 0; n < 4; ++n) {
        lengths[n] = static_cast<int>(set[n].size());
        taps[n] = set[n].empty() ? nullptr : set[n].data();
    }
    return mbf.loadModalFilters(lengths, taps);
}

std::array<Signal, 4> onlyOrder(int order, Signal taps) {
    std::array<Signal, 4> set;
    set[order] = std::move(taps);
    return set;
}

std::array<Signal, 4> randomSet(std::mt19937& rng, int maxLength) {
    std::array<Signal, 4> set;
    std::uniform_int_distribution<int> length(0, maxLength);
    for (int n = 0; n < 4; ++n) set[n] = whiteNoise(static_cast<std::size_t>(length(rng)), rng());
    return set;
}

// Runs samples [begin, end) of the 16 input channels through `mbf` in blocks,
// writing out[begin, end). `after` is called with the track of each block.
template <typename OnBlock>
void runBlocks(CMbf& mbf, const Channels& in, Signal& out, std::size_t begin, std::size_t end,
               int block, OnBlock after) {
    const float* inputs[16] = {};
    for (std::size_t t = begin; t < end; t += static_cast<std::size_t>(block)) {
        const int frames = static_cast<int>(std::min<std::size_t>(block, end - t));
        for (std::size_t k = 0; k < in.size(); ++k) inputs[k] = in[k].data() + t;
        float* outputs[1] = {out.data() + t};
        ASSERT_EQ(mbf.process(inputs, outputs, frames), 0);
        after(t, frames);
    }
}
void runBlocks(CMbf& mbf, const Channels& in, Signal& out, std::size_t begin, std::size_t end,
               int block) {
    runBlocks(mbf, in, out, begin, end, block, [](std::size_t, int) {});
}

// Real spherical harmonic of component k at (theta, phi), written here from
// the standard library's Legendre functions (which leave out the
// Condon-Shortley phase, restored by (-1)^|m|).
double sphericalHarmonic(int k, double theta, double phi) {
    const int n = static_cast<int>(std::sqrt(static_cast<double>(k)));
    const int m = k - n * n - n;
    const unsigned a = static_cast<unsigned>(std::abs(m));
    const double ratio = std::tgamma(n - a + 1.0) / std::tgamma(n + a + 1.0);
    const double legendre = ((a % 2) ? -1.0 : 1.0) * std::assoc_legendre(n, a, std::cos(theta));
    const double azimuthal = m > 0 ? std::cos(m * phi) : m < 0 ? std::sin(-m * phi) : 1.0;
    return std::sqrt((2 * n + 1) / (4 * pi)) * std::sqrt(ratio) * legendre * azimuthal;
}

bool withinOneUlp(float value, double exact) {
    const float rounded = static_cast<float>(exact);
    const float ulp = std::nextafter(std::abs(rounded), std::numeric_limits<float>::infinity()) -
                      std::abs(rounded);
    return std::abs(value - rounded) <= ulp;
}

TEST(SteeringTables, FollowTheirRule) {
    for (int k = 0; k < 16; ++k) {
        const int n = static_cast<int>(std::sqrt(k));
        const int a = std::abs(k - n * n - n);
        const double norm = std::sqrt(std::tgamma(n - a + 1.0) / std::tgamma(n + a + 1.0));
        for (int theta = 0; theta <= 180; ++theta) {
            const double exact = ((a % 2) ? -norm : norm) *
                                 std::assoc_legendre(n, a, std::cos(theta * degree));
            ASSERT_TRUE(withinOneUlp(elevationFactorTable[k][theta], exact)) << k << " " << theta;
        }
    }
    for (int j = 1; j <= 3; ++j)
        for (int phi = 0; phi < 360; ++phi) {
            ASSERT_TRUE(withinOneUlp(azimuthFactorTable[2 * (j - 1)][phi], 2 * std::sin(j * phi * degree)));
            ASSERT_TRUE(withinOneUlp(azimuthFactorTable[2 * j - 1][phi], 2 * std::cos(j * phi * degree)));
        }
    struct Telling { int row, column; double value; };
    for (const Telling& v : {Telling{0, 17, 1.0}, Telling{2, 60, 0.5}, Telling{1, 90, -0.70711},
                             Telling{3, 90, -0.70711}, Telling{6, 30, 0.625},
                             Telling{9, 90, -0.55902}, Telling{15, 90, -0.55902}})
        EXPECT_NEAR(elevationFactorTable[v.row][v.column], v.value, 5e-6) << v.row;
}

// Observes the steering factor of one channel: that channel carries 1, every
// other 0, and the order holding it has a one-tap unit filter at latency 0.
struct FactorProbe {
    int channel;
    std::unique_ptr<CMbf> mbf;
    Channels in;
    explicit FactorProbe(int k, int block, std::size_t samples)
        : channel(k), mbf(makeMbf(block, 0.0f)), in(16, Signal(samples, 0.0f)) {
        in[k].assign(samples, 1.0f);
        EXPECT_EQ(load(*mbf, onlyOrder(static_cast<int>(std::sqrt(k)), {1.0f})), 0);
    }
};

// The factor as the block forms it: a float product of the two table values.
float steeringFactor(int k, int theta, int phi) {
    const int n = static_cast<int>(std::sqrt(k));
    const int m = k - n * n - n;
    return elevationFactorTable[k][theta] * (m == 0 ? 1.0f : azimuthFactorTable[azimuthRowOfDegree(m)][phi]);
}

TEST(CMbfGlide, StepsOneDegreePerHundredSamplesWithExactGridEnds) {
    struct Case { bool azimuth; int from, to, direction, steps; };
    const Case cases[] = {
        {false, 90, 95, +1, 5},    {false, 90, 85, -1, 5},   {false, 0, 180, +1, 180},
        {true, 350, 10, +1, 20},   {true, 10, 350, -1, 20},  {true, 10, 190, +1, 180},
        {true, 190, 10, -1, 180},  {true, 0, 1, +1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << (c.azimuth ? "azimuth " : "elevation ") << c.from << " -> " << c.to);
        const std::size_t samples = static_cast<std::size_t>(c.steps + 2) * 100;
        FactorProbe probe(c.azimuth ? 3 : 2, 64, samples);
        CMbf& mbf = *probe.mbf;
        c.azimuth ? mbf.setTargetAzimuth(c.from) : mbf.setTargetElevation(c.from);
        mbf.start();
        c.azimuth ? mbf.setTargetAzimuth(c.to) : mbf.setTargetElevation(c.to);
        std::vector<int> track(samples);
        Signal out(samples);
        runBlocks(mbf, probe.in, out, 0, samples, 64, [&](std::size_t t, int frames) {
            const int* data = c.azimuth ? mbf.azimuthTrackData() : mbf.elevationTrackData();
            std::copy(data, data + frames, track.begin() + static_cast<long>(t));
        });
        auto wrap = [&](int a) { return c.azimuth ? (a % 360 + 360) % 360 : a; };
        auto factorAt = [&](int angle) {
            return c.azimuth ? steeringFactor(3, 90, angle) : steeringFactor(2, angle, 0);
        };
        for (std::size_t i = 0; i < samples; ++i) {
            const int done = std::min(c.steps, static_cast<int>((i + 1) / 100));
            ASSERT_EQ(track[i], wrap(c.from + c.direction * done)) << "sample " << i;
            const int start = wrap(c.from + c.direction * std::min(c.steps, static_cast<int>(i / 100)));
            if (done == c.steps && static_cast<int>(i / 100) >= c.steps) {
                ASSERT_EQ(out[i], factorAt(c.to)) << "at rest, sample " << i;
            } else if ((i + 1) % 100 == 0) {
                ASSERT_EQ(out[i], factorAt(track[i])) << "step end, sample " << i;
            } else {
                const double f = ((i % 100) + 1) / 100.0;
                const double a = factorAt(start), b = factorAt(wrap(start + c.direction));
                ASSERT_NEAR(out[i], a + f * (b - a), 2e-6) << "sample " << i;
            }
        }
        EXPECT_EQ(track[c.steps * 100 - 1], c.to);
    }
}

TEST(CMbfGlide, TargetChangeMidStepLetsTheStepFinish) {
    FactorProbe probe(2, 50, 400);
    CMbf& mbf = *probe.mbf;
    mbf.setTargetElevation(95);
    std::vector<int> track(400);
    Signal out(400);
    runBlocks(mbf, probe.in, out, 0, 400, 50, [&](std::size_t t, int frames) {
        std::copy(mbf.elevationTrackData(), mbf.elevationTrackData() + frames, track.begin() + static_cast<long>(t));
        if (t == 0) mbf.setTargetElevation(80);  // after 50 samples of the first step
    });
    EXPECT_EQ(track[98], 90);
    EXPECT_EQ(track[99], 91);   // the upward step still ends
    EXPECT_EQ(track[198], 91);
    EXPECT_EQ(track[199], 90);  // then the glide turns
    EXPECT_EQ(track[299], 89);
    EXPECT_EQ(out[99], steeringFactor(2, 91, 0));
}

TEST(CMbfGlide, NoJumpsWhileGliding) {
    // A steady plane wave: at rest the beam output is constant, so any sample
    // difference while gliding is the glide itself. Linear interpolation
    // between grid columns bounds it by the largest change between two step
    // ends / 100; a jump at a step or block boundary would exceed that.
    const double theta = 60 * degree, phi = 30 * degree;
    const std::size_t rest = 64, samples = rest + 181 * 100;
    Channels in(16, Signal(samples));
    for (int k = 0; k < 16; ++k) in[k].assign(samples, static_cast<float>(sphericalHarmonic(k, theta, phi)));
    struct Case { bool azimuth; int from, to, steps; };
    for (const Case& c : {Case{false, 0, 180, 180}, Case{true, 270, 90, 180}}) {
        auto mbf = makeMbf(64, 0.0f);
        ASSERT_EQ(load(*mbf, {Signal{1.0f}, Signal{1.0f}, Signal{1.0f}, Signal{1.0f}}), 0);
        c.azimuth ? mbf->setTargetAzimuth(c.from) : mbf->setTargetElevation(c.from);
        mbf->start();
        Signal out(samples);
        runBlocks(*mbf, in, out, 0, rest, 64);
        c.azimuth ? mbf->setTargetAzimuth(c.to) : mbf->setTargetElevation(c.to);
        runBlocks(*mbf, in, out, rest, samples, 64);
        double stepBound = 0.0, largest = 0.0;
        for (int s = 1; s <= c.steps; ++s) {
            const std::size_t end = rest + static_cast<std::size_t>(s) * 100 - 1;
            stepBound = std::max(stepBound, std::abs(double(out[end]) - out[end - 100]));
        }
        for (std::size_t i = 1; i < samples; ++i) largest = std::max(largest, std::abs(double(out[i]) - out[i - 1]));
        EXPECT_GT(largest, 0.0);
        EXPECT_LE(largest, stepBound / 100 * 1.05 + 1e-6) << (c.azimuth ? "azimuth" : "elevation");
    }
}

TEST(CMbfSteering, OrderSumsFollowTheAdditionTheorem) {
    // Each order sum of a plane wave from u, steered to v, is
    // sqrt((2n+1)/(4 pi)) P_n(cos gamma), gamma the angle between u and v.
    std::array<std::unique_ptr<CMbf>, 4> probes;
    for (int n = 0; n < 4; ++n) {
        probes[n] = makeMbf(4, 0.0f);
        ASSERT_EQ(load(*probes[n], onlyOrder(n, {1.0f})), 0);
    }
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Channels in(16, Signal(4));
    Signal out(4);
    for (int trial = 0; trial < 300; ++trial) {
        const double ut = std::acos(2 * unit(rng) - 1), up = 2 * pi * unit(rng);
        const int vt = static_cast<int>(unit(rng) * 181) % 181, vp = static_cast<int>(unit(rng) * 360) % 360;
        for (int k = 0; k < 16; ++k) in[k].assign(4, static_cast<float>(sphericalHarmonic(k, ut, up)));
        const double cosGamma = std::cos(ut) * std::cos(vt * degree) +
                                std::sin(ut) * std::sin(vt * degree) * std::cos(up - vp * degree);
        for (int n = 0; n < 4; ++n) {
            probes[n]->setTargetElevation(vt);
            probes[n]->setTargetAzimuth(vp);
            probes[n]->start();
            runBlocks(*probes[n], in, out, 0, 4, 4);
            const double expected = std::sqrt((2 * n + 1) / (4 * pi)) * std::legendre(n, cosGamma);
            ASSERT_NEAR(out[3], expected, 3e-6) << "order " << n << " trial " << trial;
        }
    }
}

class CMbfCrossfade : public ::testing::TestWithParam<int> {
protected:
    DirectFormFir exact;
};

TEST_P(CMbfCrossfade, NewSetTakesOverAfterItsLongestFilter) {
    const int block = GetParam();
    const std::array<Signal, 4> oldSet = {whiteNoise(101, 1), whiteNoise(31, 2), {}, whiteNoise(61, 3)};
    const std::array<Signal, 4> newSet = {whiteNoise(251, 4), whiteNoise(151, 5), whiteNoise(11, 6), {}};
    const std::size_t loadAt = static_cast<std::size_t>((1024 + block - 1) / block * block);
    const int fadeLength = 11025;
    const std::size_t samples = loadAt + 251 + fadeLength + 600;
    Channels in(16);
    for (int k = 0; k < 16; ++k) in[k] = whiteNoise(samples, 100 + k);

    auto reference = [&](const std::array<Signal, 4>& set) {
        auto mbf = makeMbf(block, 125.0f);
        EXPECT_EQ(load(*mbf, set), 0);
        Signal out(samples);
        runBlocks(*mbf, in, out, 0, samples, block);
        return out;
    };
    const Signal oldRef = reference(oldSet), newRef = reference(newSet);

    auto mbf = makeMbf(block, 125.0f);
    ASSERT_EQ(mbf->filterSlots().crossfadeLength(), fadeLength);
    ASSERT_EQ(load(*mbf, oldSet), 0);
    Signal out(samples);
    runBlocks(*mbf, in, out, 0, loadAt, block);
    ASSERT_EQ(load(*mbf, newSet), 0);
    runBlocks(*mbf, in, out, loadAt, samples, block);
    expectCrossfade(out, oldRef, newRef, 0, loadAt + 251, fadeLength, samples);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, CMbfCrossfade, ::testing::Values(512, 128, 7));

TEST(CMbfCrossfadeQueue, OnlyTheLastOfSeveralLoadsDuringAFadeFollows) {
    DirectFormFir exact;
    const int block = 512, fadeLength = 11025;
    const std::array<Signal, 4> a = {whiteNoise(251, 1), {}, {}, {}};
    const std::array<Signal, 4> b = {whiteNoise(201, 2), whiteNoise(21, 3), {}, {}};
    const std::array<Signal, 4> c = {whiteNoise(251, 4), {}, whiteNoise(5, 5), {}};
    const std::array<Signal, 4> d = {whiteNoise(99, 6), {}, {}, whiteNoise(251, 7)};
    const std::size_t bAt = 1024, cAt = 3072, dAt = 4096;
    // b's 201-tap filter sits behind a 25-sample delay: its output is fully
    // formed, and its fade starts, 225 samples after the load. d (pending)
    // starts running at the sample after b's fade, even inside a block.
    const std::size_t bFade = bAt + 225;
    const std::size_t bEnd = bFade + fadeLength;
    const std::size_t handover = bEnd;
    const std::size_t samples = handover + 251 + fadeLength + 600;
    Channels in(16);
    for (int k = 0; k < 16; ++k) in[k] = whiteNoise(samples, 200 + k);
    auto reference = [&](const std::array<Signal, 4>& set) {
        auto mbf = makeMbf(block, 125.0f);
        EXPECT_EQ(load(*mbf, set), 0);
        Signal out(samples);
        runBlocks(*mbf, in, out, 0, samples, block);
        return out;
    };
    const Signal aRef = reference(a), bRef = reference(b), dRef = reference(d);

    auto mbf = makeMbf(block, 125.0f);
    ASSERT_EQ(load(*mbf, a), 0);
    Signal out(samples);
    runBlocks(*mbf, in, out, 0, samples, block, [&](std::size_t t, int frames) {
        const std::size_t next = t + static_cast<std::size_t>(frames);
        if (next == bAt) { EXPECT_EQ(load(*mbf, b), 0); }
        if (next == cAt) { EXPECT_EQ(load(*mbf, c), 0); }
        if (next == dAt) {
            EXPECT_EQ(load(*mbf, d), 0);
            EXPECT_TRUE(mbf->filterSlots().occupied(CrossfadeSlots::Slot::pending));
        }
    });
    expectCrossfade(out, aRef, bRef, 0, bFade, fadeLength, handover + 251);
    expectCrossfade(out, bRef, dRef, bEnd, handover + 251, fadeLength, samples);
}

TEST(CMbfLatency, CentredImpulseArrivesAfterTruncatedLatency) {
    for (const float latency : {125.0f, 10.6f}) {
        const int fixed = static_cast<int>(latency);
        auto mbf = makeMbf(64, latency);
        for (int order : {0, 3}) {
            for (int length = 1; length <= 2 * fixed + 1; length += 2) {
                ASSERT_EQ(mbf->setLatency(latency), 0);
                Signal taps(static_cast<std::size_t>(length), 0.0f);
                taps[static_cast<std::size_t>(length / 2)] = 1.0f;
                ASSERT_EQ(load(*mbf, onlyOrder(order, taps)), 0);
                mbf->setTargetElevation(0);
                mbf->setTargetAzimuth(0);
                mbf->start();
                mbf->stop();
                const std::size_t samples = static_cast<std::size_t>(fixed) + 70;
                Channels in(16, Signal(samples, 0.0f));
                const int channel = order * order + order;  // m = 0: factor P_n(1) at the zenith
                in[channel][0] = 1.0f;
                Signal out(samples);
                runBlocks(*mbf, in, out, 0, samples, 64);
                // Filters reaching past the direct-form head go through FFT
                // partitions, whose round-off (within 2e-7 of the taps' absolute
                // sum times the input peak, here 1) lands on every output.
                for (std::size_t t = 0; t < samples; ++t)
                    ASSERT_NEAR(out[t], t == static_cast<std::size_t>(fixed) ? elevationFactorTable[channel][0] : 0.0f,
                                2e-7)
                        << "latency " << latency << " order " << order << " length " << length << " t " << t;
            }
        }
    }
}

void blockSizesGiveTheSameOutputAndTracks() {
    DirectFormFir exact;
    const std::size_t samples = 40 * 512;
    Channels in(16);
    for (int k = 0; k < 16; ++k) in[k] = whiteNoise(samples, 300 + k);
    // Automation at multiples of 512, so every block size meets it at the same sample.
    struct Event { std::size_t at; int elevation, azimuth; bool loads; std::array<Signal, 4> set; };
    std::vector<Event> events;
    std::mt19937 rng(5);
    for (std::size_t at = 0; at < samples; at += 512)
        if (at == 0 || rng() % 3 == 0)
            events.push_back({at, static_cast<int>(rng() % 181), static_cast<int>(rng() % 360),
                              at == 0 || rng() % 2 == 0, randomSet(rng, 251)});
    auto run = [&](int block) {
        auto mbf = makeMbf(block, 125.0f);
        Signal out(samples);
        std::vector<int> tracks(2 * samples);
        std::size_t next = 0;
        for (std::size_t t = 0; t < samples; t += static_cast<std::size_t>(block)) {
            for (; next < events.size() && events[next].at == t; ++next) {
                mbf->setTargetElevation(events[next].elevation);
                mbf->setTargetAzimuth(events[next].azimuth);
                if (events[next].loads) { EXPECT_EQ(load(*mbf, events[next].set), 0); }
            }
            runBlocks(*mbf, in, out, t, t + static_cast<std::size_t>(block), block);
            std::copy(mbf->elevationTrackData(), mbf->elevationTrackData() + block, tracks.begin() + static_cast<long>(t));
            std::copy(mbf->azimuthTrackData(), mbf->azimuthTrackData() + block, tracks.begin() + static_cast<long>(samples + t));
        }
        return std::make_pair(out, tracks);
    };
    const auto reference = run(512);
    for (int block : {1, 64}) {
        const auto other = run(block);
        EXPECT_EQ(other.second, reference.second) << "tracks, block " << block;
        for (std::size_t t = 0; t < samples; ++t)
            ASSERT_EQ(other.first[t], reference.first[t]) << "block " << block << " sample " << t;
    }
}

TEST(CMbfBlocks, OutputAndTracksDoNotDependOnBlockSize) {
    testing::atEveryLevel(blockSizesGiveTheSameOutputAndTracks);
}

TEST(CMbfStatus, EveryRefusalAnswersItsCode) {
    auto good = [] { return stream(16, 64); };
    auto out1 = [] { return stream(1, 64); };
    auto with = [](vkAudioInterface s, auto change) { change(s); return s; };
    struct ConfigureCase { const char* what; vkAudioInterface in, out; int expected; };
    const ConfigureCase configureCases[] = {
        {"frequency-domain input", with(good(), [](auto& s) { s.domain = 1; }), out1(), 2},
        {"format flag clear", with(good(), [](auto& s) { s.formatFlag = false; }), out1(), 2},
        {"two outputs", good(), stream(2, 64), 2},
        {"rates differ", good(), stream(1, 64, 48000.0f), 2},
        {"frame counts differ", good(), stream(1, 32), 2},
        {"five inputs", stream(5, 64), out1(), 2},
        {"no frames", stream(16, 0), stream(1, 0), 2},
        {"nine inputs", stream(9, 64), out1(), 0},
        {"one input", stream(1, 64), out1(), 0},
    };
    for (const auto& c : configureCases) {
        CMbf mbf;
        EXPECT_EQ(mbf.configure(c.in, c.out), c.expected) << c.what;
    }

    CMbf mbf;
    const float* in[16] = {};
    float sample = 0.0f;
    float* out[1] = {&sample};
    EXPECT_EQ(mbf.process(in, out, 1), mbfStatus::notConfigured);
    const int lengths[4] = {1, 1, 1, 1};
    const float tap = 1.0f;
    const float* taps[4] = {&tap, &tap, &tap, &tap};
    EXPECT_EQ(mbf.loadModalFilters(lengths, taps), mbfStatus::tooFewOrders);
    ASSERT_EQ(mbf.configure(stream(9, 64), stream(1, 64)), 0);
    EXPECT_EQ(mbf.loadModalFilters(lengths, taps), mbfStatus::tooFewOrders);
    ASSERT_EQ(mbf.configure(good(), out1()), 0);
    EXPECT_EQ(mbf.setLatency(-1.0f), mbfStatus::badLatency);
    EXPECT_EQ(mbf.setLatency(std::nanf("")), mbfStatus::badLatency);
    EXPECT_EQ(mbf.setLatency(1e9f), mbfStatus::badLatency);
    EXPECT_EQ(mbf.setLatency(2.5f), 0);  // at most 5 taps
    const int tooLong[4] = {1, 6, 1, 1};
    EXPECT_EQ(mbf.loadModalFilters(tooLong, taps), mbfStatus::filterTooLong);
    EXPECT_FALSE(mbf.filterSlots().occupied(CrossfadeSlots::Slot::current));
    EXPECT_EQ(mbf.loadModalFilters(nullptr, taps), mbfStatus::missingTaps);
    const float* missing[4] = {&tap, nullptr, &tap, &tap};
    EXPECT_EQ(mbf.loadModalFilters(lengths, missing), mbfStatus::missingTaps);
    const int noSecond[4] = {1, 0, 1, 1};
    EXPECT_EQ(mbf.loadModalFilters(noSecond, missing), 0);
    EXPECT_EQ(mbf.process(in, out, 65), status::unsupportedStream);
    EXPECT_EQ(mbf.start(), 0);
    EXPECT_EQ(mbf.configure(good(), out1()), status::blockActive);
    EXPECT_EQ(mbf.setLatency(3.0f), status::blockActive);
    EXPECT_EQ(mbf.stop(), 0);
    EXPECT_EQ(mbf.configure(good(), out1()), 0);
}

TEST(CMbfStatus, AllocationFailuresInConfigureAnswerSevenAndLeaveNoLeak) {
    int refusals = 0;
    for (std::size_t n = 1; n < 80; ++n) {
        CMbf mbf;
        int result = 0;
        bool refused = false;
        {
            AllocationFailureScope fail(n);
            result = mbf.configure(stream(16, 64), stream(1, 64));
            refused = fail.refusedAny();
        }
        if (!refused) break;
        ++refusals;
        EXPECT_EQ(result, status::allocationFailed) << "allocation " << n;
        const int lengths[4] = {1, 0, 0, 0};
        const float tap = 1.0f;
        const float* taps[4] = {&tap, nullptr, nullptr, nullptr};
        EXPECT_NE(mbf.loadModalFilters(lengths, taps), 0);
        ASSERT_EQ(mbf.configure(stream(16, 64), stream(1, 64)), 0);  // usable again
        EXPECT_EQ(mbf.loadModalFilters(lengths, taps), 0);
    }
    EXPECT_GT(refusals, 10);
}

TEST(CMbfSafety, AnglesAreClampedAndReducedWhateverIsPassed) {
    CMbf mbf;
    struct Case { float elevation, azimuth; int expectedElevation, expectedAzimuth; };
    for (const Case& c : {Case{-5.0f, -90.0f, 0, 270}, Case{200.0f, 360.0f, 180, 0},
                          Case{179.9f, 725.5f, 179, 5}, Case{std::nanf(""), -0.5f, 0, 0},
                          Case{1e30f, -1e30f, 180, 0}}) {
        mbf.setElevation(c.elevation);
        mbf.setAzimuth(c.azimuth);
        EXPECT_EQ(mbf.getTargetElevation(), c.expectedElevation) << c.elevation;
        EXPECT_GE(mbf.getTargetAzimuth(), 0);
        EXPECT_LT(mbf.getTargetAzimuth(), 360);
        if (std::abs(c.azimuth) < 1e6f) { EXPECT_EQ(mbf.getTargetAzimuth(), c.expectedAzimuth) << c.azimuth; }
        if (!std::isnan(c.elevation)) { EXPECT_EQ(mbf.getElevationDegrees(), c.elevation); }
    }
    for (const int a : {std::numeric_limits<int>::min(), -1, 359, 360, std::numeric_limits<int>::max()}) {
        mbf.setTargetAzimuth(a);
        EXPECT_EQ(mbf.getTargetAzimuth(), ((a % 360) + 360) % 360);
        mbf.setTargetElevation(a);
        EXPECT_EQ(mbf.getTargetElevation(), std::clamp(a, 0, 180));
    }
}

TEST(CMbfSafety, StartDuringAStepJumpsToAReachedGridAngle) {
    FactorProbe probe(2, 50, 1200);
    CMbf& mbf = *probe.mbf;
    mbf.setTargetElevation(179);
    mbf.start();
    mbf.setTargetElevation(180);
    Signal out(1200);
    runBlocks(mbf, probe.in, out, 0, 50, 50);  // half of the step to 180
    mbf.start();
    EXPECT_EQ(mbf.getCurrentElevation(), 180);
    mbf.setTargetElevation(175);
    std::vector<int> track;
    runBlocks(mbf, probe.in, out, 50, 1200, 50, [&](std::size_t, int frames) {
        track.insert(track.end(), mbf.elevationTrackData(), mbf.elevationTrackData() + frames);
    });
    for (std::size_t i = 0; i < track.size(); ++i) {
        ASSERT_GE(track[i], 175);
        ASSERT_LE(track[i], 180);
        if (i > 0) { ASSERT_LE(track[i], track[i - 1]); }
        if ((i + 1) % 100 == 0) { ASSERT_EQ(out[50 + i], elevationFactorTable[2][track[i]]); }
    }
    EXPECT_EQ(track.back(), 175);
}

TEST(CMbfSafety, FewerInputsAfterALoadNeverSteerPastTheNewOrder) {
    auto mbf = makeMbf(32, 125.0f);
    ASSERT_EQ(load(*mbf, {whiteNoise(251, 1), whiteNoise(251, 2), whiteNoise(251, 3), whiteNoise(251, 4)}), 0);
    ASSERT_EQ(mbf->getSteeredOrders(), 3);
    for (int channels : {4, 1, 9}) {
        ASSERT_EQ(mbf->configure(stream(channels, 32), stream(1, 32)), 0);
        mbf->setTargetElevation(10);
        mbf->setTargetAzimuth(200);
        Channels in(static_cast<std::size_t>(channels), whiteNoise(640, 9));
        Signal out(640, 1.0f);
        runBlocks(*mbf, in, out, 0, 640, 32);  // under the address sanitizer: no stray reads
        for (float v : out) ASSERT_EQ(v, 0.0f);  // no set loaded: silence
    }
}

TEST(CMbfRealTime, NothingAllocatesOnTheAudioPath) {
    auto mbf = makeMbf(512, 125.0f);
    Channels in(16, whiteNoise(512, 3));
    Signal out(512);
    std::mt19937 rng(3);
    const auto set = randomSet(rng, 251);
    int lengths[4];
    const float* taps[4];
    for (int n = 0; n < 4; ++n) {
        lengths[n] = static_cast<int>(set[n].size());
        taps[n] = set[n].data();
    }
    AllocationScope scope;
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(mbf->loadModalFilters(lengths, taps), 0);
        mbf->setTargetElevation(30 * i);
        mbf->setAzimuth(-45.0f * i);
        runBlocks(*mbf, in, out, 0, 512, 512);
        if (i == 3) mbf->reset();
    }
    mbf->start();
    runBlocks(*mbf, in, out, 0, 512, 512);
    mbf->stop();
    EXPECT_EQ(scope.allocations(), 0u);
}

}  // namespace
}  // namespace qb32::testing
