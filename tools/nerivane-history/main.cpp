// nerivane-history: reads a nerivane history database from the command line.
// It only reads: it never rolls up, prunes or creates anything, so it is safe
// to run next to the application (whose unwritten current minutes it cannot
// see) and with a retention setting other than the application's.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "NerivaneKit/history/History.h"
#include "NerivaneKit/history/HistoryCSV.h"
#include "NerivaneKit/history/HistoryChart.h"
#include "NerivaneKit/history/HistoryFile.h"
#include "NerivaneKit/history/HistoryGrades.h"
#include "NerivaneKit/history/HistoryQueries.h"
#include "NerivaneKit/history/HistoryReport.h"
#include "NerivaneKit/platform/NumberText.h"
#include "NerivaneKit/text/CommandHelp.h"
#include "NerivaneKit/text/JsonLine.h"
#include "tools/nerivane-history/Report.h"

namespace {

using nerivane::Database;
using nerivane::HistoryQueries;
using Value = Database::Value;
namespace Help = nerivane::CommandHelp;

constexpr std::string_view program = "nerivane-history";

// Every option the parser knows; --help prints them from here.
constexpr Help::Option optionTable[] = {
    {"--db", "PATH",
     "the database (default: $NERIVANE_HISTORY, else $XDG_DATA_HOME/nerivane/history.sqlite, else "
     "~/.local/share/nerivane/history.sqlite)"},
    {"--range", "RANGE", "hour, day, week, or (export and grades) all; report: day, week, month or all"},
    {"--retention", "DAYS", "the span of --range all (default 30)"},
    {"--end", "TIME",
     "export, grades, report: the window ends at TIME (Unix seconds, not later than now) instead of now; the minute "
     "holding TIME is left out, as the application's export leaves out its current one"},
    {"--role", "ROLE", "chart: router, provider, internet0, internet1, internet-ipv6, custom0 or custom1 (internet-0 and "
                       "internet[0] work too)"},
    {"--limit", "N", "events: how many (default 10)"},
    {"--csv", "", "events, chart, grades: comma-separated values with a header line, for machines (export "
                  "writes CSV anyway)"},
    {"--json", "", "events, chart, grades: JSON, one object per line, for machines"},
    {"--out", "FILE", "report: write the page to FILE (whole or not at all) instead of standard output"},
    {"--version", "", "print the version"},
    {"--help", "", "print this text"},
};

// The roles a chart can show, as the user may type them.
constexpr std::string_view roleNames = "router, provider, internet0, internet1, internet-ipv6, custom0, custom1";

std::string usage() {
    using Help::paragraph;
    return "usage: nerivane-history COMMAND [OPTIONS]\n\n" +
           paragraph("Reads the history database of nerivane and prints it, for people unless --csv or --json "
                     "asks for machines. It only reads: it never rolls up, prunes or creates anything, so it is "
                     "safe next to the running application.") +
           "\ncommands:\n" +
           Help::entries({{"export measurements", "with --range: the measurements CSV, per target and minute (or "
                                                  "hour), as the application's Export writes it"},
                          {"export events", "with --range: the events CSV (outages and latency spikes), as the "
                                            "application's Export writes it"},
                          {"events", "the latest events (--limit), newest first"},
                          {"chart", "with --range and --role: one target's median round trip, 95th percentile "
                                    "and loss per chart bucket, drawn as bars"},
                          {"grades", "with --range: latency under load: the bytes sent and received, then per "
                                     "direction and role (router; internet: the internet hosts) the idle and busy "
                                     "median round trips, the latency added and its grade"},
                          {"stats", "row counts and file size"},
                          {"report", "with --range day, week, month or all: a report to send the provider, one "
                                     "self-contained HTML page (inline style and pictures, no script) that prints "
                                     "on one to three pages for a week"}}) +
           "\noptions:\n" + Help::entries(Help::rows(optionTable)) + "\n" +
           paragraph("Grades: A+ under 5 ms added, A under 30 ms, B 60 ms, C 200 ms, D 400 ms, else F; none from "
                     "fewer than 10 busy replies. They are built from the stored minutes and hours: the busy "
                     "median of a direction weighs each period's median of its busy replies by their number; the "
                     "idle median weighs the medians of the quiet periods (counters read and no busy reply either "
                     "way) by their replies. Periods without counters (older files, no interface) count in "
                     "neither.") +
           "\n" +
           paragraph("A value that does not exist is '-' in the tables for people, empty in CSV and null in "
                     "JSON. Times are in the local time zone. Minutes the running application has not written "
                     "yet are not in the file.") +
           "\n" + paragraph("Exit status: 0 on success, 1 when the database cannot be read, 2 for a usage error.");
}

struct UsageError {
    std::string message;
};

using Arguments = Help::Arguments;

Arguments parse(int argc, char** argv) {
    auto parsed = Help::parse(optionTable, std::vector<std::string>(argv + 1, argv + argc));
    if (auto* error = std::get_if<std::string>(&parsed)) throw UsageError{*error};
    return std::get<Arguments>(std::move(parsed));
}

std::optional<std::string> option(const Arguments& arguments, const std::string& name) { return arguments.value(name); }

long positiveNumber(const std::string& text, const std::string& name) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < 1)
        throw UsageError{name + " needs a positive whole number, not " + Help::quoted(text)};
    return value;
}

