// Latency under load as the monitor publishes it: the traffic on the path now,
// the capacity it is measured against, and per direction the added latency of
// busy probes over idle ones, its grade and where the queue is. A plain value
// built on the probe queue; absent from a snapshot while there are no counters.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "NerivaneKit/load/LinkCapacity.h"
#include "NerivaneKit/load/LoadClass.h"
#include "NerivaneKit/load/LoadGrade.h"

namespace nerivane {

// Where a busy link's queue builds up: on this side of the router (the
// computer's own link, Wi-Fi) when the router's round trips rise with the
// internet's, beyond it (the router or modem on the way out) when only the
// internet's rise. Stored and in JSON as the texts below.
enum class QueuePlace { unknown, thisSide, beyondRouter };

constexpr std::string_view text(QueuePlace place) {
    switch (place) {
    case QueuePlace::unknown: return "unknown";
    case QueuePlace::thisSide: return "thisSide";
    case QueuePlace::beyondRouter: return "beyondRouter";
    }
    return "";
}

// One direction's latency under load for one target role.
struct RoleLoad {
    // Milliseconds: the median of idle replies (last 10 minutes) and of busy
    // replies (sliding window); added is their difference.
    double idleMedian = 0;
    double busyMedian = 0;
    double added = 0;
    // Busy probes in the window and how many of them were lost.
    int busyReplies = 0;
    int busyLost = 0;

    bool operator==(const RoleLoad&) const = default;
};

struct DirectionLoad {
    // From at least 10 busy replies of the internet hosts; none before.
    std::optional<RoleLoad> internet;
    std::optional<RoleLoad> router;
    std::optional<LoadGrade> grade;
    QueuePlace queue = QueuePlace::unknown;
    // Unix seconds of the last busy second in this direction, and the
    // throughput (bits per second) of that busy period.
    std::optional<double> lastBusy;
    double lastBusyBitsPerSecond = 0;

    bool operator==(const DirectionLoad&) const = default;
};

struct LoadSnapshot {
    // The interface whose counters are read (under a VPN, the physical one).
    std::string interfaceName;
    // The interface's byte counters at the last read, as the kernel keeps
    // them (they start over when the interface is made again).
    std::uint64_t sentBytes = 0;
    std::uint64_t receivedBytes = 0;
    // Throughput of the last counter interval, bits per second.
    double uploadBitsPerSecond = 0;
    double downloadBitsPerSecond = 0;
    LinkCapacity capacity;
    // History's share of it: zero per direction while history has no figure,
    // and capacity is only the highest rate seen this session.
    LinkCapacity remembered;
    // How busy the link is now.
    LoadClass now = LoadClass::unknown;
    DirectionLoad upload;
    DirectionLoad download;

    bool operator==(const LoadSnapshot&) const = default;

    const DirectionLoad& direction(LoadDirection which) const {
        return which == LoadDirection::upload ? upload : download;
    }
};

}  // namespace nerivane
