// One address to probe: family, bytes in network order, and for scoped IPv6
// addresses (a link-local router) the interface index. A plain value.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "NerivaneKit/net/IPFamily.h"

namespace nerivane {

struct ProbeAddress {
    IPFamily family = IPFamily::v4;
    // 4 significant bytes for v4, 16 for v6; the rest stay zero.
    std::array<std::uint8_t, 16> bytes{};
    std::uint32_t scopeID = 0;

    bool operator==(const ProbeAddress&) const = default;

    static ProbeAddress v4(std::array<std::uint8_t, 4> bytes);
    static ProbeAddress v6(std::array<std::uint8_t, 16> bytes, std::uint32_t scopeID = 0);

    std::size_t byteCount() const { return family == IPFamily::v4 ? 4 : 16; }

    // A literal IPv4 or IPv6 address ("fe80::1%eth0" carries eth0's index);
    // no name lookup. The text of every address parses back to it.
    static std::optional<ProbeAddress> parse(const std::string& text);
    // Looks the host up through the system resolver (blocks). Duplicates are
    // dropped, the resolver's order is kept; failure gives an empty list.
    static std::vector<ProbeAddress> resolve(const std::string& host);

    // Numeric text, followed by "%" and the interface name for a scope the
    // system can name.
    std::string text() const;

    // The socket address for sending to (or connecting to) this address.
    sockaddr_storage socketAddress(std::uint16_t port, socklen_t& length) const;
    // The address a socket address names; none for other families.
    static std::optional<ProbeAddress> fromSocketAddress(const sockaddr* address, socklen_t length);
};

}  // namespace nerivane

template <>
struct std::hash<nerivane::ProbeAddress> {
    std::size_t operator()(const nerivane::ProbeAddress& address) const noexcept;
};
