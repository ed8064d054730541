#include "NerivaneKit/history/HistoryChart.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>

#include "NerivaneKit/statistics/Statistics.h"

namespace nerivane::HistoryChart {

namespace {

constexpr std::size_t stateCount = static_cast<std::size_t>(MinuteState::notRunning) + 1;

struct Collected {
    // Seconds per state, indexed by the state, and which states have an entry.
    std::array<std::int64_t, stateCount> seconds{};
    std::array<bool, stateCount> present{};
    std::vector<double> readings;
    std::vector<double> medians, p95s;
    std::int64_t sent = 0, lost = 0;
    // Bytes of the periods that read counters, and those periods' seconds.
    double sentBytes = 0, receivedBytes = 0;
    std::int64_t countedSeconds = 0;
};

std::int64_t floorMod(std::int64_t a, std::int64_t b) {
    std::int64_t remainder = a % b;
    return remainder < 0 ? remainder + b : remainder;
}

// The buckets being filled: rows go in one at a time, wherever they come
// from, and only their figures are kept.
class Grid {
public:
    Grid(ChartRange range, Date now) : size_(bucketSeconds(range)), count_(bucketCount(range)) {
        // A date that has no integer second gives an empty grid at 0 rather
        // than undefined arithmetic.
        const std::int64_t t = secondOf(now);
        last_ = t - floorMod(t, size_);
        first_ = last_ - (count_ - 1) * size_;
        current_ = t - floorMod(t, 60);
        reserve();
    }
    Grid(const Buckets& geometry, Date now) : size_(std::max<std::int64_t>(geometry.seconds, 60)),
                                              count_(std::max<std::int64_t>(geometry.count, 0)) {
        const std::int64_t t = secondOf(now);
        first_ = geometry.first;
        last_ = first_ + std::max<std::int64_t>(count_ - 1, 0) * size_;
        current_ = t - floorMod(t, 60);
        reserve();
    }

private:
    static std::int64_t secondOf(Date now) {
        return HistoryQueries::minuteStart(now) ? static_cast<std::int64_t>(std::floor(unixSeconds(now))) : 0;
    }

    void reserve() {
        collected_.resize(static_cast<std::size_t>(count_));
        // A bucket holds a row per minute: room for that many figures up front.
        for (Collected& bucket : collected_) {
            const auto minutes = static_cast<std::size_t>(std::min<std::int64_t>(size_ / 60, 60));
            bucket.medians.reserve(minutes);
            bucket.p95s.reserve(minutes);
            bucket.readings.reserve(minutes);
        }
    }

public:
    void addPeriod(std::int64_t start, std::int64_t seconds, MinuteState state, const std::optional<std::int64_t>& rssi,
                   const std::optional<std::int64_t>& sentBytes, const std::optional<std::int64_t>& receivedBytes) {
        Collected* bucket = bucketOf(start);
        if (!bucket) return;
        bucket->seconds[static_cast<std::size_t>(state)] += seconds;
        bucket->present[static_cast<std::size_t>(state)] = true;
        if (rssi) bucket->readings.push_back(static_cast<double>(*rssi));
        if (sentBytes || receivedBytes) {
            bucket->sentBytes += static_cast<double>(sentBytes.value_or(0));
            bucket->receivedBytes += static_cast<double>(receivedBytes.value_or(0));
            bucket->countedSeconds += seconds;
        }
    }

    void addFigures(std::int64_t start, std::int64_t sent, std::int64_t lost, const std::optional<double>& median,
                    const std::optional<double>& p95) {
        Collected* bucket = bucketOf(start);
        if (!bucket) return;
        if (median) bucket->medians.push_back(*median);
        if (p95) bucket->p95s.push_back(*p95);
        bucket->sent += sent;
        bucket->lost += lost;
    }

