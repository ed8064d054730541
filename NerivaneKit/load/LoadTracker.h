// Latency under load: the round trips of the router and the internet hosts
// sorted by how busy the link was while each probe was in flight, and per
// direction the added latency of busy replies over idle ones, its grade and
// where the queue is. Owned by the monitor core, on the probe queue; times are
// monitor seconds, round trips milliseconds.
//
// A reply waits in `pending` until the counters cover its flight, then joins
// the idle window (idle replies of the last 10 minutes) or the busy window of
// each direction it was busy in (the 60 seconds up to that direction's newest
// busy probe, so the window stands still once the load ends). A direction's
// figures are worked out again only when its busy window changed, and kept
// until new ones rest on enough replies: the last load stays on show.
#pragma once

#include <array>
#include <deque>
#include <optional>
#include <vector>

#include "NerivaneKit/load/LoadClass.h"
#include "NerivaneKit/load/LoadSnapshot.h"
#include "NerivaneKit/load/TrafficMeter.h"

namespace nerivane {

struct LoadTracker {
    enum class Role { router, internet };

    struct Reply {
        // Send time; rtt absent for a lost probe.
        double time = 0;
        std::optional<double> rtt;
        bool operator==(const Reply&) const = default;
    };
    struct Pending {
        Role role = Role::internet;
        Reply reply;
        // When the probe stopped being in flight (answer or time-out).
        double until = 0;
        bool operator==(const Pending&) const = default;
    };
    struct Windows {
        std::deque<Reply> idle;
        // Indexed by LoadDirection.
        std::array<std::deque<Reply>, 2> busy;
        bool operator==(const Windows&) const = default;
    };

    static constexpr double busyWindowSeconds = 60;
    static constexpr double idleWindowSeconds = 600;
    static constexpr std::size_t minimumBusyReplies = 10;
    static constexpr std::size_t minimumIdleReplies = 5;
    // Replies the counters never covered (no counters) are dropped after this long.
    static constexpr double pendingSeconds = 30;

    std::vector<Pending> pending;
    // Indexed by Role.
    std::array<Windows, 2> windows;
    // Indexed by LoadDirection: the figures on show, without the busy dates
    // (the traffic meter has those).
    std::array<DirectionLoad, 2> figures;
    // Indexed by LoadDirection: its busy window took a reply since the last update.
    std::array<bool, 2> changed{};

    bool operator==(const LoadTracker&) const = default;

    void add(Role role, Reply reply, double until);
    // Classes the pending replies the meter covers, ages the idle window and
    // works out the figures of the directions whose busy window changed.
    void update(double now, const TrafficMeter& meter);

private:
    void record(Role role, const Reply& reply, LoadClass load);
    std::optional<RoleLoad> roleLoad(Role role, LoadDirection direction) const;
};

}  // namespace nerivane
