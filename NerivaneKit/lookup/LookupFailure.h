// Why one direct query to a DNS server did not give an answer. Stored texts
// (metrics labels, history, JSON) are the case names. Pure.
#pragma once

#include <optional>
#include <string_view>

namespace nerivane {

enum class LookupFailure {
    // No reply within the time-out (replies with a wrong transaction or
    // source do not count: they are ignored as spoofed).
    timeout,
    servfail,
    refused,
    // NXDOMAIN for a name that exists.
    nxdomain,
    // The server's port is closed (ICMP port unreachable) or the server cannot be reached.
    unreachable,
    // A malformed reply, or anything else the library reports.
    other,
    // Answered, but without an address for the name: NOERROR with no A and
    // no AAAA record for it, or an answer that cannot be read (a record
    // count that lies, a name compression that points at itself).
    noAddress,
};

std::string_view text(LookupFailure failure);
std::optional<LookupFailure> parseLookupFailure(std::string_view text);

}  // namespace nerivane