// The end of an export's window: now, or --end. A later end would export
// minutes nobody could have measured yet.
double windowEnd(const Arguments& arguments, double now) {
    const auto text = option(arguments, "--end");
    if (!text) return now;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text->c_str(), &end);
    if (text->empty() || *end != '\0' || errno != 0 || !std::isfinite(value) || value <= 0 || value > now)
        throw UsageError{"--end needs a Unix time in seconds, not later than now, not " + Help::quoted(*text)};
    return value;
}

double currentDate() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// A role as typed: "internet0" and "internet-0" as well as the stored
// "internet[0]", which shells want quoted.
std::optional<nerivane::TargetRole> parseRole(const std::string& text) {
    for (const std::string kind : {"internet", "custom"}) {
        if (text.rfind(kind, 0) != 0 || text == "internet-ipv6") continue;
        std::string index = text.substr(kind.size());
        if (!index.empty() && index.front() == '-') index.erase(0, 1);
        if (!index.empty() && index.find_first_not_of("0123456789") == std::string::npos)
            return nerivane::TargetRole::parse(kind + "[" + index + "]");
    }
    return nerivane::TargetRole::parse(text);
}

// Opens an existing history database for reading; the message on failure is
// what the user sees.
struct OpenFailure {
    std::string message;
};

HistoryQueries openExisting(const std::string& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status)) throw OpenFailure{"no history database at " + path};
    if (std::filesystem::is_directory(status)) throw OpenFailure{path + " is a folder, not a history database"};
    if (access(path.c_str(), R_OK) != 0) throw OpenFailure{"cannot read " + path + ": " + std::strerror(errno)};

    try {
        return HistoryQueries(nerivane::HistoryFile::openReadOnly(path));
    } catch (const Database::Error& failure) {
        std::string message = failure.description();
        if (message.rfind("open: ", 0) == 0) message.erase(0, 6);
        throw OpenFailure{message};
    }
}

std::optional<double> spanOf(const std::string& range, long retentionDays, bool allowAll) {
    if (range == "hour") return 3600;
    if (range == "day") return 86400;
    if (range == "week") return 604800;
    if (range == "all" && allowAll) return static_cast<double>(retentionDays) * 86400;
    return std::nullopt;
}

// How a command prints: a table for people, or CSV or JSON for machines.
enum class Output { text, csv, json };

Output outputOf(const Arguments& arguments) {
    if (arguments.has("--csv") && arguments.has("--json")) throw UsageError{"--csv and --json exclude each other"};
    return arguments.has("--csv") ? Output::csv : arguments.has("--json") ? Output::json : Output::text;
}

// Missing values: empty in CSV, "-" for people.
std::string csvFixed(const std::optional<double>& value, int decimals) {
    return value ? nerivane::HistoryCSV::fixed(*value, decimals) : std::string();
}

// Round trips for people: one decimal under 10 ms, whole above.
std::string milliseconds(const std::optional<double>& value) {
    if (!value) return "-";
    return nerivane::HistoryCSV::fixed(*value, *value < 9.95 ? 1 : 0) + " ms";
}

