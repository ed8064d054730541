// Where log messages go: the systemd journal when its socket is reachable,
// stderr otherwise (or as well, or never, as the owner chooses), and an
// in-memory record of the last 10 minutes that the diagnostics report reads.
// The process has one shared store, standing in for the system's log store;
// every member is safe to call from any thread.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "NerivaneKit/platform/Clocks.h"
#include "NerivaneKit/platform/LogEntry.h"

namespace nerivane {

class LogStore {
public:
    using ContinuousNow = std::function<ContinuousClock::time_point()>;
    using RealtimeNow = std::function<std::chrono::sys_time<std::chrono::nanoseconds>()>;

    static constexpr std::string_view journalSocket = "/run/systemd/journal/socket";
    // Journal fields: SYSLOG_IDENTIFIER is this, the subsystem and category
    // go into NERIVANE_SUBSYSTEM and NERIVANE_CATEGORY.
    static constexpr std::string_view journalIdentifier = "nerivane";

    enum class StderrOutput {
        withoutJournal,  // only when the journal is not used or refuses a message; no debug messages
        errorsWithoutJournal,  // the same, errors only: nothing writes into a status area drawn on the terminal
        always,
        never,
    };

    struct Configuration {
        bool journal = false;
        // Not owned; the store only writes to it.
        int stderrDescriptor = STDERR_FILENO;
        StderrOutput stderrOutput = StderrOutput::withoutJournal;
        // The continuous clock ages entries, the real-time clock dates them.
        ContinuousNow continuous;
        RealtimeNow realtime;
        std::chrono::seconds retention{600};
        // A flood of messages must not grow memory without bound either.
        std::size_t capacity = 20'000;
    };

    // Empty clocks mean the system's (MachClock::continuousNow, realtimeNow).
    explicit LogStore(Configuration configuration);
    LogStore(const LogStore&) = delete;
    LogStore& operator=(const LogStore&) = delete;

    // The process's store: the journal when reachable, else stderr.
    static LogStore& shared();
    // True when a datagram socket can connect to the journal's socket (the
    // connect sends nothing).
    static bool journalReachable(const std::string& socketPath = std::string(journalSocket));

    void write(LogLevel level, std::string_view subsystem, std::string_view category, std::string_view message);

    // Copies of the entries no older than `window`, oldest first; with a
    // subsystem, only that subsystem's.
    std::vector<LogEntry> entries(std::chrono::seconds window) const;
    std::vector<LogEntry> entries(std::chrono::seconds window, std::string_view subsystem) const;

    void setStderrOutput(StderrOutput output);
    StderrOutput stderrOutput() const;
    bool writesToJournal() const { return journal_; }

    // The line written to stderr: local time with milliseconds, "nerivane",
    // the category in brackets, the level unless it is info, the message.
    static std::string stderrLine(const LogEntry& entry);

private:
    void prune(ContinuousClock::time_point now);
    bool sendToJournal(const LogEntry& entry) const;
    void writeToStderr(const LogEntry& entry) const;

    const bool journal_;
    const int stderrDescriptor_;
    std::atomic<StderrOutput> stderrOutput_;
    const ContinuousNow continuous_;
    const RealtimeNow realtime_;
    const std::chrono::nanoseconds retention_;
    const std::size_t capacity_;

    mutable std::mutex mutex_;
    // Oldest first. Holds only entries younger than the retention (as of the
    // last write) and at most `capacity_` of them.
    std::deque<LogEntry> ring_;
};

}  // namespace nerivane
