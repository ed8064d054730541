#include "NerivaneKit/analysis/OutageDetector.h"

#include <algorithm>

namespace nerivane {

void OutageDetector::lost(MonitorTime time) {
    if (lastReply && time < *lastReply) return;
    if (!firstLost) firstLost = time;
    ++lostInRow;
}

void OutageDetector::tick(MonitorTime now, TargetStatus status) {
    if (status == TargetStatus::warmingUp || since || !firstLost) return;
    if (lostInRow >= minimumLost && now - *firstLost >= minimumSeconds) since = firstLost;
}

std::optional<OutageDetector::Outage> OutageDetector::reply(MonitorTime time) {
    std::optional<Outage> outage;
    if (since) outage = Outage{*since, time};
    const MonitorTime newest = lastReply ? std::max(*lastReply, time) : time;
    *this = OutageDetector{};
    lastReply = newest;
    return outage;
}

std::optional<OutageDetector::Outage> OutageDetector::close(MonitorTime now) {
    if (!since) return std::nullopt;
    const Outage outage{*since, now};
    firstLost.reset();
    lostInRow = 0;
    since.reset();
    return outage;
}

}  // namespace nerivane