std::string megabytes(const std::optional<std::int64_t>& bytes) {
    return bytes ? nerivane::NumberText::bytes(static_cast<double>(*bytes)) : "-";
}

// "2026-12-07 17:01:12" in the file's time zone.
std::string localTime(const HistoryQueries& queries, double seconds) {
    std::string text = queries.timeZone().iso8601(static_cast<std::int64_t>(std::floor(seconds)));
    text[10] = ' ';
    return text.substr(0, 19);
}

// "not running" for the stored "not_running".
std::string spaced(std::string text) {
    std::replace(text.begin(), text.end(), '_', ' ');
    return text;
}

// Rows of cells printed in columns two blanks apart, the last one unpadded.
void printTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    // Columns are measured in characters, not bytes: the bars are UTF-8.
    const auto columns = [](const std::string& text) {
        return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
    };
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], columns(row[i]));
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - columns(row[i]) + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::cout << line << "\n";
    }
}

// A bar of `fraction` of `width` characters, in eighths.
std::string bar(double fraction, int width) {
    static const char* const eighths[] = {"", "\u258F", "\u258E", "\u258D", "\u258C", "\u258B", "\u258A", "\u2589"};
    const long total = std::lround(std::clamp(fraction, 0.0, 1.0) * width * 8);
    std::string text;
    for (long i = 0; i < total / 8; ++i) text += "\u2588";
    return text + eighths[total % 8];
}

void printStats(const HistoryQueries& queries, const std::string& path) {
    auto single = [&](const std::string& sql) -> std::int64_t {
        auto rows = queries.database().query(sql);
        if (rows.empty() || rows.front().empty() || !rows.front().front().asInteger()) return 0;
        return *rows.front().front().asInteger();
    };
    std::error_code ignored;
    const auto size = std::filesystem::file_size(path, ignored);
    const auto wal = std::filesystem::file_size(path + "-wal", ignored);
    std::cout << "database: " << path << "\n";
    const auto shown = [](std::uintmax_t bytes) {
        return megabytes(bytes == static_cast<std::uintmax_t>(-1) ? 0 : static_cast<std::int64_t>(bytes));
    };
    std::cout << "file size: " << shown(size);
    if (wal != static_cast<std::uintmax_t>(-1)) std::cout << " (+ " << shown(wal) << " of write-ahead log)";
    std::cout << "\n";
    std::cout << "periods: " << single("SELECT count(*) FROM periods WHERE seconds = 60") << " minute rows, "
              << single("SELECT count(*) FROM periods WHERE seconds = 3600") << " hour rows\n";
    std::cout << "aggregates: " << single("SELECT count(*) FROM aggregates WHERE seconds = 60") << " minute rows, "
              << single("SELECT count(*) FROM aggregates WHERE seconds = 3600") << " hour rows\n";
    std::cout << "events: " << single("SELECT count(*) FROM events") << "\n";
    auto first = queries.periods("start = (SELECT min(start) FROM periods)", {});
    auto last = queries.periods("start = (SELECT max(start) FROM periods)", {});
    if (!first.empty() && !last.empty()) {
        std::cout << "oldest period: " << queries.timeZone().iso8601(first.front().start) << "\n";
        std::cout << "newest period: " << queries.timeZone().iso8601(last.back().start) << "\n";
    }
}

