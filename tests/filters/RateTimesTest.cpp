// Everything that is a time lasts the same time at every supported rate,
// measured from the stages' outputs: the direction glide (441 degrees per
// second), the pattern crossfade (time constant 50 ms, 250 ms in all) and the
// high band's region fade (250 ms, down to -40 dB).
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "filters/CMbf.h"
#include "filters/CQbHf.h"
#include "filters/vkxShadowFilter.h"
#include "framework/SampleRates.h"
#include "tests/filters/FilterTestSupport.h"

namespace qb32 {
namespace {

class AtEveryRate : public ::testing::TestWithParam<int> {};

// 90 degrees of glide on each axis take 90 x rate / 441 samples within one
// sample, in steps of whole samples no more than one apart in length.
TEST_P(AtEveryRate, NinetyDegreesOfGlideTakeTheSameTime) {
    const int rate = GetParam();
    const double expected = 90.0 * rate / 441.0;
    for (bool azimuth : {false, true}) {
        CMbf m;
        ASSERT_EQ(m.configure(testing::stream(16, 256, static_cast<float>(rate)),
                              testing::stream(1, 256, static_cast<float>(rate))),
                  0);
        ASSERT_EQ(m.getGlideRate(), rate);
        if (azimuth) m.setTargetAzimuth(90);
        else m.setTargetElevation(180);
        std::vector<std::vector<float>> in(16, std::vector<float>(256, 0.0f));
        std::vector<const float*> ip;
        for (auto& c : in) ip.push_back(c.data());
        std::vector<float> out(256);
        float* op[1] = {out.data()};
        std::vector<int> track;
        while (static_cast<int>(track.size()) < 2 * expected) {
            ASSERT_EQ(m.process(ip.data(), op, 256), 0);
            const int* t = azimuth ? m.azimuthTrackData() : m.elevationTrackData();
            track.insert(track.end(), t, t + 256);
        }
        // The sample at which each new degree is reached.
        std::vector<int> reached;
        const int start = azimuth ? 0 : 90;
        for (std::size_t i = 0; i < track.size(); ++i)
            if (track[i] != (i == 0 ? start : track[i - 1])) reached.push_back(static_cast<int>(i) + 1);
        ASSERT_EQ(reached.size(), 90u);
        EXPECT_NEAR(reached.back(), expected, 1.0) << (azimuth ? "azimuth" : "elevation");
        for (std::size_t k = 1; k < reached.size(); ++k) {
            const int step = reached[k] - reached[k - 1];
            ASSERT_GE(step, rate / 441) << k;
            ASSERT_LE(step, rate / 441 + 1) << k;
        }
    }
}

// A new filter set takes over through exp(-t / 50 ms): one time constant
// after the fade starts the old set weighs 1/e, and after 250 ms the new set
// alone is heard.
TEST_P(AtEveryRate, PatternCrossfadeHasItsTimeConstantInMilliseconds) {
    const int rate = GetParam();
    const int block = 512;
    vkxShadowFilter f;
    const auto s = testing::stream(1, block, static_cast<float>(rate));
    ASSERT_EQ(f.configure(s, s), 0);
    ASSERT_EQ(f.setLatency(0.0f), 0);
    const float one = 1.0f, zero = 0.0f;
    const int length = 1;
    const float* unit[1] = {&one};
    const float* silent[1] = {&zero};
    ASSERT_EQ(f.loadFilter(&length, unit), 0);
    std::vector<float> in(block, 1.0f), out(block);
    const float* ip[1] = {in.data()};
    float* op[1] = {out.data()};
    ASSERT_EQ(f.process(ip, op, block), 0);
    ASSERT_EQ(f.loadFilter(&length, silent), 0);
    std::vector<float> y;
    for (int n = 0; n < rate / 2; n += block) {
        ASSERT_EQ(f.process(ip, op, block), 0);
        y.insert(y.end(), out.begin(), out.end());
    }
    int fadeStart = -1, atOneOverE = -1, end = -1;
    for (int i = 0; i < static_cast<int>(y.size()); ++i) {
        if (fadeStart < 0 && y[i] < 1.0f) fadeStart = i - 1;  // the sample where the old set still weighs 1
        if (atOneOverE < 0 && y[i] < std::exp(-1.0f)) atOneOverE = i;
        if (end < 0 && y[i] == 0.0f) end = i;
    }
    ASSERT_GE(fadeStart, 0);
    EXPECT_NEAR(1000.0 * (atOneOverE - fadeStart) / rate, 50.0, 1.01 * 1000.0 / rate);  // within a sample
    EXPECT_NEAR(1000.0 * (end - fadeStart) / rate, 250.0, 1.01 * 1000.0 / rate);
}

// The high band's region fade: 250 ms from 0 dB to -40 dB, whatever the rate.
TEST_P(AtEveryRate, RegionFadeLastsAQuarterSecond) {
    const int rate = GetParam();
    CQbHf h;
    ASSERT_EQ(h.configure(testing::stream(32, 256, static_cast<float>(rate)),
                          testing::stream(1, 256, static_cast<float>(rate))),
              0);
    const int length = h.getSwitchRampLength();
    EXPECT_NEAR(1000.0 * length / rate, 250.0, 1000.0 / rate);
    const float* ramp = h.getSwitchRamp();
    ASSERT_NE(ramp, nullptr);
    EXPECT_EQ(ramp[0], 1.0f);
    EXPECT_NEAR(ramp[length - 1], 0.01f, 1e-6f);
    // Straight in decibels: -20 dB half-way in time.
    EXPECT_NEAR(20.0 * std::log10(ramp[(length - 1) / 2]), -20.0, 40.0 / length + 1e-3);
}

INSTANTIATE_TEST_SUITE_P(Rates, AtEveryRate, ::testing::ValuesIn(sampleRates::supported_hz),
                         [](const ::testing::TestParamInfo<int>& rate) { return std::to_string(rate.param); });

}  // namespace
}  // namespace qb32
