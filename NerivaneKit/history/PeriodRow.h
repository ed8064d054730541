// One stored row of the periods table: a minute (60 s) or an hour (3600 s)
// and the machine's state in it. Read by the history queries on the history
// queue for the chart and the CSV export.
#pragma once

#include <cstdint>
#include <optional>

#include "NerivaneKit/history/MinuteState.h"

namespace nerivane {

struct PeriodRow {
    // Unix seconds of the minute or hour start.
    std::int64_t start = 0;
    std::int64_t seconds = 60;
    MinuteState state = MinuteState::measured;
    // Wi-Fi signal in dBm.
    std::optional<std::int64_t> rssi;
    // Name lookups: the median answer time in milliseconds over all servers'
    // answers, and the lookups that failed; both none when none ran.
    std::optional<double> dnsMedian;
    std::optional<std::int64_t> dnsFailures;
    // The path interface's bytes sent and received, and the highest 10-second
    // throughput of each direction in bits per second (for an hour, the
    // highest of its minutes); none where no counters were read.
    std::optional<std::int64_t> sentBytes;
    std::optional<std::int64_t> receivedBytes;
    std::optional<double> peakSentBitsPerSecond;
    std::optional<double> peakReceivedBitsPerSecond;

    bool operator==(const PeriodRow&) const = default;
};

}  // namespace nerivane