void printGrades(const HistoryQueries& queries, double from, double to, Output output) {
    const auto summary =
        nerivane::HistoryGrades::read(queries, nerivane::dateFromUnixSeconds(from), nerivane::dateFromUnixSeconds(to));
    const auto grade = [](const nerivane::HistoryGrades::Grade& row) {
        return row.grade ? std::string(nerivane::text(*row.grade)) : std::string();
    };
    const std::string fromText = queries.timeZone().iso8601(static_cast<std::int64_t>(std::floor(from)));
    const std::string toText = queries.timeZone().iso8601(static_cast<std::int64_t>(std::floor(to)));
    const auto bytes = [](const std::optional<std::int64_t>& value) { return value ? std::to_string(*value) : std::string(); };
    if (output == Output::csv) {
        std::cout << "direction,role,idle_median_ms,busy_median_ms,added_ms,busy_replies,grade,sent_bytes,received_bytes,from,to\n";
        for (const auto& row : summary.grades)
            std::cout << nerivane::text(row.direction) << "," << nerivane::HistoryGrades::text(row.role) << ","
                      << csvFixed(row.idleMedian, 3) << "," << csvFixed(row.busyMedian, 3) << "," << csvFixed(row.added, 3)
                      << "," << row.busyReplies << "," << grade(row) << "," << bytes(summary.sentBytes) << ","
                      << bytes(summary.receivedBytes) << "," << fromText << "," << toText << "\n";
        return;
    }
    if (output == Output::json) {
        std::string rows;
        for (const auto& row : summary.grades) {
            nerivane::JsonLine json;
            json.text("direction", nerivane::text(row.direction))
                .text("role", nerivane::HistoryGrades::text(row.role))
                .number("idleMedianMs", row.idleMedian)
                .number("busyMedianMs", row.busyMedian)
                .number("addedMs", row.added)
                .integer("busyReplies", row.busyReplies);
            row.grade ? json.text("grade", grade(row)) : json.null("grade");
            rows += (rows.empty() ? "" : ",") + json.str();
        }
        nerivane::JsonLine json;
        json.text("from", fromText).text("to", toText);
        summary.sentBytes ? json.integer("sentBytes", *summary.sentBytes) : json.null("sentBytes");
        summary.receivedBytes ? json.integer("receivedBytes", *summary.receivedBytes) : json.null("receivedBytes");
        std::cout << json.raw("grades", "[" + rows + "]").str() << "\n";
        return;
    }
    std::cout << "Latency under load from " << localTime(queries, from) << " to " << localTime(queries, to) << "\n"
              << "sent " << megabytes(summary.sentBytes) << ", received " << megabytes(summary.receivedBytes) << "\n\n";
    std::vector<std::vector<std::string>> rows{{"direction", "role", "idle", "busy", "added", "busy replies", "grade"}};
    for (const auto& row : summary.grades)
        rows.push_back({std::string(nerivane::text(row.direction)), std::string(nerivane::HistoryGrades::text(row.role)),
                        milliseconds(row.idleMedian), milliseconds(row.busyMedian), milliseconds(row.added),
                        std::to_string(row.busyReplies), row.grade ? grade(row) : "-"});
    printTable(rows);
}

void printEvents(const HistoryQueries& queries, const std::vector<nerivane::NetworkEvent>& events, Output output) {
    if (output == Output::csv) {
        std::cout << nerivane::HistoryCSV::events(events, queries.timeZone());
        return;
    }
    if (output == Output::json) {
        for (const auto& event : events)
            std::cout << nerivane::JsonLine()
                             .text("start", queries.timeZone().iso8601(static_cast<std::int64_t>(std::floor(event.start))))
                             .text("end", queries.timeZone().iso8601(static_cast<std::int64_t>(std::floor(event.end))))
                             .number("durationSeconds", event.duration(), 1)
                             .text("kind", nerivane::text(event.kind))
                             .text("role", event.role.text())
                             .text("target", event.host)
                             .text("address", event.address.text())
                             .number("worstRttMs", event.worstRTT)
                             .str()
                      << "\n";
        return;
    }
    if (events.empty()) {
        std::cout << "No events.\n";
        return;
    }
    std::vector<std::vector<std::string>> rows{{"start", "lasted", "kind", "target", "address", "worst"}};
    for (const auto& event : events)
        rows.push_back({localTime(queries, event.start), nerivane::NumberText::duration(event.duration()), std::string(nerivane::text(event.kind)),
                        event.host, event.address.text(), milliseconds(event.worstRTT)});
    printTable(rows);
}

