// The durable history: open minutes kept in memory (per target the raw samples
// of the minute), written once they are safely past as one period row per
// minute and one aggregate row per target and minute; outage and spike events;
// the hourly roll-up after seven days and the retention limit; and the reads
// behind the chart, the CSV export and the latest events.
//
// A value that shares its Database with its copies. It schedules and locks
// nothing: the history service owns the only instance and uses it on the
// history queue only. All times are Unix seconds (dates as doubles, row starts
// as integers); minutes and hours are aligned to UTC, not to the local zone.
//
// Traffic: a counter read (TrafficSample) counts wholly in the minute of its
// date, the later read: at the probing interval at most one interval's bytes
// land a minute late, and no minute is opened again once it was written. The
// 10-second throughput is taken at every read over the shortest run of
// consecutive reads that spans 10 seconds; a gap between reads starts a new
// run, so nothing is averaged across a pause or a sleep.
//
// Invariants: every key of `open` is a minute start; an open minute stays in
// memory until a flush has committed it, so a failed write loses nothing.
// `recentTraffic` holds consecutive reads, oldest first, spanning no more
// than one read beyond 10 seconds.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "NerivaneKit/analysis/NetworkEvent.h"
#include "NerivaneKit/analysis/ProbeRecord.h"
#include "NerivaneKit/analysis/TargetStats.h"
#include "NerivaneKit/history/AggregateRow.h"
#include "NerivaneKit/history/Database.h"
#include "NerivaneKit/history/MinuteState.h"
#include "NerivaneKit/history/PeriodRow.h"
#include "NerivaneKit/history/TimeZone.h"
#include "NerivaneKit/load/LinkCapacity.h"
#include "NerivaneKit/load/TrafficSample.h"
#include "NerivaneKit/lookup/LookupOutcome.h"

namespace nerivane {

struct HistoryStore {
    // One target within one minute.
    struct Key {
        TargetRole role;
        std::string host;
        std::string address;
        ProbeProtocol probeProtocol = ProbeProtocol::icmp;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const noexcept;
    };

    // What a minute collected for one key. Sample times are Unix seconds.
    struct Accumulator {
        std::vector<TargetStats::Sample> samples;
        std::int64_t late = 0;
        // Round trips (ms) of replies while the link was busy each way, and
        // whether any probe of the minute was classed at all.
        std::vector<double> busyUpload;
        std::vector<double> busyDownload;
        bool classed = false;
        bool operator==(const Accumulator&) const = default;
    };

    struct OpenMinute {
        MinuteState state = MinuteState::measured;
        // Wi-Fi signal readings in dBm.
        std::vector<std::int64_t> rssi;
        std::unordered_map<Key, Accumulator, KeyHash> targets;
        // Name lookups: answer times in milliseconds, outcomes and failures.
        std::vector<double> lookupMilliseconds;
        std::int64_t lookups = 0;
        std::int64_t lookupFailures = 0;
        // Interface traffic; none while no counters were read in the minute.
        struct Traffic {
            std::uint64_t sentBytes = 0;
            std::uint64_t receivedBytes = 0;
            std::optional<double> peakSentBitsPerSecond;
            std::optional<double> peakReceivedBitsPerSecond;
            bool operator==(const Traffic&) const = default;
        };
        std::optional<Traffic> traffic;
        bool operator==(const OpenMinute&) const = default;
    };

    // A stored period: its start and length. Groups aggregate rows by the
    // period row they belong to.
    struct Key2 {
        std::int64_t start = 0;
        std::int64_t seconds = 0;
        bool operator==(const Key2&) const = default;
        auto operator<=>(const Key2&) const = default;
    };

    // Seconds before the roll-up boundary: older minute rows become hour rows.
    static constexpr std::int64_t rollupAge = 604800;
    // A minute is written once the cut-off is a whole minute past its start;
    // regular flushes write at most once per this many seconds.
    static constexpr double writeInterval = 60;
    static constexpr double maintenanceInterval = 3600;

    // The schema of version 1, run as one text on a database below version 1.
    static const std::string schemaScript;
    // Part of the schema; added to files of version 1 that lack it.
    static const std::string figuresIndexSQL;
    // Version 2: the name lookup columns of the periods table.
    static const std::string lookupColumnsSQL;
    // Version 3: interface traffic in periods, busy round trips in aggregates.
    static const std::string loadColumnsSQL;
    // Version 4: periods and aggregates rebuilt as tables keyed by their
    // primary keys alone, every row and value copied as it is.
    static const std::string keyedTablesSQL;
    static constexpr std::int64_t keyedTablesVersion = 4;
    // Put before a read of the aggregates: names `roles`, each role stored.
    static const std::string rolesCTE;
    // The days the capacity looks back.
    static constexpr double capacityDays = 7;
    // Minutes whose peak in a direction stays under this (bits per second)
    // carry only background chatter and are not part of its capacity.
    static constexpr double activeBitsPerSecond = 200'000;
    static const std::string insertPeriodSQL;
    static const std::string insertAggregateSQL;
    static const std::string insertEventSQL;

