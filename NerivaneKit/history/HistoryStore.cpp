#include "NerivaneKit/history/HistoryStore.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <functional>
#include <limits>

#include "NerivaneKit/statistics/Statistics.h"
#include "NerivaneKit/history/HistoryFile.h"
#include "NerivaneKit/platform/ApplicationId.h"

namespace nerivane {

using Value = Database::Value;

// Everything the chart reads of a target, by role and start: its week read
// touches neither the table nor the other targets' rows.
const std::string HistoryStore::figuresIndexSQL =
    "CREATE INDEX IF NOT EXISTS aggregates_figures ON aggregates "
    "(role, start, seconds, protocol, sent, lost, late, median, p95);\n";

// Defined after the index, which it includes.
const std::string HistoryStore::schemaScript = R"(PRAGMA journal_mode = WAL;
CREATE TABLE IF NOT EXISTS periods (
    start INTEGER NOT NULL,
    seconds INTEGER NOT NULL,
    state TEXT NOT NULL,
    rssi INTEGER,
    PRIMARY KEY (start, seconds)
);
CREATE TABLE IF NOT EXISTS aggregates (
    start INTEGER NOT NULL,
    seconds INTEGER NOT NULL,
    role TEXT NOT NULL,
    host TEXT NOT NULL,
    address TEXT NOT NULL,
    protocol TEXT NOT NULL,
    sent INTEGER NOT NULL,
    lost INTEGER NOT NULL,
    late INTEGER NOT NULL,
    median REAL,
    p95 REAL,
    jitter REAL,
    PRIMARY KEY (start, seconds, role, address, protocol)
);
CREATE TABLE IF NOT EXISTS events (
    id INTEGER PRIMARY KEY,
    kind TEXT NOT NULL,
    role TEXT NOT NULL,
    host TEXT NOT NULL,
    address TEXT NOT NULL,
    start REAL NOT NULL,
    end REAL NOT NULL,
    worst REAL
);
CREATE INDEX IF NOT EXISTS events_start ON events (start);
)" + figuresIndexSQL;

const std::string HistoryStore::lookupColumnsSQL = R"(ALTER TABLE periods ADD COLUMN dns_median REAL;
ALTER TABLE periods ADD COLUMN dns_failures INTEGER;
)";

const std::string HistoryStore::loadColumnsSQL = R"(ALTER TABLE periods ADD COLUMN sent_bytes INTEGER;
ALTER TABLE periods ADD COLUMN received_bytes INTEGER;
ALTER TABLE periods ADD COLUMN peak_sent_bps REAL;
ALTER TABLE periods ADD COLUMN peak_received_bps REAL;
ALTER TABLE aggregates ADD COLUMN busy_upload_median REAL;
ALTER TABLE aggregates ADD COLUMN busy_upload_replies INTEGER;
ALTER TABLE aggregates ADD COLUMN busy_download_median REAL;
ALTER TABLE aggregates ADD COLUMN busy_download_replies INTEGER;
)";

// The two tables of many rows keyed by their primary keys alone: rows are
// read in key order without a second lookup, and the file holds no second
// copy of every key. Same columns and types as before. Aggregates lead with
// the role: the chart reads one target's rows in start order straight from
// the table, and reads of every target take each role's range in turn (see
// rolesCTE), so no index is needed besides the key.
const std::string HistoryStore::keyedTablesSQL = R"(CREATE TABLE periods_keyed (
    start INTEGER NOT NULL,
    seconds INTEGER NOT NULL,
    state TEXT NOT NULL,
    rssi INTEGER,
    dns_median REAL,
    dns_failures INTEGER,
    sent_bytes INTEGER,
    received_bytes INTEGER,
    peak_sent_bps REAL,
    peak_received_bps REAL,
    PRIMARY KEY (start, seconds)
) WITHOUT ROWID;
INSERT INTO periods_keyed SELECT start, seconds, state, rssi, dns_median, dns_failures, sent_bytes, received_bytes,
    peak_sent_bps, peak_received_bps FROM periods ORDER BY start, seconds;
DROP TABLE periods;
ALTER TABLE periods_keyed RENAME TO periods;
CREATE TABLE aggregates_keyed (
    start INTEGER NOT NULL,
    seconds INTEGER NOT NULL,
    role TEXT NOT NULL,
    host TEXT NOT NULL,
    address TEXT NOT NULL,
    protocol TEXT NOT NULL,
    sent INTEGER NOT NULL,
    lost INTEGER NOT NULL,
    late INTEGER NOT NULL,
    median REAL,
    p95 REAL,
    jitter REAL,
    busy_upload_median REAL,
    busy_upload_replies INTEGER,
    busy_download_median REAL,
    busy_download_replies INTEGER,
    PRIMARY KEY (role, start, seconds, address, protocol)
) WITHOUT ROWID;
INSERT INTO aggregates_keyed SELECT start, seconds, role, host, address, protocol, sent, lost, late, median, p95, jitter,
    busy_upload_median, busy_upload_replies, busy_download_median, busy_download_replies
    FROM aggregates ORDER BY role, start, seconds, address, protocol;
