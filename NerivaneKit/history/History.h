// The long-lived history service: owns the history writer and its database
// file (with the lock that makes this process its only writer), a serial
// queue on which all SQLite work runs, the 10-second timer that closes and
// writes minutes, sleep detection from the two clocks, and the inbox through
// which the probing side hands in records without waiting.
//
// Created once by the application model. Inputs (record, setState) may come
// from any thread and only take the inbox lock; reads block their caller on
// the queue and must not be called from it. The inbox lock is held only to
// append entries or to swap the entry array out; SQLite is never touched
// under it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "NerivaneKit/analysis/NetworkEvent.h"
#include "NerivaneKit/analysis/ProbeRecord.h"
#include "NerivaneKit/load/LinkCapacity.h"
#include "NerivaneKit/load/TrafficSample.h"
#include "NerivaneKit/history/ChartBucket.h"
#include "NerivaneKit/history/ChartRange.h"
#include "NerivaneKit/history/HistoryReport.h"
#include "NerivaneKit/history/HistoryWriter.h"
#include "NerivaneKit/history/WriterLock.h"
#include "NerivaneKit/lookup/LookupOutcome.h"
#include "NerivaneKit/lookup/LookupSnapshot.h"
#include "NerivaneKit/platform/ApplicationId.h"
#include "NerivaneKit/platform/ClockSource.h"
#include "NerivaneKit/platform/Log.h"
#include "NerivaneKit/platform/RepeatingTimer.h"
#include "NerivaneKit/platform/SerialQueue.h"

namespace nerivane {

class History {
public:
    struct StateChange {
        MinuteState state = MinuteState::measured;
        // When the change was reported.
        Date date;
        bool operator==(const StateChange&) const = default;
    };
    // One round of DNS probes: each server's outcome.
    struct LookupRound {
        // When the round was handed in.
        Date date;
        std::vector<LookupOutcome> outcomes;
        bool operator==(const LookupRound&) const = default;
    };
    using Entry = std::variant<ProbeRecord, StateChange, LookupRound, TrafficSample>;

    struct Inbox {
        std::vector<Entry> entries;
        // The last state put in by record(probes, state) or setState.
        std::optional<MinuteState> lastState;
        // The round (monitor seconds) of the last lookups put in.
        std::optional<double> lastLookupRound;
    };

    // What the service takes from its surroundings; tests replace all of it.
    struct Options {
        std::string queueLabel = std::string(applicationId) + ".history";
        // Monotonic (stops in sleep) and continuous ticks, in nanoseconds.
        ClockSource clocks = ClockSource::system();
        // The current date in Unix seconds; the system clock when empty.
        std::function<double()> date;
        TimeZone timeZone = TimeZone::current();
        Log log = Log("history");
    };

    static constexpr double tickSeconds = 10;
    // A minute is written once it has been over for this long, leaving time
    // for late replies and delayed records.
    static constexpr double closeDelay = 40;
    // Roll-up and retention run only while the date's progress since the last
    // maintenance agrees with the continuous clock's within this many seconds;
    // otherwise they wait this long and look again.
    static constexpr double clockTolerance = 3600;
    static constexpr double maintenanceHold = 86400;
    // While writes fail, at most a week of minutes waits in memory, and the
    // timer tries again after 1, 2, 4 ... minutes, at most an hour.
    static constexpr std::size_t backlogMinutes = 7 * 24 * 60;
    static constexpr double firstRetry = 60;
    static constexpr double longestRetry = 3600;

    // Opens (creating its folder and the file) the database at path, or an
    // in-memory one without a path, and applies the schema. The folder is
    // made 0700 and the files 0600: they tell when the user was away. Throws
    // Database::Error: "history in use by another nerivane, process N" when
    // another process writes the file; "open: ..." when the folder, the file
    // or its lock cannot be made, or the file is refused (see HistoryFile):
    // then nothing was written.
    explicit History(const std::optional<std::string>& path);
    History(const std::optional<std::string>& path, Options options);
    // Stops the timer; whatever was not written by close() is dropped.
    ~History();
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // "$XDG_DATA_HOME/nerivane/history.sqlite", by default under
    // "~/.local/share"; none when no home folder is known.
    static std::optional<std::string> defaultPath(const char* xdgDataHome, const char* home);
    static std::optional<std::string> defaultPath();
    // NERIVANE_HISTORY when set and not empty, otherwise the default path.
    static std::optional<std::string> configuredPath();

    int retentionDays();
    // Days below 1 keep everything: the value is logged once and nothing is
    // deleted until a valid one is set.
    void setRetentionDays(int days);

