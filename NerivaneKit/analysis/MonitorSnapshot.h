// Everything the monitor publishes at one moment: the path, every target's
// snapshot, the filtered verdict, the combined internet state and the IPv6
// warning. A plain value built on the probe queue and handed to the main thread.
#pragma once

#include <optional>
#include <vector>

#include "NerivaneKit/analysis/TargetSnapshot.h"
#include "NerivaneKit/analysis/TargetState.h"
#include "NerivaneKit/analysis/Verdict.h"
#include "NerivaneKit/load/LoadSnapshot.h"
#include "NerivaneKit/lookup/LookupSnapshot.h"
#include "NerivaneKit/path/NetworkPath.h"
#include "NerivaneKit/probing/HopSweep.h"
#include "NerivaneKit/probing/HostLookup.h"

namespace nerivane {

struct MonitorSnapshot {
    NetworkPath path;
    // In the order of the installed target list.
    std::vector<TargetSnapshot> targets;
    // The filtered verdict.
    Verdict verdict = Verdict::measuring;
    // The combined state of the measured internet targets; none when there are none.
    std::optional<TargetState> internet;
    // IPv6 fails while IPv4 internet is fine.
    bool ipv6Problem = false;
    // Configured hosts not probed because their names have no address yet.
    std::vector<HostLookup> unresolved;
    // Name lookups' health; none while the monitor does not probe DNS.
    std::optional<LookupSnapshot> lookups;
    // Traffic on the path and latency under load; none without counters.
    std::optional<LoadSnapshot> load;
    // Every measured internet host has left its newest probes unanswered
    // (beyond the probe time-out) before any outage could start: the wall-clock
    // date of the newest reply from any of them. Their states then say loss.
    std::optional<double> internetSilentSince;
    // The newest sweep's hops toward the first internet host, for diagnostics.
    std::vector<HopSweep::Hop> hops;

    bool operator==(const MonitorSnapshot&) const = default;

    // The targets the internet verdict rests on: IPv4 internet hosts (not the
    // IPv6 partner, not custom hosts) that the local network does not answer
    // for and that are being measured or still warming up.
    static bool isMeasuredInternet(const TargetSnapshot& target);
    std::vector<TargetSnapshot> measuredInternetTargets() const;
};

}  // namespace nerivane
