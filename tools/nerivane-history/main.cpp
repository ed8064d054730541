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
#include "NerivaneKit/history/HistoryStore.h"

namespace {

using nerivane::Database;
using nerivane::HistoryStore;
using Value = Database::Value;

constexpr const char* usage = R"(usage: nerivane-history COMMAND [OPTIONS]

Reads the history database of nerivane and prints it.

commands:
  export measurements --range RANGE   the measurements CSV (per target and minute or hour)
  export events --range RANGE         the events CSV (outages and spikes)
  events [--limit N]                  the latest events, newest first (default 10)
  chart --range R --role ROLE         the chart buckets of one target
  grades --range RANGE                latency under load: the bytes sent and
                                      received, then per direction and role
                                      (router; internet: the internet hosts)
                                      the idle and busy median round trips, the
                                      latency added and its grade (A+ under 5 ms,
                                      A 30, B 60, C 200, D 400, else F; none
                                      from fewer than 10 busy replies)
  stats                               row counts and file size

options:
  --db PATH          the database (default: $NERIVANE_HISTORY, else
                     $XDG_DATA_HOME/nerivane/history.sqlite, else
                     ~/.local/share/nerivane/history.sqlite)
  --range RANGE      hour, day, week, or (export and grades) all
  --retention DAYS   the span of --range all (default 30)
  --end TIME         export, grades: the window ends at TIME (Unix seconds,
                     not later than now) instead of now; the minute holding
                     TIME is left out, as the application's export leaves out
                     its current one
  --role ROLE        router, internet[0], internet[1], internet-ipv6, custom[0], custom[1], provider
  --help             this text

Grades are built from the stored minutes and hours: the busy median of a
direction weighs each period's median of its busy replies by their number;
the idle median weighs the medians of the quiet periods (counters read and no
busy reply either way) by their replies. Periods without counters (older
files, no interface) count in neither.

Times are written in the local time zone. Minutes the running application has
not written yet are not in the file.
)";

struct UsageError {
    std::string message;
};

struct Arguments {
    std::vector<std::string> words;
    std::map<std::string, std::string> options;
    bool help = false;
};

Arguments parse(int argc, char** argv) {
    static const std::vector<std::string> valued{"--db", "--range", "--role", "--limit", "--retention", "--end"};
    Arguments arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            arguments.help = true;
        } else if (word.rfind("--", 0) == 0) {
            std::string name = word, value;
            const auto equals = word.find('=');
            if (equals != std::string::npos) {
                name = word.substr(0, equals);
                value = word.substr(equals + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                throw UsageError{"option " + word + " needs a value"};
            }
            if (std::find(valued.begin(), valued.end(), name) == valued.end()) throw UsageError{"unknown option " + name};
            arguments.options[name] = value;
        } else {
            arguments.words.push_back(word);
        }
    }
    return arguments;
}

std::optional<std::string> option(const Arguments& arguments, const std::string& name) {
    auto found = arguments.options.find(name);
    if (found == arguments.options.end()) return std::nullopt;
    return found->second;
}

long positiveNumber(const std::string& text, const std::string& name) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < 1) throw UsageError{name + " needs a positive whole number"};
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
        throw UsageError{"--end needs a Unix time in seconds, not later than now"};
    return value;
}

double currentDate() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Opens an existing history database for reading; the message on failure is
// what the user sees.
struct OpenFailure {
    std::string message;
};

