#include "NerivaneKit/history/HistoryCSV.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <unordered_map>

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

// One target as the export writes it: its place in the order of lines and
// its fields, escaped once for all its lines.
struct LineTarget {
    std::int64_t order = 0;
    std::string address;
    // "host,address,protocol,"
    std::string fields;
};

// One aggregate row without its texts, which its target holds.
struct Line {
    std::int64_t start = 0, seconds = 0;
    std::uint32_t target = 0;
    std::int64_t sent = 0, lost = 0, late = 0;
    std::optional<double> median, p95, jitter, busyUpload, busyDownload;
};

// The rows of the window, each target's texts kept once.
struct Lines {
    std::vector<LineTarget> targets;
    std::vector<Line> rows;

    // The index of the target of (role, host, address, protocol); rows come
    // grouped by target, so the last one asked for is checked first.
    std::uint32_t target(const TargetRole& role, std::string_view host, std::string_view address, ProbeProtocol protocol) {
        key.clear();
        key += role.text();
        key += '\0';
        key += host;
        key += '\0';
        key += address;
        key += '\0';
        key += nerivane::text(protocol);
        if (last && key == lastKey) return *last;
        auto [found, added] = index.try_emplace(key, static_cast<std::uint32_t>(targets.size()));
        if (added) {
            LineTarget& made = targets.emplace_back();
            made.order = HistoryQueries::roleOrder(role);
            made.address = std::string(address);
            appendEscaped(made.fields, host);
            made.fields += ',';
            appendEscaped(made.fields, address);
            made.fields += ',';
            made.fields += nerivane::text(protocol);
            made.fields += ',';
        }
        lastKey = key;
        last = found->second;
        return found->second;
    }

    // The order of lines: by start, role order and address; a stable sort
    // keeps rows equal in all three in the order they came.
    bool before(const Line& a, const Line& b) const {
        if (a.start != b.start) return a.start < b.start;
        const LineTarget& x = targets[a.target];
        const LineTarget& y = targets[b.target];
        if (x.order != y.order) return x.order < y.order;
        return x.address < y.address;
    }

private:
    std::unordered_map<std::string, std::uint32_t> index;
    std::string key, lastKey;
    std::optional<std::uint32_t> last;
};

// Fills `group` with the lines of the period at (start, seconds), in the order they are written.
using GroupOf = std::function<void(std::int64_t start, std::int64_t seconds, std::vector<Line>& group)>;

// The measurements text; the periods' lines come from groupOf, asked in
// ascending order of start.
void writeMeasurements(const std::vector<PeriodRow>& periods, const Lines& lines, const GroupOf& groupOf, double from,
                       double end, std::int64_t boundary, const TimeZone& zone, const Sink& write);

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

