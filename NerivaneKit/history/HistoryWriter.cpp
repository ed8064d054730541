#include "NerivaneKit/history/HistoryWriter.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

#include "NerivaneKit/history/HistorySchema.h"
#include "NerivaneKit/platform/Invariants.h"
#include "NerivaneKit/statistics/Statistics.h"

namespace nerivane {

using Value = Database::Value;

// A second write of a minute merges: "measured" is never overwritten, a
// stored signal reading and lookup median win, lookup failures and bytes add
// up and the higher peak wins. Parameters left unbound are NULL.
const std::string HistoryWriter::insertPeriodSQL =
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
const std::string HistoryWriter::insertAggregateSQL =
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

const std::string HistoryWriter::insertEventSQL =
    "INSERT INTO events (kind, role, host, address, start, end, worst) VALUES (?, ?, ?, ?, ?, ?, ?)";

namespace {

const std::string deleteMinuteAggregatesSQL = "DELETE FROM aggregates WHERE seconds = 60 AND start < ?";
const std::string deleteMinutePeriodsSQL = "DELETE FROM periods WHERE seconds = 60 AND start < ?";
const std::string retainAggregatesSQL = "DELETE FROM aggregates WHERE start + seconds <= ?";
const std::string retainPeriodsSQL = "DELETE FROM periods WHERE start + seconds <= ?";
const std::string retainEventsSQL = "DELETE FROM events WHERE end < ?";
const std::string minuteRowsCondition = "seconds = 60 AND start < ?";

// Consecutive counter reads meet: one starts where the previous ended, give
// or take half a second (the date and the length come from two clocks).
bool readsMeet(const TrafficSample& previous, const TrafficSample& next) {
    return std::fabs(next.date - next.seconds - previous.date) <= 0.5;
}

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

Value optionalReal(const std::optional<double>& value) { return value ? Value::real(*value) : Value::null(); }
Value optionalInteger(const std::optional<std::int64_t>& value) {
    return value ? Value::integer(*value) : Value::null();
}

}  // namespace

std::size_t HistoryWriter::KeyHash::operator()(const Key& key) const noexcept {
    std::size_t hash = std::hash<TargetRole>{}(key.role);
    hash = hash * 31 + std::hash<std::string>{}(key.host);
    hash = hash * 31 + std::hash<std::string>{}(key.address);
    return hash * 2 + static_cast<std::size_t>(key.probeProtocol);
}

HistoryWriter::HistoryWriter(std::shared_ptr<Database> database, TimeZone zone)
    : db_(database), queries_(std::move(database), zone) {}

void HistoryWriter::prepareSchema() {
    HistorySchema(db_).prepareSchema();
    // Answers asked before the migration would describe the file before it.
    queries_ = HistoryQueries(db_, queries_.timeZone());
}

void HistoryWriter::setRetentionDays(int days) { retentionDays_ = days; }

void HistoryWriter::setMayMaintain(std::function<bool(Date now)> mayMaintain) { mayMaintain_ = std::move(mayMaintain); }

HistoryWriter::OpenMinute& HistoryWriter::openMinute(std::int64_t minute, MinuteState initial) {
    auto found = open_.find(minute);
    if (found == open_.end()) {
        OpenMinute content;
        content.state = initial;
        found = open_.emplace(minute, std::move(content)).first;
    }
    return found->second;
}

void HistoryWriter::record(const ProbeRecord& probe) {
    auto minute = HistoryQueries::minuteStart(dateFromUnixSeconds(probe.sentAt));
    if (!minute) return;  // an unusable date cannot be placed in any minute
    Key key{probe.target.role, probe.target.host, probe.target.address.text(), probe.probeProtocol};
    Accumulator& accumulator = openMinute(*minute, state_).targets[key];
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
    NERIVANE_CHECK_INVARIANTS();
}

void HistoryWriter::recordLookups(Date date, const std::vector<LookupOutcome>& outcomes) {
    auto minute = HistoryQueries::minuteStart(date);
    if (!minute || outcomes.empty()) return;
    OpenMinute& content = openMinute(*minute, state_);
    for (const LookupOutcome& outcome : outcomes) {
        content.lookups += 1;
        if (outcome.seconds) content.lookupMilliseconds.push_back(*outcome.seconds * 1000);
        else content.lookupFailures += 1;
    }
    NERIVANE_CHECK_INVARIANTS();
}

void HistoryWriter::recordRSSI(Date at, std::optional<std::int64_t> rssi) {
    auto minute = HistoryQueries::minuteStart(at);
    if (!minute) return;
    OpenMinute& content = openMinute(*minute, state_);
    if (rssi) content.rssi.push_back(*rssi);
    NERIVANE_CHECK_INVARIANTS();
}

void HistoryWriter::markAsleep(Date from, Date to) {
    auto first = HistoryQueries::minuteStart(from);
    auto last = HistoryQueries::minuteStart(to);
    if (!first || !last || *first >= *last) return;
    for (std::int64_t minute = *first; minute < *last; minute += 60)
        openMinute(minute, MinuteState::asleep).state = MinuteState::asleep;
    NERIVANE_CHECK_INVARIANTS();
}

void HistoryWriter::apply(MinuteState newState, Date at) {
    if (newState == state_) return;
    state_ = newState;
    if (auto minute = HistoryQueries::minuteStart(at)) openMinute(*minute, newState).state = newState;
    NERIVANE_CHECK_INVARIANTS();
}

void HistoryWriter::addEvent(const NetworkEvent& event) { pendingEvents_.push_back(event); }

void HistoryWriter::recordTraffic(const TrafficSample& sample) {
    if (!std::isfinite(sample.seconds) || !(sample.seconds > 0)) return;
    auto minute = HistoryQueries::minuteStart(dateFromUnixSeconds(sample.date));
    if (!minute) return;
    OpenMinute& content = openMinute(*minute, state_);
    if (!content.traffic) content.traffic.emplace();
    OpenMinute::Traffic& traffic = *content.traffic;
    traffic.sentBytes += sample.sentBytes;
    traffic.receivedBytes += sample.receivedBytes;

    const auto& reads = recentTraffic_.reads();
    recentTraffic_.add(sample, !reads.empty() && readsMeet(reads.back(), sample));
    if (recentTraffic_.full()) {
        const RollingThroughput::Rate rate = recentTraffic_.rate();
        traffic.peakSentBitsPerSecond = std::max(traffic.peakSentBitsPerSecond.value_or(0), rate.uploadBitsPerSecond);
        traffic.peakReceivedBitsPerSecond =
            std::max(traffic.peakReceivedBitsPerSecond.value_or(0), rate.downloadBitsPerSecond);
    }
    NERIVANE_CHECK_INVARIANTS();
}

void HistoryWriter::writeMinute(std::int64_t minute, const OpenMinute& content) {
    bool sampled = false;
    for (const auto& [key, accumulator] : content.targets) sampled = sampled || !accumulator.samples.empty();
    const MinuteState periodState = sampled ? MinuteState::measured : content.state;

    std::vector<double> readings(content.rssi.begin(), content.rssi.end());
    auto rssi = HistoryQueries::signal(std::move(readings));
    const auto& traffic = content.traffic;
    db_->run(insertPeriodSQL,
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
        db_->run(insertAggregateSQL,
                 {Value::integer(minute), Value::integer(60), Value::text(key.role.text()), Value::text(key.host),
                  Value::text(key.address), Value::text(std::string(text(key.probeProtocol))), Value::integer(sent),
                  Value::integer(lost), Value::integer(accumulator.late),
                  optionalReal(Statistics::percentile(rtts, 0.5)), optionalReal(Statistics::percentile(rtts, 0.95)),
                  optionalReal(Statistics::jitter(samples)), optionalReal(medianOf(accumulator.busyUpload)),
                  busyCount(accumulator.busyUpload), optionalReal(medianOf(accumulator.busyDownload)),
                  busyCount(accumulator.busyDownload)});
    }
}

void HistoryWriter::writeEvent(const NetworkEvent& event) {
    db_->run(insertEventSQL, {Value::text(std::string(text(event.kind))), Value::text(event.role.text()),
                              Value::text(event.host), Value::text(event.address.text()), Value::real(event.start),
                              Value::real(event.end), optionalReal(event.worstRTT)});
}

void HistoryWriter::flush(Date cutoff, Date now, bool force) {
    // A clock set back must not hold writes (and the minutes in memory) until
    // it has caught up again: a date before the last write passes the limit.
    if (!force && lastWrite_ && now >= *lastWrite_ && now - *lastWrite_ < writeInterval) return;

    std::vector<std::int64_t> closed;
    for (const auto& [minute, content] : open_) {
        if (unixSeconds(cutoff) >= static_cast<double>(minute) + 60) closed.push_back(minute);
    }
    if (!closed.empty() || !pendingEvents_.empty()) {
        db_->transaction([&] {
            for (std::int64_t minute : closed) writeMinute(minute, open_.at(minute));
            for (const NetworkEvent& event : pendingEvents_) writeEvent(event);
        });
        for (std::int64_t minute : closed) open_.erase(minute);
        pendingEvents_.clear();
    }
    lastWrite_ = now;

    const bool due = !lastMaintenance_ || now < *lastMaintenance_ || now - *lastMaintenance_ >= maintenanceInterval;
    if (due && (!mayMaintain_ || mayMaintain_(now))) {
        rollup(now);
        applyRetention(now);
        lastMaintenance_ = now;
    }
    NERIVANE_CHECK_INVARIANTS();
}

void HistoryWriter::rollup(Date now) {
    auto boundary = HistoryQueries::rollupBoundary(now);
    if (!boundary) return;
    const std::vector<Value> boundaryValue{Value::integer(*boundary)};

    struct HourKey {
        std::int64_t hour;
        std::int64_t roleOrder;
        std::string role, host, address, protocol;
        auto operator<=>(const HourKey&) const = default;
    };
    std::map<HourKey, std::vector<AggregateRow>> hourAggregates;
    for (AggregateRow& row : queries_.aggregates(minuteRowsCondition, boundaryValue)) {
        HourKey key{HistoryQueries::hourStart(row.start), HistoryQueries::roleOrder(row.role), row.role.text(), row.host,
                    row.address, std::string(text(row.probeProtocol))};
        hourAggregates[key].push_back(std::move(row));
    }
    std::map<std::int64_t, std::vector<PeriodRow>> hourPeriods;
    for (PeriodRow& row : queries_.periods(minuteRowsCondition, boundaryValue))
        hourPeriods[HistoryQueries::hourStart(row.start)].push_back(row);

    db_->transaction([&] {
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
            auto rssi = HistoryQueries::signal(std::move(readings));
            db_->run(insertPeriodSQL,
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
            db_->run(insertAggregateSQL,
                     {Value::integer(key.hour), Value::integer(3600), Value::text(key.role), Value::text(key.host),
                      Value::text(key.address), Value::text(key.protocol), Value::integer(sent), Value::integer(lost),
                      Value::integer(late), optionalReal(Statistics::percentile(medians, 0.5)),
                      optionalReal(Statistics::percentile(p95s, 0.95)), jitter,
                      optionalReal(HistoryQueries::weightedMedian(std::move(busyUpload))), optionalInteger(uploadReplies),
                      optionalReal(HistoryQueries::weightedMedian(std::move(busyDownload))), optionalInteger(downloadReplies)});
        }
        db_->run(deleteMinuteAggregatesSQL, boundaryValue);
        db_->run(deleteMinutePeriodsSQL, boundaryValue);
    });
}

void HistoryWriter::applyRetention(Date now) {
    if (retentionDays_ < 1) return;
    const std::vector<Value> limit{Value::real(unixSeconds(now) - static_cast<double>(retentionDays_) * 86400)};
    db_->run(retainAggregatesSQL, limit);
    db_->run(retainPeriodsSQL, limit);
    db_->run(retainEventsSQL, limit);
}

HistoryWriter::Dropped HistoryWriter::dropOldestMinutes(std::size_t limit) {
    if (open_.size() <= limit) return {};
    const std::size_t excess = open_.size() - limit;
    auto end = std::next(open_.begin(), static_cast<std::ptrdiff_t>(excess));
    const Dropped dropped{excess, open_.begin()->first, std::prev(end)->first};
    open_.erase(open_.begin(), end);
    NERIVANE_CHECK_INVARIANTS();
    return dropped;
}

std::size_t HistoryWriter::dropOldestEvents(std::size_t limit) {
    if (pendingEvents_.size() <= limit) return 0;
    const std::size_t excess = pendingEvents_.size() - limit;
    pendingEvents_.erase(pendingEvents_.begin(), pendingEvents_.begin() + static_cast<std::ptrdiff_t>(excess));
    return excess;
}

bool HistoryWriter::invariantsHold() const {
    for (const auto& [minute, content] : open_) {
        if (minute % 60 != 0) return false;
    }
    const auto& reads = recentTraffic_.reads();
    for (std::size_t i = 1; i < reads.size(); ++i) {
        if (!readsMeet(reads[i - 1], reads[i])) return false;
    }
    return recentTraffic_.invariantsHold();
}

}  // namespace nerivane
