#include "NerivaneKit/load/TrafficMeter.h"

#include <algorithm>

#include "NerivaneKit/load/LoadRules.h"
#include "NerivaneKit/platform/Invariants.h"

namespace nerivane {

std::optional<TrafficSample> TrafficMeter::read(MonitorTime now, Date date, const std::string& name,
                                                const std::optional<Reading>& reading,
                                                const LinkCapacity& remembered) {
    while (!intervals_.empty() && intervals_.front().end < now - keepSeconds) intervals_.pop_front();
    const bool sameRun = reading && lastReading_ && lastReadTime_ && name == interfaceName_ && now > *lastReadTime_ &&
                         reading->sentBytes >= lastReading_->sentBytes &&
                         reading->receivedBytes >= lastReading_->receivedBytes;
    const std::optional<Reading> previous = lastReading_;
    const std::optional<MonitorTime> previousTime = lastReadTime_;
    interfaceName_ = name;
    lastReading_ = reading;
    lastReadTime_ = reading ? std::optional<MonitorTime>(now) : std::nullopt;
    if (!sameRun) {
        localAhead_ = {};
        recent_.clear();
        NERIVANE_CHECK_INVARIANTS();
        return std::nullopt;
    }

    const Seconds seconds = now - *previousTime;
    // The local link's share of each direction, at most all of it: the
    // estimate of its packets' headers may be larger than what this
    // interface counts for them, and the connections are counted a moment
    // after the interface, so the estimate runs a little ahead. What it ran
    // ahead by is taken off the next interval too (once), or the next
    // interval of a copy would pass for the internet's.
    const auto local = [](std::uint64_t all, std::uint64_t localNow, std::uint64_t localBefore, std::uint64_t& ahead) {
        const std::uint64_t counted = localNow >= localBefore ? localNow - localBefore : 0;
        const std::uint64_t share = std::min(all, counted + ahead);
        ahead = counted > all ? counted - all : 0;
        return share;
    };
    const std::uint64_t sent = reading->sentBytes - previous->sentBytes;
    const std::uint64_t received = reading->receivedBytes - previous->receivedBytes;
    const std::uint64_t localSent =
        local(sent, reading->localSentBytes, previous->localSentBytes, localAhead_.sentBytes);
    const std::uint64_t localReceived =
        local(received, reading->localReceivedBytes, previous->localReceivedBytes, localAhead_.receivedBytes);
    TrafficSample sample{unixSeconds(date), seconds.count(), sent - localSent, received - localReceived};
    const auto bitsPerSecond = [seconds](std::uint64_t bytes) {
        return static_cast<double>(bytes) * 8 / seconds.count();
    };
    intervals_.push_back(Interval{*previousTime, now, bitsPerSecond(sample.sentBytes),
                                  bitsPerSecond(sample.receivedBytes), bitsPerSecond(localSent),
                                  bitsPerSecond(localReceived), LoadClass::unknown});
    // The peak takes this interval in first, so the first upload of a fresh
    // install is measured against itself and counts as busy. Shorter runs
    // count as ten seconds, so one burst does not pass for capacity.
    recent_.add(sample, true);
    const RollingThroughput::Rate peak = recent_.rate();
    sessionPeak_.uploadBitsPerSecond = std::max(sessionPeak_.uploadBitsPerSecond, peak.uploadBitsPerSecond);
    sessionPeak_.downloadBitsPerSecond = std::max(sessionPeak_.downloadBitsPerSecond, peak.downloadBitsPerSecond);
    Interval& added = intervals_.back();
    added.load = LoadRules::classify(added.uploadBitsPerSecond, added.downloadBitsPerSecond, capacity(remembered),
                                     added.localUploadBitsPerSecond, added.localDownloadBitsPerSecond);

    for (const LoadDirection direction : {LoadDirection::upload, LoadDirection::download}) {
        if (!isBusy(added.load, direction)) continue;
        auto& period = busy_[static_cast<std::size_t>(direction)];
        if (!period || added.start - period->end > periodGapSeconds) period = BusyPeriod{};
        period->end = now;
        period->seconds += seconds;
        period->bits += (direction == LoadDirection::upload ? added.uploadBitsPerSecond
                                                            : added.downloadBitsPerSecond) * seconds.count();
    }
    NERIVANE_CHECK_INVARIANTS();
    return sample;
}

LinkCapacity TrafficMeter::capacity(const LinkCapacity& remembered) const {
    return LoadRules::capacity(remembered, sessionPeak_);
}

std::optional<MonitorTime> TrafficMeter::coveredUntil() const {
    if (intervals_.empty()) return std::nullopt;
    return intervals_.back().end;
}

LoadClass TrafficMeter::classify(MonitorTime from, MonitorTime to) const {
    if (intervals_.empty() || to > intervals_.back().end || from < intervals_.front().start)
        return LoadClass::unknown;
    // The first interval that ends after `from`; a flight that only touches
    // an interval's edge did not spend time in it.
    auto it = std::lower_bound(intervals_.begin(), intervals_.end(), from,
                               [](const Interval& interval, MonitorTime time) { return interval.end <= time; });
    std::optional<LoadClass> merged;
    MonitorTime reached = from;
    for (; it != intervals_.end() && (it->start < to || !merged); ++it) {
        // A gap between runs: the counters say nothing about that time.
        if (it->start > reached) return LoadClass::unknown;
        merged = merged ? LoadRules::merge(*merged, it->load) : it->load;
        reached = it->end;
    }
    return merged.value_or(LoadClass::unknown);
}

bool TrafficMeter::invariantsHold() const {
    if (lastReadTime_.has_value() != lastReading_.has_value()) return false;
    for (std::size_t i = 0; i < intervals_.size(); ++i) {
        if (!(intervals_[i].start < intervals_[i].end)) return false;
        if (i > 0 && intervals_[i].start < intervals_[i - 1].end) return false;
    }
    if (!intervals_.empty()) {
        if (lastReadTime_ && intervals_.back().end > *lastReadTime_) return false;
        if (intervals_.front().end < intervals_.back().end - keepSeconds) return false;
    }
    if (!recent_.invariantsHold()) return false;
    if (sessionPeak_.uploadBitsPerSecond < 0 || sessionPeak_.downloadBitsPerSecond < 0) return false;
    return std::all_of(busy_.begin(), busy_.end(), [](const std::optional<BusyPeriod>& period) {
        return !period || (period->seconds > Seconds{0} && period->bits >= 0);
    });
}

}  // namespace nerivane
