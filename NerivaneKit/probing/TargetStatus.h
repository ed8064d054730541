// How a target is being probed: warming up, measured by ICMP or TCP, (the
// router only) not answering ping, directly or through a VPN, or not pinged
// at all because the system does not let this user open an ICMP socket.
#pragma once

#include <string_view>

namespace nerivane {

enum class TargetStatus { warmingUp, icmp, tcp, doesntAnswerPing, unreachableVPN, pingNotPermitted };

// The case name, for log lines and the JSON readouts.
constexpr std::string_view text(TargetStatus status) {
    switch (status) {
    case TargetStatus::warmingUp: return "warmingUp";
    case TargetStatus::icmp: return "icmp";
    case TargetStatus::tcp: return "tcp";
    case TargetStatus::doesntAnswerPing: return "doesntAnswerPing";
    case TargetStatus::unreachableVPN: return "unreachableVPN";
    case TargetStatus::pingNotPermitted: return "pingNotPermitted";
    }
    return "";
}

}  // namespace nerivane