void printChart(const HistoryQueries& queries, const std::vector<nerivane::ChartBucket>& buckets, nerivane::ChartRange range,
                const nerivane::TargetRole& role, Output output) {
    const auto state = [](const nerivane::ChartBucket& bucket) {
        return bucket.state ? std::string(nerivane::text(*bucket.state)) : std::string();
    };
    if (output == Output::csv) {
        std::cout << "start,state,median_ms,p95_ms,loss_pct,rssi_dbm\n";
        for (const auto& bucket : buckets)
            std::cout << queries.timeZone().iso8601(static_cast<std::int64_t>(bucket.start)) << "," << state(bucket) << ","
                      << csvFixed(bucket.median, 3) << "," << csvFixed(bucket.p95, 3) << "," << csvFixed(bucket.lossPercent, 1)
                      << "," << (bucket.rssi ? std::to_string(*bucket.rssi) : "") << "\n";
        return;
    }
    if (output == Output::json) {
        for (const auto& bucket : buckets) {
            nerivane::JsonLine json;
            json.text("start", queries.timeZone().iso8601(static_cast<std::int64_t>(bucket.start)));
            bucket.state ? json.text("state", state(bucket)) : json.null("state");
            json.number("medianMs", bucket.median).number("p95Ms", bucket.p95).number("lossPercent", bucket.lossPercent, 1);
            bucket.rssi ? json.integer("rssiDbm", *bucket.rssi) : json.null("rssiDbm");
            std::cout << json.str() << "\n";
        }
        return;
    }
    double longest = 0;
    for (const auto& bucket : buckets) longest = std::max(longest, bucket.median.value_or(0));
    std::cout << role.text() << ", the last " << nerivane::text(range) << ": median round trip per bucket (bar up to "
              << milliseconds(longest) << "), 95th percentile and loss\n";
    std::vector<std::vector<std::string>> rows{{"start", "median", "p95", "loss", ""}};
    for (const auto& bucket : buckets) {
        // Hours and minutes, with the day in front for a week.
        const std::string time = localTime(queries, bucket.start);
        const std::string start = range == nerivane::ChartRange::week ? time.substr(5, 11) : time.substr(11, 5);
        const bool measured = bucket.median.has_value();
        rows.push_back({start, milliseconds(bucket.median), milliseconds(bucket.p95),
                        bucket.lossPercent ? nerivane::NumberText::percent(*bucket.lossPercent) : "-",
                        measured && longest > 0 ? bar(*bucket.median / longest, 40) : spaced(state(bucket))});
    }
    printTable(rows);
}

