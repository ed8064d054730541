// The tally behind the metrics endpoint: what counts as sent, lost and late,
// where a round trip lands in the histogram, and which series outlive the
// targets they describe.
#include <gtest/gtest.h>

#include <cmath>

#include "nerivane/metrics/MetricsTally.h"

namespace nerivane {
namespace {

const Target one{TargetRole::internet(0), "1.1.1.1", *ProbeAddress::parse("1.1.1.1")};

ProbeRecord record(ProbeResult::Outcome outcome) { return ProbeRecord{one, ProbeProtocol::icmp, outcome, 0}; }

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
    MonitorSnapshot snapshot;
    snapshot.targets.push_back(TargetSnapshot{one, TargetStatus::icmp, {}, {}, false, std::nullopt});
    snapshot.targets[0].metrics.median = 12;
    tally.setSnapshot(snapshot);
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
    tally.setSnapshot(MonitorSnapshot{});
    families = tally.families();
    EXPECT_TRUE(!find(families, "nerivane_target_rtt_median_seconds") && !find(families, "nerivane_target_status"));
    EXPECT_EQ(first(families, "nerivane_probes_sent_total"), 4);
}

}  // namespace
}  // namespace nerivane