HistoryStore openExisting(const std::string& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status)) throw OpenFailure{"no history database at " + path};
    if (std::filesystem::is_directory(status)) throw OpenFailure{path + " is a folder, not a history database"};
    if (access(path.c_str(), R_OK) != 0) throw OpenFailure{"cannot read " + path + ": " + std::strerror(errno)};

    try {
        return HistoryStore(nerivane::HistoryFile::openReadOnly(path));
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

std::string optionalFixed(const std::optional<double>& value, int decimals) {
    return value ? nerivane::HistoryCSV::fixed(*value, decimals) : std::string("-");
}

void printStats(const HistoryStore& store, const std::string& path) {
    auto single = [&](const std::string& sql) -> std::int64_t {
        auto rows = store.db->query(sql);
        if (rows.empty() || rows.front().empty() || !rows.front().front().asInteger()) return 0;
        return *rows.front().front().asInteger();
    };
    std::error_code ignored;
    const auto size = std::filesystem::file_size(path, ignored);
    const auto wal = std::filesystem::file_size(path + "-wal", ignored);
    std::cout << "database: " << path << "\n";
    std::cout << "file size: " << (size == static_cast<std::uintmax_t>(-1) ? 0 : size) << " bytes";
    if (wal != static_cast<std::uintmax_t>(-1)) std::cout << " (+ " << wal << " bytes of write-ahead log)";
    std::cout << "\n";
    std::cout << "periods: " << single("SELECT count(*) FROM periods WHERE seconds = 60") << " minute rows, "
              << single("SELECT count(*) FROM periods WHERE seconds = 3600") << " hour rows\n";
    std::cout << "aggregates: " << single("SELECT count(*) FROM aggregates WHERE seconds = 60") << " minute rows, "
              << single("SELECT count(*) FROM aggregates WHERE seconds = 3600") << " hour rows\n";
    std::cout << "events: " << single("SELECT count(*) FROM events") << "\n";
    auto first = store.periods("start = (SELECT min(start) FROM periods)", {});
    auto last = store.periods("start = (SELECT max(start) FROM periods)", {});
    if (!first.empty() && !last.empty()) {
        std::cout << "oldest period: " << store.timeZone.iso8601(first.front().start) << "\n";
        std::cout << "newest period: " << store.timeZone.iso8601(last.back().start) << "\n";
    }
}

void printGrades(const HistoryStore& store, double from, double to) {
    const auto summary = nerivane::HistoryGrades::read(store, from, to);
    const auto bytes = [](const std::optional<std::int64_t>& value) {
        return value ? std::to_string(*value) : std::string("-");
    };
    std::cout << "from: " << store.timeZone.iso8601(static_cast<std::int64_t>(std::floor(from))) << "\n"
              << "to: " << store.timeZone.iso8601(static_cast<std::int64_t>(std::floor(to))) << "\n"
              << "sent_bytes: " << bytes(summary.sentBytes) << "\n"
              << "received_bytes: " << bytes(summary.receivedBytes) << "\n"
              << "direction,role,idle_median_ms,busy_median_ms,added_ms,busy_replies,grade\n";
    for (const auto& grade : summary.grades) {
        std::cout << nerivane::text(grade.direction) << "," << nerivane::HistoryGrades::text(grade.role) << ","
                  << optionalFixed(grade.idleMedian, 3) << "," << optionalFixed(grade.busyMedian, 3) << ","
                  << optionalFixed(grade.added, 3) << "," << grade.busyReplies << ","
                  << (grade.grade ? std::string(nerivane::text(*grade.grade)) : "-") << "\n";
    }
}

int run(int argc, char** argv) {
    const Arguments arguments = parse(argc, argv);
    if (arguments.help) {
        std::cout << usage;
        return 0;
    }
    if (arguments.words.empty()) throw UsageError{"no command given"};
    const std::string& command = arguments.words[0];
    if (option(arguments, "--end") && command != "export" && command != "grades")
        throw UsageError{"--end belongs to export and grades only"};

    const auto path = option(arguments, "--db") ? option(arguments, "--db") : nerivane::History::configuredPath();
    if (!path) throw OpenFailure{"no database path: give --db or set NERIVANE_HISTORY or HOME"};
    const double now = currentDate();

    if (command == "export") {
        if (arguments.words.size() != 2) throw UsageError{"export needs one kind: measurements or events"};
        const std::string& kind = arguments.words[1];
        if (kind != "measurements" && kind != "events") throw UsageError{"unknown export kind " + kind};
        const auto range = option(arguments, "--range");
        if (!range) throw UsageError{"export needs --range hour|day|week|all"};
        const long retention = positiveNumber(option(arguments, "--retention").value_or("30"), "--retention");
        const auto span = spanOf(*range, retention, true);
        if (!span) throw UsageError{"unknown range " + *range};
        const double to = windowEnd(arguments, now);
        const HistoryStore store = openExisting(*path);
        if (kind == "events") {
            std::cout << nerivane::HistoryCSV::exportEvents(store, to - *span, to);
            return 0;
        }
        double from = to - *span;
        if (*range == "all") {
            // A long retention must not fill the export with "not running"
            // lines for the years before the first stored row.
            const auto oldest = store.oldestStart();
            from = std::max(from, oldest ? static_cast<double>(*oldest) : to);
        }
        // Written as it is made: a long history is never held whole.
        nerivane::HistoryCSV::exportAggregates(store, from, to, to, [](std::string_view piece) { std::cout << piece; });
        return 0;
    }
    if (command == "events") {
        if (arguments.words.size() != 1) throw UsageError{"events takes no further words"};
        const long limit = positiveNumber(option(arguments, "--limit").value_or("10"), "--limit");
        const HistoryStore store = openExisting(*path);
        std::cout << nerivane::HistoryCSV::events(store.events("1 ORDER BY start DESC LIMIT ?", {Value::integer(limit)}),
                                                  store.timeZone);
        return 0;
    }
    if (command == "chart") {
        if (arguments.words.size() != 1) throw UsageError{"chart takes no further words"};
        const auto rangeText = option(arguments, "--range");
        const auto range = rangeText ? nerivane::parseChartRange(*rangeText) : std::nullopt;
        if (!range) throw UsageError{"chart needs --range hour|day|week"};
        const auto roleText = option(arguments, "--role");
        if (!roleText) throw UsageError{"chart needs --role"};
        const auto role = nerivane::TargetRole::parse(*roleText);
        if (!role) throw UsageError{"unknown role " + *roleText};
        const HistoryStore store = openExisting(*path);
        std::cout << "start,state,median_ms,p95_ms,loss_pct,rssi_dbm\n";
        for (const auto& bucket : nerivane::HistoryChart::read(store, *range, *role, now)) {
            std::cout << store.timeZone.iso8601(static_cast<std::int64_t>(bucket.start)) << ","
                      << (bucket.state ? std::string(nerivane::text(*bucket.state)) : "-") << ","
                      << optionalFixed(bucket.median, 3) << "," << optionalFixed(bucket.p95, 3) << ","
                      << optionalFixed(bucket.lossPercent, 1) << ","
                      << (bucket.rssi ? std::to_string(*bucket.rssi) : "-") << "\n";
        }
        return 0;
    }
    if (command == "grades") {
        if (arguments.words.size() != 1) throw UsageError{"grades takes no further words"};
        const auto range = option(arguments, "--range");
        if (!range) throw UsageError{"grades needs --range hour|day|week|all"};
        const long retention = positiveNumber(option(arguments, "--retention").value_or("30"), "--retention");
        const auto span = spanOf(*range, retention, true);
        if (!span) throw UsageError{"unknown range " + *range};
        const double to = windowEnd(arguments, now);
        const HistoryStore store = openExisting(*path);
        // As in an export, the minute holding the end is left out.
        printGrades(store, to - *span, std::floor(to / 60) * 60);
        return 0;
    }
    if (command == "stats") {
        if (arguments.words.size() != 1) throw UsageError{"stats takes no further words"};
        printStats(openExisting(*path), *path);
        return 0;
    }
    throw UsageError{"unknown command " + command};
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const int status = run(argc, argv);
        std::cout.flush();
        return std::cout ? status : 1;
    } catch (const UsageError& error) {
        std::cerr << "nerivane-history: " << error.message << "\n(see nerivane-history --help)\n";
        return 2;
    } catch (const OpenFailure& failure) {
        std::cerr << "nerivane-history: " << failure.message << "\n";
        return 1;
    } catch (const Database::Error& error) {
        std::cerr << "nerivane-history: " << error.description() << "\n";
        return 1;
    }
}
