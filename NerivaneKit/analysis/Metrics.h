// The figures of one target's window: latest, median, 95th percentile, lowest
// ever, jitter (milliseconds) and the counts of sent, lost and late probes.
// A plain value, computed by TargetStats on the probe queue.
#pragma once

#include <optional>

namespace nerivane {

struct Metrics {
    std::optional<double> latest;
    std::optional<double> median;
    std::optional<double> p95;
    std::optional<double> baseline;
    std::optional<double> jitter;
    int sent = 0;
    int lost = 0;
    int late = 0;

    bool operator==(const Metrics&) const = default;
};

}  // namespace nerivane
