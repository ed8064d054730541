// Every read of the history: the period, aggregate and event rows, the
// link's capacity from the stored minute peaks, the oldest stored period,
// and the pure helpers that place a date in its minute or hour and order
// and sum what the rows hold. The chart, the CSV export, the report, the
// grades, nerivane-history and the diagnostics read through this alone.
//
// A value sharing its Database with its copies, holding the file's schema
// answers and the time zone its readers write dates in. Neither locks nor
// writes: the history service's instance lives in its writer and is used on
// the history queue only; tools and the diagnostics open one of their own on
// a file opened for reading. All times are Unix seconds (dates as Date, row
// starts as integers); minutes and hours are aligned to UTC, not to the local
// zone.
//
// Invariant: none of its own beyond its schema's: it keeps no rows.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "NerivaneKit/analysis/NetworkEvent.h"
#include "NerivaneKit/probing/TargetRole.h"
#include "NerivaneKit/history/AggregateRow.h"
#include "NerivaneKit/history/Database.h"
#include "NerivaneKit/history/HistorySchema.h"
#include "NerivaneKit/history/PeriodRow.h"
#include "NerivaneKit/history/TimeZone.h"
#include "NerivaneKit/load/LinkCapacity.h"
#include "NerivaneKit/platform/Clocks.h"

namespace nerivane {

class HistoryQueries {
public:
    // Seconds before the roll-up boundary: older minute rows become hour rows.
    static constexpr std::int64_t rollupAge = 604800;
    // Put before a read of the aggregates: names `roles`, each role stored.
    static const std::string rolesCTE;
    // The days the capacity looks back.
    static constexpr double capacityDays = 7;
    // Minutes whose peak in a direction stays under this (bits per second)
    // carry only background chatter and are not part of its capacity.
    static constexpr double activeBitsPerSecond = 200'000;

    explicit HistoryQueries(std::shared_ptr<Database> db, TimeZone timeZone = TimeZone::current());

    const HistorySchema& schema() const { return schema_; }
    // For reads of their own (the chart's and the report's scans).
    Database& database() const { return schema_.database(); }
    const TimeZone& timeZone() const { return timeZone_; }

    // Reads; `condition` follows "WHERE ". Rows that cannot be converted are
    // skipped. Room for expectedRows is made up front: growing a vector of
    // thousands of rows step by step costs more than reading them.
    std::vector<PeriodRow> periods(const std::string& condition, const std::vector<Database::Value>& values,
                                   std::size_t expectedRows = 0) const;
    // Sorted by start, role order, address text.
    std::vector<AggregateRow> aggregates(const std::string& condition, const std::vector<Database::Value>& values) const;
    std::vector<NetworkEvent> events(const std::string& condition, const std::vector<Database::Value>& values) const;
    // The capacity per direction from the minute rows of the capacityDays
    // before now (see capacityOf); zero without such rows.
    LinkCapacity linkCapacity(Date now) const;
    // The start of the oldest stored period; none in an empty file.
    std::optional<std::int64_t> oldestStart() const;

    // The capacity of one direction from its per-minute peaks (bits per
    // second, any order); 0 when no minute was active.
    static double capacityOf(std::vector<double> peaks);
    // The lower weighted median of (value, weight) pairs: the smallest value
    // at which the weights so far reach half of all; pairs of weight 0 or
    // less do not count. None without weight.
    static std::optional<double> weightedMedian(std::vector<std::pair<double, double>> pairs);
    // The fields every aggregates read needs whole, from columns 0-8 of
    // "SELECT start, seconds, role, host, address, protocol, sent, lost,
    // late, ..."; none for a damaged row, which reads skip. The texts point
    // into the row and live as long as it does.
    struct AggregateKey {
        std::int64_t start, seconds;
        std::string_view host, address;
        ProbeProtocol protocol;
        std::int64_t sent, lost, late;
    };
    static std::optional<AggregateKey> aggregateKey(const Database::Cursor& row);

    // ⌊t / 60⌋ × 60; none when t is not finite or out of the 64-bit range.
    static std::optional<std::int64_t> minuteStart(Date t);
    // s − (s mod 3600) with a non-negative remainder.
    static std::int64_t hourStart(std::int64_t s);
    // The roll-up boundary for `now`: the hour start seven days before now's minute.
    static std::optional<std::int64_t> rollupBoundary(Date now);
    // The median (nearest rank) of the readings, rounded half away from zero.
    static std::optional<std::int64_t> signal(std::vector<double> readings);
    // Role order of sorted aggregate rows: router 0, internet(n) n + 1,
    // internetIPv6 3, custom(n) n + 4.
    static std::int64_t roleOrder(const TargetRole& role);

private:
    HistorySchema schema_;
    TimeZone timeZone_;
};

}  // namespace nerivane
