// The throughput of the newest 10 seconds of one run of back-to-back counter
// reads: the shortest run of newest reads that spans LinkCapacity::sampleSeconds
// (all of them while the run is shorter). The traffic meter keeps one for the
// session's peak and history one for each minute's peak, so that both peaks
// mean the same and the capacity learnt from history matches the session's.
//
// Invariants: `reads` are the newest reads of one run, oldest first; dropping
// the oldest would leave less than 10 seconds; `seconds` is their length.
#pragma once

#include <deque>

#include "NerivaneKit/load/TrafficSample.h"

namespace nerivane {

class RollingThroughput {
public:
    struct Rate {
        double uploadBitsPerSecond = 0;
        double downloadBitsPerSecond = 0;
        bool operator==(const Rate&) const = default;
    };

    // Takes in one read; a read that does not follow the previous one (a gap,
    // a failed read, another interface) starts a new run first. Reads whose
    // length is not above zero are ignored.
    void add(const TrafficSample& read, bool continuesRun);
    void clear();

    // The kept reads, oldest first.
    const std::deque<TrafficSample>& reads() const { return reads_; }
    // The kept reads span the full 10 seconds.
    bool full() const;
    // Bits per second over the kept reads, their span counted as at least 10
    // seconds, so a short burst does not pass for a rate it never held.
    Rate rate() const;

    bool operator==(const RollingThroughput&) const = default;
    bool invariantsHold() const;

private:
    std::deque<TrafficSample> reads_;
    double seconds_ = 0;
};

}  // namespace nerivane
