#include "NerivaneKit/history/HistoryChart.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "NerivaneKit/statistics/Statistics.h"

namespace nerivane::HistoryChart {

namespace {

struct Collected {
    std::map<MinuteState, std::int64_t> seconds;
    std::vector<double> readings;
    std::vector<const AggregateRow*> rows;
    // Bytes of the periods that read counters, and those periods' seconds.
    double sentBytes = 0, receivedBytes = 0;
    std::int64_t countedSeconds = 0;
};

std::int64_t floorMod(std::int64_t a, std::int64_t b) {
    std::int64_t remainder = a % b;
    return remainder < 0 ? remainder + b : remainder;
}

}  // namespace

double windowStart(ChartRange range, double now) {
    return now - duration(range) - static_cast<double>(bucketSeconds(range));
}

std::vector<ChartBucket> buckets(ChartRange range, const TargetRole& role, const std::vector<PeriodRow>& periods,
                                 const std::vector<AggregateRow>& aggregates, double now) {
    const std::int64_t size = bucketSeconds(range);
    const std::int64_t count = bucketCount(range);
    // A date that has no integer second gives an empty grid at 0 rather than
    // undefined arithmetic.
    const std::int64_t t = HistoryStore::minuteStart(now) ? static_cast<std::int64_t>(std::floor(now)) : 0;
    const std::int64_t last = t - floorMod(t, size);
    const std::int64_t first = last - (count - 1) * size;
    const std::int64_t current = t - floorMod(t, 60);

    std::vector<Collected> collected(static_cast<std::size_t>(count));
    auto bucketOf = [&](std::int64_t start) -> Collected* {
        if (start < first || start >= last + size) return nullptr;
        return &collected[static_cast<std::size_t>((start - first) / size)];
    };
    for (const PeriodRow& row : periods) {
        if (Collected* bucket = bucketOf(row.start)) {
            bucket->seconds[row.state] += row.seconds;
            if (row.rssi) bucket->readings.push_back(static_cast<double>(*row.rssi));
            if (row.sentBytes || row.receivedBytes) {
                bucket->sentBytes += static_cast<double>(row.sentBytes.value_or(0));
                bucket->receivedBytes += static_cast<double>(row.receivedBytes.value_or(0));
                bucket->countedSeconds += row.seconds;
            }
        }
    }
    for (const AggregateRow& row : aggregates) {
        if (!(row.role == role)) continue;
        if (Collected* bucket = bucketOf(row.start)) bucket->rows.push_back(&row);
    }

    std::vector<ChartBucket> result;
    result.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        Collected& bucket = collected[static_cast<std::size_t>(i)];
        const std::int64_t start = first + i * size;
        ChartBucket out;
        out.start = static_cast<double>(start);

        // Only time before the current, unwritten minute can be "not running".
        const std::int64_t expected = std::max<std::int64_t>(std::min(start + size, current) - start, 0);
        std::int64_t covered = 0;
        for (const auto& [state, seconds] : bucket.seconds) covered += seconds;
        if (covered < expected) bucket.seconds[MinuteState::notRunning] += expected - covered;
        out.state = dominantState(bucket.seconds);

        std::vector<double> medians, p95s;
        std::int64_t sent = 0, lost = 0;
        for (const AggregateRow* row : bucket.rows) {
            if (row->median) medians.push_back(*row->median);
            if (row->p95) p95s.push_back(*row->p95);
            sent += row->sent;
            lost += row->lost;
        }
        std::sort(medians.begin(), medians.end());
        std::sort(p95s.begin(), p95s.end());
        out.median = Statistics::percentile(medians, 0.5);
        out.p95 = Statistics::percentile(p95s, 0.95);
        if (sent >= 1) out.lossPercent = static_cast<double>(lost) * 100 / static_cast<double>(sent);
        out.rssi = HistoryStore::signal(std::move(bucket.readings));
        // The mean over the time counters were read: minutes without them
        // (not running, no interface) are unknown, not idle.
        if (bucket.countedSeconds > 0) {
            const auto seconds = static_cast<double>(bucket.countedSeconds);
            out.sentBitsPerSecond = bucket.sentBytes * 8 / seconds;
            out.receivedBitsPerSecond = bucket.receivedBytes * 8 / seconds;
        }
        result.push_back(out);
    }
    return result;
}

std::vector<ChartBucket> read(const HistoryStore& store, ChartRange range, const TargetRole& role, double now) {
    using Value = Database::Value;
    // A row counts in the bucket of its start, and the first bucket begins
    // after the window's start: bounding the start on both sides gives the
    // same buckets and lets the primary key's index skip the older rows.
    const double from = windowStart(range, now);
    auto periods = store.periods("start >= ? AND start < ?", {Value::real(from), Value::real(now)},
                                 HistoryStore::minutesBetween(from, now));
    return buckets(range, role, periods, store.roleFigures(role, from, now), now);
}

}  // namespace nerivane::HistoryChart
