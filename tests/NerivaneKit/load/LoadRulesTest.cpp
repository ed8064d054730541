#include <gtest/gtest.h>

#include <sys/socket.h>

#include <array>
#include <tuple>

#include "NerivaneKit/load/LocalTraffic.h"
#include "NerivaneKit/load/LoadGrade.h"
#include "NerivaneKit/load/LoadRules.h"
#include "NerivaneKit/load/TrafficMeter.h"

namespace nerivane {
namespace {

using C = LoadClass;
constexpr double mbit = 1e6;
MonitorTime at(double seconds) { return MonitorTime{Seconds{seconds}}; }

TEST(LoadRules, ClassesAtTheHalfTheFloorAndTheTenth) {
    const LinkCapacity link{20 * mbit, 100 * mbit}, slow{1 * mbit, 1 * mbit}, none{};
    const struct {
        double up, down;
        LinkCapacity capacity;
        C expected;
        // Beside it, to and from hosts on the local link.
        double localUp = 0, localDown = 0;
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
        // A copy to a NAS is no load on the internet path, however fast,
        // but no quiet either; an upload beside it is still an upload.
        {0, 0, link, C::unknown, 10'000 * mbit, 0},
        {0, 0, none, C::unknown, 0, 10'000 * mbit},
        {10 * mbit, 0, link, C::upload, 0, 900 * mbit},
        {1.9 * mbit, 0, link, C::unknown, 0.2 * mbit, 0},  // together over a tenth
        {0.05 * mbit, 0, none, C::idle, 0.04 * mbit, 0},   // a trickle to the printer
    };
    for (const auto& row : rows)
        EXPECT_EQ(LoadRules::classify(row.up, row.down, row.capacity, row.localUp, row.localDown), row.expected)
            << "row " << (&row - rows);

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
}

TEST(TrafficMeter, CapacityIsTheLargerOfHistoryAndTheSessionsPeakTenSeconds) {
    TrafficMeter meter;
    TrafficMeter::Reading counters;
    std::optional<TrafficSample> sample;
    auto second = [&](int t, std::uint64_t sent, const LinkCapacity& remembered = {}) {
        counters.sentBytes += sent;
        sample = meter.read(at(t), dateFromUnixSeconds(1000 + t), "eth0", counters, remembered);
    };
    second(0, 0);
    EXPECT_FALSE(sample);  // the first read only sets the start
    for (int t = 1; t <= 5; ++t) second(t, 2'500);  // 20 kbit/s
    EXPECT_EQ(sample, (TrafficSample{1005, 1, 2'500, 0}));
    EXPECT_EQ(meter.latest()->load, C::idle);
    // A fresh install's first upload is busy against its own ramp.
    second(6, 2'500'000);
    EXPECT_EQ(meter.latest()->load, C::upload);
    EXPECT_NEAR(meter.sessionPeak().uploadBitsPerSecond, 2.01 * mbit, 1);
    for (int t = 7; t <= 30; ++t) second(t, 2'500'000);
    EXPECT_DOUBLE_EQ(meter.sessionPeak().uploadBitsPerSecond, 20 * mbit);
    // History's larger capacity wins: 20 Mbit/s is no longer half of it.
    second(31, 2'500'000, {100 * mbit, 0});
    EXPECT_EQ(meter.latest()->load, C::unknown);
    EXPECT_EQ(meter.capacity({100 * mbit, 0}), (LinkCapacity{100 * mbit, 0}));
    EXPECT_EQ(meter.busy(LoadDirection::upload)->end, at(30));
    EXPECT_DOUBLE_EQ(meter.busy(LoadDirection::upload)->bitsPerSecond(), 20 * mbit);
    // A probe in flight across an idle and a busy second met the queue;
    // one not yet covered by the counters waits.
    EXPECT_EQ(meter.classify(at(5.5), at(6.5)), C::upload);
    EXPECT_EQ(meter.classify(at(2), at(3)), C::idle);
    EXPECT_EQ(meter.classify(at(31.5), at(32)), C::unknown);
    // Counters that went backwards (a reset) or another interface start over.
    counters = {};
    second(32, 0);
    EXPECT_FALSE(sample);
    EXPECT_EQ(meter.classify(at(31.5), at(32.5)), C::unknown);
    EXPECT_TRUE(meter.invariantsHold());
}

// A 10 Gbit/s copy to a host on the local link for 20 s, then a 20 Mbit/s
// upload through the router: the copy is neither busy nor capacity nor in the
// samples history keeps; the upload is busy against its own peak.
TEST(TrafficMeter, ALocalCopyIsNeitherLoadNorCapacity) {
    TrafficMeter meter;
    TrafficMeter::Reading counters;
    std::optional<TrafficSample> sample;
    auto second = [&](int t, std::uint64_t internet, std::uint64_t local, std::uint64_t localCounted) {
        counters.sentBytes += internet + local;
        counters.localSentBytes += localCounted;
        sample = meter.read(at(t), dateFromUnixSeconds(1000 + t), "eth0", counters, {});
    };
    second(0, 0, 0, 0);
    for (int t = 1; t <= 10; ++t) second(t, 1'000, 1'250'000'000, 1'250'000'000);
    EXPECT_EQ(sample, (TrafficSample{1010, 1, 1'000, 0}));
    // The estimate of its headers came out larger than what the interface
    // counted: then all of it was local, and no more.
    for (int t = 11; t <= 20; ++t) second(t, 1'000, 1'250'000'000, 1'300'000'000);
    EXPECT_EQ(sample, (TrafficSample{1020, 1, 0, 0}));
    EXPECT_EQ(meter.latest()->load, C::unknown);
    EXPECT_NEAR(meter.latest()->localUploadBitsPerSecond, 10'000 * mbit, 0.01 * mbit);
    // The estimate ran ahead of the interface's count; the next second it
    // falls behind by as much, and that is still the copy.
    second(21, 0, 1'250'000'000, 1'200'001'000);
    EXPECT_EQ(sample, (TrafficSample{1021, 1, 0, 0}));
    EXPECT_EQ(meter.sessionPeak(), (LinkCapacity{8'000, 0}));
    EXPECT_FALSE(meter.busy(LoadDirection::upload));
    for (int t = 22; t <= 41; ++t) second(t, 2'500'000, 0, 0);
    EXPECT_EQ(meter.latest()->load, C::upload);
    EXPECT_DOUBLE_EQ(meter.sessionPeak().uploadBitsPerSecond, 20 * mbit);
    EXPECT_TRUE(meter.invariantsHold());
}

// Which peers a connection reaches without the router.
TEST(LocalTraffic, PeersOnTheLinkAreInItsNetworksOrLinkLocal) {
    const std::vector<LocalTraffic::Prefix> networks{
        {AF_INET, {192, 168, 1, 17}, 24}, {AF_INET, {10, 77, 0, 2}, 30}, {AF_INET6, {0xfd, 0x77, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}, 64}};
    const std::tuple<int, std::array<std::uint8_t, 16>, bool> rows[] = {
        {AF_INET, {192, 168, 1, 200}, true},
        {AF_INET, {192, 168, 2, 1}, false},
        {AF_INET, {10, 77, 0, 1}, true},
        {AF_INET, {10, 77, 0, 5}, false},  // outside the /30
        {AF_INET, {1, 1, 1, 1}, false},
        {AF_INET6, {0xfd, 0x77, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, true},
        {AF_INET6, {0xfd, 0x77, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1}, false},
        {AF_INET6, {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, true},  // link-local
        {AF_INET6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 168, 1, 9}, true},  // IPv4-mapped
        {AF_INET6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 8, 8, 8, 8}, false},
        {AF_INET6, {0x26, 0x06, 0x47, 0, 0x47, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x11, 0x11}, false},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const auto& [family, address, expected] = rows[i];
        EXPECT_EQ(LocalTraffic::onLink(family, address.data(), networks), expected) << "row " << i;
    }
    EXPECT_FALSE(LocalTraffic::onLink(AF_INET, std::array<std::uint8_t, 16>{192, 168, 1, 1}.data(), {}));
}

}  // namespace
}  // namespace nerivane
