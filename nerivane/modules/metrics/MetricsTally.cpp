#include "nerivane/modules/metrics/MetricsTally.h"

#include <algorithm>
#include <limits>

#include "NerivaneKit/probing/ProbeProtocol.h"
#include "NerivaneKit/probing/TargetStatus.h"

namespace nerivane {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;
using Labels = std::vector<ClientMetric::Label>;

constexpr Verdict allVerdicts[] = {Verdict::measuring,         Verdict::good,           Verdict::internetProblem,
                                   Verdict::internetDown,      Verdict::localProblem,   Verdict::localDown,
                                   Verdict::connectionProblem, Verdict::connectionDown, Verdict::internetUnmeasured,
                                   Verdict::offline,           Verdict::lookupsFailing, Verdict::lookupsSlow,
                                   Verdict::slowWhileBusy,     Verdict::signInNeeded};
constexpr TargetStatus allStatuses[] = {TargetStatus::warmingUp, TargetStatus::icmp, TargetStatus::tcp,
                                        TargetStatus::doesntAnswerPing, TargetStatus::unreachableVPN};

// The protocol a target's measurements use, as the monitor core records it.
ProbeProtocol protocolOf(TargetStatus status) {
    return status == TargetStatus::tcp ? ProbeProtocol::tcp : ProbeProtocol::icmp;
}

Labels targetLabels(const Target& target, ProbeProtocol protocol) {
    return {{"role", target.role.text()},
            {"host", target.host},
            {"address", target.address.text()},
            {"protocol", std::string(text(protocol))}};
}

MetricFamily family(std::string name, std::string help, MetricType type) {
    return MetricFamily{std::move(name), std::move(help), type, {}};
}

ClientMetric gauge(Labels labels, double value) {
    ClientMetric metric;
    metric.label = std::move(labels);
    metric.gauge.value = value;
    return metric;
}

ClientMetric counter(Labels labels, double value) {
    ClientMetric metric;
    metric.label = std::move(labels);
    metric.counter.value = value;
    return metric;
}

// A histogram from per-bucket counts (the last one past every bound), as
// Prometheus wants it: cumulative, ending in +Inf.
ClientMetric histogram(Labels labels, std::uint64_t count, double sum, const std::vector<std::uint64_t>& buckets,
                       const std::vector<double>& bounds) {
    ClientMetric metric;
    metric.label = std::move(labels);
    metric.histogram.sample_count = count;
    metric.histogram.sample_sum = sum;
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i <= bounds.size(); ++i) {
        cumulative += buckets[i];
        metric.histogram.bucket.push_back({cumulative, i < bounds.size() ? bounds[i] : std::numeric_limits<double>::infinity()});
    }
    return metric;
}

double seconds(double milliseconds) { return milliseconds / 1000; }

}  // namespace

const std::vector<double>& MetricsTally::rttBuckets() {
    static const std::vector<double> bounds{0.00025, 0.0005, 0.001, 0.002, 0.005, 0.01, 0.02, 0.03, 0.05,
                                            0.075,   0.1,    0.15,  0.2,   0.3,   0.5,  0.75, 1,    2.5};
    return bounds;
}

void MetricsTally::addProbes(const std::vector<ProbeRecord>& probes) {
    const auto& bounds = rttBuckets();
    for (const auto& probe : probes) {
        see({probe.target.role.text(), probe.target.host, probe.target.address.text()}, probe.sentAt);
        auto& counts = probes_[{probe.target.role.text(), probe.target.host, probe.target.address.text(),
                                std::string(text(probe.probeProtocol))}];
        if (counts.buckets.empty()) counts.buckets.assign(bounds.size() + 1, 0);
        // A late reply belongs to a probe already counted as sent and lost.
        if (std::holds_alternative<ProbeResult::Late>(probe.outcome)) {
            ++counts.late;
            continue;
        }
        ++counts.sent;
        const auto* reply = std::get_if<ProbeResult::Reply>(&probe.outcome);
        if (reply == nullptr) {
            ++counts.lost;
            continue;
        }
        const double rtt = seconds(reply->milliseconds);
        const auto bucket = std::lower_bound(bounds.begin(), bounds.end(), rtt) - bounds.begin();
        ++counts.buckets[static_cast<std::size_t>(bucket)];
        ++counts.replies;
        counts.replySeconds += rtt;
    }
}

