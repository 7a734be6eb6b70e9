// The shared modal filters: every output of every set is its component
// through its order's effective filter (delay, then taps), checked against a
// double-precision direct form over the whole stream, also for sets started
// in the middle of the stream, dropped and started again, two at once, with
// random call sizes, at every instruction-set level; and nothing allocates.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "engine/SharedModalFilters.h"
#include "filters/CrossfadeSlots.h"
#include "framework/Simd.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/Reference.h"
#include "tests/support/SimdLevels.h"

namespace qb32 {
namespace {

constexpr int samples = 6000;

int orderOf(int k) { return k < 1 ? 0 : k < 4 ? 1 : k < 9 ? 2 : 3; }

// A filter set as a modal stage holds it (its bank's copy of the filters).
struct FilterSet {
    FilterSet(int latencyIn, std::vector<int> lengthsIn, std::uint32_t seed, std::vector<int> silentOrders = {})
        : latency(latencyIn), lengths(std::move(lengthsIn)) {
        for (int n = 0; n < 4; ++n) {
            taps[n] = testing::whiteNoise(static_cast<std::size_t>(std::max(lengths[n], 1)), seed + n);
            if (std::find(silentOrders.begin(), silentOrders.end(), n) != silentOrders.end())
                std::fill(taps[n].begin(), taps[n].end(), 0.0f);
        }
        slots.configure(4, 512, 44100.0f, 50, CrossfadeSlots::MissingFilter::silent,
                        CrossfadeSlots::Convolution::partitioned);
        slots.setLatency(static_cast<float>(latency));
        const float* rows[4] = {taps[0].data(), taps[1].data(), taps[2].data(), taps[3].data()};
        slots.load(lengths.data(), rows, 4);
    }
    const CrossfadeSlots::BankFilters& filters() const { return slots.filtersOf(0); }
    // Component k's filter as the set applies it: the delay, then the taps.
    std::vector<float> effective(int k) const {
        const int n = orderOf(k);
        if (lengths[n] <= 0) return {};
        std::vector<float> e(static_cast<std::size_t>(latency - (lengths[n] - 1) / 2), 0.0f);
        e.insert(e.end(), taps[n].begin(), taps[n].begin() + lengths[n]);
        return e;
    }
    int latency;
    std::vector<int> lengths;
    std::vector<float> taps[4];
    CrossfadeSlots slots;
};

struct Case {
    const char* name;
    int latency;                         // the modal stages': 125 at 44.1 kHz, 544 at 192 kHz
    std::vector<std::vector<int>> sets;  // lengths per order of each set
    std::vector<std::vector<int>> silent;
    std::vector<int> startAt;            // sample at which each set is first asked for
    int dropAt;                          // the first set is dropped here and asked for again 700 later (-1: never)
};

TEST(SharedModalFilters, EveryOutputIsItsComponentThroughItsOrdersFilter) {
    const std::vector<Case> cases = {
        {"four full orders from the start", 125, {{251, 251, 251, 251}}, {{}}, {0}, -1},
        {"omni: one tap behind 125 zeros", 125, {{1, 0, 0, 0}}, {{}}, {700}, -1},
        {"two sets, one with silent orders, started late", 125, {{251, 251, 251, 251}, {101, 51, 251, 251}},
         {{}, {2, 3}}, {0, 1111}, -1},
        {"dropped and asked for again", 125, {{251, 201, 151, 251}}, {{}}, {333}, 1500},
        {"192 kHz: two levels of partitions, started late", 544, {{1089, 1089, 1089, 1089}, {1, 0, 301, 1089}},
         {{}, {}}, {0, 2345}, -1},
        {"192 kHz: dropped and asked for again", 544, {{1089, 901, 1089, 1089}}, {{}}, {777}, 3001},
    };
    std::vector<std::vector<float>> x(16);
    for (int k = 0; k < 16; ++k) x[k] = testing::whiteNoise(samples, 300 + k);
    testing::atEveryLevel([&] {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            std::vector<std::unique_ptr<FilterSet>> sets;
            for (std::size_t s = 0; s < c.sets.size(); ++s)
                sets.push_back(std::make_unique<FilterSet>(c.latency, c.sets[s], 500 + 10 * static_cast<std::uint32_t>(s),
                                                           c.silent[s]));
            SharedModalFilters bank;
            ASSERT_EQ(bank.configure(512, 2 * c.latency + 1, 4 * c.latency), 0);
            bool usedTable[2][16] = {};
            for (std::size_t set = 0; set < sets.size(); ++set)
                for (int k = 0; k < 16; ++k)
                    usedTable[set][k] = !sets[set]->effective(k).empty() &&
                                        std::find(c.silent[set].begin(), c.silent[set].end(), orderOf(k)) ==
                                            c.silent[set].end();
            auto used = [&](std::size_t set, int k) { return usedTable[set][k]; };
            // out[s][k]: what set s gave for component k (NaN where it did not run).
            std::vector<std::vector<std::vector<float>>> out(
                sets.size(), std::vector<std::vector<float>>(16, std::vector<float>(samples, std::nanf(""))));
            const std::vector<int> calls = testing::randomBlockSizes(samples, 512, 23);
            testing::AllocationScope noAllocation;
            std::size_t call = 0;
            for (int at = 0; at < samples;) {
                int n = std::min(calls[call++ % calls.size()], samples - at);
                // Calls end where the choice of sets changes.
                for (int edge : {c.startAt.back(), c.dropAt, c.dropAt + 700})
                    if (at < edge && edge < at + n) n = edge - at;
                int index[2] = {-1, -1};
                bank.beginSets();
                for (std::size_t s = 0; s < sets.size(); ++s) {
                    const bool dropped = s == 0 && c.dropAt >= 0 && at >= c.dropAt && at < c.dropAt + 700;
                    if (at >= c.startAt[s] && !dropped) index[s] = bank.useSet(sets[s]->filters());
                }
                bank.endSets();
                const float* in[16];
                for (int k = 0; k < 16; ++k) in[k] = x[k].data() + at;
                bank.process(in, n);
                for (std::size_t s = 0; s < sets.size(); ++s) {
                    if (index[s] < 0) continue;
                    const float* const* y = bank.outputs(index[s]);
                    for (int k = 0; k < 16; ++k) {
                        ASSERT_EQ(y[k] != nullptr, used(s, k)) << "component " << k;
                        if (y[k] != nullptr) std::copy(y[k], y[k] + n, out[s][k].begin() + at);
                    }
                }
                at += n;
            }
            EXPECT_EQ(noAllocation.allocations(), 0u);
            for (std::size_t s = 0; s < sets.size(); ++s)
                for (int k = 0; k < 16; ++k) {
                    const auto e = sets[s]->effective(k);
                    if (!used(s, k)) continue;
                    const auto exact = testing::directFir(e, x[k]);
                    double absSum = 0.0;
                    for (float v : e) absSum += std::fabs(v);
                    int checked = 0;
                    for (int t = 0; t < samples; ++t) {
                        if (std::isnan(out[s][k][t])) continue;
                        ++checked;
                        ASSERT_NEAR(out[s][k][t], exact[t], 2e-7 * std::max(1.0, absSum))
                            << "set " << s << " component " << k
                                                                            << " sample " << t;
                    }
                    EXPECT_EQ(checked, samples - (s == 0 ? c.startAt[0] + (c.dropAt >= 0 ? 700 : 0) : c.startAt[s]));
                }
        }
    });
}

// How the stream is cut into calls changes no bit: whole blocks, random sizes
// and calls of 1 to 7 samples (the heads across the components at the AVX2
// level) give the same outputs, with one level of partitions (251 taps) and
// with two (1089 taps, boundaries of the second level inside short calls).
TEST(SharedModalFilters, CallSizesChangeNoBit) {
    std::vector<std::vector<float>> x(16);
    for (int k = 0; k < 16; ++k) x[k] = testing::whiteNoise(samples, 700 + k);
    testing::atEveryLevel([&] {
        for (int latency : {125, 544}) {
            SCOPED_TRACE(latency);
            const FilterSet set(latency, {2 * latency + 1, 2 * latency - 99, 2 * latency + 1, 2 * latency + 1}, 900);
            auto render = [&](const std::vector<int>& calls) {
                SharedModalFilters bank;
                EXPECT_EQ(bank.configure(512, 2 * latency + 1, 4 * latency), 0);
                std::vector<std::vector<float>> out(16, std::vector<float>(samples));
                std::size_t call = 0;
                for (int at = 0; at < samples;) {
                    const int n = std::min(calls[call++ % calls.size()], samples - at);
                    bank.beginSets();
                    const int index = bank.useSet(set.filters());
                    bank.endSets();
                    const float* in[16];
                    for (int k = 0; k < 16; ++k) in[k] = x[k].data() + at;
                    bank.process(in, n);
                    for (int k = 0; k < 16; ++k) std::copy(bank.outputs(index)[k], bank.outputs(index)[k] + n, out[k].begin() + at);
                    at += n;
                }
                return out;
            };
            const auto blocks = render({512});
            const auto random = render(testing::randomBlockSizes(samples, 512, 31));
            const auto tiny = render(testing::randomBlockSizes(samples, 7, 32));
            for (int k = 0; k < 16; ++k)
                for (int t = 0; t < samples; ++t) {
                    ASSERT_EQ(random[k][t], blocks[k][t]) << "component " << k << " sample " << t;
                    ASSERT_EQ(tiny[k][t], blocks[k][t]) << "component " << k << " sample " << t;
                }
        }
    });
}

}  // namespace
}  // namespace qb32
