// The tally behind the metrics endpoint: what counts as sent, lost and late,
// where a round trip lands in the histogram, and which series outlive the
// targets they describe.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>

#include "nerivane/metrics/MetricsTally.h"

namespace nerivane {
namespace {

using prometheus::MetricFamily;

Target target(const std::string& address) {
    return Target{TargetRole::internet(0), address, *ProbeAddress::parse(address)};
}

ProbeRecord record(const Target& to, ProbeResult::Outcome outcome) {
    return ProbeRecord{to, ProbeProtocol::icmp, outcome, 0};
}

const MetricFamily* find(const std::vector<MetricFamily>& families, const std::string& name) {
    for (const auto& family : families)
        if (family.name == name) return &family;
    return nullptr;
}

// The bucket counts of the first histogram series, by upper bound.
std::map<double, std::uint64_t> buckets(const std::vector<MetricFamily>& families) {
    std::map<double, std::uint64_t> found;
    for (const auto& bucket : find(families, "nerivane_rtt_seconds")->metric.at(0).histogram.bucket)
        found[bucket.upper_bound] = bucket.cumulative_count;
    return found;
}

TEST(MetricsTally, ProbesCountOnceAndRoundTripsLandInTheirBuckets) {
    MetricsTally tally;
    const auto one = target("1.1.1.1");
    // 10 ms exactly on a bound (le is inclusive), 10.5 ms above it, a loss,
    // then the late reply to that lost probe, and a round trip beyond every bound.
    tally.addProbes({record(one, ProbeResult::Reply{10}), record(one, ProbeResult::Reply{10.5}),
                     record(one, ProbeResult::Lost{}), record(one, ProbeResult::Late{2600}),
                     record(one, ProbeResult::Reply{3000})});
    const auto families = tally.families();
    EXPECT_EQ(find(families, "nerivane_probes_sent_total")->metric.at(0).counter.value, 4);
    EXPECT_EQ(find(families, "nerivane_probes_lost_total")->metric.at(0).counter.value, 1);
    EXPECT_EQ(find(families, "nerivane_probes_late_total")->metric.at(0).counter.value, 1);
    const auto counts = buckets(families);
    EXPECT_EQ(counts.at(0.005), 0u);
    EXPECT_EQ(counts.at(0.01), 1u);
    EXPECT_EQ(counts.at(0.02), 2u);
    EXPECT_EQ(counts.at(2.5), 2u);
    EXPECT_EQ(counts.at(INFINITY), 3u);
    const auto& histogram = find(families, "nerivane_rtt_seconds")->metric.at(0).histogram;
    EXPECT_EQ(histogram.sample_count, 3u);
    EXPECT_NEAR(histogram.sample_sum, 3.0205, 1e-12);
}

TEST(MetricsTally, CountersOutliveTheTargetsTheirGaugesFollow) {
    MetricsTally tally;
    const auto one = target("1.1.1.1");
    MonitorSnapshot snapshot;
    Metrics metrics;
    metrics.median = 12;
    snapshot.targets.push_back(TargetSnapshot{one, TargetStatus::icmp, {}, metrics, false, std::nullopt});
    tally.setSnapshot(snapshot);
    tally.addProbes({record(one, ProbeResult::Reply{12})});
    tally.addEvent(NetworkEvent{NetworkEvent::Kind::outage, one.role, one.host, one.address, 100, 130.5, std::nullopt});
    tally.addEvent(NetworkEvent{NetworkEvent::Kind::outage, one.role, one.host, one.address, 200, 210, std::nullopt});
    tally.addEvent(NetworkEvent{NetworkEvent::Kind::spike, one.role, one.host, one.address, 300, 304, 80.0});
    auto families = tally.families();
    EXPECT_EQ(find(families, "nerivane_target_rtt_median_seconds")->metric.at(0).gauge.value, 0.012);
    EXPECT_EQ(find(families, "nerivane_outages_total")->metric.at(0).counter.value, 2);
    EXPECT_EQ(find(families, "nerivane_outage_seconds_total")->metric.at(0).counter.value, 40.5);
    EXPECT_EQ(find(families, "nerivane_spikes_total")->metric.at(0).counter.value, 1);

    // A new path, a new target list without the host: its gauges go, its counters stay.
    tally.setSnapshot(MonitorSnapshot{});
    families = tally.families();
    EXPECT_EQ(find(families, "nerivane_target_rtt_median_seconds"), nullptr);
    EXPECT_EQ(find(families, "nerivane_target_status"), nullptr);
    EXPECT_EQ(find(families, "nerivane_probes_sent_total")->metric.at(0).counter.value, 1);
    EXPECT_EQ(find(families, "nerivane_outages_total")->metric.at(0).counter.value, 2);
    // The verdict state set is always whole.
    double sum = 0;
    for (const auto& metric : find(families, "nerivane_verdict")->metric) sum += metric.gauge.value;
    EXPECT_EQ(find(families, "nerivane_verdict")->metric.size(), 10u);
    EXPECT_EQ(sum, 1);
}

}  // namespace
}  // namespace nerivane