namespace {

void writeMeasurements(const std::vector<PeriodRow>& periods, const Lines& lines, const GroupOf& groupOf, double from,
                       double end, std::int64_t boundary, const TimeZone& zone, const Sink& write) {
    std::vector<Line> group;
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
    auto startOfFrom = HistoryQueries::minuteStart(dateFromUnixSeconds(from));
    if (!startOfFrom || !std::isfinite(end)) return out.flush();
    std::int64_t t = *startOfFrom;
    if (t < boundary) t = HistoryQueries::hourStart(t);
    // The minute start at or after end: where the last gap stops.
    const double endMinute = std::ceil(end / 60) * 60;
    const std::int64_t limit = endMinute >= 9.2e18 ? std::numeric_limits<std::int64_t>::max()
                                                   : static_cast<std::int64_t>(endMinute);

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
            groupOf(period.start, period.seconds, group);
            for (const Line& line : group) {
                std::string& text = out.text;
                text += head;
                text += lines.targets[line.target].fields;
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
                appendOptional(text, line.busyUpload, 3);
                text += ',';
                appendOptional(text, line.busyDownload, 3);
                out.lineDone();
            }
            if (group.empty()) {
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

}  // namespace

void measurements(const std::vector<PeriodRow>& periods, const std::vector<AggregateRow>& aggregates, Date from,
                  Date end, std::int64_t boundary, const TimeZone& zone, const Sink& write) {
    Lines lines;
    lines.rows.reserve(aggregates.size());
    for (const AggregateRow& row : aggregates)
        lines.rows.push_back({row.start, row.seconds, lines.target(row.role, row.host, row.address, row.probeProtocol),
                              row.sent, row.lost, row.late, row.median, row.p95, row.jitter, row.busyUploadMedian,
                              row.busyDownloadMedian});
    std::stable_sort(lines.rows.begin(), lines.rows.end(), [&](const Line& a, const Line& b) { return lines.before(a, b); });
    // A period's rows are the run at its start with its length, met by a
    // cursor that only moves on.
    std::size_t next = 0;
    const GroupOf groupOf = [&](std::int64_t start, std::int64_t seconds, std::vector<Line>& group) {
        group.clear();
        while (next < lines.rows.size() && lines.rows[next].start < start) ++next;
        for (std::size_t i = next; i < lines.rows.size() && lines.rows[i].start == start; ++i)
            if (lines.rows[i].seconds == seconds) group.push_back(lines.rows[i]);
    };
    writeMeasurements(periods, lines, groupOf, unixSeconds(from), unixSeconds(end), boundary, zone, write);
}

std::string measurements(const std::vector<PeriodRow>& periods, const std::vector<AggregateRow>& aggregates, Date from,
                         Date end, std::int64_t boundary, const TimeZone& zone) {
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

void exportAggregates(const HistoryQueries& queries, Date fromDate, Date toDate, Date now, const Sink& write) {
    auto nowMinute = HistoryQueries::minuteStart(now);
    auto boundary = HistoryQueries::rollupBoundary(now);
    if (!nowMinute || !boundary) return measurements({}, {}, fromDate, fromDate, 0, queries.timeZone(), write);
    const double from = unixSeconds(fromDate);
    const double end = std::min(unixSeconds(toDate), static_cast<double>(*nowMinute));
    // Only rows of a minute or an hour are written, so none that starts an
    // hour or more before `from` is: the lower bound on the start lets the
    // key skip the older rows.
    const std::vector<Value> window{Value::real(from - 3600), Value::real(end), Value::real(from)};
    const std::string condition = "start > ? AND start < ? AND start + seconds > ?";
    // One pass over each table, streamed: a statement per role steps through
    // that role's rows in start order (the table's key), and each period
    // takes the rows at its start from every role. Rows are skipped as
    // HistoryQueries::aggregates skips them; texts are kept once per target.
    Lines lines;
    const bool keyed = queries.schema().hasKeyedTables();
    const std::string loadColumns = queries.schema().hasLoadColumns() ? "busy_upload_median, busy_download_median" : "NULL, NULL";
    const std::string select = "SELECT start, seconds, role, host, address, protocol, sent, lost, late, median, p95, jitter, " +
                               loadColumns + " FROM aggregates WHERE role = ? AND " + condition +
                               " ORDER BY start, seconds, address, protocol";
    struct Stream {
        TargetRole role;
        Database::Statement statement;
        std::optional<Line> line;
    };
    std::vector<Stream> streams;
    const auto advance = [&](Stream& stream) {
        stream.line.reset();
        while (!stream.line && stream.statement.next()) {
            const Database::Cursor row = stream.statement.cursor();
            const auto key = HistoryQueries::aggregateKey(row);
            if (!key) continue;
            stream.line = Line{key->start, key->seconds, lines.target(stream.role, key->host, key->address, key->protocol),
                               key->sent, key->lost, key->late, row.real(9), row.real(10), row.real(11), row.real(12),
                               row.real(13)};
        }
    };
    const std::string roles = keyed ? HistoryQueries::rolesCTE + "SELECT role FROM roles WHERE role IS NOT NULL"
                                    : "SELECT DISTINCT role FROM aggregates";
    for (const Database::Row& found : queries.database().query(roles)) {
        const std::string* text = found.empty() ? nullptr : found.front().asText();
        const auto role = text ? TargetRole::parse(*text) : std::nullopt;
        if (!role) continue;
        std::vector<Value> values{found.front()};
        values.insert(values.end(), window.begin(), window.end());
        advance(streams.emplace_back(Stream{*role, Database::Statement(queries.database(), select, values), {}}));
    }
    const GroupOf groupOf = [&](std::int64_t start, std::int64_t seconds, std::vector<Line>& group) {
        group.clear();
        for (Stream& stream : streams) {
            while (stream.line && stream.line->start < start) advance(stream);
            for (; stream.line && stream.line->start == start; advance(stream))
                if (stream.line->seconds == seconds) group.push_back(*stream.line);
        }
        std::stable_sort(group.begin(), group.end(), [&](const Line& a, const Line& b) { return lines.before(a, b); });
    };
    writeMeasurements(queries.periods(condition, window), lines, groupOf, from, end, *boundary, queries.timeZone(), write);
}

std::string exportAggregates(const HistoryQueries& queries, Date from, Date to, Date now) {
    std::string text;
    exportAggregates(queries, from, to, now, [&](std::string_view piece) { text += piece; });
    return text;
}

std::string exportEvents(const HistoryQueries& queries, Date from, Date to) {
    return events(queries.events("end > ? AND start < ? ORDER BY start",
                                 {Value::real(unixSeconds(from)), Value::real(unixSeconds(to))}),
                  queries.timeZone());
}

}  // namespace nerivane::HistoryCSV
