// Latency under load: the round trips of the router and the internet hosts
// sorted by how busy the link was while each probe was in flight, and per
// direction the added latency of busy replies over idle ones, its grade and
// where the queue is. Owned by the monitor core, on the probe queue; times are
// monitor time, round trips milliseconds.
//
// The core classes each probe once, when the counters cover its flight, and
// hands the reply in with that class (the same class its history record
// gets). An idle reply joins the idle window (idle replies of the last 10
// minutes), a busy one the busy window of each direction it was busy in (the
// 60 seconds up to that direction's newest busy probe, so the window stands
// still once the load ends). A direction's figures are worked out again only
// when its busy window changed, and kept until new ones rest on enough
// replies: the last load stays on show.
#pragma once

#include <array>
#include <deque>
#include <optional>

#include "NerivaneKit/load/LoadClass.h"
#include "NerivaneKit/load/LoadSnapshot.h"
#include "NerivaneKit/platform/Clocks.h"

namespace nerivane {

class LoadTracker {
public:
    enum class Role { router, internet };

    struct Reply {
        // Send time; rtt absent for a lost probe.
        MonitorTime time;
        std::optional<double> rtt;
        bool operator==(const Reply&) const = default;
    };
    struct Windows {
        std::deque<Reply> idle;
        // Indexed by LoadDirection.
        std::array<std::deque<Reply>, 2> busy;
        bool operator==(const Windows&) const = default;
    };

    static constexpr Seconds busyWindowSeconds{60};
    static constexpr Seconds idleWindowSeconds{600};
    static constexpr std::size_t minimumBusyReplies = 10;
    static constexpr std::size_t minimumIdleReplies = 5;

    bool operator==(const LoadTracker&) const = default;

    // One reply whose flight the counters classed as load (unknown ones are not kept).
    void add(Role role, const Reply& reply, LoadClass load);
    // Ages the idle window and works out the figures of the directions whose
    // busy window changed.
    void update(MonitorTime now);
    // The figures on show, without the busy dates (the traffic meter has those).
    const DirectionLoad& figures(LoadDirection direction) const {
        return figures_[static_cast<std::size_t>(direction)];
    }

    bool invariantsHold() const;

private:
    std::optional<RoleLoad> roleLoad(Role role, LoadDirection direction) const;

    // Indexed by Role. Every window in send-time order; a busy window spans
    // at most `busyWindowSeconds` (the idle window's age is kept by update).
    std::array<Windows, 2> windows_;
    // Indexed by LoadDirection: the figures on show, graded whenever present.
    std::array<DirectionLoad, 2> figures_;
    // Indexed by LoadDirection: its busy window took a reply since the last
    // update; only then can it be non-empty where it was empty.
    std::array<bool, 2> changed_{};
};

}  // namespace nerivane
