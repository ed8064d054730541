// Notices a lasting run of lost probes of one target and reports the outage
// once it ends. Owned by the monitor core (one per target), on the probe queue.
// Times are monitor time.
//
//   idle      -> counting   [lost]      first loss noted
//   counting  -> in outage  [tick]      3+ lost in a row, first loss 5 s ago, not warming up
//   counting  -> idle       [reply]     no event
//   in outage -> idle       [reply]     outage from the first loss to the reply's send time
//   in outage -> idle       [close]     outage from the first loss to now
#pragma once

#include <optional>

#include "NerivaneKit/platform/Clocks.h"
#include "NerivaneKit/probing/TargetStatus.h"

namespace nerivane {

struct OutageDetector {
    struct Outage {
        MonitorTime start;
        MonitorTime end;
        bool operator==(const Outage&) const = default;
    };

    static constexpr int minimumLost = 3;
    static constexpr Seconds minimumSeconds{5};

    // Send time of the first lost probe of the current run of losses.
    std::optional<MonitorTime> firstLost;
    // Lost probes since the last reply.
    int lostInRow = 0;
    // Start of the outage in progress: the first lost probe's send time, not
    // the moment the outage was noticed.
    std::optional<MonitorTime> since;
    // Send time of the newest answered probe. A loss is known only once its
    // probe has timed out, after replies to later probes have come in; a lost
    // probe sent before this reply belongs to no run that follows it.
    std::optional<MonitorTime> lastReply;

    bool operator==(const OutageDetector&) const = default;

    bool inOutage() const { return since.has_value(); }

    // A probe sent before the newest answered one does not count.
    void lost(MonitorTime time);
    // Run for every target at every monitor tick; starts an outage when due.
    void tick(MonitorTime now, TargetStatus status);
    // A reply to the probe sent at time ends the run of losses.
    std::optional<Outage> reply(MonitorTime time);
    // The target goes away or changes method: an open outage ends now.
    std::optional<Outage> close(MonitorTime now);
};

}  // namespace nerivane
