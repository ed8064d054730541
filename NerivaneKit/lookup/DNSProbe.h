// Asks DNS servers directly, through c-ares, for the A and AAAA records of one
// name: UDP with one try and a time-out, over TCP again when a reply comes
// back truncated (c-ares does that itself). Replies with a wrong transaction
// id, question or source address are dropped by c-ares and never end a query,
// so a spoofed reply cannot pass for an answer. Blocking: it runs on the
// lookup queue, every server at once, and returns when all are done.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "NerivaneKit/lookup/LookupOutcome.h"
#include "NerivaneKit/lookup/ResolverServer.h"

namespace nerivane {

struct DNSProbe {
    static constexpr std::chrono::milliseconds defaultTimeout{2000};

    // One outcome per server, in the servers' order.
    static std::vector<LookupOutcome> probe(const std::vector<ResolverServer>& servers, const std::string& name,
                                            std::chrono::milliseconds timeout = defaultTimeout);
};

}  // namespace nerivane
