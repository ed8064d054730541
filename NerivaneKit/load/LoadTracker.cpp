#include "NerivaneKit/load/LoadTracker.h"

#include <algorithm>
#include <utility>

#include "NerivaneKit/statistics/Statistics.h"
#include "NerivaneKit/load/LoadGrade.h"
#include "NerivaneKit/load/LoadRules.h"

namespace nerivane {
namespace {

constexpr std::size_t index(LoadTracker::Role role) {
    return static_cast<std::size_t>(role);
}
constexpr std::size_t index(LoadDirection direction) {
    return static_cast<std::size_t>(direction);
}

std::optional<double> median(const std::deque<LoadTracker::Reply>& replies, std::size_t minimum) {
    std::vector<double> rtts;
    rtts.reserve(replies.size());
    for (const auto& reply : replies) {
        if (reply.rtt) rtts.push_back(*reply.rtt);
    }
    if (rtts.size() < minimum) return std::nullopt;
    std::sort(rtts.begin(), rtts.end());
    return Statistics::percentile(rtts, 0.5);
}

}  // namespace

void LoadTracker::add(Role role, Reply reply, double until) {
    pending.push_back(Pending{role, reply, until});
}

void LoadTracker::update(double now, const TrafficMeter& meter) {
    const std::optional<double> covered = meter.coveredUntil();
    std::erase_if(pending, [&](const Pending& entry) {
        if (covered && entry.until <= *covered) {
            record(entry.role, entry.reply, meter.classify(entry.reply.time, entry.until));
            return true;
        }
        return now - entry.until > pendingSeconds;
    });
    for (auto& window : windows) {
        while (!window.idle.empty() && window.idle.front().time < now - idleWindowSeconds) window.idle.pop_front();
    }
    for (const LoadDirection direction : {LoadDirection::upload, LoadDirection::download}) {
        if (!std::exchange(changed[index(direction)], false)) continue;
        DirectionLoad next;
        next.internet = roleLoad(Role::internet, direction);
        next.router = roleLoad(Role::router, direction);
        if (!next.internet && !next.router) continue;
        // The internet's figures grade the link; the router's stand in when
        // the internet is not measured.
        next.grade = gradeForAddedLatency(next.internet ? next.internet->added : next.router->added);
        next.queue = LoadRules::queuePlace(next.router, next.internet);
        figures[index(direction)] = next;
    }
}

void LoadTracker::record(Role role, const Reply& reply, LoadClass load) {
    Windows& window = windows[index(role)];
    if (load == LoadClass::idle) {
        // Replies arrive almost in send order; keep the window sorted.
        auto at = window.idle.end();
        while (at != window.idle.begin() && std::prev(at)->time > reply.time) --at;
        window.idle.insert(at, reply);
        return;
    }
    for (const LoadDirection direction : {LoadDirection::upload, LoadDirection::download}) {
        if (!isBusy(load, direction)) continue;
        auto& busy = window.busy[index(direction)];
        auto at = busy.end();
        while (at != busy.begin() && std::prev(at)->time > reply.time) --at;
        busy.insert(at, reply);
        while (busy.front().time < busy.back().time - busyWindowSeconds) busy.pop_front();
        changed[index(direction)] = true;
    }
}

std::optional<RoleLoad> LoadTracker::roleLoad(Role role, LoadDirection direction) const {
    const Windows& window = windows[index(role)];
    const auto& busy = window.busy[index(direction)];
    const auto busyMedian = median(busy, minimumBusyReplies);
    const auto idleMedian = median(window.idle, minimumIdleReplies);
    if (!busyMedian || !idleMedian) return std::nullopt;
    RoleLoad load;
    load.idleMedian = *idleMedian;
    load.busyMedian = *busyMedian;
    load.added = *busyMedian - *idleMedian;
    load.busyReplies = static_cast<int>(busy.size());
    load.busyLost = static_cast<int>(std::count_if(busy.begin(), busy.end(), [](const Reply& r) { return !r.rtt; }));
    return load;
}

}  // namespace nerivane
