// Keeps the outcomes of the DNS health probes for five minutes and the latest
// system lookup, and turns them into a LookupSnapshot. Owned by the monitor
// core on the probe queue; times are monitor seconds.
//
// A failure shows only when it is seen in two rounds in a row (rounds come
// every few seconds while a server fails, see NameLookups), so one lost
// datagram is no alarm; the first answer clears it.
//
// Invariants: servers holds only servers of the latest round, each one's
// samples sorted by time and no older than windowSeconds.
#pragma once

#include <deque>
#include <optional>
#include <vector>

#include "NerivaneKit/lookup/LookupOutcome.h"
#include "NerivaneKit/lookup/LookupSnapshot.h"

namespace nerivane {

struct LookupTally {
    static constexpr double windowSeconds = 300;
    static constexpr double failureSeconds = 60;
    // A median above this is slow.
    static constexpr double slowSeconds = 1.0;
    // Rounds in a row that must fail before the lookups are failing.
    static constexpr int failingRounds = 2;

    struct Sample {
        double time = 0;
        LookupOutcome outcome;
        bool operator==(const Sample&) const = default;
    };

    struct Server {
        ResolverServer server;
        std::deque<Sample> samples;
        // Rounds failed since the latest answer.
        int failedInARow = 0;
        // The latest answer, however long ago.
        std::optional<double> lastAnswer;
        bool operator==(const Server&) const = default;
    };

    // One entry per server of the latest round, in its order.
    std::vector<Server> servers;
    std::optional<double> latestRound;
    std::optional<double> systemSeconds;
    bool systemFailed = false;
    int systemFailedInARow = 0;

    bool operator==(const LookupTally&) const = default;

    // A round's outcomes at time; servers no longer named are forgotten.
    void record(double time, const std::vector<LookupOutcome>& outcomes);
    // The latest getaddrinfo: its time, or none when it failed.
    void recordSystem(std::optional<double> seconds);
    LookupSnapshot snapshot(double now) const;
};

}  // namespace nerivane