    std::shared_ptr<Database> db;
    int retentionDays = 30;
    TimeZone timeZone = TimeZone::current();
    // The state newly opened minutes get.
    MinuteState state = MinuteState::measured;
    std::map<std::int64_t, OpenMinute> open;
    std::vector<NetworkEvent> pendingEvents;
    std::deque<TrafficSample> recentTraffic;
    std::optional<double> lastWrite;
    std::optional<double> lastMaintenance;
    // Asked when maintenance is due, with the date; false puts it off. None
    // lets it run (the history service checks the clocks here).
    std::function<bool(double now)> mayMaintain;

    explicit HistoryStore(std::shared_ptr<Database> db, TimeZone timeZone = TimeZone::current());

    // Applies the schema if the user version is below 1, adds what later
    // versions added, sets the current version and marks the file with
    // nerivane's application id. Throws.
    void prepareSchema();

    void record(const ProbeRecord& probe);
    // A round of DNS probes that ended at `date`, into that minute.
    void recordLookups(double date, const std::vector<LookupOutcome>& outcomes);
    // Opens the minute of `at` (so minutes without probes exist) and adds the reading.
    void recordRSSI(double at, std::optional<std::int64_t> rssi);
    // Every minute from the one containing `from` up to, not including, the
    // one containing `to` becomes asleep.
    void markAsleep(double from, double to);
    void apply(MinuteState newState, double at);
    void addEvent(const NetworkEvent& event);
    // One counter read, into the minute of its date. Reads with a date or
    // length that is not finite, or a length not above zero, are dropped.
    void recordTraffic(const TrafficSample& sample);

    // Writes every open minute that ended at or before `cutoff` and the
    // pending events in one transaction, then runs maintenance when due.
    // Unless forced, does nothing within 60 s of the last write. Throws; on
    // failure everything unwritten stays in memory for the next flush.
    void flush(double cutoff, double now, bool force);
    // Folds minute rows before the roll-up boundary into hour rows, in one transaction.
    void rollup(double now);
    // Deletes rows and events older than retentionDays; a retention below
    // one day deletes nothing.
    void applyRetention(double now);

    // Reads; `condition` follows "WHERE ". Rows that cannot be converted are
    // skipped. Room for expectedRows is made up front: growing a vector of
    // thousands of rows step by step costs more than reading them.
    std::vector<PeriodRow> periods(const std::string& condition, const std::vector<Database::Value>& values,
                                   std::size_t expectedRows = 0) const;
    // Sorted by start, role order, address text.
    std::vector<AggregateRow> aggregates(const std::string& condition, const std::vector<Database::Value>& values) const;
    std::vector<NetworkEvent> events(const std::string& condition, const std::vector<Database::Value>& values) const;
    // Whether the periods table has the lookup columns: a file of version 1
    // opened for reading alone does not, and reads them as none.
    bool hasLookupColumns() const;
    // Whether the tables have the traffic and busy columns (version 3).
    bool hasLoadColumns() const;
    // Whether the tables are keyed by their primary keys alone (version 4).
    bool hasKeyedTables() const;
    // The capacity per direction from the minute rows of the capacityDays
    // before now (see capacityOf); zero without such rows.
    LinkCapacity linkCapacity(double now) const;
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
    // The start of the oldest stored period; none in an empty file.
    std::optional<std::int64_t> oldestStart() const;

    // ⌊t / 60⌋ × 60; none when t is not finite or out of the 64-bit range.
    static std::optional<std::int64_t> minuteStart(double t);
    // s − (s mod 3600) with a non-negative remainder.
    static std::int64_t hourStart(std::int64_t s);
    // The roll-up boundary for `now`: the hour start seven days before now's minute.
    static std::optional<std::int64_t> rollupBoundary(double now);
    // The median (nearest rank) of the readings, rounded half away from zero.
    static std::optional<std::int64_t> signal(std::vector<double> readings);
    // Role order of sorted aggregate rows: router 0, internet(n) n + 1,
    // internetIPv6 3, custom(n) n + 4.
    static std::int64_t roleOrder(const TargetRole& role);

private:
    // Whether the tables have the later columns; asked of the file once.
    mutable std::optional<bool> lookupColumns;
    mutable std::optional<bool> loadColumns;
    mutable std::optional<bool> keyedTables;

    OpenMinute& openMinute(std::int64_t minute, MinuteState initial);
    void writeMinute(std::int64_t minute, const OpenMinute& content);
    void writeEvent(const NetworkEvent& event);
};

}  // namespace nerivane
