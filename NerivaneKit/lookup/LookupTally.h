// Keeps the last five minutes of DNS probe outcomes per server and the latest
// system lookup, and turns them into a LookupSnapshot. Owned by the monitor
// core on the probe queue; times are monitor seconds.
//
// Invariants: samples holds only servers of the latest round, each server's
// deque sorted by time and no older than windowSeconds.
#pragma once

#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "NerivaneKit/lookup/LookupOutcome.h"
#include "NerivaneKit/lookup/LookupSnapshot.h"

namespace nerivane {

struct LookupTally {
    static constexpr double windowSeconds = 300;
    static constexpr double failureSeconds = 60;
    // A median above this is slow.
    static constexpr double slowSeconds = 1.0;

    struct Sample {
        double time = 0;
        LookupOutcome outcome;
        bool operator==(const Sample&) const = default;
    };

    // One entry per server of the latest round, in its order.
    std::vector<std::pair<ResolverServer, std::deque<Sample>>> samples;
    std::optional<double> latestRound;
    std::optional<double> systemSeconds;
    bool systemFailed = false;

    bool operator==(const LookupTally&) const = default;

    // A round's outcomes at time; servers no longer named are forgotten.
    void record(double time, const std::vector<LookupOutcome>& outcomes);
    // The latest getaddrinfo: its time, or none when it failed.
    void recordSystem(std::optional<double> seconds);
    LookupSnapshot snapshot(double now) const;
};

}  // namespace nerivane
