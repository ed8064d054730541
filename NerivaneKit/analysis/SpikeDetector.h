// Notices a run of replies far slower than the target's usual round-trip time
// and reports the spike once a normal reply ends it. Owned by the monitor core
// (one per target), on the probe queue. Times are monitor time, RTTs ms.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "NerivaneKit/platform/Clocks.h"

namespace nerivane {

struct SpikeDetector {
    struct Entry {
        MonitorTime time;
        double rtt = 0;
        bool operator==(const Entry&) const = default;
    };
    struct Spike {
        MonitorTime start;
        MonitorTime end;
        double worst = 0;
        bool operator==(const Spike&) const = default;
    };

    // A usual level needs at least this many replies before the run.
    static constexpr std::size_t minimumBaseline = 5;
    // Shorter runs of slow replies are noise.
    static constexpr std::size_t minimumRun = 3;

    // The slow replies of the spike in progress, oldest first.
    std::vector<Entry> run;

    bool operator==(const SpikeDetector&) const = default;

    // A reply of rtt sent at time. rtts are the window's round-trip times in
    // sample order before this reply is recorded. A reply is slow when it is
    // above max(3 x median, median + 20 ms) of the window without the run.
    std::optional<Spike> observe(std::span<const double> rtts, double rtt, MonitorTime time);
    // The slow threshold for the window rtts with runLength slow replies at
    // its end; none while there are too few other replies.
    static std::optional<double> threshold(std::span<const double> rtts, std::size_t runLength);
};

}  // namespace nerivane
