#include "NerivaneKit/analysis/ProblemSummary.h"

#include <algorithm>
#include <array>
#include <utility>

namespace nerivane {

std::optional<ProblemSummary> ProblemSummary::of(std::span<const TargetSnapshot> targets) {
    auto has = [](const TargetSnapshot& target, Problems bit) {
        return target.state.kind == TargetState::Kind::bad && target.state.problems.contains(bit);
    };
    constexpr std::array<std::pair<Kind, Problems>, 3> order{{
        {Kind::loss, Problems::loss()},
        {Kind::latency, Problems::latency()},
        {Kind::jitter, Problems::jitter()},
    }};
    for (const auto& [kind, bit] : order) {
        ProblemSummary summary{kind, 0, {}};
        std::optional<double> worst;
        for (const auto& target : targets) {
            if (!has(target, bit)) continue;
            summary.hosts.push_back(target.target.host);
            const auto& metrics = target.metrics;
            std::optional<double> value;
            switch (kind) {
            // The present's figures: an ended outage or spike is its event's.
            case Kind::loss:
                value = metrics.currentSent() <= 0 ? 0.0 : metrics.currentLost() * 100.0 / metrics.currentSent();
                break;
            case Kind::latency: value = metrics.currentP95(); break;
            case Kind::jitter: value = metrics.jitter; break;
            }
            if (value) worst = worst ? std::max(*worst, *value) : *value;
        }
        if (summary.hosts.empty()) continue;
        summary.value = worst.value_or(0);
        return summary;
    }
    return std::nullopt;
}

}  // namespace nerivane
