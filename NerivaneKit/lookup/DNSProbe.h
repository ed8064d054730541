// Asks DNS servers directly, through c-ares, for the A and AAAA records of one
// name: UDP with one try and a time-out, over TCP again when a reply comes
// back cut (truncated or oversized) before an address. A server answers only
// when a reply holds an address for the name (DNSAnswer reads it). Replies
// with a wrong transaction id, question or source address are dropped by
// c-ares and never end a query, so a spoofed reply cannot pass for an answer.
// Blocking: it runs on the lookup queue, every server at once, and returns
// when all are done.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "NerivaneKit/lookup/LookupOutcome.h"
#include "NerivaneKit/lookup/ResolverServer.h"

namespace nerivane {

struct DNSProbe {
    static constexpr std::chrono::milliseconds defaultTimeout{2000};

    // One outcome per server, in the servers' order. A server that says the
    // name does not exist is asked for fallbackName too (when it is another
    // name): if that is answered, the outcome is that answer, marked with the
    // missing name; else the fallback's failure is the server's.
    static std::vector<LookupOutcome> probe(const std::vector<ResolverServer>& servers, const std::string& name,
                                            std::chrono::milliseconds timeout = defaultTimeout,
                                            const std::string& fallbackName = {});
};

}  // namespace nerivane
