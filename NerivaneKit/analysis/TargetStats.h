// The sliding window of one target's recent probe outcomes, and the metrics
// drawn from it. Owned by the monitor core (one per target), on the probe queue.
// Times are monitor time (continuous clock); round-trip times milliseconds.
// The samples keep it as plain seconds: history shares their type.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "NerivaneKit/analysis/Metrics.h"
#include "NerivaneKit/platform/Clocks.h"
#include "NerivaneKit/statistics/Statistics.h"

namespace nerivane {

struct TargetStats {
    using Sample = Statistics::Sample;

    // The window is the last 60 seconds of probes, but never fewer than 20
    // probes once 20 exist: a slow probing rate still gives usable figures.
    static constexpr Seconds windowSeconds{60};
    static constexpr std::size_t minimumSamples = 20;

    // Ordered by time; equal times keep their arrival order.
    std::vector<Sample> samples;
    // Send times of probes whose reply came after they were counted as lost.
    // Only times within the window are kept (once there is a window).
    std::vector<MonitorTime> lateTimes;
    // The lowest round-trip time since this value was created; it survives
    // the window so that the "fastest possible" reference does not drift.
    std::optional<double> baseline;
    // The reply with the newest send time (always one with an RTT).
    std::optional<Sample> latest;
    // Ended outages and spikes (send times from, up to but not including the
    // probe that ended them) while probes of theirs are in the window.
    struct Period {
        MonitorTime start;
        MonitorTime end;
        bool operator==(const Period&) const = default;
    };
    std::vector<Period> endedOutages;
    std::vector<Period> endedSpikes;

    bool operator==(const TargetStats&) const = default;

    // One reply (rtt present) or one lost probe (rtt absent), sent at time.
    // Results may arrive out of send order; they are inserted by send time.
    void record(std::optional<double> rtt, MonitorTime time);
    // A late reply to the probe sent at time.
    void recordLate(MonitorTime time);
    // An outage or spike has ended and been recorded as an event: its
    // probes are counted apart from the present's.
    void outageEnded(MonitorTime start, MonitorTime end);
    void spikeEnded(MonitorTime start, MonitorTime end);

    // A sample's send time.
    static MonitorTime sentAt(const Sample& sample) { return MonitorTime{Seconds{sample.time}}; }

    // The round-trip times of the window, in sample order.
    std::vector<double> rtts() const;
    // The number of replies in the window.
    std::size_t replyCount() const;
    Metrics metrics() const;

private:
    void prune();
};

}  // namespace nerivane
