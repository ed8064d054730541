// Names the dominant problem among a set of targets (loss before latency
// before jitter), its worst value and the hosts that show it, so that a
// verdict can be explained in words. A plain value, computed where it is shown.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "NerivaneKit/analysis/TargetSnapshot.h"

namespace nerivane {

struct ProblemSummary {
    enum class Kind { loss, latency, jitter };

    Kind kind = Kind::loss;
    // A loss percentage (0-100), or milliseconds of p95 or jitter.
    double value = 0;
    // Hosts of the targets with the problem, in target order.
    std::vector<std::string> hosts;

    bool operator==(const ProblemSummary&) const = default;

    // None when no target is bad.
    static std::optional<ProblemSummary> of(std::span<const TargetSnapshot> targets);
};

}  // namespace nerivane
