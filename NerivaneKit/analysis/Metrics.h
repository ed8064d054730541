// The figures of one target's window: latest, median, 95th percentile, lowest
// ever, jitter (milliseconds) and the counts of sent, lost and late probes.
// A plain value, computed by TargetStats on the probe queue.
//
// The figures cover the whole window, as the cards show it. Probes of an
// outage or a spike that has ended belong to that event, not to the present:
// the counts below let the state judge the window without them.
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
    // Lost probes of the window sent during an outage that has ended.
    int lostInOutages = 0;
    // Replies of the window sent during a spike that has ended, and the 95th
    // percentile of the other replies (none when there are none).
    int repliesInSpikes = 0;
    std::optional<double> p95OutsideSpikes;

    bool operator==(const Metrics&) const = default;

    // What the present holds: the window without ended outages' losses and
    // ended spikes' replies.
    int currentSent() const { return sent - lostInOutages; }
    int currentLost() const { return lost - lostInOutages; }
    std::optional<double> currentP95() const { return repliesInSpikes > 0 ? p95OutsideSpikes : p95; }
};

}  // namespace nerivane
