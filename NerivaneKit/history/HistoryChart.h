// Turns stored period and aggregate rows into the equal time buckets of the
// history chart for one target. Pure: the history service reads the rows and
// calls it on its queue.
#pragma once

#include <vector>

#include "NerivaneKit/history/AggregateRow.h"
#include "NerivaneKit/history/ChartBucket.h"
#include "NerivaneKit/history/ChartRange.h"
#include "NerivaneKit/history/HistoryQueries.h"
#include "NerivaneKit/history/PeriodRow.h"
#include "NerivaneKit/probing/TargetRole.h"

namespace nerivane::HistoryChart {

// Exactly bucketCount(range) buckets, oldest first, aligned to UTC; the last
// one contains `now`. Time before the current minute that no
// period row covers counts as notRunning. Figures are medians of the stored
// medians and 95th percentiles of the stored 95th percentiles; throughput is
// the bytes over the seconds of the periods that read counters.
std::vector<ChartBucket> buckets(ChartRange range, const TargetRole& role, const std::vector<PeriodRow>& periods,
                                 const std::vector<AggregateRow>& aggregates, Date now);

// Buckets of any size: count of them from first (Unix seconds), each
// `seconds` long (at least a minute); the report's local days and hours.
struct Buckets {
    std::int64_t first = 0;
    std::int64_t seconds = 3600;
    std::int64_t count = 0;
};

// The window of row starts the chart needs: from now − span − one bucket to now.
// In Unix seconds.
double windowStart(ChartRange range, Date now);

// Reads the window's period rows and the role's aggregate rows from the queries
// and builds the buckets. Writes nothing. Throws Database::Error.
std::vector<ChartBucket> read(const HistoryQueries& queries, ChartRange range, const TargetRole& role, Date now);
// The same figures in the given buckets; rows count in the bucket of their
// start, none after now.
std::vector<ChartBucket> read(const HistoryQueries& queries, const Buckets& geometry, const TargetRole& role, Date now);

}  // namespace nerivane::HistoryChart
