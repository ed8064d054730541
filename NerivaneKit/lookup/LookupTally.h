// Keeps the outcomes of the DNS health probes for five minutes and the latest
// system lookup, and turns them into a LookupSnapshot. Owned by the monitor
// core on the probe queue; times are monitor time.
//
// A failure shows only when it is seen in two rounds in a row (rounds come
// every few seconds while a server fails, see NameLookups), so one lost
// datagram is no alarm; the first answer clears it.
//
// Invariants: servers holds only servers of the latest round, each one's
// samples sorted by time and no older than the window.
#pragma once

#include <deque>
#include <optional>
#include <vector>

#include "NerivaneKit/lookup/LookupOutcome.h"
#include "NerivaneKit/lookup/LookupSnapshot.h"
#include "NerivaneKit/platform/Clocks.h"

namespace nerivane {

struct LookupTally {
    static constexpr Seconds window{300};
    static constexpr Seconds failureWindow{60};
    // A median above this is slow.
    static constexpr double slowSeconds = 1.0;
    // Rounds in a row that must fail before the lookups are failing.
    static constexpr int failingRounds = 2;

    struct Sample {
        MonitorTime time{};
        LookupOutcome outcome;
        bool operator==(const Sample&) const = default;
    };

    struct Server {
        ResolverServer server;
        std::deque<Sample> samples;
        // Rounds failed since the latest answer.
        int failedInARow = 0;
        // The latest answer, however long ago.
        std::optional<MonitorTime> lastAnswer;
        bool operator==(const Server&) const = default;
    };

    // One entry per server of the latest round, in its order.
    std::vector<Server> servers;
    std::optional<MonitorTime> latestRound;
    std::optional<Seconds> systemTime;
    bool systemFailed = false;
    int systemFailedInARow = 0;

    bool operator==(const LookupTally&) const = default;

    // A round's outcomes at time; servers no longer named are forgotten.
    void record(MonitorTime time, const std::vector<LookupOutcome>& outcomes);
    // The latest getaddrinfo: how long it took, or none when it failed.
    void recordSystem(std::optional<Seconds> took);
    LookupSnapshot snapshot(MonitorTime now) const;
};

}  // namespace nerivane