DROP TABLE aggregates;
ALTER TABLE aggregates_keyed RENAME TO aggregates;
)";

// The roles present, each found by one step down the key: with it a read of
// every target's rows becomes one key range per role instead of a scan.
const std::string HistoryStore::rolesCTE =
    "WITH RECURSIVE roles (role) AS (SELECT min(role) FROM aggregates UNION ALL "
    "SELECT (SELECT min(role) FROM aggregates WHERE role > roles.role) FROM roles WHERE roles.role IS NOT NULL) ";

// A second write of a minute merges: "measured" is never overwritten, a
// stored signal reading and lookup median win, lookup failures and bytes add
// up and the higher peak wins. Parameters left unbound are NULL.
const std::string HistoryStore::insertPeriodSQL =
    R"(INSERT INTO periods (start, seconds, state, rssi, dns_median, dns_failures,
    sent_bytes, received_bytes, peak_sent_bps, peak_received_bps) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)
ON CONFLICT (start, seconds) DO UPDATE SET
    state = CASE WHEN state = 'measured' THEN state ELSE excluded.state END,
    rssi = coalesce(rssi, excluded.rssi),
    dns_median = coalesce(dns_median, excluded.dns_median),
    dns_failures = coalesce(dns_failures + excluded.dns_failures, dns_failures, excluded.dns_failures),
    sent_bytes = coalesce(sent_bytes + excluded.sent_bytes, sent_bytes, excluded.sent_bytes),
    received_bytes = coalesce(received_bytes + excluded.received_bytes, received_bytes, excluded.received_bytes),
    peak_sent_bps = max(coalesce(peak_sent_bps, excluded.peak_sent_bps), coalesce(excluded.peak_sent_bps, peak_sent_bps)),
    peak_received_bps = max(coalesce(peak_received_bps, excluded.peak_received_bps),
                            coalesce(excluded.peak_received_bps, peak_received_bps)))";

// A second write of a target's minute adds the counts and takes the figures
// only from the write that saw more replies (busy medians: more busy
// replies); the stored host is kept. Parameters left unbound are NULL.
const std::string HistoryStore::insertAggregateSQL =
    R"(INSERT INTO aggregates (start, seconds, role, host, address, protocol, sent, lost, late, median, p95, jitter,
    busy_upload_median, busy_upload_replies, busy_download_median, busy_download_replies)
VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)
ON CONFLICT (start, seconds, role, address, protocol) DO UPDATE SET
    busy_upload_median = CASE WHEN coalesce(excluded.busy_upload_replies, 0) > coalesce(busy_upload_replies, 0)
        THEN excluded.busy_upload_median ELSE busy_upload_median END,
    busy_upload_replies = coalesce(busy_upload_replies + excluded.busy_upload_replies, busy_upload_replies,
                                   excluded.busy_upload_replies),
    busy_download_median = CASE WHEN coalesce(excluded.busy_download_replies, 0) > coalesce(busy_download_replies, 0)
        THEN excluded.busy_download_median ELSE busy_download_median END,
    busy_download_replies = coalesce(busy_download_replies + excluded.busy_download_replies, busy_download_replies,
                                     excluded.busy_download_replies),
    median = CASE WHEN excluded.sent - excluded.lost > sent - lost THEN excluded.median ELSE median END,
    p95 = CASE WHEN excluded.sent - excluded.lost > sent - lost THEN excluded.p95 ELSE p95 END,
    jitter = CASE WHEN excluded.sent - excluded.lost > sent - lost THEN excluded.jitter ELSE jitter END,
    sent = sent + excluded.sent,
    lost = lost + excluded.lost,
    late = late + excluded.late)";

const std::string HistoryStore::insertEventSQL =
    "INSERT INTO events (kind, role, host, address, start, end, worst) VALUES (?, ?, ?, ?, ?, ?, ?)";

namespace {

const std::string deleteMinuteAggregatesSQL = "DELETE FROM aggregates WHERE seconds = 60 AND start < ?";
const std::string deleteMinutePeriodsSQL = "DELETE FROM periods WHERE seconds = 60 AND start < ?";
const std::string retainAggregatesSQL = "DELETE FROM aggregates WHERE start + seconds <= ?";
const std::string retainPeriodsSQL = "DELETE FROM periods WHERE start + seconds <= ?";
const std::string retainEventsSQL = "DELETE FROM events WHERE end < ?";
const std::string minuteRowsCondition = "seconds = 60 AND start < ?";

// Consecutive counter reads meet: one starts where the previous ended, give
// or take this many seconds (the date and the length come from two clocks).
constexpr double readsMeet = 0.5;

std::optional<double> medianOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return Statistics::percentile(values, 0.5);
}

