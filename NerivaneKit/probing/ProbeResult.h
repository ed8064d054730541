// The one result type of both probers: a reply in time, a late reply, or a
// loss, for the probe with this address, sequence and send time.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include "NerivaneKit/net/ProbeAddress.h"
#include "NerivaneKit/platform/Clocks.h"

namespace nerivane {

struct ProbeResult {
    struct Reply {
        double milliseconds = 0;
        bool operator==(const Reply&) const = default;
    };
    struct Late {
        double milliseconds = 0;
        bool operator==(const Late&) const = default;
    };
    struct Lost {
        bool operator==(const Lost&) const = default;
    };
    using Outcome = std::variant<Reply, Late, Lost>;

    ProbeAddress address;
    std::uint16_t sequence = 0;
    // When the probe was sent.
    Ticks sentAt{};
    Outcome outcome = Lost{};

    bool operator==(const ProbeResult&) const = default;

    bool isReply() const { return std::holds_alternative<Reply>(outcome); }
    bool isLate() const { return std::holds_alternative<Late>(outcome); }
    bool isLost() const { return std::holds_alternative<Lost>(outcome); }
    // The round-trip time of a reply or late reply.
    std::optional<double> milliseconds() const {
        if (auto* reply = std::get_if<Reply>(&outcome)) return reply->milliseconds;
        if (auto* late = std::get_if<Late>(&outcome)) return late->milliseconds;
        return std::nullopt;
    }
};

}  // namespace nerivane
