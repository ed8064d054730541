// The tally behind the metrics endpoint: what counts as sent, lost and late,
// where a round trip lands in the histogram, and which series outlive the
// targets they describe, and for how long.
#include <gtest/gtest.h>

#include <cmath>

#include "nerivane/modules/metrics/MetricsTally.h"

namespace nerivane {
namespace {

const Target one{TargetRole::internet(0), "1.1.1.1", *ProbeAddress::parse("1.1.1.1")};

ProbeRecord record(ProbeResult::Outcome outcome) { return ProbeRecord{one, ProbeProtocol::icmp, outcome, 0}; }

MonitorSnapshot snapshotOf(const std::vector<Target>& targets) {
    MonitorSnapshot snapshot;
    for (const auto& t : targets) snapshot.targets.emplace_back().target = t, snapshot.targets.back().status = TargetStatus::icmp;
    return snapshot;
}

const prometheus::MetricFamily* find(const std::vector<prometheus::MetricFamily>& families, const std::string& name) {
    for (const auto& family : families)
        if (family.name == name) return &family;
    return nullptr;
}

double first(const std::vector<prometheus::MetricFamily>& families, const std::string& name) {
    const auto& metric = find(families, name)->metric.at(0);
    return name.ends_with("_total") ? metric.counter.value : metric.gauge.value;
}

TEST(MetricsTally, ProbesCountOnceAndRoundTripsLandInTheirBuckets) {
    MetricsTally tally;
    auto snapshot = snapshotOf({one});
    snapshot.targets[0].metrics.median = 12;
    tally.setSnapshot(snapshot, 1000);
    // 10 ms exactly on a bound (le is inclusive), 10.5 ms above it, a loss,
    // then the late reply to that lost probe, and a round trip beyond every bound.
    tally.addProbes({record(ProbeResult::Reply{10}), record(ProbeResult::Reply{10.5}), record(ProbeResult::Lost{}),
                     record(ProbeResult::Late{2600}), record(ProbeResult::Reply{3000})});
    tally.addEvent(NetworkEvent{NetworkEvent::Kind::outage, one.role, one.host, one.address, 100, 130.5, std::nullopt});
    tally.addEvent(NetworkEvent{NetworkEvent::Kind::outage, one.role, one.host, one.address, 200, 210, std::nullopt});
    tally.addEvent(NetworkEvent{NetworkEvent::Kind::spike, one.role, one.host, one.address, 300, 304, 80.0});
    auto families = tally.families();
    for (const auto& [name, value] : {std::pair{"probes_sent_total", 4.0}, {"probes_lost_total", 1}, {"probes_late_total", 1},
                                      {"target_rtt_median_seconds", 0.012}, {"outages_total", 2}, {"outage_seconds_total", 40.5}, {"spikes_total", 1}})
        EXPECT_EQ(first(families, "nerivane_" + std::string(name)), value) << name;
    const auto& histogram = find(families, "nerivane_rtt_seconds")->metric.at(0).histogram;
    std::map<double, std::uint64_t> counts;
    for (const auto& bucket : histogram.bucket) counts[bucket.upper_bound] = bucket.cumulative_count;
    for (const auto& [bound, count] : std::map<double, std::uint64_t>{{0.005, 0}, {0.01, 1}, {0.02, 2}, {2.5, 2}, {INFINITY, 3}})
        EXPECT_EQ(counts.at(bound), count) << bound;
    EXPECT_EQ(histogram.sample_count, 3u);
    EXPECT_NEAR(histogram.sample_sum, 3.0205, 1e-12);

    // A new path, a new target list without the host: its gauges go, its counters stay.
    tally.setSnapshot(MonitorSnapshot{}, 1001);
    families = tally.families();
    EXPECT_TRUE(!find(families, "nerivane_target_rtt_median_seconds") && !find(families, "nerivane_target_status"));
    EXPECT_EQ(first(families, "nerivane_probes_sent_total"), 4);
}

TEST(MetricsTally, InterfaceBytesAndLatencyUnderLoadOnlyWhenKnown) {
    MetricsTally tally;
    auto snapshot = snapshotOf({one});
    tally.setSnapshot(snapshot, 1000);
    EXPECT_FALSE(find(tally.families(), "nerivane_interface_sent_bytes_total"));
    LoadSnapshot load;
    load.interfaceName = "eth0", load.sentBytes = 5000, load.receivedBytes = 7000;
    load.upload.internet = RoleLoad{12, 480, 468, 40, 0};
    snapshot.load = load;
    tally.setSnapshot(snapshot, 1001);
    const auto families = tally.families();
    EXPECT_EQ(first(families, "nerivane_interface_sent_bytes_total"), 5000);
    EXPECT_EQ(first(families, "nerivane_interface_received_bytes_total"), 7000);
    // Upload from the internet hosts only: no router, no download series.
    const auto& busy = find(families, "nerivane_latency_under_load_seconds")->metric;
    ASSERT_EQ(busy.size(), 1u);
    EXPECT_EQ(busy[0].label, (std::vector<prometheus::ClientMetric::Label>{{"direction", "upload"}, {"role", "internet"}}));
    EXPECT_DOUBLE_EQ(busy[0].gauge.value, 0.48);
    EXPECT_DOUBLE_EQ(first(families, "nerivane_latency_under_load_added_seconds"), 0.468);
}

// Round-robin names: a target absent from the snapshots for more than an
// hour loses every series; one absent 59 minutes keeps them; one that stays
// only ever counts up. A DNS server the system stopped naming (a network
// left behind) goes the same way.
TEST(MetricsTally, SeriesOfATargetGoneForAnHourAreDropped) {
    const auto target = [](const char* address) {
        return Target{TargetRole::custom(0), "pool.lan", *ProbeAddress::parse(address)};
    };
    const Target stays = target("10.0.0.1"), briefly = target("10.0.0.2"), gone = target("10.0.0.3");
    const auto sent = [](const std::vector<prometheus::MetricFamily>& families, const Target& t) -> std::optional<double> {
        for (const auto& metric : find(families, "nerivane_probes_sent_total")->metric)
            if (metric.label.at(2).value == t.address.text()) return metric.counter.value;
        return std::nullopt;
    };
    const auto mentions = [](const std::vector<prometheus::MetricFamily>& families, const Target& t) {
        for (const auto& family : families)
            for (const auto& metric : family.metric)
                for (const auto& label : metric.label)
                    if (label.value == t.address.text()) return true;
        return false;
    };

    MetricsTally tally;
    constexpr double start = 1'773'480'000;
    double before = 0;
    // {seconds after start, the targets in the snapshot}: `gone` is last seen
    // at start, `briefly` a minute later; the last rows are 60:01 after each.
    const std::vector<std::pair<double, std::vector<Target>>> steps{
        {0, {stays, briefly, gone}}, {60, {stays, briefly}}, {120, {stays}}, {3600, {stays}},
        {3601, {stays}},             {3660, {stays}},        {3661, {stays}}};
    for (const auto& [offset, targets] : steps) {
        const double now = start + offset;
        std::vector<ProbeRecord> probes;
        for (const auto& t : targets) probes.push_back(ProbeRecord{t, ProbeProtocol::icmp, ProbeResult::Lost{}, now - 1});
        tally.addProbes(probes);
        if (offset == 0) tally.addEvent(NetworkEvent{NetworkEvent::Kind::outage, gone.role, gone.host, gone.address, now - 30, now - 1, std::nullopt});
        auto snapshot = snapshotOf(targets);
        // Each target's address stands in for a DNS server the system names too.
        snapshot.lookups = LookupSnapshot{};
        for (const auto& t : targets)
            snapshot.lookups->servers.push_back({ResolverServer{t.address.text(), 53, ""}, std::nullopt, 0, std::nullopt, 0.02});
        snapshot.lookups->latestRound = offset;
        tally.setSnapshot(snapshot, now);
        const auto families = tally.families();
        SCOPED_TRACE(offset);
        EXPECT_EQ(mentions(families, gone), offset < 3601);
        EXPECT_EQ(mentions(families, briefly), offset < 3661);
        EXPECT_EQ(find(families, "nerivane_dns_lookup_seconds")->metric.size(), offset < 3601 ? 3u : offset < 3661 ? 2u : 1u);
        ASSERT_TRUE(sent(families, stays));
        EXPECT_GT(*sent(families, stays), before);
        before = *sent(families, stays);
    }
    EXPECT_EQ(before, 7);
}

}  // namespace
}  // namespace nerivane