Value optionalBytes(const std::optional<std::uint64_t>& bytes) {
    // The columns are signed; no interface moves 2^63 bytes in a minute.
    if (!bytes) return Value::null();
    constexpr auto most = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return Value::integer(static_cast<std::int64_t>(std::min(*bytes, most)));
}

// Limits of a double that converts to a 64-bit integer without overflow.
constexpr double int64Low = -9223372036854775808.0;
constexpr double int64High = 9223372036854775808.0;

std::optional<std::int64_t> integerOf(const Value& value) {
    if (auto* integer = value.asInteger()) return *integer;
    if (auto* real = value.asReal()) {
        if (std::isfinite(*real) && *real >= int64Low && *real < int64High) return static_cast<std::int64_t>(*real);
    }
    return std::nullopt;
}

std::optional<double> realOf(const Value& value) {
    if (auto* integer = value.asInteger()) return static_cast<double>(*integer);
    if (auto* real = value.asReal()) return *real;
    return std::nullopt;
}

const std::string* textOf(const Value& value) { return value.asText(); }

// A scoped address names its interface ("fe80::1%wlan0"); once that
// interface is gone the name no longer parses, yet the event must not vanish
// from history: it is then read without its scope.
std::optional<ProbeAddress> eventAddress(const std::string& text) {
    if (auto address = ProbeAddress::parse(text)) return address;
    const auto percent = text.find('%');
    if (percent == std::string::npos || percent == 0) return std::nullopt;
    return ProbeAddress::parse(text.substr(0, percent));
}

Value optionalReal(const std::optional<double>& value) { return value ? Value::real(*value) : Value::null(); }
Value optionalInteger(const std::optional<std::int64_t>& value) {
    return value ? Value::integer(*value) : Value::null();
}

// Runs work inside "BEGIN IMMEDIATE" ... "COMMIT"; on failure rolls back
// (ignoring a failing rollback) and rethrows the first error.
void transaction(Database& db, const std::function<void()>& work) {
    db.execute("BEGIN IMMEDIATE");
    try {
        work();
        db.execute("COMMIT");
    } catch (...) {
        try {
            db.execute("ROLLBACK");
        } catch (const Database::Error&) {
        }
        throw;
    }
}

}  // namespace

std::size_t HistoryStore::KeyHash::operator()(const Key& key) const noexcept {
    std::size_t hash = std::hash<TargetRole>{}(key.role);
    hash = hash * 31 + std::hash<std::string>{}(key.host);
    hash = hash * 31 + std::hash<std::string>{}(key.address);
    return hash * 2 + static_cast<std::size_t>(key.probeProtocol);
}

HistoryStore::HistoryStore(std::shared_ptr<Database> database, TimeZone zone)
    : db(std::move(database)), timeZone(zone) {}

std::optional<std::int64_t> HistoryStore::minuteStart(double t) {
    if (!std::isfinite(t)) return std::nullopt;
    const double minute = std::floor(t / 60) * 60;
    if (!(minute >= int64Low && minute < int64High)) return std::nullopt;
    return static_cast<std::int64_t>(minute);
}

std::int64_t HistoryStore::hourStart(std::int64_t s) {
    std::int64_t remainder = s % 3600;
    if (remainder < 0) remainder += 3600;
    return s - remainder;
}

std::optional<std::int64_t> HistoryStore::rollupBoundary(double now) {
    auto minute = minuteStart(now);
    if (!minute) return std::nullopt;
    return hourStart(*minute - rollupAge);
}

std::optional<std::int64_t> HistoryStore::signal(std::vector<double> readings) {
    std::sort(readings.begin(), readings.end());
    auto median = Statistics::percentile(readings, 0.5);
    if (!median) return std::nullopt;
    return static_cast<std::int64_t>(std::round(*median));
}

std::int64_t HistoryStore::roleOrder(const TargetRole& role) {
    switch (role.kind) {
    case TargetRole::Kind::router: return 0;
    case TargetRole::Kind::internet: return role.index + 1;
    case TargetRole::Kind::internetIPv6: return 3;
    case TargetRole::Kind::custom: return role.index + 4;
    case TargetRole::Kind::provider: return 6;
    }
    return 0;
}

