// The history's writes: open minutes kept in memory (per target the raw
// samples of the minute), written once they are safely past as one period row
// per minute and one aggregate row per target and minute; outage and spike
// events; the hourly roll-up after seven days, the retention limit and when
// both are due.
//
// A value that shares its Database with its copies. It schedules and locks
// nothing: the history service owns the only instance and uses it on the
// history queue only, and hands readers its queries(), never the writer.
// Dates are Unix seconds as Date, row starts integers; minutes and hours are
// aligned to UTC, not to the local zone.
//
// Traffic: a counter read (TrafficSample) counts wholly in the minute of its
// date, the later read: at the probing interval at most one interval's bytes
// land a minute late, and no minute is opened again once it was written. The
// 10-second throughput is taken at every read, as the traffic meter takes
// its session peak (RollingThroughput); a gap between reads starts a new
// run, so nothing is averaged across a pause or a sleep, and a minute's
// peak needs a run of the full 10 seconds.
//
// Invariants (invariantsHold): every key of the open minutes is a minute
// start; an open minute stays in memory until a flush has committed it, so a
// failed write loses nothing; the recent traffic holds consecutive reads.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "NerivaneKit/analysis/NetworkEvent.h"
#include "NerivaneKit/analysis/ProbeRecord.h"
#include "NerivaneKit/analysis/TargetStats.h"
#include "NerivaneKit/history/Database.h"
#include "NerivaneKit/history/HistoryQueries.h"
#include "NerivaneKit/history/MinuteState.h"
#include "NerivaneKit/history/TimeZone.h"
#include "NerivaneKit/load/RollingThroughput.h"
#include "NerivaneKit/load/TrafficSample.h"
#include "NerivaneKit/lookup/LookupOutcome.h"
#include "NerivaneKit/platform/Clocks.h"

namespace nerivane {

class HistoryWriter {
public:
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

    // Open minutes dropped unwritten: how many, the first and the last.
    struct Dropped {
        std::size_t minutes = 0;
        std::int64_t first = 0;
        std::int64_t last = 0;
        bool operator==(const Dropped&) const = default;
    };

    // A minute is written once the cut-off is a whole minute past its start;
    // regular flushes write at most once per this long.
    static constexpr Seconds writeInterval{60};
    static constexpr Seconds maintenanceInterval{3600};

    // A second write of a minute, or of a target's minute, merges with the
    // first (see the texts). Parameters left unbound are NULL.
    static const std::string insertPeriodSQL;
    static const std::string insertAggregateSQL;
    static const std::string insertEventSQL;

    explicit HistoryWriter(std::shared_ptr<Database> db, TimeZone timeZone = TimeZone::current());

    // What readers get: the reads of the same database.
    const HistoryQueries& queries() const { return queries_; }
    Database& database() const { return *db_; }

    // Prepares the file (see HistorySchema::prepareSchema); the queries then
    // ask their questions of the prepared file.
    void prepareSchema();

    int retentionDays() const { return retentionDays_; }
    void setRetentionDays(int days);
    // The state newly opened minutes get.
    MinuteState state() const { return state_; }
    const std::map<std::int64_t, OpenMinute>& openMinutes() const { return open_; }
    const std::vector<NetworkEvent>& pendingEvents() const { return pendingEvents_; }
    std::optional<Date> lastWrite() const { return lastWrite_; }
    std::optional<Date> lastMaintenance() const { return lastMaintenance_; }
    // Asked when maintenance is due, with the date; false puts it off. None
    // lets it run (the history service checks the clocks here).
    void setMayMaintain(std::function<bool(Date now)> mayMaintain);

    void record(const ProbeRecord& probe);
    // A round of DNS probes that ended at `date`, into that minute.
    void recordLookups(Date date, const std::vector<LookupOutcome>& outcomes);
    // Opens the minute of `at` (so minutes without probes exist) and adds the reading.
    void recordRSSI(Date at, std::optional<std::int64_t> rssi);
    // Every minute from the one containing `from` up to, not including, the
    // one containing `to` becomes asleep.
    void markAsleep(Date from, Date to);
    void apply(MinuteState newState, Date at);
    void addEvent(const NetworkEvent& event);
    // One counter read, into the minute of its date. Reads with a date or
    // length that is not finite, or a length not above zero, are dropped.
    void recordTraffic(const TrafficSample& sample);

    // Writes every open minute that ended at or before `cutoff` and the
    // pending events in one transaction, then runs maintenance when due.
    // Unless forced, does nothing within 60 s of the last write. Throws; on
    // failure everything unwritten stays in memory for the next flush.
    void flush(Date cutoff, Date now, bool force);
    // Folds minute rows before the roll-up boundary into hour rows, in one transaction.
    void rollup(Date now);
    // Deletes rows and events older than retentionDays; a retention below
    // one day deletes nothing.
    void applyRetention(Date now);

    // While writes fail: drops the oldest open minutes beyond `limit`, and
    // the oldest pending events beyond `limit` (returning how many).
    Dropped dropOldestMinutes(std::size_t limit);
    std::size_t dropOldestEvents(std::size_t limit);

    bool invariantsHold() const;

private:
    std::shared_ptr<Database> db_;
    HistoryQueries queries_;
    int retentionDays_ = 30;
    MinuteState state_ = MinuteState::measured;
    std::map<std::int64_t, OpenMinute> open_;
    std::vector<NetworkEvent> pendingEvents_;
    RollingThroughput recentTraffic_;
    std::optional<Date> lastWrite_;
    std::optional<Date> lastMaintenance_;
    std::function<bool(Date now)> mayMaintain_;

    OpenMinute& openMinute(std::int64_t minute, MinuteState initial);
    void writeMinute(std::int64_t minute, const OpenMinute& content);
    void writeEvent(const NetworkEvent& event);
};

}  // namespace nerivane
