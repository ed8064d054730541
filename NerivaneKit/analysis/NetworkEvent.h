// An outage or latency spike of one target, reported once it has ended. Built
// by the monitor core on the probe queue; kept by the application and history.
// Times are wall-clock dates in Unix seconds (fractional).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "NerivaneKit/net/ProbeAddress.h"
#include "NerivaneKit/probing/TargetRole.h"

namespace nerivane {

struct NetworkEvent {
    enum class Kind { outage, spike };

    Kind kind = Kind::outage;
    TargetRole role;
    std::string host;
    ProbeAddress address;
    double start = 0;
    double end = 0;
    // The highest round-trip time of a spike; absent for an outage.
    std::optional<double> worstRTT;

    bool operator==(const NetworkEvent&) const = default;

    double duration() const { return end - start; }

    // "outage 1.1.1.1 1.1.1.1 12.3 s" or "spike … 4.0 s, worst 50.0 ms":
    // the line written to the log (category "stats") for every published event.
    std::string logLine() const;
};

// The stored texts "outage" and "spike".
constexpr std::string_view text(NetworkEvent::Kind kind) {
    return kind == NetworkEvent::Kind::outage ? "outage" : "spike";
}

constexpr std::optional<NetworkEvent::Kind> parseNetworkEventKind(std::string_view text) {
    if (text == "outage") return NetworkEvent::Kind::outage;
    if (text == "spike") return NetworkEvent::Kind::spike;
    return std::nullopt;
}

}  // namespace nerivane