void HistoryStore::prepareSchema() {
    const std::int64_t version = db->userVersion();
    // The tables of version 1, then every later change in one step; files
    // that lack the chart's index get it with the rebuilt tables.
    if (version < 1) db->execute(schemaScript);
    lookupColumns.reset();
    loadColumns.reset();
    keyedTables.reset();
    if (version < HistoryFile::schemaVersion) {
        // The columns, the tables and the version change together, so a
        // failure leaves the file as it was, for the next start to migrate.
        transaction(*db, [&] {
            if (!hasLookupColumns()) db->execute(lookupColumnsSQL);
            if (!hasLoadColumns()) db->execute(loadColumnsSQL);
            if (version < keyedTablesVersion) db->execute(keyedTablesSQL);
            db->execute("PRAGMA user_version = " + std::to_string(HistoryFile::schemaVersion));
        });
        lookupColumns.reset();
        loadColumns.reset();
        keyedTables.reset();
    }
    // The mark that tells nerivane's files from other programs' databases;
    // files of earlier versions get it here.
    const auto id = db->query("PRAGMA application_id");
    if (id.empty() || id.front().empty() || id.front().front() != Value::integer(databaseApplicationId))
        db->execute("PRAGMA application_id = " + std::to_string(databaseApplicationId));
}

HistoryStore::OpenMinute& HistoryStore::openMinute(std::int64_t minute, MinuteState initial) {
    auto found = open.find(minute);
    if (found == open.end()) {
        OpenMinute content;
        content.state = initial;
        found = open.emplace(minute, std::move(content)).first;
    }
    return found->second;
}

void HistoryStore::record(const ProbeRecord& probe) {
    auto minute = minuteStart(probe.sentAt);
    if (!minute) return;  // an unusable date cannot be placed in any minute
    Key key{probe.target.role, probe.target.host, probe.target.address.text(), probe.probeProtocol};
    Accumulator& accumulator = openMinute(*minute, state).targets[key];
    if (probe.load != LoadClass::unknown) accumulator.classed = true;
    if (auto* reply = std::get_if<ProbeResult::Reply>(&probe.outcome)) {
        accumulator.samples.push_back({probe.sentAt, reply->milliseconds});
        if (isBusy(probe.load, LoadDirection::upload)) accumulator.busyUpload.push_back(reply->milliseconds);
        if (isBusy(probe.load, LoadDirection::download)) accumulator.busyDownload.push_back(reply->milliseconds);
    } else if (std::holds_alternative<ProbeResult::Lost>(probe.outcome)) {
        accumulator.samples.push_back({probe.sentAt, std::nullopt});
    } else {
        // A late reply answers a probe already counted as lost: count it only.
        accumulator.late += 1;
    }
}

void HistoryStore::recordLookups(double date, const std::vector<LookupOutcome>& outcomes) {
    auto minute = minuteStart(date);
    if (!minute || outcomes.empty()) return;
    OpenMinute& content = openMinute(*minute, state);
    for (const LookupOutcome& outcome : outcomes) {
        content.lookups += 1;
        if (outcome.seconds) content.lookupMilliseconds.push_back(*outcome.seconds * 1000);
        else content.lookupFailures += 1;
    }
}

void HistoryStore::recordRSSI(double at, std::optional<std::int64_t> rssi) {
    auto minute = minuteStart(at);
    if (!minute) return;
    OpenMinute& content = openMinute(*minute, state);
    if (rssi) content.rssi.push_back(*rssi);
}

void HistoryStore::markAsleep(double from, double to) {
    auto first = minuteStart(from);
    auto last = minuteStart(to);
    if (!first || !last || *first >= *last) return;
    for (std::int64_t minute = *first; minute < *last; minute += 60)
        openMinute(minute, MinuteState::asleep).state = MinuteState::asleep;
}

void HistoryStore::apply(MinuteState newState, double at) {
    if (newState == state) return;
    state = newState;
    if (auto minute = minuteStart(at)) openMinute(*minute, newState).state = newState;
}

void HistoryStore::addEvent(const NetworkEvent& event) { pendingEvents.push_back(event); }

void HistoryStore::recordTraffic(const TrafficSample& sample) {
    if (!std::isfinite(sample.seconds) || !(sample.seconds > 0)) return;
    auto minute = minuteStart(sample.date);
    if (!minute) return;
    OpenMinute& content = openMinute(*minute, state);
    if (!content.traffic) content.traffic.emplace();
    OpenMinute::Traffic& traffic = *content.traffic;
    traffic.sentBytes += sample.sentBytes;
    traffic.receivedBytes += sample.receivedBytes;

    if (!recentTraffic.empty() &&
        !(std::fabs(sample.date - sample.seconds - recentTraffic.back().date) <= readsMeet))
        recentTraffic.clear();
    recentTraffic.push_back(sample);
    double seconds = 0;
    for (const TrafficSample& read : recentTraffic) seconds += read.seconds;
    while (recentTraffic.size() > 1 && seconds - recentTraffic.front().seconds >= LinkCapacity::sampleSeconds) {
        seconds -= recentTraffic.front().seconds;
        recentTraffic.pop_front();
    }
    if (seconds < LinkCapacity::sampleSeconds) return;
    double sent = 0, received = 0;
    for (const TrafficSample& read : recentTraffic) {
        sent += static_cast<double>(read.sentBytes);
        received += static_cast<double>(read.receivedBytes);
    }
    const double sentRate = sent * 8 / seconds, receivedRate = received * 8 / seconds;
    traffic.peakSentBitsPerSecond = std::max(traffic.peakSentBitsPerSecond.value_or(0), sentRate);
    traffic.peakReceivedBitsPerSecond = std::max(traffic.peakReceivedBitsPerSecond.value_or(0), receivedRate);
}

