#include "NerivaneKit/load/LoadTracker.h"

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

#include "NerivaneKit/load/LoadGrade.h"
#include "NerivaneKit/load/LoadRules.h"
#include "NerivaneKit/platform/Invariants.h"
#include "NerivaneKit/statistics/Statistics.h"

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

bool inSendOrder(const std::deque<LoadTracker::Reply>& replies) {
    return std::is_sorted(replies.begin(), replies.end(),
                          [](const LoadTracker::Reply& a, const LoadTracker::Reply& b) { return a.time < b.time; });
}

}  // namespace

void LoadTracker::add(Role role, const Reply& reply, LoadClass load) {
    Windows& window = windows_[index(role)];
    if (load == LoadClass::idle) {
        // Replies arrive almost in send order; keep the window sorted.
        auto at = window.idle.end();
        while (at != window.idle.begin() && std::prev(at)->time > reply.time) --at;
        window.idle.insert(at, reply);
        NERIVANE_CHECK_INVARIANTS();
        return;
    }
    for (const LoadDirection direction : {LoadDirection::upload, LoadDirection::download}) {
        if (!isBusy(load, direction)) continue;
        auto& busy = window.busy[index(direction)];
        auto at = busy.end();
        while (at != busy.begin() && std::prev(at)->time > reply.time) --at;
        busy.insert(at, reply);
        while (busy.front().time < busy.back().time - busyWindowSeconds) busy.pop_front();
        changed_[index(direction)] = true;
    }
    NERIVANE_CHECK_INVARIANTS();
}

void LoadTracker::update(MonitorTime now) {
    for (auto& window : windows_) {
        while (!window.idle.empty() && window.idle.front().time < now - idleWindowSeconds) window.idle.pop_front();
    }
    for (const LoadDirection direction : {LoadDirection::upload, LoadDirection::download}) {
        if (!std::exchange(changed_[index(direction)], false)) continue;
        DirectionLoad next;
        next.internet = roleLoad(Role::internet, direction);
        next.router = roleLoad(Role::router, direction);
        if (!next.internet && !next.router) continue;
        // The internet's figures grade the link; the router's stand in when
        // the internet is not measured.
        next.grade = gradeForAddedLatency(next.internet ? next.internet->added : next.router->added);
        next.queue = LoadRules::queuePlace(next.router, next.internet);
        figures_[index(direction)] = next;
    }
    NERIVANE_CHECK_INVARIANTS();
}

std::optional<RoleLoad> LoadTracker::roleLoad(Role role, LoadDirection direction) const {
    const Windows& window = windows_[index(role)];
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

bool LoadTracker::invariantsHold() const {
    for (const Windows& window : windows_) {
        if (!inSendOrder(window.idle)) return false;
        for (const auto& busy : window.busy) {
            if (!inSendOrder(busy)) return false;
            if (!busy.empty() && busy.front().time < busy.back().time - busyWindowSeconds) return false;
        }
    }
    return std::all_of(figures_.begin(), figures_.end(), [](const DirectionLoad& figures) {
        return figures.grade.has_value() == (figures.internet || figures.router);
    });
}

}  // namespace nerivane
