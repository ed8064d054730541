#include "NerivaneKit/history/HistoryCSV.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>

namespace nerivane::HistoryCSV {

namespace {

using Value = Database::Value;

// Timestamps have no fractions: a fractional date shows its whole second.
std::string timestamp(double unixSeconds, const TimeZone& zone) {
    return zone.iso8601(static_cast<std::int64_t>(std::floor(unixSeconds)));
}

// Numbers written in place, the POSIX way, without a string each.
void appendInteger(std::string& out, std::int64_t value) {
    char buffer[24];
    out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

void appendFixed(std::string& out, double value, int decimals) {
    char buffer[400];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    if (error == std::errc{}) out.append(buffer, end);
}

void appendOptional(std::string& out, const std::optional<double>& value, int decimals) {
    if (value) appendFixed(out, *value, decimals);
}

void appendEscaped(std::string& out, std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += text;
        return;
    }
    out += '"';
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

// The period's own fields after the target's: signal, name lookups, bytes.
std::string periodFields(const PeriodRow& period) {
    std::string fields;
    if (period.rssi) appendInteger(fields, *period.rssi);
    fields += ',';
    appendOptional(fields, period.dnsMedian, 3);
    fields += ',';
    if (period.dnsFailures) appendInteger(fields, *period.dnsFailures);
    fields += ',';
    if (period.sentBytes) appendInteger(fields, *period.sentBytes);
    fields += ',';
    if (period.receivedBytes) appendInteger(fields, *period.receivedBytes);
    return fields;
}

// Collects the text in pieces and hands each on once it is large enough.
class Output {
public:
    explicit Output(const Sink& write) : write_(write) { text.reserve(piece + 4096); }
    ~Output() = default;
    void lineDone() {
        text += '\n';
        if (text.size() >= piece) flush();
    }
    void flush() {
        if (!text.empty()) write_(text);
        text.clear();
    }
    std::string text;

private:
    static constexpr std::size_t piece = 64 * 1024;
    const Sink& write_;
};

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

void measurements(const std::vector<PeriodRow>& periods, const std::vector<AggregateRow>& aggregates, double from,
                  double end, std::int64_t boundary, const TimeZone& zone, const Sink& write) {
    // One period per start; an hour row beats a minute row at the same start.
    // Only minutes and hours are written; a row of another length, or one
    // whose end does not fit in 64 bits, is damage and is left out.
    std::vector<const PeriodRow*> byStart;
    byStart.reserve(periods.size());
    for (const PeriodRow& row : periods) {
        if (row.seconds != 60 && row.seconds != 3600) continue;
        if (row.start > std::numeric_limits<std::int64_t>::max() - row.seconds) continue;
        byStart.push_back(&row);
    }
    std::stable_sort(byStart.begin(), byStart.end(), [](const PeriodRow* a, const PeriodRow* b) { return a->start < b->start; });
    std::vector<const PeriodRow*> unique;
    unique.reserve(byStart.size());
    for (const PeriodRow* row : byStart) {
        if (!unique.empty() && unique.back()->start == row->start) {
            if (row->seconds > unique.back()->seconds) unique.back() = row;
        } else {
            unique.push_back(row);
        }
    }

    Output out(write);
    out.text += measurementsHeader;
    out.lineDone();
    auto startOfFrom = HistoryStore::minuteStart(from);
    if (!startOfFrom || !std::isfinite(end)) return out.flush();
    std::int64_t t = *startOfFrom;
    if (t < boundary) t = HistoryStore::hourStart(t);
    // The minute start at or after end: where the last gap stops.
    const double endMinute = std::ceil(end / 60) * 60;
    const std::int64_t limit = endMinute >= 9.2e18 ? std::numeric_limits<std::int64_t>::max()
                                                   : static_cast<std::int64_t>(endMinute);

    // The aggregate rows come sorted by start: a period's rows are the run
    // at its start with its length, met by a cursor that only moves on.
    std::size_t row = 0;
    auto cursor = unique.begin();
    while (static_cast<double>(t) < end) {
        while (cursor != unique.end() && (*cursor)->start < t) ++cursor;
        if (cursor != unique.end() && (*cursor)->start == t) {
            const PeriodRow& period = **cursor;
            std::string head = zone.iso8601(t);
            head += ',';
            appendInteger(head, period.seconds);
            head += ',';
            head += nerivane::text(period.state);
            head += ',';
            const std::string tail = periodFields(period);
            while (row < aggregates.size() && aggregates[row].start < period.start) ++row;
            bool any = false;
            for (std::size_t i = row; i < aggregates.size() && aggregates[i].start == period.start; ++i) {
                const AggregateRow& line = aggregates[i];
                if (line.seconds != period.seconds) continue;
                any = true;
                std::string& text = out.text;
                text += head;
                appendEscaped(text, line.host);
                text += ',';
                appendEscaped(text, line.address);
                text += ',';
                text += nerivane::text(line.probeProtocol);
                text += ',';
                appendInteger(text, line.sent);
                text += ',';
                appendInteger(text, line.lost);
                text += ',';
                appendInteger(text, line.late);
                text += ',';
                if (line.sent > 0) appendFixed(text, static_cast<double>(line.lost) * 100 / static_cast<double>(line.sent), 1);
                else text += "0.0";
                text += ',';
                appendOptional(text, line.median, 3);
                text += ',';
                appendOptional(text, line.p95, 3);
                text += ',';
                appendOptional(text, line.jitter, 3);
                text += ',';
                text += tail;
                text += ',';
                appendOptional(text, line.busyUploadMedian, 3);
                text += ',';
                appendOptional(text, line.busyDownloadMedian, 3);
                out.lineDone();
            }
            if (!any) {
                out.text += head;
                out.text += ",,,,,,,,,,";
                out.text += tail;
                out.text += ",,";
                out.lineDone();
            }
            t += period.seconds;
        } else {
            // One line for the whole gap, its length in period_s: a damaged
            // row decades back costs one line, not one per missing minute.
            const std::int64_t next = std::min(cursor != unique.end() ? (*cursor)->start : limit, limit);
            if (next <= t) break;
            out.text += zone.iso8601(t);
            out.text += ',';
            appendInteger(out.text, next - t);
            out.text += ",not_running,,,,,,,,,,,,,,,,,";
            out.lineDone();
            t = next;
        }
    }
    out.flush();
}

std::string measurements(const std::vector<PeriodRow>& periods, const std::vector<AggregateRow>& aggregates, double from,
                         double end, std::int64_t boundary, const TimeZone& zone) {
    std::string text;
    measurements(periods, aggregates, from, end, boundary, zone, [&](std::string_view piece) { text += piece; });
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

void exportAggregates(const HistoryStore& store, double from, double to, double now, const Sink& write) {
    auto nowMinute = HistoryStore::minuteStart(now);
    auto boundary = HistoryStore::rollupBoundary(now);
    if (!nowMinute || !boundary) return measurements({}, {}, from, from, 0, store.timeZone, write);
    const double end = std::min(to, static_cast<double>(*nowMinute));
    // Only rows of a minute or an hour are written, so none that starts an
    // hour or more before `from` is: the lower bound on the start lets the
    // key skip the older rows.
    const std::vector<Value> window{Value::real(from - 3600), Value::real(end), Value::real(from)};
    const std::string condition = "start > ? AND start < ? AND start + seconds > ?";
    measurements(store.periods(condition, window), store.aggregates(condition, window), from, end, *boundary, store.timeZone,
                 write);
}

std::string exportAggregates(const HistoryStore& store, double from, double to, double now) {
    std::string text;
    exportAggregates(store, from, to, now, [&](std::string_view piece) { text += piece; });
    return text;
}

std::string exportEvents(const HistoryStore& store, double from, double to) {
    return events(store.events("end > ? AND start < ? ORDER BY start", {Value::real(from), Value::real(to)}),
                  store.timeZone);
}

}  // namespace nerivane::HistoryCSV
