// One stored row of the aggregates table: one target's counts and figures
// for a minute or an hour. Read by the history queries on the history queue.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "NerivaneKit/probing/ProbeProtocol.h"
#include "NerivaneKit/probing/TargetRole.h"

namespace nerivane {

struct AggregateRow {
    // Unix seconds of the minute or hour start; 60 or 3600 seconds long.
    std::int64_t start = 0;
    std::int64_t seconds = 60;
    TargetRole role;
    std::string host;
    std::string address;
    ProbeProtocol probeProtocol = ProbeProtocol::icmp;
    std::int64_t sent = 0;
    std::int64_t lost = 0;
    std::int64_t late = 0;
    // Milliseconds; absent when there was no reply.
    std::optional<double> median;
    std::optional<double> p95;
    std::optional<double> jitter;
    // Replies while the link was busy sending (upload) or receiving
    // (download); a probe of a link busy both ways counts for each. Their
    // median in milliseconds and their number: a number of 0 when counters
    // were read and no reply was busy, both none without counters.
    std::optional<double> busyUploadMedian;
    std::optional<std::int64_t> busyUploadReplies;
    std::optional<double> busyDownloadMedian;
    std::optional<std::int64_t> busyDownloadReplies;

    bool operator==(const AggregateRow&) const = default;
};

}  // namespace nerivane
