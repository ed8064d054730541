// What the rest of the system sees of one target at one snapshot: its status,
// state, metrics, whether the local network answers for it, and the start of
// an outage in progress. A plain value built by the monitor core on the probe queue.
#pragma once

#include <optional>

#include "NerivaneKit/analysis/Metrics.h"
#include "NerivaneKit/analysis/TargetState.h"
#include "NerivaneKit/probing/Target.h"
#include "NerivaneKit/probing/TargetStatus.h"

namespace nerivane {

struct TargetSnapshot {
    Target target;
    TargetStatus status = TargetStatus::warmingUp;
    TargetState state;
    Metrics metrics;
    // An internet host that answers no slower than the fastest router reply
    // is taken to be answered by something on the local network.
    bool answeredLocally = false;
    // Wall-clock date (Unix seconds) of the start of an outage in progress.
    std::optional<double> outageSince;
    // Wall-clock date of the start of the newest ended outage whose lost
    // probes are still in the window (they no longer count as loss).
    std::optional<double> pastOutageStart;
    // The router answers its own pings slowly while the internet hosts'
    // round trips through it are faster: its state is ok, and this says why.
    bool slowToOwnPings = false;

    bool operator==(const TargetSnapshot&) const = default;
};

}  // namespace nerivane