    // Takes the retention, then starts the 10-second timer (first tick, and
    // so the first maintenance, at once). rssi gives the current Wi-Fi signal
    // in dBm, or nothing.
    void start(int retentionDays, std::function<std::optional<std::int64_t>()> rssi);
    // Stops the timer and writes everything, including the current minute.
    void close();

    // From any thread, without waiting for the queue.
    void record(const std::vector<ProbeRecord>& probes, MinuteState state);
    void setState(MinuteState state);
    void record(const NetworkEvent& event);
    void record(const ProbeRecord& probe);
    // The latest round of a lookups snapshot, once: every snapshot carries
    // it until the next round.
    void record(const LookupSnapshot& lookups);

    // The interface's counter reads of a probing tick, each into the minute
    // of its date (see HistoryWriter); from any thread, without waiting.
    void record(const std::vector<TrafficSample>& traffic);
    // The link's capacity per direction: the 95th percentile of the stored
    // per-minute peak 10-second throughputs of the last seven days, over the
    // minutes that carried real traffic (HistoryQueries::capacityOf); zero
    // while nothing is stored. Blocks like the reads below; throws Database::Error.
    LinkCapacity linkCapacity();
    // The same without waiting: done gets it on the history queue; a failed
    // read is logged and done is not called.
    void linkCapacity(std::function<void(LinkCapacity)> done);

    // Reads: each drains the inbox and writes everything closed first. They
    // throw Database::Error.
    std::vector<ChartBucket> chart(ChartRange range, const TargetRole& role, Date now);
    std::vector<NetworkEvent> latestEvents(int limit);
    std::string exportAggregates(Date from, Date to);
    std::string exportEvents(Date from, Date to);
    // The report's figures of the span ending at now.
    HistoryReport::Figures report(HistoryReport::Span span, Date now);

    // One timer tick, run now on the queue and waited for; what the timer
    // does every 10 seconds (tests and tools drive the service with it).
    void tick();

    // What a background reader holds instead of the service, which may be
    // destroyed meanwhile: read() hands it the service while it exists (its
    // destructor waits for a read under way) and returns false once it is
    // gone. Copyable; any thread but the queue.
    class Reader {
    public:
        Reader() = default;
        template <class F>
        bool read(F&& work) const {
            if (!lifeline_) return false;
            std::shared_lock lock(lifeline_->mutex);
            if (!lifeline_->history) return false;
            work(*lifeline_->history);
            return true;
        }

    private:
        friend class History;
        struct Lifeline {
            std::shared_mutex mutex;
            History* history = nullptr;
        };
        explicit Reader(std::shared_ptr<Lifeline> lifeline) : lifeline_(std::move(lifeline)) {}
        std::shared_ptr<Lifeline> lifeline_;
    };
    Reader reader() const { return Reader(lifeline_); }

    // Runs work with the queries on the queue and waits: what readers get.
    template <class F>
    auto withQueries(F&& work) {
        return queue_->syncResult([&] { return work(std::as_const(writer_).queries()); });
    }
    // Runs work with the writer on the queue and waits (tests).
    template <class F>
    auto withWriter(F&& work) {
        return queue_->syncResult([&] { return work(writer_); });
    }

private:
    // A maintenance: its date and the continuous clock's seconds then.
    struct Mark {
        Date date;
        double uptime = 0;
    };

    Date now() const;
    double uptime() const;
    std::uint64_t sleepTicks() const;
    void drain();
    void tickOnQueue();
    void takeRetention(int days);
    bool mayMaintain(Date date);
    void boundBacklog();
    void logError(const std::string& description) const;

    Options options_;
    // Before the writer: the file is claimed before anything writes to it.
    WriterLock lock_;
    HistoryWriter writer_;
    // Queue only.
    std::optional<Mark> lastMaintenance_;
    std::optional<double> maintenanceHeldUntil_;
    int failedWrites_ = 0;
    std::optional<double> retryAt_;
    std::uint64_t sleepTotal_ = 0;
    std::function<std::optional<std::int64_t>()> rssi_;
    std::unique_ptr<RepeatingTimer> timer_;

    std::mutex inboxLock_;
    Inbox inbox_;
    // The entries taken out by the last drain; queue only. Swapped with the
    // inbox's array so both keep their storage.
    std::vector<Entry> draining_;

    std::shared_ptr<Reader::Lifeline> lifeline_ = std::make_shared<Reader::Lifeline>();

    // Declared last so it stops first: no queued work outlives the members.
    std::unique_ptr<SerialQueue> queue_;
};

}  // namespace nerivane
