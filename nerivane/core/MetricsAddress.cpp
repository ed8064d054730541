#include "nerivane/core/MetricsAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>

namespace nerivane {

std::variant<MetricsAddress, std::string> MetricsAddress::parse(std::string_view text) {
    const std::string quoted = "\"" + std::string(text) + "\"";
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return "metrics address " + quoted + " has no port: write ADDR:PORT, e.g. 127.0.0.1:9101";
    std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);
    if (host.starts_with('[') && host.ends_with(']')) {
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos) {
        return "metrics address " + quoted + ": write an IPv6 address in brackets, e.g. [::1]:9101";
    }
    if (host.empty())
        return "metrics address " + quoted + " has no host: write ADDR:PORT, e.g. 127.0.0.1:9101 (0.0.0.0 for every address)";
    if (port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c) != 0; }))
        return "metrics address " + quoted + " has no port number: write ADDR:PORT, e.g. 127.0.0.1:9101";
    const int number = std::stoi(std::string(port));
    if (number < 1 || number > 65535) return "metrics address " + quoted + ": the port must be from 1 to 65535";
    return MetricsAddress{std::string(host), static_cast<std::uint16_t>(number)};
}

std::string MetricsAddress::text() const {
    const bool bracketed = host.find(':') != std::string::npos;
    return (bracketed ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool MetricsAddress::isLoopback(const std::string& numericHost) {
    in_addr v4{};
    if (::inet_pton(AF_INET, numericHost.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (::inet_pton(AF_INET6, numericHost.c_str(), &v6) != 1) return false;
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

}  // namespace nerivane
