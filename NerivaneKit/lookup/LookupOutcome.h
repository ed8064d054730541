// The outcome of one probe of one DNS server: an A and an AAAA query for the
// probe name. Made by DNSProbe on the lookup queue, folded into LookupTally
// on the probe queue. Times are seconds.
#pragma once

#include <optional>
#include <string>

#include "NerivaneKit/lookup/LookupFailure.h"
#include "NerivaneKit/lookup/ResolverServer.h"

namespace nerivane {

struct LookupOutcome {
    ResolverServer server;
    // Until both answers were in; none when either query failed.
    std::optional<double> seconds;
    // The first query's failure; none when both were answered.
    std::optional<LookupFailure> failure;
    // The chosen probe name when the server said it does not exist and the
    // fallback name was answered instead (seconds are that answer's); empty
    // otherwise.
    std::string missingName = {};

    bool operator==(const LookupOutcome&) const = default;
};

}  // namespace nerivane