void HistoryStore::writeMinute(std::int64_t minute, const OpenMinute& content) {
    bool sampled = false;
    for (const auto& [key, accumulator] : content.targets) sampled = sampled || !accumulator.samples.empty();
    const MinuteState periodState = sampled ? MinuteState::measured : content.state;

    std::vector<double> readings(content.rssi.begin(), content.rssi.end());
    auto rssi = signal(std::move(readings));
    const auto& traffic = content.traffic;
    db->run(insertPeriodSQL,
            {Value::integer(minute), Value::integer(60), Value::text(std::string(text(periodState))),
             optionalInteger(rssi), optionalReal(medianOf(content.lookupMilliseconds)),
             content.lookups > 0 ? Value::integer(content.lookupFailures) : Value::null(),
             optionalBytes(traffic ? std::optional(traffic->sentBytes) : std::nullopt),
             optionalBytes(traffic ? std::optional(traffic->receivedBytes) : std::nullopt),
             optionalReal(traffic ? traffic->peakSentBitsPerSecond : std::nullopt),
             optionalReal(traffic ? traffic->peakReceivedBitsPerSecond : std::nullopt)});

    for (const auto& [key, accumulator] : content.targets) {
        std::vector<TargetStats::Sample> samples = accumulator.samples;
        std::stable_sort(samples.begin(), samples.end(),
                         [](const auto& a, const auto& b) { return a.time < b.time; });
        std::vector<double> rtts;
        for (const auto& sample : samples) {
            if (sample.rtt) rtts.push_back(*sample.rtt);
        }
        std::sort(rtts.begin(), rtts.end());
        const auto sent = static_cast<std::int64_t>(samples.size());
        const auto lost = sent - static_cast<std::int64_t>(rtts.size());
        // Counters read in the minute make "no busy reply" a count of 0.
        const bool classed = accumulator.classed || content.traffic.has_value();
        auto busyCount = [&](const std::vector<double>& busy) {
            return classed ? Value::integer(static_cast<std::int64_t>(busy.size())) : Value::null();
        };
        db->run(insertAggregateSQL,
                {Value::integer(minute), Value::integer(60), Value::text(key.role.text()), Value::text(key.host),
                 Value::text(key.address), Value::text(std::string(text(key.probeProtocol))), Value::integer(sent),
                 Value::integer(lost), Value::integer(accumulator.late),
                 optionalReal(Statistics::percentile(rtts, 0.5)), optionalReal(Statistics::percentile(rtts, 0.95)),
                 optionalReal(Statistics::jitter(samples)), optionalReal(medianOf(accumulator.busyUpload)),
                 busyCount(accumulator.busyUpload), optionalReal(medianOf(accumulator.busyDownload)),
                 busyCount(accumulator.busyDownload)});
    }
}

void HistoryStore::writeEvent(const NetworkEvent& event) {
    db->run(insertEventSQL, {Value::text(std::string(text(event.kind))), Value::text(event.role.text()),
                             Value::text(event.host), Value::text(event.address.text()), Value::real(event.start),
                             Value::real(event.end), optionalReal(event.worstRTT)});
}

void HistoryStore::flush(double cutoff, double now, bool force) {
    // A clock set back must not hold writes (and the minutes in memory) until
    // it has caught up again: a date before the last write passes the limit.
    if (!force && lastWrite && now >= *lastWrite && now - *lastWrite < writeInterval) return;

    std::vector<std::int64_t> closed;
    for (const auto& [minute, content] : open) {
        if (cutoff >= static_cast<double>(minute) + 60) closed.push_back(minute);
    }
    if (!closed.empty() || !pendingEvents.empty()) {
        transaction(*db, [&] {
            for (std::int64_t minute : closed) writeMinute(minute, open.at(minute));
            for (const NetworkEvent& event : pendingEvents) writeEvent(event);
        });
        for (std::int64_t minute : closed) open.erase(minute);
        pendingEvents.clear();
    }
    lastWrite = now;

    const bool due = !lastMaintenance || now < *lastMaintenance || now - *lastMaintenance >= maintenanceInterval;
    if (due && (!mayMaintain || mayMaintain(now))) {
        rollup(now);
        applyRetention(now);
        lastMaintenance = now;
    }
}

