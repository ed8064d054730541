// How one target (or several together) is doing: still measuring, ok, bad
// with a set of problems, or down. A plain value computed with every snapshot
// on the probe queue, read by the verdict, alerts and views.
#pragma once

#include <optional>
#include <span>

#include "NerivaneKit/analysis/Metrics.h"
#include "NerivaneKit/analysis/Problems.h"
#include "NerivaneKit/analysis/Thresholds.h"
#include "NerivaneKit/probing/TargetStatus.h"

namespace nerivane {

struct TargetState {
    enum class Kind { bad, measuring, ok, down };

    Kind kind = Kind::measuring;
    // Only meaningful for bad; empty for every other kind.
    Problems problems;

    static constexpr TargetState bad(Problems problems) { return {Kind::bad, problems}; }
    static constexpr TargetState measuring() { return {Kind::measuring, {}}; }
    static constexpr TargetState ok() { return {Kind::ok, {}}; }
    static constexpr TargetState down() { return {Kind::down, {}}; }

    // Two bad states are equal when their problems are; other kinds by kind alone.
    constexpr bool operator==(const TargetState& other) const {
        return kind == other.kind && (kind != Kind::bad || problems == other.problems);
    }

    constexpr bool isProblem() const { return kind == Kind::bad || kind == Kind::down; }

    // The state of one target from its reachability status, whether its
    // outage detector has an outage open, and its window's metrics.
    static TargetState evaluate(TargetStatus status, bool inOutage, const Metrics& metrics,
                                const Thresholds& thresholds);

    // The aggregate of several targets: one good target makes the whole ok;
    // all down makes it down; otherwise still measuring or the union of the
    // problems. None for no states.
    static std::optional<TargetState> combine(std::span<const TargetState> states);
};

// "bad", "measuring", "ok", "down".
constexpr std::string_view text(TargetState::Kind kind) {
    switch (kind) {
    case TargetState::Kind::bad: return "bad";
    case TargetState::Kind::measuring: return "measuring";
    case TargetState::Kind::ok: return "ok";
    case TargetState::Kind::down: return "down";
    }
    return "";
}

}  // namespace nerivane
