// Where the Prometheus endpoint listens: a host and a port as the user wrote
// them ("127.0.0.1:9101", "[::1]:9101", "localhost:9101"), checked for form
// only. Resolving and binding happen when the exporter starts. A plain value.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace nerivane {

struct MetricsAddress {
    // Without the brackets of an IPv6 address.
    std::string host;
    std::uint16_t port = 0;

    bool operator==(const MetricsAddress&) const = default;

    // The address, or a usage error that says what is wrong with the text.
    static std::variant<MetricsAddress, std::string> parse(std::string_view text);
    // "host:port", with brackets around an IPv6 host.
    std::string text() const;
    // Whether a numeric address (as resolved, without brackets) reaches only
    // this machine: 127.0.0.0/8, ::1, and 127.0.0.0/8 written as an IPv4-mapped
    // IPv6 address (::ffff:127.0.0.1), which a dual-stack socket serves as that.
    static bool isLoopback(const std::string& numericHost);
};

}  // namespace nerivane