void HistoryStore::rollup(double now) {
    auto boundary = rollupBoundary(now);
    if (!boundary) return;
    const std::vector<Value> boundaryValue{Value::integer(*boundary)};

    struct HourKey {
        std::int64_t hour;
        std::int64_t roleOrder;
        std::string role, host, address, protocol;
        auto operator<=>(const HourKey&) const = default;
    };
    std::map<HourKey, std::vector<AggregateRow>> hourAggregates;
    for (AggregateRow& row : aggregates(minuteRowsCondition, boundaryValue)) {
        HourKey key{hourStart(row.start), roleOrder(row.role), row.role.text(), row.host, row.address,
                    std::string(text(row.probeProtocol))};
        hourAggregates[key].push_back(std::move(row));
    }
    std::map<std::int64_t, std::vector<PeriodRow>> hourPeriods;
    for (PeriodRow& row : periods(minuteRowsCondition, boundaryValue)) hourPeriods[hourStart(row.start)].push_back(row);

    transaction(*db, [&] {
        for (const auto& [hour, rows] : hourPeriods) {
            std::map<MinuteState, int> counts;
            std::vector<double> readings, lookupMedians;
            std::optional<std::int64_t> failures, sentBytes, receivedBytes;
            std::optional<double> peakSent, peakReceived;
            const auto sum = [](std::optional<std::int64_t>& total, const std::optional<std::int64_t>& value) {
                if (value) total = total.value_or(0) + *value;
            };
            const auto highest = [](std::optional<double>& peak, const std::optional<double>& value) {
                if (value) peak = std::max(peak.value_or(*value), *value);
            };
            for (const PeriodRow& row : rows) {
                counts[row.state] += 1;
                if (row.rssi) readings.push_back(static_cast<double>(*row.rssi));
                if (row.dnsMedian) lookupMedians.push_back(*row.dnsMedian);
                sum(failures, row.dnsFailures);
                sum(sentBytes, row.sentBytes);
                sum(receivedBytes, row.receivedBytes);
                highest(peakSent, row.peakSentBitsPerSecond);
                highest(peakReceived, row.peakReceivedBitsPerSecond);
            }
            auto rssi = signal(std::move(readings));
            db->run(insertPeriodSQL,
                    {Value::integer(hour), Value::integer(3600), Value::text(std::string(text(*dominantState(counts)))),
                     optionalInteger(rssi), optionalReal(medianOf(lookupMedians)), optionalInteger(failures),
                     optionalInteger(sentBytes), optionalInteger(receivedBytes), optionalReal(peakSent),
                     optionalReal(peakReceived)});
        }
        for (const auto& [key, rows] : hourAggregates) {
            std::int64_t sent = 0, lost = 0, late = 0;
            std::vector<double> medians, p95s;
            double weighted = 0, weights = 0;
            // An hour's busy median: the minutes' medians weighted by their busy replies.
            std::vector<std::pair<double, double>> busyUpload, busyDownload;
            std::optional<std::int64_t> uploadReplies, downloadReplies;
            for (const AggregateRow& row : rows) {
                if (row.busyUploadReplies) uploadReplies = uploadReplies.value_or(0) + *row.busyUploadReplies;
                if (row.busyDownloadReplies) downloadReplies = downloadReplies.value_or(0) + *row.busyDownloadReplies;
                if (row.busyUploadMedian && row.busyUploadReplies)
                    busyUpload.emplace_back(*row.busyUploadMedian, static_cast<double>(*row.busyUploadReplies));
                if (row.busyDownloadMedian && row.busyDownloadReplies)
                    busyDownload.emplace_back(*row.busyDownloadMedian, static_cast<double>(*row.busyDownloadReplies));
                sent += row.sent;
                lost += row.lost;
                late += row.late;
                if (row.median) medians.push_back(*row.median);
                if (row.p95) p95s.push_back(*row.p95);
                if (row.jitter) {
                    const double weight = static_cast<double>(row.sent - row.lost);
                    weighted += *row.jitter * weight;
                    weights += weight;
                }
            }
            std::sort(medians.begin(), medians.end());
            std::sort(p95s.begin(), p95s.end());
            const Value jitter = weights > 0 ? Value::real(weighted / weights) : Value::null();
            db->run(insertAggregateSQL,
                    {Value::integer(key.hour), Value::integer(3600), Value::text(key.role), Value::text(key.host),
                     Value::text(key.address), Value::text(key.protocol), Value::integer(sent), Value::integer(lost),
                     Value::integer(late), optionalReal(Statistics::percentile(medians, 0.5)),
                     optionalReal(Statistics::percentile(p95s, 0.95)), jitter,
                     optionalReal(weightedMedian(std::move(busyUpload))), optionalInteger(uploadReplies),
                     optionalReal(weightedMedian(std::move(busyDownload))), optionalInteger(downloadReplies)});
        }
        db->run(deleteMinuteAggregatesSQL, boundaryValue);
        db->run(deleteMinutePeriodsSQL, boundaryValue);
    });
}

