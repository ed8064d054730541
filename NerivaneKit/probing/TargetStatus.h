// How a target is being probed: warming up, measured by ICMP or TCP, or (the
// router only) not answering ping, directly or through a VPN.
#pragma once

#include <string_view>

namespace nerivane {

enum class TargetStatus { warmingUp, icmp, tcp, doesntAnswerPing, unreachableVPN };

// The case name, for log lines.
constexpr std::string_view text(TargetStatus status) {
    switch (status) {
    case TargetStatus::warmingUp: return "warmingUp";
    case TargetStatus::icmp: return "icmp";
    case TargetStatus::tcp: return "tcp";
    case TargetStatus::doesntAnswerPing: return "doesntAnswerPing";
    case TargetStatus::unreachableVPN: return "unreachableVPN";
    }
    return "";
}

}  // namespace nerivane
