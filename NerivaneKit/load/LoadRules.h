// The rules that turn throughput into load classes, pick the capacity to
// measure against and tell where a busy link's queue is. Pure functions,
// called on the probe queue. Throughput and capacity in bits per second,
// latency in milliseconds.
#pragma once

#include <optional>

#include "NerivaneKit/load/LinkCapacity.h"
#include "NerivaneKit/load/LoadClass.h"
#include "NerivaneKit/load/LoadSnapshot.h"

namespace nerivane {

struct LoadRules {
    // A direction is busy from half its capacity, and never under 1 Mbit/s:
    // a slow trickle that happens to fill a tiny estimate is no load.
    static constexpr double busyShare = 0.5;
    static constexpr double busyFloor = 1e6;
    // The link is idle while both directions stay under a tenth of their
    // capacity. Probes, keep-alives and chat run at a few kbit/s, so under
    // 100 kbit/s counts as idle whatever the capacity (also while none is known).
    static constexpr double idleShare = 0.1;
    static constexpr double idleFloor = 1e5;
    // Queue place: the router's round trips "rise" once they add this much
    // and at least this share of what the internet's add.
    static constexpr double queueRiseMilliseconds = 5;
    static constexpr double queueRiseShare = 0.5;
    // Losses: a busy loss rate this high counts as a rise, and the router's
    // counts when it is at least queueRiseShare of the internet's.
    static constexpr double queueLossRate = 0.02;

    // The class of one counter interval from its throughput through the
    // router in each direction, and what went to the local link beside it:
    // only the first can make the link busy (a local copy is no load on the
    // internet path, however fast), but the interval is idle only when both
    // together are (a copy may crowd the Wi-Fi all the same).
    static LoadClass classify(double uploadBitsPerSecond, double downloadBitsPerSecond, const LinkCapacity& capacity,
                              double localUploadBitsPerSecond = 0, double localDownloadBitsPerSecond = 0);
    // The class of a probe in flight across two intervals: busy in every
    // direction either was busy in (the probe met that queue), idle only
    // when both were idle, otherwise in between.
    static LoadClass merge(LoadClass first, LoadClass second);
    // The capacity to measure against: per direction the larger of what
    // history remembers and the peak 10-second throughput of this session.
    static LinkCapacity capacity(const LinkCapacity& remembered, const LinkCapacity& sessionPeak);
    // Where the queue builds up, from the router's and the internet's load
    // in the same busy direction. Unknown while nothing rose.
    static QueuePlace queuePlace(const std::optional<RoleLoad>& router, const std::optional<RoleLoad>& internet);
};

}  // namespace nerivane