void HistoryStore::applyRetention(double now) {
    if (retentionDays < 1) return;
    const std::vector<Value> limit{Value::real(now - static_cast<double>(retentionDays) * 86400)};
    db->run(retainAggregatesSQL, limit);
    db->run(retainPeriodsSQL, limit);
    db->run(retainEventsSQL, limit);
}

bool HistoryStore::hasLoadColumns() const {
    if (loadColumns) return *loadColumns;
    const auto rows = db->query(
        "SELECT (SELECT count(*) FROM pragma_table_info('periods') WHERE name IN "
        "('sent_bytes', 'received_bytes', 'peak_sent_bps', 'peak_received_bps')) + "
        "(SELECT count(*) FROM pragma_table_info('aggregates') WHERE name IN "
        "('busy_upload_median', 'busy_upload_replies', 'busy_download_median', 'busy_download_replies'))");
    loadColumns = !rows.empty() && !rows.front().empty() && rows.front().front() == Value::integer(8);
    return *loadColumns;
}

LinkCapacity HistoryStore::linkCapacity(double now) const {
    if (!hasLoadColumns()) return {};
    std::vector<double> sent, received;
    db->each("SELECT peak_sent_bps, peak_received_bps FROM periods WHERE seconds = 60 AND start >= ? AND start < ?",
             {Value::real(now - capacityDays * 86400), Value::real(now)}, [&](const Database::Cursor& row) {
                 if (auto peak = realOf(row.value(0))) sent.push_back(*peak);
                 if (auto peak = realOf(row.value(1))) received.push_back(*peak);
             });
    return {capacityOf(std::move(sent)), capacityOf(std::move(received))};
}

double HistoryStore::capacityOf(std::vector<double> peaks) {
    // Over the active minutes only: on a lightly used link most minutes carry
    // nothing but chatter, and a percentile over all of them would take that
    // chatter for the link's capacity, making every small download look like
    // a full link. Not the highest peak either: a copy to a machine on the
    // local network crosses the same interface far faster than the way out,
    // and it takes more than a twentieth of the week's active minutes to
    // move the 95th percentile. With fewer than 20 active minutes the
    // percentile is their highest peak.
    std::erase_if(peaks, [](double peak) { return !(peak >= activeBitsPerSecond) || !std::isfinite(peak); });
    std::sort(peaks.begin(), peaks.end());
    return Statistics::percentile(peaks, 0.95).value_or(0);
}

std::optional<double> HistoryStore::weightedMedian(std::vector<std::pair<double, double>> pairs) {
    std::erase_if(pairs, [](const auto& pair) { return !(pair.second > 0); });
    std::sort(pairs.begin(), pairs.end());
    double total = 0;
    for (const auto& pair : pairs) total += pair.second;
    double reached = 0;
    for (const auto& [value, weight] : pairs) {
        reached += weight;
        if (reached * 2 >= total) return value;
    }
    return std::nullopt;
}

bool HistoryStore::hasKeyedTables() const {
    if (!keyedTables) keyedTables = db->userVersion() >= keyedTablesVersion;
    return *keyedTables;
}

bool HistoryStore::hasLookupColumns() const {
    if (lookupColumns) return *lookupColumns;
    const auto rows =
        db->query("SELECT count(*) FROM pragma_table_info('periods') WHERE name IN ('dns_median', 'dns_failures')");
    lookupColumns = !rows.empty() && !rows.front().empty() && rows.front().front() == Value::integer(2);
    return *lookupColumns;
}

std::optional<HistoryStore::AggregateKey> HistoryStore::aggregateKey(const Database::Cursor& row) {
    const auto start = row.integer(0), seconds = row.integer(1);
    const auto host = row.text(3), address = row.text(4), protocolText = row.text(5);
    const auto protocol = protocolText ? parseProbeProtocol(*protocolText) : std::nullopt;
    const auto sent = row.integer(6), lost = row.integer(7), late = row.integer(8);
    if (!start || !seconds || !host || !address || !protocol || !sent || !lost || !late) return std::nullopt;
    return AggregateKey{*start, *seconds, *host, *address, *protocol, *sent, *lost, *late};
}