    std::vector<ChartBucket> finish() {
        std::vector<ChartBucket> result;
        result.reserve(static_cast<std::size_t>(count_));
        for (std::int64_t i = 0; i < count_; ++i) {
            Collected& bucket = collected_[static_cast<std::size_t>(i)];
            const std::int64_t start = first_ + i * size_;
            ChartBucket out;
            out.start = static_cast<double>(start);

            // Only time before the current, unwritten minute can be "not running".
            const std::int64_t expected = std::max<std::int64_t>(std::min(start + size_, current_) - start, 0);
            std::map<MinuteState, std::int64_t> states;
            std::int64_t covered = 0;
            for (std::size_t state = 0; state < stateCount; ++state) {
                if (!bucket.present[state]) continue;
                states[static_cast<MinuteState>(state)] = bucket.seconds[state];
                covered += bucket.seconds[state];
            }
            if (covered < expected) states[MinuteState::notRunning] += expected - covered;
            out.state = dominantState(states);

            std::sort(bucket.medians.begin(), bucket.medians.end());
            std::sort(bucket.p95s.begin(), bucket.p95s.end());
            out.median = Statistics::percentile(bucket.medians, 0.5);
            out.p95 = Statistics::percentile(bucket.p95s, 0.95);
            if (bucket.sent >= 1) out.lossPercent = static_cast<double>(bucket.lost) * 100 / static_cast<double>(bucket.sent);
            out.rssi = HistoryQueries::signal(std::move(bucket.readings));
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

private:
    Collected* bucketOf(std::int64_t start) {
        if (count_ == 0 || start < first_ || start >= last_ + size_) return nullptr;
        return &collected_[static_cast<std::size_t>((start - first_) / size_)];
    }

    std::int64_t size_, count_, first_ = 0, last_ = 0, current_ = 0;
    std::vector<Collected> collected_;
};

}  // namespace

double windowStart(ChartRange range, Date now) {
    return unixSeconds(now) - duration(range) - static_cast<double>(bucketSeconds(range));
}

std::vector<ChartBucket> buckets(ChartRange range, const TargetRole& role, const std::vector<PeriodRow>& periods,
                                 const std::vector<AggregateRow>& aggregates, Date now) {
    Grid grid(range, now);
    for (const PeriodRow& row : periods)
        grid.addPeriod(row.start, row.seconds, row.state, row.rssi, row.sentBytes, row.receivedBytes);
    for (const AggregateRow& row : aggregates) {
        if (row.role == role) grid.addFigures(row.start, row.sent, row.lost, row.median, row.p95);
    }
    return grid.finish();
}

namespace {

std::vector<ChartBucket> readInto(const HistoryQueries& queries, Grid& grid, double from, double to, const TargetRole& role) {
    using Value = Database::Value;
    // A row counts in the bucket of its start, and the first bucket begins
    // after the window's start: bounding the start on both sides gives the
    // same buckets and lets the key skip the older rows. Rows go straight
    // into the grid as SQLite scans them in key order, and only the columns
    // it uses are read. Periods are skipped as HistoryQueries::periods skips
    // them, aggregate rows whose counts, start, length or protocol do not
    // convert as they always were.
    const std::vector<Value> window{Value::real(from), Value::real(to)};
    const std::string periodsSQL = std::string("SELECT ") + Database::rowsFunction +
                                   (queries.schema().hasLoadColumns() ? "(start, seconds, state, rssi, sent_bytes, received_bytes)"
                                                                      : "(start, seconds, state, rssi, NULL, NULL)") +
                                   " FROM periods WHERE start >= ? AND start < ?";
    queries.database().scan(periodsSQL, window, [&](const Database::Cursor& row) {
        auto start = row.integer(0);
        auto seconds = row.integer(1);
        auto stateText = row.text(2);
        auto state = stateText ? parseMinuteState(*stateText) : std::nullopt;
        if (!start || !seconds || !state) return;
        grid.addPeriod(*start, *seconds, *state, row.integer(3), row.integer(4), row.integer(5));
    });
    // One key range of the table (of the aggregates_figures index in older files).
    const std::string aggregatesSQL = std::string("SELECT ") + Database::rowsFunction +
                                      "(start, seconds, protocol, sent, lost, late, median, p95) FROM aggregates "
                                      "WHERE role = ? AND start >= ? AND start < ?";
    queries.database().scan(aggregatesSQL, {Value::text(role.text()), window[0], window[1]}, [&](const Database::Cursor& row) {
        auto start = row.integer(0);
        auto protocol = row.text(2);
        auto sent = row.integer(3);
        auto lost = row.integer(4);
        if (!start || !row.integer(1) || !protocol || !parseProbeProtocol(*protocol) || !sent || !lost || !row.integer(5))
            return;
        grid.addFigures(*start, *sent, *lost, row.real(6), row.real(7));
    });
    return grid.finish();
}

}  // namespace

std::vector<ChartBucket> read(const HistoryQueries& queries, ChartRange range, const TargetRole& role, Date now) {
    Grid grid(range, now);
    return readInto(queries, grid, windowStart(range, now), unixSeconds(now), role);
}

std::vector<ChartBucket> read(const HistoryQueries& queries, const Buckets& geometry, const TargetRole& role, Date now) {
    Grid grid(geometry, now);
    const double end = static_cast<double>(geometry.first) +
                       static_cast<double>(std::max<std::int64_t>(geometry.count, 0)) *
                           static_cast<double>(std::max<std::int64_t>(geometry.seconds, 60));
    return readInto(queries, grid, static_cast<double>(geometry.first), std::min(end, unixSeconds(now)), role);
}

}  // namespace nerivane::HistoryChart
