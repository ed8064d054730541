// What the Prometheus endpoint shows: the model's latest snapshot and probing
// state, and counters that only grow (probes, round-trip histogram, outages,
// spikes) summed over every monitor the model ran, across pauses and network
// changes. A plain value; the exporter fills a copy on the main thread and
// renders it on the endpoint's threads under its own lock.
//
// Units are base units: round-trip times in seconds. Per-target series carry
// the labels role, host, address and protocol; event counters carry role,
// host and address (events do not know the protocol). A target's counter
// series stay while it is in the snapshots and for an hour after it last
// was, so sums do not dip when a target comes back after a short absence;
// names that roam or rotate their addresses do not pile up series for ever.
// A DNS server's series follow the same rule, from the snapshots that name it.
#pragma once

#include <prometheus/metric_family.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "NerivaneKit/analysis/MonitorSnapshot.h"
#include "NerivaneKit/analysis/NetworkEvent.h"
#include "NerivaneKit/analysis/ProbeRecord.h"

namespace nerivane {

class MetricsTally {
public:
    struct Probing {
        bool paused = false;
        bool locked = false;
        // Running at the battery interval for a slow-rate reason.
        bool slowed = false;
        // Seconds between probes last given to a monitor; none before the first.
        std::optional<double> interval;

        bool operator==(const Probing&) const = default;
    };

    // Upper bounds of the round-trip histogram in seconds: fine below a
    // millisecond for wired LANs, up to seconds for satellite and congested
    // links, so fleet-wide quantiles come out right for both.
    static const std::vector<double>& rttBuckets();

    // Series of a target absent longer than this (seconds) are dropped.
    static constexpr double retention = 3600;

    void addProbes(const std::vector<ProbeRecord>& probes);
    void addEvent(const NetworkEvent& event);
    // now: Unix seconds, the clock of probe and event dates. Its targets
    // count as seen now; series of targets gone longer than retention go.
    void setSnapshot(const MonitorSnapshot& snapshot, double now);
    void setProbing(const Probing& probing) { probing_ = probing; }

    std::vector<prometheus::MetricFamily> families() const;

private:
    // role, host, address, protocol
    using TargetKey = std::tuple<std::string, std::string, std::string, std::string>;
    // role, host, address
    using EventKey = std::tuple<std::string, std::string, std::string>;

    void see(const EventKey& target, double at);
    // The interface's byte counters and latency under load, from the snapshot.
    void appendLoad(std::vector<prometheus::MetricFamily>& out) const;
    // Counts the DNS round a snapshot brings, once; the series of servers
    // the system has not named for longer than retention go.
    void countLookups(const MonitorSnapshot& snapshot, double now);

    struct ProbeCounts {
        std::uint64_t sent = 0;
        std::uint64_t lost = 0;
        std::uint64_t late = 0;
        // Replies per bucket (not cumulative), the last one above every bound.
        std::vector<std::uint64_t> buckets;
        std::uint64_t replies = 0;
        double replySeconds = 0;
    };
    struct EventCounts {
        std::uint64_t outages = 0;
        std::uint64_t spikes = 0;
        double outageSeconds = 0;
    };

    // DNS lookups per server: the answers' histogram and failures by kind.
    struct LookupCounts {
        std::vector<std::uint64_t> buckets;
        std::uint64_t answers = 0;
        double answerSeconds = 0;
        std::map<std::string, std::uint64_t> failures;
        // Unix seconds the server was last in a snapshot.
        double lastSeen = 0;
    };

    MonitorSnapshot snapshot_;
    std::optional<double> countedLookupRound_;
    std::map<std::string, LookupCounts> lookups_;
    Probing probing_;
    std::map<TargetKey, ProbeCounts> probes_;
    std::map<EventKey, EventCounts> events_;
    // Unix seconds a target was last in a snapshot, probed or in an event;
    // every key of probes_ and events_ has its target here.
    std::map<EventKey, double> lastSeen_;
};

}  // namespace nerivane
