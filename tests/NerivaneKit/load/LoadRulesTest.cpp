#include <gtest/gtest.h>

#include "NerivaneKit/load/LoadGrade.h"
#include "NerivaneKit/load/LoadRules.h"
#include "NerivaneKit/load/TrafficMeter.h"

namespace nerivane {
namespace {

using C = LoadClass;
constexpr double mbit = 1e6;

TEST(LoadRules, ClassesAtTheHalfTheFloorAndTheTenth) {
    const LinkCapacity link{20 * mbit, 100 * mbit}, slow{1 * mbit, 1 * mbit}, none{};
    const struct {
        double up, down;
        LinkCapacity capacity;
        C expected;
    } rows[] = {
        {10 * mbit, 0, link, C::upload},            // exactly half
        {9.99 * mbit, 0, link, C::unknown},         // under half, over a tenth
        {0, 50 * mbit, link, C::download},
        {10 * mbit, 50 * mbit, link, C::both},
        {1.99 * mbit, 9.99 * mbit, link, C::idle},  // under a tenth both ways
        {2 * mbit, 0, link, C::unknown},
        {0.9 * mbit, 0, slow, C::unknown},  // half of a slow link, but under the 1 Mbit/s floor
        {1 * mbit, 0, slow, C::upload},
        {0.099 * mbit, 0.099 * mbit, slow, C::idle},  // a tenth would be 100 kbit/s: the floor holds
        {0.099 * mbit, 0, none, C::idle},
        {0.1 * mbit, 0, none, C::unknown},
        {1 * mbit, 0, none, C::upload},  // any load is busy against no capacity
    };
    for (const auto& row : rows)
        EXPECT_EQ(LoadRules::classify(row.up, row.down, row.capacity), row.expected) << "row " << (&row - rows);

    EXPECT_EQ(LoadRules::merge(C::idle, C::idle), C::idle);
    EXPECT_EQ(LoadRules::merge(C::idle, C::unknown), C::unknown);
    EXPECT_EQ(LoadRules::merge(C::idle, C::upload), C::upload);  // it met the queue
    EXPECT_EQ(LoadRules::merge(C::download, C::upload), C::both);
}

TEST(LoadRules, QueuePlaceFromTheRouterRisingWithTheInternet) {
    auto role = [](double added, int lost = 0) { return RoleLoad{10, 10 + added, added, 50, lost}; };
    const std::optional<RoleLoad> none;
    const struct {
        std::optional<RoleLoad> router, internet;
        QueuePlace expected;
    } rows[] = {
        {role(0), role(480), QueuePlace::beyondRouter},
        {role(4), role(6), QueuePlace::beyondRouter},  // under 5 ms is no rise
        {role(100), role(300), QueuePlace::beyondRouter},
        {role(150), role(300), QueuePlace::thisSide},
        {none, role(300), QueuePlace::unknown},  // the router's rise is not known yet
        {role(20), none, QueuePlace::thisSide},
        {role(0), role(2), QueuePlace::unknown},
        {none, none, QueuePlace::unknown},
        {role(0, 0), role(1, 5), QueuePlace::beyondRouter},  // losses alone tell
        {role(0, 3), role(1, 5), QueuePlace::thisSide},
    };
    for (const auto& row : rows)
        EXPECT_EQ(LoadRules::queuePlace(row.router, row.internet), row.expected) << "row " << (&row - rows);
}

TEST(LoadGrade, Boundaries) {
    const std::pair<double, LoadGrade> rows[] = {
        {-3, LoadGrade::aPlus}, {4.9, LoadGrade::aPlus}, {5, LoadGrade::a},   {29.9, LoadGrade::a},
        {30, LoadGrade::b},     {60, LoadGrade::c},      {199, LoadGrade::c}, {200, LoadGrade::d},
        {399.9, LoadGrade::d},  {400, LoadGrade::f},
    };
    for (const auto& [added, grade] : rows) EXPECT_EQ(gradeForAddedLatency(added), grade) << added;
    EXPECT_EQ(parseLoadGrade(text(LoadGrade::aPlus)), LoadGrade::aPlus);
    EXPECT_EQ(parseLoadGrade("E"), std::nullopt);
}

TEST(TrafficMeter, CapacityIsTheLargerOfHistoryAndTheSessionsPeakTenSeconds) {
    TrafficMeter meter;
    TrafficMeter::Reading counters;
    std::optional<TrafficSample> sample;
    auto second = [&](int t, std::uint64_t sent, const LinkCapacity& remembered = {}) {
        counters.sentBytes += sent;
        sample = meter.read(t, 1000 + t, "eth0", counters, remembered);
    };
    second(0, 0);
    EXPECT_FALSE(sample);  // the first read only sets the start
    for (int t = 1; t <= 5; ++t) second(t, 2'500);  // 20 kbit/s
    EXPECT_EQ(sample, (TrafficSample{1005, 1, 2'500, 0}));
    EXPECT_EQ(meter.latest()->load, C::idle);
    // A fresh install's first upload is busy against its own ramp.
    second(6, 2'500'000);
    EXPECT_EQ(meter.latest()->load, C::upload);
    EXPECT_NEAR(meter.sessionPeak.uploadBitsPerSecond, 2.01 * mbit, 1);
    for (int t = 7; t <= 30; ++t) second(t, 2'500'000);
    EXPECT_DOUBLE_EQ(meter.sessionPeak.uploadBitsPerSecond, 20 * mbit);
    // History's larger capacity wins: 20 Mbit/s is no longer half of it.
    second(31, 2'500'000, {100 * mbit, 0});
    EXPECT_EQ(meter.latest()->load, C::unknown);
    EXPECT_EQ(meter.capacity({100 * mbit, 0}), (LinkCapacity{100 * mbit, 0}));
    EXPECT_EQ(meter.busy[0]->end, 30);
    EXPECT_DOUBLE_EQ(meter.busy[0]->bitsPerSecond(), 20 * mbit);
    // A probe in flight across an idle and a busy second met the queue;
    // one not yet covered by the counters waits.
    EXPECT_EQ(meter.classify(5.5, 6.5), C::upload);
    EXPECT_EQ(meter.classify(2, 3), C::idle);
    EXPECT_EQ(meter.classify(31.5, 32), C::unknown);
    // Counters that went backwards (a reset) or another interface start over.
    counters = {};
    second(32, 0);
    EXPECT_FALSE(sample);
    EXPECT_EQ(meter.classify(31.5, 32.5), C::unknown);
}

}  // namespace
}  // namespace nerivane
