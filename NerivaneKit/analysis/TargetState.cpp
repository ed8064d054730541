#include "NerivaneKit/analysis/TargetState.h"

#include <algorithm>

namespace nerivane {

TargetState TargetState::evaluate(TargetStatus status, bool inOutage, const Metrics& metrics,
                                  const Thresholds& thresholds) {
    // A warming-up target has not settled on a method yet; an open outage
    // from that phase says nothing about the target.
    if (status == TargetStatus::warmingUp) return measuring();
    if (inOutage) return down();
    if (metrics.sent == 0) return measuring();

    // The losses of an ended outage and the replies of an ended spike were
    // the event's; the state is about the present.
    Problems problems;
    if (metrics.currentLost() >= thresholds.lost) problems.insert(Problems::loss());
    if (metrics.jitter && *metrics.jitter > thresholds.jitter) problems.insert(Problems::jitter());
    if (const auto p95 = metrics.currentP95(); p95 && *p95 > thresholds.p95) problems.insert(Problems::latency());
    return problems.isEmpty() ? ok() : bad(problems);
}

std::optional<TargetState> TargetState::combine(std::span<const TargetState> states) {
    if (states.empty()) return std::nullopt;
    auto has = [&](Kind kind) {
        return std::any_of(states.begin(), states.end(), [kind](const TargetState& s) { return s.kind == kind; });
    };
    if (has(Kind::ok)) return ok();
    if (std::all_of(states.begin(), states.end(), [](const TargetState& s) { return s.kind == Kind::down; }))
        return down();
    if (has(Kind::measuring)) return measuring();
    Problems problems;
    for (const auto& state : states) {
        if (state.kind == Kind::bad) problems.insert(state.problems);
    }
    return bad(problems);
}

}  // namespace nerivane
