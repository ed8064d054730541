// One DNS server the system sends its lookups to: a numeric address, the
// port (53 but in tests), and the link it belongs to when the system's
// resolver says so. A plain value, made on the lookup queue.
#pragma once

#include <cstdint>
#include <string>

namespace nerivane {

struct ResolverServer {
    std::string address;
    std::uint16_t port = 53;
    // The interface name for systemd-resolved's per-link servers; empty for
    // global ones and for resolv.conf's.
    std::string link;

    bool operator==(const ResolverServer&) const = default;
};

}  // namespace nerivane
