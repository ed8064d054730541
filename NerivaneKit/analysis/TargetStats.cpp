#include "NerivaneKit/analysis/TargetStats.h"

#include <algorithm>

#include "NerivaneKit/statistics/Statistics.h"

namespace nerivane {

void TargetStats::record(std::optional<double> rtt, MonitorTime at) {
    const double time = at.time_since_epoch().count();
    // Step back from the end: results almost always arrive in order.
    auto index = samples.end();
    while (index != samples.begin() && std::prev(index)->time > time) --index;
    samples.insert(index, Sample{time, rtt});

    if (rtt) {
        baseline = baseline ? std::min(*baseline, *rtt) : *rtt;
        if (!latest || !(latest->time > time)) latest = Sample{time, rtt};
    }
    prune();
}

void TargetStats::recordLate(MonitorTime time) {
    lateTimes.push_back(time);
    prune();
}

void TargetStats::outageEnded(MonitorTime start, MonitorTime end) {
    endedOutages.push_back({start, end});
}

void TargetStats::spikeEnded(MonitorTime start, MonitorTime end) {
    endedSpikes.push_back({start, end});
}

namespace {

bool within(const std::vector<TargetStats::Period>& periods, MonitorTime time) {
    return std::any_of(periods.begin(), periods.end(),
                       [time](const TargetStats::Period& period) { return time >= period.start && time < period.end; });
}

}  // namespace

void TargetStats::prune() {
    if (samples.empty()) return;
    const MonitorTime newest = sentAt(samples.back());
    std::size_t drop = 0;
    while (samples.size() - drop > minimumSamples && newest - sentAt(samples[drop]) >= windowSeconds) ++drop;
    samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(drop));

    const MonitorTime oldest = sentAt(samples.front());
    std::erase_if(lateTimes, [oldest](MonitorTime time) { return time < oldest; });
    const auto gone = [oldest](const Period& period) { return period.end <= oldest; };
    std::erase_if(endedOutages, gone);
    std::erase_if(endedSpikes, gone);
}

std::vector<double> TargetStats::rtts() const {
    std::vector<double> result;
    result.reserve(samples.size());
    for (const auto& sample : samples) {
        if (sample.rtt) result.push_back(*sample.rtt);
    }
    return result;
}

std::size_t TargetStats::replyCount() const {
    return static_cast<std::size_t>(
        std::count_if(samples.begin(), samples.end(), [](const Sample& sample) { return sample.rtt.has_value(); }));
}

Metrics TargetStats::metrics() const {
    Metrics metrics;
    if (latest) metrics.latest = latest->rtt;
    auto sorted = rtts();
    std::sort(sorted.begin(), sorted.end());
    metrics.median = Statistics::percentile(sorted, 0.5);
    metrics.p95 = Statistics::percentile(sorted, 0.95);
    metrics.baseline = baseline;
    metrics.jitter = Statistics::jitter(samples);
    metrics.sent = static_cast<int>(samples.size());
    metrics.lost = static_cast<int>(samples.size() - sorted.size());
    metrics.late = static_cast<int>(lateTimes.size());

    // Room for every reply at once: grown step by step, it cost the snapshot
    // more in allocations than the figures themselves.
    std::vector<double> outsideSpikes;
    outsideSpikes.reserve(sorted.size());
    for (const auto& sample : samples) {
        if (!sample.rtt) {
            if (within(endedOutages, sentAt(sample))) ++metrics.lostInOutages;
        } else if (within(endedSpikes, sentAt(sample))) {
            ++metrics.repliesInSpikes;
        } else {
            outsideSpikes.push_back(*sample.rtt);
        }
    }
    if (metrics.repliesInSpikes > 0) {
        std::sort(outsideSpikes.begin(), outsideSpikes.end());
        metrics.p95OutsideSpikes = Statistics::percentile(outsideSpikes, 0.95);
    }
    return metrics;
}

}  // namespace nerivane
