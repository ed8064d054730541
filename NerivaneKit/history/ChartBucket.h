// One bucket of the history chart: its start, the machine's state in it, the
// median and 95th percentile round-trip time, the loss, the Wi-Fi signal and
// the throughput.
// A plain value made by HistoryChart on the history queue.
#pragma once

#include <cstdint>
#include <optional>

#include "NerivaneKit/history/MinuteState.h"

namespace nerivane {

struct ChartBucket {
    // Unix seconds, a multiple of the bucket size.
    double start = 0;
    // Absent when nothing is known about the bucket (the current minute, the future).
    std::optional<MinuteState> state;
    std::optional<double> median;
    std::optional<double> p95;
    // 0 to 100.
    std::optional<double> lossPercent;
    // dBm.
    std::optional<std::int64_t> rssi;
    // Mean throughput on the path's interface over the bucket, bits per second;
    // absent where no counters were read.
    std::optional<double> sentBitsPerSecond;
    std::optional<double> receivedBitsPerSecond;

    bool operator==(const ChartBucket&) const = default;
};

}  // namespace nerivane
