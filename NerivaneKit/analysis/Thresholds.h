// The limits above which a target's window counts as a problem: lost probes,
// jitter and 95th percentile. The router is held to tighter limits than hosts
// across the internet. Constant values; used by TargetState on the probe queue.
#pragma once

#include "NerivaneKit/probing/TargetRole.h"

namespace nerivane {

struct Thresholds {
    // Loss is a problem at this many lost probes in the window or more.
    int lost = 2;
    // Jitter and p95 are problems only when strictly above these (milliseconds).
    double jitter = 30;
    double p95 = 150;

    bool operator==(const Thresholds&) const = default;

    static constexpr Thresholds router() { return {2, 10, 30}; }
    static constexpr Thresholds internet() { return {2, 30, 150}; }
    // Every role but the router (internet, IPv6 and custom hosts) uses the internet set.
    static constexpr Thresholds forRole(const TargetRole& role) {
        return role.kind == TargetRole::Kind::router ? router() : internet();
    }
};

}  // namespace nerivane
