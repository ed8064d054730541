#include "NerivaneKit/history/HistoryQueries.h"

#include <algorithm>
#include <cmath>

#include "NerivaneKit/statistics/Statistics.h"

namespace nerivane {

using Value = Database::Value;

// The roles present, each found by one step down the key: with it a read of
// every target's rows becomes one key range per role instead of a scan.
const std::string HistoryQueries::rolesCTE =
    "WITH RECURSIVE roles (role) AS (SELECT min(role) FROM aggregates UNION ALL "
    "SELECT (SELECT min(role) FROM aggregates WHERE role > roles.role) FROM roles WHERE roles.role IS NOT NULL) ";

namespace {

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

}  // namespace

HistoryQueries::HistoryQueries(std::shared_ptr<Database> db, TimeZone timeZone)
    : schema_(std::move(db)), timeZone_(timeZone) {}

std::optional<std::int64_t> HistoryQueries::minuteStart(Date date) {
    const double t = unixSeconds(date);
    if (!std::isfinite(t)) return std::nullopt;
    const double minute = std::floor(t / 60) * 60;
    if (!(minute >= int64Low && minute < int64High)) return std::nullopt;
    return static_cast<std::int64_t>(minute);
}

std::int64_t HistoryQueries::hourStart(std::int64_t s) {
    std::int64_t remainder = s % 3600;
    if (remainder < 0) remainder += 3600;
    return s - remainder;
}

std::optional<std::int64_t> HistoryQueries::rollupBoundary(Date now) {
    auto minute = minuteStart(now);
    if (!minute) return std::nullopt;
    return hourStart(*minute - rollupAge);
}

std::optional<std::int64_t> HistoryQueries::signal(std::vector<double> readings) {
    std::sort(readings.begin(), readings.end());
    auto median = Statistics::percentile(readings, 0.5);
    if (!median) return std::nullopt;
    return static_cast<std::int64_t>(std::round(*median));
}

std::int64_t HistoryQueries::roleOrder(const TargetRole& role) {
    switch (role.kind) {
    case TargetRole::Kind::router: return 0;
    case TargetRole::Kind::internet: return role.index + 1;
    case TargetRole::Kind::internetIPv6: return 3;
    case TargetRole::Kind::custom: return role.index + 4;
    case TargetRole::Kind::provider: return 6;
    }
    return 0;
}

LinkCapacity HistoryQueries::linkCapacity(Date date) const {
    const double now = unixSeconds(date);
    if (!schema_.hasLoadColumns()) return {};
    std::vector<double> sent, received;
    Database& db = database();
    db.each("SELECT peak_sent_bps, peak_received_bps FROM periods WHERE seconds = 60 AND start >= ? AND start < ?",
            {Value::real(now - capacityDays * 86400), Value::real(now)}, [&](const Database::Cursor& row) {
                if (auto peak = realOf(row.value(0))) sent.push_back(*peak);
                if (auto peak = realOf(row.value(1))) received.push_back(*peak);
            });
    return {capacityOf(std::move(sent)), capacityOf(std::move(received))};
}

double HistoryQueries::capacityOf(std::vector<double> peaks) {
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

std::optional<double> HistoryQueries::weightedMedian(std::vector<std::pair<double, double>> pairs) {
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

std::optional<HistoryQueries::AggregateKey> HistoryQueries::aggregateKey(const Database::Cursor& row) {
    const auto start = row.integer(0), seconds = row.integer(1);
    const auto host = row.text(3), address = row.text(4), protocolText = row.text(5);
    const auto protocol = protocolText ? parseProbeProtocol(*protocolText) : std::nullopt;
    const auto sent = row.integer(6), lost = row.integer(7), late = row.integer(8);
    if (!start || !seconds || !host || !address || !protocol || !sent || !lost || !late) return std::nullopt;
    return AggregateKey{*start, *seconds, *host, *address, *protocol, *sent, *lost, *late};
}

std::optional<std::int64_t> HistoryQueries::oldestStart() const {
    auto rows = database().query("SELECT min(start) FROM periods");
    if (rows.empty() || rows.front().empty()) return std::nullopt;
    return integerOf(rows.front().front());
}

std::vector<PeriodRow> HistoryQueries::periods(const std::string& condition, const std::vector<Value>& values,
                                               std::size_t expectedRows) const {
    std::vector<PeriodRow> result;
    result.reserve(expectedRows);
    Database& db = database();
    const std::string lookupColumns = schema_.hasLookupColumns() ? "dns_median, dns_failures" : "NULL, NULL";
    const std::string loadColumns =
        schema_.hasLoadColumns() ? "sent_bytes, received_bytes, peak_sent_bps, peak_received_bps" : "NULL, NULL, NULL, NULL";
    db.each("SELECT start, seconds, state, rssi, " + lookupColumns + ", " + loadColumns + " FROM periods WHERE " + condition +
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

std::vector<AggregateRow> HistoryQueries::aggregates(const std::string& condition,
                                                     const std::vector<Value>& values) const {
    std::vector<AggregateRow> result;
    const std::string loadColumns = schema_.hasLoadColumns()
                                        ? "busy_upload_median, busy_upload_replies, busy_download_median, busy_download_replies"
                                        : "NULL, NULL, NULL, NULL";
    // Rows come in key order, so the role's text mostly repeats: parse it once per run.
    std::string lastRoleText;
    std::optional<TargetRole> lastRole;
    std::vector<std::int64_t> order;
    const bool keyed = schema_.hasKeyedTables();
    Database& db = database();
    db.each(std::string(keyed ? rolesCTE : "") +
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

std::vector<NetworkEvent> HistoryQueries::events(const std::string& condition, const std::vector<Value>& values) const {
    std::vector<NetworkEvent> result;
    Database& db = database();
    for (const Database::Row& row :
         db.query("SELECT kind, role, host, address, start, end, worst FROM events WHERE " + condition, values)) {
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
