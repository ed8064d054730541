// The traffic on the path's interface, from one byte-counter read per probing
// tick: the throughput of each interval between reads and its load class, the
// session's peak 10-second throughput (the capacity estimate of a fresh
// install) and the last busy period per direction. Owned by the monitor core,
// on the probe queue. Times are monitor time; throughput bits per second.
//
// Only traffic through the router is the internet path's: a copy to a host
// on the local link (a NAS, the router itself) runs at the local network's
// speed, so it is taken out before anything is classed, peaked or sampled.
// Busy and capacity count what is left; idle needs the whole interface quiet.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "NerivaneKit/load/LinkCapacity.h"
#include "NerivaneKit/load/LoadClass.h"
#include "NerivaneKit/load/RollingThroughput.h"
#include "NerivaneKit/load/TrafficSample.h"
#include "NerivaneKit/platform/Clocks.h"

namespace nerivane {

class TrafficMeter {
public:
    // Total bytes the interface has sent and received, as the kernel counts
    // them; and of those, what went to and came from hosts on the local link,
    // counted since the counters were opened (LinkCounters).
    struct Reading {
        std::uint64_t sentBytes = 0;
        std::uint64_t receivedBytes = 0;
        std::uint64_t localSentBytes = 0;
        std::uint64_t localReceivedBytes = 0;
        bool operator==(const Reading&) const = default;
    };

    // Upload and download through the router; local: to and from the local link.
    struct Interval {
        MonitorTime start;
        MonitorTime end;
        double uploadBitsPerSecond = 0;
        double downloadBitsPerSecond = 0;
        double localUploadBitsPerSecond = 0;
        double localDownloadBitsPerSecond = 0;
        LoadClass load = LoadClass::unknown;
        bool operator==(const Interval&) const = default;
    };

    // One direction's latest busy period: when its last busy interval ended
    // and the bits and seconds of its busy intervals.
    struct BusyPeriod {
        MonitorTime end;
        double bits = 0;
        Seconds seconds{0};
        bool operator==(const BusyPeriod&) const = default;
        double bitsPerSecond() const { return seconds > Seconds{0} ? bits / seconds.count() : 0; }
    };

    // Long enough to class every probe of the widest target window (20
    // probes at the slowest interval) and its late answers.
    static constexpr Seconds keepSeconds{660};
    // Busy intervals this close together belong to one busy period.
    static constexpr Seconds periodGapSeconds{10};

    bool operator==(const TrafficMeter&) const = default;

    // One counter read of the named interface at time now (none: it could not
    // be read). Classes the interval since the previous read against the
    // remembered capacity and this session's peak; returns its traffic through
    // the router, dated `date`. Counters that went backwards (a reset) start
    // over without one.
    std::optional<TrafficSample> read(MonitorTime now, Date date, const std::string& name,
                                      const std::optional<Reading>& reading, const LinkCapacity& remembered);

    // The capacity the intervals are classed against.
    LinkCapacity capacity(const LinkCapacity& remembered) const;
    // The class of a probe in flight from `from` to `to`: every interval it
    // overlaps merged; unknown when the counters do not cover it yet.
    LoadClass classify(MonitorTime from, MonitorTime to) const;
    // Where the counters have been read up to; spans ending later wait.
    std::optional<MonitorTime> coveredUntil() const;
    const Interval* latest() const { return intervals_.empty() ? nullptr : &intervals_.back(); }
    const std::string& interfaceName() const { return interfaceName_; }
    const LinkCapacity& sessionPeak() const { return sessionPeak_; }
    const std::optional<MonitorTime>& lastReadTime() const { return lastReadTime_; }
    const std::optional<Reading>& lastReading() const { return lastReading_; }
    const std::optional<BusyPeriod>& busy(LoadDirection direction) const {
        return busy_[static_cast<std::size_t>(direction)];
    }

    bool invariantsHold() const;

private:

    std::string interfaceName_;
    // Both present after a successful read, both absent after a failed one.
    std::optional<MonitorTime> lastReadTime_;
    std::optional<Reading> lastReading_;
    // Bytes by which the local link's estimate exceeded the interface's
    // count in the last interval (sent and received; the local fields unused).
    Reading localAhead_;
    // In time order, each of positive length, none overlapping the next (a
    // failed read or a new interface starts a new run after a gap), none
    // ending after the last read nor more than `keepSeconds` before the newest.
    std::deque<Interval> intervals_;
    // The newest 10 seconds of the current run of reads, and the highest
    // throughput they held this session, per direction; never negative.
    RollingThroughput recent_;
    LinkCapacity sessionPeak_;
    // Indexed by LoadDirection: positive seconds, ending at a busy interval's end.
    std::array<std::optional<BusyPeriod>, 2> busy_;
};

}  // namespace nerivane
