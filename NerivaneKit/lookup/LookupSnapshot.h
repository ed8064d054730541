// The health of name lookups at one moment: each DNS server's median answer
// time over five minutes, failures in the last minute and how long ago it
// last answered, the last lookup through the system's own path, and the
// overall health that the verdict reads. A plain value built by LookupTally
// on the probe queue; seconds.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "NerivaneKit/lookup/LookupFailure.h"
#include "NerivaneKit/lookup/ResolverServer.h"

namespace nerivane {

struct LookupSnapshot {
    enum class Health {
        // No round has finished yet, or the system names no server.
        unknown,
        ok,
        // Every answering server's median is above a second.
        slow,
        // Every server failed its latest two rounds, or the system's own
        // lookup failed twice in a row.
        failing,
    };

    struct Server {
        ResolverServer server;
        // Over the last five minutes; none without an answer in that time.
        std::optional<double> medianSeconds;
        int failuresLastMinute = 0;
        // The latest probe's failure; none when it was answered.
        std::optional<LookupFailure> latestFailure;
        // The latest probe's time when it was answered.
        std::optional<double> latestSeconds;
        // Since the latest answer, however long ago; none without one.
        std::optional<double> lastAnswerAge = std::nullopt;
        bool operator==(const Server&) const = default;
    };

    std::vector<Server> servers;
    Health health = Health::unknown;
    // The latest lookup through getaddrinfo, as applications see it; none
    // before the first or when it failed (systemFailed).
    std::optional<double> systemSeconds;
    bool systemFailed = false;
    // When the latest round was recorded (monitor seconds): a new value is a
    // new round, which the metrics count once.
    std::optional<double> latestRound;
    // The chosen probe name when a server says it does not exist (and the
    // default name was answered in its place); empty otherwise.
    std::string missingName = {};

    bool operator==(const LookupSnapshot&) const = default;

    // The server a verdict text names: the first failing one when failing,
    // the fastest answering one otherwise; none without servers.
    std::optional<Server> namedServer() const;
};

std::string_view text(LookupSnapshot::Health health);

}  // namespace nerivane
