#include "NerivaneKit/load/TrafficMeter.h"

#include <algorithm>

#include "NerivaneKit/load/LoadRules.h"

namespace nerivane {

std::optional<TrafficSample> TrafficMeter::read(double now, double date, const std::string& name,
                                                const std::optional<Reading>& reading,
                                                const LinkCapacity& remembered) {
    while (!intervals.empty() && intervals.front().end < now - keepSeconds) intervals.pop_front();
    const bool sameRun = reading && lastReading && lastReadTime && name == interfaceName && now > *lastReadTime &&
                         reading->sentBytes >= lastReading->sentBytes &&
                         reading->receivedBytes >= lastReading->receivedBytes;
    const std::optional<Reading> previous = lastReading;
    const std::optional<double> previousTime = lastReadTime;
    interfaceName = name;
    lastReading = reading;
    lastReadTime = reading ? std::optional<double>(now) : std::nullopt;
    if (!sameRun) {
        localAhead = {};
        return std::nullopt;
    }

    const double seconds = now - *previousTime;
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
    const std::uint64_t localSent = local(sent, reading->localSentBytes, previous->localSentBytes, localAhead.sentBytes);
    const std::uint64_t localReceived =
        local(received, reading->localReceivedBytes, previous->localReceivedBytes, localAhead.receivedBytes);
    TrafficSample sample{date, seconds, sent - localSent, received - localReceived};
    const auto bitsPerSecond = [seconds](std::uint64_t bytes) { return static_cast<double>(bytes) * 8 / seconds; };
    intervals.push_back(Interval{*previousTime, now, bitsPerSecond(sample.sentBytes), bitsPerSecond(sample.receivedBytes),
                                 bitsPerSecond(localSent), bitsPerSecond(localReceived), LoadClass::unknown});
    // The peak takes this interval in first, so the first upload of a fresh
    // install is measured against itself and counts as busy.
    updatePeak(now);
    Interval& added = intervals.back();
    added.load = LoadRules::classify(added.uploadBitsPerSecond, added.downloadBitsPerSecond, capacity(remembered),
                                     added.localUploadBitsPerSecond, added.localDownloadBitsPerSecond);

    for (const LoadDirection direction : {LoadDirection::upload, LoadDirection::download}) {
        if (!isBusy(added.load, direction)) continue;
        auto& period = busy[static_cast<std::size_t>(direction)];
        if (!period || added.start - period->end > periodGapSeconds) period = BusyPeriod{};
        period->end = now;
        period->seconds += seconds;
        period->bits += (direction == LoadDirection::upload ? added.uploadBitsPerSecond
                                                            : added.downloadBitsPerSecond) * seconds;
    }
    return sample;
}

void TrafficMeter::updatePeak(double now) {
    double up = 0;
    double down = 0;
    double seconds = 0;
    for (auto it = intervals.rbegin(); it != intervals.rend() && it->end > now - LinkCapacity::sampleSeconds; ++it) {
        const double length = it->end - it->start;
        up += it->uploadBitsPerSecond * length;
        down += it->downloadBitsPerSecond * length;
        seconds += length;
    }
    // Shorter spans count as ten seconds, so one burst does not pass for capacity.
    seconds = std::max(seconds, LinkCapacity::sampleSeconds);
    sessionPeak.uploadBitsPerSecond = std::max(sessionPeak.uploadBitsPerSecond, up / seconds);
    sessionPeak.downloadBitsPerSecond = std::max(sessionPeak.downloadBitsPerSecond, down / seconds);
}

LinkCapacity TrafficMeter::capacity(const LinkCapacity& remembered) const {
    return LoadRules::capacity(remembered, sessionPeak);
}

std::optional<double> TrafficMeter::coveredUntil() const {
    if (intervals.empty()) return std::nullopt;
    return intervals.back().end;
}

LoadClass TrafficMeter::classify(double from, double to) const {
    if (intervals.empty() || to > intervals.back().end || from < intervals.front().start) return LoadClass::unknown;
    // The first interval that ends after `from`; a flight that only touches
    // an interval's edge did not spend time in it.
    auto it = std::lower_bound(intervals.begin(), intervals.end(), from,
                               [](const Interval& interval, double time) { return interval.end <= time; });
    std::optional<LoadClass> merged;
    double reached = from;
    for (; it != intervals.end() && (it->start < to || !merged); ++it) {
        // A gap between runs: the counters say nothing about that time.
        if (it->start > reached) return LoadClass::unknown;
        merged = merged ? LoadRules::merge(*merged, it->load) : it->load;
        reached = it->end;
    }
    return merged.value_or(LoadClass::unknown);
}

}  // namespace nerivane
