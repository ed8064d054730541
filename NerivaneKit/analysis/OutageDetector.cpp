#include "NerivaneKit/analysis/OutageDetector.h"

namespace nerivane {

void OutageDetector::lost(double time) {
    if (!firstLost) firstLost = time;
    ++lostInRow;
}

void OutageDetector::tick(double now, TargetStatus status) {
    if (status == TargetStatus::warmingUp || since || !firstLost) return;
    if (lostInRow >= minimumLost && now - *firstLost >= minimumSeconds) since = firstLost;
}

std::optional<OutageDetector::Outage> OutageDetector::reply(double time) {
    std::optional<Outage> outage;
    if (since) outage = Outage{*since, time};
    *this = OutageDetector{};
    return outage;
}

std::optional<OutageDetector::Outage> OutageDetector::close(double now) {
    if (!since) return std::nullopt;
    return reply(now);
}

}  // namespace nerivane