int run(int argc, char** argv) {
    const Arguments arguments = parse(argc, argv);
    if (arguments.has("--help")) {
        std::cout << usage();
        return 0;
    }
    if (arguments.has("--version")) {
        std::cout << program << " " << NERIVANE_VERSION << "\n";
        return 0;
    }
    if (arguments.words.empty()) throw UsageError{"no command given; commands: export, events, chart, grades, stats, report"};
    const std::string& command = arguments.words[0];
    if (option(arguments, "--end") && command != "export" && command != "grades" && command != "report")
        throw UsageError{"--end belongs to export, grades and report only"};
    if (option(arguments, "--out") && command != "report") throw UsageError{"--out belongs to report only"};
    const Output output = outputOf(arguments);
    // export writes CSV anyway, so --csv is no mistake there.
    if ((output == Output::json && command == "export") ||
        (output != Output::text && command != "export" && command != "events" && command != "chart" && command != "grades"))
        throw UsageError{"--json belongs to events, chart and grades, --csv to those and export"};

    const auto path = option(arguments, "--db") ? option(arguments, "--db") : nerivane::History::configuredPath();
    if (!path) throw OpenFailure{"no database path: give --db or set NERIVANE_HISTORY or HOME"};
    const double now = currentDate();

    if (command == "export") {
        if (arguments.words.size() != 2) throw UsageError{"export needs one kind: measurements or events"};
        const std::string& kind = arguments.words[1];
        if (kind != "measurements" && kind != "events")
            throw UsageError{"unknown export kind " + Help::quoted(kind) + "; kinds: measurements, events"};
        const auto range = option(arguments, "--range");
        if (!range) throw UsageError{"export needs --range hour|day|week|all"};
        const long retention = positiveNumber(option(arguments, "--retention").value_or("30"), "--retention");
        const auto span = spanOf(*range, retention, true);
        if (!span) throw UsageError{"unknown range " + Help::quoted(*range) + "; ranges: hour, day, week, all"};
        const double to = windowEnd(arguments, now);
        const HistoryQueries queries = openExisting(*path);
        if (kind == "events") {
            std::cout << nerivane::HistoryCSV::exportEvents(queries, nerivane::dateFromUnixSeconds(to - *span),
                                                            nerivane::dateFromUnixSeconds(to));
            return 0;
        }
        double from = to - *span;
        if (*range == "all") {
            // A long retention must not fill the export with "not running"
            // lines for the years before the first stored row.
            const auto oldest = queries.oldestStart();
            from = std::max(from, oldest ? static_cast<double>(*oldest) : to);
        }
        // Written as it is made: a long history is never held whole.
        nerivane::HistoryCSV::exportAggregates(queries, nerivane::dateFromUnixSeconds(from), nerivane::dateFromUnixSeconds(to),
                                               nerivane::dateFromUnixSeconds(to), [](std::string_view piece) { std::cout << piece; });
        return 0;
    }
    if (command == "events") {
        if (arguments.words.size() != 1) throw UsageError{"events takes no further words"};
        const long limit = positiveNumber(option(arguments, "--limit").value_or("10"), "--limit");
        const HistoryQueries queries = openExisting(*path);
        printEvents(queries, queries.events("1 ORDER BY start DESC LIMIT ?", {Value::integer(limit)}), output);
        return 0;
    }
    if (command == "chart") {
        if (arguments.words.size() != 1) throw UsageError{"chart takes no further words"};
        const auto rangeText = option(arguments, "--range");
        const auto range = rangeText ? nerivane::parseChartRange(*rangeText) : std::nullopt;
        if (!range) throw UsageError{"chart needs --range hour|day|week"};
        const auto roleText = option(arguments, "--role");
        if (!roleText) throw UsageError{"chart needs --role; roles: " + std::string(roleNames)};
        const auto role = parseRole(*roleText);
        if (!role) throw UsageError{"unknown role " + Help::quoted(*roleText) + "; roles: " + std::string(roleNames)};
        const HistoryQueries queries = openExisting(*path);
        printChart(queries, nerivane::HistoryChart::read(queries, *range, *role, nerivane::dateFromUnixSeconds(now)), *range,
                   *role, output);
        return 0;
    }
    if (command == "grades") {
        if (arguments.words.size() != 1) throw UsageError{"grades takes no further words"};
        const auto range = option(arguments, "--range");
        if (!range) throw UsageError{"grades needs --range hour|day|week|all"};
        const long retention = positiveNumber(option(arguments, "--retention").value_or("30"), "--retention");
        const auto span = spanOf(*range, retention, true);
        if (!span) throw UsageError{"unknown range " + Help::quoted(*range) + "; ranges: hour, day, week, all"};
        const double to = windowEnd(arguments, now);
        const HistoryQueries queries = openExisting(*path);
        // As in an export, the minute holding the end is left out.
        printGrades(queries, to - *span, std::floor(to / 60) * 60, output);
        return 0;
    }
    if (command == "report") {
        const auto span = nerivane::HistoryReport::parseSpan(option(arguments, "--range").value_or(""));
        if (arguments.words.size() != 1 || !span) throw UsageError{"report needs --range day, week, month or all"};
        return nerivane::HistoryTool::report([&] { return openExisting(*path); }, *span, windowEnd(arguments, now),
                                             option(arguments, "--out"));
    }
    if (command == "stats") {
        if (arguments.words.size() != 1) throw UsageError{"stats takes no further words"};
        printStats(openExisting(*path), *path);
        return 0;
    }
    throw UsageError{"unknown command " + Help::quoted(command) + "; commands: export, events, chart, grades, stats, report"};
}

}  // namespace

int main(int argc, char** argv) {
    // One line, "nerivane-history: MESSAGE", for every failure; 2 for usage.
    const auto fail = [](std::string_view message, int status) {
        std::cerr << Help::errorLine(program, message);
        return status;
    };
    try {
        const int status = run(argc, argv);
        std::cout.flush();
        return std::cout ? status : 1;
    } catch (const UsageError& error) {
        return fail(error.message, 2);
    } catch (const OpenFailure& failure) {
        return fail(failure.message, 1);
    } catch (const Database::Error& error) {
        return fail(error.description(), 1);
    }
}
