#include "NerivaneKit/history/HistoryCSV.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>

namespace nerivane::HistoryCSV {

namespace {

using Value = Database::Value;

const std::string windowCondition = "start + seconds > ? AND start < ?";

// Timestamps have no fractions: a fractional date shows its whole second.
std::string timestamp(double unixSeconds, const TimeZone& zone) {
    return zone.iso8601(static_cast<std::int64_t>(std::floor(unixSeconds)));
}

void appendOptional(std::string& line, const std::optional<double>& value, int decimals) {
    if (value) line += fixed(*value, decimals);
}

// The period's name lookup figures, after the line's own columns.
std::string lookupFields(const PeriodRow& period) {
    std::string fields = ",";
    appendOptional(fields, period.dnsMedian, 3);
    fields += ',';
    if (period.dnsFailures) fields += std::to_string(*period.dnsFailures);
    return fields;
}

// The period's interface bytes, after the lookup figures.
std::string trafficFields(const PeriodRow& period) {
    std::string fields = ",";
    if (period.sentBytes) fields += std::to_string(*period.sentBytes);
    fields += ',';
    if (period.receivedBytes) fields += std::to_string(*period.receivedBytes);
    return fields;
}

}  // namespace

std::string escape(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string fixed(double value, int decimals) {
    // to_chars ignores the locale, so a German desktop still gets "1.5".
    char buffer[400];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    if (error != std::errc{}) return {};
    return std::string(buffer, end);
}

std::string measurements(const std::vector<PeriodRow>& periods, const std::vector<AggregateRow>& aggregates,
                         double from, double end, std::int64_t boundary, const TimeZone& zone) {
    std::map<HistoryStore::Key2, std::vector<const AggregateRow*>> groups;
    for (const AggregateRow& row : aggregates) groups[{row.start, row.seconds}].push_back(&row);

    // One period per start; an hour row beats a minute row at the same start.
    // Only minutes and hours are written; a row of another length, or one
    // whose end does not fit in 64 bits, is damage and is left out.
    std::map<std::int64_t, const PeriodRow*> byStart;
    for (const PeriodRow& row : periods) {
        if (row.seconds != 60 && row.seconds != 3600) continue;
        if (row.start > std::numeric_limits<std::int64_t>::max() - row.seconds) continue;
        auto [found, inserted] = byStart.emplace(row.start, &row);
        if (!inserted && row.seconds > found->second->seconds) found->second = &row;
    }

    std::string text(measurementsHeader);
    text += '\n';
    auto startOfFrom = HistoryStore::minuteStart(from);
    if (!startOfFrom || !std::isfinite(end)) return text;
    std::int64_t t = *startOfFrom;
    if (t < boundary) t = HistoryStore::hourStart(t);
    // The minute start at or after end: where the last gap stops.
    const double endMinute = std::ceil(end / 60) * 60;
    const std::int64_t limit = endMinute >= 9.2e18 ? std::numeric_limits<std::int64_t>::max()
                                                   : static_cast<std::int64_t>(endMinute);

    auto cursor = byStart.begin();
    while (static_cast<double>(t) < end) {
        while (cursor != byStart.end() && cursor->first < t) ++cursor;
        if (cursor != byStart.end() && cursor->first == t) {
            const PeriodRow& period = *cursor->second;
            std::string head = timestamp(static_cast<double>(t), zone) + "," + std::to_string(period.seconds) + "," +
                               std::string(nerivane::text(period.state)) + ",";
            auto group = groups.find({period.start, period.seconds});
            if (group == groups.end() || group->second.empty()) {
                text += head + ",,,,,,,,,,";
                if (period.rssi) text += std::to_string(*period.rssi);
                text += lookupFields(period) + trafficFields(period) + ",,\n";
            } else {
                for (const AggregateRow* row : group->second) {
                    std::string line = head;
                    line += escape(row->host) + "," + escape(row->address) + "," + std::string(nerivane::text(row->probeProtocol)) +
                            "," + std::to_string(row->sent) + "," + std::to_string(row->lost) + "," +
                            std::to_string(row->late) + ",";
                    line += row->sent > 0 ? fixed(static_cast<double>(row->lost) * 100 / static_cast<double>(row->sent), 1)
                                          : std::string("0.0");
                    line += ',';
                    appendOptional(line, row->median, 3);
                    line += ',';
                    appendOptional(line, row->p95, 3);
                    line += ',';
                    appendOptional(line, row->jitter, 3);
                    line += ',';
                    if (period.rssi) line += std::to_string(*period.rssi);
                    line += lookupFields(period) + trafficFields(period) + ',';
                    appendOptional(line, row->busyUploadMedian, 3);
                    line += ',';
                    appendOptional(line, row->busyDownloadMedian, 3);
                    text += line;
                    text += '\n';
                }
            }
            t += period.seconds;
        } else {
            // One line for the whole gap, its length in period_s: a damaged
            // row decades back costs one line, not one per missing minute.
            const std::int64_t next = std::min(cursor != byStart.end() ? cursor->first : limit, limit);
            if (next <= t) break;
            text += timestamp(static_cast<double>(t), zone) + "," + std::to_string(next - t) + ",not_running,,,,,,,,,,,,,,,,,\n";
            t = next;
        }
    }
    return text;
}

std::string events(const std::vector<NetworkEvent>& events, const TimeZone& zone) {
    std::string text(eventsHeader);
    text += '\n';
    for (const NetworkEvent& event : events) {
        text += timestamp(event.start, zone) + "," + timestamp(event.end, zone) + "," + fixed(event.end - event.start, 1) +
                "," + std::string(nerivane::text(event.kind)) + "," + escape(event.host) + "," + escape(event.address.text()) + ",";
        if (event.worstRTT) text += fixed(*event.worstRTT, 3);
        text += '\n';
    }
    return text;
}

std::string exportAggregates(const HistoryStore& store, double from, double to, double now) {
    auto nowMinute = HistoryStore::minuteStart(now);
    auto boundary = HistoryStore::rollupBoundary(now);
    if (!nowMinute || !boundary) return measurements({}, {}, from, from, 0, store.timeZone);
    const double end = std::min(to, static_cast<double>(*nowMinute));
    const std::vector<Value> window{Value::real(from), Value::real(end)};
    return measurements(store.periods(windowCondition, window), store.aggregates(windowCondition, window), from, end,
                        *boundary, store.timeZone);
}

std::string exportEvents(const HistoryStore& store, double from, double to) {
    return events(store.events("end > ? AND start < ? ORDER BY start", {Value::real(from), Value::real(to)}),
                  store.timeZone);
}

}  // namespace nerivane::HistoryCSV