void MetricsTally::addEvent(const NetworkEvent& event) {
    const EventKey target{event.role.text(), event.host, event.address.text()};
    see(target, event.end);
    auto& counts = events_[target];
    if (event.kind == NetworkEvent::Kind::outage) {
        ++counts.outages;
        counts.outageSeconds += std::max(event.duration(), 0.0);
    } else {
        ++counts.spikes;
    }
}

void MetricsTally::see(const EventKey& target, double at) {
    auto [seen, added] = lastSeen_.try_emplace(target, at);
    if (!added) seen->second = std::max(seen->second, at);
}

void MetricsTally::setSnapshot(const MonitorSnapshot& snapshot, double now) {
    snapshot_ = snapshot;
    for (const auto& target : snapshot_.targets)
        see({target.target.role.text(), target.target.host, target.target.address.text()}, now);
    for (auto seen = lastSeen_.begin(); seen != lastSeen_.end();) {
        if (now - seen->second <= retention) {
            ++seen;
            continue;
        }
        const auto& [role, host, address] = seen->first;
        events_.erase(seen->first);
        std::erase_if(probes_, [&](const auto& entry) {
            return std::get<0>(entry.first) == role && std::get<1>(entry.first) == host &&
                   std::get<2>(entry.first) == address;
        });
        seen = lastSeen_.erase(seen);
    }
    countLookups(snapshot, now);
}

void MetricsTally::countLookups(const MonitorSnapshot& snapshot, double now) {
    // A server counts as seen while the system names it, like a target while it is probed.
    if (snapshot.lookups) {
        for (const auto& entry : snapshot.lookups->servers) {
            if (auto counts = lookups_.find(entry.server.address); counts != lookups_.end()) counts->second.lastSeen = now;
        }
    }
    std::erase_if(lookups_, [now](const auto& entry) { return now - entry.second.lastSeen > retention; });
    if (!snapshot.lookups || !snapshot.lookups->latestRound || snapshot.lookups->latestRound == countedLookupRound_)
        return;
    countedLookupRound_ = snapshot.lookups->latestRound;
    const auto& bounds = rttBuckets();
    for (const auto& entry : snapshot.lookups->servers) {
        auto& counts = lookups_[entry.server.address];
        counts.lastSeen = now;
        if (counts.buckets.empty()) counts.buckets.assign(bounds.size() + 1, 0);
        if (entry.latestFailure) {
            ++counts.failures[std::string(text(*entry.latestFailure))];
        } else if (entry.latestSeconds) {
            const auto bucket = std::lower_bound(bounds.begin(), bounds.end(), *entry.latestSeconds) - bounds.begin();
            ++counts.buckets[static_cast<std::size_t>(bucket)];
            ++counts.answers;
            counts.answerSeconds += *entry.latestSeconds;
        }
    }
}

void MetricsTally::appendLoad(std::vector<MetricFamily>& out) const {
    if (!snapshot_.load) return;
    const LoadSnapshot& load = *snapshot_.load;
    // The kernel's own counters: they only grow, and start over only with the interface.
    const Labels interface{{"interface", load.interfaceName}};
    auto sentBytes = family("nerivane_interface_sent_bytes_total", "Bytes the path's interface has sent.",
                            MetricType::Counter);
    sentBytes.metric.push_back(counter(interface, static_cast<double>(load.sentBytes)));
    auto receivedBytes = family("nerivane_interface_received_bytes_total", "Bytes the path's interface has received.",
                                MetricType::Counter);
    receivedBytes.metric.push_back(counter(interface, static_cast<double>(load.receivedBytes)));
    auto capacity = family("nerivane_link_capacity_bytes_per_second",
                           "The throughput busy and idle are judged against: the larger of the high 10-second "
                           "throughput of the last seven days and this session's peak.",
                           MetricType::Gauge);
    auto busy = family("nerivane_latency_under_load_seconds",
                       "Median round-trip time while the link is busy in a direction (last minute of busy probes).",
                       MetricType::Gauge);
    auto added = family("nerivane_latency_under_load_added_seconds",
                        "What a busy direction adds to the median idle round-trip time.", MetricType::Gauge);
    for (const LoadDirection direction : {LoadDirection::upload, LoadDirection::download}) {
        const std::string name(text(direction));
        capacity.metric.push_back(gauge({{"direction", name}}, (direction == LoadDirection::upload
                                                                    ? load.capacity.uploadBitsPerSecond
                                                                    : load.capacity.downloadBitsPerSecond) / 8));
        const DirectionLoad& figures = load.direction(direction);
        for (const auto& [role, value] : {std::pair{"internet", &figures.internet}, std::pair{"router", &figures.router}}) {
            if (!*value) continue;
            const Labels labels{{"direction", name}, {"role", role}};
            busy.metric.push_back(gauge(labels, seconds((*value)->busyMedian)));
            added.metric.push_back(gauge(labels, seconds((*value)->added)));
        }
    }
    for (auto* f : {&sentBytes, &receivedBytes, &capacity, &busy, &added}) out.push_back(std::move(*f));
}