std::optional<std::int64_t> HistoryStore::oldestStart() const {
    auto rows = db->query("SELECT min(start) FROM periods");
    if (rows.empty() || rows.front().empty()) return std::nullopt;
    return integerOf(rows.front().front());
}

std::vector<PeriodRow> HistoryStore::periods(const std::string& condition, const std::vector<Value>& values,
                                             std::size_t expectedRows) const {
    std::vector<PeriodRow> result;
    result.reserve(expectedRows);
    const std::string lookupColumns = hasLookupColumns() ? "dns_median, dns_failures" : "NULL, NULL";
    const std::string loadColumns =
        hasLoadColumns() ? "sent_bytes, received_bytes, peak_sent_bps, peak_received_bps" : "NULL, NULL, NULL, NULL";
    db->each("SELECT start, seconds, state, rssi, " + lookupColumns + ", " + loadColumns + " FROM periods WHERE " + condition +
                 " ORDER BY start",
             values,
             [&](const Database::Cursor& row) {
                 auto start = row.integer(0);
                 auto seconds = row.integer(1);
                 auto stateText = row.text(2);
                 auto periodState = stateText ? parseMinuteState(*stateText) : std::nullopt;
                 if (!start || !seconds || !periodState) return;
                 result.push_back({*start, *seconds, *periodState, row.integer(3), row.real(4), row.integer(5),
                                   row.integer(6), row.integer(7), row.real(8), row.real(9)});
             });
    return result;
}

std::vector<AggregateRow> HistoryStore::aggregates(const std::string& condition,
                                                   const std::vector<Value>& values) const {
    std::vector<AggregateRow> result;
    const std::string loadColumns = hasLoadColumns()
                                        ? "busy_upload_median, busy_upload_replies, busy_download_median, busy_download_replies"
                                        : "NULL, NULL, NULL, NULL";
    // Rows come in key order, so the role's text mostly repeats: parse it once per run.
    std::string lastRoleText;
    std::optional<TargetRole> lastRole;
    std::vector<std::int64_t> order;
    const bool keyed = hasKeyedTables();
    db->each(std::string(keyed ? rolesCTE : "") +
                 "SELECT start, seconds, role, host, address, protocol, sent, lost, late, median, p95, jitter, " + loadColumns +
                 " FROM aggregates WHERE " + (keyed ? "role IN (SELECT role FROM roles) AND (" + condition + ")" : condition),
             values, [&](const Database::Cursor& row) {
                 auto roleText = row.text(2);
                 if (roleText && *roleText != lastRoleText) {
                     lastRoleText = *roleText;
                     lastRole = TargetRole::parse(lastRoleText);
                 }
                 auto role = roleText ? lastRole : std::nullopt;
                 const auto key = aggregateKey(row);
                 if (!role || !key) return;
                 result.push_back({key->start, key->seconds, *role, std::string(key->host), std::string(key->address),
                                   key->protocol, key->sent, key->lost, key->late, row.real(9), row.real(10), row.real(11),
                                   row.real(12), row.integer(13), row.real(14), row.integer(15)});
                 order.push_back(roleOrder(*role));
             });
    // Sorted through an index, so that each row moves once.
    std::vector<std::size_t> sorted(result.size());
    for (std::size_t i = 0; i < sorted.size(); ++i) sorted[i] = i;
    std::stable_sort(sorted.begin(), sorted.end(), [&](std::size_t a, std::size_t b) {
        if (result[a].start != result[b].start) return result[a].start < result[b].start;
        if (order[a] != order[b]) return order[a] < order[b];
        return result[a].address < result[b].address;
    });
    std::vector<AggregateRow> ordered;
    ordered.reserve(result.size());
    for (std::size_t i : sorted) ordered.push_back(std::move(result[i]));
    return ordered;
}

std::vector<NetworkEvent> HistoryStore::events(const std::string& condition, const std::vector<Value>& values) const {
    std::vector<NetworkEvent> result;
    for (const Database::Row& row :
         db->query("SELECT kind, role, host, address, start, end, worst FROM events WHERE " + condition, values)) {
        if (row.size() < 7) continue;
        auto* kindText = textOf(row[0]);
        auto kind = kindText ? parseNetworkEventKind(*kindText) : std::nullopt;
        auto* roleText = textOf(row[1]);
        auto role = roleText ? TargetRole::parse(*roleText) : std::nullopt;
        auto* host = textOf(row[2]);
        auto* addressText = textOf(row[3]);
        auto address = addressText ? eventAddress(*addressText) : std::nullopt;
        auto start = realOf(row[4]);
        auto end = realOf(row[5]);
        if (!kind || !role || !host || !address || !start || !end) continue;
        result.push_back({*kind, *role, *host, *address, *start, *end, realOf(row[6])});
    }
    return result;
}

}  // namespace nerivane
