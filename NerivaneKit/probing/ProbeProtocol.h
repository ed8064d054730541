// The protocol of a probe. Its text ("icmp", "tcp") is stored in history.
#pragma once

#include <optional>
#include <string_view>

namespace nerivane {

enum class ProbeProtocol { icmp, tcp };

constexpr std::string_view text(ProbeProtocol protocol) {
    return protocol == ProbeProtocol::icmp ? "icmp" : "tcp";
}

constexpr std::optional<ProbeProtocol> parseProbeProtocol(std::string_view text) {
    if (text == "icmp") return ProbeProtocol::icmp;
    if (text == "tcp") return ProbeProtocol::tcp;
    return std::nullopt;
}

}  // namespace nerivane
