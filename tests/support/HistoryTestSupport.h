// Helpers shared by the history tests: a temporary folder that removes itself,
// probe records and events, raw writes and reads of a store's tables, quiet
// logs, and a child process that reports back line by line.
#pragma once

#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <tuple>

#include "NerivaneKit/analysis/NetworkEvent.h"
#include "NerivaneKit/analysis/ProbeRecord.h"
#include "NerivaneKit/history/Database.h"
#include "NerivaneKit/history/HistoryWriter.h"
#include "NerivaneKit/platform/LogStore.h"

namespace nerivane {

// What a test watches of a file (not following a link): its bytes, mode,
// owner and modification time; all empty when nothing is there.
struct FileState {
    std::string bytes;
    mode_t mode = 0;
    uid_t owner = 0;
    std::int64_t mtime = 0;
    bool operator==(const FileState&) const = default;
};

inline FileState fileState(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return {};
    std::stringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return {bytes.str(), status.st_mode, status.st_uid, status.st_mtim.tv_sec * 1'000'000'000 + status.st_mtim.tv_nsec};
}

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "nerivane-history-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        root_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    std::string path(const std::string& name) const { return (root_ / name).string(); }

private:
    std::filesystem::path root_;
};

// Logs kept in memory only, for tests that read them back.
inline LogStore::Configuration quietLogs() {
    LogStore::Configuration configuration;
    configuration.journal = false;
    configuration.stderrOutput = LogStore::StderrOutput::never;
    return configuration;
}

// 2026-03-14T12:00:00Z, a whole UTC hour.
inline constexpr double noon = 1773489600;
inline constexpr auto noonSeconds = static_cast<std::int64_t>(noon);

inline Target router() { return Target{TargetRole::router(), "router", *ProbeAddress::parse("192.168.1.1")}; }
inline Target cloudflare() { return Target{TargetRole::internet(0), "1.1.1.1", *ProbeAddress::parse("1.1.1.1")}; }

inline ProbeRecord reply(const Target& t, double at, double ms) { return {t, ProbeProtocol::icmp, ProbeResult::Reply{ms}, at}; }
inline ProbeRecord lost(const Target& t, double at) { return {t, ProbeProtocol::icmp, ProbeResult::Lost{}, at}; }
inline ProbeRecord late(const Target& t, double at, double ms) { return {t, ProbeProtocol::icmp, ProbeResult::Late{ms}, at}; }

inline NetworkEvent outage(const Target& t, double start, double end) {
    return {NetworkEvent::Kind::outage, t.role, t.host, t.address, start, end, std::nullopt};
}
inline NetworkEvent spike(const Target& t, double start, double end, double worst) {
    return {NetworkEvent::Kind::spike, t.role, t.host, t.address, start, end, worst};
}

// A date from Unix seconds, as the tests write them.
inline Date unixDate(double seconds) { return dateFromUnixSeconds(seconds); }

// A writer on a fresh database file, schema applied, timestamps in UTC.
inline HistoryWriter openStore(const std::string& path) {
    HistoryWriter store(std::make_shared<Database>(path), TimeZone::utc());
    store.prepareSchema();
    return store;
}

// Rows written straight into the tables, as a roll-up or an older run would leave them.
inline void putPeriod(Database& db, std::int64_t start, std::int64_t seconds, const std::string& state,
                      std::optional<std::int64_t> rssi = {}, std::optional<double> dnsMedian = {},
                      std::optional<std::int64_t> dnsFailures = {}) {
    using V = Database::Value;
    db.run(HistoryWriter::insertPeriodSQL,
           {V::integer(start), V::integer(seconds), V::text(state), rssi ? V::integer(*rssi) : V::null(),
            dnsMedian ? V::real(*dnsMedian) : V::null(), dnsFailures ? V::integer(*dnsFailures) : V::null()});
}
// A router row (192.168.1.1, ICMP).
inline void putAggregate(Database& db, std::int64_t start, std::int64_t seconds, std::int64_t sent, std::int64_t lost,
                         std::int64_t late, std::optional<double> median, std::optional<double> p95,
                         std::optional<double> jitter) {
    using V = Database::Value;
    auto real = [](std::optional<double> v) { return v ? V::real(*v) : V::null(); };
    db.run(HistoryWriter::insertAggregateSQL,
           {V::integer(start), V::integer(seconds), V::text("router"), V::text("router"), V::text("192.168.1.1"),
            V::text("icmp"), V::integer(sent), V::integer(lost), V::integer(late), real(median), real(p95), real(jitter)});
}

// The counts and figures of an aggregate row, to compare in one go.
using Figures = std::tuple<std::int64_t, std::int64_t, std::int64_t, std::optional<double>, std::optional<double>,
                           std::optional<double>>;
inline Figures figures(const AggregateRow& row) {
    return {row.sent, row.lost, row.late, row.median, row.p95, row.jitter};
}

// A history written through the store's own write path with a simulated
// clock: four targets (one measured by TCP) probed every 5 s with replies,
// losses and late replies classed idle, upload, download or both; a counter
// read, a Wi-Fi reading and a round of name lookups a minute; a paused
// stretch, a sleep, silent minutes and events; regular flushes and the
// hourly roll-up and retention. Every column of every table gets values.
// Returns the date it ends at.
inline double generateHistory(HistoryWriter& store, double from, int minutes) {
    const Target targets[] = {
        router(), cloudflare(),
        {TargetRole::internetIPv6(), "1.1.1.1", *ProbeAddress::parse("2606:4700:4700::1111")},
        {TargetRole::custom(0), "nas, \"the\" box", *ProbeAddress::parse("192.168.1.20")},
    };
    unsigned noise = 777;
    auto next = [&] { return (noise = noise * 1103515245u + 12345u) >> 8; };
    double now = from;
    for (int m = 0; m < minutes; ++m) {
        const double minute = from + 60.0 * m;
        const int phase = m % 500;
        if (phase >= 200 && phase < 210) {
            store.apply(MinuteState::paused, unixDate(minute));
        } else if (phase >= 300 && phase < 305) {
            // Nothing recorded: a gap the export writes as not running.
        } else if (phase == 400) {
            store.markAsleep(unixDate(minute), unixDate(minute + 180));
            m += 2;
        } else {
            store.apply(MinuteState::measured, unixDate(minute));
            const auto load = static_cast<LoadClass>(m / 7 % 5);
            for (int second = 0; second < 60; second += 5) {
                for (std::size_t t = 0; t < std::size(targets); ++t) {
                    const unsigned n = next();
                    const double sent = minute + second + (n % 1000) / 1000.0;
                    ProbeResult::Outcome outcome = ProbeResult::Reply{2 + (n >> 4) % 400 / 16.0 + 0.001 * t};
                    if (n % 97 == 0) outcome = ProbeResult::Lost{};
                    else if (n % 89 == 0) outcome = ProbeResult::Late{900.5};
                    store.record({targets[t], t == 3 ? ProbeProtocol::tcp : ProbeProtocol::icmp, outcome, sent,
                                  second % 10 ? load : LoadClass::idle});
                }
                store.recordTraffic({minute + second + 5, 5, 1000 + next() % 100000, 5000 + next() % 9000000});
            }
            store.recordRSSI(unixDate(minute + 30), -50 - static_cast<std::int64_t>(next() % 30));
            std::vector<LookupOutcome> lookups{{{"192.0.2.53", 53, {}}, 0.0125 + (next() % 50) / 1000.0, {}},
                                               {{"192.0.2.54", 53, {}}, {}, LookupFailure::timeout}};
            if (m % 3 == 0) store.recordLookups(unixDate(minute + 20), lookups);
            if (m % 250 == 17) store.addEvent(outage(targets[m % 3], minute + 3.25, minute + 41.5));
            if (m % 250 == 90) store.addEvent(spike(targets[3], minute + 1, minute + 12.75, 812.125));
        }
        now = minute + 60;
        store.flush(unixDate(now - 40), unixDate(now), false);
    }
    store.flush(unixDate(now), unixDate(now), true);
    return now;
}

// The description of the database error that work throws, "(no error)" when it throws none.
inline std::string errorOf(const std::function<void()>& work) {
    try {
        work();
    } catch (const Database::Error& error) {
        return error.description();
    }
    return "(no error)";
}

inline std::int64_t count(Database& db, const std::string& sql) {
    auto rows = db.query(sql);
    const std::int64_t* value = rows.empty() ? nullptr : rows.front().front().asInteger();
    return value ? *value : -1;
}

// Runs body in a forked child that reports on a pipe, one line at a time.
struct Child {
    pid_t pid = -1;
    int reader = -1;

    static Child run(const std::function<void(int report)>& body) {
        int fds[2];
        if (pipe(fds) != 0) std::abort();
        const pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            body(fds[1]);
            _exit(0);
        }
        close(fds[1]);
        return Child{pid, fds[0]};
    }
    static void say(int fd, const std::string& line) {
        const std::string text = line + "\n";
        if (write(fd, text.data(), text.size()) < 0) _exit(3);
    }
    // One line from the child; empty at end of file.
    std::string readLine() {
        std::string line;
        char c;
        while (read(reader, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }
    int wait() {
        int status = 0;
        waitpid(pid, &status, 0);
        close(reader);
        return status;
    }
};

}  // namespace nerivane