std::vector<MetricFamily> MetricsTally::families() const {
    std::vector<MetricFamily> out;

    // Per target of the latest snapshot: the window's statistics and the status.
    auto latest = family("nerivane_target_rtt_latest_seconds", "Round-trip time of the newest reply.", MetricType::Gauge);
    auto median = family("nerivane_target_rtt_median_seconds", "Median round-trip time over the last minute of probes.",
                         MetricType::Gauge);
    auto p95 = family("nerivane_target_rtt_p95_seconds",
                      "95th percentile (nearest rank) of round-trip times over the last minute of probes.",
                      MetricType::Gauge);
    auto baseline = family("nerivane_target_rtt_baseline_seconds",
                           "Lowest round-trip time since the target was last set up.", MetricType::Gauge);
    auto jitter = family("nerivane_target_jitter_seconds",
                         "Mean absolute difference of adjacent round-trip times over the last minute of probes.",
                         MetricType::Gauge);
    auto status = family("nerivane_target_status",
                         "How the target is probed: 1 for the current status, 0 for the others.", MetricType::Gauge);
    for (const auto& target : snapshot_.targets) {
        const Labels labels = targetLabels(target.target, protocolOf(target.status));
        const auto add = [&](MetricFamily& into, const std::optional<double>& milliseconds) {
            if (milliseconds) into.metric.push_back(gauge(labels, seconds(*milliseconds)));
        };
        add(latest, target.metrics.latest);
        add(median, target.metrics.median);
        add(p95, target.metrics.p95);
        add(baseline, target.metrics.baseline);
        add(jitter, target.metrics.jitter);
        for (const auto value : allStatuses) {
            Labels withStatus = labels;
            withStatus.push_back({"status", std::string(text(value))});
            status.metric.push_back(gauge(std::move(withStatus), value == target.status ? 1 : 0));
        }
    }
    for (auto* f : {&latest, &median, &p95, &baseline, &jitter, &status}) out.push_back(std::move(*f));

    // Since the start of the process.
    auto sent = family("nerivane_probes_sent_total", "Measured probes sent.", MetricType::Counter);
    auto lost = family("nerivane_probes_lost_total", "Measured probes that got no reply in time.", MetricType::Counter);
    auto late = family("nerivane_probes_late_total", "Replies that came after their probe was counted as lost.",
                       MetricType::Counter);
    auto rtt = family("nerivane_rtt_seconds", "Round-trip times of measured replies.", MetricType::Histogram);
    const auto& bounds = rttBuckets();
    for (const auto& [key, counts] : probes_) {
        const auto& [role, host, address, protocol] = key;
        const Labels labels{{"role", role}, {"host", host}, {"address", address}, {"protocol", protocol}};
        sent.metric.push_back(counter(labels, static_cast<double>(counts.sent)));
        lost.metric.push_back(counter(labels, static_cast<double>(counts.lost)));
        late.metric.push_back(counter(labels, static_cast<double>(counts.late)));
        rtt.metric.push_back(histogram(labels, counts.replies, counts.replySeconds, counts.buckets, bounds));
    }
    for (auto* f : {&sent, &lost, &late, &rtt}) out.push_back(std::move(*f));

    auto outages = family("nerivane_outages_total", "Outages that have ended.", MetricType::Counter);
    auto spikes = family("nerivane_spikes_total", "Latency spikes that have ended.", MetricType::Counter);
    auto outageSeconds = family("nerivane_outage_seconds_total", "Total length of the outages that have ended.",
                                MetricType::Counter);
    for (const auto& [key, counts] : events_) {
        const auto& [role, host, address] = key;
        const Labels labels{{"role", role}, {"host", host}, {"address", address}};
        outages.metric.push_back(counter(labels, static_cast<double>(counts.outages)));
        spikes.metric.push_back(counter(labels, static_cast<double>(counts.spikes)));
        outageSeconds.metric.push_back(counter(labels, counts.outageSeconds));
    }
    for (auto* f : {&outages, &spikes, &outageSeconds}) out.push_back(std::move(*f));

    auto lookupSeconds = family("nerivane_dns_lookup_seconds",
                                "Time a DNS server took to answer the A and AAAA queries of a health probe.",
                                MetricType::Histogram);
    auto lookupFailures = family("nerivane_dns_lookup_failures_total",
                                 "DNS health probes that failed, by server and kind.", MetricType::Counter);
    for (const auto& [server, counts] : lookups_) {
        lookupSeconds.metric.push_back(
            histogram({{"server", server}}, counts.answers, counts.answerSeconds, counts.buckets, bounds));
        for (const auto& [kind, count] : counts.failures)
            lookupFailures.metric.push_back(counter({{"server", server}, {"kind", kind}}, static_cast<double>(count)));
    }
    for (auto* f : {&lookupSeconds, &lookupFailures}) out.push_back(std::move(*f));

    // The whole machine.
    auto verdict = family("nerivane_verdict", "Where the trouble lies: 1 for the verdict shown, 0 for the others.",
                          MetricType::Gauge);
    for (const auto value : allVerdicts)
        verdict.metric.push_back(gauge({{"verdict", std::string(text(value))}}, value == snapshot_.verdict ? 1 : 0));
    out.push_back(std::move(verdict));

    const auto& path = snapshot_.path;
    auto pathInfo = family("nerivane_path_info",
                           "The network path: the interface traffic leaves by, the physical one beneath it, its kind "
                           "and whether it is a VPN.",
                           MetricType::Gauge);
    pathInfo.metric.push_back(gauge({{"interface", path.primaryInterface.value_or("")},
                                     {"physical_interface", path.physicalInterface.value_or("")},
                                     {"kind", std::string(text(path.kind))},
                                     {"vpn", path.isVPN ? "true" : "false"}},
                                    1));
    out.push_back(std::move(pathInfo));
    auto satisfied = family("nerivane_path_satisfied", "1 while the network path can carry traffic.", MetricType::Gauge);
    satisfied.metric.push_back(gauge({}, path.isSatisfied ? 1 : 0));
    out.push_back(std::move(satisfied));

    const auto flag = [&](const char* name, const char* help, bool value) {
        auto f = family(name, help, MetricType::Gauge);
        f.metric.push_back(gauge({}, value ? 1 : 0));
        out.push_back(std::move(f));
    };
    flag("nerivane_probing_paused", "1 while the user's pause stops probing.", probing_.paused);
    flag("nerivane_probing_locked", "1 while the locked screen stops probing.", probing_.locked);
    flag("nerivane_probing_slowed",
         "1 while probing runs at the battery interval (battery, power saving or a metered network).", probing_.slowed);
    if (probing_.interval) {
        auto interval = family("nerivane_probing_interval_seconds", "Seconds between probes of a target.",
                               MetricType::Gauge);
        interval.metric.push_back(gauge({}, *probing_.interval));
        out.push_back(std::move(interval));
    }
    appendLoad(out);
    // Nothing to say yet (no targets, no events): no family at all.
    std::erase_if(out, [](const MetricFamily& f) { return f.metric.empty(); });
    return out;
}

}  // namespace nerivane
